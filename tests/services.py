"""Real services for the tests: a private Redis server and Celery workers, always stopped."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import uuid

from orvane_core.executors import OrvaneRemoteComponentExecutor


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, what: str, timeout: float = 60.0):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"gave up waiting for {what}")
        time.sleep(0.05)


class RedisServer:
    """``redis-server`` on loopback, without persistence, stopped by its process id."""

    def __init__(self, port: int | None = None) -> None:
        binary = shutil.which("redis-server")
        if binary is None:
            raise RuntimeError("redis-server is missing: scripts/setup.sh installs it")
        self.port = port or free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.process = subprocess.Popen(
            [
                binary,
                "--port",
                str(self.port),
                "--bind",
                "127.0.0.1",
                "--save",
                "",
                "--appendonly",
                "no",
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        wait_until(self._answers, "redis-server to answer", 20)

    def _answers(self) -> bool:
        import redis

        if self.process.poll() is not None:
            raise RuntimeError(f"redis-server exited with {self.process.returncode}")
        try:
            with redis.Redis.from_url(self.url, socket_connect_timeout=0.5) as client:
                return client.ping()
        except redis.exceptions.ConnectionError:
            return False

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Worker:
    """``orvane worker`` in its own process group, so that it can be killed with its children."""

    def __init__(self, broker: str, concurrency: int = 1) -> None:
        self.broker = broker
        self.hostname = f"test-{uuid.uuid4().hex[:8]}@localhost"
        env = dict(os.environ, C_FORCE_ROOT="1")
        self.process = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "orvane_core.executors.component_executors.worker",
                "--broker",
                broker,
                "--concurrency",
                str(concurrency),
                "--hostname",
                self.hostname,
                "--loglevel",
                "WARNING",
            ],
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        probe = OrvaneRemoteComponentExecutor(broker=broker)
        wait_until(lambda: self._check() or probe.ping()[0], "the worker to answer")

    def _check(self) -> bool:
        if self.process.poll() is not None:
            raise RuntimeError(f"the worker exited with {self.process.returncode}")
        return False

    def kill(self) -> None:
        """Kills the worker and its child processes at once, as a lost machine would."""
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()

    def stop(self) -> None:
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()
        else:
            # Children left by a worker that died on its own.
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
