"""The pipeline's channel to the disk-cache writer: queueing, polling, staleness, failures."""

from __future__ import annotations

import os

import pytest

from orvane_core.cache import OrvaneDiskCache
from orvane_core.misc import (
    OrvaneComponentStatus,
    OrvaneDiskcacheStatus,
    OrvanePipelineCallbackProcedure,
    OrvanePipelineCallbackStatus,
)
from tests.pipeline.test_diskcache_helpers import (
    cache_dirs,
    close_pipeline,
    dag,
    drain_point,
    make_pipeline,
    run,
    settle,
    wait_for,
)

DISKCACHE = OrvanePipelineCallbackProcedure.DISKCACHE_UPDATED
UPDATED = OrvanePipelineCallbackProcedure.PIPELINE_UPDATED


@pytest.fixture
def records():
    return []


@pytest.fixture
def pipe(records):
    p = make_pipeline(
        dag(
            [("a", "x = 1", True), ("b", "y = x + 1", True), ("c", "z = 3", False)],
            [("a", "b")],
        ),
        records,
    )
    yield p
    close_pipeline(p)


def test_diskcache_dir_is_the_directory_as_text(pipe):
    assert isinstance(pipe.diskcache_dir, str)
    assert pipe.diskcache_dir == str(pipe._diskcache_dir)
    assert os.path.isdir(pipe.diskcache_dir)


def test_finished_write_is_loaded_and_reported(pipe, records, shell):
    run(pipe, "a", shell)
    assert pipe.nodes["a"].diskcache_status == OrvaneDiskcacheStatus.UPDATING
    records.clear()
    settle(pipe)
    a = pipe.nodes["a"]
    assert a.diskcache_status == OrvaneDiskcacheStatus.CACHED
    assert a.diskcache_dir is not None and os.path.dirname(a.diskcache_dir) == pipe.diskcache_dir
    assert os.path.basename(a.diskcache_dir).startswith("component-")
    done = [r for r in records if r.procedure == DISKCACHE]
    assert len(done) == 1
    assert done[0].status == OrvanePipelineCallbackStatus.SUCCESSFUL
    assert done[0].successful == {"component_id": "a"} and done[0].failed == {}
    # No child has run: the in-memory results stay; values read the same either way.
    assert a.non_module_outputs["x"] == 1


def test_in_memory_cache_dropped_once_children_succeeded(pipe, shell):
    run(pipe, "a", shell, queue=False)
    run(pipe, "b", shell, queue=False)
    pipe._put_diskcache_task(task_type="todo", component_id="a")
    settle(pipe)
    a = pipe.nodes["a"]
    assert a._in_memory_cache.is_empty()
    assert dict(a.non_module_outputs) == {"x": 1}  # now served from disk


@pytest.mark.parametrize(
    ("task_type", "expected"),
    [
        ("todo", OrvaneDiskcacheStatus.UPDATING),
        ("TODO", OrvaneDiskcacheStatus.UPDATING),
        ("anything", OrvaneDiskcacheStatus.UPDATING),
        ("cancel", OrvaneDiskcacheStatus.FAILED),
        ("CaNcEl", OrvaneDiskcacheStatus.FAILED),
    ],
)
def test_task_type_ignores_case_and_anything_but_cancel_writes(
    pipe, records, shell, task_type, expected
):
    run(pipe, "a", shell, queue=False)
    records.clear()
    pipe._put_diskcache_task(task_type=task_type, component_id="a")
    assert pipe.nodes["a"].diskcache_status == expected
    assert [r.procedure for r in records] == [UPDATED]
    settle(pipe)
    written = cache_dirs(pipe.diskcache_dir)
    assert len(written) == (1 if expected == OrvaneDiskcacheStatus.UPDATING else 0)


def test_cancel_withdraws_the_pending_write(pipe, shell):
    run(pipe, "a", shell)
    pipe._put_diskcache_task(task_type="cancel", component_id="a")
    assert pipe.nodes["a"].diskcache_status == OrvaneDiskcacheStatus.FAILED
    pipe._diskcache_writer.close()  # waits for anything in progress
    pipe._diskcache_writer.open()
    pipe._diskcache_writer.start()
    pipe.update_diskcache_status()
    assert pipe.nodes["a"].diskcache_status == OrvaneDiskcacheStatus.FAILED
    assert cache_dirs(pipe.diskcache_dir) == []


