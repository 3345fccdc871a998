"""``prepare``: makes the prepared-data store complete and current."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import logging
import os
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from vantorel.backtest._progress import stderr_is_tty

from ..errors import CliError, UsageError
from . import _options

DESCRIPTION = """\
Makes the store complete and current, as vantorel.prepare_backtest_data() does: with no store
(or an incomplete one) the prepared-data package is downloaded from the data service at --url;
a complete store gets the trading days since its last dates from the data-service client.

The client comes from --client MODULE:CALLABLE, a function (importable, or in a module of the
current directory) that takes no arguments and returns the SDK's data-service client (the object
offering get_factors and get_index_daily that vantorel.singleton.set_instance configures). When
--url is not given, the package is downloaded through the client's `http` attribute.

With --tables DIR the store is built, or brought up to date, from researchers' own daily tables
instead (vantorel.backtest.tables.prepare_from_tables); nothing is downloaded.

Environment: VANTOREL_BASE_URL and VANTOREL_TOKEN stand for --url and --token (the environment
keeps the token out of the process list).
"""


def register(subparsers, parents) -> None:
    parser = _options.add_command(subparsers, parents, "prepare", "download or update the prepared data", DESCRIPTION)
    parser.add_argument("--url", help="the data service's base URL (default: $VANTOREL_BASE_URL)")
    parser.add_argument("--token", help="the data service's token (default: $VANTOREL_TOKEN)")
    parser.add_argument("--client", metavar="MODULE:CALLABLE",
                        help="factory of the data-service client used by incremental updates")
    parser.add_argument("--tables", type=Path, metavar="DIR", help="build from the daily tables in DIR instead")
    parser.add_argument("--rebuild", action="store_true",
                        help="with --tables: build the whole store again (after old rows were corrected)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from vantorel.backtest import _service

    data_dir = Path(_service._DEFAULT_DATA_DIR)
    if args.tables is not None:
        if args.url or args.token or args.client:
            raise UsageError("--tables reads local tables: it takes no --url, --token or --client")
        return _from_tables(args.tables, data_dir, args.rebuild)
    if args.rebuild:
        raise UsageError("--rebuild goes with --tables")
    return _from_service(args, data_dir)


def _from_tables(source: Path, data_dir: Path, rebuild: bool) -> int:
    from vantorel.backtest.tables import prepare_from_tables

    if not source.is_dir():
        raise CliError(f"{source}: no such directory")
    with _log_to_stderr():
        outcome = prepare_from_tables(source, data_dir, rebuild=rebuild, progress=stderr_is_tty())
    print(f"{outcome}: {data_dir}")
    return 0


def _from_service(args: argparse.Namespace, data_dir: Path) -> int:
    from vantorel import singleton
    from vantorel._http import HttpClient
    from vantorel.backtest import BacktestService

    url = args.url or os.environ.get("VANTOREL_BASE_URL") or None
    token = args.token or os.environ.get("VANTOREL_TOKEN") or None
    client = load_client(args.client) if args.client else None
    if url is None and client is None:
        raise UsageError("prepare needs --url (or VANTOREL_BASE_URL), --client or --tables")
    http = HttpClient(url, token=token) if url is not None else getattr(client, "http", None)
    previous = singleton.set_instance(client) if client is not None else None
    try:
        with _log_to_stderr():
            BacktestService(http).prepare_backtest_data()
    finally:
        if client is not None:
            singleton.reset_instance()
            if previous is not None:
                singleton.set_instance(previous)
    print(f"ready: {data_dir}")
    return 0


def load_client(factory: str) -> Any:
    """The object returned by the factory ``MODULE:CALLABLE`` (called without arguments)."""
    module_name, _, attribute = factory.partition(":")
    if not module_name or not attribute:
        raise UsageError(f"--client must be MODULE:CALLABLE, got {factory!r}")
    if os.getcwd() not in sys.path:  # a factory beside the user's own scripts
        sys.path.insert(0, os.getcwd())
    try:
        target: Any = importlib.import_module(module_name)
    except ImportError as exc:
        raise CliError(f"--client: cannot import {module_name!r}: {exc}") from exc
    for part in attribute.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise CliError(f"--client: {module_name!r} has no {attribute!r}") from None
    if not callable(target):
        raise CliError(f"--client: {factory!r} is not callable")
    client = target()
    if client is None:
        raise CliError(f"--client: {factory!r} returned None, not a data-service client")
    return client


@contextlib.contextmanager
def _log_to_stderr() -> Iterator[None]:
    """The package's INFO messages (the datasets' latest dates) shown as plain lines on stderr."""
    logger = logging.getLogger("vantorel")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(message)s"))
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
