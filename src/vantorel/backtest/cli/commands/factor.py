"""``factor FACTOR_FILE ...``: the factor group backtest of each file, one summary row per factor."""

from __future__ import annotations

import argparse
import math
import tempfile
from pathlib import Path

import numpy as np

from vantorel.backtest._progress import progress_bar

from .. import render
from ..data import load_bundle
from ..errors import UsageError
from ..files import read_table, stem
from . import _options

# The group count when the engine does not say.
TRADING_DAYS = 252

DESCRIPTION = """\
Runs the factor group backtest of each FACTOR_FILE (dates x stocks of scores; the factor's name
is the file's stem): each date the stocks of the universe are ranked by the factor and cut into
--groups equal-weight portfolios traded at VWAP prices. Group numbers count up with the factor
value, or down with --ascending, so the highest group is the preferred end either way.

One row per factor: mean daily rank IC, ICIR (mean / standard deviation of the daily rank IC),
the best group, the annual returns of the top (highest-numbered) and bottom (group 1) groups and
of top minus bottom; annual figures are the mean daily return x 252, as ratios.

With --out DIR each factor's daily group returns go to DIR/NAME_groups.csv (or .parquet) and,
with --plot large|long, its group chart to DIR/NAME.png.
"""


def default_groups() -> int:
    from vantorel.backtest import _core

    return int(_core.DEFAULT_GROUP_NUM)


def register(subparsers, parents) -> None:
    from vantorel.backtest._core import DEFAULT_BENCHMARK

    groups = default_groups()
    parser = _options.add_command(subparsers, parents, "factor", "group backtests of factor tables", DESCRIPTION)
    parser.add_argument("factors", type=Path, nargs="+", metavar="FACTOR_FILE",
                        help="factors: .parquet, .csv or .pkl (a pickle runs code as it loads: only your own)")
    _options.add_input_options(parser)
    parser.add_argument("--groups", type=_options.count, default=groups,
                        help=f"number of groups, 2 to 100 (default: {groups})")
    parser.add_argument("--universe", metavar="INDEX[,INDEX...]",
                        help="rank only the members of these indexes, e.g. 000905 (default: every stock)")
    direction = parser.add_mutually_exclusive_group()
    direction.add_argument("--descending", dest="ascending", action="store_false",
                           help="larger factor values are better (the default)")
    direction.add_argument("--ascending", dest="ascending", action="store_true",
                           help="smaller factor values are better")
    direction.add_argument("--direction", dest="ascending", type=_direction, metavar="{ascending,descending}",
                           help="the same as --ascending or --descending")
    parser.set_defaults(ascending=False)
    _options.add_period_options(parser)
    parser.add_argument("--benchmark", default=DEFAULT_BENCHMARK, metavar="INDEX[,INDEX...]",
                        help=f"benchmarks of the chart and summary (default: {DEFAULT_BENCHMARK})")
    _options.add_trading_options(parser)
    _options.add_output_options(parser, "the group returns")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from vantorel.backtest import BacktestService

    _options.check_output_options(args)
    names = [stem(path) for path in args.factors]
    repeated = sorted({n for n in names if names.count(n) > 1})
    if repeated:
        raise UsageError(f"factor files share the name {repeated[0]!r}; their outputs would overwrite each other")
    for name in names:
        _options.file_name("FACTOR_FILE", name)
    service = BacktestService(None)
    data = load_bundle()
    _options.check_benchmarks(data, _options.names(args.benchmark))
    rows, files = [], {}
    with tempfile.TemporaryDirectory(prefix="vantorel-charts-") as scratch, \
            progress_bar("factors", total=len(args.factors)) as progress:
        # The group backtest always draws its chart: without --plot it goes to a scratch directory.
        chart_dir = args.out if args.plot != "none" else Path(scratch)
        for path, name in zip(args.factors, names, strict=True):
            factor = read_table(path, args.layout)
            factor.columns.name = name
            start, end = _options.period(args, factor)
            result = service.backtest(
                factor, data, start, end, chart_dir, name, group_num=args.groups,
                benchmark=_options.names(args.benchmark), universe=_options.names(args.universe),
                rolling_window=args.rolling_window, ascending=args.ascending, total_money=args.capital,
                fee=args.fee, rule_fee=args.rule_fee, plot="long" if args.plot == "none" else args.plot,
            )
            _options.check_days(len(result.group_daily_return), start, end)
            rows.append({"factor": name, "start": start, "end": end, **summarise(result)})
            written = dict(result.plot_paths) if args.plot != "none" else {}
            if args.out is not None:
                target = args.out / f"{name}_groups.{args.returns_format}"
                written["group_returns"] = str(_options.write_frame(result.group_daily_return, target,
                                                                    args.returns_format))
            files[name] = written
            progress.advance()
    if args.json:
        render.print_json({"factors": [{**row, "files": files[row["factor"]]} for row in rows]})
        return 0
    _print(rows, files, args.groups)
    return 0


def summarise(result) -> dict[str, float | int | None]:
    """Rank IC, ICIR and the annual returns of the top, bottom and top-minus-bottom groups."""
    ic = result.rank_ic.to_numpy(dtype=np.float64)
    ic = ic[np.isfinite(ic)]
    mean_ic = float(ic.mean()) if len(ic) else math.nan
    std_ic = float(ic.std(ddof=1)) if len(ic) > 1 else math.nan
    daily = result.group_daily_return
    top, bottom = daily[daily.columns.max()], daily[daily.columns.min()]
    return {
        "rank_ic": mean_ic,
        "icir": mean_ic / std_ic if std_ic > 0 else math.nan,
        "best_group": _group(result.best_group),
        "top_annual_return": float(top.mean() * TRADING_DAYS),
        "bottom_annual_return": float(bottom.mean() * TRADING_DAYS),
        "long_short_annual_return": float((top - bottom).mean() * TRADING_DAYS),
    }


def _group(value) -> int | None:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return int(number) if math.isfinite(number) else None


def _direction(text: str) -> bool:
    if text not in ("ascending", "descending"):
        raise argparse.ArgumentTypeError(f"must be ascending or descending, got {text!r}")
    return text == "ascending"


def _print(rows, files, groups) -> None:
    def pct(value):
        text = render.number(None if value is None else value * 100, ".2f")
        return text if text == "--" else f"{text} %"

    summary = render.table(
        f"Factor group backtests ({groups} groups; annual = mean daily x 252)",
        ["factor", "rank IC", "ICIR", "best", "top", "bottom", "top - bottom"],
        ([r["factor"], render.number(r["rank_ic"]), render.number(r["icir"], ".3f"),
          "--" if r["best_group"] is None else r["best_group"], pct(r["top_annual_return"]),
          pct(r["bottom_annual_return"]), pct(r["long_short_annual_return"])] for r in rows),
    )
    written = [(name, kind, path) for name, kinds in files.items() for kind, path in sorted(kinds.items())]
    if written:
        render.show(summary, render.table("Files written", ["factor", "kind", "path"], written, numeric_from=3))
    else:
        render.show(summary)
