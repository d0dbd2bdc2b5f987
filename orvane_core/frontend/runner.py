"""Runs a notebook of component cells in a real kernel and writes it back with its outputs.

The notebook is checked first without a kernel (headers, parents, cycles, targets). Then every
code cell is executed in order with autorun off, so component cells only declare themselves;
then the requested run or search is made in one request. What the components show carries
their id, so each output is put back into its own cell; progress goes to the terminal.
"""

from __future__ import annotations

import ast
import contextlib
import hashlib
import os
import queue
import re
import shlex
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO

from orvane_core.frontend.declarations import ComponentRegistry, OrvaneUsageError, split_cell
from orvane_core.frontend.session import (
    parameter_record,
    parse_assignments,
    search_space,
)

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_KERNEL = 0, 1, 2, 3
EXIT_INTERRUPTED = 130  # 128 + SIGINT: what a shell reports for a command stopped by Ctrl-C
# How the kernel names the components a run was running when it was interrupted.
_STOPPED_AT = re.compile(r"Interrupted while running (.+?);")
_LOAD_EXT = re.compile(r"^\s*%(?:re)?load_ext\s+orvane_core\b", re.MULTILINE)


class RunnerError(Exception):
    """Ends the run with a message and an exit code."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


@dataclass
class Request:
    """What to do once the notebook's cells are declared."""

    targets: list[str] | None = None  # None: everything
    parallel: bool = False
    parameters: list[str] = field(default_factory=list)
    search: dict | None = None  # keywords of OrvaneSession.optimize
    fresh: bool = False


def load_notebook(path: Path) -> tuple[Any, ComponentRegistry, dict[str, int]]:
    """The notebook, its declared components and the cell index of each component."""
    import nbformat

    if path.is_dir():
        inside = sorted(p.name for p in path.glob("*.ipynb") if not p.stem.endswith(".out"))
        hint = f" (it holds {', '.join(inside)})" if inside else ""
        raise RunnerError(
            f"{path}: a folder, not a notebook; give the path of a .ipynb file{hint}", EXIT_USAGE
        )
    if not path.is_file():
        raise RunnerError(f"{path}: no such notebook", EXIT_USAGE)
    try:
        nb = nbformat.read(path, as_version=4)
    except Exception as exc:
        raise RunnerError(f"{path}: not a readable notebook ({exc})", EXIT_USAGE) from None
    registry = ComponentRegistry()
    cells: dict[str, int] = {}
    for index, cell in enumerate(nb.cells):
        if cell.cell_type != "code":
            continue
        try:
            found = split_cell(cell.source)
            if found is not None:
                registry.declare(*found)
                cells[found[0].name] = index
        except OrvaneUsageError as exc:
            raise RunnerError(f"{path}, cell {index + 1}: {exc}", EXIT_USAGE) from None
    if not cells:
        raise RunnerError(
            f"{path}: no component cells. Start a code cell with a header line such as "
            "'%%component train after data' to make it a pipeline component.",
            EXIT_USAGE,
        )
    return nb, registry, cells


def pipeline_id_for(path: Path) -> str:
    digest = hashlib.sha256(str(path.resolve()).encode()).hexdigest()[:8]
    return f"nb-{path.stem}-{digest}"


