"""Captured output of a component run and how it is shown in the notebook."""

from __future__ import annotations

import contextlib
import sys
from typing import Any


class OrvaneCapturedIO:
    """Output of a run: entries ``{"type": "stream", "name": ..., "text": ...}``, with ``name``
    "<stdout>" or "<stderr>", and, when rich output is kept, ``{"type": "display_data",
    "data": {mimetype: ...}, "metadata": {...}}``. The list is appended to in place.
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
                if entry.get("type") == "display_data":
                    sys.stdout.write(str(entry.get("data", {}).get("text/plain", "")) + "\n")
                    continue
                stream = sys.stderr if entry.get("name") == "<stderr>" else sys.stdout
                stream.write(entry.get("text", ""))
            sys.stdout.flush()
            sys.stderr.flush()
            return
        for entry in self.outputs:
            if entry.get("type") == "display_data":
                tag = {"component_id": component_id}
                session.send(
                    socket,
                    "display_data",
                    {
                        "data": entry.get("data", {}),
                        "metadata": {**entry.get("metadata", {}), **tag},
                        "transient": {},
                    },
                    parent=parent,
                    ident=b"display_data",
                    metadata=tag,
                )
                continue
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


def show_result(value: Any, shell: Any = None, component_id: str | None = None) -> None:
    """Show a component's last output as a cell's result: on the kernel's channel in a kernel,
    through the shell's display publisher outside one, printed without a shell."""
    text = repr(value)
    data, metadata = {"text/plain": text}, {"component_id": component_id}
    session, socket, parent = _kernel_channel(shell)
    if session is not None:
        content = {"execution_count": 0, "data": data, "metadata": metadata}
        session.send(socket, "execute_result", content, parent=parent, ident=b"execute_result")
        return
    publisher = getattr(shell, "display_pub", None) if shell else None
    if publisher is not None:
        publisher.publish(data=data, metadata=metadata)
    else:
        print(text)


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


# --- what a run shows while it runs -----------------------------------------------------------
#
# Opt-in, for the front end: while a ``live_output`` sink is installed (in the kernel), or while
# LIVE_ADDRESS_ENV names the kernel's socket (in the worker processes of a parallel run), what a
# component writes reaches the notebook as it is written, instead of all at once when it ends.
# With RICH_ENV set, what a component displays (figures, tables, any display data) is kept in
# its captured output as "display_data" entries, so that it is cached and shown again.

LIVE_ADDRESS_ENV = "ORVANE_LIVE_OUTPUT"
RICH_ENV = "ORVANE_RICH_OUTPUT"
_DATAGRAM = 48 * 1024  # text per datagram, well below the socket's buffer
_sink: LiveSink | None = None
_sender: Any = None  # this worker process's _Sender, made at its first use
_publisher: _Batches | None = None  # a remote worker's, while it runs a task


def rich_output_enabled() -> bool:
    import os

    return os.environ.get(RICH_ENV) == "1"


