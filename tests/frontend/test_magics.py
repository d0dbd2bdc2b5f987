"""The magics in a real kernel: declaring, running, parameters and short errors."""

import html
import re
import time

import pytest

from tests.kernel import run_in_kernel, running_kernel

pytestmark = pytest.mark.kernel


@pytest.fixture(scope="module")
def kernel():
    with running_kernel() as (manager, client):
        reply, _ = run_in_kernel(
            client,
            "%load_ext orvane_core\n"
            "import orvane_core.frontend as fe\n"
            "fe.current_session().configure(progress='none')",
        )
        assert reply["content"]["status"] == "ok"
        yield manager, client


@pytest.fixture(scope="module")
def client(kernel):
    return kernel[1]


def _texts(messages):
    out = []
    for m in messages:
        c = m["content"]
        out.append(c.get("text") or c.get("data", {}).get("text/plain", ""))
    return "".join(out)


def test_a_component_cell_runs_with_its_ancestors(client):
    run_in_kernel(client, "%%component base\nimport math\nbase = 2\nbase")
    reply, messages = run_in_kernel(client, "%%component square after base\nsq = base ** 2\nsq")
    assert reply["content"]["status"] == "ok"
    assert "4" in _texts(messages)
    # Outputs reach the notebook namespace; outputs are tagged with their component.
    reply, messages = run_in_kernel(client, "print(sq, base)")
    assert _texts(messages).strip() == "4 2"
    reply, messages = run_in_kernel(client, "%orvane status")
    assert "square" in _texts(messages) and "successful" in _texts(messages)


def test_a_reused_ancestor_is_named_in_a_note_not_shown_again(client):
    run_in_kernel(client, "%%component loud\nprint('loud ran')\n41")
    _, messages = run_in_kernel(client, "%%component calm after loud\n'calm done'")
    text = _texts(messages)
    assert "'calm done'" in text and "Reused from the cache: loud" in text
    assert "loud ran" not in text and "41" not in text
    _, messages = run_in_kernel(client, "%orvane run loud")  # a named component is shown
    assert "loud ran" in _texts(messages) and "41" in _texts(messages)


def _values(messages):
    return [
        m["content"]["data"]["text/plain"]
        for m in messages
        if m["msg_type"] == "display_data" and m["content"]["metadata"].get("component_id")
    ]


def _shown(messages):
    """What the components showed in order: printed text and displays."""
    return [
        m["content"].get("text") or m["content"]["data"]["text/plain"]
        for m in messages
        if m["msg_type"] in ("stream", "display_data")
        and (m["metadata"].get("component_id") or m["content"].get("metadata"))
    ]


@pytest.mark.parametrize(
    "command, shown",
    [
        ("%orvane run lab_b", ["lab_a:", "1", "lab_b:", "2"]),
        ("%orvane run lab_b", ["2"]),  # the ancestor is reused: as the cell's own output
        ("%orvane run lab_c", ["lab_p:", "p\n", "lab_c:", "3"]),  # what a parent printed too
        ("%orvane run lab_e", ["4"]),  # the parent ran and showed nothing
        ("%orvane run lab_a lab_c", ["lab_a:", "1", "lab_c:", "3"]),
    ],
)
def test_what_each_component_of_a_run_shows_is_labelled_with_it(client, command, shown):
    run_in_kernel(client, "%orvane autorun off")
    for cell in ["lab_a\n1", "lab_b after lab_a\n2", "lab_p\nprint('p')", "lab_c after lab_p\n3",
                 "lab_q\nq = 1", "lab_e after lab_q\n4"]:  # fmt: skip
        run_in_kernel(client, f"%%component {cell}")
    run_in_kernel(client, "%orvane autorun on")
    _, messages = run_in_kernel(client, command)
    assert _shown(messages) == shown