@pytest.mark.parametrize("case", ["unknown component", "no writer", "none id"])
def test_task_that_cannot_apply_does_nothing(pipe, records, case):
    component_id = {"unknown component": "zzz", "none id": None}.get(case, "a")
    if case == "no writer":
        writer, pipe._diskcache_writer = pipe._diskcache_writer, None
    pipe._put_diskcache_task(task_type="todo", component_id=component_id)
    if case == "no writer":
        pipe._get_diskcache_messages()  # without a writer, polling does nothing either
        pipe._diskcache_writer = writer
    assert records == []
    assert pipe.nodes["a"].diskcache_status == OrvaneDiskcacheStatus.UNCACHED


@pytest.mark.parametrize("bad", [b"a", 1, ["a"]])
@pytest.mark.parametrize("argument", ["task_type", "component_id"])
def test_task_arguments_accept_only_text_or_none(pipe, argument, bad):
    kwargs = {"task_type": "todo", "component_id": "a", argument: bad}
    with pytest.raises(TypeError):
        pipe._put_diskcache_task(**kwargs)


def test_two_writes_go_to_two_directories_and_the_stale_one_is_discarded(pipe, records, shell):
    run(pipe, "a", shell)
    run(pipe, "a", shell)  # executed again before the first write was taken in
    a = pipe.nodes["a"]
    assert a.success_count == 2
    drain_point(pipe, 2)
    first, second = cache_dirs(pipe.diskcache_dir)
    assert first != second
    records.clear()
    pipe.update_diskcache_status()
    # The write made for count 1 is gone; the one for count 2 is loaded, in the same batch.
    assert [os.path.basename(a.diskcache_dir)] == cache_dirs(pipe.diskcache_dir)
    assert a.diskcache_status == OrvaneDiskcacheStatus.CACHED
    assert [r.procedure for r in records] == [DISKCACHE, UPDATED]


def test_stale_write_leaves_the_attached_cache_alone(pipe, records, shell):
    run(pipe, "a", shell)
    settle(pipe)
    a = pipe.nodes["a"]
    attached = a.diskcache_dir
    run(pipe, "b", shell)  # a second write in the same batch
    run(pipe, "a", shell, queue=False)
    pipe.nodes["a"]._diskcache_status = OrvaneDiskcacheStatus.UPDATING
    pipe._put_diskcache_task(task_type="todo", component_id="a")
    run(pipe, "a", shell, queue=False)  # count moves on: the queued write is stale
    drain_point(pipe, 3)
    records.clear()
    pipe.update_diskcache_status()
    assert os.path.isdir(attached) and a.diskcache_dir == attached
    assert OrvaneDiskCache.read_record(attached)["success_count"] == 1
    assert sorted(cache_dirs(pipe.diskcache_dir)) == sorted(
        os.path.basename(pipe.nodes[c].diskcache_dir) for c in "ab"
    )
    assert pipe.nodes["b"].diskcache_status == OrvaneDiskcacheStatus.CACHED
    assert [r.successful for r in records if r.procedure == DISKCACHE] == [{"component_id": "b"}]


def test_superseded_cache_is_released_when_the_new_one_loads(pipe, shell):
    run(pipe, "a", shell)
    settle(pipe)
    old = pipe.nodes["a"].diskcache_dir
    run(pipe, "a", shell)
    settle(pipe)
    new = pipe.nodes["a"].diskcache_dir
    assert new != old and not os.path.exists(old)
    assert cache_dirs(pipe.diskcache_dir) == [os.path.basename(new)]


