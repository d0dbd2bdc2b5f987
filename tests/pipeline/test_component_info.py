"""A component's in/out record from its parents, and the kernel's package list."""

from __future__ import annotations

from orvane_core.misc.models import OrvaneComponentInOutModel
from tests.pipeline.conftest import S, dag


def test_record_comes_from_successful_parents(make_pipeline, recorder):
    p = make_pipeline(
        dag(
            [
                ("p1", "x = 1\nimport json"),
                ("p2", "x = 2\ny = 3"),
                ("p3", "q = 0"),
                ("child", "z = x"),
            ],
            [("p1", "child"), ("p2", "child"), ("p3", "child")],
        )
    )
    p.execute_components(["p1", "p2", "p3"], optimize_memory=False)
    p.nodes["p3"].status = S.FAILED
    p.nodes["p1"].module_statements = {
        "json": "importlib.import_module('json')",
        "os.path": "importlib.import_module('os.path')",
    }
    child = p.nodes["child"]
    child.status = S.SUCCESSFUL
    child.non_module_outputs = {"z": 1, "w": 2}
    recorder.clear()

    p.update_component_info(component_id="child")
    record = child.in_and_out
    assert sorted(record.inputs) == ["x", "y"] and len(record.inputs) == 2
    assert record.outputs == ["z", "w"]
    assert record.imports == [
        "json = importlib.import_module('json')",
        "importlib.import_module('os.path')",
    ]
    assert record.summary == child.outputs_summary
    assert recorder.records == []


def test_root_gets_only_its_own_outputs(make_pipeline):
    p = make_pipeline(dag([("root", "a = 1\nb = 2")]))
    p.execute_all(optimize_memory=False)
    p.nodes["root"].in_and_out = None
    p.update_component_info(component_id="root")
    record = p.nodes["root"].in_and_out
    assert (record.inputs, record.outputs, record.imports) == ([], ["a", "b"], [])


def test_component_that_did_not_succeed_keeps_its_record(make_pipeline):
    p = make_pipeline(dag([("a", "x = 1"), ("b", "y = x")], [("a", "b")]))
    p.execute_all(optimize_memory=False)
    p.nodes["b"].status = S.FAILED
    kept = OrvaneComponentInOutModel(inputs=["kept"])
    p.nodes["b"].in_and_out = kept
    p.update_component_info(component_id="b")
    assert p.nodes["b"].in_and_out == kept


def test_unknown_component_raises_the_mapping_error(make_pipeline):
    import pytest

    p = make_pipeline(dag([("a", "1")]))
    with pytest.raises(KeyError):
        p.update_component_info(component_id="ghost")


def test_requirements_are_stored_as_a_copy_and_read_as_the_same_list(make_pipeline):
    p = make_pipeline(dag([]))
    assert p.python_requirements == []
    packages = ["a==1", "b==2"]
    p.python_requirements = packages
    packages.append("c==3")
    assert p.python_requirements == ["a==1", "b==2"]
    assert p.python_requirements is p.python_requirements
    p.execute_components([])
    listed = p.python_requirements
    assert listed and all(isinstance(line, str) for line in listed)
    assert listed == p._python_requirements == p.info.python_requirements
