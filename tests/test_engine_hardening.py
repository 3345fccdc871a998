"""Bad input at the two engines' doors: benchmark values, absurd scalars, dtypes that are not
numbers, labels of another kind, and dates a benchmark lacks."""

from __future__ import annotations

import logging
import math
import re

import numpy as np
import pandas as pd
import pytest

from support.markets import sample_market
from support.reference import MARKET_ARGS

NAN = float("nan")


def market():
    return sample_market(n_foreign_dates=0, n_foreign_codes=0)


def frames(m, kw):
    """The market Frames, any given in `kw` taken out of it instead."""
    return {name: kw.pop(name, m.frames[name]) for name in MARKET_ARGS}


def strategy(ws, m, weights=None, **kw):
    kw.setdefault("benchmark_dict", m.benchmark_dict)
    return ws.run_strategy_backtest_core(m.weights if weights is None else weights, **frames(m, kw), **kw)


def simulation(ws, m, weights=None, **kw):
    return ws.calc_strategy_vwap_daily_return(m.weights if weights is None else weights, **frames(m, kw), **kw)


def groups(core, m, factor=None, **kw):
    market = frames(m, kw)
    close = m.frames["close_price"]
    kw.setdefault("benchmark_dict", m.benchmark_dict)
    kw.setdefault("benchmark_names", None)
    kw.setdefault("group_num", 2)
    return core.run_alpha_vwap_backtest_core(
        factor_matrix=m.weights.reindex_like(close) if factor is None else factor,
        close_price_valid=close.notna().astype(np.float64), open_price=close, **market, **kw)


@pytest.fixture(params=["strategy", "groups"])
def engine(request, ws, core):
    """Either engine, as f(market, **kwargs) -> (daily returns, benchmark summary)."""
    if request.param == "strategy":
        return lambda m, **kw: (lambda r: (r.daily_return, r.benchmark_summary))(strategy(ws, m, **kw))
    return lambda m, **kw: (lambda r: (r.group_daily_return, r.benchmark_summary))(groups(core, m, **kw))


def same(a, b):
    for x, y in zip(a, b, strict=True):
        (pd.testing.assert_series_equal if isinstance(x, pd.Series) else pd.testing.assert_frame_equal)(
            x, y, check_exact=True)


# --------------------------------------------------------------------------
# benchmark values
# --------------------------------------------------------------------------


@pytest.mark.parametrize("bad", [
    lambda s: pd.DataFrame(index=s.index),             # no column: read past its end once
    lambda s: pd.DataFrame({"a": s, "b": s * 2}),      # two columns: whose excess?
    lambda s: s.to_numpy(), lambda s: list(s), lambda s: {"x": 1.0},
], ids=["no-column", "two-columns", "array", "list", "dict"])
def test_benchmark_values_other_than_a_series_are_refused(engine, bad):
    m = market()
    bm = dict(m.benchmark_dict)
    bm["000300"] = bad(bm["000300"])
    with pytest.raises(TypeError, match=re.escape("Argument 'benchmark_dict['000300']' has incorrect type")):
        engine(m, benchmark_dict=bm)
    with pytest.raises(TypeError, match="^" + re.escape(
            "Argument 'benchmark_dict' has incorrect type (expected dict, got list)") + "$"):
        engine(m, benchmark_dict=list(m.benchmark_dict.items()))


def test_benchmark_series_checks(engine):
    m = market()
    s = m.benchmark_dict["000852"]
    one_column = {**m.benchmark_dict, "000852": s.to_frame()}
    same(engine(m, benchmark_dict=one_column), engine(m))
    as_dates = {**m.benchmark_dict, "000852": s.set_axis(pd.to_datetime(s.index, format="%Y%m%d"))}
    same(engine(m, benchmark_dict=as_dates), engine(m))
    with pytest.raises(ValueError, match=r"benchmark_dict\['000852'\]' has a duplicate row label"):
        engine(m, benchmark_dict={"000852": pd.concat([s, s.iloc[:1]])})
    with pytest.raises(ValueError, match=r"benchmark_dict\['000852'\]' has row labels .* cannot be read as dates"):
        engine(m, benchmark_dict={"000852": s.reset_index(drop=True)})
    with pytest.raises(TypeError, match=r"benchmark_dict\['000852'\]' has incorrect dtype .*got datetime64"):
        engine(m, benchmark_dict={"000852": pd.Series(pd.Timestamp("2024-01-02"), index=s.index)})


