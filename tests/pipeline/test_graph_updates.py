"""The graph base under the pipeline: building, updating and summarising the graph."""

from __future__ import annotations

import pytest

from orvane_core.misc.models import (
    OrvaneComponentMetadataModel,
    OrvaneComponentModel,
    OrvaneDagModel,
    OrvaneEdgeModel,
)
from orvane_core.pipeline._dag import OrvaneDagBase
from tests.pipeline.conftest import S, component, dag


def test_graph_base_builds_nodes_and_edges_in_model_order():
    base = OrvaneDagBase(graph=dag([("b", "1"), ("a", "2"), ("c", "3")], [("a", "c"), ("b", "c")]))
    assert len(base.id) == 32 and int(base.id, 16) >= 0
    assert list(base.nodes) == ["b", "a", "c"] == list(base.nx_graph.nodes)
    assert list(base.nx_graph.predecessors("c")) == ["a", "b"]
    info = base.info
    assert [e["identifier"] for e in info.components] == ["b", "a", "c"]
    assert info.edges == [{"source": "a", "target": "c"}, {"source": "b", "target": "c"}]
    empty = OrvaneDagBase(identifier="fixed")
    assert empty.id == "fixed" and empty.nodes == {} and empty.info.components == []
    with pytest.raises(TypeError):
        OrvaneDagBase(identifier=b"fixed")


BAD_GRAPHS = {
    "cycle": (
        dag([("a", ""), ("b", ""), ("c", "")], [("a", "b"), ("b", "c"), ("c", "a")]),
        "contains a cycle: a -> b -> c -> a",
    ),
    "self loop": (dag([("a", "")], [("a", "a")]), "contains a cycle: a -> a"),
    "unknown edge end": (dag([("a", "")], [("a", "ghost")]), "unknown component 'ghost'"),
    "duplicate id": (dag([("a", ""), ("a", "")]), "'a' appears more than once"),
}


def _non_text_id_graph():
    record = OrvaneComponentModel(id="x", name="x", code="")
    record.id = 7  # msgspec does not check types on assignment: a front end sending numbers
    return OrvaneDagModel(components=[record])


BAD_GRAPHS["non-text id"] = (_non_text_id_graph(), "Component ids must be text, got int 7.")


@pytest.mark.parametrize("case", list(BAD_GRAPHS))
def test_rejected_graph_reports_once_raises_and_changes_nothing(make_pipeline, recorder, case):
    graph, text = BAD_GRAPHS[case]
    p = make_pipeline(dag([("a", "x = 1"), ("b", "x")], [("a", "b")]))
    p.execute_component("b")
    nodes, nx_graph, version = dict(p.nodes), p.nx_graph, p._graph_version
    recorder.clear()
    with pytest.raises(RuntimeError) as raised:
        p.update_graph(new_graph=graph)
    assert text in str(raised.value)
    assert len(recorder.records) == 1
    record = recorder.records[0]
    assert (record.procedure, record.status, record.msg) == (
        "pipeline_updated",
        "failed",
        str(raised.value),
    )
    assert record.successful == {} and record.failed == {}
    assert p.nodes == nodes and p.nx_graph is nx_graph and p._graph_version == version
    assert all(c.status == S.SUCCESSFUL for c in p.nodes.values())
    with pytest.raises(RuntimeError):
        OrvaneDagBase(graph=graph)


def test_successful_update_reports_one_summary(make_pipeline, recorder):
    p = make_pipeline(dag([("a", "1")]))
    recorder.clear()
    p.update_graph(new_graph=dag([("a", "1"), ("b", "2")], [("a", "b")]))
    assert len(recorder.records) == 1
    summary = recorder.records[0].successful
    assert [c["identifier"] for c in summary["components"]] == ["a", "b"]
    assert summary["edges"] == [{"source": "a", "target": "b"}]


def test_update_keeps_unchanged_cells_and_their_results(make_pipeline):
    p = make_pipeline(
        dag([("a", "x = 1"), ("b", "y = x"), ("c", "z = 0"), ("d", "w = 0")], [("a", "b")])
    )
    p.execute_all()
    before = dict(p.nodes)
    p.update_graph(
        new_graph=dag(
            [
                component("a", "x = 1", name="renamed"),  # name only: results kept
                ("c", "z = 1"),  # code changed: invalid
                ("b", "y = x"),  # parents change (a -> b removed, c -> b added): invalid
                ("e", "v = 0"),  # new
            ],
            [("c", "b")],
        )
    )
    assert list(p.nodes) == ["a", "c", "b", "e"]
    assert p.nodes["a"] is before["a"] and p.nodes["a"].name == "renamed"
    assert p.nodes["a"].status == S.SUCCESSFUL
    assert p.nodes["c"] is before["c"] and p.nodes["c"].status == S.INVALID
    assert p.nodes["b"] is before["b"] and p.nodes["b"].status == S.INVALID
    assert p.nodes["e"].status == S.INVALID
    assert "d" not in p.nodes
    assert list(p.nx_graph.edges) == [("c", "b")]


