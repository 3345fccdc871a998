"""``strategy WEIGHTS_FILE ...``: the target-weight backtest of each weight table."""

from __future__ import annotations

import argparse
from pathlib import Path

import pandas as pd

from .. import render
from ..data import load_bundle
from ..errors import UsageError
from . import _batch, _options

# The statistics of the one-row-per-strategy table of several files.
HEADLINE = ("annual_return", "long_sharp", "max_dd", "extra_annual_return", "turnover")

DESCRIPTION = """\
Backtests the target weights of each WEIGHTS_FILE (dates x stocks; the weights of a date are
traded on the next trading date) on the prepared data. For one file it prints the headline
statistics and the excess over every benchmark of the store; for several, one row of headline
statistics per strategy (the strategy's name is the file's stem).

With --out DIR the daily and cumulative returns are written to DIR/NAME_returns.csv (or .parquet)
and, with --plot large|long, the charts DIR/NAME.png and DIR/NAME_weekly_net_value.png.

The files run one after another, or --workers N at a time on threads, or as tasks on a Ray
cluster with --ray. A file that fails does not stop the others: its row shows the error and the
command exits with status 1 once the rest are done.
"""


def register(subparsers, parents) -> None:
    from vantorel.backtest._core import DEFAULT_BENCHMARK

    parser = _options.add_command(subparsers, parents, "strategy", "backtest a table of target weights", DESCRIPTION)
    parser.add_argument("weights", type=Path, nargs="+", metavar="WEIGHTS_FILE",
                        help="weights: .parquet, .csv or .pkl (a pickle runs code as it loads: only your own)")
    _options.add_input_options(parser)
    _options.add_period_options(parser)
    parser.add_argument("--benchmark", default=DEFAULT_BENCHMARK,
                        help=f"benchmark of the statistics (default: {DEFAULT_BENCHMARK})")
    _options.add_trading_options(parser)
    parser.add_argument("--name", help="the strategy's name, used in the chart and file names (default: file stem; "
                        "one file only)")
    _options.add_output_options(parser, "the returns")
    _batch.add_options(parser)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from vantorel.backtest import BacktestService

    _options.check_output_options(args)
    if args.name is not None and len(args.weights) > 1:
        raise UsageError("--name names one strategy; several files are named by their stems")
    names = [_options.file_name("--name", args.name)] if args.name else _batch.names_of(args.weights)
    _batch.check_files("WEIGHTS_FILE", "weight", args.weights, names)
    start, end = _batch.period_options(args)
    engine = _batch.engine_options(args)
    data = load_bundle()
    _options.check_benchmarks(data, args.benchmark)
    charts = args.plot != "none"
    batch = BacktestService(None).backtest_strategy_many(
        _batch.items(args.weights, names, args.layout, start, end, engine), data, start, end,
        args.out if charts else None,
        benchmark=args.benchmark, rolling_window=args.rolling_window, total_money=args.capital, fee=args.fee,
        rule_fee=args.rule_fee, **({"plot": args.plot} if charts else {}), **engine,
    )
    _batch.no_empty_periods(batch, start, end, lambda result: result.daily_return)
    _batch.single_failure(batch)
    errors = _batch.error_texts(batch)
    reports = []
    for name in names:
        result = batch.results.get(name)
        if result is None:
            reports.append({"strategy": name, "error": errors[name]})
            continue
        files = dict(result.plot_paths) if charts else {}
        if args.out is not None:
            returns = pd.DataFrame({"daily_return": result.daily_return,
                                    "cumulative_return": result.cumulative_return})
            path = args.out / f"{name}_returns.{args.returns_format}"
            files["returns"] = str(_options.write_frame(returns, path, args.returns_format))
        days = result.daily_return.index
        reports.append({
            "strategy": name, "start": start or str(days[0]), "end": end or str(days[-1]),
            "benchmark": args.benchmark, "days": len(days),
            "final_net_value": float(result.cumulative_return.iloc[-1]),
            "stats": result.stats, "benchmark_summary": result.benchmark_summary.to_dict(orient="records"),
            "files": files, "error": None, "result": result,
        })
    if args.json:
        if len(names) == 1:  # one strategy's report, as it has always been: a failure has raised by now
            render.print_json({k: v for k, v in reports[0].items() if k not in ("result", "error")})
        else:
            render.print_json([{k: v for k, v in report.items() if k != "result"} for report in reports])
    elif len(names) == 1:
        _print(reports[0])
    else:
        _print_many(reports, args.benchmark)
    _batch.failures(batch, "strategies")
    return 0


def _print(report) -> None:
    name, start, end, benchmark = report["strategy"], report["start"], report["end"], report["benchmark"]
    result, files = report["result"], report["files"]
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


def _print_many(reports, benchmark) -> None:
    failed = any(r["error"] for r in reports)
    summary = render.table(
        f"Strategy backtests (against {benchmark})",
        ["strategy", "days", *HEADLINE, *(["error"] if failed else [])],
        ([r["strategy"], r.get("days", "--"),
          *(render.format_stat(key, r["stats"].get(key) if "stats" in r else None) for key in HEADLINE),
          *([r["error"] or ""] if failed else [])] for r in reports),
    )
    written = [(r["strategy"], kind, path) for r in reports for kind, path in sorted(r.get("files", {}).items())]
    if written:
        render.show(summary, render.table("Files written", ["strategy", "kind", "path"], written, numeric_from=3))
    else:
        render.show(summary)