class _Kernel:
    """A python3 kernel and a way to run code in it, routing each output message."""

    def __init__(self, cwd: Path, log: Path) -> None:
        from jupyter_client.manager import KernelManager

        self.manager = KernelManager(kernel_name="python3")
        # The kernel's own messages (crashes, errors) go to a log, not over the progress. Its
        # routine start-up warnings would make every failed run point to that log: left out.
        with open(log, "wb") as sink:
            self.manager.start_kernel(
                cwd=str(cwd),
                stdout=sink,
                stderr=sink,
                extra_arguments=["--IPKernelApp.log_level=ERROR"],
            )
        self.client = self.manager.client()
        self.client.start_channels()
        try:
            self.client.wait_for_ready(timeout=120)
        except RuntimeError as exc:
            self.close()
            raise RunnerError(f"the kernel did not start: {exc}", EXIT_KERNEL) from None
        except KeyboardInterrupt:
            self.close()
            raise RunnerError("interrupted while the kernel started", EXIT_INTERRUPTED) from None

    def execute(
        self,
        code: str,
        on_output: Any,
        timeout: float | None,
        expressions: dict | None = None,
        history: bool = False,
        doing: str = "",
    ) -> dict:
        """Runs ``code``; ``history`` counts it as a notebook cell (it gets an execution count).
        Ctrl-C interrupts the kernel, takes in what the code showed until it stopped and ends
        the run, naming what ran (``doing``, or the components the kernel names)."""
        msg_id = self.client.execute(
            code, store_history=history, user_expressions=expressions or {}
        )
        try:
            return self._reply(msg_id, on_output, timeout)
        except KeyboardInterrupt:
            reply = self._stop(msg_id, on_output, own=not history)
            stopped = _STOPPED_AT.match(str(reply.get("evalue", "")))
            what = stopped.group(1) if stopped else doing
            raise RunnerError(
                f"interrupted while running {what}" if what else "interrupted", EXIT_INTERRUPTED
            ) from None

    def _stop(self, msg_id: str, on_output: Any, own: bool) -> dict:
        """Interrupts the kernel and routes its last outputs until it is idle (10 s at most,
        less if Ctrl-C comes again); returns its reply, or {}. In a request of the runner's
        own (``own``), the interrupt's traceback shows the runner's code, not the user's: the
        line saying what was interrupted takes its place."""
        deadline = time.monotonic() + 10
        try:
            self.manager.interrupt_kernel()
            while time.monotonic() < deadline:
                try:
                    msg = self.client.get_iopub_msg(timeout=0.5)
                except queue.Empty:
                    if not self.manager.is_alive():
                        return {}
                    continue
                if msg["parent_header"].get("msg_id") != msg_id:
                    continue
                kind, content = msg["msg_type"], msg["content"]
                if kind == "status" and content["execution_state"] == "idle":
                    break
                # The run's own error tells the notebook user to run the cell again; here the
                # line saying what was interrupted takes its place.
                ename = content.get("ename")
                dropped = ename == "OrvaneRunError" or (own and ename == "KeyboardInterrupt")
                if kind != "status" and not dropped:
                    on_output(
                        kind, content, {**msg.get("metadata", {}), **content.get("metadata", {})}
                    )
            else:
                return {}
            while time.monotonic() < deadline:
                reply = self.client.get_shell_msg(timeout=max(0.1, deadline - time.monotonic()))
                if reply["parent_header"].get("msg_id") == msg_id:
                    return reply["content"]
        except (KeyboardInterrupt, queue.Empty):
            pass
        return {}

    def _reply(self, msg_id: str, on_output: Any, timeout: float | None) -> dict:
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                msg = self.client.get_iopub_msg(timeout=1)
            except queue.Empty:
                if not self.manager.is_alive():
                    raise RunnerError("the kernel died", EXIT_KERNEL) from None
                if deadline is not None and time.monotonic() > deadline:
                    self.manager.interrupt_kernel()
                    raise RunnerError(f"timed out after {timeout:g} s", EXIT_FAILED) from None
                continue
            if msg["parent_header"].get("msg_id") != msg_id:
                continue
            kind = msg["msg_type"]
            if kind == "status":
                if msg["content"]["execution_state"] == "idle":
                    break
                continue
            content = msg["content"]
            # Stream messages carry the component id in the message's metadata.
            on_output(kind, content, {**msg.get("metadata", {}), **content.get("metadata", {})})
        while True:
            reply = self.client.get_shell_msg(timeout=60)
            if reply["parent_header"].get("msg_id") == msg_id:
                return reply["content"]

    def close(self) -> None:
        self.client.stop_channels()
        try:
            self.manager.shutdown_kernel(now=False)
        except KeyboardInterrupt:
            self.manager.shutdown_kernel(now=True)  # Ctrl-C again: no waiting for it
            raise