def test_metadata_changes_go_through_the_component(make_pipeline):
    p = make_pipeline(dag([component("a", "x = 1", diskcache=True)]))
    p.execute_all()
    kept = p.nodes["a"]
    p.update_graph(
        new_graph=OrvaneDagModel(
            components=[
                OrvaneComponentModel(
                    id="a",
                    name="a",
                    code="x = 1",
                    metadata=OrvaneComponentMetadataModel(diskcache=False),
                )
            ]
        )
    )
    assert p.nodes["a"] is kept and kept.use_diskcache is False
    assert kept.status == S.SUCCESSFUL
    p.update_graph(
        new_graph=OrvaneDagModel(components=[OrvaneComponentModel(id="a", name="a", code="x = 1")])
    )
    assert kept.metadata == OrvaneComponentMetadataModel()


def test_graph_version_moves_only_with_the_structure(make_pipeline):
    p = make_pipeline(dag([("a", "1"), ("b", "2")], [("a", "b")]))
    version = p._graph_version
    p.update_graph(new_graph=dag([component("a", "1", name="A"), ("b", "3")], [("a", "b")]))
    assert p._graph_version == version
    p.update_graph(new_graph=dag([("b", "3"), ("a", "1")], [("a", "b")]))
    assert p._graph_version == version + 1
    p.update_graph(new_graph=dag([("b", "3"), ("a", "1")]))
    assert p._graph_version == version + 2


def test_duplicate_edges_count_once():
    base = OrvaneDagBase(
        graph=OrvaneDagModel(
            components=[OrvaneComponentModel(id=i) for i in "ab"],
            edges=[OrvaneEdgeModel(source="a", target="b")] * 3,
        )
    )
    assert base.info.edges == [{"source": "a", "target": "b"}]


def test_summary_rebuilds_only_the_entries_of_changed_components(make_pipeline):
    p = make_pipeline(dag([("a", "x = 1"), ("b", "y = 2"), ("c", "z = 3")]))
    p.info  # noqa: B018  (builds every entry once)
    built = []
    for cid, c in p.nodes.items():
        original = c._info_dict

        def counting(original=original, cid=cid):
            built.append(cid)
            return original()

        c.__dict__["_info_dict"] = counting
    first = p.info.components
    assert built == []
    p.nodes["b"].status = S.FAILED
    second = p.info.components
    assert built == ["b"]
    assert second[0] is first[0] and second[2] is first[2]
    assert second[1]["execution_status"] == S.FAILED
    # Handed-out lists are copies: changing one does not change the next summary.
    second.clear()
    assert len(p.info.components) == 3


def test_update_that_cannot_build_a_new_component_changes_nothing(make_pipeline, monkeypatch):
    import orvane_core.components.vostrel as vostrel

    p = make_pipeline(dag([("a", "x = 1")]))
    p.execute_all(optimize_memory=False)
    real = vostrel.OrvaneComponentVostrel

    def refuse(component):
        raise MemoryError("no room for another cell")

    monkeypatch.setattr(vostrel, "OrvaneComponentVostrel", refuse)
    with pytest.raises(MemoryError):
        p.update_graph(new_graph=dag([("a", "x = 2"), ("b", "y = x")], [("a", "b")]))
    monkeypatch.setattr(vostrel, "OrvaneComponentVostrel", real)
    assert list(p.nodes) == ["a"] and p.nodes["a"].cell_code == "x = 1"
    assert p.nodes["a"].status == S.SUCCESSFUL


@pytest.mark.parametrize(
    ("new_components", "new_edges", "invalid"),
    [
        # Code of the root changed: everything computed from it is stale.
        (
            [("a", "x = 2"), ("b", "y = x"), ("c", "z = y"), ("d", "w = 0")],
            [("a", "b"), ("b", "c")],
            {"a", "b", "c"},
        ),
        # A middle cell gets another parent: it and its child are stale, its parent is not.
        (
            [("a", "x = 1"), ("b", "y = x"), ("c", "z = y"), ("d", "w = 0")],
            [("a", "b"), ("b", "c"), ("d", "b")],
            {"b", "c"},
        ),
        # A rename changes no result.
        (
            [component("a", "x = 1", name="first"), ("b", "y = x"), ("c", "z = y"), ("d", "w = 0")],
            [("a", "b"), ("b", "c")],
            set(),
        ),
    ],
    ids=["code", "parents", "name"],
)
def test_cached_results_downstream_of_a_change_are_invalidated(
    make_pipeline, new_components, new_edges, invalid
):
    cached = [
        component(c, code, diskcache=True)
        for c, code in [("a", "x = 1"), ("b", "y = x"), ("c", "z = y"), ("d", "w = 0")]
    ]
    p = make_pipeline(dag(cached, [("a", "b"), ("b", "c")]))
    p.execute_all()
    p.update_graph(new_graph=dag(new_components, new_edges))
    assert {cid for cid, c in p.nodes.items() if c.status == S.INVALID} == invalid
