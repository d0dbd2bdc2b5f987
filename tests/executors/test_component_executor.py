"""The local executor run against a real IPython shell: outputs, imports, streams and failures."""

from __future__ import annotations

import importlib
import subprocess
import sys
from http import HTTPStatus

import cloudpickle
import numpy as np
import pytest

from orvane_core.executors import OrvaneComponentExecutor
from orvane_core.executors.component_executors.local import read_answer
from orvane_core.misc import OrvanePipelineError
from orvane_core.misc.models import OrvaneExecutionRequestModel

RED = "\x1b[0;31m"
RESET = "\x1b[0m"


def run(code, shell=None, statements=None, inputs=None, parameters=None, identifier="c1"):
    executor = OrvaneComponentExecutor(identifier=identifier, name=f"cell {identifier}")
    request = OrvaneExecutionRequestModel(
        identifier=identifier,
        name=f"cell {identifier}",
        cell_code=code,
        module_statements=statements or {},
        non_module_inputs=inputs or {},
        parameters=parameters,
    )
    return executor.execute(request=request, ipython_shell=shell)


def evaluate(statement):
    """What the component does with a module statement: evaluate it with importlib in scope."""
    return eval(statement, {"importlib": importlib})


# --- successful runs --------------------------------------------------------------------------


def test_outputs_last_expression_and_imports(shell):
    response = run("import json\nimport os.path as osp\nx = 2\nwords = ['a', 'b']\nx * 21", shell)
    assert response.status == HTTPStatus.OK
    result = response.result
    assert result.last_output == 42
    assert result.non_module_outputs == {"x": 2, "words": ["a", "b"]}
    assert evaluate(result.module_statements["json"]) is importlib.import_module("json")
    assert evaluate(result.module_statements["osp"]) is sys.modules["os"].path
    assert result.captured is None
    assert result.exception_msg is None
    assert response.message == ""


@pytest.mark.parametrize(
    ("code", "last"),
    [
        ("x = 1", None),
        ("x = 1\nx", 1),
        ("x = 1; x + 1", 2),
        ("if True:\n    y = 3\ny", 3),
        ("def f():\n    return 5\nf()", 5),
        ("for i in range(3):\n    i", None),
        ("", None),
        ("# only a comment", None),
        ("print('shown')", None),
    ],
)
def test_last_output_is_the_value_of_a_final_expression(shell, code, last):
    response = run(code, shell)
    assert response.status == HTTPStatus.OK
    assert response.result.last_output == last


def test_summary_describes_outputs_in_definition_order(shell):
    class BadShape:
        @property
        def shape(self):
            raise RuntimeError("no shape")

        def __len__(self):
            raise RuntimeError("no length")

    code = "b = arr\nlst = [1, 2, 3]\ntext = 'abc'\nodd = bad\nn = 7\ngen = (i for i in lst)"
    arr = np.zeros((2, 3), dtype=np.int64)
    response = run(code, shell, inputs={"arr": arr, "bad": BadShape()})
    variables = {v.name: v for v in response.result.outputs_summary.variables}
    assert list(variables) == ["b", "lst", "text", "odd", "n", "gen"]
    b = variables["b"]
    # Rebinding an input under a new name makes it an output: it is a new name of the cell.
    assert (b.type, b.shape, b.length, b.size) == ("ndarray", [2, 3], 2, 48)
    assert (variables["lst"].type, variables["lst"].shape, variables["lst"].length) == (
        "list",
        None,
        3,
    )
    assert variables["text"].length == 3
    assert variables["text"].size == sys.getsizeof("abc")
    odd = variables["odd"]
    assert odd.type.endswith("BadShape") and odd.shape is None and odd.length is None
    assert variables["n"].length is None
    assert variables["gen"].type == "generator" and variables["gen"].length is None


def test_inherited_values_and_parameters_are_visible_but_not_outputs(shell):
    data = [1, 2]
    response = run(
        "total = sum(data) * factor\ndata.append(3)\nlabel = name.upper()",
        shell,
        inputs={"data": data},
        parameters={"factor": 10, "name": "run"},
    )
    assert response.status == HTTPStatus.OK
    # Mutated in place keeps its identity, so it is not a new output of this cell.
    assert response.result.non_module_outputs == {"total": 30, "label": "RUN"}


