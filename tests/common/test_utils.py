"""The private application directory and the installed-package list, on real files."""

from __future__ import annotations

import json
import os
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from orvane_core.common import utils
from orvane_core.common.utils import get_pip_freeze, prepare_app_directory

# --- application directory -------------------------------------------------------------------


def mode(path: Path) -> int:
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.parametrize("allow_symlink", [True, False])
def test_new_directory_is_private(tmp_path, allow_symlink):
    path = tmp_path / "app"
    assert prepare_app_directory(path, allow_symlink=allow_symlink) == path
    assert path.is_dir()
    assert mode(path) & 0o077 == 0


@pytest.mark.parametrize(("start", "refused"), [(0o777, True), (0o775, True), (0o755, False)])
def test_writable_by_others_is_refused_and_left_as_it_is(tmp_path, start, refused):
    path = tmp_path / "app"
    path.mkdir()
    os.chmod(path, start)
    if refused:
        with pytest.raises(RuntimeError, match="group or others may write it.*ORVANE_TEMP_DIR"):
            prepare_app_directory(path, allow_symlink=False)
    else:
        prepare_app_directory(path, allow_symlink=False)
    assert mode(path) == start


@pytest.mark.parametrize(
    ("make", "allow_symlink", "match"),
    [
        (lambda p: p.write_text("x"), False, "not a directory"),
        (lambda p: p.symlink_to(p.parent / "missing"), True, "cannot be used"),
        (lambda p: None, True, "cannot be used"),
    ],
    ids=["file", "dangling-link", "under-a-file"],
)
def test_unusable_paths_are_refused_clearly(tmp_path, make, allow_symlink, match):
    path = tmp_path / "app"
    make(path)
    if not path.exists() and not path.is_symlink():
        (tmp_path / "blocker").write_text("")
        path = tmp_path / "blocker" / "app"
    with pytest.raises(RuntimeError, match=match):
        prepare_app_directory(path, allow_symlink=allow_symlink)


def test_symlink_is_refused_in_the_shared_location_only(tmp_path):
    target = tmp_path / "real"
    target.mkdir(mode=0o700)
    link = tmp_path / "link"
    link.symlink_to(target)
    with pytest.raises(RuntimeError, match="symbolic link"):
        prepare_app_directory(link, allow_symlink=False)
    assert prepare_app_directory(link, allow_symlink=True) == link


@pytest.mark.skipif(not hasattr(os, "getuid") or os.getuid() != 0, reason="needs root to chown")
def test_directory_of_another_user_is_refused(tmp_path):
    path = tmp_path / "theirs"
    path.mkdir(mode=0o700)
    os.chown(path, 4242, -1)
    with pytest.raises(RuntimeError, match="belongs to another user"):
        prepare_app_directory(path, allow_symlink=False)
    assert mode(path) == 0o700


def test_importing_creates_nothing_on_disk(tmp_path):
    target = tmp_path / "nested" / "orvane"
    code = (
        "import orvane_core.pipeline.pipeline; "
        "from orvane_core.common.utils import APP_TEMP_DIRECTORY as d; print(d)"
    )
    env = dict(os.environ, ORVANE_TEMP_DIR=str(target))
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    )
    assert out.stdout.strip() == str(target)
    assert not (tmp_path / "nested").exists()


# --- installed packages ------------------------------------------------------------------------


def make_dist(site: Path, name: str, version: str, editable: bool | None = None) -> None:
    info = site / f"{name.replace('-', '_')}-{version}.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")
    if editable is not None:
        direct = {"url": f"file:///src/{name}", "dir_info": {"editable": editable}}
        (info / "direct_url.json").write_text(json.dumps(direct))


@pytest.fixture
def site(tmp_path, monkeypatch):
    """A private site directory as the only entry of the import path."""
    site = tmp_path / "site"
    site.mkdir()
    make_dist(site, "Zeta-Pkg", "1.0")
    make_dist(site, "alpha", "2.1", editable=False)
    make_dist(site, "dev_tool", "0.3", editable=True)
    make_dist(site, "Orvane", "9.9")
    monkeypatch.setattr(sys, "path", [str(site)])
    utils._FREEZE_CACHE.clear()
    yield site
    utils._FREEZE_CACHE.clear()


