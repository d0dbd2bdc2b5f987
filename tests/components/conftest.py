"""Fixtures of the code-cell component tests: components, and cache directories on real disk."""

from __future__ import annotations

import itertools
import os
import time

import cloudpickle
import pytest

import orvane_core.executors
from orvane_core.components.vostrel import OrvaneComponentVostrel
from orvane_core.executors import OrvaneDiskcacheWriter
from orvane_core.misc.models import (
    OrvaneCacheModel,
    OrvaneComponentMetadataModel,
    OrvaneComponentModel,
    OrvaneDiskCacheTodoModel,
)
from tests.components import doubles


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


_write_numbers = itertools.count(1)


@pytest.fixture
def diskcache_writer():
    """A running background writer; closed after the test so no thread outlives it (the pool
    tests fork)."""
    writer = OrvaneDiskcacheWriter(identifier="component-tests", ipykernel_connection=None)
    writer.open()
    writer.start()
    yield writer
    writer.close()


@pytest.fixture
def write_cache(diskcache_writer):
    """Writes a cache directory holding the given result fields through the real writer.

    ``non_module_outputs`` values are given plain and pickled here, as a pipeline pickles them
    before queueing a write. Returns the directory as text.
    """

    def write(path, component_id="written", **fields):
        outputs = {k: cloudpickle.dumps(v) for k, v in fields.pop("non_module_outputs", {}).items()}
        success_count = next(_write_numbers)
        cache_dir = os.fspath(path)
        task = OrvaneDiskCacheTodoModel(
            component_id=component_id,
            success_count=success_count,
            cache_dir=cache_dir,
            data=OrvaneCacheModel(non_module_outputs=outputs, **fields),
        )
        assert diskcache_writer.put_task(task=task)
        deadline = time.monotonic() + 30
        while True:
            done = [
                m
                for m in diskcache_writer.get_messages()
                if (m.component_id, m.success_count) == (component_id, success_count)
            ]
            if done:
                break
            assert time.monotonic() < deadline, "the writer did not report the write"
            time.sleep(0.005)
        [message] = done
        assert message.is_successful, message.msg
        assert os.path.isdir(cache_dir)
        return cache_dir

    return write


@pytest.fixture
def remote_double(monkeypatch):
    """Makes components use the remote executor double (no remote service exists to reach)."""
    doubles.RemoteExecutorDouble.created = []
    doubles.RemoteExecutorDouble.reachable = (True, "")
    monkeypatch.setattr(
        orvane_core.executors, "OrvaneRemoteComponentExecutor", doubles.RemoteExecutorDouble
    )
    return doubles.RemoteExecutorDouble
