"""Front-end callback cost: a 1000-cell run through the front end, with its callback or with none.

Runs inside a real kernel (started through jupyter_client, its output read as a notebook would),
as users run it: a session as ``%load_ext orvane_core`` makes it, its cells declared as
``%%component`` does (a chain, each cell after the previous one), the live view shown as
``%orvane show`` shows it, and the run started as ``%orvane run --all`` starts it. The baseline
is the same run of a session whose callback does nothing. Every run declares new sources (a
fresh session each), the two kinds alternate and swap order in each pair, and before each timed
run the collector runs and freezes what is left (it stays on during the run), on both sides
alike. A timed run ends when the kernel has sent its messages (a flush of its output thread),
and starts after a pause (0.2 s) in which the reader takes what the run before sent: each run
pays for its own messages, never for those of the run before it.

Prints, for the wall time and for the kernel's CPU time (all its threads: the view's ticker, the
thread that sends messages), the ratio front end / baseline:
the median over the pairs with its spread (lowest to highest pair), the ratio of the two
sides' medians, and best of each side. Then
the records the callback received, the draws, and the callback's own time in one extra run.
Target: front end / baseline at most 1.1. BENCH_CELLS, BENCH_REPEAT, BENCH_DISKCACHE=1 (on: the
background writer's records too) change the set-up; BENCH_PROFILE=1 (BENCH_SORT=tottime) prints
the profile of one more front-end run (BENCH_FILTER=frontend: only functions whose path matches).
"""

from __future__ import annotations

import json
import os
import statistics
import sys
import tempfile
import time

N = int(os.environ.get("BENCH_CELLS", "1000"))
REPEAT = int(os.environ.get("BENCH_REPEAT", "25"))
DISKCACHE = os.environ.get("BENCH_DISKCACHE", "0") == "1"
MARK = "ORVANE-BENCH-RESULT "


def _declare(session, n: int, tag: int, diskcache: bool) -> None:
    from orvane_core.frontend.declarations import ComponentHeader

    # The tag makes every run's sources new (the executor caches compiled cells).
    session.declare(ComponentHeader("c0", diskcache=diskcache), f"x0 = 0  # {tag}\n")
    for i in range(1, n):
        header = ComponentHeader(f"c{i}", parents=(f"c{i - 1}",), diskcache=diskcache)
        session.declare(header, f"x{i} = x{i - 1} + 1  # {tag}\n")


def inside(n: int, repeat: int, diskcache: bool) -> None:
    """The measurement, in the kernel: prints one line of results after ``MARK``."""
    import gc

    from IPython import get_ipython

    from orvane_core.callbacks import OrvanePipelineCallback
    from orvane_core.frontend import current_session

    shell = get_ipython()
    installed = current_session(shell)  # the session %load_ext orvane_core makes
    make = type(installed)

    class Nothing(OrvanePipelineCallback):
        """A callback that does nothing, with the calls the session makes on its own."""

        progress = "none"

        def __init__(self) -> None:
            super().__init__()
            self.views: list = []
            self.extra: dict = {}

        def __call__(self, data) -> None:
            pass

        def begin_execution(self, *args, **kwargs) -> None:
            pass

        def end_execution(self, *args, **kwargs) -> None:
            pass

        def redraw(self) -> None:
            pass

        def take_notes(self) -> list:
            return []

    class Timed:
        def __init__(self, inner) -> None:
            self.inner, self.seconds = inner, 0.0

        def __call__(self, data) -> None:
            start = time.perf_counter()
            self.inner(data)
            self.seconds += time.perf_counter() - start

    tags = iter(range(1, 1 << 30))

    def prepared(front: bool):
        session = make(shell)
        if not front:
            session.callback = Nothing()
        _declare(session, n, next(tags), diskcache)
        session._sync()  # the pipeline exists, as after cells run with autorun on
        if front:
            session.show()  # %orvane show: the view every run redraws
        return session

    def timed_run(session) -> tuple[float, float]:
        # The same collector state on both sides: what earlier runs left is collected and set
        # aside, so that a full collection during a run walks only what this run made.
        gc.collect()
        gc.freeze()
        # What the run before sent has left the kernel and been read (a megabyte of JSON, which
        # the reader takes longer than 50 ms to decode on a busy machine): it is not paid by this
        # one.
        time.sleep(0.2)
        try:
            wall, cpu = time.perf_counter(), time.process_time()
            report = session.run()
            # A run ends when its messages have left the kernel: the output thread has sent
            # everything queued before this flush returns.
            sys.stdout.flush()
            wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        finally:
            gc.unfreeze()
        assert len(report.ran) == n and not report.failed, report.line()
        return wall, cpu

    timed_run(prepared(True))  # warm-up: imports, the package list, first draws
    pairs = []
    load = os.getloadavg()[0]
    for r in range(repeat):
        out = {}
        for front in (True, False) if r % 2 == 0 else (False, True):
            session = prepared(front)
            out[front] = timed_run(session)
            if front:
                out["records"] = session.callback.records
                out["draws"] = session.callback.draws
            del session
        pairs.append(out)
    load = (load + os.getloadavg()[0]) / 2
    # One more run with the callback's own time added up (the wrapper is not in the pairs).
    session = prepared(True)
    timer = session.pipeline._callback = Timed(session.callback)
    timed_run(session)
    if os.environ.get("BENCH_PROFILE") == "1":  # where a front-end run's time goes
        import cProfile
        import pstats

        session = prepared(True)
        profile = cProfile.Profile()
        profile.runcall(timed_run, session)
        pstats.Stats(profile, stream=sys.stdout).sort_stats(
            os.environ.get("BENCH_SORT", "cumulative")
        ).print_stats(os.environ.get("BENCH_FILTER", ""), 40)
    result = {
        "front_wall": [p[True][0] for p in pairs],
        "base_wall": [p[False][0] for p in pairs],
        "front_cpu": [p[True][1] for p in pairs],
        "base_cpu": [p[False][1] for p in pairs],
        "records": pairs[-1]["records"],
        "draws": pairs[-1]["draws"],
        "callback_seconds": timer.seconds,
        "load": load,
        "packer": str(getattr(getattr(shell, "kernel", None), "session", None).packer),
    }
    print(MARK + json.dumps(result), flush=True)


