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
