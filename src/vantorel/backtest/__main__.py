"""Demo: a strategy backtest through the service on the embedded synthetic market.

    python -m vantorel.backtest [--days 1500] [--stocks 1500] [--top 100] [--seed 0] [--out DIR] [--plot KIND]

Builds the synthetic market, writes it as a prepared-data store into a private
temporary home directory (never the user's own ~/.vantorel), loads it with
BacktestService.load_backtest_data, trades a top-N momentum portfolio at equal
weight day by day at VWAP prices with backtest_strategy, prints the
statistics and the excess over every benchmark, and writes the performance
chart and the weekly net value chart into --out (default ./demo_output).
Beside it, a factor group backtest of 20-day reversal in ten groups writes its
group chart there too.
"""

from __future__ import annotations

import argparse
import math
import tempfile
import time
from pathlib import Path

import pandas as pd

from vantorel.backtest import BacktestService, _service, synthetic
from vantorel.backtest._prepare import BinaryPreparedDataStore

# Statistics in percentage points are shown as such; the rest are ratios.
_POINTS = {"annual_return", "benchmark_annual_return", "extra_annual_return"}


def _format_stat(key: str, value: float) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "--"
    if key in _POINTS:
        return f"{value:.2f} %"
    if key in {"max_dd", "extra_max_dd", "win_rate", "excess_win_rate", "turnover"}:
        return f"{value * 100:.2f} %"
    return f"{value:.3f}"


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m vantorel.backtest", description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=1500)
    parser.add_argument("--stocks", type=int, default=1500)
    parser.add_argument("--top", type=int, default=100, help="stocks held by the momentum portfolio")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", type=Path, default=Path("demo_output"), help="where the charts are written")
    parser.add_argument("--plot", default="large", choices=["large", "long", "none"], help="chart layout")
    args = parser.parse_args(argv)

    started = time.perf_counter()
    market = synthetic.make_market(n_days=args.days, n_stocks=args.stocks, seed=args.seed)
    weights = synthetic.momentum_weights(market, top_n=args.top)
    built = time.perf_counter() - started
    print(f"Synthetic market: {args.days} trading days ({market.dates[0]} to {market.dates[-1]}), "
          f"{args.stocks} stocks, built in {built:.1f} s")
    print(f"Strategy: top-{args.top} 20-day momentum, equal weight, traded at VWAP the next day\n")

    with tempfile.TemporaryDirectory(prefix="vantorel-demo-") as home:
        # The service reads its data directory from the module at call time.
        _service._DEFAULT_DATA_DIR = Path(home) / ".vantorel" / "backtest_data" / "enviroment_data"
        started = time.perf_counter()
        BinaryPreparedDataStore(_service._DEFAULT_DATA_DIR).write(synthetic.market_payload(market))
        print(f"Sample store written to a private home directory in {time.perf_counter() - started:.1f} s")

        service = BacktestService(http=None)
        started = time.perf_counter()
        data = service.load_backtest_data()
        print(f"Loaded {len(data.data) - 1} datasets and {len(data.data['benchmark_dict'])} benchmarks "
              f"in {(time.perf_counter() - started) * 1000:.0f} ms\n")

        started = time.perf_counter()
        result = service.backtest_strategy(
            weights, data, market.dates[0], market.dates[-1], args.out, "momentum", benchmark="000852",
            plot=None if args.plot == "none" else args.plot,
        )
        elapsed = time.perf_counter() - started

        started = time.perf_counter()
        close = market.frames["close_price"]
        factor = -(close / close.shift(20) - 1.0)  # 20-day reversal: recent losers score high
        factor.columns.name = "reversal20"
        groups = service.backtest(
            factor, data, market.dates[0], market.dates[-1], args.out, "reversal20", group_num=10,
            benchmark=["000852", "000300"], plot="long" if args.plot == "none" else args.plot,
        )
        group_elapsed = time.perf_counter() - started

    print(f"Backtest of {len(result.daily_return)} trading days in {elapsed * 1000:.0f} ms (charts included)")
    print(f"Final net value: {result.cumulative_return.iloc[-1]:.4f}\n")
    print("Statistics (against the CSI 1000, 000852):")
    for key, value in result.stats.items():
        print(f"  {key:24s} {_format_stat(key, value):>12s}")
    print("\nExcess over each benchmark (annual figures are mean daily x 252):")
    with pd.option_context("display.width", 120, "display.float_format", "{:.4f}".format):
        print(result.benchmark_summary.to_string(index=False))

    print(f"\nFactor group backtest of {groups.factor_name} in 10 groups: {group_elapsed * 1000:.0f} ms "
          f"(chart included)")
    final = groups.group_cumulative_return.iloc[-1]
    print("  final net value by group: " + "  ".join(f"G{g}={v:.3f}" for g, v in final.items()))
    print(f"  best group: {groups.best_group}; mean daily rank IC: {groups.rank_ic.mean():.4f}")

    print("\nCharts:")
    for kind, path in {**result.plot_paths, "factor groups": groups.plot_paths.get("main", "")}.items():
        if path:
            print(f"  {kind:18s} {Path(path).resolve()}")


if __name__ == "__main__":
    main()
