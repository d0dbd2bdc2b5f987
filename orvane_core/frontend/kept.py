"""Disk caches kept between kernels: where a notebook's next kernel finds its earlier results.

When a kernel ends, the finished component caches of its pipeline move into the folder
``kept-<pipeline id>`` beside the live pipeline folders. A later kernel of the same notebook
takes from it the caches of each component as the component is declared, and the engine adopts
only those whose fingerprint (code, parameters, parents) still matches. A kernel that was killed
leaves its live folder behind; the next kernel moves it into the kept folder the same way. Kept
folders share a size limit: the least recently used go first.

A kept folder also names the notebook it belongs to, by path and by the ids of its cells, which
a renamed or moved notebook keeps: a kernel of a notebook with no kept folder of its own takes
the one whose notebook is no longer where it was and shares cells with it. One whose notebook is
still there (a copy was made) stays with it.

With the caches go the components they were made by (name, id, a digest of the code, parents):
a later kernel in which an edited cell, and what follows it, have new ids then says why they
run, as an edit inside one kernel does, rather than that they never ran.
"""

from __future__ import annotations

import fcntl
import hashlib
import os
import re
import shutil
import time
from collections.abc import Callable, Iterable
from pathlib import Path

import msgspec

PREFIX = "kept-"
LIMIT_ENV = "ORVANE_CACHE_LIMIT"
KEEP_ENV = "ORVANE_KEEP_CACHE"
DEFAULT_LIMIT = 10 * 2**30
_PARAMETERS = "pipeline.json"
_COMPONENTS = "components.json"
_NOTEBOOK = "notebook.json"
_UNITS = {"": 1, "k": 2**10, "m": 2**20, "g": 2**30, "t": 2**40}


def _root() -> Path:
    from orvane_core.common.utils import APP_TEMP_DIRECTORY

    return Path(APP_TEMP_DIRECTORY)


def kept_dir(pipeline_id: str) -> Path:
    return _folder(f"{PREFIX}{pipeline_id}")


def live_dir(pipeline_id: str) -> Path:
    return _folder(f"pipeline-{pipeline_id}")


def _folder(name: str) -> Path:
    # An id comes from a notebook's file name: it must stay one folder inside the root.
    if not name or "/" in name or "\0" in name or name in (".", ".."):
        raise ValueError(f"{name!r} cannot name a cache folder")
    return _root() / "pipelines" / name


def parse_size(text: str) -> int:
    """Bytes of a size such as ``500M``, ``2G``, ``1.5GiB`` or ``1000000``."""
    found = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmgt]?)(?:i?b)?\s*", str(text), re.IGNORECASE)
    if not found:
        raise ValueError(f"{text!r} is not a size; write for example 500M or 2G")
    return int(float(found.group(1)) * _UNITS[found.group(2).lower()])


def size_limit() -> int:
    text = os.environ.get(LIMIT_ENV)
    return parse_size(text) if text else DEFAULT_LIMIT


def keeping_by_default() -> bool:
    return os.environ.get(KEEP_ENV, "1").strip().lower() not in ("0", "no", "off", "false")


# -- component caches in a folder ---------------------------------------------------------------


def _caches(folder: Path) -> list[tuple[Path, str]]:
    """(path, component id) of the finished component caches directly in ``folder``."""
    from orvane_core.cache.disk import OrvaneDiskCache

    found = []
    try:
        entries = list(os.scandir(folder))
    except FileNotFoundError:
        return found
    for entry in entries:
        if entry.name.startswith("component-") and entry.is_dir(follow_symlinks=False):
            record = OrvaneDiskCache.read_record(entry.path)
            if record and record.get("complete"):
                found.append((Path(entry.path), record["component_id"]))
    return found


def _private_folder(path: Path) -> None:
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        if path.is_symlink() or not path.is_dir():
            raise RuntimeError(f"{path} is not a private folder; remove it") from None


# Earlier versions of a component (before an edit) kept besides the current one, so that undoing
# the edit costs a read; they count towards the size limit like the rest.
VERSIONS = 3


