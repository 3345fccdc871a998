"""Demo: prepare the backtest data from the embedded synthetic market, then backtest a strategy.

    python -m vantorel.backtest [--days 1500] [--stocks 1500] [--advance 5] [--top 100] [--seed 0]

Everything happens in a private temporary home directory (never the user's own
~/.vantorel):

1. the synthetic market is served as the data-service client, with its last
   --advance trading days held back;
2. a prepared-data package is built from it by GroupPreparedDataBuilder and
   served over HTTP on 127.0.0.1;
3. vantorel.prepare_backtest_data() downloads and unpacks the package;
4. the synthetic calendar moves on by --advance days and prepare_backtest_data()
   appends them incrementally;
5. the data are loaded and a top-N momentum portfolio is backtested day by day
   at VWAP prices; the statistics and the excess over every benchmark are
   printed.
"""

from __future__ import annotations

import argparse
import logging
import math
import sys
import tempfile
import time
from pathlib import Path

import pandas as pd

import vantorel
from vantorel import singleton
from vantorel.backtest import BacktestService, _service, synthetic
from vantorel.backtest.package_server import PackageServer, build_package
from vantorel.backtest.synthetic_service import SyntheticDataService

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


def _step(text: str, started: float) -> None:
    print(f"-- {text} ({time.perf_counter() - started:.1f} s)\n")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m vantorel.backtest", description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=1500, help="trading days in the downloaded package")
    parser.add_argument("--stocks", type=int, default=1500)
    parser.add_argument("--advance", type=int, default=5, help="trading days appended incrementally")
    parser.add_argument("--top", type=int, default=100, help="stocks held by the momentum portfolio")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    # The readiness summary is logged; show it as plain lines.
    logging.basicConfig(level=logging.INFO, format="%(message)s", stream=sys.stdout)

    started = time.perf_counter()
    market = synthetic.make_market(n_days=args.days + args.advance, n_stocks=args.stocks, seed=args.seed)
    client = SyntheticDataService(market, visible_days=args.days)
    print(f"Synthetic market: {market.n_days} trading days ({market.dates[0]} to {market.dates[-1]}), "
          f"{args.stocks} stocks; the data service serves the first {args.days} days")
    package = build_package(client, market.dates[0], market.dates[args.days - 1])
    _step(f"Package built from the data service by GroupPreparedDataBuilder: {len(package) / 1e6:.1f} MB "
          "(tar.gz)", started)

    with tempfile.TemporaryDirectory(prefix="vantorel-demo-") as home, PackageServer(package) as server:
        # The service reads its data directory from the module at call time.
        _service._DEFAULT_DATA_DIR = Path(home) / ".vantorel" / "backtest_data" / "enviroment_data"
        client.http = server.client()
        singleton.set_instance(client)
        print(f"Package served at {server.url}; private home {home}\n")

        started = time.perf_counter()
        vantorel.prepare_backtest_data()
        _step("prepare_backtest_data(): no local data, package downloaded and unpacked", started)

        last = client.advance(args.advance)
        print(f"The synthetic calendar moves on by {args.advance} trading days, to {last}\n")
        started = time.perf_counter()
        vantorel.prepare_backtest_data()
        _step(f"prepare_backtest_data(): {args.advance} new days fetched, derived and appended", started)

        service = BacktestService(http=client.http)
        started = time.perf_counter()
        data = service.load_backtest_data()
        close = data.data["close_price"]
        _step(f"Loaded {len(data.data) - 1} datasets and {len(data.data['benchmark_dict'])} benchmarks: "
              f"{close.shape[0]} days x {close.shape[1]} stocks", started)

        weights = synthetic.momentum_weights(market, top_n=args.top).loc[: close.index[-1]]
        print(f"Strategy: top-{args.top} 20-day momentum, equal weight, traded at VWAP the next day")
        started = time.perf_counter()
        result = service.backtest_strategy(
            weights, data, close.index[0], close.index[-1], None, "momentum", benchmark="000852", plot=None
        )
        elapsed = time.perf_counter() - started
    singleton.reset_instance()

    print(f"Backtest of {len(result.daily_return)} trading days in {elapsed * 1000:.0f} ms")
    print(f"Final net value: {result.cumulative_return.iloc[-1]:.4f}\n")
    print("Statistics (against the CSI 1000, 000852):")
    for key, value in result.stats.items():
        print(f"  {key:24s} {_format_stat(key, value):>12s}")
    print("\nExcess over each benchmark (annual figures are mean daily x 252):")
    with pd.option_context("display.width", 120, "display.float_format", "{:.4f}".format):
        print(result.benchmark_summary.to_string(index=False))


if __name__ == "__main__":
    main()
