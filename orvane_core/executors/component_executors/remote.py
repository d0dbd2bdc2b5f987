"""Runs a component's code on Celery workers, with Redis as broker and result backend."""

from __future__ import annotations

import re
import threading
import time
import uuid
from typing import Any

import cloudpickle

from orvane_core.capture import following, live_writer, publishing

TASK_NAME = "orvane.execute_component"
QUEUE = "orvane"
WORKER_COMMAND = "orvane worker --broker URL"

# How long a ping may take at most, per step (connecting, waiting for a worker's answer).
PING_TIMEOUT = 2.0
# A worker that answered this recently is taken as alive without asking again: every remote cell
# pings first, and asking each time would double the cost of a short cell.
ANSWER_FRESH_FOR = 5.0
# While a task runs, its worker is asked for a sign of life this often; a worker that misses
# this many answers in a row is taken as lost.
LIVENESS_INTERVAL = 2.0
LIVENESS_MISSES = 2
# A result is deleted from the backend once taken; one never taken (its caller gave up) goes
# after this many seconds.
RESULT_EXPIRES = 300

_SCHEMES = ("redis://", "rediss://", "unix://", "redis+socket://")


class OrvaneRemoteExecutionError(RuntimeError):
    """The remote service failed to run a request (the cell's own errors are not this)."""


def _sanitized(url: str) -> str:
    """The URL without its password, for messages; never raises, whatever the text."""
    from kombu.utils.url import maybe_sanitize_url

    try:
        return maybe_sanitize_url(url)
    except Exception:
        # Unparsable: hide whatever stands between the scheme and an '@'.
        return re.sub(r"(?<=://)[^/@]*@", "***@", str(url))


def _check_url(url: Any, role: str) -> str:
    if not isinstance(url, str) or not url.strip():
        raise OrvaneRemoteExecutionError(
            f"The {role} URL of the remote execution setting must be text such as "
            f"'redis://host:6379/0', not {url!r}."
        )
    url = url.strip()
    if not url.startswith(_SCHEMES):
        raise OrvaneRemoteExecutionError(
            f"The {role} URL {_sanitized(url)!r} is not a Redis URL "
            f"(expected one starting with {', '.join(_SCHEMES)})."
        )
    return url


# --- one Celery application per broker and backend, shared by the process ----------------------

_apps: dict[tuple[str, str], Any] = {}
_answered: dict[tuple[str, str], float] = {}
# Tasks given up whose revocation has not reached the broker (unreachable at the time), by
# broker and backend: sent as soon as that broker answers again.
_unrevoked: dict[tuple[str, str], set[str]] = {}
_lock = threading.Lock()


def celery_app(broker: str, backend: str | None = None) -> Any:
    """The Celery application of this process for one broker and result backend.

    Kernel side and worker side use the same settings: requests and responses are already
    serialized by cloudpickle, so Celery carries them as pickled bytes; tasks go to their own
    queue so that a Redis server shared with other applications keeps them apart.
    """
    key = (broker, backend or broker)
    with _lock:
        app = _apps.get(key)
        if app is None:
            app = _apps[key] = _make_app(*key)
        return app


def _forget_app(broker: str, backend: str) -> None:
    """Drops an application whose connections broke; the next request builds a fresh one."""
    with _lock:
        _apps.pop((broker, backend), None)
        _answered.pop((broker, backend), None)


def _make_app(broker: str, backend: str) -> Any:
    from celery import Celery

    app = Celery("orvane", broker=broker, backend=backend, set_as_current=False)
    socket_options = {"socket_connect_timeout": PING_TIMEOUT, "socket_keepalive": True}
    app.conf.update(
        task_serializer="pickle",
        result_serializer="pickle",
        accept_content=["pickle"],
        result_accept_content=["pickle"],
        task_default_queue=QUEUE,
        # The worker records which host and process took a task, so that the kernel can tell
        # whether that worker still lives.
        task_track_started=True,
        # A cell is not run twice: a task whose worker died is reported lost, not redelivered.
        task_acks_late=False,
        worker_prefetch_multiplier=1,
        result_expires=RESULT_EXPIRES,
        broker_connection_retry_on_startup=True,
        broker_connection_timeout=PING_TIMEOUT,
        broker_transport_options=dict(socket_options, max_retries=1),
        redis_socket_connect_timeout=PING_TIMEOUT,
        redis_retry_on_timeout=False,
        result_backend_transport_options={"retry_policy": {"max_retries": 1, "timeout": 2.0}},
        worker_hijack_root_logger=False,
        worker_send_task_events=False,
        task_send_sent_event=False,
    )
    return app


