"""The default front-end callback: progress bars, search results and live pipeline views.

The engine sends a full pipeline summary after every change of state, two per component of a
run (the session's pipeline skips a summary that repeats the last one). The callback keeps only
the latest one and redraws at most once per ``interval`` (and once more when an operation ends),
so drawing costs the same whether a run reports ten records or ten thousand.
During a run the views, whose picture of a large pipeline is large display data, are redrawn less
often than the bar when they take longer to draw: drawing them takes at most about a thirtieth of
the run.
"""

from __future__ import annotations

import math
import sys
import threading
import time
from typing import Any

from orvane_core._native import RunFollower
from orvane_core.callbacks import OrvanePipelineCallback
from orvane_core.frontend.view import update_shown
from orvane_core.misc import (
    OrvaneComponentStatus as ComponentStatus,
)
from orvane_core.misc import (
    OrvanePipelineCallbackProcedure as Procedure,
)
from orvane_core.misc import (
    OrvanePipelineCallbackStatus as Status,
)

FINISHED = (ComponentStatus.SUCCESSFUL, ComponentStatus.FAILED)
RUNNING = ComponentStatus.RUNNING
_monotonic = time.monotonic
# During a run, the views wait this many times their last drawing time between two draws.
VIEW_SPACING = 30


def _bar(mode: str, total: int, desc: str, unit: str) -> Any:
    if mode == "none":
        return None
    if mode == "auto" and _in_kernel():
        return HtmlBar(total, desc, unit)
    from tqdm.std import tqdm

    return tqdm(total=total, desc=desc, unit=unit, file=sys.stderr, dynamic_ncols=True)


def _in_kernel() -> bool:
    try:
        from IPython import get_ipython
    except ImportError:
        return False
    return getattr(get_ipython(), "kernel", None) is not None


BAR_COLORS = {"running": "#ef8f00", "done": "#2e7d32", "failed": "#c62828"}


class HtmlBar:
    """A progress bar for notebooks: display data redrawn in place through its display id, so a
    saved notebook keeps its last state (a widget would show an error once its kernel is gone).
    Offers the part of tqdm's interface the callback uses."""

    def __init__(self, total: int, desc: str, unit: str) -> None:
        from IPython.display import display

        self.total, self.desc, self.unit = total, desc, unit
        self.n = 0
        self.postfix = ""
        self.state = "running"
        self._shown: Any = None
        self._handle = display(self._bundle(), raw=True, display_id=True)

    def _bundle(self) -> dict:
        import html

        share = min(self.n / self.total, 1.0) if self.total else 1.0
        text = f"{self.desc}: {self.n}/{self.total} {self.unit}s"
        if self.postfix:
            text += f", {self.postfix}"
        color = BAR_COLORS[self.state]
        self._shown = {
            "text/html": (
                f'<div class="orvane-progress" data-state="{self.state}" '
                'style="font:12px sans-serif;display:flex;align-items:center;gap:8px">'
                f"<b>{html.escape(self.desc)}</b>"
                '<span style="display:inline-block;width:220px;height:10px;background:#e6e6e6;'
                'border-radius:5px;overflow:hidden"><span style="display:block;height:100%;'
                f'width:{share * 100:.1f}%;background:{color}"></span></span>'
                f"<span>{self.n}/{self.total}</span>"
                f'<span style="color:{color}">{html.escape(self.postfix)}</span></div>'
            ),
            "text/plain": text,
        }
        return self._shown

    def set_postfix_str(self, text: str, refresh: bool = True) -> None:
        self.postfix = text
        if refresh:
            self.refresh()

    def update(self, k: int = 1) -> None:
        self.n += k
        self.refresh()

    def refresh(self) -> None:
        before = self._shown
        if self._bundle() != before:
            update_shown(self._handle.display_id, self._shown)

    def close(self, failed: bool = False) -> None:
        self.state = "failed" if failed else "done"
        self.refresh()


