"""Status enumerations and the pipeline error shared by every module of the package."""

from __future__ import annotations

from enum import StrEnum

from orvane_core import _native

# The members and their texts come from the engine's own statuses, so both sides convert alike:
# INVALID, RUNNING, SUCCESSFUL, FAILED and UNCACHED, UPDATING, CACHED, FAILED.
OrvaneComponentStatus = StrEnum(
    "OrvaneComponentStatus", _native.COMPONENT_STATUSES, module=__name__
)
OrvaneComponentStatus.__doc__ = "Execution status of one component."
OrvaneDiskcacheStatus = StrEnum(
    "OrvaneDiskcacheStatus", _native.DISKCACHE_STATUSES, module=__name__
)
OrvaneDiskcacheStatus.__doc__ = "State of a component's disk cache."


class OrvanePipelineCallbackProcedure(StrEnum):
    """What a callback record reports."""

    PIPELINE_UPDATED = "pipeline_updated"
    PARAMETERS_UPDATED = "parameters_updated"
    DISKCACHE_UPDATED = "diskcache_updated"
    HPO_TARGET_VALUE = "hpo_target_value"
    HPO_INPUT_ERROR = "hpo_input_error"
    HPO_CANCELED = "hpo_canceled"
    HPO_ERROR = "hpo_error"
    HPO_TRIAL_EXECUTED = "hpo_trial_executed"
    HPO_COMPLETED = "hpo_completed"
    HPO_EARLY_STOPPED = "hpo_early_stopped"


class OrvanePipelineCallbackStatus(StrEnum):
    """Outcome carried by a callback record; the disk-cache channel passes the plain texts."""

    SUCCESSFUL = "successful"
    FAILED = "failed"


class OrvanePipelineError(Exception):
    """A component's recorded failure, rebuilt from its error banner lines."""

    def __init__(self, *args: object, picked_stb: list[str] | None = None) -> None:
        self.picked_stb = list(picked_stb or [])
        super().__init__(*(args or ("\n".join(self.picked_stb),)))

    def __reduce__(self):
        return (_rebuild_pipeline_error, (self.args, self.picked_stb))


def _rebuild_pipeline_error(args, picked_stb):
    return OrvanePipelineError(*args, picked_stb=picked_stb)


__all__ = [
    "OrvaneComponentStatus",
    "OrvaneDiskcacheStatus",
    "OrvanePipelineCallbackProcedure",
    "OrvanePipelineCallbackStatus",
    "OrvanePipelineError",
]