def stash(source: Path, pipeline_id: str, current: Callable[[str], bool]) -> None:
    """Moves the finished caches of ``source`` (and its stored parameters) into the kept folder
    of ``pipeline_id`` and removes ``source``. Of the components that ``current`` does not
    name, the ``VERSIONS`` newest caches per component name stay."""
    if source.is_symlink() or not source.is_dir():
        return
    target = kept_dir(pipeline_id)
    _private_folder(target)
    for path, _ in _caches(source):
        os.rename(path, target / path.name)
    for name in (_PARAMETERS, _COMPONENTS, _NOTEBOOK):
        stored = source / name
        if stored.is_file() and not stored.is_symlink():
            os.replace(stored, target / name)
    shutil.rmtree(source, ignore_errors=True)
    older: dict[str, list[tuple[float, Path]]] = {}
    for path, component_id in _caches(target):
        if not current(component_id):
            name = component_id.rsplit("-", 1)[0]
            older.setdefault(name, []).append((path.stat().st_mtime, path))
    for versions in older.values():
        for _, path in sorted(versions, reverse=True)[VERSIONS:]:
            shutil.rmtree(path, ignore_errors=True)
    os.utime(target)  # the time of last use, for the size limit


def set_aside(folders: Iterable[str | None], pipeline_id: str) -> None:
    """Links the finished caches among ``folders`` (of components an edit is replacing) into the
    kept folder, where the component takes them back if the edit is undone. Hard links: the
    engine removes its folders of replaced components as usual, and the files stay here."""
    from orvane_core.cache.disk import OrvaneDiskCache

    target = kept_dir(pipeline_id)
    for folder in folders:
        if not folder or os.path.islink(folder) or not os.path.isdir(folder):
            continue
        record = OrvaneDiskCache.read_record(folder)
        if not (record and record.get("complete")):
            continue
        _private_folder(target)
        copy = target / os.path.basename(folder)
        try:
            os.mkdir(copy, 0o700)
            for entry in os.scandir(folder):
                if entry.is_file(follow_symlinks=False):
                    os.link(entry.path, copy / entry.name, follow_symlinks=False)
        except OSError:
            shutil.rmtree(copy, ignore_errors=True)


def take_dead_kernel_folder(pipeline_id: str) -> bool:
    """Moves the live folder a killed kernel left into the kept folder; true when it did.

    A folder whose lock another live kernel holds is that kernel's and is left alone. Call this
    only before this process creates a pipeline of the id: testing the lock opens and closes the
    lock file, which would drop a lock this process held.
    """
    live = live_dir(pipeline_id)
    if live.is_symlink() or not live.is_dir():
        return False
    lock = _root() / "locks" / live.name
    try:
        fd = os.open(lock, os.O_RDWR | os.O_NOFOLLOW)
    except FileNotFoundError:
        fd = None
    except OSError:
        return False
    if fd is not None:
        try:
            fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return False  # held by a live kernel
        finally:
            os.close(fd)
    stash(live, pipeline_id, lambda _: False)
    return True


def kept_ids(pipeline_id: str) -> set[str]:
    """The ids of the components whose finished caches the kept folder holds."""
    folder = kept_dir(pipeline_id)
    if folder.is_symlink():
        return set()
    return {component_id for _, component_id in _caches(folder)}


def take(pipeline_id: str, component_ids: Iterable[str], into: Path) -> int:
    """Moves the kept caches of the given components into ``into``; returns how many moved."""
    folder = kept_dir(pipeline_id)
    wanted = set(component_ids)
    if not wanted or folder.is_symlink() or not folder.is_dir():
        return 0
    moved = 0
    left = 0
    for path, component_id in _caches(folder):
        if component_id in wanted:
            os.rename(path, into / path.name)
            moved += 1
        else:
            left += 1
    if not left:
        # Everything is in the live folder now (its parameters too): an empty kept folder would
        # be listed, and outlive a kernel that is killed, while holding nothing.
        shutil.rmtree(folder, ignore_errors=True)
    elif moved:
        os.utime(folder)
    return moved


def drop(pipeline_id: str) -> None:
    folder = kept_dir(pipeline_id)
    if folder.is_dir() and not folder.is_symlink():
        shutil.rmtree(folder, ignore_errors=True)


def _write(path: Path, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "wb") as fh:
        fh.write(data)


def _read(path: Path) -> bytes | None:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    except OSError:
        return None
    with os.fdopen(fd, "rb") as fh:
        return fh.read()


# -- the components the caches were made by -----------------------------------------------------


class Remembered(msgspec.Struct, frozen=True):
    """A component as a kernel last had it: its id, a digest of its code and its parents'
    (name, id) in declaration order."""

    id: str
    code: str
    parents: list[tuple[str, str]]


