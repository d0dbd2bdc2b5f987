"""A component cache stored in one directory (placeholder)."""


class OrvaneDiskCache:
    def __init__(self, cache_dir=None):
        raise NotImplementedError
