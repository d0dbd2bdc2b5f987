"""Shared records and enumerations: plain mappings for the front end, safe defaults, pickling."""

from __future__ import annotations

import json
import pickle
from http import HTTPStatus

import cloudpickle
import pytest

from orvane_core.capture import OrvaneCapturedIO
from orvane_core.misc import (
    OrvaneComponentStatus,
    OrvanePipelineCallbackProcedure,
    OrvanePipelineCallbackStatus,
    OrvanePipelineError,
)
from orvane_core.misc.models import (
    OrvaneCacheModel,
    OrvaneComponentInfoModel,
    OrvaneComponentInOutModel,
    OrvaneComponentMetadataModel,
    OrvaneComponentOutputsSummaryModel,
    OrvaneComponentRemoteConfigModel,
    OrvaneDagInfoModel,
    OrvaneExecutionResponseModel,
    OrvaneOutputVariableModel,
    OrvanePipelineCallbackDataModel,
    OrvanePipelineInfoModel,
    OrvanePipelineParameterModel,
)


def plain(value) -> bool:
    """True when ``value`` is built only from dicts, lists and scalars."""
    if isinstance(value, dict):
        return all(isinstance(k, str) and plain(v) for k, v in value.items())
    if isinstance(value, list):
        return all(plain(v) for v in value)
    return value is None or isinstance(value, str | int | float | bool)


def component_info() -> OrvaneComponentInfoModel:
    return OrvaneComponentInfoModel(
        identifier="c1",
        name="load",
        code="x = 1",
        metadata=OrvaneComponentMetadataModel(
            diskcache=True,
            remoteExecution=OrvaneComponentRemoteConfigModel(backend="b://", broker="q://"),
        ),
        execution_status="successful",
        diskcache_status="cached",
        diskcache_dir="/tmp/c1",
        inputs=["a"],
        outputs=["x"],
        imports=["np = importlib.import_module('numpy')"],
        summary=OrvaneComponentOutputsSummaryModel(
            variables=[OrvaneOutputVariableModel(name="x", type="int", size=28)]
        ),
        last_execution="",
    )


def test_component_info_dict_is_plain_and_nested():
    data = component_info().dict()
    assert plain(data)
    assert data["metadata"] == {
        "diskcache": True,
        "remoteExecution": {"backend": "b://", "broker": "q://"},
        "componentType": "code",
    }
    assert data["summary"]["variables"][0] == {
        "name": "x",
        "type": "int",
        "shape": None,
        "length": None,
        "size": 28,
    }
    json.dumps(data)


def test_pipeline_info_dict_holds_the_component_mappings_and_parameters():
    components = [component_info().dict()]
    info = OrvanePipelineInfoModel(
        id="p",
        components=components,
        edges=[{"source": "c1", "target": "c2"}],
        parameters=[OrvanePipelineParameterModel(name="lr", type="float", value="0.1")],
        diskcache_dir="/tmp/p",
        python_requirements=["numpy==2.0"],
    )
    data = info.dict()
    assert plain(data)
    assert data["parameters"] == [{"name": "lr", "type": "float", "value": "0.1"}]
    assert data["components"] == components
    # The list is copied, so later changes to the record do not reach a sent summary.
    info.components.append({"id": "later"})
    assert len(data["components"]) == 1
    dag_fields = set(OrvaneDagInfoModel.__struct_fields__)
    assert not dag_fields & {"parameters", "diskcache_dir", "python_requirements"}


@pytest.mark.parametrize(
    ("status", "expected"),
    [
        (OrvanePipelineCallbackStatus.SUCCESSFUL, OrvanePipelineCallbackStatus.SUCCESSFUL),
        ("successful", OrvanePipelineCallbackStatus.SUCCESSFUL),
        ("failed", OrvanePipelineCallbackStatus.FAILED),
    ],
)
def test_callback_status_accepts_members_and_the_two_texts(status, expected):
    record = OrvanePipelineCallbackDataModel(
        procedure="diskcache_updated", status=status, msg="m", successful={"a": 1}, failed={}
    )
    assert record.status is expected
    assert record.procedure is OrvanePipelineCallbackProcedure.DISKCACHE_UPDATED
    assert record.dict()["status"] == expected


@pytest.mark.parametrize("status", ["ok", "", None])
def test_callback_status_rejects_other_values(status):
    with pytest.raises(ValueError):
        OrvanePipelineCallbackDataModel(
            procedure=OrvanePipelineCallbackProcedure.PIPELINE_UPDATED, status=status
        )


@pytest.mark.parametrize(
    "factory",
    [
        OrvaneComponentInOutModel,
        OrvaneComponentOutputsSummaryModel,
        OrvaneCacheModel,
        OrvaneComponentMetadataModel,
    ],
)
def test_default_records_do_not_share_mutable_fields(factory):
    first, second = factory(), factory()
    for name in factory.__struct_fields__:
        value = getattr(first, name)
        if isinstance(value, list | dict):
            assert value is not getattr(second, name), name


def test_execution_response_survives_cloudpickle():
    response = OrvaneExecutionResponseModel(
        status=HTTPStatus.PARTIAL_CONTENT,
        result=OrvaneCacheModel(
            module_statements={"np": "importlib.import_module('numpy')"},
            non_module_outputs={"f": lambda v: v + 1},
            last_output=3,
            captured=OrvaneCapturedIO(
                outputs=[{"type": "stream", "name": "<stdout>", "text": "x"}]
            ),
            outputs_summary=OrvaneComponentOutputsSummaryModel(),
        ),
        message="warning",
    )
    copy = cloudpickle.loads(cloudpickle.dumps(response))
    assert copy.status is HTTPStatus.PARTIAL_CONTENT
    assert copy.result.non_module_outputs["f"](1) == 2
    assert copy.result.captured == response.result.captured
    assert copy.message == "warning"


@pytest.mark.parametrize("dumps", [pickle.dumps, cloudpickle.dumps])
def test_pipeline_error_keeps_its_banner_through_pickling(dumps):
    error = OrvanePipelineError(picked_stb=["a", "b"])
    copy = pickle.loads(dumps(error))
    assert copy.picked_stb == ["a", "b"]
    assert str(copy) == "a\nb"
    assert type(copy).__name__ == "OrvanePipelineError"


_STATUS = OrvaneComponentStatus.FAILED
_REMOTE = OrvaneComponentRemoteConfigModel(backend="b://", broker="q://")


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        # Records nested in mappings and lists become mappings; tuples become lists.
        (
            {"m": OrvaneComponentMetadataModel(remoteExecution=_REMOTE), "t": ("a", 1)},
            {"m": {"diskcache": False, "remoteExecution": {"backend": "b://", "broker": "q://"},
                   "componentType": "code"}, "t": ["a", 1]},
        ),
        # Enumeration members, bytes, sets and objects without a plain form stay as they are,
        # at the top and nested.
        (
            {"s": _STATUS, "b": b"x", "set": {1}, "o": HTTPStatus.OK, "none": None},
            {"s": _STATUS, "b": b"x", "set": {1}, "o": HTTPStatus.OK, "none": None},
        ),
        (
            {"l": [_STATUS, "a"], "d": {"s": _STATUS, 1: [b"y"]}, "e": pickle},
            {"l": [_STATUS, "a"], "d": {"s": _STATUS, 1: [b"y"]}, "e": pickle},
        ),
    ],
)  # fmt: skip
def test_record_dict_makes_nested_records_plain_and_keeps_other_values(value, expected):
    out = OrvaneCacheModel(sources=value).dict()["sources"]
    assert repr(out) == repr(expected)  # repr tells an enumeration member from its text