def test_parameters_are_set_shown_and_used(client):
    run_in_kernel(client, "%orvane set factor=3")
    run_in_kernel(client, "%%component scaled after base\nbase * factor")
    reply, messages = run_in_kernel(client, "%orvane run scaled")
    assert reply["content"]["status"] == "ok" and "6" in _texts(messages)
    _, messages = run_in_kernel(client, "%orvane params")
    assert "factor = 3  (int)" in _texts(messages)
    # Before the next run, status says why each cell will run: the parent that reads the
    # parameter runs first.
    run_in_kernel(client, "%%component doubled after scaled\n2")
    run_in_kernel(client, "%orvane set factor=4")
    _, messages = run_in_kernel(client, "%orvane status")
    text = _texts(messages)
    assert "will run: parameters changed: factor" in text
    assert "will run: its parent scaled will rerun" in text


@pytest.mark.parametrize(
    "code, ename, hint",
    [
        ("%%component c after nowhere\n1", "OrvaneUsageError", "declare (run) the parent's cell"),
        ("%%component base after square\n1", "OrvaneUsageError", "cycle"),
        ("%orvane set x=1+", "OrvaneUsageError", "not a Python literal"),
        ("%orvane run nothing", "OrvaneUsageError", "Unknown component 'nothing'"),
        ("%orvane frobnicate", "OrvaneUsageError", "Try %orvane help"),
        (
            "%%component broken after base\n1 / 0",
            "OrvaneRunError",
            "broken (ZeroDivisionError) failed",
        ),
        (
            "%orvane optimize broken factor=1:2 --trials 2",
            "OrvaneRunError",
            "broken failed in a trial",
        ),
        ("%orvane remove base", "OrvaneUsageError", "run after it. Remove them first"),
    ],
)
def test_mistakes_give_one_line_with_the_fix(client, code, ename, hint):
    reply, messages = run_in_kernel(client, code)
    content = reply["content"]
    assert content["status"] == "error" and content["ename"] == ename
    assert hint in content["evalue"]
    errors = [m for m in messages if m["msg_type"] == "error"]
    assert len(errors[-1]["content"]["traceback"]) == 1  # no traceback through the extension
    assert "Trial 0" not in _texts(messages)  # the search's own log stays quiet


def test_a_search_target_without_a_last_expression_is_refused(client):
    run_in_kernel(client, "%%component quiet after base\nq = base")
    reply, _ = run_in_kernel(client, "%orvane optimize quiet factor=1:2 --trials 2")
    assert reply["content"]["ename"] == "OrvaneUsageError"
    assert "'quiet' has no last expression" in reply["content"]["evalue"]


def test_a_failed_component_shows_its_own_error_and_counts_as_failed(client):
    _, messages = run_in_kernel(client, "print(fe.current_session().run(['broken']).line())")
    text = re.sub(r"\x1b\[[0-9;]*m", "", _texts(messages))
    assert "ZeroDivisionError: division by zero" in text and "OrvanePipelineError" not in text
    assert "0 ran, 1 reused, 1 failed: broken (ZeroDivisionError)" in text, text
    # Through the magic: that banner once, then one closing line.
    reply, messages = run_in_kernel(client, "%orvane run broken")
    assert _texts(messages).count("Traceback") == 1 and len(reply["content"]["traceback"]) == 1


def _streamed(messages, component_id=None):
    """(time, text) of each stream message, of one component or of all."""
    return [
        (m["header"]["date"], m["content"]["text"])
        for m in messages
        if m["msg_type"] == "stream"
        and (component_id is None or m["metadata"].get("component_id") == component_id)
    ]


SLOW = "import time\nprint('first', flush=True)\ntime.sleep(1.5)\nprint('second')"


@pytest.mark.parametrize(
    "declare, command, names",
    [
        (["%%component s_sync after base\n" + SLOW], None, ["s_sync"]),
        (  # two at once: both run in worker processes
            ["%%component s_p1 after base\n" + SLOW, "%%component s_p2 after base\n" + SLOW],
            "%orvane run s_p1 s_p2 --parallel",
            ["s_p1", "s_p2"],
        ),
    ],
)
def test_printed_lines_appear_while_the_cell_runs_and_once(client, declare, command, names):
    run_in_kernel(client, "%orvane autorun off" if command else "%orvane autorun on")
    for cell in declare:
        _, messages = run_in_kernel(client, cell)
    if command:
        _, messages = run_in_kernel(client, command)
    run_in_kernel(client, "%orvane autorun on")
    ids = _ids(client)
    for name in names:
        streamed = _streamed(messages, ids[name])
        first = [t for t, text in streamed if "first" in text]
        second = [t for t, text in streamed if "second" in text]
        assert len(first) == len(second) == 1, streamed  # shown live, not again at the end
        assert (second[0] - first[0]).total_seconds() > 1.0