def test_a_missing_benchmark_date_is_reported(ws, caplog):
    m = market()
    s = m.benchmark_dict["000852"]
    dates = list(strategy(ws, m).daily_return.index)
    holey = {"000852": s.drop(dates[2:4])}
    with caplog.at_level(logging.WARNING, logger="vantorel"):
        result = strategy(ws, m, benchmark_dict=holey)
    assert len(result.daily_return) == len(dates) - 2  # the contract: those dates leave the join
    assert [r.getMessage() for r in caplog.records if r.name == "vantorel"] == [
        f"基准 000852 缺少 2 个回测日期,这些日期不计入统计: {dates[2]}, {dates[3]}"]
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="vantorel"):
        strategy(ws, m)
    assert not caplog.records


# --------------------------------------------------------------------------
# scalars
# --------------------------------------------------------------------------

BAD_SCALARS = [
    ("fee", NAN, "[0, 1)", "nan"), ("fee", 1.5, "[0, 1)", "1.5"), ("fee", -0.001, "[0, 1)", "-0.001"),
    ("fee", 1, "[0, 1)", "1.0"), ("rule_fee", NAN, "[0, 1)", "nan"), ("rule_fee", 2.0, "[0, 1)", "2.0"),
    ("total_money", 0, "(0, +inf)", "0.0"), ("total_money", -1e8, "(0, +inf)", "-100000000.0"),
    ("total_money", NAN, "(0, +inf)", "nan"), ("total_money", math.inf, "(0, +inf)", "inf"),
]


@pytest.mark.parametrize("entry", ["strategy", "simulation", "groups"])
@pytest.mark.parametrize("name, value, bounds, shown", BAD_SCALARS)
def test_scalars_outside_their_range_are_refused(ws, core, entry, name, value, bounds, shown):
    run = {"strategy": lambda **kw: strategy(ws, market(), **kw),
           "simulation": lambda **kw: simulation(ws, market(), **kw),
           "groups": lambda **kw: groups(core, market(), **kw)}[entry]
    with pytest.raises(ValueError, match="^" + re.escape(f"Argument '{name}' must lie in {bounds}, got {shown}") + "$"):
        run(**{name: value})


def test_lot_size_group_num_and_huge_integers(ws, core):
    m = market()
    for lot in (0, -200, 0.5):
        with pytest.raises(ValueError, match=re.escape("Argument 'lot_size' must lie in [1, +inf), got 0")
                           if lot != -200 else re.escape("got -200")):
            simulation(ws, m, lot_size=lot)
    for n in (0, 10001):
        with pytest.raises(ValueError, match="^group_num 取值范围 \\[1, 10000\\]$"):
            groups(core, m, group_num=n)
    big = 2**64
    for run, name in [(lambda v: strategy(ws, m, rolling_window=v), "rolling_window"),
                      (lambda v: simulation(ws, m, lot_size=v), "lot_size"),
                      (lambda v: groups(core, m, group_num=v), "group_num"),
                      (lambda v: ws._smooth_strategy_weights(m.weights, v), "rolling_window")]:
        with pytest.raises(ValueError, match=f"^Argument '{name}' is out of range: {big}$"):
            run(big)
        with pytest.raises(ValueError, match=f"^Argument '{name}' is out of range: {-big}$"):
            run(-big)
    with pytest.raises(ValueError, match=r"^Argument 'total_money' is out of range: 1{3}\d+\.\.\.$"):
        strategy(ws, m, total_money=int("1" * 400))
    with pytest.raises(ValueError, match=r"^Argument 'periods' is out of range: "):
        core.safe_sharpe(pd.Series([0.1, 0.2]), 2**2000)
    with pytest.raises(TypeError, match=r"^Argument 'series' has incorrect dtype .*got datetime64"):
        core.safe_sharpe(pd.Series(pd.to_datetime(["2024-01-02", "2024-01-03"])))
    # NumPy integers are read exactly, not through a double
    assert ws._smooth_strategy_weights(m.weights, np.uint64(1)) is m.weights
    with pytest.raises(ValueError, match="is out of range"):
        ws._smooth_strategy_weights(m.weights, np.uint64(2**64 - 1))