# One client per URL for the pings that precede every remote cell: a new connection each time
# would cost more than the rest of a short cell's round trip.
_ping_clients: dict[str, Any] = {}


def _redis_ping(url: str) -> None:
    import redis

    with _lock:
        client = _ping_clients.get(url)
    if client is not None:
        try:
            client.ping()
            return
        except Exception:
            # A connection left over from before an outage: tried once more afresh below.
            with _lock:
                _ping_clients.pop(url, None)
            client.close()
    client = redis.Redis.from_url(
        url, socket_connect_timeout=PING_TIMEOUT, socket_timeout=PING_TIMEOUT
    )
    try:
        client.ping()
    except BaseException:
        client.close()
        raise
    with _lock:
        kept = _ping_clients.setdefault(url, client)
    if kept is not client:
        client.close()


def _reachable(url: str) -> bool:
    try:
        _redis_ping(url)
    except Exception:
        return False
    return True


def _connection_errors() -> tuple[type[BaseException], ...]:
    import kombu.exceptions
    import redis.exceptions

    return (
        OSError,
        redis.exceptions.ConnectionError,
        redis.exceptions.TimeoutError,
        kombu.exceptions.OperationalError,
    )


def _failure_response(text: str) -> bytes:
    """A failed run as the component expects it, with the reason as its error banner."""
    from orvane_core.executors.component_executors.local import _failure, error_banner

    return cloudpickle.dumps(_failure(error_banner(OrvaneRemoteExecutionError(text)), ""))