def test_rebound_inputs_and_parameters_become_outputs(shell):
    response = run("x = x + 1\nfactor = 3", shell, inputs={"x": 1}, parameters={"factor": 2})
    assert response.result.non_module_outputs == {"x": 2, "factor": 3}


def test_imports_are_carried_to_children_and_grandchildren(shell):
    root = run("import json\nimport collections as col", shell, identifier="root")
    statements = root.result.module_statements
    child = run("payload = json.dumps({'a': 1})", shell, statements=statements, identifier="kid")
    assert child.status == HTTPStatus.OK
    assert child.result.non_module_outputs == {"payload": '{"a": 1}'}
    # The child did not import anything itself, yet passes its parent's imports on.
    assert child.result.module_statements == statements
    grandchild = run(
        "counts = col.Counter(json.loads(payload))",
        shell,
        statements=child.result.module_statements,
        inputs=child.result.non_module_outputs,
        identifier="grandkid",
    )
    assert grandchild.status == HTTPStatus.OK
    assert grandchild.result.non_module_outputs["counts"] == {"a": 1}


@pytest.mark.parametrize(
    ("code", "expected"),
    [
        # A module name rebound to a value is a value now; the child must not get the module.
        ("json = 'not a module'", {"col": "collections"}),
        ("del json", {"col": "collections"}),
        ("import pickle as json", {"json": "pickle", "col": "collections"}),
        ("pass", {"json": "json", "col": "collections"}),
    ],
)
def test_inherited_imports_follow_what_the_cell_did_with_them(shell, code, expected):
    statements = {
        "json": "importlib.import_module('json')",
        "col": "importlib.import_module('collections')",
    }
    response = run(code, shell, statements=statements)
    got = {k: evaluate(v).__name__ for k, v in response.result.module_statements.items()}
    assert got == expected


def test_a_module_without_an_import_name_travels_as_a_value(shell):
    response = run("import types\nm = types.ModuleType('made_up')\nm.v = 1", shell)
    assert "m" in response.result.non_module_outputs
    assert "m" not in response.result.module_statements


@pytest.mark.parametrize(
    "code",
    [
        "_ = 1",
        "__doc__ = 'x'",
        "__hidden__ = 1",
        "In = []\nOut = {}",
        "_i1 = 'x'\n_3 = 4\n__ = 1",
        "!true",
        "get_ipython = None",
    ],
)
def test_dunder_and_ipython_names_are_never_outputs(shell, code):
    response = run(code, shell)
    assert response.status == HTTPStatus.OK
    assert response.result.non_module_outputs == {}


# --- the user's namespace and the shell ---------------------------------------------------------


def test_runs_do_not_leak_into_the_users_namespace(shell):
    shell.user_ns["existing"] = "kept"
    before = dict(shell.user_ns)
    user_ns = shell.user_ns
    response = run(
        "leaked = 1\nexisting = 'changed'\n%time timed = leaked + 1\nfiles = !echo hi\ntimed",
        shell,
        inputs={"inp": 5},
        parameters={"param": 6},
    )
    assert response.status == HTTPStatus.OK
    assert response.result.last_output == 2
    assert shell.user_ns is user_ns
    assert shell.user_ns == before
    for name in ("leaked", "timed", "files", "inp", "param", "_exit_code"):
        assert name not in shell.user_ns


def test_magics_and_shell_commands_work(shell):
    response = run(
        "value = 21\n%time doubled = value * 2\nlisting = !echo $value\n!echo direct\ndoubled",
        shell,
    )
    assert response.status == HTTPStatus.OK
    assert response.result.last_output == 42
    assert list(response.result.non_module_outputs["listing"]) == ["21"]
    stdout = response.result.captured.text("<stdout>")
    assert "Wall time" in stdout
    assert "direct" in stdout


def test_magics_work_without_a_shell():
    response = run("%time x = 1\nout = !echo no-shell\nout[0]")
    assert response.status == HTTPStatus.OK
    assert response.result.last_output == "no-shell"


