"""The price walk: closes, opens, execution prices and limits, day by day."""

from __future__ import annotations

import numpy as np

from vantorel.backtest.synthetic.calendar import day_slices
from vantorel.backtest.synthetic.events import draw_ex_days

_LIMIT_UP_SHARE = 0.015
_LIMIT_DOWN_SHARE = 0.01
_MARKET_VOL = 0.012
_MEAN_REVERSION = 0.003
_EXEC_SPREAD = 0.008  # execution prices drawn within this share of the close


def simulate_prices(
    rng: np.random.Generator,
    n_days: int,
    n_stocks: int,
    list_day: np.ndarray,
    suspended: np.ndarray,
) -> dict:
    # Per-stock parameters.
    first_price = np.round(np.exp(rng.uniform(np.log(3.0), np.log(100.0), n_stocks)), 2)
    beta = rng.uniform(0.6, 1.4, n_stocks)
    vol = rng.uniform(0.010, 0.028, n_stocks)
    anchor = np.log(first_price)

    ex_days = draw_ex_days(rng, list_day, suspended)
    list_order = np.argsort(list_day, kind="stable")
    list_off = day_slices(list_day[list_order], n_days)

    shape = (n_days, n_stocks)
    close = np.full(shape, np.nan)
    open_ = np.full(shape, np.nan)
    buy = np.full(shape, np.nan)
    sell = np.full(shape, np.nan)
    limit_up = np.full(shape, np.nan)
    limit_down = np.full(shape, np.nan)
    split = np.full(shape, np.nan)
    dividend = np.full(shape, np.nan)
    applied_splits = []

    # Each day's reference and limits depend on the previous rounded close, so
    # the walk goes day by day; all work inside a day is whole-vector.
    prev = np.full(n_stocks, np.nan)
    for t in range(n_days):
        ref = prev.copy()
        new = list_order[list_off[t] : list_off[t + 1]]
        ref[new] = first_price[new]

        # Ex days: the reference is the ex-rights price, and the stock's own
        # level moves with it.
        splits = ex_days.splits_on(t, prev)
        if splits is not None:
            idx, factor = splits
            ref[idx] = np.round(prev[idx] / factor, 2)
            split[t, idx] = factor
            anchor[idx] -= np.log(factor)
            applied_splits.append((np.full(idx.size, t), idx, factor))
        dividends = ex_days.dividends_on(t, prev)
        if dividends is not None:
            idx, cash = dividends
            ref[idx] = np.round(prev[idx] - cash, 2)
            dividend[t, idx] = cash
            anchor[idx] += np.log(ref[idx] / prev[idx])

        hi = np.round(ref * 1.1, 2)
        lo = np.round(ref * 0.9, 2)
        log_ref = np.log(ref)
        market = rng.standard_normal() * _MARKET_VOL
        step = beta * market + vol * rng.standard_normal(n_stocks)
        step += _MEAN_REVERSION * (anchor - log_ref)
        c = np.round(ref * np.exp(step), 2)
        u = rng.random(n_stocks)
        c = np.where(u < _LIMIT_UP_SHARE, hi, c)
        c = np.where(u > 1.0 - _LIMIT_DOWN_SHARE, lo, c)
        np.clip(c, lo, hi, out=c)

        # Open: part of the day's move plus its own noise.
        gap = 0.5 * beta * market + 0.5 * vol * rng.standard_normal(n_stocks)
        o = np.round(ref * np.exp(gap), 2)
        np.clip(o, lo, hi, out=o)
        # Execution prices: VWAPs within ±1 % of the close (kept in whole cents)
        # and within the day's limits.
        band_lo = np.ceil(c * 99.0) / 100.0
        band_hi = np.floor(c * 101.0) / 100.0
        dev = rng.uniform(-_EXEC_SPREAD, _EXEC_SPREAD, (2, n_stocks))
        bp = np.clip(np.clip(np.round(c * (1.0 + dev[0]), 2), band_lo, band_hi), lo, hi)
        sp = np.clip(np.clip(np.round(c * (1.0 + dev[1]), 2), band_lo, band_hi), lo, hi)
        # A stock closing at a limit was sealed there all day.
        for at in (c == hi, c == lo):
            o[at] = c[at]
            bp[at] = c[at]
            sp[at] = c[at]

        halted = suspended[t]
        c[halted] = prev[halted]
        o[halted] = np.nan
        bp[halted] = np.nan
        sp[halted] = np.nan

        close[t] = c
        open_[t] = o
        buy[t] = bp
        sell[t] = sp
        limit_up[t] = hi
        limit_down[t] = lo
        prev = c

    if applied_splits:
        split_events = tuple(np.concatenate(parts) for parts in zip(*applied_splits, strict=True))
    else:
        split_events = (np.empty(0, np.int64), np.empty(0, np.int64), np.empty(0))
    return {
        "close": close,
        "open": open_,
        "buy": buy,
        "sell": sell,
        "limit_up": limit_up,
        "limit_down": limit_down,
        "split": split,
        "dividend": dividend,
        "split_events": split_events,
    }
