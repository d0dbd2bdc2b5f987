"""Component caches: loading and dropping disk caches, and showing results in the notebook."""

from __future__ import annotations

import gc
import os
import shutil
import weakref

import numpy as np
import pytest

from orvane_core.cache.memory import OrvaneInMemoryCache
from orvane_core.capture import OrvaneCapturedIO
from orvane_core.components.vostrel import OrvaneComponentVostrel
from orvane_core.misc import OrvaneComponentStatus as S
from orvane_core.misc import OrvaneDiskcacheStatus as D
from orvane_core.misc.models import (
    OrvaneComponentMetadataModel,
    OrvaneComponentModel,
    OrvaneComponentOutputsSummaryModel,
    OrvaneOutputVariableModel,
)

OUT = OrvaneCapturedIO(outputs=[{"type": "stream", "name": "<stdout>", "text": "hello\n"}])


@pytest.mark.parametrize(
    ("fields", "start", "derived", "count", "attached"),
    [
        ({"exception_msg": ["boom"], "last_output": 1}, S.INVALID, S.FAILED, 0, True),
        ({"last_output": 3}, S.INVALID, S.SUCCESSFUL, 1, True),
        (
            {"module_statements": {"m": "importlib.import_module('os')"}},
            S.FAILED,
            S.SUCCESSFUL,
            1,
            True,
        ),
        ({"non_module_outputs": {"a": 1}}, S.RUNNING, S.SUCCESSFUL, 1, True),
        ({"captured": OUT}, S.INVALID, S.SUCCESSFUL, 1, True),
        ({"last_output": np.arange(5)}, S.INVALID, S.SUCCESSFUL, 1, True),
        ({"last_output": 3}, S.SUCCESSFUL, S.SUCCESSFUL, 0, True),
        ({"exception_msg": []}, S.SUCCESSFUL, S.INVALID, 0, False),
        ({}, S.INVALID, S.INVALID, 0, True),
    ],
)
def test_load_diskcache_derives_the_status(
    make_component, tmp_path, write_cache, fields, start, derived, count, attached
):
    component = make_component(diskcache=True)
    component.load_in_memory_cache(OrvaneInMemoryCache())
    component._status = start  # the starting point only; the counter starts at zero
    component.last_output = "in memory"
    directory = write_cache(tmp_path / "cache", **fields)
    assert component.load_diskcache(directory) is True
    assert component.status is derived and component.success_count == count
    assert (component.diskcache_dir == directory) == attached
    assert os.path.isdir(directory) == attached
    assert component._in_memory_cache == OrvaneInMemoryCache()
    if attached:
        assert component.diskcache_status is D.CACHED


def test_loaded_values_come_back_from_disk(make_component, tmp_path, write_cache):
    component = make_component(diskcache=True)
    summary = OrvaneComponentOutputsSummaryModel(
        variables=[OrvaneOutputVariableModel(name="frame", type="ndarray")]
    )
    directory = write_cache(
        tmp_path / "values",
        module_statements={"json": "importlib.import_module('json')"},
        non_module_outputs={"frame": np.arange(6).reshape(2, 3), "label": "ok"},
        last_output={"rows": 2},
        captured=OUT,
        outputs_summary=summary,
    )
    assert component.load_diskcache(directory)
    assert component.last_output == {"rows": 2}
    assert component.captured == OUT and component.outputs_summary == summary
    outputs = component.outputs
    assert outputs["json"].__name__ == "json" and outputs["label"] == "ok"
    np.testing.assert_array_equal(outputs["frame"], np.arange(6).reshape(2, 3))


def corrupt_manifest(directory):
    with open(os.path.join(directory, "manifest.json"), "w") as fh:
        fh.write("{not json")


def truncate_a_blob(directory):
    blob = next(n for n in sorted(os.listdir(directory)) if n != "manifest.json")
    with open(os.path.join(directory, blob), "r+b") as fh:
        fh.truncate(1)


