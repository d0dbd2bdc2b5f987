"""Creating, summarising and deleting pipelines; the process-wide pipeline id; exit clean-up."""

from __future__ import annotations

import contextlib
import gc
import os
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

from orvane_core.misc import OrvaneComponentStatus
from orvane_core.misc.models import OrvanePipelineParameterModel
from orvane_core.pipeline import pipeline as engine
from tests.pipeline.conftest import Pipeline, Recorder, component, dag
from tests.pipeline.test_diskcache_helpers import settle

ROOT = Path(__file__).resolve().parents[2]


def cache_dir(p) -> Path:
    return Path(str(p._diskcache_dir))


def test_construction_prepares_directory_writer_and_environment(make_pipeline, recorder):
    p = make_pipeline(dag([("a", "1")]), identifier="pipe-1", parameters=[])
    assert p.id == "pipe-1"
    assert cache_dir(p).name == "pipeline-pipe-1" and cache_dir(p).parent.name == "pipelines"
    assert cache_dir(p).is_dir()
    assert os.environ["ORVANE_DAG"] == "pipe-1"
    assert p._diskcache_writer.is_alive()
    assert p._hpoptimizer is None and p._parameters == {} and p._python_requirements == []
    assert recorder.records == []  # empty parameters are not applied


def test_outside_a_kernel_there_is_no_connection_and_no_kernel_app_is_made(make_pipeline):
    from ipykernel.kernelapp import IPKernelApp

    p = make_pipeline(dag([]))
    assert p._ipykernel_connection is None
    assert not IPKernelApp.initialized()


def test_parameters_with_a_callback_can_be_reported_during_construction(make_pipeline, recorder):
    p = make_pipeline(
        dag([("a", "1")]),
        parameters=[OrvanePipelineParameterModel(name="n", type="int", value="3")],
    )
    assert recorder.records, "applying parameters reports to the front end"
    summary = recorder.summaries[-1].successful
    assert summary["diskcache_dir"] == str(p._diskcache_dir)
    assert summary["python_requirements"] == []
    assert p.parameters["n"] in (3, "3")


def test_second_pipeline_with_the_same_id_adopts_the_directory(make_pipeline):
    graph = dag([component("a", "x = 41 + 1", diskcache=True)])
    first = make_pipeline(graph, identifier="shared-id")
    first.execute_all(send_to_front=False)
    settle(first)
    second = make_pipeline(graph, identifier="shared-id")
    assert cache_dir(second) == cache_dir(first)
    # Taken from the first one's disk cache at construction, without running.
    assert second.nodes["a"].status == OrvaneComponentStatus.SUCCESSFUL
    assert second.nodes["a"].outputs["x"] == 42


def test_info_adds_parameters_directory_and_requirements(make_pipeline):
    p = make_pipeline(dag([("a", "1"), ("b", "2")], [("a", "b")]), identifier="info-id")
    p.python_requirements = ["x==1"]
    info = p.info
    plain = info.dict()
    assert plain["id"] == "info-id"
    assert [c["identifier"] for c in plain["components"]] == ["a", "b"]
    assert plain["edges"] == [{"source": "a", "target": "b"}]
    assert plain["diskcache_dir"] == str(p._diskcache_dir)
    assert plain["python_requirements"] == ["x==1"]
    assert plain["parameters"] == [r.dict() for r in p.parameters_view]


EDITS_BY_A_RECEIVER = {
    "edge appended": lambda s: s["edges"].append({"source": "b", "target": "a"}),
    "edge replaced": lambda s: s["edges"].__setitem__(0, {"source": "x", "target": "y"}),
    "edges cleared": lambda s: s["edges"].clear(),
    "package removed": lambda s: s["python_requirements"].pop(),
}


@pytest.mark.parametrize("edit", sorted(EDITS_BY_A_RECEIVER))
def test_a_receiver_editing_a_summary_does_not_change_the_next_ones(make_pipeline, recorder, edit):
    p = make_pipeline(dag([("a", "1"), ("b", "2")], [("a", "b")]))
    p.python_requirements = ["x==1"]
    p.run_callback()
    EDITS_BY_A_RECEIVER[edit](recorder.summaries[-1].successful)
    p.execute_all()
    expected = p.info.dict()
    for record in recorder.summaries[-4:]:
        assert record.successful["edges"] == expected["edges"] == [{"source": "a", "target": "b"}]
        # The run refreshes the package list at its end.
        assert record.successful["python_requirements"] in (
            ["x==1"],
            expected["python_requirements"],
        )


