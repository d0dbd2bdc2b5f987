"""Front-end callback cost: a 1000-cell run with the default callback and a live view.

Runs ``execute_all`` on a chain of trivial cells twice: with a callback that only keeps the last
record (baseline), and with the front end's callback drawing a text progress bar and a pipeline
view. Prints the time spent inside the front end's callback against the run's own time, and the
whole run against the baseline. Target: drawing / running < 1 (the callback coalesces).
"""

from __future__ import annotations

import contextlib
import io
import os
import tempfile
import time

os.environ.setdefault("ORVANE_TEMP_DIR", tempfile.mkdtemp(prefix="orvane-bench-"))

from bench_engine import KeepLast, chain_codes, chain_graph  # noqa: E402
from IPython.core.interactiveshell import InteractiveShell  # noqa: E402

from orvane_core.frontend.callback import OrvaneFrontendCallback  # noqa: E402
from orvane_core.frontend.view import PipelineView  # noqa: E402
from orvane_core.pipeline.pipeline import OrvanePipeline  # noqa: E402

N = int(os.environ.get("BENCH_CELLS", "1000"))


class Timed:
    """Wraps a callback and adds up the time spent in it."""

    def __init__(self, inner) -> None:
        self.inner = inner
        self.seconds = 0.0

    def __call__(self, data) -> None:
        start = time.perf_counter()
        self.inner(data)
        self.seconds += time.perf_counter() - start


def run(shell, callback, tag: int, n: int = N) -> float:
    pipeline = OrvanePipeline(
        graph=chain_graph(chain_codes(n, tag)), callback=callback, shell=shell
    )
    start = time.perf_counter()
    pipeline.execute_all(send_to_front=False)
    return time.perf_counter() - start


def main() -> None:
    shell = InteractiveShell.instance()
    run(shell, KeepLast(), 0, 20)  # warm-up: imports, the package list
    baseline = run(shell, KeepLast(), 1)
    frontend = OrvaneFrontendCallback(progress="text")
    frontend.views.append(PipelineView())
    timed = Timed(frontend)
    with contextlib.redirect_stderr(io.StringIO()):
        frontend.begin_execution([f"c{i}" for i in range(N)], "all")
        total = run(shell, timed, 2)
        start = time.perf_counter()
        frontend.end_execution("done")
        timed.seconds += time.perf_counter() - start
    print(f"{N} cells: baseline run {baseline:.2f} s, with the front end {total:.2f} s")
    print(f"records {frontend.records}, draws {frontend.draws}")
    print(f"drawing / running: {timed.seconds / (total - timed.seconds):.3f} (target < 1)")
    print(f"run with front end / baseline run: {total / baseline:.2f}")


if __name__ == "__main__":
    main()