def _ids(client):
    _, messages = run_in_kernel(
        client, "import orvane_core.frontend as _fe\nprint(dict(_fe.current_session().ids()))"
    )
    return eval(_texts(messages))


@pytest.mark.timeout(120)
@pytest.mark.parametrize(
    "declare, command, names",
    [
        ([], "%%component sleeper after base\n" + SLOW.replace("1.5", "60"), ["sleeper"]),
        (  # interrupted while the kernel waits for the worker processes
            [f"%%component {n} after base\n" + SLOW.replace("1.5", "60") for n in ("z1", "z2")],
            "%orvane run z1 z2 --parallel",
            ["z1", "z2"],
        ),
    ],
)
def test_an_interrupt_names_the_component_and_keeps_what_it_printed(
    kernel, declare, command, names
):
    manager, client = kernel
    autorun = "off" if declare else "on"
    run_in_kernel(
        client, f"%orvane autorun {autorun}\nfe.current_session().configure(progress='text')"
    )
    for cell in declare:
        run_in_kernel(client, cell)
    msg_id = client.execute(command)
    messages, interrupted = [], False
    try:
        while True:
            message = client.get_iopub_msg(timeout=60)
            if message["parent_header"].get("msg_id") != msg_id:
                continue
            messages.append(message)
            if not interrupted and _texts(messages).count("first") == len(names):
                manager.interrupt_kernel()
                interrupted = True
            if message["msg_type"] == "status" and message["content"]["execution_state"] == "idle":
                break
    finally:
        run_in_kernel(client, "%orvane autorun on\nfe.current_session().configure(progress='none')")
    text = _texts(messages)
    error = [m["content"] for m in messages if m["msg_type"] == "error"][0]
    for name in names:  # as the user's own error
        assert f"KeyboardInterrupt\x1b[0m: Interrupted at component '{name}'" in text
    assert "first" in text and ".py" not in text  # no frame of the package's own code
    assert "OrvanePipelineError" not in text
    assert f"Interrupted while running {', '.join(names)}" in error["evalue"]
    # Interrupted components did not finish: the bar leaves them out; they count as failed.
    assert f"1/{len(names) + 1}" in text and f"0 ran, 1 reused, {len(names)} failed" in text
    # Worded as the chips say it; a run of one component draws its text bar again only at its end.
    assert len(names) == 1 or re.search(rf"{names[0]} running \d+ s", text), text


def test_a_failure_counts_lines_as_the_editor_and_ends_with_a_red_bar(client):
    run_in_kernel(client, "fe.current_session().configure(progress='auto')")
    _, messages = run_in_kernel(client, "%%component liner after base\nx = 1\ny = nope")
    run_in_kernel(client, "fe.current_session().configure(progress='none')")
    assert "line 3" in _texts(messages)
    bars = [
        m["content"]["data"]["text/html"]
        for m in messages
        if "orvane-progress" in m["content"].get("data", {}).get("text/html", "")
    ]
    assert 'data-state="failed"' in bars[-1]


PLOT = "%%component plot after base\nimport matplotlib.pyplot as plt\n_ = plt.plot([1, 2])"


@pytest.mark.parametrize(
    "commands",
    [
        [  # two at once, so that both go to worker processes
            "%orvane autorun off",
            PLOT,
            "%%component beside after base\n1",
            "%orvane autorun on",
            "%orvane run plot beside --parallel",
        ],
        ["%orvane run plot"],  # from the cache
        ["%orvane clear plot", "%orvane run plot"],  # in the kernel itself
    ],
    ids=["in a worker", "from the cache", "in the kernel"],
)
def test_a_figure_is_shown_as_an_image_wherever_the_cell_ran(client, commands):
    for command in commands:
        _, messages = run_in_kernel(client, command)
    plot = _ids(client)["plot"]
    images = [
        m
        for m in messages
        if m["msg_type"] == "display_data"
        and "image/png" in m["content"]["data"]
        and m["content"]["metadata"].get("component_id") == plot
    ]
    assert len(images) == 1


