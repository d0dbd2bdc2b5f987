"""Shared utilities of the package: source normalisation used wherever cell code is analysed."""

from __future__ import annotations

import textwrap


def format_code(code: str) -> str:
    """Cell source with uniform newlines, common indentation removed and no trailing blanks.

    Cells pasted from elsewhere arrive with Windows or old Mac newlines, a shared indent or
    trailing spaces; analysing the normalised text keeps the result independent of that noise.
    Leading blank lines are kept so that line numbers still match what the user sees.
    """
    if not isinstance(code, str):
        raise TypeError(f"code must be str, not {type(code).__name__}")
    text = code.replace("\r\n", "\n").replace("\r", "\n")
    text = textwrap.dedent(text)
    lines = [line.rstrip() for line in text.split("\n")]
    while lines and not lines[-1]:
        lines.pop()
    return "\n".join(lines)


__all__ = ["format_code"]
