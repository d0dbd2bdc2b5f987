"""The package and its native modules import and sit at their documented paths."""

import importlib

import pytest


@pytest.mark.parametrize(
    "name",
    [
        "orvane_core._native",
        "orvane_core.components.vostrel",
        "orvane_core.pipeline.pipeline",
        "orvane_core.executors.parameters_optimizer.optimizer",
        "orvane_core.callbacks.parameters_optimizer.tracemark",
    ],
)
def test_native_modules_are_extensions(name):
    module = importlib.import_module(name)
    assert module.__file__.endswith(".so")
