"""Component result caches: in memory, and on disk in one directory per write."""

from __future__ import annotations

from orvane_core.cache.disk import OrvaneDiskCache, OrvaneDiskCacheError
from orvane_core.cache.memory import OrvaneInMemoryCache

__all__ = ["OrvaneDiskCache", "OrvaneDiskCacheError", "OrvaneInMemoryCache"]