def test_enroll_pipeline_to_env():
    engine.enroll_pipeline_to_env("by-hand")
    assert os.environ["ORVANE_DAG"] == "by-hand"
    engine.enroll_pipeline_to_env(pipeline_id="again")
    assert os.environ["ORVANE_DAG"] == "again"
    for bad in (None, b"bytes", 5):
        with pytest.raises(TypeError):
            engine.enroll_pipeline_to_env(bad)
    assert os.environ["ORVANE_DAG"] == "again"


def test_deleting_the_owner_closes_the_writer_and_clears_the_directory():
    p = Pipeline(identifier="owned", graph=dag([("a", "1")]))
    directory, writer = cache_dir(p), p._diskcache_writer
    assert directory.is_dir()
    del p
    gc.collect()
    assert not writer.is_alive()
    assert not directory.exists()


class FrontEnd:
    """Holds its pipeline and receives its records, as the notebook front end does."""

    def __init__(self, pipeline):
        self.pipeline = pipeline

    def __call__(self, data):
        pass


@pytest.mark.parametrize("callback", [lambda p: lambda data: p.id, FrontEnd])
def test_a_callback_referring_back_does_not_keep_its_pipeline_alive(callback):
    def make():
        p = Pipeline(identifier="cycle", graph=dag([("a", "1")]))
        p._callback = callback(p)
        p.execute_all(send_to_front=False)
        return weakref.ref(p), cache_dir(p), p._diskcache_writer

    ref, directory, writer = make()
    gc.collect()
    assert ref() is None
    assert not writer.is_alive() and not directory.exists()


def test_deleting_a_superseded_pipeline_leaves_the_adopted_directory():
    old = Pipeline(identifier="handover", graph=dag([("a", "1")]))
    new = Pipeline(identifier="handover", graph=dag([("a", "1")]))
    directory, old_writer = cache_dir(new), old._diskcache_writer
    (directory / "pipeline.json").write_text("{}")
    del old
    gc.collect()
    assert not old_writer.is_alive()
    assert directory.is_dir() and (directory / "pipeline.json").exists()
    del new
    gc.collect()
    assert not directory.exists()


def test_destructor_without_a_writer_does_nothing(make_pipeline):
    p = make_pipeline(dag([]))
    writer = p._diskcache_writer
    p._diskcache_writer = None
    p.__del__()
    assert cache_dir(p).is_dir()
    p._diskcache_writer = writer


def test_failed_construction_is_released_quietly():
    with pytest.raises(RuntimeError):
        Pipeline(graph=dag([("a", "")], [("a", "a")]))
    gc.collect()


EXIT_SCRIPT = """
import sys, time
sys.path.insert(0, {root!r})
from pathlib import Path
import orvane_core.common.utils as utils
utils.APP_TEMP_DIRECTORY = Path({app!r})
from tests.pipeline import conftest
graph = conftest.dag([conftest.component("a", "x = 1", diskcache=True)])
kept = conftest.Pipeline(identifier="at-exit", graph=graph)
print(kept.nodes["a"].diskcache_status.value)
kept.execute_all()
while kept.nodes["a"]._diskcache_status.value == "updating":
    time.sleep(0.01)
    kept.update_diskcache_status()
if {keep}:
    assert kept.keep_diskcache() == kept.diskcache_dir
print(Path(kept.diskcache_dir).is_dir())
"""


@pytest.mark.parametrize(
    ("keep", "runs"), [(False, ["uncached True"]), (True, ["uncached True", "cached True"])]
)
def test_exit_clears_the_directory_of_a_live_pipeline_unless_it_is_kept(tmp_path, keep, runs):
    app = tmp_path / "exit-app"
    script = textwrap.dedent(EXIT_SCRIPT.format(root=str(ROOT), app=str(app), keep=keep))
    for expected in runs:
        done = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=120, cwd=ROOT
        )
        assert done.returncode == 0, done.stderr
        assert " ".join(done.stdout.split()) == expected
        assert "Exception" not in done.stderr, done.stderr
    assert (app / "pipelines" / "pipeline-at-exit").exists() is keep


