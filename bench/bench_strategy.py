"""Full-scale benchmark of the strategy engine against the plain baseline.

4,000 trading days x 5,000 stocks of the embedded synthetic market, top-500
momentum weights at equal weight. Prints medians of several runs, the ratio
to the baseline measured in the same run, the engine's times with every input
Frame in row order and in column order (the order pandas keeps a Frame made
by arithmetic in), the peak memory an engine call adds, and the time of two
backtests running in two threads at once.

    python bench/bench_strategy.py [--days 4000] [--stocks 5000] [--runs 5]
"""

from __future__ import annotations

import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baseline  # noqa: E402
from measure import layout_times, median_time, peak_added_memory, print_layouts, scale_parser  # noqa: E402

from vantorel.backtest import (
    _weightsim as ws,  # noqa: E402
    synthetic,  # noqa: E402
)

MIB = 1024 * 1024





def two_threads(fn) -> float:
    threads = [threading.Thread(target=fn) for _ in range(2)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def main() -> None:
    parser = scale_parser(__doc__, days=4000, stocks=5000, runs=5)
    parser.add_argument("--top", type=int, default=500)
    args = parser.parse_args()

    start = time.perf_counter()
    market = synthetic.make_market(n_days=args.days, n_stocks=args.stocks, seed=0)
    weights = synthetic.momentum_weights(market, top_n=args.top)
    frames = market.market_frames()
    bench = market.benchmark_dict
    print(f"market {args.days} days x {args.stocks} stocks, top-{args.top} weights, "
          f"built in {time.perf_counter() - start:.1f} s")

    def engine_vwap():
        return ws.calc_strategy_vwap_daily_return(weights, **frames)

    def engine_core():
        return ws.run_strategy_backtest_core(weights, **frames, benchmark_dict=bench)

    def baseline_vwap():
        return baseline.vwap_daily_return(weights, **frames)

    def baseline_core():
        return baseline.run_strategy_backtest_core(weights, **frames, benchmark_dict=bench)

    engine_core()  # warm up: first touch of the market pages
    rows = []
    for name, engine, plain in [
        ("calc_strategy_vwap_daily_return", engine_vwap, baseline_vwap),
        ("run_strategy_backtest_core", engine_core, baseline_core),
    ]:
        t_engine = median_time(engine, args.runs)
        t_plain = median_time(plain, args.runs)
        rows.append((name, t_engine, t_plain))

    print(f"\n{'operation':34s} {'engine s':>9s} {'baseline s':>11s} {'ratio':>7s}   (medians of {args.runs})")
    for name, t_engine, t_plain in rows:
        print(f"{name:34s} {t_engine:9.3f} {t_plain:11.3f} {t_plain / t_engine:6.1f}x")

    # The weights and the eight market Frames, all in one memory order and then all in the other.
    inputs = {"weights": weights, **frames}
    print_layouts([
        ("calc_strategy_vwap_daily_return",
         *layout_times(lambda weights, **f: ws.calc_strategy_vwap_daily_return(weights, **f), inputs, args.runs)),
        ("run_strategy_backtest_core",
         *layout_times(lambda weights, **f: ws.run_strategy_backtest_core(weights, **f, benchmark_dict=bench),
                       inputs, args.runs)),
    ], args.runs)

    matrix_mib = args.days * args.stocks * 8 / MIB
    peak = peak_added_memory(engine_core)
    if peak is not None:
        print(f"\npeak memory added by run_strategy_backtest_core: {peak:.0f} MiB "
              f"({peak / matrix_mib:.2f} x one {args.days} x {args.stocks} float64 matrix)")
    peak_plain = peak_added_memory(baseline_core)
    if peak_plain is not None:
        print(f"peak memory added by the baseline: {peak_plain:.0f} MiB")

    one = median_time(engine_core, args.runs)
    both = statistics.median(two_threads(engine_core) for _ in range(args.runs))
    print(f"\ntwo backtests in two threads: {both:.3f} s against {one:.3f} s for one "
          f"({both / one:.2f} x)")


if __name__ == "__main__":
    main()
