"""The saved notebook of a kernel: its cells as last saved, for what the kernel cannot see itself.

A kernel knows only the cells it ran. What the notebook holds besides (cells not run, cells edited
since they ran) it learns from the notebook's file, read here with nbformat and kept until the
file changes.
"""

from __future__ import annotations

import os
import warnings

import msgspec

from orvane_core.frontend.declarations import ComponentHeader, OrvaneUsageError, split_cell


class SavedCell(msgspec.Struct, frozen=True):
    """A code cell of the saved notebook; ``header`` is none for a cell that is no component
    cell or whose header does not parse."""

    id: str | None
    header: ComponentHeader | None
    code: str


class SavedNotebook(msgspec.Struct, frozen=True):
    path: str
    saved: float  # when the file was last written (seconds since the epoch)
    cells: list[SavedCell]

    def cell_ids(self) -> set[str]:
        return {c.id for c in self.cells if c.id}


_read: dict[str, tuple[tuple[int, int], SavedNotebook]] = {}


def _notebook(path: str) -> dict | None:
    import nbformat

    try:
        # An older notebook (cells without ids) gets a warning the user's cell would show.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return nbformat.read(path, as_version=4)
    except Exception:  # anything nbformat cannot read is no notebook to learn from
        return None


def read(path: str | os.PathLike | None) -> SavedNotebook | None:
    """The code cells of the notebook file at ``path``; none when there is no readable one."""
    path = os.fspath(path or "")
    if not path.endswith(".ipynb"):
        return None
    try:
        stat = os.stat(path)
    except OSError:
        return None
    stamp = (stat.st_mtime_ns, stat.st_size)
    known = _read.get(path)
    if known is not None and known[0] == stamp:
        return known[1]
    nb = _notebook(path)
    if nb is None:
        return None
    cells = []
    for cell in nb.get("cells", []):
        if cell.get("cell_type") != "code" or not isinstance(cell.get("source"), str):
            continue
        cell_id = cell.get("id") if isinstance(cell.get("id"), str) else None
        try:
            found = split_cell(cell.source)
        except OrvaneUsageError:
            cells.append(SavedCell(cell_id, None, cell.source))
            continue
        header, code = found if found is not None else (None, cell.source)
        cells.append(SavedCell(cell_id, header, code.rstrip()))
    saved = SavedNotebook(path, stat.st_mtime, cells)
    _read.clear()  # one notebook per kernel
    _read[path] = (stamp, saved)
    return saved


def cell_ids(path: str) -> set[str] | None:
    """The ids of the cells of the notebook file at ``path``; none when it is not readable."""
    nb = _notebook(path)
    if nb is None:
        return None
    return {c["id"] for c in nb.get("cells", []) if isinstance(c.get("id"), str)}
