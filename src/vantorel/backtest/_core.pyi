"""Kernels shared by the strategy engine and the factor group backtest."""

import threading
from typing import Any

import numpy as np
import pandas as pd

_MATPLOTLIB_PLOT_LOCK: threading.RLock

def _build_market_arrays(
    pnl_index: Any,
    columns: Any,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
) -> dict[str, np.ndarray]: ...
def safe_sharpe(series: pd.Series | Any, periods: float = 252) -> float: ...
def _with_datetime_index(frame: pd.DataFrame) -> pd.DataFrame: ...