@pytest.mark.parametrize(
    ("kwargs", "expected"),
    [
        ({}, ["alpha==2.1", "Orvane==9.9", "Zeta-Pkg==1.0"]),
        (
            {"exclude_editable": False},
            ["alpha==2.1", "dev_tool==0.3", "Orvane==9.9", "Zeta-Pkg==1.0"],
        ),
        ({"skip": ["orvane", "orvane-git"]}, ["alpha==2.1", "Zeta-Pkg==1.0"]),
        # Names are compared normalised: case, "-", "_" and "." do not matter.
        (
            {"skip": ["ZETA_pkg"], "exclude_editable": False},
            ["alpha==2.1", "dev_tool==0.3", "Orvane==9.9"],
        ),
        (
            {"skip": ["Dev.Tool"], "exclude_editable": False},
            ["alpha==2.1", "Orvane==9.9", "Zeta-Pkg==1.0"],
        ),
        ({"skip": "alpha"}, ["Orvane==9.9", "Zeta-Pkg==1.0"]),
    ],
)
def test_freeze_lists_sorted_requirements(site, kwargs, expected):
    assert get_pip_freeze(**kwargs) == expected


def test_first_distribution_on_the_path_wins(site, tmp_path, monkeypatch):
    other = tmp_path / "other"
    make_dist(other, "alpha", "1.0")
    monkeypatch.setattr(sys, "path", [str(site), str(other)])
    assert "alpha==2.1" in get_pip_freeze()
    monkeypatch.setattr(sys, "path", [str(other), str(site)])
    assert "alpha==1.0" in get_pip_freeze()


def test_broken_metadata_is_skipped(site):
    broken = site / "broken-1.0.dist-info"
    broken.mkdir()
    (broken / "METADATA").write_text("Metadata-Version: 2.1\n")
    bad_url = site / "odd-1.0.dist-info"
    bad_url.mkdir()
    (bad_url / "METADATA").write_text("Metadata-Version: 2.1\nName: odd\nVersion: 1.0\n")
    (bad_url / "direct_url.json").write_text("{not json")
    assert get_pip_freeze() == ["alpha==2.1", "odd==1.0", "Orvane==9.9", "Zeta-Pkg==1.0"]


def test_the_description_after_the_headers_is_not_read_as_headers(site):
    info = site / "described-1.0.dist-info"
    info.mkdir()
    text = "Metadata-Version: 2.1\nName: described\nVersion: 1.0\n\nName: other\nVersion: 2\n"
    (info / "METADATA").write_text(text)
    assert "described==1.0" in get_pip_freeze() and "other==2" not in get_pip_freeze()


@pytest.mark.parametrize(
    "text",
    [
        # Many headers before the version, beyond the first block read.
        "Metadata-Version: 2.1\nName: late\n" + "Classifier: x\n" * 2000 + "Version: 3\n\nhi",
        # Windows line ends, as a text-mode read gives them; a line of blanks ends the headers.
        "Metadata-Version: 2.1\r\nName: late\r\nVersion: 3\r\n\r\nName: other\r\n",
        "Metadata-Version: 2.1\nName: late\nVersion: 3\n  \t\nVersion: 4\n",
        "Metadata-Version: 2.1\nName: late\nVersion: 3",  # no blank line: read to the end
    ],
    ids=["long-headers", "crlf", "blank-line", "no-body"],
)
def test_name_and_version_are_read_from_the_headers(site, text):
    info = site / "late-3.dist-info"
    info.mkdir()
    (info / "METADATA").write_bytes(text.encode())
    assert "late==3" in get_pip_freeze()


