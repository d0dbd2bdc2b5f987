"""Pipelines built from real components and the real writer, for the disk-cache tests."""

from __future__ import annotations

import os
import time
import uuid

import networkx as nx
import pytest

from orvane_core.cache import OrvaneDiskCache
from orvane_core.common.utils import APP_TEMP_DIRECTORY
from orvane_core.executors import OrvaneDiskcacheWriter
from orvane_core.misc import (
    OrvaneComponentStatus,
    OrvaneDiskcacheStatus,
    OrvanePipelineCallbackProcedure,
    OrvanePipelineCallbackStatus,
)
from orvane_core.misc.models import (
    OrvaneComponentMetadataModel,
    OrvaneComponentModel,
    OrvaneDagModel,
    OrvaneEdgeModel,
    OrvanePipelineCallbackDataModel,
)
from orvane_core.pipeline.pipeline import OrvanePipeline


def dag(components, edges=()):
    """Graph model from (id, code, disk cache on) triples and (parent, child) pairs."""
    return OrvaneDagModel(
        components=[
            OrvaneComponentModel(
                id=cid,
                name=cid.upper(),
                code=code,
                metadata=OrvaneComponentMetadataModel(diskcache=diskcache),
            )
            for cid, code, diskcache in components
        ],
        edges=[OrvaneEdgeModel(source=s, target=t) for s, t in edges],
    )


class _AssembledPipeline(OrvanePipeline):
    """The pipeline's construction and reporting, as the engine does them, for builds where the
    engine's members are not part of the class."""

    def __init__(self, identifier=None, graph=None, parameters=None, callback=None, shell=None):
        self._callback = callback
        self._ipython_shell = shell
        self.id = identifier or uuid.uuid4().hex
        graph = graph or OrvaneDagModel()
        self.nodes = {c.id: OrvaneComponentVostrel(component=c) for c in graph.components}
        self.nx_graph = nx.DiGraph()
        self.nx_graph.add_nodes_from(self.nodes)
        self.nx_graph.add_edges_from((e.source, e.target) for e in graph.edges)
        self._parameters = {}
        self._python_requirements = []
        self._diskcache_dir = APP_TEMP_DIRECTORY / "pipelines" / f"pipeline-{self.id}"
        if parameters:
            self.set_parameters(new_parameters=parameters)
        if os.path.exists(self._diskcache_dir):
            self.load_diskcache(diskcache_dir=str(self._diskcache_dir))
        else:
            os.makedirs(str(self._diskcache_dir))
        self._ipykernel_connection = None
        self._diskcache_writer = OrvaneDiskcacheWriter(
            identifier=self.id, ipykernel_connection=None
        )
        self._diskcache_writer.open()
        self._diskcache_writer.start()
        self._hpoptimizer = None

    def run_callback(self, data=None):
        if not self._callback:
            return
        if not data:
            data = OrvanePipelineCallbackDataModel(
                procedure=OrvanePipelineCallbackProcedure.PIPELINE_UPDATED,
                status=OrvanePipelineCallbackStatus.SUCCESSFUL,
                msg="",
                successful={"components": {i: str(c.status) for i, c in self.nodes.items()}},
                failed={},
            )
        self._callback(data)

    def update_component_info(self, component_id=None):
        self.info_refreshed.append(component_id)

    def _check_all_children_successful(self, component_id=None):
        return all(
            self.nodes[c].status == OrvaneComponentStatus.SUCCESSFUL
            for c in self.nx_graph.successors(component_id)
        )

    info_refreshed: list


ENGINE_PRESENT = hasattr(OrvanePipeline, "run_callback")

try:
    from orvane_core.components.vostrel import OrvaneComponentVostrel
except ImportError:  # the component module is built with the rest of the package
    OrvaneComponentVostrel = None

# The component, the disk cache and the writer are separate parts of the package.
PARTS_PRESENT = OrvaneComponentVostrel is not None and hasattr(OrvaneDiskCache, "read_record")
needs_parts = pytest.mark.skipif(not PARTS_PRESENT, reason="component or disk cache not built")


def make_pipeline(graph=None, records=None, identifier=None, shell=None, parameters=None):
    callback = records.append if records is not None else None
    cls = OrvanePipeline if ENGINE_PRESENT else _AssembledPipeline
    if not ENGINE_PRESENT:
        _AssembledPipeline.info_refreshed = []
    return cls(
        identifier=identifier,
        graph=graph,
        parameters=parameters,
        callback=callback,
        shell=shell,
    )


def close_pipeline(pipeline):
    writer = getattr(pipeline, "_diskcache_writer", None)
    if writer:
        writer.close()
    pipeline.clear_all_diskcache()


def run(pipeline, component_id, shell, queue=True):
    """Runs one component with its parents' results, then queues its disk write."""
    statements, inputs = {}, {}
    for parent in pipeline.nx_graph.predecessors(component_id):
        statements.update(pipeline.nodes[parent].module_statements)
        inputs.update(pipeline.nodes[parent].non_module_outputs)
    component = pipeline.nodes[component_id]
    component.status = OrvaneComponentStatus.RUNNING
    component.execute(
        module_statements=statements,
        non_module_inputs=inputs,
        parameters=pipeline.parameters,
        shell=shell,
    )
    if queue and component.use_diskcache:
        pipeline._put_diskcache_task(task_type="todo", component_id=component_id)


def cache_dirs(directory):
    """Names of the complete cache directories of this product in `directory`."""
    return sorted(
        name
        for name in os.listdir(directory)
        if OrvaneDiskCache.read_record(os.path.join(directory, name)) is not None
    )


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        time.sleep(0.01)


def settle(pipeline, timeout=30.0):
    """Polls the writer until no component waits for a write. The stored status is read: the
    public one shows CACHED throughout while an earlier cache is attached."""

    def done():
        pipeline.update_diskcache_status()
        return all(
            c._diskcache_status != OrvaneDiskcacheStatus.UPDATING for c in pipeline.nodes.values()
        )

    wait_for(done, timeout)


def drain_point(pipeline, written, timeout=30.0):
    """Waits until `written` complete caches are on disk, then until the writer has reported
    them: closing waits for the write in progress and keeps the finished messages."""
    wait_for(lambda: len(cache_dirs(pipeline.diskcache_dir)) >= written, timeout)
    writer = pipeline._diskcache_writer
    writer.close()
    writer.open()
    writer.start()


def procedures(records):
    return [(r.procedure, r.status) for r in records]
