"""Parameter search on a real pipeline in a real shell: trials, results, errors, interrupts."""

from __future__ import annotations

import math
import os
import signal

import optuna
import pytest

from orvane_core.frontend.session import target_names
from orvane_core.misc import OrvanePipelineCallbackProcedure as P
from tests.pipeline.conftest import component, dag

UNIFORM = {"x": {"low": 0, "high": 1}}


def hpo(recorder):
    return [r for r in recorder.records if r.procedure.startswith("hpo_")]


def search_pipeline(make_pipeline, target_code, parents=(("a", "base = 1"),)):
    """Cached parents feeding a target component "t"."""
    components = [component(cid, code, diskcache=True) for cid, code in parents]
    components.append(component("t", target_code))
    return make_pipeline(dag(components, [(cid, "t") for cid, _ in parents]))


def finished_normally(p, recorder):
    """The request ended with a summary and gave the disk cache back."""
    assert recorder.records[-1].procedure == P.PIPELINE_UPDATED
    assert all(p.nodes[c].use_diskcache for c in p.nodes if c != "t")


def test_single_objective_search_draws_every_distribution(make_pipeline, recorder):
    p = search_pipeline(make_pipeline, "(x - 0.3) ** 2 + n + lr + d + f + base")
    parameters = {
        "x": {"low": 0, "high": 1},
        "n": {"low": 1.9, "high": 8.7, "distribution": "int"},
        "lr": {"low": 0.001, "high": 0.1, "distribution": "loguniform"},
        "d": {"low": 0, "high": 1, "distribution": "discrete_uniform", "interval": 0.25},
        "f": {"low": -1, "high": 1, "distribution": "float"},
    }
    p.optimize_parameters("t", "TPESearch", [0], parameters, 6)

    reports = hpo(recorder)
    assert [r.procedure for r in reports] == [P.HPO_TRIAL_EXECUTED] * 6 + [P.HPO_COMPLETED]
    log = p._hpoptimizer.optimization_log
    for entry in log:
        v = entry["parameters"]
        assert type(v["n"]) is int and 1 <= v["n"] <= 8 and v["d"] in (0, 0.25, 0.5, 0.75, 1)
        expected = (v["x"] - 0.3) ** 2 + v["n"] + v["lr"] + v["d"] + v["f"] + 1
        assert entry["values"] == [pytest.approx(expected)]
    # The pipeline keeps the last trial's values; parameters not tuned are kept as they were.
    assert p.parameters == log[-1]["parameters"]
    finished_normally(p, recorder)
    # A trial a caller runs itself: its drawn value becomes the pipeline's, the target's returns.
    trial = optuna.create_study().ask()
    value = p._parameter_optimizing_task(trial, "t", {"x": UNIFORM["x"]})
    v = p.parameters
    assert v["x"] == trial.params["x"]
    assert value == pytest.approx((v["x"] - 0.3) ** 2 + v["n"] + v["lr"] + v["d"] + v["f"] + 1)


@pytest.mark.parametrize(
    "code, titles",
    [
        ("gain = x + base\ncost = x * x\ngain, cost", ("gain", "cost")),
        # Each element's source text as astor writes it, as the front end's table names them too.
        ("x + base, x * x", ("(x + base)", "(x * x)")),
    ],
)
def test_two_objectives_named_after_the_tuple(make_pipeline, recorder, code, titles):
    p = search_pipeline(make_pipeline, code)
    p.optimize_parameters("t", "RandomSearch", [1, 0], UNIFORM, 5)
    done = hpo(recorder)[-1]
    assert done.procedure == P.HPO_COMPLETED
    assert p._hpoptimizer._study.directions[0].name == "MAXIMIZE"
    layout = done.successful["pareto_front_plot"]["layout"]
    assert (layout["xaxis"]["title"]["text"], layout["yaxis"]["title"]["text"]) == titles
    # The front end's table names the objectives as the plots do.
    assert tuple(target_names(code.splitlines()[-1])) == titles
    assert len(done.successful["parameter_importance"]) == 2


def test_grid_search_ends_when_the_grid_is_used_up(make_pipeline, recorder):
    p = search_pipeline(make_pipeline, "x")
    p.optimize_parameters("t", "GridSearch", [1], {"x": {"low": 0, "high": 3, "interval": 1}}, 20)
    reports = hpo(recorder)
    assert [r.procedure for r in reports] == [P.HPO_TRIAL_EXECUTED] * 3 + [P.HPO_COMPLETED]
    assert reports[-1].successful["best_trials"][next(iter(reports[-1].successful["best_trials"]))][
        "values"
    ] == [2.0]


