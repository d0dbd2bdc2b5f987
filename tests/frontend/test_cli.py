"""``orvane run`` on the example and on broken notebooks: exit codes, messages, outputs."""

import io
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import nbformat
import pytest

from orvane_core.cli import main
from orvane_core.frontend.runner import Request, plain_output, run_notebook

pytestmark = pytest.mark.kernel
EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "house_prices.ipynb"


def _notebook(path, *sources):
    nb = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(s) for s in sources])
    nbformat.write(nb, path)
    return path


def _run(path, **request):
    term = io.StringIO()
    code = run_notebook(path, Request(**request), term=term)
    return code, term.getvalue()


def _outputs(path):
    nb = nbformat.read(path.with_name(f"{path.stem}.out.ipynb"), as_version=4)
    return [
        "".join(o.get("text", "") + o.get("data", {}).get("text/plain", "") for o in c.outputs)
        for c in nb.cells
        if c.cell_type == "code"
    ]


def _files_named(text, folder):
    """The files the closing line names in ``folder``, which must be all it holds."""
    (line,) = [line for line in text.splitlines() if line.startswith(f"orvane: files in {folder}/")]
    named = {name.split(" (")[0] for name in line.split("/: ", 1)[1].split(", ")}
    log = {"kernel.log"} if f"messages are in {Path(folder, 'kernel.log')}" in text else set()
    assert named | log == set(os.listdir(folder)), text
    return named


@pytest.mark.timeout(120)
def test_a_kernel_that_does_not_start_leaves_its_log_named(tmp_path, monkeypatch):
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "sitecustomize.py").write_text(
        "import sys\nsys.stderr.write('broken start\\n')\nsys.exit(1)\n"
    )
    monkeypatch.setenv("PYTHONPATH", str(tmp_path / "site"))
    code, text = _run(_notebook(tmp_path / "nb.ipynb", "%%component a\n1"))
    log = tmp_path / "nb.out.files" / "kernel.log"
    assert code == 3 and f"orvane: the kernel's own messages are in {log}" in text, text
    assert "broken start" in log.read_text()


def test_example_runs_then_reruns_from_the_cache(tmp_path, monkeypatch):
    # A relative path to a notebook outside the working directory, as a user types it.
    (tmp_path / "nb").mkdir()
    shutil.copy(EXAMPLE, tmp_path / "nb" / "house.ipynb")
    monkeypatch.chdir(tmp_path)
    path = Path("nb", "house.ipynb")
    code, text = _run(path)
    assert code == 0, text
    assert "5 ran, 0 reused" in text and "[evaluate] test R2" in text
    # Not a terminal: the progress bar once, in its final state.
    assert "\r" not in text and text.count("all:") == 1 and "all: 100%" in text, repr(text)
    outputs = _outputs(path)
    assert "test R2 with alpha=1.0, degree=2" in outputs[-1]
    assert "size" in outputs[2]  # the independent branch printed into its own cell
    assert (tmp_path / "nb" / "house.out.files" / "pipeline.svg").read_text().count(
        'data-status="successful"'
    ) == 5
    assert f"orvane: wrote {Path('nb', 'house.out.ipynb')}" in text
    assert _files_named(text, Path("nb", "house.out.files")) == {"pipeline.svg"}

    nb = nbformat.read(path.with_name("house.out.ipynb"), as_version=4)
    code_cells = [c for c in nb.cells if c.cell_type == "code"]
    # The live view, in its last state, as HTML and as the image viewers without HTML show.
    (view,) = [
        o.data
        for c in code_cells
        for o in c.outputs
        if o.get("metadata", {}).get("orvane") == "view"
    ]
    assert view["text/html"] == f'<div class="orvane-view">{view["image/svg+xml"]}</div>'
    assert view["image/svg+xml"].count('data-status="successful"') == 5
    assert [c.execution_count for c in code_cells] == list(range(1, len(code_cells) + 1))
    assert "already loaded" not in "".join(_outputs(path))

    code, text = _run(path, targets=["evaluate"], parameters=["alpha=10.0"])
    assert code == 0, text
    assert "orvane: parameters alpha=10.0, degree=2" in text
    assert "2 ran, 2 reused" in text  # only model and evaluate read alpha
    assert "  model: ran: " in text and "  data: reused: " in text  # and the summary says why
    code, text = _run(path, targets=["overview"], parameters=["alpha=10.0", "alpah=3"])
    assert "0 ran, 2 reused" in text  # overview reads no parameter: the change left it current
    assert "no component reads the parameter 'alpah'" in text and "'alpha'" not in text
    assert "(600, 4)" in _outputs(path)[1]  # a reused component's output is kept in its cell