class SearchResults:
    """What a parameter search reported: every trial, the best ones, plots and importances."""

    def __init__(self, target_names: list[str], directions: list[str]) -> None:
        self.target_names = target_names
        self.directions = directions
        self.trials: list[dict] = []
        self.best_trials: dict = {}
        self.pareto_front_plot: dict | None = None
        self.importances: list[dict] = []
        self.completed = False

    def best_value(self) -> float | None:
        if len(self.directions) != 1 or not self.trials:
            return None
        pick = max if self.directions[0] == "maximize" else min
        return pick(t["values"][0] for t in self.trials)

    def best_parameters(self) -> dict | None:
        """The parameters of the one best trial, or none when there is not exactly one."""
        if len(self.best_trials) != 1:
            return None
        return dict(next(iter(self.best_trials.values()))["parameters"])

    def table(self) -> tuple[list[str], list[list[str]]]:
        """Header and rows of the best-trials table."""
        params = sorted({k for t in self.best_trials.values() for k in t["parameters"]})
        header = ["trial", *params, *self.target_names]
        rows = []
        for number, trial in sorted(self.best_trials.items()):
            cells = [str(number)]
            cells += [_fmt(trial["parameters"].get(p)) for p in params]
            cells += [_fmt(v) for v in trial["values"]]
            rows.append(cells)
        return header, rows

    def table_text(self) -> str:
        header, rows = self.table()
        widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
        lines = [
            "  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)) for r in [header, *rows]
        ]
        lines.insert(1, "  ".join("-" * w for w in widths))
        return "\n".join(lines)

    def table_html(self) -> str:
        import html

        header, rows = self.table()
        head = "".join(f"<th>{html.escape(h)}</th>" for h in header)
        body = "".join(
            "<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>" for row in rows
        )
        return f"<b>Best trials</b><table><tr>{head}</tr>{body}</table>"

    def figures(self) -> dict[str, Any]:
        """Plotly figures by file stem: the Pareto front (several objectives), importances."""
        import plotly.graph_objects as go

        figures: dict[str, Any] = {}
        if self.pareto_front_plot:
            figures["pareto_front"] = go.Figure(self.pareto_front_plot)
        if self.importances and any(self.importances):
            fig = go.Figure()
            for name, importance in zip(self.target_names, self.importances, strict=False):
                fig.add_bar(
                    x=list(importance.values()), y=list(importance), orientation="h", name=name
                )
            fig.update_layout(title="Parameter importances", xaxis_title="importance")
            figures["importances"] = fig
        return figures


def _fmt(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.6g}" if math.isfinite(value) else str(value)
    return str(value)


