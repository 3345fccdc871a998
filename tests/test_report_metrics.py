"""Number formatting, period drawdown/Calmar and the yearly metrics table."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import example, given, strategies as st

from vantorel.backtest._core import safe_sharpe

NAN = float("nan")
INF = float("inf")
YEARLY_COLUMNS = [
    "strategy_return", "strategy_sharpe", "strategy_max_dd", "strategy_calmar",
    "excess_return", "excess_sharpe", "excess_max_dd", "excess_calmar",
]


# --------------------------------------------------------------------------
# plain statement of the rules
# --------------------------------------------------------------------------

def ref_period(r):
    if r is None or len(r) == 0:
        return NAN, NAN, NAN
    r = pd.Series(r, dtype=np.float64)
    with np.errstate(invalid="ignore"):  # inf - inf
        s = r.cumsum()
        max_dd = abs((s - s.cummax().clip(lower=0.0)).min())
        annual = r.mean() * 252
        calmar = annual / max_dd if not math.isnan(max_dd) and max_dd > 1e-12 else NAN
        return r.sum(), max_dd, calmar


def ref_yearly(daily: pd.DataFrame) -> pd.DataFrame:
    rows = []
    for year, g in daily.groupby(daily.index.year):
        sides = [g[c].replace([INF, -INF], NAN).dropna() for c in ("daily_return", "extra_daily_return")]
        if all(s.empty for s in sides):
            continue
        row = {"year": int(year)}
        for prefix, s in zip(("strategy", "excess"), sides, strict=True):
            ret, dd, calmar = ref_period(s)
            row.update({f"{prefix}_return": ret, f"{prefix}_sharpe": safe_sharpe(s),
                        f"{prefix}_max_dd": dd, f"{prefix}_calmar": calmar})
        rows.append(row)
    if not rows:
        return pd.DataFrame()
    return pd.DataFrame(rows).set_index("year").sort_index()[YEARLY_COLUMNS]


def close(a, b, scale=1.0):
    if math.isnan(b) or math.isinf(b):
        return a == b or (math.isnan(a) and math.isnan(b))
    return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-12 * scale)


# --------------------------------------------------------------------------
# formatters
# --------------------------------------------------------------------------

FORMATTERS = ("_format_pct", "_format_pct_points", "_format_num")


@pytest.mark.parametrize("name", FORMATTERS)
@pytest.mark.parametrize("value", [None, NAN, np.nan, np.float32("nan"), pd.NA, pd.NaT])
def test_missing_values_print_dashes(ws, name, value):
    assert getattr(ws, name)(value) == "--"
    assert getattr(ws, name)(value, 0) == "--"


@pytest.mark.parametrize(("name", "value", "digits", "text"), [
    ("_format_pct", 0.05, 2, "5.00%"),
    ("_format_pct", -0.1234, 2, "-12.34%"),
    ("_format_pct", 0.05, 0, "5%"),
    ("_format_pct", 0.0, 2, "0.00%"),
    ("_format_pct", -0.0, 2, "-0.00%"),
    ("_format_pct", -1e-9, 2, "-0.00%"),
    ("_format_pct", 0.12345, 2.9, "12.35%"),
    ("_format_pct", 1, 1, "100.0%"),
    ("_format_pct", np.float32(0.5), 2, "50.00%"),
    ("_format_pct", INF, 2, "inf%"),
    ("_format_pct", -INF, 2, "-inf%"),
    ("_format_pct_points", 5.0, 2, "5.00%"),
    ("_format_pct_points", -0.0, 1, "-0.0%"),
    ("_format_pct_points", INF, 2, "inf%"),
    ("_format_num", 1.234, 2, "1.23"),
    ("_format_num", 12.6, 0, "13"),
    ("_format_num", 2.5, 0, "2"),
    ("_format_num", 3.5, 0, "4"),
    ("_format_num", np.int64(7), 2, "7.00"),
    ("_format_num", 1e22, 1, "10000000000000000000000.0"),
    ("_format_num", INF, 2, "inf"),
    ("_format_num", -INF, 0, "-inf"),
])
def test_formatter_examples(ws, name, value, digits, text):
    assert getattr(ws, name)(value, digits) == text


@pytest.mark.parametrize("name", FORMATTERS)
@pytest.mark.parametrize(("digits", "got"), [("2", "str"), (None, "NoneType"), ([2], "list")])
def test_digits_must_be_a_number(ws, name, digits, got):
    with pytest.raises(TypeError) as err:
        getattr(ws, name)(0.5, digits)
    assert str(err.value) == f"Argument 'digits' has incorrect type (expected int, got {got})"


AWKWARD = [0.125, 0.375, 2.5, 1.005, 2.675, 0.045, 1e22, 1e300, 5e-324, -5e-324, 2.0**53 + 2, 1e-7, 0.5, 1.5]


@pytest.mark.parametrize("value", AWKWARD)
@pytest.mark.parametrize("digits", [0, 1, 2, 3, 17, 60])
def test_rounding_of_awkward_doubles(ws, value, digits):
    # Python's fixed-point formatting rounds the exact binary value, halves to even.
    assert ws._format_num(value, digits) == format(value, f".{digits}f")
    assert ws._format_pct_points(value, digits) == format(value, f".{digits}f") + "%"
    assert ws._format_pct(value, digits) == format(value * 100, f".{digits}f") + "%"


@pytest.mark.parametrize(("value", "digits"), [(0.125, 330), (-5e-324, 1074), (1e300, 400)])
def test_many_digits_are_not_cut_short(ws, value, digits):
    # the exact expansion of a double can need up to 1074 decimals
    assert ws._format_num(value, digits) == format(value, f".{digits}f")


finite = st.floats(allow_nan=False, allow_infinity=False)
realistic = st.floats(-1e6, 1e6, allow_nan=False).map(lambda x: round(x, 5))


@given(value=st.one_of(finite, realistic), digits=st.integers(0, 25))
@example(value=0.125, digits=2)
@example(value=-0.0, digits=0)
def test_rounding_matches_python(ws, value, digits):
    assert ws._format_num(value, digits) == format(value, f".{digits}f")
    assert ws._format_pct_points(value, digits) == format(value, f".{digits}f") + "%"
    assert ws._format_pct(value, digits) == format(value * 100, f".{digits}f") + "%"


@pytest.mark.parametrize(("series", "text"), [
    (None, "--"),
    (pd.Series([], dtype=np.float64), "--"),
    (pd.Series([NAN, NAN], index=[2020, 2021]), "--"),
    (pd.Series([0.05], index=[2021]), "2021: 5.00%"),
    (pd.Series([0.05, NAN, -0.012], index=[2020, 2021, 2024]), "2020: 5.00% | 2024: -1.20%"),
    (pd.Series([0.1, -0.2], index=np.array([2024, 2019], dtype=np.int64)), "2024: 10.00% | 2019: -20.00%"),
    (pd.Series([pd.NA, 0.015, INF], index=[2019, 2020, 2021], dtype=object), "2020: 1.50% | 2021: inf%"),
])
def test_format_annual_excess(ws, series, text):
    assert ws._format_annual_excess(series) == text


# --------------------------------------------------------------------------
# period return, drawdown and Calmar
# --------------------------------------------------------------------------

@pytest.mark.parametrize(("values", "expected"), [
    ([0.01, 0.02], (0.03, 0.0, NAN)),
    ([-0.01, -0.02, 0.01], (-0.02, 0.03, (-0.02 / 3 * 252) / 0.03)),
    ([0.02, -0.05, 0.01], (-0.02, 0.05, (-0.02 / 3 * 252) / 0.05)),   # peak above zero
    ([NAN, 0.01, NAN, -0.03], (-0.02, 0.03, (-0.01 * 252) / 0.03)),  # NaN skipped, sum unbroken
    ([NAN, NAN], (0.0, NAN, NAN)),
    ([], (NAN, NAN, NAN)),
    (None, (NAN, NAN, NAN)),
])
def test_period_return_drawdown_calmar_examples(ws, values, expected):
    series = None if values is None else pd.Series(values, dtype=np.float64)
    got = ws._period_return_drawdown_calmar(series)
    assert isinstance(got, tuple) and len(got) == 3
    for a, b in zip(got, expected, strict=True):
        assert close(a, b), (got, expected)


return_lists = st.lists(
    st.one_of(st.integers(-900, 900).map(lambda k: k / 10_000),
              st.sampled_from([NAN, NAN, INF, -INF, 0.0])),
    max_size=40)


@given(values=return_lists)
def test_period_return_drawdown_calmar_matches_rules(ws, values):
    series = pd.Series(values, dtype=np.float64, index=pd.bdate_range("2024-01-01", periods=len(values)))
    got = ws._period_return_drawdown_calmar(series)
    want = ref_period(series)
    scale = float(np.nansum(np.abs(np.where(np.isfinite(series), series, 0.0)))) + 1.0
    assert close(got[0], want[0], scale)
    assert close(got[1], want[1], scale)
    calmar_scale = 252 * scale / want[1] if want[1] and math.isfinite(want[1]) else 1.0
    assert close(got[2], want[2], calmar_scale), (got, want)


# --------------------------------------------------------------------------
# yearly metrics
# --------------------------------------------------------------------------

def daily_frame(dates, strategy, excess):
    return pd.DataFrame({"daily_return": strategy, "index_daily_return": 0.0, "extra_daily_return": excess},
                        index=pd.DatetimeIndex(dates))


def assert_yearly_equal(got: pd.DataFrame, want: pd.DataFrame):
    if want.empty:
        assert got.shape == (0, 0)
        return
    assert list(got.columns) == YEARLY_COLUMNS
    assert got.index.name == "year" and got.index.dtype.kind == "i"
    assert (got.dtypes == np.float64).all()
    pd.testing.assert_frame_equal(got, want, check_index_type=False, rtol=1e-12, atol=1e-12)


@st.composite
def daily_tables(draw):
    n = draw(st.integers(0, 40))
    pool = pd.bdate_range("2019-12-20", "2023-01-10")
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    dates = np.sort(rng.choice(pool, size=n, replace=False))
    cols = []
    for _ in range(2):
        v = np.round(rng.normal(0.0005, 0.02, n), 4)
        for fill, p in ((NAN, draw(st.sampled_from([0.0, 0.2, 0.6]))), (INF, 0.05), (-INF, 0.05)):
            v[rng.random(n) < p] = fill
        cols.append(v)
    if n and draw(st.booleans()):
        # a whole year blanked on one or both sides
        year = pd.DatetimeIndex(dates).year == pd.DatetimeIndex(dates).year[0]
        for side in draw(st.sampled_from([(0,), (1,), (0, 1)])):
            cols[side][year] = draw(st.sampled_from([NAN, INF]))
    return daily_frame(dates, *cols)


@given(daily=daily_tables())
def test_yearly_metrics_match_rules(ws, daily):
    assert_yearly_equal(ws._calc_yearly_performance_metrics(daily), ref_yearly(daily))


@pytest.mark.parametrize(("dates", "strategy", "excess", "years"), [
    # one side missing: the row is still produced
    (["2021-03-01", "2021-03-02", "2022-05-02"], [0.01, 0.02, NAN], [NAN, INF, 0.03], [2021, 2022]),
    # a one-day year, and a year that is NaN/inf on both sides
    (["2020-12-31", "2021-01-04", "2021-01-05"], [0.01, NAN, -INF], [-0.02, INF, NAN], [2020]),
    # every year falls away
    (["2020-06-01", "2021-06-01"], [NAN, INF], [-INF, NAN], []),
    ([], [], [], []),
])
def test_yearly_metrics_rows(ws, dates, strategy, excess, years):
    daily = daily_frame(dates, np.array(strategy, dtype=float), np.array(excess, dtype=float))
    got = ws._calc_yearly_performance_metrics(daily)
    assert list(got.index) == years
    assert_yearly_equal(got, ref_yearly(daily))


def test_yearly_metrics_one_sided_year(ws):
    daily = daily_frame(["2021-03-01", "2021-03-02", "2021-03-03"], [0.01, -0.02, 0.005], [NAN, INF, NAN])
    row = ws._calc_yearly_performance_metrics(daily).loc[2021]
    assert row["strategy_return"] == pytest.approx(-0.005, abs=1e-15)
    assert row["strategy_max_dd"] == pytest.approx(0.02, abs=1e-15)  # 0.01 peak to -0.01
    assert row[["excess_return", "excess_max_dd", "excess_calmar"]].isna().all()
    assert close(row["excess_sharpe"], safe_sharpe(pd.Series([], dtype=np.float64)))


@pytest.mark.parametrize("missing", ["daily_return", "extra_daily_return"])
def test_yearly_metrics_missing_column(ws, missing):
    daily = daily_frame(["2021-03-01"], [0.01], [0.02]).drop(columns=missing)
    with pytest.raises(KeyError):
        ws._calc_yearly_performance_metrics(daily)
