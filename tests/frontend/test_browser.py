"""The live pipeline view in JupyterLab, driven in headless Chromium.

Opens a copy of the example notebook, runs all its cells and checks that the view shows every
component and turns each to its final status. Every step waits on a state the page reports
(server up, notebook open, no dialog, kernel idle, cells counted), never on a fixed delay, and
the whole test has one time budget. Screenshots (and the server log on failure) are kept under
test-artifacts/ at the repository root, or under $ORVANE_TEST_ARTIFACTS.
"""

import functools
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
ARTIFACTS = Path(os.environ.get("ORVANE_TEST_ARTIFACTS") or REPO / "test-artifacts")
COMPONENTS = {"data", "overview", "features", "model", "evaluate"}
BUDGET = 480  # seconds for the whole test; a loaded two-core machine starts JupyterLab slowly

pytestmark = [
    pytest.mark.browser,
    pytest.mark.slow,
    pytest.mark.timeout(BUDGET + 120),
    pytest.mark.skipif(
        os.environ.get("ORVANE_SKIP_BROWSER") == "1", reason="ORVANE_SKIP_BROWSER=1"
    ),
]


class Budget:
    """One deadline shared by every wait of the test."""

    def __init__(self, seconds: float) -> None:
        self.deadline = time.monotonic() + seconds

    def left(self) -> float:
        return self.deadline - time.monotonic()


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _api(url: str, token: str, path: str, method: str = "GET") -> object:
    request = urllib.request.Request(
        f"{url}{path}", method=method, headers={"Authorization": f"token {token}"}
    )
    with urllib.request.urlopen(request, timeout=10) as response:
        body = response.read()
    return json.loads(body) if body else None


@pytest.fixture
def budget():
    return Budget(BUDGET)


@pytest.fixture
def lab(tmp_path, budget):
    """A JupyterLab server on loopback serving a copy of the example; yields (url, token, log)."""
    shutil.copy(REPO / "examples" / "house_prices.ipynb", tmp_path / "house_prices.ipynb")
    settings = tmp_path / "settings"
    # No news or update checks: their notices would sit over the notebook.
    notices = settings / "@jupyterlab" / "apputils-extension" / "notification.jupyterlab-settings"
    notices.parent.mkdir(parents=True)
    notices.write_text(json.dumps({"fetchNews": "false", "checkForUpdates": False}))
    port, token = _free_port(), "orvane-test"
    cache = tmp_path / "cache"
    cache.mkdir(mode=0o700)
    env = dict(
        os.environ,
        JUPYTER_CONFIG_DIR=str(tmp_path / "config"),
        JUPYTER_DATA_DIR=str(tmp_path / "data"),
        JUPYTER_RUNTIME_DIR=str(tmp_path / "runtime"),
        JUPYTERLAB_SETTINGS_DIR=str(settings),
        JUPYTERLAB_WORKSPACES_DIR=str(tmp_path / "workspaces"),
        ORVANE_TEMP_DIR=str(cache),
    )
    log_path = tmp_path / "lab.log"
    url = f"http://127.0.0.1:{port}"
    with open(log_path, "wb") as log:
        server = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "jupyterlab",
                "--no-browser",
                "--ip=127.0.0.1",
                f"--port={port}",
                f"--IdentityProvider.token={token}",
                "--allow-root",
                f"--ServerApp.root_dir={tmp_path}",
                "--LabApp.news_url=None",
                "--LabApp.expose_app_in_browser=True",
            ],
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=log,
            start_new_session=True,  # its kernels join its process group, stopped with it
        )
        try:
            while True:
                try:
                    _api(url, token, "/api/status")
                    break
                except OSError:
                    if server.poll() is not None or budget.left() < 0:
                        pytest.fail(f"JupyterLab did not start:\n{log_path.read_text()}")
                    time.sleep(0.25)
            yield url, token, log_path
        finally:
            try:
                for kernel in _api(url, token, "/api/kernels") or ():
                    _api(url, token, f"/api/kernels/{kernel['id']}", method="DELETE")
            except OSError:
                pass
            server.terminate()
            try:
                server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
            try:
                os.killpg(server.pid, signal.SIGKILL)  # anything it left behind
            except ProcessLookupError:
                pass


