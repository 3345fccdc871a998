"""Argument handling of the strategy engine: types, labels, layouts, dtypes,
empty inputs, and inputs left untouched."""

from __future__ import annotations

import copy
import math
import re

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st

from support import assert_result_close, assert_series_close, frames_equal, reference as ref
from support.markets import markets, sample_market
from support.reference import EMPTY_STATS_KEYS, MARKET_ARGS

NAN = float("nan")


def market_kwargs(m):
    return dict(zip(MARKET_ARGS, m.market_args(), strict=True))


def run(ws, m, **kw):
    return ws.run_strategy_backtest_core(m.weights, **market_kwargs(m), **kw)


def vwap(ws, m, **kw):
    return ws.calc_strategy_vwap_daily_return(m.weights, **market_kwargs(m), **kw)


def results_identical(a, b):
    pd.testing.assert_series_equal(a.daily_return, b.daily_return, check_exact=True, check_index_type=False)
    pd.testing.assert_series_equal(a.cumulative_return, b.cumulative_return, check_exact=True,
                                   check_index_type=False)
    assert list(a.stats) == list(b.stats)
    for key in a.stats:
        assert a.stats[key] == b.stats[key] or (math.isnan(a.stats[key]) and math.isnan(b.stats[key])), key
    pd.testing.assert_frame_equal(a.benchmark_summary, b.benchmark_summary, check_exact=True,
                                  check_index_type=False)


# --------------------------------------------------------------------------
# layouts, orders and dtypes
# --------------------------------------------------------------------------


def _relaid(frame: pd.DataFrame, rng: np.random.Generator, how: str) -> pd.DataFrame:
    rows = list(rng.permutation(np.array(list(frame.index), dtype=object)))
    cols = list(rng.permutation(np.array(list(frame.columns), dtype=object)))
    if how == "shuffled":
        return frame.loc[rows, cols]
    values = frame.to_numpy()
    if how == "C":
        return pd.DataFrame(np.ascontiguousarray(values), index=frame.index, columns=frame.columns, copy=False)
    if how == "F":
        return pd.DataFrame(np.asfortranarray(values), index=frame.index, columns=frame.columns, copy=False)
    if how == "strided":
        # a view on every other row of a larger array
        big = np.empty((2 * values.shape[0], values.shape[1]), dtype=values.dtype)
        big[::2] = values
        return pd.DataFrame(big[::2], index=frame.index, columns=frame.columns, copy=False)
    raise AssertionError(how)


def _as_kind(frame: pd.DataFrame, kind: str) -> pd.DataFrame:
    truth = frame.to_numpy(dtype=np.float64)
    truth = (truth != 0) & ~np.isnan(truth)
    if kind == "bool":
        return pd.DataFrame(truth, index=frame.index, columns=frame.columns)
    if kind == "int":
        return pd.DataFrame(truth.astype(np.int64) * 3, index=frame.index, columns=frame.columns)
    return pd.DataFrame(truth.astype(np.float64), index=frame.index, columns=frame.columns)


@given(m=markets(with_benchmarks=True), how=st.sampled_from(["shuffled", "C", "F", "strided"]),
       kinds=st.tuples(st.sampled_from(["bool", "int", "float"]), st.sampled_from(["bool", "int", "float"])),
       seed=st.integers(0, 2**16))
def test_results_do_not_depend_on_layout_order_or_feasibility_dtype(ws, m, how, kinds, seed):
    rng = np.random.default_rng(seed)
    base = market_kwargs(m)
    # NaN feasibility cells block, like 0 / False: express them as such first
    base["can_buy_stock"] = _as_kind(base["can_buy_stock"], "float")
    cant = base["cant_sell_stock"].to_numpy(dtype=np.float64)
    base["cant_sell_stock"] = pd.DataFrame(np.where(np.isnan(cant), 1.0, cant), index=base["cant_sell_stock"].index,
                                           columns=base["cant_sell_stock"].columns)
    other = {name: _relaid(frame, rng, how) for name, frame in base.items()}
    other["can_buy_stock"] = _as_kind(other["can_buy_stock"], kinds[0])
    other["cant_sell_stock"] = _as_kind(other["cant_sell_stock"], kinds[1])
    weights = m.weights if how == "shuffled" else _relaid(m.weights, rng, how)

    a = ws.calc_strategy_vwap_daily_return(m.weights, **base)
    b = ws.calc_strategy_vwap_daily_return(weights, **other)
    pd.testing.assert_series_equal(a, b, check_exact=True, check_index_type=False)

    a = ws.run_strategy_backtest_core(m.weights, **base, benchmark_dict=m.benchmark_dict)
    b = ws.run_strategy_backtest_core(weights, **other, benchmark_dict=m.benchmark_dict)
    results_identical(a, b)


