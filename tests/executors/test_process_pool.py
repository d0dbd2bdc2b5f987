"""The worker pool of parallel runs, stopped while a worker cannot answer."""

from __future__ import annotations

import _thread
import os
import pickle
import signal
import subprocess
import sys
import threading

import psutil
import pytest

from orvane_core.executors import process_pool
from orvane_core.executors.component_executors.local import read_answer
from orvane_core.executors.process_pool import OrvaneProcessPool
from orvane_core.misc.models import OrvaneExecutionRequestModel
from tests.services import wait_until


def gone(pid: int) -> bool:
    try:
        return psutil.Process(pid).status() == psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return True


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
    assert gone(pid)
    pool.stop()  # once is enough: nothing left to do, nothing raised


KILLED_OWNER = """
import time
from orvane_core.executors.process_pool import OrvaneProcessPool
from tests.services import wait_until
pool = OrvaneProcessPool(slots=2)
pool.submit(0, time.sleep, (300,))
pool.submit(1, time.sleep, (0,))
pool.wait()
print(pool._workers[0].process.pid, flush=True)
time.sleep(300)
"""


@pytest.mark.timeout(60)
def test_a_kernel_killed_outright_leaves_no_worker_running():
    owner = subprocess.Popen([sys.executable, "-c", KILLED_OWNER], stdout=subprocess.PIPE)
    try:
        worker = int(owner.stdout.readline())
        assert psutil.pid_exists(worker)
    finally:
        owner.kill()
        owner.wait()
        owner.stdout.close()
    wait_until(lambda: gone(worker), "the busy worker to go", timeout=20)


@pytest.mark.timeout(60)
@pytest.mark.parametrize(
    ("code", "inputs", "expected"),
    [
        ("x = 2 * 21\nx", {}, 42),
        # Requests and answers larger than one read of the pipe.
        ("n = len(blob)\nn", {"blob": b"x" * 300_000}, 300_000),
        ("big = b'y' * 300_000\nbig", {}, b"y" * 300_000),
        ("import os\nos._exit(3)", {}, "exited with code 3"),
    ],
)
def test_a_component_request_is_run_by_the_workers_own_executor(code, inputs, expected):
    request = OrvaneExecutionRequestModel(identifier="c", cell_code=code, non_module_inputs=inputs)
    with OrvaneProcessPool(slots=2) as pool:
        pool.submit_component(0, "c", "c", process_pool.dumps(request))
        [(slot, ok, value)] = pool.wait()
        assert slot == 0
        if isinstance(expected, str):
            assert not ok and expected in str(value)
            return
        assert ok
        assert read_answer(pickle.loads(value)).result.last_output == expected
        # The worker serves the next request as well.
        pool.submit_component(1, "c", "c", process_pool.dumps(request))
        [(_, ok, _)] = pool.wait()
        assert ok
