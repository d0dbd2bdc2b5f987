"""Reuse in a real kernel: edges inferred from names, searches that restore parameters, caches
kept across kernel restarts, and the size limit of kept caches."""

import ast
import os
import shutil
import subprocess
import sys
import time

import nbformat
import pytest

from orvane_core.common import utils
from orvane_core.frontend import kept
from tests.kernel import REPO, run_in_kernel, running_kernel

SETUP = (
    "%load_ext orvane_core\nimport orvane_core.frontend as fe\n"
    "fe.current_session().configure(progress='none', widgets=False{})"
)


def _texts(messages):
    out = []
    for m in messages:
        c = m["content"]
        out.append(c.get("text") or c.get("data", {}).get("text/plain", "") or c.get("evalue", ""))
    return "".join(out)


def _run(client, code):
    reply, messages = run_in_kernel(client, code)
    return reply["content"], _texts(messages) + reply["content"].get("evalue", "")


AFTER_CLEAN = "after clean (inferred from the names it reads)"
# Each of load, clean, total: cached, and ran because it never ran (not reused by later cells).
FIRST_RUN_STATUS = "".join(
    f"{name:<20} successful   on disk{after}\n{'':<20} ran: it never ran\n"
    for name, after in [
        ("load", ""),
        ("clean", "  after load (inferred from the names it reads)"),
        ("total", f"  {AFTER_CLEAN}"),
    ]
)
# Waits until total's write, queued last, is on disk and reported by the writer, without taking
# it in.
LANDED = (
    "from tests.pipeline.test_diskcache_helpers import drain_after\n"
    "drain_after(fe.current_session().pipeline, fe.current_session().ids()['total'])"
)


@pytest.mark.kernel
def test_edges_from_names_their_errors_and_hints(tmp_path):
    # The saved notebook has a cell defining `left` that has not run in this kernel.
    notebook = tmp_path / "saved.ipynb"
    nbformat.write(nbformat.v4.new_notebook(cells=[_cell("%%component sides\nleft = 1")]), notebook)
    with running_kernel() as (_, client):
        _run(client, SETUP.format(""))
        steps = [
            # (cell, status, text expected in the output)
            ("%%component load\nimport math\ndata = [1, 2, 3]", "ok", ""),
            ("%%component clean\ndata = [d for d in data if d > 1]", "ok", ""),
            ("%%component total\ns = sum(data)\ns", "ok", "5"),
            ("%orvane status", "ok", AFTER_CLEAN),
            # The writes land; nothing takes them in before the status does.
            (LANDED, "ok", ""),
            # Where their results come from, not that later cells' runs reused them. total's write
            # was queued after the last run: only the status itself can have taken it in.
            ("%orvane status", "ok", FIRST_RUN_STATUS),
            # An edited cell gets a new id; it and what follows run for what changed.
            ("%%component clean\ndata = [d for d in data if d > 2]", "ok", ""),
            ("%orvane run total", "ok", "3"),
            ("%orvane status", "ok", "ran: its code changed"),
            ("%orvane status", "ok", "ran: its parent clean reran"),
            ("%%component other\ndata = [9]", "ok", ""),
            ("%%component pick\nlen(data)", "error", "'data' (defined by load, clean, other)"),
            ("%%component pick after other\nlen(data) + s", "error", "only 'total' defines"),
            ("%%component pick after other\nlen(data) + s", "error", "not a parent of 'pick'"),
            ("%%component lone\nridge * 2", "error", "set it with %orvane set ridge=VALUE"),
            (f"__session__ = {str(notebook)!r}", "ok", ""),
            ("%%component lone\nleft * 2", "error", "by component 'sides', whose cell has not run"),
        ]
        for cell, status, expected in steps:
            content, text = _run(client, cell)
            assert content["status"] == status and expected in text, (cell, text)


def _cell(source):
    return nbformat.v4.new_code_cell(source)


EDITED = [
    # (cells saved after the last declarations, or none; the cell run; the note under its output)
    (
        ["%%component left\nx = 10", "%%component right\ny = 2"],
        "%orvane run leaf",
        "note: 'left' was edited but not run; 'leaf' used its earlier results: run 'left' to "
        "update",
    ),
    (None, "%orvane run left", "note: 'left' was edited but not run; the results shown come "),
    # The edited cell runs; the file, saved before, holds older code: nothing to say.
    (None, "%%component left\nx = 10", None),
    (None, "%%component left\nx = 11", None),
    (
        ["%%component left\nx = 12", "%%component right\ny = 3"],
        "%orvane run leaf",
        "note: 'left' and 'right' were edited but not run; 'leaf' used their earlier results: "
        "run 'left' and 'right' to update",
    ),
]


