"""The optimizer's study callbacks on real studies: trial reports and early stopping."""

from __future__ import annotations

import math

import optuna
import pytest

from orvane_core.callbacks import IOrvaneHPOCallback, OrvaneHPOEarlyStoppingCallback
from orvane_core.callbacks.parameters_optimizer.tracemark import OrvaneHPOTracemarkCallback
from orvane_core.misc import OrvanePipelineCallbackProcedure as P

optuna.logging.disable_default_handler()


def run(callback, values, directions=("minimize",)):
    study = optuna.create_study(directions=list(directions))
    feed = iter(values)
    study.optimize(
        lambda t: (t.suggest_float("x", 0, 1), next(feed))[1], len(values), callbacks=[callback]
    )
    return study


def test_tracemark_reports_each_trial_in_one_shared_mapping():
    records = []
    callback = OrvaneHPOTracemarkCallback(pipeline_callback=records.append)
    assert isinstance(callback, IOrvaneHPOCallback) and callback._pipeline_callback is not None
    study = run(callback, [0.5, 0.25])
    assert [(r.procedure, r.msg) for r in records] == [(P.HPO_TRIAL_EXECUTED, "")] * 2
    assert records[0].successful is records[1].successful is callback._live_log
    assert callback._live_log == {
        "trials": 1,
        "parameters": study.trials[1].params,
        "values": [0.25],
    }


@pytest.mark.parametrize("pipeline_callback", [True, False])
def test_tracemark_stops_a_diverging_study(pipeline_callback):
    records = []
    callback = OrvaneHPOTracemarkCallback(records.append if pipeline_callback else None)
    study = run(callback, [(0.5, 1.0), (2.0, -math.inf), (1.0, 1.0)], ("minimize", "maximize"))
    assert len(study.trials) == 2 and callback._live_log["values"] == [0.5, 1.0]
    expected = [P.HPO_TRIAL_EXECUTED, P.HPO_ERROR] if pipeline_callback else []
    assert [r.procedure for r in records] == expected


@pytest.mark.parametrize(
    ("direction", "values", "trials_run", "best"),
    [
        ("minimize", [5, 4, 4, 3, 6, 9, 9], 6, 3),  # stops after 2 trials without a lower value
        ("maximize", [1, 2, 3, 4, 5, 6, 7], 7, 7),  # always improving: runs to the end
        ("minimize", [1, math.nan, 2, 0, 0], 3, 1),  # a failed trial does not improve
    ],
)
def test_early_stopping(direction, values, trials_run, best):
    records = []
    callback = OrvaneHPOEarlyStoppingCallback(
        pipeline_callback=records.append, early_stopping_rounds=2, direction=direction
    )
    study = run(callback, values, (direction,))
    assert len(study.trials) == trials_run and callback.best_value == best
    if trials_run < len(values):
        (record,) = records
        assert record.procedure == P.HPO_EARLY_STOPPED and "2 trials" in record.msg
        assert record.successful == {
            "trials": trials_run - 1,
            "best_value": best,
            "early_stopping_rounds": 2,
        }
    else:
        assert records == []


@pytest.mark.parametrize(
    ("rounds", "direction"), [(0, "minimize"), (True, "minimize"), (1.5, "maximize"), (3, "up")]
)
def test_early_stopping_rejects_bad_settings(rounds, direction):
    with pytest.raises(ValueError, match="^Invalid input:"):
        OrvaneHPOEarlyStoppingCallback(early_stopping_rounds=rounds, direction=direction)
