"""The summary row of one batch item: the figures a researcher screens a factor or a strategy by."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

__all__ = ["FACTOR_COLUMNS", "factor_summary", "strategy_summary"]

TRADING_DAYS = 252

FACTOR_COLUMNS = (
    "rank_ic", "ic_std", "icir", "ic_t_stat", "ic_positive_share", "best_group", "first_group_annual_return",
    "last_group_annual_return", "long_short_annual_return", "long_short_sharpe", "long_short_max_dd",
    "monotonicity", "top_group_turnover",
)


def _group(value) -> int | None:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return int(number) if math.isfinite(number) and number >= 1 else None


def _float(value) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        return math.nan


def factor_summary(result) -> dict[str, float | int | None]:
    """Daily rank IC (mean, standard deviation, ICIR = mean / std, t-statistic, share of positive days),
    the best group, the annual returns of group 1 and of the last group, the long-short portfolio (last
    group minus group 1: the top minus the bottom in the chosen direction): its annual return, Sharpe
    and maximum drawdown, the monotonicity (Spearman of group number and group annual return) and the
    mean turnover of the last group. Annual figures are the mean daily return x 252 and the drawdown is
    a non-negative magnitude in net-value units of the additive net value 1 + running sum, the
    package's conventions.

    The figures are the result's own analytics; a result built without them (only the group returns
    and the rank IC) has them computed here from those, but for the turnover, which needs the groups'
    members and is NaN then."""
    row = {**_ic_figures(result), "best_group": _group(result.best_group), **_group_figures(result),
           **_long_short(result)}
    turnover = result.mean_group_turnover if result.group_turnover is not None else pd.Series(dtype=np.float64)
    row["top_group_turnover"] = float(turnover[turnover.index.max()]) if len(turnover) else math.nan
    return {key: row[key] for key in FACTOR_COLUMNS}


def _ic_figures(result) -> dict[str, float]:
    summary = result.ic_summary
    if summary is not None:
        return {"rank_ic": _float(summary.get("mean")), "ic_std": _float(summary.get("std")),
                "icir": _float(summary.get("icir")), "ic_t_stat": _float(summary.get("t_stat")),
                "ic_positive_share": _float(summary.get("positive_share"))}
    ic = result.rank_ic.to_numpy(dtype=np.float64)
    ic = ic[np.isfinite(ic)]
    mean_ic = float(ic.mean()) if len(ic) else math.nan
    std_ic = float(ic.std(ddof=1)) if len(ic) > 1 else math.nan
    icir = mean_ic / std_ic if std_ic > 0 else math.nan
    return {"rank_ic": mean_ic, "ic_std": std_ic, "icir": icir, "ic_t_stat": icir * math.sqrt(len(ic)),
            "ic_positive_share": float((ic > 0).mean()) if len(ic) else math.nan}


def _annual_returns(result) -> pd.Series:
    """Each group's annual return (mean daily x 252, missing days skipped), by group number."""
    forward = result.group_forward_return
    if forward is not None and "annual_return" in forward:
        return forward["annual_return"].astype(np.float64)
    with np.errstate(invalid="ignore", over="ignore"):  # +inf and -inf days: NaN
        return (result.group_daily_return.mean() * TRADING_DAYS).astype(np.float64)


def _group_figures(result) -> dict[str, float]:
    annual = _annual_returns(result)
    if not len(annual):
        return {"first_group_annual_return": math.nan, "last_group_annual_return": math.nan,
                "monotonicity": math.nan}
    out = {"first_group_annual_return": float(annual[annual.index.min()]),
           "last_group_annual_return": float(annual[annual.index.max()])}
    if result.long_short is not None or not math.isnan(_float(result.monotonicity)):
        out["monotonicity"] = _float(result.monotonicity)
    else:  # Spearman of group number and annual return over the groups that have one
        present = annual.dropna()
        out["monotonicity"] = math.nan
        if len(present) > 1:
            with np.errstate(invalid="ignore", divide="ignore"):
                out["monotonicity"] = float(pd.Series(present.index.to_numpy(dtype=np.float64)).rank().corr(
                    pd.Series(present.to_numpy()).rank()))
    return out


def _long_short(result) -> dict[str, float]:
    ls = result.long_short
    if ls is not None:
        return {"long_short_annual_return": _float(ls.annual_return), "long_short_sharpe": _float(ls.sharpe),
                "long_short_max_dd": _float(ls.max_drawdown)}
    from vantorel.backtest._core import safe_sharpe

    daily = result.group_daily_return
    if daily.shape[1]:
        spread = (daily[daily.columns.max()] - daily[daily.columns.min()]).replace([np.inf, -np.inf], np.nan)
        spread = spread.dropna()
    else:
        spread = pd.Series(dtype=np.float64)
    net_value = 1.0 + spread.cumsum()
    return {
        "long_short_annual_return": float(spread.mean() * TRADING_DAYS) if len(spread) else math.nan,
        "long_short_sharpe": float(safe_sharpe(spread, periods=TRADING_DAYS)) if len(spread) else math.nan,
        "long_short_max_dd": float((net_value.cummax() - net_value).max()) if len(spread) else math.nan,
    }


def strategy_summary(result) -> dict[str, float]:
    """The strategy's statistics dictionary, as it is."""
    return dict(result.stats)