class NoMemory:
    def __float__(self):
        raise MemoryError


class Unencodable:
    def __float__(self):
        raise RuntimeError("bad \ud800")


TYPE = "Target value error: type of target values should be integer or float"
MISSING = "Target value error: target values to optimize do not exist"


@pytest.mark.parametrize(
    ("code", "method", "parameters", "procedure", "msg"),
    [
        (
            "float('inf')",
            "RandomSearch",
            UNIFORM,
            P.HPO_ERROR,
            "Optimization failed because the target value diverged",
        ),
        ("'text'", "RandomSearch", UNIFORM, P.HPO_TARGET_VALUE, TYPE),
        ("x", "RandomSearch", {"x": {"low": NoMemory(), "high": 1}}, P.HPO_ERROR, "MemoryError"),
        (
            "10 ** 400",
            "RandomSearch",
            UNIFORM,
            P.HPO_TARGET_VALUE,
            "Target value error: the target value is too large",
        ),
        ("None", "RandomSearch", UNIFORM, P.HPO_TARGET_VALUE, MISSING),
        ("[1, 2]", "RandomSearch", UNIFORM, P.HPO_TARGET_VALUE, TYPE),
        ("1 / 0", "RandomSearch", UNIFORM, P.HPO_TARGET_VALUE, MISSING),
        (
            "(1, 2)",
            "RandomSearch",
            UNIFORM,
            P.HPO_TARGET_VALUE,
            "Target value error: the target gives 2 value(s) for 1 optimization direction(s)",
        ),
        (
            "x",
            "RandomSearch",
            {"x": {"low": 0, "high": 1, "distribution": "gauss"}},
            P.HPO_INPUT_ERROR,
            "Invalid input: distribution 'gauss'",
        ),
        # Texts with a lone surrogate are reported as they are.
        (
            "x",
            "RandomSearch",
            {"x": {"low": 0, "high": 1, "distribution": "\ud800"}},
            P.HPO_INPUT_ERROR,
            "Invalid input: distribution '\ud800'",
        ),
        ("x", "RandomSearch", {"x": {"low": Unencodable(), "high": 1}}, P.HPO_ERROR, "bad \ud800"),
        (
            "x",
            "TPESearch",
            {"x": {"low": 0, "high": 1, "distribution": "discrete_uniform"}},
            P.HPO_INPUT_ERROR,
            "Invalid input: no interval value for discrete uniform sampler",
        ),
        (
            "x",
            "RandomSearch",
            {"x": {"low": 2, "high": 1}},
            P.HPO_INPUT_ERROR,
            "Invalid input: parameter 'x': ",
        ),
        (
            "x",
            "RandomSearch",
            {"x": {"low": 2, "high": 1, "distribution": "int"}},
            P.HPO_INPUT_ERROR,
            "Invalid input: parameter 'x': ",
        ),
        (
            "x",
            "RandomSearch",
            {"x": {"high": 1}},
            P.HPO_INPUT_ERROR,
            "Invalid input: parameter 'x': the description has no 'low' value",
        ),
        (
            "x",
            "GridSearch",
            {"x": {"low": 1, "high": 1, "interval": 1}},
            P.HPO_INPUT_ERROR,
            "Invalid input: parameter 'x': its grid is empty",
        ),
        (
            "x",
            "GridSearch",
            {"x": {"low": 0, "high": 1, "interval": 1e-9}},
            P.HPO_INPUT_ERROR,
            "Invalid input: parameter 'x': the grid reaches 1000000000 points",
        ),
    ],
)
def test_failed_requests_report_once_and_end_normally(
    make_pipeline, recorder, code, method, parameters, procedure, msg
):
    p = search_pipeline(make_pipeline, code)
    assert p.optimize_parameters("t", method, [0], parameters, 4) is None
    (report,) = hpo(recorder)
    assert (report.procedure, report.status) == (procedure, "successful")
    assert report.msg.startswith(msg)
    finished_normally(p, recorder)


