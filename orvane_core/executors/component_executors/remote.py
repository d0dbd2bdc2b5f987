"""Runs a component's code on a remote worker service (placeholder)."""


class OrvaneRemoteComponentExecutor:
    def __init__(self, identifier=None, name=None, backend=None, broker=None):
        raise NotImplementedError
