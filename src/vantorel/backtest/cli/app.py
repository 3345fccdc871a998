"""The argument parser of ``vantorel-backtest`` and the runner that turns failures into exit statuses."""

from __future__ import annotations

import argparse
import os
import sys
import traceback
from collections.abc import Sequence
from pathlib import Path

from vantorel.backtest.data_dir import using_data_dir

from .commands import demo, export, factor, info, prepare, strategy
from .errors import UsageError, one_line

PROG = "vantorel-backtest"
EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

_COMMANDS = (prepare, export, info, strategy, factor, demo)


def _version() -> str:
    from vantorel import __version__

    return f"{PROG} {__version__}"


def _global_options(parser: argparse.ArgumentParser, *, default: object) -> None:
    """Options accepted before the command and after it (``default`` keeps a subcommand's silence)."""
    parser.add_argument(
        "--data-dir", type=Path, metavar="DIR", default=default,
        help="the prepared-data store (default: the service's, ~/.vantorel/backtest_data/enviroment_data)",
    )
    parser.add_argument("--debug", action="store_true", default=default, help="show the traceback of a failure")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Backtests of factors and target-weight strategies on China A-shares.",
        epilog="Exit status: 0 success, 1 failure, 2 usage error, 130 interrupted. "
        f"Run '{PROG} COMMAND --help' for a command's options.",
    )
    parser.add_argument("--version", action="version", version=_version())
    _global_options(parser, default=None)
    parser.set_defaults(debug=False)
    common = argparse.ArgumentParser(add_help=False)
    _global_options(common, default=argparse.SUPPRESS)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")
    for module in _COMMANDS:
        module.register(commands, [common])
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return EXIT_OK if exc.code is None else exc.code if isinstance(exc.code, int) else EXIT_USAGE
    if args.command is None:
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: a command is required (see '{PROG} --help')", file=sys.stderr)
        return EXIT_USAGE
    try:
        with using_data_dir(args.data_dir):
            return args.run(args) or EXIT_OK
    except KeyboardInterrupt:
        print(f"\n{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except UsageError as exc:
        args.parser.print_usage(sys.stderr)
        print(f"{args.parser.prog}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:  # the reader went away (`| head`): nothing left to tell it
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())  # so the interpreter's final flush stays quiet
        return EXIT_FAILURE
    except Exception as exc:
        if args.debug:
            traceback.print_exc()
        print(f"{PROG}: error: {one_line(exc)}", file=sys.stderr)
        return EXIT_FAILURE
