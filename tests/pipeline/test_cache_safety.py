"""The cache directory against other users, bad identifiers, forks and a second kernel.

Real files, real second processes (with timeouts, so that a hang fails) and, where the rule is
about other users, a real second user.
"""

from __future__ import annotations

import gc
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

from orvane_core.common import utils
from tests.pipeline.test_diskcache_helpers import close_pipeline, dag, make_pipeline, run, settle

ROOT = Path(__file__).resolve().parents[2]
NOBODY = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"]
as_root_with_setpriv = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("setpriv") is None,
    reason="acting as another user needs root and setpriv",
)

PRELUDE = """
import gc, os, sys, time
from IPython.core.interactiveshell import InteractiveShell
from tests.pipeline.test_diskcache_helpers import close_pipeline, dag, make_pipeline, run, settle
shell = InteractiveShell.instance()
"""


def python(code: str, app: Path, timeout: float = 120, **kwargs) -> subprocess.CompletedProcess:
    env = dict(os.environ, ORVANE_TEMP_DIR=str(app))
    return subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


def mode(path) -> int:
    return stat.S_IMODE(os.lstat(path).st_mode)


def cached_pipeline(shell, identifier="p", code="x = 41"):
    p = make_pipeline(dag([("a", code, True)]), identifier=identifier, shell=shell)
    run(p, "a", shell)
    settle(p)
    return p


@pytest.fixture
def app(tmp_path):
    return Path(utils.APP_TEMP_DIRECTORY)


# --- identifiers -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("identifier", "rule"),
    [
        ("x/../../../escaped", "must not contain '/'"),
        ("nul\x00byte", "NUL byte"),
        ("x" * 300, "at most 200 bytes"),
    ],
    ids=["traversal", "nul", "too-long"],
)
def test_identifiers_that_cannot_name_a_folder_are_refused(app, identifier, rule):
    with pytest.raises(ValueError, match=rule):
        make_pipeline(dag([("a", "1", True)]), identifier=identifier)
    assert not (app.parent / "escaped").exists()
    assert not app.exists(), "nothing is created for a refused identifier"


def test_dots_stay_inside_the_cache_root(app):
    p = make_pipeline(dag([("a", "1", True)]), identifier="..")
    try:
        assert Path(p.diskcache_dir) == app / "pipelines" / "pipeline-.."
    finally:
        close_pipeline(p)


# --- the private root --------------------------------------------------------------------------


@pytest.mark.parametrize(("root_mode", "refused"), [(0o777, True), (0o770, True), (0o755, False)])
def test_a_root_others_can_write_is_refused_and_never_changed(app, shell, root_mode, refused):
    app.mkdir()
    os.chmod(app, root_mode)
    old_mask = os.umask(0)
    try:
        if refused:
            with pytest.raises(RuntimeError, match="group or others may write it.*chmod go-w"):
                make_pipeline(dag([("a", "x = 1", True)]), identifier="p")
        else:
            p = cached_pipeline(shell)
            made = [Path(d) for d, _, _ in os.walk(app / "pipelines")]
            files = [Path(d) / f for d, _, fs in os.walk(app / "pipelines") for f in fs]
            assert files and {mode(d) for d in made} == {0o700}
            assert {mode(f) for f in files} == {0o600}
            close_pipeline(p)
    finally:
        os.umask(old_mask)
    assert mode(app) == root_mode


@pytest.mark.parametrize(
    ("level", "start", "refused"),
    [("pipelines", 0o755, False), ("pipelines/pipeline-p", 0o750, False), ("locks", 0o775, True)],
)
def test_cache_folders_others_may_only_read_are_closed_and_used(app, shell, level, start, refused):
    (app / level).mkdir(parents=True)
    os.chmod(app / level, start)
    if refused:
        with pytest.raises(RuntimeError, match=f"mode 0{start:o}.*chmod go-w '{app / level}'"):
            make_pipeline(dag([("a", "x = 1", True)]), identifier="p")
        assert mode(app / level) == start
        return
    p = cached_pipeline(shell)
    assert mode(app / level) == 0o700 and p.nodes["a"].diskcache_status == "cached"
    close_pipeline(p)


def test_a_root_removed_while_running_comes_back_private(app, shell):
    p = cached_pipeline(shell)
    shutil.rmtree(app)
    old_mask = os.umask(0)
    try:
        run(p, "a", shell)
        settle(p)
    finally:
        os.umask(old_mask)
    assert mode(app) == 0o700 and mode(p.diskcache_dir) == 0o700
    close_pipeline(p)


