"""Cache commands: adopting a directory of caches, switching disk caching, clearing caches."""

from __future__ import annotations

import os
import shutil

import pytest

from orvane_core.misc import (
    OrvaneComponentStatus,
    OrvaneDiskcacheStatus,
    OrvanePipelineCallbackProcedure,
)
from tests.pipeline.test_diskcache_helpers import (
    cache_dirs,
    close_pipeline,
    dag,
    make_pipeline,
    run,
    settle,
    wait_for,
)

UPDATED = OrvanePipelineCallbackProcedure.PIPELINE_UPDATED
# a -> b -> c, and d beside them.
GRAPH = (
    [
        ("a", "x = 1", True),
        ("b", "y = x + 1", True),
        ("c", "z = y * 2", True),
        ("d", "w = 0", True),
    ],
    [("a", "b"), ("b", "c")],
)

# An unfinished write as the writer names it: its prefix, a folder name, a random suffix.
PARTIAL = ".orvane-partial-component-0b6f6a4e-3a8e-4c1f-9d7e-5c2b1a0f9e8d-x1"


@pytest.fixture
def records():
    return []


@pytest.fixture
def pipes():
    made = []
    yield made
    for p in made:
        close_pipeline(p)


def new_pipeline(pipes, records=None, identifier=None, graph=GRAPH):
    p = make_pipeline(dag(*graph), records, identifier=identifier)
    pipes.append(p)
    return p


def run_all(p, shell):
    for cid in ("a", "b", "c", "d"):
        run(p, cid, shell)
    settle(p)


def write_named(p, component_id, folder):
    """Moves the component's written cache to `folder`, as caches named after components are."""
    src = p.nodes[component_id].diskcache_dir
    dst = os.path.join(p.diskcache_dir, folder)
    shutil.copytree(src, dst)
    return dst


# --- adoption -------------------------------------------------------------------------------


def test_new_pipeline_adopts_the_writers_folders(pipes, shell, records):
    old = new_pipeline(pipes)
    run_all(old, shell)
    old._diskcache_writer.close()
    written = {c: old.nodes[c].diskcache_dir for c in "abcd"}
    # The old object goes away without its clean-up, as when a kernel restarts.
    pipes.remove(old)

    p = new_pipeline(pipes, records, identifier=old.id)
    assert p.diskcache_dir == old.diskcache_dir
    for cid in "abcd":
        component = p.nodes[cid]
        assert component.use_diskcache
        assert component.diskcache_dir == written[cid]
        assert component.status == OrvaneComponentStatus.SUCCESSFUL
        assert component.diskcache_status == OrvaneDiskcacheStatus.CACHED
    assert dict(p.nodes["c"].non_module_outputs) == {"z": 4}
    assert [r.procedure for r in records] == [UPDATED]


def test_adoption_layout(pipes, shell, tmp_path, records):
    """One directory holding every kind of entry adoption can meet."""
    src = new_pipeline(pipes, graph=([("a", "x = 1", True), ("b", "y = 2", True)], []))
    run(src, "a", shell)
    settle(src)
    a_first = src.nodes["a"].diskcache_dir
    superseded = shutil.copytree(a_first, os.path.join(src.diskcache_dir, "component-old-a"))
    run(src, "a", shell)  # a newer write for a; the first one is released
    settle(src)
    run(src, "b", shell)
    settle(src)
    a_newest = src.nodes["a"].diskcache_dir
    b_named = write_named(src, "b", "component-b")
    shutil.rmtree(src.nodes["b"].diskcache_dir)
    src._diskcache_writer.close()

    d = src.diskcache_dir
    gone = shutil.copytree(a_newest, os.path.join(d, "component-x"))
    with open(os.path.join(gone, "manifest.json")) as f:
        manifest = f.read()
    with open(os.path.join(gone, "manifest.json"), "w") as f:
        f.write(manifest.replace('"a"', '"removed-component"'))
    os.makedirs(os.path.join(d, PARTIAL))
    os.makedirs(os.path.join(d, "component-c"))  # foreign: no record of ours
    os.makedirs(os.path.join(d, "photos"))
    for name in ("pipeline.json", "notes.txt", os.path.join("photos", "p.jpg")):
        with open(os.path.join(d, name), "w") as f:
            f.write("keep")
    pipes.remove(src)

    graph = ([("a", "x = 1", False), ("b", "y = 2", False), ("c", "", False)], [])
    p = new_pipeline(pipes, records, identifier=src.id, graph=graph)

    assert p.nodes["a"].diskcache_dir == a_newest
    assert p.nodes["b"].diskcache_dir == b_named
    assert all(p.nodes[c].use_diskcache for c in "abc")
    # The unreadable folder named after c: c reports the failed load, the folder stays.
    assert p.nodes["c"].diskcache_status == OrvaneDiskcacheStatus.FAILED
    assert p.nodes["c"].status == OrvaneComponentStatus.INVALID
    assert sorted(os.listdir(d)) == sorted(
        [
            "component-b",
            os.path.basename(a_newest),
            "component-c",
            "photos",
            "pipeline.json",
            "notes.txt",
        ]
    )
    assert not os.path.exists(superseded)
    assert os.listdir(os.path.join(d, "photos")) == ["p.jpg"]
    # c's unreadable folder is reported as a failed disk cache, then the summary.
    assert [(r.procedure, r.failed) for r in records] == [
        (OrvanePipelineCallbackProcedure.DISKCACHE_UPDATED, {"component_id": "c"}),
        (UPDATED, {}),
    ]


