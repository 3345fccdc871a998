"""Benchmark index returns: the members' equal-weight return plus tracking noise."""

from __future__ import annotations

import numpy as np

from vantorel.backtest.synthetic.membership import REBALANCE_DAYS

BENCHMARK_NAMES: tuple[str, ...] = ("000852", "000300", "000905")

_BENCHMARK_COMPONENT = {
    "000852": "rq_index_components_new_000852.XSHG",
    "000300": "rq_index_components_new_000300.XSHG",
    "000905": "rq_index_components_new_000905.XSHG",
}
_BENCHMARK_NOISE = 0.0015


def benchmark_returns(
    rng: np.random.Generator,
    close: np.ndarray,
    prev_close: np.ndarray,
    prices: dict,
    member_rows: dict[str, np.ndarray],
) -> np.ndarray:
    """Daily returns of the benchmarks: equal-weight member returns plus tracking noise.

    A day without any member return falls back to the all-stock average, and
    to zero when no stock has a return (the first day).
    """
    n_days = close.shape[0]
    ret = close / prev_close
    rows, cols = np.nonzero(np.isfinite(prices["split"]) | np.isfinite(prices["dividend"]))
    s = np.nan_to_num(prices["split"][rows, cols], nan=1.0)
    d = np.nan_to_num(prices["dividend"][rows, cols], nan=0.0)
    ret[rows, cols] = (s * close[rows, cols] + d) / prev_close[rows, cols]
    ret -= 1.0
    has_ret = np.isfinite(ret)
    ret[~has_ret] = 0.0

    members = np.stack([member_rows[_BENCHMARK_COMPONENT[n]] for n in BENCHMARK_NAMES], axis=1)
    total = np.zeros((n_days, len(BENCHMARK_NAMES)))
    count = np.zeros_like(total)
    for seg in range(members.shape[0]):
        days = slice(seg * REBALANCE_DAYS, (seg + 1) * REBALANCE_DAYS)
        weights = members[seg].T.astype(np.float64)  # stocks × benchmarks
        total[days] = ret[days] @ weights
        count[days] = has_ret[days].astype(np.float64) @ weights
    all_count = has_ret.sum(axis=1)
    all_mean = np.divide(ret.sum(axis=1), all_count, out=np.zeros(n_days), where=all_count > 0)
    fallback = np.repeat(all_mean[:, None], total.shape[1], axis=1)
    mean = np.divide(total, count, out=fallback, where=count > 0)
    return mean + rng.normal(0.0, _BENCHMARK_NOISE, mean.shape)
