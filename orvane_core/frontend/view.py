"""Pictures of a pipeline: an SVG of the DAG, a compact strip of status chips, and a view that
redraws both in place in the notebook.

All are drawn from the pipeline summary the engine reports (components with their execution
and disk-cache status, and the edges), laid out by dependency depth: in columns, or top to bottom
for deep graphs.
"""

from __future__ import annotations

import html
import operator
import time
from typing import Any

from orvane_core.misc import OrvaneComponentStatus as S
from orvane_core.misc import OrvaneDiskcacheStatus as D

BOX_W, BOX_H, GAP_X, GAP_Y, PAD = 168, 46, 56, 14, 10
COLORS = {  # execution status -> (fill, stroke)
    S.SUCCESSFUL: ("#e7f5e9", "#2e7d32"),
    S.FAILED: ("#fdecea", "#c62828"),
    S.RUNNING: ("#fff6e0", "#ef8f00"),
    S.INVALID: ("#f1f1f1", "#8a8a8a"),
}
# A component's disk cache in the words of its label, its hover text and %orvane status alike;
# the label marks the first three.
DISK_WORDS = {
    D.CACHED: "on disk",
    D.UPDATING: "writing to disk",
    D.FAILED: "disk cache failed",
    D.UNCACHED: "not on disk",
}
NO_DISK = "no disk cache"  # a component declared with --no-cache
DISK_MARK = {D.CACHED: "\u25cf ", D.UPDATING: "\u25d4 ", D.FAILED: "\u2715 "}


def disk_words(disk: str | None, uses_disk: bool) -> str:
    """What a component's disk cache holds, in words (``D`` value, disk cache on)."""
    disk = disk or D.UNCACHED
    if not uses_disk and disk == D.UNCACHED:
        return NO_DISK
    return DISK_WORDS.get(disk, f"disk cache {disk}")


def shown_state(c: dict, states: dict[str, tuple[str, str]]) -> str:
    """A component's state as shown: its execution status, or the word the front end noted for
    it ("not run yet", "cleared"; see ``OrvaneSession.reasons``) while the status is still the
    one the word was noted for: during a run, statuses move on before words are noted again."""
    status = c.get("execution_status") or S.INVALID
    noted = states.get(c["identifier"])
    return noted[1] if noted is not None and noted[0] == status else status


LANE = 12  # width of the lane a long edge takes beside each level it passes
MAX_COLUMNS = 5  # deeper graphs are drawn top to bottom, so that the picture fits the width
MAX_ACROSS = 5  # boxes side by side in one row of a top-to-bottom picture; more wrap
GAP_LEVEL_V = 30  # space between the rows of a top-to-bottom picture