@pytest.mark.parametrize(
    "sources, argv, code, message",
    [
        (None, ["run"], 2, "no such notebook"),
        ("folder", ["run"], 2, "a folder, not a notebook"),
        (["x = 1"], ["run"], 2, "no component cells"),
        (["%%component a\n1"], ["run", "-c", "zz"], 2, "unknown component 'zz'"),
        (["%%component a after b\n1"], ["run"], 2, "cell 1: Unknown parent 'b'"),
        (["%%component a\n1"], ["run", "-p", "kind=ridge"], 2, "-p kind=\"'ridge'\""),
        (["%%component a\n1"], ["run", "-p", "alpha"], 2, "-p 'alpha': write NAME=VALUE"),
        (["%%component a\n1"], ["run", "-p", "alpha=[1,"], 2, "alpha: [1, is not"),
        (["%%component a\n1"], ["run", "--timeout", "-3"], 2, "seconds above 0"),
        (
            ["%orvane set alpha=1", "%%component a\nalpha"],
            ["optimize", "a", "gamma=0:1"],
            2,
            "(the notebook sets: alpha); give a starting value with -p gamma=VALUE",
        ),
    ],
)
def test_usage_errors_stop_before_a_kernel_starts(tmp_path, capsys, sources, argv, code, message):
    path = tmp_path / "nb.ipynb"
    if sources == "folder":
        path.mkdir()
    elif sources is not None:
        _notebook(path, *sources)
    assert main([argv[0], str(path), *argv[1:]]) == code
    err = capsys.readouterr().err
    assert message in err and "%orvane" not in err, err
    assert not (tmp_path / "nb.out.ipynb").exists()


def test_each_command_has_its_own_help(capsys, monkeypatch):
    monkeypatch.setenv("COLUMNS", "300")  # one line per option
    cases = [
        (["run"], ["NOTEBOOK.out.ipynb with each cell's outputs", "130 interrupted"]),
        (["optimize"], ["(default 20)", "(default tpe)", "for ROUNDS trials", "130 interrupted"]),
        (["cache"], ["show and free that space"]),
        (["cache", "list"], ["when it was last used"]),
        (["cache", "prune"], ["until the rest fit", "--limit SIZE"]),
    ]
    texts = set()
    for argv, expected in cases:
        assert main([*argv, "--help"]) == 0
        text = capsys.readouterr().out
        assert all(e in text for e in expected), text
        texts.add(text)
    assert len(texts) == len(cases)


# The writer holds every write for a few seconds: a slow disk, or a busy machine. KEEP_WAIT
# (from the environment) is how long the end of the kernel waits for it.
SLOW_WRITER = """import os, threading
from orvane_core.executors.diskcache_writer import OrvaneDiskcacheWriter as W
from orvane_core.frontend import session
session.KEEP_WAIT = float(os.environ["KEEP_WAIT"])
start = W.start
def slow_start(self):
    start(self)
    self._inject_fault("hold")
    threading.Timer(float(os.environ.get("HOLD", 3)), self._inject_fault, ["release"]).start()
W.start = slow_start"""


def test_a_finished_run_leaves_every_result_for_the_next(tmp_path, monkeypatch):
    monkeypatch.setenv("ORVANE_TEMP_DIR", str(tmp_path / "cache"))
    path = _notebook(
        tmp_path / "nb.ipynb",
        SLOW_WRITER,
        "%%component a\nv = 1",
        "%%component b after a\nv + 1",
        "%%component c after a\nv + 2",
    )
    waiting = "waiting for 3 disk write(s) to finish"
    lost = "did not finish in 0.5 s; the next run computes those components again"
    cases = [
        # (seconds the end waits, a parallel run, its summary, said)
        (600, True, "3 ran, 0 reused", waiting),
        (600, False, "0 ran, 3 reused", None),
        (0.5, False, "3 ran, 0 reused", "the results of a, b, c were not kept"),
        (600, True, "3 ran, 0 reused", waiting),
    ]
    for wait, parallel, summary, said in cases:
        monkeypatch.setenv("KEEP_WAIT", str(wait))
        code, text = _run(path, parallel=parallel, fresh=wait < 1)
        assert code == 0 and summary in text, text
        assert (said or "") in text and (waiting in text) == (said == waiting), text
        assert (lost in text) == (wait < 1), text


