"""The pipeline picture: every edge stays visible, never passing behind a box."""

import html
import re

import pytest
from IPython.utils.capture import capture_output

from orvane_core.frontend.view import PipelineView, pipeline_strip, pipeline_svg, pipeline_text


def _points(d):
    """Points along an SVG path made of M, L and C commands."""
    tokens = re.findall(r"[MLC]|-?[\d.]+", d)
    pen, points, i = None, [], 0
    while i < len(tokens):
        command, i = tokens[i], i + 1
        count = 3 if command == "C" else 1
        xy = [float(t) for t in tokens[i : i + 2 * count]]
        i += 2 * count
        pairs = list(zip(xy[::2], xy[1::2], strict=True))
        if command == "C":
            p0, (p1, p2, p3) = pen, pairs
            for k in range(1, 41):
                t = k / 40
                points.append(
                    tuple(
                        (1 - t) ** 3 * a
                        + 3 * (1 - t) ** 2 * t * b
                        + 3 * (1 - t) * t**2 * c
                        + t**3 * e
                        for a, b, c, e in zip(p0, p1, p2, p3, strict=True)
                    )
                )
        elif command == "L":
            points += [
                (pen[0] + (pairs[0][0] - pen[0]) * k / 40, pen[1] + (pairs[0][1] - pen[1]) * k / 40)
                for k in range(1, 41)
            ]
        else:
            points.append(pairs[0])
        pen = pairs[-1]
    return points


CHAIN = [f"s{i}" for i in range(20)]
GRAPHS = {
    # Long edges skip levels that hold other boxes (a -> d past b and c, b -> e past c and d).
    "wide": (
        ["a", "b", "side", "c", "d", "e"],
        [("a", "b"), ("a", "side"), ("b", "c"), ("c", "d"), ("a", "d"), ("d", "e")]
        + [("b", "e"), ("side", "e")],
    ),
    # Deep: drawn top to bottom; the skipping edges pass beside the rows.
    "deep": (CHAIN, list(zip(CHAIN, CHAIN[1:], strict=False)) + [("s0", "s5"), ("s3", "s19")]),
    # Eleven side by side in a deep graph: their row wraps, edges pass the wrapped rows.
    "broad": (
        ["root", *CHAIN[:11], "leaf", "l2", "l3", "l4"],
        [("root", n) for n in CHAIN[:11]]
        + [("s10", "leaf"), ("s2", "leaf"), ("leaf", "l2"), ("l2", "l3"), ("l3", "l4")],
    ),
}


@pytest.mark.parametrize("graph", GRAPHS)
def test_edges_route_around_boxes_and_end_at_their_target(graph):
    names, edges = GRAPHS[graph]
    svg = pipeline_svg(
        {
            "components": [
                {"identifier": n, "name": n, "execution_status": "successful"} for n in names
            ],
            "edges": [{"source": s, "target": t} for s, t in edges],
        }
    )
    boxes = {
        name: tuple(map(float, box))
        for name, *box in re.findall(
            r'data-component="(\w+)".*?<rect x="([\d.]+)" y="([\d.]+)" width="([\d.]+)" '
            r'height="([\d.]+)"',
            svg,
        )
    }
    paths = re.findall(r'<path d="([^"]+)"><title>', svg)
    assert len(paths) == len(edges) and set(boxes) == set(names)
    width = float(re.search(r'width="([\d.]+)"', svg).group(1))
    assert width <= 1100  # fits a notebook's output area: no horizontal scroll bar
    assert all(bx + w <= width for bx, _, w, _ in boxes.values())
    ends = set()
    for d in paths:
        points = _points(d)
        for x, y in points:
            for bx, by, w, h in boxes.values():
                assert not (bx < x < bx + w and by < y < by + h), (d, (x, y))
        x, y = points[-1]
        ends |= {
            n
            for n, (bx, by, w, h) in boxes.items()
            if (bx - 3 < x <= bx and by < y < by + h) or (by - 3 < y <= by and bx < x < bx + w)
        }
    assert ends == {t for _, t in edges}  # each arrowhead touches its target's near side


def test_a_large_picture_says_what_its_boxes_and_edges_share_once():
    # The last draw of a large run goes out as HTML and as an image: its size is what users wait
    # for. Each box keeps its name, statuses and hover text; each edge its path and hover text.
    names = [f"c{i}" for i in range(1000)]
    summary = {
        "components": [
            {"identifier": n, "name": n, "execution_status": "successful"} for n in names
        ],
        "edges": [{"source": s, "target": t} for s, t in zip(names, names[1:], strict=False)],
        "reasons": dict.fromkeys(names, "ran: it never ran"),
    }
    svg = pipeline_svg(summary)
    # In ASCII (other characters as references): a one-byte text, sent as it is held.
    assert svg.isascii() and len(_boxes(svg)) == 1000 and html.unescape(svg).count("\u2192") == 999
    assert svg.count("stroke-width=") == 2 and len(svg) < 480 * 1000


def test_inferred_edges_are_drawn_dashed_and_each_edge_hover_names_its_ends():
    components = [{"identifier": n, "name": n} for n in "abc"]
    edges = [{"source": "a", "target": "b"}, {"source": "b", "target": "c"}]
    svg = pipeline_svg({"components": components, "edges": edges, "inferred_edges": [("a", "b")]})
    assert svg.count("stroke-dasharray") == 1
    titles = [html.unescape(t) for t in re.findall(r"<path [^>]*><title>(.*?)</title>", svg)]
    assert titles == ["b \u2192 c: after", "a \u2192 b: inferred from the names used"]