@pytest.mark.kernel
def test_a_run_names_the_cells_edited_but_not_run(tmp_path):
    notebook = tmp_path / "edits.ipynb"
    with running_kernel() as (_, client):
        for code in [
            SETUP.format("") + f"\n__session__ = {str(notebook)!r}",
            "%%component left\nx = 1",
            "%%component right\ny = 2",
            "%%component leaf\nx + y",
        ]:
            _run(client, code)
        for cells, run, note in EDITED:
            if cells is not None:
                time.sleep(0.05)  # saved after the cells ran
                cells = [_cell(c) for c in [*cells, "%%component leaf\nx + y"]]
                nbformat.write(nbformat.v4.new_notebook(cells=cells), notebook)
            content, text = _run(client, run)
            assert content["status"] == "ok" and text.count("note: ") == (note is not None)
            assert note is None or note in text, text


@pytest.mark.kernel
def test_a_search_shows_no_trial_output_and_restores_parameters():
    with running_kernel() as (_, client):
        _run(client, SETUP.format(""))
        _run(client, "%orvane set alpha=1.0 other=3")
        _run(client, "%%component base\nv = 2.0")
        _run(client, "%%component score\nprint('trial ran')\n(v - alpha) ** 2")
        cases = [
            # (options, alpha afterwards is 1.0, text expected in the output)
            ("", True, "back to their values before the search"),
            ("--apply-best", False, "Applied the best values: alpha="),
        ]
        for options, restored, expected in cases:
            content, text = _run(
                client,
                f"%orvane optimize score alpha=0:4 --trials 5 --method random --minimize {options}",
            )
            assert content["status"] == "ok" and expected in text, text
            assert "trial ran" not in text
            _, params = _run(client, "%orvane params")
            assert ("alpha = 1.0  (float)" in params) == restored and "other = 3" in params
        content, text = _run(client, "%orvane optimize score beta=0:1")
        assert content["status"] == "error" and "parameters: alpha, other" in text


COUNTS = (
    "s = fe.current_session()\n"
    "print({n: s.pipeline.nodes[c].success_count for n, c in s.ids().items()})"
)


@pytest.mark.kernel
def test_a_search_reruns_what_it_reaches_and_leaves_the_earlier_caches_current():
    with running_kernel() as (_, client):
        _run(client, SETUP.format(""))
        _run(client, "%orvane set alpha=1.0")
        _run(client, "%%component load\nimport time\nstamp = time.time()")
        _run(client, "%%component model\nfit = stamp * 0 + alpha")
        _run(client, "%%component score\n(fit - 2.0) ** 2")
        # Searched straight away, as a user does, while the run's disk writes may go on.
        before = ast.literal_eval(_run(client, COUNTS)[1])
        _run(client, "%orvane optimize score alpha=0:4 --trials 4 --method random --minimize")
        after = ast.literal_eval(_run(client, COUNTS)[1])
        grown = {n: after[n] - before[n] for n in before}
        # No trial ran load; each ran model and score (adopting a cache back may count too).
        assert grown["load"] == 0 and grown["model"] == grown["score"] >= 4
        # Back at alpha=1.0, the caches from before the search serve the run, as status says.
        _, status = _run(client, "%orvane status")
        assert "will run" not in status and "ran: it never ran" in status, status
        _, text = _run(client, "print(fe.current_session().run(['score']).line())")
        assert "0 ran, 3 reused" in text


def _kernel(tmp_path):
    from jupyter_client.manager import start_new_kernel

    env = {**os.environ, "ORVANE_TEMP_DIR": str(tmp_path)}
    return start_new_kernel(kernel_name="python3", cwd=REPO, env=env, startup_timeout=120)


NOTEBOOK = [
    SETUP.format(", pipeline_id='nb-restart'") + "\nfrom orvane_core.frontend import kept",
    "%orvane set factor=3",
    "%%component a\nimport time\nstamp = time.time()",
    "%%component b\n(stamp, factor)",
]


