"""Component state: construction, setter rules, the status state machine, info and summaries."""

from __future__ import annotations

import pytest

import orvane_core.executors.component_executors.utils as executor_utils
from orvane_core.cache.memory import OrvaneInMemoryCache
from orvane_core.capture import OrvaneCapturedIO
from orvane_core.common.mixins import LoggingMixin
from orvane_core.components import vostrel
from orvane_core.components.vostrel import OrvaneComponentVostrel
from orvane_core.misc import OrvaneComponentStatus as S
from orvane_core.misc import OrvaneDiskcacheStatus as D
from orvane_core.misc import OrvanePipelineError
from orvane_core.misc.models import (
    OrvaneComponentInOutModel,
    OrvaneComponentMetadataModel,
    OrvaneComponentModel,
    OrvaneComponentOutputsSummaryModel,
    OrvaneComponentRemoteConfigModel,
)

REMOTE = OrvaneComponentRemoteConfigModel(backend="redis://b", broker="redis://q")


def filled_cache() -> OrvaneInMemoryCache:
    cache = OrvaneInMemoryCache()
    cache.non_module_outputs = {"x": 1}
    cache.last_output = 1
    return cache


def test_module_constants_and_docstrings():
    assert vostrel.EXC_LINE_LENGTH == 75
    assert vostrel.EXC_TRACEBACK == "Traceback (most recent call last)"
    cls = OrvaneComponentVostrel
    assert cls.__doc__ == "Data structure to represent a code cell in a pipeline (or a graph node.)"
    assert cls.execute.__doc__ == "Execute synchronously."
    assert cls.load_diskcache.__doc__ == "Load cache from disk."
    assert issubclass(cls, LoggingMixin)


def test_constructor_sets_initial_state_and_fills_metadata():
    record = OrvaneComponentModel(id="a", name="A", code="x = 1")
    component = OrvaneComponentVostrel(record)
    assert isinstance(record.metadata, OrvaneComponentMetadataModel)
    assert component.metadata is record.metadata
    assert component._in_and_out == OrvaneComponentInOutModel()
    assert component._in_memory_cache == OrvaneInMemoryCache() and component._diskcache is None
    assert component._diskcache_status is D.UNCACHED and component._success_count == 0
    assert (component.id, component.name, component.cell_code) == ("a", "A", "x = 1")
    assert component.status is S.INVALID and component.success_count == 0
    assert component.diskcache_status is D.UNCACHED and component.diskcache_dir is None
    assert component.logger.name.endswith("OrvaneComponentVostrel")


class OrvaneComponentCustom(OrvaneComponentVostrel):
    pass


class Custom(OrvaneComponentVostrel):
    pass


def test_subclass_names_are_checked_by_qualified_name():
    def local():
        class OrvaneComponentLocal(OrvaneComponentVostrel):
            pass

        return OrvaneComponentLocal

    assert OrvaneComponentCustom(OrvaneComponentModel(id="a")).id == "a"
    for cls in (Custom, local()):
        with pytest.raises(
            AssertionError, match=r"^Class name must start with 'OrvaneComponent'\.$"
        ):
            cls(OrvaneComponentModel(id="b"))


@pytest.mark.parametrize(
    ("start", "target", "final", "count", "caches_cleared"),
    [
        (S.INVALID, S.SUCCESSFUL, S.SUCCESSFUL, 1, False),
        (S.SUCCESSFUL, S.SUCCESSFUL, S.SUCCESSFUL, 1, False),
        (S.SUCCESSFUL, S.FAILED, S.FAILED, 1, False),
        (S.SUCCESSFUL, S.RUNNING, S.RUNNING, 1, False),
        (S.SUCCESSFUL, S.INVALID, S.INVALID, 1, True),
        (S.INVALID, S.INVALID, S.INVALID, 0, False),
    ],
)
def test_status_state_machine(make_component, start, target, final, count, caches_cleared):
    component = make_component()
    component.status = start
    component.load_in_memory_cache(filled_cache())
    io = OrvaneComponentInOutModel(inputs=["a"], outputs=["b"])
    component.in_and_out = io
    component.status = target
    assert component.status is final
    assert component.success_count == count
    assert (component.last_output is None) == caches_cleared
    if target is S.SUCCESSFUL or target is start:
        assert component.in_and_out is io
    else:
        assert component.in_and_out == OrvaneComponentInOutModel()


@pytest.mark.parametrize(
    ("prop", "value", "message"),
    [
        ("status", "successful", "successful is not a valid component status."),
        ("status", D.CACHED, "cached is not a valid component status."),
        ("status", None, "None is not a valid component status."),
        ("diskcache_status", "cached", "cached is not a valid diskcache status."),
        ("diskcache_status", S.FAILED, "failed is not a valid diskcache status."),
    ],
)
def test_enumeration_setters_reject_foreign_values(make_component, prop, value, message):
    component = make_component()
    before = getattr(component, prop)
    with pytest.raises(AssertionError) as info:
        setattr(component, prop, value)
    assert str(info.value) == message
    assert getattr(component, prop) is before