def test_adopting_into_a_live_pipeline_releases_the_caches_it_replaces(pipes, shell, tmp_path):
    p = new_pipeline(pipes)
    run_all(p, shell)
    old_a, old_d = p.nodes["a"].diskcache_dir, p.nodes["d"].diskcache_dir
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    moved = shutil.copytree(old_a, elsewhere / "component-a")
    p.load_diskcache(diskcache_dir=str(elsewhere))
    assert p.nodes["a"].diskcache_dir == str(moved)
    assert not os.path.exists(old_a)  # replaced, so released
    assert os.path.isdir(old_d)  # d had nothing to adopt: it keeps its cache
    assert p.diskcache_dir == str(elsewhere)


def test_adopting_for_named_components_leaves_the_others_as_they_are(pipes, shell, tmp_path):
    p = new_pipeline(pipes)
    run_all(p, shell)
    old_a, old_c = p.nodes["a"].diskcache_dir, p.nodes["c"].diskcache_dir
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    moved = shutil.copytree(old_a, elsewhere / "component-a")
    other = shutil.copytree(old_c, elsewhere / "component-c")
    p.load_diskcache(diskcache_dir=str(elsewhere), component_ids=["a"])
    assert p.nodes["a"].diskcache_dir == str(moved)
    # c is not named: it keeps the cache it holds, and the one offered to it stays unread.
    assert p.nodes["c"].diskcache_dir == old_c
    assert p.nodes["c"].status == OrvaneComponentStatus.SUCCESSFUL
    assert sorted(os.listdir(other)) == sorted(os.listdir(old_c))


def test_corrupt_write_is_not_loaded(pipes, shell):
    src = new_pipeline(pipes, graph=([("a", "x = 1", True)], []))
    run(src, "a", shell)
    settle(src)
    folder = src.nodes["a"].diskcache_dir
    src._diskcache_writer.close()
    pipes.remove(src)
    blobs = [n for n in os.listdir(folder) if n != "manifest.json"]
    with open(os.path.join(folder, blobs[0]), "ab") as f:
        f.write(b"extra")  # sizes no longer match the record

    p = new_pipeline(pipes, identifier=src.id, graph=([("a", "x = 1", True)], []))
    a = p.nodes["a"]
    assert a.diskcache_status == OrvaneDiskcacheStatus.FAILED
    assert a.diskcache_dir is None
    assert a.status == OrvaneComponentStatus.INVALID
    assert not os.path.exists(folder)


def test_adopting_a_users_folder_removes_nothing_of_theirs(pipes, tmp_path, records):
    home = tmp_path / "home"
    (home / "projects" / "component-a").mkdir(parents=True)
    (home / "component-zzz").mkdir()
    (home / "component-zzz" / "thesis.tex").write_text("years of work")
    (home / ".bashrc").write_text("alias x=y")
    before = sorted(str(p.relative_to(home)) for p in home.rglob("*"))
    p = new_pipeline(pipes, records)
    records.clear()
    p.load_diskcache(diskcache_dir=str(home))
    assert sorted(str(q.relative_to(home)) for q in home.rglob("*")) == before
    assert p.diskcache_dir == str(home)
    assert [r.procedure for r in records] == [UPDATED]
    close_pipeline(p)
    assert sorted(str(q.relative_to(home)) for q in home.rglob("*")) == before


