"""Running a component synchronously and in a worker pool, and the error banner it records."""

from __future__ import annotations

import multiprocessing
import multiprocessing.pool
import pickle
import sys
import threading
import traceback

import cloudpickle
import pytest

import orvane_core.executors
from orvane_core.components.vostrel import EXC_LINE_LENGTH, EXC_TRACEBACK
from orvane_core.executors import OrvaneComponentExecutor
from orvane_core.misc import OrvaneComponentStatus as S
from orvane_core.misc import OrvanePipelineError
from orvane_core.misc.models import (
    OrvaneComponentInOutModel,
    OrvaneComponentRemoteConfigModel,
    OrvaneExecutionRequestModel,
)
from tests.components import doubles

RED, RESET = "\x1b[0;31m", "\x1b[0m"
RULE = RED + "-" * EXC_LINE_LENGTH + RESET
REMOTE = OrvaneComponentRemoteConfigModel(backend="redis://b", broker="redis://q")
# Nothing listens on port 1: the real remote executor finds no broker there.
UNREACHABLE = OrvaneComponentRemoteConfigModel(backend=None, broker="redis://127.0.0.1:1/0")
UNREACHABLE_MESSAGE = "Cannot reach the broker at redis://127.0.0.1:1/0: "
USER_WARNINGS_SHOWN = pytest.mark.filterwarnings("default::UserWarning")


def stdout_entry(text):
    return {"type": "stream", "name": "<stdout>", "text": text}


def stderr_entry(text):
    return {"type": "stream", "name": "<stderr>", "text": text}


def stderr_text(component):
    return "".join(e["text"] for e in component.captured.outputs if e["name"] == "<stderr>")


# ---- synchronous runs ----


def test_successful_run_records_inputs_imports_outputs(make_component, shell):
    component = make_component(code="import json\ny = x * 2 + p\nprint('hi')\ny + 1")
    statements = {
        "np": "importlib.import_module('math')",
        "os.path": "importlib.import_module('os.path')",
    }
    result = component.execute(
        module_statements=statements,
        non_module_inputs={"x": 4, "z": 0},
        parameters={"p": 1},
        shell=shell,
    )
    assert result == 10 and component.last_output == 10
    assert component.status is S.SUCCESSFUL and component.success_count == 1
    io = component.in_and_out
    assert io.inputs == ["x", "z"]
    assert io.imports == [
        "np = importlib.import_module('math')",
        "importlib.import_module('os.path')",
    ]
    assert io.outputs == ["y"]
    assert io.summary is component.outputs_summary
    assert [v.name for v in io.summary.variables] == ["y"]
    assert component.module_statements["json"] == "importlib.import_module('json')"
    assert component.captured.outputs == [stdout_entry("hi\n")]
    assert "y" not in shell.user_ns  # the run has a namespace of its own


def test_the_cell_reaches_the_given_shell_and_inherited_imports(make_component, shell):
    component = make_component(code="(get_ipython() is shell_marker(), np.sqrt(16), os.sep)")
    shell.user_ns["marker"] = object()
    result = component.execute(
        module_statements={
            "np": "importlib.import_module('math')",
            "os": "importlib.import_module('os')",
        },
        non_module_inputs={"shell_marker": lambda: shell},
        shell=shell,
    )
    assert result == (True, 4.0, "/")
    assert "marker" in shell.user_ns  # the user's namespace is back once the cell has run


def test_missing_mappings_count_as_empty(make_component, shell):
    component = make_component(code="1 + 1")
    assert component.execute(module_statements=None, non_module_inputs=None, shell=shell) == 2
    assert component.in_and_out.inputs == [] and component.in_and_out.imports == []
    assert component.in_and_out.outputs == [] and component.module_statements == {}


def test_imports_reach_a_child_through_outputs(make_component, shell):
    parent = make_component(code="import json\nv = [1, 2]")
    parent.execute(shell=shell)
    assert parent.module_statements == {"json": "importlib.import_module('json')"}
    assert parent.outputs["json"].__name__ == "json" and parent.outputs["v"] == [1, 2]
    child = make_component(code="json.dumps(v)")
    assert (
        child.execute(
            module_statements=parent.module_statements,
            non_module_inputs=parent.non_module_outputs,
            shell=shell,
        )
        == "[1, 2]"
    )
    assert child.in_and_out.imports == ["json = importlib.import_module('json')"]
    assert child.in_and_out.outputs == []