def test_reuse_from_disk_rewrites_and_releases_the_superseded_cache(pipe, records, shell):
    run(pipe, "a", shell, queue=False)
    run(pipe, "b", shell, queue=False)
    pipe._put_diskcache_task(task_type="todo", component_id="a")
    settle(pipe)
    attached = pipe.nodes["a"].diskcache_dir
    records.clear()
    pipe._put_diskcache_task(task_type="todo", component_id="a")  # as a reuse queues it
    assert pipe.nodes["a"]._diskcache_status == OrvaneDiskcacheStatus.UPDATING
    assert [r.procedure for r in records] == [UPDATED]
    settle(pipe)
    rewritten = pipe.nodes["a"].diskcache_dir
    assert rewritten != attached and not os.path.exists(attached)
    assert cache_dirs(pipe.diskcache_dir) == [os.path.basename(rewritten)]
    assert dict(pipe.nodes["a"].non_module_outputs) == {"x": 1}


def test_failed_write_is_reported_and_the_batch_goes_on(pipe, records, shell, tmp_path):
    blocker = tmp_path / "not-a-directory"
    blocker.write_text("")
    run(pipe, "a", shell, queue=False)
    run(pipe, "b", shell, queue=False)
    real_dir = pipe._diskcache_dir
    pipe._diskcache_dir = blocker  # the write below cannot create its directory
    pipe._put_diskcache_task(task_type="todo", component_id="a")
    pipe._diskcache_dir = real_dir
    pipe._put_diskcache_task(task_type="todo", component_id="b")
    drain_point(pipe, 1)
    records.clear()
    pipe.update_diskcache_status()
    assert pipe.nodes["a"].diskcache_status == OrvaneDiskcacheStatus.FAILED
    assert pipe.nodes["b"].diskcache_status == OrvaneDiskcacheStatus.CACHED
    failed, succeeded, summary = records
    assert (failed.procedure, failed.status) == (DISKCACHE, OrvanePipelineCallbackStatus.FAILED)
    assert failed.failed == {"component_id": "a"} and failed.successful == {}
    assert failed.msg
    assert succeeded.successful == {"component_id": "b"}
    assert summary.procedure == UPDATED


