"""Pictures of a pipeline: a static SVG of the DAG, and a live widget that redraws in place.

Both are drawn from the pipeline summary the engine reports (components with their execution
and disk-cache status, and the edges), laid out in columns by dependency depth.
"""

from __future__ import annotations

import html
from typing import Any

import networkx as nx

BOX_W, BOX_H, GAP_X, GAP_Y, PAD = 168, 46, 56, 14, 10
COLORS = {  # execution status -> (fill, stroke)
    "successful": ("#e7f5e9", "#2e7d32"),
    "failed": ("#fdecea", "#c62828"),
    "running": ("#fff6e0", "#ef8f00"),
    "invalid": ("#f1f1f1", "#8a8a8a"),
}
DISK_MARK = {
    "cached": "\u25cf disk cached",
    "updating": "\u25d4 writing",
    "failed": "\u2715 disk failed",
}


LANE = 12  # height of the lane a long edge takes in each column it passes


class _Layout:
    """Box corners by component, and each edge's route as points it passes through."""

    def __init__(self, components: list[dict], edges: list[dict]) -> None:
        graph = nx.DiGraph()
        graph.add_nodes_from(c["identifier"] for c in components)
        graph.add_edges_from((e["source"], e["target"]) for e in edges)
        order = {c["identifier"]: i for i, c in enumerate(components)}
        column: dict[str, int] = {}
        stacks: list[list[str]] = []
        for index, layer in enumerate(nx.topological_generations(graph)):
            stacks.append(sorted(layer, key=order.__getitem__))
            column.update(dict.fromkeys(layer, index))
        self.boxes = {}
        for index, stack in enumerate(stacks):
            for row, node in enumerate(stack):
                self.boxes[node] = (_x(index), PAD + row * (BOX_H + GAP_Y))
        # An edge that skips columns runs through a lane below the boxes of each column it
        # crosses, so that it never passes behind a box (a box is drawn over the edges).
        lanes: dict[int, list[tuple]] = {}
        for source, target in graph.edges:
            for index in range(column[source] + 1, column[target]):
                key = (self.boxes[source][1], self.boxes[target][1], order[source], order[target])
                lanes.setdefault(index, []).append((key, (source, target)))
        lane_y: dict[tuple[int, tuple[str, str]], float] = {}
        bottom = max(y for _, y in self.boxes.values()) + BOX_H
        for index, passing in lanes.items():
            top = PAD + len(stacks[index]) * (BOX_H + GAP_Y)
            for k, (_, edge) in enumerate(sorted(passing)):
                lane_y[index, edge] = top + k * LANE + LANE / 2
                bottom = max(bottom, top + (k + 1) * LANE)
        self.routes = {}
        for source, target in graph.edges:
            (x1, y1), (x2, y2) = self.boxes[source], self.boxes[target]
            points = [(x1 + BOX_W, y1 + BOX_H / 2)]
            for index in range(column[source] + 1, column[target]):
                y = lane_y[index, (source, target)]
                points += [(_x(index), y), (_x(index) + BOX_W, y)]
            # The arrowhead's tip stops short of the target's border, which would cover it.
            points.append((x2 - 1.5, y2 + BOX_H / 2))
            self.routes[source, target] = points
        self.width = max(x for x, _ in self.boxes.values()) + BOX_W + PAD
        self.height = bottom + PAD


def _x(column: int) -> float:
    return PAD + column * (BOX_W + GAP_X)


def _path(points: list[tuple[float, float]]) -> str:
    """A smooth curve across each gap between columns, a straight line through each lane."""
    (x, y), *rest = points
    out = [f"M{x:g},{y:g}"]
    for i, (nx_, ny) in enumerate(rest):
        if i % 2 == 0:  # across a gap
            mid = (x + nx_) / 2
            out.append(f"C{mid:g},{y:g} {mid:g},{ny:g} {nx_:g},{ny:g}")
        else:  # through a column's lane
            out.append(f"L{nx_:g},{ny:g}")
        x, y = nx_, ny
    return " ".join(out)


_layout_cache: dict[tuple, _Layout] = {}


def _layout(components: list[dict], edges: list[dict]) -> _Layout:
    # Runs redraw the same graph many times; only statuses change between draws.
    key = (
        tuple(c["identifier"] for c in components),
        tuple((e["source"], e["target"]) for e in edges),
    )
    found = _layout_cache.get(key)
    if found is None:
        if len(_layout_cache) > 8:
            _layout_cache.clear()
        found = _layout_cache[key] = _Layout(components, edges)
    return found


