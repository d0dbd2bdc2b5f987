"""Worker processes for parallel runs: each worker has pipes of its own, so that a worker that
dies (idle, running, or half-way through sending its result) breaks nothing but itself, and a
pool can always be stopped at once."""

from __future__ import annotations

import contextlib
import errno
import functools
import multiprocessing
import os
import pickle
import select
import signal
import struct
import sys
import threading
import time
import types
from collections import deque
from http import HTTPStatus
from typing import Any

import cloudpickle

# Imported by the fork server before it forks any worker, so that each worker starts with the
# executor and its own loop ready instead of importing them again.
PRELOAD = [
    "ctypes",
    "orvane_core.executors.component_executors.local",
    "orvane_core.executors.process_pool",
    "multiprocessing.popen_forkserver",
]

# Idle workers are asked to stop by closing their request pipe; those that have not gone after
# this long (and every busy one at once) are killed.
STOP_GRACE = 0.1
# How long a killed worker's exit is waited for before the pool stops watching it (a process
# blocked in the kernel, such as on a dead network file system, may not go at once).
REAP_WAIT = 1.0

# A frame: payload length and kind, then the payload.
_HEADER = struct.Struct("<QB")
# Requests
_CALL = 0  # pickle of (func, args, kwds)
_COMPONENT = 2  # pickle of (identifier, name, request): a component run by the worker's executor
# Pickle of (identifier, name, code, parameters): a component run right after the worker's
# previous one, with that one's outputs as its inputs (answered as failed when that one failed)
_CARRIED = 3
# Answers
_PICKLED = 0  # pickle of (ok, value)
_RAW = 1  # a successful result that is plain bytes, sent as is
_CHUNK = 1 << 24
_SMALL = 1 << 16  # read at once at the start of an answer
_ENDED = select.POLLHUP | select.POLLERR | select.POLLNVAL

_in_worker = False


def _context() -> multiprocessing.context.BaseContext:
    # The kernel has threads (the disk-cache writer, ZMQ); forking it would copy their locks in
    # whatever state they are. The fork server forks a clean single-threaded process instead.
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(PRELOAD)
        return context
    return multiprocessing.get_context("spawn")


class _NoMain(types.ModuleType):
    """What a worker is told the main module is: nothing to import. Tasks name the package's
    functions and carry cells' objects by value, so a worker never needs the caller's script;
    running it again there would cost time and repeat its side effects (and IPython's %reset
    leaves a main module that the start methods cannot even describe)."""

    __spec__ = None


_NO_MAIN = _NoMain("__main__")


def _spawn_in_own_session(path: str, args: list[str], passfds: Any) -> int:
    """``multiprocessing.util.spawnv_passfds`` for the fork server and the resource tracker,
    in a session of their own.

    Both live as long as the kernel and end by themselves when it goes (their pipes from it
    close). In the kernel's process group, a kernel shutting down would instead wait for them
    and signal them for seconds (the tracker ignores SIGTERM), and every interrupt would reach
    them too.
    """
    passfds = sorted({int(fd) for fd in passfds})
    saved = [(fd, os.get_inheritable(fd)) for fd in passfds]
    try:
        for fd in passfds:
            os.set_inheritable(fd, True)
        return os.posix_spawn(path, list(args), dict(os.environ), setsid=True)
    finally:
        for fd, inheritable in saved:
            os.set_inheritable(fd, inheritable)


@contextlib.contextmanager
def _starting():
    """While a worker starts: no main script for it to import, and helper processes that
    multiprocessing starts on first use go into their own session."""
    import multiprocessing.util as mp_util

    saved_main = sys.modules.get("__main__")
    saved_spawn = mp_util.spawnv_passfds
    sys.modules["__main__"] = _NO_MAIN
    mp_util.spawnv_passfds = _spawn_in_own_session
    try:
        yield
    finally:
        mp_util.spawnv_passfds = saved_spawn
        if saved_main is not None:
            sys.modules["__main__"] = saved_main


def in_worker() -> bool:
    """True in a worker process of an ``OrvaneProcessPool``."""
    return _in_worker


