"""Public result types of the backtests."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import pandas as pd


class BacktestData:
    """A loaded backtest data bundle.

    ``data`` maps a dataset key ("close_price", "can_buy_stock", ...,
    "benchmark_dict") to its in-memory table. The bundle holds plain
    in-memory objects, so it pickles into another process; treat it as
    read-only once loaded: backtests slice it and never change it.
    """

    __slots__ = ("data",)

    def __init__(self, data: dict[str, Any]) -> None:
        if not isinstance(data, dict):  # the backtests read it as a dict of tables
            raise TypeError(f"Argument 'data' has incorrect type (expected dict, got {type(data).__name__})")
        self.data = data

    def __getstate__(self) -> dict[str, Any]:
        return {"data": self.data}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.data = state["data"]

    def __repr__(self) -> str:
        keys = ", ".join(self.data) if isinstance(self.data, dict) else type(self.data).__name__
        return f"BacktestData({keys})"


@dataclass
class BacktestResult:
    """Result of a factor group backtest."""

    factor_name: str
    best_group: int
    group_daily_return: pd.DataFrame
    group_cumulative_return: pd.DataFrame
    rank_ic: pd.Series
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str] = field(default_factory=dict)


@dataclass
class StrategyBacktestResult:
    """Result of a strategy (target-weight) backtest.

    ``daily_return`` and ``cumulative_return`` are indexed by trading date;
    ``cumulative_return`` is the additive net value (1 + running sum).
    ``stats`` holds the thirteen headline statistics; ``benchmark_summary``
    one row per benchmark; ``plot_paths`` the chart files written, by kind.
    """

    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, float]
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str] = field(default_factory=dict)
