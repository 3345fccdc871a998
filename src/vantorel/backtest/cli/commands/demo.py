"""``demo``: the embedded demo (the same as ``python -m vantorel.backtest``)."""

from __future__ import annotations

import argparse

from . import _options

DESCRIPTION = """\
Runs the demo of `python -m vantorel.backtest` with the same options: in a private temporary
home (never the user's own store, so --data-dir is not used), a package built from a synthetic
market is served on 127.0.0.1, downloaded and updated; a momentum strategy and a reversal factor
are backtested and their charts written to --out.
"""


def register(subparsers, parents) -> None:
    from vantorel.backtest.__main__ import add_arguments

    parser = _options.add_command(subparsers, parents, "demo", "run the embedded demo", DESCRIPTION)
    add_arguments(parser)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from vantorel.backtest.__main__ import run as run_demo

    run_demo(args)
    return 0