@pytest.mark.parametrize(
    ("member", "doc"),
    [
        ("OrvanePipeline", "Pipeline."),
        ("OrvanePipeline.info", "Summary information of pipeline."),
        ("OrvanePipeline.run_callback", "Run callback functions."),
        ("OrvanePipeline.execute_component", "Execute a component, including parent components."),
        ("OrvanePipeline.execute_components", "Execute components, including parent components."),
        ("OrvanePipeline.execute_all", "Execute all components."),
        ("OrvanePipeline._execute_component", "Execute component."),
        ("need_to_rerun_component", "Check if the component needs to be rerun."),
        ("enroll_pipeline_to_env", "Enroll DAG id as environment variable."),
    ],
)
def test_docstrings(member, doc):
    obj = engine
    for part in member.split("."):
        obj = getattr(obj, part)
    assert obj.__doc__.strip() == doc


def test_reported_summary_is_exactly_the_info_mapping(make_pipeline, recorder):
    p = make_pipeline(
        dag([("a", "x = 1"), ("b", "x")], [("a", "b")]),
        parameters=[OrvanePipelineParameterModel(name="n", type="int", value="3")],
    )
    p.python_requirements = ["pkg==1"]
    recorder.clear()
    p.run_callback()
    sent = recorder.records[-1].successful
    assert sent == p.info.dict()
    assert list(sent) == list(p.info.dict())

    base = type(p)

    class Renamed(base):
        @property
        def info(self):
            return base.info.fget(self).__class__(id="elsewhere")

    p.__class__ = Renamed
    p.run_callback()
    assert recorder.records[-1].successful["id"] == "elsewhere"


def test_skipping_unchanged_summaries_drops_only_exact_repeats(make_pipeline, recorder):
    # The same requests to a pipeline sending every summary and to one skipping repeats: the
    # second gets the first's records less each summary equal to the record just before it.
    sent = {}
    for skip in (False, True):
        recorder.clear()
        n = [OrvanePipelineParameterModel(name="n", type="int", value=v) for v in "12"]
        edges = [("a", "b"), ("b", "c")]
        graph = dag([("a", "x = n"), ("b", "y = x + 1"), ("c", "1 / (y - 3)")], edges)
        p = make_pipeline(graph, parameters=n[:1], skip_unchanged_summaries=skip)
        p.execute_all(send_to_front=False)
        p.set_parameters(new_parameters=n[1:])
        p.execute_all(send_to_front=False)  # c fails
        p.run_callback()
        p.run_callback(data=recorder.records[0])  # another record, then the same summary again
        p.run_callback()
        # Two pipelines differ in id and folder only.
        drop = {"id": None, "diskcache_dir": None}
        sent[skip] = [(r.procedure, r.msg, {**r.successful, **drop}) for r in recorder.records]
    expected = [r for i, r in enumerate(sent[False]) if i == 0 or r != sent[False][i - 1]]
    assert sent[True] == expected and len(expected) < len(sent[False])


class Unreferable:
    __slots__ = ("records",)  # no weak references

    def __init__(self):
        self.records = []

    def __call__(self, data):
        self.records.append(data)


class RaisingOnce(Recorder):
    def __call__(self, data):
        super().__call__(data)
        if len(self.records) == 1:
            raise RuntimeError("front end down")


# A callback given three equal summaries: how many reach it.
CALLBACKS = {
    "weakly referable": (Recorder, 1),
    "not": (Unreferable, 3),
    "raising": (RaisingOnce, 2),
}


@pytest.mark.parametrize("case", sorted(CALLBACKS))
def test_a_repeated_summary_reaches_a_callback_that_has_not_taken_it(make_pipeline, case):
    kind, received = CALLBACKS[case]
    p = make_pipeline(dag([("a", "1")]), callback=kind(), skip_unchanged_summaries=True)
    for _ in range(3):
        with contextlib.suppress(RuntimeError):
            p.run_callback()
    assert len(p._callback.records) == received
    p._callback = Recorder()  # a new callback receives the summary it has not seen
    p.run_callback()
    assert len(p._callback.records) == 1
