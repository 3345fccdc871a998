"""``strategy WEIGHTS_FILE``: the target-weight backtest of one weight table."""

from __future__ import annotations

import argparse
from pathlib import Path

import pandas as pd

from .. import render
from ..data import load_bundle
from ..files import read_table, stem
from . import _options

DESCRIPTION = """\
Backtests the target weights of WEIGHTS_FILE (dates x stocks; the weights of a date are traded
on the next trading date) on the prepared data and prints the headline statistics and the excess
over every benchmark of the store.

With --out DIR the daily and cumulative returns are written to DIR/NAME_returns.csv (or .parquet)
and, with --plot large|long, the charts DIR/NAME.png and DIR/NAME_weekly_net_value.png.
"""


def register(subparsers, parents) -> None:
    from vantorel.backtest._core import DEFAULT_BENCHMARK

    parser = _options.add_command(subparsers, parents, "strategy", "backtest a table of target weights", DESCRIPTION)
    parser.add_argument("weights", type=Path, metavar="WEIGHTS_FILE",
                        help="weights: .parquet, .csv or .pkl (a pickle runs code as it loads: only your own)")
    _options.add_input_options(parser)
    _options.add_period_options(parser)
    parser.add_argument("--benchmark", default=DEFAULT_BENCHMARK,
                        help=f"benchmark of the statistics (default: {DEFAULT_BENCHMARK})")
    _options.add_trading_options(parser)
    parser.add_argument("--name", help="the strategy's name, used in the chart and file names (default: file stem)")
    _options.add_output_options(parser, "the returns")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from vantorel.backtest import BacktestService

    _options.check_output_options(args)
    weights = read_table(args.weights, args.layout)
    start, end = _options.period(args, weights)
    name = _options.file_name("--name", args.name) if args.name else stem(args.weights)
    service = BacktestService(None)
    data = load_bundle()
    _options.check_benchmarks(data, args.benchmark)
    result = service.backtest_strategy(
        weights, data, start, end, args.out, name, benchmark=args.benchmark, rolling_window=args.rolling_window,
        total_money=args.capital, fee=args.fee, rule_fee=args.rule_fee, plot=None if args.plot == "none" else args.plot,
    )
    _options.check_days(len(result.daily_return), start, end)
    files = dict(result.plot_paths)
    if args.out is not None:
        returns = pd.DataFrame({"daily_return": result.daily_return, "cumulative_return": result.cumulative_return})
        path = args.out / f"{name}_returns.{args.returns_format}"
        files["returns"] = str(_options.write_frame(returns, path, args.returns_format))
    if args.json:
        render.print_json({
            "strategy": name, "start": start, "end": end, "benchmark": args.benchmark,
            "days": len(result.daily_return),
            "final_net_value": float(result.cumulative_return.iloc[-1]) if len(result.cumulative_return) else None,
            "stats": result.stats, "benchmark_summary": result.benchmark_summary.to_dict(orient="records"),
            "files": files,
        })
        return 0
    _print(name, start, end, args.benchmark, result, files)
    return 0


def _print(name, start, end, benchmark, result, files) -> None:
    stats = render.table(
        f"{name}: {len(result.daily_return)} trading days, {start} to {end} (against {benchmark})",
        ["statistic", "value"], ((key, render.format_stat(key, value)) for key, value in result.stats.items()),
    )
    summary = result.benchmark_summary
    excess = render.table(
        "Excess over each benchmark (annual figures are mean daily x 252)", list(map(str, summary.columns)),
        ([row[0], *(render.number(v) for v in row[1:])] for row in summary.itertuples(index=False)),
    )
    blocks = [stats, excess]
    if files:
        blocks.append(render.table("Files written", ["kind", "path"], sorted(files.items()), numeric_from=2))
    render.show(*blocks)
