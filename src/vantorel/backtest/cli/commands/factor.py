"""``factor FACTOR_FILE ...``: the factor group backtest of each file, one summary row per factor."""

from __future__ import annotations

import argparse
from pathlib import Path

from .. import render
from ..data import load_bundle
from . import _batch, _options

DESCRIPTION = """\
Runs the factor group backtest of each FACTOR_FILE (dates x stocks of scores; the factor's name
is the file's stem): each date the stocks of the universe are ranked by the factor and cut into
--groups equal-weight portfolios traded at VWAP prices. Group numbers count up with the factor
value, or down with --ascending, so the highest group is the preferred end either way.

One row per factor: mean daily rank IC, ICIR (mean / standard deviation of the daily rank IC)
and its t-statistic, the best group, the annual returns of the top (highest-numbered) and bottom
(group 1) groups and of top minus bottom with its Sharpe ratio, the monotonicity (Spearman
correlation of group number and group annual return: 1 when the groups' returns rise with the
group number) and the top group's mean turnover (the share of its members new each date).
Annual figures are the mean daily return x 252, shown in percent. --json gives the same figures
as ratios, and adds the IC's standard deviation and share of positive days and the maximum
drawdown of top minus bottom.

With --out DIR each factor's daily group returns go to DIR/NAME_groups.csv (or .parquet) and,
with --plot large|long, its group chart to DIR/NAME.png.

The files run one after another, or --workers N at a time on threads, or as tasks on a Ray
cluster with --ray. A file that fails does not stop the others: its row shows the error and the
command exits with status 1 once the rest are done.
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
    _batch.add_options(parser)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from vantorel.backtest import BacktestService

    _options.check_output_options(args)
    names = _batch.names_of(args.factors)
    _batch.check_files("FACTOR_FILE", "factor", args.factors, names)
    start, end = _batch.period_options(args)
    engine = _batch.engine_options(args)
    data = load_bundle()
    _options.check_benchmarks(data, _options.names(args.benchmark))
    charts = args.plot != "none"
    batch = BacktestService(None).backtest_many(
        _batch.items(args.factors, names, args.layout, start, end, engine), data, start, end,
        args.out if charts else None, group_num=args.groups, benchmark=_options.names(args.benchmark),
        universe=_options.names(args.universe), rolling_window=args.rolling_window, ascending=args.ascending,
        total_money=args.capital, fee=args.fee, rule_fee=args.rule_fee, **({"plot": args.plot} if charts else {}),
        **engine,
    )
    _batch.no_empty_periods(batch, start, end, lambda result: result.group_daily_return)
    _batch.single_failure(batch)
    errors = _batch.error_texts(batch)
    rows, files = [], {}
    for name in names:
        result = batch.results.get(name)
        row = {"factor": name, **_row(batch.summary.loc[name], result, start, end), "error": errors.get(name)}
        written = dict(result.plot_paths) if result is not None and charts else {}
        if result is not None and args.out is not None:
            target = args.out / f"{name}_groups.{args.returns_format}"
            written["group_returns"] = str(_options.write_frame(result.group_daily_return, target,
                                                                args.returns_format))
        rows.append(row)
        files[name] = written
    _show(args, rows, files)
    _batch.failures(batch, "factors")
    return 0


def _row(summary, result, start, end) -> dict:
    """The summary row of the batch, with the period and the top and bottom groups under the names this
    command has always printed them by."""
    from vantorel.backtest.batch.summary import FACTOR_COLUMNS

    row = {key: summary[key] for key in FACTOR_COLUMNS}
    row["best_group"] = None if row["best_group"] is None or row["best_group"] != row["best_group"] \
        else int(row["best_group"])
    days = result.group_daily_return.index if result is not None else []
    return {
        "start": start or (str(days[0]) if len(days) else None), "end": end or (str(days[-1]) if len(days) else None),
        **row, "top_annual_return": row["last_group_annual_return"],
        "bottom_annual_return": row["first_group_annual_return"],
    }


def _show(args, rows, files) -> None:
    if args.json:
        render.print_json({"factors": [{**row, "files": files[row["factor"]]} for row in rows]})
    else:
        _print(rows, files, args.groups)


def _direction(text: str) -> bool:
    if text not in ("ascending", "descending"):
        raise argparse.ArgumentTypeError(f"must be ascending or descending, got {text!r}")
    return text == "ascending"


def _print(rows, files, groups) -> None:
    def pct(value):
        text = render.number(None if value is None else value * 100, ".2f")
        return text if text == "--" else f"{text} %"

    failed = any(r["error"] for r in rows)
    summary = render.table(
        f"Factor group backtests ({groups} groups; annual = mean daily x 252; Sharpe of top - bottom; "
        "turnover of the top group)",
        ["factor", "rank IC", "ICIR", "t", "best", "top", "bottom", "top - bottom", "Sharpe", "monotonicity",
         "turnover", *(["error"] if failed else [])],
        ([r["factor"], render.number(r["rank_ic"]), render.number(r["icir"], ".3f"),
          render.number(r["ic_t_stat"], ".2f"),
          "--" if r["best_group"] is None else r["best_group"], pct(r["top_annual_return"]),
          pct(r["bottom_annual_return"]), pct(r["long_short_annual_return"]),
          render.number(r["long_short_sharpe"], ".3f"), render.number(r["monotonicity"], ".3f"),
          pct(r["top_group_turnover"]), *([r["error"] or ""] if failed else [])] for r in rows),
    )
    written = [(name, kind, path) for name, kinds in files.items() for kind, path in sorted(kinds.items())]
    if written:
        render.show(summary, render.table("Files written", ["factor", "kind", "path"], written, numeric_from=3))
    else:
        render.show(summary)