@pytest.fixture
def browser(tmp_path):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or shutil.which("chromium-browser")
    for flag in (
        "--headless=new",
        "--no-sandbox",  # CI runs as root
        "--disable-dev-shm-usage",
        "--disable-gpu",
        "--window-size=1400,1000",
        f"--user-data-dir={tmp_path / 'chromium'}",
    ):
        options.add_argument(flag)
    service = Service(shutil.which("chromedriver"))
    driver = webdriver.Chrome(service=service, options=options)
    try:
        driver.set_page_load_timeout(120)
        driver.set_script_timeout(30)
        yield driver
    finally:
        try:
            driver.quit()
        finally:
            service.stop()


# What the page reports, read from the application's own model in one round trip.
STATE_JS = """
const app = window.jupyterapp;
const out = {dialogs: document.querySelectorAll('.jp-Dialog').length};
const panel = app && app.shell.currentWidget;
if (!panel || !panel.content || !panel.sessionContext) return out;
const kernel = panel.sessionContext.session && panel.sessionContext.session.kernel;
out.path = panel.context.path;
out.kernel = kernel ? kernel.status : null;
const cells = panel.content.widgets.filter((c) => c.model.type === 'code');
out.counts = cells.map((c) => c.model.executionCount);
out.pending = cells.some((c) => (c.promptNode && c.promptNode.textContent || '').includes('*'));
out.errors = cells.flatMap((c) => c.model.outputs.toJSON())
  .filter((o) => o.output_type === 'error').map((o) => o.ename + ': ' + o.evalue);
const view = document.querySelector('.jp-OutputArea-output svg.orvane-pipeline');
out.views = document.querySelectorAll('svg.orvane-pipeline').length;
out.statuses = {};
if (view) for (const g of view.querySelectorAll('g.orvane-component'))
  out.statuses[g.dataset.component] = g.dataset.status;
return out;
"""


def _state(driver) -> dict:
    return driver.execute_script(STATE_JS) or {}


def _keep(driver, name: str, log: Path | None = None) -> None:
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    driver.save_screenshot(str(ARTIFACTS / f"{name}.png"))
    if log is not None and log.exists():
        shutil.copy(log, ARTIFACTS / f"{name}.lab.log")


def _until(driver, budget, what, condition, log=None, limit=None, state_of=_state):
    """Waits until ``condition(state_of(driver))`` holds, accepting any dialog that would take the input
    meant for the notebook (kernel choice, first-start notices). Gives up at the budget's end, or
    after ``limit`` seconds returning None."""
    stop = time.monotonic() + limit if limit is not None else None
    while True:
        for button in driver.find_elements("css selector", ".jp-Dialog-button.jp-mod-accept"):
            try:
                button.click()
            except Exception:
                pass  # gone or covered meanwhile; the next round sees it again
        state = state_of(driver)
        try:
            if condition(state):
                return state
        except KeyError:
            pass  # the notebook is not open yet
        if stop is not None and time.monotonic() > stop:
            return None
        if budget.left() < 0:
            _keep(driver, "browser-view-failed", log)
            pytest.fail(f"timed out waiting for {what}; last state: {state}")
        time.sleep(0.25)