def pipeline_svg(summary: dict | None) -> str:
    """The pipeline as an SVG document; each component is a ``<g>`` carrying its name and
    statuses as ``data-`` attributes."""
    components = list((summary or {}).get("components", ()))
    edges = list((summary or {}).get("edges", ()))
    if not components:
        return (
            '<svg xmlns="http://www.w3.org/2000/svg" width="260" height="30">'
            '<text x="6" y="20" font-family="sans-serif" font-size="13">'
            "No components declared yet.</text></svg>"
        )
    layout = _layout(components, edges)
    width, height = layout.width, layout.height
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" class="orvane-pipeline" width="{width:g}" '
        f'height="{height:g}" viewBox="0 0 {width:g} {height:g}" font-family="sans-serif">',
        '<defs><marker id="orvane-arrow" viewBox="0 0 8 8" refX="8" refY="4" markerWidth="7" '
        'markerHeight="7" orient="auto"><path d="M0,0 L8,4 L0,8 z" fill="#777"/></marker></defs>',
    ]
    inferred = {tuple(e) for e in (summary or {}).get("inferred_edges", ())}
    for edge, points in layout.routes.items():
        # Edges found from the names the cells use are dashed; those from 'after' are solid.
        dash = ' stroke-dasharray="5,3"' if edge in inferred else ""
        out.append(
            f'<path class="orvane-edge{" orvane-inferred" if dash else ""}" d="{_path(points)}" '
            f'fill="none" stroke="#777" stroke-width="1.3"{dash} marker-end="url(#orvane-arrow)">'
            f"<title>{'inferred from the names used' if dash else 'after'}</title></path>"
        )
    for c in components:
        x, y = layout.boxes[c["identifier"]]
        status = str(c.get("execution_status") or "invalid")
        disk = str(c.get("diskcache_status") or "uncached")
        fill, stroke = COLORS.get(status, COLORS["invalid"])
        name = html.escape(str(c.get("name") or c["identifier"]))
        uses_disk = bool((c.get("metadata") or {}).get("diskcache"))
        disk_text = DISK_MARK.get(disk, "disk cache on" if uses_disk else "no disk cache")
        out.append(
            f'<g class="orvane-component" data-component="{name}" data-status="{status}" '
            f'data-diskcache="{disk}"><title>{name}: {status}, disk cache {disk}</title>'
            f'<rect x="{x}" y="{y}" width="{BOX_W}" height="{BOX_H}" rx="7" fill="{fill}" '
            f'stroke="{stroke}" stroke-width="2"/>'
            f'<text x="{x + 10}" y="{y + 19}" font-size="13" font-weight="bold" fill="#222">'
            f"{name}</text>"
            f'<text x="{x + 10}" y="{y + 36}" font-size="11" fill="{stroke}">{status} \u00b7 '
            f"{html.escape(disk_text)}</text></g>"
        )
    out.append("</svg>")
    return "".join(out)


_ESM = """
function render({ model, el }) {
  const draw = () => { el.innerHTML = model.get("svg"); };
  draw();
  model.on("change:svg", draw);
}
export default { render };
"""


def _widget_class() -> type | None:
    try:
        import anywidget
        import traitlets
    except ImportError:
        return None

    class OrvanePipelineView(anywidget.AnyWidget):
        """Live picture of a pipeline, redrawn in place as the pipeline reports changes."""

        _esm = _ESM
        svg = traitlets.Unicode("").tag(sync=True)

        def update(self, summary: dict) -> None:
            svg = pipeline_svg(summary)
            if svg != self.svg:
                self.svg = svg

        def _repr_mimebundle_(self, **kwargs: Any) -> Any:
            # Renderers without widget support (static viewers, saved notebooks) show the SVG.
            bundle = super()._repr_mimebundle_(**kwargs)
            data = bundle[0] if isinstance(bundle, tuple) else bundle
            data["image/svg+xml"] = self.svg
            data["text/plain"] = "<pipeline view: shown live where widgets render>"
            return bundle

    return OrvanePipelineView


class StaticPipelineView:
    """The SVG picture in an output that is replaced in place (no widget support needed)."""

    def __init__(self) -> None:
        self.svg = ""
        self._handle: Any = None

    def show(self) -> None:
        from IPython.display import SVG, display

        self._handle = display(SVG(self.svg), display_id=True, metadata={"orvane": "view"})

    def update(self, summary: dict) -> None:
        svg = pipeline_svg(summary)
        if svg != self.svg:
            self.svg = svg
            if self._handle is not None:
                from IPython.display import SVG

                self._handle.update(SVG(svg), metadata={"orvane": "view"})


def make_view(widgets: bool, summary: dict | None) -> Any:
    """A live widget when widgets are wanted and available, a static SVG view otherwise."""
    cls = _widget_class() if widgets else None
    view = cls() if cls is not None else StaticPipelineView()
    view.update(summary or {})
    return view
