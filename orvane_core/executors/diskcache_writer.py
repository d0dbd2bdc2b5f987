"""The background disk-cache writer (placeholder)."""


class OrvaneDiskcacheWriter:
    def __init__(self, identifier=None, ipykernel_connection=None):
        raise NotImplementedError
