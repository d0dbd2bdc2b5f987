"""The front end's state inside a kernel: declared components, the pipeline, its callback.

Magics and the command-line runner call this class; it calls the real ``OrvanePipeline``. The
pipeline is created at the first request that needs it, from every component declared so far,
and kept in step with later declarations through ``update_graph``.
"""

from __future__ import annotations

import ast
import asyncio
import atexit
import contextlib
import hashlib
import json
import keyword
import os
import re
import sys
import sysconfig
import time
import uuid
from pathlib import Path
from typing import Any

import msgspec

from orvane_core.capture import RICH_ENV, LiveSink, OrvaneCapturedIO, live_output
from orvane_core.common.names import cell_names
from orvane_core.executors.component_executors.utils import objective_names
from orvane_core.frontend import kept, saved
from orvane_core.frontend.callback import OrvaneFrontendCallback, SearchResults
from orvane_core.frontend.declarations import (
    ComponentHeader,
    ComponentRegistry,
    OrvaneUsageError,
)
from orvane_core.frontend.view import PipelineView, make_view, pipeline_svg
from orvane_core.misc import OrvaneComponentStatus
from orvane_core.misc.models import OrvanePipelineParameterModel

METHODS = {"random": "RandomSearch", "tpe": "TPESearch", "grid": "GridSearch"}
DISTRIBUTIONS = {
    "uniform": "uniform",
    "float": "float",
    "int": "int",
    "log": "loguniform",
    "loguniform": "loguniform",
    "step": "discrete_uniform",
    "discrete_uniform": "discrete_uniform",
}
# How long the end of a kernel waits for its pending disk writes before leaving them.
KEEP_WAIT = 600.0
SET_USAGE = "%orvane set NAME=VALUE [NAME=VALUE ...], e.g. %orvane set alpha=0.5 kind='ridge'"
SEARCH_USAGE = (
    "NAME=LOW:HIGH[:DISTRIBUTION[:STEP]] with DISTRIBUTION one of uniform, float, int, log, step; "
    "e.g. alpha=0.001:10:log depth=2:8:int"
)


def not_available(feature: str, operation: str) -> OrvaneUsageError:
    return OrvaneUsageError(
        f"{feature} is not available in this build (the pipeline has no {operation}())."
    )


class OrvaneRunError(RuntimeError):
    """A run or search ended with a failure; shown as one closing line below the component's
    own error, which says the rest."""

    def _render_traceback_(self) -> list[str]:
        return [f"\x1b[31m{self}\x1b[0m"]


# The banner names the exception type on its first lines and ends with the message.
_NAME_ERROR = re.compile(r"NameError.*name '(\w+)' is not defined", re.DOTALL)
_ANSI = re.compile(r"\x1b\[[0-9;]*m")
# An engine id: a component name, a dash and ten hex digits (see ComponentRegistry.ids).
_ID = re.compile(r"(?<![\w-])[A-Za-z_][\w-]*-[0-9a-f]{10}(?![\w-])")

# -- text the user writes ------------------------------------------------------------------------

_ASSIGN = re.compile(r"(?:^|[\s,]+)([^\s=,]+)\s*=(?!=)")


def parse_assignments(text: str) -> list[tuple[str, str]]:
    """(name, value text) pairs of ``a=1, b='x'`` or ``a=1 b=[1, 2]``."""
    text = text.strip()
    if not text:
        return []
    try:
        call = ast.parse(f"_({text})", mode="eval").body
    except SyntaxError:
        call = None
    if isinstance(call, ast.Call) and not call.args and all(k.arg for k in call.keywords):
        source = f"_({text})"
        return [(k.arg, ast.get_source_segment(source, k.value)) for k in call.keywords]
    matches = list(_ASSIGN.finditer(text))
    if not matches or text[: matches[0].start()].strip(" ,"):
        raise OrvaneUsageError(f"Bad parameter text {text!r}. Usage: {SET_USAGE}")
    pairs = []
    for i, match in enumerate(matches):
        end = matches[i + 1].start(1) if i + 1 < len(matches) else len(text)
        pairs.append((match.group(1), _separated(text[match.end() : end].strip())))
    return pairs


def _separated(value: str) -> str:
    """A value without the comma that separates it from the next, unless the comma belongs to
    an unfinished value: that is quoted as typed ("[1,", not "[1")."""
    bare = value.rstrip(",").strip()
    if bare == value:
        return value
    try:
        ast.parse(bare, mode="eval")
    except SyntaxError:
        return value
    return bare


def parameter_records(text: str, strict: bool = False) -> list[OrvanePipelineParameterModel]:
    """Parameter records of ``a=1 b='x'``; a bare word is taken as text unless ``strict``."""
    return [parameter_record(name, value, strict) for name, value in parse_assignments(text)]


def parameter_record(name: str, value: str, strict: bool = False) -> OrvanePipelineParameterModel:
    """The record of one ``name=value``; ``strict`` (the command line's ``-p``) takes only
    Python literals and says how to write them there."""
    usage = "-p NAME=VALUE, e.g. -p alpha=0.5" if strict else SET_USAGE
    if not name.isidentifier() or keyword.iskeyword(name):
        raise OrvaneUsageError(
            f"Bad parameter name {name!r}: use a Python identifier. Usage: {usage}"
        )
    try:
        literal = ast.literal_eval(value)
    except ValueError:
        if strict:
            raise OrvaneUsageError(
                f"Bad value for {name}: {value} is not a Python literal. Quote text for "
                f"Python inside the shell's quotes: -p {name}=\"'{value}'\""
            ) from None
        literal = value  # a bare word is taken as text, as the pipeline does
    except SyntaxError:
        if strict:
            raise OrvaneUsageError(
                f"Bad value for {name}: {value} is not a Python literal, e.g. -p {name}=0.5 "
                f"or -p {name}=\"'text'\""
            ) from None
        raise OrvaneUsageError(
            f"Bad value for {name}: {value!r} is not a Python literal. Usage: {usage}"
        ) from None
    return OrvanePipelineParameterModel(name=name, type=type(literal).__qualname__, value=value)


