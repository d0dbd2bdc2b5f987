"""Component headers, the declared graph, and the text users write for parameters and searches."""

import re

import pytest

from orvane_core.frontend.declarations import (
    ComponentHeader,
    ComponentRegistry,
    OrvaneUsageError,
    parse_header,
    split_cell,
)
from orvane_core.frontend.session import parameter_records, parse_assignments, search_space


@pytest.mark.parametrize(
    "text, expected",
    [
        ("data", ComponentHeader("data")),
        ("train after a, b --no-cache", ComponentHeader("train", ("a", "b"), False)),
        ("t after a b", ComponentHeader("t", ("a", "b"))),
        (
            "t --remote redis://h:1/0",
            ComponentHeader("t", (), True, "redis://h:1/0", "redis://h:1/0"),
        ),
        ("t --remote r://b --backend r://k", ComponentHeader("t", (), True, "r://b", "r://k")),
    ],
)
def test_headers_parse_and_format_back(text, expected):
    assert parse_header(text) == expected
    assert split_cell(expected.format() + "\nx = 1") == (expected, "x = 1")


@pytest.mark.parametrize(
    "text, fix",
    [
        ("", "needs a name"),
        ("1x", "not a valid component name"),
        ("a after", "at least one parent"),
        ("a after a", "its own parent"),
        ("a --remote", "needs a URL"),
        ("a --fast", "Unknown option"),
        ("a --backend r://x", "only applies with --remote"),
    ],
)
def test_bad_headers_say_how_to_fix_them(text, fix):
    with pytest.raises(OrvaneUsageError, match=fix):
        parse_header(text)


def test_plain_cells_are_not_components():
    assert split_cell("x = 1\n%%component a") is None
    assert split_cell("%%componentx a") is None


def test_registry_rejects_unknown_parents_and_cycles():
    reg = ComponentRegistry()
    reg.declare(parse_header("a"), "x = 1")
    reg.declare(parse_header("b after a"), "y = x")
    with pytest.raises(OrvaneUsageError, match="Unknown parent 'zz'.*Declared components: a, b"):
        reg.declare(parse_header("c after zz"), "")
    with pytest.raises(OrvaneUsageError, match="Unknown parents 'y', 'zz' of 'c'.*parents' cells"):
        reg.declare(parse_header("c after a y zz"), "")
    with pytest.raises(OrvaneUsageError, match=r"cycle \(a -> b -> a\)"):
        reg.declare(parse_header("a after b"), "x = 1")
    # A refused declaration leaves the graph as it was.
    assert reg.graph().execution_plan(["b"]) == ["a", "b"]
    assert reg.declarations["a"].parents == ()


@pytest.mark.parametrize(
    "cells, header, walk",
    [
        (
            [("a", "x = 1"), ("b after a", "y = x"), ("c after b", "z = y")],
            "a after c",
            "a -> b -> c -> a",
        ),
        # The edge back comes from the names c reads.
        ([("a", "x = 1"), ("b", "y = x"), ("c", "z = y")], "b after c", "b -> c -> b"),
    ],
)
def test_a_cycle_is_refused_with_its_walk_from_the_declared_component(cells, header, walk):
    reg = ComponentRegistry()
    for text, code in cells:
        reg.declare(parse_header(text), code)
    with pytest.raises(OrvaneUsageError, match=re.escape(f"makes a cycle ({walk})")):
        reg.declare(parse_header(header), "y = 2")
    assert reg.graph().execution_plan(["c"]) == ["a", "b", "c"]


def test_ids_follow_code_and_everything_upstream():
    reg = ComponentRegistry()
    reg.declare(parse_header("a"), "x = 1")
    reg.declare(parse_header("b after a"), "y = x\n")
    reg.declare(parse_header("c"), "z = 0")
    before = reg.ids()
    reg.declare(parse_header("b after a"), "y = x")  # trailing newline is not a change
    assert reg.ids() == before
    reg.declare(parse_header("a"), "x = 2")
    after = reg.ids()
    assert [after[n] == before[n] for n in "abc"] == [False, False, True]


@pytest.mark.parametrize(
    "text, pairs",
    [
        ("a=1, b='x y'", [("a", "1"), ("b", "'x y'")]),
        ("a=1 b=[1, 2] c=ridge", [("a", "1"), ("b", "[1, 2]"), ("c", "ridge")]),
        ("a=1 b=2,", [("a", "1"), ("b", "2")]),
    ],
)
def test_parameter_text(text, pairs):
    assert parse_assignments(text) == pairs