def test_functions_defined_in_a_cell_keep_working_after_the_run(shell):
    response = run("base = 10\ndef add(v):\n    return base + v", shell)
    add = response.result.non_module_outputs["add"]
    assert add(5) == 15
    assert "base" not in shell.user_ns


# --- captured streams ---------------------------------------------------------------------------


def test_stdout_only_is_ok_with_merged_entries(shell):
    response = run("print('a')\nprint('b', end='')\nimport sys\nsys.stdout.write('c')", shell)
    assert response.status == HTTPStatus.OK
    assert response.result.captured.outputs == [
        {"type": "stream", "name": "<stdout>", "text": "a\nbc"}
    ]


def test_stderr_output_makes_a_partial_success(shell):
    code = (
        "import sys\nprint('one')\nprint('oops', file=sys.stderr)\nprint('two')\n"
        "sys.stderr.write('again')\nvalue = 1"
    )
    response = run(code, shell)
    assert response.status == HTTPStatus.PARTIAL_CONTENT
    assert response.message == "oops\nagain"
    # The component adds the message as a stderr entry itself; only stdout is here.
    assert response.result.captured.outputs == [
        {"type": "stream", "name": "<stdout>", "text": "one\ntwo\n"}
    ]
    assert response.result.non_module_outputs == {"value": 1}


@pytest.mark.filterwarnings("default::UserWarning")
def test_warnings_go_to_stderr_as_a_partial_success(shell):
    response = run("import warnings\nwarnings.warn('careful now')\nx = 1", shell)
    assert response.status == HTTPStatus.PARTIAL_CONTENT
    assert "UserWarning: careful now" in response.message
    assert "<cell c1>:2" in response.message
    assert response.result.captured is None
    assert response.result.non_module_outputs == {"x": 1}


@pytest.mark.filterwarnings("default::UserWarning")
def test_warnings_the_user_silenced_stay_silent(shell):
    code = (
        "import warnings\nwith warnings.catch_warnings():\n"
        "    warnings.simplefilter('ignore')\n    warnings.warn('hidden')\nx = 1"
    )
    response = run(code, shell)
    assert response.status == HTTPStatus.OK
    assert response.message == ""


def test_streams_are_restored_after_every_kind_of_ending(shell):
    out, err, show = sys.stdout, sys.stderr, __import__("warnings").showwarning
    for code in ("x = 1", "raise ValueError('x')", "import sys\nsys.stdout = None"):
        run(code, shell)
        assert (sys.stdout, sys.stderr) == (out, err)
        assert __import__("warnings").showwarning is show
    with pytest.raises(KeyboardInterrupt):
        run("print('partial')\nraise KeyboardInterrupt", shell)
    assert (sys.stdout, sys.stderr) == (out, err)


def test_keyboard_interrupt_restores_the_users_namespace(shell):
    user_ns = shell.user_ns
    with pytest.raises(KeyboardInterrupt):
        run("get_ipython()\nraise KeyboardInterrupt", shell)
    assert shell.user_ns is user_ns


def test_system_exit_propagates_from_a_direct_run(shell):
    with pytest.raises(SystemExit):
        run("import sys\nsys.exit(3)", shell)


def test_output_from_other_threads_during_the_run_is_captured(shell):
    code = (
        "import threading\nt = threading.Thread(target=print, args=('from thread',))\n"
        "t.start(); t.join()"
    )
    response = run(code, shell)
    assert response.result.captured.text() == "from thread\n"


# --- failures -----------------------------------------------------------------------------------


def test_failure_banner_and_the_users_output_are_kept(shell):
    code = (
        "import sys\nprint('started')\nprint('warned', file=sys.stderr)\n"
        "def inner():\n    raise ValueError('bad value')\ninner()"
    )
    response = run(code, shell)
    assert response.status == HTTPStatus.INTERNAL_SERVER_ERROR
    banner = response.result.exception_msg
    assert len(banner) == 4
    assert banner[0] == RED + "-" * 75 + RESET
    assert banner[1] == RED + "ValueError" + RESET + " " * 32 + "Traceback (most recent call last)"
    assert banner[2].startswith(RESET) and banner[2].endswith(RESET)
    assert 'File "<cell c1>", line 6, in <module>' in banner[2]
    assert 'File "<cell c1>", line 5, in inner' in banner[2]
    assert "raise ValueError('bad value')" in banner[2]
    # Only the cell's frames: nothing of the executor, no header, no final exception line.
    assert "local.py" not in banner[2]
    assert "Traceback" not in banner[2]
    assert "ValueError: bad value" not in banner[2]
    assert banner[3] == RED + "OrvanePipelineError" + RESET + ": bad value"
    assert response.message == "started\nwarned\n" + "\n".join(banner)
    assert response.result.non_module_outputs == {}
    assert OrvanePipelineError(picked_stb=banner).picked_stb == banner