class _Shape:
    """Where the boxes and edges of a graph go, from its shape alone: the number of components
    and the edges as (source, target) positions in the component list. Graphs of one shape (a
    graph whose cells were edited gets new component ids) share it.

    Components are placed in levels by dependency depth: columns from left to right, or, for a
    graph deeper than ``MAX_COLUMNS``, rows from top to bottom that wrap after ``MAX_ACROSS``
    boxes. The code works along the level axis ("along") and across it; ``_xy`` maps both to
    picture coordinates.
    """

    def __init__(self, count: int, edges: tuple[tuple[int, int], ...]) -> None:
        # Each edge once, by its source's place and then in the order given.
        pairs = sorted(dict.fromkeys(edges), key=lambda e: e[0])
        generations = _generations(list(range(count)), pairs)
        self.vertical = len(generations) > MAX_COLUMNS
        stacks: list[list[int]] = []
        for layer in generations:
            if self.vertical and len(layer) > MAX_ACROSS:
                stacks += [layer[i : i + MAX_ACROSS] for i in range(0, len(layer), MAX_ACROSS)]
            else:
                stacks.append(layer)
        level = [0] * count
        for index, stack in enumerate(stacks):
            for node in stack:
                level[node] = index
        size_along, size_across = (BOX_H, BOX_W) if self.vertical else (BOX_W, BOX_H)
        self._gap_along = GAP_LEVEL_V if self.vertical else GAP_X
        self._size_along, self._size_across = size_along, size_across
        pos: list[tuple[float, float]] = [(0.0, 0.0)] * count  # (along, across) of each corner
        for index, stack in enumerate(stacks):
            for k, node in enumerate(stack):
                pos[node] = (self._along(index), PAD + k * (size_across + GAP_Y))
        # An edge that skips levels runs through a lane beside the boxes of each level it
        # crosses, so that it never passes behind a box (a box is drawn over the edges).
        lanes: dict[int, list[tuple]] = {}
        for source, target in pairs:
            for index in range(level[source] + 1, level[target]):
                key = (pos[source][1], pos[target][1], source, target)
                lanes.setdefault(index, []).append((key, (source, target)))
        lane_at: dict[tuple[int, tuple[int, int]], float] = {}
        far = max((a for _, a in pos), default=PAD) + size_across
        for index, passing in lanes.items():
            top = PAD + len(stacks[index]) * (size_across + GAP_Y)
            for k, (_, edge) in enumerate(sorted(passing)):
                lane_at[index, edge] = top + k * LANE + LANE / 2
                far = max(far, top + (k + 1) * LANE)
        # Each box's corner and its two text lines' positions, as SVG attributes.
        self.boxes = [
            (
                f'x="{x:g}" y="{y:g}"',
                f'x="{x + 10:g}" y="{y + 19:g}"',
                f'x="{x + 10:g}" y="{y + 36:g}"',
            )
            for x, y in (self._xy(*p) for p in pos)
        ]
        # The SVG path of each edge, in drawing order.
        self.paths: dict[tuple[int, int], str] = {}
        for source, target in pairs:
            (a1, c1), (a2, c2) = pos[source], pos[target]
            points = [(a1 + size_along, c1 + size_across / 2)]
            for index in range(level[source] + 1, level[target]):
                across = lane_at[index, (source, target)]
                points += [(self._along(index), across), (self._along(index) + size_along, across)]
            # The arrowhead's tip stops short of the target's border, which would cover it.
            points.append((a2 - 1.5, c2 + size_across / 2))
            self.paths[source, target] = _path([self._xy(*p) for p in points], self.vertical)
        length = self._along(len(stacks) - 1) + size_along + PAD if stacks else 2 * PAD
        self.width, self.height = self._xy(length, far + PAD)
        # The edges' SVG by the names drawn and the inferred edges (as positions): a graph
        # redrawn, or drawn again with new ids (edited cells), draws its edges once.
        self._edges_svg: dict[tuple, str] = {}

    def _along(self, index: int) -> float:
        return PAD + index * (self._size_along + self._gap_along)

    def edges_svg(self, names: tuple[str, ...], inferred: frozenset) -> str:
        """The edges as SVG paths, between the (escaped) ``names`` by position; ``inferred``
        holds the (source, target) positions of the edges found from the names the cells use."""
        key = (names, inferred)
        found = self._edges_svg.get(key)
        if found is None:
            if len(self._edges_svg) > 4:
                self._edges_svg.clear()
            kinds: tuple[list[str], list[str]] = ([], [])
            for (s, t), path in self.paths.items():
                dashed = (s, t) in inferred
                kinds[dashed].append(_edge_svg(path, names[s], names[t], dashed))
            found = self._edges_svg[key] = "".join(
                _EDGE_GROUPS[dashed] + "".join(paths) + "</g>"
                for dashed, paths in enumerate(kinds)
                if paths
            )
        return found

    def _xy(self, along: float, across: float) -> tuple[float, float]:
        return (across, along) if self.vertical else (along, across)


# Each kind of edge in one group that gives its paths their look, said once for a large
# pipeline's many edges. Edges found from the names the cells use are dashed; those from
# 'after' are solid.
_EDGE_GROUPS = (
    '<g class="orvane-edges" fill="none" stroke="#777" stroke-width="1.3" '
    'marker-end="url(#orvane-arrow)">',
    '<g class="orvane-edges orvane-inferred" fill="none" stroke="#777" stroke-width="1.3" '
    'stroke-dasharray="5,3" marker-end="url(#orvane-arrow)">',
)
_EDGE_WHY = (": after", ": inferred from the names used")


def _edge_svg(path: str, source: str, target: str, inferred: bool) -> str:
    # Its own hover text names the two components it joins.
    return f'<path d="{path}"><title>{source} &#8594; {target}{_EDGE_WHY[inferred]}</title></path>'