@pytest.mark.parametrize(
    ("code", "expected"),
    [
        (
            "import sys\nsys.stderr.write('careful\\n')\n1",
            [stderr_entry("careful\n")],
        ),
        (
            "import sys\nprint('out')\nsys.stderr.write('careful\\n')\n1",
            [stdout_entry("out\n"), stderr_entry("careful\n")],
        ),
        pytest.param(
            "import warnings\nwarnings.warn('careful')\n1",
            [("<stderr>", "UserWarning: careful")],
            marks=USER_WARNINGS_SHOWN,
        ),
        pytest.param(
            "import warnings\nprint('out')\nwarnings.warn('careful')\n1",
            [stdout_entry("out\n"), ("<stderr>", "UserWarning: careful")],
            marks=USER_WARNINGS_SHOWN,
        ),
    ],
)
def test_warnings_on_stderr_count_as_success_with_one_more_entry(
    make_component, shell, code, expected
):
    component = make_component(code=code)
    assert component.execute(shell=shell) == 1
    assert component.status is S.SUCCESSFUL and component.success_count == 1
    outputs = component.captured.outputs
    assert len(outputs) == len(expected)
    for entry, want in zip(outputs, expected, strict=True):
        if isinstance(want, tuple):  # the warning's text carries a file name and line
            assert entry["name"] == want[0] and want[1] in entry["text"]
        else:
            assert entry == want


@pytest.mark.parametrize(
    ("code", "error", "text", "written"),
    [
        ("a = 1\nraise ValueError('bad input')", "ValueError", "bad input", ""),
        ("print('before')\n{}['k']", "KeyError", "'k'", "before\n"),
        ("def broken(:\n    pass", "SyntaxError", "invalid syntax (<cell c0>, line 1)", ""),
    ],
)
def test_failed_run_records_the_executor_message(make_component, shell, code, error, text, written):
    component = make_component(code=code, ident="c0")
    component.last_output = "stale"
    assert component.execute(non_module_inputs={"q": 1}, shell=shell) is None
    assert component.status is S.FAILED and component.success_count == 0
    assert component.in_and_out == OrvaneComponentInOutModel()
    assert component.last_output is None and component.non_module_outputs == {}
    exception = component.exception
    assert isinstance(exception, OrvanePipelineError)
    lines = exception.picked_stb
    assert lines[1].startswith(RED + error + RESET)
    assert 'File "<cell c0>"' in lines[2]  # the request named the component
    assert lines[3] == RED + "OrvanePipelineError" + RESET + ": " + text
    # What the cell wrote before failing comes first, then the banner.
    assert component.captured.outputs == [stderr_entry(written + "\n".join(lines))]


def test_remote_run_uses_the_remote_executor(make_component, remote_double):
    component = make_component(code="x = 3\nx")
    component.remote_config = REMOTE
    assert component.execute() == 3
    [remote] = remote_double.created
    assert (remote.backend, remote.broker, remote.identifier) == (
        "redis://b",
        "redis://q",
        component.id,
    )


def test_unreachable_remote_fails_with_a_banner(make_component):
    component = make_component(code="1")
    component.remote_config = UNREACHABLE
    assert component.execute() is None
    assert component.status is S.FAILED
    lines = component.exception_msg
    assert lines[1].startswith(RED + "RuntimeError" + RESET)
    assert lines[3].startswith(
        RED + "OrvanePipelineError" + RESET
        + ": An error occurred creating OrvaneRemoteComponentExecutor: " + UNREACHABLE_MESSAGE
    )  # fmt: skip
    assert component.captured.outputs == [stderr_entry("\n".join(lines))]


