"""A deterministic synthetic China A-share market.

``make_market`` builds a small, self-consistent market from a seed: trading
calendar, stock codes, the date × stock matrices the backtests consume, the
index-membership masks and the benchmark return series. Tests, benchmarks and
the demo share it, so the same seed always yields the same frames.

How the market behaves:

* Prices follow a per-stock random walk in log space (a common market factor
  times a beta plus idiosyncratic noise, with a mild pull back towards the
  stock's own level so long runs stay in a sensible price range). Every price
  is in cents, and each day's close lies within the day's limits, which are
  ``round(reference × 1.1, 2)`` and ``round(reference × 0.9, 2)``.
* The reference price is the previous close, or on an ex day the ex-rights
  reference: previous close ÷ split factor, or previous close − dividend.
  ``prev_close`` itself is always the previous row's close as quoted (in
  the old share terms on a split day), so a held share earns
  ``split × close + dividend − prev_close`` on any day.
* A few per cent of stock-days close limit-up or limit-down; on those days
  the open and both execution prices sit at the limit, so a limit-up stock
  cannot be bought and a limit-down stock cannot be sold.
* Suspensions come in runs of days: the close stays at the previous close,
  while open, execution prices and ``close_price_valid`` are NaN and trading
  is blocked both ways. Some stocks list after the first date and are NaN
  (and blocked) before that.
* Splits and cash dividends are rare and fall on trading days only.
* ``forward_return_rank_cache`` ranks, per date, the open-to-open return from
  the next day's open to the open after (the last two rows are NaN).

Everything is vectorised over stocks; only the price recursion walks the
days, since each day's limits depend on the previous rounded close.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

__all__ = [
    "BENCHMARK_NAMES",
    "COMPONENT_NAMES",
    "SyntheticMarket",
    "long_short_weights",
    "make_market",
    "momentum_weights",
    "sparse_random_weights",
]

BENCHMARK_NAMES: tuple[str, ...] = ("000852", "000300", "000905")

COMPONENT_NAMES: tuple[str, ...] = (
    "rq_index_components_new_000300.XSHG",
    "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG",
    "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
)

# Index membership as a band of size ranks, as fractions of the listed
# stocks (0 = largest). The CSI 300/500/1000 bands are disjoint and tile the
# large caps; the two small-cap indices overlap them and each other.
_MEMBERSHIP_BANDS: dict[str, tuple[float, float]] = {
    "rq_index_components_new_000300.XSHG": (0.00, 0.06),
    "rq_index_components_new_000905.XSHG": (0.06, 0.16),
    "rq_index_components_new_000852.XSHG": (0.16, 0.36),
    "rq_index_components_new_399303.XSHE": (0.20, 0.60),
    "rq_index_components_new_932000.INDX": (0.36, 0.76),
}
_BENCHMARK_COMPONENT = {
    "000852": "rq_index_components_new_000852.XSHG",
    "000300": "rq_index_components_new_000300.XSHG",
    "000905": "rq_index_components_new_000905.XSHG",
}
_REBALANCE_DAYS = 125

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
_SPLIT_RATE = 0.0002  # per stock-day
_SPLIT_FACTORS = np.array([2.0, 1.5, 1.2])
_SPLIT_MIN_PRICE = 6.0  # cheaper stocks skip a drawn split
_DIVIDEND_RATE = 0.003  # per stock-day
_DIVIDEND_YIELD = (0.01, 0.03)
_LIMIT_UP_SHARE = 0.015
_LIMIT_DOWN_SHARE = 0.01
_MARKET_VOL = 0.012
_MEAN_REVERSION = 0.003
_EXEC_SPREAD = 0.008  # execution prices drawn within this share of the close
_BENCHMARK_NOISE = 0.0015


@dataclass(eq=False)
class SyntheticMarket:
    """A generated market. Every Frame is indexed by ``dates`` with columns ``codes``.

    ``frames`` holds the dataset matrices under their dataset keys,
    ``components`` the 1.0 / NaN membership masks under their factor names,
    ``benchmark_dict`` the daily index returns. ``limit_up`` and
    ``limit_down`` are the day's price limits (NaN before listing); the
    backtests do not read them, but they are what the tradability masks are
    derived from.
    """

    dates: list[str]
    codes: list[str]
    frames: dict[str, pd.DataFrame]
    benchmark_dict: dict[str, pd.Series]
    components: dict[str, pd.DataFrame]
    limit_up: pd.DataFrame
    limit_down: pd.DataFrame

    @property
    def n_days(self) -> int:
        return len(self.dates)

    @property
    def n_stocks(self) -> int:
        return len(self.codes)

    def market_frames(self) -> dict[str, pd.DataFrame]:
        """The eight market Frames under the strategy engine's argument names."""
        f = self.frames
        return {
            "can_buy_stock": f["can_buy_stock"],
            "cant_sell_stock": f["cant_sell_stock"],
            "split_factor": f["rq_get_split"],
            "dividend_factor": f["rq_get_dividend"],
            "close_price": f["close_price"],
            "prev_close": f["prev_close"],
            "buy_price": f["buy_price"],
            "sell_price": f["sell_price"],
        }

    def adjusted_close(self) -> pd.DataFrame:
        """Close adjusted for splits and reinvested dividends (a total-return level)."""
        return self._frame(self._adjusted_close_array())

    def _adjusted_close_array(self) -> np.ndarray:
        close = self.frames["close_price"].to_numpy()
        split = self.frames["rq_get_split"].to_numpy()
        dividend = self.frames["rq_get_dividend"].to_numpy()
        # A share held over an ex day becomes `split` shares plus the dividend
        # in cash, so the level grows by (split × close + dividend) / close.
        factor = np.ones_like(close)
        rows, cols = np.nonzero(np.isfinite(split) | np.isfinite(dividend))
        s = np.nan_to_num(split[rows, cols], nan=1.0)
        d = np.nan_to_num(dividend[rows, cols], nan=0.0)
        factor[rows, cols] = s + d / close[rows, cols]
        np.cumprod(factor, axis=0, out=factor)
        factor *= close
        return factor

    def _frame(self, values: np.ndarray) -> pd.DataFrame:
        close = self.frames["close_price"]
        return _frame(values, close.index, close.columns)


