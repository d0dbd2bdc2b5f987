"""Records exchanged between the engine, the components, the executors and the front end.

A full pipeline summary is rebuilt after every change of state, so these records are msgspec
structs: keyword construction and ``dict()`` cost a fraction of what dataclasses or pydantic do
(see ``bench/bench_records.py``).
"""

from __future__ import annotations

from http import HTTPStatus
from typing import Any, ClassVar

import msgspec

from orvane_core.misc import (
    OrvaneComponentStatus,
    OrvaneDiskcacheStatus,
    OrvanePipelineCallbackProcedure,
    OrvanePipelineCallbackStatus,
)

# Values that dict() passes through as they are, checked by exact type: the cheap common case.
_LEAVES = frozenset(
    {
        str,
        int,
        float,
        bool,
        bytes,
        HTTPStatus,
        OrvaneComponentStatus,
        OrvaneDiskcacheStatus,
        OrvanePipelineCallbackProcedure,
        OrvanePipelineCallbackStatus,
    }
)


def _plain(value: Any) -> Any:
    if type(value) is dict:
        return _plain_dict(value)
    return _plain_walk(value)


def _plain_dict(value: dict) -> dict:
    """A mapping converted in one native pass, then corrected where that pass differs from the
    walk: enumeration members, bytes and objects it does not know stay as they are. Summaries of
    thousands of components are converted after every change of state, so this is hot."""
    try:
        out = _to_builtins(value)
    except (TypeError, ValueError, OverflowError, msgspec.MsgspecError):
        return _plain_walk(value)
    for key, item in value.items():
        kind = type(item)
        # Texts, numbers, records without enumerations, and lists of texts and numbers came out
        # as the walk makes them.
        if kind in _SAME or (kind is list and _SIMPLE.issuperset(map(type, item))):
            continue
        out[key] = item if kind in _LEAVES else _plain_walk(item)
    return out