@pytest.mark.parametrize("ping", [(True,), (True, "", "extra"), ()])
def test_ping_must_give_two_values(make_component, remote_double, ping):
    remote_double.reachable = ping
    component = make_component()
    component.remote_config = REMOTE
    with pytest.raises(ValueError, match="values to unpack"):
        component.execute()
    assert component.status is S.RUNNING


def test_executor_errors_propagate_with_component_running(make_component, monkeypatch):
    class Broken:  # the real executor never fails while being built
        def __init__(self, identifier=None, name=None):
            raise OSError("no shell")

    monkeypatch.setattr(orvane_core.executors, "OrvaneComponentExecutor", Broken)
    component = make_component()
    with pytest.raises(OSError, match="no shell"):
        component.execute(non_module_inputs={"a": 1})
    assert component.status is S.RUNNING and component.in_and_out.inputs == ["a"]


# ---- the error banner ----


class ShortError(Exception):
    pass


class AVeryLongExceptionClassNameThatFillsAll42X(Exception):  # 42 characters
    pass


@pytest.mark.parametrize(
    ("exc_class", "blanks"),
    [
        (ValueError, 32),
        (ShortError, 32),
        (KeyError, 34),
        (AVeryLongExceptionClassNameThatFillsAll42X, 0),
    ],
)
def test_banner_layout(make_component, exc_class, blanks):
    component = make_component()
    try:
        raise exc_class("what went wrong")
    except exc_class as exc:
        component.handle_error(exc)
        expected_trace = "".join(traceback.format_exception(*sys.exc_info())[1:-1])
    name = exc_class.__name__
    lines = component.exception_msg
    assert len(lines) == 4
    assert lines[0] == RULE
    assert lines[1] == RED + name + RESET + " " * blanks + EXC_TRACEBACK
    assert lines[2] == RESET + expected_trace + RESET
    assert "test_banner_layout" in lines[2]
    text = str(exc_class("what went wrong"))
    assert lines[3] == RED + "OrvanePipelineError" + RESET + ": " + text
    assert component.status is S.FAILED
    assert component.captured.outputs == [stderr_entry("\n".join(lines))]


def test_banner_for_an_interrupt(make_component):
    component = make_component(name="Load data")
    try:
        raise KeyboardInterrupt
    except KeyboardInterrupt as exc:
        component.handle_error(exc)
    lines = component.exception_msg
    assert lines[1] == RED + "KeyboardInterrupt" + RESET + " " * 25 + EXC_TRACEBACK
    assert (
        lines[3] == RED + "OrvanePipelineError" + RESET + ": Interrupted at component 'Load data'"
    )


def test_banner_of_a_chained_error_keeps_the_cause(make_component):
    component = make_component()
    try:
        try:
            {}["missing"]
        except KeyError as inner:
            raise RuntimeError("outer") from inner
    except RuntimeError as exc:
        component.handle_error(exc)
    assert "KeyError: 'missing'" in component.exception_msg[2]
    assert "direct cause" in component.exception_msg[2]


def test_banner_is_built_from_the_exception_outside_a_handler(make_component):
    component = make_component()
    try:
        raise ValueError("raised earlier")
    except ValueError as exc:
        caught = exc
    assert sys.exc_info()[0] is None
    component.handle_error(caught)
    lines = component.exception_msg
    assert lines[1].startswith(RED + "ValueError" + RESET)
    assert 'raise ValueError("raised earlier")' in lines[2]
    assert not lines[2].startswith(RESET + "Traceback")
    assert lines[3].endswith(": raised earlier")

    component.handle_error(TypeError("never raised"))
    assert component.exception_msg[2] == RESET + RESET
    assert component.exception_msg[3].endswith(": never raised")


def test_handle_error_never_raises(make_component):
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    component = make_component()
    component.handle_error(Unprintable())
    assert component.status is S.FAILED
    assert component.exception_msg[3].endswith(": <unprintable Unprintable object>")
    component.handle_error("not an exception")
    assert component.status is S.FAILED


def test_non_ascii_text_in_the_banner(make_component):
    component = make_component()
    component.handle_error(ValueError("Größe ✓ \udcff"))
    assert component.exception_msg[3].endswith(": Größe ✓ \udcff")