def make_market(
    n_days: int = 250,
    n_stocks: int = 300,
    seed: int = 0,
    start_date: str = "20100104",
) -> SyntheticMarket:
    """Generate a market of ``n_days`` trading days and ``n_stocks`` stocks.

    The same arguments always give identical frames.
    """
    n_days = _positive_int(n_days, "n_days")
    n_stocks = _positive_int(n_stocks, "n_stocks")
    rng = np.random.default_rng(seed)

    dates = _trading_dates(start_date, n_days)
    codes = _stock_codes(rng, n_stocks)
    industry = rng.integers(1, 31, n_stocks).astype(np.float64)
    shares = np.exp(rng.normal(20.5, 1.0, n_stocks))  # shares outstanding
    list_day = _listing_days(rng, n_days, n_stocks)
    suspended = _suspensions(rng, n_days, list_day)
    prices = _simulate_prices(rng, n_days, n_stocks, list_day, suspended)

    close = prices["close"]
    buy, sell = prices["buy"], prices["sell"]
    limit_up, limit_down = prices["limit_up"], prices["limit_down"]

    prev_close = np.empty_like(close)
    prev_close[0] = np.nan
    prev_close[1:] = close[:-1]

    trading = np.isfinite(buy)
    close_valid = np.where(trading, 1.0, np.nan)
    can_buy = trading & (buy != limit_up)
    cant_sell = ~np.isfinite(sell)
    cant_sell |= sell == limit_down

    industry_arr = np.empty((n_days, n_stocks))
    industry_arr[:] = industry

    split_events = prices["split_events"]
    member_rows = _membership(close, shares, split_events)
    benchmarks = _benchmark_returns(rng, close, prev_close, prices, member_rows)

    index, columns = pd.Index(dates), pd.Index(codes)

    def frame(values: np.ndarray) -> pd.DataFrame:
        return _frame(values, index, columns)

    frames = {
        "industry_matrix": frame(industry_arr),
        "close_price": frame(close),
        "open_price": frame(prices["open"]),
        "close_price_valid": frame(close_valid),
        "prev_close": frame(prev_close),
        "buy_price": frame(buy),
        "sell_price": frame(sell),
        "rq_get_split": frame(prices["split"]),
        "rq_get_dividend": frame(prices["dividend"]),
        "can_buy_stock": frame(can_buy),
        "cant_sell_stock": frame(cant_sell),
        "forward_return_rank_cache": frame(_forward_return_rank(prices["open"])),
    }
    seg = np.arange(n_days) // _REBALANCE_DAYS
    components = {
        name: frame(np.where(member_rows[name][seg], 1.0, np.nan)) for name in COMPONENT_NAMES
    }
    benchmark_dict = {
        name: pd.Series(benchmarks[:, j], index=index, dtype=np.float64)
        for j, name in enumerate(BENCHMARK_NAMES)
    }
    return SyntheticMarket(
        dates=dates,
        codes=codes,
        frames=frames,
        benchmark_dict=benchmark_dict,
        components=components,
        limit_up=frame(limit_up),
        limit_down=frame(limit_down),
    )