# --- the worker side ---------------------------------------------------------------------------


def _read_frame(fd: int, buffer: bytearray) -> tuple[int, Any] | None:
    """The kind and payload of the next frame on a blocking descriptor; None at the end of the
    stream. Small frames come in one read, which may take the start of the next ones (a
    component's request and the one carried after it): that part stays in ``buffer``."""
    while len(buffer) < _HEADER.size:
        chunk = os.read(fd, _SMALL)
        if not chunk:
            return None
        buffer += chunk
    size, kind = _HEADER.unpack_from(buffer)
    end = _HEADER.size + size
    if len(buffer) >= end:
        payload = bytes(memoryview(buffer)[_HEADER.size : end])
        del buffer[:end]
        return kind, payload
    data = bytearray(size)
    got = len(buffer) - _HEADER.size
    data[:got] = memoryview(buffer)[_HEADER.size :]
    buffer.clear()
    view = memoryview(data)
    while got < size:
        n = os.readv(fd, [view[got : got + _CHUNK]])
        if n == 0:
            return None
        got += n
    return kind, data


def _write_all(fd: int, header: bytes, payload: Any) -> None:
    head = memoryview(header)
    body = memoryview(payload).cast("B")
    while head:
        n = os.writev(fd, [head, body[:_CHUNK]])
        taken = min(n, len(head))
        head, body = head[taken:], body[n - taken :]
    while body:
        body = body[os.write(fd, body[:_CHUNK]) :]


def _send_result(fd: int, ok: bool, value: Any) -> None:
    if ok and type(value) is bytes:
        _write_all(fd, _HEADER.pack(len(value), _RAW), value)
        return
    try:
        payload = pickle.dumps((ok, value), protocol=5)
    except Exception as exc:
        text = f"{type(value).__name__} could not be sent back from the worker process: {exc}"
        payload = pickle.dumps((False, RuntimeError(text)), protocol=5)
    _write_all(fd, _HEADER.pack(len(payload), _PICKLED), payload)


@functools.cache
def _prctl() -> Any:
    """The C library's ``prctl`` (Linux only), found once: in the fork server, which loads this
    module, so that each worker it forks starts with it at hand."""
    if not sys.platform.startswith("linux"):
        return None
    import ctypes

    try:
        return ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None


_prctl()


def _adopt_environment(environ: dict[str, str]) -> None:
    """Makes ``os.environ`` equal to ``environ`` by changing only the entries that differ:
    clearing and refilling it costs a worker's start most of a millisecond."""
    current = os.environ
    for key in [key for key in current if key not in environ]:
        del current[key]
    for key, value in environ.items():
        if current.get(key) != value:
            current[key] = value


def _end_with_parent() -> None:
    """Has the system kill this worker when the fork server goes, which it does as soon as its
    kernel goes: a kernel killed outright leaves no worker running on."""
    from multiprocessing import forkserver

    # The fork server ends once every holder of this pipe is gone: the kernel, not its workers.
    server = forkserver._forkserver
    if server._forkserver_alive_fd is not None:
        _close_fd(server._forkserver_alive_fd)
        server._forkserver_alive_fd = None
    prctl = _prctl()
    if prctl is None:
        return
    parent = os.getppid()
    prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    if os.getppid() != parent:  # gone before the request took effect
        os._exit(1)