def search_space(ranges: list[str]) -> dict[str, dict]:
    """Parameter descriptions of a search from ``NAME=LOW:HIGH[:DIST[:STEP]]`` texts."""
    space: dict[str, dict] = {}
    for text in ranges:
        name, sep, rest = text.partition("=")
        parts = rest.split(":")
        if not sep or not name.isidentifier() or not 2 <= len(parts) <= 4:
            raise OrvaneUsageError(f"Bad search range {text!r}: write {SEARCH_USAGE}.")
        try:
            low, high = float(parts[0]), float(parts[1])
            step = float(parts[3]) if len(parts) == 4 else None
        except ValueError:
            raise OrvaneUsageError(
                f"Bad search range {text!r}: bounds and step must be numbers ({SEARCH_USAGE})."
            ) from None
        if low > high:
            raise OrvaneUsageError(f"Bad search range {text!r}: LOW is above HIGH.")
        dist = parts[2] if len(parts) >= 3 else "uniform"
        if dist not in DISTRIBUTIONS:
            raise OrvaneUsageError(
                f"Unknown distribution {dist!r} in {text!r}; use one of {', '.join(DISTRIBUTIONS)}."
            )
        entry: dict[str, Any] = {"low": low, "high": high, "distribution": DISTRIBUTIONS[dist]}
        if step is not None:
            entry["interval"] = step
        space[name] = entry
    if not space:
        raise OrvaneUsageError(f"Give at least one parameter range to search: {SEARCH_USAGE}.")
    return space


def target_names(last_expr: str) -> list[str]:
    """The objectives' names as the engine names them in its plots; text that does not parse
    (the engine then refuses the search) is one name."""
    try:
        return objective_names(last_expr)
    except SyntaxError:
        return [last_expr or "value"]


# Engine behaviour that is off by default and that the front end turns on: a parameter change
# (and a search trial) reruns only the components that read a changed parameter, and what
# depends on them; and a few earlier disk caches per component are kept by fingerprint, so that
# going back to earlier parameter values costs a read. Given at construction, as the caches
# adopted then are fingerprinted with them. The callback draws from the latest summary only, so a
# summary that repeats the last one need not be sent.
ENGINE_OPTIONS = {"parameter_reach": True, "kept_versions": 3, "skip_unchanged_summaries": True}


@contextlib.contextmanager
def _quiet_optuna() -> Any:
    """optuna logs a failed trial with its traceback; the search reports it in one line."""
    import logging

    logger = logging.getLogger("optuna")
    saved, sink = logger.propagate, logging.NullHandler()
    logger.propagate = False
    logger.addHandler(sink)  # without any handler, logging would print it anyway
    try:
        yield
    finally:
        logger.removeHandler(sink)
        logger.propagate = saved


@contextlib.contextmanager
def _rich_output() -> Any:
    """Within it, runs keep what cells display with their output (worker processes too)."""
    saved = os.environ.get(RICH_ENV)
    os.environ[RICH_ENV] = "1"
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop(RICH_ENV, None)
        else:
            os.environ[RICH_ENV] = saved


# -- the session ----------------------------------------------------------------------------------

# Shown instead of a component's status where the status says less: "invalid" for one that
# never ran, "successful" for one whose results were cleared.
NOT_RUN, CLEARED = "not run yet", "cleared"


class RunReport(msgspec.Struct):
    """Outcome of one run, by component name."""

    # A component that failed (interrupted included) is in ``failed`` only: it left no results.
    ran: list[str] = msgspec.field(default_factory=list)
    reused: list[str] = msgspec.field(default_factory=list)
    failed: list[str] = msgspec.field(default_factory=list)
    errors: dict[str, str] = msgspec.field(default_factory=dict)  # failed name -> exception class
    seconds: float = 0.0
    # Why each component of the run ran or was reused, in the engine's words.
    reasons: dict[str, str] = msgspec.field(default_factory=dict)

    @property
    def interrupted(self) -> bool:
        return "KeyboardInterrupt" in self.errors.values()

    def failures(self) -> str:
        """``report (NameError), fit (interrupted)``."""
        return ", ".join(
            f"{name} ({_failure_kind(self.errors.get(name))})" if self.errors.get(name) else name
            for name in self.failed
        )

    def line(self) -> str:
        parts = [f"{len(self.ran)} ran", f"{len(self.reused)} reused"]
        if self.failed:
            parts.append(f"{len(self.failed)} failed: {self.failures()}")
        return ", ".join(parts) + f" in {self.seconds:.2f} s"

    def why(self) -> str:
        """One line per component of the run: what happened to it and why."""
        return "\n".join(f"  {name}: {reason}" for name, reason in self.reasons.items())


# This package's folder: the frames of its own code in a banner.
_PACKAGE = str(Path(__file__).resolve().parents[1]) + os.sep
# Where the standard library and installed packages live: what the engine calls there before
# any user code (the start of a worker process) is its own code too.
_LIBRARIES = tuple(
    {os.path.join(sysconfig.get_path(kind), "") for kind in ("stdlib", "purelib", "platlib")}
)
_TRACEBACK = re.compile(r"\s*Traceback \(most recent call last\)")
_FRAME = re.compile(r'^\s*File "?([^",]+?)"?(?:,|:\d)')


def without_package_frames(text: str) -> str:
    """An interrupt's banner without the frames of this package's own code (a parallel run is
    interrupted while the kernel waits in the pool; the user's frames are in the worker): the
    user gets the frames of their own code only, as when a cell is interrupted in the kernel."""
    out, skipping, kept = [], False, 0
    for line in text.split("\n"):
        plain = _ANSI.sub("", line)
        frame = _FRAME.match(plain)
        if frame is not None:
            path = frame.group(1)
            called = skipping or not kept  # by this package, or by the engine (no frames)
            skipping = path.startswith(_PACKAGE) or (called and path.startswith(_LIBRARIES))
            kept += not skipping
        elif not plain.startswith((" ", "\t")):
            skipping = False  # a blank line or the exception's own line ends a frame
        if not skipping:
            out.append(line)
    if not kept:  # no traceback left to announce
        out = [_TRACEBACK.sub("", line) for line in out]
    return "\n".join(out)


_LABEL = re.compile(r"^((?:\x1b\[[0-9;]*m)*)OrvanePipelineError(?=\x1b\[0m: )", re.MULTILINE)


