"""The magics in a real kernel: declaring, running, parameters and short errors."""

import pytest

from tests.kernel import run_in_kernel, running_kernel

pytestmark = pytest.mark.kernel


@pytest.fixture(scope="module")
def client():
    with running_kernel() as (_, client):
        reply, _ = run_in_kernel(
            client,
            "%load_ext orvane_core\n"
            "import orvane_core.frontend as fe\n"
            "fe.current_session().configure(progress='none')",
        )
        assert reply["content"]["status"] == "ok"
        yield client


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


def test_parameters_are_set_shown_and_used(client):
    run_in_kernel(client, "%orvane set factor=3")
    run_in_kernel(client, "%%component scaled after base\nbase * factor")
    reply, messages = run_in_kernel(client, "%orvane run scaled")
    assert reply["content"]["status"] == "ok" and "6" in _texts(messages)
    _, messages = run_in_kernel(client, "%orvane params")
    assert "factor = 3  (int)" in _texts(messages)


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
        ("%orvane remove base", "OrvaneUsageError", "Cannot remove 'base'"),
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


def test_a_failed_component_shows_its_error_banner(client):
    _, messages = run_in_kernel(client, "%orvane run broken")
    assert "ZeroDivisionError" in _texts(messages)