def _serve(requests: Any, results: Any, environ: dict[str, str], path: list[str]) -> None:
    """A worker's life: run each request it reads, answer it, and end when the pipe closes."""
    global _in_worker
    _in_worker = True
    _end_with_parent()
    # A kernel interrupt is sent to the kernel's whole process group; the kernel stops the run
    # and its workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The fork server kept the environment it saw when it started; the kernel's is current.
    _adopt_environment(environ)
    sys.path[:] = path
    read_fd, write_fd = requests.fileno(), results.fileno()
    executor = None
    outputs = None  # of the last component run, when it succeeded: a carried one's inputs
    buffer = bytearray()
    while True:
        frame = _read_frame(read_fd, buffer)
        if frame is None:
            return
        kind, payload = frame
        del frame
        try:
            if kind == _COMPONENT or kind == _CARRIED:
                if executor is None:
                    from orvane_core.executors.component_executors.local import (
                        OrvaneComponentExecutor as executor,
                    )
                if kind == _CARRIED:
                    inputs, outputs = outputs, None
                    if inputs is None:
                        raise RuntimeError("not run: the component before it failed")
                    identifier, name, code, parameters = pickle.loads(payload)
                    request = executor.carried_request(identifier, name, code, parameters)
                else:
                    inputs = outputs = None
                    identifier, name, request = pickle.loads(payload)
                del payload
                value, outputs = executor(identifier, name).execute_carrying(request, inputs)
                ok = True
            else:
                outputs = None
                func, args, kwds = pickle.loads(payload)
                del payload
                value, ok = func(*args, **kwds), True
        except BaseException as exc:  # noqa: BLE001 - any end of the task is its answer
            value, ok, outputs = exc, False, None
        try:
            _send_result(write_fd, ok, value)
        except OSError:
            return  # the kernel has gone
        del value
        inputs = None


# --- the kernel side ---------------------------------------------------------------------------


def _reason(pid: int, code: int | None) -> str:
    if code is None:
        how = "stopped answering"
    elif code < 0:
        try:
            how = f"was killed by signal {-code} ({signal.Signals(-code).name})"
        except ValueError:
            how = f"was killed by signal {-code}"
    else:
        how = f"exited with code {code}"
    return f"The worker process (pid {pid}) running this component {how}."


class _Worker:
    __slots__ = (
        "process",
        "request_fd",
        "result_fd",
        "sentinel",
        "slot",
        "out",
        "inbox",
        "carried",
        "last",
    )

    def __init__(self, process: Any, request_fd: int, result_fd: int) -> None:
        self.process = process
        self.request_fd = request_fd  # ours to write; closing it asks the worker to stop
        self.result_fd = result_fd
        self.sentinel = process.sentinel
        self.slot: int | None = None  # the task it runs
        self.out: memoryview | None = None  # the part of its request not yet written
        self.inbox = _Inbox()
        self.carried: deque[int] = deque()  # tasks it runs after its current one, in order
        self.last: int | None = None  # the last component task it was given

    def exit_code(self, wait: float) -> int | None:
        self.process.join(wait)
        return self.process.exitcode

    def kill(self) -> None:
        if self.process.exitcode is None:
            try:
                self.process.kill()
            except OSError:
                pass


class _Inbox:
    """Result frames read as much as the pipe holds each time: a small one whole, with what
    follows it (the answer of a task carried after it, say) kept for the next."""

    __slots__ = ("buffer", "kind", "data", "got")

    def __init__(self) -> None:
        self.buffer = bytearray()  # read past the frames taken
        self.kind = 0
        self.data: bytearray | None = None  # a large frame's payload, filled in place
        self.got = 0

    def read(self, fd: int) -> tuple[bool, Any] | bool | None:
        """The next result once complete; True while more is expected; None at the end of the
        stream (the worker is gone)."""
        buffer = self.buffer
        while True:
            try:
                if self.data is None:
                    if len(buffer) >= _HEADER.size:
                        size, kind = _HEADER.unpack_from(buffer)
                        end = _HEADER.size + size
                        if len(buffer) >= end:
                            payload = bytes(memoryview(buffer)[_HEADER.size : end])
                            del buffer[:end]
                            return _result(kind, payload)
                        if size > _SMALL:
                            self.data, self.kind = bytearray(size), kind
                            self.got = len(buffer) - _HEADER.size
                            self.data[: self.got] = memoryview(buffer)[_HEADER.size :]
                            buffer.clear()
                            continue
                    chunk = os.read(fd, _SMALL)
                    if not chunk:
                        return None
                    buffer += chunk
                    continue
                if self.got < len(self.data):
                    view = memoryview(self.data)
                    n = os.readv(fd, [view[self.got : self.got + _CHUNK]])
                    if n == 0:
                        return None
                    self.got += n
                    continue
            except BlockingIOError:
                return True
            data, self.data, self.got = self.data, None, 0
            return _result(self.kind, data)