def test_output_without_a_final_newline_is_separated_from_the_banner(shell):
    response = run("print('partial', end='')\n1 / 0", shell)
    assert response.message.startswith("partial\n" + RED + "-" * 75)
    assert response.result.exception_msg[3].endswith(": division by zero")


@pytest.mark.parametrize(
    ("code", "name", "in_trace", "text"),
    [
        (
            "x = (\n",
            "SyntaxError",
            ['File "<cell c1>", line 1', "x = ("],
            "'(' was never closed (<cell c1>, line 1)",
        ),
        ("y = undefined_name", "NameError", ["line 1"], "name 'undefined_name' is not defined"),
        (
            "try:\n    1 / 0\nexcept ZeroDivisionError:\n    raise KeyError('k')",
            "KeyError",
            ["ZeroDivisionError: division by zero", "During handling of the above exception"],
            "'k'",
        ),
        (
            "e = ValueError('v')\ne.add_note('a hint')\nraise e",
            "ValueError",
            ["line 3"],
            "v\na hint",
        ),
        (
            "class E(Exception):\n    def __str__(self):\n        raise RuntimeError\nraise E()",
            "E",
            ["line 4"],
            "<unprintable E object>",
        ),
    ],
)
def test_failure_banners(shell, code, name, in_trace, text):
    response = run(code, shell)
    assert response.status == HTTPStatus.INTERNAL_SERVER_ERROR
    banner = response.result.exception_msg
    assert banner[1].startswith(RED + name + RESET)
    for piece in in_trace:
        assert piece in banner[2]
    assert banner[3] == RED + "OrvanePipelineError" + RESET + ": " + text
    assert "local.py" not in banner[2]


def test_an_inherited_import_that_fails_is_a_failed_run(shell):
    response = run("x = 1", shell, statements={"gone": "importlib.import_module('not_there_xyz')"})
    assert response.status == HTTPStatus.INTERNAL_SERVER_ERROR
    assert "No module named 'not_there_xyz'" in response.result.exception_msg[3]


def test_tracebacks_show_the_current_code_of_a_cell(shell):
    run("a = 1\nraise ValueError('old code')", shell)
    response = run("b = 2\nc = 3\nraise ValueError('new code')", shell)
    assert "raise ValueError('new code')" in response.result.exception_msg[2]


# --- request handling and serialisation ------------------------------------------------------


@pytest.mark.parametrize("request_value", [None, b"bytes", {"cell_code": "x = 1"}])
def test_anything_but_a_request_is_refused(request_value):
    executor = OrvaneComponentExecutor(identifier="c", name="c")
    with pytest.raises(TypeError, match="OrvaneExecutionRequestModel"):
        executor.execute(request=request_value)


def test_serialized_round_trip_keeps_functions_and_classes():
    executor = OrvaneComponentExecutor(identifier="c", name="c")
    request = OrvaneExecutionRequestModel(
        identifier="c",
        cell_code="k = 3\nclass Point:\n    pass\ndef scale(v):\n    return v * k\nscale(2)",
    )
    response = cloudpickle.loads(executor.execute_with_serialized(cloudpickle.dumps(request)))
    assert response.status == HTTPStatus.OK
    assert response.result.last_output == 6
    outputs = response.result.non_module_outputs
    assert outputs["scale"](5) == 15
    assert outputs["Point"].__name__ == "Point"


