"""The strategy backtest entry: argument checks, cleaning and cutting, and the engine call."""

from __future__ import annotations

import math
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import BacktestData, BacktestService, StrategyBacktestResult, _weightsim, synthetic

from support.service import assert_unchanged, bundle, market, rows_between, snapshot, store_dir  # noqa: F401  (fixtures)

DATES = market().dates
MARKET = [  # engine keyword -> dataset key, in call order
    ("can_buy_stock", "can_buy_stock"), ("cant_sell_stock", "cant_sell_stock"),
    ("split_factor", "rq_get_split"), ("dividend_factor", "rq_get_dividend"),
    ("close_price", "close_price"), ("prev_close", "prev_close"),
    ("buy_price", "buy_price"), ("sell_price", "sell_price"),
]
CALL_ORDER = ["strategy_matrix"] + [k for k, _ in MARKET] + [
    "benchmark_dict", "benchmark_names", "rolling_window", "total_money", "fee", "rule_fee",
    "plot_image_kind", "plot_save_path", "strategy_name", "plot_title"]


@pytest.fixture(scope="module")
def weights():
    return synthetic.momentum_weights(market(), top_n=5, lookback=5)


def run(bundle, strategy, start=DATES[0], end=DATES[-1], output_dir=None, name="m", **kwargs):
    kwargs.setdefault("plot", None)
    return BacktestService(None).backtest_strategy(strategy, bundle, start, end, output_dir, name, **kwargs)


@pytest.fixture
def recorder(monkeypatch):
    calls = []
    core = SimpleNamespace(daily_return=object(), cumulative_return=object(), stats=object(),
                           benchmark_summary=object(), plot_paths=object())

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        return core

    monkeypatch.setattr(_weightsim, "run_strategy_backtest_core", fake)
    return SimpleNamespace(calls=calls, core=core)


def _same_value(a, b) -> bool:
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def assert_same_result(actual, expected, name):
    assert isinstance(actual, StrategyBacktestResult) and actual.strategy_name == name
    pd.testing.assert_series_equal(actual.daily_return, expected.daily_return, check_exact=True)
    pd.testing.assert_series_equal(actual.cumulative_return, expected.cumulative_return, check_exact=True)
    assert list(actual.stats) == list(expected.stats)
    assert all(_same_value(actual.stats[k], v) for k, v in expected.stats.items()), (actual.stats, expected.stats)
    pd.testing.assert_frame_equal(actual.benchmark_summary, expected.benchmark_summary, check_exact=True)
    assert actual.plot_paths == expected.plot_paths


@pytest.mark.parametrize(
    "lo, hi, options",
    [
        (DATES[0], DATES[-1], {}),
        (DATES[6], DATES[30], {"benchmark": "000300", "rolling_window": 3}),
        (DATES[2], DATES[25], {"benchmark": "all", "total_money": 1e6, "fee": 0.001, "rule_fee": 0.0}),
    ],
)
def test_result_equals_a_direct_engine_call(bundle, weights, lo, hi, options):
    snap = snapshot(bundle.data)
    weights_copy = weights.copy()
    result = run(bundle, weights, lo, hi, name="momentum", **options)
    data = bundle.data
    expected = _weightsim.run_strategy_backtest_core(
        strategy_matrix=rows_between(weights, lo, hi),
        **{arg: rows_between(data[key], lo, hi) for arg, key in MARKET},
        benchmark_dict={n: rows_between(s, lo, hi) for n, s in data["benchmark_dict"].items()},
        benchmark_names=options.get("benchmark", "000852"), rolling_window=options.get("rolling_window", 0),
        total_money=options.get("total_money", 1e8), fee=options.get("fee", 0.0001),
        rule_fee=options.get("rule_fee", 0.0005), plot_image_kind=None, plot_save_path=None,
        strategy_name="momentum", plot_title="momentum")
    assert len(expected.daily_return) > 0
    assert_same_result(result, expected, "momentum")
    pd.testing.assert_frame_equal(weights, weights_copy, check_exact=True)
    assert_unchanged(data, snap)


