"""Run plans and graph queries computed natively, checked against networkx on random graphs."""

from __future__ import annotations

import random
from itertools import pairwise

import networkx as nx
import pytest

from orvane_core._native import Graph
from tests.pipeline.conftest import S, dag


def random_dag(rng: random.Random, n: int, density: float) -> tuple[list[str], list[tuple]]:
    """Nodes in a shuffled order; edges only from lower to higher rank, added in random order."""
    ids = [f"c{i}" for i in range(n)]
    rank = ids[:]
    rng.shuffle(rank)
    edges = [
        (rank[i], rank[j]) for i in range(n) for j in range(i + 1, n) if rng.random() < density
    ]
    rng.shuffle(edges)
    return ids, edges


def reference_plan(graph: nx.DiGraph, requested: list[str]) -> list[str]:
    plan: list[str] = []
    placed: set[str] = set()
    for c in requested:
        block = graph.subgraph(nx.ancestors(graph, c) | {c})
        for node in nx.topological_sort(block):
            if node not in placed:
                placed.add(node)
                plan.append(node)
    return plan


def plan_of(pipeline, requested):
    """The order in which the engine runs the requested components, read from the RUNNING
    reports: every component is INVALID at first, so every planned one runs."""
    order = []
    seen = set()

    def watch(data):
        for entry in data.successful.get("components", []):
            cid = entry["identifier"]
            if entry["execution_status"] == "running" and cid not in seen:
                seen.add(cid)
                order.append(cid)

    pipeline._callback = watch
    pipeline.execute_components(requested, send_to_front=False)
    return order


def check_rules(graph: nx.DiGraph, requested: list[str], plan: list[str]) -> None:
    expected = set(requested).union(*(nx.ancestors(graph, c) for c in requested))
    assert len(plan) == len(set(plan)) and set(plan) == expected
    position = {c: i for i, c in enumerate(plan)}
    for u, v in graph.edges:
        if v in position:
            assert position[u] < position[v]
    # Blocks in request order: everything a request pulls in that was not placed before it comes
    # before anything the next requests pull in.
    placed: set[str] = set()
    cursor = 0
    for c in requested:
        block = (nx.ancestors(graph, c) | {c}) - placed
        assert set(plan[cursor : cursor + len(block)]) == block
        cursor += len(block)
        placed |= block


@pytest.mark.parametrize("seed", range(12))
def test_plans_follow_networkx_where_its_order_is_deterministic(make_pipeline, seed):
    rng = random.Random(seed)
    ids, edges = random_dag(rng, rng.randint(2, 14), rng.choice([0.15, 0.3, 0.6]))
    pipeline = make_pipeline(dag([(c, "") for c in ids], edges))
    graph = pipeline.nx_graph
    requested = rng.sample(ids, rng.randint(1, len(ids)))
    plan = plan_of(pipeline, requested)
    check_rules(graph, requested, plan)

    # networkx walks an induced subgraph in graph order only when it holds at least half of the
    # nodes (smaller ones follow set order), so compare the whole plan only when every block does.
    blocks = [nx.ancestors(graph, c) | {c} for c in requested]
    if all(2 * len(b) >= len(graph) for b in blocks):
        assert plan == reference_plan(graph, requested)


@pytest.mark.parametrize("seed", range(6))
def test_plan_of_a_final_cell_is_networkx_topological_order(make_pipeline, seed):
    rng = random.Random(100 + seed)
    ids, edges = random_dag(rng, 12, 0.25)
    probe = nx.DiGraph()
    probe.add_nodes_from(ids)
    probe.add_edges_from(edges)
    # A final cell fed by every cell without children: its block is the whole graph.
    edges += [(c, "end") for c in ids if probe.out_degree(c) == 0]
    pipeline = make_pipeline(dag([(c, "") for c in [*ids, "end"]], edges))
    assert plan_of(pipeline, ["end"]) == list(nx.topological_sort(pipeline.nx_graph))


def test_plan_follows_graph_changes(make_pipeline):
    pipeline = make_pipeline(dag([("a", ""), ("b", ""), ("c", "")], [("a", "c")]))
    assert plan_of(pipeline, ["c"]) == ["a", "c"]
    pipeline.update_graph(new_graph=dag([("a", ""), ("b", ""), ("c", "")], [("b", "c")]))
    for c in pipeline.nodes.values():
        c.status = S.INVALID
    assert plan_of(pipeline, ["c"]) == ["b", "c"]


@pytest.mark.parametrize("seed", range(8))
def test_native_graph_answers_as_networkx(seed):
    """Every query the engine makes of its graph, against networkx on the same random graph."""
    rng = random.Random(200 + seed)
    ids, edges = random_dag(rng, rng.randint(1, 16), rng.choice([0.1, 0.3, 0.6]))
    edges += edges[: len(edges) // 4]  # repeated edges count once in both
    native = Graph(ids, edges)
    view = nx.DiGraph()
    view.add_nodes_from(ids)
    view.add_edges_from(edges)
    assert native.nodes == list(view.nodes) and native.find_cycle() == []
    for c in ids:
        assert native.predecessors(c) == list(view.predecessors(c))
        assert native.successors(c) == list(view.successors(c))
        assert native.ancestors(c) == nx.ancestors(view, c)
        assert native.descendants(c) == nx.descendants(view, c)
    requested = rng.sample(ids, rng.randint(1, len(ids)))
    check_rules(view, requested, native.execution_plan(requested))
    for query in (native.predecessors, native.descendants):
        with pytest.raises(nx.NetworkXError, match="^The node nope is not in the digraph.$"):
            query("nope")
    # A back edge closes a cycle, which both find.
    if edges:
        parent, child = edges[0]
        cyclic = Graph(ids, [*edges, (child, parent)])
        walk = cyclic.find_cycle()
        assert walk[0] == walk[-1] and len(walk) >= 3
        assert all(view.has_edge(u, v) or (u, v) == (child, parent) for u, v in pairwise(walk))
