"""The worker side of remote execution: a Celery worker that runs components' code.

Start one on any machine that reaches the broker::

    orvane worker --broker redis://HOST:6379/0

Each task runs in a child process of the worker with the same executor as local runs.
"""

from __future__ import annotations

import argparse
import os
import socket
import sys

from orvane_core.executors.component_executors.remote import (
    QUEUE,
    TASK_NAME,
    celery_app,
    execute_request,
)

DEFAULT_BROKER = "redis://127.0.0.1:6379/0"


def make_worker_app(broker: str, backend: str | None = None):
    """The Celery application of a worker, with the component task registered."""
    app = celery_app(broker, backend)
    if TASK_NAME not in app.tasks:
        app.task(name=TASK_NAME)(execute_request)
    return app


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvane worker",
        description="Run a worker that executes pipeline cells marked for remote execution.",
    )
    parser.add_argument(
        "--broker",
        default=os.environ.get("ORVANE_BROKER", DEFAULT_BROKER),
        help="Redis URL of the broker, as in the cells' remote setting "
        "(default: $ORVANE_BROKER or %(default)s)",
    )
    parser.add_argument(
        "--backend",
        default=os.environ.get("ORVANE_BACKEND"),
        help="Redis URL of the result backend (default: the broker)",
    )
    parser.add_argument(
        "--concurrency",
        type=int,
        default=os.cpu_count() or 1,
        help="cells run at once, each in its own process (default: %(default)s)",
    )
    parser.add_argument(
        "--hostname",
        default=f"orvane@{socket.gethostname()}",
        help="name of this worker; unique per machine (default: %(default)s)",
    )
    parser.add_argument("--loglevel", default="INFO", help="log level (default: %(default)s)")
    return parser


def main(argv: list[str] | None = None) -> int:
    """Starts a worker and serves until it is stopped (Ctrl-C or SIGTERM)."""
    args = _parser().parse_args(argv)
    if args.concurrency < 1:
        print("orvane worker: --concurrency must be at least 1", file=sys.stderr)
        return 2
    from orvane_core.executors.component_executors.remote import OrvaneRemoteExecutionError
    from orvane_core.executors.component_executors.remote import _check_url as check_url

    try:
        broker = check_url(args.broker, "broker")
        backend = check_url(args.backend, "backend") if args.backend else broker
    except OrvaneRemoteExecutionError as exc:
        print(f"orvane worker: {exc}", file=sys.stderr)
        return 2
    # What cells display (figures, tables) travels back with their output, as in the kernel.
    os.environ.setdefault("ORVANE_RICH_OUTPUT", "1")
    app = make_worker_app(broker, backend)
    # Tasks carry pickled bytes: Celery refuses that as root unless told otherwise, with its
    # own explanation; C_FORCE_ROOT=1 in the environment is the user's deliberate choice.
    app.worker_main(
        [
            "worker",
            "--pool=prefork",
            f"--concurrency={args.concurrency}",
            f"--hostname={args.hostname}",
            f"--loglevel={args.loglevel}",
            f"--queues={QUEUE}",
            "--without-gossip",
            "--without-mingle",
        ]
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
