"""Names read and defined by real cell texts, including IPython syntax."""

from __future__ import annotations

import pytest

from orvane_core.common.names import cell_names

CASES = [
    # (cell text, reads, defines, reads_all)
    ("data = load(path)", {"load", "path"}, {"data"}, False),
    ("x = 1\ny = x + 1", set(), {"x", "y"}, False),
    ("y = x\nx = 2", {"x"}, {"x", "y"}, False),
    ("total += step", {"total", "step"}, {"total"}, False),
    ("a, (b, *c) = row", {"row"}, {"a", "b", "c"}, False),
    (
        "import numpy as np\nimport os.path\nfrom math import sqrt as root",
        set(),
        {"np", "os", "root"},
        False,
    ),
    ("from data_helpers import *", set(), set(), False),
    ("df['z'] = df.x * scale", {"df", "scale"}, set(), False),
    ("del frame", {"frame"}, set(), False),
    ("tmp = make()\nresult = tmp * 2\ndel tmp", {"make"}, {"result"}, False),
    (
        "def fit(X):\n    return model_cls(alpha=alpha).fit(X)",
        {"model_cls", "alpha"},
        {"fit"},
        False,
    ),
    ("def f():\n    return g()\ndef g():\n    return limit", {"limit"}, {"f", "g"}, False),
    ("def f(n=default):\n    y = n\n    return y", {"default"}, {"f"}, False),
    (
        "def outer():\n    k = 1\n    def inner():\n        return k + base\n    return inner",
        {"base"},
        {"outer"},
        False,
    ),
    ("def reset():\n    global counter\n    counter = 0", set(), {"reset", "counter"}, False),
    (
        "class Model(Base):\n    rate = lr\n    scaled = rate * 2\n"
        "    def step(self):\n        return rate",
        {"Base", "lr", "rate"},
        {"Model"},
        False,
    ),
    ("squares = [v * v for v in values if v > cutoff]", {"values", "cutoff"}, {"squares"}, False),
    ("pairs = {k: w for k, w in table.items()}", {"table"}, {"pairs"}, False),
    ("flat = [c for row in grid for c in row]", {"grid"}, {"flat"}, False),
    ("if (n := len(items)) > 3:\n    big = n", {"len", "items"}, {"n", "big"}, False),
    ("any((last := x) > 0 for x in xs)", {"any", "xs"}, {"last"}, False),
    ("f = lambda row: row[col]", {"col"}, {"f"}, False),
    (
        "for i, item in enumerate(batch):\n    seen = i",
        {"enumerate", "batch"},
        {"i", "item", "seen"},
        False,
    ),
    ("with open(fn) as fh:\n    text = fh.read()", {"open", "fn"}, {"fh", "text"}, False),
    (
        "try:\n    v = parse(s)\nexcept ValueError as err:\n    msg = str(err)",
        {"parse", "s", "ValueError", "str"},
        {"v", "msg"},
        False,
    ),
    (
        "match cmd:\n    case {'op': op, **rest}:\n        out = op\n    case [first, *others]:\n"
        "        out = first",
        {"cmd"},
        {"op", "rest", "out", "first", "others"},
        False,
    ),
    ("threshold: float = base_threshold", {"float", "base_threshold"}, {"threshold"}, False),
    ("result = eval(expr)", {"eval", "expr"}, {"result"}, True),
    ("exec(code_text)", {"exec", "code_text"}, set(), True),
    ("names = list(globals())", {"list", "globals"}, {"names"}, True),
    ("def peek():\n    return locals()", {"locals"}, {"peek"}, True),
    ("attrs = vars()", {"vars"}, {"attrs"}, True),
    ("get_ipython().run_line_magic('who', '')", {"get_ipython"}, set(), True),
    ("%time fitted = model.fit(X)", {"get_ipython"}, set(), True),
    ("!ls -l\nfiles = 3", {"get_ipython"}, {"files"}, True),
    ("%%time\nx = 1", {"get_ipython"}, set(), True),
    ("out = df.eval('a + b')", {"df"}, {"out"}, False),
    ("def broken(:\n    pass", set(), set(), True),
    ("", set(), set(), False),
]


@pytest.mark.parametrize(("code", "reads", "defines", "reads_all"), CASES)
def test_cell_names(code, reads, defines, reads_all):
    found = cell_names(code)
    assert (found.reads, found.defines, found.reads_all) == (reads, defines, reads_all)


@pytest.mark.parametrize(
    ("code", "imports"),
    [
        ("import numpy as np\nimport os.path\nfrom math import sqrt", {"np", "os"}),
        ("import json\njson = json.dumps({})", set()),
        ("def f():\n    import re\n    return re", set()),
    ],
)
def test_modules_bound_by_import_statements(code, imports):
    assert cell_names(code).imports == imports