def make_plain_file(directory):
    shutil.rmtree(directory)
    with open(directory, "w") as fh:
        fh.write("not a cache")


@pytest.mark.parametrize(
    "spoil",
    [
        lambda d: shutil.rmtree(d),
        lambda d: os.unlink(os.path.join(d, "manifest.json")),
        corrupt_manifest,
        truncate_a_blob,
        make_plain_file,
    ],
    ids=["missing", "no-manifest", "corrupt-manifest", "truncated-blob", "plain-file"],
)
def test_failed_load_keeps_status_and_previous_cache(make_component, tmp_path, write_cache, spoil):
    component = make_component(diskcache=True)
    component.status = S.SUCCESSFUL
    first = write_cache(tmp_path / "first", last_output=1)
    component.load_diskcache(first)
    component.last_output = "memory"
    other = write_cache(tmp_path / "other", last_output=2, non_module_outputs={"a": 1})
    spoil(other)
    assert component.load_diskcache(other) is False
    assert component._diskcache_status is D.FAILED
    assert component.diskcache_dir == first and component.status is S.SUCCESSFUL
    assert component.last_output == "memory"


def test_load_with_disk_caching_off_reads_memory(make_component, tmp_path, write_cache):
    component = make_component(diskcache=False)
    component.status = S.SUCCESSFUL
    directory = write_cache(tmp_path / "off", last_output=1)
    assert component.load_diskcache(directory) is True
    assert component.status is S.INVALID  # nothing served from memory, so nothing cached
    assert component.diskcache_dir is None and not os.path.exists(directory)


def test_diskcache_dir_setter_loads_and_drops_the_result(make_component, tmp_path, write_cache):
    component = make_component(diskcache=True)
    component.diskcache_dir = write_cache(tmp_path / "s", last_output="v")
    assert component.last_output == "v" and component.status is S.SUCCESSFUL
    component.diskcache_dir = str(tmp_path / "nowhere")
    assert component._diskcache_status is D.FAILED


def test_clear_unload_and_clear_cache(make_component, tmp_path, write_cache):
    component = make_component(diskcache=True)
    component.status = S.SUCCESSFUL
    directory = write_cache(tmp_path / "c", last_output=1)
    component.load_diskcache(directory)
    disk = component._diskcache
    assert disk.last_output == 1

    component.clear_diskcache()
    assert not os.path.exists(directory) and disk.last_output is None
    assert component.diskcache_dir == directory  # cleared and closed, still attached
    component.clear_diskcache()  # the directory is gone already: errors while removing are ignored

    component.last_output = "kept"
    component.clear_cache()
    assert component._diskcache is None and component._diskcache_status is D.UNCACHED
    assert component.last_output is None and component._in_memory_cache == OrvaneInMemoryCache()


def test_unload_without_disk_cache_resets_status(make_component):
    component = make_component()
    component.diskcache_status = D.FAILED
    component.unload_diskcache()
    assert component._diskcache_status is D.UNCACHED


def test_setting_uncached_unloads(make_component, tmp_path, write_cache):
    component = make_component(diskcache=True)
    component.status = S.SUCCESSFUL
    directory = write_cache(tmp_path / "u", last_output=1)
    component.load_diskcache(directory)
    component.diskcache_status = D.UNCACHED
    assert component.diskcache_dir is None and not os.path.exists(directory)


def test_clear_in_memory_cache_keeps_the_object(make_component):
    component = make_component()
    cache = OrvaneInMemoryCache()
    cache.last_output = 5
    component.load_in_memory_cache(cache)
    assert component.last_output == 5 and not component._in_memory_cache_empty()
    component.clear_in_memory_cache()
    assert cache.last_output is None and component._in_memory_cache_empty()
    component.last_output = 6  # written into the same, adopted object
    assert cache.last_output == 6
    component._in_memory_cache = None
    component.clear_in_memory_cache()
    assert component._in_memory_cache_empty()