def test_output_is_plain_without_a_terminal_or_with_no_color(monkeypatch):
    master, slave = os.openpty()
    try:
        with os.fdopen(slave, "w") as tty:
            for no_color, term, plain in [
                ("", tty, False),
                ("1", tty, True),
                ("", io.StringIO(), True),
            ]:
                monkeypatch.setenv("NO_COLOR", no_color)
                assert plain_output(term) == plain, (no_color, term)
    finally:
        os.close(master)


def test_a_failing_cell_exits_1_with_its_banner_in_the_notebook(tmp_path):
    path = _notebook(
        tmp_path / "bad.ipynb",
        "%%component a\nv = 1",
        "%%component b after a\nv / 0",
        "%orvane status",
        "%%component c after a\nv + 2",
        "%%component d after b\nv + 3",
    )
    code, text = _run(path, parameters=["w=1"])
    assert code == 1
    assert _files_named(text, tmp_path / "bad.out.files") == {"pipeline.svg"}
    assert "kernel.log" not in text  # the kernel said nothing of its own: no log to point to
    # Not a terminal: plain text, no colours, no redrawn progress lines.
    assert "\x1b[" not in text and "\r" not in text and "b failed;" in text, repr(text)
    assert "not run yet  not on disk  after a (from 'after')" in _outputs(path)[2]  # declared
    assert "ZeroDivisionError" in text and "b (ZeroDivisionError)" in text
    assert "ZeroDivisionError" in _outputs(path)[1]
    # The closing lines say what did not run because of the failure, and how to run the rest.
    for line in [
        "  b: failed: ZeroDivisionError",
        "  c: not run: the run stopped when b failed",
        "  d: not run: it depends on b, which failed",
        f"orvane: c did not run, though it does not depend on what failed: orvane run {path} "
        "-p w=1 -c c",
    ]:
        assert line in text.splitlines(), text
    # Progress and errors each end on their own line.
    assert all(line.startswith("orvane:") for line in text.split("\n") if "orvane:" in line)


def test_a_search_notebook_holds_one_copy_of_each_cell_output(tmp_path, monkeypatch):
    monkeypatch.setenv("ORVANE_TEMP_DIR", str(tmp_path / "cache"))
    path = _notebook(
        tmp_path / "nb.ipynb",
        "%load_ext orvane_core\n%orvane set alpha=1.0",
        "%%component base\nprint('base ran')\nv = 2.0",
        "%%component score\n(v - alpha) ** 2",
    )
    search = {"target": "score", "ranges": ["alpha=0:4"], "n_trials": 3, "method": "random"}
    for apply_best in (False, True):
        code, text = _run(path, search={**search, "apply_best": apply_best})
        assert code == 0, text
        outputs = _outputs(path)
        assert outputs[1].count("base ran") == 1 and len(outputs[2].split()) == 1
        # The output is that of the parameters the notebook ends with.
        assert (outputs[2].strip() == "1.0") != apply_best, outputs[2]
        assert ("orvane: the outputs use the best values alpha=" in text) == apply_best
        # Said as a command-line user applies them.
        assert "-p alpha=" in text and "%orvane" not in text, text
        assert "plotly.min.js" in _files_named(text, tmp_path / "nb.out.files")
    # A name that is not a parameter is known only in the kernel: still a usage error, shown once.
    code, text = _run(path, search={**search, "ranges": ["beta=0:1"]})
    assert code == 2 and text.count("'beta' is not a pipeline parameter") == 1, text