@pytest.mark.parametrize(
    ("code", "last", "closing"),
    [
        (
            "e = ValueError('bad')\ne.add_note('first\\nline')\ne.add_note('second')\nraise e",
            ": bad\nfirst\nline\nsecond",
            "first",
        ),
        ("raise ValueError('bad')", ": bad", "ValueError: bad"),
        ("x y", ": invalid syntax", "SyntaxError:"),
    ],
)
def test_the_executor_and_the_component_make_one_banner(make_component, code, last, closing):
    request = OrvaneExecutionRequestModel(
        identifier="c1", name="c1", cell_code=code, module_statements={}, non_module_inputs={}
    )
    executed = OrvaneComponentExecutor(identifier="c1", name="c1").execute(request).result
    component = make_component()
    try:
        exec(compile(code, "<cell c1>", "exec"), {})
    except Exception as exc:
        component.handle_error(exc)
    for banner in (executed.exception_msg, component.exception_msg):
        assert banner[3].startswith(RED + "OrvanePipelineError" + RESET + last)
        assert closing not in banner[2]
    assert executed.exception_msg[3] == component.exception_msg[3]


# ---- runs in a worker pool ----


class RecordingPool(multiprocessing.pool.Pool):
    """A real worker pool that also keeps what it was asked to run."""

    def __init__(self):
        self.calls = []
        super().__init__(2, context=multiprocessing.get_context("fork"))

    def apply_async(self, *args, **kwargs):
        self.calls.append(kwargs)
        return super().apply_async(*args, **kwargs)


@pytest.fixture
def pool():
    with RecordingPool() as p:
        yield p


def run_async(component, pool, **kwargs):
    handle = component.execute_async(pool, **kwargs)
    handle.wait(60)
    assert handle.ready()
    return handle


def test_async_submission_hands_the_executor_and_serialized_request(make_component, pool):
    component = make_component(code="a * 2")
    handle = component.execute_async(pool, non_module_inputs={"a": 1})
    assert component.status is S.RUNNING and component.in_and_out.inputs == ["a"]
    [call] = pool.calls
    func = call["func"]
    assert func.__name__ == "execute_with_serialized"
    assert isinstance(func.__self__, OrvaneComponentExecutor)
    assert func.__self__.identifier == component.id
    [request] = call["args"]
    assert isinstance(call["args"], tuple) and isinstance(request, bytes)
    assert pickle.loads(request).non_module_inputs == {"a": 1}
    assert call["callback"] == component._execute_async_result
    assert call["error_callback"] == component.handle_error
    handle.wait(60)
    assert component.status is S.SUCCESSFUL and component.last_output == 2


@pytest.mark.parametrize(
    ("reachable", "message"),
    [
        (None, UNREACHABLE_MESSAGE),  # the real remote executor, with no broker listening
        ((False, 503), "503"),
    ],
)
def test_async_with_unreachable_remote_raises_and_submits_nothing(
    make_component, pool, request, reachable, message
):
    if reachable is not None:
        request.getfixturevalue("remote_double").reachable = reachable
    component = make_component()
    component.remote_config = REMOTE if reachable is not None else UNREACHABLE
    with pytest.raises(RuntimeError) as info:
        component.execute_async(process_pool=pool)
    assert str(info.value).startswith(
        "An error occurred creating OrvaneRemoteComponentExecutor: " + message
    )
    assert component.status is S.FAILED and pool.calls == []


def test_async_remote_submits_the_remote_execute(make_component, remote_double, pool):
    component = make_component(code="5")
    component.remote_config = REMOTE
    run_async(component, pool)
    func = pool.calls[0]["func"]
    assert func.__name__ == "execute" and isinstance(func.__self__, remote_double)
    assert component.status is S.SUCCESSFUL and component.last_output == 5