def test_the_live_view_shows_each_component_reach_its_final_status(lab, browser, budget):
    url, token, log = lab
    browser.get(f"{url}/lab/tree/house_prices.ipynb?token={token}")

    def ready(s):
        return (
            s.get("path") == "house_prices.ipynb" and s.get("kernel") == "idle" and not s["dialogs"]
        )

    _until(browser, budget, "the notebook with an idle kernel", ready, log)
    # Run all cells; if the command was taken by something else (nothing queued, nothing run),
    # issue it again once the page is ready again.
    for _attempt in range(4):
        # Not awaited: the command's promise settles only when every cell has run.
        browser.execute_script("window.jupyterapp.commands.execute('notebook:run-all-cells')")
        taken = _until(
            browser,
            budget,
            "the cells to be queued",
            lambda s: s["pending"] or s["counts"][0] is not None,
            log,
            limit=30,
        )
        if taken is not None and _until(
            browser, budget, "the first cell to run", lambda s: s["counts"][0] is not None, log
        ):
            break
        _until(browser, budget, "an idle kernel", lambda s: ready(s) and not s["pending"], log)
    else:
        _keep(browser, "browser-view-failed", log)
        pytest.fail(f"Run All Cells ran nothing; last state: {_state(browser)}")

    # The view is shown by the first code cell, before any component exists, then grows and
    # changes in place as the component cells run.
    final = _until(
        browser,
        budget,
        "every component successful and every cell run",
        lambda s: (
            s.get("errors")
            or (
                set(s["statuses"]) == COMPONENTS
                and set(s["statuses"].values()) == {"successful"}
                and None not in s["counts"]
                and not s["pending"]
            )
        ),
        log,
    )
    assert not final["errors"], final["errors"]
    assert final["statuses"] == dict.fromkeys(COMPONENTS, "successful")
    assert final["views"] == 1  # one live view, updated in place
    _scroll_to_view(browser)
    _keep(browser, "browser-view")


def _scroll_to_view(browser) -> None:
    # Found and scrolled in one script: the view is redrawn in place, so an element handle taken
    # in one call may be gone by the next.
    browser.execute_script(
        "document.querySelector('.jp-OutputArea-output svg.orvane-pipeline').scrollIntoView()"
    )


def _live_notebook(path: Path) -> None:
    """Thirteen components: a 5 s cell that prints, a figure, a chain deep enough to be drawn
    top to bottom; the figure is drawn in a worker process (beside another component, so that
    both go to workers) and shown again from the cache; then one is cleared and one declared
    without running."""
    import nbformat

    sources = [
        "%load_ext orvane_core\n%orvane show",
        "%%component data\nimport time\nx = 1",
        "%%component slow after data\nfor i in range(5):\n    print(f'line {i}', flush=True)\n"
        "    time.sleep(1)",
    ]
    previous = "data"
    for i in range(8):
        sources.append(f"%%component step{i} after {previous}\nv{i} = {i}")
        previous = f"step{i}"
    sources += [
        "%orvane autorun off",
        "%%component plot after data\nimport matplotlib.pyplot as plt\n_ = plt.plot([1, 3, 2])",
        "%%component side after data\nw = 2",
        "%orvane autorun on\n%orvane run plot side --parallel",
        "%orvane run plot",
        "%orvane clear side\n%orvane autorun off",
        "%%component late after data\nu = 1",
    ]
    nb = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(s) for s in sources])
    nb.metadata["kernelspec"] = {
        "name": "python3",
        "display_name": "Python 3",
        "language": "python",
    }
    nbformat.write(nb, path)


LIVE_JS = """
const app = window.jupyterapp;
const panel = app && app.shell.currentWidget;
const out = {dialogs: document.querySelectorAll('.jp-Dialog').length,
             widgetErrors: document.body.innerText.includes('Error displaying widget')};
if (!panel || !panel.content || !panel.sessionContext) return out;
const kernel = panel.sessionContext.session && panel.sessionContext.session.kernel;
out.path = panel.context.path;
out.kernel = kernel ? kernel.status : null;
out.dirty = panel.context.model.dirty;
const cells = panel.content.widgets.filter((c) => c.model.type === 'code');
out.counts = cells.map((c) => c.model.executionCount);
out.pending = cells.some((c) => (c.promptNode && c.promptNode.textContent || '').includes('*'));
out.texts = cells.map((c) => c.outputArea ? c.outputArea.node.innerText : '');
out.images = cells.map((c) => c.outputArea ?
  c.outputArea.node.querySelectorAll('img[src^="data:image/png"]').length : 0);
out.errors = cells.flatMap((c) => c.model.outputs.toJSON())
  .filter((o) => o.output_type === 'error').map((o) => o.ename + ': ' + o.evalue);
out.statuses = {};
out.hidden = [];
out.edges = [];
const view = document.querySelector('.jp-OutputArea-output svg.orvane-pipeline');
if (view) {
  const area = view.closest('.jp-OutputArea-output').getBoundingClientRect();
  out.edges = [...view.querySelectorAll('g.orvane-edges path > title')].map((t) => t.textContent);
  out.titles = {};
  for (const g of view.querySelectorAll('g.orvane-component')) {
    out.statuses[g.dataset.component] = g.querySelector('text:last-of-type').textContent;
    out.titles[g.dataset.component] = g.querySelector('title').textContent;
    const r = g.getBoundingClientRect();
    if (r.left < area.left - 1 || r.right > area.right + 1 || r.width < 40)
      out.hidden.push(g.dataset.component);
  }
}
return out;
"""


