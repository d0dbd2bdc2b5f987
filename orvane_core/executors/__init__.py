"""Executors: run a component's code locally or remotely, and write caches to disk."""

from __future__ import annotations

from orvane_core.executors.component_executors import (
    OrvaneComponentExecutor,
    OrvaneRemoteComponentExecutor,
)
from orvane_core.executors.diskcache_writer import OrvaneDiskcacheWriter

__all__ = ["OrvaneComponentExecutor", "OrvaneDiskcacheWriter", "OrvaneRemoteComponentExecutor"]
