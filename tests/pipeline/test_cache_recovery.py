"""Caches that cannot be served are misses: damage, removal, unpicklable values, failing callbacks,
links, stale code. No wrong value is ever served and the run goes on."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from orvane_core.common import utils
from orvane_core.misc import OrvaneDiskcacheStatus, OrvanePipelineCallbackProcedure
from tests.pipeline.test_diskcache_helpers import (
    cache_dirs,
    close_pipeline,
    dag,
    drain_point,
    settle,
)
from tests.pipeline.test_diskcache_helpers import make_pipeline as build

ROOT = Path(__file__).resolve().parents[2]
D = OrvaneDiskcacheStatus
BAD = "def _boom():\n    raise RuntimeError('cannot rebuild')\n"
BAD += "class Bad:\n    def __reduce__(self):\n        return (_boom, ())\n"
CHAIN = [("a", "x = 41", True), ("b", "y = x + 1", True)]


def disk_failures(records):
    return [
        r
        for r in records
        if r.procedure == OrvanePipelineCallbackProcedure.DISKCACHE_UPDATED and r.failed
    ]


def folder_of(p, cid) -> Path:
    return Path(p.nodes[cid]._diskcache.cache_dir)


def blob(folder: Path, kind: str) -> Path:
    manifest = json.loads((folder / "manifest.json").read_text())
    return folder / next(b["file"] for b in manifest["blobs"] if b["kind"] == kind)


def flip_byte(path: Path) -> None:
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0xFF
    path.write_bytes(bytes(data))


def link_in_place(path: Path) -> None:
    """Replaces a file by a link to an identical copy elsewhere: still never read through."""
    copy = path.parent.parent / "elsewhere.bin"
    shutil.copyfile(path, copy)
    path.unlink()
    path.symlink_to(copy)


def cached(shell, components=CHAIN, records=None, identifier="p"):
    p = build(dag(components, [("a", "b")]), records, identifier=identifier, shell=shell)
    p.execute_all(send_to_front=False)
    settle(p)
    return p


DAMAGE = {
    "flipped value": lambda f: flip_byte(blob(f, "output")),
    "flipped metadata": lambda f: flip_byte(blob(f, "meta")),
    "damaged manifest": lambda f: (f / "manifest.json").write_text("{not json"),
    "missing manifest": lambda f: (f / "manifest.json").unlink(),
    "missing value": lambda f: blob(f, "output").unlink(),
    "linked value": lambda f: link_in_place(blob(f, "output")),
}


@pytest.mark.parametrize("damage", list(DAMAGE))
def test_an_adopted_cache_that_cannot_be_read_is_a_miss(shell, damage):
    first = cached(shell)
    damaged = folder_of(first, "a")
    DAMAGE[damage](damaged)
    records = []
    p = build(dag(CHAIN, [("a", "b")]), records, identifier="p", shell=shell)
    p.execute_all(send_to_front=False)
    settle(p)
    assert dict(p.nodes["b"].non_module_outputs) == {"y": 42}
    assert dict(p.nodes["a"].non_module_outputs) == {"x": 41}
    assert not damaged.exists()
    assert p.nodes["a"].diskcache_status == D.CACHED
    close_pipeline(p)


@pytest.mark.parametrize("removed", ["component folder", "pipeline folder"])
def test_a_cache_removed_while_the_pipeline_lives_is_a_miss(shell, removed):
    records = []
    p = cached(shell, records=records)
    shutil.rmtree(folder_of(p, "a") if removed == "component folder" else p.diskcache_dir)
    p.execute_all(send_to_front=False)
    settle(p)
    assert dict(p.nodes["b"].non_module_outputs) == {"y": 42}
    assert {"component_id": "a"} in [r.failed for r in disk_failures(records)]
    assert p.nodes["a"].diskcache_status == D.CACHED
    close_pipeline(p)


def test_a_value_that_fails_to_unpickle_is_recomputed(shell):
    records = []
    p = cached(shell, [("a", BAD + "x = Bad()", True), ("b", "y = 1", True)], records)
    p.nodes["a"].clear_in_memory_cache()
    p.execute_all(send_to_front=False)
    assert type(p.nodes["a"].non_module_outputs["x"]).__name__ == "Bad"
    assert "cannot rebuild" in disk_failures(records)[0].msg
    close_pipeline(p)


UNPICKLABLE = [
    ("import threading\nlock = threading.Lock()", "lock"),
    # The pickler's error text holds a lone surrogate: still only this disk cache fails.
    (
        "class L:\n    def __reduce__(self):\n        raise ValueError('no \\udcff')\nlock = L()",
        "ValueError: no \udcff",
    ),
]


@pytest.mark.parametrize(("define", "named"), UNPICKLABLE)
def test_an_unpicklable_output_fails_only_the_disk_cache(shell, define, named):
    records = []
    code = define + "\nz = 1"
    p = build(
        dag([("a", code, True), ("b", "w = z + 1", True)], [("a", "b")]), records, shell=shell
    )
    p.execute_all(send_to_front=False)
    settle(p)
    assert dict(p.nodes["b"].non_module_outputs) == {"w": 2}
    assert p.nodes["a"].diskcache_status == D.FAILED
    assert p.nodes["a"].non_module_outputs["z"] == 1
    (failure,) = disk_failures(records)
    assert "'lock'" in failure.msg and named in failure.msg.split("'lock'")[1]
    close_pipeline(p)


def test_a_callback_that_raises_while_writes_come_in_loses_none_of_them(shell):
    records = []
    raised = []

    def callback(record):
        records.append(record)
        if record.procedure == OrvanePipelineCallbackProcedure.DISKCACHE_UPDATED and not raised:
            raised.append(record)
            raise KeyboardInterrupt

    p = build(dag(CHAIN, [("a", "b")]), None, shell=shell)
    p._callback = callback
    p.execute_all(send_to_front=False)
    drain_point(p, 2)  # both finished writes come in one batch
    with pytest.raises(KeyboardInterrupt):
        p.update_diskcache_status()
    settle(p)
    assert {c: p.nodes[c].diskcache_status for c in p.nodes} == {"a": D.CACHED, "b": D.CACHED}
    assert len(cache_dirs(p.diskcache_dir)) == 2
    close_pipeline(p)


def test_reusing_a_cached_component_writes_no_value_bytes(shell):
    records = []
    big = [("a", "import numpy as np\nx = np.ones(1 << 20)", True), ("b", "y = x.sum()", True)]
    p = cached(shell, big, records)
    before = {f: os.stat(Path(p.diskcache_dir) / f).st_ino for f in cache_dirs(p.diskcache_dir)}
    records.clear()
    p.execute_all(send_to_front=False)
    settle(p)
    after = {f: os.stat(Path(p.diskcache_dir) / f).st_ino for f in cache_dirs(p.diskcache_dir)}
    assert after == before
    # The front end still sees each write complete, as for any write.
    done = [r.successful for r in records if r.procedure == "diskcache_updated"]
    assert done == [{"component_id": "a"}, {"component_id": "b"}]
    assert p.nodes["a"].diskcache_status == D.CACHED
    assert p.nodes["b"].non_module_outputs["y"] == 1 << 20
    close_pipeline(p)


def test_links_are_never_followed_and_foreign_folders_never_deleted(shell, tmp_path):
    elsewhere = cached(shell, identifier="elsewhere")
    planted = folder_of(elsewhere, "a")
    user = tmp_path / "user-folder"
    (user / ".orvane-partial-mine").mkdir(parents=True)
    (user / ".orvane-partial-mine" / "notes.txt").write_text("keep")
    (user / "component-a").symlink_to(planted)
    p = build(dag(CHAIN, [("a", "b")]), None, identifier="p", shell=shell)
    p.load_diskcache(diskcache_dir=str(user))
    assert p.nodes["a"].diskcache_status != D.CACHED
    p.clear_all_diskcache()
    assert (user / ".orvane-partial-mine" / "notes.txt").read_text() == "keep"
    assert (planted / "manifest.json").exists()
    close_pipeline(p)
    close_pipeline(elsewhere)


KILLED = """
import os
from IPython.core.interactiveshell import InteractiveShell
from tests.pipeline.test_diskcache_helpers import dag, make_pipeline, settle
shell = InteractiveShell.instance()
p = make_pipeline(dag({chain!r}, [("a", "b")]), identifier="edited", shell=shell)
p.execute_all(send_to_front=False)
settle(p)
os._exit(0)  # killed: nothing is cleaned up
"""


def test_a_cache_of_other_code_is_not_adopted(shell):
    app = Path(utils.APP_TEMP_DIRECTORY)
    env = dict(os.environ, ORVANE_TEMP_DIR=str(app))
    script = textwrap.dedent(KILLED.format(chain=CHAIN))
    done = subprocess.run(
        [sys.executable, "-c", script], cwd=ROOT, env=env, capture_output=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    edited = [("a", "x = 1", True), ("b", "y = x + 1", True)]
    p = build(dag(edited, [("a", "b")]), None, identifier="edited", shell=shell)
    assert [p.nodes[c].diskcache_status for c in "ab"] != [D.CACHED, D.CACHED]
    p.execute_all(send_to_front=False)
    assert dict(p.nodes["b"].non_module_outputs) == {"y": 2}
    close_pipeline(p)
