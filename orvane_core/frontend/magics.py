"""IPython magics: ``%%component`` declares a cell as a pipeline component, ``%orvane`` drives it."""

from __future__ import annotations

import argparse
import contextlib
import shlex
import sys
from typing import Any

from IPython.core.magic import Magics, cell_magic, line_magic, magics_class

from orvane_core.frontend.declarations import USAGE, OrvaneUsageError, parse_header
from orvane_core.frontend.session import OrvaneRunError, OrvaneSession
from orvane_core.frontend.view import disk_words, shown_state

HELP = f"""Orvane pipeline magics

  {USAGE}
      Declares the cell as a component (disk cache on unless --no-cache) and runs it with
      its ancestors (unless %orvane autorun off).

  %orvane run NAME [NAME ...] [--parallel]   run components with their ancestors
  %orvane run --all [--parallel]             run every component
  %orvane set NAME=VALUE ...                 set pipeline parameters (values are literals)
  %orvane params                             show the parameters
  %orvane optimize NAME RANGE ... [--trials N] [--method tpe|random|grid]
                   [--minimize | --directions max,min] [--apply-best]
                                             search parameters for the best value of NAME's
                                             last expression; RANGE is NAME=LOW:HIGH[:DIST[:STEP]];
                                             parameters return to their values unless --apply-best
  %orvane show                               live picture of the pipeline
  %orvane status                             components and their statuses as text
  %orvane clear [NAME]                       clear the caches (of NAME and what depends on it)
  %orvane remove NAME                        forget a component (a renamed or deleted cell)
  %orvane autorun on|off                     whether running a component cell runs it
  %orvane keep on|off                        whether the disk cache is kept for the next kernel
                                             (on by default; %orvane clear drops it)
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # argparse would exit the kernel
        raise OrvaneUsageError(f"{message}. Try %orvane help.")


def _parsers() -> dict[str, argparse.ArgumentParser]:
    run = _Parser(prog="%orvane run", add_help=False)
    run.add_argument("names", nargs="*")
    run.add_argument("--all", action="store_true")
    run.add_argument("--parallel", action="store_true")
    opt = _Parser(prog="%orvane optimize", add_help=False)
    opt.add_argument("target")
    opt.add_argument("ranges", nargs="*")
    opt.add_argument("--trials", type=int, default=20)
    opt.add_argument("--method", default="tpe")
    opt.add_argument("--minimize", action="store_true")
    opt.add_argument("--directions", default=None)
    opt.add_argument("--early-stopping", type=int, default=None)
    opt.add_argument("--apply-best", action="store_true")
    return {"run": run, "optimize": opt}


def directions_from(minimize: bool, text: str | None) -> list[str] | None:
    if text:
        words = {
            "max": "maximize",
            "maximize": "maximize",
            "min": "minimize",
            "minimize": "minimize",
        }
        out = []
        for word in text.replace(",", " ").split():
            if word not in words:
                raise OrvaneUsageError(f"Unknown direction {word!r}; use max or min, e.g. max,min.")
            out.append(words[word])
        return out
    return ["minimize"] if minimize else None


@magics_class
class OrvaneMagics(Magics):
    def __init__(self, shell: Any) -> None:
        super().__init__(shell)
        self.session = OrvaneSession(shell)
        self._parsers = _parsers()

    @cell_magic
    def component(self, line: str, cell: str) -> Any:
        header = parse_header(line)
        for warning in self.session.declare(header, cell):
            print(f"Warning: {warning}", file=sys.stderr)
        if self.session.autorun:
            self._check(self.session.run([header.name]))

    @line_magic
    def orvane(self, line: str) -> Any:
        words = line.strip().split(None, 1)
        command, rest = (words[0], words[1] if len(words) > 1 else "") if words else ("help", "")
        session = self.session
        if command == "help":
            print(HELP)
        elif command == "run":
            args = self._parsers["run"].parse_args(shlex.split(rest))
            if args.all == bool(args.names):
                raise OrvaneUsageError("Name the components to run, or give --all.")
            self._check(session.run(None if args.all else args.names, parallel=args.parallel))
        elif command == "set":
            self._print_parameters(session.set_parameters(rest))
        elif command == "params":
            self._print_parameters(session.parameters_view())
        elif command == "optimize":
            self._optimize(rest)
        elif command == "show":
            session.show()
        elif command == "status":
            self._print_status()
        elif command == "clear":
            names = shlex.split(rest)
            if len(names) > 1:
                raise OrvaneUsageError("Clear one component at a time, or all with %orvane clear.")
            session.clear(names[0] if names else None)
        elif command == "keep":
            if rest.strip() not in ("on", "off"):
                raise OrvaneUsageError("Use %orvane keep on, or %orvane keep off.")
            session.configure(persist=rest.strip() == "on")
        elif command == "remove":
            names = shlex.split(rest)
            if len(names) != 1:
                raise OrvaneUsageError("Name one component to remove: %orvane remove NAME.")
            session.remove(names[0])
        elif command == "autorun":
            if rest.strip() not in ("on", "off"):
                raise OrvaneUsageError("Use %orvane autorun on, or %orvane autorun off.")
            session.autorun = rest.strip() == "on"
        else:
            raise OrvaneUsageError(f"Unknown command {command!r}. Try %orvane help.")

    def _check(self, report: Any) -> None:
        notes = self.session.callback.take_notes()
        if report.interrupted:
            raise OrvaneRunError(
                f"Interrupted while running {', '.join(report.failed)}: run the cell again to "
                "finish."
            )
        if report.failed:
            detail = f"; {'; '.join(notes)}" if notes else ""
            raise OrvaneRunError(f"{report.failures()} failed{detail}: fix the cell, run it again.")

    def _optimize(self, rest: str) -> None:
        args = self._parsers["optimize"].parse_args(shlex.split(rest))
        results = self.session.optimize(
            args.target,
            args.ranges,
            n_trials=args.trials,
            method=args.method,
            directions=directions_from(args.minimize, args.directions),
            early_stopping=args.early_stopping,
            apply_best=args.apply_best,
        )
        show_search(results, self.session.callback.progress, applied=args.apply_best)

    @staticmethod
    def _print_parameters(records: list[Any]) -> None:
        if not records:
            print("No parameters set. Set some with %orvane set NAME=VALUE.")
        for r in records:
            print(f"{r.name} = {r.value}  ({r.type})")

    def _print_status(self) -> None:
        # Writes that finished since the last run are taken in first: without a view nothing
        # polls between runs, and the status would go on saying "updating".
        if self.session.pipeline is not None:
            with contextlib.suppress(RuntimeError):  # a stopped writer is reported by the next run
                self.session.pipeline.update_diskcache_status()
        # Before the pipeline exists (declared with autorun off, as the command line does), the
        # components come from their declarations; in the words the view uses.
        summary = self.session.summary()
        declarations = self.session.registry.declarations
        reasons, states = summary.get("reasons", {}), summary.get("states", {})

        def after(decl: Any) -> str:
            if decl is None or not decl.parents:
                return ""
            how = "inferred from the names it reads" if decl.inferred else "from 'after'"
            return f"  after {', '.join(decl.parents)} ({how})"

        for entry in summary.get("components", []):
            why = reasons.get(entry["identifier"])
            disk = disk_words(
                entry.get("diskcache_status"), bool((entry.get("metadata") or {}).get("diskcache"))
            )
            print(
                f"{entry['name']:<20} {shown_state(entry, states):<11}  "
                f"{disk}{after(declarations.get(entry['name']))}"
                + (f"\n{'':<20} {why}" if why else "")
            )
        if not summary.get("components"):
            print("No pipeline yet: declare a component with %%component NAME and run it.")


def show_search(results: Any, progress: str, applied: bool = False) -> None:
    """The best-trials table and the search's figures, as rich output or text."""
    from IPython.display import HTML, display

    params = results.best_parameters()
    hint = "The parameters are back to their values before the search."
    if params is not None:
        values = " ".join(f"{k}={v!r}" for k, v in params.items())
        hint = (
            f"Applied the best values: {values}"
            if applied
            else f"{hint} Apply the best with: %orvane set {values} (or -p on the command line)"
        )
    if progress == "text":
        print(results.table_text())
    else:
        display(HTML(results.table_html()), metadata={"orvane": "search"})
    for figure in results.figures().values():
        display(figure, metadata={"orvane": "search"})
    if hint:
        print(hint)
