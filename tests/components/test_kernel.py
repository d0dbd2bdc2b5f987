"""A component inside a real kernel: its results reach the front end as kernel messages."""

from __future__ import annotations

import textwrap

import pytest

from tests.kernel import run, running_kernel

pytestmark = [pytest.mark.kernel, pytest.mark.slow]

SETUP = textwrap.dedent(
    """
    from orvane_core.components.vostrel import OrvaneComponentVostrel
    from orvane_core.misc.models import OrvaneComponentModel
    component = OrvaneComponentVostrel(
        OrvaneComponentModel(id="kernel-comp", name="K", code="print('hello')\\nv = 20\\nv * 2 + 2")
    )
    result = component.execute(module_statements={}, non_module_inputs={}, shell=get_ipython())
    assert result == 42, result
    """
)


@pytest.fixture(scope="module")
def kernel():
    with running_kernel() as (_, client):
        yield client


def test_last_output_and_captured_output_reach_the_front_end(kernel):
    run(kernel, SETUP)
    messages = run(
        kernel, "component.show_last_output(get_ipython())\ncomponent.show_captured(get_ipython())"
    )
    results = [m for m in messages if m["msg_type"] == "execute_result"]
    assert len(results) == 1
    content = results[0]["content"]
    assert content["execution_count"] == 0
    assert content["data"] == {"text/plain": "42"}
    assert content["metadata"] == {"component_id": "kernel-comp"}
    streams = [m["content"] for m in messages if m["msg_type"] == "stream"]
    assert {"name": "stdout", "text": "hello\n"} in streams


def test_nothing_is_sent_for_an_empty_last_output(kernel):
    run(kernel, SETUP)
    messages = run(
        kernel, "component.last_output = None\ncomponent.show_last_output(get_ipython())"
    )
    assert [m for m in messages if m["msg_type"] == "execute_result"] == []
