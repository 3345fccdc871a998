"""The factor group backtest entry: argument checks, the kernel call and the public result."""

from __future__ import annotations

import math
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import BacktestData, BacktestResult, BacktestService, _core
from vantorel.backtest._store import clean_matrix

from support.service import assert_unchanged, bundle, market, rows_between, snapshot, store_dir  # noqa: F401  (fixtures)

DATES = market().dates
MARKET = [  # kernel keyword -> dataset key, in call order
    ("close_price_valid", "close_price_valid"), ("can_buy_stock", "can_buy_stock"),
    ("cant_sell_stock", "cant_sell_stock"), ("split_factor", "rq_get_split"),
    ("dividend_factor", "rq_get_dividend"), ("close_price", "close_price"), ("prev_close", "prev_close"),
    ("buy_price", "buy_price"), ("sell_price", "sell_price"),
]
OPTIONAL = [("industry_matrix", "industry_matrix"), ("forward_return_rank_cache", "forward_return_rank_cache"),
            ("open_price", "open_price")]
CALL_ORDER = ["factor_matrix", "industry_matrix"] + [k for k, _ in MARKET] + [
    "benchmark_dict", "forward_return_rank_cache", "open_price", "benchmark_names", "rolling_window",
    "ascending", "group_num", "total_money", "fee", "rule_fee", "plot_image_kind", "plot_save_path",
    "factor_name", "plot_title"]
COMPONENT_300 = "component__rq_index_components_new_000300_xshg"


@pytest.fixture(scope="module")
def factor():
    """Five-day reversal with codes as integers and the columns named, as users tend to pass it."""
    close = market().frames["close_price"]
    f = -(close / close.shift(5) - 1)
    f.columns = pd.Index([int(c) for c in f.columns], name="rev5")
    return f


def run(bundle, factor, start=DATES[0], end=DATES[-1], output_dir="out", name="f1", **kwargs):
    return BacktestService(None).backtest(factor, bundle, start, end, output_dir, name, **kwargs)


@pytest.fixture
def recorder(monkeypatch):
    calls = []
    core = SimpleNamespace(plot_paths={"main": {"primary": "p.png"}}, best_group=4.0, group_daily_return=object(),
                           group_cumulative_return=object(), rank_ic=object(), benchmark_summary=object())

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        return core

    monkeypatch.setattr(_core, "run_alpha_vwap_backtest_core", fake)
    return SimpleNamespace(calls=calls, core=core)


def test_end_to_end_equals_a_direct_kernel_call(bundle, factor, tmp_path):
    snap = snapshot(bundle.data)
    kept = factor.copy()
    lo, hi = DATES[3], DATES[35]
    options = dict(group_num=4, benchmark=["000300", "000852"], universe="000905", rolling_window=3,
                   ascending=True, total_money=5e6, fee=0.0002, rule_fee=0.001, plot="large")
    result = run(bundle, factor, int(lo), hi, tmp_path / "charts", "rev", **options)

    data = dict(BacktestService._slice_data(bundle.data, lo, hi))
    BacktestService(None)._apply_universe_filter(data, "000905", lo, hi)
    expected = _core.run_alpha_vwap_backtest_core(
        factor_matrix=rows_between(clean_matrix(factor), lo, hi),
        **{arg: data[key] for arg, key in MARKET + OPTIONAL}, benchmark_dict=data["benchmark_dict"],
        benchmark_names=["000300", "000852"], rolling_window=3, ascending=True, group_num=4, total_money=5e6,
        fee=0.0002, rule_fee=0.001, plot_image_kind=None, factor_name="rev5")

    assert isinstance(result, BacktestResult) and result.factor_name == "rev5"
    assert result.best_group == expected.best_group and isinstance(result.best_group, int)
    pd.testing.assert_frame_equal(result.group_daily_return, expected.group_daily_return, check_exact=True)
    pd.testing.assert_frame_equal(result.group_cumulative_return, expected.group_cumulative_return,
                                  check_exact=True)
    pd.testing.assert_series_equal(result.rank_ic, expected.rank_ic, check_exact=True)
    pd.testing.assert_frame_equal(result.benchmark_summary, expected.benchmark_summary, check_exact=True)
    assert list(result.benchmark_summary["benchmark_name"].unique()) == ["000300", "000852"]
    assert result.plot_paths == {"main": str(tmp_path / "charts" / "rev.png"),
                                 "analytics": str(tmp_path / "charts" / "rev_analytics.png")}
    assert (tmp_path / "charts" / "rev.png").stat().st_size > 0
    assert (tmp_path / "charts" / "rev_analytics.png").stat().st_size > 0
    # the analytics of the kernel, passed on as they are
    pd.testing.assert_series_equal(result.ic_summary, expected.ic_summary, check_exact=True)
    pd.testing.assert_frame_equal(result.ic_decay, expected.ic_decay, check_exact=True)
    pd.testing.assert_series_equal(result.long_short.net_value, expected.long_short.net_value, check_exact=True)
    assert result.monotonicity == expected.monotonicity
    pd.testing.assert_frame_equal(factor, kept, check_exact=True)
    assert_unchanged(bundle.data, snap)


