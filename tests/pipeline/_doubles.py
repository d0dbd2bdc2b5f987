"""Stand-ins for package parts that other branches are still building.

Each is used only while the real part is missing (see conftest.py); they follow the contracts
the engine relies on, not more.
"""

from __future__ import annotations

import ast
import types
from typing import Any

from orvane_core.cache.memory import OrvaneInMemoryCache
from orvane_core.capture import OrvaneCapturedIO
from orvane_core.misc import OrvaneComponentStatus, OrvaneDiskcacheStatus
from orvane_core.misc.models import (
    OrvaneComponentInfoModel,
    OrvaneComponentInOutModel,
    OrvaneComponentMetadataModel,
)

S = OrvaneComponentStatus
D = OrvaneDiskcacheStatus


class ComponentDouble:
    """A code cell: runs its code in a private namespace fed by its parents."""

    def __init__(self, component: Any) -> None:
        if component.metadata is None:
            component.metadata = OrvaneComponentMetadataModel()
        self._id = component.id
        self._name = component.name
        self._cell_code = component.code
        self._metadata = component.metadata
        self._status = S.INVALID
        self._success_count = 0
        self._in_and_out = OrvaneComponentInOutModel()
        self._in_memory_cache = OrvaneInMemoryCache()
        self._diskcache = None
        self._diskcache_status = D.UNCACHED
        self._summary_sink = None
        self._info = None

    def _changed(self) -> None:
        self._info = None
        if self._summary_sink is not None:
            self._summary_sink.add(self._id)

    def _info_dict(self) -> dict:
        if self._info is None:
            self._info = OrvaneComponentInfoModel(
                identifier=self._id,
                name=self._name,
                code=self._cell_code,
                metadata=self._metadata,
                execution_status=self._status,
                diskcache_status=self.diskcache_status,
                inputs=self._in_and_out.inputs,
                outputs=self._in_and_out.outputs,
                imports=self._in_and_out.imports,
            ).dict()
        return self._info

    id = property(lambda self: self._id)
    success_count = property(lambda self: self._success_count)
    in_and_out = property(lambda self: self._in_and_out)

    @in_and_out.setter
    def in_and_out(self, value):
        self._in_and_out = value or OrvaneComponentInOutModel()
        self._changed()

    @property
    def name(self):
        return self._name

    @name.setter
    def name(self, value):
        self._name = value
        self._changed()

    @property
    def cell_code(self):
        return self._cell_code

    @cell_code.setter
    def cell_code(self, value):
        if value != self._cell_code:
            self._cell_code = value
            self.status = S.INVALID
            self._changed()

    @property
    def metadata(self):
        return self._metadata

    @metadata.setter
    def metadata(self, value):
        self._metadata = value or OrvaneComponentMetadataModel()
        self._changed()

    @property
    def use_diskcache(self):
        return self._metadata.diskcache

    @use_diskcache.setter
    def use_diskcache(self, value):
        self._metadata.diskcache = value
        self._changed()

    @property
    def diskcache_status(self):
        return self._diskcache_status

    @diskcache_status.setter
    def diskcache_status(self, value):
        self._diskcache_status = value
        self._changed()

    @property
    def status(self):
        return self._status

    @status.setter
    def status(self, new):
        if new == self._status:
            return
        if new != S.SUCCESSFUL:
            if new == S.INVALID:
                self._in_memory_cache.clear_cache()
                self._diskcache_status = D.UNCACHED
            self._in_and_out = OrvaneComponentInOutModel()
        else:
            self._success_count += 1
        self._status = new
        self._changed()

    def _cache(name):  # noqa: N805
        def get(self):
            return getattr(self._in_memory_cache, name)

        def put(self, value):
            setattr(self._in_memory_cache, name, value)
            self._changed()

        return property(get, put)

    module_statements = _cache("module_statements")
    non_module_outputs = _cache("non_module_outputs")
    last_output = _cache("last_output")
    captured = _cache("captured")
    exception_msg = _cache("exception_msg")
    outputs_summary = _cache("outputs_summary")

    @property
    def outputs(self):
        out = dict(self.non_module_outputs)
        for symbol, statement in self.module_statements.items():
            out[symbol] = eval(statement, {"importlib": __import__("importlib")})
        return out

    def execute(self, module_statements=None, non_module_inputs=None, parameters=None, shell=None):
        self.status = S.RUNNING
        namespace: dict[str, Any] = {"__name__": "__main__"}
        for symbol, statement in (module_statements or {}).items():
            namespace[symbol] = eval(statement, {"importlib": __import__("importlib")})
        namespace.update(non_module_inputs or {})
        namespace.update(parameters or {})
        before = dict(namespace)
        tree = ast.parse(self._cell_code)
        last = None
        if tree.body and isinstance(tree.body[-1], ast.Expr):
            last = ast.Expression(tree.body.pop().value)
        try:
            exec(compile(tree, self._name, "exec"), namespace)
            value = eval(compile(last, self._name, "eval"), namespace) if last else None
        except Exception as exc:
            self._in_memory_cache.clear_cache()
            self.status = S.FAILED
            self.exception_msg = [f"{type(exc).__name__}: {exc}"]
            self.captured = OrvaneCapturedIO(
                outputs=[{"type": "stream", "name": "<stderr>", "text": str(exc)}]
            )
            return None
        statements = dict(module_statements or {})
        values = {}
        for key, obj in namespace.items():
            if key.startswith("__") or (key in before and before[key] is obj):
                continue
            if isinstance(obj, types.ModuleType):
                statements[key] = f"importlib.import_module({obj.__name__!r})"
            else:
                values[key] = obj
        cache = OrvaneInMemoryCache()
        cache.module_statements = statements
        cache.non_module_outputs = values
        cache.last_output = value
        self._in_memory_cache = cache
        self.status = S.SUCCESSFUL
        return value

    def handle_error(self, exc):
        self.status = S.FAILED
        text = str(exc)
        if isinstance(exc, KeyboardInterrupt):
            text = f"Interrupted at component '{self._name}'"
        self.exception_msg = [type(exc).__name__, text]
        self.captured = OrvaneCapturedIO(
            outputs=[{"type": "stream", "name": "<stderr>", "text": text}]
        )

    def show_captured(self, shell=None):
        pass

    def show_last_output(self, shell):
        pass

    def clear_in_memory_cache(self):
        self._in_memory_cache.clear_cache()
        self._changed()

    def unload_diskcache(self):
        self._diskcache = None
        self._diskcache_status = D.UNCACHED

    def clear_diskcache(self):
        pass

    def clear_cache(self):
        self.clear_in_memory_cache()
        self.unload_diskcache()


class WriterDouble:
    """A disk-cache writer that accepts every task and never finishes one."""

    def __init__(self, identifier=None, ipykernel_connection=None):
        self.identifier = identifier
        self.ipykernel_connection = ipykernel_connection
        self.alive = False
        self.tasks: list = []
        self.calls: list[str] = []

    def open(self):
        self.calls.append("open")

    def start(self):
        self.calls.append("start")
        self.alive = True

    def close(self):
        self.calls.append("close")
        self.alive = False

    def is_alive(self):
        return self.alive

    def put_task(self, task):
        self.tasks.append(("todo", task))
        return True

    def cancel_task(self, task):
        self.tasks.append(("cancel", task))

    def get_messages(self):
        return []
