"""Rerunning a pipeline whose results are all disk-cached: what the kernel is blocked for, how long
until the disk cache settles and how many bytes are written, against one read of the cached
values (what pushing them into the shell needs at least), measured in the same run.

    python bench/bench_cache_reuse.py [--size-mib 1024]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)


def written_bytes() -> int:
    """Bytes this process handed to write calls so far (the writer is a thread of it)."""
    with open("/proc/self/io") as f:
        fields = dict(line.split(": ") for line in f.read().splitlines())
    return int(fields["wchar"])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=1024)
    args = parser.parse_args()
    os.environ.setdefault("ORVANE_TEMP_DIR", tempfile.mkdtemp(prefix="orvane-bench-"))

    from IPython.core.interactiveshell import InteractiveShell

    from orvane_core.cache import OrvaneDiskCache
    from tests.pipeline.test_diskcache_helpers import close_pipeline, dag, make_pipeline, settle

    shell = InteractiveShell.instance()
    count = args.size_mib * (1 << 20) // 8
    cells = [
        ("data", f"import numpy as np\narr = np.ones({count})", True),
        ("head", "head = float(arr[:10].sum())", True),
        ("tail", "tail = head + 1", True),
    ]
    p = make_pipeline(dag(cells, [("data", "head"), ("head", "tail")]), shell=shell)
    p.execute_all(send_to_front=False)
    settle(p, timeout=600)
    shell.reset(new_session=False)

    # Baseline: one read of the cached value, through the same cache class.
    folder = p.nodes["data"]._diskcache.cache_dir
    start = time.perf_counter()
    value = OrvaneDiskCache(cache_dir=folder).non_module_outputs["arr"]
    one_read = time.perf_counter() - start
    del value

    before = written_bytes()
    start = time.perf_counter()
    p.execute_all(send_to_front=False)
    blocked = time.perf_counter() - start
    settle(p, timeout=600)
    settled = time.perf_counter() - start
    written = written_bytes() - before

    print(f"cached value: {args.size_mib} MiB")
    print(f"one read of the cached values (baseline): {one_read:.3f} s")
    print(f"rerun, kernel blocked:           {blocked:.3f} s  ratio {blocked / one_read:.2f}")
    print(f"rerun, until the cache settled:  {settled:.3f} s  ratio {settled / one_read:.2f}")
    print(f"bytes written by the rerun:      {written / (1 << 20):.2f} MiB")
    close_pipeline(p)


if __name__ == "__main__":
    main()