def _output(kind: str, content: dict) -> dict | None:
    import nbformat

    if kind == "stream":
        return nbformat.v4.new_output("stream", name=content["name"], text=content["text"])
    if kind in ("display_data", "execute_result"):
        out = nbformat.v4.new_output(
            kind, data=content["data"], metadata=content.get("metadata", {})
        )
        if kind == "execute_result":
            out.execution_count = content.get("execution_count") or None
        return out
    if kind == "error":
        return nbformat.v4.new_output(
            "error",
            ename=content["ename"],
            evalue=content["evalue"],
            traceback=content["traceback"],
        )
    return None


_ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


def plain_output(term: TextIO) -> bool:
    """Whether ``term`` gets plain text: no colours, no redrawn lines (a log, a pipe, NO_COLOR)."""
    if os.environ.get("NO_COLOR"):
        return True
    try:
        return not term.isatty()
    except (AttributeError, ValueError):
        return True


class _Terminal:
    """The terminal, knowing whether a line (a progress bar) is left open, so that every
    message of ours and every error starts on a line of its own.

    ``plain`` (no terminal): colours are dropped and a line redrawn after "\r" is held back,
    so that only its last state is written, when the line ends.
    """

    def __init__(self, term: TextIO, plain: bool | None = None) -> None:
        self.term = term
        self.plain = plain_output(term) if plain is None else plain
        self.held = ""  # plain: the open line, not written yet
        self.open_line = False
        self.progress_line = False  # the open line is a progress bar, redrawn after a "\r"

    def write(self, text: str) -> None:
        if not text:
            return
        if self.plain:
            text = _ANSI.sub("", text)
            self._settle(text)
        else:
            self.term.write(text)
        # Plain, the held line counts as written: it shows once the line ends.
        shown = self.held if self.plain else text
        self.open_line = bool(shown) and not shown.endswith(("\n", "\r"))
        self.progress_line = self.open_line and "\r" in shown

    def _settle(self, text: str) -> None:
        """Writes the finished lines of the held line and ``text``, each in its last state, and
        holds the rest: a redraw may follow."""
        lines = (self.held + text).split("\n")
        for line in lines[:-1]:
            self.term.write(_last_state(line) + "\n")
        self.held = lines[-1]

    def line(self, text: str) -> None:
        """Writes ``text`` as a line of its own."""
        if self.open_line:
            self.write("\n")
        self.write(text if text.endswith("\n") else text + "\n")
        self.flush()

    def flush(self) -> None:
        self.term.flush()

    def end_line(self, drop_progress: bool = False) -> None:
        """Ends the open line before other output. Plain, a progress bar that is drawn again
        after that output is dropped instead: a log wants only its final state."""
        if self.plain and self.progress_line and drop_progress:
            self.held = ""
            self.open_line = self.progress_line = False
        else:
            self.write("\n")

    def close(self) -> None:
        """Ends an open line held back (plain text), in its last state."""
        if self.held and _last_state(self.held):
            self.write("\n")
        self.held = ""
        self.flush()


def _last_state(line: str) -> str:
    """What a line redrawn after each "\r" shows at the end (a bare "\r" at its end clears
    nothing until the next text comes)."""
    states = [part for part in line.split("\r") if part]
    return states[-1] if states else ""


