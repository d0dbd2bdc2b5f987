"""Runs a component's code in a fresh namespace beside an IPython shell and reports the outcome."""

from __future__ import annotations

import ast
import builtins
import importlib
import io
import linecache
import numbers
import re
import sys
import types
import warnings
from functools import lru_cache
from http import HTTPStatus
from typing import Any, NamedTuple

import cloudpickle

from orvane_core._native import error_banner as _native_error_banner
from orvane_core.capture import (
    LiveWriter,
    OrvaneCapturedIO,
    RichCapture,
    live_writer,
    rich_output_enabled,
)
from orvane_core.executors.component_executors.utils import transform_ipython_syntax
from orvane_core.executors.process_pool import dumps
from orvane_core.misc.models import (
    OrvaneCacheModel,
    OrvaneComponentOutputsSummaryModel,
    OrvaneExecutionRequestModel,
    OrvaneExecutionResponseModel,
    OrvaneOutputVariableModel,
)

STDOUT = "<stdout>"
STDERR = "<stderr>"

_MISSING = object()
_THIS_FILE = __file__

# Names IPython keeps in a user namespace: history, output cache, exit status of "!" commands.
_IPYTHON_NAME = re.compile(r"_+|_i+|_i?\d+|_ih|_oh|_dh|_exit_code|In|Out|get_ipython")


def _is_hidden(name: str) -> bool:
    return (name.startswith("__") and name.endswith("__")) or bool(_IPYTHON_NAME.fullmatch(name))


class _CompiledCell(NamedTuple):
    filename: str
    lines: list[str]
    body: types.CodeType | None
    last: types.CodeType | None


@lru_cache(maxsize=256)
def _compile_cell(code: str, filename: str) -> _CompiledCell:
    """Body and final expression of a cell, compiled apart as IPython's 'last_expr' mode does.

    Cached: the optimizer and repeated runs execute the same cell text many times.
    """
    source = transform_ipython_syntax(code)
    lines = source.splitlines(keepends=True)
    # Registered before parsing so that a syntax error is shown with its line.
    linecache.cache[filename] = (len(source), None, lines, filename)
    tree = ast.parse(source, filename)
    last = None
    if tree.body and isinstance(tree.body[-1], ast.Expr):
        expression = ast.Expression(tree.body.pop().value)
        last = compile(expression, filename, "eval", dont_inherit=True)
    body = compile(tree, filename, "exec", dont_inherit=True) if tree.body else None
    return _CompiledCell(filename, lines, body, last)


@lru_cache(maxsize=1024)
def _compile_statement(statement: str) -> tuple[types.CodeType, bool]:
    """An inherited statement: normally an expression giving a module, else an import."""
    filename = "<inherited import>"
    try:
        return compile(statement, filename, "eval", dont_inherit=True), True
    except SyntaxError:
        return compile(statement, filename, "exec", dont_inherit=True), False


_STATEMENT_GLOBALS = {"__builtins__": builtins, "importlib": importlib}


def _bind_statement(namespace: dict[str, Any], symbol: str, statement: str) -> None:
    code, is_expression = _compile_statement(statement)
    if is_expression:
        namespace[symbol] = eval(code, _STATEMENT_GLOBALS)
    else:
        exec(code, namespace)


def module_statement(module: types.ModuleType) -> str:
    """The text a child evaluates (with ``importlib`` in scope) to get ``module`` back."""
    return f"importlib.import_module({module.__name__!r})"


def _importable(module: types.ModuleType) -> bool:
    name = getattr(module, "__name__", None)
    return isinstance(name, str) and sys.modules.get(name) is module


# --- captured streams -------------------------------------------------------------------------