@pytest.mark.parametrize(
    "strategy, options, error, message",
    [
        (None, {}, ValueError, "策略权重矩阵为空"),
        ("rows0", {"plot": "large", "output_dir": None, "name": ""}, ValueError, "策略权重矩阵为空"),
        ("rows0", {"start": "bad", "end": None}, ValueError, "策略权重矩阵为空"),
        ("w", {"plot": "large", "output_dir": None}, ValueError, "plot 非 None 时,output_dir 必须提供"),
        ("w", {"plot": "long", "output_dir": "", "name": ""}, ValueError, "plot 非 None 时,output_dir 必须提供"),
        ("w", {"plot": "large", "output_dir": "out", "name": ""}, ValueError, "plot 非 None 时,plot_filename 必须提供"),
        ("w", {"plot": "large", "output_dir": "out", "name": "", "start": "bad"}, ValueError,
         "plot 非 None 时,plot_filename 必须提供"),
        ("w", {"name": None}, TypeError, "Argument 'plot_filename' has incorrect type (expected str, got NoneType)"),
        ("w", {"name": 7}, TypeError, "Argument 'plot_filename' has incorrect type (expected str, got int)"),
        ("w", {"plot": 3}, TypeError, "Argument 'plot' has incorrect type (expected str, got int)"),
        ("w", {"rolling_window": "2"}, TypeError, "Argument 'rolling_window' has incorrect type"),
        ("w", {"rolling_window": None}, TypeError, "Argument 'rolling_window' has incorrect type"),
        ("w", {"start": "2020-13-45"}, ValueError, "无法识别的日期: '2020-13-45'"),
        ("w", {"end": [20200101]}, TypeError, "Argument 'end_date' has incorrect type (expected str or int, got list)"),
    ],
)
def test_argument_checks(bundle, weights, recorder, strategy, options, error, message):
    strategy = {"w": weights, "rows0": weights.iloc[:0], None: None}[strategy]
    with pytest.raises(error) as info:
        run(bundle, strategy, **options)
    assert str(info.value).startswith(message)
    assert recorder.calls == []


def test_keywords_passed_to_the_engine(bundle, weights, recorder):
    benchmark = ["000300", "000905"]
    lo, hi = DATES[4], DATES[20]
    result = BacktestService(None).backtest_strategy(
        weights, bundle, int(lo), f"{hi[:4]}-{hi[4:6]}-{hi[6:]}", "./strategy_out", "momentum", benchmark=benchmark,
        rolling_window=np.float64(2.7), total_money=5e5, fee=0.002, rule_fee=0.003, plot="large")
    [(args, kw)] = recorder.calls
    assert args == () and list(kw) == CALL_ORDER
    assert kw["plot_save_path"] == str(Path("./strategy_out") / "momentum.png")
    assert kw["strategy_name"] == kw["plot_title"] == "momentum" and kw["plot_image_kind"] == "large"
    assert kw["benchmark_names"] is benchmark and benchmark == ["000300", "000905"]
    assert kw["rolling_window"] == 2 and type(kw["rolling_window"]) is int
    assert (kw["total_money"], kw["fee"], kw["rule_fee"]) == (5e5, 0.002, 0.003)
    pd.testing.assert_frame_equal(kw["strategy_matrix"], rows_between(weights, lo, hi), check_exact=True)
    for arg, key in MARKET:
        pd.testing.assert_frame_equal(kw[arg], rows_between(bundle.data[key], lo, hi), check_exact=True)
    assert list(kw["benchmark_dict"]) == ["000852", "000300", "000905"]
    for n, s in kw["benchmark_dict"].items():
        pd.testing.assert_series_equal(s, rows_between(bundle.data["benchmark_dict"][n], lo, hi), check_exact=True)
    core = recorder.core
    assert isinstance(result, StrategyBacktestResult) and result.strategy_name == "momentum"
    assert (result.daily_return, result.cumulative_return, result.stats, result.benchmark_summary,
            result.plot_paths) == (core.daily_return, core.cumulative_return, core.stats,
                                   core.benchmark_summary, core.plot_paths)