class _Router:
    """Puts output messages into notebook cells, and echoes what matters to the terminal."""

    def __init__(self, nb: Any, term: _Terminal) -> None:
        self.nb = nb
        self.term = term
        self.displays: dict[str, list[dict]] = {}  # display id -> outputs showing it

    def append(self, index: int | None, kind: str, content: dict) -> None:
        if kind == "clear_output":
            if index is not None:
                self.nb.cells[index].outputs = []
            return
        if kind == "update_display_data":
            for out in self.displays.get(content.get("transient", {}).get("display_id"), []):
                out.data = content["data"]
                out.metadata = content.get("metadata", {})
            return
        out = _output(kind, content)
        if out is None or index is None:
            return
        outputs = self.nb.cells[index].outputs
        if (
            kind == "stream"
            and outputs
            and outputs[-1].output_type == "stream"
            and (outputs[-1].name == out.name)
        ):
            outputs[-1].text += out.text
        else:
            outputs.append(out)
        display_id = content.get("transient", {}).get("display_id")
        if display_id:
            self.displays.setdefault(display_id, []).append(out)

    def write(self, text: str) -> None:
        self.term.write(text)

    def echo(self, kind: str, content: dict, meta: dict | None = None, prefix: str = "") -> None:
        if kind == "stream" and not prefix and content["text"] == "\n" and not self.term.open_line:
            return  # the end of a progress bar whose line was ended already
        redraw = kind == "stream" and content["text"].startswith("\r") and self.term.progress_line
        if self.term.open_line and not redraw:
            # A component's output, amid the run's progress bar, which is drawn again after it.
            self.term.end_line(drop_progress=bool(prefix))
        if kind == "stream":
            text = content["text"]
            if prefix:
                text = "".join(prefix + line for line in text.splitlines(keepends=True))
            self.write(text)
        elif kind == "execute_result" or (
            kind == "display_data" and "text/plain" in content["data"]
        ):
            data = content["data"]
            if len(data) > 1 and data.get("text/plain", "").startswith("<"):
                return  # rich-only output (tables, figures); the notebook has it
            self.write(f"{prefix}{data.get('text/plain', '')}\n")
        elif kind == "error" and content.get("traceback"):
            self.write("\n".join(content["traceback"]) + "\n")
        self.term.flush()


def run_notebook(
    path: str | os.PathLike,
    request: Request,
    output: str | os.PathLike | None = None,
    timeout: float | None = None,
    term: TextIO | None = None,
) -> int:
    """Runs the notebook as requested; returns the exit code. Messages go to ``term``."""
    terminal = _Terminal(term or sys.stderr)
    try:
        return _run(Path(path), request, output, timeout, terminal)
    except RunnerError as exc:
        terminal.line(f"orvane: {exc}")
        return exc.code
    except KeyboardInterrupt:  # between requests to the kernel, or while it was shut down
        terminal.line("orvane: interrupted")
        return EXIT_INTERRUPTED
    finally:
        terminal.close()


