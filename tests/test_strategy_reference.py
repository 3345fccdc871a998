"""The engine against the plain reference on small random markets."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
from hypothesis import given, strategies as st

from support import (
    assert_frame_close,
    assert_result_close,
    assert_series_close,
    assert_stats_close,
    assert_values_close,
    ratio_close,
    reference as ref,
)
from support.markets import daily_tables, markets, sample_market, sim_params, weight_frames


@given(w=weight_frames(), window=st.integers(-1, 7))
def test_smoothing(ws, w, window):
    got = ws._smooth_strategy_weights(w, window)
    if window <= 1:
        assert got is w
        return
    # same additions in the same order: the means agree to the last bit,
    # which also decides which of them are exactly zero
    assert_frame_close(got, ref.smooth_strategy_weights(w, window), rtol=0.0, what="smoothed")


@given(m=markets(), params=sim_params)
def test_vwap_daily_return(ws, m, params):
    got = ws.calc_strategy_vwap_daily_return(*m.args(), **params)
    expected, scale = ref.vwap_daily_return(*m.args(), **params, return_scale=True)
    assert_series_close(got, expected, what="daily return", scale=scale.to_numpy())


@given(m=markets())
def test_vwap_daily_return_by_keyword_with_defaults(ws, m):
    names = ("signal_matrix", *ref.MARKET_ARGS)
    got = ws.calc_strategy_vwap_daily_return(**dict(zip(names, m.args(), strict=True)))
    expected, scale = ref.vwap_daily_return(*m.args(), return_scale=True)
    assert_series_close(got, expected, what="daily return", scale=scale.to_numpy())


@given(m=markets(), data=st.data())
def test_market_arrays(core, m, data):
    dates = list(m.weights.index)
    codes = list(m.weights.columns)
    dates = data.draw(st.lists(st.sampled_from(dates), unique=True, max_size=len(dates)).map(sorted))
    codes = data.draw(st.permutations(codes))
    got = core._build_market_arrays(pd.Index(dates), pd.Index(codes), *m.market_args())
    expected = ref.build_market_arrays(pd.Index(dates), pd.Index(codes), *m.market_args())
    assert set(got) == set(expected)
    for key, value in expected.items():
        arr = np.asarray(got[key])
        assert arr.shape == (len(dates), len(codes)), key
        assert arr.dtype == value.dtype, f"{key}: {arr.dtype}"
        np.testing.assert_array_equal(arr, value, err_msg=key)


@given(table=daily_tables())
def test_total_frame(ws, table):
    got = ws._build_total_backtesting_frame(table)
    assert_frame_close(got, ref.build_total_frame(table), atol=1e-15, what="total")


@given(table=daily_tables(), signal=st.one_of(st.none(), weight_frames()))
def test_statistics(ws, table, signal):
    total = ref.build_total_frame(table)
    got = ws.calc_strategy_stats(total, signal)
    assert_stats_close(got, ref.strategy_stats(total, signal), total)


@given(x=st.lists(st.floats(-0.2, 0.2, allow_nan=False), max_size=20), periods=st.sampled_from([252, 52, 1]))
def test_sharpe_ratio(core, x, periods):
    got = core.safe_sharpe(pd.Series(x, dtype=np.float64), periods=periods)
    expected = ref.safe_sharpe(x, periods=periods)
    assert isinstance(got, float)
    msg = ratio_close(got, expected, x, periods)
    assert msg is None, msg


pipeline_options = st.fixed_dictionaries({
    "benchmark_names": st.sampled_from(["000852", "000852", "000300", "000905"]),
    "rolling_window": st.sampled_from([0, 0, 1, 2, 3, 5]),
    "total_money": st.sampled_from([1e8, 1e8, 5e6]),
    "fee": st.sampled_from([0.0001, 0.0]),
    "rule_fee": st.sampled_from([0.0005, 0.002]),
    "strategy_name": st.sampled_from(["strategy", "动量"]),
})


@given(m=markets(with_benchmarks=True), options=pipeline_options)
def test_pipeline(ws, m, options):
    got = ws.run_strategy_backtest_core(*m.args(), benchmark_dict=m.benchmark_dict, **options)
    # The simulation itself is checked above; here it is the engine's, so
    # that what follows it is compared on identical daily returns.
    expected = ref.run_strategy_backtest_core(*m.args(), benchmark_dict=m.benchmark_dict, **options,
                                              simulate=ws.calc_strategy_vwap_daily_return)
    assert_result_close(got, expected, m.benchmark_dict)


@given(m=markets(with_benchmarks=True, allow_inf=False), options=pipeline_options)
def test_pipeline_end_to_end(ws, m, options):
    got = ws.run_strategy_backtest_core(*m.args(), benchmark_dict=m.benchmark_dict, **options)
    expected = ref.run_strategy_backtest_core(*m.args(), benchmark_dict=m.benchmark_dict, **options)
    if expected.total is None:
        assert_result_close(got, expected, m.benchmark_dict)
        return
    # rounding of the reordered sums is judged against each day's turnover
    work = m.weights.loc[m.weights.index.isin(m.frames["close_price"].index)]
    work = work.loc[:, work.columns.isin(m.frames["close_price"].columns)].dropna(axis=1, how="all")
    work = ref.smooth_strategy_weights(work, options["rolling_window"])
    _, scale = ref.vwap_daily_return(work, *m.market_args(), total_money=options["total_money"],
                                     fee=options["fee"], rule_fee=options["rule_fee"], return_scale=True)
    scale = scale.reindex(expected.daily_return.index).to_numpy()
    assert_series_close(got.daily_return, expected.daily_return, what="daily_return", scale=scale)
    assert_series_close(got.cumulative_return, expected.cumulative_return, what="cumulative_return",
                        scale=np.cumsum(scale) + 1)
    assert list(got.stats) == list(expected.stats)
    for key in ("win_rate", "excess_win_rate", "holding_count", "turnover"):
        assert_values_close(got.stats[key], expected.stats[key], what=key)


def test_concurrent_runs_agree_with_sequential_ones(ws):
    # backtests may run in several threads at once on shared inputs
    samples = [sample_market(seed, p_inf_price=0.02 * (seed % 2)) for seed in range(6)]

    def one(k):
        m = samples[k % len(samples)]
        result = ws.run_strategy_backtest_core(*m.args(), benchmark_dict=m.benchmark_dict, rolling_window=k % 3)
        return result.daily_return, result.stats

    sequential = [one(k) for k in range(24)]
    with ThreadPoolExecutor(max_workers=4) as pool:
        parallel = list(pool.map(one, range(24)))
    for (a_daily, a_stats), (b_daily, b_stats) in zip(sequential, parallel, strict=True):
        pd.testing.assert_series_equal(a_daily, b_daily, check_exact=True)
        assert list(a_stats) == list(b_stats)
        assert all(a_stats[k] == b_stats[k] or (np.isnan(a_stats[k]) and np.isnan(b_stats[k])) for k in a_stats)