class OrvaneRemoteComponentExecutor:
    """Runs requests on Celery workers started with ``orvane worker --broker URL``.

    ``broker`` and ``backend`` are Redis URLs (the backend defaults to the broker). The object
    holds only texts, so it travels into worker processes of a local pool as well.
    ``reserve_task`` fixes the id of the next task it sends, so that whoever holds the object
    (a parallel run waiting in a worker process) can ``revoke_task`` it, even before it is sent.
    """

    def __init__(
        self,
        identifier: str | None = None,
        name: str | None = None,
        backend: Any = None,
        broker: Any = None,
    ) -> None:
        self.identifier = identifier
        self.name = name
        self.backend = backend
        self.broker = broker
        self.task_id: str | None = None

    def reserve_task(self) -> str:
        """Fixes and returns the id of the next task ``execute`` sends."""
        self.task_id = str(uuid.uuid4())
        return self.task_id

    def revoke_task(self, now: bool = True) -> None:
        """Revokes the reserved task: a worker drops it, or stops it if it runs. Never raises,
        and returns within a few seconds even when the broker is gone; a revocation the broker
        could not take (or, with ``now`` false, not tried) is sent when it next answers."""
        task_id, self.task_id = self.task_id, None
        if task_id is None:
            return
        try:
            broker, backend = self._urls()
        except OrvaneRemoteExecutionError:
            return
        _remember_revocation(broker, backend, task_id)
        if now:
            _send_revocations(broker, backend)

    def __repr__(self) -> str:
        return (
            f"OrvaneRemoteComponentExecutor(identifier={self.identifier!r}, "
            f"name={self.name!r}, backend={self._shown(self.backend)!r}, "
            f"broker={self._shown(self.broker)!r})"
        )

    @staticmethod
    def _shown(url: Any) -> Any:
        return _sanitized(url) if isinstance(url, str) else url

    def _urls(self) -> tuple[str, str]:
        broker = _check_url(self.broker, "broker")
        backend = broker if self.backend in (None, "") else _check_url(self.backend, "backend")
        return broker, backend

    def _label(self) -> str:
        return repr(self.name) if self.name else repr(self.identifier)

    def ping(self) -> tuple[bool, str]:
        """``(reachable, message)``: the broker and backend answer and a worker listens.

        Takes at most a few seconds; never raises for an unreachable service.
        """
        try:
            broker, backend = self._urls()
        except OrvaneRemoteExecutionError as exc:
            return False, str(exc)
        key = (broker, backend)
        # Tasks given up during an outage are revoked once a worker shows it hears the broker
        # again, before anything new is sent.
        unrevoked = bool(_unrevoked.get(key))
        fresh = time.monotonic() - _answered.get(key, -ANSWER_FRESH_FOR) < ANSWER_FRESH_FOR
        if fresh and not unrevoked:
            # Everything answered moments ago (and a connection lost since then forgets that):
            # a service gone meanwhile fails the send with its own clear message.
            return True, f"Workers are listening at {_sanitized(broker)}."
        errors = _connection_errors()
        for role, url in (("broker", broker), ("result backend", backend)):
            if role == "result backend" and url == broker:
                continue
            try:
                _redis_ping(url)
            except errors as exc:
                return False, f"Cannot reach the {role} at {_sanitized(url)}: {exc}"
            except Exception as exc:  # a bad URL, refused authentication...
                return False, f"Cannot use the {role} at {_sanitized(url)}: {exc}"
        try:
            replies = celery_app(broker, backend).control.ping(timeout=PING_TIMEOUT, limit=1)
        except errors as exc:
            return False, f"Cannot reach the broker at {_sanitized(broker)}: {exc}"
        if not replies:
            return False, (
                f"No worker answers at {_sanitized(broker)}. Start one on a machine that "
                f"reaches it with: orvane worker --broker {_sanitized(broker)}"
            )
        _answered[key] = time.monotonic()
        if unrevoked:
            _send_revocations(broker, backend, confirmed=True)
        names = ", ".join(name for reply in replies for name in reply)
        return True, f"Worker {names} answers at {_sanitized(broker)}."

    def execute(self, request: bytes) -> bytes:
        """Runs a cloudpickled request on a worker and returns its cloudpickled response.

        The wait follows the result backend's notifications. A lost connection, a worker that
        stops answering or a task the worker reports as failed end as a failed response with
        the reason; an interrupt revokes the task on its worker before it propagates.
        """
        if not isinstance(request, bytes | bytearray | memoryview):
            raise TypeError(f"request must be bytes, not {type(request).__name__}")
        try:
            broker, backend = self._urls()
        except OrvaneRemoteExecutionError as exc:
            return _failure_response(str(exc))
        app = celery_app(broker, backend)
        # A reserved id serves one task only.
        task_id, self.task_id = self.task_id, None
        live = live_writer(self.identifier)
        if live is None:
            return self._send(app, request, task_id, broker, backend)
        # What the cell prints on the worker is followed while it runs.
        task_id = task_id or str(uuid.uuid4())
        with following(lambda: _subscription(broker, task_id), live):
            return self._send(app, request, task_id, broker, backend)

    def _send(
        self, app: Any, request: bytes, task_id: str | None, broker: str, backend: str
    ) -> bytes:
        errors = _connection_errors()
        try:
            result = app.send_task(
                TASK_NAME,
                args=(bytes(request), self.identifier, self.name),
                queue=QUEUE,
                task_id=task_id,
            )
        except errors as exc:
            _forget_app(broker, backend)
            return _failure_response(
                f"Cannot send component {self._label()} to the broker at {_sanitized(broker)}: {exc}"
            )
        try:
            return self._wait(app, result, broker, backend)
        except BaseException:
            _remember_revocation(broker, backend, result.id)
            _send_revocations(broker, backend)
            raise
        finally:
            _release(result)

    def _wait(self, app: Any, result: Any, broker: str, backend: str) -> bytes:
        from celery.exceptions import TimeoutError as CeleryTimeout

        errors = _connection_errors()
        misses = 0
        watch = _Watch(app, result, broker, self._label())
        while True:
            try:
                value = result.get(timeout=LIVENESS_INTERVAL, propagate=True)
            except CeleryTimeout:
                pass
            except Exception as exc:
                # Either the worker reports that the task failed (a lost child process, a
                # revoked task) or the result backend went away; only the latter leaves the
                # backend unreachable, and the task perhaps running: it is revoked once the
                # broker answers again.
                if isinstance(exc, errors) or not _reachable(backend):
                    _forget_app(broker, backend)
                    _remember_revocation(broker, backend, result.id)
                    return _failure_response(
                        f"Lost the connection to the result backend at {_sanitized(backend)} "
                        f"while component {self._label()} ran: {exc}"
                    )
                _forget_result(result)
                return _failure_response(
                    f"The worker could not run component {self._label()}: "
                    f"{type(exc).__name__}: {exc}"
                )
            else:
                _forget_result(result)
                # A worker has just answered: the next cell needs no ping of its own.
                _answered[(broker, backend)] = time.monotonic()
                if isinstance(value, bytes | bytearray):
                    return bytes(value)
                return _failure_response(
                    f"The worker answered component {self._label()} with "
                    f"{type(value).__name__} instead of a response."
                )
            try:
                lost = watch.lost()
            except errors as exc:
                _forget_app(broker, backend)
                _remember_revocation(broker, backend, result.id)
                return _failure_response(
                    f"Lost the connection to the broker at {_sanitized(broker)} while "
                    f"component {self._label()} ran: {exc}"
                )
            misses = 0 if lost is None else misses + 1
            if misses >= LIVENESS_MISSES:
                _remember_revocation(broker, backend, result.id)
                _send_revocations(broker, backend)
                with _lock:
                    _answered.pop((broker, backend), None)
                return _failure_response(lost)


