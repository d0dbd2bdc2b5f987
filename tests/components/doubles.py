"""Stand-ins for faults real parts cannot produce: a remote service, a worker that breaks."""

from __future__ import annotations

from orvane_core.executors import OrvaneComponentExecutor


class RemoteExecutorDouble:
    """Remote executor whose reachability is set per test through ``reachable``; when reached it
    runs the request with the local executor, standing in for a remote worker."""

    reachable: tuple = (True, "")
    created: list[RemoteExecutorDouble] = []

    def __init__(self, identifier=None, name=None, backend=None, broker=None):
        self.identifier, self.name, self.backend, self.broker = identifier, name, backend, broker
        RemoteExecutorDouble.created.append(self)

    def ping(self):
        return RemoteExecutorDouble.reachable

    def execute(self, request):
        return OrvaneComponentExecutor(self.identifier, self.name).execute_with_serialized(request)


class CrashingExecutor(OrvaneComponentExecutor):
    """A local executor that raises inside the worker, which the real one never lets happen."""

    def execute_with_serialized(self, data):
        raise RuntimeError("worker crashed")