def test_unpicklable_outputs_do_not_break_a_run():
    executor = OrvaneComponentExecutor(identifier="c", name="c")
    code = "import threading\nlock = threading.Lock()\nkept = [1, 2]\nlock"
    request = OrvaneExecutionRequestModel(identifier="c", cell_code=code)
    direct = executor.execute(request=request)
    assert direct.status == HTTPStatus.OK
    assert set(direct.result.non_module_outputs) == {"lock", "kept"}

    response = cloudpickle.loads(executor.execute_with_serialized(cloudpickle.dumps(request)))
    assert response.status == HTTPStatus.PARTIAL_CONTENT
    assert response.result.non_module_outputs == {"kept": [1, 2]}
    assert response.result.last_output is None
    assert [v.name for v in response.result.outputs_summary.variables] == ["kept"]
    assert "Variable 'lock' (lock) cannot be sent back" in response.message
    assert "last expression's value" in response.message
    assert response.result.module_statements == {
        "threading": "importlib.import_module('threading')"
    }


@pytest.mark.parametrize(
    ("code", "name"),
    [("import sys\nsys.exit(2)", "SystemExit"), ("raise KeyboardInterrupt", "KeyboardInterrupt")],
)
def test_serialized_runs_report_exits_and_interrupts_as_failures(code, name):
    executor = OrvaneComponentExecutor(identifier="c", name="c")
    request = OrvaneExecutionRequestModel(identifier="c", cell_code=code)
    response = cloudpickle.loads(executor.execute_with_serialized(cloudpickle.dumps(request)))
    assert response.status == HTTPStatus.INTERNAL_SERVER_ERROR
    assert response.result.exception_msg[1].startswith(RED + name + RESET)


def test_serialized_runs_report_unreadable_requests_as_failures():
    executor = OrvaneComponentExecutor(identifier="c", name="c")

    garbage = cloudpickle.loads(executor.execute_with_serialized(b"not a pickle"))
    assert garbage.status == HTTPStatus.INTERNAL_SERVER_ERROR
    assert "while reading the request" in garbage.result.exception_msg[3]


def test_serialized_requests_of_the_wrong_kind_are_reported_as_failures():
    executor = OrvaneComponentExecutor(identifier="c", name="c")
    response = cloudpickle.loads(executor.execute_with_serialized(cloudpickle.dumps({"x": 1})))
    assert response.status == HTTPStatus.INTERNAL_SERVER_ERROR
    assert "OrvaneExecutionRequestModel" in response.result.exception_msg[3]


@pytest.mark.parametrize(
    "data",
    [
        cloudpickle.dumps(OrvaneExecutionRequestModel(identifier="c", cell_code=code))
        for code in [
            "x = [1, 2]\nprint('hi')\nx",
            "import sys, numpy\nsys.stderr.write('careful')\ny = numpy.zeros(3)",
            "import threading\nlock = threading.Lock()\nkept = 1",
            "z = 1\nraise ValueError('bad')",
        ]
    ]
    + [b"not a pickle"],
)
def test_the_short_answer_reads_back_as_the_response(data):
    executor = OrvaneComponentExecutor(identifier="c", name="c")
    answer = read_answer(cloudpickle.loads(executor.execute_answer(data)))
    response = cloudpickle.loads(executor.execute_with_serialized(data))
    values = response.result.non_module_outputs
    assert answer.result.non_module_outputs.keys() == values.keys()
    for name, value in values.items():
        assert np.array_equal(answer.result.non_module_outputs[name], value)
    assert answer.dict() | {"result": None} == response.dict() | {"result": None}
    for field in ("module_statements", "last_output", "captured", "exception_msg"):
        assert getattr(answer.result, field) == getattr(response.result, field)
    assert answer.result.outputs_summary == response.result.outputs_summary


def test_a_private_shell_leaves_the_process_main_module_alone():
    code = (
        "import sys\n"
        "from orvane_core.executors import OrvaneComponentExecutor\n"
        "from orvane_core.misc.models import OrvaneExecutionRequestModel as R\n"
        "main = sys.modules['__main__']\n"
        "r = OrvaneComponentExecutor(identifier='c', name='c').execute("
        "request=R(identifier='c', cell_code='%time x = 1\\nget_ipython().user_ns is not None'))\n"
        "print(int(r.status), r.result.last_output, sys.modules['__main__'] is main)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=120
    )
    assert out.stdout.split() == ["200", "True", "True"]
