"""The background disk-cache writer: every value is pickled once, then written by a native thread.

Values are pickled with protocol 5 (``serialize_value``): large buffers (numpy arrays, bytes,
bytearrays and anything else that pickles through ``PickleBuffer``) stay out of the pickle stream.
``put_task`` runs on the kernel's main thread and never waits for the disk: it hands the streams
and buffers to the native writer in one call; buffers the user could change later are copied by
native code without the GIL while the writer thread already writes what has been copied
(``src/core/cache_writer.hpp``). The writer's done messages come back as records. The pipeline
engine skips these records: it pickles a component's results with ``pickle_results`` and hands
them to the native core (``_core``) directly.
"""

from __future__ import annotations

import atexit
import io
import os
import pickle
import weakref
from typing import Any

import cloudpickle

from orvane_core import _native
from orvane_core.cache.disk import error_text
from orvane_core.misc.models import (
    OrvaneDiskCacheCancelModel,
    OrvaneDiskCacheDoneModel,
    OrvaneDiskCacheTodoModel,
)

_RESULT_FIELDS = ("module_statements", "captured", "exception_msg", "outputs_summary")
# With what the results were computed from.
_META_FIELDS = (*_RESULT_FIELDS, "fingerprint", "sources")

# Buffers smaller than this stay in the pickle stream: a separate piece costs more than it saves.
OUT_OF_BAND_BYTES = 1 << 16


def rebuild_buffer(is_bytes: bool, buffer: Any) -> bytes | bytearray:
    """Unpickles a bytes or bytearray value that was stored out of band.

    The reader hands over an object of the right type that already holds the data (wrapped in a
    read-only memoryview for bytes); it is returned as it is, without a copy.
    """
    obj = buffer.obj if isinstance(buffer, memoryview) else buffer
    kind = bytes if is_bytes else bytearray
    return obj if type(obj) is kind else kind(buffer)


class _OutOfBandBytes:
    """A top-level bytes value: the pickler would copy it into the stream otherwise."""

    __slots__ = ("value",)

    def __init__(self, value: bytes) -> None:
        self.value = value

    def __reduce_ex__(self, protocol: int):
        return rebuild_buffer, (True, pickle.PickleBuffer(self.value))


class _Pickler(cloudpickle.Pickler):
    def reducer_override(self, obj: Any) -> Any:
        # Exact bytes never reach this hook; bytearrays do, and go out of band like arrays.
        if type(obj) is bytearray and len(obj) >= OUT_OF_BAND_BYTES:
            return rebuild_buffer, (False, pickle.PickleBuffer(obj))
        return super().reducer_override(obj)


class SerializedValue:
    """A value pickled once: the protocol-5 stream and its out-of-band buffers.

    Each buffer is a bytes object (immutable: written as it is) or a contiguous memoryview of
    the user's memory, which the writer copies when the task is handed over.
    """

    __slots__ = ("buffers", "stream")

    def __init__(self, stream: bytes, buffers: list) -> None:
        self.stream = stream
        self.buffers = buffers

    def __repr__(self) -> str:
        return f"<serialized value: {len(self.stream)} bytes, {len(self.buffers)} buffers>"


def serialize_value(value: Any) -> SerializedValue:
    """Pickles ``value`` once (cloudpickle, protocol 5), large buffers out of band.

    Raises what the pickler raises for a value that cannot be pickled.
    """
    buffers: list = []

    def out_of_band(buffer: pickle.PickleBuffer) -> bool:
        try:
            raw = buffer.raw()
        except BufferError:  # not contiguous: the pickler copies it into the stream
            return True
        if raw.nbytes < OUT_OF_BAND_BYTES:
            return True
        buffers.append(raw.obj if type(raw.obj) is bytes else raw)
        return False

    if type(value) is bytes and len(value) >= OUT_OF_BAND_BYTES:
        value = _OutOfBandBytes(value)
    out = io.BytesIO()
    _Pickler(out, protocol=5, buffer_callback=out_of_band).dump(value)
    return SerializedValue(out.getvalue(), buffers)


def _type_name(value: Any) -> str:
    """The value's type as a user names it: builtins without their module."""
    kind = type(value)
    module = str(getattr(kind, "__module__", ""))
    name = str(getattr(kind, "__qualname__", kind.__name__))
    return name if module in ("", "builtins") else f"{module}.{name}"


def pickle_results(component: Any, fingerprint: str, sources: dict) -> list | str:
    """A component's results pickled once as the writer's blobs (meta, last output, then one per
    non-module output), as the engine hands them to the native core.

    The meta blob records ``fingerprint`` and ``sources``, what the results were computed from.
    A last output that cannot be pickled is dropped from the component (stored as None). An
    output that cannot be pickled fails the whole write: the text naming it, its type and the
    pickler's error is returned instead of blobs.
    """
    try:
        last_output = serialize_value(component.last_output)
    except Exception:
        component.last_output = None
        last_output = serialize_value(None)
    blobs = [("__last_output__", "last_output", last_output)]
    outputs = component.non_module_outputs
    for name in outputs:
        value = outputs[name]
        try:
            blobs.append((str(name), "output", serialize_value(value)))
        except Exception as exc:
            return (
                f"Output '{name}' of component [{component.name}] (type {_type_name(value)}) "
                f"cannot be stored in the disk cache: {error_text(exc)}"
            )
    meta = {name: getattr(component, name) for name in _RESULT_FIELDS}
    meta.update(fingerprint=fingerprint, sources=sources)
    return [("__meta__", "meta", serialize_value(meta)), *blobs]


def _blob(name: str, kind: str, value: Any) -> tuple:
    if type(value) is not SerializedValue:
        if kind == "output" and type(value) is bytes:
            # An output the caller pickled already, by any protocol: written as its stream.
            value = SerializedValue(value, [])
        else:
            value = serialize_value(value)
    return (name, kind, value)


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

        ``last_output`` and each non-module output may arrive as a ``SerializedValue`` (pickled
        once by the caller), as bytes pickled by the caller (outputs only), or as the object
        itself, which is pickled here. Refused before ``open()``, after ``close()`` and after the
        thread has died.
        """
        if not isinstance(task, OrvaneDiskCacheTodoModel):
            raise TypeError(f"task must be an OrvaneDiskCacheTodoModel, not {type(task).__name__}")
        data = task.data
        meta = {name: getattr(data, name, None) for name in _META_FIELDS}
        blobs = [
            _blob("__meta__", "meta", meta),
            _blob("__last_output__", "last_output", data.last_output),
        ]
        for name, value in (data.non_module_outputs or {}).items():
            blobs.append(_blob(str(name), "output", value))
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
        return self._core.drain()

    def _inject_fault(self, name: str) -> bool:
        """Test hooks: ``"die_mid_write"`` makes the thread stop inside its next write;
        ``"hold"`` keeps queued writes from starting until ``"release"``."""
        return self._core._inject_fault(name)

    def __repr__(self) -> str:
        return f"OrvaneDiskcacheWriter(identifier={self.identifier!r}, alive={self.is_alive()})"


def restarted(
    writer: OrvaneDiskcacheWriter | None, identifier: Any, ipykernel_connection: Any
) -> OrvaneDiskcacheWriter:
    """``writer`` started again (closed first, which ends the cycle it was in); a new writer when
    there is none or when it cannot even be closed."""
    if writer is not None:
        try:
            writer.close()
        except Exception:
            writer = None
    if writer is None:
        writer = OrvaneDiskcacheWriter(identifier, ipykernel_connection)
    writer.open()
    writer.start()
    return writer
