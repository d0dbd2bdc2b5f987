"""Shared utilities of the package."""

from __future__ import annotations


def format_code(code: str) -> str:
    """Normalised cell source (placeholder until the executor work lands)."""
    return code