def test_adopting_an_empty_directory(pipes, tmp_path, records):
    p = new_pipeline(pipes, records)
    records.clear()
    p.load_diskcache(diskcache_dir=str(tmp_path))
    assert p.diskcache_dir == str(tmp_path)
    assert all(c.diskcache_dir is None for c in p.nodes.values())
    assert [r.procedure for r in records] == [UPDATED]


@pytest.mark.parametrize(
    ("argument", "error"),
    [("missing", FileNotFoundError), (None, ValueError), (b"/tmp", TypeError), (3, TypeError)],
)
def test_adopting_bad_directory_changes_nothing(pipes, tmp_path, records, argument, error):
    p = new_pipeline(pipes, records)
    before = p.diskcache_dir
    records.clear()
    if argument == "missing":
        argument = str(tmp_path / "missing")
    with pytest.raises(error):
        p.load_diskcache(diskcache_dir=argument)
    assert p.diskcache_dir == before and records == []


# --- switching and clearing -----------------------------------------------------------------


@pytest.mark.parametrize(
    ("target", "expected"),
    [("a", {"a"}), ("b", {"a", "b"}), ("c", {"a", "b", "c"}), ("d", {"d"})],
)
def test_enable_reaches_the_component_and_its_ancestors(pipes, records, target, expected):
    graph = ([(c, "", False) for c in "abcd"], GRAPH[1])
    p = new_pipeline(pipes, records, graph=graph)
    records.clear()
    p.enable_component_diskcache(component_id=target)
    assert {c for c in p.nodes if p.nodes[c].use_diskcache} == expected
    assert [r.procedure for r in records] == [UPDATED]


@pytest.mark.parametrize(
    ("target", "expected_off"),
    [("a", {"a", "b", "c"}), ("b", {"b", "c"}), ("c", {"c"}), ("d", {"d"})],
)
def test_disable_reaches_the_component_and_its_descendants(pipes, records, target, expected_off):
    p = new_pipeline(pipes, records)
    records.clear()
    p.disable_component_diskcache(component_id=target)
    assert {c for c in p.nodes if not p.nodes[c].use_diskcache} == expected_off
    assert [r.procedure for r in records] == [UPDATED]


def test_disable_cancels_exactly_the_pending_write(pipes, shell, records):
    p = new_pipeline(pipes, records)
    run(p, "a", shell)
    settle(p)
    writer = p._diskcache_writer
    writer._inject_fault("hold")  # b's write stays queued until the command has run
    run(p, "b", shell)
    records.clear()
    p.disable_component_diskcache(component_id="a")
    writer._inject_fault("release")
    # One summary from the cancel of b's write, one from the command.
    assert [r.procedure for r in records] == [UPDATED, UPDATED]
    assert not p.nodes["b"].use_diskcache
    # Switching the cache off detaches it (the component's own rule).
    assert p.nodes["a"].diskcache_dir is None
    # The writer keeps its queue's order: once d's later write is in, b's would be too.
    run(p, "d", shell)
    settle(p)
    assert cache_dirs(p.diskcache_dir) == [os.path.basename(p.nodes["d"].diskcache_dir)]


@pytest.mark.parametrize(
    ("clear", "kept"),
    [(lambda p: p.clear_component_cache(component_id="b"), 2), (lambda p: p.clear_all_cache(), 0)],
)
def test_clearing_a_write_that_finished_but_was_not_taken_in_keeps_it_cleared(
    pipes, shell, records, clear, kept
):
    p = new_pipeline(pipes, records)
    run_all(p, shell)
    run(p, "c", shell)
    # c's new write is on disk, but its done message has not been polled yet.
    wait_for(lambda: len(cache_dirs(p.diskcache_dir)) == 5)
    clear(p)
    settle(p)
    assert p.nodes["c"].diskcache_dir is None and p.nodes["b"].diskcache_dir is None
    assert len(cache_dirs(p.diskcache_dir)) == kept  # c's late write is deleted


