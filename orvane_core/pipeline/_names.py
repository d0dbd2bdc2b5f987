"""Names a cell's code may read, for the engine's parameter reach (a conservative stand-in)."""

from __future__ import annotations

import ast
from typing import NamedTuple

# Calls through which code can reach any name of its namespace.
_DYNAMIC = frozenset({"eval", "exec", "globals", "locals", "vars", "get_ipython"})


class CellNames(NamedTuple):
    reads: frozenset[str]
    defines: frozenset[str]
    reads_all: bool


def cell_names(code: str) -> CellNames:
    """Every name the code mentions counts as read: over-reading only costs a rerun."""
    try:
        tree = ast.parse(code)
    except SyntaxError:
        # Magics and shell escapes do not parse; such a cell may read anything.
        return CellNames(frozenset(), frozenset(), True)
    reads: set[str] = set()
    defines: set[str] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Name):
            (defines if isinstance(node.ctx, ast.Store) else reads).add(node.id)
        elif isinstance(node, (ast.Global, ast.Nonlocal)):
            reads.update(node.names)
    return CellNames(frozenset(reads), frozenset(defines), bool(reads & _DYNAMIC))