class _Batches:
    """Writes collected and handed on together at most every ``interval`` seconds (and when
    flushed), so that a loop printing thousands of lines sends a few dozen messages."""

    def __init__(self, deliver: Any, interval: float = 0.1) -> None:
        import threading

        self._deliver = deliver  # deliver(kind, component_id, payload)
        self._interval = interval
        self._lock = threading.Lock()
        self._pending: list[list] = []  # [kind, component_id, name or data, pieces]
        self._stop = threading.Event()
        self._thread: Any = None

    def add(self, component_id: str | None, name: str, text: str) -> None:
        import threading

        with self._lock:
            last = self._pending[-1] if self._pending else None
            if last is not None and last[0] == "stream" and last[1:3] == [component_id, name]:
                last[3].append(text)
            else:
                self._pending.append(["stream", component_id, name, [text]])
            start = self._thread is None and not self._stop.is_set()
            if start:
                self._thread = threading.Thread(target=self._run, name="orvane-live", daemon=True)
                self._thread.start()
        if self._stop.is_set():  # a thread of the cell still writing after its run: now
            self.flush()

    def add_display(
        self, component_id: str | None, data: dict, metadata: dict, transient: Any = None
    ) -> None:
        with self._lock:
            self._pending.append(["display", component_id, data, (metadata, transient)])
        self.flush()  # a figure is worth a message of its own, now

    def flush(self) -> None:
        with self._lock:
            pending, self._pending = self._pending, []
            for kind, component_id, first, second in pending:
                try:
                    if kind == "stream":
                        self._deliver("stream", component_id, (first, "".join(second)))
                    else:
                        self._deliver("display", component_id, (first, *second))
                except Exception:
                    pass  # the run's captured output still has it; it is shown at the end

    def _run(self) -> None:
        while not self._stop.wait(self._interval):
            self.flush()

    def close(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join(timeout=5)
        self.flush()


class LiveSink:
    """Shows what components write and display while they run, as messages of the kernel
    tagged with the component's id; remembers what it showed of each, so that the rest of a
    component's captured output can be shown when it ends (``unshown``)."""

    def __init__(self, shell: Any = None, interval: float = 0.1) -> None:
        import threading

        self._channel = _kernel_channel(shell)
        # Without a kernel, text goes to the streams of now: during a run sys.stdout captures.
        self._out, self._err = sys.stdout, sys.stderr
        self._batches = _Batches(self._send, interval)
        self._lock = threading.Lock()
        self._shown: dict[str | None, dict] = {}
        self._receiver: _Receiver | None = None

    def _account(self, component_id: str | None, name: str | None, text: str) -> None:
        with self._lock:
            shown = self._shown.setdefault(component_id, {"displays": 0})
            if name is None:
                shown["displays"] += 1
            else:
                shown[name] = shown.get(name, "") + text
                shown[None] = shown.get(None, "") + text

    def write(self, component_id: str | None, name: str, text: str) -> None:
        if text:
            self._account(component_id, name, text)
            self._batches.add(component_id, name, text)

    def display(
        self, component_id: str | None, data: dict, metadata: dict, transient: Any = None
    ) -> None:
        self._account(component_id, None, "")
        self._batches.add_display(component_id, data, metadata, transient)

    def flush(self) -> None:
        if self._receiver is not None:
            self._receiver.drain()
        self._batches.flush()

    def _send(self, kind: str, component_id: str | None, payload: tuple) -> None:
        session, socket, parent = self._channel
        metadata = {"component_id": component_id}
        if kind == "stream":
            name, text = payload
            if session is None:
                stream = self._err if name == "<stderr>" else self._out
                stream.write(text)
                stream.flush()
                return
            short = "stderr" if name == "<stderr>" else "stdout"
            session.send(
                socket,
                "stream",
                {"name": short, "text": text},
                parent=parent,
                ident=f"stream.{short}".encode(),
                metadata=metadata,
            )
        else:
            data, extra, transient = payload
            if session is None:
                self._out.write(str(data.get("text/plain", "")) + "\n")
                return
            session.send(
                socket,
                "display_data",
                {"data": data, "metadata": {**extra, **metadata}, "transient": transient or {}},
                parent=parent,
                ident=b"display_data",
                metadata=metadata,
            )

    def unshown(self, captured: OrvaneCapturedIO | None, component_id: str | None) -> list:
        """The entries of ``captured`` that were not shown while the component ran."""
        self.flush()
        with self._lock:
            shown = self._shown.pop(component_id, None)
        entries = list(captured.outputs) if captured else []
        if not shown:
            return entries
        out = []
        displays = shown["displays"]
        for entry in entries:
            if entry.get("type") == "display_data":
                if displays > 0:
                    displays -= 1
                    continue
                out.append(entry)
                continue
            text = entry.get("text", "")
            # Stream entries start with what was shown of their stream; a failure's single entry
            # starts with everything written, in order: the longer prefix that fits is it.
            prefixes = [shown.get(entry.get("name")), shown.get(None)]
            prefix = max((p for p in prefixes if p and text.startswith(p)), key=len, default="")
            if prefix:
                text = text[len(prefix) :]
                shown.pop(entry.get("name"), None)
            if text:
                out.append({**entry, "text": text})
        return out

    # -- worker processes of a parallel run ------------------------------------------------

    def listen(self) -> str:
        """Starts taking what worker processes send; returns the address they send to."""
        if self._receiver is None:
            self._receiver = _Receiver(self)
        return self._receiver.path

    def close(self) -> None:
        if self._receiver is not None:
            self._receiver.close()
            self._receiver = None
        self._batches.close()


class _Receiver:
    """A datagram socket in a private folder (0700) that worker processes send their output to.

    A thread hands what arrives to the sink; ``drain`` takes in what is still queued, so that a
    component's output is complete before it is shown as finished.
    """

    def __init__(self, sink: LiveSink) -> None:
        import os
        import socket
        import tempfile
        import threading

        self._sink = sink
        self._owner = os.getpid()
        self._folder = tempfile.mkdtemp(prefix="orvane-live-")  # 0700
        self.path = os.path.join(self._folder, "out")
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._socket.bind(self.path)
        self._socket.setblocking(False)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="orvane-live-in", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        import select

        while not self._stop.is_set():
            try:
                ready, _, _ = select.select([self._socket], [], [], 0.1)
            except (OSError, ValueError):
                return
            if ready:
                self.drain()

    def drain(self) -> None:
        import json

        with self._lock:
            while True:
                try:
                    packet = self._socket.recv(4 * _DATAGRAM)
                except (BlockingIOError, OSError):
                    return
                try:
                    kind, component_id, first, second = json.loads(packet)
                except (ValueError, TypeError):
                    continue
                if kind == "stream" and isinstance(first, str) and isinstance(second, str):
                    self._sink.write(component_id, first, second)
                elif kind == "display" and isinstance(first, dict) and isinstance(second, dict):
                    self._sink.display(component_id, first, second)

    def close(self) -> None:
        import os
        import shutil

        self._stop.set()
        self._thread.join(timeout=2)
        self.drain()
        self._socket.close()
        if os.getpid() == self._owner:  # a forked child leaves its parent's folder alone
            shutil.rmtree(self._folder, ignore_errors=True)


class _Sender:
    """A worker process's side: sends batches to the kernel's receiver; gives up on error."""

    def __init__(self, path: str) -> None:
        import socket

        self.path = path
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._socket.settimeout(5)
        self.broken = False
        self.batches = _Batches(self._send)

    def _send(self, kind: str, component_id: str | None, payload: tuple) -> None:
        if self.broken:
            return
        try:
            for packet in _packets(kind, component_id, payload):
                self._socket.sendto(packet.encode(), self.path)
        except (OSError, TypeError, ValueError):
            self.broken = True


class LiveWriter:
    """What the executor forwards a run's writes and displays to; ``close`` flushes."""

    __slots__ = ("component_id", "_write", "_display", "_flush")

    def __init__(self, component_id: str | None, write: Any, display: Any, flush: Any) -> None:
        self.component_id = component_id
        self._write, self._display, self._flush = write, display, flush

    def write(self, name: str, text: str) -> None:
        self._write(self.component_id, name, text)

    def display(self, data: dict, metadata: dict, transient: Any = None) -> None:
        """``transient`` carries a display id, so that later updates find the output."""
        self._display(self.component_id, data, metadata, transient)

    def close(self) -> None:
        self._flush()


def live_writer(component_id: str | None) -> LiveWriter | None:
    """Where a run of ``component_id`` in this process forwards its output, or None."""
    global _sender
    sink = _sink
    if sink is not None:
        return LiveWriter(component_id, sink.write, sink.display, sink._batches.flush)
    publisher = _publisher
    if publisher is not None:
        return LiveWriter(component_id, publisher.add, publisher.add_display, publisher.flush)
    import os

    path = os.environ.get(LIVE_ADDRESS_ENV)
    if not path:
        return None
    if _sender is None or _sender.path != path:
        _sender = _Sender(path)
    if _sender.broken:
        return None
    batches = _sender.batches
    return LiveWriter(component_id, batches.add, batches.add_display, batches.flush)


class live_output:  # noqa: N801 - used as a context manager, like contextlib's
    """Installs ``sink`` for the runs made within; with ``workers``, worker processes started
    within send to it too."""

    def __init__(self, sink: LiveSink, workers: bool = False) -> None:
        self.sink = sink
        self.workers = workers
        self._saved: Any = None

    def __enter__(self) -> LiveSink:
        import os

        global _sink
        self._saved = (_sink, os.environ.get(LIVE_ADDRESS_ENV))
        _sink = self.sink
        if self.workers:
            os.environ[LIVE_ADDRESS_ENV] = self.sink.listen()
        return self.sink

    def __exit__(self, *exc_info: Any) -> None:
        import os

        global _sink
        _sink, address = self._saved
        if address is None:
            os.environ.pop(LIVE_ADDRESS_ENV, None)
        else:
            os.environ[LIVE_ADDRESS_ENV] = address
        self.sink.close()


# --- rich output of a run ---------------------------------------------------------------------

_WIDGET = "application/vnd.jupyter.widget-view+json"


def _kept(data: dict) -> dict:
    """Display data as it is kept: a widget lives only as long as its kernel, its text stays."""
    return {k: v for k, v in data.items() if k != _WIDGET} or {"text/plain": ""}


class _DisplayTee:
    """Stands in for the shell's display publisher while a run displays something: what the
    run's own thread displays is kept in the run's output (and shown now when a live writer is
    given); other threads (the front end's progress) go to the shell as before."""

    def __init__(self, original: Any, rich: RichCapture) -> None:
        import threading

        self._original = original
        self._rich = rich
        self._thread = threading.get_ident()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._original, name)

    def _own(self) -> bool:
        import threading

        return threading.get_ident() == self._thread

    def publish(self, data: dict, metadata: dict | None = None, *args: Any, **kwargs: Any) -> Any:
        rich = self._rich
        if not self._own():
            return self._original.publish(data, metadata, *args, **kwargs)
        if kwargs.get("update"):
            rich.update(dict(data), dict(metadata or {}), kwargs.get("transient"))
            # An update reaches a display of the kernel; a worker's displays have no id there.
            if rich.updates:
                return self._original.publish(data, metadata, *args, **kwargs)
            return None
        rich.add(dict(data), dict(metadata or {}), kwargs.get("transient"))
        if self._rich.live is None and self._rich.show_now:
            return self._original.publish(data, metadata, *args, **kwargs)
        return None

    def clear_output(self, wait: bool = False) -> Any:
        if self._own():
            self._rich.entries.clear()
        return self._original.clear_output(wait)