@pytest.mark.kernel
@pytest.mark.timeout(240)
@pytest.mark.parametrize("ending", ["shutdown", "killed"])
def test_a_new_kernel_reuses_the_kept_cache(tmp_path, ending):
    manager, client = _kernel(tmp_path)
    try:
        for cell in NOTEBOOK:
            content, first = _run(client, cell)
            assert content["status"] == "ok"
        _run(client, "fe.current_session().wait_for_disk()")
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=ending == "killed")
    manager, client = _kernel(tmp_path)
    try:
        texts = [_run(client, cell)[1] for cell in NOTEBOOK]
        assert texts[-1] == first  # the same stamp: `a` did not run again
        _, status = _run(client, "%orvane status")
        assert status.count("successful") == 2
        assert status.count("reused: its disk cache is current") == 2, status
        # Every cache went back into the live folder: no kept folder is left empty.
        _, listed = _run(client, "print(kept.list_kept())")
        assert listed.strip() == "[]", listed
        # An edit runs the cell again; undoing it reads the earlier result back.
        _run(client, NOTEBOOK[2] + "  # edited")
        assert _run(client, NOTEBOOK[3])[1] != first
        _run(client, NOTEBOOK[2])
        assert _run(client, NOTEBOOK[3])[1] == first
        _run(client, "%orvane clear")
        assert not kept.kept_dir("nb-restart").exists() or not os.listdir(
            kept.kept_dir("nb-restart")
        )
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)


SUMMARY = "fe.current_session().summary()"


@pytest.mark.kernel
@pytest.mark.timeout(240)
def test_a_new_kernel_with_other_parameter_values_says_what_changed(tmp_path):
    for factor, expected in [
        (3, ["ran: it never ran", "ran: it never ran"]),
        (4, ["reused: its disk cache is current", "ran: parameters changed: factor"]),
        # The earlier value's cache was kept beside the newer one: going back costs a read.
        (3, ["reused: its disk cache is current"] * 2),
    ]:
        manager, client = _kernel(tmp_path)
        try:
            _run(client, NOTEBOOK[0])
            _run(client, f"%orvane set factor={factor}")
            for cell in NOTEBOOK[2:]:
                _run(client, cell)
            _, status = _run(client, "%orvane status")
            assert [line.strip() for line in status.splitlines()[1::2]] == expected, status
            # The view's hover text says the same.
            _, svg = _run(client, f"print(fe.view.pipeline_svg({SUMMARY}))")
            assert all(f"; {why}</title>" in svg for why in expected), svg
            _run(client, "fe.current_session().wait_for_disk()")
        finally:
            client.stop_channels()
            manager.shutdown_kernel()


@pytest.mark.parametrize(
    "folders, limit, dropped, lists",
    [
        # (pipeline id, bytes, hours since last use), limit in bytes, ids dropped, whether
        # kernels kept package lists (one of this import path, one of a virtualenv removed since)
        ([("old", 400, 5), ("mid", 400, 3), ("new", 400, 1)], 900, ["old"], False),
        ([("old", 400, 5), ("mid", 400, 3), ("new", 400, 1)], 300, ["old", "mid", "new"], False),
        ([("old", 400, 5), ("new", 400, 1)], 2000, [], False),
        ([("old", 400, 5)], 2000, [], True),  # the removed virtualenv's list goes
    ],
)
def test_kept_caches_over_the_limit_go_least_recently_used_first(
    tmp_path, monkeypatch, folders, limit, dropped, lists
):
    monkeypatch.setenv("ORVANE_TEMP_DIR", str(tmp_path))
    monkeypatch.setattr(kept, "_root", lambda: tmp_path)
    (tmp_path / "pipelines").mkdir()
    if lists:
        monkeypatch.setattr(utils, "APP_TEMP_DIRECTORY", str(tmp_path))
        monkeypatch.chdir(tmp_path / "pipelines")  # a folder without projects
        venv = tmp_path / "venv-site"
        venv.mkdir()
        sys.path.insert(0, str(venv))
        try:
            utils.get_pip_freeze()  # a kernel of the virtualenv
        finally:
            sys.path.remove(str(venv))
        shutil.rmtree(venv)
        gone = set(tmp_path.glob("packages-*.json"))
        utils.get_pip_freeze()  # a kernel of this import path
        current = set(tmp_path.glob("packages-*.json")) - gone
        assert len(gone) == len(current) == 1
    for pipeline_id, size, hours in folders:
        folder = kept.kept_dir(pipeline_id)
        folder.mkdir()
        (folder / "blob").write_bytes(b"x" * size)
        stamp = time.time() - hours * 3600
        os.utime(folder, (stamp, stamp))
    assert [k.pipeline_id for k in kept.prune(limit)] == dropped
    assert {k.pipeline_id for k in kept.list_kept()} == {f[0] for f in folders} - set(dropped)
    if lists:
        assert set(tmp_path.glob("packages-*.json")) == current


