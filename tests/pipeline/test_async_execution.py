"""Parallel runs in real worker processes: side by side, failures, lost workers, remote cells."""

from __future__ import annotations

import _thread
import itertools
import os
import signal
import threading
import time

import psutil
import pytest
import redis

from orvane_core.executors.component_executors.remote import celery_app
from orvane_core.misc.models import OrvaneComponentRemoteConfigModel
from tests.pipeline.conftest import S, component, dag
from tests.services import RedisServer, Worker, wait_until

pytestmark = pytest.mark.slow


def meet(mine: str, other: str, folder) -> str:
    """Cell code that announces itself and then waits for the other cell to do the same: both
    finish only when they run at the same time."""
    return (
        "import os, time\n"
        f"open(os.path.join({str(folder)!r}, {mine!r}), 'w').close()\n"
        "deadline = time.monotonic() + 60\n"
        f"while not os.path.exists(os.path.join({str(folder)!r}, {other!r})):\n"
        "    assert time.monotonic() < deadline, 'ran alone'\n"
        "    time.sleep(0.01)\n"
        f"{mine} = os.getpid()\n"
        "del deadline"
    )


def test_independent_branches_run_side_by_side(make_pipeline, recorder, shell, tmp_path):
    p = make_pipeline(
        dag(
            [
                component("a", "import math\nx = 3", diskcache=True),
                ("b", meet("b", "c", tmp_path)),
                ("c", meet("c", "b", tmp_path)),
                ("d", "total = math.floor(5.5) if b != c else 0\ntotal"),
            ],
            [("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")],
        )
    )
    recorder.clear()
    assert p.execute_all_async() is None
    assert {cid: p.nodes[cid].status for cid in "abcd"} == dict.fromkeys("abcd", S.SUCCESSFUL)
    assert shell.user_ns["b"] != shell.user_ns["c"]  # two worker processes
    assert shell.user_ns["total"] == 5 and shell.user_ns["x"] == 3
    # The child waits for both parents; each change reached the front end.
    assert recorder.statuses("d")[-1] == S.SUCCESSFUL
    assert S.RUNNING in recorder.statuses("b")
    assert ("todo", "a") in p.tasks()

    # Nothing left to run: the cached parent is reused, the others run again.
    recorder.clear()
    p.execute_components_async(component_ids=[])
    assert len(recorder.summaries) == 2


def test_classes_and_functions_defined_by_cells_reach_the_next_workers(make_pipeline, shell):
    # P and twice also land in the kernel's namespace, where plain pickle would find them by
    # name: a worker, which has no such names, must get them by value.
    p = make_pipeline(
        dag(
            [
                (
                    "a",
                    "class P:\n    def __init__(self, v):\n        self.v = v\n"
                    "def twice(q):\n    return P(2 * q.v)\np = P(3)",
                ),
                ("b", "q = twice(p)\nkind = type(q).__name__"),
                ("c", "r = twice(q).v"),
            ],
            [("a", "b"), ("a", "c"), ("b", "c")],
        )
    )
    p.execute_all_async()
    assert [p.nodes[cid].status for cid in "abc"] == [S.SUCCESSFUL] * 3
    assert (shell.user_ns["kind"], shell.user_ns["r"]) == ("P", 12)


@pytest.mark.parametrize(
    ("code", "reason"),
    [
        ("raise ValueError('broken branch')", "ValueError"),
        ("import os\nos._exit(3)", "exited with code 3"),
        ("import os, signal\nos.kill(os.getpid(), signal.SIGKILL)", "killed by signal 9"),
    ],
)
def test_a_failed_branch_stops_the_run_and_the_next_run_works(make_pipeline, code, reason):
    p = make_pipeline(
        dag(
            [("a", "x = 1"), ("bad", code), ("slow", "import time\ntime.sleep(120)"),
             ("after", "y = 2")],
            [("a", "bad"), ("a", "slow"), ("slow", "after")],
        )
    )  # fmt: skip
    p.execute_all_async()
    assert p.nodes["bad"].status is S.FAILED
    assert reason in "\n".join(p.nodes["bad"].exception_msg)
    assert p.nodes["slow"].status is S.INVALID
    assert p.nodes["after"].status is S.INVALID

    p.nodes["bad"].cell_code = "z = 3"
    p.nodes["slow"].cell_code = "w = 4"
    p.execute_all_async()
    assert [p.nodes[c].status for c in ("a", "bad", "slow", "after")] == [S.SUCCESSFUL] * 4