@as_root_with_setpriv
def test_another_users_tree_is_refused_and_ours_is_closed_to_them(shell, monkeypatch):
    shared = Path(tempfile.mkdtemp(prefix="orvane-shared-"))
    try:
        os.chmod(shared, 0o1777)
        theirs = shared / "theirs"
        # The other user prepares a root with a planted cache folder in it.
        subprocess.run(
            [*NOBODY, "mkdir", "-p", "-m", "0700", str(theirs / "pipelines" / "pipeline-p")],
            check=True,
            timeout=30,
        )
        monkeypatch.setattr(utils, "APP_TEMP_DIRECTORY", theirs)
        with pytest.raises(RuntimeError, match="belongs to another user"):
            make_pipeline(dag([("a", "x = 1", True)]), identifier="p")

        ours = shared / "ours"
        ours.mkdir(mode=0o755)
        os.chmod(ours, 0o755)
        monkeypatch.setattr(utils, "APP_TEMP_DIRECTORY", ours)
        p = cached_pipeline(shell, code="secret = 'hunter2'")
        files = [Path(d) / f for d, _, fs in os.walk(ours / "pipelines") for f in fs]
        peek = subprocess.run(
            [*NOBODY, "cat", *map(str, files)], capture_output=True, text=True, timeout=30
        )
        assert peek.returncode != 0 and "hunter2" not in peek.stdout
        close_pipeline(p)
    finally:
        shutil.rmtree(shared, ignore_errors=True)


# --- fork ----------------------------------------------------------------------------------------

FORK = """
p = make_pipeline(dag([("a", "x = 41", True)]), identifier="forked", shell=shell)
run(p, "a", shell)
settle(p)
pid = os.fork()
if pid == 0:
    if {how!r} == "delete":
        del p
        gc.collect()
    sys.exit(0)  # a normal exit: exit handlers and finalisers run in the child
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
assert os.path.isdir(p.diskcache_dir), "the child removed the parent's directory"
print(dict(p.nodes["a"].non_module_outputs))
run(p, "a", shell)
settle(p)
print(p.nodes["a"].diskcache_status)
"""


@pytest.mark.parametrize("how", ["exit", "delete"])
def test_a_forked_child_leaves_the_parents_cache_alone_and_exits(tmp_path, how):
    done = python(FORK.format(how=how), tmp_path / "app", timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["{'x': 41}", "cached"]


# --- two pipelines with the same id --------------------------------------------------------------


@pytest.mark.parametrize("action", ["rerun", "clear_all_cache", "delete"])
def test_a_superseded_pipeline_never_deletes_what_its_successor_serves(shell, action):
    old = cached_pipeline(shell, identifier="same")
    new = make_pipeline(dag([("a", "x = 41", True)]), identifier="same", shell=shell)
    assert new.diskcache_dir == old.diskcache_dir
    if action == "rerun":
        run(old, "a", shell)
        settle(old)
    elif action == "clear_all_cache":
        old.clear_all_cache()
        old.clear_all_diskcache()
    else:
        old._diskcache_writer.close()
        del old
        gc.collect()
    assert dict(new.nodes["a"].non_module_outputs) == {"x": 41}
    close_pipeline(new)


@pytest.mark.parametrize("action", ["none", "rerun-edited", "clear", "delete"])
def test_a_superseded_pipeline_reruns_what_it_no_longer_holds(shell, action):
    old = cached_pipeline(shell, identifier="same")
    runs = old.nodes["a"].success_count
    new = make_pipeline(dag([("a", "x = 5", True)]), identifier="same", shell=shell)
    if action == "rerun-edited":
        run(new, "a", shell)
        settle(new)
    elif action == "clear":
        new.clear_all_cache()
        new.clear_all_diskcache()
    elif action == "delete":
        new._diskcache_writer.close()
        del new
        gc.collect()
    old.execute_component("a", send_to_front=False)
    assert old.nodes["a"].success_count == runs + 1
    assert dict(old.nodes["a"].non_module_outputs) == {"x": 41} and shell.user_ns["x"] == 41
    close_pipeline(old)
    if action != "delete":
        close_pipeline(new)


OWNER = """
p = make_pipeline(dag([("a", "x = 41", True)]), identifier="twice", shell=shell)
run(p, "a", shell)
settle(p)
print(p.diskcache_dir, flush=True)
sys.stdin.readline()  # the other kernel works now
print(dict(p.nodes["a"].non_module_outputs), flush=True)
"""

SECOND = """
p = make_pipeline(dag([("a", "x = 41", True)]), identifier="twice", shell=shell)
print(p.diskcache_dir, p.nodes["a"].diskcache_status, dict(p.nodes["a"].non_module_outputs))
run(p, "a", shell)
settle(p)
p.clear_all_cache()
"""


def test_a_second_kernel_adopts_a_copy_and_never_touches_the_owners_directory(tmp_path):
    app = tmp_path / "app"
    env = dict(os.environ, ORVANE_TEMP_DIR=str(app))
    owner = subprocess.Popen(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(OWNER)],
        cwd=ROOT,
        env=env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        owned = owner.stdout.readline().strip()
        assert owned == str(app / "pipelines" / "pipeline-twice"), owner.stderr.read()
        second = python(SECOND, app, timeout=60)
        assert second.returncode == 0, second.stderr
        copy, status, values = second.stdout.strip().split(" ", 2)
        assert Path(copy).parent == app / "copies"
        assert (status, values) == ("cached", "{'x': 41}")
        out, err = owner.communicate("go\n", timeout=60)
    finally:
        owner.kill()
        owner.wait()
    assert owner.returncode == 0, err
    assert out.strip() == "{'x': 41}"
    # Each kernel cleaned up its own directory at exit, and only that.
    assert not Path(owned).exists() and not Path(copy).exists()
