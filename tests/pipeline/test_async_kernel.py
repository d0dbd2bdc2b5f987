"""A parallel run inside a real kernel: after %reset, and stopped by a kernel interrupt."""

from __future__ import annotations

import textwrap

import pytest

from tests.kernel import run, run_in_kernel, running_kernel
from tests.services import wait_until

pytestmark = [pytest.mark.kernel, pytest.mark.slow]


def test_interrupt_stops_every_running_component_and_the_next_run_works(tmp_path):
    started = tmp_path / "started"
    started.mkdir()
    setup = textwrap.dedent(
        f"""
        from tests.pipeline.conftest import Pipeline, dag
        long = "import os, time\\nopen(os.path.join({str(started)!r}, str(os.getpid())), 'w')"
        long += ".close()\\ntime.sleep(300)"
        pipeline = Pipeline(
            graph=dag([("a", "x = 1"), ("b", long), ("c", long), ("d", "y")],
                      [("a", "b"), ("a", "c"), ("b", "d")]),
            callback=None,
            shell=get_ipython(),
        )
        """
    )
    with running_kernel() as (manager, client):
        # %reset empties __main__, which worker pools of the safe start methods rely on.
        run(client, "%reset -f")
        run(client, setup)
        msg_id = client.execute("pipeline.execute_all_async()")
        wait_until(lambda: len(list(started.iterdir())) == 2, "both long cells to run")
        manager.interrupt_kernel()
        reply = client.get_shell_msg(timeout=60)
        while reply["parent_header"].get("msg_id") != msg_id:
            reply = client.get_shell_msg(timeout=60)
        # The run handles the interrupt itself: the request ends normally.
        assert reply["content"]["status"] == "ok", reply["content"]

        check = (
            "[(c, str(pipeline.nodes[c].status), pipeline.nodes[c].exception_msg) for c in 'bcd']"
        )
        reply, messages = run_in_kernel(client, f"print({check})")
        text = "".join(m["content"].get("text", "") for m in messages if m["msg_type"] == "stream")
        assert text.count("Interrupted at component '") == 2, text
        assert "('d', 'invalid'" in text, text

        run(client, "pipeline.nodes['b'].cell_code = pipeline.nodes['c'].cell_code = 'y = 2'")
        reply, messages = run_in_kernel(
            client,
            "pipeline.execute_all_async()\nprint(sorted(str(n.status) for n in pipeline.nodes.values()))",
        )
        text = "".join(m["content"].get("text", "") for m in messages if m["msg_type"] == "stream")
        assert text.lower().count("successful") == 4, text

        # No worker outlives the run, and nothing is left in the kernel's process group that
        # a kernel shutting down would wait for.
        grouped = (
            "import os, psutil\n"
            "print([c.pid for c in psutil.Process().children(recursive=True)\n"
            "       if c.is_running() and os.getpgid(c.pid) == os.getpgrp()])"
        )
        reply, messages = run_in_kernel(client, grouped)
        assert [m["content"]["text"] for m in messages if m["msg_type"] == "stream"] == ["[]\n"]
