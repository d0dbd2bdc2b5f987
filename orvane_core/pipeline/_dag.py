"""The graph base class of the pipeline: components as nodes, dependencies as edges."""

from __future__ import annotations

import importlib
import uuid
from typing import Any

from orvane_core._native import Graph
from orvane_core.misc import OrvaneComponentStatus
from orvane_core.misc.models import (
    OrvaneComponentMetadataModel,
    OrvaneComponentModel,
    OrvaneDagInfoModel,
    OrvaneDagModel,
)

__all__ = ["OrvaneDagBase"]


def _component_class() -> type:
    # Looked up at call time: the component module is native and is imported lazily so that the
    # graph base can be imported (and the class replaced in tests) without it.
    module = importlib.import_module("orvane_core.components.vostrel")
    return module.OrvaneComponentVostrel


class _Plan:
    """A validated graph model: component records and edges, ready to be applied."""

    __slots__ = ("components", "edges", "graph", "parents")

    def __init__(self, components: list[Any], edges: list[tuple[str, str]], graph: Graph) -> None:
        self.components = components
        self.edges = edges
        self.graph = graph
        self.parents: dict[str, set[str]] = {c.id: set() for c in components}
        for source, target in edges:
            self.parents[target].add(source)


def _describe(value: Any) -> str:
    return f"{type(value).__name__} {value!r}"


def _validate(graph: Any) -> _Plan:
    """Checks a graph model and returns its plan; raises RuntimeError with a readable text."""
    if graph is None:
        return _Plan([], [], Graph())
    try:
        components = list(graph.components or [])
        edges = list(graph.edges or [])
    except (AttributeError, TypeError) as exc:
        raise RuntimeError(f"The pipeline graph cannot be read: {exc}") from None

    seen: set[str] = set()
    for component in components:
        cid = getattr(component, "id", None)
        if not isinstance(cid, str):
            raise RuntimeError(f"Component ids must be text, got {_describe(cid)}.")
        if cid in seen:
            raise RuntimeError(f"Component id '{cid}' appears more than once in the pipeline.")
        seen.add(cid)
        for field in ("name", "code"):
            value = getattr(component, field, None)
            if not isinstance(value, str):
                raise RuntimeError(
                    f"The {field} of component '{cid}' must be text, got {_describe(value)}."
                )

    pairs: list[tuple[str, str]] = []
    known_pairs: set[tuple[str, str]] = set()
    for edge in edges:
        source = getattr(edge, "source", None)
        target = getattr(edge, "target", None)
        for end in (source, target):
            if not isinstance(end, str) or end not in seen:
                raise RuntimeError(
                    f"The edge from {source!r} to {target!r} refers to an unknown component "
                    f"{end!r}."
                )
        if (source, target) not in known_pairs:
            known_pairs.add((source, target))
            pairs.append((source, target))

    native = Graph([c.id for c in components], pairs)
    cycle = native.find_cycle()
    if cycle:
        raise RuntimeError(f"The pipeline graph contains a cycle: {' -> '.join(cycle)}.")
    return _Plan(components, pairs, native)


