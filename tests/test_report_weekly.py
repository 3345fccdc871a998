"""Weekly (Friday) samples of the net values."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st

from support.totals import make_total

NAN, INF = float("nan"), float("inf")
SAMPLED = ["long", "close_net_value", "extra_return"]


def ref_weekly(total: pd.DataFrame) -> pd.DataFrame:
    df = total.copy()
    df.index = pd.to_datetime(df.index, format="%Y%m%d")
    if df.empty:
        return pd.DataFrame()
    weekly = df[SAMPLED].replace([INF, -INF], NAN).resample("W-FRI").last().dropna(how="all")
    if weekly.empty:
        return weekly
    weekly["extra_net_value"] = weekly["extra_return"] + 1
    return weekly


def assert_weekly_equal(got: pd.DataFrame, want: pd.DataFrame):
    if want.shape == (0, 0):
        assert got.shape == (0, 0)
        return
    assert list(got.columns) == list(want.columns)
    assert isinstance(got.index, pd.DatetimeIndex)
    assert (got.index.day_of_week == 4).all() and got.index.is_monotonic_increasing
    assert list(got.index) == list(want.index)
    np.testing.assert_array_equal(got.to_numpy(np.float64), want.to_numpy(np.float64))


def frame(dates, **columns):
    values = {c: columns.get(c, np.arange(len(dates), dtype=float) + 1) for c in SAMPLED}
    values["daily_return"] = 0.0
    return pd.DataFrame(values, index=pd.Index(dates, dtype=object))


@st.composite
def totals(draw):
    n = draw(st.integers(0, 60))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    pool = pd.date_range("2023-12-20", "2024-04-30")  # includes weekends
    dates = np.sort(rng.choice(pool, size=n, replace=False))
    total = make_total(dates=dates, seed=int(rng.integers(1 << 30)))
    values = total[SAMPLED].to_numpy(copy=True)
    for fill, p in ((NAN, draw(st.sampled_from([0.0, 0.3, 0.8]))), (INF, 0.05), (-INF, 0.05)):
        values[rng.random(values.shape) < p] = fill
    total[SAMPLED] = values
    if draw(st.booleans()):
        total = total.iloc[rng.permutation(n)]
    return total


@given(total=totals())
def test_weekly_frame_matches_resampling(ws, total):
    before = total.copy()
    assert_weekly_equal(ws._build_weekly_net_value_frame(total), ref_weekly(total))
    pd.testing.assert_frame_equal(total, before)


@pytest.mark.parametrize(("dates", "columns", "rows"), [
    # Monday to Wednesday: one row on that Friday with Wednesday's values
    (["20240108", "20240109", "20240110"], {}, {"2024-01-12": (3.0, 3.0, 3.0)}),
    # NaN on the last day of the week: the earlier value of that column
    (["20240108", "20240112", "20240115"], {"long": [1.5, NAN, 2.5]},
     {"2024-01-12": (1.5, 2.0, 2.0), "2024-01-19": (2.5, 3.0, 3.0)}),
    # infinity counts as missing; a week left with nothing is dropped
    (["20240108", "20240109", "20240116"],
     {"long": [1.1, INF, -INF], "close_net_value": [NAN, -INF, NAN], "extra_return": [0.2, NAN, INF]},
     {"2024-01-12": (1.1, NAN, 0.2)}),
    # Saturday opens the next period, Friday closes the current one
    (["20240105", "20240106", "20240107"], {}, {"2024-01-05": (1.0, 1.0, 1.0), "2024-01-12": (3.0, 3.0, 3.0)}),
])
def test_weekly_frame_examples(ws, dates, columns, rows):
    got = ws._build_weekly_net_value_frame(frame(dates, **columns))
    want = pd.DataFrame(list(rows.values()), index=pd.to_datetime(list(rows)), columns=SAMPLED)
    want["extra_net_value"] = want["extra_return"] + 1
    assert_weekly_equal(got, want)


@pytest.mark.parametrize(("total", "columns"), [
    (frame([]), []),
    (frame(["20240108", "20240115"], long=[NAN, INF], close_net_value=[NAN, NAN], extra_return=[-INF, NAN]),
     SAMPLED),
])
def test_weekly_frame_without_weeks(ws, total, columns):
    got = ws._build_weekly_net_value_frame(total)
    assert got.empty and list(got.columns) == columns


def test_weekly_frame_missing_column(ws):
    with pytest.raises(KeyError):
        ws._build_weekly_net_value_frame(frame(["20240108"]).drop(columns="close_net_value"))