@pytest.mark.parametrize(
    "which, options, error, message",
    [
        (None, {}, ValueError, "因子宽表为空"),
        ("rows0", {"group_num": 101}, ValueError, "因子宽表为空"),
        ("rows0", {"group_num": 1, "start": "bad", "universe": "999999"}, ValueError, "因子宽表为空"),
        ("f", {"group_num": 1}, ValueError, "group_num 取值范围 [2, 100]"),
        ("f", {"group_num": 101}, ValueError, "group_num 取值范围 [2, 100]"),
        ("f", {"group_num": 1.99}, ValueError, "group_num 取值范围 [2, 100]"),
        ("f", {"group_num": -3, "start": "bad"}, ValueError, "group_num 取值范围 [2, 100]"),
        ("f", {"name": None}, TypeError, "Argument 'plot_filename' has incorrect type (expected str, got NoneType)"),
        ("f", {"name": Path("x")}, TypeError, "Argument 'plot_filename' has incorrect type"),
        ("f", {"plot": None}, TypeError, "Argument 'plot' has incorrect type (expected str, got NoneType)"),
        ("f", {"group_num": "3"}, TypeError, "Argument 'group_num' has incorrect type"),
        ("rows0", {"group_num": None}, TypeError, "Argument 'group_num' has incorrect type"),
        ("f", {"rolling_window": "2"}, TypeError, "Argument 'rolling_window' has incorrect type"),
        ("f", {"start": "2020-13-45"}, ValueError, "无法识别的日期: '2020-13-45'"),
        ("f", {"universe": "999999"}, ValueError, "不支持的选股范围: 999999"),
    ],
)
def test_argument_checks(bundle, factor, recorder, which, options, error, message):
    f = {"f": factor, "rows0": factor.iloc[:0], None: None}[which]
    with pytest.raises(error) as info:
        run(bundle, f, **options)
    assert str(info.value).startswith(message)
    assert recorder.calls == []


@pytest.mark.parametrize("group_num, passed", [(2, 2), (100, 100), (2.9, 2), (100.7, 100), (np.int64(7), 7)])
def test_group_count_bounds_and_truncation(bundle, factor, recorder, group_num, passed):
    run(bundle, factor, group_num=group_num)
    [(_, kw)] = recorder.calls
    assert kw["group_num"] == passed and type(kw["group_num"]) is int


def test_keywords_passed_to_the_kernel(bundle, factor, recorder):
    benchmark = ["000300", "000905"]
    lo, hi = DATES[4], DATES[20]
    result = BacktestService(None).backtest(
        factor, bundle, int(lo), f"{hi[:4]}-{hi[4:6]}-{hi[6:]}", "./factor_out", "alpha", group_num=5.5,
        benchmark=benchmark, rolling_window=np.float64(2.7), ascending=1, total_money=5e5, fee=0.002,
        rule_fee=0.003, plot="large")
    [(args, kw)] = recorder.calls
    assert args == () and list(kw) == CALL_ORDER
    assert kw["plot_save_path"] == str(Path("./factor_out") / "alpha.png")
    assert kw["plot_title"] == "alpha" and kw["plot_image_kind"] == "large" and kw["factor_name"] == "rev5"
    assert kw["benchmark_names"] is benchmark and benchmark == ["000300", "000905"]
    assert kw["ascending"] is True
    assert (kw["group_num"], kw["rolling_window"]) == (5, 2) and type(kw["rolling_window"]) is int
    assert (kw["total_money"], kw["fee"], kw["rule_fee"]) == (5e5, 0.002, 0.003)
    pd.testing.assert_frame_equal(kw["factor_matrix"], rows_between(clean_matrix(factor), lo, hi), check_exact=True)
    assert list(kw["factor_matrix"].columns) == list(market().codes)
    for arg, key in MARKET + OPTIONAL:
        pd.testing.assert_frame_equal(kw[arg], rows_between(bundle.data[key], lo, hi), check_exact=True)
    assert list(kw["benchmark_dict"]) == ["000852", "000300", "000905"]
    for n, s in kw["benchmark_dict"].items():
        pd.testing.assert_series_equal(s, rows_between(bundle.data["benchmark_dict"][n], lo, hi), check_exact=True)
    core = recorder.core
    assert isinstance(result, BacktestResult)
    assert (result.factor_name, result.best_group, result.plot_paths) == ("rev5", 4, {"main": "p.png"})
    assert (result.group_daily_return, result.group_cumulative_return, result.rank_ic, result.benchmark_summary) == (
        core.group_daily_return, core.group_cumulative_return, core.rank_ic, core.benchmark_summary)


@pytest.mark.parametrize("ascending, passed", [(False, False), (0, False), ("", False), ("no", True), ([1], True)])
def test_ascending_by_truth_value(bundle, factor, recorder, ascending, passed):
    run(bundle, factor, ascending=ascending)
    assert recorder.calls[0][1]["ascending"] is passed


