"""Shared fixtures: a private application directory, a real IPython shell."""

from __future__ import annotations

import os
import tempfile

# Caches go to a throwaway directory, never the user's.
os.environ.setdefault("ORVANE_TEMP_DIR", tempfile.mkdtemp(prefix="orvane-tests-"))

import pytest  # noqa: E402


@pytest.fixture
def shell():
    """A real IPython shell with a clean user namespace."""
    from IPython.core.interactiveshell import InteractiveShell

    sh = InteractiveShell.instance()
    sh.reset(new_session=False)
    yield sh
    sh.reset(new_session=False)


@pytest.fixture
def writer():
    """A running background disk-cache writer, closed afterwards."""
    from orvane_core.executors import OrvaneDiskcacheWriter

    w = OrvaneDiskcacheWriter(identifier="tests")
    w.open()
    w.start()
    yield w
    w.close()
