"""Cost of a component's part of the pipeline summary: cached between changes versus rebuilt.

The pipeline sends a full summary after every change; a component builds its part once per
change and serves the same mapping until the next one. Prints per-call times and ratios against
rebuilding the record on every call, measured in the same run.
"""

from __future__ import annotations

import time

from orvane_core.components.vostrel import OrvaneComponentVostrel
from orvane_core.misc import OrvaneComponentStatus
from orvane_core.misc.models import (
    OrvaneComponentInOutModel,
    OrvaneComponentModel,
    OrvaneComponentOutputsSummaryModel,
    OrvaneOutputVariableModel,
)

ROUNDS = 20_000


def per_call(fn, rounds=ROUNDS):
    start = time.perf_counter()
    for _ in range(rounds):
        fn()
    return (time.perf_counter() - start) / rounds


def main():
    component = OrvaneComponentVostrel(
        OrvaneComponentModel(id="bench", name="bench", code="x = 1\n" * 40)
    )
    component.outputs_summary = OrvaneComponentOutputsSummaryModel(
        variables=[OrvaneOutputVariableModel(name=f"v{i}", type="int") for i in range(50)]
    )
    component.in_and_out = OrvaneComponentInOutModel(
        inputs=[f"i{i}" for i in range(20)], outputs=[f"v{i}" for i in range(50)]
    )
    component._summary_sink = set()

    rebuild = per_call(lambda: component.info.dict())
    cached = per_call(component._info_dict)

    statuses = [OrvaneComponentStatus.RUNNING, OrvaneComponentStatus.FAILED]
    flip = iter(statuses * ROUNDS)

    def change_then_summary():
        component.status = next(flip)
        component._info_dict()

    changed = per_call(change_then_summary)

    print(f"info.dict() every call     {rebuild * 1e6:8.2f} us")
    print(
        f"_info_dict() cached        {cached * 1e6:8.2f} us   ratio {rebuild / cached:7.1f}x faster"
    )
    print(
        f"status change + summary    {changed * 1e6:8.2f} us   ratio {changed / rebuild:7.2f}x of a rebuild"
    )


if __name__ == "__main__":
    main()
