"""Pipeline parameters: the values, their text view, and validated replacement."""

from __future__ import annotations

import json
import math

import pytest

from orvane_core.misc import (
    OrvaneComponentStatus,
    OrvaneDiskcacheStatus,
    OrvanePipelineCallbackProcedure,
    OrvanePipelineCallbackStatus,
)
from orvane_core.misc.models import OrvanePipelineParameterModel as Param
from tests.pipeline.test_diskcache_helpers import (
    close_pipeline,
    dag,
    make_pipeline,
    run,
    settle,
)

PARAMS = OrvanePipelineCallbackProcedure.PARAMETERS_UPDATED
UPDATED = OrvanePipelineCallbackProcedure.PIPELINE_UPDATED
INVALID_TEXT = "Parameter names/fields contain invalid Python literals"


@pytest.fixture
def records():
    return []


@pytest.fixture
def pipe(records):
    p = make_pipeline(
        dag([("a", "x = 1", True), ("b", "y = 2", True), ("c", "z = 3", False)], [("a", "b")]),
        records,
    )
    yield p
    close_pipeline(p)


def p(name, value, type_="str"):
    return Param(name=name, type=type_, value=value)


# Value text -> value the pipeline holds.
VALUES = [
    ("1", 1),
    ("1.0", 1.0),
    ("-2.5e3", -2500.0),
    ("True", True),
    ("None", None),
    ('"text"', "text"),
    ("'single'", "single"),
    ("word", "word"),  # a bare word is taken as text
    ("make()", "make()"),  # so is a call
    ("[1, 2]", [1, 2]),
    ("(1, 'a')", (1, "a")),
    ("{'k': [1, {2}]}", {"k": [1, {2}]}),
    ('"quote \\" inside"', 'quote " inside'),
    ('"\\ud83d\\ude00"', "\U0001f600"),  # the view's escape of a character beyond the BMP
    ("  7  ", 7),
]


@pytest.mark.parametrize(("text", "expected"), VALUES)
def test_value_texts(pipe, text, expected):
    pipe.set_parameters(new_parameters=[p("v", text)])
    assert pipe.parameters == {"v": expected}
    assert type(pipe.parameters["v"]) is type(expected)


@pytest.mark.parametrize(
    ("name", "accepted"),
    [
        ("alpha", True),
        ("_private", True),
        ("class_", True),
        ("été", True),
        ("1abc", False),
        ("with-hyphen", False),
        ("", False),
        ("class", False),
        ("None", False),
        ("has space", False),
    ],
)
def test_names(pipe, records, name, accepted):
    records.clear()
    if accepted:
        pipe.set_parameters(new_parameters=[p(name, "1")])
        assert pipe.parameters == {name: 1}
    else:
        with pytest.raises(ValueError, match=INVALID_TEXT):
            pipe.set_parameters(new_parameters=[p(name, "1")])
        assert pipe.parameters == {}
        assert records[-1].failed == {"entries": [p(name, "1").dict()]}


@pytest.mark.parametrize("text", ["", "1 +", "[1,", "'open", "a b"])
def test_unparsable_values_are_rejected(pipe, text):
    with pytest.raises(ValueError, match=INVALID_TEXT):
        pipe.set_parameters(new_parameters=[p("v", text)])


def test_one_bad_record_applies_nothing_and_reports_only_the_bad_ones(pipe, records):
    pipe.set_parameters(new_parameters=[p("keep", "1")])
    records.clear()
    bad = [p("1x", "2"), p("y", "1 +")]
    with pytest.raises(ValueError, match=f"^{INVALID_TEXT}$"):
        pipe.set_parameters(new_parameters=[p("good", "3"), bad[0], p("other", "4"), bad[1]])
    assert pipe.parameters == {"keep": 1}
    (record,) = records
    assert (record.procedure, record.status) == (PARAMS, OrvanePipelineCallbackStatus.FAILED)
    assert record.msg == INVALID_TEXT
    assert record.successful == {"entries": [{"name": "keep", "type": "int", "value": "1"}]}
    assert record.failed == {"entries": [r.dict() for r in bad]}


def test_other_evaluation_errors_propagate_before_anything_changes(pipe, records):
    with pytest.raises(TypeError):
        pipe.set_parameters(new_parameters=[p("v", "{[1]: 2}")])  # unhashable key
    with pytest.raises(TypeError):
        pipe.set_parameters(new_parameters=[Param(name=3, type="int", value="1")])
    assert pipe.parameters == {} and records == []