def _generations(nodes: list[str], edges: list[tuple[str, str]]) -> list[list[str]]:
    """The nodes in levels, each in node order: those without a parent first, then each node one
    level below its deepest parent."""
    place = {n: i for i, n in enumerate(nodes)}
    parents: dict[str, int] = dict.fromkeys(nodes, 0)
    children: dict[str, list[str]] = {n: [] for n in nodes}
    for source, target in edges:
        parents[target] += 1
        children[source].append(target)
    layer = [n for n in nodes if not parents[n]]
    out = []
    while layer:
        out.append(layer)
        released = []
        for node in layer:
            for child in children[node]:
                parents[child] -= 1
                if not parents[child]:
                    released.append(child)
        layer = sorted(released, key=place.__getitem__)
    return out


def _path(points: list[tuple[float, float]], vertical: bool = False) -> str:
    """A smooth curve across each gap between levels, a straight line through each lane."""
    (x, y), *rest = points
    out = [f"M{x:g},{y:g}"]
    for i, (nx_, ny) in enumerate(rest):
        if nx_ == x or ny == y:  # straight on: a line says it in fewer bytes than a curve
            out.append(f"L{nx_:g},{ny:g}")
        elif i % 2 == 0 and vertical:  # across a gap between rows
            mid = (y + ny) / 2
            out.append(f"C{x:g},{mid:g} {nx_:g},{mid:g} {nx_:g},{ny:g}")
        elif i % 2 == 0:  # across a gap between columns
            mid = (x + nx_) / 2
            out.append(f"C{mid:g},{y:g} {mid:g},{ny:g} {nx_:g},{ny:g}")
        else:  # through a level's lane
            out.append(f"L{nx_:g},{ny:g}")
        x, y = nx_, ny
    return "".join(out)  # a command's letter parts it from the one before


_shape_cache: dict[tuple, _Shape] = {}


def _shape(components: list[dict], edges: Any) -> _Shape:
    # Runs redraw the same graph many times, and edited cells give it new ids: only its shape
    # decides where things go. The draw before was most often of the same graph: its edge
    # entries (the engine's, never edited) and ids say so without working out the key.
    global _last_shape
    ids = [c["identifier"] for c in components]
    last_edges, last_ids, found = _last_shape
    if (
        found is not None
        and ids == last_ids
        and len(edges) == len(last_edges)
        and all(map(operator.is_, edges, last_edges))
    ):
        return found
    place = {cid: i for i, cid in enumerate(ids)}
    key = (len(ids), tuple((place[e["source"]], place[e["target"]]) for e in edges))
    found = _shape_cache.get(key)
    if found is None:
        if len(_shape_cache) > 8:
            _shape_cache.clear()
        found = _shape_cache[key] = _Shape(*key)
    _last_shape = (list(edges), ids, found)
    return found


_last_shape: tuple[list, list, _Shape | None] = ([], [], None)


class _Look:
    """How a component with given statuses is drawn: its texts, colours, and the parts of its
    box and chip that follow from them (a large pipeline has thousands of components but only a
    few such combinations, each formatted once)."""

    __slots__ = (
        "status", "disk", "line", "box_status", "box_title", "box_rect", "box_line", "chip_status",
        "chip_line",
    )  # fmt: skip

    def __init__(self, status: str, disk: str, line: str, state: str, words: str) -> None:
        self.status, self.disk, self.line = status, disk, line
        fill, stroke = COLORS.get(state, COLORS[S.INVALID])
        shown = _escape(line)
        self.box_status = f'" data-status="{status}" data-diskcache="{disk}"><title>'
        self.box_title = _escape(f": {state}, {words}")
        # Stroke width and the name's font come from the group around the boxes (_BOXES).
        self.box_rect = (
            f' width="{BOX_W}" height="{BOX_H}" rx="7" fill="{fill}" stroke="{stroke}"/>'
        )
        # The status line's font in one declaration (family as the picture's, weight normal).
        self.box_line = f' style="font:11px sans-serif;fill:{stroke}">{shown}</text></g>'
        # The font and text colour come from the strip (see _strip); the chip shows its line, so
        # it needs no hover text.
        self.chip_status = (
            f'" data-status="{status}" data-diskcache="{disk}" '
            f'style="padding:1px 7px;border:1.5px solid {stroke};border-radius:9px;'
            f'background:{fill}"><b>'
        )
        self.chip_line = f'</b> <span style="color:{stroke}">{shown}</span></span>'


