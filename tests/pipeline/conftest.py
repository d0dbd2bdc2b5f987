"""Fixtures of the pipeline tests: pipelines over real shells, graphs, recorded callbacks."""

from __future__ import annotations

import importlib
import shutil

import pytest

from orvane_core.executors import OrvaneDiskcacheWriter
from orvane_core.misc import OrvaneComponentStatus, OrvaneDiskcacheStatus
from orvane_core.misc.models import (
    OrvaneComponentMetadataModel,
    OrvaneComponentModel,
    OrvaneDagModel,
    OrvaneEdgeModel,
)
from orvane_core.pipeline import pipeline as engine

S = OrvaneComponentStatus
D = OrvaneDiskcacheStatus


@pytest.fixture(autouse=True)
def _private_app_directory(monkeypatch, tmp_path):
    """Puts the pipelines' caches under the test's own directory."""
    utils = importlib.import_module("orvane_core.common.utils")
    monkeypatch.setattr(utils, "APP_TEMP_DIRECTORY", tmp_path / "app")
    yield
    shutil.rmtree(tmp_path / "app", ignore_errors=True)


class RecordingWriter(OrvaneDiskcacheWriter):
    """The real writer, noting each write and cancel the engine hands its native core."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self._core._take_noted()  # from now on
        self.noted = []

    @property
    def tasks(self):
        self.noted.extend(self._core._take_noted())
        return self.noted


class Pipeline(engine.OrvanePipeline):
    """The pipeline, with a writer that notes the disk-cache tasks it receives."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        own = self._diskcache_writer
        own.close()
        self._diskcache_writer = RecordingWriter(
            identifier=self.id, ipykernel_connection=self._ipykernel_connection
        )
        self._diskcache_writer.open()
        self._diskcache_writer.start()

    def tasks(self, kind=None):
        noted = getattr(self._diskcache_writer, "tasks", [])
        return [t for t in noted if kind is None or t[0] == kind]

    def forget_tasks(self):
        self._diskcache_writer.tasks.clear()


def component(cid: str, code: str = "", *, name: str | None = None, diskcache: bool = False):
    return OrvaneComponentModel(
        id=cid,
        name=name if name is not None else cid,
        code=code,
        metadata=OrvaneComponentMetadataModel(diskcache=diskcache),
    )


def dag(components, edges=()):
    """A graph model from component records (or (id, code) pairs) and (source, target) pairs."""
    records = [c if isinstance(c, OrvaneComponentModel) else component(*c) for c in components]
    return OrvaneDagModel(
        components=records, edges=[OrvaneEdgeModel(source=s, target=t) for s, t in edges]
    )


class Recorder:
    """A front-end callback that keeps every record it receives."""

    def __init__(self):
        self.records = []

    def __call__(self, data):
        self.records.append(data)

    @property
    def summaries(self):
        return [r for r in self.records if r.procedure == "pipeline_updated"]

    def statuses(self, cid):
        """The execution status of one component in every summary received, in order."""
        out = []
        for record in self.summaries:
            for entry in record.successful.get("components", []):
                if entry["identifier"] == cid:
                    out.append(entry["execution_status"])
        return out

    def clear(self):
        self.records.clear()


@pytest.fixture
def recorder():
    return Recorder()


@pytest.fixture
def make_pipeline(shell, recorder):
    """Builds pipelines on the real shell with the recording callback; releases them after."""
    made = []

    def make(graph=None, identifier=None, **kwargs):
        kwargs.setdefault("callback", recorder)
        kwargs.setdefault("shell", shell)
        pipeline = Pipeline(identifier=identifier, graph=graph, **kwargs)
        made.append(pipeline)
        return pipeline

    yield make
    for pipeline in made:
        writer = getattr(pipeline, "_diskcache_writer", None)
        if writer:
            writer.close()