def _result(kind: int, data: Any) -> tuple[bool, Any]:
    if kind == _RAW:
        return True, data
    try:
        return pickle.loads(data)
    except Exception as exc:  # an exception class the kernel cannot rebuild, say
        return False, RuntimeError(f"The worker's answer could not be read: {exc!r}")


def dumps(obj: Any) -> bytes:
    """``obj`` pickled for the other side of a worker's pipes (or a remote worker).

    What a main module defines (the kernel's cells, or a cell run in a worker) does not exist on
    the other side and goes by value, as does what plain pickle cannot name: cloudpickle does
    both. Plain pickle, several times faster on the small requests and answers of a run, is kept
    when it succeeds and names nothing of a main module (whose name then appears in it).
    """
    try:
        data = pickle.dumps(obj, protocol=5)
    except Exception:
        return cloudpickle.dumps(obj, protocol=5)
    if b"__main__" in data:
        return cloudpickle.dumps(obj, protocol=5)
    return data


def _dumps(func: Any, args: tuple, kwds: dict) -> bytes:
    # What the caller's main module defines does not exist in a worker: it goes by value.
    if getattr(func, "__module__", None) != "__main__":
        try:
            return pickle.dumps((func, args, kwds), protocol=5)
        except Exception:
            pass
    return cloudpickle.dumps((func, args, kwds), protocol=5)


