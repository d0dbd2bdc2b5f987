"""Early stopping of a single-objective parameter search that has stopped improving."""

from __future__ import annotations

import math
from typing import Any

from orvane_core.callbacks.callback_meta import IOrvaneHPOCallback, OrvanePipelineCallback
from orvane_core.misc import OrvanePipelineCallbackProcedure, OrvanePipelineCallbackStatus
from orvane_core.misc.models import OrvanePipelineCallbackDataModel

_DIRECTIONS = ("maximize", "minimize")


class OrvaneHPOEarlyStoppingCallback(IOrvaneHPOCallback):
    """Stops the study after ``early_stopping_rounds`` trials in a row without a better value.

    A trial improves when its value is strictly better than the best so far in the study's
    direction. A failed trial (no value) does not improve. A diverged value (infinite) is left to
    the trial-progress callback, which stops the study with an error of its own.
    """

    def __init__(
        self,
        pipeline_callback: OrvanePipelineCallback | None = None,
        early_stopping_rounds: int = 10,
        direction: str = "minimize",
    ) -> None:
        if (
            isinstance(early_stopping_rounds, bool)
            or not isinstance(early_stopping_rounds, int)
            or early_stopping_rounds < 1
        ):
            raise ValueError(
                "Invalid input: early stopping rounds must be a positive integer, not "
                f"{early_stopping_rounds!r}"
            )
        if direction not in _DIRECTIONS:
            raise ValueError(f"Invalid input: optimization direction {direction!r}")
        super().__init__(pipeline_callback=pipeline_callback)
        self._early_stopping_rounds = early_stopping_rounds
        self._maximize = direction == "maximize"
        self._best: float | None = None
        self._rounds_without_improvement = 0

    @property
    def best_value(self) -> float | None:
        return self._best

    def __call__(self, study: Any, trial: Any) -> None:
        values = trial.values
        value = values[0] if values else None
        if value is not None and math.isinf(value):
            return
        if value is not None and (
            self._best is None or (value > self._best if self._maximize else value < self._best)
        ):
            self._best = value
            self._rounds_without_improvement = 0
            return
        self._rounds_without_improvement += 1
        if self._rounds_without_improvement < self._early_stopping_rounds:
            return
        study.stop()
        if self._pipeline_callback:
            rounds = self._early_stopping_rounds
            self._pipeline_callback(
                OrvanePipelineCallbackDataModel(
                    procedure=OrvanePipelineCallbackProcedure.HPO_EARLY_STOPPED,
                    status=OrvanePipelineCallbackStatus.SUCCESSFUL,
                    msg=f"Optimization stopped early: the target value has not improved in the "
                    f"last {rounds} trials.",
                    successful={
                        "trials": trial.number,
                        "best_value": self._best,
                        "early_stopping_rounds": rounds,
                    },
                )
            )
