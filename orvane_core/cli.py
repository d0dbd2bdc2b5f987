"""The ``orvane`` command: run a notebook's pipeline, search its parameters, serve as a worker."""

from __future__ import annotations

import argparse
import importlib
import sys


def _common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("notebook", help="the .ipynb file whose cells carry %%%%component headers")
    parser.add_argument(
        "-p",
        "--param",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="set a pipeline parameter (a Python literal); may be repeated",
    )
    parser.add_argument(
        "-o", "--output", help="where to write the executed notebook (default NOTEBOOK.out.ipynb)"
    )
    parser.add_argument(
        "--fresh", action="store_true", help="ignore results cached by earlier runs"
    )
    parser.add_argument("--timeout", type=float, default=None, help="seconds per request")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvane", description="Run notebook cells as a cached pipeline."
    )
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="run a notebook's pipeline in a new kernel")
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
    run.add_argument("--parallel", action="store_true", help="run independent cells side by side")
    opt = sub.add_parser("optimize", help="search parameters for the best value of a component")
    _common(opt)
    opt.add_argument("target", help="component whose last expression is the value to optimize")
    opt.add_argument(
        "ranges",
        nargs="+",
        metavar="RANGE",
        help="NAME=LOW:HIGH[:DIST[:STEP]], DIST one of uniform, float, int, log, step",
    )
    opt.add_argument("--trials", type=int, default=20)
    opt.add_argument("--method", choices=["tpe", "random", "grid"], default="tpe")
    opt.add_argument("--minimize", action="store_true", help="minimize instead of maximize")
    opt.add_argument("--directions", help="one direction per returned value, e.g. max,min")
    opt.add_argument("--early-stopping", type=int, default=None, metavar="ROUNDS")
    opt.add_argument(
        "--apply-best", action="store_true", help="keep the best values (default: restore them)"
    )
    cache = sub.add_parser("cache", help="list or prune the caches kept between kernels")
    cache.add_argument("action", choices=["list", "prune"])
    cache.add_argument("--limit", metavar="SIZE", help="prune down to SIZE, e.g. 2G")
    cache.add_argument("--all", action="store_true", help="prune every kept cache")
    sub.add_parser(
        "worker", help="serve remote component runs (options: orvane worker --help)", add_help=False
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
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

    args = build_parser().parse_args(argv)
    if args.command == "cache":
        from orvane_core.frontend.kept import cache_command

        return cache_command(args.action, args.limit, args.all)
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
