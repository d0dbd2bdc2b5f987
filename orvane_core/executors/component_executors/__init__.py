"""Component executors: in the kernel's shell, in a worker process, or on a remote service."""

from __future__ import annotations

from orvane_core.executors.component_executors.local import OrvaneComponentExecutor
from orvane_core.executors.component_executors.remote import OrvaneRemoteComponentExecutor

__all__ = ["OrvaneComponentExecutor", "OrvaneRemoteComponentExecutor"]
