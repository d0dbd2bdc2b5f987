"""Shared utilities: the application's private directory and the installed-package list."""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import re
import sys
import tempfile
import threading
import time
from importlib import metadata
from pathlib import Path

_TEMP_DIR_ENV = "ORVANE_TEMP_DIR"


def _current_uid() -> int | None:
    getuid = getattr(os, "getuid", None)
    return getuid() if getuid is not None else None


def _default_app_directory() -> Path:
    uid = _current_uid()
    suffix = str(uid) if uid is not None else os.environ.get("USERNAME", "user")
    return Path(tempfile.gettempdir()) / f"orvane-{suffix}"


def prepare_app_directory(path: Path, *, allow_symlink: bool) -> Path:
    """Create ``path`` private to the current user (0700), or check that an existing one is safe.

    Caches are unpickled from below this directory, so anyone else able to write into it could
    run code in the kernel: a directory owned by someone else, or one that group or others can
    write, is refused rather than repaired (it may be a folder the user shares on purpose, and
    what others put in it would stay). In the shared temporary directory a symlink is refused
    too, since its owner could later point it elsewhere.
    """
    from orvane_core import _native

    path = Path(path)
    try:
        _native.prepare_app_directory(os.fspath(path), allow_symlink)
    except RuntimeError as exc:
        raise RuntimeError(f"{exc} Set {_TEMP_DIR_ENV} to a private directory.") from None
    return path


def _app_directory() -> Path:
    override = os.environ.get(_TEMP_DIR_ENV)
    if override:
        # Absolute now, so that a later change of working directory (%cd) does not move it.
        return Path(override).expanduser().absolute()
    return _default_app_directory()


def root_allows_link(path: Path) -> bool:
    """Whether the application root may be a symlink: not in the shared temporary directory."""
    return Path(path) != _default_app_directory()


# Only a path: importing the package creates nothing on disk. Each pipeline creates and checks
# its directories when it is constructed (private, never through a link, refused when others
# can write them).
APP_TEMP_DIRECTORY: Path = _app_directory()


_NAME_SEPARATORS = re.compile(r"[-_.]+")


def normalize_name(name: str) -> str:
    """Project name in the normal form used to compare package names."""
    return _NAME_SEPARATORS.sub("-", name).lower()


_MISSING = (FileNotFoundError, IsADirectoryError, NotADirectoryError, PermissionError)


def _read_metadata_file(dist: metadata.Distribution, name: str, headers: bool = False) -> str:
    """A file of the project's metadata as ``dist.read_text`` gives it ("" when missing);
    with ``headers``, at least its lines up to the first empty one.

    A project in a folder on disk is read directly: the headers come first, so reading stops
    after them instead of decoding the long description below them, hundreds of times in a new
    kernel. Other kinds of installs go through ``read_text``.
    """
    folder = getattr(dist, "_path", None)
    if not isinstance(folder, Path):
        return dist.read_text(name) or ""
    try:
        stream = open(os.path.join(folder, name), "rb")
    except _MISSING:
        return ""
    with stream:
        data = stream.read(8192)
        while True:
            # An empty line ends the headers (a line of blanks before it ends them too: the
            # reader stops at that one).
            end = data.find(b"\n\n") if headers else -1
            if end < 0 and headers:
                end = data.find(b"\n\r\n")
            if end >= 0:
                data = data[: end + 1]
                break
            chunk = stream.read(65536)
            if not chunk:
                break
            data += chunk
    text = data.decode("utf-8")
    # As read_text in text mode gives it: with its line ends made "\n".
    return text.replace("\r\n", "\n").replace("\r", "\n") if "\r" in text else text


def _is_editable(dist: metadata.Distribution) -> bool:
    try:
        text = _read_metadata_file(dist, "direct_url.json")
    except Exception:
        return False
    if not text:
        return False
    try:
        info = json.loads(text)
    except ValueError:
        return False
    dir_info = info.get("dir_info") if isinstance(info, dict) else None
    return bool(isinstance(dir_info, dict) and dir_info.get("editable"))


