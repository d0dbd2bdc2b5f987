"""Source helpers of the executors: IPython syntax to Python, and the cell's last expression."""

from __future__ import annotations

import ast
import re
from functools import lru_cache

from IPython.core.inputtransformer2 import TransformerManager

# Stateless once built; building one per call costs more than transforming a short cell.
_TRANSFORMER = TransformerManager()


# What IPython's transforms react to: magics, shell escapes, help, pasted prompts, autocall
# escapes at the start of a line. A cell with none of these, not indented, is plain Python, and
# tokenizing it to find that out costs more than running a short cell.
_IPYTHON_SYNTAX = re.compile(r"[%!?]|^[ \t]*(?:>>>|\.\.\.|In \[|[/,;])", re.MULTILINE)


@lru_cache(maxsize=512)
def transform_ipython_syntax(code: str) -> str:
    """Python source for a cell that may contain magics, ``!`` lines or ``?`` help."""
    if code and not code[0].isspace() and not _IPYTHON_SYNTAX.search(code):
        return code if code.endswith("\n") else code + "\n"
    return _TRANSFORMER.transform_cell(code)


def _offset(lines: list[str], lineno: int, col: int) -> int:
    """Character offset in the joined text of a 1-based line and a UTF-8 byte column."""
    before = sum(len(line) for line in lines[: lineno - 1])
    line = lines[lineno - 1] if lineno - 1 < len(lines) else ""
    return before + len(line.encode("utf-8")[:col].decode("utf-8", errors="ignore"))


def parse_last_expr_from_code(code: str) -> tuple[str, str]:
    """``(last_expression_source, rest_source)`` of a cell.

    The first element is the source of the final statement when that statement is an
    expression, else "". The second is the cell's source without that expression (the cell
    itself when there is none). Code that does not parse gives ``("", code)``.
    """
    if not isinstance(code, str):
        raise TypeError(f"code must be str, not {type(code).__name__}")
    try:
        source = transform_ipython_syntax(code)
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return "", code
    if not tree.body or not isinstance(tree.body[-1], ast.Expr):
        return "", code
    last = tree.body[-1]
    lines = source.splitlines(keepends=True)
    start = _offset(lines, last.lineno, last.col_offset)
    end = _offset(lines, last.end_lineno or last.lineno, last.end_col_offset or 0)
    # Slicing the text keeps the user's comments and layout in the rest.
    rest = (source[:start] + source[end:]).rstrip()
    return ast.unparse(last), rest


def objective_names(last_expr: str) -> list[str]:
    """One name per objective of a search target: the source text of each element of a tuple
    last expression (as astor writes it, as the front end's table names them), else the whole
    expression. Text that does not parse raises SyntaxError."""
    import astor  # only a search needs it

    body = ast.parse(last_expr, mode="eval").body
    if isinstance(body, ast.Tuple):
        return [astor.to_source(element).rstrip() for element in body.elts]
    return [last_expr]


__all__ = ["objective_names", "parse_last_expr_from_code", "transform_ipython_syntax"]
