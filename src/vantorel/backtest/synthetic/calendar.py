"""The trading calendar, the stock codes, listing days and suspensions."""

from __future__ import annotations

import numpy as np
import pandas as pd

# (month, day) pairs on which the exchanges are always closed.
_FIXED_HOLIDAYS = frozenset(
    [(1, 1), (5, 1), (5, 2), (5, 3)] + [(10, d) for d in range(1, 8)]
)

# Code prefixes: Shanghai main board, STAR market, Shenzhen main board, ChiNext.
_BOARD_PREFIXES = ("60", "68", "00", "30")
_BOARD_WEIGHTS = (0.35, 0.10, 0.30, 0.25)

_LATE_LISTING_SHARE = 0.25
_SUSPENDED_SHARE = 0.01  # of stock-days, before overlaps
_SUSPENSION_RUN = (2, 12)  # run length range in days, upper bound exclusive


def trading_dates(start_date: str, n_days: int) -> list[str]:
    """The first ``n_days`` weekdays from ``start_date`` that are not fixed holidays, as YYYYMMDD."""
    start = pd.Timestamp(str(start_date))
    span = int(n_days * 1.1) + 30
    while True:
        days = pd.bdate_range(start, periods=span)
        closed = np.array([md in _FIXED_HOLIDAYS for md in zip(days.month, days.day, strict=True)], dtype=bool)
        open_days = days[~closed]
        if len(open_days) >= n_days:
            return list(open_days[:n_days].strftime("%Y%m%d"))
        span *= 2


def stock_codes(rng: np.random.Generator, n_stocks: int) -> list[str]:
    """Distinct six-digit codes spread over the four boards, sorted."""
    pool = 10_000 * len(_BOARD_PREFIXES)
    if n_stocks > pool:
        raise ValueError(f"n_stocks must be at most {pool}, got {n_stocks}")
    weights = np.repeat(np.asarray(_BOARD_WEIGHTS) / 10_000, 10_000)
    picked = rng.choice(pool, size=n_stocks, replace=False, p=weights / weights.sum())
    prefixes = np.asarray(_BOARD_PREFIXES)[picked // 10_000]
    suffixes = np.char.zfill((picked % 10_000).astype(str), 4)
    return sorted(np.char.add(prefixes, suffixes).tolist())


def listing_days(rng: np.random.Generator, n_days: int, n_stocks: int) -> np.ndarray:
    """Row of each stock's first trading day; most stocks trade from the start."""
    late = rng.random(n_stocks) < _LATE_LISTING_SHARE
    day = np.zeros(n_stocks, dtype=np.int64)
    if n_days > 1:
        day[late] = rng.integers(1, n_days, int(late.sum()))
    return day


def suspensions(rng: np.random.Generator, n_days: int, list_day: np.ndarray) -> np.ndarray:
    """Boolean day × stock mask of suspended days, drawn as runs of several days.

    A stock is never suspended on or before its listing day.
    """
    n_stocks = list_day.size
    low, high = _SUSPENSION_RUN
    n_runs = rng.binomial(n_days * n_stocks, _SUSPENDED_SHARE / ((low + high - 1) / 2))
    start = rng.integers(0, n_days, n_runs)
    stock = rng.integers(0, n_stocks, n_runs)
    end = np.minimum(start + rng.integers(low, high, n_runs), n_days)
    edges = np.zeros((n_days + 1, n_stocks), dtype=np.int16)
    np.add.at(edges, (start, stock), 1)
    np.add.at(edges, (end, stock), -1)
    np.cumsum(edges, axis=0, out=edges)
    suspended = edges[:n_days] > 0
    suspended &= np.arange(n_days)[:, None] > list_day
    return suspended


def day_slices(days: np.ndarray, n_days: int) -> np.ndarray:
    """Offsets such that entries of the sorted ``days`` for day t are [off[t], off[t+1])."""
    return np.searchsorted(days, np.arange(n_days + 1))