def test_a_lost_worker_is_recorded_also_when_the_caller_is_handling_an_exception(make_pipeline):
    p = make_pipeline(dag([("bad", "import os\nos._exit(3)")], []))
    try:
        raise KeyError("the caller's own")
    except KeyError:
        p.execute_all_async()
    banner = "\n".join(p.nodes["bad"].exception_msg)
    assert "exited with code 3" in banner and "the caller's own" not in banner


def test_parents_are_followed_up_even_when_their_child_cannot_start(make_pipeline, shell):
    # The two parents give the child different values of x: starting it fails in the kernel.
    p = make_pipeline(
        dag(
            [
                component("a", "x = 1\nya = 1", diskcache=True),
                component("b", "x = 2\nyb = 2", diskcache=True),
                ("c", "z = x"),
            ],
            [("a", "c"), ("b", "c")],
        )
    )
    p.execute_all_async()
    assert [p.nodes[c].status for c in "abc"] == [S.SUCCESSFUL, S.SUCCESSFUL, S.FAILED]
    assert "cannot be determined" in "\n".join(p.nodes["c"].exception_msg)
    assert (shell.user_ns["ya"], shell.user_ns["yb"]) == (1, 2)
    assert {("todo", "a"), ("todo", "b")} <= set(p.tasks())


def test_remote_cells_run_on_workers_and_a_missing_worker_fails_clearly(make_pipeline):
    server = RedisServer()
    try:
        remote = OrvaneComponentRemoteConfigModel(broker=server.url, backend=server.url)
        graph = dag([("a", "x = 20"), ("r", "y = x + 1"), ("d", "y * 2")],
                    [("a", "r"), ("r", "d")])  # fmt: skip
        p = make_pipeline(graph)
        p.nodes["r"].remote_config = remote
        p.execute_all_async()
        assert p.nodes["r"].status is S.FAILED
        assert "No worker answers" in p.nodes["r"].exception_msg[3]
        assert p.nodes["d"].status is S.INVALID

        worker = Worker(server.url)
        try:
            p.execute_all_async(optimize_memory=False)
            assert p.nodes["d"].last_output == 42
            # The synchronous path reaches the worker too.
            assert p.execute_component("d") == 42 and p.nodes["r"].status is S.SUCCESSFUL
        finally:
            worker.stop()
    finally:
        server.stop()


def workers() -> list[psutil.Process]:
    """The worker processes alive now: children of this process's fork server."""
    servers = [c for c in psutil.Process().children() if "forkserver" in " ".join(c.cmdline())]
    return [w for server in servers for w in server.children() if w.is_running()]


def test_every_component_runs_in_a_worker_and_an_interrupt_stops_a_lone_one(make_pipeline, shell):
    lone = "import os, threading\npid = os.getpid()\nlock = threading.Lock()\nitems = [1]"
    p = make_pipeline(dag([("a", lone), ("b", "items.append(2)\nn = len(items)")], [("a", "b")]))
    p.execute_all_async(optimize_memory=False)
    assert shell.user_ns["pid"] != os.getpid() and shell.user_ns["n"] == 2
    # What cannot be pickled stays behind, with a note.
    assert "lock" not in p.nodes["a"].non_module_outputs
    assert "cannot be sent back" in p.nodes["a"].captured.outputs[-1]["text"]

    p.nodes["b"].cell_code = "import time\ntime.sleep(60)"
    threading.Timer(1.0, _thread.interrupt_main).start()
    p.execute_all_async()
    assert p.nodes["b"].status is S.FAILED
    assert "Interrupted at component 'b'" in "\n".join(p.nodes["b"].exception_msg)
    assert workers() == []


