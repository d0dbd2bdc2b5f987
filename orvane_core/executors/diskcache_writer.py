"""The background disk-cache writer: results are pickled here, written by a native thread.

``put_task`` runs on the kernel's main thread and never waits for the disk: it pickles the small
result fields into one ``meta`` blob and the last output into another, and hands references to
those bytes and to the already pickled non-module outputs to the native writer, which writes
them from its own thread without the GIL (``src/core/cache_writer.hpp``). The bytes objects are
released on the main thread once the writer is done with them.
"""

from __future__ import annotations

import atexit
import os
import weakref
from typing import Any

import cloudpickle

from orvane_core import _native
from orvane_core.misc.models import (
    OrvaneDiskCacheCancelModel,
    OrvaneDiskCacheDoneModel,
    OrvaneDiskCacheTodoModel,
)

_META_FIELDS = (
    "module_statements",
    "captured",
    "exception_msg",
    "outputs_summary",
    "fingerprint",
)

# Writers still open at interpreter exit are closed, so a write in progress finishes and its
# thread is joined before the interpreter tears down the objects it reads.
_open_writers: weakref.WeakSet[OrvaneDiskcacheWriter] = weakref.WeakSet()


@atexit.register
def _close_open_writers() -> None:
    for writer in list(_open_writers):
        try:
            writer.close()
        except Exception:
            pass


class OrvaneDiskcacheWriter:
    """Writes component caches to disk beside the kernel's main thread.

    Life cycle: construct, ``open()`` (accept tasks; they queue), ``start()`` (launch the writer
    thread). ``close()`` stops accepting, drops queued tasks (each reported as a failed write),
    waits for the write in progress and joins the thread; finished work stays readable through
    ``get_messages()``. ``open()`` and ``start()`` again begin a new cycle.
    """

    def __init__(self, identifier: str | None = None, ipykernel_connection: Any = None) -> None:
        self.identifier = identifier
        # Kept for the owner's sake: this writer is a thread of the kernel process itself.
        self.ipykernel_connection = ipykernel_connection
        self._core = _native.CacheWriterCore()

    def open(self) -> None:
        """Accept tasks from now on; they queue until ``start()``."""
        self._core.open()
        _open_writers.add(self)

    def start(self) -> None:
        """Launch the writer thread (after ``open()``)."""
        self._core.start()

    def close(self) -> None:
        """Stop accepting, drop queued tasks, finish the write in progress, join the thread."""
        self._core.close()
        _open_writers.discard(self)

    def is_alive(self) -> bool:
        return self._core.is_alive()

    def put_task(self, task: OrvaneDiskCacheTodoModel) -> bool:
        """Queue the write of ``task.data`` into ``task.cache_dir``; false when refused.

        Refused before ``open()``, after ``close()`` and after the thread has died.
        """
        if not isinstance(task, OrvaneDiskCacheTodoModel):
            raise TypeError(f"task must be an OrvaneDiskCacheTodoModel, not {type(task).__name__}")
        data = task.data
        meta = {name: getattr(data, name, None) for name in _META_FIELDS}
        blobs = [
            ("__meta__", "meta", cloudpickle.dumps(meta)),
            ("__last_output__", "last_output", cloudpickle.dumps(data.last_output)),
        ]
        for name, value in (data.non_module_outputs or {}).items():
            # Outputs arrive pickled; anything else is pickled here so nothing is lost.
            blob = value if type(value) is bytes else cloudpickle.dumps(value)
            blobs.append((str(name), "output", blob))
        return self._core.put(
            component_id=task.component_id,
            success_count=task.success_count,
            cache_dir=os.fspath(task.cache_dir),
            blobs=blobs,
        )

    def cancel_task(self, task: OrvaneDiskCacheCancelModel) -> bool:
        """Withdraw the queued or running write of this component and success count."""
        if not isinstance(task, OrvaneDiskCacheCancelModel):
            raise TypeError(
                f"task must be an OrvaneDiskCacheCancelModel, not {type(task).__name__}"
            )
        return self._core.cancel(component_id=task.component_id, success_count=task.success_count)

    def get_messages(self) -> list[OrvaneDiskCacheDoneModel]:
        """Finished and failed writes since the last call, and a stop report after a crash."""
        return [OrvaneDiskCacheDoneModel(**message) for message in self._core.drain()]

    def _inject_fault(self, name: str) -> bool:
        """Test hook: ``"die_mid_write"`` makes the thread stop inside its next write."""
        return self._core._inject_fault(name)

    def __repr__(self) -> str:
        return f"OrvaneDiskcacheWriter(identifier={self.identifier!r}, alive={self.is_alive()})"
