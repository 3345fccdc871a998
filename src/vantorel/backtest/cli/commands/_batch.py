"""Running a command's files as one batch: the items, where they run, and what a failed item tells the user.

Every file becomes an item whose table is read where the item runs (a thread of this process or a
Ray worker), so a Ray cluster never receives the tables through this process, and one unreadable
file fails its own item only.
"""

from __future__ import annotations

import argparse
import functools
from pathlib import Path

import pandas as pd

from ..errors import CliError, UsageError, one_line
from ..files import file_kind, read_table, stem
from . import _options


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--workers", type=_workers, metavar="N",
                        help="backtests run at once: 1 runs the files one after another, more on a pool of "
                        "threads (default: 1; with --ray, the CPUs of the local cluster: every core)")
    parser.add_argument("--ray", nargs="?", const="", default=None, metavar="ADDRESS",
                        help="run the files as Ray tasks: alone, on a local cluster started for the run; "
                        "'auto' or ray://HOST:PORT joins a running one, which must see the files and --out "
                        "at the same paths")


def _workers(text: str) -> int:
    value = _options.count(text)
    if not 1 <= value <= 1024:
        raise argparse.ArgumentTypeError(f"must lie in [1, 1024], got {text!r}")
    return value


def engine_options(args: argparse.Namespace) -> dict:
    """The keywords of ``backtest_many`` that say where the items run; Ray is looked for up front."""
    from vantorel.backtest._progress import stderr_is_tty

    progress = stderr_is_tty()
    if args.ray is None:
        return {"workers": args.workers or 1, "engine": "threads", "progress": progress}
    from vantorel.backtest.batch.engines import require_ray

    if args.ray and Path(args.ray).is_file():  # `--ray a.csv b.csv`: the option took the first file
        raise UsageError(f"--ray took {args.ray!r} as its cluster address: write --ray after the files, "
                         "or --ray=ADDRESS")
    try:
        require_ray()
    except ImportError as exc:
        raise CliError(str(exc)) from None
    return {"workers": args.workers, "engine": "ray", "ray_address": args.ray or None, "progress": progress}


def check_files(flag: str, what: str, paths: list[Path], names: list[str]) -> None:
    """What can be told before anything runs: names that would overwrite each other's outputs, names
    unfit for file names, and files that are absent or of no known format."""
    repeated = sorted({n for n in names if names.count(n) > 1})
    if repeated:
        raise UsageError(f"{what} files share the name {repeated[0]!r}; their outputs would overwrite each other")
    for name in names:
        _options.file_name(flag, name)
    for path in paths:
        if not path.is_file():
            raise CliError(f"{path}: no such file")
        file_kind(path)


def period_options(args: argparse.Namespace) -> tuple[str | None, str | None]:
    """--start and --end as "YYYYMMDD" (None when not given), checked before anything runs."""
    start = _options.date_option("--start", args.start) if args.start else None
    end = _options.date_option("--end", args.end) if args.end else None
    if start is not None and end is not None and start > end:
        raise UsageError(f"--start {start} is after --end {end}")
    return start, end


def items(paths: list[Path], names: list[str], layout: str, start: str | None, end: str | None,
          engine: dict) -> dict:
    """name -> a function of the bundle that reads the file (picklable, so it travels to a Ray worker, which
    gets the absolute path: its working directory is not this one's)."""
    ray = engine["engine"] == "ray"
    return {name: functools.partial(read_item, Path(path).resolve() if ray else Path(path), layout, name, start, end)
            for path, name in zip(paths, names, strict=True)}


def read_item(path: Path, layout: str, name: str, start: str | None, end: str | None, data) -> pd.DataFrame:
    """The table of ``path``, named ``name``; a period (the options', else the table's own dates) without
    a trading day of the bundle fails here, before the backtest, with the period in the message."""
    table = read_table(path, layout)
    if not len(table.index):
        raise CliError(f"{path}: holds no dates")
    table.columns.name = name
    first = start or str(table.index[0])
    last = end or str(table.index[-1])
    if first > last:
        raise UsageError(f"--start {first} is after --end {last}")
    calendar = pd.Index(data.data["close_price"].index).astype(str)
    if not ((calendar >= first) & (calendar <= last)).any():
        _options.check_days(0, first, last)
    return table


def no_empty_periods(batch, start: str | None, end: str | None, days) -> None:
    """An item whose backtest covers no trading day (``days(result)`` is empty) failed: a period without
    trading days is a mistake of the period, not a result."""
    for name, result in list(batch.results.items()):
        if not len(days(result)):
            del batch.results[name]
            try:
                _options.check_days(0, start or "the table's first date", end or "its last date")
            except CliError as exc:
                batch.errors[name] = exc
    batch.errors = {name: batch.errors[name] for name in batch.summary.index if name in batch.errors}


def single_failure(batch) -> None:
    """The failure of the only item of a batch, as it is: one file fails as it always has."""
    if len(batch.summary) == 1 and batch.errors:
        raise next(iter(batch.errors.values()))


def failures(batch, what: str) -> None:
    """One line counting the failed items and naming the first, if any failed."""
    if batch.errors:
        name, error = next(iter(batch.errors.items()))
        raise CliError(f"{len(batch.errors)} of {len(batch.summary)} {what} failed: {name}: {one_line(error)}")


def error_texts(batch) -> dict[str, str]:
    """name -> the one-line message of each failed item, as the command line shows failures."""
    return {name: one_line(error) for name, error in batch.errors.items()}


def names_of(paths: list[Path]) -> list[str]:
    return [stem(path) for path in paths]
