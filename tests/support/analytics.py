"""A plain pandas/NumPy statement of the factor analytics.

Each measure is written from its definition, date by date where that is the
clearest, over the groups and eligible stocks of ``support.groups``:

- IC figures: mean, sample standard deviation, ICIR = mean / std (x sqrt(252)
  annualised), t = mean / (std / sqrt(n)), two-sided p-value of Student's t
  with n - 1 degrees of freedom, share of positive days, number of days;
- IC decay: the rank IC against open[t+1+h] / open[t+1] - 1;
- group turnover: the share of a group's members today not in it yesterday;
- factor autocorrelation: Spearman of today's and yesterday's factor over the
  stocks eligible on both;
- long-short: last group minus first, additive net value, annual return
  (mean x 252), Sharpe and maximum drawdown;
- monotonicity: Spearman of group number and group annual return;
- group forward return: per group the mean over dates of its members' mean
  1-day forward return.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

from . import groups as G, reference as ref

DAYS = 252
HORIZONS = (1, 2, 3, 5, 10, 20)


def student_t_p(t: float, df: float) -> float:
    """P(|T| >= |t|) by integrating the density numerically (Simpson's rule on [0, |t|])."""
    if math.isnan(t):
        return math.nan
    log_c = math.lgamma((df + 1) / 2) - math.lgamma(df / 2) - 0.5 * math.log(df * math.pi)
    x = np.linspace(0.0, abs(t), 200_001)
    density = np.exp(log_c - (df + 1) / 2 * np.log1p(x * x / df))
    h = x[1] - x[0]
    inner = h / 3 * (density[0] + density[-1] + 4 * density[1:-1:2].sum() + 2 * density[2:-1:2].sum())
    return max(0.0, 1.0 - 2.0 * inner)


def ic_figures(ic: pd.Series) -> dict[str, float]:
    x = ic.dropna().to_numpy(dtype=np.float64)
    n = x.size
    out = dict.fromkeys(["mean", "std", "icir", "icir_annual", "t_stat", "p_value", "positive_share"], math.nan)
    out["days"] = n
    if n == 0:
        return out
    out["mean"] = x.mean()
    out["positive_share"] = (x > 0).mean()
    if n < 2:
        return out
    out["std"] = x.std(ddof=1)
    if out["std"] > 1e-13 * abs(out["mean"]):  # below that, rounding: the same IC every day
        out["icir"] = out["mean"] / out["std"]
        out["icir_annual"] = out["icir"] * math.sqrt(DAYS)
        out["t_stat"] = out["mean"] / (out["std"] / math.sqrt(n))
        out["p_value"] = student_t_p(out["t_stat"], n - 1)
    return out


def horizon_returns(open_price: pd.DataFrame, grid: pd.DataFrame, h: int) -> pd.DataFrame:
    """open[t+1+h] / open[t+1] - 1 on the grid, infinities read as missing."""
    o = open_price.reindex(index=grid.index, columns=grid.columns).astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        fwd = o.shift(-(1 + h)) / o.shift(-1) - 1
    return fwd.replace([np.inf, -np.inf], np.nan)


def turnover(labels: pd.DataFrame, group_num: int) -> pd.DataFrame:
    lab = labels.to_numpy()
    out = np.full((lab.shape[0], group_num), np.nan)
    for i in range(1, lab.shape[0]):
        for g in range(1, group_num + 1):
            members = lab[i] == g
            if members.any():
                out[i, g - 1] = (members & (lab[i - 1] != g)).sum() / members.sum()
    return pd.DataFrame(out, index=labels.index, columns=pd.RangeIndex(1, group_num + 1, name="group"))


def autocorrelation(factor: pd.DataFrame, valid: pd.DataFrame) -> pd.Series:
    ok = G.eligible(factor, valid)
    out = [math.nan]
    for i in range(1, len(factor.index)):
        both = ok[i] & ok[i - 1]
        if both.sum() < 2:
            out.append(math.nan)
            continue
        with np.errstate(invalid="ignore", divide="ignore"):
            out.append(factor.iloc[i, both].rank().corr(factor.iloc[i - 1, both].rank()))
    return pd.Series(out[:len(factor.index)], index=factor.index, dtype=np.float64)


def long_short(daily: pd.DataFrame) -> dict:
    with np.errstate(invalid="ignore", over="ignore"):  # infinite days: inf - inf is NaN
        spread = daily[daily.columns.max()] - daily[daily.columns.min()]
        net_value = 1 + spread.cumsum()
        drawdown = net_value - net_value.cummax()
        mean = spread.mean()
    return {"daily": spread, "net_value": net_value, "drawdown": drawdown,
            "annual_return": mean * DAYS, "sharpe": ref.safe_sharpe(spread.dropna(), periods=DAYS),
            "max_drawdown": abs(drawdown.min())}


def monotonicity(daily: pd.DataFrame) -> float:
    with np.errstate(invalid="ignore", over="ignore"):  # infinite days
        annual = (daily.mean() * DAYS).dropna()
    if len(annual) < 2:
        return math.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        return pd.Series(annual.index.to_numpy(dtype=float)).rank().corr(
            pd.Series(annual.to_numpy()).rank())


def group_forward_return(labels: pd.DataFrame, forward: pd.DataFrame, group_num: int) -> pd.Series:
    lab = labels.to_numpy()
    fwd = forward.reindex(index=labels.index, columns=labels.columns).to_numpy(dtype=np.float64)
    means = np.full((lab.shape[0], group_num), np.nan)
    for i in range(lab.shape[0]):
        for g in range(1, group_num + 1):
            values = fwd[i, (lab[i] == g) & ~np.isnan(fwd[i])]
            if values.size:
                means[i, g - 1] = values.mean()
    return pd.DataFrame(means).mean().set_axis(range(1, group_num + 1))
