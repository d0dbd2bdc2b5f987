"""Fixtures of the code-cell component tests: components, and doubles swapped into the package."""

from __future__ import annotations

import pytest

import orvane_core.cache
import orvane_core.executors
from orvane_core.components.vostrel import OrvaneComponentVostrel
from orvane_core.misc.models import OrvaneComponentMetadataModel, OrvaneComponentModel
from tests.components import doubles


def real_executor_available() -> bool:
    try:
        orvane_core.executors.OrvaneComponentExecutor(identifier="probe", name="probe")
    except NotImplementedError:
        return False
    return True


needs_real_executor = pytest.mark.skipif(
    not real_executor_available(), reason="the local executor is not built yet"
)


@pytest.fixture
def make_component():
    """Builds components with their own identifiers."""
    made = []

    def make(code="x = 1", name="comp", ident=None, diskcache=False, cls=OrvaneComponentVostrel):
        ident = ident or f"c{len(made)}"
        record = OrvaneComponentModel(
            id=ident,
            name=name,
            code=code,
            metadata=OrvaneComponentMetadataModel(diskcache=diskcache),
        )
        component = cls(record)
        made.append(component)
        return component

    return make


@pytest.fixture
def disk_double(monkeypatch):
    """Makes the package open cache directories with the disk-cache double."""
    doubles.DiskCacheDouble.opened = []
    monkeypatch.setattr(orvane_core.cache, "OrvaneDiskCache", doubles.DiskCacheDouble)
    return doubles


@pytest.fixture
def executor_double(monkeypatch):
    """Makes the package run cells with the executor doubles."""
    doubles.LocalExecutorDouble.calls = []
    doubles.RemoteExecutorDouble.created = []
    doubles.RemoteExecutorDouble.reachable = (True, "")
    monkeypatch.setattr(
        orvane_core.executors, "OrvaneComponentExecutor", doubles.LocalExecutorDouble
    )
    monkeypatch.setattr(
        orvane_core.executors, "OrvaneRemoteComponentExecutor", doubles.RemoteExecutorDouble
    )
    return doubles
