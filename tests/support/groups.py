"""A plain pandas/NumPy statement of the factor group backtest's rules.

Grouping: the factor is aligned to the dates and codes of ``close_price``
(optionally smoothed with ``rolling(w).mean()``); a stock is eligible on a
date when its factor value is finite and its ``close_price_valid`` is 1; the
eligible stocks are ordered by (value, column position) and cut into runs
``[floor(k*n/G), floor((k+1)*n/G))`` numbered ``k+1`` (or ``G-k`` ascending).
Each group is an equal-weight portfolio of its members, traded with the
strategy rules. Vectorised across stocks; one Python step per date.

The forward open-to-open return (``forward_returns``) and the average ranks
are stated here again on purpose: the package computes them once, in the
engine, for the group backtest, the data preparation's
``forward_return_rank_cache`` and the synthetic market alike, and this plain
statement is the independent reference the tests hold that engine rule to.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from . import reference as ref

TRADING_DAYS_PER_YEAR = 252


def aligned_factor(factor: pd.DataFrame, close_price: pd.DataFrame, rolling_window: int = 0) -> pd.DataFrame:
    f = factor.reindex(index=close_price.index, columns=close_price.columns).astype(np.float64)
    if int(rolling_window) > 1:
        f = f.rolling(int(rolling_window)).mean()
    return f


def eligible(factor: pd.DataFrame, close_price_valid: pd.DataFrame) -> np.ndarray:
    """Boolean grid: finite factor and a universe flag of exactly 1."""
    valid = close_price_valid.reindex(index=factor.index, columns=factor.columns).to_numpy(dtype=np.float64)
    return np.isfinite(factor.to_numpy(dtype=np.float64)) & (valid == 1.0)


def group_labels(factor: pd.DataFrame, close_price_valid: pd.DataFrame, group_num: int,
                 ascending: bool = False) -> pd.DataFrame:
    """Group number of every (date, code) of the aligned factor; 0 outside every group."""
    values = factor.to_numpy(dtype=np.float64)
    ok = eligible(factor, close_price_valid)
    labels = np.zeros(values.shape, dtype=np.int64)
    for i in range(values.shape[0]):
        idx = np.flatnonzero(ok[i])
        order = idx[np.lexsort((idx, values[i, idx]))]
        n = order.size
        for k in range(group_num):
            labels[i, order[k * n // group_num:(k + 1) * n // group_num]] = group_num - k if ascending else k + 1
    return pd.DataFrame(labels, index=factor.index, columns=factor.columns)


def group_weights(labels: pd.DataFrame, group: int) -> pd.DataFrame:
    """1/n on the n members of ``group`` on each date, NaN elsewhere."""
    member = labels.to_numpy() == group
    counts = member.sum(axis=1, keepdims=True)
    with np.errstate(divide="ignore"):
        w = np.where(member, 1.0 / counts, np.nan)
    return pd.DataFrame(w, index=labels.index, columns=labels.columns)


def forward_returns(open_price: pd.DataFrame, grid: pd.DataFrame) -> pd.DataFrame:
    """open[t+2] / open[t+1] - 1 on the grid, infinities read as missing."""
    o = open_price.reindex(index=grid.index, columns=grid.columns).astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        fwd = o.shift(-2) / o.shift(-1) - 1
    return fwd.replace([np.inf, -np.inf], np.nan)


def rank_ic(factor: pd.DataFrame, close_price_valid: pd.DataFrame, forward: pd.DataFrame) -> pd.Series:
    """Per date Spearman (average ranks) over eligible stocks where both values are finite."""
    fwd = forward.reindex(index=factor.index, columns=factor.columns).astype(np.float64)
    both = eligible(factor, close_price_valid) & np.isfinite(fwd.to_numpy())
    out = []
    for i in range(len(factor.index)):
        cols = both[i]
        if cols.sum() < 2:
            out.append(np.nan)
            continue
        x = factor.iloc[i, cols]
        y = fwd.iloc[i, cols]
        with np.errstate(invalid="ignore", divide="ignore"):  # constant ranks: no correlation
            out.append(x.rank().corr(y.rank()))
    return pd.Series(out, index=factor.index, dtype=np.float64, name="rank_ic")


def benchmark_rows(group_daily: pd.DataFrame, benchmark_dict: dict, names: list[str]) -> pd.DataFrame:
    """One row per (benchmark, group): the strategy summary conventions applied to each group."""
    rows = []
    for name in names:
        bm = benchmark_dict[name].astype(np.float64).reindex(group_daily.index).dropna()
        common = group_daily.index[group_daily.index.isin(bm.index)]
        if len(common) == 0:
            continue
        for g in group_daily.columns:
            strat = group_daily[g].loc[common]
            excess = strat - bm.loc[common]
            cum = excess.cumsum()
            rows.append({
                "benchmark_name": name,
                "group": int(g),
                "annual_return": strat.mean() * TRADING_DAYS_PER_YEAR,
                "excess_annual_return": excess.mean() * TRADING_DAYS_PER_YEAR,
                "excess_sharpe": ref.safe_sharpe(excess, periods=TRADING_DAYS_PER_YEAR),
                "excess_max_dd": (cum - cum.cummax()).min(),
            })
    return pd.DataFrame(rows)