# The look of each (execution status, disk-cache status, disk cache on) seen.
_looks: dict[tuple, _Look] = {}
# Escaped names, reasons and lines: the same few thousand texts are escaped at every draw.
_escaped: dict[str, str] = {}


def _escape(text: str) -> str:
    """``text`` for HTML and SVG, in ASCII: other characters as character references, so that a
    large picture stays a one-byte text (the edges' arrows and the lines' dots would make it two
    bytes a character) and is sent as it is held."""
    found = _escaped.get(text)
    if found is None:
        if len(_escaped) > 20000:
            _escaped.clear()
        found = html.escape(text)
        if not found.isascii():
            found = found.encode("ascii", "xmlcharrefreplace").decode("ascii")
        _escaped[text] = found
    return found


def _look(c: dict, seconds: float | None, state: str | None = None) -> _Look:
    """How a summary entry is drawn: its execution and disk-cache statuses, the ``state`` shown
    for it (its status unless said otherwise) and the box's second line ("running 3 s" for a
    component of the current run, running ``seconds`` so far)."""
    status = c.get("execution_status") or S.INVALID
    disk = c.get("diskcache_status") or D.UNCACHED
    state = state or status
    uses_disk = bool((c.get("metadata") or {}).get("diskcache"))
    if status == S.RUNNING and seconds is not None:
        words = disk_words(disk, uses_disk)
        return _Look(str(status), str(disk), f"running {seconds:.0f} s", str(state), words)
    key = (status, disk, uses_disk, state)
    found = _looks.get(key)
    if found is None:
        status, disk, state = str(status), str(disk), str(state)
        words = disk_words(disk, uses_disk)
        line = f"{state} \u00b7 {DISK_MARK.get(disk, '')}{words}"
        found = _Look(status, disk, line, state, words)
        if len(_looks) < 512:
            _looks[key] = found
    return found


# Around the boxes: what every box shares, said once (the name's font, the border's width).
_BOXES = '<g stroke-width="2" font-size="13" font-weight="bold" fill="#222">'
_EMPTY_SVG = (
    '<svg xmlns="http://www.w3.org/2000/svg" class="orvane-pipeline" width="260" '
    'height="30"><text x="6" y="20" font-family="sans-serif" font-size="13">'
    "No components declared yet.</text></svg>"
)

# A summary entry as drawn: the entry, the seconds it has run, the reason shown, the state
# shown and its box's place (what the rest follows from), then its escaped name, box (SVG; None
# without a place), text line and chip.
_ENTRY, _SECONDS, _WHY, _STATE, _PLACE, _NAME, _BOX, _LINE, _CHIP = range(9)


def _drawn(
    summary: dict,
    elapsed: dict[str, float],
    places: list[tuple[str, str, str]] | None = None,
    cache: dict[str, tuple] | None = None,
) -> list[tuple]:
    """Every entry of ``summary`` as drawn, in one pass: its look gives its box (at ``places``,
    by position), text line and chip alike. With a ``cache`` (by component id), an entry drawn
    before (the same object, with the same seconds, reason, state and place) is not drawn
    again: a run redraws a large pipeline while few of its entries change between two draws."""
    reasons = summary.get("reasons") or {}
    states = summary.get("states")
    out = []
    append = out.append
    if cache is None:
        cache = {}  # unused, so that the loop tests nothing about it
    running_or_done = (S.RUNNING, S.SUCCESSFUL)
    for i, c in enumerate(summary.get("components", ())):
        cid = c["identifier"]
        seconds, why = elapsed.get(cid), reasons.get(cid)
        state = shown_state(c, states) if states else c.get("execution_status") or S.INVALID
        # Reasons are noted between runs: during one, why a component was to run no longer
        # holds once it runs or has run (a cleared one is shown as cleared until then).
        if why and state in running_or_done and why.startswith("will run:"):
            why = None
        place = places[i] if places is not None else None
        found = cache.get(cid)
        if (
            found is None
            or found[_ENTRY] is not c
            or found[_SECONDS] != seconds
            or found[_WHY] != why
            or found[_STATE] != state
            or found[_PLACE] is not place
        ):
            found = cache[cid] = _draw_entry(c, seconds, why, state, place)
        append(found)
    return out


