"""The worker pool of parallel runs, stopped while a worker cannot answer."""

from __future__ import annotations

import _thread
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
from http import HTTPStatus

import psutil
import pytest

from orvane_core.executors import process_pool
from orvane_core.executors.component_executors.local import read_answer
from orvane_core.executors.process_pool import OrvaneProcessPool
from orvane_core.misc.models import OrvaneExecutionRequestModel, OrvaneExecutionResponseModel
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


@pytest.mark.timeout(60)
def test_the_wakeup_descriptor_goes_back_with_the_signals_that_came_meanwhile():
    owner_read, owner_write = os.pipe()
    os.set_blocking(owner_write, False)
    handler = signal.signal(signal.SIGUSR1, lambda *_: None)
    previous = signal.set_wakeup_fd(owner_write)
    try:
        pool = OrvaneProcessPool(slots=2)
        pool.submit(0, os.getpid)
        pool.wait()
        signal.raise_signal(signal.SIGUSR1)  # between two waits of one run
        pool.submit(1, os.getpid)
        pool.wait()
        pool.stop()
        assert signal.set_wakeup_fd(owner_write) == owner_write
        assert os.read(owner_read, 16) == bytes([signal.SIGUSR1])
    finally:
        signal.set_wakeup_fd(previous)
        signal.signal(signal.SIGUSR1, handler)
        os.close(owner_read)
        os.close(owner_write)


@pytest.mark.timeout(60)
def test_a_pool_given_no_task_opens_nothing_and_starts_no_worker():
    """A parallel run whose every result is current makes its pool and ends it."""
    kernel = psutil.Process()
    before = (sorted(os.listdir("/proc/self/fd")), kernel.children())
    with OrvaneProcessPool(slots=3) as pool:
        assert pool.wait() == [] and pool.carry(0, 1, "c", "c", "x = 1", {}) is False
        pool.dismiss_idle()
        assert (sorted(os.listdir("/proc/self/fd")), kernel.children()) == before


@pytest.mark.timeout(60)
def test_an_idle_worker_dismissed_leaves_by_itself_and_gets_no_more_tasks():
    with OrvaneProcessPool(slots=2, processes=1) as pool:
        pool.submit(0, os.getpid)
        [(_, _, first)] = pool.wait()
        pool.dismiss_idle()
        wait_until(lambda: gone(first), "the dismissed worker to leave", timeout=20)
        pool.submit(1, os.getpid)
        [(slot, ok, second)] = pool.wait()
        assert (slot, ok) == (1, True) and second != first


@pytest.mark.timeout(60)
@pytest.mark.parametrize(("name", "value"), [("ORVANE_TEST_ADDED", "yes"), ("HOME", None)])
def test_a_worker_has_the_environment_the_kernel_has_when_it_starts(monkeypatch, name, value):
    with OrvaneProcessPool(slots=1) as pool:  # the fork server runs from here on, if not before
        pool.submit(0, os.getpid)
        pool.wait()
    if value is None:
        monkeypatch.delenv(name)
    else:
        monkeypatch.setenv(name, value)
    with OrvaneProcessPool(slots=1) as pool:
        pool.submit(0, os.getenv, (name,))
        assert pool.wait() == [(0, True, value)]


class Revocable:
    """What the pool asks of an executor whose tasks run elsewhere: a task id reserved before
    sending and a revocation (both noted on the kernel's side), and a response saying how the
    run went."""

    def __init__(self, status: HTTPStatus) -> None:
        self.status, self.calls = status, []

    def reserve_task(self) -> None:
        self.calls.append("reserve")

    def revoke_task(self, now: bool = True) -> None:
        self.calls.append(f"revoke now={now}")

    def execute(self, seconds: float) -> bytes:
        time.sleep(seconds)
        return pickle.dumps(OrvaneExecutionResponseModel(status=self.status))


@pytest.mark.timeout(60)
@pytest.mark.parametrize(
    ("status", "seconds", "calls"),
    [
        (HTTPStatus.OK, 0, ["reserve"]),
        (HTTPStatus.PARTIAL_CONTENT, 0, ["reserve"]),
        # Its wait may have given it up while it still runs there.
        (HTTPStatus.INTERNAL_SERVER_ERROR, 0, ["reserve", "revoke now=True"]),
        # Not completed when the pool stops.
        (HTTPStatus.OK, 300, ["reserve", "revoke now=True"]),
    ],
)
def test_a_task_run_elsewhere_is_revoked_when_it_fails_or_never_completes(status, seconds, calls):
    owner = Revocable(status)
    with OrvaneProcessPool(slots=1) as pool:
        pool.submit(0, owner.execute, (seconds,))
        if not seconds:
            [(_, ok, _)] = pool.wait()
            assert ok
    assert owner.calls == calls
