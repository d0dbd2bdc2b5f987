"""Drives the magics in a real kernel of the interpreter running it (an installed wheel's venv)."""

# Run from a folder outside the repository as `VENV/bin/python - < installed_magics.py`, so that
# nothing but the installed package can be imported. Exits non-zero on the first check that fails.

import sys
import textwrap

from jupyter_client.manager import start_new_kernel


def run(client, code: str) -> str:
    """Executes ``code``, which must succeed; returns its printed and displayed text."""
    msg_id = client.execute(textwrap.dedent(code))
    text = []
    while True:
        message = client.get_iopub_msg(timeout=120)
        if message["parent_header"].get("msg_id") != msg_id:
            continue
        kind, content = message["msg_type"], message["content"]
        if kind == "status" and content["execution_state"] == "idle":
            break
        if kind == "stream":
            text.append(content["text"])
        elif kind in ("execute_result", "display_data"):
            data = content["data"]
            text.append(data.get("text/html") or data.get("text/plain", ""))
        elif kind == "error":
            text.append("\n".join(content["traceback"]))
    reply = client.get_shell_msg(timeout=120)
    while reply["parent_header"].get("msg_id") != msg_id:
        reply = client.get_shell_msg(timeout=120)
    output = "".join(text)
    if reply["content"]["status"] != "ok":
        sys.exit(f"FAILED: {code.strip()}\n{output}")
    return output


def expect(output: str, *pieces: str) -> None:
    missing = [p for p in pieces if p not in output]
    if missing:
        sys.exit(f"FAILED: {missing} not in the output:\n{output}")


manager, client = start_new_kernel(kernel_name="python3", startup_timeout=120)
try:
    # The kernel must be this interpreter, importing the package from its site-packages.
    where = run(client, "import sys, orvane_core; print(sys.prefix); print(orvane_core.__file__)")
    prefix, module = where.split()
    if prefix != sys.prefix or not module.startswith(sys.prefix):
        sys.exit(f"FAILED: the kernel runs {prefix} with {module}, not {sys.prefix}")
    run(client, "%load_ext orvane_core")
    expect(run(client, "%orvane set scale=3"), "scale = 3")
    expect(run(client, "%%component base\nvalue = 2 * scale\nvalue"), "6")
    expect(run(client, "%%component double after base\nresult = value * 2\nresult"), "12")
    run(client, "%%component other after base\nvalue + 1")
    # Parameters reach the components, and independent branches run in worker processes.
    run(client, "%orvane set scale=5")
    expect(run(client, "%orvane run double other --parallel"), "20", "11")
    expect(run(client, "%orvane status"), "base", "double", "other")
    # The optimizer and its progress callback are native modules too.
    search = run(client, "%orvane optimize double scale=1:4:int:1 --trials 4 --method grid")
    # Grid 1, 2, 3: the best is scale=3 (result 12), and the parameters are restored after.
    expect(search, "Best trials", "%orvane set scale=3")
    print("magics in an installed kernel: OK")
finally:
    client.stop_channels()
    manager.shutdown_kernel(now=True)
