"""Demo: prepare the backtest data from the embedded synthetic market, then backtest a strategy.

    python -m vantorel.backtest [--days 1500] [--stocks 1500] [--advance 5] [--top 100] [--seed 0]
                                [--out DIR] [--plot KIND]

In a private temporary home directory (never the user's own ~/.vantorel), a
package built from the synthetic market is served over HTTP on 127.0.0.1 and
vantorel.prepare_backtest_data() downloads it, then appends --advance more
trading days incrementally (see vantorel.backtest.demo_data). The data are
loaded and a top-N momentum portfolio is traded day by day at VWAP prices;
the statistics and the excess over every benchmark are printed, and the
performance and weekly net value charts are written into --out (default
./demo_output). Beside it, a factor group backtest of 20-day reversal in ten
groups writes its group chart and its analytics page there too.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import pandas as pd

from vantorel.backtest import synthetic
from vantorel.backtest._core import DEFAULT_BENCHMARK
from vantorel.backtest.cli.render import format_stat
from vantorel.backtest.demo_data import prepared_home


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The demo's options (shared with ``vantorel-backtest demo``)."""
    parser.add_argument("--days", type=int, default=1500, help="trading days in the downloaded package")
    parser.add_argument("--stocks", type=int, default=1500)
    parser.add_argument("--advance", type=int, default=5, help="trading days appended incrementally")
    parser.add_argument("--top", type=int, default=100, help="stocks held by the momentum portfolio")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", type=Path, default=Path("demo_output"), help="where the charts are written")
    parser.add_argument("--plot", default="large", choices=["large", "long", "none"], help="chart layout")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m vantorel.backtest", description=__doc__.splitlines()[0])
    add_arguments(parser)
    run(parser.parse_args(argv))


def run(args: argparse.Namespace) -> None:
    """Runs the demo with parsed options."""
    with prepared_home(args.days, args.stocks, advance=args.advance, seed=args.seed) as (market, service):
        started = time.perf_counter()
        data = service.load_backtest_data()
        close = data.data["close_price"]
        print(f"Loaded {len(data.data) - 1} datasets and {len(data.data['benchmark_dict'])} benchmarks: "
              f"{close.shape[0]} days x {close.shape[1]} stocks in {(time.perf_counter() - started) * 1000:.0f} ms\n")

        weights = synthetic.momentum_weights(market, top_n=args.top)
        print(f"Strategy: top-{args.top} 20-day momentum, equal weight, traded at VWAP the next day")
        started = time.perf_counter()
        result = service.backtest_strategy(
            weights, data, close.index[0], close.index[-1], args.out, "momentum", benchmark=DEFAULT_BENCHMARK,
            plot=None if args.plot == "none" else args.plot,
        )
        elapsed = time.perf_counter() - started

        started = time.perf_counter()
        factor = -(close / close.shift(20) - 1.0)  # 20-day reversal: recent losers score high
        factor.columns.name = "reversal20"
        groups = service.backtest(
            factor, data, close.index[0], close.index[-1], args.out, "reversal20", group_num=10,
            benchmark=[DEFAULT_BENCHMARK, "000300"], plot="long" if args.plot == "none" else args.plot,
        )
        group_elapsed = time.perf_counter() - started

    print(f"Backtest of {len(result.daily_return)} trading days in {elapsed * 1000:.0f} ms (charts included)")
    print(f"Final net value: {result.cumulative_return.iloc[-1]:.4f}\n")
    print(f"Statistics (against the CSI 1000, {DEFAULT_BENCHMARK}):")
    for key, value in result.stats.items():
        print(f"  {key:24s} {format_stat(key, value):>12s}")
    print("\nExcess over each benchmark (annual figures are mean daily x 252):")
    with pd.option_context("display.width", 120, "display.float_format", "{:.4f}".format):
        print(result.benchmark_summary.to_string(index=False))

    print(f"\nFactor group backtest of {groups.factor_name} in 10 groups: {group_elapsed * 1000:.0f} ms "
          f"(chart included)")
    final = groups.group_cumulative_return.iloc[-1]
    print("  final net value by group: " + "  ".join(f"G{g}={v:.3f}" for g, v in final.items()))
    print(f"  best group: {groups.best_group}; mean daily rank IC: {groups.rank_ic.mean():.4f}")

    print("\nCharts:")
    factor_pages = {"factor groups": groups.plot_paths.get("main", ""),
                    "factor analytics": groups.plot_paths.get("analytics", "")}
    for kind, path in {**result.plot_paths, **factor_pages}.items():
        if path:
            print(f"  {kind:18s} {Path(path).resolve()}")


if __name__ == "__main__":
    main()