@pytest.mark.parametrize("output_dir", [Path("charts") / "sub", "charts"])
def test_plot_path_and_no_path_without_plot(bundle, weights, recorder, output_dir):
    run(bundle, weights, output_dir=output_dir, name="s1", plot="long")
    run(bundle, weights, output_dir=output_dir, name="s1", plot=None)
    run(bundle, weights, output_dir=None, name="", plot=None)
    paths = [kw["plot_save_path"] for _, kw in recorder.calls]
    assert paths == [str(Path(output_dir) / "s1.png"), None, None]


@pytest.mark.parametrize("start, end", [(20200106, "20200131"), ("2020-01-06", 20200131.0),
                                        (pd.Timestamp("2020-01-06"), "2020/01/31")])
def test_date_forms_give_the_same_cut(bundle, weights, recorder, start, end):
    run(bundle, weights, start, end)
    [(_, kw)] = recorder.calls
    expected = [d for d in DATES if "20200106" <= d <= "20200131"]
    assert list(kw["strategy_matrix"].index) == expected
    assert all(list(kw[arg].index) == expected for arg, _ in MARKET)
    assert all(list(s.index) == expected for s in kw["benchmark_dict"].values())


def test_weights_outside_the_range_reach_the_engine_empty(bundle, weights, recorder, monkeypatch):
    run(bundle, weights, "20210101", "20211231")
    [(_, kw)] = recorder.calls
    assert kw["strategy_matrix"].shape == (0, weights.shape[1])
    monkeypatch.undo()
    result = run(bundle, weights.iloc[:10], DATES[20], DATES[-1])
    assert len(result.daily_return) == 0 and all(math.isnan(v) for v in result.stats.values())


def test_rolling_window_is_truncated(bundle, weights):
    smoothed = run(bundle, weights, rolling_window=2)
    assert not smoothed.daily_return.equals(run(bundle, weights).daily_return)
    assert_same_result(run(bundle, weights, rolling_window=2.7), smoothed, "m")


@pytest.mark.parametrize("mess", ["integer codes", "datetime index", "rows descending", "all"])
def test_weights_are_cleaned_without_touching_the_input(bundle, weights, mess):
    messy = weights.copy()
    if mess in ("integer codes", "all"):
        messy.columns = [int(c) for c in weights.columns]
        assert any(c < 100000 for c in messy.columns)  # codes that need their leading zeros back
    if mess in ("datetime index", "all"):
        messy.index = pd.to_datetime(messy.index)
    if mess in ("rows descending", "all"):
        messy = messy.iloc[::-1]
    kept = messy.copy()
    expected = run(bundle, weights, DATES[3], DATES[33])
    assert_same_result(run(bundle, messy, int(DATES[3]), DATES[33]), expected, "m")
    pd.testing.assert_frame_equal(messy, kept, check_exact=True)


@pytest.mark.parametrize("missing", [key for _, key in MARKET] + ["benchmark_dict"])
def test_missing_market_entry_fails_before_the_engine(bundle, weights, recorder, missing):
    data = dict(bundle.data)
    del data[missing]
    with pytest.raises(KeyError, match=missing):
        run(bundle=BacktestData(data=data), strategy=weights)
    assert recorder.calls == []


def test_engine_errors_reach_the_caller_unchanged(bundle, weights, monkeypatch):
    error = RuntimeError("from the engine")

    def fail(**kwargs):
        raise error

    monkeypatch.setattr(_weightsim, "run_strategy_backtest_core", fail)
    with pytest.raises(RuntimeError) as info:
        run(bundle, weights)
    assert info.value is error
