"""Runs a component's code in an IPython shell (placeholder)."""


class OrvaneComponentExecutor:
    def __init__(self, identifier=None, name=None):
        raise NotImplementedError