def _name_and_version(dist: metadata.Distribution) -> tuple[str | None, str | None]:
    """The project's name and version from its metadata, as ``dist.metadata`` gives them.

    Only the header lines up to both fields are read (they come first): parsing every header
    and the long description below them, for hundreds of installed projects, made the first run
    in a new kernel wait.
    """
    text = _read_metadata_file(dist, "METADATA", headers=True) or _read_metadata_file(
        dist, "PKG-INFO", headers=True
    )
    found: dict[str, str] = {}
    for line in text.split("\n"):
        if not line.strip():
            break  # the headers end at the first blank line
        key, sep, value = line.partition(":")
        key = key.lower()
        if sep and key in ("name", "version") and key not in found:
            found[key] = value.lstrip(" \t").rstrip("\r")
            if len(found) == 2:
                break
    return found.get("name"), found.get("version")


def _scan_distributions(paths: list[str]) -> list[tuple[str, str, bool]]:
    """(normalised name, requirement line, editable) per installed project, sorted by name."""
    seen: dict[str, tuple[str, str, bool]] = {}
    for dist in metadata.distributions(path=paths):
        try:
            name, version = _name_and_version(dist)
        except Exception:
            continue
        if not name or not version:
            continue
        key = normalize_name(name)
        # The first one on the path is the one that imports, as for the import system.
        if key not in seen:
            seen[key] = (key, f"{name}=={version}", _is_editable(dist))
    return [seen[k] for k in sorted(seen)]


def _path_stamp(paths: list[str]) -> tuple:
    stamps = []
    for entry in paths:
        if entry in ("", "."):
            # The working directory (a notebook's folder) changes all the time and holds no
            # installed projects worth a rescan.
            continue
        try:
            info = os.stat(entry)
        except OSError:
            stamps.append((entry, None))
        else:
            # The link count moves with every metadata directory added or removed, even where
            # the file system's clock is too coarse to change the modification time.
            stamps.append((entry, info.st_mtime_ns, info.st_nlink, info.st_ino))
    return tuple(stamps)


_METADATA_SUFFIXES = (".dist-info", ".egg-info", ".egg")


def _working_directory_holds_projects(paths: list[str]) -> bool:
    """Whether the working directory is on the path and holds project metadata: then its list
    depends on where the kernel was started, and is scanned each time rather than kept."""
    if "" not in paths and "." not in paths:
        return False
    try:
        with os.scandir(".") as entries:
            return any(e.name.lower().endswith(_METADATA_SUFFIXES) for e in entries)
    except OSError:
        return True


def _saved_list_path(paths: list[str]) -> Path | None:
    """The file keeping the scan of this interpreter and import path for the next kernels, in
    the application directory once a pipeline has created it (None before, or when the working
    directory holds projects)."""
    root = APP_TEMP_DIRECTORY
    if not os.path.isdir(root) or _working_directory_holds_projects(paths):
        return None
    key = hashlib.sha256(json.dumps([sys.executable, paths]).encode()).hexdigest()[:24]
    return Path(root) / f"packages-{key}.json"


