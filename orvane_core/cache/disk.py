"""A component cache stored in one directory: manifest first, values loaded lazily.

The directory layout is written by the native writer (``src/core/cache_store.hpp``): a
``manifest.json`` listing every blob file with its kind, byte size and XXH64 checksum, one
pickled ``meta`` blob with the small result fields, one ``last_output`` blob and one blob per
non-module output. Opening reads only the manifest and the file sizes, so adopting a directory
of gigabytes costs nothing until a value is asked for.
"""

from __future__ import annotations

import errno
import json
import os
import pickle
import stat
from collections.abc import Iterator, Mapping
from typing import Any

from orvane_core import _native

_MANIFEST = _native.CACHE_MANIFEST_NAME
_FORMAT = _native.CACHE_MANIFEST_FORMAT
_VERSION = _native.CACHE_MANIFEST_VERSION
PARTIAL_PREFIX = _native.CACHE_PARTIAL_PREFIX
_KINDS = ("meta", "last_output", "output")
_META_FIELDS = ("module_statements", "captured", "exception_msg", "outputs_summary")

# Blobs at least this large are read with their big payloads placed out of band; smaller ones
# are read whole, which is cheaper for them.
_SPLIT_READ_BYTES = 1 << 20


class OrvaneDiskCacheError(RuntimeError):
    """A directory that is not a usable cache, or a blob that fails its size or checksum."""


def _open_no_link(path: str):
    """Opens a cache file for reading; a symbolic link in its place is refused (ELOOP)."""
    return os.fdopen(os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC), "rb")


def _regular_size(path: str) -> int:
    """Size of a cache file that is a regular file, not a link to one."""
    info = os.lstat(path)
    if not stat.S_ISREG(info.st_mode):
        raise OSError(errno.ELOOP, "not a regular file (links are never followed)", path)
    return info.st_size


def _parse_manifest(cache_dir: str) -> dict:
    path = os.path.join(cache_dir, _MANIFEST)
    if os.path.islink(cache_dir):
        raise OrvaneDiskCacheError(f"Disk cache directory is a symbolic link: {cache_dir!r}")
    if not os.path.isdir(cache_dir):
        raise OrvaneDiskCacheError(f"Disk cache directory does not exist: {cache_dir!r}")
    try:
        with _open_no_link(path) as f:
            raw = f.read()
    except FileNotFoundError:
        raise OrvaneDiskCacheError(f"Not a disk cache (no {_MANIFEST}): {cache_dir!r}") from None
    except OSError as exc:
        raise OrvaneDiskCacheError(f"Cannot read {path!r}: {exc}") from exc
    try:
        manifest = json.loads(raw)
    except (ValueError, UnicodeDecodeError) as exc:
        raise OrvaneDiskCacheError(f"Corrupt disk cache manifest {path!r}: {exc}") from exc
    if not isinstance(manifest, dict) or manifest.get("format") != _FORMAT:
        raise OrvaneDiskCacheError(f"Not a disk cache manifest of this product: {path!r}")
    if manifest.get("version") != _VERSION:
        raise OrvaneDiskCacheError(
            f"Unsupported disk cache version {manifest.get('version')!r} in {path!r}"
        )
    component_id = manifest.get("component_id")
    success_count = manifest.get("success_count")
    blobs = manifest.get("blobs")
    if (
        not isinstance(component_id, str)
        or not isinstance(success_count, int)
        or isinstance(success_count, bool)
        or not isinstance(blobs, list)
    ):
        raise OrvaneDiskCacheError(f"Corrupt disk cache manifest {path!r}: missing fields")
    for blob in blobs:
        ok = (
            isinstance(blob, dict)
            and isinstance(blob.get("name"), str)
            and blob.get("kind") in _KINDS
            and isinstance(blob.get("file"), str)
            # Only plain names inside the directory: a manifest never points elsewhere.
            and blob["file"] not in ("", ".", "..", _MANIFEST)
            and os.sep not in blob["file"]
            and "\x00" not in blob["file"]
            and isinstance(blob.get("size"), int)
            and blob["size"] >= 0
            and isinstance(blob.get("xxh64"), str)
        )
        if not ok:
            raise OrvaneDiskCacheError(f"Corrupt disk cache manifest {path!r}: bad blob entry")
    return manifest


