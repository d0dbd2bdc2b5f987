"""Disk-cache speed: main-thread cost of queuing, writer throughput, adoption and peak memory.

Usage: python bench/bench_diskcache.py [MiB]   (default 1024: a 1 GiB float64 array)

Every ratio is measured against a baseline taken in the same run on the same data:
  (a) dumps + put_task on the main thread  vs  cloudpickle.dumps alone      (target <= 1.2)
  (b) writer throughput                    vs  raw sequential write + fsync (target >= 0.8)
  (c) OrvaneDiskCache(...) + reading value vs  numpy.load of an .npy        (target <= 1.5)
  (d) peak RSS growth while loading, in copies of the data (fresh process each)
"""

from __future__ import annotations

import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import cloudpickle
import numpy as np

from orvane_core.cache import OrvaneDiskCache
from orvane_core.executors import OrvaneDiskcacheWriter
from orvane_core.misc.models import OrvaneCacheModel, OrvaneDiskCacheTodoModel


def _task(blob: bytes, cache_dir: str) -> OrvaneDiskCacheTodoModel:
    data = OrvaneCacheModel(
        module_statements={"np": "import numpy as np"},
        non_module_outputs={"arr": blob},
        last_output=None,
        outputs_summary={"arr": "ndarray"},
    )
    return OrvaneDiskCacheTodoModel(
        component_id="bench", success_count=1, cache_dir=cache_dir, data=data
    )


def _wait_done(writer: OrvaneDiskcacheWriter):
    while True:
        messages = writer.get_messages()
        if messages:
            return messages[0]
        time.sleep(0.001)


def _raw_write(path: str, blob: bytes) -> float:
    start = time.perf_counter()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    view = memoryview(blob)
    done = 0
    while done < len(view):
        done += os.write(fd, view[done : done + (8 << 20)])
    os.fsync(fd)
    os.close(fd)
    return time.perf_counter() - start


def _peak_rss() -> int:
    # VmHWM is exact at the time of reading, unlike ru_maxrss, which the kernel updates lazily.
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _child_load(kind: str, path: str) -> None:
    # Peak RSS in a fresh process: what loading adds on top of an interpreter with numpy.
    before = _peak_rss()
    if kind == "cache":
        cache = OrvaneDiskCache(cache_dir=path)
        value = cache.non_module_outputs["arr"]
    else:
        value = np.load(path)
    print(_peak_rss() - before, value.nbytes)


def main() -> None:
    if len(sys.argv) > 2 and sys.argv[1] == "--child-load":
        _child_load(sys.argv[2], sys.argv[3])
        return
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 1024
    array = np.random.default_rng(0).random(mib * (1 << 20) // 8)
    root = tempfile.mkdtemp(prefix="bench-diskcache-")
    writer = OrvaneDiskcacheWriter(identifier="bench")
    writer.open()
    writer.start()
    try:
        # (a) main-thread time: serialise, then hand over without waiting for the disk.
        # Alternating rounds, best of each: a fresh gigabyte allocation varies by itself.
        t_dumps, t_main, t_put = [], [], []
        for i in range(2):
            start = time.perf_counter()
            blob = cloudpickle.dumps(array)
            t_dumps.append(time.perf_counter() - start)
            del blob
            start = time.perf_counter()
            blob = cloudpickle.dumps(array)
            middle = time.perf_counter()
            writer.put_task(task=_task(blob, os.path.join(root, f"component-a{i}")))
            end = time.perf_counter()
            t_main.append(end - start)
            t_put.append(end - middle)
            _wait_done(writer)
            shutil.rmtree(os.path.join(root, f"component-a{i}"))
            if i == 0:
                del blob

        # (b) throughput against a raw write of the same bytes; best of two rounds each.
        t_raw, t_writer = [], []
        for i in range(2):
            path = os.path.join(root, f"raw-{i}.bin")
            t_raw.append(_raw_write(path, blob))
            os.unlink(path)
            start = time.perf_counter()
            writer.put_task(task=_task(blob, os.path.join(root, f"component-b{i}")))
            done = _wait_done(writer)
            t_writer.append(time.perf_counter() - start)
            assert done.is_successful, done.msg
            if i == 0:
                shutil.rmtree(os.path.join(root, "component-b0"))
        cache_dir = os.path.join(root, "component-b1")

        # (c) adoption and read against numpy.load; both files are in the page cache.
        npy = os.path.join(root, "array.npy")
        np.save(npy, array)
        # Best of three alternating rounds: the first large allocation of a process also pays
        # for the kernel assembling huge pages, whichever reader comes first.
        t_np, t_cache = [], []
        for _ in range(3):
            start = time.perf_counter()
            loaded = np.load(npy)
            t_np.append(time.perf_counter() - start)
            del loaded
            start = time.perf_counter()
            cache = OrvaneDiskCache(cache_dir=cache_dir)
            loaded = cache.non_module_outputs["arr"]
            t_cache.append(time.perf_counter() - start)
            assert loaded.shape == array.shape
            del loaded, cache

        # (d) peak memory of each load in a fresh process.
        def peak(kind: str, path: str) -> float:
            out = subprocess.run(
                [sys.executable, __file__, "--child-load", kind, path],
                check=True,
                capture_output=True,
                text=True,
            ).stdout.split()
            return int(out[0]) / int(out[1])

        size_mib = len(blob) / (1 << 20)
        print(f"data: {size_mib:.0f} MiB")
        print(
            f"(a) dumps {min(t_dumps):.3f}s, dumps+put_task {min(t_main):.3f}s "
            f"(put_task alone {max(t_put) * 1e3:.2f} ms): "
            f"ratio {min(t_main) / min(t_dumps):.2f} (target <= 1.2)"
        )
        print(
            f"(b) raw write+fsync {min(t_raw):.3f}s, writer {min(t_writer):.3f}s: "
            f"throughput ratio {min(t_raw) / min(t_writer):.2f} (target >= 0.8)"
        )
        print(
            f"(c) numpy.load {min(t_np):.3f}s, adopt+read {min(t_cache):.3f}s: "
            f"ratio {min(t_cache) / min(t_np):.2f} (target <= 1.5)"
        )
        print(
            f"(d) peak RSS growth while loading, in copies of the data: "
            f"cache {peak('cache', cache_dir):.2f}, numpy.load {peak('npy', npy):.2f}"
        )
    finally:
        writer.close()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
