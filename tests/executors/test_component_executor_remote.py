"""The remote executor against a real Redis server and real Celery workers, faults included."""

from __future__ import annotations

import threading
import time
from http import HTTPStatus

import cloudpickle
import pytest
import redis

from orvane_core.capture import LiveSink, live_output
from orvane_core.executors import OrvaneRemoteComponentExecutor
from orvane_core.executors.component_executors.remote import celery_app
from orvane_core.misc.models import OrvaneExecutionRequestModel
from tests.services import RedisServer, Worker, free_port, wait_until

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def redis_server():
    server = RedisServer()
    yield server
    server.stop()


@pytest.fixture
def worker(redis_server):
    w = Worker(redis_server.url)
    yield w
    w.stop()


def run(executor, code, **inputs):
    request = OrvaneExecutionRequestModel(
        identifier="c1",
        name="remote cell",
        cell_code=code,
        module_statements={"os": "importlib.import_module('os')"},
        non_module_inputs=inputs,
        parameters={"factor": 10},
    )
    return cloudpickle.loads(executor.execute(request=cloudpickle.dumps(request)))


def executor(broker, backend=None):
    return OrvaneRemoteComponentExecutor(
        identifier="c1", name="remote cell", broker=broker, backend=backend
    )


def test_ping_says_what_is_missing(redis_server):
    dead = f"redis://127.0.0.1:{free_port()}/0"
    cases = [
        (executor(None), "must be text"),
        (executor("amqp://guest@localhost//"), "is not a Redis URL"),
        (executor(dead), "Cannot reach the broker"),
        (executor(redis_server.url, backend=dead), "Cannot reach the result backend"),
        (executor(redis_server.url), "No worker answers"),
        # Texts no URL parser takes: answered, and any password kept out of the answer.
        (executor("redis://127.0.0.1:notaport/0"), "Cannot use the broker"),
        (executor("redis://[::1:6379/0"), "Cannot use the broker"),
        (executor("redis://:hush@127.0.0.1:notaport/0"), "Cannot use the broker"),
        (executor(redis_server.url, backend="redis://:hush@[::1/0"), "result backend"),
    ]
    for ex, message in cases:
        reachable, text = ex.ping()
        assert (reachable, message in text, "hush" in text) == (False, True, False), text
    assert "orvane worker --broker" in cases[4][0].ping()[1]


def test_runs_cells_on_a_worker_and_reports_their_failures(worker):
    ex = executor(worker.broker)
    assert ex.ping()[0] is True

    ok = run(
        ex,
        "import json\nimport sys\nprint('hi', file=sys.stderr)\nv = n * factor\njson.dumps(v)",
        n=4,
    )
    assert ok.status == HTTPStatus.PARTIAL_CONTENT and ok.message == "hi\n"
    assert ok.result.non_module_outputs == {"v": 40}
    assert ok.result.last_output == "40"
    assert set(ok.result.module_statements) == {"os", "json", "sys"}

    failed = run(ex, "raise ValueError('broken remotely')")
    assert failed.status == HTTPStatus.INTERNAL_SERVER_ERROR
    assert failed.result.exception_msg[3].endswith(": broken remotely")

    # A cell that ends its process takes only that child down; the worker reports the loss.
    lost = run(ex, "import os\nos._exit(3)")
    assert lost.status == HTTPStatus.INTERNAL_SERVER_ERROR
    assert "Worker exited prematurely" in lost.result.exception_msg[3]
    assert run(ex, "n + 1", n=1).result.last_output == 2

    # What the cell draws comes back as a picture in its output.
    drawn = run(ex, "import matplotlib.pyplot as plt\n_ = plt.plot([1, 2])")
    shown = [e for e in drawn.result.captured.outputs if e["type"] == "display_data"]
    assert [sorted(e["data"]) for e in shown] == [["image/png", "text/plain"]]

    # A result is deleted from the backend once taken, however large.
    assert len(run(ex, "big = b'x' * (20 << 20)").result.non_module_outputs["big"]) == 20 << 20
    with redis.Redis.from_url(worker.broker) as client:
        assert client.keys("celery-task-meta-*") == []


def run_in_thread(ex, code):
    """Starts a run in a thread; its response lands in the returned mapping."""
    box = {}
    thread = threading.Thread(target=lambda: box.setdefault("response", run(ex, code)))
    thread.start()
    return thread, box