def _missing_or_truncated(cache_dir: str, blobs: list[dict]) -> str | None:
    """The first problem with the blob files, as text, or none when all have their sizes."""
    for blob in blobs:
        path = os.path.join(cache_dir, blob["file"])
        try:
            size = _regular_size(path)
        except FileNotFoundError:
            return f"Disk cache file is missing: {path!r}"
        except OSError as exc:
            return f"Cannot inspect disk cache file {path!r}: {exc}"
        if size != blob["size"]:
            return (
                f"Disk cache file {path!r} has {size} bytes, the manifest says {blob['size']} "
                "(truncated or overwritten)"
            )
    return None


def _load_blob(cache_dir: str, entry: dict) -> Any:
    path = os.path.join(cache_dir, entry["file"])
    expected_size, expected_sum = entry["size"], entry["xxh64"]
    try:
        size = _regular_size(path)
        if size != expected_size:
            raise OrvaneDiskCacheError(
                f"Disk cache file {path!r} has {size} bytes, the manifest says "
                f"{expected_size} (truncated or overwritten)"
            )
        if size < _SPLIT_READ_BYTES:
            with _open_no_link(path) as f:
                data = f.read()
            digest, buffers = _native.checksum(data), ()
        else:
            # One pass with the GIL released: large array payloads land directly in the
            # objects the unpickler will use, and every byte is checksummed on the way.
            digest, data, buffers = _native.read_pickle_blob(path, _SPLIT_READ_BYTES)
    except OSError as exc:
        raise OrvaneDiskCacheError(f"Cannot read disk cache file {path!r}: {exc}") from exc
    if digest != expected_sum:
        raise OrvaneDiskCacheError(f"Disk cache file {path!r} is corrupt (checksum mismatch)")
    try:
        return pickle.loads(data, buffers=buffers)
    except Exception as exc:
        raise OrvaneDiskCacheError(f"Cannot unpickle disk cache file {path!r}: {exc}") from exc


class _LazyOutputs(Mapping):
    """Read-only mapping of non-module outputs: names from the manifest, values on first use."""

    __slots__ = ("_cache_dir", "_entries", "_values")

    def __init__(self, cache_dir: str, entries: dict[str, dict]) -> None:
        self._cache_dir = cache_dir
        self._entries = entries
        self._values: dict[str, Any] = {}

    def __getitem__(self, name: str) -> Any:
        try:
            return self._values[name]
        except KeyError:
            entry = self._entries[name]  # KeyError for unknown names, as a mapping should
        value = _load_blob(self._cache_dir, entry)
        self._values[name] = value
        return value

    def __iter__(self) -> Iterator[str]:
        return iter(self._entries)

    def __len__(self) -> int:
        return len(self._entries)

    def __contains__(self, name: object) -> bool:
        return name in self._entries

    def __repr__(self) -> str:
        return f"<disk-cached outputs {list(self._entries)}>"


_UNLOADED = object()


