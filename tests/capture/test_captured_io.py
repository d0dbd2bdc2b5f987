"""Captured output shown in a real kernel, and the executor's capture as a notebook sees it."""

from __future__ import annotations

import pytest

from orvane_core.capture import LiveSink, OrvaneCapturedIO
from tests.kernel import run_in_kernel, running_kernel

ENTRIES = [
    {"type": "stream", "name": "<stdout>", "text": "first\n"},
    {"type": "stream", "name": "<stderr>", "text": "warned\n"},
    {"type": "stream", "name": "<stdout>", "text": "last"},
]


@pytest.fixture(scope="module")
def kernel():
    with running_kernel() as (_, client):
        yield client


def streams(messages):
    return [m for m in messages if m["msg_type"] == "stream"]


@pytest.mark.kernel
@pytest.mark.slow
def test_show_sends_stream_messages_tagged_with_the_component(kernel):
    reply, messages = run_in_kernel(
        kernel,
        f"""
        from orvane_core.capture import OrvaneCapturedIO
        OrvaneCapturedIO(outputs={ENTRIES!r}).show(shell=get_ipython(), component_id="comp-1")
        """,
    )
    assert reply["content"]["status"] == "ok"
    got = [
        (m["content"]["name"], m["content"]["text"], m["metadata"].get("component_id"))
        for m in streams(messages)
    ]
    assert got == [
        ("stdout", "first\n", "comp-1"),
        ("stderr", "warned\n", "comp-1"),
        ("stdout", "last", "comp-1"),
    ]


@pytest.mark.kernel
@pytest.mark.slow
def test_a_run_in_the_kernel_is_captured_not_shown(kernel):
    reply, messages = run_in_kernel(
        kernel,
        """
        from orvane_core.executors import OrvaneComponentExecutor
        from orvane_core.misc.models import OrvaneExecutionRequestModel

        request = OrvaneExecutionRequestModel(
            identifier="k1",
            cell_code="print('hello')\\n!echo from-shell\\n%time t = 1\\nn = 5",
        )
        response = OrvaneComponentExecutor(identifier="k1", name="k").execute(
            request=request, ipython_shell=get_ipython()
        )
        summary = (int(response.status), sorted(response.result.non_module_outputs),
                   "n" in globals(), "t" in globals())
        """,
    )
    assert reply["content"]["status"] == "ok"
    # Nothing reached the notebook while the run was going on.
    assert streams(messages) == []

    reply, messages = run_in_kernel(
        kernel,
        """
        print(summary)
        response.result.captured.show(shell=get_ipython(), component_id="k1")
        """,
    )
    shown = [m for m in streams(messages) if m["metadata"].get("component_id") == "k1"]
    printed = [m["content"]["text"] for m in streams(messages) if m not in shown]
    assert "".join(printed) == "(200, ['n', 't'], False, False)\n"
    assert len(shown) == 1
    assert shown[0]["content"]["text"].startswith("hello\nfrom-shell")
    assert "Wall time" in shown[0]["content"]["text"]


def test_show_without_a_kernel_prints_to_the_process_streams(shell, capsys):
    OrvaneCapturedIO(outputs=[dict(e) for e in ENTRIES]).show(shell=shell, component_id="c")
    out, err = capsys.readouterr()
    assert (out, err) == ("first\nlast", "warned\n")
    OrvaneCapturedIO(outputs=[dict(e) for e in ENTRIES]).show()
    assert capsys.readouterr() == (out, err)


@pytest.mark.parametrize(
    ("outputs", "truth", "stdout", "stderr"),
    [
        (None, False, "", ""),
        ([], False, "", ""),
        (ENTRIES, True, "first\nlast", "warned\n"),
    ],
)
def test_truth_and_text(outputs, truth, stdout, stderr):
    captured = OrvaneCapturedIO(outputs=outputs)
    assert bool(captured) is truth
    assert captured.text("<stdout>") == stdout
    assert captured.text("<stderr>") == stderr


OUT, ERR = "<stdout>", "<stderr>"


def _stream(name, text):
    return {"type": "stream", "name": name, "text": text}


FIGURE = {"type": "display_data", "data": {"image/png": "..."}, "metadata": {}}


@pytest.mark.parametrize(
    "written, captured, rest",
    [
        # A run that ended: its streams hold what was shown, and a stderr note after it.
        (
            [(OUT, "a\n"), (ERR, "w\n")],
            [_stream(OUT, "a\n"), _stream(ERR, "w\nnote\n")],
            [_stream(ERR, "note\n")],
        ),
        # A failure: one entry with everything written, in order, then the banner.
        (
            [(OUT, "a\n"), (ERR, "w\n"), (OUT, "b\n")],
            [_stream(ERR, "a\nw\nb\nBANNER")],
            [_stream(ERR, "BANNER")],
        ),
        # The same line on both streams is taken as one prefix, not two.
        ([(OUT, "x\n"), (ERR, "x\n")], [_stream(ERR, "x\nx\nBANNER")], [_stream(ERR, "BANNER")]),
        # A figure shown live is not shown again; one that was not, is.
        ([(None, FIGURE)], [FIGURE, FIGURE], [FIGURE]),
        # Nothing shown live (reused from the cache): everything.
        ([], [_stream(OUT, "a\n"), FIGURE], [_stream(OUT, "a\n"), FIGURE]),
    ],
)
def test_what_was_shown_live_is_not_shown_again(written, captured, rest, capsys):
    sink = LiveSink()
    for name, payload in written:
        if name is None:
            sink.display("c", payload["data"], {})
        else:
            sink.write("c", name, payload)
    assert sink.unshown(OrvaneCapturedIO(captured), "c") == rest
    sink.close()