class OrvaneProcessPool:
    """Worker processes for one run, with one slot per task it may be given.

    ``submit`` hands ``func(*args, **kwds)`` to an idle worker (starting one while fewer than
    ``processes`` run), or queues it; ``wait`` returns ``(slot, ok, value)`` completions as they
    arrive, a task whose worker died coming back failed with the reason; ``stop`` ends every
    worker. Only the thread that owns the pool calls it: it has no threads and no locks of its
    own, so nothing a worker does can leave it blocked. A task run on remote workers by an
    object that can revoke it is revoked when it fails (its wait may have given it up while it
    still runs there) or when the pool stops before it completed.
    """

    def __init__(self, slots: int = 1, processes: int | None = None) -> None:
        # The start method and the wake-up pipe are taken with the first worker: a run whose
        # every result is current makes a pool and starts nothing.
        self._context: multiprocessing.context.BaseContext | None = None
        self._processes = max(1, min(int(processes or os.cpu_count() or 1), max(int(slots), 1)))
        self._workers: list[_Worker] = []
        self._queued: deque[tuple[int, bytes]] = deque()  # (slot, frame)
        self._poller = select.poll()
        self._by_fd: dict[int, tuple[_Worker, str]] = {}
        self._done: list[tuple[int, bool, Any]] = []
        self._revocable: dict[int, Any] = {}  # slot -> what can revoke its remote task
        self._carried: set[int] = set()  # slots sent to run right after their parent's task
        # Signals wake the wait through this pipe: one that lands on another thread, or an
        # interrupt raised by interrupt_main(), does not cut a system call short.
        self._wakeup: tuple[int, int] = (-1, -1)
        self._signals = bytearray()
        # The wake-up descriptor this pool replaced while it waits, held from its first wait
        # until it stops (None: not held): setting it around every wait cost more than a
        # short task's own bookkeeping. Signals that come meanwhile are passed on at the stop.
        self._wakeup_owner: int | None = None
        self._stopped = False  # takes no more tasks
        self._ended = False  # every worker is gone

    def __enter__(self) -> OrvaneProcessPool:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()

    def __bool__(self) -> bool:
        return True

    def __del__(self) -> None:
        # A pool dropped without being stopped (its owner raised): no signal handling here.
        if not getattr(self, "_ended", True):
            self._ended = True
            try:
                self._end_workers()
            except Exception:
                pass

    # --- handing out tasks

    def submit(self, slot: int, func: Any, args: tuple = (), kwds: dict | None = None) -> None:
        """Queues ``func(*args, **kwds)`` as the task of ``slot``. A method of the local
        executor goes in the short form of ``submit_component``. A method of an object that can
        revoke its remote task has the task's id fixed first, so that the pool can revoke it
        even before it is sent. A task carried already is not sent again."""
        if slot in self._carried:
            return None
        if self._stopped:
            raise RuntimeError("the worker pool is stopped")
        from orvane_core.executors.component_executors.local import OrvaneComponentExecutor

        owner = getattr(func, "__self__", None)
        if type(owner) is OrvaneComponentExecutor:
            return self.submit_component(slot, owner.identifier, owner.name, *args)
        if hasattr(owner, "revoke_task"):
            owner.reserve_task()
            self._revocable[int(slot)] = owner
        payload = _dumps(func, tuple(args), dict(kwds or {}))
        self._queued.append((int(slot), _HEADER.pack(len(payload), _CALL) + payload))
        self._dispatch()

    def submit_component(self, slot: int, identifier: Any, name: Any, request: bytes) -> None:
        """Queues a component's pickled request as the task of ``slot``, run by the executor
        the worker already holds (``OrvaneComponentExecutor(identifier, name)``); its value is
        the pickled short answer of ``execute_answer``. Cheaper than ``submit`` with the
        executor's bound method, which pickles the executor with every task."""
        if self._stopped:
            raise RuntimeError("the worker pool is stopped")
        payload = pickle.dumps((identifier, name, request), protocol=5)
        self._queued.append((int(slot), _HEADER.pack(len(payload), _COMPONENT) + payload))
        self._dispatch()

    def carry(
        self, after: int, slot: int, identifier: Any, name: Any, code: Any, parameters: Any
    ) -> bool:
        """Hands the worker running (or that last ran) the component task of slot ``after`` the
        task of ``slot``: the run of a component's ``code`` with ``parameters``, right after
        that one, with its outputs as inputs, or answered as failed when that one failed. False
        (nothing sent) when no worker holds that task's outputs or the task is carried already."""
        worker = next((w for w in self._workers if w.last == after and w.request_fd >= 0), None)
        if worker is None or self._stopped or slot in self._carried:
            return False
        self._carried.add(slot)
        payload = dumps((identifier, name, code, parameters))
        frame = _HEADER.pack(len(payload), _CARRIED) + payload
        worker.out = memoryview(frame if worker.out is None else bytes(worker.out) + frame)
        worker.last = slot
        if worker.slot is None:
            worker.slot = slot
        else:
            worker.carried.append(slot)
        self._flush(worker)
        return True

    def _dispatch(self) -> None:
        while self._queued:
            worker = next((w for w in self._workers if w.slot is None and w.request_fd >= 0), None)
            if worker is None:
                if len(self._workers) >= self._processes:
                    return
                worker = self._start_worker()
            slot, frame = self._queued.popleft()
            worker.slot = slot
            worker.last = slot if frame[_HEADER.size - 1] == _COMPONENT else None
            worker.out = memoryview(frame)
            self._flush(worker)

    def _start_worker(self) -> _Worker:
        if self._context is None:
            self._context = _context()
            self._wakeup = os.pipe()
            for fd in self._wakeup:
                os.set_blocking(fd, False)
            self._poller.register(self._wakeup[0], select.POLLIN)
        context = self._context
        their_requests, our_requests = context.Pipe(duplex=False)
        our_results, their_results = context.Pipe(duplex=False)
        environ = dict(os.environ)
        process = context.Process(
            target=_serve,
            args=(their_requests, their_results, environ, list(sys.path)),
            name="orvane-worker",
            daemon=True,
        )
        with _starting():
            process.start()
        their_requests.close()
        their_results.close()
        worker = _Worker(process, os.dup(our_requests.fileno()), os.dup(our_results.fileno()))
        our_requests.close()
        our_results.close()
        os.set_blocking(worker.request_fd, False)
        os.set_blocking(worker.result_fd, False)
        self._workers.append(worker)
        self._watch(worker.result_fd, worker, "result", select.POLLIN)
        self._watch(worker.sentinel, worker, "sentinel", select.POLLIN)
        return worker

    def _watch(self, fd: int, worker: _Worker, role: str, events: int) -> None:
        self._by_fd[fd] = (worker, role)
        self._poller.register(fd, events)

    def _flush(self, worker: _Worker) -> None:
        """Writes as much of the worker's pending request as its pipe takes now."""
        out = worker.out
        try:
            while out:
                out = out[os.write(worker.request_fd, out[:_CHUNK]) :]
        except BlockingIOError:
            pass
        except BrokenPipeError:
            out = None  # the worker is gone: its end is noticed on its result pipe
        worker.out = out if out else None
        if worker.out is not None:
            self._watch(worker.request_fd, worker, "request", select.POLLOUT)
        elif worker.request_fd in self._by_fd:
            self._by_fd.pop(worker.request_fd)
            self._poller.unregister(worker.request_fd)

    # --- taking completions

    def running(self) -> int:
        """Tasks handed out or queued that have not completed."""
        return len(self._queued) + sum(w.slot is not None for w in self._workers)

    def wait(self, timeout: float | None = None) -> list[tuple[int, bool, Any]]:
        """The completions that arrived, waiting up to ``timeout`` seconds (None: until one
        comes) for the first; an interrupt raises out of the wait."""
        if not self._done and self.running():
            if self._wakeup_owner is None and _in_main_thread():
                self._wakeup_owner = signal.set_wakeup_fd(self._wakeup[1])
            deadline = None if timeout is None else time.monotonic() + timeout
            while not self._done and self.running():
                left = None if deadline is None else max(0, deadline - time.monotonic())
                self._take_events(self._poller.poll(None if left is None else int(left * 1000)))
                if left == 0:
                    break
        done, self._done = self._done, []
        for slot, ok, value in done:
            owner = self._revocable.pop(slot, None)
            if owner is not None and not _succeeded(ok, value):
                owner.revoke_task()
        return done

    def _release_wakeups(self) -> None:
        """Gives the wake-up descriptor back to its owner (an event loop's, say) with the signal
        numbers written meanwhile, so that its own signal handling misses nothing."""
        owner = self._wakeup_owner
        if owner is None or not _in_main_thread():
            return
        self._wakeup_owner = None
        current = signal.set_wakeup_fd(owner)
        if current != self._wakeup[1]:
            # Someone took it over during the run: theirs stays.
            signal.set_wakeup_fd(current)
            owner = current
        data = self._drain_wakeups()
        if owner >= 0 and data:
            try:
                os.write(owner, data)
            except OSError:
                pass

    def _drain_wakeups(self) -> bytes:
        data, self._signals = bytes(self._signals), bytearray()
        try:
            while chunk := os.read(self._wakeup[0], 4096):
                data += chunk
        except OSError:
            pass
        return data

    def _take_events(self, events: list[tuple[int, int]]) -> None:
        for fd, event in events:
            if fd == self._wakeup[0]:
                # The handler runs once this returns to Python; the numbers are passed on.
                self._signals += self._drain_wakeups()
                continue
            entry = self._by_fd.get(fd)
            if entry is None:
                continue
            worker, role = entry
            if role == "request":
                self._flush(worker)
            else:
                self._read(worker, gone=role == "sentinel" or bool(event & _ENDED))
        self._dispatch()

    def _read(self, worker: _Worker, gone: bool) -> None:
        """Takes what the worker sent; when it has ``gone`` (its process ended or its end of the
        pipe closed), everything up to the end of the stream, then forgets it."""
        while True:
            got = worker.inbox.read(worker.result_fd)
            if got is True and not gone:
                return
            if isinstance(got, tuple):
                if worker.slot is not None:
                    self._done.append((worker.slot, *got))
                worker.slot = worker.carried.popleft() if worker.carried else None
                if not gone and not worker.inbox.buffer:
                    return  # an end that follows shows as its own event
                continue
            break
        # The end of its result stream (or of the process): the worker is gone.
        self._forget(worker)
        worker.kill()
        if worker.slot is not None:
            reason = _reason(worker.process.pid, worker.exit_code(REAP_WAIT))
            for slot in (worker.slot, *worker.carried):
                self._done.append((slot, False, RuntimeError(reason)))
            worker.slot = None
            worker.carried.clear()
        self._close(worker)

    def _forget(self, worker: _Worker) -> None:
        self._workers.remove(worker)
        for fd in (worker.request_fd, worker.result_fd, worker.sentinel):
            if self._by_fd.pop(fd, None) is not None:
                self._poller.unregister(fd)

    @staticmethod
    def _close(worker: _Worker) -> None:
        _close_fd(worker.request_fd)
        _close_fd(worker.result_fd)
        worker.request_fd = worker.result_fd = -1

    # --- stopping

    def stop(self) -> None:
        """Ends every worker: idle ones are asked to stop and given a short grace, busy ones
        and late ones are killed; then revokes the remote tasks that have not completed. Does
        its work once; waits on nothing a dead worker could hold. An interrupt that comes
        meanwhile is raised once all of it is done; the revocations it cut short are remembered
        by their executors and sent when their broker next answers."""
        if self._ended:
            return
        interrupted: list[bool] = []
        previous = None
        main = _in_main_thread()
        if main:
            # An interrupt pending from before lands here, before anything is undone.
            previous = signal.signal(signal.SIGINT, lambda *_: interrupted.append(True))
        try:
            self._stopped = True
            self._end_workers()
            self._ended = True
            while self._revocable:
                self._revocable.popitem()[1].revoke_task(now=not interrupted)
        finally:
            if main:
                restored = previous if previous is not None else signal.default_int_handler
                signal.signal(signal.SIGINT, restored)
        if interrupted:
            raise KeyboardInterrupt

    def dismiss_idle(self) -> None:
        """Asks the workers to leave, without waiting for them, when no more tasks will come:
        an idle one now, a busy one once it has answered what it was given, so that they end
        while the caller finishes its run, and ``stop`` only collects them. A worker that
        leaves is never given a task again."""
        for worker in self._workers:
            if worker.out is None and worker.request_fd >= 0:
                _close_fd(worker.request_fd)
                worker.request_fd = -1

    def _end_workers(self) -> None:
        workers = self._workers
        self._queued.clear()
        for worker in workers:
            _close_fd(worker.request_fd)
            worker.request_fd = -1
            if worker.slot is not None or worker.out is not None:
                worker.kill()
        deadline = time.monotonic() + STOP_GRACE
        left = list(workers)
        while left and time.monotonic() < deadline:
            left = [w for w in left if not _ready(w.sentinel, deadline)]
        for worker in left:
            worker.kill()
        deadline = time.monotonic() + REAP_WAIT
        for worker in workers:
            if _ready(worker.sentinel, deadline):
                worker.process.join(0)
            _close_fd(worker.result_fd)
            worker.result_fd = -1
        self._workers = []
        self._by_fd.clear()
        self._poller = select.poll()
        self._release_wakeups()
        if self._wakeup_owner is None:
            for fd in self._wakeup:
                _close_fd(fd)
        # Otherwise (dropped on another thread while it held the process's wake-up descriptor)
        # the pipe stays open: closed, its number could come back as another file, which
        # signals would then be written into.

    def terminate(self) -> None:
        self.stop()

    def join(self) -> None:
        """Nothing to wait for once stopped; kept for callers written for standard pools."""


def _succeeded(ok: bool, value: Any) -> bool:
    """Whether a completion is a successful run (an executor answers a failed run with a
    response of its own)."""
    try:
        return ok and pickle.loads(value).status in (HTTPStatus.OK, HTTPStatus.PARTIAL_CONTENT)
    except Exception:
        return False


def _close_fd(fd: int) -> None:
    if fd >= 0:
        try:
            os.close(fd)
        except OSError:
            pass


def _in_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


def _ready(fd: int, deadline: float) -> bool:
    """Whether ``fd`` becomes readable before ``deadline``; a signal does not cut it short."""
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    while True:
        left = max(0.0, deadline - time.monotonic())
        try:
            return bool(poller.poll(int(left * 1000)))
        except InterruptedError:
            continue
        except OSError as exc:
            if exc.errno != errno.EINTR:
                raise


__all__ = ["OrvaneProcessPool", "dumps", "in_worker"]
