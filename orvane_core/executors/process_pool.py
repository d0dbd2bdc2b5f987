"""Worker processes for parallel runs: a standard pool that is safe in a kernel and tells which
worker runs which task, so that a task whose worker died can be reported instead of awaited."""

from __future__ import annotations

import multiprocessing
import os
import signal
import sys
from multiprocessing.pool import Pool
from typing import Any

# Imported by the fork server before it forks any worker, so that each worker starts with the
# executor ready instead of importing the package again.
PRELOAD = ["orvane_core.executors.component_executors.local"]

# Set in each worker by the initializer: slot -> process id of the worker that took the task.
_started: Any = None


def _context() -> multiprocessing.context.BaseContext:
    # The kernel has threads (the disk-cache writer, ZMQ); forking it would copy their locks in
    # whatever state they are. The fork server forks a clean single-threaded process instead.
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(PRELOAD)
        return context
    return multiprocessing.get_context("spawn")


def _guard_main_spec() -> None:
    # IPython's %reset empties __main__, and the start methods read __main__.__spec__ to decide
    # how children find the main module: its absence makes creating workers fail.
    main = sys.modules.get("__main__")
    if main is not None and not hasattr(main, "__spec__"):
        main.__spec__ = None


def _initialize(started: Any, environ: dict[str, str], path: list[str], cwd: str) -> None:
    """Makes a worker see what the kernel sees now; the fork server kept what it saw at start."""
    global _started
    _started = started
    os.environ.update(environ)
    sys.path[:] = path
    try:
        os.chdir(cwd)
    except OSError:
        pass
    # A kernel interrupt is sent to the kernel's whole process group. The kernel stops the run
    # and terminates the pool itself; a worker hit by the interrupt in the middle of the pool's
    # own messaging could leave a half-sent result that blocks the pool for good.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # Terminating the pool sends SIGTERM, whose default action ends the worker at once wherever
    # it is. A Python handler could be left pending while the worker blocks on the pool's queue
    # lock, and the pool would wait for it for ever; remote tasks the worker waited for are
    # revoked by the run itself.


def in_worker() -> bool:
    """True in a worker process of an ``OrvaneProcessPool``."""
    return _started is not None


def run_here(func: Any, args: tuple, kwds: dict) -> Any:
    """Runs a task of a parallel run in this process instead of a worker; an interrupt reaches
    the caller instead of becoming the task's failure, as it would in a worker."""
    from orvane_core.executors.component_executors.local import interrupts_reach_caller

    with interrupts_reach_caller():
        return func(*args, **kwds)


def run_tracked(slot: int, func: Any, args: tuple, kwds: dict) -> Any:
    """Runs one task in a worker after noting which process took it."""
    _started[slot] = os.getpid()
    return func(*args, **kwds)


class OrvaneProcessPool:
    """A ``multiprocessing`` pool for one run, with one slot per task it may be given.

    ``submit`` runs a callable in a worker like ``Pool.apply_async``; ``lost`` names the slots
    whose worker process has ended without delivering a result (killed, crashed, ``os._exit``),
    which the standard pool would silently replace and leave waiting forever.
    """

    def __init__(self, slots: int, processes: int | None = None) -> None:
        _guard_main_spec()
        context = _context()
        self._started = context.RawArray("q", max(int(slots), 1))
        environ = {k: v for k, v in os.environ.items() if k.startswith("ORVANE_")}
        self._pool: Pool = context.Pool(
            processes=processes,
            initializer=_initialize,
            initargs=(self._started, environ, list(sys.path), os.getcwd()),
        )
        self._workers: dict[int, Any] = {}
        self._note_workers()

    def __enter__(self) -> OrvaneProcessPool:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.terminate()

    def __bool__(self) -> bool:
        return True

    def submit(
        self, slot: int, func: Any, args: tuple, kwds: dict, callback: Any, error_callback: Any
    ) -> Any:
        """Queues ``func(*args, **kwds)`` for the task of ``slot``; returns its pending result."""
        self._started[slot] = 0
        return self._pool.apply_async(
            run_tracked, (slot, func, tuple(args), dict(kwds or {})), {}, callback, error_callback
        )

    def _note_workers(self) -> None:
        # The pool replaces dead workers on its own thread and forgets them; keeping the process
        # objects seen so far keeps their exit codes.
        for process in list(getattr(self._pool, "_pool", ())):
            if process.pid is not None:
                self._workers.setdefault(process.pid, process)

    def lost(self, slots: list[int]) -> list[tuple[int, str]]:
        """The slots among ``slots`` whose worker has ended, each with a reason."""
        self._note_workers()
        out = []
        for slot in slots:
            pid = self._started[slot]
            if not pid:
                continue
            process = self._workers.get(pid)
            if process is None:
                continue
            code = process.exitcode
            if code is None:
                continue
            if code < 0:
                try:
                    how = f"was killed by signal {-code} ({signal.Signals(-code).name})"
                except ValueError:
                    how = f"was killed by signal {-code}"
            else:
                how = f"exited with code {code}"
            out.append((slot, f"The worker process (pid {pid}) running this component {how}."))
        return out

    def terminate(self) -> None:
        self._pool.terminate()
        self._pool.join()

    def join(self) -> None:
        self._pool.join()


__all__ = ["OrvaneProcessPool", "in_worker", "run_here", "run_tracked"]