def _run(path: Path, request: Request, output: Any, timeout: float | None, term: _Terminal) -> int:
    import nbformat

    nb, registry, cells = load_notebook(path)
    for name in request.targets or []:
        if name not in registry.declarations:
            raise RunnerError(
                f"unknown component {name!r}; the notebook has: {', '.join(registry.declarations)}",
                EXIT_USAGE,
            )
    try:
        if request.search is not None:
            registry.resolve([request.search["target"]])
            search_space(request.search["ranges"])
        records = [_option_parameter(text) for text in request.parameters]
        unread = [r.name for r in records if not _read_by_any(registry, r.name)]
        if request.search is not None:
            _check_tuned(nb, request.search["ranges"], records)
    except OrvaneUsageError as exc:
        raise RunnerError(str(exc), EXIT_USAGE) from None
    ids = registry.ids()
    cell_of = {ids[name]: index for name, index in cells.items()}
    name_of = {cid: name for name, cid in ids.items()}
    out_path = Path(output) if output else path.with_name(f"{path.stem}.out.ipynb")
    pictures = out_path.with_name(f"{out_path.stem}.files")
    router = _Router(nb, term)

    many = "component" if len(cells) == 1 else "components"
    term.line(f"orvane: running {path} ({len(cells)} {many}) in a new kernel")
    for name in unread:
        # Likely a misspelt name, which would otherwise be set quietly and change nothing.
        term.line(f"orvane: no component reads the parameter {name!r}; check its spelling")
    pictures.mkdir(parents=True, exist_ok=True)
    log = pictures / "kernel.log"
    files: list[str] = []
    try:
        kernel = _Kernel(path.parent, log)
    except RunnerError as exc:
        term.line(f"orvane: {exc}")
        _name_files(term, pictures, files, log, failed=True)
        return exc.code
    code = 1
    stopped = False  # by an error already said
    started = False  # the run or search itself
    try:
        options = {
            "pipeline_id": pipeline_id_for(path),
            "notebook": str(path.resolve()),
            "persist": True,
            "progress": "text",
            "autorun": False,
            "widgets": False,
        }
        # A notebook that loads the extension itself is left to do so: loading it here first
        # would make its own %load_ext print that it is loaded already.
        setup = f"import orvane_core.frontend as _orvane\n_orvane.preset(**{options!r})\n"
        if not any(_LOAD_EXT.search(c.source) for c in nb.cells if c.cell_type == "code"):
            setup += "get_ipython().extension_manager.load_extension('orvane_core')\n"
        _checked(kernel.execute(setup, router.echo, timeout, doing="the setup"), "setting up")
        for index, cell in enumerate(nb.cells):
            if cell.cell_type != "code":
                continue
            cell.outputs = []
            if not cell.source.strip():
                continue
            named = [name for name, at in cells.items() if at == index]
            reply = kernel.execute(
                cell.source,
                lambda k, c, m, i=index: router.append(i, k, c),
                timeout,
                history=True,
                doing=f"cell {index + 1}" + (f" ({named[0]})" if named else ""),
            )
            cell.execution_count = reply.get("execution_count")
            if reply["status"] != "ok":
                router.echo("error", reply, {})
                raise RunnerError(
                    f"cell {index + 1} failed: {reply['ename']}: {reply['evalue']}", EXIT_FAILED
                )

        prepare = ""
        if request.fresh:
            prepare += "_orvane.current_session().clear()\n"
        if request.parameters:
            prepare += (
                "_orvane_set = _orvane.current_session().set_parameters("
                f"{', '.join(f'{r.name}={r.value}' for r in records)!r})\n"
                "print('orvane: parameters', ', '.join(f'{p.name}={p.value}' for p in _orvane_set))\n"
            )
        if prepare:
            _checked(kernel.execute(prepare, router.echo, timeout), "setting parameters")

        errors_shown = []
        expressions: dict[str, str] = {}

        def route(kind: str, content: dict, meta: dict) -> None:
            if kind == "error":
                errors_shown.append(content)
            cid = meta.get("component_id")
            if cid in cell_of:
                router.append(cell_of[cid], kind, content)
                router.echo(kind, content, prefix=f"[{name_of[cid]}] ")
            elif meta.get("orvane") == "search" and request.search:
                router.append(cells[request.search["target"]], kind, content)
                router.echo(kind, content)
            elif kind == "update_display_data":
                router.append(None, kind, content)
            else:
                router.echo(kind, content)

        # How the closing lines tell the user to run something again: the same notebook and
        # parameters.
        given = {r.name: f"{r.name}={r.value}" for r in records}
        again = _command(path, given)
        if request.search is None:
            op = (
                f"_orvane_report = _orvane.current_session().run({request.targets!r}, "
                f"parallel={request.parallel!r}, reused_outputs=True)\n"
                "print('orvane:', _orvane_report.line())\n"
                "from orvane_core.frontend.runner import closing_lines as _orvane_lines\n"
                "print(_orvane_lines(_orvane_report, _orvane.current_session().registry.graph(), "
                f"{again!r}), end='')\n"
                "_orvane.check_report(_orvane_report)"
            )
        else:
            op = (
                # Trials show nothing; each cell gets its output once, for the parameters the
                # search leaves. How to use the best values is said here, after the kernel.
                f"_orvane_search = _orvane.current_session().optimize(**{request.search!r}, "
                "show_outputs=True)\n"
                "print(_orvane_search.table_text())\n"
                "from IPython.display import display as _orvane_display\n"
                "for _orvane_figure in _orvane_search.figures().values():\n"
                "    _orvane_display(_orvane_figure, metadata={'orvane': 'search'})"
            )
            expressions = {"best": "_orvane_search.best_parameters()"}
        # What the kernel names when it is interrupted in a component: this, when it names none.
        doing = f"the search of {request.search['target']}" if request.search else ""
        started = True
        reply = kernel.execute(op, route, timeout, expressions, doing=doing)
        code = EXIT_OK if reply["status"] == "ok" else EXIT_FAILED
        if reply.get("ename") == "OrvaneUsageError":
            code = EXIT_USAGE  # e.g. a tuned name that is not a parameter, known in the kernel only
        if reply["status"] != "ok" and not errors_shown and reply.get("ename") != "OrvaneRunError":
            router.echo("error", reply, {})
        best = _best_values(reply)
        if best:
            # The kernel and the values set in it end with this run: say how to use them again.
            values = " ".join(best.values())
            options = " ".join(f"-p {shlex.quote(pair)}" for pair in best.values())
            if request.search.get("apply_best"):
                term.line(
                    f"orvane: the outputs use the best values {values}; later runs start from "
                    f"the notebook's values again, add {options} to use them"
                )
            else:
                term.line(
                    f"orvane: the best values are {values}; the outputs use the values the "
                    "search started from (--apply-best gives outputs with the best ones)"
                )
                term.line(f"orvane: to run with them: {_command(path, {**given, **best})}")
        files = _finish(kernel, router, pictures, timeout, keep=True)
        _attach_picture(nb, min(cells.values()), Path(files[0]))
    except RunnerError as exc:
        term.line(f"orvane: {exc}")
        code, stopped = exc.code, True
        if started and exc.code == EXIT_INTERRUPTED:
            # What ran until then is in the picture too; Ctrl-C again skips it.
            with contextlib.suppress(RunnerError):
                files = _finish(kernel, router, pictures, min(timeout or 60, 60), keep=False)
                _attach_picture(nb, min(cells.values()), Path(files[0]))
    finally:
        nbformat.write(nb, out_path)
        # Said before the kernel is shut down, which a second Ctrl-C may cut short.
        term.line(f"orvane: wrote {out_path}")
        kernel.close()
    _name_files(term, pictures, files, log, failed=code != EXIT_OK)
    if code != EXIT_OK and not stopped:
        term.line("orvane: the run failed; the error is shown above and in the notebook")
    return code


