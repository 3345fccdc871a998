"""The summary row of one batch item: the figures a researcher screens a factor or a strategy by."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

__all__ = ["FACTOR_COLUMNS", "factor_summary", "strategy_summary"]

TRADING_DAYS = 252

FACTOR_COLUMNS = (
    "rank_ic", "ic_std", "icir", "ic_positive_share", "best_group", "first_group_annual_return",
    "last_group_annual_return", "long_short_annual_return", "long_short_sharpe", "long_short_max_dd",
)


def _group(value) -> int | None:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return int(number) if math.isfinite(number) and number >= 1 else None


def factor_summary(result) -> dict[str, float | int | None]:
    """Daily rank IC (mean, standard deviation, ICIR = mean / std, share of positive days), the best group,
    the annual returns of group 1 and of the last group, and the long-short portfolio (last group minus
    group 1: the top minus the bottom in the chosen direction): its annual return, Sharpe and maximum
    drawdown. Annual figures are the mean daily return x 252 and the drawdown is in net-value units of
    the additive net value 1 + running sum, the package's conventions."""
    from vantorel.backtest._core import safe_sharpe

    ic = result.rank_ic.to_numpy(dtype=np.float64)
    ic = ic[np.isfinite(ic)]
    mean_ic = float(ic.mean()) if len(ic) else math.nan
    std_ic = float(ic.std(ddof=1)) if len(ic) > 1 else math.nan
    daily = result.group_daily_return
    if daily.shape[1]:
        first, last = daily[daily.columns.min()], daily[daily.columns.max()]
        long_short = (last - first).replace([np.inf, -np.inf], np.nan).dropna()
    else:
        first = last = long_short = pd.Series(dtype=np.float64)
    net_value = 1.0 + long_short.cumsum()
    drawdown = float((net_value.cummax() - net_value).max()) if len(net_value) else math.nan
    return {
        "rank_ic": mean_ic,
        "ic_std": std_ic,
        "icir": mean_ic / std_ic if std_ic > 0 else math.nan,
        "ic_positive_share": float((ic > 0).mean()) if len(ic) else math.nan,
        "best_group": _group(result.best_group),
        "first_group_annual_return": float(first.mean() * TRADING_DAYS) if len(first) else math.nan,
        "last_group_annual_return": float(last.mean() * TRADING_DAYS) if len(last) else math.nan,
        "long_short_annual_return": float(long_short.mean() * TRADING_DAYS) if len(long_short) else math.nan,
        "long_short_sharpe": float(safe_sharpe(long_short, periods=TRADING_DAYS)) if len(long_short) else math.nan,
        "long_short_max_dd": drawdown,
    }


def strategy_summary(result) -> dict[str, float]:
    """The strategy's statistics dictionary, as it is."""
    return dict(result.stats)
