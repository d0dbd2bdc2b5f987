"""Executors: run a component's code locally or remotely, and write caches to disk."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from orvane_core.executors.diskcache_writer import OrvaneDiskcacheWriter

if TYPE_CHECKING:
    from orvane_core.executors.component_executors import (
        OrvaneComponentExecutor,
        OrvaneRemoteComponentExecutor,
    )

__all__ = ["OrvaneComponentExecutor", "OrvaneDiskcacheWriter", "OrvaneRemoteComponentExecutor"]


def __getattr__(name: str) -> Any:
    # The component executors (with multiprocessing and the remote client) are imported when a
    # component first runs: a kernel whose components all come from the disk cache needs none.
    # Kept as module globals once imported: a parallel run looks one up for every component.
    if name in ("OrvaneComponentExecutor", "OrvaneRemoteComponentExecutor"):
        from orvane_core.executors import component_executors

        value = globals()[name] = getattr(component_executors, name)
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
