"""Engine overhead: execute_all on a chain of trivial cells vs running them with run_cell.

Disk cache off, a callback that receives every record and keeps the last one. Prints the time
of both at 100 cells and the ratio, then how the engine's time grows from 100 to 1000 cells.
Targets: engine / run_cell <= 1.0 at 100 cells; time(1000) / time(100) <= 11.
"""

from __future__ import annotations

import argparse
import os
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


def time_run_cell(shell: InteractiveShell, n: int, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        codes = chain_codes(n, next(_runs))
        shell.reset(new_session=False)
        start = time.perf_counter()
        for code in codes:
            shell.run_cell(code, store_history=False)
        best = min(best, time.perf_counter() - start)
    return best


def time_engine(shell: InteractiveShell, n: int, repeat: int) -> tuple[float, int]:
    best, count = float("inf"), 0
    for _ in range(repeat):
        codes = chain_codes(n, next(_runs))
        shell.reset(new_session=False)
        callback = KeepLast()
        pipeline = OrvanePipeline(graph=chain_graph(codes), callback=callback, shell=shell)
        start = time.perf_counter()
        pipeline.execute_all(send_to_front=False)
        elapsed = time.perf_counter() - start
        if elapsed < best:
            best, count = elapsed, callback.count
        pipeline._diskcache_writer.close()
        pipeline.clear_all_diskcache()
    return best, count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--small", type=int, default=100)
    parser.add_argument("--large", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    shell = InteractiveShell.instance()
    # Warm both paths once (imports, caches) before measuring.
    time_run_cell(shell, 5, 1)
    time_engine(shell, 5, 1)

    base = time_run_cell(shell, args.small, args.repeat)
    engine_small, reports = time_engine(shell, args.small, args.repeat)
    engine_large, _ = time_engine(shell, args.large, args.repeat)
    print(f"run_cell, {args.small} cells:       {base * 1e3:8.1f} ms")
    print(f"execute_all, {args.small} cells:    {engine_small * 1e3:8.1f} ms ({reports} reports)")
    print(f"execute_all, {args.large} cells:   {engine_large * 1e3:8.1f} ms")
    print(f"ratio engine / run_cell ({args.small}):   {engine_small / base:6.2f}  (target <= 1.0)")
    print(
        f"ratio time({args.large}) / time({args.small}):  {engine_large / engine_small:6.2f}"
        "  (target <= 11)"
    )


if __name__ == "__main__":
    main()