def _frame(values: np.ndarray, index: pd.Index, columns: pd.Index) -> pd.DataFrame:
    # No copy: the generator hands over arrays it no longer uses.
    return pd.DataFrame(values, index=index, columns=columns, copy=False)


# --------------------------------------------------------------------------
# calendar, codes, listing, suspension


def _positive_int(value: int, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")
    return int(value)


def _trading_dates(start_date: str, n_days: int) -> list[str]:
    start = pd.Timestamp(str(start_date))
    span = int(n_days * 1.1) + 30
    while True:
        days = pd.bdate_range(start, periods=span)
        closed = np.array([md in _FIXED_HOLIDAYS for md in zip(days.month, days.day)], dtype=bool)
        open_days = days[~closed]
        if len(open_days) >= n_days:
            return list(open_days[:n_days].strftime("%Y%m%d"))
        span *= 2


def _stock_codes(rng: np.random.Generator, n_stocks: int) -> list[str]:
    pool = 10_000 * len(_BOARD_PREFIXES)
    if n_stocks > pool:
        raise ValueError(f"n_stocks must be at most {pool}, got {n_stocks}")
    weights = np.repeat(np.asarray(_BOARD_WEIGHTS) / 10_000, 10_000)
    picked = rng.choice(pool, size=n_stocks, replace=False, p=weights / weights.sum())
    prefixes = np.asarray(_BOARD_PREFIXES)[picked // 10_000]
    suffixes = np.char.zfill((picked % 10_000).astype(str), 4)
    return sorted(np.char.add(prefixes, suffixes).tolist())


def _listing_days(rng: np.random.Generator, n_days: int, n_stocks: int) -> np.ndarray:
    """Row of each stock's first trading day; most stocks trade from the start."""
    late = rng.random(n_stocks) < _LATE_LISTING_SHARE
    day = np.zeros(n_stocks, dtype=np.int64)
    if n_days > 1:
        day[late] = rng.integers(1, n_days, int(late.sum()))
    return day


def _suspensions(rng: np.random.Generator, n_days: int, list_day: np.ndarray) -> np.ndarray:
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


def _day_slices(days: np.ndarray, n_days: int) -> np.ndarray:
    """Offsets such that entries of the sorted ``days`` for day t are [off[t], off[t+1])."""
    return np.searchsorted(days, np.arange(n_days + 1))


# --------------------------------------------------------------------------
# prices


def _simulate_prices(
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

    # Ex days: trading days after the listing day, never suspended.
    eligible = ~suspended
    eligible &= np.arange(n_days)[:, None] > list_day
    split_flat = _draw_events(rng, _SPLIT_RATE, eligible)
    split_pick = _SPLIT_FACTORS[rng.integers(0, _SPLIT_FACTORS.size, split_flat.size)]
    div_flat = _draw_events(rng, _DIVIDEND_RATE, eligible, taken=split_flat)
    div_yield = rng.uniform(*_DIVIDEND_YIELD, div_flat.size)
    del eligible
    split_day, split_stock = np.divmod(split_flat, n_stocks)
    div_day, div_stock = np.divmod(div_flat, n_stocks)
    split_off = _day_slices(split_day, n_days)
    div_off = _day_slices(div_day, n_days)
    list_order = np.argsort(list_day, kind="stable")
    list_off = _day_slices(list_day[list_order], n_days)

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

        a, b = split_off[t], split_off[t + 1]
        if b > a:
            idx, factor = split_stock[a:b], split_pick[a:b]
            ok = prev[idx] >= _SPLIT_MIN_PRICE
            idx, factor = idx[ok], factor[ok]
            ref[idx] = np.round(prev[idx] / factor, 2)
            split[t, idx] = factor
            anchor[idx] -= np.log(factor)
            applied_splits.append((np.full(idx.size, t), idx, factor))
        a, b = div_off[t], div_off[t + 1]
        if b > a:
            idx = div_stock[a:b]
            cash = np.maximum(np.round(prev[idx] * div_yield[a:b], 2), 0.01)
            ok = cash < prev[idx] * 0.5
            idx, cash = idx[ok], cash[ok]
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
        split_events = tuple(np.concatenate(parts) for parts in zip(*applied_splits))
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


def _forward_return_rank(open_: np.ndarray) -> np.ndarray:
    """Per date, the average rank across stocks of the next open-to-open return.

    The return runs from the next day's open to the open after it, so the
    last two rows are NaN; stocks without both opens are left out.
    """
    out = np.full(open_.shape, np.nan)
    if open_.shape[0] > 2:
        ret = open_[2:] / open_[1:-1]
        ret -= 1.0
        ret[np.isinf(ret)] = np.nan
        out[:-2] = pd.DataFrame(ret, copy=False).rank(axis=1, method="average").to_numpy()
    return out


# --------------------------------------------------------------------------
# index membership and benchmarks


def _membership(
    close: np.ndarray, shares: np.ndarray, split_events: tuple
) -> dict[str, np.ndarray]:
    """Boolean (segment × stock) membership of each index, re-drawn by size each segment.

    Sizes are measured on the close before a segment starts (the first
    segment uses its first day) and only listed stocks are eligible.
    """
    n_days, n_stocks = close.shape
    starts = np.arange(0, n_days, _REBALANCE_DAYS)
    obs_day = np.maximum(starts - 1, 0)
    # Share counts grow with every split seen by the observation day.
    share_mult = np.ones((starts.size, n_stocks))
    days, stocks, factors = split_events
    for seg, day in enumerate(obs_day):
        seen = days <= day
        np.multiply.at(share_mult[seg], stocks[seen], factors[seen])
    cap = close[obs_day] * shares * share_mult
    listed = np.isfinite(cap)
    order = np.argsort(np.where(listed, -cap, np.inf), axis=1, kind="stable")
    size_rank = np.empty_like(order)
    np.put_along_axis(size_rank, order, np.arange(n_stocks)[None, :], axis=1)
    n_listed = listed.sum(axis=1, keepdims=True)
    out = {}
    for name, (lo_frac, hi_frac) in _MEMBERSHIP_BANDS.items():
        lo = np.rint(lo_frac * n_listed)
        hi = np.minimum(np.maximum(np.rint(hi_frac * n_listed), lo + 1), n_listed)
        out[name] = listed & (size_rank >= lo) & (size_rank < hi)
    return out


def _benchmark_returns(
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
        days = slice(seg * _REBALANCE_DAYS, (seg + 1) * _REBALANCE_DAYS)
        weights = members[seg].T.astype(np.float64)  # stocks × benchmarks
        total[days] = ret[days] @ weights
        count[days] = has_ret[days].astype(np.float64) @ weights
    all_count = has_ret.sum(axis=1)
    all_mean = np.divide(ret.sum(axis=1), all_count, out=np.zeros(n_days), where=all_count > 0)
    fallback = np.repeat(all_mean[:, None], total.shape[1], axis=1)
    mean = np.divide(total, count, out=fallback, where=count > 0)
    return mean + rng.normal(0.0, _BENCHMARK_NOISE, mean.shape)


# --------------------------------------------------------------------------
# sample target-weight tables


def _trailing_return(market: SyntheticMarket, lookback: int) -> np.ndarray:
    """Trailing ``lookback``-day total return, NaN where the stock is not trading today."""
    lookback = _positive_int(lookback, "lookback")
    level = market._adjusted_close_array()
    score = np.full_like(level, np.nan)
    if lookback < level.shape[0]:
        np.divide(level[lookback:], level[:-lookback], out=score[lookback:])
        score -= 1.0
    score[~np.isfinite(market.frames["close_price_valid"].to_numpy())] = np.nan
    return score


def _ascending_positions(score: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per row, each cell's 0-based position in ascending order (ties by column order).

    Returns (positions, finite mask, number of finite cells per row as a column).
    """
    finite = np.isfinite(score)
    order = np.argsort(np.where(finite, score, np.inf), axis=1, kind="stable")
    positions = np.empty_like(order)
    np.put_along_axis(positions, order, np.arange(score.shape[1])[None, :], axis=1)
    return positions, finite, finite.sum(axis=1, keepdims=True)


def momentum_weights(
    market: SyntheticMarket, top_n: int = 500, lookback: int = 20
) -> pd.DataFrame:
    """Equal weights 1/top_n on the top_n trading stocks by trailing return; NaN elsewhere.

    Rows without ``lookback`` days of history are all NaN; a row with fewer
    than ``top_n`` candidates holds all of them (still at 1/top_n each).
    """
    top_n = _positive_int(top_n, "top_n")
    positions, finite, n_finite = _ascending_positions(_trailing_return(market, lookback))
    chosen = finite & (positions >= n_finite - top_n)
    return market._frame(np.where(chosen, 1.0 / top_n, np.nan))


def long_short_weights(
    market: SyntheticMarket, n: int = 50, lookback: int = 20, seed: int = 0
) -> pd.DataFrame:
    """+1/(2n) on the n best and -1/(2n) on the n worst trailing returns; NaN elsewhere.

    Exact ties are broken at random (by ``seed``); a row with fewer than 2n
    candidates splits them evenly between the two legs.
    """
    n = _positive_int(n, "n")
    score = _trailing_return(market, lookback)
    score += np.random.default_rng(seed).random(score.shape) * 1e-12
    positions, finite, n_finite = _ascending_positions(score)
    leg = np.minimum(n, n_finite // 2)
    out = np.full(score.shape, np.nan)
    out[finite & (positions >= n_finite - leg)] = 0.5 / n
    out[finite & (positions < leg)] = -0.5 / n
    return market._frame(out)


def sparse_random_weights(
    market: SyntheticMarket, density: float = 0.02, seed: int = 0
) -> pd.DataFrame:
    """Random positive weights on about ``density`` of all cells, NaN elsewhere.

    Cells are drawn without regard to listing or suspension, so the table
    also exercises signals on stocks that cannot trade. Each row's weights
    sum to a random gross exposure between 0.5 and 0.99.
    """
    if not 0.0 <= density <= 1.0:
        raise ValueError(f"density must lie in [0, 1], got {density!r}")
    rng = np.random.default_rng(seed)
    n_days, n_stocks = market.n_days, market.n_stocks
    size = n_days * n_stocks
    flat = rng.choice(size, size=rng.binomial(size, density), replace=False)
    raw = rng.uniform(0.1, 1.0, flat.size)
    row = flat // n_stocks
    row_sum = np.bincount(row, weights=raw, minlength=n_days)
    gross = rng.uniform(0.5, 0.99, n_days)
    out = np.full(size, np.nan)
    out[flat] = raw * (gross[row] / row_sum[row])
    return market._frame(out.reshape(n_days, n_stocks))


def component_key(name: str) -> str:
    """Dataset key of an index-membership matrix (the store's naming)."""
    return "component__" + name.lower().replace(".", "_")


def market_payload(
    market: SyntheticMarket,
    start_date: str | None = None,
    end_date: str | None = None,
    *,
    time_key: str = "created_at",
) -> dict:
    """The market as a store payload: ``{"version", "meta", "data"}``.

    ``data`` holds the twelve base matrices, one membership mask per component
    name and ``benchmark_dict``, cut to the inclusive date range (None = open).
    The first row of an incremental payload keeps its real previous close.
    """
    dates = pd.Index(market.dates)
    rows = np.ones(len(dates), dtype=bool)
    if start_date is not None:
        rows &= np.asarray(dates >= start_date)
    if end_date is not None:
        rows &= np.asarray(dates <= end_date)

    data: dict = {key: frame.loc[rows] for key, frame in market.frames.items()}
    for name, mask in market.components.items():
        data[component_key(name)] = mask.loc[rows]
    data["benchmark_dict"] = {
        name: series.loc[rows].rename("index_daily_return")
        for name, series in market.benchmark_dict.items()
    }
    kept = dates[rows]
    meta = {
        "start_date": kept[0] if len(kept) else None,
        "end_date": kept[-1] if len(kept) else None,
        "component_names": list(market.components),
        "component_dataset_keys": {name: component_key(name) for name in market.components},
        time_key: pd.Timestamp.now().isoformat(timespec="microseconds"),
    }
    return {"version": 1, "meta": meta, "data": data}