class _Capture:
    """Everything a run writes, in order; consecutive writes to one stream share an entry."""

    __slots__ = ("entries",)

    def __init__(self) -> None:
        self.entries: list[tuple[str, list[str]]] = []

    def write(self, name: str, text: str) -> int:
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        if text:
            entries = self.entries
            if entries and entries[-1][0] == name:
                entries[-1][1].append(text)
            else:
                entries.append((name, [text]))
        return len(text)

    def text(self, name: str | None = None) -> str:
        return "".join(
            "".join(chunks) for stream, chunks in self.entries if name is None or stream == name
        )

    def outputs(self, name: str) -> list[dict[str, str]]:
        """The entries of one stream; pieces split only by the other stream are joined."""
        merged: list[dict[str, str]] = []
        pieces: list[str] = []
        for stream, chunks in self.entries:
            if stream == name:
                pieces.extend(chunks)
        if pieces:
            merged.append({"type": "stream", "name": name, "text": "".join(pieces)})
        return merged

    def showwarning(self, message, category, filename, lineno, file=None, line=None) -> None:
        text = warnings.formatwarning(message, category, filename, lineno, line)
        if file is None:
            self.write(STDERR, text)
        else:
            try:
                file.write(text)
            except OSError:
                pass


class _CaptureStream(io.TextIOBase):
    """Stands in for ``sys.stdout`` / ``sys.stderr`` during a run."""

    encoding = "utf-8"
    errors = "strict"

    def __init__(self, capture: _Capture, name: str, live: LiveWriter | None = None) -> None:
        super().__init__()
        self._capture = capture
        self._name = name
        self._live = live

    def write(self, text: str) -> int:
        written = self._capture.write(self._name, text)
        if self._live is not None and text:
            self._live.write(self._name, text)
        return written

    def writable(self) -> bool:
        return True

    def isatty(self) -> bool:
        return False


def _live_hooks(identifier: str | None, shell: Any) -> tuple[LiveWriter | None, Any]:
    """Opt-in (the front end turns them on): where the run's writes are shown as they come,
    and what keeps its displays and figures with its output."""
    live = live_writer(identifier)
    if not rich_output_enabled():
        return live, None
    target = shell if shell is not None else _shared_shell()
    return live, RichCapture(target, live, show_now=shell is not None)


# --- the shell as the cell sees it ------------------------------------------------------------

_private_shell: Any = None


def _shared_shell() -> Any:
    """The process's IPython shell, created on first need when the caller passed none."""
    global _private_shell
    if _private_shell is None:
        from IPython.core.interactiveshell import InteractiveShell

        if InteractiveShell.initialized():
            _private_shell = InteractiveShell.instance()
        else:
            from traitlets.config import Config

            # A shell made only to serve magics: no history database, and the process keeps
            # its own __main__ (the shell would install its namespace there, which breaks
            # pickling of the script's own functions and spawned worker processes).
            config = Config()
            config.HistoryManager.enabled = False
            main = sys.modules.get("__main__")
            _private_shell = InteractiveShell.instance(config=config)
            if main is not None:
                sys.modules["__main__"] = main
    return _private_shell


class _ShellLink:
    """``get_ipython`` for the cell.

    Magics such as ``%time`` evaluate in ``shell.user_ns``; while the cell runs, that points at
    the cell's own namespace so they see its variables and their bindings stay in the run
    instead of leaking into the user's namespace.
    """

    __slots__ = ("shell", "namespace", "active", "saved")

    def __init__(self, shell: Any, namespace: dict[str, Any]) -> None:
        self.shell = shell
        self.namespace = namespace
        self.active = True
        self.saved: Any = _MISSING

    def get_ipython(self) -> Any:
        shell = self.shell
        if shell is None:
            shell = self.shell = _shared_shell()
        if self.active and self.saved is _MISSING:
            self.saved = shell.user_ns
            shell.user_ns = self.namespace
        return shell

    def close(self) -> None:
        self.active = False
        if self.saved is not _MISSING:
            self.shell.user_ns = self.saved
            self.saved = _MISSING


# --- results ----------------------------------------------------------------------------------


def describe_variable(name: str, value: Any) -> OrvaneOutputVariableModel:
    """Type, shape, length and size of one output, each left out when it cannot be had."""
    shape = length = size = None
    try:
        raw_shape = getattr(value, "shape", None)
        if isinstance(raw_shape, tuple):
            shape = [int(d) for d in raw_shape]
    except Exception:
        shape = None
    if hasattr(type(value), "__len__"):
        try:
            length = len(value)
        except Exception:
            length = None
    try:
        nbytes = getattr(value, "nbytes", None)
        if isinstance(nbytes, numbers.Integral) and not isinstance(nbytes, bool):
            size = int(nbytes)
        else:
            size = sys.getsizeof(value)
    except Exception:
        size = None
    return OrvaneOutputVariableModel(
        name=name, type=type(value).__qualname__, shape=shape, length=length, size=size
    )


