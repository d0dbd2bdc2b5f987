"""The graph base class of the pipeline (placeholder)."""


class OrvaneDagBase:
    def __init__(self, identifier=None, graph=None):
        raise NotImplementedError