@given(m=markets(allow_inf=False), seed=st.integers(0, 2**16))
def test_weight_column_order_only_reorders_the_sums(ws, m, seed):
    rng = np.random.default_rng(seed)
    cols = list(rng.permutation(np.array(list(m.weights.columns), dtype=object)))
    expected, scale = ref.vwap_daily_return(*m.args(), return_scale=True)
    got = ws.calc_strategy_vwap_daily_return(m.weights[cols], *m.market_args())
    assert_series_close(got, expected, scale=scale.to_numpy())


@pytest.mark.parametrize("dtype", [np.float32, np.int64])
def test_prices_and_weights_of_other_numeric_dtypes(ws, dtype):
    m = sample_market(p_nan_price=0.0, p_nan_weight=0.0, p_split=0.0, p_dividend=0.0, weight_mode="equal")
    kw = market_kwargs(m)
    for name in ("close_price", "prev_close", "buy_price", "sell_price"):
        kw[name] = (kw[name] * 100).round().astype(dtype)
    w = m.weights.astype(np.float32) if dtype == np.float32 else (m.weights > 0).astype(np.int64)
    got = ws.calc_strategy_vwap_daily_return(w, **kw)
    expected, scale = ref.vwap_daily_return(w.astype(np.float64), *[
        kw[name].astype(np.float64) if kw[name].dtypes.iloc[0] != np.dtype(bool) else kw[name] for name in MARKET_ARGS],
        return_scale=True)
    assert_series_close(got, expected, scale=scale.to_numpy())


# --------------------------------------------------------------------------
# inputs are never changed, outputs are the caller's own
# --------------------------------------------------------------------------


def test_inputs_are_left_unchanged(ws):
    m = sample_market(p_inf_weight=0.1, p_inf_price=0.05, can_buy_kind="float_nan", cant_sell_kind="int",
                      layouts=("F", "C", "blocks"), shuffle_columns=True, p_drop_label=0.1)
    before = copy.deepcopy((m.weights, m.frames, m.benchmark_dict))

    run(ws, m, benchmark_dict=m.benchmark_dict, rolling_window=3)
    run(ws, m, benchmark_dict=m.benchmark_dict)
    vwap(ws, m)
    ws._smooth_strategy_weights(m.weights, 2)
    table = pd.DataFrame({"daily_return": [0.01, NAN, 0.02], "index_daily_return": [0.0, 0.01, NAN]},
                         index=["20240102", "20240103", "20240104"])
    table_before = table.copy(deep=True)
    total = ws._build_total_backtesting_frame(table)
    total_before = total.copy(deep=True)
    ws.calc_strategy_stats(total, m.weights)

    assert frames_equal(m.weights, before[0])
    for name in MARKET_ARGS:
        assert frames_equal(m.frames[name], before[1][name]), name
    assert list(m.benchmark_dict) == list(before[2])
    for name, series in m.benchmark_dict.items():
        assert frames_equal(series, before[2][name]), name
    assert frames_equal(table, table_before)
    assert frames_equal(total, total_before)


def test_results_do_not_share_memory_with_inputs(ws):
    m = sample_market()
    w_before = m.weights.copy(deep=True)
    close_before = m.frames["close_price"].copy(deep=True)

    smoothed = ws._smooth_strategy_weights(m.weights, 2)
    smoothed.iloc[:, :] = 123.0
    returns = vwap(ws, m)
    returns.iloc[:] = 123.0
    result = run(ws, m, benchmark_dict=m.benchmark_dict)
    result.daily_return.iloc[:] = 123.0
    table = pd.DataFrame({"daily_return": [0.01, 0.02], "index_daily_return": [0.0, 0.01]}, index=["a", "b"])
    total = ws._build_total_backtesting_frame(table)
    total.iloc[:, :] = 123.0

    assert frames_equal(m.weights, w_before)
    assert frames_equal(m.frames["close_price"], close_before)
    assert table["daily_return"].tolist() == [0.01, 0.02]


# --------------------------------------------------------------------------
# argument types
# --------------------------------------------------------------------------


def message(name, expected, given):
    return re.escape(f"Argument '{name}' has incorrect type (expected {expected}, got {given})")