# Finds a task id among the messages of a Redis list queue, inside the server: the messages may
# be large, and only the answer crosses the connection.
_QUEUED_SCRIPT = """
for _, key in ipairs(KEYS) do
  local n = redis.call('LLEN', key)
  for first = 0, n - 1, 256 do
    for _, item in ipairs(redis.call('LRANGE', key, first, first + 255)) do
      if string.find(item, ARGV[1], 1, true) then return 1 end
    end
  end
end
return 0
"""
# The lists the Redis transport keeps for a queue: one per priority step, the plain name for 0.
_PRIORITY_SEP = "\x06\x16"
_QUEUE_KEYS = [QUEUE] + [f"{QUEUE}{_PRIORITY_SEP}{step}" for step in (3, 6, 9)]


class _Watch:
    """Tells, while the kernel waits for a task, whether it can still complete.

    A started task lives as long as the worker that runs it answers. Before it starts, a task
    waits in the broker's queue or is held by a worker that took it (prefetched while its
    processes were busy); a task in neither place was taken by a worker that is gone, and would
    otherwise wait for ever while other workers answer.
    """

    def __init__(self, app: Any, result: Any, broker: str, label: str) -> None:
        self.app = app
        self.result = result
        self.broker = broker
        self.label = label
        self.holder: str | None = None  # the worker last seen holding the task

    def lost(self) -> str | None:
        """None while the task can complete; otherwise why it cannot."""
        meta = self.result.backend.get_task_meta(self.result.id)
        info = meta.get("result") if meta.get("status") == "STARTED" else None
        host = info.get("hostname") if isinstance(info, dict) else None
        if host:
            if self.app.control.ping(destination=[host], timeout=1.0, limit=1):
                return None
            return (
                f"The worker {host} stopped answering while component {self.label} ran on it; "
                f"the component was abandoned."
            )
        replies = self.app.control.inspect(timeout=1.0).query_task(self.result.id) or {}
        if not replies:
            return (
                f"No worker answers at {_sanitized(self.broker)} any more; component "
                f"{self.label} was not run."
            )
        for worker, tasks in replies.items():
            if isinstance(tasks, dict) and self.result.id in tasks:
                self.holder = worker
                return None
        if _queued(self.broker, self.result.id):
            return None
        who = f"The worker {self.holder}" if self.holder else "The worker that took it"
        return f"{who} stopped before running component {self.label}; the component was not run."


