"""Total frames for the report and chart tests.

``make_total`` builds one from random daily returns with the additive rules
of the engine: net values are 1 + running sum, drawdowns are measured against
the running maximum, the index holds YYYYMMDD texts.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

TOTAL_COLUMNS = (
    "daily_return", "index_daily_return", "close", "extra_daily_return", "long",
    "close_net_value", "max_drowdown", "extra_return", "extra_max_drowdown",
)

FULL_STATS = {
    "annual_return": 12.5, "long_sharp": 1.234, "max_dd": 0.1234,
    "benchmark_annual_return": 4.0, "benchmark_sharp": 0.51, "extra_annual_return": -3.25,
    "extra_sharp": -0.456, "extra_max_dd": 0.0875, "return_corr": 0.625,
    "win_rate": 0.55, "excess_win_rate": 0.4875, "holding_count": 12.6, "turnover": 0.0325,
}


def make_total(n: int = 120, seed: int = 0, start: str = "2023-11-01", dates=None) -> pd.DataFrame:
    """A total frame of ``n`` business days from ``start`` (or the given dates)."""
    dates = pd.bdate_range(start, periods=n) if dates is None else pd.DatetimeIndex(dates)
    n = len(dates)
    rng = np.random.default_rng(seed)
    r = rng.normal(0.0008, 0.012, n)
    b = rng.normal(0.0004, 0.010, n)
    extra = r - b
    long = 1.0 + np.cumsum(r)
    long = long / long[0] if n else long
    close = 1.0 + np.cumsum(b)
    close_nv = close / close[0] if n else close
    extra_ret = np.cumsum(extra) - (extra[0] if n else 0.0)
    frame = pd.DataFrame({
        "daily_return": r, "index_daily_return": b, "close": close, "extra_daily_return": extra,
        "long": long, "close_net_value": close_nv,
        "max_drowdown": long - np.maximum.accumulate(long) if n else long,
        "extra_return": extra_ret,
        "extra_max_drowdown": (extra_ret + 1) - np.maximum.accumulate(extra_ret + 1) if n else extra_ret,
    }, index=pd.Index(dates.strftime("%Y%m%d")))
    return frame
