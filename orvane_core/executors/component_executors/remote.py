"""Remote execution of a component's code; this build has no remote worker service."""

from __future__ import annotations

from typing import Any

UNAVAILABLE_MESSAGE = (
    "Remote execution is not available in this build of Orvane: no remote worker service "
    "is supported yet. Remove the component's remote execution setting to run it locally."
)


class OrvaneRemoteComponentExecutor:
    """Stands where a task-queue executor will run requests on remote workers.

    ``ping`` reports it unreachable, so components with a remote configuration fail with a
    readable message instead of running somewhere the user did not ask for.
    """

    def __init__(
        self,
        identifier: str | None = None,
        name: str | None = None,
        backend: Any = None,
        broker: Any = None,
    ) -> None:
        self.identifier = identifier
        self.name = name
        self.backend = backend
        self.broker = broker

    def __repr__(self) -> str:
        return (
            f"OrvaneRemoteComponentExecutor(identifier={self.identifier!r}, "
            f"name={self.name!r}, backend={self.backend!r}, broker={self.broker!r})"
        )

    def ping(self) -> tuple[bool, str]:
        """``(reachable, message)``: never reachable in this build."""
        return False, UNAVAILABLE_MESSAGE

    def execute(self, request: bytes) -> bytes:
        """Would run a cloudpickled request remotely; refuses in this build."""
        raise RuntimeError(UNAVAILABLE_MESSAGE)


__all__ = ["UNAVAILABLE_MESSAGE", "OrvaneRemoteComponentExecutor"]