def _draw_entry(
    c: dict, seconds: float | None, why: str | None, state: str, place: tuple | None
) -> tuple:
    look = _look(c, seconds, state)
    label = c.get("name") or c["identifier"]
    name = _escape(str(label))
    box = None
    if place is not None:
        corner, first, second = place
        why_shown = _escape(f"; {why}") if why is not None else ""
        box = (
            f'<g class="orvane-component" data-component="{name}{look.box_status}{name}'
            f"{look.box_title}{why_shown}</title><rect {corner}{look.box_rect}"
            f"<text {first}>{name}</text><text {second}{look.box_line}"
        )
    chip = (
        f'<span class="orvane-chip" data-component="{name}{look.chip_status}{name}{look.chip_line}'
    )
    return (c, seconds, why, state, place, name, box, f"  {label}: {look.line}", chip)


def _svg(summary: dict, drawn: list[tuple], shape: _Shape) -> str:
    """The picture of the entries ``drawn`` at their places on ``shape``."""
    if not drawn:
        return _EMPTY_SVG
    width, height = shape.width, shape.height
    place = {entry[_ENTRY]["identifier"]: i for i, entry in enumerate(drawn)}
    inferred = frozenset(
        (place[s], place[t])
        for s, t in summary.get("inferred_edges", ())
        if s in place and t in place
    )
    names = tuple(entry[_NAME] for entry in drawn)
    # Scaled down, never cut off, where the output area is narrower than the picture.
    return "".join(
        [
            f'<svg xmlns="http://www.w3.org/2000/svg" class="orvane-pipeline" width="{width:g}" '
            f'height="{height:g}" viewBox="0 0 {width:g} {height:g}" font-family="sans-serif" '
            'style="max-width:100%;height:auto">'
            '<defs><marker id="orvane-arrow" viewBox="0 0 8 8" refX="8" refY="4" '
            'markerWidth="7" markerHeight="7" orient="auto"><path d="M0,0 L8,4 L0,8 z" '
            'fill="#777"/></marker></defs>',
            shape.edges_svg(names, inferred),
            _BOXES,
            *(entry[_BOX] for entry in drawn),
            "</g></svg>",
        ]
    )


def _picture(
    summary: dict, elapsed: dict[str, float], cache: dict[str, tuple] | None = None
) -> tuple[str, list[tuple]]:
    """The SVG of ``summary`` and its entries as drawn."""
    components = summary.get("components", ())
    if not components:
        return _EMPTY_SVG, []
    shape = _shape(components, summary.get("edges", ()))
    drawn = _drawn(summary, elapsed, shape.boxes, cache)
    return _svg(summary, drawn, shape), drawn


def pipeline_svg(summary: dict | None, elapsed: dict[str, float] | None = None) -> str:
    """The pipeline as an SVG document; each component is a ``<g>`` carrying its name and
    statuses as ``data-`` attributes. ``elapsed`` gives the seconds each running component has
    run, by id."""
    return _picture(summary or {}, elapsed or {})[0]


def _text(drawn: list[tuple]) -> str:
    if not drawn:
        return "pipeline: no components declared yet"
    return "\n".join(["pipeline:", *(entry[_LINE] for entry in drawn)])


def _strip(drawn: list[tuple]) -> str:
    chips = "".join(entry[_CHIP] for entry in drawn)
    return (
        # The strip places its chips: a row that wraps, with the gaps (around the chips too)
        # that their own margins would otherwise repeat in each chip. Row and column gaps are
        # said apart: the HTML sanitizer of a notebook opened untrusted keeps those.
        '<div class="orvane-strip" style="display:flex;flex-wrap:wrap;row-gap:4px;'
        'column-gap:4px;padding:2px 4px 2px 0;font:12px sans-serif;color:#222">'
        f"{chips}</div>"
    )


def pipeline_text(summary: dict | None, elapsed: dict[str, float] | None = None) -> str:
    """One line per component, for viewers that show text only."""
    return _text(_drawn(summary or {}, elapsed or {}))


def pipeline_strip(summary: dict | None, elapsed: dict[str, float] | None = None) -> str:
    """The compact form: one coloured chip per component, wrapping to the output's width."""
    return _strip(_drawn(summary or {}, elapsed or {}))