def pid_note(folder, name: str) -> str:
    return (
        f"import os\nopen(os.path.join({str(folder)!r}, {name!r}), 'w').write(str(os.getpid()))\n"
    )


def wait_for(folder, name: str = "go") -> str:
    go = os.path.join(str(folder), name)
    return f"import os, time\nwhile not os.path.exists({go!r}):\n    time.sleep(0.02)\n"


# Stops its own process once its main thread is inside the write of the result (a large one
# takes a while), as the kernel's OOM killer finds a worker in the middle of sending.
STOP_IN_WRITE = """
import signal, threading
tid = threading.get_native_id()
def stop_in_write():
    while open(f'/proc/self/task/{tid}/syscall').read().split()[0] not in ('1', '20'):
        pass
    os.kill(os.getpid(), signal.SIGSTOP)
threading.Thread(target=stop_in_write, daemon=True).start()
big = b'x' * (400 << 20)
"""


def stopped(pid: int) -> bool:
    return psutil.Process(pid).status() == psutil.STATUS_STOPPED


def gone(pid: int) -> bool:
    try:
        return psutil.Process(pid).status() == psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return True


FAULTS = {
    # A worker killed between its tasks: nothing of the run may wait on it. (b lasts long
    # enough for c to start on another worker, even when b runs right after a in a's worker.)
    "killed while idle": (
        lambda f: dag(
            [
                ("a", "x = 1"),
                ("b", pid_note(f, "b") + "import time\ntime.sleep(0.2)"),
                ("c", wait_for(f)),
                ("d", "y = 2"),
            ],
            [("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")],
        ),
        "b",
        lambda pid: time.sleep(0.5),
        {"a": S.SUCCESSFUL, "b": S.SUCCESSFUL, "c": S.SUCCESSFUL, "d": S.SUCCESSFUL},
    ),
    # Killed half-way through sending a large result: its component fails with the reason.
    "killed while sending its result": (
        lambda f: dag(
            [("a", "x = 1"), ("k", pid_note(f, "k") + STOP_IN_WRITE), ("s", wait_for(f, "never"))],
            [("a", "k"), ("a", "s")],
        ),
        "k",
        lambda pid: wait_until(lambda: stopped(pid), "the worker to stop in its write"),
        {"a": S.SUCCESSFUL, "k": S.FAILED, "s": S.INVALID},
    ),
}


@pytest.mark.timeout(120)
@pytest.mark.parametrize("fault", FAULTS)
def test_a_worker_killed_outside_its_cell_ends_the_run_cleanly(make_pipeline, tmp_path, fault):
    graph, victim, before_kill, expected = FAULTS[fault]
    p = make_pipeline(graph(tmp_path))
    killed = {}

    def kill():
        note = tmp_path / victim
        wait_until(lambda: note.exists() and note.read_text(), f"{victim} to start")
        pid = killed["pid"] = int(note.read_text())
        before_kill(pid)
        os.kill(pid, signal.SIGKILL)
        # Its end must be visible before the run goes on: a task handed to a worker in the
        # instant it dies fails with it, which is right but not what this case is about.
        wait_until(lambda: gone(pid), f"{victim}'s worker to end")
        (tmp_path / "go").touch()

    killer = threading.Thread(target=kill, daemon=True)
    killer.start()
    p.execute_all_async()
    killer.join(30)
    assert {c: p.nodes[c].status for c in expected} == expected
    if expected[victim] is S.FAILED:
        banner = "\n".join(p.nodes[victim].exception_msg)
        assert f"(pid {killed['pid']}) running this component was killed by signal 9" in banner
    assert workers() == []

    for c in expected:
        p.nodes[c].cell_code = f"v_{c} = 1"
    p.execute_all_async()
    assert all(p.nodes[c].status is S.SUCCESSFUL for c in expected)


