"""Why components run (explain), parameter reach, and searches that set disk caches aside."""

from __future__ import annotations

import os

import pytest

from orvane_core.misc import OrvaneComponentStatus as S
from orvane_core.misc import OrvaneDiskcacheStatus as D
from orvane_core.misc.models import OrvanePipelineParameterModel as Param
from tests.pipeline.conftest import component, dag
from tests.pipeline.test_diskcache_helpers import wait_for

CHAIN = ["load", "features", "model", "evaluate"]
EDGES = list(zip(CHAIN, CHAIN[1:], strict=False))


def chain(make_pipeline, reach, identifier=None, alpha="1.0", run=True, versions=0):
    """load -> features -> model (reads alpha) -> evaluate, every cell disk-cached."""
    codes = ["data = [1, 2, 3]", "x = [v * 2 for v in data]", "w = sum(x) * alpha", "w + 1"]
    components = [component(c, code, diskcache=True) for c, code in zip(CHAIN, codes, strict=True)]
    p = make_pipeline(
        dag(components, EDGES),
        identifier=identifier,
        parameters=[Param(name="alpha", type="float", value=alpha)],
        parameter_reach=reach,
        kept_versions=versions,
    )
    if run:
        p.execute_all(send_to_front=False)
        settle(p)
    return p


def shown(p):
    """What a person is told per component: where its results come from, or why it will run."""
    told = {}
    for c, e in p.explain().items():
        said = e["next"] if e["next"]["decision"] == "ran" else e["results"]
        told[c] = f"{'will run' if said is e['next'] else said['decision']}: {said['reason']}"
    return told


def settle(p):
    """Waits until every pending disk write has been taken in."""
    wait_for(
        lambda: (
            p.update_diskcache_status(),
            all(p.nodes[c].diskcache_status != D.UPDATING for c in p.nodes),
        )[1]
    )


def ran(p):
    return [c for c, e in p.explain().items() if e["decision"] == "ran"]


@pytest.mark.parametrize(
    ("reach", "ran_after_alpha", "model_reason", "evaluate_reason"),
    [
        (True, ["model", "evaluate"], "parameters changed: alpha", "its parent model reran"),
        (False, CHAIN, "parameters changed: alpha", "parameters changed: alpha"),
    ],
)
def test_a_parameter_change_reruns_what_it_reaches(
    make_pipeline, reach, ran_after_alpha, model_reason, evaluate_reason
):
    p = chain(make_pipeline, reach)
    assert ran(p) == CHAIN
    never_ran = {"decision": "ran", "reason": "it never ran", "cause": "never_ran"}
    assert p.explain()["load"] == {
        **never_ran,
        "results": never_ran,
        "next": {
            "decision": "reused",
            "reason": "its disk cache is current",
            "cause": "current_on_disk",
        },
    }

    assert p.execute_component("evaluate", send_to_front=False) == 13.0
    assert {e["decision"] for e in p.explain().values()} == {"reused"}

    p.set_parameters([Param(name="alpha", type="float", value="2.0")])
    counts = {c: p.nodes[c].success_count for c in CHAIN}
    assert p.execute_component("evaluate", send_to_front=False) == 25.0
    assert ran(p) == ran_after_alpha
    assert [c for c in CHAIN if p.nodes[c].success_count > counts[c]] == ran_after_alpha
    explained = p.explain()
    assert explained["model"]["reason"] == model_reason
    assert explained["model"]["parameters"] == ["alpha"]
    assert explained["evaluate"]["reason"] == evaluate_reason


def test_an_edit_names_what_changed(make_pipeline):
    p = chain(make_pipeline, True)
    components = [component(c, p.nodes[c].cell_code, diskcache=True) for c in CHAIN]
    components[1] = component("features", "x = [v * 3 for v in data]", diskcache=True)
    p.update_graph(dag(components, EDGES))
    explained = p.explain()
    assert [explained[c]["cause"] for c in CHAIN] == [
        "never_ran",
        "code_changed",
        "parent_reran",
        "parent_reran",
    ]
    assert explained["model"]["parent"] == "features"


@pytest.mark.parametrize(
    ("cleared", "before", "after"),
    [
        ("features", "load:current_on_disk", "load:current_on_disk features:cleared"),
        (None, "load:cleared", "load:cleared features:parent_reran"),
    ],
)
def test_cleared_components_run_because_they_were_cleared(make_pipeline, cleared, before, after):
    p = chain(make_pipeline, False)
    # An edited descendant's reason gives way too: its earlier results are gone as well.
    components = [component(c, p.nodes[c].cell_code, diskcache=True) for c in CHAIN]
    components[3] = component("evaluate", "w + 2", diskcache=True)
    p.update_graph(dag(components, EDGES))
    if cleared:
        p.clear_component_cache(cleared)
    else:
        p.clear_all_cache()
    assert " ".join(f"{c}:{e['next']['cause']}" for c, e in p.explain().items()) == (
        f"{before} features:cleared model:cleared evaluate:cleared"
    )
    p.execute_all(send_to_front=False)
    assert " ".join(f"{c}:{e['cause']}" for c, e in p.explain().items()) == (
        f"{after} model:parent_reran evaluate:cleared"
    )