@pytest.mark.parametrize("kw, text", [
    ({"rolling_window": "3"}, message("rolling_window", "int", "str")),
    ({"rolling_window": None}, message("rolling_window", "int", "NoneType")),
    ({"benchmark_names": ["000852"]}, message("benchmark_names", "str", "list")),
    ({"benchmark_names": None}, message("benchmark_names", "str", "NoneType")),
    ({"benchmark_dict": [("000852", pd.Series(dtype=float))]}, message("benchmark_dict", "dict", "list")),
    ({"strategy_name": 7}, message("strategy_name", "str", "int")),
    ({"plot_image_kind": 7}, r"Argument 'plot_image_kind' has incorrect type \(expected .+, got int\)"),
    ({"plot_title": 7}, r"Argument 'plot_title' has incorrect type \(expected .+, got int\)"),
    ({"total_money": "1e8"}, r"Argument 'total_money' has incorrect type \(expected .+, got str\)"),
    ({"fee": None}, r"Argument 'fee' has incorrect type \(expected .+, got NoneType\)"),
    ({"rule_fee": "0"}, r"Argument 'rule_fee' has incorrect type \(expected .+, got str\)"),
], ids=lambda p: next(iter(p)) + "=" + type(p[next(iter(p))]).__name__ if isinstance(p, dict) else "")
def test_pipeline_argument_types(ws, kw, text):
    m = sample_market()
    with pytest.raises(TypeError, match=f"^{text}$"):
        run(ws, m, **kw)


@pytest.mark.parametrize("kw, text", [
    ({"lot_size": "200"}, message("lot_size", "int", "str")),
    ({"lot_size": None}, message("lot_size", "int", "NoneType")),
    ({"total_money": "1e8"}, r"Argument 'total_money' has incorrect type \(expected .+, got str\)"),
    ({"fee": [0.1]}, r"Argument 'fee' has incorrect type \(expected .+, got list\)"),
], ids=lambda p: next(iter(p)) + "=" + type(p[next(iter(p))]).__name__ if isinstance(p, dict) else "")
def test_simulation_argument_types(ws, kw, text):
    with pytest.raises(TypeError, match=f"^{text}$"):
        vwap(ws, sample_market(), **kw)


def test_smoothing_window_type(ws):
    w = sample_market().weights
    with pytest.raises(TypeError, match="^" + message("rolling_window", "int", "str") + "$"):
        ws._smooth_strategy_weights(w, "2")
    assert ws._smooth_strategy_weights(w, 1.9) is w
    assert ws._smooth_strategy_weights(w, -7.5) is w
    pd.testing.assert_frame_equal(ws._smooth_strategy_weights(w, 2.9), ws._smooth_strategy_weights(w, 2),
                                  check_exact=True)


def test_numbers_of_any_kind_are_accepted(ws):
    m = sample_market()
    a = vwap(ws, m, total_money=1_000_000, fee=0, rule_fee=0, lot_size=100.7)
    b = vwap(ws, m, total_money=1e6, fee=0.0, rule_fee=0.0, lot_size=100)
    pd.testing.assert_series_equal(a, b, check_exact=True)
    a = run(ws, m, total_money=1_000_000, fee=0, rule_fee=np.float64(0.0005), rolling_window=np.int64(2))
    b = run(ws, m, total_money=1e6, fee=0.0, rule_fee=0.0005, rolling_window=2)
    results_identical(a, b)


def test_benchmark_dict_that_lacks_the_primary_is_no_error(ws):
    m = sample_market()
    result = run(ws, m, benchmark_dict={"000300": m.benchmark_dict["000300"]}, benchmark_names="000852")
    assert result.stats["benchmark_annual_return"] == 0.0
    assert result.benchmark_summary["benchmark_name"].tolist() == ["000300"]


# --------------------------------------------------------------------------
# malformed Frames
# --------------------------------------------------------------------------


def _duplicate_row(frame: pd.DataFrame, k: int = 1) -> pd.DataFrame:
    return pd.concat([frame.iloc[:k + 1], frame.iloc[[k]], frame.iloc[k + 1:]])


def _duplicate_column(frame: pd.DataFrame, k: int = 0) -> pd.DataFrame:
    cols = list(frame.columns)
    return frame.iloc[:, list(range(k + 1)) + [k] + list(range(k + 1, len(cols)))]


@pytest.mark.parametrize("entry", ["pipeline", "simulation"])
@pytest.mark.parametrize("name", ["weights", *MARKET_ARGS])
@pytest.mark.parametrize("axis", ["row", "column"])
def test_duplicate_labels_are_rejected(ws, entry, name, axis):
    m = sample_market(n_foreign_dates=0, n_foreign_codes=0)
    frame = m.weights if name == "weights" else m.frames[name]
    # a label the weights and the market share, so the cell is really read
    if axis == "row":
        label = frame.index[1]
        bad = _duplicate_row(frame)
    else:
        label = frame.columns[0]
        bad = _duplicate_column(frame)
    args = {"weights": m.weights, **market_kwargs(m)}
    args[name] = bad
    weights = args.pop("weights")
    arg_name = name if name != "weights" else ("strategy_matrix" if entry == "pipeline" else "signal_matrix")
    with pytest.raises(ValueError) as info:
        if entry == "pipeline":
            ws.run_strategy_backtest_core(weights, **args)
        else:
            ws.calc_strategy_vwap_daily_return(weights, **args)
    text = str(info.value)
    assert arg_name in text and (str(label) in text or repr(label) in text), text