def test_an_interrupted_run_revokes_the_remote_tasks_it_started(make_pipeline):
    server = RedisServer()
    worker = None
    try:
        worker = Worker(server.url)
        client = redis.Redis.from_url(server.url)
        remote = f"import redis, time\nredis.Redis.from_url({server.url!r}).set('on', 1)\n"
        p = make_pipeline(
            dag(
                [("a", "x = 1"), ("r", remote + "time.sleep(120)"),
                 ("s", "import time\ntime.sleep(120)")],
                [("a", "r"), ("a", "s")],
            )
        )  # fmt: skip
        p.nodes["r"].remote_config = OrvaneComponentRemoteConfigModel(
            broker=server.url, backend=server.url
        )

        def interrupt_once_started():
            wait_until(lambda: client.get("on"), "the remote cell to start")
            _thread.interrupt_main()

        threading.Thread(target=interrupt_once_started, daemon=True).start()
        p.execute_all_async()
        assert "Interrupted at component 'r'" in "\n".join(p.nodes["r"].exception_msg)
        app = celery_app(server.url)
        wait_until(
            lambda: app.control.inspect(timeout=1.0).active() == {worker.hostname: []},
            "the worker to stop the abandoned task",
        )
    finally:
        if worker is not None:
            worker.stop()
        server.stop()


def chain_of(codes: dict[str, str], side_parent: bool):
    """The components in a chain; with ``side_parent``, each child also has a parent of no
    consequence, so that no worker runs a child right after its parent."""
    names = list(codes)
    edges = list(itertools.pairwise(names))
    components = list(codes.items())
    if side_parent:
        components.append(("side", "side_ = 0"))
        edges += [("side", n) for n in names[1:]]
    return dag(components, edges)


def outcome(p, recorder, names) -> dict:
    def changes(cid):
        seen = recorder.statuses(cid)
        return [s for i, s in enumerate(seen) if i == 0 or seen[i - 1] != s]

    return {
        c: (
            p.nodes[c].status,
            p.nodes[c].non_module_outputs,
            p.nodes[c].last_output,
            p.nodes[c].exception_msg,
            p.nodes[c].captured and p.nodes[c].captured.outputs,
            changes(c),
        )
        for c in names
    }


CHAINS = {
    "values, streams and a value left behind": {
        "a": "import math, sys, threading\nx = [2]\nlock = threading.Lock()\n"
        "print('note', file=sys.stderr)",
        "b": "x.append(3)\ny = math.floor(sum(x) * 2.5)\nhas_lock = 'lock' in dir()\nprint(y)",
        "c": "z = (y, has_lock)\nz",
    },
    "a failed parent stops its child": {
        "a": "x = 1",
        "b": "raise ValueError('no b')",
        "c": "import pathlib\npathlib.Path(r'{folder}', 'c ran').touch()",
    },
}


@pytest.mark.timeout(120)
@pytest.mark.parametrize("case", CHAINS)
def test_a_chain_run_by_one_worker_gives_what_separate_hand_overs_give(
    make_pipeline, recorder, tmp_path, case
):
    codes = {c: code.format(folder=tmp_path) for c, code in CHAINS[case].items()}
    seen = []
    for side_parent in (True, False):
        recorder.clear()
        p = make_pipeline(chain_of(codes, side_parent))
        p.execute_all_async()
        seen.append(outcome(p, recorder, codes))
    assert seen[0] == seen[1]
    assert not (tmp_path / "c ran").exists()
    assert workers() == []


@pytest.mark.timeout(120)
def test_a_worker_killed_in_a_child_it_runs_after_its_parent_fails_the_child(make_pipeline):
    kill = "import os, signal\nos.kill(os.getpid(), signal.SIGKILL)"
    p = make_pipeline(chain_of({"a": "x = 1", "b": kill, "c": "y = 2"}, side_parent=False))
    p.execute_all_async()
    assert [p.nodes[c].status for c in "abc"] == [S.SUCCESSFUL, S.FAILED, S.INVALID]
    assert "running this component was killed by signal 9" in "\n".join(p.nodes["b"].exception_msg)
    assert workers() == []
