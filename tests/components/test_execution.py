"""Running a component synchronously and in a worker pool, and the error banner it records."""

from __future__ import annotations

import multiprocessing
import pickle
import sys
import threading
import traceback

import pytest

from orvane_core.components.vostrel import EXC_LINE_LENGTH, EXC_TRACEBACK
from orvane_core.misc import OrvaneComponentStatus as S
from orvane_core.misc import OrvanePipelineError
from orvane_core.misc.models import (
    OrvaneComponentInOutModel,
    OrvaneComponentRemoteConfigModel,
    OrvaneExecutionRequestModel,
)
from tests.components.conftest import needs_real_executor

RED, RESET = "\x1b[0;31m", "\x1b[0m"
RULE = RED + "-" * EXC_LINE_LENGTH + RESET
REMOTE = OrvaneComponentRemoteConfigModel(backend="redis://b", broker="redis://q")


def stderr_entry(text):
    return {"type": "stream", "name": "<stderr>", "text": text}


# ---- synchronous runs ----


def test_successful_run_records_inputs_imports_outputs(make_component, executor_double, shell):
    component = make_component(code="import json\ny = x * 2\nprint('hi')\ny + 1")
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
    assert result == 9 and component.last_output == 9
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
    ident, request, passed_shell = executor_double.LocalExecutorDouble.calls[-1]
    assert ident == component.id and passed_shell is shell
    assert isinstance(request, OrvaneExecutionRequestModel)
    assert (request.identifier, request.name, request.cell_code) == (
        component.id,
        "comp",
        component.cell_code,
    )
    assert request.module_statements is statements and request.parameters == {"p": 1}
    assert component.captured.outputs == [{"type": "stream", "name": "<stdout>", "text": "hi\n"}]


def test_missing_mappings_count_as_empty(make_component, executor_double):
    component = make_component(code="1 + 1")
    assert component.execute(module_statements=None, non_module_inputs=None) == 2
    assert component.in_and_out.inputs == [] and component.in_and_out.imports == []
    request = executor_double.LocalExecutorDouble.calls[-1][1]
    assert request.module_statements == {} and request.non_module_inputs == {}


def test_imports_reach_a_child_through_outputs(make_component, executor_double):
    parent = make_component(code="import json\nv = [1, 2]")
    parent.execute()
    assert parent.module_statements == {"json": "importlib.import_module('json')"}
    assert parent.outputs["json"].__name__ == "json" and parent.outputs["v"] == [1, 2]
    child = make_component(code="json.dumps(v)")
    assert (
        child.execute(
            module_statements=parent.module_statements, non_module_inputs=parent.non_module_outputs
        )
        == "[1, 2]"
    )
    assert child.in_and_out.imports == ["json = importlib.import_module('json')"]


@pytest.mark.parametrize(
    ("code", "expected"),
    [
        (
            "import sys\nsys.stderr.write('careful\\n')\n1",
            [stderr_entry("careful\n")],
        ),
        (
            "import sys\nprint('out')\nsys.stderr.write('careful\\n')\n1",
            [{"type": "stream", "name": "<stdout>", "text": "out\n"}, stderr_entry("careful\n")],
        ),
    ],
)
def test_warnings_on_stderr_count_as_success_with_one_more_entry(
    make_component, executor_double, code, expected
):
    component = make_component(code=code)
    assert component.execute() == 1
    assert component.status is S.SUCCESSFUL
    assert component.captured.outputs == expected


def test_failed_run_records_the_executor_message(make_component, executor_double):
    component = make_component(code="a = 1\nraise ValueError('bad input')")
    component.last_output = "stale"
    assert component.execute(non_module_inputs={"q": 1}) is None
    assert component.status is S.FAILED and component.success_count == 0
    assert component.in_and_out == OrvaneComponentInOutModel()
    assert component.last_output is None and component.non_module_outputs == {}
    error = component.exception
    assert isinstance(error, OrvanePipelineError)
    assert error.picked_stb[-1] == "ValueError: bad input\n"
    [entry] = component.captured.outputs
    assert entry["name"] == "<stderr>" and "bad input" in entry["text"]