def test_a_pending_write_shows_while_a_cache_is_attached(make_component, tmp_path, write_cache):
    component = make_component(diskcache=True)
    component.status = S.SUCCESSFUL
    component.load_diskcache(write_cache(tmp_path / "p", last_output=1))
    assert not component._diskcache_write_pending()
    component.diskcache_status = D.UPDATING
    assert component.diskcache_status is D.CACHED and component._diskcache_write_pending()
    component.diskcache_status = D.FAILED
    assert not component._diskcache_write_pending()


def test_a_component_its_own_results_refer_to_is_collected():
    component = OrvaneComponentVostrel(OrvaneComponentModel(id="cycle"))
    component.last_output = component
    ref = weakref.ref(component)
    del component
    gc.collect()
    assert ref() is None


def test_finaliser_removes_the_disk_cache(tmp_path, write_cache):
    record = OrvaneComponentModel(id="f", metadata=OrvaneComponentMetadataModel(diskcache=True))
    component = OrvaneComponentVostrel(record)
    component.status = S.SUCCESSFUL
    directory = write_cache(tmp_path / "fin", last_output=1)
    component.load_diskcache(directory)
    del component
    gc.collect()
    assert not os.path.exists(directory)


@pytest.mark.parametrize("method", ["clear_cache", "close"])
def test_errors_of_the_disk_cache_itself_propagate(
    make_component, tmp_path, write_cache, monkeypatch, method
):
    component = make_component(diskcache=True)
    component.status = S.SUCCESSFUL
    component.load_diskcache(write_cache(tmp_path / "e", last_output=1))

    def fail():
        raise OSError("database locked")

    # Faults the real cache cannot produce: close() never raises, and as root no removal fails.
    monkeypatch.setattr(component._diskcache, method, fail)
    with pytest.raises(OSError, match="database locked"):
        component.clear_diskcache()
    monkeypatch.undo()


# ---- showing results ----


@pytest.mark.parametrize(
    ("value", "printed"),
    [("text", "'text'\n"), (42, "42\n"), (None, ""), ("", ""), (0, ""), ([], "")],
)
def test_show_last_output_without_shell(make_component, capsys, value, printed):
    component = make_component()
    component.last_output = value
    component.show_last_output(None)
    assert capsys.readouterr().out == printed


def test_show_last_output_of_an_array(make_component, capsys):
    component = make_component()
    component.last_output = np.array([1, 2, 3])
    component.show_last_output(shell=None)
    assert capsys.readouterr().out == "array([1, 2, 3])\n"


def test_show_last_output_in_a_plain_shell(make_component, shell, capsys):
    component = make_component()
    component.last_output = {"k": 1}
    component.show_last_output(shell)
    assert capsys.readouterr().out == "{'k': 1}\n"


def test_show_last_output_requires_the_shell_argument(make_component):
    with pytest.raises(TypeError):
        make_component().show_last_output()


def test_show_captured(make_component, capsys):
    component = make_component()
    component.show_captured()
    assert capsys.readouterr() == ("", "")
    component.captured = OrvaneCapturedIO(
        outputs=[
            {"type": "stream", "name": "<stdout>", "text": "out\n"},
            {"type": "stream", "name": "<stderr>", "text": "err\n"},
        ]
    )
    component.show_captured(shell=None)
    assert capsys.readouterr() == ("out\n", "err\n")


def test_show_captured_forwards_shell_and_id(make_component):
    seen = []

    class Recorder(OrvaneCapturedIO):
        __slots__ = ()

        def show(self, shell=None, component_id=None):
            seen.append((shell, component_id))

    component = make_component()
    component.captured = Recorder(outputs=[{"type": "stream", "name": "<stdout>", "text": "x"}])
    component.show_captured(shell="the shell")
    assert seen == [("the shell", component.id)]