def test_requests_rejected_before_the_search(make_pipeline, recorder):
    p = search_pipeline(make_pipeline, "x")
    recorder.clear()
    p.optimize_parameters("t", "RandomSearch", [0], {}, 3)
    assert [(r.procedure, r.msg) for r in recorder.records] == [
        (P.HPO_INPUT_ERROR, "At least one parameter to be optimized must be entered.")
    ]
    assert p._hpoptimizer is None
    with pytest.raises(ValueError, match="The information of parameter 'x'"):
        p.optimize_parameters("t", "GridSearch", [0], {"x": {"low": 0, "high": 1}}, 3)
    with pytest.raises(TypeError):
        p.optimize_parameters(1, "GridSearch", [0], UNIFORM, 3)
    assert p.nodes["a"].use_diskcache


def test_not_a_number_fails_the_trial_and_the_search_goes_on(make_pipeline, recorder):
    p = search_pipeline(make_pipeline, "float('nan') if x < 1 else x")
    p.optimize_parameters("t", "GridSearch", [0], {"x": {"low": 0, "high": 3, "interval": 1}}, 5)
    reports = hpo(recorder)
    assert [r.status for r in reports[:3]].count("failed") == 1
    assert reports[-1].procedure == P.HPO_COMPLETED and p._hpoptimizer.best_values == [[1.0]]


def test_a_target_that_did_not_start_fails_instead_of_scoring_a_parent(make_pipeline, recorder):
    # Two parents give "v" different values, so the target cannot start; the last value the run
    # produced is the second parent's x.
    p = search_pipeline(make_pipeline, "v", parents=(("a", "v = 1"), ("b", "v = x\nx")))
    p.optimize_parameters("t", "RandomSearch", [0], {"x": {"low": 2, "high": 3}}, 3)
    (report,) = hpo(recorder)
    assert (report.procedure, report.msg) == (P.HPO_TARGET_VALUE, MISSING)


def test_early_stopping_through_the_pipeline(make_pipeline, recorder):
    p = search_pipeline(make_pipeline, "1.0")
    p.optimize_parameters("t", "RandomSearch", [1], UNIFORM, 20, early_stopping_rounds=2)
    procedures = [r.procedure for r in hpo(recorder)]
    assert procedures == [P.HPO_TRIAL_EXECUTED] * 3 + [P.HPO_EARLY_STOPPED, P.HPO_COMPLETED]


INTERRUPTING = """
import os, signal
if os.environ.pop("ORVANE_TEST_INTERRUPT", None):
    os.kill(os.getpid(), signal.SIGINT)
x * base
"""


def test_interrupt_inside_a_trial_cancels_the_search(make_pipeline, recorder, monkeypatch):
    handler = signal.getsignal(signal.SIGINT)
    p = search_pipeline(make_pipeline, INTERRUPTING)
    p.optimize_parameters("t", "RandomSearch", [0], UNIFORM, 2)
    recorder.clear()

    monkeypatch.setenv("ORVANE_TEST_INTERRUPT", "1")
    p.optimize_parameters("t", "RandomSearch", [0], UNIFORM, 5)
    assert "ORVANE_TEST_INTERRUPT" not in os.environ
    assert [(r.procedure, r.msg) for r in hpo(recorder)] == [
        (P.HPO_CANCELED, "Parameter optimizing operation stopped.")
    ]
    finished_normally(p, recorder)
    assert signal.getsignal(signal.SIGINT) is handler

    recorder.clear()
    p.optimize_parameters("t", "RandomSearch", [0], UNIFORM, 2)
    assert hpo(recorder)[-1].procedure == P.HPO_COMPLETED
    assert math.isclose(
        p._hpoptimizer.best_values[0][0],
        min(p._hpoptimizer.optimization_log, key=lambda e: e["values"][0])["values"][0],
    )


@pytest.mark.parametrize("quiet, shown", [(False, 3), (True, 0)])
def test_quiet_trials_show_nothing_in_the_notebook(make_pipeline, recorder, capsys, quiet, shown):
    p = search_pipeline(make_pipeline, "print('trial ran')\nx")
    capsys.readouterr()
    p.optimize_parameters("t", "RandomSearch", [0], UNIFORM, 3, quiet_trials=quiet)
    assert capsys.readouterr().out.count("trial ran") == shown
    assert [r.procedure for r in hpo(recorder)][-1] == P.HPO_COMPLETED
