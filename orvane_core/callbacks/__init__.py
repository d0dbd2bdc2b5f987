"""Callback channels: the pipeline's report channel to the front end and optimizer callbacks."""

from __future__ import annotations

from orvane_core.callbacks.callback_meta import IOrvaneHPOCallback, OrvanePipelineCallback
from orvane_core.callbacks.parameters_optimizer.early_stopping import (
    OrvaneHPOEarlyStoppingCallback,
)

__all__ = ["IOrvaneHPOCallback", "OrvaneHPOEarlyStoppingCallback", "OrvanePipelineCallback"]