def code_digest(code: str) -> str:
    return hashlib.sha256(code.encode()).hexdigest()[:16]


def remember(folder: Path, components: dict[str, Remembered]) -> None:
    """Writes ``components`` (by name) into a live cache folder; ``stash`` keeps it with the
    caches."""
    _write(folder / _COMPONENTS, msgspec.json.encode(components))


def remembered(pipeline_id: str) -> dict[str, Remembered]:
    """The components the kept caches of ``pipeline_id`` were made by; empty when unknown."""
    folder = kept_dir(pipeline_id)
    if folder.is_symlink():
        return {}
    data = _read(folder / _COMPONENTS)
    if data is None:
        return {}
    try:
        return msgspec.json.decode(data, type=dict[str, Remembered])
    except msgspec.DecodeError:
        return {}  # from another version or damaged: the reasons fall back to the engine's


# -- the notebook the caches belong to ------------------------------------------------------------


class Notebook(msgspec.Struct, frozen=True):
    """A notebook file: its absolute path and the ids of its cells, which stay with it when it
    is renamed or moved (and with a copy, which leaves the file where it was)."""

    path: str
    cells: list[str]


def note_notebook(folder: Path, notebook: Notebook) -> None:
    """Writes into a live cache folder which notebook it belongs to; ``stash`` keeps it."""
    _write(folder / _NOTEBOOK, msgspec.json.encode(notebook))


def _notebook_in(folder: Path) -> Notebook | None:
    data = _read(folder / _NOTEBOOK)
    try:
        return msgspec.json.decode(data, type=Notebook) if data else None
    except msgspec.DecodeError:
        return None


def _still_there(notebook: Notebook, cell_ids: Callable[[str], set[str] | None]) -> bool:
    """Whether the file at the notebook's path is that notebook: it shares a cell with it, or
    cannot be read (it may be being written)."""
    if not os.path.lexists(notebook.path):
        return False
    found = cell_ids(notebook.path)
    return found is None or bool(found & set(notebook.cells))


def _foreign(earlier: Notebook | None, notebook: Notebook) -> bool:
    """Whether ``earlier`` is certainly another notebook: both have cell ids, none shared."""
    return bool(
        earlier is not None
        and earlier.cells
        and notebook.cells
        and not set(earlier.cells) & set(notebook.cells)
    )


def set_apart_foreign(pipeline_id: str, notebook: Notebook) -> bool:
    """Moves aside the kept folder of ``pipeline_id`` when it is another notebook's, one that
    had this path before and was renamed: that notebook's next kernel finds it there."""
    folder = kept_dir(pipeline_id)
    if folder.is_symlink() or not folder.is_dir() or not _foreign(_notebook_in(folder), notebook):
        return False
    try:
        os.rename(folder, kept_dir(f"{pipeline_id}-{os.urandom(4).hex()}"))
    except OSError:
        return False
    return True


def take_renamed(
    pipeline_id: str, notebook: Notebook, cell_ids: Callable[[str], set[str] | None]
) -> str | None:
    """Makes the kept folder of ``notebook`` under an earlier name the kept folder of
    ``pipeline_id``, which has none; returns the earlier id, or none.

    That folder names a notebook that is no longer at its path (``cell_ids`` reads the ids of
    the cells of a file there) and shares cells with ``notebook``: cell ids are drawn at random,
    so a shared one says the notebook was renamed or moved. The live folder a killed kernel of
    the earlier name left goes into its kept folder first. When two such folders share as many
    cells, neither is taken."""
    own = kept_dir(pipeline_id)
    if os.path.lexists(own) or not notebook.cells:
        return None
    cells = set(notebook.cells)
    found: dict[str, int] = {}
    try:
        entries = list(os.scandir(_root() / "pipelines"))
    except FileNotFoundError:
        return None
    for entry in entries:
        live = entry.name.startswith("pipeline-")
        if not (live or entry.name.startswith(PREFIX)) or not entry.is_dir(follow_symlinks=False):
            continue
        earlier = _notebook_in(Path(entry.path))
        if earlier is None or earlier.path == notebook.path:
            continue
        shared = len(cells & set(earlier.cells))
        earlier_id = entry.name.split("-", 1)[1]
        if not shared or _still_there(earlier, cell_ids):
            continue
        if live and not take_dead_kernel_folder(earlier_id):
            continue  # a live kernel's
        found[earlier_id] = shared
    ranked = sorted(((n, i) for i, n in found.items()), reverse=True)
    if not ranked or (len(ranked) > 1 and ranked[0][0] == ranked[1][0]):
        return None
    try:
        os.rename(kept_dir(ranked[0][1]), own)
    except OSError:
        return None  # another kernel took it first
    return ranked[0][1]