def _show_cell(driver, index: int) -> None:
    driver.execute_script(
        "const cells = window.jupyterapp.shell.currentWidget.content.widgets;"
        "cells.at(arguments[0]).node.scrollIntoView();",
        index,
    )


def _live_state(driver) -> dict:
    return driver.execute_script(LIVE_JS) or {}


def test_a_run_is_followed_live_and_the_saved_notebook_reopens_cleanly(
    lab, browser, budget, tmp_path
):
    url, token, log = lab
    _live_notebook(tmp_path / "live.ipynb")
    browser.get(f"{url}/lab/tree/live.ipynb?token={token}")
    until = functools.partial(_until, browser, budget, log=log, state_of=_live_state)
    until(
        "the notebook with an idle kernel",
        lambda s: s.get("path") == "live.ipynb" and s.get("kernel") == "idle" and not s["dialogs"],
    )
    browser.execute_script("window.jupyterapp.commands.execute('notebook:run-all-cells')")
    # While the 5 s cell runs: it is marked running with its time, and its first lines are on
    # the page before it ends.
    running = until(
        "the slow cell running with its first line shown",
        lambda s: (
            s["statuses"].get("slow", "").startswith("running")
            and "line 0" in s["texts"][2]
            and "line 4" not in s["texts"][2]
        ),
    )
    _show_cell(browser, 2)
    _keep(browser, "live-running")
    assert running["counts"][2] is None  # the cell has not ended
    final = until(
        "every cell run",
        lambda s: s.get("errors") or (None not in s["counts"] and not s["pending"]),
    )
    assert not final["errors"], final["errors"]
    assert len(final["statuses"]) == 13 and not final["hidden"], final
    # Label and hover in the same words, and every hover says why.
    assert final["statuses"]["side"] == "cleared \u00b7 not on disk", final
    assert final["titles"]["side"].endswith("; will run: its results were cleared"), final
    assert final["titles"]["late"] == "late: not run yet, not on disk; will run: it never ran"
    assert all("; " in title for title in final["titles"].values()), final["titles"]
    # Each edge's hover text names the two components it joins.
    assert {"data \u2192 slow: after", "step6 \u2192 step7: after"} <= set(final["edges"]), final
    assert final["images"][-4:-2] == [1, 1]  # from worker processes, then from the cache
    _show_cell(browser, -2)
    _keep(browser, "live-figures")
    _scroll_to_view(browser)
    _keep(browser, "live-finished")

    # Saved, closed with its kernel, and opened again.
    browser.execute_script("window.jupyterapp.commands.execute('docmanager:save')")
    until("the notebook saved", lambda s: not s["dirty"])
    for kernel in _api(url, token, "/api/kernels") or ():
        _api(url, token, f"/api/kernels/{kernel['id']}", method="DELETE")
    browser.get(f"{url}/lab/tree/live.ipynb?token={token}")
    reopened = until(
        "the reopened notebook with its outputs",
        lambda s: s.get("path") == "live.ipynb" and len(s["statuses"]) == 13,
    )
    assert not reopened["widgetErrors"]
    assert reopened["images"][-4:-2] == [1, 1]
    _keep(browser, "live-reopened")