def _queued(broker: str, task_id: str) -> bool:
    """Whether the task waits in the broker's queue; true when that cannot be told (a server
    that refuses scripts), so that the task is waited for as before."""
    import redis

    client = redis.Redis.from_url(
        broker, socket_connect_timeout=PING_TIMEOUT, socket_timeout=PING_TIMEOUT
    )
    try:
        return bool(client.eval(_QUEUED_SCRIPT, len(_QUEUE_KEYS), *_QUEUE_KEYS, task_id))
    except redis.exceptions.ResponseError:
        return True
    finally:
        client.close()


def _remember_revocation(broker: str, backend: str, task_id: str) -> None:
    with _lock:
        _unrevoked.setdefault((broker, backend), set()).add(task_id)


def _send_revocations(broker: str, backend: str, confirmed: bool = False) -> None:
    """Asks the workers to drop the tasks given up on this broker, or stop those that run;
    best effort and bounded. Sent tasks are forgotten; the others wait for the next try.

    Celery retries a broadcast for as long as the broker is away, so nothing is sent to a broker
    that does not answer (no worker could hear it), and the broadcast is sent from a daemon
    thread that is waited for only a short while, in case the broker goes away meanwhile. A
    worker only hears a broadcast once it has reconnected after an outage: with ``confirmed``,
    a worker has just answered, otherwise the tasks stay remembered for the next ping too
    when the broker was away for a while.
    """
    key = (broker, backend)
    with _lock:
        tasks = list(_unrevoked.get(key, ()))
    if not tasks or not _reachable(broker):
        return
    app = celery_app(broker, backend)
    sent: list[bool] = []

    def send() -> None:
        try:
            app.control.revoke(tasks, terminate=True, signal="SIGTERM")
        except Exception:
            return
        sent.append(True)

    sender = threading.Thread(target=send, name="orvane-revoke", daemon=True)
    sender.start()
    sender.join(PING_TIMEOUT)
    if sent and (confirmed or key in _answered):
        with _lock:
            left = _unrevoked.get(key, set()).difference(tasks)
            if left:
                _unrevoked[key] = left
            else:
                _unrevoked.pop(key, None)


def _forget_result(result: Any) -> None:
    """Deletes a taken result from the backend, which would otherwise keep it until it
    expires."""
    try:
        result.forget()
    except Exception:
        pass


def _release(result: Any) -> None:
    """Stops following the task's result now, while errors can still be handled here; Celery
    would otherwise try it when the handle is collected, on a connection that may be gone."""
    try:
        result.backend.remove_pending_result(result)
    except Exception:
        pass
    result.backend = None


def execute_request(request: bytes, identifier: str | None, name: str | None) -> bytes:
    """The worker side of a task: runs the request with the local executor, as local runs do;
    what the cell prints is published as it comes, for a kernel that follows the task."""
    from orvane_core.executors.component_executors.local import OrvaneComponentExecutor

    executor = OrvaneComponentExecutor(identifier=identifier, name=name)
    try:
        import redis
        from celery import current_task

        client = redis.Redis.from_url(current_task.app.conf.broker_url)
        channel = LIVE_CHANNEL + current_task.request.id
    except Exception:  # called outside a task
        return executor.execute_with_serialized(request)
    try:
        with publishing(lambda text: client.publish(channel, text)):
            return executor.execute_with_serialized(request)
    finally:
        client.close()


LIVE_CHANNEL = "orvane-live:"  # + task id: what a running task prints


def _subscription(broker: str, task_id: str) -> Any:
    import redis

    pubsub = redis.Redis.from_url(broker).pubsub()
    pubsub.subscribe(LIVE_CHANNEL + task_id)
    return pubsub


__all__ = [
    "OrvaneRemoteComponentExecutor",
    "OrvaneRemoteExecutionError",
    "QUEUE",
    "TASK_NAME",
    "celery_app",
    "execute_request",
]
