"""Callback channels: the pipeline's report channel to the front end and optimizer callbacks."""

from __future__ import annotations

from orvane_core.callbacks.callback_meta import IOrvaneHPOCallback, OrvanePipelineCallback

__all__ = ["IOrvaneHPOCallback", "OrvanePipelineCallback"]