# Each kernel in a fresh interpreter: a real IPython shell runs the cells given as arguments.
SHELL = (
    "import sys\nfrom IPython.core.interactiveshell import InteractiveShell\n"
    "shell = InteractiveShell.instance()\nfor cell in sys.argv[1:]:\n    shell.run_cell(cell)\n"
)
CHAIN = ["%%component a\nx = 1", "%%component b after a\ny = x + 1", "%%component c after b\nz = y"]
REUSED = "reused: its disk cache is current"


@pytest.mark.timeout(240)
def test_a_new_kernel_says_what_an_edit_since_the_last_kernel_changed(tmp_path):
    edited_b, edited_c = CHAIN[1] + " + 0", CHAIN[2] + " + 1"
    never, kept = "will run: it never ran", "will be reused: kept on disk"
    steps = [
        # (cells of this kernel, status before any run (declared only), after running a, after
        # running all)
        (CHAIN, [never] * 3, ["ran: it never ran", never, never], ["ran: it never ran"] * 3),
        (
            [*CHAIN[:2], edited_c],
            [kept, kept, "will run: its code changed"],
            [REUSED, kept, "will run: its code changed"],
            [REUSED, REUSED, "ran: its code changed"],
        ),
        (
            [CHAIN[0], edited_b, edited_c],
            [kept, "will run: its code changed", "will run: its parent b reran"],
            [REUSED, "will run: its code changed", "will run: its parent b reran"],
            [REUSED, "ran: its code changed", "ran: its parent b reran"],
        ),
        ([CHAIN[0], edited_b, edited_c], [kept] * 3, [REUSED, kept, kept], [REUSED] * 3),
    ]
    setup = SETUP.format(", pipeline_id='nb-edits', persist=True, autorun=False")
    env = {**os.environ, "ORVANE_TEMP_DIR": str(tmp_path)}
    for cells, declared, first, last in steps:
        kernel = [setup, *cells, "%orvane status", "print('--')", "%orvane run a"]
        kernel += ["%orvane status", "%orvane run --all", "print('--')", "%orvane status"]
        kernel += ["fe.current_session().keep_cache()"]
        done = subprocess.run(
            [sys.executable, "-c", SHELL, *kernel], env=env, capture_output=True, text=True
        )
        lines = done.stdout.splitlines()
        reasons = [line.strip() for line in lines if line.startswith(" " * 20) or line == "--"]
        assert reasons == [*declared, "--", *first, "--", *last], done.stdout + done.stderr


@pytest.mark.kernel
def test_status_says_why_a_failed_or_cleared_component_runs_next():
    with running_kernel() as (_, client):
        cells = ["%%component a\nx = 1", "%%component b\ny = x + 1", "%%component bad\nraise 0"]
        for code in [SETUP.format(""), *cells, "%orvane clear a"]:
            _run(client, code)
        _, status = _run(client, "%orvane status")
        lines = status.splitlines()
        for name, state, why in [
            ("a", "cleared", "will run: its results were cleared"),
            ("b", "cleared", "will run: its results were cleared"),
            ("bad", "failed", "will run: it failed before"),
        ]:
            at = next(i for i, line in enumerate(lines) if line.split()[:1] == [name])
            assert lines[at].split()[1] == state and lines[at + 1].strip() == why, status


@pytest.mark.timeout(240)
def test_a_renamed_notebook_takes_the_cache_its_killed_kernel_left(tmp_path):
    nbformat.write(nbformat.v4.new_notebook(cells=[_cell(c) for c in CHAIN]), tmp_path / "a.ipynb")
    env = {**os.environ, "ORVANE_TEMP_DIR": str(tmp_path / "cache")}
    killed = "import os\nfe.current_session().wait_for_disk()\nos.kill(os.getpid(), 9)"
    for name, last in [("a", killed), ("b", "%orvane status")]:
        if name == "b":
            (tmp_path / "a.ipynb").rename(tmp_path / "b.ipynb")
        path = str(tmp_path / f"{name}.ipynb")
        cells = [SETUP.format(", autorun=False") + f"\n__session__ = {path!r}", *CHAIN]
        cells += ["%orvane run --all", last]
        done = subprocess.run(
            [sys.executable, "-c", SHELL, *cells], env=env, capture_output=True, text=True
        )
    assert done.stdout.count(REUSED) == 3, done.stdout + done.stderr