class OrvaneDagBase:
    """Components of a pipeline held as the nodes of a directed acyclic graph.

    ``nodes`` maps each component id to its component, in the graph model's order, and is the
    only owner of the components. The graph itself is the native ``_graph``, which answers every
    query the engine makes (parents, children, ancestors, descendants, run plans); ``nx_graph`` is
    its networkx view for readers, with the same nodes in the same order and one edge from parent
    to child per dependency, in the model's order, made from the native graph of the same change
    whenever it is read.

    The pipeline summary is rebuilt after every change of state, so each component's entry is
    cached: components add their id to the shared ``_summary_sink`` set whenever their own summary
    may have changed, and only those entries are rebuilt. ``_graph_version`` grows with every
    change of the graph's structure so that derived structures can be cached against it; change
    the graph through ``update_graph`` only, never by editing ``nx_graph`` in place.
    """

    def __init__(self, identifier: str | None = None, graph: OrvaneDagModel | None = None) -> None:
        if identifier is None:
            identifier = uuid.uuid4().hex
        elif not isinstance(identifier, str):
            raise TypeError(f"identifier must be text or None, got {_describe(identifier)}")
        plan = _validate(graph)
        self.id: str = identifier
        self._summary_sink: set[str] = set()
        self._graph_version = 0
        self.nodes: dict[str, Any] = {}
        self._graph = Graph()
        self._nx_view: tuple[int, Any] | None = None
        self._summary_entries: list[dict] = []
        self._summary_index: dict[str, int] = {}
        self._edge_list: list[tuple[str, str]] = []
        self._edge_entries: list[dict] = []
        self._apply(plan)

    # -- graph changes ----------------------------------------------------------------------

    def update_graph(
        self, new_graph: OrvaneDagModel, replaces: dict[str, str] | None = None
    ) -> None:
        """Apply a new graph model, keeping the components (and results) of unchanged cells.

        ``replaces`` (optional) maps a new component's id to the id of the component it takes
        the place of, as when a front end gives an edited cell a new id: the new component is
        then said to run because its code or its parents changed rather than because it never
        ran.
        """
        self._apply(_validate(new_graph), replaces or {})

    def _apply(self, plan: _Plan, replaces: dict[str, str] | None = None) -> None:
        old_nodes = self.nodes
        old_graph = self._graph
        # New components first: building them changes nothing, so a failure leaves the graph
        # as it was. Only then are the kept components updated.
        fresh: dict[str, Any] = {}
        for model in plan.components:
            if model.id not in old_nodes:
                if not fresh:
                    cls = _component_class()
                fresh[model.id] = cls(component=model)
        nodes: dict[str, Any] = {}
        code_changed: list[str] = []
        parents_changed: list[str] = []
        moved = {old: new for new, old in replaces.items()} if replaces else {}
        for model in plan.components:
            component = fresh.get(model.id)
            if component is None:
                component = old_nodes[model.id]
                old_parents = set(old_graph.predecessors(model.id))
                if self._update_component(component, model):
                    code_changed.append(model.id)
                if old_parents != plan.parents[model.id]:
                    # Its inputs now come from elsewhere: its results no longer hold.
                    parents_changed.append(model.id)
            else:
                component._summary_sink = self._summary_sink
                earlier = replaces.get(model.id) if replaces else None
                if earlier in old_nodes:
                    # It takes an earlier component's place: it runs for what changed.
                    del fresh[model.id]
                    if old_nodes[earlier].cell_code != model.code:
                        code_changed.append(model.id)
                    elif {moved.get(p, p) for p in old_graph.predecessors(earlier)} != plan.parents[
                        model.id
                    ]:
                        parents_changed.append(model.id)
            nodes[model.id] = component

        for cid, component in old_nodes.items():
            if cid not in nodes:
                component._summary_sink = None

        node_ids = list(nodes)
        if node_ids != old_graph.nodes or plan.edges != self._edge_list:
            self._graph = plan.graph
            self._graph_version += 1
            self._edge_list = plan.edges
            self._edge_entries = [{"source": s, "target": t} for s, t in plan.edges]
        self.nodes = nodes

        # Results computed downstream of changed code or changed inputs are stale as well: a
        # kept cell must not serve them from its cache after its ancestor runs differently.
        if code_changed or parents_changed or fresh:
            self._invalidate_after_edit(code_changed, parents_changed, list(fresh))

        # Entries of kept components stay valid unless marked; new ones are built on first use.
        old_entries = dict(zip(self._summary_index, self._summary_entries, strict=True))
        self._summary_index = {cid: i for i, cid in enumerate(node_ids)}
        self._summary_entries = [old_entries.get(cid) for cid in node_ids]
        for cid, entry in zip(node_ids, self._summary_entries, strict=True):
            if entry is None:
                self._summary_sink.add(cid)
        self._summary_sink.intersection_update(nodes)

    def _invalidate_after_edit(
        self, code_changed: list[str], parents_changed: list[str], fresh: list[str]
    ) -> None:
        """Marks what an edit made stale INVALID (the engine also keeps why)."""
        for cid, _cause, _parent in self._graph.edit_invalidations(
            code_changed, parents_changed, fresh
        ):
            self.nodes[cid].status = OrvaneComponentStatus.INVALID

    def execution_plan(self, component_ids: list[str]) -> list[str]:
        """The ids a run of the requested components takes, in its order: each requested
        component with all its ancestors, once, parents first."""
        return self._graph.execution_plan(component_ids)

    @property
    def nx_graph(self) -> Any:
        """The graph as a networkx ``DiGraph`` for readers: the nodes in order, one edge from
        parent to child per dependency, in the model's order.

        Made from the native graph when first asked for after a change (networkx is imported
        only then, as starting a kernel's pipeline does not need it), so it always shows the
        graph of the last change; the same object is returned until the graph changes again.
        """
        view = self._nx_view
        if view is None or view[0] != self._graph_version:
            import networkx as nx

            graph = nx.DiGraph()
            graph.add_nodes_from(self.nodes)
            graph.add_edges_from(self._edge_list)
            view = self._nx_view = (self._graph_version, graph)
        return view[1]

    @staticmethod
    def _update_component(component: Any, model: OrvaneComponentModel) -> bool:
        """Applies the model's name, code and metadata; true when the code changed."""
        if component.name != model.name:
            component.name = model.name
        code_changed = component.cell_code != model.code
        if code_changed:
            component.cell_code = model.code
        metadata = model.metadata if model.metadata is not None else OrvaneComponentMetadataModel()
        if component.metadata != metadata:
            if component.use_diskcache and not metadata.diskcache:
                # Switching disk caching off goes through its own setter, which detaches the
                # cache.
                component.use_diskcache = False
            component.metadata = metadata
        return code_changed

    # -- summary -----------------------------------------------------------------------------

    def _component_summaries(self) -> list[dict]:
        """One plain mapping per component, in node order, refreshed where marked as changed."""
        return list(self._refreshed_summaries())

    def _refreshed_summaries(self) -> list[dict]:
        """The held list of component mappings, refreshed where marked; copy it to hand it out."""
        sink = self._summary_sink
        if sink:
            entries = self._summary_entries
            index = self._summary_index
            nodes = self.nodes
            # Taken whole and cleared: clearing also shrinks the set's table, which a first run
            # fills with every id and which pop() would then search for each later entry.
            marked = list(sink)
            sink.clear()
            for done, cid in enumerate(marked):
                position = index.get(cid)
                if position is None:
                    continue
                try:
                    entries[position] = nodes[cid]._info_dict()
                except BaseException:
                    sink.update(marked[done:])
                    raise
        return self._summary_entries

    @property
    def info(self) -> OrvaneDagInfoModel:
        """Summary of the graph: the id, one mapping per component and the edges."""
        return OrvaneDagInfoModel(
            id=self.id, components=self._component_summaries(), edges=list(self._edge_entries)
        )
