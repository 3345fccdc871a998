"""Full-scale benchmark of the factor group backtest against the plain baseline.

4,000 trading days x 5,000 stocks of the embedded synthetic market, a 20-day
reversal factor, 20 groups, no charts. Prints the median of several kernel
runs, the same runs without the factor analytics (analytics=False: no IC
decay, turnover, autocorrelation or forward returns) and their ratio, the
kernel's times with every input Frame in row order and in column
order (the order pandas keeps a Frame made by arithmetic in), the peak memory
one run adds, and the plain pandas/NumPy statement of
the same rules measured in the same run: grouping date by date, the groups
simulated one after another with the strategy rules, rank IC, net values,
best group and benchmark summary (one run, after an untimed warm-up
simulation). The group simulations dominate the baseline; with
--baseline-groups N only N groups are simulated and their time is scaled
linearly (said in the output). The baseline's results are checked against the
kernel's.

    python bench/bench_groups.py [--days 4000] [--stocks 5000] [--groups 20] [--runs 5] [--baseline-groups N]
"""

from __future__ import annotations

import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baseline  # noqa: E402  (puts tests/ on the path)
from measure import layout_times, peak_added_memory, print_layouts, scale_parser, timed  # noqa: E402

from vantorel.backtest import _core, synthetic  # noqa: E402

from support import groups as plain  # noqa: E402

MIB = 1024 * 1024






def rank_ic_plain(factor: pd.DataFrame, valid: pd.DataFrame, forward: pd.DataFrame) -> pd.Series:
    """Per-date Spearman correlation, vectorised across dates: mask, rank each row, row-wise Pearson."""
    both = plain.eligible(factor, valid) & np.isfinite(forward.to_numpy())
    x = factor.where(both).rank(axis=1).to_numpy()
    y = forward.where(both).rank(axis=1).to_numpy()
    n = both.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # dates without any pair
        xm = x - np.nanmean(x, axis=1, keepdims=True)
        ym = y - np.nanmean(y, axis=1, keepdims=True)
        ic = np.nansum(xm * ym, axis=1) / np.sqrt(np.nansum(xm * xm, axis=1) * np.nansum(ym * ym, axis=1))
    ic[n < 2] = np.nan
    return pd.Series(ic, index=factor.index, name="rank_ic")


def baseline_groups(factor, market, group_num, n_simulated):
    """The whole factor backtest in plain pandas/NumPy; simulates the first n_simulated groups.

    Returns (total time, time of the group simulations, group daily returns, rank IC).
    """
    frames = market.frames
    sim_frames = market.market_frames()
    start = time.perf_counter()
    aligned = plain.aligned_factor(factor, frames["close_price"])
    labels = plain.group_labels(aligned, frames["close_price_valid"], group_num)
    prep_time = time.perf_counter() - start

    # untimed warm-up: the first simulation also pays for first-touch page faults
    baseline.vwap_daily_return(plain.group_weights(labels, 1), **sim_frames)

    start = time.perf_counter()
    daily = pd.DataFrame(0.0, index=aligned.index, columns=pd.RangeIndex(1, group_num + 1, name="group"))
    for g in range(1, n_simulated + 1):
        r = baseline.vwap_daily_return(plain.group_weights(labels, g), **sim_frames)
        daily.loc[r.index, g] = r.to_numpy()
    sim_time = time.perf_counter() - start

    start = time.perf_counter()
    cumulative = 1 + daily.cumsum()
    cumulative.iloc[-1].idxmax()  # best group
    ic = rank_ic_plain(aligned, frames["close_price_valid"],
                       frames["forward_return_rank_cache"].reindex(index=aligned.index, columns=aligned.columns))
    plain.benchmark_rows(daily, market.benchmark_dict, ["000852"])
    rest_time = time.perf_counter() - start
    return prep_time + sim_time + rest_time, sim_time, daily, ic


