"""The ``orvane`` command: run a notebook's pipeline, search its parameters, serve as a worker."""

from __future__ import annotations

import argparse
import importlib
import os
import sys


def _common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "notebook",
        metavar="NOTEBOOK",
        help="the .ipynb file whose cells carry %%%%component headers",
    )
    parser.add_argument(
        "-p",
        "--param",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="set a pipeline parameter to a Python literal (text is quoted twice: "
        "-p kind=\"'ridge'\"); may be repeated",
    )
    parser.add_argument(
        "-o", "--output", help="where to write the executed notebook (default NOTEBOOK.out.ipynb)"
    )
    parser.add_argument(
        "--fresh",
        action="store_true",
        help="drop the results cached by earlier runs of the notebook and compute all again",
    )
    parser.add_argument(
        "--timeout",
        type=_positive,
        default=None,
        metavar="SECONDS",
        help="give up on a notebook cell, or on the run or search, after this many seconds "
        "(default: no limit)",
    )


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not value > 0:  # also refuses nan
        raise argparse.ArgumentTypeError(f"{text!r}: give a number of seconds above 0")
    return value


_EXIT_CODES = (
    "Exit codes: 0 done, 1 a cell or component failed or timed out, 2 a usage error, 3 the kernel did not "
    "start or died, 130 interrupted (Ctrl-C)."
)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvane",
        description="Run a notebook's component cells as a cached pipeline, from a shell.",
        epilog="Each command has its own help: orvane COMMAND --help.",
    )
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser(
        "run",
        help="run a notebook's pipeline in a new kernel",
        description="Run the notebook's code cells in a new kernel, then its components with "
        "their ancestors, reusing results cached by earlier runs. Writes NOTEBOOK.out.ipynb with "
        "each cell's outputs, and the pipeline picture in NOTEBOOK.out.files/. A failure stops "
        "the run; the closing lines say what did not run and how to run it.",
        epilog=_EXIT_CODES,
    )
    _common(run)
    run.add_argument(
        "-c",
        "--component",
        action="append",
        dest="targets",
        metavar="NAME",
        help="run this component with its ancestors (default: every component); may be repeated",
    )
    run.add_argument("--all", action="store_true", help="run every component (the default)")
    run.add_argument(
        "--parallel",
        action="store_true",
        help="run independent components side by side, in worker processes",
    )
    opt = sub.add_parser(
        "optimize",
        help="search parameters for the best value of a component",
        description="Search parameter values for the best value of TARGET's last expression: "
        "each trial sets the RANGE values and reruns what reads them. Only parameters the "
        "notebook sets (%orvane set) or -p gives can be searched. Writes NOTEBOOK.out.ipynb with "
        "each cell's outputs for the values the search started from (the best with "
        "--apply-best), and the best trials and figures in NOTEBOOK.out.files/.",
        epilog=_EXIT_CODES,
    )
    _common(opt)
    opt.add_argument(
        "target",
        metavar="TARGET",
        help="the component whose last expression is the value to optimize",
    )
    opt.add_argument(
        "ranges",
        nargs="+",
        metavar="RANGE",
        help="NAME=LOW:HIGH[:DIST[:STEP]], DIST one of uniform, float, int, log, step",
    )
    opt.add_argument(
        "--trials", type=int, default=20, metavar="N", help="how many trials to run (default 20)"
    )
    opt.add_argument(
        "--method",
        choices=["tpe", "random", "grid"],
        default="tpe",
        help="how to choose each trial's values: tpe learns from earlier trials, random draws "
        "them, grid steps through every RANGE (each needs a STEP) (default tpe)",
    )
    opt.add_argument("--minimize", action="store_true", help="minimize instead of maximize")
    opt.add_argument("--directions", help="one direction per returned value, e.g. max,min")
    opt.add_argument(
        "--early-stopping",
        type=int,
        default=None,
        metavar="ROUNDS",
        help="stop when the best value has not improved for ROUNDS trials (default: run all)",
    )
    opt.add_argument(
        "--apply-best",
        action="store_true",
        help="give the written notebook's outputs for the best values (default: for the values "
        "the search started from)",
    )
    cache = sub.add_parser(
        "cache",
        help="list or prune the caches kept between kernels",
        description="Each notebook's results are kept on disk for its next kernel or run; "
        "these commands show and free that space.",
    )
    actions = cache.add_subparsers(dest="action", required=True, metavar="{list,prune}")
    actions.add_parser(
        "list",
        help="show the kept caches, most recently used first",
        description="Show each notebook's kept cache: its size, number of component caches "
        "and when it was last used, with the total against the size limit.",
    )
    prune = actions.add_parser(
        "prune",
        help="drop the least recently used kept caches",
        description="Drop the least recently used kept caches until the rest fit in the size "
        "limit (ORVANE_CACHE_LIMIT, default 10G).",
    )
    prune.add_argument("--limit", metavar="SIZE", help="prune down to SIZE, e.g. 2G")
    prune.add_argument("--all", action="store_true", help="prune every kept cache")
    sub.add_parser(
        "worker", help="serve remote component runs (options: orvane worker --help)", add_help=False
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    try:
        code = _main(sys.argv[1:] if argv is None else list(argv))
        sys.stdout.flush()  # here, where a reader that went away can be told apart
        return code
    except BrokenPipeError:
        # The reader (head, a closed pager) stopped reading: nothing is left to say, and the
        # interpreter must not fail again flushing the same output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _main(argv: list[str]) -> int:
    if argv[:1] == ["worker"]:
        try:
            worker = importlib.import_module("orvane_core.executors.component_executors.worker")
        except ImportError:
            print("orvane: remote workers are not available in this build", file=sys.stderr)
            return 2
        return worker.main(argv[1:]) or 0

    from orvane_core.frontend.declarations import OrvaneUsageError
    from orvane_core.frontend.magics import directions_from
    from orvane_core.frontend.runner import EXIT_USAGE, Request, run_notebook

    try:
        args = build_parser().parse_args(argv)
    except SystemExit as exc:  # --help, or bad input argparse has described
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    if args.command == "cache":
        from orvane_core.frontend.kept import cache_command

        if args.action == "list":
            return cache_command("list")
        return cache_command("prune", args.limit, args.all)
    request = Request(parameters=args.param, fresh=args.fresh)
    if args.command == "run":
        if args.all and args.targets:
            print("orvane: give --all or --component, not both", file=sys.stderr)
            return EXIT_USAGE
        request.targets = args.targets
        request.parallel = args.parallel
    else:
        try:
            directions = directions_from(args.minimize, args.directions)
        except OrvaneUsageError as exc:
            print(f"orvane: {exc}", file=sys.stderr)
            return EXIT_USAGE
        request.search = {
            "target": args.target,
            "ranges": args.ranges,
            "n_trials": args.trials,
            "method": args.method,
            "directions": directions,
            "early_stopping": args.early_stopping,
            "apply_best": args.apply_best,
        }
    return run_notebook(args.notebook, request, output=args.output, timeout=args.timeout)


if __name__ == "__main__":
    sys.exit(main())
