"""The background disk-cache writer with its real native thread, real files and real faults."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest

from orvane_core.cache import OrvaneDiskCache
from orvane_core.executors import OrvaneDiskcacheWriter
from orvane_core.executors.diskcache_writer import serialize_value
from orvane_core.misc.models import OrvaneDiskCacheCancelModel, OrvaneDiskCacheDoneModel
from tests.cache.writing import make_task, wait_messages

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _wait_dead(writer, timeout=30.0):
    deadline = time.monotonic() + timeout
    while writer.is_alive():
        assert time.monotonic() < deadline, "writer thread did not stop"
        time.sleep(0.005)


def test_two_tasks_give_two_directories_and_messages_in_order(writer, tmp_path):
    assert writer.put_task(task=make_task(tmp_path / "component-a", success_count=1, last_output=1))
    assert writer.put_task(task=make_task(tmp_path / "component-b", success_count=2, last_output=2))
    messages = wait_messages(writer, 2)
    assert all(isinstance(m, OrvaneDiskCacheDoneModel) for m in messages)
    assert [(m.success_count, m.is_successful, m.is_stopped) for m in messages] == [
        (1, True, False),
        (2, True, False),
    ]
    assert sorted(os.listdir(tmp_path)) == ["component-a", "component-b"]
    assert [OrvaneDiskCache(cache_dir=m.cache_dir).last_output for m in messages] == [1, 2]
    assert writer.get_messages() == []


def test_existing_directory_is_not_replaced(writer, tmp_path):
    first = make_task(tmp_path / "component-a", last_output="first")
    assert writer.put_task(task=first)
    assert writer.put_task(task=make_task(tmp_path / "component-a", last_output="second"))
    ok, refused = wait_messages(writer, 2)
    assert ok.is_successful and not refused.is_successful
    assert "File exists" in refused.msg
    assert OrvaneDiskCache(cache_dir=ok.cache_dir).last_output == "first"


def test_cancel_of_a_queued_task_leaves_nothing(tmp_path):
    writer = OrvaneDiskcacheWriter(identifier="p")
    writer.open()  # accepting, but not started: both tasks stay queued
    try:
        assert writer.put_task(task=make_task(tmp_path / "component-a", "c", 1))
        assert writer.put_task(task=make_task(tmp_path / "component-b", "c", 2))
        assert writer.cancel_task(
            task=OrvaneDiskCacheCancelModel(component_id="c", success_count=1)
        )
        assert not writer.cancel_task(
            task=OrvaneDiskCacheCancelModel(component_id="other", success_count=2)
        )
        writer.start()
        (message,) = wait_messages(writer, 1)
        assert (message.success_count, message.is_successful) == (2, True)
        assert os.listdir(tmp_path) == ["component-b"]
    finally:
        writer.close()


def test_cancel_during_a_large_write_leaves_nothing(writer, tmp_path):
    big = np.ones(64 << 17)  # 64 MiB: long enough to be caught in progress most of the time
    assert writer.put_task(task=make_task(tmp_path / "component-a", "c", 1, outputs={"v": big}))
    writer.cancel_task(task=OrvaneDiskCacheCancelModel(component_id="c", success_count=1))
    writer.close()
    messages = writer.get_messages()
    # Either the write was withdrawn (no message, nothing on disk) or it had already finished.
    if messages:
        assert messages[0].is_successful and os.listdir(tmp_path) == ["component-a"]
    else:
        assert os.listdir(tmp_path) == []


def test_close_keeps_finished_messages_and_reports_dropped_tasks(tmp_path):
    writer = OrvaneDiskcacheWriter(identifier="p")
    writer.open()
    writer.start()
    assert writer.put_task(task=make_task(tmp_path / "component-a", "a", 1))
    deadline = time.monotonic() + 30
    while not os.path.exists(tmp_path / "component-a"):
        assert time.monotonic() < deadline
        time.sleep(0.005)
    writer.close()  # the message of the finished write is not drained yet
    assert not writer.is_alive()
    (done,) = writer.get_messages()
    assert (done.component_id, done.is_successful, done.is_stopped) == ("a", True, False)

    # Tasks queued at close are dropped and reported as failed writes, never lost silently.
    writer.open()
    assert writer.put_task(task=make_task(tmp_path / "component-b", "b", 1))
    writer.close()
    (dropped,) = writer.get_messages()
    assert (dropped.component_id, dropped.is_successful, dropped.is_stopped) == ("b", False, False)
    assert "closed" in dropped.msg
    assert not os.path.exists(tmp_path / "component-b")


@pytest.mark.parametrize("state", ["new", "opened", "closed"])
def test_put_task_is_refused_unless_open(tmp_path, state):
    writer = OrvaneDiskcacheWriter(identifier="p", ipykernel_connection=None)
    if state != "new":
        writer.open()
    if state == "closed":
        writer.start()
        writer.close()
    accepted = writer.put_task(task=make_task(tmp_path / "component-a"))
    assert accepted is (state == "opened")
    assert writer.is_alive() is False
    writer.close()


def test_open_and_start_after_close_work_again(tmp_path):
    writer = OrvaneDiskcacheWriter(identifier="p")
    for round_ in range(3):
        writer.open()
        writer.start()
        assert writer.is_alive()
        assert writer.put_task(
            task=make_task(tmp_path / f"component-{round_}", success_count=round_)
        )
        (message,) = wait_messages(writer, 1)
        assert message.success_count == round_ and message.is_successful
        writer.close()
        assert not writer.is_alive()
    assert sorted(os.listdir(tmp_path)) == ["component-0", "component-1", "component-2"]


def test_death_mid_write_leaves_no_loadable_directory_and_reports_stop(writer, tmp_path):
    assert writer._inject_fault("die_mid_write")
    task = make_task(tmp_path / "component-a", outputs={"v": np.ones(1 << 18)})
    assert writer.put_task(task=task)
    _wait_dead(writer)
    assert writer.put_task(task=make_task(tmp_path / "component-b")) is False
    (stopped,) = writer.get_messages()
    assert stopped.is_stopped
    assert writer.get_messages() == []
    # What the crash left is a recognisable unfinished write, never a cache.
    (left,) = os.listdir(tmp_path)
    assert OrvaneDiskCache.is_unfinished_write(tmp_path / left)
    assert OrvaneDiskCache.read_record(tmp_path / left) is None
    assert not os.path.exists(tmp_path / left / "manifest.json")
    # The interrupted task's bytes were released; a restart works.
    assert writer._core._held_tasks() == 0
    writer.close()
    writer.open()
    writer.start()
    assert writer.put_task(task=make_task(tmp_path / "component-c", last_output="ok"))
    (message,) = wait_messages(writer, 1)
    assert OrvaneDiskCache(cache_dir=message.cache_dir).last_output == "ok"


def test_task_buffers_are_released_after_the_write(writer, tmp_path):
    task = make_task(tmp_path / "component-a", outputs={"v": np.ones(1000)})
    blob = task.data.non_module_outputs["v"]
    before = sys.getrefcount(blob)
    assert writer.put_task(task=task)
    assert sys.getrefcount(blob) == before + 1  # referenced, not copied, while queued
    wait_messages(writer, 1)
    assert sys.getrefcount(blob) == before
    assert writer._core._held_tasks() == 0


def test_a_value_changed_after_the_hand_off_is_written_as_it_was(writer, tmp_path):
    value = np.arange(1 << 20, dtype=np.float64)  # 8 MiB: out of band, copied at the hand-off
    task = make_task(tmp_path / "component-a", last_output=value)
    task.data.non_module_outputs = {"v": serialize_value(value)}
    writer._inject_fault("hold")  # nothing is written before the value changes
    assert writer.put_task(task=task)
    value[:] = -1
    writer._inject_fault("release")
    (message,) = wait_messages(writer, 1)
    cache = OrvaneDiskCache(cache_dir=message.cache_dir)
    for loaded in (cache.last_output, cache.non_module_outputs["v"]):
        np.testing.assert_array_equal(loaded, np.arange(1 << 20, dtype=np.float64))
        # Read straight into the memory the array is built on: no copy in between.
        base = loaded
        while isinstance(base, np.ndarray | memoryview):
            base = base.base if isinstance(base, np.ndarray) else base.obj
        assert type(base) is bytearray and len(base) == loaded.nbytes


def test_unpicklable_and_wrong_inputs_raise(writer, tmp_path):
    import threading

    bad = make_task(tmp_path / "component-a")
    bad.data.last_output = threading.Lock()
    with pytest.raises(TypeError):
        writer.put_task(task=bad)
    with pytest.raises(TypeError):
        writer.put_task(task={"component_id": "c"})
    with pytest.raises(TypeError):
        writer.cancel_task(task=None)
    assert os.listdir(tmp_path) == []


_FSIZE_SCRIPT = textwrap.dedent(
    """
    import json, os, resource, signal, sys, time
    sys.path.insert(0, sys.argv[2])
    from orvane_core.cache import OrvaneDiskCache
    from orvane_core.executors import OrvaneDiskcacheWriter
    from tests.cache.writing import make_task, wait_messages

    root = sys.argv[1]
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))
    w = OrvaneDiskcacheWriter(identifier="p")
    w.open()
    w.start()
    w.put_task(task=make_task(os.path.join(root, "component-big"), outputs={"v": b"x" * (4 << 20)}))
    w.put_task(task=make_task(os.path.join(root, "component-small"), last_output="fine"))
    big, small = wait_messages(w, 2)
    print(json.dumps({
        "big": [big.is_successful, big.msg],
        "small": [small.is_successful, OrvaneDiskCache(cache_dir=small.cache_dir).last_output],
        "alive": w.is_alive(),
        "entries": sorted(os.listdir(root)),
    }))
    w.close()
    """
)


def test_file_too_large_gives_a_failed_message_and_the_writer_goes_on(tmp_path):
    out = subprocess.run(
        [sys.executable, "-c", _FSIZE_SCRIPT, str(tmp_path), ROOT],
        capture_output=True,
        text=True,
        timeout=120,
        check=True,
    )
    result = json.loads(out.stdout)
    assert result["big"][0] is False
    assert "File too large" in result["big"][1]
    assert result["small"] == [True, "fine"]
    assert result["alive"] is True
    assert result["entries"] == ["component-small"]  # the failed write left nothing behind


def test_forked_child_leaves_the_parents_writer_alone(writer, tmp_path):
    # Worker pools fork the kernel; a child must neither join the parent's thread nor block on
    # a lock the parent's thread held at the fork.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        code = 0
        try:
            refused = not writer.put_task(task=make_task(tmp_path / "component-child"))
            writer.close()
            ok = refused and not writer.is_alive() and writer.get_messages() == []
            code = 0 if ok else 1
        except BaseException:
            code = 2
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert writer.is_alive()
    assert writer.put_task(task=make_task(tmp_path / "component-parent"))
    (message,) = wait_messages(writer, 1)
    assert message.is_successful
    assert os.listdir(tmp_path) == ["component-parent"]


_EXIT_SCRIPT = textwrap.dedent(
    """
    import os, sys
    sys.path.insert(0, sys.argv[3])
    from orvane_core.executors import OrvaneDiskcacheWriter
    from tests.cache.writing import make_task

    w = OrvaneDiskcacheWriter(identifier="p")
    w.open()
    w.start()
    for i in range(3):
        w.put_task(task=make_task(os.path.join(sys.argv[1], f"component-{i}"),
                                  outputs={"v": b"x" * (16 << 20)}))
    if sys.argv[2] == "drop-reference":
        del w
    """
)


@pytest.mark.parametrize("how", ["exit-while-writing", "drop-reference"])
def test_interpreter_exit_during_writes_is_clean(tmp_path, how):
    out = subprocess.run(
        [sys.executable, "-c", _EXIT_SCRIPT, str(tmp_path), how, ROOT],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert out.returncode == 0, out.stderr
    # Whatever was in flight finished; what was queued was dropped: nothing half-written.
    for name in os.listdir(tmp_path):
        record = OrvaneDiskCache.read_record(tmp_path / name)
        assert record is not None and record["complete"], name