@pytest.mark.timeout(180)
@pytest.mark.parametrize(
    "argv, until, running",
    [
        (["run", "--parallel"], None, "slow"),
        (["optimize", "slow", "x=0:1", "--trials", "2"], None, "the search of slow"),
        # While the first worker process starts (it waits until the kernel is gone).
        (["run", "--parallel", "-c", "quick"], None, "quick"),
        # After the run, while its results are written: no component to name.
        (["run", "-c", "quick"], "waiting for 1 disk write(s)", None),
    ],
    ids=["parallel-run", "search", "worker-starting", "writing"],
)
def test_ctrl_c_stops_the_kernel_and_says_what_it_stopped_and_wrote(
    tmp_path, monkeypatch, argv, until, running
):
    marker = tmp_path / "started"
    if running == "quick":
        (tmp_path / "site").mkdir()
        (tmp_path / "site" / "sitecustomize.py").write_text(
            "import os, sys, time\n"
            "if 'multiprocessing.forkserver' in ' '.join(sys.orig_argv):\n"
            f"    open({str(marker)!r}, 'w').write(str(os.getpid()))\n"
            "    parent = os.getppid()\n"
            "    while os.getppid() == parent:\n"
            "        time.sleep(0.1)\n"
        )
        monkeypatch.setenv("PYTHONPATH", str(tmp_path / "site"))
    path = _notebook(
        tmp_path / "slow.ipynb",
        SLOW_WRITER,
        "%load_ext orvane_core\n%orvane set x=0.5",
        "%%component quick\n1",
        # After quick: when slow runs, quick has finished, however slowly its worker started.
        "%%component slow after quick\nimport os, pathlib, time\n"
        f"pathlib.Path({str(marker)!r}).write_text(str(os.getpid()))\ntime.sleep(120)\nx",
    )
    env = {
        **os.environ,
        "ORVANE_TEMP_DIR": str(tmp_path / "cache"),
        "KEEP_WAIT": "600",
        "HOLD": "600" if until else "0",
    }
    cli = subprocess.Popen(
        [sys.executable, "-m", "orvane_core.cli", argv[0], str(path), *argv[1:]],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    said = ""
    try:
        if until:  # a line the command writes
            while until not in said:
                line = cli.stderr.readline()
                assert line, (said, cli.communicate())
                said += line
        else:  # the component's own process is running
            while not marker.exists() or not marker.read_text():
                assert cli.poll() is None, cli.communicate()
                time.sleep(0.2)
        cli.send_signal(signal.SIGINT)
        out, err = cli.communicate(timeout=60)
        err = said + err
    finally:
        cli.kill()
    assert cli.returncode == 130, err
    # The components that were running, not those that ran before or were to run after.
    stopped = "orvane: interrupted" + (f" while running {running}" if running else "")
    assert "Traceback" not in err and stopped in err.splitlines(), err
    # What was written is said, the picture of how far the run got included.
    assert f"orvane: wrote {tmp_path / 'slow.out.ipynb'}" in err, err
    assert "pipeline.svg" in _files_named(err, tmp_path / "slow.out.files")
    if until:
        return
    pid = int(marker.read_text())  # the process that ran the cell ends with the kernel
    for _ in range(50):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.2)
    else:
        pytest.fail(f"the process {pid} that ran the cell is still there")


@pytest.mark.timeout(60)
def test_a_listing_whose_reader_went_away_ends_without_a_traceback(tmp_path):
    env = {**os.environ, "ORVANE_TEMP_DIR": str(tmp_path)}
    with subprocess.Popen(
        [sys.executable, "-m", "orvane_core.cli", "cache", "list"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
    ) as cli:
        cli.stdout.close()  # as `orvane cache list | head -0` does
        err = cli.stderr.read().decode()
        assert cli.wait(timeout=30) == 1 and err == "", err


@pytest.mark.timeout(300)
def test_a_kept_cache_follows_its_notebook_renamed_and_no_other(tmp_path, monkeypatch):
    monkeypatch.setenv("ORVANE_TEMP_DIR", str(tmp_path / "cache"))
    sources = ["%%component a\nv = 1", "%%component b after a\nv + 1"]
    assert "2 ran, 0 reused" in _run(_notebook(tmp_path / "one.ipynb", *sources))[1]

    def rename(old, new, then=None):
        (tmp_path / f"{old}.ipynb").rename(tmp_path / f"{new}.ipynb")
        if then:  # a new notebook where the renamed one was: the same code, other cells
            _notebook(tmp_path / f"{then}.ipynb", *sources)

    steps = [
        # (what the user does, the notebook run then, its summary)
        (lambda: rename("one", "two"), "two", "0 ran, 2 reused"),
        (lambda: rename("two", "three", then="two"), "two", "2 ran, 0 reused"),
        (lambda: None, "three", "0 ran, 2 reused"),
        # A copy leaves the notebook where it was: the cache stays with it.
        (lambda: shutil.copy(tmp_path / "three.ipynb", tmp_path / "four.ipynb"), "four", "2 ran"),
    ]
    for act, name, summary in steps:
        act()
        code, text = _run(tmp_path / f"{name}.ipynb")
        assert code == 0 and summary in text, (name, text)
