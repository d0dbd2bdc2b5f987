"""Fixed cost of running a cell through the local executor against IPython's own run_cell."""

from __future__ import annotations

import sys
import timeit

from IPython.core.interactiveshell import InteractiveShell

from orvane_core.executors import OrvaneComponentExecutor
from orvane_core.executors.component_executors import local, utils
from orvane_core.misc.models import OrvaneExecutionRequestModel

CELLS = {
    "trivial": "x = 1",
    "last expression": "x = 1\nx + 1",
    "print + import": "import math\nr = math.sqrt(4)\nprint(r)",
    "magic": "%time y = 2",
}


def per_call_us(func, repeat: int = 5) -> float:
    timer = timeit.Timer(func)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e6


def main() -> None:
    shell = InteractiveShell.instance()
    executor = OrvaneComponentExecutor(identifier="bench", name="bench")
    print("Per-cell cost, executor.execute vs shell.run_cell (store_history=False):")
    for label, code in CELLS.items():
        request = OrvaneExecutionRequestModel(
            identifier="bench",
            cell_code=code,
            module_statements={"js": "importlib.import_module('json')"},
            non_module_inputs={"data": [1, 2, 3]},
            parameters={"lr": 0.1},
        )

        def ours(request=request):
            executor.execute(request=request, ipython_shell=shell)

        def theirs(code=code):
            # run_cell prints the last value through the display hook; keep it off the terminal.
            saved = sys.stdout
            sys.stdout = sink
            try:
                shell.run_cell(code, store_history=False)
            finally:
                sys.stdout = saved

        def ours_cold(request=request):
            # A cell seen for the first time: IPython syntax, parsing and compiling included.
            local._compile_cell.cache_clear()
            utils.transform_ipython_syntax.cache_clear()
            executor.execute(request=request, ipython_shell=shell)

        ours_us = per_call_us(ours)
        cold_us = per_call_us(ours_cold)
        theirs_us = per_call_us(theirs)
        print(
            f"  {label:<16} executor {ours_us:7.1f} us (first run {cold_us:7.1f} us)   "
            f"run_cell {theirs_us:7.1f} us   ratio {ours_us / theirs_us:4.2f}x "
            f"(first run {cold_us / theirs_us:4.2f}x)"
        )


class _Sink:
    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass


sink = _Sink()

if __name__ == "__main__":
    main()