class RichCapture:
    """Keeps what a run displays, and the matplotlib figures it leaves open, as "display_data"
    entries of its captured output. ``show_now`` publishes the displays as they come when no
    live writer takes them (the kernel's own shell)."""

    def __init__(self, shell: Any, live: LiveWriter | None, show_now: bool = False) -> None:
        self.shell = shell
        self.live = live
        self.show_now = show_now
        # Displays reach the kernel's front end from here (not from a worker process).
        self.updates = show_now or _sink is not None
        self.entries: list[dict[str, Any]] = []
        self._ids: dict[str, dict] = {}  # display id -> its entry
        self._saved: Any = None
        self._figures: set[int] = set()

    def add(self, data: dict, metadata: dict, transient: Any = None) -> None:
        self.entries.append({"type": "display_data", "data": _kept(data), "metadata": metadata})
        display_id = (transient or {}).get("display_id")
        if display_id:
            self._ids[display_id] = self.entries[-1]
        if self.live is not None:
            self.live.display(data, metadata, transient)

    def update(self, data: dict, metadata: dict, transient: Any) -> None:
        """What is kept of a display is its last state."""
        entry = self._ids.get((transient or {}).get("display_id"))
        if entry is not None:
            entry["data"], entry["metadata"] = _kept(data), metadata

    def __enter__(self) -> RichCapture:
        shell = self.shell
        if shell is not None and getattr(shell, "display_pub", None) is not None:
            self._saved = shell.display_pub
            shell.display_pub = _DisplayTee(self._saved, self)
            _figure_formats(shell)
        plt = sys.modules.get("matplotlib.pyplot")
        if plt is not None:
            self._figures = set(plt.get_fignums())
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self._saved is not None:
            self.shell.display_pub = self._saved
            self._saved = None

    def collect_figures(self) -> None:
        """Keeps each figure the run opened and left open as a picture, and closes it."""
        plt = sys.modules.get("matplotlib.pyplot")
        if plt is None:
            return
        for number in plt.get_fignums():
            if number in self._figures:
                continue
            figure = plt.figure(number)
            try:
                data = {"image/png": _png(figure), "text/plain": repr(figure)}
            except Exception:
                continue
            finally:
                plt.close(figure)
            self.add(data, {})