def error_banner(exc: BaseException) -> list[str]:
    """The four banner lines for an exception raised by a cell, showing only the cell's frames."""
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename == _THIS_FILE:
        tb = tb.tb_next
    return _native_error_banner(exc, tb)


def _failure(banner: list[str], written: str) -> OrvaneExecutionResponseModel:
    separator = "\n" if written and not written.endswith("\n") else ""
    return OrvaneExecutionResponseModel(
        status=HTTPStatus.INTERNAL_SERVER_ERROR,
        result=OrvaneCacheModel(exception_msg=banner),
        message=written + separator + "\n".join(banner),
    )


def _picklable(value: Any) -> Exception | None:
    try:
        cloudpickle.dumps(value)
    except Exception as exc:
        return exc
    return None


def _without_unpicklable(response: OrvaneExecutionResponseModel) -> OrvaneExecutionResponseModel:
    """The response minus the values that cannot leave this process, each reported on stderr."""
    result = response.result
    notes: list[str] = []
    outputs = {}
    for name, value in result.non_module_outputs.items():
        error = _picklable(value)
        if error is None:
            outputs[name] = value
        else:
            notes.append(
                f"Variable '{name}' ({type(value).__qualname__}) cannot be sent back from the "
                f"worker process and was dropped: {error}"
            )
    last_output = result.last_output
    error = _picklable(last_output)
    if error is not None:
        notes.append(
            f"The last expression's value ({type(last_output).__qualname__}) cannot be sent "
            f"back from the worker process and was dropped: {error}"
        )
        last_output = None
    summary = result.outputs_summary
    if summary is not None:
        summary = OrvaneComponentOutputsSummaryModel(
            variables=[v for v in summary.variables if v.name in outputs]
        )
    message = response.message
    if notes:
        separator = "\n" if message and not message.endswith("\n") else ""
        message = message + separator + "\n".join(notes) + "\n"
    return OrvaneExecutionResponseModel(
        status=HTTPStatus.PARTIAL_CONTENT if notes else response.status,
        result=OrvaneCacheModel(
            module_statements=result.module_statements,
            non_module_outputs=outputs,
            last_output=last_output,
            captured=result.captured,
            exception_msg=result.exception_msg,
            outputs_summary=summary,
        ),
        message=message,
    )


def _sendable(response: OrvaneExecutionResponseModel, form: Any) -> bytes:
    """``form(response)`` pickled; values that cannot leave the worker are dropped and named."""
    return _sent(response, form)[0]


def _sent(
    response: OrvaneExecutionResponseModel, form: Any
) -> tuple[bytes, OrvaneExecutionResponseModel]:
    """``_sendable`` with the response whose form it pickled."""
    try:
        return dumps(form(response)), response
    except Exception:
        pass
    try:
        response = _without_unpicklable(response)
        return dumps(form(response)), response
    except Exception as exc:
        exc.add_note("(while sending the result back from the worker process)")
        response = _failure(error_banner(exc), "")
        return dumps(form(response)), response


def _answer(response: OrvaneExecutionResponseModel) -> tuple:
    result = response.result
    captured = result.captured
    if type(captured) is OrvaneCapturedIO:
        captured = captured.outputs  # a list: read back as captured output
    summary = result.outputs_summary
    if summary is not None:
        summary = [(v.name, v.type, v.shape, v.length, v.size) for v in summary.variables]
    return (
        int(response.status),
        response.message,
        result.module_statements,
        result.non_module_outputs,
        result.last_output,
        captured,
        result.exception_msg,
        summary,
        result.fingerprint,
    )


def read_answer(answer: tuple) -> OrvaneExecutionResponseModel:
    """The response an ``execute_answer`` tuple stands for."""
    status, message, statements, values, last, captured, banner, summary, fingerprint = answer
    if type(captured) is list:
        captured = OrvaneCapturedIO(outputs=captured)
    if summary is not None:
        summary = OrvaneComponentOutputsSummaryModel(
            variables=[
                OrvaneOutputVariableModel(
                    name=name, type=kind, shape=shape, length=length, size=size
                )
                for name, kind, shape, length, size in summary
            ]
        )
    return OrvaneExecutionResponseModel(
        status=HTTPStatus(status),
        result=OrvaneCacheModel(
            module_statements=statements,
            non_module_outputs=values,
            last_output=last,
            captured=captured,
            exception_msg=banner,
            outputs_summary=summary,
            fingerprint=fingerprint,
        ),
        message=message,
    )


