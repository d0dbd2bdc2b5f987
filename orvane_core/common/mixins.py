"""Mixins shared by the package's classes."""

from __future__ import annotations

import logging


class LoggingMixin:
    """Gives an object a logger named after its module and class."""

    def __init__(self) -> None:
        cls = type(self)
        self._logger = logging.getLogger(f"{cls.__module__}.{cls.__qualname__}")

    @property
    def logger(self) -> logging.Logger:
        try:
            return self._logger
        except AttributeError:
            cls = type(self)
            self._logger = logging.getLogger(f"{cls.__module__}.{cls.__qualname__}")
            return self._logger