# --------------------------------------------------------------------------
# dtypes
# --------------------------------------------------------------------------


def _with_column(frame, values):
    out = frame.copy()
    out[out.columns[0]] = values
    return out


@pytest.mark.parametrize("make, shown", [
    (lambda f: f.apply(lambda c: pd.to_datetime(c.fillna(0) * 1e9)), "datetime64["),
    (lambda f: f.apply(lambda c: pd.to_timedelta(c.fillna(0), unit="D")), "timedelta64["),
    (lambda f: f.astype(np.complex128), "complex128"),
    (lambda f: f.astype(str), "str"),
    (lambda f: _with_column(f, pd.Timestamp("2024-01-02")), "datetime64["),
], ids=["datetime", "timedelta", "complex", "text", "one-datetime-column"])
def test_dtypes_that_are_not_numbers_are_refused(ws, core, make, shown):
    m = market()
    bad = make(m.frames["close_price"])
    expected = re.escape("Argument 'close_price' has incorrect dtype (expected float64, int or bool, got ") + r"[^)]*"
    expected += re.escape(shown)
    for run in (lambda: strategy(ws, m, close_price=bad), lambda: simulation(ws, m, close_price=bad),
                lambda: groups(core, m, close_price=bad),
                lambda: core._build_market_arrays(m.weights.index, m.weights.columns,
                                                  **{**m.frames, "close_price": bad})):
        with pytest.raises(TypeError, match=expected):
            run()
    text = m.frames["prev_close"].astype(object)
    text.iloc[0, 0] = "abc"
    with pytest.raises(TypeError, match=re.escape("Argument 'prev_close' has incorrect dtype (expected float64, "
                                                  "int or bool, got object): ")):
        simulation(ws, m, prev_close=text)
    with pytest.raises(TypeError, match=re.escape("Argument 'pnl_index' has incorrect type (expected pandas.Index, "
                                                  "got NoneType)")):
        core._build_market_arrays(None, m.weights.columns, **m.frames)


def test_numbers_of_nullable_and_object_dtypes_still_convert(ws):
    m = market()
    plain = strategy(ws, m)
    weights = m.weights.astype("Float64")
    as_object = m.weights.astype(object).where(m.weights.notna(), None)
    prev = m.frames["prev_close"].round().astype("Int64")
    expected = strategy(ws, m, prev_close=prev.astype(np.float64))
    for w in (weights, as_object):
        same((strategy(ws, m, w).daily_return,), (plain.daily_return,))
    same((strategy(ws, m, prev_close=prev).daily_return,), (expected.daily_return,))


def test_record_field_views_are_read_at_their_own_strides(ws):
    m = market()
    close = m.frames["close_price"]
    records = np.zeros(close.shape, dtype=[("v", "f8"), ("pad", "i4")])
    records["v"] = close.to_numpy()
    view = pd.DataFrame(records["v"], index=close.index, columns=close.columns, copy=False)
    same((simulation(ws, m, close_price=view),), (simulation(ws, m),))


def test_duplicate_columns_of_a_daily_table_are_refused(ws):
    total = pd.DataFrame(np.ones((3, 3)), columns=["daily_return", "daily_return", "index_daily_return"])
    with pytest.raises(ValueError, match="'daily_return' has 6 values where 3 were expected"):
        ws._build_total_backtesting_frame(total)


