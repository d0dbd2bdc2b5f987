"""Engine overhead: execute_all on a chain of trivial cells vs running them with run_cell.

Disk cache off, a callback that receives every record and keeps the last one. Each round times
three runs, in an order that rotates from round to round: run_cell over 100 cells, the engine
over 100 cells and the engine over 1000 cells, every run on new sources in a reset namespace.
Before each timed run the collector runs and freezes what is left (it stays on during the run),
the same for every kind of run, so that no run pays for walking what earlier runs left. Prints
the median over the rounds of each round's ratios (engine / run_cell at 100 cells, and
time(1000) / time(100) of the engine) with their spread, beside the medians and bests of each
kind, for the wall time and for the process's CPU time. The runs are synchronous and wait for
nothing, so their CPU time is their work: on a machine shared with other jobs it moves far less
than the wall time, which also counts the time the run waited for a core.
Targets: engine / run_cell <= 1.0 at 100 cells; time(1000) / time(100) <= 11.
BENCH_PROFILE=1 prints the profile of one more engine run over the large chain.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import tempfile
import time

os.environ.setdefault("ORVANE_TEMP_DIR", tempfile.mkdtemp(prefix="orvane-bench-"))

from IPython.core.interactiveshell import InteractiveShell  # noqa: E402

from orvane_core.misc.models import (  # noqa: E402
    OrvaneComponentModel,
    OrvaneDagModel,
    OrvaneEdgeModel,
)
from orvane_core.pipeline.pipeline import OrvanePipeline  # noqa: E402


def chain_codes(n: int, tag: int = 0) -> list[str]:
    # The tag makes every measured run's sources new: the executor caches compiled cells up to a
    # bound, and reruns of identical sources would make the small chain look cheaper.
    return [f"x0 = 0  # {tag}"] + [f"x{i} = x{i - 1} + 1  # {tag}" for i in range(1, n)]


def chain_graph(codes: list[str]) -> OrvaneDagModel:
    ids = [f"c{i}" for i in range(len(codes))]
    return OrvaneDagModel(
        components=[
            OrvaneComponentModel(id=c, name=c, code=code)
            for c, code in zip(ids, codes, strict=True)
        ],
        edges=[OrvaneEdgeModel(source=a, target=b) for a, b in zip(ids[:-1], ids[1:], strict=True)],
    )


class KeepLast:
    def __init__(self) -> None:
        self.last = None
        self.count = 0

    def __call__(self, data) -> None:
        self.last = data
        self.count += 1


_runs = iter(range(1, 1 << 30))


def _timed(run) -> tuple[float, float]:
    # The same collector state for every kind of run: what earlier runs left is collected and
    # set aside, so that a full collection during the run walks only what the run made.
    gc.collect()
    gc.freeze()
    try:
        wall, cpu = time.perf_counter(), time.process_time()
        run()
        return time.perf_counter() - wall, time.process_time() - cpu
    finally:
        gc.unfreeze()


def time_run_cell(shell: InteractiveShell, n: int) -> tuple[float, float]:
    codes = chain_codes(n, next(_runs))
    shell.reset(new_session=False)

    def run() -> None:
        for code in codes:
            shell.run_cell(code, store_history=False)

    return _timed(run)


def time_engine(shell: InteractiveShell, n: int, profile=None) -> tuple[tuple[float, float], int]:
    codes = chain_codes(n, next(_runs))
    shell.reset(new_session=False)
    callback = KeepLast()
    pipeline = OrvanePipeline(graph=chain_graph(codes), callback=callback, shell=shell)

    def run() -> None:
        pipeline.execute_all(send_to_front=False)

    try:
        times = _timed(run if profile is None else lambda: profile.runcall(run))
    finally:
        pipeline._diskcache_writer.close()
        pipeline.clear_all_diskcache()
    return times, callback.count


def _spread(top: list[float], bottom: list[float]) -> str:
    ratios = sorted(t / b for t, b in zip(top, bottom, strict=True))
    return (
        f"median {statistics.median(ratios):6.3f} (rounds {ratios[0]:.3f} .. {ratios[-1]:.3f}), "
        f"of the medians {statistics.median(top) / statistics.median(bottom):.3f}"
    )


def _ms(times: list[float]) -> str:
    return f"median {statistics.median(times) * 1e3:7.1f} ms, best {min(times) * 1e3:7.1f} ms"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--small", type=int, default=100)
    parser.add_argument("--large", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=41)
    args = parser.parse_args()

    shell = InteractiveShell.instance()
    # Warm both paths (imports, caches) before measuring.
    for _ in range(2):
        time_run_cell(shell, args.small)
        time_engine(shell, args.small)
    time_engine(shell, args.large)

    load = os.getloadavg()[0]
    base, small, large, reports = [], [], [], 0
    kinds = ("run_cell", "small", "large")
    for r in range(args.rounds):
        for kind in kinds[r % 3 :] + kinds[: r % 3]:
            if kind == "run_cell":
                base.append(time_run_cell(shell, args.small))
            elif kind == "small":
                times, reports = time_engine(shell, args.small)
                small.append(times)
            else:
                large.append(time_engine(shell, args.large)[0])
    load = (load + os.getloadavg()[0]) / 2

    print(f"{args.rounds} rounds, load average {load:.1f} on {os.cpu_count()} cores")
    for clock, k in (("wall", 0), ("CPU", 1)):
        b, s, g = ([t[k] for t in times] for times in (base, small, large))
        print(f"{clock} time")
        print(f"  run_cell, {args.small} cells:      {_ms(b)}")
        print(f"  execute_all, {args.small} cells:   {_ms(s)} ({reports} reports)")
        print(f"  execute_all, {args.large} cells:  {_ms(g)}")
        print(
            f"  ratio engine / run_cell ({args.small}):  {_spread(s, b)}  (target <= 1.0)\n"
            f"  ratio time({args.large}) / time({args.small}): {_spread(g, s)}  (target <= 11)"
        )
    if os.environ.get("BENCH_PROFILE") == "1":
        import cProfile
        import pstats

        profile = cProfile.Profile()
        time_engine(shell, args.large, profile)
        pstats.Stats(profile, stream=sys.stdout).sort_stats(
            os.environ.get("BENCH_SORT", "tottime")
        ).print_stats(30)


if __name__ == "__main__":
    main()