def user_banner(text: str, banner: Any) -> str:
    """A failure's banner as the user's own error: its last line names the exception the cell
    raised (``ZeroDivisionError: division by zero``) instead of the engine's error class. An
    interrupt loses the frames of this package's code; left without frames, it is one line."""
    ename = error_name(banner)
    if ename:
        text = _LABEL.sub(lambda m: m.group(1) + ename, text)
    if ename != "KeyboardInterrupt":
        return text
    text = without_package_frames(text)
    lines = text.split("\n")
    if len(lines) > 2 and not any(_FRAME.match(_ANSI.sub("", line)) for line in lines):
        # The exception's name line and the empty traceback: the last line names it.
        text = "\n".join([lines[0], *(line for line in lines[2:] if _ANSI.sub("", line).strip())])
    return text


def _show_value(cid: str, node: Any) -> None:
    """Shows a component's value as the cell's own value would be: rich where it has a rich
    form, and also when it is false (0, an empty list); tagged with its component."""
    from IPython.display import display

    display(node.last_output, metadata={"component_id": cid})


class _LabelledSink(LiveSink):
    """A run's live output where what each component shows (printed text, displays, its error,
    its value) starts with a line naming it: all of it lands in the output of the cell that
    asked for the run. Only the output of the component the cell asked for (``own``), while no
    other has shown any, stays unlabelled, as the cell's own output would be."""

    def __init__(self, shell: Any, names: dict[str, str], own: str | None) -> None:
        import threading

        super().__init__(shell)
        self._names, self._own = names, own
        self._spoken: set[str | None] = set()
        self._label_lock = threading.Lock()

    def label(self, component_id: str | None) -> None:
        """Names the component before its first output of the run."""
        with self._label_lock:
            if component_id in self._spoken or component_id not in self._names:
                return
            alone = component_id == self._own and not self._spoken
            self._spoken.add(component_id)
        if not alone:
            data = {"text/plain": f"{self._names[component_id]}:"}
            super()._send("display", component_id, (data, {}, None))

    def _send(self, kind: str, component_id: str | None, payload: tuple) -> None:
        self.label(component_id)
        super()._send(kind, component_id, payload)


def _listed(names: list[str]) -> str:
    """``'a'``, ``'a' and 'b'``, ``'a', 'b' and 'c'``."""
    quoted = [repr(n) for n in names]
    return quoted[0] if len(quoted) == 1 else f"{', '.join(quoted[:-1])} and {quoted[-1]}"


def edited_note(edited: list[str], users: list[str]) -> str:
    """The line under a run's output naming the components whose cells were edited and not run,
    whose earlier code made the results used (by ``users``, what the run was asked for)."""
    one = len(edited) == 1
    said = f"note: {_listed(edited)} {'was' if one else 'were'} edited but not run; "
    if users:
        return (
            f"{said}{_listed(users)} used {'its' if one else 'their'} earlier results: "
            f"run {_listed(edited)} to update"
        )
    return (
        f"{said}the results shown come from {'its' if one else 'their'} code as last run: "
        f"run {'its cell' if one else 'their cells'} to update"
    )


def _failure_kind(ename: str | None) -> str:
    return "interrupted" if ename == "KeyboardInterrupt" else str(ename)


def error_name(banner: Any) -> str | None:
    """The exception class named on a failure banner's second line (``NameError``)."""
    try:
        words = _ANSI.sub("", str(banner[1])).split()
    except (TypeError, IndexError, KeyError):
        return None
    return words[0] if words else None