def test_clear_component_cache_clears_descendants_only(pipes, shell, records):
    p = new_pipeline(pipes, records)
    run_all(p, shell)
    run(p, "c", shell)  # pending write for c
    records.clear()
    p.clear_component_cache(component_id="b")
    for cid in "bc":
        assert p.nodes[cid].diskcache_dir is None
        assert p.nodes[cid]._in_memory_cache.is_empty()
    assert p.nodes["a"].diskcache_dir is not None and p.nodes["d"].diskcache_dir is not None
    assert [r.procedure for r in records] == [UPDATED, UPDATED]
    settle(p)
    assert len(cache_dirs(p.diskcache_dir)) == 2


def test_clear_all_cache_and_unload(pipes, shell, records):
    p = new_pipeline(pipes, records)
    run_all(p, shell)
    records.clear()
    p.unload_diskcache()
    assert all(c.diskcache_dir is None for c in p.nodes.values())
    assert all(c.diskcache_status == OrvaneDiskcacheStatus.UNCACHED for c in p.nodes.values())
    assert cache_dirs(p.diskcache_dir) == []
    p.clear_all_cache()
    assert all(c._in_memory_cache.is_empty() for c in p.nodes.values())
    assert [r.procedure for r in records] == [UPDATED, UPDATED]


@pytest.mark.parametrize(
    "command",
    [
        "enable_component_diskcache",
        "disable_component_diskcache",
        "clear_component_cache",
    ],
)
@pytest.mark.parametrize(
    ("argument", "error"), [(b"a", TypeError), (1, TypeError), ("zz", Exception)]
)
def test_component_commands_reject_bad_ids(pipes, records, command, argument, error):
    p = new_pipeline(pipes, records)
    flags = {c: p.nodes[c].use_diskcache for c in p.nodes}
    records.clear()
    with pytest.raises(error):
        getattr(p, command)(component_id=argument)
    assert records == [] and flags == {c: p.nodes[c].use_diskcache for c in p.nodes}


# --- the clean-up at exit -------------------------------------------------------------------


@pytest.mark.parametrize("extra", [[], ["pipeline.json"]])
def test_clear_all_diskcache_removes_the_directory_when_only_caches_were_in_it(
    pipes, shell, records, extra
):
    p = new_pipeline(pipes, records)
    run_all(p, shell)
    os.makedirs(os.path.join(p.diskcache_dir, PARTIAL))
    for name in extra:
        with open(os.path.join(p.diskcache_dir, name), "w") as f:
            f.write("{}")
    records.clear()
    p.clear_all_diskcache()
    assert not os.path.exists(p.diskcache_dir)
    assert records == []


def test_clear_all_diskcache_keeps_what_is_not_a_cache(pipes, shell):
    p = new_pipeline(pipes)
    run_all(p, shell)
    keep = [os.path.join(p.diskcache_dir, n) for n in ("notes.txt", "pipeline.json")]
    for path in keep:
        with open(path, "w") as f:
            f.write("keep")
    os.makedirs(os.path.join(p.diskcache_dir, "component-foreign"))
    p.clear_all_diskcache()
    assert sorted(os.listdir(p.diskcache_dir)) == [
        "component-foreign",
        "notes.txt",
        "pipeline.json",
    ]
    assert all(
        c.diskcache_dir is None or not os.path.exists(c.diskcache_dir) for c in p.nodes.values()
    )


def test_clear_all_diskcache_without_directory_touches_nothing(pipes, shell):
    p = new_pipeline(pipes)
    run(p, "a", shell)
    settle(p)
    attached = p.nodes["a"].diskcache_dir
    real = p._diskcache_dir
    p._diskcache_dir = real / "missing"
    p.clear_all_diskcache()
    assert os.path.isdir(attached)
    p._diskcache_dir = real


def test_clean_up_with_a_write_in_flight_leaves_nothing_and_keeps_the_writer(pipes, shell):
    import numpy as np

    p = new_pipeline(pipes, graph=([("big", "", True), ("a", "x = 1", True)], []))
    shell.push({"np": np})
    p.nodes["big"].cell_code = "w = np.ones(16 << 20)"
    run(p, "big", shell)  # 128 MiB being written
    p.clear_all_diskcache()
    assert not os.path.exists(p.diskcache_dir)
    assert p._diskcache_writer.is_alive()
    p._diskcache_writer.close()  # anything the writer still finished would show now
    assert not os.path.exists(p.diskcache_dir)
