"""Stand-ins for the disk cache and the executors, for paths the real ones cannot reach yet."""

from __future__ import annotations

import ast
import contextlib
import importlib
import io
import os
import pickle
import traceback
import types
from http import HTTPStatus

import cloudpickle

from orvane_core.capture import OrvaneCapturedIO
from orvane_core.misc.models import (
    OrvaneCacheModel,
    OrvaneComponentOutputsSummaryModel,
    OrvaneExecutionResponseModel,
    OrvaneOutputVariableModel,
)

FIELDS = (
    "module_statements",
    "non_module_outputs",
    "last_output",
    "captured",
    "exception_msg",
    "outputs_summary",
)
CACHE_FILE = "cache.pkl"


def write_cache_dir(path, **fields) -> str:
    """Creates a cache directory holding the given result fields (the rest empty)."""
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, CACHE_FILE), "wb") as fh:
        pickle.dump({name: fields.get(name) for name in FIELDS}, fh)
    return str(path)


class DiskCacheDouble:
    """Opens a directory written by ``write_cache_dir``; fails for anything else."""

    opened: list[DiskCacheDouble] = []

    def __init__(self, cache_dir=None):
        with open(os.path.join(cache_dir, CACHE_FILE), "rb") as fh:
            data = pickle.load(fh)
        self.cache_dir = cache_dir
        self.closed = False
        self.cleared = False
        for name in FIELDS:
            setattr(self, name, data[name])
        DiskCacheDouble.opened.append(self)

    def clear_cache(self):
        self.cleared = True
        for name in FIELDS:
            setattr(self, name, None)

    def close(self):
        self.closed = True


def run_cell(request) -> OrvaneExecutionResponseModel:
    """Runs a request's code in a fresh namespace the way the local executor is expected to."""
    scope = {"importlib": importlib}
    namespace = {name: eval(stmt, scope) for name, stmt in request.module_statements.items()}  # noqa: S307
    namespace.update(request.non_module_inputs)
    namespace.update(request.parameters or {})
    before = set(namespace)
    out, err = io.StringIO(), io.StringIO()
    tree = ast.parse(request.cell_code)
    last = tree.body.pop() if tree.body and isinstance(tree.body[-1], ast.Expr) else None
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            exec(compile(tree, "<cell>", "exec"), namespace)  # noqa: S102
            value = (
                eval(compile(ast.Expression(last.value), "<cell>", "eval"), namespace)
                if last
                else None
            )
    except Exception as exc:  # noqa: BLE001 - the executor reports every failure of the cell
        lines = traceback.format_exception(exc)
        return OrvaneExecutionResponseModel(
            status=HTTPStatus.INTERNAL_SERVER_ERROR,
            result=OrvaneCacheModel(exception_msg=lines),
            message="".join(lines),
        )
    new = {k: v for k, v in namespace.items() if k not in before and not k.startswith("__")}
    modules = {k: v for k, v in new.items() if isinstance(v, types.ModuleType)}
    outputs = {k: v for k, v in new.items() if k not in modules}
    captured = OrvaneCapturedIO(
        outputs=[{"type": "stream", "name": "<stdout>", "text": out.getvalue()}]
        if out.getvalue()
        else []
    )
    summary = OrvaneComponentOutputsSummaryModel(
        variables=[
            OrvaneOutputVariableModel(name=k, type=type(v).__name__) for k, v in outputs.items()
        ]
    )
    result = OrvaneCacheModel(
        module_statements={
            k: f"importlib.import_module({m.__name__!r})" for k, m in modules.items()
        },
        non_module_outputs=outputs,
        last_output=value,
        captured=captured or None,
        outputs_summary=summary,
    )
    status = HTTPStatus.PARTIAL_CONTENT if err.getvalue() else HTTPStatus.OK
    return OrvaneExecutionResponseModel(status=status, result=result, message=err.getvalue())


class LocalExecutorDouble:
    """Picklable local executor: runs the cell in this process or in a pool worker."""

    calls: list[tuple] = []

    def __init__(self, identifier=None, name=None):
        self.identifier = identifier
        self.name = name

    def execute(self, request, ipython_shell=None):
        LocalExecutorDouble.calls.append((self.identifier, request, ipython_shell))
        return run_cell(request)

    def execute_with_serialized(self, data):
        request = cloudpickle.loads(data)
        if request.cell_code.startswith("#crash-worker"):
            raise RuntimeError("worker crashed")
        if request.cell_code.startswith("#junk-response"):
            return b"not a pickle"
        return cloudpickle.dumps(run_cell(request))


class RemoteExecutorDouble:
    """Remote executor whose reachability is set per test through ``reachable``."""

    reachable = (True, "")
    created: list[RemoteExecutorDouble] = []

    def __init__(self, identifier=None, name=None, backend=None, broker=None):
        self.identifier, self.name, self.backend, self.broker = identifier, name, backend, broker
        RemoteExecutorDouble.created.append(self)

    def ping(self):
        return RemoteExecutorDouble.reachable

    def execute(self, request):
        return cloudpickle.dumps(run_cell(cloudpickle.loads(request)))