@pytest.mark.parametrize(
    ("prop", "argument"),
    [("name", "new_name"), ("cell_code", "new_cell_code"), ("diskcache_dir", "new_diskcache_dir")],
)
@pytest.mark.parametrize("value", [b"bytes", 3, ["x"]])
def test_text_setters_accept_only_text_or_none(make_component, prop, argument, value):
    component = make_component()
    with pytest.raises(TypeError, match=argument):
        setattr(component, prop, value)
    assert component.status is S.INVALID


def test_load_diskcache_rejects_bytes(make_component):
    with pytest.raises(TypeError, match="cache_dir"):
        make_component().load_diskcache(b"/tmp")


def test_name_accepts_none_and_same_name_changes_nothing(make_component):
    component = make_component(name="n")
    component._summary_sink = sink = set()
    component.name = "n"
    assert sink == set()
    component.name = None
    assert component.name is None and sink == {component.id}


def test_cell_code_change_invalidates_and_same_text_does_not(make_component, tmp_path, write_cache):
    component = make_component(code="a = 1", diskcache=True)
    directory = write_cache(tmp_path / "c", last_output=5)
    component.status = S.SUCCESSFUL
    assert component.load_diskcache(directory)
    component.in_and_out = OrvaneComponentInOutModel(outputs=["a"])
    component.cell_code = "a = 1"
    assert component.status is S.SUCCESSFUL and component.diskcache_dir == directory

    component.cell_code = "a = 2"
    assert component.status is S.INVALID
    assert component.diskcache_dir is None and not (tmp_path / "c").exists()
    assert component.in_and_out == OrvaneComponentInOutModel()
    assert component.last_output is None and component.diskcache_status is D.UNCACHED


def test_cell_code_change_on_invalid_component_still_reports(make_component):
    component = make_component(code="a")
    component._summary_sink = sink = set()
    component.cell_code = "b"
    assert component.cell_code == "b" and sink == {component.id}


@pytest.mark.parametrize(
    ("new", "expected_remote"),
    [
        (OrvaneComponentMetadataModel(diskcache=True), REMOTE),
        (None, REMOTE),
        (
            OrvaneComponentMetadataModel(
                remoteExecution=OrvaneComponentRemoteConfigModel(backend="x", broker="y")
            ),
            "other",
        ),
    ],
)
def test_metadata_keeps_remote_config(make_component, new, expected_remote):
    component = make_component()
    component.remote_config = REMOTE
    component.metadata = new
    remote = component.remote_config
    if expected_remote == "other":
        assert remote.backend == "x"
    else:
        assert remote == expected_remote
    if new is None:
        assert component.metadata.diskcache is False


def test_remote_config_false_values_clear_it(make_component):
    component = make_component()
    component.remote_config = REMOTE
    assert component.metadata.remoteExecution is REMOTE
    component.remote_config = None
    assert component.remote_config is None


def test_use_diskcache_off_unloads_before_flag_changes(make_component, tmp_path, write_cache):
    component = make_component(diskcache=True)
    directory = write_cache(tmp_path / "d", exception_msg=["e"])
    component.status = S.FAILED
    component.load_diskcache(directory)
    cache = component._diskcache
    assert cache.exception_msg == ["e"]
    component._summary_sink = sink = set()
    component.use_diskcache = True
    assert sink == set() and component.diskcache_dir == directory
    component.use_diskcache = False
    # Unloaded while the flag still read on: the cache was emptied and its directory removed.
    assert cache.exception_msg is None and not (tmp_path / "d").exists()
    assert component.diskcache_dir is None and component.use_diskcache is False
    assert component.diskcache_status is D.UNCACHED


def test_diskcache_status_reads_cached_while_enabled_and_attached(
    make_component, tmp_path, write_cache
):
    component = make_component(diskcache=True)
    component.status = S.SUCCESSFUL
    component.load_diskcache(write_cache(tmp_path / "e", last_output=1))
    component.diskcache_status = D.UPDATING
    assert component.diskcache_status is D.CACHED
    assert component._diskcache_status is D.UPDATING
    component._metadata.diskcache = False
    assert component.diskcache_status is D.UPDATING


def test_cache_source_rule(make_component, tmp_path, write_cache):
    component = make_component(diskcache=True)
    component.status = S.SUCCESSFUL
    directory = write_cache(
        tmp_path / "f",
        last_output="disk",
        non_module_outputs={"d": 1},
        outputs_summary=OrvaneComponentOutputsSummaryModel(),
    )
    component.load_diskcache(directory)
    assert component.last_output == "disk" and component.non_module_outputs == {"d": 1}

    component.last_output = "memory"
    assert component.last_output == "memory"
    assert component.non_module_outputs == {}  # memory now holds a result, so memory wins
    component.clear_in_memory_cache()
    assert component.last_output == "disk"
    component._metadata.diskcache = False
    assert component.last_output is None


def test_outputs_summary_without_in_memory_cache(make_component):
    component = make_component()
    component._in_memory_cache = None
    assert component.outputs_summary == OrvaneComponentOutputsSummaryModel()


