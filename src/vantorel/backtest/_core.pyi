"""Kernels shared by the strategy engine and the factor group backtest."""

import os
import threading
from dataclasses import dataclass

import numpy as np
import pandas as pd

from vantorel.backtest.result import LongShort

_MATPLOTLIB_PLOT_LOCK: threading.RLock
# The trading defaults of every engine entry.
DEFAULT_BENCHMARK: str
DEFAULT_TOTAL_MONEY: float
DEFAULT_FEE: float
DEFAULT_RULE_FEE: float
DEFAULT_LOT_SIZE: int
DEFAULT_GROUP_NUM: int

def _build_market_arrays(
    pnl_index: pd.Index,
    columns: pd.Index,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
) -> dict[str, np.ndarray]: ...
def safe_sharpe(series: pd.Series, periods: float = 252) -> float: ...
def _with_datetime_index(frame: pd.DataFrame) -> pd.DataFrame: ...

@dataclass
class _AlphaCoreResult:
    factor_name: str
    best_group: int | float
    group_daily_return: pd.DataFrame
    group_cumulative_return: pd.DataFrame
    rank_ic: pd.Series
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, dict[str, str]]
    ic_summary: pd.Series
    ic_by_year: pd.DataFrame
    ic_decay: pd.DataFrame
    group_turnover: pd.DataFrame
    factor_autocorrelation: pd.Series
    long_short: LongShort
    monotonicity: float
    group_forward_return: pd.DataFrame

# Ranges checked on entry (ValueError): group_num in [1, 10000], total_money in (0, +inf),
# fee and rule_fee in [0, 1).
def run_alpha_vwap_backtest_core(
    *,
    factor_matrix: pd.DataFrame,
    industry_matrix: pd.DataFrame | None = None,
    close_price_valid: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    benchmark_dict: dict[str, pd.Series | pd.DataFrame] | None = None,
    forward_return_rank_cache: pd.DataFrame | None = None,
    open_price: pd.DataFrame | None = None,
    benchmark_names: str | list[str] | None = "000852",
    rolling_window: int = 0,
    ascending: bool = False,
    group_num: int = 20,
    total_money: float = 100000000.0,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    plot_image_kind: str | None = "long",
    plot_save_path: str | os.PathLike[str] | None = None,
    factor_name: str = "factor",
    plot_title: str | None = None,
    analytics: bool = True,
) -> _AlphaCoreResult: ...