class OrvaneSession:
    """One notebook's pipeline as the front end sees it."""

    def __init__(self, shell: Any = None) -> None:
        self.shell = shell
        self.registry = ComponentRegistry()
        self.callback = OrvaneFrontendCallback()
        self.pipeline: Any = None
        self.pipeline_id: str | None = None
        self.autorun = True
        # Keep the disk cache for the next kernel: None keeps it when the pipeline id is stable
        # (named after the notebook's file, or given), unless ORVANE_KEEP_CACHE is off.
        self.persist: bool | None = None
        self._stable_id = False
        self._looked: set[str] = set()  # the components already looked for in the kept folder
        # Components as the last kernel of this pipeline id had them, by name (kept.remember).
        self._earlier: dict[str, kept.Remembered] = {}
        self.widgets = True
        self.last_search: SearchResults | None = None
        self.view: PipelineView | None = None
        self._model: Any = None
        self._cells: dict[str, str] = {}  # notebook cell id -> the component it declares
        self._declared_at: dict[str, float] = {}  # component -> when its cell last ran
        # The notebook's file, when the kernel is not told it (__session__): the command line.
        self.notebook: str | None = None
        self._notebook_cells: set[str] = set()  # the ids of its cells, as far as seen
        self._polling = False
        self._pending_parameters: list[OrvanePipelineParameterModel] = []
        self._owner_pid = os.getpid()

    def configure(self, **options: Any) -> None:
        """Sets ``pipeline_id``, ``persist``, ``autorun``, ``widgets``, ``progress`` or
        ``notebook`` (the path of the notebook file the kernel runs)."""
        for key, value in options.items():
            if key == "progress":
                self.callback.progress = value
            elif key in ("pipeline_id", "persist", "autorun", "widgets", "notebook"):
                if key == "pipeline_id" and self.pipeline is not None:
                    raise OrvaneUsageError("The pipeline exists already; set its id before.")
                if key == "pipeline_id":
                    self._stable_id = value is not None
                if key == "persist" and self.pipeline is not None:
                    self._set_keeping(value)
                setattr(self, key, value)
            else:
                raise TypeError(f"unknown option {key!r}")

    # -- graph ---------------------------------------------------------------------------------

    def declare(self, header: ComponentHeader, code: str) -> list[str]:
        """Declares a component; returns warnings about names it reads that it will not see."""
        provided = frozenset(p.name for p in self.parameters_view())
        warnings = self.registry.declare(header, code, provided)
        self._declared_at[header.name] = time.time()
        cell = self._cell_id()
        if cell is not None:
            # A cell that declared another name before was renamed: its old component goes,
            # unless other components still name it as their parent.
            old = self._cells.get(cell)
            self._cells[cell] = header.name
            if old is not None and old != header.name and old in self.registry.declarations:
                try:
                    self.registry.remove(old)
                except OrvaneUsageError:
                    pass
        if self.pipeline is not None:
            self._sync()
        elif self.view is not None:
            # Declared but not run (autorun off): the view shows what is declared so far.
            self.view.update(self.summary())
        return warnings

    def remove(self, name: str) -> None:
        """Forgets a component (the view drops it too); its children must go first."""
        self.registry.remove(name)
        self._declared_at.pop(name, None)
        self._cells = {k: v for k, v in self._cells.items() if v != name}
        if self.pipeline is not None:
            model = self.registry.model()
            self.pipeline.update_graph(new_graph=model)
            self._model = model
            self._note_reasons()
            self.callback.redraw()
        elif self.view is not None:  # declared only: the view drops it too
            self.view.update(self.summary())

    def _cell_id(self) -> str | None:
        """The id of the notebook cell being run, as the notebook front end sends it."""
        parent = getattr(self.shell, "parent_header", None)
        metadata = parent.get("metadata") if isinstance(parent, dict) else None
        cell = metadata.get("cellId") if isinstance(metadata, dict) else None
        return cell if isinstance(cell, str) and cell else None

    def _notebook_path(self) -> str:
        """The notebook file this kernel runs, as the server or the command line names it."""
        if self.notebook:
            return self.notebook
        return str((self.shell.user_ns.get("__session__") if self.shell else None) or "")

    def _notebook_record(self) -> kept.Notebook | None:
        """The notebook file of this kernel with the ids of its cells, saved or run here."""
        path = self._notebook_path()
        if not path.endswith(".ipynb"):
            return None
        notebook = saved.read(path)
        # Those seen before too: a notebook renamed while its kernel runs is gone from its path.
        self._notebook_cells |= set(self._cells)
        self._notebook_cells |= notebook.cell_ids() if notebook is not None else set()
        return kept.Notebook(os.path.abspath(path), sorted(self._notebook_cells))

    def _default_id(self) -> str:
        notebook = self._notebook_path()
        if notebook:
            digest = hashlib.sha256(os.path.abspath(notebook).encode()).hexdigest()[:8]
            self._stable_id = True
            return f"nb-{Path(notebook).stem}-{digest}"
        return f"session-{uuid.uuid4().hex[:8]}"

    def _sync(self) -> Any:
        if not self.registry.declarations:
            raise OrvaneUsageError(
                "No components declared yet: start a cell with %%component NAME and run it."
            )
        model = self.registry.model()
        changed = self.pipeline is None or model != self._model
        if self.pipeline is None:
            from orvane_core.pipeline.pipeline import OrvanePipeline

            self.pipeline_id = self.pipeline_id or self._default_id()
            keeps = self.keeps_cache()
            notebook = self._notebook_record() if keeps else None
            if keeps and os.environ.get("ORVANE_DAG") != self.pipeline_id:
                kept.take_dead_kernel_folder(self.pipeline_id)
                if notebook is not None:
                    # The kept folder follows the notebook's cells, not its file name.
                    kept.set_apart_foreign(self.pipeline_id, notebook)
                    kept.take_renamed(self.pipeline_id, notebook, saved.cell_ids)
                self._earlier = kept.remembered(self.pipeline_id)
            self.pipeline = OrvanePipeline(
                identifier=self.pipeline_id,
                graph=model,
                parameters=self._pending_parameters or None,
                callback=self.callback,
                shell=self.shell,
                **ENGINE_OPTIONS,
            )
            self._owner_pid = os.getpid()
            if keeps:
                self._store_parameters()
                if notebook is not None:  # also for a kernel that is killed
                    kept.note_notebook(Path(self.pipeline.diskcache_dir), notebook)
                atexit.register(self.keep_cache)
        elif model != self._model:
            if self.keeps_cache():
                new_ids = {c.id for c in model.components}
                kept.set_aside(
                    [n.diskcache_dir for c, n in self.pipeline.nodes.items() if c not in new_ids],
                    self.pipeline_id,
                )
            # An edited cell (and what runs after it) gets new ids: each takes the place of
            # the component of the same name, so the engine says what changed.
            earlier = {c.name: c.id for c in self._model.components} if self._model else {}
            replaces = {
                c.id: earlier[c.name] for c in model.components if earlier.get(c.name, c.id) != c.id
            }
            self.pipeline.update_graph(new_graph=model, replaces=replaces)
        self._model = model
        if self.keeps_cache():
            self._adopt_kept()  # takes kept caches of new components only
        if changed:  # otherwise the edges and reasons are as the last change left them
            ids = self.registry.ids()
            self.callback.extra["inferred_edges"] = sorted(
                (ids[p], ids[c]) for p, c in self.registry.inferred_edges()
            )
            # The engine's records drew the views before the new component had its reason.
            self._note_reasons(redraw=True)
        return self.pipeline

    def ids(self) -> dict[str, str]:
        return self.registry.ids()

    # -- running -------------------------------------------------------------------------------

    def run(
        self, names: list[str] | None = None, parallel: bool = False, reused_outputs: bool = False
    ) -> RunReport:
        """Runs the named components with their ancestors, or everything when ``names`` is none.

        The output of each component that runs is shown as soon as it finishes. A reused
        ancestor's old output is not shown again, only named in a note, unless
        ``reused_outputs`` is set (the notebook runner puts each output back into its own cell);
        a component the user named is always shown, reused or not.
        """
        if names is not None:
            self.registry.resolve(names)
        pipeline = self._sync()
        ids = self.ids()
        if parallel and not hasattr(pipeline, "execute_components_async"):
            raise not_available("Parallel execution", "execute_components_async")
        targets = list(ids.values()) if names is None else [ids[n] for n in names]
        plan = pipeline.execution_plan(targets)  # what the engine runs, in its order
        nodes = pipeline.nodes
        before = {cid: nodes[cid].success_count for cid in plan}
        label = "all" if names is None else ", ".join(names)
        shown: set[str] = set()
        stopped: set[str] = set()  # interrupted before they finished
        # The runner puts each component's output into its own cell: no labels there.
        if reused_outputs:
            sink = LiveSink(self.shell)
        else:
            own = targets[0] if len(targets) == 1 else None
            sink = _LabelledSink(self.shell, {cid: nodes[cid].name for cid in plan}, own)

        def show(cid: str) -> None:
            shown.add(cid)
            node = nodes[cid]
            # What it printed while running is on screen already; the rest follows. A component
            # that wrote nothing (most cells of a large run) has nothing left to show.
            captured = node.captured
            rest = sink.unshown(captured, cid) if captured else ()  # () is no new object
            if rest and rest[-1].get("type") == "stream" and not rest[-1]["text"].endswith("\n"):
                rest[-1] = {**rest[-1], "text": rest[-1]["text"] + "\n"}  # an error banner
            if (
                rest
                and rest[-1].get("type") == "stream"
                and node.status == OrvaneComponentStatus.FAILED
            ):
                rest[-1] = {**rest[-1], "text": user_banner(rest[-1]["text"], node.exception_msg)}
            value = node.last_output if node.status == OrvaneComponentStatus.SUCCESSFUL else None
            if (rest or value is not None) and isinstance(sink, _LabelledSink):
                sink.label(cid)
            if rest:
                OrvaneCapturedIO(rest).show(shell=self.shell, component_id=cid)
            if value is not None:
                _show_value(cid, node)

        states = self.callback.extra.get("states")
        if states:
            # One shown as cleared gets results again in the run, under the status it had.
            self.callback.extra["states"] = {
                cid: noted
                for cid, noted in states.items()
                if noted[0] != OrvaneComponentStatus.SUCCESSFUL or cid not in before
            }
        if self.widgets and self.view is not None:
            self.view.show_strip()  # in sight in this output while the run goes on
        self.callback.begin_execution(plan, label, on_finished=show)
        report = RunReport()
        started = time.perf_counter()
        try:
            with live_output(sink, workers=parallel), _rich_output():
                if parallel:
                    pipeline.execute_components_async(component_ids=targets, send_to_front=False)
                else:
                    pipeline.execute_components(component_ids=targets, send_to_front=False)
        finally:
            report.seconds = time.perf_counter() - started
            named = {ids[n] for n in names or ()}
            quiet = []
            for cid in plan:
                node = nodes[cid]
                name = node.name
                if node.status == OrvaneComponentStatus.FAILED:
                    report.failed.append(name)
                    report.errors[name] = error_name(node.exception_msg) or ""
                    if report.errors[name] == "KeyboardInterrupt":
                        stopped.add(cid)  # it did not finish: the bar leaves it out
                    if cid not in shown:
                        show(cid)  # an error recorded without a run (a parent's conflict)
                elif node.success_count != before[cid]:
                    report.ran.append(name)
                elif node.status == OrvaneComponentStatus.SUCCESSFUL:
                    report.reused.append(name)
                    if reused_outputs or cid in named:
                        show(cid)
                    else:
                        quiet.append(name)
            found = self._note_reasons()
            if found is None:
                found = self.reasons(plan)
            report.reasons = {nodes[cid].name: found[cid] for cid in plan if cid in found}
            self.callback.end_execution(
                report.line(), failed=bool(report.failed), unfinished=len(stopped)
            )
        if quiet:
            print(f"Reused from the cache: {', '.join(quiet)}")
        used = [nodes[cid].name for cid in plan if nodes[cid].name not in report.failed]
        edited = self.edited_not_run(used)
        if edited:
            graph = self.registry.graph()
            below = set().union(*(graph.descendants(e) for e in edited))
            users = [n for n in names or () if n in below and n not in edited]
            print(edited_note(edited, users), file=sys.stderr)
        for hint in self.missing_name_hints(report.failed):
            print(hint, file=sys.stderr)
        self._poll_when_idle()
        return report

    def _poll_when_idle(self) -> None:
        """Takes in disk writes that finish after the run while the kernel waits for input, so
        that the view turns "writing" into "cached" without another run."""
        if self._polling or self.view is None or not self._writes_pending():
            return
        try:
            loop = asyncio.get_running_loop()  # the kernel's loop: callbacks run when idle
        except RuntimeError:
            return
        self._polling = True
        deadline = time.monotonic() + 600

        def poll() -> None:
            try:
                self.pipeline.update_diskcache_status()
                self.callback.redraw()
                again = self._writes_pending() and time.monotonic() < deadline
            except Exception:
                again = False
            if again:
                loop.call_later(0.5, poll)
            else:
                self._polling = False

        loop.call_later(0.3, poll)

    def _writes_pending(self) -> bool:
        return self._pending_writes() > 0

    def _pending_writes(self) -> int:
        """Writes queued and not finished. The stored status, not the reported one: a component
        that still has an earlier cache attached reports "cached" while its new write is queued."""
        pipeline = self.pipeline
        if pipeline is None:
            return 0
        return sum(
            1 for n in pipeline.nodes.values() if n.use_diskcache and n._diskcache_write_pending()
        )

    def reasons(self, component_ids: list[str] | None = None) -> dict[str, str]:
        """Per component id, where its results come from ("ran: its parent model reran",
        "reused: its disk cache is current"), or what the next run will do with it: run it, for
        a component that is invalid, failed or cleared now ("will run: parameters changed:
        alpha"), or reuse results it has not used yet ("will be reused: kept on disk", from an
        earlier kernel). Status, view and the command line's summary all show this. Empty when
        the engine does not say."""
        return self._explained(component_ids)[0]

    def _explained(
        self, component_ids: list[str] | None = None
    ) -> tuple[dict[str, str], dict[str, tuple[str, str]]]:
        """The reasons, and the words shown instead of the status of a component that never
        ran ("not run yet", not "invalid") or whose results were cleared ("cleared", not
        "successful"), with the status each stands for."""
        explain = getattr(self.pipeline, "explain", None)
        if explain is None:
            return {}, {}
        ids = self.ids()
        names = {cid: name for name, cid in ids.items()}

        def named(match: re.Match) -> str:
            return names.get(match.group(), match.group())

        def why_of(cid: str, told: dict) -> str | None:
            return self._why(names[cid], cid, told, ids)

        nodes = self.pipeline.nodes
        found = explain()
        out: dict[str, str] = {}
        states: dict[str, tuple[str, str]] = {}
        for cid in found if component_ids is None else component_ids:
            entry = found.get(cid) or {}
            coming, results = entry.get("next") or {}, entry.get("results") or {}
            status = nodes[cid].status
            # Why the next run runs it, for what it holds no results of its own for: invalid, failed
            # (interrupted included) or cleared.
            runs_next = coming.get("reason") and (
                status == OrvaneComponentStatus.INVALID
                or (
                    coming.get("decision") == "ran"
                    and (
                        status == OrvaneComponentStatus.FAILED
                        or results.get("decision") not in ("ran", "reused")
                    )
                )
            )
            if runs_next:
                # A parent that is invalid itself has not rerun yet (a parameter changed): it
                # will, first. One that ran since (an edited cell runs as it is declared) reran.
                parent = (
                    nodes.get(coming.get("parent"))
                    if coming.get("cause") == "parent_reran"
                    else None
                )
                if parent is not None and parent.status == OrvaneComponentStatus.INVALID:
                    text = f"will run: its parent {coming['parent']} will rerun"
                else:
                    why = why_of(cid, coming)
                    text = f"will run: {why}"
                    cause = coming.get("cause")
                    if cause == "cleared":
                        states[cid] = (str(status), CLEARED)
                    elif cause == "never_ran" and why == coming.get("reason"):
                        states[cid] = (str(status), NOT_RUN)
            elif results.get("decision") == "reused" and entry.get("decision") == "none":
                # Taken from an earlier kernel and not asked for in this one yet.
                text = "will be reused: kept on disk"
            elif results.get("decision") in ("ran", "reused"):
                text = f"{results['decision']}: {why_of(cid, results)}"
            elif coming.get("decision") == "reused":
                text = f"will be reused: {coming.get('reason')}"
            elif (why := why_of(cid, coming)) != coming.get("reason"):
                text = f"will run: {why}"  # an edit since an earlier kernel
            else:
                continue
            # The engine names components by id: one pass over the text, whatever the size of
            # the graph.
            out[cid] = _ID.sub(named, text)
        return out, states

    def _why(self, name: str, cid: str, told: dict, ids: dict[str, str]) -> str | None:
        """The engine's reason; for a component it never ran that an earlier kernel ran under
        another id (an edit since), what changed, as the engine says it within one kernel."""
        earlier = self._earlier.get(name)
        if told.get("cause") == "never_ran" and earlier is not None and earlier.id != cid:
            decl = self.registry.declarations[name]
            why = kept.since(earlier, decl.code, [(p, ids[p]) for p in decl.parents])
            if why is not None:
                return why
        return told.get("reason")

    def _remember(self, folder: Path) -> None:
        """Writes into ``folder`` the components its caches were made by, for the next kernel:
        one without results in this kernel stays as the last kernel had it."""
        ids, nodes = self.ids(), self.pipeline.nodes
        memory = {}
        for name, decl in self.registry.declarations.items():
            node = nodes.get(ids[name])
            if node is not None and (
                node.success_count or node.status == OrvaneComponentStatus.SUCCESSFUL
            ):
                parents = [(p, ids[p]) for p in decl.parents]
                memory[name] = kept.Remembered(ids[name], kept.code_digest(decl.code), parents)
            elif name in self._earlier:
                memory[name] = self._earlier[name]
        kept.remember(folder, memory)

    def _note_reasons(self, redraw: bool = False) -> dict[str, str] | None:
        """Gives the views the reasons as they are now (after anything that may change them) and
        returns them; without a view nothing needs them, and a large notebook declares many
        cells."""
        if not self.callback.views:
            return None
        found, self.callback.extra["states"] = self._explained()
        self.callback.extra["reasons"] = found
        if redraw:
            self.callback.redraw()
        return found

    # -- parameters ----------------------------------------------------------------------------

    def parameters_view(self) -> list[OrvanePipelineParameterModel]:
        if self.pipeline is not None:
            return list(self.pipeline.parameters_view)
        return list(self._pending_parameters)

    def set_parameters(self, text: str) -> list[OrvanePipelineParameterModel]:
        records = parameter_records(text)
        if not records:
            raise OrvaneUsageError(f"Nothing to set. Usage: {SET_USAGE}")
        merged = {r.name: r for r in self.parameters_view()}
        merged.update((r.name, r) for r in records)
        if self.pipeline is None:
            self._pending_parameters = list(merged.values())
        else:
            try:
                self.pipeline.set_parameters(new_parameters=list(merged.values()))
            except ValueError as exc:
                self.callback.take_notes()
                raise OrvaneUsageError(f"{exc}. Usage: {SET_USAGE}") from None
            self._store_parameters()
            self._note_reasons(redraw=True)
        return self.parameters_view()

    # -- search --------------------------------------------------------------------------------

    def optimize(
        self,
        target: str,
        ranges: list[str],
        n_trials: int = 20,
        method: str = "tpe",
        directions: list[str] | None = None,
        early_stopping: int | None = None,
        apply_best: bool = False,
        show_outputs: bool = False,
    ) -> SearchResults:
        """Searches the parameter ranges for the best value of ``target``'s last expression.

        Trials show no cell output, only the progress. Afterwards the parameters are back to their
        values before the search, or set to the best trial's with ``apply_best``.
        ``show_outputs`` then shows each component's output once, for those parameters (the
        notebook runner puts it into the component's cell).
        """
        self.registry.resolve([target])
        space = search_space(ranges)
        if method not in METHODS:
            raise OrvaneUsageError(f"Unknown search method {method!r}; use {', '.join(METHODS)}.")
        if method == "grid" and any("interval" not in d for d in space.values()):
            raise OrvaneUsageError(
                "A grid search needs a STEP for every range, e.g. alpha=0.1:1:step:0.1."
            )
        if n_trials < 1:
            raise OrvaneUsageError("The number of trials must be at least 1.")
        before = self.parameters_view()
        unknown = [name for name in space if name not in {p.name for p in before}]
        if unknown:
            known = ", ".join(p.name for p in before) or "none set yet"
            raise OrvaneUsageError(
                f"{', '.join(map(repr, unknown))} {'is' if len(unknown) == 1 else 'are'} not a "
                f"pipeline parameter (parameters: {known}); give it a starting value with "
                "%orvane set NAME=VALUE first (-p NAME=VALUE on the command line)."
            )
        pipeline = self._sync()
        if not hasattr(pipeline, "optimize_parameters"):
            raise not_available("Parameter search", "optimize_parameters")
        cid = self.ids()[target]
        last_expr = pipeline.nodes[cid].last_expr or ""
        if not last_expr.strip():
            # The engine would stop on the empty expression with a bare SyntaxError.
            raise OrvaneUsageError(
                f"{target!r} has no last expression to optimize: end its cell with the value "
                "to search for, e.g. a last line `score`."
            )
        names = target_names(last_expr)
        directions = directions or ["maximize"] * len(names)
        if len(directions) != len(names):
            raise OrvaneUsageError(
                f"{target!r} returns {len(names)} value(s) ({', '.join(names)}) but "
                f"{len(directions)} direction(s) were given."
            )
        if apply_best and len(names) > 1:
            raise OrvaneUsageError(
                "--apply-best needs a single value to optimize; with several there is no one "
                "best trial. Apply the values you choose with %orvane set."
            )
        # The search pauses the disk caches: the last run's writes finish first, or the results
        # from before the search would be lost and rerun once the parameters are back.
        self.wait_for_disk()
        self.callback.take_notes()
        self.callback.begin_search(n_trials, names, directions)
        results = None
        try:
            # The search shows one progress line and its table instead of every trial's output.
            with _quiet_optuna():
                pipeline.optimize_parameters(
                    component_id=cid,
                    opt_method=METHODS[method],
                    directions=[int(d == "maximize") for d in directions],
                    parameters=space,
                    n_trials=n_trials,
                    early_stopping_rounds=early_stopping,
                    quiet_trials=True,
                )
        finally:
            results = self.callback.end_search()
            best = results.best_parameters() if apply_best and results is not None else None
            self._restore_parameters(before, best)
            self._note_reasons(redraw=True)
        self.last_search = results
        notes = self.callback.take_notes()
        if results is None or not results.completed:
            node = pipeline.nodes.get(cid)
            if node is not None and node.status == OrvaneComponentStatus.FAILED:
                ename = error_name(node.exception_msg)
                raise OrvaneRunError(
                    f"The search stopped: {target} failed in a trial"
                    + (f" ({ename})" if ename else "")
                    + f"; run %orvane run {target} to see its error."
                )
            raise OrvaneRunError("; ".join(notes) or "The search ended without a result.")
        if show_outputs:
            # One copy of each cell's output, for the parameters the search leaves: the caches
            # from before the search serve it, or the best values run once.
            self.run([target], reused_outputs=True)
        return results

    def _restore_parameters(
        self, before: list[OrvanePipelineParameterModel], best: dict[str, Any] | None
    ) -> None:
        records = {p.name: p for p in before}
        for name, value in (best or {}).items():
            records[name] = OrvanePipelineParameterModel(
                name=name, type=type(value).__qualname__, value=repr(value)
            )
        now = [p.dict() for p in self.pipeline.parameters_view]
        if now != [r.dict() for r in records.values()]:
            # Unchanged values keep the results of the last trial.
            self.pipeline.set_parameters(new_parameters=list(records.values()))
        self._store_parameters()

    # -- caches --------------------------------------------------------------------------------

    def clear(self, name: str | None = None) -> None:
        pipeline = self._sync()
        # Writes still on their way are withdrawn by the engine: a clear waits for none.
        if name is None:
            pipeline.clear_all_cache()
            kept.drop(self.pipeline_id)
        else:
            self.registry.resolve([name])
            pipeline.clear_component_cache(component_id=self.ids()[name])
        self._note_reasons(redraw=True)

    def wait_for_disk(self, timeout: float = 60.0, report: bool = False) -> bool:
        """Waits until no disk write is pending; true when none is left. ``report`` says on
        stderr what it waits for when that takes more than a moment, and what it gave up."""
        pipeline = self.pipeline
        if pipeline is None:
            return True
        started = time.monotonic()
        said = False
        while True:
            pipeline.update_diskcache_status()
            left = self._pending_writes()
            if not left:
                return True
            waited = time.monotonic() - started
            if waited > timeout:
                if report:
                    print(
                        f"orvane: {left} disk write(s) did not finish in {timeout:g} s; the "
                        "next run computes those components again",
                        file=sys.stderr,
                    )
                return False
            if report and not said and waited > 1.0:
                said = True
                print(f"orvane: waiting for {left} disk write(s) to finish", file=sys.stderr)
            time.sleep(0.02)

    def keeps_cache(self) -> bool:
        """Whether the disk cache is kept for the next kernel of this notebook."""
        if self.persist is not None:
            return bool(self.persist)
        return self._stable_id and kept.keeping_by_default()

    def _set_keeping(self, on: bool) -> None:
        atexit.unregister(self.keep_cache)
        if on:
            atexit.register(self.keep_cache)

    def _adopt_kept(self) -> None:
        """Takes the kept caches of components declared since the last look, and lets the
        engine adopt them; it checks each against the component's fingerprint."""
        pipeline = self.pipeline
        fresh = [cid for cid in pipeline.nodes if cid not in self._looked]
        self._looked = set(pipeline.nodes)
        wanted = [cid for cid in fresh if pipeline.nodes[cid].status != "successful"]
        if not wanted or not kept.kept_dir(self.pipeline_id).is_dir():
            return
        # Adoption removes unfinished writes: let the pending ones finish first.
        self.wait_for_disk()
        if kept.take(self.pipeline_id, wanted, Path(pipeline.diskcache_dir)):
            # Only the caches just taken: those adopted before are not read and checked again.
            pipeline.load_diskcache(diskcache_dir=pipeline.diskcache_dir, component_ids=wanted)

    def keep_cache(self, timeout: float | None = None, report: bool = False) -> None:
        """Leaves the disk cache for the next kernel that opens this pipeline id; call it last.

        A pipeline deletes its cache directory when it is deleted or the interpreter exits.
        This finishes the pending writes, has the pipeline leave its directory and moves the
        finished caches into the kept folder, where the next session with the same id takes them
        back as its components are declared. Kept caches beyond the size limit go, oldest first.
        """
        pipeline = self.pipeline
        if pipeline is None or not os.path.isdir(pipeline.diskcache_dir):
            return
        if os.getpid() != self._owner_pid:
            return  # a forked child leaves its parent's folders alone
        atexit.unregister(self.keep_cache)
        # Writes still queued when the writer stops are lost: the next kernel would run again
        # what this one computed. A large result may take a while to write.
        self.wait_for_disk(KEEP_WAIT if timeout is None else timeout, report)
        self._store_parameters()
        results = {
            cid: n.name
            for cid, n in pipeline.nodes.items()
            if n.use_diskcache and n.status == OrvaneComponentStatus.SUCCESSFUL
        }
        folder = Path(pipeline.keep_diskcache())
        self._remember(folder)
        notebook = self._notebook_record()
        if notebook is not None:  # with the cells added since the pipeline was made
            kept.note_notebook(folder, notebook)
        ids = set(self.ids().values())
        kept.stash(folder, self.pipeline_id, ids.__contains__)
        kept.prune(kept.size_limit(), spare=[self.pipeline_id])
        held = kept.kept_ids(self.pipeline_id)
        lost = [name for cid, name in results.items() if cid not in held]
        if report and lost:
            print(
                f"orvane: the results of {', '.join(lost)} were not kept; the next run computes "
                "them again",
                file=sys.stderr,
            )

    def _parameters_file(self) -> Path:
        return Path(self.pipeline.diskcache_dir) / "pipeline.json"

    def _store_parameters(self) -> None:
        if not self.keeps_cache() or self.pipeline is None:
            return
        path = self._parameters_file()
        data = {"parameters": [p.dict() for p in self.pipeline.parameters_view]}
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
        with os.fdopen(fd, "w") as fh:
            json.dump(data, fh)

    # -- pictures ------------------------------------------------------------------------------

    def summary(self) -> dict:
        """The pipeline's summary with the front end's reasons and words (see ``_explained``).
        Components declared without running (autorun off) whose results an earlier kernel kept
        are taken in first: what the next run will do depends on them."""
        if self.pipeline is None and self._kept_waiting():
            self._sync()
        if self.pipeline is None:
            return self._declared_summary()
        reasons, states = self._explained()
        info = self.pipeline.info.dict()
        return {**info, **self.callback.extra, "reasons": reasons, "states": states}

    def _kept_waiting(self) -> bool:
        """Whether an earlier kernel of this notebook left results for the declared components
        (which the pipeline takes as it is made)."""
        if not self.registry.declarations:
            return False
        self.pipeline_id = self.pipeline_id or self._default_id()
        if not self.keeps_cache():
            return False
        return kept.kept_dir(self.pipeline_id).is_dir() or kept.live_dir(self.pipeline_id).is_dir()

    def _declared_summary(self) -> dict:
        """The components declared before the pipeline exists (nothing ran): none has results
        or a cache yet."""
        if not self.registry.declarations:
            return {}
        ids = self.registry.ids()
        declarations = self.registry.declarations
        return {
            "components": [
                {
                    "identifier": cid,
                    "name": name,
                    "execution_status": "invalid",
                    "metadata": {"diskcache": declarations[name].header.diskcache},
                }
                for name, cid in ids.items()
            ],
            "reasons": dict.fromkeys(ids.values(), "will run: it never ran"),
            "states": dict.fromkeys(ids.values(), ("invalid", NOT_RUN)),
            "edges": [
                {"source": ids[p], "target": ids[n]}
                for n, d in self.registry.declarations.items()
                for p in d.parents
            ],
            "inferred_edges": sorted((ids[p], ids[c]) for p, c in self.registry.inferred_edges()),
        }

    def missing_name_hints(self, names: list[str]) -> list[str]:
        """For components that failed on an unknown name: which component defines it."""
        hints = []
        for name in names:
            cid = self.ids().get(name)
            node = self.pipeline.nodes.get(cid) if self.pipeline is not None and cid else None
            text = "\n".join(map(str, getattr(node, "exception_msg", None) or ()))
            found = _NAME_ERROR.search(_ANSI.sub("", text))
            if found is None:
                continue
            missing = found.group(1)
            definers = self.registry.definers(missing, exclude=name)
            if not definers:
                unrun = self._unrun_definers(missing)
                if unrun:
                    hints.append(
                        f"{missing!r} is defined by component {' and '.join(map(repr, unrun))}, "
                        "whose cell has not run in this kernel: run that cell first, then "
                        f"{name!r} again."
                    )
                elif missing not in {p.name for p in self.parameters_view()}:
                    hints.append(
                        f"No component defines {missing!r} and no parameter has that name: "
                        f"define it in a component or set it with %orvane set {missing}=VALUE."
                    )
                continue
            decl = self.registry.declarations[name]
            how = (
                f"run the cell of {name!r} again to infer it, or pin it with"
                if decl.inferred
                else "add it to the header:"
            )
            hints.append(
                f"{missing!r} is defined by component {' and '.join(map(repr, definers))}, "
                f"which is not a parent of {name!r}: {how} "
                f"'%%component {name} after {', '.join((*decl.parents, definers[-1]))}'."
            )
        return hints

    def _unrun_definers(self, symbol: str) -> list[str]:
        """Components of the saved notebook, not declared in this kernel, whose cells define
        ``symbol``: the kernel knows a notebook's cells only from its file."""
        notebook = saved.read(self._notebook_path())
        if notebook is None:
            return []
        return [
            cell.header.name
            for cell in notebook.cells
            if cell.header is not None
            and cell.header.name not in self.registry.declarations
            and symbol in cell_names(cell.code).defines
        ]

    def edited_not_run(self, names: list[str]) -> list[str]:
        """Of the components ``names``, those whose cell in the saved notebook differs from
        what it was declared with and was saved after that: edited, and not run since. A file
        saved before the cell ran holds older code, which says nothing."""
        notebook = saved.read(self._notebook_path())
        if notebook is None:
            return []
        found: list[str] = []
        index: tuple[dict, dict, dict] | None = None
        for name in names:
            declared = self.registry.declarations.get(name)
            at = self._declared_at.get(name)
            if declared is None or at is None or notebook.saved <= at:
                continue
            if index is None:
                index = (
                    {c.id: c for c in notebook.cells if c.id},
                    {c.header.name: c for c in reversed(notebook.cells) if c.header},
                    {name: cell for cell, name in self._cells.items()},
                )
            by_id, by_name, cell_of = index
            # The cell that declared it, when the kernel was told which; else the one naming it.
            cell = by_id.get(cell_of.get(name)) or by_name.get(name)
            if cell is not None and (cell.header != declared.header or cell.code != declared.code):
                found.append(name)
        return found

    def show(self) -> PipelineView:
        """A live view of the pipeline, shown in the notebook and redrawn during runs; every
        output showing it is updated together."""
        if self.view is None:
            self.view = make_view(self.summary())
            self.callback.views.append(self.view)
            self._note_reasons()  # what runs draw from now on
        self.view.show()
        return self.view

    def export(self, directory: str) -> list[str]:
        """Writes the pipeline picture and the last search's figures; returns their paths."""
        out = Path(directory)
        out.mkdir(parents=True, exist_ok=True)
        paths = [out / "pipeline.svg"]
        paths[0].write_text(pipeline_svg(self.summary()))
        if self.last_search is not None:
            figures = self.last_search.figures()
            for stem, figure in figures.items():
                path = out / f"{stem}.html"
                figure.write_html(path, include_plotlyjs="directory")
                paths.append(path)
            table = out / "best_trials.txt"
            table.write_text(self.last_search.table_text() + "\n")
            paths.append(table)
            if figures:  # which they load from beside them
                paths.append(out / "plotly.min.js")
        return [str(p) for p in paths]
