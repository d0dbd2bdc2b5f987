"""Parameter reach: a search and a parameter change rerun only what the parameter reaches.

Pipeline load (1 s, reads no parameter) -> features (0.2 s) -> model (reads alpha) -> evaluate,
every cell disk-cached, built with parameter_reach=True and run once. Then:
- 20 trials over alpha with optimize_parameters vs a plain optuna study (same random sampler)
  whose objective reruns the four cells with run_cell in every trial (target: at most 0.1x);
- set_parameters(alpha) and then running evaluate (target: at most 0.05 s), and the same with
  the option off, where every cell reruns.
`--scale` shortens the sleeps of the two slow cells for a quick look.
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

from orvane_core.misc import OrvaneDiskcacheStatus  # noqa: E402
from orvane_core.misc.models import (  # noqa: E402
    OrvaneComponentMetadataModel,
    OrvaneComponentModel,
    OrvaneDagModel,
    OrvaneEdgeModel,
    OrvanePipelineParameterModel,
)
from orvane_core.pipeline.pipeline import OrvanePipeline  # noqa: E402

IDS = ["load", "features", "model", "evaluate"]


def codes(scale: float) -> list[str]:
    return [
        f"import time\ntime.sleep({1.0 * scale})\ndata = list(range(100))",
        f"import time\ntime.sleep({0.2 * scale})\nx = [v * 2 for v in data]",
        "w = sum(x) * alpha",
        "(w - 3000.0) ** 2",
    ]


def graph(scale: float) -> OrvaneDagModel:
    cached = OrvaneComponentMetadataModel(diskcache=True)
    return OrvaneDagModel(
        components=[
            OrvaneComponentModel(id=i, name=i, code=c, metadata=cached)
            for i, c in zip(IDS, codes(scale), strict=True)
        ],
        edges=[OrvaneEdgeModel(source=a, target=b) for a, b in zip(IDS, IDS[1:], strict=False)],
    )


def alpha(value: float) -> list[OrvanePipelineParameterModel]:
    return [OrvanePipelineParameterModel(name="alpha", type="float", value=repr(value))]


def settle(pipeline: OrvanePipeline) -> None:
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        pipeline.update_diskcache_status()
        statuses = [pipeline.nodes[c].diskcache_status for c in IDS]
        if OrvaneDiskcacheStatus.UPDATING not in statuses:
            return
        time.sleep(0.01)


def time_study(shell: InteractiveShell, scale: float, trials: int) -> float:
    cells = codes(scale)

    def objective(trial):
        shell.user_ns["alpha"] = trial.suggest_float("alpha", 0, 2)
        for code in cells[:-1]:
            shell.run_cell(code, store_history=False)
        return shell.run_cell(cells[-1], store_history=False).result

    study = optuna.create_study(sampler=optuna.samplers.RandomSampler())
    start = time.perf_counter()
    study.optimize(objective, n_trials=trials)
    return time.perf_counter() - start


def ready_pipeline(shell: InteractiveShell, scale: float, reach: bool) -> OrvanePipeline:
    pipeline = OrvanePipeline(
        graph=graph(scale), parameters=alpha(1.0), shell=shell, parameter_reach=reach
    )
    pipeline.execute_all(send_to_front=False)
    settle(pipeline)
    return pipeline


def close(pipeline: OrvanePipeline) -> None:
    pipeline._diskcache_writer.close()
    pipeline.clear_all_diskcache()


def time_search(shell: InteractiveShell, scale: float, trials: int) -> float:
    pipeline = ready_pipeline(shell, scale, True)
    try:
        start = time.perf_counter()
        pipeline.optimize_parameters(
            "evaluate", "RandomSearch", [0], {"alpha": {"low": 0, "high": 2}}, trials
        )
        elapsed = time.perf_counter() - start
        assert len(pipeline._hpoptimizer.optimization_log) == trials
    finally:
        close(pipeline)
    return elapsed


def time_change(shell: InteractiveShell, scale: float, reach: bool) -> float:
    pipeline = ready_pipeline(shell, scale, reach)
    try:
        start = time.perf_counter()
        pipeline.set_parameters(alpha(1.5))
        pipeline.execute_component("evaluate", send_to_front=False)
        elapsed = time.perf_counter() - start
    finally:
        close(pipeline)
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--trials", type=int, default=20)
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()

    optuna.logging.disable_default_handler()
    shell = InteractiveShell.instance()
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        base = time_study(shell, args.scale, args.trials)
        search = time_search(shell, args.scale, args.trials)
        change_on = min(time_change(shell, args.scale, True) for _ in range(3))
        change_off = time_change(shell, args.scale, False)
    print(f"search, {args.trials} trials over alpha")
    print(f"  study rerunning every cell:  {base:7.2f} s")
    print(f"  optimize_parameters (reach): {search:7.2f} s")
    print(f"  ratio engine / study:        {search / base:7.3f}  (target <= 0.1)")
    print("set alpha, then run evaluate")
    print(f"  with parameter_reach:        {change_on:7.3f} s  (target <= 0.05)")
    print(f"  without (every cell reruns): {change_off:7.3f} s")


if __name__ == "__main__":
    main()