@pytest.mark.parametrize("entry", ["pipeline", "simulation"])
@pytest.mark.parametrize("name", ["weights", "close_price", "prev_close", "buy_price", "can_buy_stock",
                                  "cant_sell_stock", "dividend_factor"])
def test_text_cells_are_rejected_naming_the_argument(ws, entry, name):
    m = sample_market(n_foreign_dates=0, n_foreign_codes=0)
    frame = (m.weights if name == "weights" else m.frames[name]).astype(object)
    frame.iloc[1, 0] = "abc"
    args = {"weights": m.weights, **market_kwargs(m)}
    args[name] = frame
    weights = args.pop("weights")
    arg_name = name if name != "weights" else ("strategy_matrix" if entry == "pipeline" else "signal_matrix")
    with pytest.raises((ValueError, TypeError)) as info:
        if entry == "pipeline":
            ws.run_strategy_backtest_core(weights, **args)
        else:
            ws.calc_strategy_vwap_daily_return(weights, **args)
    assert arg_name in str(info.value), str(info.value)


# --------------------------------------------------------------------------
# empty inputs
# --------------------------------------------------------------------------


def _assert_empty(result, name="strategy"):
    assert result.strategy_name == name
    assert len(result.daily_return) == 0 and result.daily_return.dtype == np.float64
    assert len(result.cumulative_return) == 0 and result.cumulative_return.dtype == np.float64
    assert list(result.stats) == list(EMPTY_STATS_KEYS)
    assert all(isinstance(v, float) and math.isnan(v) for v in result.stats.values())
    assert result.benchmark_summary.shape == (0, 0)
    assert result.plot_paths == {}


def test_everything_empty(ws):
    empty = pd.DataFrame()
    _assert_empty(ws.run_strategy_backtest_core(empty, *[pd.DataFrame() for _ in MARKET_ARGS]))
    _assert_empty(ws.run_strategy_backtest_core(empty, *[pd.DataFrame() for _ in MARKET_ARGS],
                                                benchmark_dict={}, rolling_window=3, strategy_name="e"), "e")
    returns = ws.calc_strategy_vwap_daily_return(empty, *[pd.DataFrame() for _ in MARKET_ARGS])
    assert len(returns) == 0 and returns.dtype == np.float64
    assert len(ws._smooth_strategy_weights(empty, 3)) == 0
    stats = ws.calc_strategy_stats(pd.DataFrame(columns=list(ref.TOTAL_FRAME_COLUMNS), dtype=np.float64), None)
    assert list(stats) == list(EMPTY_STATS_KEYS) and all(math.isnan(v) for v in stats.values())


def test_empty_market_with_real_weights(ws):
    m = sample_market()
    _assert_empty(ws.run_strategy_backtest_core(m.weights, *[pd.DataFrame() for _ in MARKET_ARGS]))
    # the simulation reads nothing but missing prices and blocked trades
    returns = ws.calc_strategy_vwap_daily_return(m.weights, *[pd.DataFrame() for _ in MARKET_ARGS])
    expected = ref.vwap_daily_return(m.weights, *[pd.DataFrame() for _ in MARKET_ARGS])
    assert_series_close(returns, expected)
    assert (returns == 0.0).all()


def test_weights_without_rows_or_columns(ws):
    m = sample_market()
    _assert_empty(ws.run_strategy_backtest_core(m.weights.iloc[:0], *m.market_args()))
    _assert_empty(ws.run_strategy_backtest_core(m.weights.iloc[:, :0], *m.market_args()))
    returns = ws.calc_strategy_vwap_daily_return(m.weights.iloc[:, :0], *m.market_args())
    assert len(returns) == 0 and returns.dtype == np.float64


def test_pipeline_result_matches_reference_on_a_sample(ws):
    m = sample_market()
    for window in (0, 2, 4):
        got = run(ws, m, benchmark_dict=m.benchmark_dict, rolling_window=window)
        expected = ref.run_strategy_backtest_core(*m.args(), benchmark_dict=m.benchmark_dict,
                                                  rolling_window=window,
                                                  simulate=ws.calc_strategy_vwap_daily_return)
        assert_result_close(got, expected, m.benchmark_dict)


def test_charts_are_written_beside_each_other(ws, tmp_path):
    m = sample_market()
    res = run(ws, m, plot_image_kind="long", plot_save_path=tmp_path / "out" / "run.png")
    main, weekly = tmp_path / "out" / "run.png", tmp_path / "out" / "run_weekly_net_value.png"
    assert res.plot_paths == {"main": str(main), "weekly_net_value": str(weekly)}
    assert main.read_bytes()[:4] == weekly.read_bytes()[:4] == b"\x89PNG"