class OrvaneDiskCache:
    """The cache of one component run, kept in ``cache_dir``.

    The constructor validates the manifest and the blob sizes and raises
    ``OrvaneDiskCacheError`` for a directory it cannot use; values are read on first access, and
    a blob whose checksum does not match raises ``OrvaneDiskCacheError`` naming the file.
    """

    def __init__(self, cache_dir: str | os.PathLike | None = None) -> None:
        if cache_dir is None or not isinstance(cache_dir, str | os.PathLike):
            raise TypeError(f"cache_dir must be a path text, not {type(cache_dir).__name__}")
        cache_dir = os.fspath(cache_dir)
        if not isinstance(cache_dir, str):
            raise TypeError("cache_dir must be a path text, not bytes")
        self.cache_dir: str = cache_dir
        manifest = _parse_manifest(cache_dir)
        problem = _missing_or_truncated(cache_dir, manifest["blobs"])
        if problem:
            raise OrvaneDiskCacheError(problem)
        self.component_id: str = manifest["component_id"]
        self.success_count: int = manifest["success_count"]
        self.created: float | None = manifest.get("created")
        self._blobs: list[dict] = manifest["blobs"]
        self._reset_values()

    def _reset_values(self) -> None:
        meta = [b for b in self._blobs if b["kind"] == "meta"]
        last = [b for b in self._blobs if b["kind"] == "last_output"]
        self._meta_entry = meta[0] if meta else None
        self._last_entry = last[0] if last else None
        self._meta: dict | None = None
        self._last_output: Any = _UNLOADED
        self._outputs = _LazyOutputs(
            self.cache_dir, {b["name"]: b for b in self._blobs if b["kind"] == "output"}
        )

    # -- loading ---------------------------------------------------------------------------

    def _meta_fields(self) -> dict:
        if self._meta is None:
            meta: dict = {}
            if self._meta_entry is not None:
                loaded = _load_blob(self.cache_dir, self._meta_entry)
                if not isinstance(loaded, dict):
                    raise OrvaneDiskCacheError(
                        f"Disk cache file {os.path.join(self.cache_dir, self._meta_entry['file'])!r}"
                        " does not hold the result fields"
                    )
                meta = loaded
            self._meta = meta
        return self._meta

    # -- the six result fields -------------------------------------------------------------

    @property
    def module_statements(self) -> dict:
        value = self._meta_fields().get("module_statements")
        return value if value is not None else {}

    @property
    def non_module_outputs(self) -> Mapping:
        return self._outputs

    @property
    def last_output(self) -> Any:
        if self._last_output is _UNLOADED:
            if self._last_entry is None:
                self._last_output = None
            else:
                self._last_output = _load_blob(self.cache_dir, self._last_entry)
        return self._last_output

    @property
    def captured(self) -> Any:
        return self._meta_fields().get("captured")

    @property
    def exception_msg(self) -> Any:
        return self._meta_fields().get("exception_msg")

    @property
    def outputs_summary(self) -> Any:
        return self._meta_fields().get("outputs_summary")

    @property
    def fingerprint(self) -> str:
        """What the cached result was computed from; empty when the writer was not told."""
        return self._meta_fields().get("fingerprint") or ""

    # -- lifecycle -------------------------------------------------------------------------

    def clear_cache(self) -> None:
        """Forget loaded values and delete the listed blob files and the manifest, nothing else."""
        blobs, self._blobs = self._blobs, []
        self._reset_values()
        # The manifest goes first: a directory interrupted here no longer loads as a cache.
        for name in [_MANIFEST] + [b["file"] for b in blobs]:
            try:
                os.unlink(os.path.join(self.cache_dir, name))
            except FileNotFoundError:
                pass

    def close(self) -> None:
        """Drop loaded values. Blobs are read whole, so no file handle or mapping stays open;
        a later access loads again from disk."""
        self._reset_values()

    def __repr__(self) -> str:
        return (
            f"OrvaneDiskCache(cache_dir={self.cache_dir!r}, component_id={self.component_id!r}, "
            f"success_count={self.success_count})"
        )

    # -- inspection without loading --------------------------------------------------------

    @staticmethod
    def read_record(path: str | os.PathLike) -> dict | None:
        """Component id, success count and completeness of a cache directory, without loading.

        Returns none for anything that is not a cache written by this product: a foreign or
        corrupt directory, a plain file, or an unfinished write (``PARTIAL_PREFIX`` names).
        ``complete`` is false when a listed blob is missing or has the wrong size.
        """
        path = os.fspath(path)
        if not isinstance(path, str) or os.path.basename(path.rstrip(os.sep)).startswith(
            PARTIAL_PREFIX
        ):
            return None
        try:
            manifest = _parse_manifest(path)
        except OrvaneDiskCacheError:
            return None
        return {
            "component_id": manifest["component_id"],
            "success_count": manifest["success_count"],
            "created": manifest.get("created"),
            "complete": _missing_or_truncated(path, manifest["blobs"]) is None,
        }

    @staticmethod
    def is_unfinished_write(path: str | os.PathLike) -> bool:
        """True for the temporary directory of a write that never finished."""
        name = os.path.basename(os.fspath(path).rstrip(os.sep))
        return name.startswith(PARTIAL_PREFIX) and os.path.isdir(path)


__all__ = ["OrvaneDiskCache", "OrvaneDiskCacheError", "PARTIAL_PREFIX"]