def _finish(
    kernel: _Kernel, router: _Router, pictures: Path, timeout: float | None, keep: bool
) -> list[str]:
    """Writes the pipeline picture and the search's files into ``pictures``, after the disk
    writes finish when ``keep``; returns their paths."""
    finish = "_orvane.current_session().keep_cache(report=True)\n" if keep else ""
    # The kernel works in the notebook's folder: give it the folder as an absolute path.
    finish += f"_orvane_paths = _orvane.current_session().export({str(pictures.resolve())!r})"
    reply = kernel.execute(finish, router.echo, timeout, {"paths": "_orvane_paths"})
    paths = _checked(reply, "saving pictures")
    return ast.literal_eval(paths["user_expressions"]["paths"]["data"]["text/plain"])


def closing_lines(report: Any, graph: Any, again: str) -> str:
    """One line per component of a run: what happened to it and why. One that the run did not
    reach because it stopped says so; when nothing it depends on failed, a closing line gives
    the command that runs it. Runs in the kernel, under the run's summary line."""
    stopped = [n for n in report.failed if report.errors.get(n) == "KeyboardInterrupt"]
    failed = [n for n in report.failed if n not in stopped]
    done = {*report.ran, *report.reused, *report.failed}
    lines, left = [], []
    for name, reason in report.reasons.items():
        if name in stopped:
            reason = "interrupted before it finished"
        elif name in failed:
            reason = f"failed: {report.errors.get(name) or 'see its error above'}"
        elif name not in done and report.failed:
            above = [n for n in report.failed if name in graph.descendants(n)]
            if above:
                how = "was interrupted" if set(above) <= set(stopped) else "failed"
                reason = f"not run: it depends on {', '.join(above)}, which {how}"
            else:
                reason = "not run: " + (
                    "the run was interrupted"
                    if stopped
                    else f"the run stopped when {', '.join(failed)} failed"
                )
                left.append(name)
        lines.append(f"  {name}: {reason}\n")
    if left and not stopped:
        them = "it does" if len(left) == 1 else "they do"
        chosen = " ".join(f"-c {shlex.quote(n)}" for n in left)
        lines.append(
            f"orvane: {', '.join(left)} did not run, though {them} not depend on what failed: "
            f"{again} {chosen}\n"
        )
    return "".join(lines)