# --- the executor -----------------------------------------------------------------------------


class OrvaneComponentExecutor:
    """Runs one component's code locally.

    Each run gets a namespace of its own holding the inherited imports, the inherited values and
    the pipeline parameters; what the cell binds comes back as the result, and the user's
    namespace is never touched. The object holds only its two names, so it pickles into worker
    processes of any start method.
    """

    def __init__(self, identifier: str | None = None, name: str | None = None) -> None:
        self.identifier = identifier
        self.name = name

    def __repr__(self) -> str:
        return f"OrvaneComponentExecutor(identifier={self.identifier!r}, name={self.name!r})"

    def _filename(self) -> str:
        label = self.identifier if self.identifier is not None else self.name
        return f"<cell {label}>" if label else "<cell>"

    def execute(
        self, request: OrvaneExecutionRequestModel, ipython_shell: Any = None
    ) -> OrvaneExecutionResponseModel:
        """Run the request's cell and report OK, PARTIAL_CONTENT (stderr output) or a failure.

        Exceptions of the cell become a failure response; KeyboardInterrupt and other
        ``BaseException``s propagate after the process's streams are restored.
        """
        return self._execute(request, ipython_shell, (Exception,))

    def execute_with_serialized(self, data: bytes) -> bytes:
        """``execute`` for a pickled request, answering with a pickled response (see ``dumps``).

        This runs inside worker processes, where a ``SystemExit`` or ``KeyboardInterrupt`` from
        the cell would end the worker instead of the cell, so it is reported as a failure.
        """
        return _sendable(self._respond(data), lambda response: response)

    def execute_answer(self, data: bytes) -> bytes:
        """``execute_with_serialized`` answering in the short form ``read_answer`` reads: a
        tuple of plain fields, several times cheaper to pickle and load than the response."""
        return _sendable(self._respond(data), _answer)

    @staticmethod
    def carried_request(
        identifier: str, name: str, code: str, parameters: dict | None
    ) -> OrvaneExecutionRequestModel:
        """The request of a component that a worker runs right after its parent."""
        return OrvaneExecutionRequestModel(
            identifier=identifier, name=name, cell_code=code, parameters=parameters
        )

    def execute_carrying(
        self, data: bytes | OrvaneExecutionRequestModel, inputs: tuple[dict, dict] | None = None
    ) -> tuple[bytes, tuple[dict, dict] | None]:
        """``execute_answer``, for a worker that may run a child right after this component:
        the request (pickled or not) takes ``inputs`` as its inherited statements and values
        when given, and the statements and values the answer sends (those of a success) come
        back with it, the inputs of such a child."""
        data, response = _sent(self._respond(data, inputs), _answer)
        if response.status not in (HTTPStatus.OK, HTTPStatus.PARTIAL_CONTENT):
            return data, None
        return data, (response.result.module_statements, response.result.non_module_outputs)

    def _respond(
        self, data: bytes | OrvaneExecutionRequestModel, inputs: tuple[dict, dict] | None = None
    ) -> OrvaneExecutionResponseModel:
        trapped = (Exception, SystemExit, KeyboardInterrupt)
        try:
            request = data if type(data) is OrvaneExecutionRequestModel else cloudpickle.loads(data)
            if inputs is not None:
                request.module_statements, request.non_module_inputs = inputs
        except Exception as exc:
            exc.add_note("(while reading the request in the worker process)")
            return _failure(error_banner(exc), "")
        try:
            return self._execute(request, None, trapped)
        except trapped as exc:
            # An error raised here would reach the pool's error callback without any text.
            return _failure(error_banner(exc), "")

    def _execute(
        self,
        request: OrvaneExecutionRequestModel,
        shell: Any,
        trapped: tuple[type[BaseException], ...],
    ) -> OrvaneExecutionResponseModel:
        if not isinstance(request, OrvaneExecutionRequestModel):
            raise TypeError(
                f"request must be an OrvaneExecutionRequestModel, not {type(request).__name__}"
            )
        code = request.cell_code
        if not isinstance(code, str):
            raise TypeError(f"cell_code must be str, not {type(code).__name__}")
        inherited = request.module_statements or {}

        namespace: dict[str, Any] = {"__builtins__": builtins, "__name__": "__main__"}
        link = _ShellLink(shell, namespace)
        namespace["get_ipython"] = link.get_ipython

        capture = _Capture()
        live, rich = _live_hooks(self.identifier, shell)
        saved_out, saved_err, saved_show = sys.stdout, sys.stderr, warnings.showwarning
        sys.stdout = _CaptureStream(capture, STDOUT, live)
        sys.stderr = _CaptureStream(capture, STDERR, live)
        warnings.showwarning = capture.showwarning
        banner = None
        last_output = None
        before: dict[str, Any] = {}
        finished = False
        try:
            if rich is not None:
                rich.__enter__()
            try:
                cell = _compile_cell(code, self._filename())
            except (SyntaxError, ValueError) as exc:
                # Raised by the compiler, not by the cell: no frame of ours is worth showing.
                banner = error_banner(exc.with_traceback(None))
            else:
                # Another cell with the same label may have replaced the lines since caching.
                linecache.cache[cell.filename] = (
                    sum(map(len, cell.lines)),
                    None,
                    cell.lines,
                    cell.filename,
                )
                try:
                    for symbol, statement in inherited.items():
                        _bind_statement(namespace, symbol, statement)
                    namespace.update(request.non_module_inputs or {})
                    namespace.update(request.parameters or {})
                    before = dict(namespace)
                    if cell.body is not None:
                        exec(cell.body, namespace)
                    if cell.last is not None:
                        last_output = eval(cell.last, namespace)
                except trapped as exc:
                    banner = error_banner(exc)
            if rich is not None and banner is None:
                rich.collect_figures()
            finished = True
        finally:
            if rich is not None:
                rich.__exit__(None, None, None)
            sys.stdout, sys.stderr = saved_out, saved_err
            warnings.showwarning = saved_show
            link.close()
            if live is not None:
                live.close()
            elif not finished:
                # An interrupt ends the run here: what it printed is not thrown away.
                saved_out.write(capture.text(STDOUT))
                saved_err.write(capture.text(STDERR))

        if banner is not None:
            return _failure(banner, capture.text())
        displays = rich.entries if rich is not None else []
        return self._success(namespace, before, inherited, last_output, capture, displays)

    @staticmethod
    def _success(
        namespace: dict[str, Any],
        before: dict[str, Any],
        inherited: dict[str, str],
        last_output: Any,
        capture: _Capture,
        displays: list[dict[str, Any]] = (),
    ) -> OrvaneExecutionResponseModel:
        modules: dict[str, str] = {}
        values: dict[str, Any] = {}
        # A copy: threads the cell started may still be binding names.
        for name, value in list(namespace.items()):
            if before.get(name, _MISSING) is value or _is_hidden(name):
                continue
            if isinstance(value, types.ModuleType) and _importable(value):
                modules[name] = module_statement(value)
            else:
                values[name] = value
        statements = {
            symbol: text
            for symbol, text in inherited.items()
            if "." in symbol
            or (symbol in namespace and symbol not in values and symbol not in modules)
        }
        statements.update(modules)
        summary = OrvaneComponentOutputsSummaryModel(
            variables=[describe_variable(n, v) for n, v in values.items()]
        )
        stdout = capture.outputs(STDOUT) + list(displays)
        stderr = capture.text(STDERR)
        return OrvaneExecutionResponseModel(
            status=HTTPStatus.PARTIAL_CONTENT if stderr else HTTPStatus.OK,
            result=OrvaneCacheModel(
                module_statements=statements,
                non_module_outputs=values,
                last_output=last_output,
                captured=OrvaneCapturedIO(outputs=stdout) if stdout else None,
                exception_msg=None,
                outputs_summary=summary,
            ),
            message=stderr,
        )


__all__ = [
    "OrvaneComponentExecutor",
    "describe_variable",
    "error_banner",
    "module_statement",
    "read_answer",
]