def test_remote_run_uses_the_remote_executor(make_component, executor_double):
    component = make_component(code="x = 3\nx")
    component.remote_config = REMOTE
    assert component.execute() == 3
    [remote] = executor_double.RemoteExecutorDouble.created
    assert (remote.backend, remote.broker, remote.identifier) == (
        "redis://b",
        "redis://q",
        component.id,
    )
    assert executor_double.LocalExecutorDouble.calls == []


def test_unreachable_remote_fails_with_a_banner(make_component, executor_double):
    executor_double.RemoteExecutorDouble.reachable = (False, "broker down")
    component = make_component(code="1")
    component.remote_config = REMOTE
    assert component.execute() is None
    assert component.status is S.FAILED
    lines = component.exception_msg
    assert lines[1].startswith(RED + "RuntimeError" + RESET)
    assert lines[3] == (
        RED + "OrvanePipelineError" + RESET
        + ": An error occurred creating OrvaneRemoteComponentExecutor: broker down"
    )  # fmt: skip
    assert component.captured.outputs == [stderr_entry("\n".join(lines))]


@pytest.mark.parametrize("ping", [(True,), (True, "", "extra"), ()])
def test_ping_must_give_two_values(make_component, executor_double, ping):
    executor_double.RemoteExecutorDouble.reachable = ping
    component = make_component()
    component.remote_config = REMOTE
    with pytest.raises(ValueError, match="values to unpack"):
        component.execute()
    assert component.status is S.RUNNING


def test_executor_errors_propagate_with_component_running(make_component, monkeypatch):
    import orvane_core.executors

    class Broken:
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
    component.handle_error("not an exception")
    assert component.status is S.FAILED


def test_non_ascii_text_in_the_banner(make_component):
    component = make_component()
    component.handle_error(ValueError("Größe ✓ \udcff"))
    assert component.exception_msg[3].endswith(": Größe ✓ \udcff")


# ---- runs in a worker pool ----


class RecordingPool:
    def __init__(self):
        self.calls = []

    def apply_async(self, **kwargs):
        self.calls.append(kwargs)
        return "handle"


def test_async_submission_hands_the_executor_and_serialized_request(
    make_component, executor_double
):
    component = make_component(code="1")
    pool = RecordingPool()
    assert component.execute_async(pool, non_module_inputs={"a": 1}) == "handle"
    assert component.status is S.RUNNING and component.in_and_out.inputs == ["a"]
    [call] = pool.calls
    func = call["func"]
    assert func.__name__ == "execute_with_serialized"
    assert isinstance(func.__self__, executor_double.LocalExecutorDouble)
    [request] = call["args"]
    assert isinstance(call["args"], tuple) and isinstance(request, bytes)
    assert pickle.loads(request).non_module_inputs == {"a": 1}
    assert call["callback"] == component._execute_async_result
    assert call["error_callback"] == component.handle_error


def test_async_with_unreachable_remote_raises_and_submits_nothing(make_component, executor_double):
    executor_double.RemoteExecutorDouble.reachable = (False, 503)
    component = make_component()
    component.remote_config = REMOTE
    pool = RecordingPool()
    with pytest.raises(RuntimeError) as info:
        component.execute_async(process_pool=pool)
    assert str(info.value) == "An error occurred creating OrvaneRemoteComponentExecutor: 503"
    assert component.status is S.FAILED and pool.calls == []


def test_async_remote_submits_the_remote_execute(make_component, executor_double):
    component = make_component()
    component.remote_config = REMOTE
    pool = RecordingPool()
    component.execute_async(pool)
    func = pool.calls[0]["func"]
    assert func.__name__ == "execute" and isinstance(
        func.__self__, executor_double.RemoteExecutorDouble
    )


@pytest.fixture
def pool():
    with multiprocessing.get_context("fork").Pool(2) as p:
        yield p


def run_async(component, pool, **kwargs):
    handle = component.execute_async(pool, **kwargs)
    handle.wait(60)
    assert handle.ready()
    return handle