def test_a_search_with_reach_reruns_only_what_the_tuned_parameters_reach(make_pipeline):
    p = chain(make_pipeline, True)
    folder = p.nodes["model"]._diskcache.cache_dir
    counts = {c: p.nodes[c].success_count for c in CHAIN}

    p.optimize_parameters("evaluate", "RandomSearch", [0], {"alpha": {"low": 0, "high": 1}}, 4)
    assert len(p._hpoptimizer.optimization_log) == 4
    grown = {c: p.nodes[c].success_count - counts[c] for c in CHAIN}
    assert grown == {"load": 0, "features": 0, "model": 4, "evaluate": 4}
    # Paused, not deleted; nothing was written for trial results.
    assert os.path.isdir(folder)
    assert p.nodes["features"].diskcache_status == D.CACHED
    assert p.nodes["model"].diskcache_status == D.UNCACHED

    # Back at the values from before the search, the paused caches are current again, taken
    # back without counting as new successes.
    counts = {c: p.nodes[c].success_count for c in CHAIN}
    p.set_parameters([Param(name="alpha", type="float", value="1.0")])
    assert [p.nodes[c].diskcache_status for c in CHAIN] == [D.CACHED] * 4
    assert p.nodes["evaluate"].status == S.SUCCESSFUL
    assert {c: p.nodes[c].success_count for c in CHAIN} == counts
    assert shown(p) == {
        "load": "ran: it never ran",
        "features": "ran: it never ran",
        "model": "reused: its disk cache is current",
        "evaluate": "reused: its disk cache is current",
    }
    assert p.execute_component("evaluate", send_to_front=False) == 13.0
    assert {c: p.nodes[c].success_count for c in CHAIN} == counts
    assert ran(p) == []

    # A cleared cache stays cleared: what the next search sets aside does not come back.
    folder = p.nodes["model"]._diskcache.cache_dir
    p.optimize_parameters("evaluate", "RandomSearch", [0], {"alpha": {"low": 0, "high": 1}}, 2)
    p.clear_all_cache()
    p.set_parameters([Param(name="alpha", type="float", value="1.0")])
    assert not os.path.exists(folder)
    assert p.nodes["model"].diskcache_status == D.UNCACHED


def test_a_search_that_stops_at_once_leaves_the_set_aside_caches_current(make_pipeline):
    p = chain(make_pipeline, True)
    no_step = {"alpha": {"low": 0, "high": 1, "distribution": "discrete_uniform"}}
    p.optimize_parameters("evaluate", "RandomSearch", [0], no_step, 3)
    # Set aside, its values are gone from the component: it does not claim success.
    assert p.nodes["model"].status == S.INVALID
    assert p.execute_component("evaluate", send_to_front=False) == 13.0
    assert {e["cause"] for e in p.explain().values()} == {"current_on_disk"}


def test_a_trial_at_the_earlier_values_leaves_the_set_aside_caches_for_afterwards(make_pipeline):
    p = chain(make_pipeline, True)
    # 1.0 and 2.0 drawn ten times: a trial at 1.0 is followed by one at 2.0 but for 11 in 1024.
    two = {"alpha": {"low": 1, "high": 2, "interval": 1.0, "distribution": "discrete_uniform"}}
    p.optimize_parameters("evaluate", "RandomSearch", [0], two, 10)
    p.set_parameters([Param(name="alpha", type="float", value="1.0")])
    counts = {c: p.nodes[c].success_count for c in CHAIN}
    assert p.execute_component("evaluate", send_to_front=False) == 13.0
    assert {c: p.nodes[c].success_count for c in CHAIN} == counts


@pytest.mark.parametrize(
    ("versions", "ran_per_value"),
    [
        (3, [["model", "evaluate"], [], []]),
        (1, [["model", "evaluate"], [], []]),
        (0, [["model", "evaluate"]] * 3),
    ],
)
def test_going_back_to_earlier_values_reads_the_caches_kept_for_them(
    make_pipeline, versions, ran_per_value
):
    p = chain(make_pipeline, True, identifier=f"versions-{versions}", versions=versions)
    for value, expected in zip(["2.0", "1.0", "2.0"], ran_per_value, strict=True):
        settle(p)
        p.set_parameters([Param(name="alpha", type="float", value=value)])
        counts = {c: p.nodes[c].success_count for c in CHAIN}
        assert p.execute_component("evaluate", send_to_front=False) == 12 * float(value) + 1
        assert [c for c in CHAIN if p.nodes[c].success_count > counts[c]] == expected, value
    # A later pipeline finds them too, and takes the one for its values.
    settle(p)
    p.keep_diskcache()
    later = chain(make_pipeline, True, f"versions-{versions}", run=False, versions=versions)
    reused = ["reused: its disk cache is current"] * 4
    changed = ["will run: parameters changed: alpha", "will run: its parent model reran"]
    assert list(shown(later).values()) == (reused if versions else reused[:2] + changed)
    later.execute_all(send_to_front=False)
    assert [c for c, e in later.explain().items() if e["decision"] == "ran"] == (
        [] if versions else ["model", "evaluate"]
    )
