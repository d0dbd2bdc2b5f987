"""Base classes of the callbacks: the front-end channel and the optimizer's trial callbacks."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any


class OrvanePipelineCallback:
    """The front-end channel: called with one callback record per change of state.

    Wraps a plain function, or is subclassed with ``__call__`` overridden. Exceptions reach the
    caller, so a front end that cannot take a record stops the operation that sent it.
    """

    def __init__(self, function: Callable[[Any], Any] | None = None) -> None:
        self._function = function

    def __call__(self, data: Any) -> None:
        if self._function is not None:
            self._function(data)


class IOrvaneHPOCallback:
    """Base of the optimizer's study callbacks; they report through the pipeline callback."""

    def __init__(self, pipeline_callback: OrvanePipelineCallback | None = None) -> None:
        self._pipeline_callback = pipeline_callback

    def __call__(self, study: Any, trial: Any) -> None:
        raise NotImplementedError
