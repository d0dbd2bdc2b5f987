"""Captured output of a component run and how it is shown in the notebook."""

from __future__ import annotations

import sys
from typing import Any


class OrvaneCapturedIO:
    """Stream output of a run: entries ``{"type": "stream", "name": ..., "text": ...}``.

    ``name`` is "<stdout>" or "<stderr>". The list is appended to in place.
    """

    __slots__ = ("outputs",)

    def __init__(self, outputs: list[dict[str, Any]] | None = None) -> None:
        self.outputs = outputs if outputs is not None else []

    def __bool__(self) -> bool:
        return bool(self.outputs)

    def __len__(self) -> int:
        return len(self.outputs)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, OrvaneCapturedIO):
            return self.outputs == other.outputs
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"OrvaneCapturedIO(outputs={self.outputs!r})"

    def __getstate__(self):
        return {"outputs": self.outputs}

    def __setstate__(self, state):
        self.outputs = state["outputs"]

    def text(self, name: str | None = None) -> str:
        """All captured text, or only that of one stream ("<stdout>" / "<stderr>")."""
        return "".join(
            e.get("text", "") for e in self.outputs if name is None or e.get("name") == name
        )

    def show(self, shell: Any = None, component_id: str | None = None) -> None:
        """Show the entries: as stream messages of the kernel, or printed without one."""
        session, socket, parent = _kernel_channel(shell)
        if session is None:
            for entry in self.outputs:
                stream = sys.stderr if entry.get("name") == "<stderr>" else sys.stdout
                stream.write(entry.get("text", ""))
            sys.stdout.flush()
            sys.stderr.flush()
            return
        for entry in self.outputs:
            name = "stderr" if entry.get("name") == "<stderr>" else "stdout"
            content = {"name": name, "text": entry.get("text", "")}
            session.send(
                socket,
                "stream",
                content,
                parent=parent,
                ident=f"stream.{name}".encode(),
                metadata={"component_id": component_id},
            )


def _kernel_channel(shell: Any) -> tuple[Any, Any, Any]:
    """The session, IOPub socket and parent header of a kernel's shell, or Nones without one."""
    if not shell:
        return None, None, None
    hook = getattr(shell, "displayhook", None)
    session = getattr(hook, "session", None)
    socket = getattr(hook, "pub_socket", None)
    if session is None or socket is None:
        return None, None, None
    return session, socket, getattr(hook, "parent_header", None)