@pytest.mark.parametrize(
    "text, quoted",
    [("1", "'1'"), ("a=1 2b=3", "'2b'"), ("class=1", "'class'"), ("a=1+", "'1+'"),
     ("scale=[1,", "'[1,'"), ("scale=[1, b=2", "'[1,'")],
)  # fmt: skip
def test_bad_parameter_text_is_quoted_as_typed(text, quoted):
    with pytest.raises(OrvaneUsageError, match=re.escape(quoted)):
        parameter_records(text)


def test_search_ranges():
    assert search_space(["a=0.1:10:log", "n=1:5:int", "s=0:1:step:0.25"]) == {
        "a": {"low": 0.1, "high": 10.0, "distribution": "loguniform"},
        "n": {"low": 1.0, "high": 5.0, "distribution": "int"},
        "s": {"low": 0.0, "high": 1.0, "distribution": "discrete_uniform", "interval": 0.25},
    }
    for bad in (["a=1"], ["a=2:1"], ["a=x:1"], ["a=1:2:gauss"], []):
        with pytest.raises(OrvaneUsageError):
            search_space(bad)


# The seven-component notebook users start from: load -> clean -> {calendar, market} -> model
SEVEN = [
    ("load", "import numpy as np\ndata = np.arange(10)"),
    ("clean", "data = data[data > 1]"),
    ("calendar", "days = data % 7"),
    ("market", "prices = data * 2.0"),
    ("model", "weights = np.polyfit(days, prices, 1) * ridge"),
    ("evaluate", "score = float(weights.sum())\nscore"),
]


@pytest.mark.parametrize(
    "extra, expected",
    [
        # From the names read: `data` comes from clean, which runs after load; `np`, imported by
        # load, reaches model through its parents.
        (
            None,
            {"clean": ("load",), "calendar": ("clean",), "model": ("calendar", "market")},
        ),
        # `after` pins the parents, and inference leaves them alone.
        (("report after model", "print(weights)"), {"report": ("model",)}),
        # A component reading everything (a magic) gets the last definer of every name.
        (
            ("dump", "%who\nnames = 1"),
            {"dump": ("clean", "calendar", "market", "model", "evaluate")},
        ),
        # A module alone comes from the component that imports it.
        (("ones", "np.ones(3)"), {"ones": ("load",)}),
        # A name nobody defines (a parameter, a builtin) adds no parent.
        (("alone", "x = ridge + len([1])"), {"alone": ()}),
    ],
)
def test_parents_come_from_the_names_cells_use(extra, expected):
    reg = ComponentRegistry()
    for name, code in SEVEN + ([extra] if extra else []):
        reg.declare(parse_header(name), code)
    for name, parents in expected.items():
        assert reg.declarations[name.split()[0]].parents == parents
    inferred = reg.inferred_edges()
    assert ("clean", "calendar") in inferred and ("model", "report") not in inferred


@pytest.mark.parametrize(
    "cells, message",
    [
        # Two definers, neither downstream of the other: the header must say which.
        (
            [("a", "v = 1"), ("b", "v = 2"), ("c", "w = v")],
            r"'c' reads 'v' \(defined by a, b\).*%%component c after PARENT",
        ),
    ],
)
def test_ambiguous_parents_are_refused_with_the_candidates(cells, message):
    reg = ComponentRegistry()
    for name, code in cells[:-1]:
        reg.declare(parse_header(name), code)
    with pytest.raises(OrvaneUsageError, match=message):
        reg.declare(parse_header(cells[-1][0]), cells[-1][1])


def test_a_name_only_a_non_parent_defines_is_warned_about():
    reg = ComponentRegistry()
    reg.declare(parse_header("a"), "v = 1")
    reg.declare(parse_header("b"), "u = 2")
    assert reg.declare(parse_header("c after b"), "w = v + u") == [
        "'c' reads 'v', which only 'a' defines, and that is not among its parents: add it with "
        "'%%component c after ...' or the cell will not see it."
    ]
    assert reg.declare(parse_header("d after b"), "w = v + u", provided=frozenset({"v"})) == []
