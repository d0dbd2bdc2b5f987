"""A pipeline inside a real kernel: its connection, its id and its results on the wire."""

from __future__ import annotations

import os
import textwrap

import pytest

pytestmark = [pytest.mark.kernel, pytest.mark.slow]

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

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
    from jupyter_client.manager import start_new_kernel

    manager, client = start_new_kernel(kernel_name="python3", cwd=REPO)
    try:
        yield manager, client
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)


def run(client, code):
    """Runs code in the kernel; returns the IOPub messages of that request."""
    msg_id = client.execute(code)
    reply = client.get_shell_msg(timeout=60)
    while reply["parent_header"].get("msg_id") != msg_id:
        reply = client.get_shell_msg(timeout=60)
    messages = []
    while True:
        msg = client.get_iopub_msg(timeout=60)
        if msg["parent_header"].get("msg_id") != msg_id:
            continue
        if msg["msg_type"] == "status" and msg["content"]["execution_state"] == "idle":
            break
        messages.append(msg)
    assert reply["content"]["status"] == "ok", reply["content"]
    return messages


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
