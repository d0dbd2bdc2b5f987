"""A component cache stored in one directory: manifest first, values loaded lazily.

The directory format belongs to the native core (``src/core/cache_format.hpp``), which writes
the manifest and reads it here: a ``manifest.json`` listing every blob file with its kind, size,
checksum and out-of-band buffers; one ``meta`` blob with the small result fields, one
``last_output`` blob and one blob per non-module output. Opening reads only the manifest and the
file sizes, so adopting a directory of gigabytes costs nothing until a value is asked for; a
value is then read in one pass, its large buffers straight into the objects it is built on.
"""

from __future__ import annotations

import os
import pickle
from collections.abc import Iterator, Mapping
from typing import Any

from orvane_core import _native

_MANIFEST = _native.CACHE_MANIFEST_NAME
PARTIAL_PREFIX = _native.CACHE_PARTIAL_PREFIX

# Raised for a directory that is not a usable cache and for a blob that fails its size or
# checksum; a RuntimeError.
OrvaneDiskCacheError = _native.OrvaneDiskCacheError


def _load_blob(manifest: _native.CacheManifest, index: int, file: str) -> Any:
    stream, buffers = manifest.read_blob(index)
    try:
        return pickle.loads(stream, buffers=buffers)
    except Exception as exc:
        path = os.path.join(manifest.cache_dir, file)
        raise OrvaneDiskCacheError(f"Cannot unpickle disk cache file {path!r}: {exc}") from exc


class _LazyOutputs(Mapping):
    """Read-only mapping of non-module outputs: names from the manifest, values on first use."""

    __slots__ = ("_entries", "_manifest", "_values")

    def __init__(self, manifest: _native.CacheManifest | None, entries: dict[str, int]) -> None:
        self._manifest = manifest
        self._entries = entries
        self._values: dict[str, Any] = {}

    def __getitem__(self, name: str) -> Any:
        try:
            return self._values[name]
        except KeyError:
            index = self._entries[name]  # KeyError for unknown names, as a mapping should
        value = _load_blob(self._manifest, index, name)
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


def _digests(value: Any) -> bool:
    """Whether ``value`` maps names to digests, both text."""
    return isinstance(value, dict) and all(
        type(k) is str and type(v) is str for k, v in value.items()
    )


def error_text(exc: BaseException) -> str:
    """An error as "Kind: message", or its kind alone when it has no message."""
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


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
        manifest = _native.CacheManifest(cache_dir)
        problem = manifest.missing_or_truncated()
        if problem:
            raise OrvaneDiskCacheError(problem)
        self.component_id: str = manifest.component_id
        self.success_count: int = manifest.success_count
        self.created: float | None = manifest.created
        self._manifest: _native.CacheManifest | None = manifest
        self._reset_values()

    def _reset_values(self) -> None:
        blobs = self._manifest.blobs() if self._manifest is not None else []
        first = {}
        for index, (_name, kind) in enumerate(blobs):
            first.setdefault(kind, index)
        self._meta_index: int | None = first.get("meta")
        self._last_index: int | None = first.get("last_output")
        self._meta: dict | None = None
        self._last_output: Any = _UNLOADED
        self._outputs = _LazyOutputs(
            self._manifest,
            {name: index for index, (name, kind) in enumerate(blobs) if kind == "output"},
        )

    # -- loading ---------------------------------------------------------------------------

    def _meta_fields(self) -> dict:
        if self._meta is None:
            meta: dict = {}
            if self._meta_index is not None:
                loaded = _load_blob(self._manifest, self._meta_index, "meta")
                if not isinstance(loaded, dict):
                    raise OrvaneDiskCacheError(
                        f"Disk cache {self.cache_dir!r} does not hold the result fields"
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
            if self._last_index is None:
                self._last_output = None
            else:
                self._last_output = _load_blob(self._manifest, self._last_index, "last_output")
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

    @property
    def sources(self) -> dict:
        """The inputs behind the fingerprint as digests; empty when the writer was not told."""
        value = self._meta_fields().get("sources")
        return value if isinstance(value, dict) else {}

    def recorded_inputs(self) -> tuple[str, str, dict[str, str], dict[str, str]]:
        """The fingerprint and the digests of the code, parameters and parents behind it, as
        the engine's ``pickle_results`` records them. Inputs recorded in any other shape read
        as unknown (empty), all of them."""
        sources = self.sources
        code, parameters, parents = (sources.get(k) for k in ("code", "parameters", "parents"))
        if not (isinstance(code, str) and _digests(parameters) and _digests(parents)):
            code, parameters, parents = "", {}, {}
        return str(self.fingerprint), code, parameters, parents

    def read_all(self) -> str | None:
        """Reads every value once, so that what is served afterwards comes from memory: none
        when all read, else the error of the first value that cannot be read (``error_text``)."""
        try:
            for field in ("module_statements", "captured", "exception_msg", "last_output"):
                getattr(self, field)
            for name in self.non_module_outputs:
                self.non_module_outputs[name]
        except Exception as exc:
            return error_text(exc)
        return None

    # -- lifecycle -------------------------------------------------------------------------

    def clear_cache(self) -> None:
        """Forget loaded values and delete the listed blob files and the manifest, nothing else."""
        files = self._manifest.files() if self._manifest is not None else []
        self._manifest = None
        self._reset_values()
        # The manifest goes first: a directory interrupted here no longer loads as a cache.
        for name in [_MANIFEST, *files]:
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
            manifest = _native.CacheManifest(path)
        except OrvaneDiskCacheError:
            return None
        return {
            "component_id": manifest.component_id,
            "success_count": manifest.success_count,
            "created": manifest.created,
            "complete": manifest.missing_or_truncated() is None,
        }

    @staticmethod
    def is_unfinished_write(path: str | os.PathLike) -> bool:
        """True for the temporary directory of a write that never finished."""
        name = os.path.basename(os.fspath(path).rstrip(os.sep))
        return name.startswith(PARTIAL_PREFIX) and os.path.isdir(path)


__all__ = ["OrvaneDiskCache", "OrvaneDiskCacheError", "PARTIAL_PREFIX"]
