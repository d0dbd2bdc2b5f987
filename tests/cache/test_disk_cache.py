"""The disk cache reader against directories written by the real background writer."""

from __future__ import annotations

import json
import os
import pickle
import shutil

import numpy as np
import pytest

from orvane_core.cache import OrvaneDiskCache, OrvaneDiskCacheError
from orvane_core.capture import OrvaneCapturedIO
from orvane_core.misc.models import (
    OrvaneCacheModel,
    OrvaneComponentOutputsSummaryModel,
    OrvaneDiskCacheTodoModel,
    OrvaneOutputVariableModel,
)
from tests.cache.writing import wait_messages, write_cache

BIG = 3 << 20  # above the size where payloads are read out of band
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")


def _manifest(cache_dir):
    with open(os.path.join(cache_dir, "manifest.json")) as f:
        return json.load(f)


def _blob_path(cache_dir, kind, name=None):
    for blob in _manifest(cache_dir)["blobs"]:
        if blob["kind"] == kind and (name is None or blob["name"] == name):
            return os.path.join(cache_dir, blob["file"])
    raise LookupError(kind)


def _flip_byte(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        f.seek(offset)
        f.write(bytes([byte[0] ^ 0xFF]))


def test_round_trip_of_all_six_fields(writer, tmp_path):
    captured = OrvaneCapturedIO(outputs=[{"type": "stream", "name": "stdout", "text": "hi\n"}])
    summary = OrvaneComponentOutputsSummaryModel(
        variables=[OrvaneOutputVariableModel(name="df", type="DataFrame", shape=[2, 3])]
    )
    outputs = {"x": 41, "arr": np.arange(BIG // 8, dtype=np.float64), "f": lambda v: v + 1}
    cache_dir = write_cache(
        writer,
        tmp_path / "component-1",
        component_id="comp-é",
        success_count=7,
        outputs=outputs,
        module_statements={"np": "import numpy as np"},
        last_output="the end",
        captured=captured,
        exception_msg=["line 1", "line 2"],
        outputs_summary=summary,
    )
    cache = OrvaneDiskCache(cache_dir=cache_dir)
    assert (cache.cache_dir, cache.component_id, cache.success_count) == (
        cache_dir,
        "comp-é",
        7,
    )
    assert cache.module_statements == {"np": "import numpy as np"}
    assert list(cache.non_module_outputs) == ["x", "arr", "f"]
    assert cache.non_module_outputs["x"] == 41
    np.testing.assert_array_equal(cache.non_module_outputs["arr"], outputs["arr"])
    assert cache.non_module_outputs["f"](1) == 2
    assert cache.last_output == "the end"
    assert cache.captured.outputs == captured.outputs
    assert cache.exception_msg == ["line 1", "line 2"]
    assert cache.outputs_summary == summary
    # Values are kept once loaded: the same object comes back.
    assert cache.non_module_outputs["arr"] is cache.non_module_outputs["arr"]


@pytest.mark.parametrize(
    "value",
    [
        pytest.param(np.arange(BIG // 8, dtype=np.float64), id="float64-array"),
        pytest.param(np.arange(BIG // 8, dtype=np.int64)[::2], id="strided-array"),
        pytest.param(bytearray(b"ab" * BIG), id="bytearray"),
        pytest.param(b"xy" * BIG, id="bytes"),
        pytest.param([b"a" * BIG, bytearray(b"b" * BIG), {"k": b"c" * BIG}], id="nested"),
        pytest.param(list(range(300_000)), id="large-without-payloads"),
    ],
)
def test_large_values_keep_type_content_and_writability(writer, tmp_path, value):
    cache_dir = write_cache(
        writer, tmp_path / "component-1", outputs={"v": value}, last_output=value
    )
    for loaded in (
        OrvaneDiskCache(cache_dir=cache_dir).non_module_outputs["v"],
        OrvaneDiskCache(cache_dir=cache_dir).last_output,
    ):
        assert type(loaded) is type(value)
        if isinstance(value, np.ndarray):
            np.testing.assert_array_equal(loaded, value)
            loaded[0] = 5  # unpickled arrays are writable, as with any unpickle
        else:
            assert loaded == value


def test_read_only_array_stays_read_only(writer, tmp_path):
    value = np.arange(BIG // 8, dtype=np.float64)
    value.flags.writeable = False
    cache_dir = write_cache(writer, tmp_path / "component-1", outputs={"v": value})
    loaded = OrvaneDiskCache(cache_dir=cache_dir).non_module_outputs["v"]
    np.testing.assert_array_equal(loaded, value)
    assert not loaded.flags.writeable


@pytest.mark.parametrize("protocol", [0, 2, 4, 5], ids=lambda p: f"protocol-{p}")
def test_output_pickled_elsewhere_with_any_protocol_loads(writer, tmp_path, protocol):
    # Outputs arrive as bytes pickled by the caller, whatever protocol it chose.
    value = {"rows": list(range(200_000)), "blob": b"z" * BIG, "text": "é" * 10}
    task = OrvaneDiskCacheTodoModel(
        component_id="c",
        success_count=1,
        cache_dir=str(tmp_path / "component-1"),
        data=OrvaneCacheModel(non_module_outputs={"v": pickle.dumps(value, protocol=protocol)}),
    )
    assert writer.put_task(task=task)
    (message,) = wait_messages(writer, 1)
    assert OrvaneDiskCache(cache_dir=message.cache_dir).non_module_outputs["v"] == value


@pytest.mark.parametrize(
    ("kind", "name", "read"),
    [
        ("meta", None, lambda c: c.module_statements),
        ("meta", None, lambda c: c.exception_msg),
        ("last_output", None, lambda c: c.last_output),
        ("output", "small", lambda c: c.non_module_outputs["small"]),
        ("output", "big", lambda c: c.non_module_outputs["big"]),
    ],
    ids=["meta-statements", "meta-error", "last-output", "small-output", "big-output"],
)
@pytest.mark.parametrize("where", ["start", "middle", "end"])
def test_corrupt_blob_opens_lazily_and_fails_on_access(writer, tmp_path, kind, name, read, where):
    cache_dir = write_cache(
        writer,
        tmp_path / "component-1",
        outputs={"small": [1, 2, 3], "big": np.ones(BIG // 8)},
        module_statements={"os": "import os"},
        last_output=np.zeros(BIG // 8),
    )
    path = _blob_path(cache_dir, kind, name)
    size = os.path.getsize(path)
    _flip_byte(path, {"start": 0, "middle": size // 2, "end": size - 1}[where])
    cache = OrvaneDiskCache(cache_dir=cache_dir)  # opening reads no blob
    assert len(cache.non_module_outputs) == 2
    with pytest.raises(OrvaneDiskCacheError, match="checksum") as info:
        read(cache)
    assert os.path.basename(path) in str(info.value)
    # Other blobs are unaffected.
    if kind != "output":
        assert cache.non_module_outputs["small"] == [1, 2, 3]


@pytest.mark.parametrize("version", [1, 2])
def test_caches_written_by_every_format_version_load(tmp_path, version):
    # Directories committed as written by each release of the writer; version 2 keeps the array
    # out of band, version 1 has it inside the pickle stream.
    cache_dir = str(shutil.copytree(os.path.join(FIXTURES, f"format-{version}"), tmp_path / "c"))
    cache = OrvaneDiskCache(cache_dir=cache_dir)
    assert (cache.component_id, cache.success_count) == ("cell-1", 3)
    assert cache.module_statements == {"np": "import numpy as np"}
    assert (cache.last_output, cache.exception_msg) == ("the end", None)
    assert cache.non_module_outputs["x"] == 41
    np.testing.assert_array_equal(cache.non_module_outputs["arr"], np.arange(512.0))
    assert cache.non_module_outputs["blob"] == bytearray(b"ab" * 100)


def test_truncation_is_found_at_open_and_after_open(writer, tmp_path):
    cache_dir = write_cache(writer, tmp_path / "component-1", outputs={"v": np.ones(BIG // 8)})
    path = _blob_path(cache_dir, "output")
    cache = OrvaneDiskCache(cache_dir=cache_dir)
    os.truncate(path, os.path.getsize(path) - 10)
    with pytest.raises(OrvaneDiskCacheError, match="truncated") as info:
        cache.non_module_outputs["v"]
    assert os.path.basename(path) in str(info.value)
    with pytest.raises(OrvaneDiskCacheError, match="truncated"):
        OrvaneDiskCache(cache_dir=cache_dir)
    assert OrvaneDiskCache.read_record(cache_dir)["complete"] is False


def _not_a_cache(tmp_path, how):
    d = tmp_path / "component-x"
    if how == "missing-dir":
        return d
    if how == "plain-file":
        d.write_text("x")
        return d
    d.mkdir()
    manifest = d / "manifest.json"
    if how == "empty-dir":
        pass
    elif how == "not-json":
        manifest.write_bytes(b"\x00\xff garbage")
    elif how == "json-list":
        manifest.write_text("[1, 2]")
    elif how == "foreign-format":
        manifest.write_text(json.dumps({"format": "something-else", "version": 1}))
    elif how == "future-version":
        manifest.write_text(
            json.dumps(
                {
                    "format": "orvane-diskcache",
                    "version": 99,
                    "component_id": "a",
                    "success_count": 1,
                    "blobs": [],
                }
            )
        )
    elif how in ("escaping-file-name", "null-in-file-name"):
        manifest.write_text(
            json.dumps(
                {
                    "format": "orvane-diskcache",
                    "version": 1,
                    "component_id": "a",
                    "success_count": 1,
                    "blobs": [
                        {
                            "name": "x",
                            "kind": "output",
                            "file": "../secret" if how == "escaping-file-name" else "a\x00b",
                            "size": 1,
                            "xxh64": "0" * 16,
                        }
                    ],
                }
            )
        )
    return d


@pytest.mark.parametrize(
    "how",
    [
        "missing-dir",
        "plain-file",
        "empty-dir",
        "not-json",
        "json-list",
        "foreign-format",
        "future-version",
        "escaping-file-name",
        "null-in-file-name",
    ],
)
def test_foreign_directories_are_rejected(tmp_path, how):
    path = _not_a_cache(tmp_path, how)
    with pytest.raises(OrvaneDiskCacheError) as info:
        OrvaneDiskCache(cache_dir=str(path))
    if how == "future-version":
        assert "Unsupported disk cache version 99" in str(info.value)
    assert OrvaneDiskCache.read_record(str(path)) is None


def test_missing_blob_file_is_rejected_at_open(writer, tmp_path):
    cache_dir = write_cache(writer, tmp_path / "component-1", outputs={"v": 1})
    os.unlink(_blob_path(cache_dir, "output"))
    with pytest.raises(OrvaneDiskCacheError, match="missing"):
        OrvaneDiskCache(cache_dir=cache_dir)
    assert OrvaneDiskCache.read_record(cache_dir)["complete"] is False


@pytest.mark.parametrize("bad", [None, 3, b"/tmp/x", ["a"]])
def test_cache_dir_must_be_path_text(bad):
    with pytest.raises(TypeError):
        OrvaneDiskCache(cache_dir=bad)


def test_read_record_reads_no_values(writer, tmp_path):
    cache_dir = write_cache(
        writer, tmp_path / "component-1", component_id="a", success_count=3, outputs={"v": 1}
    )
    _flip_byte(_blob_path(cache_dir, "output"), 0)
    record = OrvaneDiskCache.read_record(cache_dir)
    assert (record["component_id"], record["success_count"], record["complete"]) == ("a", 3, True)
    assert OrvaneDiskCache.read_record(tmp_path / "component-1")["component_id"] == "a"


def test_clear_cache_deletes_only_listed_files_and_empties_fields(writer, tmp_path):
    cache_dir = write_cache(
        writer,
        tmp_path / "component-1",
        outputs={"v": 1},
        module_statements={"os": "import os"},
        last_output=5,
        exception_msg=["boom"],
    )
    stranger = os.path.join(cache_dir, "notes.txt")
    with open(stranger, "w") as f:
        f.write("mine")
    cache = OrvaneDiskCache(cache_dir=cache_dir)
    assert cache.last_output == 5
    cache.clear_cache()
    assert os.listdir(cache_dir) == ["notes.txt"]
    assert cache.module_statements == {}
    assert dict(cache.non_module_outputs) == {}
    assert (cache.last_output, cache.captured, cache.exception_msg, cache.outputs_summary) == (
        None,
        None,
        None,
        None,
    )
    cache.clear_cache()  # a second clear finds nothing to delete
    cache.close()
    cache.close()
    assert OrvaneDiskCache.read_record(cache_dir) is None


def test_unknown_output_name_is_a_key_error(writer, tmp_path):
    cache = OrvaneDiskCache(cache_dir=write_cache(writer, tmp_path / "component-1", outputs={}))
    with pytest.raises(KeyError):
        cache.non_module_outputs["nope"]
    assert "nope" not in cache.non_module_outputs
    with pytest.raises(TypeError):
        cache.non_module_outputs["v"] = 1
