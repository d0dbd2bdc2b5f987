"""Parameter search overhead: optimize_parameters on a three-cell pipeline vs a plain study.

The pipeline has three trivial cells in a chain; the search tunes one parameter of the middle
cell for the last cell's value. The baseline is an optuna study, with the same sampler and
number of trials, whose objective runs the same three cells' code with run_cell in the same
shell. Prints the time per trial of both and their ratio, for the random sampler (target: at
most 1.3x) and for TPE (target: at most 1.1x).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import tempfile
import time

os.environ.setdefault("ORVANE_TEMP_DIR", tempfile.mkdtemp(prefix="orvane-bench-"))

import optuna  # noqa: E402
from IPython.core.interactiveshell import InteractiveShell  # noqa: E402

from orvane_core.misc.models import (  # noqa: E402
    OrvaneComponentModel,
    OrvaneDagModel,
    OrvaneEdgeModel,
)
from orvane_core.pipeline.pipeline import OrvanePipeline  # noqa: E402

CODES = ["a = 1", "b = a + x", "(b - 1.3) ** 2"]
PARAMETERS = {"x": {"low": 0, "high": 1}}
SAMPLERS = {"RandomSearch": optuna.samplers.RandomSampler, "TPESearch": optuna.samplers.TPESampler}


class KeepLast:
    """A front end that takes every record and keeps the last one."""

    def __init__(self) -> None:
        self.last = None
        self.count = 0

    def __call__(self, data) -> None:
        self.last = data
        self.count += 1


def graph() -> OrvaneDagModel:
    ids = ["a", "b", "c"]
    return OrvaneDagModel(
        components=[
            OrvaneComponentModel(id=i, name=i, code=c) for i, c in zip(ids, CODES, strict=True)
        ],
        edges=[OrvaneEdgeModel(source="a", target="b"), OrvaneEdgeModel(source="b", target="c")],
    )


def time_study(shell: InteractiveShell, method: str, trials: int) -> float:
    def objective(trial):
        shell.user_ns["x"] = trial.suggest_float("x", 0, 1)
        shell.run_cell(CODES[0], store_history=False)
        shell.run_cell(CODES[1], store_history=False)
        return shell.run_cell(CODES[2], store_history=False).result

    study = optuna.create_study(sampler=SAMPLERS[method]())
    start = time.perf_counter()
    study.optimize(objective, n_trials=trials)
    elapsed = time.perf_counter() - start
    assert len(study.trials) == trials and study.best_value < 1
    return elapsed / trials


def time_engine(shell: InteractiveShell, method: str, trials: int) -> tuple[float, int]:
    callback = KeepLast()
    pipeline = OrvanePipeline(graph=graph(), callback=callback, shell=shell)
    try:
        start = time.perf_counter()
        pipeline.optimize_parameters("c", method, [0], PARAMETERS, trials)
        elapsed = time.perf_counter() - start
        assert len(pipeline._hpoptimizer.optimization_log) == trials, callback.last
    finally:
        pipeline._diskcache_writer.close()
        pipeline.clear_all_diskcache()
    return elapsed / trials, callback.count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--trials", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    optuna.logging.disable_default_handler()
    shell = InteractiveShell.instance()
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        time_study(shell, "RandomSearch", 5)  # warm both paths (imports, caches)
        time_engine(shell, "RandomSearch", 5)

    for method in SAMPLERS:
        # Both show each cell's result; the text goes nowhere so that the terminal costs nothing.
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            base = min(time_study(shell, method, args.trials) for _ in range(args.repeat))
            runs = [time_engine(shell, method, args.trials) for _ in range(args.repeat)]
        engine, reports = min(runs)
        target = "  (target <= 1.3)" if method == "RandomSearch" else "  (target <= 1.1)"
        print(f"{method}, {args.trials} trials")
        print(f"  study with run_cell:     {base * 1e3:7.2f} ms per trial")
        print(f"  optimize_parameters:     {engine * 1e3:7.2f} ms per trial ({reports} reports)")
        print(f"  ratio engine / study:    {engine / base:7.2f}{target}")


if __name__ == "__main__":
    main()
