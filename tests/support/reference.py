"""A plain NumPy/pandas statement of the strategy engine's rules.

Every function here mirrors one operation of ``vantorel.backtest._weightsim``
step by step, favouring clarity over speed; the tests compare the compiled
engine with it.  It stays vectorised across stocks (only the trading days are
looped over), so it also serves as the full-scale baseline of the benchmark.

Besides the documented behaviour it follows the engine's own choices:

* market Frames are aligned to the traded (dates, codes); an absent float
  value is NaN, an absent or NaN feasibility value blocks the trade, and any
  other non-zero feasibility value counts as true;
* the Sharpe ratio is mean / sample standard deviation * sqrt(periods), NaN
  for fewer than two values or a zero or non-finite deviation;
* a smoothing window is summed oldest to newest and divided by its length;
* a run whose returns are all cut away, or whose total frame loses every row
  to the missing-value filter, ends with the empty result.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

TRADING_DAYS_PER_YEAR = 252

STATS_KEYS = (
    "annual_return",
    "long_sharp",
    "max_dd",
    "benchmark_annual_return",
    "benchmark_sharp",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "return_corr",
    "win_rate",
    "excess_win_rate",
    "holding_count",
    "turnover",
)

# The all-NaN dictionary lists the keys in a different order.
EMPTY_STATS_KEYS = (
    "annual_return",
    "long_sharp",
    "max_dd",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "benchmark_annual_return",
    "benchmark_sharp",
    "return_corr",
    "win_rate",
    "excess_win_rate",
    "holding_count",
    "turnover",
)

TOTAL_FRAME_COLUMNS = (
    "daily_return",
    "index_daily_return",
    "long",
    "close_net_value",
    "max_drowdown",
    "extra_return",
    "extra_max_drowdown",
    "extra_daily_return",
)

SUMMARY_COLUMNS = (
    "benchmark_name",
    "benchmark_annual_return",
    "excess_annual_return",
    "excess_sharpe",
    "excess_max_dd",
)

MARKET_ARGS = (
    "can_buy_stock",
    "cant_sell_stock",
    "split_factor",
    "dividend_factor",
    "close_price",
    "prev_close",
    "buy_price",
    "sell_price",
)

_BIG = np.finfo(np.float64).max


def _finite_or_clipped(values: np.ndarray) -> np.ndarray:
    """NaN -> 0, +inf -> largest double, -inf -> most negative double."""
    return np.nan_to_num(values, nan=0.0, posinf=_BIG, neginf=-_BIG)


# --------------------------------------------------------------------------
# shared kernels
# --------------------------------------------------------------------------


def safe_sharpe(series: Any, periods: int = TRADING_DAYS_PER_YEAR) -> float:
    """Annualised Sharpe ratio: mean / sample std * sqrt(periods)."""
    x = np.asarray(series, dtype=np.float64)
    n = x.size
    if n < 2:
        return float("nan")
    with np.errstate(invalid="ignore", over="ignore"):
        mean = x.sum() / n
        std = np.sqrt(((x - mean) ** 2).sum() / (n - 1))
        if not np.isfinite(std) or std == 0.0:
            return float("nan")
        return float(mean / std * np.sqrt(periods))


def build_market_arrays(pnl_index, columns, can_buy_stock, cant_sell_stock, split_factor,
                        dividend_factor, close_price, prev_close, buy_price, sell_price):
    """Dense (date x code) arrays of the eight market Frames."""

    def floats(frame: pd.DataFrame) -> np.ndarray:
        return frame.reindex(index=pnl_index, columns=columns).to_numpy(dtype=np.float64)

    # An absent cell is filled with the value that blocks the trade; a NaN
    # cell blocks it too (NaN != 0 is true, NaN == NaN is false).
    def truth(frame: pd.DataFrame, absent: bool) -> np.ndarray:
        is_bool = all(dtype == np.bool_ for dtype in frame.dtypes)
        fill = absent if is_bool else int(absent)
        values = frame.reindex(index=pnl_index, columns=columns, fill_value=fill).to_numpy()
        if values.dtype == np.bool_:
            return values
        values = values.astype(np.float64)
        if absent:
            return values != 0
        return (values != 0) & (values == values)

    can_buy = truth(can_buy_stock, False)
    cant_sell = truth(cant_sell_stock, True)

    return {
        "prev_close_arr": floats(prev_close),
        "can_buy_arr": can_buy,
        "cant_sell_arr": cant_sell,
        "close_arr": floats(close_price),
        "buy_price_arr": floats(buy_price),
        "sell_price_arr": floats(sell_price),
        "split_arr": floats(split_factor),
        "dividend_arr": floats(dividend_factor),
    }


# --------------------------------------------------------------------------
# weight smoothing and the VWAP simulation
# --------------------------------------------------------------------------


def smooth_strategy_weights(strategy_matrix: pd.DataFrame, rolling_window: int) -> pd.DataFrame:
    rolling_window = int(rolling_window)
    if rolling_window <= 1:
        return strategy_matrix
    w = rolling_window
    v = strategy_matrix.to_numpy(dtype=np.float64, na_value=np.nan)
    v = np.where(np.isnan(v), 0.0, v)
    n = v.shape[0]
    out = np.full(v.shape, np.nan)
    if n >= w:
        with np.errstate(invalid="ignore", over="ignore"):
            acc = v[0:n - w + 1].copy()
            for k in range(1, w):
                acc += v[k:n - w + 1 + k]
            out[w - 1:] = acc / w
    smoothed = pd.DataFrame(out, index=strategy_matrix.index, columns=strategy_matrix.columns)
    smoothed = smoothed.dropna(how="all")
    return smoothed.where(smoothed != 0)


def vwap_daily_return(signal_matrix, can_buy_stock, cant_sell_stock, split_factor, dividend_factor,
                      close_price, prev_close, buy_price, sell_price, total_money=1e8, fee=0.0001,
                      rule_fee=0.0005, lot_size=200, *, return_scale=False):
    """Daily returns of trading yesterday's weights at today's VWAP prices.

    With ``return_scale`` the result is ``(returns, scale)``, ``scale`` being
    for each day the sum of the absolute values of every product that enters
    the day's money result, divided by ``total_money``: the size against
    which the rounding of a differently ordered sum must be judged.
    """
    total_money = float(total_money)
    fee = float(fee)
    rule_fee = float(rule_fee)
    lot_size = int(lot_size)

    signal = signal_matrix.shift(1).dropna(how="all")
    if signal.shape[0] == 0 or signal.shape[1] == 0:
        empty = pd.Series([], dtype=np.float64)
        return (empty, empty.copy()) if return_scale else empty

    pnl_index = signal.index
    columns = signal.columns
    market = build_market_arrays(pnl_index, columns, can_buy_stock, cant_sell_stock, split_factor,
                                 dividend_factor, close_price, prev_close, buy_price, sell_price)
    prev_close_arr = market["prev_close_arr"]
    can_buy_arr = market["can_buy_arr"]
    cant_sell_arr = market["cant_sell_arr"]
    close_arr = market["close_arr"]
    buy_price_arr = market["buy_price_arr"]
    sell_price_arr = market["sell_price_arr"]
    split_arr = market["split_arr"]
    dividend_arr = market["dividend_arr"]

    signal_arr = signal.to_numpy(dtype=np.float64, na_value=np.nan)

    # Whole-lot targets sized from the fixed capital and the previous close.
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        target = total_money * signal_arr / (prev_close_arr * lot_size)
        valid = np.isfinite(signal_arr) & np.isfinite(prev_close_arr) & (prev_close_arr > 0)
        np.floor(target, out=target)
        target *= lot_size
    target[~valid] = 0.0
    del valid

    n_days, n_stocks = target.shape
    real_target = np.zeros(n_stocks)
    daily_cash = np.zeros(n_days)
    scale = np.zeros(n_days) if return_scale else None
    net_rate = (1.0 - fee) - rule_fee

    with np.errstate(invalid="ignore", over="ignore"):
        for i in range(n_days):
            diff = target[i] - real_target
            real_buy = np.where((diff > 0) & can_buy_arr[i], diff, 0.0)
            sell = np.where((diff < 0) & ~cant_sell_arr[i], -diff, 0.0)
            hold = real_target - sell
            real_target = hold + real_buy

            close_row = close_arr[i]
            prev_close_row = prev_close_arr[i]
            split_eff = np.where(np.isnan(split_arr[i]), 1.0, split_arr[i])
            dividend_eff = _finite_or_clipped(dividend_arr[i])

            buy_coeff = _finite_or_clipped(close_row - buy_price_arr[i] * (1.0 + fee))
            hold_coeff = _finite_or_clipped(split_eff * close_row - prev_close_row)
            sell_coeff = _finite_or_clipped(split_eff * sell_price_arr[i] * net_rate - prev_close_row)

            # Each product is rounded on its own (no fused multiply-add,
            # which would let an overflowing product be absorbed).
            daily_cash[i] = (
                ((((real_buy * buy_coeff).sum() + (hold * hold_coeff).sum()) + (hold * dividend_eff).sum())
                 + (sell * sell_coeff).sum())
                + (sell * dividend_eff).sum()
            )
            if return_scale:
                a_buy, a_hold, a_sell = np.abs(real_buy), np.abs(hold), np.abs(sell)
                a_div = np.abs(dividend_eff)
                scale[i] = (np.dot(a_buy, np.abs(buy_coeff)) + np.dot(a_hold, np.abs(hold_coeff))
                            + np.dot(a_hold, a_div) + np.dot(a_sell, np.abs(sell_coeff))
                            + np.dot(a_sell, a_div))

    returns = pd.Series(daily_cash / total_money, index=pnl_index)
    if return_scale:
        return returns, pd.Series(scale / total_money, index=pnl_index)
    return returns


# --------------------------------------------------------------------------
# total frame, statistics, benchmark summary
# --------------------------------------------------------------------------


def build_total_frame(total_backtesting: pd.DataFrame) -> pd.DataFrame:
    with np.errstate(invalid="ignore", over="ignore", divide="ignore"):
        return _build_total_frame(total_backtesting)


def _build_total_frame(total_backtesting: pd.DataFrame) -> pd.DataFrame:
    total = total_backtesting.dropna(how="any").copy()
    if total.empty:
        return total

    total["extra_daily_return"] = total["daily_return"] - total["index_daily_return"]

    strategy_nav = total["daily_return"].cumsum() + 1
    total["long"] = strategy_nav / strategy_nav.iloc[0]

    if "close" in total.columns:
        first_close = total["close"].iloc[0]
        if not np.isnan(first_close) and first_close != 0:
            total["close_net_value"] = total["close"] / first_close
        else:
            total["close_net_value"] = total["index_daily_return"].cumsum() + 1
    else:
        close_proxy = total["index_daily_return"].cumsum() + 1
        total["close"] = close_proxy
        total["close_net_value"] = close_proxy / close_proxy.iloc[0]

    total["max_drowdown"] = total["long"] - total["long"].cummax()

    extra_return = total["extra_daily_return"].cumsum()
    total["extra_return"] = extra_return - extra_return.iloc[0]

    shifted = total["extra_return"] + 1
    total["extra_max_drowdown"] = shifted - shifted.cummax()
    return total


def empty_stats() -> dict[str, float]:
    return {key: float("nan") for key in EMPTY_STATS_KEYS}


def _cleaned(series: pd.Series) -> np.ndarray:
    x = series.to_numpy(dtype=np.float64)
    return x[np.isfinite(x)]


def pearson(a: Any, b: Any) -> float:
    """Pearson correlation as centred co-moments, NaN when undefined."""
    x = np.asarray(a, dtype=np.float64)
    y = np.asarray(b, dtype=np.float64)
    n = x.size
    if n < 2:
        return float("nan")
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        xm = x - x.sum() / n
        ym = y - y.sum() / n
        cov = np.dot(xm, ym) / (n - 1)
        sx = np.sqrt(np.dot(xm, xm) / (n - 1))
        sy = np.sqrt(np.dot(ym, ym) / (n - 1))
        r = cov / sx / sy
    return float(np.clip(r, -1.0, 1.0))


def _share_positive(x: np.ndarray) -> float:
    return float("nan") if x.size == 0 else float(np.mean(x > 0))


def strategy_stats(total_frame: pd.DataFrame, signal_df: pd.DataFrame | None) -> dict[str, float]:
    total = total_frame.dropna(how="any")
    if len(total) == 0:
        return empty_stats()

    daily_return = _cleaned(total["daily_return"])
    benchmark_daily_return = _cleaned(total["index_daily_return"])
    extra_daily_return = _cleaned(total["extra_daily_return"])

    trading_years = len(total) / TRADING_DAYS_PER_YEAR
    benchmark_total_return = float(total["close_net_value"].iloc[-1]) - 1

    holding_count = float("nan")
    turnover = float("nan")
    if signal_df is not None and signal_df.shape[0] > 0:
        values = signal_df.to_numpy(dtype=np.float64, na_value=np.nan)
        holding_count = float(np.isfinite(values).sum(axis=1).mean())
        if values.shape[0] > 1:
            values_zero = _finite_or_clipped(values)
            with np.errstate(over="ignore", invalid="ignore"):
                changes = np.abs(np.diff(values_zero, axis=0)).sum(axis=1)
                turnover = float(changes.mean() * 0.5)

    def annual(total_return: float) -> float:
        if trading_years == 0:
            return float("nan")
        return total_return / trading_years * 100

    with np.errstate(invalid="ignore", over="ignore"):
        return {
            "annual_return": annual(float(total["long"].iloc[-1]) - 1),
            "long_sharp": safe_sharpe(daily_return, periods=TRADING_DAYS_PER_YEAR),
            "max_dd": abs(float(total["max_drowdown"].min())),
            "benchmark_annual_return": annual(benchmark_total_return),
            "benchmark_sharp": safe_sharpe(benchmark_daily_return, periods=TRADING_DAYS_PER_YEAR),
            "extra_annual_return": annual(float(total["extra_return"].iloc[-1])),
            "extra_sharp": safe_sharpe(extra_daily_return, periods=TRADING_DAYS_PER_YEAR),
            "extra_max_dd": abs(float(total["extra_max_drowdown"].min())),
            "return_corr": pearson(total["daily_return"], total["index_daily_return"]),
            "win_rate": _share_positive(daily_return),
            "excess_win_rate": _share_positive(extra_daily_return),
            "holding_count": holding_count,
            "turnover": turnover,
        }


def benchmark_summary(total: pd.DataFrame, benchmark_dict: dict | None) -> pd.DataFrame:
    if not benchmark_dict:
        return pd.DataFrame()
    rows = []
    for bm_name, series in benchmark_dict.items():
        bm_aligned = series.astype(np.float64).reindex(total.index).dropna()
        common_idx = total.index[total.index.isin(bm_aligned.index)]
        if len(common_idx) == 0:
            continue
        strat = total["daily_return"].loc[common_idx]
        bm = bm_aligned.loc[common_idx]
        with np.errstate(invalid="ignore", over="ignore"):
            excess_daily = strat - bm
            excess_cum = excess_daily.cumsum()
            rows.append({
                "benchmark_name": bm_name,
                "benchmark_annual_return": bm.mean() * TRADING_DAYS_PER_YEAR,
                "excess_annual_return": excess_daily.mean() * TRADING_DAYS_PER_YEAR,
                "excess_sharpe": safe_sharpe(excess_daily, periods=TRADING_DAYS_PER_YEAR),
                "excess_max_dd": (excess_cum - excess_cum.cummax()).min(),
            })
    return pd.DataFrame(rows)


# --------------------------------------------------------------------------
# the whole pipeline
# --------------------------------------------------------------------------


@dataclass
class ReferenceResult:
    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, float]
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str] = field(default_factory=dict)

    # Not a field of the engine's record: the total frame of a normal run,
    # kept for closer checks (None for the empty result).
    total = None


def _empty_result(strategy_name: str) -> ReferenceResult:
    empty = pd.Series([], dtype=np.float64)
    return ReferenceResult(strategy_name, empty, empty, empty_stats(), pd.DataFrame(), {})


def run_strategy_backtest_core(strategy_matrix, can_buy_stock, cant_sell_stock, split_factor,
                               dividend_factor, close_price, prev_close, buy_price, sell_price,
                               benchmark_dict=None, benchmark_names="000852", rolling_window=0,
                               total_money=1e8, fee=0.0001, rule_fee=0.0005,
                               plot_image_kind="large", plot_save_path=None,
                               strategy_name="strategy", plot_title=None, *, simulate=None):
    """The whole strategy backtest; charts are not drawn here.

    ``simulate`` replaces the VWAP simulation (same signature); the tests
    pass the engine's own to check the rest of the pipeline in isolation.
    """
    if simulate is None:
        simulate = vwap_daily_return

    work = strategy_matrix.loc[strategy_matrix.index.isin(close_price.index)]
    work = work.loc[:, work.columns.isin(close_price.columns)]
    work = work.dropna(axis=1, how="all")

    work = smooth_strategy_weights(work, rolling_window)
    valid_signal = work.dropna(how="all")
    if valid_signal.empty:
        return _empty_result(strategy_name)

    daily = simulate(work, can_buy_stock, cant_sell_stock, split_factor, dividend_factor,
                     close_price, prev_close, buy_price, sell_price,
                     total_money=total_money, fee=fee, rule_fee=rule_fee)
    if daily.empty:
        return _empty_result(strategy_name)
    daily = daily[daily.index <= valid_signal.index[-1]]
    if daily.empty:
        return _empty_result(strategy_name)

    df = pd.DataFrame({"daily_return": daily})
    if benchmark_dict is not None and benchmark_names in benchmark_dict:
        bm_daily = benchmark_dict[benchmark_names].astype(np.float64)
        bm_daily = bm_daily.replace([np.inf, -np.inf], np.nan).fillna(0.0)
        benchmark = pd.DataFrame({"close": 1.0 + bm_daily.cumsum(), "index_daily_return": bm_daily})
        in_range = (benchmark.index >= df.index[0]) & (benchmark.index <= df.index[-1])
        total_backtesting = df.join(benchmark.loc[in_range], how="inner")
    else:
        total_backtesting = df.copy()
        total_backtesting["index_daily_return"] = 0.0
        total_backtesting["close"] = 1.0
    if total_backtesting.empty:
        return _empty_result(strategy_name)

    total = build_total_frame(total_backtesting)
    if len(total) == 0:
        return _empty_result(strategy_name)
    stats = strategy_stats(total, work)
    summary = benchmark_summary(total, benchmark_dict)
    result = ReferenceResult(strategy_name, total["daily_return"], total["long"], stats, summary, {})
    result.total = total
    return result


# The reference under the engine's own names, so a test can run either.
REFERENCE = SimpleNamespace(
    TRADING_DAYS_PER_YEAR=TRADING_DAYS_PER_YEAR,
    _smooth_strategy_weights=smooth_strategy_weights,
    calc_strategy_vwap_daily_return=vwap_daily_return,
    _build_total_backtesting_frame=build_total_frame,
    calc_strategy_stats=strategy_stats,
    run_strategy_backtest_core=run_strategy_backtest_core,
    safe_sharpe=safe_sharpe,
    _build_market_arrays=build_market_arrays,
)

reference_smooth_strategy_weights = smooth_strategy_weights
reference_vwap_daily_return = vwap_daily_return
reference_build_total_frame = build_total_frame
reference_strategy_stats = strategy_stats
reference_benchmark_summary = benchmark_summary
reference_run_strategy_backtest_core = run_strategy_backtest_core
