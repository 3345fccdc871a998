"""Public result types of the backtests."""

from __future__ import annotations

import math
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
class LongShort:
    """The top group minus the bottom group (the last group number minus the first), each date.

    ``net_value`` is the additive net value 1 + running sum and ``drawdown`` its distance below
    its running peak; ``annual_return`` is the mean daily return x 252, ``sharpe`` the annualised
    Sharpe ratio and ``max_drawdown`` the deepest drawdown as a non-negative magnitude.
    """

    daily_return: pd.Series
    net_value: pd.Series
    drawdown: pd.Series
    annual_return: float
    sharpe: float
    max_drawdown: float


@dataclass
class BacktestResult:
    """Result of a factor group backtest.

    Beside the groups' returns, the daily rank IC and the benchmark summary, the factor's analytics:

    - ``ic_summary``: the daily rank IC's mean, standard deviation, ICIR (mean / std) and its
      annualised form (x sqrt(252)), t-statistic, two-sided p-value (Student's t, n - 1 degrees of
      freedom), share of positive days and number of days;
    - ``ic_by_year``: the same figures per calendar year;
    - ``ic_decay``: mean rank IC, ICIR and t-statistic against the open-to-open return from the
      next date over 1, 2, 3, 5, 10 and 20 trading days;
    - ``group_turnover``: per date and group, the share of members new to the group since the
      previous date;
    - ``factor_autocorrelation``: per date, the Spearman correlation of the factor with the previous
      date's over the stocks eligible on both;
    - ``long_short``: the top group minus the bottom group (:class:`LongShort`);
    - ``monotonicity``: the Spearman correlation of group number and group annual return;
    - ``group_forward_return``: per group, the mean 1-day forward return of its members (daily and
      x 252) beside the annual return trading the group delivered, and their gap.
    """

    factor_name: str
    best_group: int
    group_daily_return: pd.DataFrame
    group_cumulative_return: pd.DataFrame
    rank_ic: pd.Series
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str] = field(default_factory=dict)
    ic_summary: pd.Series | None = None
    ic_by_year: pd.DataFrame | None = None
    ic_decay: pd.DataFrame | None = None
    group_turnover: pd.DataFrame | None = None
    factor_autocorrelation: pd.Series | None = None
    long_short: LongShort | None = None
    monotonicity: float = math.nan
    group_forward_return: pd.DataFrame | None = None

    @property
    def mean_group_turnover(self) -> pd.Series:
        """Each group's mean turnover over the dates it has one."""
        if self.group_turnover is None:
            return pd.Series(dtype="float64", name="turnover")
        return self.group_turnover.mean().rename("turnover")

    @property
    def mean_factor_autocorrelation(self) -> float:
        """The mean of the daily factor autocorrelation (NaN when there is none)."""
        if self.factor_autocorrelation is None:
            return math.nan
        return float(self.factor_autocorrelation.mean())

    def report(self) -> str:
        """A plain-text summary for a terminal (about 100 columns): the period and groups, the rank IC
        figures, its decay and its years, top minus bottom and the monotonicity, the turnover and the
        factor autocorrelation, and per group the traded and the forward annual return. Ratios as
        they are, returns and shares in percent; a missing figure prints as "-"."""
        from vantorel.backtest import _factor_report

        return _factor_report.text(self)

    def _repr_html_(self) -> str:
        """The report's figures as HTML tables, for notebooks."""
        from vantorel.backtest import _factor_report

        return _factor_report.html_report(self)


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