def test_view_types_and_texts(pipe):
    pipe.set_parameters(
        new_parameters=[
            p("i", "3"),
            p("f", "0.5"),
            p("s", '"a\\"b"'),
            p("u", '"é"'),
            p("l", "[1, 'x']"),
            p("n", "None"),
            p("b", "False"),
        ]
    )
    view = {r.name: (r.type, r.value) for r in pipe.parameters_view}
    assert view == {
        "i": ("int", "3"),
        "f": ("float", "0.5"),
        "s": ("str", '"a\\"b"'),
        "u": ("str", json.dumps("é")),
        "l": ("list", "[1, 'x']"),
        "n": ("NoneType", "None"),
        "b": ("bool", "False"),
    }
    assert [r.name for r in pipe.parameters_view] == ["i", "f", "s", "u", "l", "n", "b"]


@pytest.mark.parametrize(
    "value",
    [1, -3, 0.1, 1e300, True, None, "plain", 'with "quotes"', "é ü", "\U0001f600 beyond", [1, "a"]],
)
def test_view_round_trip_is_no_change(pipe, records, value):
    pipe._parameters["v"] = value
    records.clear()
    pipe.set_parameters(new_parameters=pipe.parameters_view)
    assert records == []  # equal values: no callback, no invalidation
    assert pipe.parameters == {"v": value}


@pytest.mark.parametrize("value", [math.inf, -math.inf])
def test_non_finite_floats_stay_floats_through_the_view(pipe, value):
    pipe._parameters["v"] = value
    view = pipe.parameters_view
    assert view[0].value in ("inf", "-inf") and view[0].type == "float"
    pipe.set_parameters(new_parameters=view)
    assert pipe.parameters == {"v": value}


def test_bare_inf_without_float_type_is_text(pipe):
    pipe.set_parameters(new_parameters=[p("v", "inf", "str")])
    assert pipe.parameters == {"v": "inf"}


def test_later_record_with_same_name_wins(pipe):
    pipe.set_parameters(new_parameters=[p("v", "1"), p("w", "2"), p("v", "3")])
    assert pipe.parameters == {"v": 3, "w": 2}
    assert [r.name for r in pipe.parameters_view] == ["v", "w"]


def test_empty_set_on_empty_parameters_does_nothing(pipe, records):
    pipe.set_parameters(new_parameters=[])
    assert records == [] and pipe.parameters == {}


def test_parameters_is_a_copy(pipe):
    pipe.set_parameters(new_parameters=[p("v", "1")])
    copy = pipe.parameters
    copy["v"] = 99
    assert pipe.parameters == {"v": 1}


def test_change_replaces_in_place_reports_and_invalidates(pipe, records, shell):
    for cid in ("a", "b", "c"):
        run(pipe, cid, shell)
    settle(pipe)
    run(pipe, "a", shell)  # a's rewrite is pending
    store = pipe._parameters
    records.clear()
    pipe.set_parameters(new_parameters=[p("lr", "0.1"), p("name", '"x"')])
    assert pipe._parameters is store
    assert list(pipe.parameters) == ["lr", "name"]
    first, *middle, last = records
    assert (first.procedure, first.status) == (PARAMS, OrvanePipelineCallbackStatus.SUCCESSFUL)
    assert first.msg == "Parameters have updated successfully."
    assert first.successful == {
        "entries": [
            {"name": "lr", "type": "float", "value": "0.1"},
            {"name": "name", "type": "str", "value": '"x"'},
        ]
    }
    assert first.failed == {}
    # Exactly one cancel (for a's pending write), then the final summary.
    assert [r.procedure for r in middle] == [UPDATED]
    assert last.procedure == UPDATED
    for component in pipe.nodes.values():
        assert component.status == OrvaneComponentStatus.INVALID
        assert component.diskcache_status == OrvaneDiskcacheStatus.UNCACHED
        assert component.diskcache_dir is None


def test_unchanged_values_send_nothing(pipe, records, shell):
    pipe.set_parameters(new_parameters=[p("v", "1")])
    run(pipe, "c", shell, queue=False)
    records.clear()
    pipe.set_parameters(new_parameters=[p("v", "1.0", "float")])  # 1 == 1.0
    assert records == []
    assert pipe.nodes["c"].status == OrvaneComponentStatus.SUCCESSFUL


@pytest.mark.parametrize("bad", [None, 5])
def test_new_parameters_must_be_iterable(pipe, bad):
    with pytest.raises(TypeError):
        pipe.set_parameters(new_parameters=bad)


def test_constructor_applies_parameters_with_a_callback(records):
    q = make_pipeline(
        dag([("a", "x = 1", False)]), records, parameters=[p("v", "2"), p("w", "'t'")]
    )
    try:
        assert q.parameters == {"v": 2, "w": "t"}
        assert records[0].procedure == PARAMS
    finally:
        close_pipeline(q)
