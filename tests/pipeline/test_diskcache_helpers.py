"""Pipelines built from real components and the real writer, for the disk-cache tests."""

from __future__ import annotations

import os
import time

from orvane_core.cache import OrvaneDiskCache
from orvane_core.misc import OrvaneComponentStatus, OrvaneDiskcacheStatus
from orvane_core.misc.models import (
    OrvaneComponentMetadataModel,
    OrvaneComponentModel,
    OrvaneDagModel,
    OrvaneEdgeModel,
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


def make_pipeline(graph=None, records=None, identifier=None, shell=None, parameters=None):
    return OrvanePipeline(
        identifier=identifier,
        graph=graph,
        parameters=parameters,
        callback=records.append if records is not None else None,
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
    _reported(pipeline)


def drain_after(pipeline, component_id, timeout=30.0):
    """Waits until a write of the component is complete on disk, then until the writer has
    reported it. The writer takes its queue in order: the writes queued before it are done too,
    however many a busy machine made (a reuse before the first write was taken in writes again)."""

    def written():
        d = pipeline.diskcache_dir
        records = (OrvaneDiskCache.read_record(os.path.join(d, name)) for name in os.listdir(d))
        return any(r and r["component_id"] == component_id and r["complete"] for r in records)

    wait_for(written, timeout)
    _reported(pipeline)


def _reported(pipeline):
    # Closing waits for the write in progress and keeps the finished messages.
    writer = pipeline._diskcache_writer
    writer.close()
    writer.open()
    writer.start()


def procedures(records):
    return [(r.procedure, r.status) for r in records]