# --------------------------------------------------------------------------
# labels of another kind
# --------------------------------------------------------------------------


def _relabel(frame, rows=None, cols=None):
    out = frame.copy()
    if rows is not None:
        out.index = rows(frame.index)
    if cols is not None:
        out.columns = cols(frame.columns)
    return out


ROWS = {
    "DatetimeIndex": lambda i: pd.to_datetime(i, format="%Y%m%d"),
    "int": lambda i: i.astype(np.int64),
    "float": lambda i: i.astype(np.float64),
    "Timestamps": lambda i: pd.Index(list(pd.to_datetime(i, format="%Y%m%d")), dtype=object),
}


@pytest.mark.parametrize("kind", list(ROWS))
def test_labels_of_another_kind_are_read_like_the_market(ws, core, kind):
    m = sample_market(n_foreign_dates=0, n_foreign_codes=0, benchmarks=())
    int_codes = lambda c: c.astype(np.int64)  # noqa: E731 -- "000001" -> 1
    w = _relabel(m.weights, ROWS[kind], int_codes)
    plain = strategy(ws, m)
    same((strategy(ws, m, w).daily_return,), (plain.daily_return,))
    same((simulation(ws, m, w),), (simulation(ws, m),))
    frames = dict(m.frames, prev_close=_relabel(m.frames["prev_close"], ROWS[kind], int_codes))
    same((ws.calc_strategy_vwap_daily_return(m.weights, **frames),), (simulation(ws, m),))
    factor = m.weights.reindex_like(m.frames["close_price"])
    same((groups(core, m, _relabel(factor, ROWS[kind], int_codes)).group_daily_return,),
         (groups(core, m, factor).group_daily_return,))
    # the other way round: a date-time market read with text weights
    dated = {k: _relabel(f, ROWS["DatetimeIndex"]) for k, f in m.frames.items()}
    got = ws.calc_strategy_vwap_daily_return(m.weights, **dated)
    np.testing.assert_array_equal(got.to_numpy(), simulation(ws, m).to_numpy())


def test_labels_that_cannot_be_read_are_named(ws, core):
    m = market()
    with pytest.raises(ValueError, match=r"^Argument 'strategy_matrix' has row labels .* cannot be read as "
                                         r"dates \(\d+ of them\): 0, 1, 2"):
        strategy(ws, m, m.weights.reset_index(drop=True))
    text_codes = _relabel(m.frames["close_price"], cols=lambda c: c.astype(np.int64))
    with pytest.raises(ValueError, match=r"^Argument 'buy_price' has column labels .*: 'x'"):
        simulation(ws, m, close_price=text_codes, buy_price=_relabel(m.frames["buy_price"],
                                                                    cols=lambda c: ["x", *c[1:]]))
    # 20240102 and "20240102" become one date
    mixed = m.weights.copy()
    first = mixed.index[0]
    mixed.index = pd.Index([int(first), *mixed.index[1:-1], first], dtype=object)
    with pytest.raises(ValueError, match=f"'strategy_matrix' has a duplicate row label '{first}'"):
        strategy(ws, m, mixed)


def test_report_helpers_name_what_they_cannot_read(ws, core, tmp_path):
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected float, got list\)"):
        ws._format_num([0.1])
    for bad in ([0.1], pd.Series([[0.1]], index=[2020])):
        with pytest.raises(TypeError, match=r"^Argument 'annual_excess' has incorrect type \(expected "):
            ws._format_annual_excess(bad)
    with pytest.raises(TypeError, match=r"^Argument 'daily' has incorrect type \(expected DataFrame, got str\)"):
        ws._calc_yearly_performance_metrics("x")
    daily = pd.DataFrame({"daily_return": [0.01], "extra_daily_return": [0.0]}, index=pd.to_datetime(["2020-01-02"]))
    with pytest.raises(AttributeError, match="^Argument 'daily' needs a date-time row index"):
        ws._calc_yearly_performance_metrics(daily.reset_index(drop=True))
    with pytest.raises(KeyError, match="no column 'extra_daily_return'"):
        ws._calc_yearly_performance_metrics(daily[["daily_return"]])
    m = market()
    for bad in (b"chart.png", 3):
        with pytest.raises(TypeError, match=r"^Argument 'plot_save_path' has incorrect type \(expected str or os"):
            groups(core, m, plot_save_path=bad)
        with pytest.raises(TypeError, match=r"^Argument 'plot_save_path' has incorrect type \(expected str or os"):
            strategy(ws, m, plot_save_path=bad)


