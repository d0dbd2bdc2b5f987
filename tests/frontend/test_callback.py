"""The default callback keeps up with a burst of summaries by drawing only the latest."""

import threading
import time

import pytest

from orvane_core.frontend.callback import OrvaneFrontendCallback
from orvane_core.misc import OrvanePipelineCallbackProcedure, OrvanePipelineCallbackStatus
from orvane_core.misc.models import OrvanePipelineCallbackDataModel


class _View:
    def __init__(self, seconds=0.0):
        self.seen = []
        self.seconds = seconds  # how long it takes to draw, as a view says

    def update(self, summary, elapsed=None, live=False):
        self.seen.append(summary)


def _summary(i, n=50):
    return {
        "components": [
            {
                "identifier": f"c{k}",
                "name": f"c{k}",
                "execution_status": "successful" if k < i else "invalid",
            }
            for k in range(n)
        ],
        "edges": [],
    }


def test_a_burst_of_summaries_is_drawn_once_and_the_last_one_wins():
    callback = OrvaneFrontendCallback(progress="none", interval=3600)
    view = _View()
    callback.views.append(view)
    callback.begin_execution([f"c{k}" for k in range(50)], "all")
    for i in range(5000):
        callback(
            OrvanePipelineCallbackDataModel(
                procedure=OrvanePipelineCallbackProcedure.PIPELINE_UPDATED,
                status=OrvanePipelineCallbackStatus.SUCCESSFUL,
                successful=_summary(i % 51),
            )
        )
    last = callback.summary
    callback.end_execution("done")
    assert callback.records == 5000
    assert callback.draws == 1  # the final state, when the run ends
    assert view.seen[-1] is last


@pytest.mark.parametrize(
    "seconds, drawn_during_the_run",
    [(0.0, True), (0.001, True), (0.5, False)],  # waits 30x its drawing time: 15 s
)
def test_a_view_slow_to_draw_waits_during_a_run_and_shows_its_last_record(
    seconds, drawn_during_the_run
):
    callback = OrvaneFrontendCallback(progress="none", interval=0.01)
    view = _View(seconds)
    callback.views.append(view)
    callback.begin_execution([f"c{k}" for k in range(50)], "all")
    try:
        for i in range(12):
            time.sleep(0.02)
            callback(
                OrvanePipelineCallbackDataModel(
                    procedure=OrvanePipelineCallbackProcedure.PIPELINE_UPDATED,
                    status=OrvanePipelineCallbackStatus.SUCCESSFUL,
                    successful=_summary(i),
                )
            )
        last = callback.summary
        during = list(view.seen)
    finally:
        callback.end_execution("done")
    assert bool(during) == drawn_during_the_run
    assert view.seen[-1] is last


def test_each_component_of_the_run_is_reported_once_when_it_finishes():
    finished = []
    callback = OrvaneFrontendCallback(progress="none", interval=3600)
    callback.begin_execution([f"c{k}" for k in range(40)], "all", on_finished=finished.append)
    # As the engine sends them: a new entry for a changed component, the same for the others.
    entries = [{"identifier": f"c{k}", "execution_status": "invalid"} for k in range(50)]
    entries[0] = {"identifier": "c0", "execution_status": "successful"}  # reused, never ran

    def send():
        callback(
            OrvanePipelineCallbackDataModel(
                procedure=OrvanePipelineCallbackProcedure.PIPELINE_UPDATED,
                status=OrvanePipelineCallbackStatus.SUCCESSFUL,
                successful={"components": list(entries), "edges": []},
            )
        )

    for k in range(1, 50):  # c40 and later are not part of the run
        for status in ("running", "failed" if k == 7 else "successful"):
            entries[k] = {"identifier": f"c{k}", "execution_status": status}
            send()
            send()
    assert finished == [f"c{k}" for k in range(1, 40)]


@pytest.mark.parametrize("changed", [(0, 1), (3, 45), (20, 21, 22), (0, 17, 33, 49)])
def test_components_finishing_together_are_each_reported(changed):
    # A parallel run can change several entries, anywhere in the list, between two records.
    finished = []
    callback = OrvaneFrontendCallback(progress="none", interval=3600)
    callback.begin_execution([f"c{k}" for k in range(50)], "all", on_finished=finished.append)
    entries = [{"identifier": f"c{k}", "execution_status": "invalid"} for k in range(50)]
    for status in ("running", "successful"):
        for k in changed:
            entries[k] = {"identifier": f"c{k}", "execution_status": status}
        callback(
            OrvanePipelineCallbackDataModel(
                procedure=OrvanePipelineCallbackProcedure.PIPELINE_UPDATED,
                status=OrvanePipelineCallbackStatus.SUCCESSFUL,
                successful={"components": list(entries), "edges": []},
            )
        )
    assert sorted(finished) == sorted(f"c{k}" for k in changed)


def test_an_error_in_on_finished_reaches_the_engine_and_frees_the_lock():
    def fail(cid):
        raise ValueError(cid)

    callback = OrvaneFrontendCallback(progress="none", interval=3600)
    callback.begin_execution(["c0"], "all", on_finished=fail)
    for status in ("running", "successful"):
        record = OrvanePipelineCallbackDataModel(
            procedure=OrvanePipelineCallbackProcedure.PIPELINE_UPDATED,
            status=OrvanePipelineCallbackStatus.SUCCESSFUL,
            successful={"components": [{"identifier": "c0", "execution_status": status}]},
        )
        if status == "running":
            callback(record)
    with pytest.raises(ValueError, match="c0"):
        callback(record)
    acquired = []

    def take_lock():  # as the ticker thread does
        acquired.append(callback._lock.acquire(timeout=5))
        if acquired[-1]:
            callback._lock.release()

    thread = threading.Thread(target=take_lock)
    thread.start()
    thread.join(10)
    assert acquired == [True]
    callback.end_execution("failed", failed=True)


def test_search_records_are_kept_as_copies():
    callback = OrvaneFrontendCallback(progress="none")
    callback.begin_search(3, ["r2"], ["maximize"])
    live = {}
    for n, value in enumerate([0.5, 0.9, 0.7]):
        live.update(trials=n, parameters={"a": n}, values=[value])  # one mapping, updated in place
        callback(
            OrvanePipelineCallbackDataModel(
                procedure=OrvanePipelineCallbackProcedure.HPO_TRIAL_EXECUTED,
                status=OrvanePipelineCallbackStatus.SUCCESSFUL,
                successful=live,
            )
        )
    callback(
        OrvanePipelineCallbackDataModel(
            procedure=OrvanePipelineCallbackProcedure.HPO_COMPLETED,
            status=OrvanePipelineCallbackStatus.SUCCESSFUL,
            successful={
                "best_trials": {1: {"parameters": {"a": 1}, "values": [0.9]}},
                "pareto_front_plot": None,
                "parameter_importance": [{"a": 1.0}],
            },
        )
    )
    results = callback.end_search()
    assert [t["values"] for t in results.trials] == [[0.5], [0.9], [0.7]]
    assert results.best_value() == 0.9 and results.completed
    assert results.table() == (["trial", "a", "r2"], [["1", "1", "0.9"]])
    assert set(results.figures()) == {"importances"}