@USER_WARNINGS_SHOWN
def test_async_success_partial_and_failure_in_real_workers(make_component, pool):
    ok = make_component(code="import math\nr = math.sqrt(x)\nr")
    warn = make_component(code="import sys\nsys.stderr.write('w')\n5")
    warned = make_component(code="import warnings\nwarnings.warn('careful')\n6")
    bad = make_component(code="1 / 0")
    handles = [
        ok.execute_async(pool, module_statements={}, non_module_inputs={"x": 16}),
        warn.execute_async(pool),
        warned.execute_async(pool),
        bad.execute_async(pool),
    ]
    for handle in handles:
        handle.wait(60)
    assert ok.status is S.SUCCESSFUL and ok.last_output == 4.0 and ok.success_count == 1
    assert ok.in_and_out.outputs == ["r"] and ok.in_and_out.inputs == ["x"]
    assert ok.outputs["math"].__name__ == "math"
    assert warn.status is S.SUCCESSFUL and warn.captured.outputs == [stderr_entry("w")]
    assert warned.status is S.SUCCESSFUL and warned.last_output == 6
    assert "UserWarning: careful" in stderr_text(warned)
    assert bad.status is S.FAILED and bad.in_and_out == OrvaneComponentInOutModel()
    assert bad.exception.picked_stb[1].startswith(RED + "ZeroDivisionError" + RESET)
    assert bad.exception.picked_stb[3].endswith(": division by zero")
    assert bad.captured.outputs[0]["name"] == "<stderr>"


def test_large_outputs_cross_the_process_boundary(make_component, pool):
    component = make_component(code="blob = b'x' * (32 * 1024 * 1024)\nlen(blob)")
    run_async(component, pool)
    assert component.status is S.SUCCESSFUL
    assert (
        component.last_output == 32 * 1024 * 1024
        and len(component.non_module_outputs["blob"]) == 32 * 1024 * 1024
    )


def test_unpicklable_output_is_dropped_with_a_note_and_the_pool_keeps_working(make_component, pool):
    broken = make_component(code="import threading\nlock = threading.Lock()\nkept = 1")
    run_async(broken, pool)
    assert broken.status is S.SUCCESSFUL
    assert broken.non_module_outputs == {"kept": 1}
    assert [v.name for v in broken.outputs_summary.variables] == ["kept"]
    assert "Variable 'lock'" in stderr_text(broken)
    after = make_component(code="7")
    run_async(after, pool)
    assert after.status is S.SUCCESSFUL and after.last_output == 7


def test_worker_exception_fails_with_a_banner(make_component, pool, monkeypatch):
    # The real executor turns every failure into a response; only a double raises in the worker.
    monkeypatch.setattr(orvane_core.executors, "OrvaneComponentExecutor", doubles.CrashingExecutor)
    component = make_component(code="1")
    component.in_and_out = OrvaneComponentInOutModel(outputs=["old"])
    run_async(component, pool)
    assert component.status is S.FAILED
    assert component.in_and_out == OrvaneComponentInOutModel()
    assert component.exception_msg[1].startswith(RED + "RuntimeError" + RESET)
    assert component.exception_msg[3].endswith(": worker crashed")


BOMB = """
class Bomb:
    def __reduce__(self):
        return (int, ("not a number",))

bomb = Bomb()
"""


def test_bad_completion_is_recorded_and_the_pool_keeps_working(make_component, pool):
    # The worker pickles the value fine; reading it back in this process raises.
    junk = make_component(code=BOMB)
    run_async(junk, pool)
    assert junk.status is S.FAILED and junk.exception_msg is not None
    assert "not a number" in junk.exception_msg[3]
    assert junk.last_output is None
    later = make_component(code="8")
    run_async(later, pool)
    assert later.status is S.SUCCESSFUL and later.last_output == 8
    assert junk._execute_async_result(object()) is None


def test_completion_on_another_thread_publishes_status_last(make_component):
    component = make_component(code="v = 1\nv")
    component.status = S.RUNNING
    seen = []

    def watch():
        while component.status is S.RUNNING:
            pass
        seen.append((component.last_output, component.in_and_out.outputs))

    watcher = threading.Thread(target=watch)
    watcher.start()
    request = OrvaneExecutionRequestModel(identifier="x", cell_code="v = 1\nv")
    response = OrvaneComponentExecutor("x").execute_with_serialized(cloudpickle.dumps(request))
    component._execute_async_result(response)
    watcher.join(10)
    assert seen == [(1, ["v"])]