class OrvaneFrontendCallback(OrvanePipelineCallback):
    """Shows what the pipeline reports: a progress bar per execution, per-trial progress of a
    search, its best trials and figures, and live pipeline views.

    ``progress`` is "auto" (a widget in Jupyter, text elsewhere), "text" or "none".
    """

    def __init__(self, progress: str = "auto", interval: float = 0.2) -> None:
        super().__init__()
        self.progress = progress
        self.interval = interval
        self.views: list[Any] = []
        # Front-end facts the views draw beside the engine's summary (inferred edges).
        self.extra: dict = {}
        self.notes: list[str] = []
        self.search: SearchResults | None = None
        self.draws = 0
        self._next_draw = 0.0
        self._next_view = 0.0  # during a run, the views are not redrawn before then
        self._bar: Any = None
        # Draws come from the kernel thread and, during a run, from a ticker thread that keeps
        # elapsed times current and shows a record whose draw was held back by the interval.
        self._lock = threading.RLock()
        self._ticker: threading.Event | None = None
        # The latest summary and the run followed (the components started, with their start
        # times, and finished), taken from each record in one native step: the engine sends two
        # per component of a run. Its start times change in that one step, which the ticker
        # thread never sees halfway.
        self._run = RunFollower(
            self._lock, Procedure.PIPELINE_UPDATED, Status.SUCCESSFUL, RUNNING, FINISHED
        )

    @property
    def records(self) -> int:
        """How many records the callback received."""
        return self._run.records

    @property
    def summary(self) -> dict | None:
        """The latest pipeline summary received."""
        return self._run.summary

    # -- records -------------------------------------------------------------------------------

    def __call__(self, data: Any) -> None:
        # A summary (nearly every record) is taken natively: it becomes the latest one and, during
        # a run, the components that finished in it are handed to on_finished at once (holding
        # the lock, which keeps the ticker thread's draws and shown outputs apart).
        if self._run.take(data) or self._other(data):
            now = _monotonic()
            if now >= self._next_draw:
                with self._lock:
                    self.draw(now, views=now >= self._next_view)

    def _other(self, data: Any) -> bool:
        """Takes a record other than a summary; true when the views may need a draw."""
        procedure = data.procedure
        if procedure is Procedure.PIPELINE_UPDATED:
            if data.msg:
                self.notes.append(data.msg)
            return True
        if procedure is Procedure.HPO_TRIAL_EXECUTED:
            self._trial(data.successful)
        elif procedure is Procedure.HPO_COMPLETED:
            if self.search is not None:
                payload = data.successful
                self.search.best_trials = dict(payload.get("best_trials") or {})
                self.search.pareto_front_plot = payload.get("pareto_front_plot")
                self.search.importances = list(payload.get("parameter_importance") or [])
                self.search.completed = True
        elif procedure is Procedure.DISKCACHE_UPDATED:
            if data.status is Status.FAILED and data.msg:
                self.notes.append(f"disk cache: {data.msg}")
        elif data.status is Status.FAILED or procedure.value.startswith("hpo_"):
            # Parameter errors and search outcomes other than trials and completion.
            if data.msg:
                self.notes.append(data.msg)
        return False

    def take_notes(self) -> list[str]:
        notes, self.notes = self.notes, []
        return notes

    # -- drawing -------------------------------------------------------------------------------

    def draw(self, now: float | None = None, views: bool = True, refresh_bar: bool = True) -> None:
        """Brings bar and views up to date with the latest summary; the views wait when
        ``views`` is false (they are drawn at a later call), the bar's new state is shown at its
        next refresh when ``refresh_bar`` is false.

        The next draw waits at least ``interval``, and longer when drawing is slow (a large
        pipeline), so that drawing never takes more than about a tenth of the run.
        """
        start = time.monotonic() if now is None else now
        self._next_draw = start + self.interval
        run = self._run
        if not run.dirty or run.summary is None:
            return
        views = views or not self.views
        if views:
            run.dirty = False
            self.draws += 1
        current = run.summary  # the kernel thread may set a newer one meanwhile
        components = current.get("components", ())
        # A copy taken in one step: the kernel thread adds and removes start times meanwhile.
        elapsed = {cid: start - t for cid, t in run.since.copy().items()}
        if self._bar is not None and self.search is None:
            plan = run.plan
            done = 0
            running = []
            for entry in components:
                if entry["identifier"] in plan:
                    status = entry["execution_status"]
                    if status in FINISHED:
                        done += 1
                    elif status == ComponentStatus.RUNNING:
                        seconds = elapsed.get(entry["identifier"])
                        label = entry["name"]
                        # Worded as the component's chip and box say it.
                        running.append(
                            f"{label} running"
                            if seconds is None
                            else f"{label} running {seconds:.0f} s"
                        )
            self._bar.n = done
            self._bar.set_postfix_str(", ".join(running), refresh=False)
            if refresh_bar:
                self._bar.refresh()
        if views and self.views:
            summary = {**current, **self.extra} if self.extra else current
            live = self._ticker is not None  # a run goes on: its end is drawn again
            for view in self.views:
                view.update(summary, elapsed, live=live)
            end = time.monotonic()
            if self._ticker is not None:  # a run goes on
                self._next_view = end + self._view_spacing()
        else:
            end = time.monotonic()
        self._next_draw = end + max(self.interval, 9 * (end - start))

    def _view_spacing(self) -> float:
        """How long the views wait between two draws during a run, from how long they took to
        draw last time (as they measure it: a view may also be drawn without the callback)."""
        seconds = sum(getattr(view, "seconds", 0.0) for view in self.views)
        return max(self.interval, VIEW_SPACING * seconds)

    def redraw(self) -> None:
        """Draws the latest summary now (outside a run: after a poll, a removal)."""
        with self._lock:
            self._run.dirty = True
            self.draw()

    def begin_execution(self, plan_ids: list[str], label: str, on_finished: Any = None) -> None:
        """Starts the progress of a run; ``on_finished(component_id)`` is called as soon as a
        record shows a component of the run finished (successful or failed) after running."""
        run = self._run
        run.plan, run.running, run.since, run.entries = set(plan_ids), set(), {}, []
        run.on_finished = on_finished
        self._bar = _bar(self.progress, len(plan_ids), label, "cell")
        # What the bar and views show now stays for a first interval: a short run draws once,
        # when it ends; the views of a large pipeline wait longer (see VIEW_SPACING).
        now = time.monotonic()
        self._next_draw = now + self.interval
        self._next_view = now + self._view_spacing()
        if self._bar is not None or self.views:
            self._ticker = threading.Event()
            threading.Thread(
                target=self._tick, args=(self._ticker,), name="orvane-progress", daemon=True
            ).start()

    def _tick(self, stop: threading.Event) -> None:
        # The kernel thread is busy with the cell meanwhile: a record drawn late and the elapsed
        # times of running components are shown from here.
        while not stop.wait(self.interval):
            with self._lock:
                if stop.is_set():
                    return
                run = self._run
                if run.since:
                    run.dirty = True
                now = time.monotonic()
                if run.dirty and now >= self._next_draw:
                    self.draw(now, views=now >= self._next_view)

    def end_execution(self, outcome: str, failed: bool = False, unfinished: int = 0) -> None:
        """Ends the progress of a run; a failed run leaves a red bar (in a notebook). The bar
        does not count the ``unfinished`` components (interrupted) as done."""
        if self._ticker is not None:
            self._ticker.set()
            self._ticker = None
        with self._lock:
            run = self._run
            run.since = {}
            run.dirty = True
            self._next_view = 0.0
            self.draw(refresh_bar=False)  # closing the bar shows its last state
            bar = self._bar
            if bar is not None:
                bar.n = max(0, bar.n - unfinished)
                bar.set_postfix_str(outcome, refresh=False)
                if isinstance(bar, HtmlBar):
                    bar.close(failed=failed)
                else:
                    bar.close()
            self._bar = None
            run.plan, run.entries, run.on_finished = set(), [], None

    def begin_search(self, n_trials: int, target_names: list[str], directions: list[str]) -> None:
        self.search = SearchResults(target_names, directions)
        self._bar = _bar(self.progress, n_trials, "search", "trial")

    def _trial(self, log: dict) -> None:
        search = self.search
        if search is None:
            return
        # The optimizer sends the same mapping each time: keep a copy.
        search.trials.append(
            {
                "number": log["trials"],
                "parameters": dict(log["parameters"]),
                "values": list(log["values"]),
            }
        )
        if self._bar is not None:
            best = search.best_value()
            self._bar.update(1)
            if best is not None:
                self._bar.set_postfix_str(f"best {search.target_names[0]}={_fmt(best)}")

    def end_search(self) -> SearchResults | None:
        search, self.search = self.search, None
        bar = self._bar
        if isinstance(bar, HtmlBar):
            bar.close(failed=search is None or not search.completed)
        elif bar is not None:
            bar.close()
        self._bar = None
        self._run.dirty = True
        self.draw()
        return search
