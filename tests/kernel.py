"""Helpers for tests that drive a real kernel through jupyter_client."""

from __future__ import annotations

import contextlib
import os
import textwrap

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@contextlib.contextmanager
def running_kernel():
    """A fresh python3 kernel whose working directory is the repository; yields (manager, client)."""
    from jupyter_client.manager import start_new_kernel

    manager, client = start_new_kernel(kernel_name="python3", cwd=REPO, startup_timeout=120)
    try:
        yield manager, client
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)


def run_in_kernel(client, code: str) -> tuple[dict, list[dict]]:
    """Executes ``code``; returns the shell reply and the IOPub messages of that request."""
    msg_id = client.execute(textwrap.dedent(code))
    messages = []
    while True:
        message = client.get_iopub_msg(timeout=60)
        if message["parent_header"].get("msg_id") != msg_id:
            continue
        if message["msg_type"] == "status":
            if message["content"]["execution_state"] == "idle":
                break
            continue
        messages.append(message)
    reply = client.get_shell_msg(timeout=60)
    while reply["parent_header"].get("msg_id") != msg_id:
        reply = client.get_shell_msg(timeout=60)
    return reply, messages


def run(client, code: str) -> list[dict]:
    """Executes ``code``, which must succeed; returns the IOPub messages of that request."""
    reply, messages = run_in_kernel(client, code)
    assert reply["content"]["status"] == "ok", reply["content"]
    return messages
