"""A pipeline inside a real kernel: its connection, its id and its results on the wire."""

from __future__ import annotations

import textwrap

import pytest

from tests.kernel import run, running_kernel

pytestmark = [pytest.mark.kernel, pytest.mark.slow]

SETUP = textwrap.dedent(
    """
    import os
    from tests.pipeline.conftest import Pipeline, dag
    records = []
    pipeline = Pipeline(
        identifier="in-kernel",
        graph=dag([("a", "x = 20"), ("b", "print('from b')\\nx * 2 + 2")], [("a", "b")]),
        callback=records.append,
        shell=get_ipython(),
    )
    """
)


@pytest.fixture(scope="module")
def kernel():
    with running_kernel() as kernel:
        yield kernel


def value(client, expression):
    messages = run(client, expression)
    results = [
        m["content"]["data"]["text/plain"] for m in messages if m["msg_type"] == "execute_result"
    ]
    return results[-1]


def test_pipeline_knows_its_kernel_and_publishes_results(kernel):
    manager, client = kernel
    run(client, SETUP)
    assert value(client, "pipeline._ipykernel_connection") == repr(manager.connection_file)
    assert value(client, "os.environ['ORVANE_DAG']") == "'in-kernel'"

    messages = run(client, "_ = pipeline.execute_component('b')")
    results = [m["content"] for m in messages if m["msg_type"] == "execute_result"]
    assert {
        "execution_count": 0,
        "data": {"text/plain": "42"},
        "metadata": {"component_id": "b"},
    } in results
    streams = [m for m in messages if m["msg_type"] == "stream"]
    assert any("from b" in m["content"]["text"] for m in streams)
    assert value(client, "x") == "20"  # outputs were pushed into the kernel's namespace
    assert value(client, "pipeline.nodes['b'].status.value") == "'successful'"
