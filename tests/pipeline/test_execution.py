"""Running components with their ancestors: order, reuse, invalidation, failures, reports."""

from __future__ import annotations

import pytest

from orvane_core.pipeline.pipeline import need_to_rerun_component
from tests.pipeline.conftest import D, S, component, dag
from tests.pipeline.test_diskcache_helpers import settle


def mark_cached(*components):
    for c in components:
        assert c.status == S.SUCCESSFUL
        c.diskcache_status = D.CACHED


def test_two_component_run_reports_each_step_in_order(make_pipeline, recorder):
    p = make_pipeline(
        dag(
            [component("a", "x = 1", diskcache=True), component("b", "x + 1", diskcache=True)],
            [("a", "b")],
        )
    )
    recorder.clear()
    assert p.execute_component("b") == 2
    # Summary after planning; per component: RUNNING, after the run, after the push, after the
    # queued write, after polling the writer; one after the package list.
    assert recorder.statuses("a") == [S.INVALID, S.RUNNING] + [S.SUCCESSFUL] * 10
    assert recorder.statuses("b") == [S.INVALID] * 6 + [S.RUNNING] + [S.SUCCESSFUL] * 5
    assert all(r.status == "successful" and r.failed == {} for r in recorder.summaries)
    assert p.tasks() == [("todo", "a"), ("todo", "b")]
    summary = recorder.summaries[-1].successful
    assert summary["python_requirements"] and summary["edges"] == [{"source": "a", "target": "b"}]


def test_cached_ancestors_are_reused_pushed_and_kept_without_rewriting(
    make_pipeline, recorder, shell
):
    p = make_pipeline(
        dag(
            [
                component("a", "x = 1", diskcache=True),
                component("b", "y = x + 1", diskcache=True),
                component("c", "y * 10", diskcache=True),
            ],
            [("a", "b"), ("b", "c")],
        )
    )
    p.execute_component("b")
    settle(p)  # both written: their caches are on disk
    runs = (p.nodes["a"].success_count, p.nodes["b"].success_count)
    folders = (p.nodes["a"].diskcache_dir, p.nodes["b"].diskcache_dir)
    shell.user_ns.pop("x")
    recorder.clear()
    p.forget_tasks()

    assert p.execute_component("c") == 20
    assert (p.nodes["a"].success_count, p.nodes["b"].success_count) == runs
    assert S.RUNNING not in recorder.statuses("a") + recorder.statuses("b")
    assert shell.user_ns["x"] == 1
    # The reused ancestors keep the caches they have; only c is written.
    assert [t for t in p.tasks() if t[0] == "todo"] == [("todo", "c")]
    settle(p)
    assert (p.nodes["a"].diskcache_dir, p.nodes["b"].diskcache_dir) == folders
    assert all(p.nodes[c].diskcache_status == D.CACHED for c in "abc")


def test_ancestors_without_disk_cache_run_again(make_pipeline, recorder):
    p = make_pipeline(dag([("a", "x = 1"), ("b", "x + 1")], [("a", "b")]))
    p.execute_component("b")
    counts = [p.nodes[c].success_count for c in "ab"]
    recorder.clear()
    p.execute_component("b")
    assert [p.nodes[c].success_count for c in "ab"] == [n + 1 for n in counts]
    assert S.RUNNING in recorder.statuses("a")


def test_invalid_parent_reruns_while_a_cached_child_is_reused(make_pipeline):
    p = make_pipeline(
        dag(
            [component("a", "x = 1", diskcache=True), component("b", "x + 1", diskcache=True)],
            [("a", "b")],
        )
    )
    p.execute_component("b")
    mark_cached(p.nodes["a"], p.nodes["b"])
    p.nodes["a"].status = S.INVALID
    before = p.nodes["b"].success_count
    p.execute_component("b")
    assert p.nodes["a"].status == S.SUCCESSFUL
    assert p.nodes["b"].success_count == before


def test_a_component_needing_a_rerun_invalidates_its_downstream_and_cancels_writes(make_pipeline):
    p = make_pipeline(
        dag(
            [
                component("a", "x = 1"),
                component("b", "y = x", diskcache=True),
                component("c", "z = y", diskcache=True),
                component("d", "w = 0", diskcache=True),
            ],
            [("a", "b"), ("b", "c")],
        )
    )
    p.execute_all()
    for cid in "bcd":
        p.nodes[cid].diskcache_status = D.UPDATING
    p.forget_tasks()
    # "a" does not cache to disk, so it reruns and takes "b" and "c" (outside the plan) along.
    p.execute_component("a")
    assert ("cancel", "b") in p.tasks() and ("cancel", "c") in p.tasks()
    assert ("cancel", "d") not in p.tasks()
    assert p.nodes["b"].status == S.INVALID and p.nodes["c"].status == S.INVALID
    assert p.nodes["d"].status == S.SUCCESSFUL


