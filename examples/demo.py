"""Example: notebook cells as a pipeline in a real Jupyter kernel, cached on disk and adopted.

Starts a kernel with jupyter_client and, inside it, builds a pipeline of five cells (imports,
data, a transformation, a summary and a cell that warns), runs it with every report shown as a
progress line, runs it again reusing the disk cache, then creates a new pipeline with the same
id, which adopts the cache, and runs that. After each run it prints what ran and what was reused.
Last, it searches the parameters of a small line-fitting pipeline with a TPE study.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
import textwrap
import uuid
from pathlib import Path

from jupyter_client.manager import start_new_kernel

REPO = Path(__file__).resolve().parents[1]

# Runs inside the kernel: the graph, a progress printer for the callback, and a run helper.
KERNEL_SETUP = textwrap.dedent(
    """
    import time

    from orvane_core.misc import OrvaneDiskcacheStatus
    from orvane_core.misc.models import (
        OrvaneComponentMetadataModel, OrvaneComponentModel, OrvaneDagModel, OrvaneEdgeModel,
    )
    from orvane_core.pipeline.pipeline import OrvanePipeline

    CELLS = [
        ("imports", "Imports", "import statistics"),
        ("data", "Data", "readings = [12.5, 14.1, 13.8, 15.2, 14.9, 13.3, 16.0, 15.5]"),
        ("transform", "Transformation",
         "baseline = min(readings)\\ndeltas = [round(r - baseline, 2) for r in readings]\\ndeltas"),
        ("summary", "Summary",
         "report = {'mean': round(statistics.mean(deltas), 3),\\n"
         "          'stdev': round(statistics.stdev(deltas), 3)}\\nreport"),
        ("check", "Check",
         "import warnings\\nif max(deltas) > 3:\\n"
         "    warnings.warn('a reading is more than 3 above the baseline')\\nmax(deltas)"),
    ]
    EDGES = [("data", "transform"), ("imports", "summary"), ("transform", "summary"),
             ("transform", "check")]
    GRAPH = OrvaneDagModel(
        components=[
            OrvaneComponentModel(id=cid, name=name, code=code,
                                 metadata=OrvaneComponentMetadataModel(diskcache=True))
            for cid, name, code in CELLS
        ],
        edges=[OrvaneEdgeModel(source=s, target=t) for s, t in EDGES],
    )

    import functools

    print = functools.partial(print, flush=True)  # keep progress in step with cell output
    _seen = {}
    _reports = [0]

    def progress(data):
        # One line per change a report carries, not the whole summary every time.
        _reports[0] += 1
        if data.procedure != "pipeline_updated":
            detail = data.successful or data.failed or {}
            print(f"    > {data.procedure.value} ({data.status.value}) {detail} {data.msg}".rstrip())
            return
        for entry in data.successful.get("components", []):
            state = (entry["execution_status"].value, entry["diskcache_status"].value)
            if _seen.get(entry["identifier"]) != state:
                _seen[entry["identifier"]] = state
                print(f"    > {entry['name']:<15} {state[0]:<11} disk cache: {state[1]}")

    def run_all(pipeline, label):
        print(f"== {label}")
        before = {cid: c.success_count for cid, c in pipeline.nodes.items()}
        _reports[0] = 0
        started = time.perf_counter()
        pipeline.execute_all()
        elapsed = time.perf_counter() - started
        # Disk writes finish beside the kernel; poll until every one has landed.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and any(
            c.use_diskcache and c.diskcache_status == OrvaneDiskcacheStatus.UPDATING
            for c in pipeline.nodes.values()
        ):
            time.sleep(0.05)
            pipeline.update_diskcache_status()
        ran = [c.name for cid, c in pipeline.nodes.items() if c.success_count != before[cid]]
        reused = [c.name for cid, c in pipeline.nodes.items() if c.success_count == before[cid]]
        cached = sum(c.diskcache_status == OrvaneDiskcacheStatus.CACHED
                     for c in pipeline.nodes.values())
        print(f"   ran: {', '.join(ran) or '-'}")
        print(f"   reused: {', '.join(reused) or '-'}")
        print(f"   {cached} of {len(pipeline.nodes)} cells cached on disk; "
              f"{_reports[0]} reports to the front end; run took {elapsed * 1e3:.0f} ms")
    """
)


# Runs inside the kernel: a two-cell pipeline whose fit error depends on two parameters, searched
# with a TPE study; the callback shows every tenth trial and the outcome.
SEARCH = textwrap.dedent(
    """
    FIT = OrvaneDagModel(
        components=[
            OrvaneComponentModel(id="points", name="Points",
                                 code="points = [(x, 2.5 * x + 1) for x in range(10)]"),
            OrvaneComponentModel(id="fit", name="Fit", code=(
                "error = sum((slope * x + intercept - y) ** 2 for x, y in points) / len(points)"
                "\\nerror")),
        ],
        edges=[OrvaneEdgeModel(source="points", target="fit")],
    )

    def search_progress(data):
        if data.procedure == "hpo_trial_executed":
            trial = data.successful
            if trial and trial["trials"] % 10 == 9:
                print(f"    > trial {trial['trials'] + 1}: error {trial['values'][0]:.3f}")
        elif data.procedure == "hpo_completed":
            (best,) = data.successful["best_trials"].values()
            values = {k: round(v, 2) for k, v in best["parameters"].items()}
            print(f"    > best: {values}, error {best['values'][0]:.4f}")
            print(f"    > importance: {data.successful['parameter_importance'][0]}")
        elif data.procedure.startswith("hpo_"):
            print(f"    > {data.procedure.value}: {data.msg}")

    print("== Parameter search: slope and intercept of a line through ten points")
    tuning = OrvanePipeline(graph=FIT, callback=search_progress, shell=get_ipython())
    tuning.optimize_parameters(
        "fit", "TPESearch", [0],
        {"slope": {"low": 0, "high": 5}, "intercept": {"low": -2, "high": 3}}, 40,
    )
    """
)


def run(client, code: str, show_results: bool = True) -> None:
    """Runs code in the kernel and prints what it shows: progress, cell output, results."""
    msg_id = client.execute(code)
    while True:
        msg = client.get_iopub_msg(timeout=120)
        if msg["parent_header"].get("msg_id") != msg_id:
            continue
        kind, content = msg["msg_type"], msg["content"]
        if kind == "status" and content["execution_state"] == "idle":
            break
        if kind == "stream":
            text = content["text"]
            if content["name"] == "stderr":
                text = "".join(f"    ! {line}\n" for line in text.rstrip("\n").splitlines())
            sys.stdout.write(text)
        elif kind == "execute_result" and show_results:
            component = content.get("metadata", {}).get("component_id")
            where = f"result of {component}" if component else "result"
            print(f"    = {where}: {content['data'].get('text/plain')}")
        elif kind == "error":
            print("\n".join(content["traceback"]))
            raise SystemExit(f"the kernel reported {content['ename']}: {content['evalue']}")
    reply = client.get_shell_msg(timeout=120)
    while reply["parent_header"].get("msg_id") != msg_id:
        reply = client.get_shell_msg(timeout=120)
    if reply["content"]["status"] != "ok":
        raise SystemExit(f"the kernel could not run the request: {reply['content']}")


def main() -> None:
    app_dir = tempfile.mkdtemp(prefix="orvane-demo-")
    env = dict(os.environ, ORVANE_TEMP_DIR=app_dir)
    pipeline_id = f"demo-{uuid.uuid4().hex[:8]}"
    print(f"Starting a kernel; caches go to {app_dir}")
    manager, client = start_new_kernel(kernel_name="python3", cwd=str(REPO), env=env)
    try:
        run(client, KERNEL_SETUP)
        run(
            client,
            f"first = OrvanePipeline(identifier={pipeline_id!r}, graph=GRAPH, "
            "callback=progress, shell=get_ipython())\n"
            "run_all(first, 'First run: every cell runs, results are written to disk')",
        )
        run(client, "run_all(first, 'Second run: the disk cache makes every cell reusable')")
        run(
            client,
            "_seen.clear()\n"
            "print('== New pipeline with the same id')\n"
            f"second = OrvanePipeline(identifier={pipeline_id!r}, graph=GRAPH, "
            "callback=progress, shell=get_ipython())\n"
            "print('   adopted', sum(c.status == 'successful' for c in second.nodes.values()), "
            "'cached cells from', second.diskcache_dir)\n"
            "print('   the first pipeline is released; the cache stays with the new one')\n"
            "del first\n"
            "run_all(second, 'Third run, in the new pipeline: nothing needs to run')",
        )
        run(client, "print('== Values in the notebook namespace:', report, max(deltas))")
        run(client, SEARCH, show_results=False)  # each trial shows its fit's result
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)
        shutil.rmtree(app_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
