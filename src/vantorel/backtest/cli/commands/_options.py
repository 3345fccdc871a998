"""Options and steps shared by the backtest commands."""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import pandas as pd

from ..errors import CliError, UsageError
from ..files import LAYOUTS

PLOTS = ("large", "long", "none")


def add_command(subparsers, parents, name: str, help: str, description: str | None = None) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        name, help=help, description=description or help, parents=parents,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.set_defaults(parser=parser)
    return parser


def add_input_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--format", dest="layout", choices=[x for x in LAYOUTS if x != "auto"], default="auto",
                        help="the table layout of the input files (default: detected)")


def add_period_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--start", metavar="DATE", help="first date (default: the table's first date)")
    parser.add_argument("--end", metavar="DATE", help="last date (default: the table's last date)")


def add_trading_options(parser: argparse.ArgumentParser) -> None:
    from vantorel.backtest import _core

    parser.add_argument("--rolling-window", type=count, default=0, metavar="DAYS",
                        help="smooth the weights by a rolling mean over DAYS dates (default: 0, off)")
    parser.add_argument("--capital", type=_positive, default=_core.DEFAULT_TOTAL_MONEY, metavar="MONEY",
                        help=f"total money traded (default: {_core.DEFAULT_TOTAL_MONEY:g})")
    parser.add_argument("--fee", type=_rate, default=_core.DEFAULT_FEE,
                        help=f"commission, a ratio of the traded value (default: {_core.DEFAULT_FEE:g})")
    parser.add_argument("--rule-fee", type=_rate, default=_core.DEFAULT_RULE_FEE,
                        help=f"stamp duty on sales, a ratio (default: {_core.DEFAULT_RULE_FEE:g})")


def add_output_options(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--out", type=Path, metavar="DIR",
                        help=f"directory for the charts and {what} (default: nothing is written)")
    parser.add_argument("--plot", choices=PLOTS, default="none",
                        help="chart layout: large (wide), long (tall) or none (default: none; needs --out)")
    parser.add_argument("--returns-format", choices=("csv", "parquet"), default="csv",
                        help=f"file format of {what} (default: csv)")
    parser.add_argument("--json", action="store_true", help="print a machine-readable summary instead of tables")


def check_output_options(args: argparse.Namespace) -> None:
    if args.plot != "none" and args.out is None:
        raise UsageError(f"--plot {args.plot} needs --out DIR for the charts")


def date_option(flag: str, text: str) -> str:
    from ..files import normalise_dates

    try:
        return str(normalise_dates([text])[0])
    except CliError as exc:
        raise UsageError(f"{flag}: {exc}") from None


def file_name(flag: str, text: str) -> str:
    """A name that becomes part of file names: no directories, nothing hidden."""
    if not text or text != Path(text).name or text.startswith(".") or "\x00" in text:
        raise UsageError(f"{flag} must be a plain file name, got {text!r}")
    return text


def names(text: str | None) -> list[str] | str | None:
    """A comma-separated option as one name or a list of names."""
    if text is None:
        return None
    names_given = [p.strip() for p in text.split(",") if p.strip()]
    return names_given[0] if len(names_given) == 1 else names_given


def write_frame(frame: pd.DataFrame, path: Path, fmt: str) -> Path:
    """Writes ``frame`` (its index a column named "date") as CSV or Parquet; returns the path."""
    out = frame.copy(deep=False)
    out.columns = [str(c) for c in out.columns]
    out.index = out.index.astype(str)
    out.index.name = "date"
    path.parent.mkdir(parents=True, exist_ok=True)
    if fmt == "parquet":
        from ..files import PARQUET_HINT

        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise ImportError(f"writing Parquet files needs pyarrow: {PARQUET_HINT}") from None
        out.to_parquet(path)
    else:
        out.to_csv(path)
    return path


def check_benchmarks(data, benchmarks: str | list[str] | None) -> None:
    """Every benchmark named must be one of the store's: an unknown one would only give empty figures."""
    known = sorted(data.data.get("benchmark_dict") or {})
    for name in [benchmarks] if isinstance(benchmarks, str) else benchmarks or []:
        if name not in known:
            raise CliError(f"benchmark {name} is not in the store (it has {', '.join(known) or 'none'})")


def check_days(result_days: int, start: str, end: str) -> None:
    """A backtest over no trading day is a mistake of the period, not a result."""
    if result_days == 0:
        raise CliError(f"no trading day to backtest from {start} to {end} (see 'vantorel-backtest info')")


def count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {text!r}")
    return value


def _positive(text: str) -> float:
    value = _float(text)
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text!r}")
    return value


def _rate(text: str) -> float:
    value = _float(text)
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(f"must lie in [0, 1), got {text!r}")
    return value


def _float(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