@pytest.mark.parametrize(
    "disk, on, state, words",
    [("cached", True, None, "on disk"), ("updating", True, None, "writing to disk"),
     ("failed", True, None, "disk cache failed"), ("uncached", True, None, "not on disk"),
     ("uncached", False, None, "no disk cache"),
     ("uncached", True, ("successful", "cleared"), "not on disk"),
     ("cached", True, ("invalid", "cleared"), "on disk")],
)  # fmt: skip
def test_label_and_hover_say_the_state_and_disk_in_the_same_words(disk, on, state, words):
    entry = {"identifier": "a", "name": "a", "execution_status": "successful",
             "diskcache_status": disk, "metadata": {"diskcache": on}}  # fmt: skip
    # A word noted for another status than the component has now is not shown.
    shown = state[1] if state and state[0] == "successful" else "successful"
    summary = {"components": [entry], "edges": [], "states": {"a": state} if state else {}}
    (_, title, _, line) = _boxes(pipeline_svg(summary))["a"]
    assert title == f"a: {shown}, {words}"
    assert line.startswith(f"{shown} \u00b7 ") and line.endswith(words)
    assert f"a: {shown} \u00b7 " in pipeline_text(summary) and words in pipeline_strip(summary)


@pytest.mark.parametrize(
    "status, shown",
    [("invalid", True), ("failed", True), ("running", False), ("successful", False)],
)
def test_a_reason_to_run_noted_before_a_run_goes_once_the_component_runs(status, shown):
    entry = {"identifier": "a", "name": "a", "execution_status": status}
    reasons = {"a": "will run: it never ran"}
    svg = pipeline_svg({"components": [entry], "edges": [], "reasons": reasons})
    assert ("will run: it never ran" in svg) == shown


def _boxes(svg):
    """(status, title, corner, second line) of each box, by component name."""
    found = re.findall(
        r'data-component="(\w+)" data-status="(\w+)".*?<title>(.*?)</title><rect x="([\d.]+)" '
        r'y="([\d.]+)".*?</text><text [^>]*>(.*?)</text></g>',
        svg,
    )
    return {
        n: (s, html.unescape(title), (float(x), float(y)), html.unescape(line))
        for n, s, title, x, y, line in found
    }


def test_each_redraw_shows_the_latest_entries_and_a_renamed_graph_keeps_its_places(shell):
    def entry(name, status="invalid", prefix=""):
        return {"identifier": prefix + name, "name": prefix + name, "execution_status": status}

    def summary(entries, prefix="", **extra):
        edges = [{"source": prefix + "a", "target": prefix + "b"}]
        return {"components": entries, "edges": edges, **extra}

    a, b, running = entry("a", "successful"), entry("b"), entry("b", "running")
    first = _boxes(pipeline_svg(summary([a, b])))
    # The live view keeps its strip and text, as they are shown in the notebook, up to date too.
    view = PipelineView()
    view.update(summary([a, b]))
    with capture_output() as shown:
        view.show_strip()
    steps = [
        # (entries, elapsed, reasons, expected (status, second line) of b)
        ([a, running], {"b": 3.0}, {}, ("running", "running 3 s")),
        ([a, running], {"b": 4.0}, {}, ("running", "running 4 s")),  # the same entry, later
        ([a, entry("b", "failed")], {}, {"b": "ran: it was requested"}, ("failed", None)),
    ]
    for entries, elapsed, reasons, (status, line) in steps:
        boxes = _boxes(pipeline_svg(summary(entries, reasons=reasons), elapsed))
        assert boxes["b"][0] == status and boxes["a"][0] == "successful"
        assert line is None or boxes["b"][3] == line
        assert ("ran: it was requested" in boxes["b"][1]) == bool(reasons)
        with capture_output() as shown:
            view.update(summary(entries, reasons=reasons), elapsed)
        data = shown.outputs[-1].data
        assert f'data-component="b" data-status="{status}"' in data["text/html"]
        assert f"  b: {line or status}" in data["text/plain"]
    # Edited cells get new ids; the picture of the same shape keeps every place.
    renamed = _boxes(pipeline_svg(summary([entry("a", prefix="x"), entry("b", prefix="x")], "x")))
    assert {n: box[2] for n, box in renamed.items()} == {
        "x" + n: box[2] for n, box in first.items()
    }


@pytest.mark.kernel
@pytest.mark.parametrize("hooked", [False, True])  # a hook takes the message, as an output widget
def test_a_redraw_in_a_kernel_replaces_the_shown_view_or_goes_through_a_display_hook(hooked):
    from tests.kernel import run_in_kernel, running_kernel

    code = f"""
        from orvane_core.frontend.view import PipelineView
        pub, view = get_ipython().display_pub, PipelineView()
        view.show()
        if {hooked}: pub.register_hook(lambda msg: print(msg["msg_type"]))
        view.update({{"components": [{{"identifier": "a", "execution_status": "failed"}}]}})
    """
    with running_kernel() as (_, client):
        _, messages = run_in_kernel(client, code)
    by_type = {m["msg_type"]: m["content"] for m in messages}
    assert ("update_display_data" in by_type.get("stream", {}).get("text", "")) == hooked
    update = by_type.get("update_display_data")
    assert (update is None) == hooked
    if update:
        assert update["transient"] == by_type["display_data"]["transient"]
        assert "a: failed" in update["data"]["text/plain"]