def _name_files(term: _Terminal, folder: Path, files: list[str], log: Path, failed: bool) -> None:
    """Names the files a run wrote beside the notebook. The kernel's own log is kept only when
    the run failed and the kernel said something; an empty folder goes."""
    try:
        keep_log = failed and log.stat().st_size > 0
    except OSError:
        keep_log = False
    if not keep_log:
        log.unlink(missing_ok=True)
    names = [Path(f).name for f in files]
    if names:
        script = "plotly.min.js"
        names = [f"{n} (which the .html figures load)" if n == script else n for n in names]
        term.line(f"orvane: files in {folder}/: {', '.join(names)}")
    if keep_log:
        term.line(f"orvane: the kernel's own messages are in {log}")
    if not names and not keep_log:
        with contextlib.suppress(OSError):  # holds files of earlier runs
            folder.rmdir()


def _best_values(reply: dict) -> dict[str, str]:
    """``{"alpha": "alpha=0.5"}``: the best values of a search, as ``-p`` takes them."""
    found = reply.get("user_expressions", {}).get("best", {})
    if found.get("status") != "ok":
        return {}
    try:
        values = ast.literal_eval(found["data"]["text/plain"])
    except (KeyError, ValueError, SyntaxError):
        return {}
    return {k: f"{k}={v!r}" for k, v in values.items()} if isinstance(values, dict) else {}


def _command(path: Path, parameters: dict[str, str]) -> str:
    """The ``orvane run`` command for ``path`` with these ``-p`` values, as a shell takes it."""
    options = [f"-p {shlex.quote(pair)}" for pair in parameters.values()]
    return " ".join(["orvane run", shlex.quote(str(path)), *options])


def _option_parameter(text: str) -> Any:
    """The record of one ``-p NAME=VALUE``: the value is everything after the first "=", commas
    and spaces included."""
    name, equals, value = text.partition("=")
    if not equals or not name.strip() or not value.strip():
        raise OrvaneUsageError(f"-p {text!r}: write NAME=VALUE, e.g. -p alpha=0.5")
    return parameter_record(name.strip(), value.strip(), strict=True)


_SET_LINE = re.compile(r"^\s*%orvane\s+set\s+(.*)$", re.MULTILINE)


def _check_tuned(nb: Any, ranges: list[str], given: list[Any]) -> None:
    """Refuses a search of a name that has no starting value, when the notebook shows that: it
    sets its parameters with %orvane set lines only (other code could set them in the kernel)."""
    sources = [c.source for c in nb.cells if c.cell_type == "code"]
    if any("set_parameters" in source for source in sources):
        return
    known = {r.name for r in given}
    for source in sources:
        for found in _SET_LINE.finditer(source):
            try:
                known.update(name for name, _ in parse_assignments(found.group(1)))
            except OrvaneUsageError:
                return  # the kernel will say what is wrong with that line
    missing = [name for name in search_space(ranges) if name not in known]
    if missing:
        have = ", ".join(sorted(known)) or "none"
        raise OrvaneUsageError(
            f"{', '.join(map(repr, missing))} {'is' if len(missing) == 1 else 'are'} not a "
            f"pipeline parameter (the notebook sets: {have}); give a starting value with "
            f"{' '.join(f'-p {name}=VALUE' for name in missing)}"
        )


def _read_by_any(registry: ComponentRegistry, name: str) -> bool:
    return any(d.names.reads_all or name in d.names.reads for d in registry.declarations.values())


def _checked(reply: dict, what: str) -> dict:
    if reply["status"] != "ok":
        raise RunnerError(
            f"{what} failed: {reply.get('ename')}: {reply.get('evalue')}", EXIT_FAILED
        )
    return reply


def _attach_picture(nb: Any, index: int, svg: Path) -> None:
    import nbformat

    for cell in nb.cells:
        if any(o.get("metadata", {}).get("orvane") == "view" for o in cell.get("outputs", [])):
            return  # the notebook shows the pipeline itself
    out = nbformat.v4.new_output(
        "display_data",
        data={"image/svg+xml": svg.read_text(), "text/plain": "<pipeline picture>"},
        metadata={"orvane": "view"},
    )
    nb.cells[index].outputs.insert(0, out)
