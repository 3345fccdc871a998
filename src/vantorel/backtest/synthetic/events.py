"""Corporate events: splits and cash dividends, drawn once and applied day by day."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from vantorel.backtest.synthetic.calendar import day_slices

_SPLIT_RATE = 0.0002  # per stock-day
_SPLIT_FACTORS = np.array([2.0, 1.5, 1.2])
_SPLIT_MIN_PRICE = 6.0  # cheaper stocks skip a drawn split
_DIVIDEND_RATE = 0.003  # per stock-day
_DIVIDEND_YIELD = (0.01, 0.03)


def _draw_events(
    rng: np.random.Generator, rate: float, eligible: np.ndarray, taken: np.ndarray | None = None
) -> np.ndarray:
    """Sorted flat (day-major) indices of randomly drawn event cells among ``eligible``."""
    size = eligible.size
    flat = np.unique(rng.integers(0, size, rng.binomial(size, rate)))
    flat = flat[eligible.ravel()[flat]]
    if taken is not None:
        flat = np.setdiff1d(flat, taken, assume_unique=True)
    return flat


@dataclass
class ExDays:
    """The drawn ex days: per day, the stocks with a split (and its factor) or a dividend (and its yield).

    A drawn event only happens if the stock's price allows it on the day (see
    ``splits_on`` and ``dividends_on``).
    """

    split_stock: np.ndarray
    split_factor: np.ndarray
    split_off: np.ndarray
    div_stock: np.ndarray
    div_yield: np.ndarray
    div_off: np.ndarray

    def splits_on(self, t: int, prev: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
        """(stocks, factors) splitting on day ``t`` given the previous closes; None when none was drawn."""
        a, b = self.split_off[t], self.split_off[t + 1]
        if b <= a:
            return None
        idx, factor = self.split_stock[a:b], self.split_factor[a:b]
        ok = prev[idx] >= _SPLIT_MIN_PRICE
        return idx[ok], factor[ok]

    def dividends_on(self, t: int, prev: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
        """(stocks, cash per share) going ex-dividend on day ``t``; None when none was drawn.

        The cash is at least a cent and a dividend of half the price or more is skipped.
        """
        a, b = self.div_off[t], self.div_off[t + 1]
        if b <= a:
            return None
        idx = self.div_stock[a:b]
        cash = np.maximum(np.round(prev[idx] * self.div_yield[a:b], 2), 0.01)
        ok = cash < prev[idx] * 0.5
        return idx[ok], cash[ok]


def draw_ex_days(rng: np.random.Generator, list_day: np.ndarray, suspended: np.ndarray) -> ExDays:
    """Ex days fall on trading days after the listing day, never on a suspended day; a day holds
    a split or a dividend, not both."""
    n_days, n_stocks = suspended.shape
    eligible = ~suspended
    eligible &= np.arange(n_days)[:, None] > list_day
    split_flat = _draw_events(rng, _SPLIT_RATE, eligible)
    split_pick = _SPLIT_FACTORS[rng.integers(0, _SPLIT_FACTORS.size, split_flat.size)]
    div_flat = _draw_events(rng, _DIVIDEND_RATE, eligible, taken=split_flat)
    div_yield = rng.uniform(*_DIVIDEND_YIELD, div_flat.size)
    del eligible
    split_day, split_stock = np.divmod(split_flat, n_stocks)
    div_day, div_stock = np.divmod(div_flat, n_stocks)
    return ExDays(
        split_stock=split_stock,
        split_factor=split_pick,
        split_off=day_slices(split_day, n_days),
        div_stock=div_stock,
        div_yield=div_yield,
        div_off=day_slices(div_day, n_days),
    )