def main() -> None:
    parser = scale_parser(__doc__, days=4000, stocks=5000, runs=5)
    parser.add_argument("--groups", type=int, default=20)
    parser.add_argument("--baseline-groups", type=int, default=0,
                        help="groups the baseline simulates, the rest scaled linearly (default: all)")
    args = parser.parse_args()
    n_sim = args.groups if args.baseline_groups <= 0 else min(args.baseline_groups, args.groups)

    t, market = timed(lambda: synthetic.make_market(n_days=args.days, n_stocks=args.stocks, seed=0))
    close = market.adjusted_close()
    factor = -(close / close.shift(20) - 1)  # 20-day reversal
    del close
    frames = market.frames
    print(f"market {args.days} days x {args.stocks} stocks, 20-day reversal, {args.groups} groups, "
          f"built in {t:.1f} s")

    def kernel():
        return _core.run_alpha_vwap_backtest_core(
            factor_matrix=factor, close_price_valid=frames["close_price_valid"], **market.market_frames(),
            benchmark_dict=market.benchmark_dict, forward_return_rank_cache=frames["forward_return_rank_cache"],
            open_price=frames["open_price"], benchmark_names="000852", group_num=args.groups,
            plot_image_kind=None)

    def kernel_without_analytics():
        return _core.run_alpha_vwap_backtest_core(
            factor_matrix=factor, close_price_valid=frames["close_price_valid"], **market.market_frames(),
            benchmark_dict=market.benchmark_dict, forward_return_rank_cache=frames["forward_return_rank_cache"],
            open_price=frames["open_price"], benchmark_names="000852", group_num=args.groups,
            plot_image_kind=None, analytics=False)

    result = kernel()  # warm up: first touch of the market pages
    kernel_daily, kernel_ic = result.group_daily_return, result.rank_ic
    times, lean = [], []
    for _ in range(args.runs):  # alternated, so that both see the same machine
        times.append(timed(kernel)[0])
        lean.append(timed(kernel_without_analytics)[0])
    t_kernel = statistics.median(times)
    print(f"\nrun_alpha_vwap_backtest_core   median {t_kernel:.3f} s of {args.runs} "
          f"(min {min(times):.3f}, max {max(times):.3f}; target <= 3 s)")
    t_lean = statistics.median(lean)
    print(f"  without the factor analytics  median {t_lean:.3f} s (min {min(lean):.3f}, max {max(lean):.3f}); "
          f"the analytics add {t_kernel / t_lean - 1:+.0%} (target <= +50%)")
    print(f"  best group {result.best_group}, mean rank IC {result.rank_ic.mean():.4f}, "
          f"final net values {result.group_cumulative_return.iloc[-1].min():.3f}.."
          f"{result.group_cumulative_return.iloc[-1].max():.3f}")
    del result

    # The factor, the validity mask, the forward ranks and the eight market Frames, all in one
    # memory order and then all in the other.
    def kernel_on(**inputs):
        return _core.run_alpha_vwap_backtest_core(
            **inputs, benchmark_dict=market.benchmark_dict, open_price=frames["open_price"],
            benchmark_names="000852", group_num=args.groups, plot_image_kind=None)

    inputs = {"factor_matrix": factor, "close_price_valid": frames["close_price_valid"],
              "forward_return_rank_cache": frames["forward_return_rank_cache"], **market.market_frames()}
    print_layouts([("run_alpha_vwap_backtest_core", *layout_times(kernel_on, inputs, args.runs))], args.runs)
    del inputs

    matrix_mib = args.days * args.stocks * 8 / MIB
    peak = peak_added_memory(kernel)
    if peak is not None:
        print(f"  peak added memory {peak:.0f} MiB = {peak / matrix_mib:.2f} x one {args.days} x {args.stocks} "
              f"float64 matrix ({matrix_mib:.0f} MiB; target <= 3 x)")

    total, sim, daily, ic = baseline_groups(factor, market, args.groups, n_sim)
    n = n_sim
    per_group = sim / n
    diff = (daily.iloc[:, :n] - kernel_daily.iloc[:, :n]).abs().to_numpy().max()
    ic_diff = np.nanmax(np.abs(ic.to_numpy() - kernel_ic.to_numpy()))
    same_nan = np.array_equal(np.isnan(ic.to_numpy()), np.isnan(kernel_ic.to_numpy()))
    estimate = total - sim + per_group * args.groups
    scaled = "" if n == args.groups else (
        f" -- {n} of {args.groups} groups simulated ({per_group:.2f} s each), scaled linearly to {args.groups}")
    print(f"\nbaseline (plain pandas/NumPy)  {estimate:.1f} s for {args.groups} groups{scaled}")
    print(f"  of which grouping, rank IC, net values and summary {total - sim:.2f} s")
    print(f"  agreement: groups 1..{n} daily returns max |diff| {diff:.1e}, rank IC max |diff| {ic_diff:.1e}"
          f"{'' if same_nan else ' (missing dates differ!)'}")
    print(f"ratio baseline / kernel        {estimate / t_kernel:.0f}x (target >= 30x)")


if __name__ == "__main__":
    main()
