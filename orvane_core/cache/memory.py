"""The in-memory cache of a component's last run."""

from __future__ import annotations

from typing import Any

_FIELDS = (
    "module_statements",
    "non_module_outputs",
    "last_output",
    "captured",
    "exception_msg",
    "outputs_summary",
)


class OrvaneInMemoryCache:
    """The six result fields of a run, held in memory.

    Two caches compare equal when both are empty, or when they hold the same objects: results
    may be arrays or other values whose ``==`` is not a truth value, so contents are compared by
    identity.
    """

    __slots__ = _FIELDS

    def __init__(self, cache: Any = None) -> None:
        if cache is None:
            self.clear_cache()
        else:
            for name in _FIELDS:
                setattr(self, name, getattr(cache, name, None))
            if self.module_statements is None:
                self.module_statements = {}
            if self.non_module_outputs is None:
                self.non_module_outputs = {}

    def is_empty(self) -> bool:
        return not (
            self.module_statements
            or self.non_module_outputs
            or self.last_output is not None
            or self.captured
            or self.exception_msg
            or self.outputs_summary is not None
        )

    def clear_cache(self) -> None:
        self.module_statements = {}
        self.non_module_outputs = {}
        self.last_output = None
        self.captured = None
        self.exception_msg = None
        self.outputs_summary = None

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, OrvaneInMemoryCache):
            return NotImplemented
        if self is other:
            return True
        mine, theirs = self.is_empty(), other.is_empty()
        if mine or theirs:
            return mine and theirs
        return all(getattr(self, n) is getattr(other, n) for n in _FIELDS)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        if self.is_empty():
            return "OrvaneInMemoryCache(<empty>)"
        names = sorted(self.non_module_outputs or {})
        return f"OrvaneInMemoryCache(outputs={names}, failed={bool(self.exception_msg)})"
