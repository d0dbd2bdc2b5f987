"""The worker pool of parallel runs, stopped while a worker cannot answer."""

from __future__ import annotations

import _thread
import os
import signal
import threading

import psutil
import pytest

from orvane_core.executors import process_pool
from orvane_core.executors.process_pool import OrvaneProcessPool


@pytest.mark.timeout(60)
def test_an_interrupt_during_the_stop_comes_after_every_worker_is_gone(monkeypatch):
    monkeypatch.setattr(process_pool, "STOP_GRACE", 2.0)  # room for the interrupt to land
    pool = OrvaneProcessPool(slots=1)
    pool.submit(0, os.getpid)
    [(_, ok, pid)] = pool.wait()
    assert ok
    # Stopped while idle, the worker cannot notice that it is asked to go: the stop has to
    # kill it after its grace, and an interrupt comes in the middle of that grace.
    os.kill(pid, signal.SIGSTOP)
    threading.Timer(0.2, _thread.interrupt_main).start()
    with pytest.raises(KeyboardInterrupt):
        pool.stop()
    assert not psutil.pid_exists(pid) or psutil.Process(pid).status() == psutil.STATUS_ZOMBIE
    pool.stop()  # once is enough: nothing left to do, nothing raised
