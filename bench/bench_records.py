"""Cost of the shared records against dataclasses and pydantic, and of the package list."""

from __future__ import annotations

import dataclasses
import os
import shutil
import sys
import tempfile
import timeit
from typing import Any

# A private application directory of its own, where the package list is kept between kernels.
_OWN_TEMP = "ORVANE_TEMP_DIR" not in os.environ
os.environ.setdefault("ORVANE_TEMP_DIR", tempfile.mkdtemp(prefix="orvane-bench-"))

from orvane_core.common.utils import (  # noqa: E402
    _FREEZE_CACHE,
    _scan_distributions,
    get_pip_freeze,
)
from orvane_core.misc.models import (  # noqa: E402
    OrvaneComponentInfoModel,
    OrvaneComponentMetadataModel,
    OrvaneComponentOutputsSummaryModel,
    OrvaneComponentRemoteConfigModel,
    OrvaneOutputVariableModel,
)

VARIABLES = [("df", "DataFrame", [100, 4], 100, 3200), ("n", "int", None, None, 28)]


def build_msgspec() -> dict[str, Any]:
    info = OrvaneComponentInfoModel(
        identifier="c1",
        name="load",
        code="x = 1",
        metadata=OrvaneComponentMetadataModel(
            diskcache=True,
            remoteExecution=OrvaneComponentRemoteConfigModel(backend="b", broker="q"),
        ),
        execution_status="successful",
        diskcache_status="cached",
        diskcache_dir="/tmp/c1",
        inputs=["a"],
        outputs=["df", "n"],
        imports=["np = importlib.import_module('numpy')"],
        summary=OrvaneComponentOutputsSummaryModel(
            variables=[
                OrvaneOutputVariableModel(name=n, type=t, shape=s, length=ln, size=sz)
                for n, t, s, ln, sz in VARIABLES
            ]
        ),
        last_execution="",
    )
    return info.dict()


@dataclasses.dataclass(kw_only=True)
class RemoteDC:
    backend: str
    broker: str


@dataclasses.dataclass(kw_only=True)
class MetadataDC:
    diskcache: bool = False
    remoteExecution: RemoteDC | None = None  # noqa: N815
    componentType: str = "code"  # noqa: N815


@dataclasses.dataclass(kw_only=True)
class VariableDC:
    name: str
    type: str
    shape: list[int] | None = None
    length: int | None = None
    size: int | None = None


@dataclasses.dataclass(kw_only=True)
class SummaryDC:
    variables: list[VariableDC] = dataclasses.field(default_factory=list)


@dataclasses.dataclass(kw_only=True)
class InfoDC:
    identifier: str
    name: str
    code: str
    metadata: MetadataDC | None = None
    execution_status: Any = None
    diskcache_status: Any = None
    diskcache_dir: str | None = None
    inputs: list[str] = dataclasses.field(default_factory=list)
    outputs: list[str] = dataclasses.field(default_factory=list)
    imports: list[str] = dataclasses.field(default_factory=list)
    summary: SummaryDC | None = None
    last_execution: str = ""


def build_dataclass() -> dict[str, Any]:
    info = InfoDC(
        identifier="c1",
        name="load",
        code="x = 1",
        metadata=MetadataDC(diskcache=True, remoteExecution=RemoteDC(backend="b", broker="q")),
        execution_status="successful",
        diskcache_status="cached",
        diskcache_dir="/tmp/c1",
        inputs=["a"],
        outputs=["df", "n"],
        imports=["np = importlib.import_module('numpy')"],
        summary=SummaryDC(
            variables=[
                VariableDC(name=n, type=t, shape=s, length=ln, size=sz)
                for n, t, s, ln, sz in VARIABLES
            ]
        ),
        last_execution="",
    )
    return dataclasses.asdict(info)


def pydantic_builder():
    try:
        import pydantic
    except ImportError:
        return None

    class RemoteP(pydantic.BaseModel):
        backend: str
        broker: str

    class MetadataP(pydantic.BaseModel):
        diskcache: bool = False
        remoteExecution: RemoteP | None = None  # noqa: N815
        componentType: str = "code"  # noqa: N815

    class VariableP(pydantic.BaseModel):
        name: str
        type: str
        shape: list[int] | None = None
        length: int | None = None
        size: int | None = None

    class SummaryP(pydantic.BaseModel):
        variables: list[VariableP] = []

    class InfoP(pydantic.BaseModel):
        identifier: str
        name: str
        code: str
        metadata: MetadataP | None = None
        execution_status: Any = None
        diskcache_status: Any = None
        diskcache_dir: str | None = None
        inputs: list[str] = []
        outputs: list[str] = []
        imports: list[str] = []
        summary: SummaryP | None = None
        last_execution: str = ""

    def build() -> dict[str, Any]:
        info = InfoP(
            identifier="c1",
            name="load",
            code="x = 1",
            metadata=MetadataP(diskcache=True, remoteExecution=RemoteP(backend="b", broker="q")),
            execution_status="successful",
            diskcache_status="cached",
            diskcache_dir="/tmp/c1",
            inputs=["a"],
            outputs=["df", "n"],
            imports=["np = importlib.import_module('numpy')"],
            summary=SummaryP(
                variables=[
                    VariableP(name=n, type=t, shape=s, length=ln, size=sz)
                    for n, t, s, ln, sz in VARIABLES
                ]
            ),
            last_execution="",
        )
        return info.model_dump()

    return build, pydantic.VERSION


def per_call_us(func, repeat: int = 5) -> float:
    timer = timeit.Timer(func)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e6


def main() -> None:
    assert build_msgspec() == build_dataclass()
    rows = [("msgspec records", per_call_us(build_msgspec))]
    rows.append(("dataclasses + asdict", per_call_us(build_dataclass)))
    built = pydantic_builder()
    if built is None:
        print("pydantic is not installed: skipped (pip install 'pydantic>=2' to compare)")
    else:
        build, version = built
        assert build() == build_msgspec()
        rows.append((f"pydantic {version}", per_call_us(build)))
    base = rows[0][1]
    print("One component info record (metadata + summary of two variables), built and dict():")
    for label, us in rows:
        print(f"  {label:<24} {us:8.2f} us/record   ratio to msgspec {us / base:5.2f}x")

    paths = list(sys.path)
    first = per_call_us(lambda: _scan_distributions(paths), repeat=3)
    # A new kernel reads the list an earlier one kept, when the application directory exists.
    kept = per_call_us(lambda: (_FREEZE_CACHE.clear(), get_pip_freeze()), repeat=3)
    cached = per_call_us(lambda: get_pip_freeze(exclude_editable=True, skip=["orvane"]))
    count = len(get_pip_freeze())
    print(f"Installed-package list ({count} projects, {len(sys.path)} path entries):")
    print(f"  full scan                {first:10.1f} us")
    print(f"  new kernel (kept list)   {kept:10.1f} us   scan/kept {first / kept:7.1f}x")
    print(f"  cached call              {cached:10.1f} us   scan/cached {first / cached:7.1f}x")


if __name__ == "__main__":
    try:
        main()
    finally:
        if _OWN_TEMP:
            shutil.rmtree(os.environ["ORVANE_TEMP_DIR"], ignore_errors=True)