def update_shown(display_id: str, data: dict, metadata: dict | None = None) -> None:
    """Replaces what the outputs with ``display_id`` show, as ``update_display`` does.

    In a kernel the update goes out through the display publisher's session without flushing
    the output streams first: an update changes outputs in place, so it has no place among the
    cell's printed text to keep, and each flush waits for the kernel's output thread (twice per
    update, several updates per run). Where a hook transforms display messages (an output
    widget capturing), or displays are recorded in the history, it takes the usual way.
    """
    from IPython import get_ipython

    pub = getattr(get_ipython(), "display_pub", None)
    session, socket = getattr(pub, "session", None), getattr(pub, "pub_socket", None)
    usual = getattr(pub, "_hooks", True) or getattr(pub, "store_display_history", True)
    if session is None or socket is None or usual:
        from IPython.display import update_display

        update_display(data, raw=True, metadata=metadata, display_id=display_id)
        return
    content = {"data": data, "metadata": metadata or {}, "transient": {"display_id": display_id}}
    session.send(socket, "update_display_data", content, parent=pub.parent_header, ident=pub.topic)


class PipelineView:
    """A picture of the pipeline in the notebook, redrawn in place as the pipeline reports.

    It is plain display data (HTML with the SVG inline, the SVG alone, and text) updated through
    its display id, so a saved notebook keeps the last picture and shows it when reopened, with
    or without a kernel. ``show()`` puts the full picture in the current output; ``show_strip()``
    a compact one, and every copy of either updates together.
    """

    def __init__(self) -> None:
        self.svg = ""
        self._handles: dict[str, Any] = {}  # "full" / "strip" -> display handle
        self._shown: dict[str, Any] = {}  # what each handle shows now
        # Each component as last drawn (see _drawn): a run redraws a large pipeline many times
        # while few of its components change between two draws.
        self._cache: dict[str, tuple] = {}
        self._drawn: list[tuple] = []  # the entries of the summary shown, as drawn
        self._text = _text([])
        self.seconds = 0.0  # how long the last update took, publishing included
        self._live = False  # drawn during a run: a later draw shows the run's end

    def _bundle(self, kind: str) -> tuple[dict, dict]:
        text = self._text
        if kind == "strip":
            data = {"text/html": _strip(self._drawn), "text/plain": text}
        else:
            data = {"text/html": f'<div class="orvane-view">{self.svg}</div>', "text/plain": text}
            # The SVG alone is for viewers of a saved notebook that show no HTML. Draws during a
            # run leave it out: a large pipeline's picture is most of what an update sends, and
            # the run's last draw (what a notebook keeps) carries it.
            if not self._live:
                data["image/svg+xml"] = self.svg
        return data, {"orvane": "view" if kind == "full" else "strip"}

    def _display(self, kind: str) -> None:
        from IPython.display import display

        start = time.perf_counter()
        data, metadata = self._bundle(kind)
        handle = self._handles.get(kind)
        if handle is None:
            self._handles[kind] = display(data, raw=True, metadata=metadata, display_id=True)
            # Every update sends this one too from now on.
            self.seconds += time.perf_counter() - start
        else:  # another copy with the same id: it is updated with the others
            display(data, raw=True, metadata=metadata, display_id=handle.display_id)
        self._shown[kind] = data

    def show(self) -> None:
        self._display("full")

    def show_strip(self) -> None:
        self._display("strip")

    def update(
        self, summary: dict, elapsed: dict[str, float] | None = None, live: bool = False
    ) -> None:
        """Draws ``summary``; ``live`` during a run, when a later update shows its end."""
        start = time.perf_counter()
        self._live = live
        summary = summary or {}
        if len(self._cache) > 2 * len(summary.get("components", ())):  # ids edited since
            self._cache = {}
        self.svg, self._drawn = _picture(summary, elapsed or {}, self._cache)
        self._text = _text(self._drawn)
        for kind, handle in self._handles.items():
            data, metadata = self._bundle(kind)
            if data != self._shown.get(kind):
                self._shown[kind] = data
                update_shown(handle.display_id, data, metadata)
        self.seconds = time.perf_counter() - start


def make_view(summary: dict | None) -> PipelineView:
    view = PipelineView()
    view.update(summary or {})
    return view
