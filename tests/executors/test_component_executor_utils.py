"""The last-expression split that names a cell's objective and result."""

from __future__ import annotations

import ast

import pytest

from orvane_core.common import format_code
from orvane_core.executors.component_executors.utils import (
    parse_last_expr_from_code,
    transform_ipython_syntax,
)


@pytest.mark.parametrize(
    ("code", "last", "rest"),
    [
        ("x = 1\nx", "x", "x = 1"),
        ("x = 1\nx + y * 2", "x + y * 2", "x = 1"),
        ("a = 1; a", "a", "a = 1;"),
        ("x = 1\n(accuracy, loss)", "(accuracy, loss)", "x = 1"),
        ("x = 1\nf(\n    x,\n)", "f(x)", "x = 1"),
        ("x = 1\nx  # the result", "x", "x = 1\n  # the result"),
        ("# setup\nx = 1\n\nx\n# trailing note", "x", "# setup\nx = 1\n\n\n# trailing note"),
        ("s = 'é'; s", "s", "s = 'é';"),
        ("x = 1", "", "x = 1"),
        ("for i in range(3):\n    i", "", "for i in range(3):\n    i"),
        ("", "", ""),
        ("# only a comment", "", "# only a comment"),
        ("x = (", "", "x = ("),
        ("%time y = 2\ny", "y", "get_ipython().run_line_magic('time', 'y = 2')"),
        ("files = !ls\nlen(files)", "len(files)", "files = get_ipython().getoutput('ls')"),
    ],
)
def test_last_expression_and_rest(code, last, rest):
    assert parse_last_expr_from_code(code) == (last, rest)


@pytest.mark.parametrize(
    "code",
    [
        "x = 1\nx",
        "import os\nos.getcwd()",
        "def f():\n    return 1\n\nf()  # call",
        "y = [1,\n 2]\ny[0]",
    ],
)
def test_rest_and_last_expression_rebuild_a_valid_program(code):
    last, rest = parse_last_expr_from_code(code)
    ast.parse(rest + "\n" + last)


def test_applies_to_formatted_cell_code():
    code = "    x = 1\r\n    x   \r\n\r\n"
    assert parse_last_expr_from_code(format_code(code)) == ("x", "x = 1")


@pytest.mark.parametrize("value", [None, b"x = 1", 3])
def test_only_text_is_accepted(value):
    with pytest.raises(TypeError):
        parse_last_expr_from_code(value)


@pytest.mark.parametrize(
    "code",
    [
        "x = 1",
        "x = 1\ny = x + 2\n",
        "print('a%d' % 3)",
        "!echo hi",
        "%time x = 1",
        "x?",
        "  x = 1\n  y = 2",
        ">>> x = 1",
        "In [1]: x = 1",
        "def f():\n    return 1\n",
        "a = (1\n/ 2)",
        "/print 1",
        "",
        "\nx = 1",
        "s = 'what?'",
    ],
)
def test_plain_python_fast_path_agrees_with_ipython(code):
    from IPython.core.inputtransformer2 import TransformerManager

    assert transform_ipython_syntax(code) == TransformerManager().transform_cell(code)
