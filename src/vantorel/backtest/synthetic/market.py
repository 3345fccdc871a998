"""The generated market: the assembly of its parts into the frames the backtests read."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from vantorel.backtest import _prepare
from vantorel.backtest.synthetic.benchmarks import BENCHMARK_NAMES, benchmark_returns
from vantorel.backtest.synthetic.calendar import listing_days, stock_codes, suspensions, trading_dates
from vantorel.backtest.synthetic.membership import daily_masks, membership
from vantorel.backtest.synthetic.prices import simulate_prices


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
    n_days = positive_int(n_days, "n_days")
    n_stocks = positive_int(n_stocks, "n_stocks")
    rng = np.random.default_rng(seed)

    # The draws below come from one generator in this order; keep it.
    dates = trading_dates(start_date, n_days)
    codes = stock_codes(rng, n_stocks)
    industry = rng.integers(1, 31, n_stocks).astype(np.float64)
    shares = np.exp(rng.normal(20.5, 1.0, n_stocks))  # shares outstanding
    list_day = listing_days(rng, n_days, n_stocks)
    suspended = suspensions(rng, n_days, list_day)
    prices = simulate_prices(rng, n_days, n_stocks, list_day, suspended)

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
    member_rows = membership(close, shares, split_events)
    benchmarks = benchmark_returns(rng, close, prev_close, prices, member_rows)

    index, columns = pd.Index(dates), pd.Index(codes)

    def frame(values: np.ndarray) -> pd.DataFrame:
        return _frame(values, index, columns)

    open_price = frame(prices["open"])
    frames = {
        "industry_matrix": frame(industry_arr),
        "close_price": frame(close),
        "open_price": open_price,
        "close_price_valid": frame(close_valid),
        "prev_close": frame(prev_close),
        "buy_price": frame(buy),
        "sell_price": frame(sell),
        "rq_get_split": frame(prices["split"]),
        "rq_get_dividend": frame(prices["dividend"]),
        "can_buy_stock": frame(can_buy),
        "cant_sell_stock": frame(cant_sell),
        # The data preparation's own derivation, so the cache is the one a built store holds.
        "forward_return_rank_cache": _prepare._forward_return_rank(open_price),
    }
    components = {name: frame(mask) for name, mask in daily_masks(member_rows, n_days).items()}
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


def positive_int(value: int, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")
    return int(value)
