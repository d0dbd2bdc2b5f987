"""Normalising cell source: newlines, indentation and trailing blanks."""

from __future__ import annotations

import pytest

from orvane_core.common import format_code


@pytest.mark.parametrize(
    ("code", "expected"),
    [
        ("x = 1", "x = 1"),
        ("x = 1\r\ny = 2\r\n", "x = 1\ny = 2"),
        ("x = 1\ry = 2", "x = 1\ny = 2"),
        ("    x = 1\n    if x:\n        y = 2", "x = 1\nif x:\n    y = 2"),
        ("x = 1   \ny = 2\t\n", "x = 1\ny = 2"),
        ("x = 1\n\n\n   \n", "x = 1"),
        ("\n\nx = 1", "\n\nx = 1"),
        ("x = 1\n\ny = 2", "x = 1\n\ny = 2"),
        ("", ""),
        ("   \n\t\n", ""),
        ("\tx = 1\n\ty = 2", "x = 1\ny = 2"),
    ],
)
def test_format_code(code, expected):
    assert format_code(code) == expected


def test_formatting_is_idempotent():
    code = "  a = 1  \r\n  b = a\r\n\r\n"
    once = format_code(code)
    assert format_code(once) == once


@pytest.mark.parametrize("value", [None, b"x = 1", 1])
def test_only_text_is_accepted(value):
    with pytest.raises(TypeError):
        format_code(value)
