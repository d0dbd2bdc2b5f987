"""The local executor submitted to real worker pools of every start method, as components do."""

from __future__ import annotations

import multiprocessing
import os
import sys
from http import HTTPStatus

import cloudpickle
import pytest

from orvane_core.executors import OrvaneComponentExecutor
from orvane_core.misc.models import OrvaneExecutionRequestModel

CELLS = {
    "ok": (
        "import json\nimport threading\npid = os.getpid()\n"
        "lock = threading.Lock()\nprint('in worker')\ndef twice(v):\n    return 2 * v\n"
        "json.dumps({'n': n * factor})"
    ),
    "warn": "import sys\nprint('careful', file=sys.stderr)\nw = 1",
    "fail": "print('before')\nraise ValueError('broken in worker')",
    "exit": "import sys\nsys.exit(1)",
}


def request(code):
    return OrvaneExecutionRequestModel(
        identifier="c1",
        name="worker cell",
        cell_code=code,
        module_statements={"os": "importlib.import_module('os')"},
        non_module_inputs={"n": 4},
        parameters={"factor": 10},
    )


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_runs_in_worker_processes(method, monkeypatch):
    # Resetting an IPython shell (as the shell fixture does) empties the module it installed as
    # __main__, and spawned workers read __main__.__spec__.
    monkeypatch.setattr(sys.modules["__main__"], "__spec__", None, raising=False)
    executor = OrvaneComponentExecutor(identifier="c1", name="worker cell")
    context = multiprocessing.get_context(method)
    with context.Pool(processes=1) as pool:
        pending = {
            key: pool.apply_async(
                executor.execute_with_serialized, (cloudpickle.dumps(request(code)),)
            )
            for key, code in CELLS.items()
        }
        responses = {key: cloudpickle.loads(p.get(timeout=120)) for key, p in pending.items()}

    ok = responses["ok"]
    # The lock cannot leave the worker; the rest of the run still arrives.
    assert ok.status == HTTPStatus.PARTIAL_CONTENT
    assert "Variable 'lock'" in ok.message
    assert ok.result.last_output == '{"n": 40}'
    outputs = ok.result.non_module_outputs
    assert outputs["pid"] != os.getpid()
    assert outputs["twice"](21) == 42
    assert set(ok.result.module_statements) == {"os", "json", "threading"}
    assert ok.result.captured.text() == "in worker\n"

    warn = responses["warn"]
    assert warn.status == HTTPStatus.PARTIAL_CONTENT
    assert warn.message == "careful\n"

    fail = responses["fail"]
    assert fail.status == HTTPStatus.INTERNAL_SERVER_ERROR
    assert fail.message.startswith("before\n")
    assert fail.result.exception_msg[3].endswith(": broken in worker")

    # A cell calling sys.exit must not take the worker down with the task still pending.
    assert responses["exit"].status == HTTPStatus.INTERNAL_SERVER_ERROR