def test_shared_ancestor_runs_once_in_the_first_block(make_pipeline):
    p = make_pipeline(
        dag(
            [
                ("root", "import builtins\nbuiltins._order.append('root')"),
                ("left", "builtins._order.append('left')"),
                ("right", "builtins._order.append('right')"),
            ],
            [("root", "left"), ("root", "right")],
        )
    )
    import builtins

    builtins._order = []
    try:
        p.execute_components(["right", "left"])
        assert builtins._order == ["root", "right", "left"]
    finally:
        del builtins._order


def test_failing_parent_stops_the_run_but_the_tail_still_reports(make_pipeline, recorder):
    p = make_pipeline(
        dag([("a", "x = 1\n'a-out'"), ("b", "1 / 0"), ("c", "x")], [("a", "b"), ("b", "c")])
    )
    p.python_requirements = []
    recorder.clear()
    assert p.execute_component("c") is None
    assert p.nodes["b"].status == S.FAILED
    assert p.nodes["c"].status == S.INVALID
    assert S.RUNNING not in recorder.statuses("c")
    assert p.python_requirements  # refreshed by the tail
    assert recorder.summaries[-1].successful["components"][1]["execution_status"] == S.FAILED


def test_failed_component_keeps_its_error_record_after_memory_is_freed(make_pipeline):
    p = make_pipeline(dag([("a", "raise ValueError('broken input')")]))
    p.execute_all(optimize_memory=True)
    failed = p.nodes["a"]
    assert failed.status == S.FAILED
    assert failed.exception_msg and any("broken input" in line for line in failed.exception_msg)
    assert failed.captured


@pytest.mark.parametrize("optimize", [True, False])
def test_memory_is_freed_except_where_a_disk_write_is_pending(make_pipeline, optimize):
    p = make_pipeline(
        dag(
            [
                component("a", "x = [1]"),
                component("b", "y = x"),
                component("d", "v = [2]", diskcache=True),
                component("e", "w = v"),
            ],
            [("a", "b"), ("d", "e")],
        )
    )
    p.execute_all(optimize_memory=optimize)
    assert bool(p.nodes["a"].non_module_outputs) is not optimize
    assert p.nodes["d"].non_module_outputs == {"v": [2]}


@pytest.mark.parametrize(
    ("codes", "message"),
    [
        (
            ("import json as j", "import pickle as j"),
            "'p2/j' is importlib.import_module('pickle'), which differs from "
            "'importlib.import_module('json')'.",
        ),
        (
            ("v = [1, 2]", "v = [1, 3]"),
            "Value of the object 'v' in this component cannot be determined since it inherits "
            "different values from different parents. Please change the pipeline structure or "
            "resolve value conflicts in the parent components.",
        ),
        (("v = [1, 2]", "v = [1, 2]"), None),
    ],
    ids=["module statements", "values", "equal values"],
)
def test_conflicting_inheritance_is_recorded_in_the_child(make_pipeline, codes, message):
    p = make_pipeline(
        dag(
            [("p1", codes[0]), ("p2", codes[1]), ("child", "'ran'")],
            [("p1", "child"), ("p2", "child")],
        )
    )
    result = p.execute_component("child")
    child = p.nodes["child"]
    if message is None:
        assert result == "ran" and child.status == S.SUCCESSFUL
        return
    assert child.status == S.FAILED
    assert message in "\n".join(child.exception_msg)


def test_parent_not_successful_is_an_error_of_the_child(make_pipeline):
    p = make_pipeline(dag([("a", "x = 1"), ("b", "x")], [("a", "b")]))
    p.nodes["a"].status = S.FAILED
    with pytest.raises(RuntimeError, match=r"^Please execute the parent component \[a\] first\.$"):
        p._execute_component(component_id="b")
    assert p.nodes["b"].status == S.RUNNING


def test_empty_request_sends_two_summaries(make_pipeline, recorder):
    p = make_pipeline(dag([("a", "1")]))
    recorder.clear()
    assert p.execute_components([]) is None
    assert len(recorder.records) == 2
    assert p.nodes["a"].status == S.INVALID


def test_unknown_component_fails_before_anything_runs(make_pipeline, recorder):
    import networkx as nx

    p = make_pipeline(dag([("a", "1")]))
    recorder.clear()
    with pytest.raises(nx.NetworkXError, match="The node nope is not in the digraph."):
        p.execute_components(["a", "nope"])
    with pytest.raises(nx.NetworkXError):
        p.execute_component(None)
    assert recorder.records == [] and p.nodes["a"].status == S.INVALID