def test_conversion_errors_carry_the_cause_not_a_traceback(ws):
    m = market()
    weights = m.weights.astype(object)
    weights.iloc[0, 0] = "x"
    with pytest.raises(TypeError) as info:
        strategy(ws, m, weights=weights)
    text = str(info.value)
    assert text.startswith("Argument 'strategy_matrix' has incorrect dtype") and "Traceback" not in text
    assert text.endswith("ValueError: could not convert string to float: 'x'")


def test_small_helpers_check_what_they_are_given(ws, core, tmp_path):
    with pytest.raises(TypeError,
                       match=r"^Argument 'strategy_matrix' has incorrect type \(expected DataFrame, got NoneType"):
        ws._smooth_strategy_weights(None, 0)
    with pytest.raises(TypeError, match=r"^Argument 'frame' has incorrect type \(expected DataFrame, got int"):
        core._with_datetime_index(5)
    with pytest.raises(TypeError, match=r"^Argument 'daily_return' has incorrect type \(expected Series, got int"):
        ws._period_return_drawdown_calmar(5)
    m = market()
    with pytest.raises(ValueError, match="^Argument 'plot_save_path' must not contain a NUL character"):
        strategy(ws, m, plot_save_path=str(tmp_path / "a\0b.png"))
    for run in (lambda **kw: strategy(ws, m, **kw), lambda **kw: groups(core, m, **kw)):
        with pytest.raises(ValueError, match="^Argument 'plot_save_path' must not be empty"):
            run(plot_save_path="", plot_image_kind="long")


def test_charts_of_infinite_returns_draw_quietly(ws, tmp_path):
    """Warnings are errors here: drawing the gaps an infinite price leaves must not warn."""
    m = market()
    buy = m.frames["buy_price"].copy()
    buy.iloc[3:, :2] = np.inf
    res = strategy(ws, m, buy_price=buy, plot_image_kind="large", plot_save_path=str(tmp_path / "s.png"))
    assert not np.isfinite(res.daily_return).all()
    assert (tmp_path / "s.png").exists() and (tmp_path / "s_weekly_net_value.png").exists()
    assert np.geterr()["invalid"] == "warn"  # the chart's error settings are put back


def test_labels_truth_values_and_undated_rows(ws, core):
    """Float date labels compare through NumPy booleans; pandas' NA has no truth value; rows
    without a date belong to no year."""
    m = market()
    kw = {name: f.set_axis(f.index.astype(float), axis=0) for name, f in frames(m, {}).items()}
    res = strategy(ws, m, weights=m.weights.set_axis(m.weights.index.astype(float), axis=0), **kw)
    assert len(res.daily_return) == len(strategy(ws, m).daily_return)
    with pytest.raises(TypeError, match=r"^Argument 'ascending' has incorrect type \(expected bool, got NAType\)"):
        groups(core, m, ascending=pd.NA)
    daily = pd.DataFrame({"daily_return": [0.01, 0.02, 0.03], "extra_daily_return": 0.0},
                         index=pd.to_datetime(["2020-01-02", None, "2021-01-04"]))
    table = ws._calc_yearly_performance_metrics(daily)
    assert list(table.index) == [2020, 2021]
    assert table["strategy_return"].tolist() == [0.01, 0.03]