def _plain_walk(value: Any) -> Any:
    if isinstance(value, OrvaneModel):
        return value.dict()
    kind = type(value)
    if kind is list or kind is tuple:
        return [v if type(v) in _LEAVES else _plain(v) for v in value]
    if kind is dict:
        return {k: v if type(v) in _LEAVES else _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value


_asdict = msgspec.structs.asdict
_to_builtins = msgspec.to_builtins
_SIMPLE = frozenset({str, int, float, bool, type(None)})


class OrvaneModel(msgspec.Struct, kw_only=True):
    """Base record: built with keywords, ``dict()`` gives plain nested mappings and lists.

    Fields named in ``__plain_fields__`` already hold plain data (cached summaries); ``dict()``
    copies them shallowly instead of walking them, which keeps large summaries cheap.
    """

    __plain_fields__: ClassVar[frozenset[str]] = frozenset()

    def dict(self) -> dict[str, Any]:
        out = _asdict(self)
        plain = self.__plain_fields__
        # Values are replaced in place (no key is added), so iterating the items is safe.
        for name, value in out.items():
            if value is None or type(value) in _LEAVES:
                continue
            if name in plain:
                if type(value) is list:
                    out[name] = list(value)
            else:
                out[name] = _plain(value)
        return out


class OrvanePipelineCallbackDataModel(OrvaneModel):
    """One report to the front end."""

    procedure: OrvanePipelineCallbackProcedure
    status: OrvanePipelineCallbackStatus
    msg: str = ""
    successful: dict = {}
    failed: dict = {}

    def __post_init__(self) -> None:
        # The disk-cache channel passes "successful" / "failed" as plain texts.
        if not isinstance(self.status, OrvanePipelineCallbackStatus):
            self.status = OrvanePipelineCallbackStatus(self.status)
        if not isinstance(self.procedure, OrvanePipelineCallbackProcedure):
            self.procedure = OrvanePipelineCallbackProcedure(self.procedure)


class OrvanePipelineParameterModel(OrvaneModel):
    """A pipeline parameter as text: its name, qualified type name and literal source."""

    name: str
    type: str = "str"
    value: str = ""


class OrvaneComponentRemoteConfigModel(OrvaneModel):
    """Where a component runs remotely: the task queue's result backend and broker URLs."""

    backend: str
    broker: str


class OrvaneComponentMetadataModel(OrvaneModel):
    """Front-end metadata of a component."""

    diskcache: bool = False
    remoteExecution: OrvaneComponentRemoteConfigModel | None = None  # noqa: N815
    componentType: str = "code"  # noqa: N815


class OrvaneComponentModel(OrvaneModel):
    """A component as the front end sends it."""

    id: str
    name: str = ""
    code: str = ""
    metadata: OrvaneComponentMetadataModel | None = None


class OrvaneEdgeModel(OrvaneModel):
    """A dependency: ``source`` runs before ``target`` and feeds it."""

    source: str
    target: str


class OrvaneDagModel(OrvaneModel):
    """The graph as the front end sends it."""

    components: list[OrvaneComponentModel] = []
    edges: list[OrvaneEdgeModel] = []


class OrvaneOutputVariableModel(OrvaneModel):
    """Summary of one output variable."""

    name: str
    type: str
    shape: list[int] | None = None
    length: int | None = None
    size: int | None = None


class OrvaneComponentOutputsSummaryModel(OrvaneModel):
    """What a run defined: one entry per output variable, in definition order."""

    variables: list[OrvaneOutputVariableModel] = []


# Records whose fields hold no enumeration members or bytes: converted natively as they are.
_SAME = _SIMPLE | {
    OrvaneComponentRemoteConfigModel,
    OrvaneComponentMetadataModel,
    OrvaneOutputVariableModel,
    OrvaneComponentOutputsSummaryModel,
}


class OrvaneComponentInOutModel(OrvaneModel):
    """What flows into and out of a component, for the front end."""

    inputs: list[str] = []
    outputs: list[str] = []
    imports: list[str] = []
    summary: OrvaneComponentOutputsSummaryModel = msgspec.field(
        default_factory=OrvaneComponentOutputsSummaryModel
    )


class OrvaneComponentInfoModel(OrvaneModel):
    """A component's entry in the pipeline summary."""

    identifier: str
    name: str
    code: str
    metadata: OrvaneComponentMetadataModel | None = None
    execution_status: Any = None
    diskcache_status: Any = None
    diskcache_dir: str | None = None
    inputs: list[str] = []
    outputs: list[str] = []
    imports: list[str] = []
    summary: OrvaneComponentOutputsSummaryModel | None = None
    last_execution: str = ""


class OrvaneDagInfoModel(OrvaneModel):
    """Graph summary: the pipeline id, one plain mapping per component, the edges."""

    __plain_fields__ = frozenset({"components", "edges"})

    id: str
    components: list[dict] = []
    edges: list[dict] = []


class OrvanePipelineInfoModel(OrvaneDagInfoModel):
    """Graph summary plus what the engine adds: parameters, cache directory, packages."""

    # The package list holds only texts and goes out with every summary: copy it shallowly.
    __plain_fields__ = frozenset({"components", "edges", "python_requirements"})

    parameters: list[OrvanePipelineParameterModel] = []
    diskcache_dir: str = ""
    python_requirements: list[str] = []


class OrvaneCacheModel(OrvaneModel):
    """The six result fields of a run."""

    module_statements: dict = {}
    non_module_outputs: dict = {}
    last_output: Any = None
    captured: Any = None
    exception_msg: list[str] | None = None
    outputs_summary: Any = None
    # What the result was computed from (code, parameters, parents), so that a later pipeline
    # never adopts it for code that has changed since; empty when unknown.
    fingerprint: str = ""
    # The inputs behind the fingerprint as digests ("code", "parameters" and "parents" by id),
    # so that a cache that no longer matches can say what changed; empty when unknown.
    sources: dict = {}


class OrvaneDiskCacheTodoModel(OrvaneModel):
    """A write for the disk-cache writer; ``data.non_module_outputs`` holds pickled bytes."""

    component_id: str
    success_count: int
    cache_dir: str
    data: OrvaneCacheModel


class OrvaneDiskCacheCancelModel(OrvaneModel):
    """Withdraws the pending write of a component made at ``success_count``."""

    component_id: str
    success_count: int


class OrvaneDiskCacheDoneModel(OrvaneModel):
    """The writer's report of a finished or failed write, or of its own stop."""

    is_stopped: bool = False
    component_id: str = ""
    is_successful: bool = False
    msg: str = ""
    success_count: int = 0
    cache_dir: str = ""


class OrvaneExecutionRequestModel(OrvaneModel):
    """What an executor runs: the cell's code with inherited statements, values, parameters."""

    identifier: str
    name: str = ""
    cell_code: str = ""
    module_statements: dict = {}
    non_module_inputs: dict = {}
    parameters: dict | None = None


class OrvaneExecutionResponseModel(OrvaneModel):
    """An executor's answer: OK, PARTIAL_CONTENT (stderr in ``message``) or a failure."""

    status: HTTPStatus = HTTPStatus.OK
    result: OrvaneCacheModel = msgspec.field(default_factory=OrvaneCacheModel)
    message: str = ""