def _ratios(front: list[float], base: list[float]) -> str:
    pair = sorted(f / b for f, b in zip(front, base, strict=True))
    return (
        f"median {statistics.median(pair):.3f} (pairs {pair[0]:.3f} .. {pair[-1]:.3f}), "
        f"of the medians {statistics.median(front) / statistics.median(base):.3f}, "
        f"best of each {min(front) / min(base):.3f}"
    )


def main() -> None:
    from jupyter_client.manager import start_new_kernel

    here = os.path.dirname(os.path.abspath(__file__))
    env = {**os.environ, "ORVANE_TEMP_DIR": tempfile.mkdtemp(prefix="orvane-bench-")}
    manager, client = start_new_kernel(kernel_name="python3", cwd=here, env=env)
    code = (
        f"import sys; sys.path.insert(0, {here!r})\n"
        "import bench_frontend_callback as bench\n"
        f"bench.inside({N}, {REPEAT}, {DISKCACHE})\n"
    )
    try:
        msg_id = client.execute(code)
        text, error = "", None
        while True:
            message = client.get_iopub_msg(timeout=600)  # drained as a notebook would
            if message["parent_header"].get("msg_id") != msg_id:
                continue
            kind, content = message["msg_type"], message["content"]
            if kind == "stream":
                text += content["text"]
            elif kind == "error":
                error = "\n".join(content["traceback"])
            elif kind == "status" and content["execution_state"] == "idle":
                break
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)
    if error is not None:
        sys.exit(error)
    if os.environ.get("BENCH_PROFILE") == "1" or os.environ.get("BENCH_VERBOSE") == "1":
        print(text)
    line = next(x for x in text.splitlines() if x.startswith(MARK))
    r = json.loads(line[len(MARK) :])
    fw, bw = statistics.median(r["front_wall"]), statistics.median(r["base_wall"])
    print(
        f"{N} cells in a kernel, disk cache {'on' if DISKCACHE else 'off'}, {REPEAT} pairs, "
        f"load average {r['load']:.1f} on {os.cpu_count()} cores, messages encoded by "
        f"{r['packer']}"
    )
    extra = statistics.median(f - b for f, b in zip(r["front_wall"], r["base_wall"], strict=True))
    print(f"median run: baseline {bw:.3f} s, with the front end {fw:.3f} s")
    print(
        f"the front end's own cost per run (median of the pairs' differences): {extra * 1000:.0f} ms"
    )
    print(f"records {r['records']}, draws {r['draws']}")
    print(f"callback's own time in one run: {r['callback_seconds'] * 1000:.1f} ms")
    print(
        f"CPU time (kernel, all its threads), front end / baseline: {_ratios(r['front_cpu'], r['base_cpu'])}"
    )
    print(f"run with front end / baseline run: {_ratios(r['front_wall'], r['base_wall'])}")
    print("target: at most 1.1")


if __name__ == "__main__":
    main()
