"""The strategy engine: weight smoothing, VWAP simulation, total frame, statistics and pipeline."""

import os
import threading
from dataclasses import dataclass
from typing import Any

import pandas as pd

from vantorel.backtest._core import (
    _build_market_arrays as _build_market_arrays,
    _with_datetime_index as _with_datetime_index,
    safe_sharpe as safe_sharpe,
)

TRADING_DAYS_PER_YEAR: int
ROLLING_STABILITY_DAYS: int
MIN_ROLLING_STABILITY_DAYS: int
DEFAULT_BENCHMARK: str
DEFAULT_TOTAL_MONEY: float
DEFAULT_FEE: float
DEFAULT_RULE_FEE: float
DEFAULT_LOT_SIZE: int
_MATPLOTLIB_PLOT_LOCK: threading.RLock

@dataclass
class _StrategyCoreResult:
    strategy_name: Any
    daily_return: Any
    cumulative_return: Any
    stats: Any
    benchmark_summary: Any
    plot_paths: Any

def _smooth_strategy_weights(strategy_matrix: pd.DataFrame, rolling_window: int) -> pd.DataFrame: ...
def calc_strategy_vwap_daily_return(
    signal_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
) -> pd.Series: ...
# Ranges checked on entry (ValueError): total_money in (0, +inf), fee and rule_fee in [0, 1),
# lot_size >= 1. Frames must hold real numbers or booleans (TypeError).
def _build_total_backtesting_frame(total_backtesting: pd.DataFrame) -> pd.DataFrame: ...
def calc_strategy_stats(total_frame: pd.DataFrame, signal_df: pd.DataFrame | None) -> dict[str, float]: ...
def run_strategy_backtest_core(
    strategy_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    benchmark_dict: dict[str, pd.Series | pd.DataFrame] | None = None,
    benchmark_names: str = "000852",
    rolling_window: int = 0,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    plot_image_kind: str | None = "large",
    plot_save_path: str | os.PathLike[str] | None = None,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
) -> _StrategyCoreResult: ...
def _format_pct(value: Any, digits: int = 2) -> str: ...
def _format_pct_points(value: Any, digits: int = 2) -> str: ...
def _format_num(value: Any, digits: int = 2) -> str: ...
def _format_annual_excess(annual_excess: pd.Series | None) -> str: ...
def _period_return_drawdown_calmar(daily_return: pd.Series | None) -> tuple[float, float, float]: ...
def _calc_yearly_performance_metrics(daily: pd.DataFrame) -> pd.DataFrame: ...
def _build_weekly_net_value_frame(total: pd.DataFrame) -> pd.DataFrame: ...
def plot_strategy_performance(
    total: pd.DataFrame,
    stats: dict[str, float],
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    save_path: str | os.PathLike[str] = "./strategy_backtest.png",
    image_kind: str = "large",
    benchmark_name: str = "000852",
    rolling_window: int = 0,
) -> dict[str, str]: ...
def _plot_strategy_performance_unlocked(
    total: pd.DataFrame | None,
    stats: dict[str, float] | None,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    save_path: str | os.PathLike[str] | None = "./strategy_backtest.png",
    image_kind: str = "large",
    benchmark_name: str = "000852",
    rolling_window: int = 0,
) -> None: ...
def plot_weekly_net_value(
    total: pd.DataFrame,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    save_path: str | os.PathLike[str] = "./strategy_weekly_net_value.png",
    image_kind: str = "large",
    benchmark_name: str = "000852",
) -> dict[str, str]: ...
def _plot_weekly_net_value_unlocked(
    total: pd.DataFrame | None,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    save_path: str | os.PathLike[str] | None = "./strategy_weekly_net_value.png",
    image_kind: str = "large",
    benchmark_name: str = "000852",
) -> None: ...
def _draw_yearly_metrics_table(ax: Any, yearly_metrics: pd.DataFrame) -> None: ...