def test_cached_list_follows_installs_and_removals(site):
    first = get_pip_freeze()
    first.append("mutated==0")
    assert "mutated==0" not in get_pip_freeze()

    time.sleep(0.01)
    make_dist(site, "newcomer", "0.1")
    assert "newcomer==0.1" in get_pip_freeze()

    time.sleep(0.01)
    for child in (site / "newcomer-0.1.dist-info").iterdir():
        child.unlink()
    (site / "newcomer-0.1.dist-info").rmdir()
    assert "newcomer==0.1" not in get_pip_freeze()


def test_unchanged_environment_is_not_scanned_again(site, monkeypatch):
    get_pip_freeze()
    calls = []
    real_scan = utils._scan_distributions
    monkeypatch.setattr(utils, "_scan_distributions", lambda p: calls.append(p) or real_scan(p))
    for _ in range(3):
        get_pip_freeze(skip=["alpha"])
    assert calls == []


def test_real_environment_lists_installed_dependencies():
    utils._FREEZE_CACHE.clear()
    names = {line.split("==")[0].lower() for line in get_pip_freeze()}
    assert {"ipython", "cloudpickle", "msgspec"} <= names
    # This package is installed in editable mode for development and is left out by default.
    assert "orvane-core" not in names


def test_relative_directory_is_fixed_at_import(tmp_path):
    code = (
        "import os; from orvane_core.common.utils import APP_TEMP_DIRECTORY as d; "
        "os.chdir('/'); print(d, d.is_absolute(), d.is_dir())"
    )
    env = dict(os.environ, ORVANE_TEMP_DIR="rel-app")
    out = subprocess.run(
        [sys.executable, "-c", code],
        env=env,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        check=True,
    )
    assert out.stdout.split() == [str(tmp_path / "rel-app"), "True", "False"]


def test_working_directory_changes_do_not_force_a_rescan(site, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "path", ["", str(site)])
    get_pip_freeze()
    calls = []
    real_scan = utils._scan_distributions
    monkeypatch.setattr(utils, "_scan_distributions", lambda p: calls.append(p) or real_scan(p))
    time.sleep(0.01)
    (tmp_path / "notebook.ipynb").write_text("{}")
    get_pip_freeze()
    assert calls == []


def _link_elsewhere(saved: Path) -> None:
    decoy = saved.parent.parent / "decoy.json"
    decoy.write_text(saved.read_text())
    saved.unlink()
    saved.symlink_to(decoy)


@pytest.mark.parametrize(
    ("change", "scans_again"),
    [
        (lambda site, saved: None, False),
        (lambda site, saved: (time.sleep(0.01), make_dist(site, "newcomer", "0.1")), True),
        (lambda site, saved: saved.write_text('{"stamp": [], "entries": 7}'), True),
        (lambda site, saved: _link_elsewhere(saved), True),
    ],
    ids=["unchanged", "installed", "damaged", "link"],
)
def test_a_new_kernel_reads_the_kept_list_unless_it_may_be_wrong(
    site, tmp_path, monkeypatch, change, scans_again
):
    root = tmp_path / "app"
    root.mkdir(mode=0o700)
    monkeypatch.setattr(utils, "APP_TEMP_DIRECTORY", root)
    calls = []
    real_scan = utils._scan_distributions
    monkeypatch.setattr(utils, "_scan_distributions", lambda p: calls.append(p) or real_scan(p))
    first = get_pip_freeze()
    [saved] = root.glob("packages-*.json")
    change(site, saved)
    utils._FREEZE_CACHE.clear()  # as in a new kernel
    listed = get_pip_freeze()
    assert len(calls) == 1 + scans_again
    assert (listed == first) != ("newcomer==0.1" in listed)
    assert mode(saved) == 0o600 and not saved.is_symlink()  # written again, not through a link


def test_no_list_is_kept_for_a_working_directory_holding_projects(site, tmp_path, monkeypatch):
    monkeypatch.setattr(utils, "APP_TEMP_DIRECTORY", tmp_path)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "local-1.0.dist-info").mkdir()
    monkeypatch.setattr(sys, "path", ["", str(site)])
    get_pip_freeze()
    assert not list(tmp_path.glob("packages-*"))