@pytest.mark.parametrize("bad", [b"a", 1, ["a"]], ids=["bytes", "int", "list"])
@pytest.mark.parametrize(
    "call",
    [
        lambda p, v: p.execute_component(v),
        lambda p, v: p._execute_component(component_id=v),
        lambda p, v: p._check_all_children_successful(component_id=v),
        lambda p, v: p.update_component_info(component_id=v),
        lambda p, v: p.execute_components([v]),
    ],
    ids=["execute_component", "_execute_component", "_check_children", "update_info", "list"],
)
def test_component_ids_must_be_text(make_pipeline, recorder, call, bad):
    p = make_pipeline(dag([("a", "1")]))
    recorder.clear()
    with pytest.raises(TypeError):
        call(p, bad)
    assert recorder.records == []


def test_interrupt_is_recorded_and_cancels_every_pending_write(make_pipeline):
    p = make_pipeline(
        dag(
            [
                component("w", "1", diskcache=True),
                component("a", "x = 1"),
                component("b", "raise KeyboardInterrupt"),
                component("c", "x"),
            ],
            [("a", "b"), ("b", "c")],
        )
    )
    p.execute_component("w")
    p.nodes["w"].diskcache_status = D.UPDATING
    p.forget_tasks()
    assert p.execute_component("c") is None
    interrupted = p.nodes["b"]
    assert interrupted.status == S.FAILED
    assert "Interrupted at component 'b'" in "\n".join(interrupted.exception_msg)
    assert ("cancel", "w") in p.tasks()
    assert p.nodes["w"].diskcache_status == D.FAILED
    assert p.nodes["c"].status == S.INVALID


def test_callback_errors_propagate_and_no_callback_is_fine(make_pipeline):
    p = make_pipeline(dag([("a", "41 + 1")]), callback=None)
    assert p.execute_all() == 42

    def broken(data):
        raise LookupError("front end gone")

    q = make_pipeline(dag([("a", "1")]), callback=broken)
    with pytest.raises(LookupError):
        q.execute_all()


def test_writer_found_stopped_is_restarted_before_a_run(make_pipeline):
    p = make_pipeline(dag([("a", "1")]))
    writer = p._diskcache_writer
    writer.close()
    assert not writer.is_alive()
    p.execute_all()
    assert p._diskcache_writer.is_alive()


def test_writer_that_cannot_close_is_replaced(make_pipeline):
    p = make_pipeline(dag([("a", "1")]))
    old = p._diskcache_writer
    old.close()

    class Stuck:
        def is_alive(self):
            return False

        def close(self):
            raise OSError("cannot close")

    p._diskcache_writer = Stuck()
    p.execute_all()
    assert p._diskcache_writer is not old and p._diskcache_writer.is_alive()
    assert p._diskcache_writer.__class__.__name__ != "Stuck"


@pytest.mark.parametrize(
    ("status", "use_diskcache", "disk", "excluded", "expected"),
    [
        (S.SUCCESSFUL, True, D.CACHED, False, False),
        (S.SUCCESSFUL, True, D.UPDATING, False, False),
        (S.SUCCESSFUL, True, D.UNCACHED, False, True),
        (S.SUCCESSFUL, True, D.FAILED, False, True),
        (S.SUCCESSFUL, False, D.UNCACHED, False, True),
        (S.SUCCESSFUL, False, D.UNCACHED, True, False),
        (S.FAILED, True, D.CACHED, True, True),
        (S.INVALID, True, D.CACHED, False, True),
    ],
)
def test_need_to_rerun_component(make_pipeline, status, use_diskcache, disk, excluded, expected):
    p = make_pipeline(dag([component("a", "1", diskcache=use_diskcache)]))
    c = p.nodes["a"]
    c.status = status
    c.diskcache_status = disk
    assert need_to_rerun_component(c, excludes=["a"] if excluded else None) is expected
    assert need_to_rerun_component(component=c, excludes=["zzz"]) is (
        expected if not excluded else True
    )


def test_check_all_children_successful(make_pipeline):
    p = make_pipeline(dag([("a", "1"), ("b", "1"), ("c", "1")], [("a", "b"), ("a", "c")]))
    assert p._check_all_children_successful(component_id="b") is True
    assert p._check_all_children_successful(component_id="a") is False
    p.execute_component("b")
    assert p._check_all_children_successful(component_id="a") is False
    p.execute_components(["b", "c"])
    assert p._check_all_children_successful(component_id="a") is True
    # Running "c" alone reruns "a" (no disk cache), which invalidates "b".
    p.execute_component("c")
    assert p._check_all_children_successful(component_id="a") is False
