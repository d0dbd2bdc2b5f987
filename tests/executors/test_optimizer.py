"""The parameter optimizer: grid search spaces, input checks, a real study and its results."""

from __future__ import annotations

import math

import numpy as np
import optuna
import pytest

from orvane_core.executors.parameters_optimizer.optimizer import (
    OrvaneHPOptimizer,
    get_search_space,
)
from orvane_core.misc import OrvanePipelineCallbackProcedure as P

GRIDS = [
    ({"x": {"low": 0, "high": 1, "interval": 0.1}}, {"x": [i / 10 for i in range(10)]}),
    ({"x": {"low": 1, "high": 1, "interval": 1}}, {"x": []}),
    ({"x": {"low": 0, "high": 5, "interval": -1}}, {"x": []}),
    ({"x": {"low": "0", "high": "3", "interval": "1"}}, {"x": [0.0, 1.0, 2.0]}),
    (
        {"b": {"low": 0, "high": 2, "interval": 1}, "a": {"low": 5, "high": 0, "interval": -2.5}},
        {"b": [0.0, 1.0], "a": [5.0, 2.5]},
    ),
    ({}, {}),
]


@pytest.mark.parametrize(("parameters", "expected"), GRIDS)
def test_search_space(parameters, expected):
    space = get_search_space(parameters)
    assert space == expected and list(space) == list(expected)


@pytest.mark.parametrize(
    ("low", "high", "interval"),
    [(0, 1, 0.1), (-1.3, 2.9, 0.07), (0.001, 0.1, 0.003), (10, -3, -0.7), (1e-9, 3e-9, 1e-10)],
)
def test_search_space_matches_numeric_ranges(low, high, interval):
    expected = [round(v, 15) for v in np.arange(low, high, interval)]
    space = get_search_space({"x": {"low": low, "high": high, "interval": interval}})
    assert space["x"] == expected


@pytest.mark.parametrize(
    ("description", "error", "text"),
    [
        ({"low": 0, "high": 1}, ValueError, "The information of parameter 'lr' to get search"),
        ({"low": "a", "high": 1, "interval": 1}, ValueError, "could not convert"),
        ({"low": 0, "high": 1, "interval": 0}, ZeroDivisionError, "division by zero"),
        ({"low": 0, "high": math.inf, "interval": 1}, ValueError, "Maximum allowed size"),
    ],
)
def test_search_space_errors(description, error, text):
    with pytest.raises(error, match=text) as caught:
        get_search_space({"lr": description})
    if "information" in text:
        assert isinstance(caught.value.__cause__, KeyError)


@pytest.mark.parametrize(
    ("args", "text"),
    [
        (("GridSearch", [1]), "In GridSearch , 'parameters' must not be NoneType."),
        (("Bayes", []), "Invalid input: optimization method 'Bayes'"),
        ((None, [1]), "Invalid input: optimization method 'None'"),
        (("TPESearch", []), "Invalid input: no optimization directions"),
    ],
)
def test_constructor_rejects_bad_input(args, text):
    with pytest.raises(ValueError) as caught:
        OrvaneHPOptimizer(*args)
    assert str(caught.value) == text


def test_directions_and_early_stopping_callback():
    o = OrvaneHPOptimizer("RandomSearch", [1, 0, 2], early_stopping_rounds=5)
    assert o._directions == ["maximize", "minimize", "maximize"]
    assert o._early_stopping_callback is None
    single = OrvaneHPOptimizer("TPESearch", [0], early_stopping_rounds=5)
    assert single._early_stopping_callback._maximize is False
    with pytest.raises(TypeError):
        OrvaneHPOptimizer(1, [1])


def quadratic(trial):
    x = trial.suggest_float("x", -3, 3)
    return (x - 1) ** 2


