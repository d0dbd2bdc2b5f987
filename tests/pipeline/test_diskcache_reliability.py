"""Real write failures: a file-size limit makes the disk refuse a large cache mid-write."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SCRIPT = textwrap.dedent(
    """
    import json, os, resource, signal, sys

    from IPython.core.interactiveshell import InteractiveShell

    from orvane_core.cache import OrvaneDiskCache
    from orvane_core.misc import OrvaneDiskcacheStatus, OrvanePipelineCallbackProcedure
    from tests.pipeline.test_diskcache_helpers import (
        cache_dirs, close_pipeline, dag, make_pipeline, run, settle,
    )

    shell = InteractiveShell.instance()
    records = []
    p = make_pipeline(
        dag([("big", "w = bytes(8 << 20)", True), ("small", "u = 1", True)]), records
    )
    run(p, "big", shell, queue=False)
    run(p, "small", shell, queue=False)

    # Files of this process may not grow past 1 MiB; writes beyond fail with EFBIG.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))
    p._put_diskcache_task(task_type="todo", component_id="big")
    p._put_diskcache_task(task_type="todo", component_id="small")
    settle(p)
    failures = [
        r.msg for r in records
        if r.procedure == OrvanePipelineCallbackProcedure.DISKCACHE_UPDATED and r.failed
    ]
    out = {
        "big": str(p.nodes["big"]._diskcache_status),
        "small": str(p.nodes["small"].diskcache_status),
        "failures": failures,
        "entries": sorted(os.listdir(p.diskcache_dir)),
        "loadable": cache_dirs(p.diskcache_dir),
        "alive": p._diskcache_writer.is_alive(),
        "small_value": dict(p.nodes["small"].non_module_outputs),
    }
    # The pipeline keeps working once space is back.
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    run(p, "big", shell)
    settle(p)
    out["big_after"] = str(p.nodes["big"].diskcache_status)
    out["big_size"] = len(p.nodes["big"].non_module_outputs["w"])
    close_pipeline(p)
    print(json.dumps(out))
    """
)


def test_file_too_large_fails_the_write_and_the_pipeline_goes_on(tmp_path):
    env = dict(os.environ, ORVANE_TEMP_DIR=str(tmp_path))
    done = subprocess.run(
        [sys.executable, "-c", SCRIPT],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        timeout=240,
    )
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout.strip().splitlines()[-1])
    assert out["big"] == "failed"
    assert len(out["failures"]) == 1 and "large" in out["failures"][0].lower()
    assert out["small"] == "cached" and out["small_value"] == {"u": 1}
    assert out["alive"]
    # Nothing of the failed write is left, let alone loadable.
    assert out["entries"] == out["loadable"] and len(out["loadable"]) == 1
    assert out["big_after"] == "cached" and out["big_size"] == 8 << 20