def _read_saved_list(path: Path, stamp: tuple) -> list[tuple[str, str, bool]] | None:
    """The kept scan when it was made of the same directories as they are now, else None."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    except OSError:
        return None
    try:
        with os.fdopen(fd, "rb") as stream:
            saved = json.loads(stream.read())
        if saved["stamp"] != json.loads(json.dumps(stamp)):
            return None
        entries = [(str(n), str(line), bool(e)) for n, line, e in saved["entries"]]
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return entries


def _save_list(path: Path, stamp: tuple, entries: list[tuple[str, str, bool]]) -> None:
    """Writes the scan for the next kernels: private, whole or not at all, never through a link."""
    temp = path.with_name(f".{path.name}.{os.getpid()}.{threading.get_ident()}")
    try:
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    except OSError:
        return
    try:
        with os.fdopen(fd, "w") as stream:
            json.dump({"stamp": stamp, "entries": entries}, stream)
        os.replace(temp, path)
    except OSError:
        with contextlib.suppress(OSError):
            os.unlink(temp)


def remove_stale_package_lists(root: Path) -> list[Path]:
    """Removes the package lists in ``root`` that no kernel will read again: those whose import
    path directories changed or went (a removed virtualenv, an upgraded interpreter), the
    unreadable ones, and the half-written files of a writer that died an hour ago or more.
    Returns what was removed; links are left alone."""
    removed = []
    try:
        entries = list(os.scandir(root))
    except OSError:
        return removed
    for entry in entries:
        name = entry.name
        if not entry.is_file(follow_symlinks=False):
            continue
        if name.startswith(".packages-"):
            try:
                stale = time.time() - entry.stat(follow_symlinks=False).st_mtime > 3600
            except OSError:
                continue
        elif name.startswith("packages-") and name.endswith(".json"):
            stale = _list_is_stale(Path(entry.path))
        else:
            continue
        if stale:
            with contextlib.suppress(OSError):
                os.unlink(entry.path)
                removed.append(Path(entry.path))
    return removed


def _list_is_stale(path: Path) -> bool:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
        with os.fdopen(fd, "rb") as stream:
            stamp = json.loads(stream.read())["stamp"]
        paths = [str(item[0]) for item in stamp]
    except (OSError, ValueError, KeyError, TypeError, IndexError):
        return True
    return stamp != json.loads(json.dumps(_path_stamp(paths)))


class _FreezeCache:
    """The last scan, kept until a directory on the import path changes.

    Installing or removing a project adds or removes its metadata directory, which changes the
    modification time of the directory holding it; that is the signal to scan again. The scan
    is also kept on disk for the next kernels of the same interpreter, under the same
    condition: a new kernel then reads it instead of scanning every project again.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._stamp: tuple | None = None
        self._entries: list[tuple[str, str, bool]] = []
        self._results: dict[tuple, list[str]] = {}

    def lines(self, exclude_editable: bool, skip: frozenset[str]) -> list[str]:
        paths = list(sys.path)
        stamp = _path_stamp(paths)
        with self._lock:
            if stamp != self._stamp:
                saved = _saved_list_path(paths)
                entries = _read_saved_list(saved, stamp) if saved is not None else None
                if entries is None:
                    entries = _scan_distributions(paths)
                    if saved is not None:
                        _save_list(saved, stamp, entries)
                self._entries = entries
                self._stamp = stamp
                self._results.clear()
            key = (exclude_editable, skip)
            result = self._results.get(key)
            if result is None:
                result = [
                    line
                    for name, line, editable in self._entries
                    if name not in skip and not (exclude_editable and editable)
                ]
                self._results[key] = result
        return list(result)

    def clear(self) -> None:
        with self._lock:
            self._stamp = None
            self._results.clear()


_FREEZE_CACHE = _FreezeCache()


def get_pip_freeze(exclude_editable: bool = True, skip: list[str] | None = None) -> list[str]:
    """Installed projects of this interpreter as sorted "name==version" lines.

    Editable installs are left out when ``exclude_editable`` is true; names in ``skip`` are
    compared in normalised form, so "Foo_Bar" skips "foo-bar".
    """
    if isinstance(skip, str):
        skip = [skip]
    skipped = frozenset(normalize_name(str(s)) for s in (skip or ()))
    return _FREEZE_CACHE.lines(bool(exclude_editable), skipped)


def kernel_connection_file() -> str | None:
    """The connection file of the kernel application this process runs, or None outside one.

    The application is only asked when it already runs: instance() in a fresh process would create
    an empty application and mark it initialised, which would mislead every later check.
    """
    try:
        kernelapp = sys.modules.get("ipykernel.kernelapp")
        if kernelapp is None or not kernelapp.IPKernelApp.initialized():
            return None
        return kernelapp.IPKernelApp.instance().connection_file
    except Exception:  # a kernel that cannot tell runs without one
        return None


__all__ = [
    "APP_TEMP_DIRECTORY",
    "get_pip_freeze",
    "kernel_connection_file",
    "normalize_name",
    "prepare_app_directory",
    "remove_stale_package_lists",
    "root_allows_link",
]