def test_single_objective_study_reports_each_trial_then_the_result():
    records = []
    o = OrvaneHPOptimizer("TPESearch", [0], pipeline_callback=records.append)
    with pytest.raises(RuntimeError):
        o.optimize(quadratic, 3, ["y"])
    o.create_study()
    o.optimize(target_func=quadratic, n_trials=12, target_names=["y"])

    assert [r.procedure for r in records] == [P.HPO_TRIAL_EXECUTED] * 12 + [P.HPO_COMPLETED]
    done = records[-1].successful
    assert list(done) == ["best_trials", "pareto_front_plot", "parameter_importance"]
    ((number, best),) = done["best_trials"].items()
    assert best["values"] == o.best_values[0] == [min(t["values"][0] for t in o.optimization_log)]
    assert o.best_params == [best["parameters"]] and done["pareto_front_plot"] is None
    assert list(done["parameter_importance"][0]) == ["x"] and len(o.optimization_log) == 12
    # Copies for the best members, the optimizer's own list for the log.
    o.best_params.append(None)
    assert len(o.best_params) == 1 and o.optimization_log is o.optimization_log


def test_two_objectives_give_a_pareto_plot_and_one_importance_mapping_each():
    records = []
    o = OrvaneHPOptimizer("RandomSearch", [1, 0], pipeline_callback=records.append)
    o.create_study()

    def objective(trial):
        x, y = trial.suggest_float("x", 0, 1), trial.suggest_float("y", 0, 1)
        return x + y, x - y

    o.optimize(objective, 10, ["gain", "cost"])
    done = records[-1].successful
    plot = done["pareto_front_plot"]
    assert plot["layout"]["xaxis"]["title"]["text"] == "gain"
    assert len(done["parameter_importance"]) == 2
    assert all(set(m) == {"x", "y"} for m in done["parameter_importance"])


def test_importances_of_a_maximized_objective_describe_high_values():
    # High values depend on x only, low values on y only.
    def objective(trial):
        x, y = trial.suggest_float("x", 0, 1), trial.suggest_float("y", 0, 1)
        return x if x > 0.9 else -y

    for direction, important in ((1, "x"), (0, "y")):
        records = []
        o = OrvaneHPOptimizer("RandomSearch", [direction], pipeline_callback=records.append)
        o.create_study()
        o.optimize(objective, 300, ["v"])
        importance = records[-1].successful["parameter_importance"][0]
        assert max(importance, key=importance.get) == important


def test_grid_runs_out_before_n_trials_and_an_empty_grid_is_an_input_error():
    o = OrvaneHPOptimizer("GridSearch", [0], parameters={"x": {"low": 0, "high": 3, "interval": 1}})
    o.create_study()
    o.optimize(lambda t: t.suggest_float("x", 0, 3), 50, ["x"])
    assert sorted(e["parameters"]["x"] for e in o.optimization_log) == [0.0, 1.0, 2.0]

    empty = OrvaneHPOptimizer("GridSearch", [0], {"x": {"low": 1, "high": 1, "interval": 1}})
    empty.create_study()
    with pytest.raises(ValueError, match="Invalid input: parameter 'x': its grid is empty"):
        empty.optimize(lambda t: 0.0, 5, ["x"])


def test_divergence_stops_the_study_without_completion_or_log():
    records = []
    o = OrvaneHPOptimizer("RandomSearch", [1, 0], pipeline_callback=records.append)
    o.create_study()
    values = iter([(1.0, 2.0), (3.0, -math.inf), (5.0, 6.0)])
    o.optimize(lambda t: (t.suggest_float("x", 0, 1), next(values))[1], 3, ["a", "b"])
    assert [r.procedure for r in records] == [P.HPO_TRIAL_EXECUTED, P.HPO_ERROR]
    assert records[1].msg == "Optimization failed because the target value diverged"
    assert o.optimization_log == [] and len(o._study.trials) == 2 and o.best_trials


def test_nan_trial_is_reported_failed_and_the_search_goes_on():
    records = []
    o = OrvaneHPOptimizer("RandomSearch", [0], pipeline_callback=records.append)
    o.create_study()
    values = iter([1.0, math.nan, 0.5])
    o.optimize(lambda t: (t.suggest_float("x", 0, 1), next(values))[1], 3, ["v"])
    failed = records[1]
    assert (failed.procedure, failed.status) == (P.HPO_TRIAL_EXECUTED, "failed")
    assert failed.failed["trials"] == 1 and "not a number" in failed.msg
    assert records[-1].procedure == P.HPO_COMPLETED and o.best_values == [[0.5]]
    assert o.optimization_log[1]["values"] is None
    assert o._study.trials[1].state == optuna.trial.TrialState.FAIL