def test_async_success_partial_and_failure_in_real_workers(make_component, executor_double, pool):
    ok = make_component(code="import math\nr = math.sqrt(x)\nr")
    warn = make_component(code="import sys\nsys.stderr.write('w')\n5")
    bad = make_component(code="1 / 0")
    handles = [
        ok.execute_async(pool, module_statements={}, non_module_inputs={"x": 16}),
        warn.execute_async(pool),
        bad.execute_async(pool),
    ]
    for handle in handles:
        handle.wait(60)
    assert ok.status is S.SUCCESSFUL and ok.last_output == 4.0 and ok.success_count == 1
    assert ok.in_and_out.outputs == ["r"] and ok.in_and_out.inputs == ["x"]
    assert ok.outputs["math"].__name__ == "math"
    assert warn.status is S.SUCCESSFUL and warn.captured.outputs == [stderr_entry("w")]
    assert bad.status is S.FAILED and bad.in_and_out == OrvaneComponentInOutModel()
    assert bad.exception.picked_stb[-1] == "ZeroDivisionError: division by zero\n"
    assert bad.captured.outputs[0]["name"] == "<stderr>"


def test_large_outputs_cross_the_process_boundary(make_component, executor_double, pool):
    component = make_component(code="blob = b'x' * (32 * 1024 * 1024)\nlen(blob)")
    run_async(component, pool)
    assert component.status is S.SUCCESSFUL
    assert (
        component.last_output == 32 * 1024 * 1024
        and len(component.non_module_outputs["blob"]) == 32 * 1024 * 1024
    )


def test_unpicklable_output_fails_the_component_not_the_pool(make_component, executor_double, pool):
    broken = make_component(code="import threading\nlock = threading.Lock()")
    run_async(broken, pool)
    assert broken.status is S.FAILED
    assert "lock" in broken.exception_msg[3]
    after = make_component(code="7")
    run_async(after, pool)
    assert after.status is S.SUCCESSFUL and after.last_output == 7


def test_worker_exception_fails_with_a_banner(make_component, executor_double, pool):
    component = make_component(code="#crash-worker")
    component.in_and_out = OrvaneComponentInOutModel(outputs=["old"])
    run_async(component, pool)
    assert component.status is S.FAILED
    assert component.in_and_out == OrvaneComponentInOutModel()
    assert component.exception_msg[1].startswith(RED + "RuntimeError" + RESET)
    assert component.exception_msg[3].endswith(": worker crashed")


def test_bad_completion_is_recorded_and_the_pool_keeps_working(
    make_component, executor_double, pool
):
    junk = make_component(code="#junk-response")
    run_async(junk, pool)
    assert junk.status is S.FAILED and junk.exception_msg is not None
    assert junk.last_output is None
    later = make_component(code="8")
    run_async(later, pool)
    assert later.status is S.SUCCESSFUL and later.last_output == 8
    assert junk._execute_async_result(object()) is None


def test_completion_on_another_thread_publishes_status_last(make_component, executor_double):
    import cloudpickle

    from tests.components.doubles import run_cell

    component = make_component(code="v = 1\nv")
    component.status = S.RUNNING
    seen = []

    def watch():
        while component.status is S.RUNNING:
            pass
        seen.append((component.last_output, component.in_and_out.outputs))

    watcher = threading.Thread(target=watch)
    watcher.start()
    response = cloudpickle.dumps(
        run_cell(OrvaneExecutionRequestModel(identifier="x", cell_code="v = 1\nv"))
    )
    component._execute_async_result(response)
    watcher.join(10)
    assert seen == [(1, ["v"])]


# ---- the real executor, once it is built ----


@needs_real_executor
def test_real_executor_runs_in_the_shell(make_component, shell):
    component = make_component(code="value = 20\nvalue + 1")
    assert component.execute(module_statements={}, non_module_inputs={}, shell=shell) == 21
    assert component.status is S.SUCCESSFUL and "value" in component.in_and_out.outputs


@needs_real_executor
@pytest.mark.filterwarnings("default::UserWarning")
def test_real_executor_reports_failures_and_warnings(make_component, shell):
    failing = make_component(code="raise KeyError('k')")
    assert failing.execute(module_statements={}, non_module_inputs={}, shell=shell) is None
    assert failing.status is S.FAILED and failing.exception is not None
    warning = make_component(code="import warnings\nwarnings.warn('careful')\n3")
    assert warning.execute(module_statements={}, non_module_inputs={}, shell=shell) == 3
    assert warning.captured.outputs[-1]["name"] == "<stderr>"


@needs_real_executor
def test_real_executor_in_a_worker_pool(make_component, pool):
    component = make_component(code="n = 6\nn * 7")
    run_async(component, pool, module_statements={}, non_module_inputs={})
    assert component.status is S.SUCCESSFUL and component.last_output == 42
