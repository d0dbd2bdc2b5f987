"""Helpers shared by the cache and writer tests: build write tasks, wait for messages."""

from __future__ import annotations

import os
import time

import cloudpickle

from orvane_core.misc.models import OrvaneCacheModel, OrvaneDiskCacheTodoModel


def wait_messages(writer, count, timeout=30.0):
    """Drains the writer until `count` messages arrived."""
    messages = []
    deadline = time.monotonic() + timeout
    while len(messages) < count:
        messages.extend(writer.get_messages())
        if len(messages) >= count:
            break
        assert time.monotonic() < deadline, f"only {len(messages)} of {count} messages arrived"
        time.sleep(0.005)
    return messages


def make_task(cache_dir, component_id="c1", success_count=1, outputs=None, **fields):
    data = OrvaneCacheModel(
        module_statements=fields.get("module_statements", {}),
        non_module_outputs={k: cloudpickle.dumps(v) for k, v in (outputs or {}).items()},
        last_output=fields.get("last_output"),
        captured=fields.get("captured"),
        exception_msg=fields.get("exception_msg"),
        outputs_summary=fields.get("outputs_summary"),
    )
    return OrvaneDiskCacheTodoModel(
        component_id=component_id,
        success_count=success_count,
        cache_dir=os.fspath(cache_dir),
        data=data,
    )


def write_cache(writer, cache_dir, **kwargs):
    assert writer.put_task(task=make_task(cache_dir, **kwargs))
    (message,) = wait_messages(writer, 1)
    assert message.is_successful, message.msg
    return message.cache_dir