def _png(figure: Any) -> str:
    import base64
    import io

    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", bbox_inches="tight")
    return base64.b64encode(buffer.getvalue()).decode("ascii")


def _figure_formats(shell: Any) -> None:
    # A shell made in a worker process knows figures only as text; the kernel's has its own.
    formatter = getattr(getattr(shell, "display_formatter", None), "formatters", {}).get(
        "image/png"
    )
    if formatter is None or getattr(shell, "_orvane_figures", False):
        return
    try:
        formatter.lookup_by_type("matplotlib.figure.Figure")
    except (KeyError, AttributeError, TypeError):
        formatter.for_type_by_name("matplotlib.figure", "Figure", lambda figure: _png_bytes(figure))
    shell._orvane_figures = True


def _png_bytes(figure: Any) -> bytes:
    import base64

    return base64.b64decode(_png(figure))


# --- remote workers ---------------------------------------------------------------------------


def _packets(kind: str, component_id: str | None, payload: tuple) -> list[str]:
    """JSON texts of one delivery, text cut into pieces a datagram or message carries."""
    import json

    first, second = payload[:2]  # a display id means nothing beyond this process
    if kind != "stream":
        packet = json.dumps([kind, component_id, first, second])
        return [packet] if len(packet) < 4 * _DATAGRAM else []  # a large picture comes at the end
    pieces = [second[i : i + _DATAGRAM] for i in range(0, len(second), _DATAGRAM)] or [""]
    return [json.dumps([kind, component_id, first, piece]) for piece in pieces]