def test_components_run_and_are_reported_in_the_order_asked_for(client):
    run_in_kernel(client, "%orvane autorun off")
    for name in ("first", "second"):
        run_in_kernel(client, f"%%component {name}\nprint('{name} ran')")
    run_in_kernel(client, "%orvane autorun on")
    _, messages = run_in_kernel(
        client,
        "import sys\nreport = fe.current_session().run(['second', 'first'])\n"
        "print(report.ran, list(report.reasons))\n"
        "print('networkx' in sys.modules)",  # the front end's own graph work does not need it
    )
    text = _texts(messages)
    assert text.index("second ran") < text.index("first ran")
    assert "['second', 'first'] ['second', 'first']\nFalse" in text


def test_a_removed_or_renamed_component_leaves_the_pipeline(client):
    def run_cell(code, cell_id):
        # As JupyterLab sends it: the request's metadata names the notebook cell.
        msg = client.session.msg(
            "execute_request",
            {
                "code": code,
                "silent": False,
                "store_history": True,
                "user_expressions": {},
                "allow_stdin": False,
                "stop_on_error": True,
            },
            metadata={"cellId": cell_id},
        )
        client.shell_channel.send(msg)
        while (
            client.get_shell_msg(timeout=60)["parent_header"].get("msg_id")
            != msg["header"]["msg_id"]
        ):
            pass

    run_cell("%%component old_name after base\n1", "cell-7")
    run_cell("%%component new_name after base\n1", "cell-7")
    run_in_kernel(client, "%orvane remove liner")
    _, messages = run_in_kernel(client, "%orvane status")
    status = _texts(messages)
    assert "new_name" in status and "old_name" not in status and "liner" not in status


def test_finished_disk_writes_show_as_cached_without_another_run(client):
    run_in_kernel(client, "%orvane show")
    run_in_kernel(client, "%%component written after base\nlist(range(1000))")
    time.sleep(2)  # the kernel is idle meanwhile
    _, messages = run_in_kernel(client, "%orvane status")
    assert re.search(r"written\s+successful\s+on disk", _texts(messages))


def test_a_display_updated_in_place_is_kept_in_its_last_state(client):
    code = (
        "from IPython.display import display\nh = display('one', display_id=True)\nh.update('two')"
    )
    _, messages = run_in_kernel(client, "%%component updated after base\n" + code)
    assert "update_display_data" in [m["msg_type"] for m in messages]  # live, in place
    _, messages = run_in_kernel(client, "%orvane run updated")  # from the cache
    assert _values(messages) == ["'two'"]


@pytest.mark.timeout(120)
def test_a_shown_view_lists_the_components_declared_with_autorun_off():
    with running_kernel() as (_, client):
        run_in_kernel(client, "%load_ext orvane_core\n%orvane autorun off\n%orvane show")
        run_in_kernel(client, "%%component top\nx = 1")
        _, messages = run_in_kernel(client, "%%component low after top\ny = x")
        _, removed = run_in_kernel(client, "%orvane remove low")
        run_in_kernel(client, "%orvane run top")
        _, late = run_in_kernel(client, "%%component late after top\nz = x")

    def views(messages):
        return [
            m["content"]["data"]["text/html"]
            for m in messages
            if "orvane-pipeline" in m["content"].get("data", {}).get("text/html", "")
        ]

    shown = [html.unescape(view) for view in views(messages + removed)]
    assert 'data-component="low"' in shown[-2] and "top \u2192 low: after" in shown[-2]
    assert 'data-component="top"' in shown[-1] and 'data-component="low"' not in shown[-1]
    # Declared only, before and once the pipeline exists: the hover says why it will run.
    for name, view in [("low", shown[-2]), ("late", views(late)[-1])]:
        assert f"{name}: not run yet, not on disk; will run: it never ran</title>" in view