def test_exception_property(make_component):
    component = make_component()
    assert component.exception is None
    component.exception_msg = []
    assert component.exception is None
    component.exception_msg = ["line one", "line two"]
    first, second = component.exception, component.exception
    assert isinstance(first, OrvanePipelineError) and first is not second
    assert first.picked_stb == ["line one", "line two"]


def test_outputs_evaluates_statements_over_values(make_component):
    component = make_component()
    component.non_module_outputs = {"a": 1, "json": "shadowed"}
    component.module_statements = {
        "json": "importlib.import_module('json')",
        "echo": "(sym, stmt[:9], outputs['a'], self.id)",
    }
    first = component.outputs
    assert first["a"] == 1 and first["json"].__name__ == "json"
    assert first["echo"] == ("echo", "(sym, stm", 1, component.id)
    assert component.non_module_outputs == {"a": 1, "json": "shadowed"}
    assert component.outputs is not first


def test_info_record(make_component, tmp_path, write_cache):
    component = make_component(name="N", code="y = 2", diskcache=True)
    component.in_and_out = OrvaneComponentInOutModel(inputs=["i"], outputs=["o"], imports=["m"])
    info = component.info
    assert (info.identifier, info.name, info.code) == (component.id, "N", "y = 2")
    assert info.execution_status is S.INVALID and info.diskcache_status is D.UNCACHED
    assert (info.inputs, info.outputs, info.imports) == (["i"], ["o"], ["m"])
    assert info.last_execution == "" and info.diskcache_dir is None
    component.status = S.SUCCESSFUL
    directory = write_cache(tmp_path / "g", last_output=1)
    component.load_diskcache(directory)
    assert component.info.diskcache_status is D.CACHED
    assert component.info.diskcache_dir == directory


CHANGES = {
    "status": lambda c, t: setattr(c, "status", S.FAILED),
    "name": lambda c, t: setattr(c, "name", "other"),
    "cell_code": lambda c, t: setattr(c, "cell_code", "z = 3"),
    "metadata": lambda c, t: setattr(
        c, "metadata", OrvaneComponentMetadataModel(componentType="x")
    ),
    "use_diskcache": lambda c, t: setattr(c, "use_diskcache", True),
    "remote_config": lambda c, t: setattr(c, "remote_config", REMOTE),
    "in_and_out": lambda c, t: setattr(c, "in_and_out", OrvaneComponentInOutModel(inputs=["q"])),
    "diskcache_status": lambda c, t: setattr(c, "diskcache_status", D.FAILED),
    "last_output": lambda c, t: setattr(c, "last_output", 3),
    "captured": lambda c, t: setattr(c, "captured", OrvaneCapturedIO(outputs=[])),
    "outputs_summary": lambda c, t: setattr(c, "outputs_summary", None),
    "load_in_memory_cache": lambda c, t: c.load_in_memory_cache(filled_cache()),
    "clear_in_memory_cache": lambda c, t: c.clear_in_memory_cache(),
    "load_diskcache_failed": lambda c, t: c.load_diskcache(str(t / "missing")),
    "unload_diskcache": lambda c, t: c.unload_diskcache(),
    "handle_error": lambda c, t: c.handle_error(ValueError("x")),
}


@pytest.mark.parametrize("change", sorted(CHANGES))
def test_every_change_drops_the_cached_summary_and_marks_the_sink(make_component, tmp_path, change):
    component = make_component()
    component._summary_sink = sink = set()
    cached = component._info_dict()
    assert component._info_dict() is cached
    CHANGES[change](component, tmp_path)
    assert sink == {component.id}
    rebuilt = component._info_dict()
    assert rebuilt is not cached
    assert rebuilt == component.info.dict()


def test_reads_and_equal_values_leave_the_summary_alone(make_component):
    component = make_component(name="same")
    component._summary_sink = sink = set()
    cached = component._info_dict()
    _ = (component.info, component.outputs, component.status, component.diskcache_status)
    component.status = S.INVALID
    component.name = "same"
    component.in_and_out = OrvaneComponentInOutModel()
    component.use_diskcache = False
    assert sink == set() and component._info_dict() is cached


def test_no_sink_by_default(make_component):
    component = make_component()
    assert component._summary_sink is None
    component.status = S.RUNNING  # must not fail without a sink


def test_last_expr_uses_the_source_helpers(make_component, monkeypatch):
    seen = []
    monkeypatch.setattr(
        executor_utils,
        "parse_last_expr_from_code",
        lambda code: (seen.append(code) or code.splitlines()[-1], code),
        raising=False,
    )
    component = make_component(code="a = 1\na + 1")
    assert component.last_expr == "a + 1"
    component.cell_code = "b = 2\nb"
    assert component.last_expr == "b" and len(seen) == 2

    monkeypatch.setattr(executor_utils, "parse_last_expr_from_code", lambda code: ("a",))
    with pytest.raises(ValueError, match="not enough values to unpack"):
        _ = component.last_expr
    monkeypatch.setattr(executor_utils, "parse_last_expr_from_code", lambda code: (1, 2))
    with pytest.raises(TypeError):
        _ = component.last_expr