# The engine's words for why a component runs (its explain() reasons), for the causes an edit
# made in an earlier kernel can have.
_SINCE = {
    "code_changed": "its code changed",
    "parents_changed": "its parents changed",
    "parent_reran": "its parent {} reran",
}


def since(earlier: Remembered, code: str, parents: list[tuple[str, str]]) -> str | None:
    """Why a component that has another id than ``earlier`` runs, as the engine says it when
    the edit is made in one kernel; None when nothing tells it apart."""
    if earlier.code != code_digest(code):
        return _SINCE["code_changed"]
    if {name for name, _ in earlier.parents} != {name for name, _ in parents}:
        return _SINCE["parents_changed"]
    before = dict(earlier.parents)
    for name, cid in parents:
        if before.get(name) != cid:
            return _SINCE["parent_reran"].format(name)
    return None


# -- listing and the size limit -----------------------------------------------------------------


class KeptCache(msgspec.Struct, frozen=True):
    pipeline_id: str
    path: Path
    size: int
    components: int
    last_used: float


def _size(folder: Path) -> int:
    total = 0
    for base, _dirs, files in os.walk(folder):
        for name in files:
            try:
                total += os.lstat(os.path.join(base, name)).st_size
            except OSError:
                pass
    return total


def list_kept() -> list[KeptCache]:
    """Every kept folder, most recently used first."""
    pipelines = _root() / "pipelines"
    found = []
    try:
        entries = list(os.scandir(pipelines))
    except FileNotFoundError:
        return found
    for entry in entries:
        if entry.name.startswith(PREFIX) and entry.is_dir(follow_symlinks=False):
            path = Path(entry.path)
            found.append(
                KeptCache(
                    entry.name[len(PREFIX) :],
                    path,
                    _size(path),
                    len(_caches(path)),
                    entry.stat(follow_symlinks=False).st_mtime,
                )
            )
    return sorted(found, key=lambda k: k.last_used, reverse=True)


def prune(limit: int, spare: Iterable[str] = ()) -> list[KeptCache]:
    """Drops the least recently used kept folders until the rest fit in ``limit`` bytes, and
    the package lists kept for the next kernels that no kernel will read again.

    Folders of the ids in ``spare`` (the one a kernel has just kept) are never dropped.
    Returns the folders dropped.
    """
    from orvane_core.common.utils import remove_stale_package_lists

    remove_stale_package_lists(_root())
    spare = set(spare)
    kept = list_kept()
    total = sum(k.size for k in kept)
    dropped = []
    for item in reversed(kept):
        if total <= limit:
            break
        if item.pipeline_id in spare:
            continue
        shutil.rmtree(item.path, ignore_errors=True)
        total -= item.size
        dropped.append(item)
    return dropped


def describe(items: list[KeptCache]) -> str:
    if not items:
        return "No kept caches."
    now = time.time()
    lines = [f"{'pipeline':<40} {'size':>10} {'caches':>7}  last used"]
    for k in items:
        lines.append(
            f"{k.pipeline_id:<40} {_human(k.size):>10} {k.components:>7}  {_ago(now - k.last_used)}"
        )
    return "\n".join(lines)


def _human(size: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    return ""  # pragma: no cover


def _ago(seconds: float) -> str:
    for unit, span in (("d", 86400), ("h", 3600), ("min", 60)):
        if seconds >= span:
            return f"{seconds / span:.0f} {unit} ago"
    return "just now"


def cache_command(action: str, limit: str | None = None, everything: bool = False) -> int:
    """``orvane cache list`` and ``orvane cache prune [--limit SIZE] [--all]``."""
    if action == "list":
        items = list_kept()
        print(describe(items))
        if items:
            total = sum(k.size for k in items)
            print(f"total {_human(total)} of a limit of {_human(size_limit())}")
        return 0
    try:
        bytes_limit = 0 if everything else parse_size(limit) if limit else size_limit()
    except ValueError as exc:
        print(f"orvane: {exc}")
        return 2
    dropped = prune(bytes_limit)
    print(f"dropped {len(dropped)} kept cache(s), {_human(sum(k.size for k in dropped))}")
    return 0