def test_lone_failed_write_gives_exactly_two_callbacks(pipe, records, shell, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    run(pipe, "a", shell, queue=False)
    real_dir, pipe._diskcache_dir = pipe._diskcache_dir, blocker
    pipe._put_diskcache_task(task_type="todo", component_id="a")
    pipe._diskcache_dir = real_dir

    def poll():
        records.clear()
        pipe.update_diskcache_status()
        return pipe.nodes["a"].diskcache_status == OrvaneDiskcacheStatus.FAILED

    wait_for(poll)
    assert [(r.procedure, r.status) for r in records] == [
        (DISKCACHE, OrvanePipelineCallbackStatus.FAILED),
        (UPDATED, OrvanePipelineCallbackStatus.SUCCESSFUL),
    ]


def test_writer_death_fails_pending_writes_and_restarts_it(records, shell):
    import numpy as np

    p = make_pipeline(
        dag([("big", "", True), ("s1", "u = 1", True), ("s2", "v = 2", True)]), records
    )
    try:
        shell.push({"np": np})
        p.nodes["big"].cell_code = "w = np.ones(8 << 20)"  # 64 MiB: the writer dies halfway
        for cid in ("big", "s1", "s2"):
            run(p, cid, shell, queue=False)
        p._diskcache_writer._inject_fault("die_mid_write")
        for cid in ("big", "s1", "s2"):
            try:
                p._put_diskcache_task(task_type="todo", component_id=cid)
            except RuntimeError:
                # The writer died before this task was put: refused, and marked FAILED.
                assert p.nodes[cid].diskcache_status == OrvaneDiskcacheStatus.FAILED
        wait_for(lambda: not p._diskcache_writer.is_alive())
        with pytest.raises(RuntimeError, match=r"^Diskcache writer does not work\.$"):
            p.update_diskcache_status()
        # An execution restarts a writer it finds dead; the stop is taken in at the next poll.
        writer = p._diskcache_writer
        writer.close()
        writer.open()
        writer.start()
        records.clear()
        p.update_diskcache_status()
        assert {c: p.nodes[c].diskcache_status for c in p.nodes} == dict.fromkeys(
            p.nodes, OrvaneDiskcacheStatus.FAILED
        )
        assert [r.procedure for r in records] == [UPDATED]
        assert p._diskcache_writer.is_alive()
        assert cache_dirs(p.diskcache_dir) == []  # nothing half-written can load
        # The restarted writer works.
        p._put_diskcache_task(task_type="todo", component_id="s1")
        settle(p)
        assert p.nodes["s1"].diskcache_status == OrvaneDiskcacheStatus.CACHED
        # The half-written directory goes with the pipeline's clean-up.
        close_pipeline(p)
        assert not os.path.exists(p.diskcache_dir)
    finally:
        close_pipeline(p)


def test_dead_writer_refuses_tasks_with_the_known_text(pipe, records, shell):
    run(pipe, "a", shell, queue=False)
    pipe._diskcache_writer.close()
    records.clear()
    with pytest.raises(RuntimeError, match=r"^Diskcache writer does not work\.$"):
        pipe._put_diskcache_task(task_type="todo", component_id="a")
    assert pipe.nodes["a"].diskcache_status == OrvaneDiskcacheStatus.FAILED
    assert [r.procedure for r in records] == [UPDATED]


def test_message_for_a_removed_component_is_skipped_and_its_write_deleted(pipe, records, shell):
    run(pipe, "a", shell)
    drain_point(pipe, 1)
    del pipe.nodes["a"]
    pipe.nx_graph.remove_node("a")
    records.clear()
    pipe.update_diskcache_status()
    assert [r.procedure for r in records] == [UPDATED]
    assert cache_dirs(pipe.diskcache_dir) == []


def test_unpicklable_last_output_is_dropped_and_the_write_goes_ahead(pipe, shell):
    a = pipe.nodes["a"]
    a.cell_code = "x = 1\n(i for i in range(3))"
    run(pipe, "a", shell, queue=False)
    assert a.last_output is not None
    pipe._put_diskcache_task(task_type="todo", component_id="a")
    assert a.last_output is None
    settle(pipe)
    assert a.diskcache_status == OrvaneDiskcacheStatus.CACHED


def test_unpicklable_output_fails_the_disk_cache_and_queues_nothing(pipe, records, shell):
    a = pipe.nodes["a"]
    run(pipe, "a", shell, queue=False)
    a.non_module_outputs = {"g": (i for i in range(3))}
    records.clear()
    pipe._put_diskcache_task(task_type="todo", component_id="a")
    assert a.diskcache_status == OrvaneDiskcacheStatus.FAILED
    failure, summary = records
    assert failure.failed == {"component_id": "a"} and summary.procedure == UPDATED
    assert "'g'" in failure.msg and "generator" in failure.msg
    assert a.status == OrvaneComponentStatus.SUCCESSFUL
    assert pipe._diskcache_writer.get_messages() == []


def test_execution_recovers_from_a_writer_that_died(records, shell):
    code = "import numpy as np\nw = np.ones(8 << 20)"  # 64 MiB: the writer dies halfway
    p = make_pipeline(dag([("big", code, True), ("s", "u = 1", True)], [("big", "s")]), records)
    try:
        p._diskcache_writer._inject_fault("die_mid_write")
        # Run and queue without polling, so the death is first seen by the poll below.
        run(p, "big", shell)
        wait_for(lambda: not p._diskcache_writer.is_alive())
        with pytest.raises(RuntimeError, match=r"^Diskcache writer does not work\.$"):
            p.update_diskcache_status()
        assert cache_dirs(p.diskcache_dir) == []
        # The next execution restarts the writer and takes in its stop; the lost write does not
        # stay pending, and both results reach the disk.
        p.execute_component(component_id="s", send_to_front=False)
        assert p._diskcache_writer.is_alive()
        settle(p)
        assert {c: p.nodes[c].diskcache_status for c in p.nodes} == dict.fromkeys(
            p.nodes, OrvaneDiskcacheStatus.CACHED
        )
        assert len(cache_dirs(p.diskcache_dir)) == 2
        assert p.nodes["big"].non_module_outputs["w"].sum() == 8 << 20
    finally:
        close_pipeline(p)