def _forward(packet: Any, writer: LiveWriter) -> None:
    """Hands one received packet to ``writer``; anything malformed is dropped."""
    import json

    try:
        kind, _, first, second = json.loads(packet)
    except (ValueError, TypeError):
        return
    if kind == "stream" and isinstance(first, str) and isinstance(second, str):
        writer.write(first, second)
    elif kind == "display" and isinstance(first, dict) and isinstance(second, dict):
        writer.display(first, second)


@contextlib.contextmanager
def publishing(publish: Any) -> Any:
    """On a remote worker, while a task runs: its output goes out as ``publish(text)`` calls,
    batched; errors of ``publish`` stop it quietly (the output still comes with the result)."""
    global _publisher
    broken = False

    def deliver(kind: str, component_id: str | None, payload: tuple) -> None:
        nonlocal broken
        if broken:
            return
        try:
            for packet in _packets(kind, component_id, payload):
                publish(packet)
        except Exception:
            broken = True

    batches = _Batches(deliver)
    _publisher = batches
    try:
        yield
    finally:
        _publisher = None
        batches.close()


@contextlib.contextmanager
def following(subscribe: Any, writer: LiveWriter | None) -> Any:
    """Beside a remote run: ``subscribe()`` gives an object with ``get_message(timeout=...)``
    and ``close()`` (a Redis pub/sub); what arrives goes to ``writer`` until the run ends and
    nothing more is queued."""
    import threading

    if writer is None:
        yield
        return
    try:
        channel = subscribe()
    except Exception:
        yield
        return
    stop = threading.Event()

    def run() -> None:
        while True:
            try:
                message = channel.get_message(ignore_subscribe_messages=True, timeout=0.05)
            except Exception:
                return
            if message is not None:
                _forward(message.get("data"), writer)
            elif stop.is_set():
                return

    thread = threading.Thread(target=run, name="orvane-remote-live", daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join(timeout=5)
        try:
            channel.close()
        except Exception:
            pass
        writer.close()
