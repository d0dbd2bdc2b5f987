"""Fixtures for the cache tests: a running background writer."""

from __future__ import annotations

import pytest

from orvane_core.executors import OrvaneDiskcacheWriter


@pytest.fixture
def writer():
    w = OrvaneDiskcacheWriter(identifier="tests")
    w.open()
    w.start()
    yield w
    w.close()