def test_universe_narrows_close_price_valid(bundle, factor, recorder):
    snap = snapshot(bundle.data)
    lo, hi = DATES[2], DATES[30]
    run(bundle, factor, lo, hi, universe="000300")
    [(_, kw)] = recorder.calls
    valid = rows_between(bundle.data["close_price_valid"], lo, hi)
    member = rows_between(bundle.data[COMPONENT_300], lo, hi).reindex(index=valid.index, columns=valid.columns)
    got = kw["close_price_valid"]
    inside = (member > 0).to_numpy()
    assert got.isna().to_numpy()[~inside].all()
    np.testing.assert_array_equal(got.to_numpy()[inside], valid.to_numpy()[inside])
    assert 0 < inside.sum() < inside.size
    for arg, key in MARKET[1:]:
        pd.testing.assert_frame_equal(kw[arg], rows_between(bundle.data[key], lo, hi), check_exact=True)
    assert_unchanged(bundle.data, snap)


def test_optional_entries_absent_reach_the_kernel_as_none(bundle, factor, recorder):
    data = {k: v for k, v in bundle.data.items() if k not in dict(OPTIONAL).values()}
    run(BacktestData(data=data), factor)
    [(_, kw)] = recorder.calls
    assert all(kw[arg] is None for arg, _ in OPTIONAL)


@pytest.mark.parametrize("missing", [key for _, key in MARKET] + ["benchmark_dict"])
def test_missing_market_entry_fails_before_the_kernel(bundle, factor, recorder, missing):
    data = dict(bundle.data)
    del data[missing]
    with pytest.raises(KeyError, match=missing):
        run(BacktestData(data=data), factor)
    assert recorder.calls == []


def test_factor_outside_the_range_reaches_the_kernel_empty(bundle, factor, recorder):
    run(bundle, factor, "20210101", "20211231")
    [(_, kw)] = recorder.calls
    assert kw["factor_matrix"].shape == (0, factor.shape[1])


def test_kernel_errors_reach_the_caller_unchanged(bundle, factor, monkeypatch):
    error = RuntimeError("from the kernel")

    def fail(**kwargs):
        raise error

    monkeypatch.setattr(_core, "run_alpha_vwap_backtest_core", fail)
    with pytest.raises(RuntimeError) as info:
        run(bundle, factor)
    assert info.value is error


def _named(columns_name=None, name=None) -> pd.DataFrame:
    f = pd.DataFrame({"000001": [1.0]}, index=["20200102"])
    f.columns.name = columns_name
    if name is not None:
        f.name = name
    return f


@pytest.mark.parametrize(
    "frame, expected",
    [
        (_named("alpha1"), "alpha1"),
        (_named("alpha1", "other"), "alpha1"),
        (_named(None, "beta"), "beta"),
        (_named("", "beta"), "beta"),
        (_named(7), "7"),
        (_named(0, 0), "factor"),
        (_named(None, ""), "factor"),
        (_named(), "factor"),
    ],
)
def test_factor_name(bundle, recorder, frame, expected):
    assert BacktestService._factor_name(frame) == expected
    assert run(bundle, frame).factor_name == expected
    assert recorder.calls[0][1]["factor_name"] == expected


@pytest.mark.parametrize(
    "best, expected",
    [(float("nan"), -1), (None, -1), (np.float64("nan"), -1), (3.0, 3), (np.int64(2), 2), (3.7, 3), (0, 0)],
)
def test_best_group(best, expected):
    core = SimpleNamespace(plot_paths={}, best_group=best, group_daily_return=None, group_cumulative_return=None,
                           rank_ic=None, benchmark_summary=None)
    result = BacktestService._to_public_result(core, "f")
    assert result.best_group == expected and type(result.best_group) is int


@pytest.mark.parametrize(
    "paths, expected",
    [
        (None, {}),
        ({}, {}),
        ({"main": {"primary": "a.png"}}, {"main": "a.png"}),
        ({"z": {"primary": "z.png", "other": "o.png"}, "a": {}, "m": {"x": "y"}}, {"z": "z.png", "a": "", "m": ""}),
    ],
)
def test_public_result(paths, expected):
    fields = dict(group_daily_return=object(), group_cumulative_return=object(), rank_ic=object(),
                  benchmark_summary=object())
    core = SimpleNamespace(plot_paths=paths, best_group=2.0, **fields)
    result = BacktestService._to_public_result(core, "因子")
    assert isinstance(result, BacktestResult)
    assert (result.factor_name, result.best_group) == ("因子", 2)
    assert result.plot_paths == expected and list(result.plot_paths) == list(expected)
    assert result.plot_paths is not paths
    assert all(getattr(result, k) is v for k, v in fields.items())


def test_public_result_needs_a_text_name():
    core = SimpleNamespace(plot_paths={}, best_group=math.nan, group_daily_return=None,
                           group_cumulative_return=None, rank_ic=None, benchmark_summary=None)
    with pytest.raises(TypeError):
        BacktestService._to_public_result(core, 3)