def started_marker(url):
    """A cell that sets a key in Redis once it runs, and a wait for that key."""
    import redis

    def started():
        with redis.Redis.from_url(url) as client:
            return client.getdel("started")

    code = f"import redis, time\nredis.Redis.from_url({url!r}).set('started', 1)\ntime.sleep(120)"
    return code, lambda: wait_until(started, "the cell to start")


def test_a_killed_worker_ends_the_run_and_a_new_worker_serves_the_next(redis_server):
    w = Worker(redis_server.url)
    try:
        code, wait_started = started_marker(redis_server.url)
        ex = executor(redis_server.url)
        thread, box = run_in_thread(ex, code)
        wait_started()
        w.kill()
        thread.join(60)
        assert not thread.is_alive()
        response = box["response"]
        assert response.status == HTTPStatus.INTERNAL_SERVER_ERROR
        # Named when the kernel saw it take the task; either way the run ends, not waits.
        assert any(
            text in response.result.exception_msg[3]
            for text in (f"The worker {w.hostname} stopped answering", "No worker answers")
        ), response.result.exception_msg[3]

        # No worker now: the executor says so instead of queueing work nobody takes.
        assert "No worker answers" in ex.ping()[1]
    finally:
        w.stop()
    w = Worker(redis_server.url)
    try:
        assert run(executor(redis_server.url), "1 + 1").result.last_output == 2
    finally:
        w.stop()


@pytest.mark.timeout(180)
def test_a_broker_lost_during_a_run_ends_it_and_the_next_run_does_not_wait_behind_it():
    server = RedisServer()
    port = server.port
    w = Worker(server.url)  # one process, busy with the abandoned cell until it is revoked
    try:
        code, wait_started = started_marker(server.url)
        ex = executor(server.url)
        thread, box = run_in_thread(ex, code)
        wait_started()
        server.stop()
        thread.join(60)
        assert not thread.is_alive()
        response = box["response"]
        assert response.status == HTTPStatus.INTERNAL_SERVER_ERROR
        assert "Lost the connection" in response.result.exception_msg[3]
        assert "Cannot reach the broker" in ex.ping()[1]

        server = RedisServer(port)
        wait_until(lambda: ex.ping()[0], "the worker to reconnect")
        # The abandoned cell sleeps 120 s: the rerun gets the worker only if it was revoked.
        thread, box = run_in_thread(ex, "2 + 2")
        thread.join(60)
        assert not thread.is_alive() and box["response"].result.last_output == 4
    finally:
        w.stop()
        server.stop()


def test_a_task_held_by_a_worker_that_died_before_running_it_fails_while_others_live(
    redis_server,
):
    a = Worker(redis_server.url)
    b = None
    try:
        code, wait_started = started_marker(redis_server.url)
        busy, busy_box = run_in_thread(executor(redis_server.url), code)
        wait_started()
        # With its one process busy, the worker takes the next task and holds it.
        held, held_box = run_in_thread(executor(redis_server.url), "1 + 1")
        inspect = celery_app(redis_server.url).control.inspect(destination=[a.hostname])
        wait_until(lambda: (inspect.reserved() or {}).get(a.hostname), "the worker to hold it")
        b = Worker(redis_server.url)
        a.kill()
        for thread in (busy, held):
            thread.join(60)
            assert not thread.is_alive()
        text = held_box["response"].result.exception_msg[3]
        assert "stopped before running component 'remote cell'" in text, text
        assert "stopped answering" in busy_box["response"].result.exception_msg[3]
        assert run(executor(redis_server.url), "1 + 1").result.last_output == 2
    finally:
        a.stop()
        if b is not None:
            b.stop()


def test_what_a_cell_prints_on_a_worker_is_followed_while_it_runs(worker):
    sink, seen = LiveSink(), []
    write = sink.write
    sink.write = lambda cid, name, text: (
        seen.append((time.monotonic(), text)),
        write(cid, name, text),
    )
    with live_output(sink):
        response = run(
            executor(worker.broker),
            "import time\nprint('first', flush=True)\ntime.sleep(1.5)\nprint('second')",
        )
    (first,) = [t for t, text in seen if "first" in text]
    (second,) = [t for t, text in seen if "second" in text]
    assert second - first > 1.0
    assert sink.unshown(response.result.captured, "c1") == []  # nothing left to show at the end
