"""Many backtests over one bundle, on threads and on a local Ray cluster: each item equals its single
call to the bit, failures stay with their item, and the bundle is never modified."""

from __future__ import annotations

import os
import signal
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import BacktestData, BacktestResult, BacktestService, synthetic
from vantorel.backtest.batch import BatchResult, factor_summary
from vantorel.backtest.batch.summary import FACTOR_COLUMNS

ENGINES = ["threads", "ray"]


@pytest.fixture(scope="module")
def market():
    return synthetic.make_market(n_days=160, n_stocks=50, seed=21)


@pytest.fixture(scope="module")
def data(market):
    """A bundle whose arrays are read-only, as they arrive from Ray's object store."""
    bundle = synthetic.market_payload(market)["data"]
    for value in bundle.values():
        for frame in value.values() if isinstance(value, dict) else [value]:
            frame.to_numpy().setflags(write=False)
    return BacktestData(bundle)


@pytest.fixture(scope="module")
def ray_cluster():
    """A local Ray cluster of two CPUs for the module, shut down after it."""
    ray = pytest.importorskip("ray")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    yield ray
    ray.shutdown()


@pytest.fixture(params=ENGINES)
def engine(request):
    if request.param == "ray":
        request.getfixturevalue("ray_cluster")
    return request.param


def _reversal(days: int):
    def factor(bundle):
        close = bundle.data["close_price"]
        return -(close / close.shift(days) - 1.0)

    return factor


def _snapshot(data: BacktestData) -> dict:
    out = {}
    for key, value in data.data.items():
        frames = value if isinstance(value, dict) else {"": value}
        for name, frame in frames.items():
            out[(key, name)] = frame.copy(deep=True)
    return out


def _same_factor_result(a, b) -> None:
    assert a.factor_name == b.factor_name and a.best_group == b.best_group
    pd.testing.assert_frame_equal(a.group_daily_return, b.group_daily_return, check_exact=True)
    pd.testing.assert_frame_equal(a.group_cumulative_return, b.group_cumulative_return, check_exact=True)
    pd.testing.assert_series_equal(a.rank_ic, b.rank_ic, check_exact=True)
    pd.testing.assert_frame_equal(a.benchmark_summary, b.benchmark_summary, check_exact=True)


def test_factor_items_equal_their_single_calls(market, data, engine, tmp_path):
    close = market.frames["close_price"]
    factors = {
        "rev5": -(close / close.shift(5) - 1.0),
        "rev10": _reversal(10),  # computed where the item runs
        "rev20_g5": (_reversal(20), {"group_num": 5, "ascending": True}),
        "broken": (close, {"group_num": 1}),  # a failing item beside good ones
        "not_a_table": lambda bundle: 42,
    }
    before = _snapshot(data)
    first, last = market.dates[0], market.dates[-1]
    batch = BacktestService(None).backtest_many(factors, data, first, last, engine=engine, workers=2,
                                                group_num=8, benchmark=["000852", "000300"], progress=False)
    assert isinstance(batch, BatchResult) and batch.wall_time > 0
    assert list(batch.summary.index) == list(factors)  # the order given, whatever finished first
    assert sorted(batch.results) == ["rev10", "rev20_g5", "rev5"]
    assert isinstance(batch.errors["broken"], ValueError) and isinstance(batch.errors["not_a_table"], TypeError)
    assert batch.summary.loc["broken", "error"].startswith("ValueError: group_num")
    assert batch.summary.loc["rev5", "error"] is None and np.isnan(batch.summary.loc["broken", "rank_ic"])
    assert list(batch.summary.columns) == [*FACTOR_COLUMNS, "error"]
    assert batch.summary.loc["broken", list(FACTOR_COLUMNS)].isna().all()

    service = BacktestService(None)
    single = {
        "rev5": (factors["rev5"], {}),
        "rev10": (_reversal(10)(data), {}),
        "rev20_g5": (_reversal(20)(data), {"group_num": 5, "ascending": True}),
    }
    for name, (factor, overrides) in single.items():
        keywords = {"group_num": 8, "benchmark": ["000852", "000300"], **overrides}
        expected = service.backtest(factor, data, first, last, tmp_path / name, name, **keywords)
        _same_factor_result(batch.results[name], expected)
        row = batch.summary.loc[name].drop("error")
        assert row.to_dict() == pytest.approx(factor_summary(expected), nan_ok=True)
    assert not any(tmp_path.glob("*.png"))  # no chart without output_dir
    after = _snapshot(data)
    for key, table in before.items():
        assert_equal = pd.testing.assert_frame_equal if table.ndim == 2 else pd.testing.assert_series_equal
        assert_equal(after[key], table, check_exact=True)


def test_factor_summary_reads_the_analytics_and_computes_them_for_a_result_without(market, data):
    close = market.frames["close_price"]
    result = BacktestService(None)._backtest_numbers(-(close / close.shift(5) - 1.0), data, market.dates[0],
                                                     market.dates[-1], "rev5", group_num=5)
    row = factor_summary(result)
    assert tuple(row) == FACTOR_COLUMNS
    ic, ls = result.ic_summary, result.long_short
    assert (row["rank_ic"], row["ic_std"], row["icir"], row["ic_t_stat"], row["ic_positive_share"]) == \
        (ic["mean"], ic["std"], ic["icir"], ic["t_stat"], ic["positive_share"])
    assert (row["long_short_annual_return"], row["long_short_sharpe"], row["long_short_max_dd"]) == \
        (ls.annual_return, ls.sharpe, ls.max_drawdown)
    assert row["long_short_max_dd"] > 0 and row["monotonicity"] == result.monotonicity
    assert row["top_group_turnover"] == result.mean_group_turnover[5] and 0 < row["top_group_turnover"] < 1
    daily = result.group_daily_return
    assert row["first_group_annual_return"] == pytest.approx(daily[1].mean() * 252, rel=1e-12)
    assert row["last_group_annual_return"] == pytest.approx(daily[5].mean() * 252, rel=1e-12)
    assert row["icir"] == pytest.approx(ic["mean"] / ic["std"], rel=1e-12)

    # built from the original fields alone: the same figures from the group returns and the rank IC
    bare = BacktestResult(result.factor_name, result.best_group, daily, result.group_cumulative_return,
                          result.rank_ic, result.benchmark_summary)
    computed = factor_summary(bare)
    assert tuple(computed) == FACTOR_COLUMNS and np.isnan(computed.pop("top_group_turnover"))
    assert computed == pytest.approx({key: row[key] for key in computed}, rel=1e-9, nan_ok=True)


def test_strategy_items_equal_their_single_calls_and_charts_are_written(market, data, engine, tmp_path):
    strategies = {f"top{n}": synthetic.momentum_weights(market, top_n=n) for n in (5, 10, 20)}
    strategies["top10_cheap"] = (strategies["top10"], {"fee": 0.0, "rule_fee": 0.0})
    first, last = market.dates[0], market.dates[-1]
    out = tmp_path / "charts"
    batch = BacktestService(None).backtest_strategy_many(strategies, data, first, last, out, engine=engine,
                                                         workers=2, plot="long", progress=False)
    assert batch.errors == {}
    service = BacktestService(None)
    for name, value in strategies.items():
        weights, overrides = value if isinstance(value, tuple) else (value, {})
        expected = service.backtest_strategy(weights, data, first, last, tmp_path / "single", name, plot="long",
                                             **overrides)
        got = batch.results[name]
        pd.testing.assert_series_equal(got.daily_return, expected.daily_return, check_exact=True)
        assert got.stats == pytest.approx(expected.stats, nan_ok=True)
        assert batch.summary.loc[name].drop("error").to_dict() == pytest.approx(expected.stats, nan_ok=True)
        for kind, path in got.plot_paths.items():  # every chart written, under its item's name
            assert Path(path).parent == out and Path(path).stat().st_size > 0, kind
    assert sorted(p.name for p in out.iterdir()) == sorted(
        f"{n}{suffix}.png" for n in strategies for suffix in ("", "_weekly_net_value"))


def test_keep_results_false_keeps_only_the_summary(market, data):
    weights = {"a": synthetic.momentum_weights(market, top_n=5), "b": synthetic.momentum_weights(market, top_n=8)}
    batch = BacktestService(None).backtest_strategy_many(weights, data, market.dates[0], market.dates[-1],
                                                         keep_results=False, progress=False)
    assert batch.results == {} and list(batch.summary.index) == ["a", "b"]
    assert batch.summary["annual_return"].notna().all()


def test_bad_batch_arguments(market, data):
    service = BacktestService(None)
    close = market.frames["close_price"]
    dates = (market.dates[0], market.dates[-1])
    cases = [
        (TypeError, "Argument 'factors' has incorrect type", dict(factors=[close])),
        (TypeError, r"Argument 'factors\['x'\]' has incorrect type", dict(factors={"x": 5})),
        (TypeError, "tuple of 3", dict(factors={"x": (close, {}, 1)})),
        (ValueError, "not a usable name", dict(factors={"a/b": close})),
        (TypeError, r"backtest_many\(\) got an unexpected keyword argument 'groups'", dict(factors={"x": close},
                                                                                             groups=3)),
        (TypeError, r"factors\['x'\] got an unexpected keyword argument 'bogus'",
         dict(factors={"x": (close, {"bogus": 1})})),
        (ValueError, "Argument 'engine' must be one of", dict(factors={"x": close}, engine="spark")),
        (ValueError, "Argument 'workers' must lie in", dict(factors={"x": close}, workers=0)),
        (TypeError, "Argument 'workers' has incorrect type", dict(factors={"x": close}, workers=1.5)),
        (TypeError, "Argument 'data' has incorrect type", dict(factors={"x": close}, data={})),
        (ValueError, "ray_address goes with engine='ray'", dict(factors={"x": close}, ray_address="auto")),
    ]
    for error, message, kwargs in cases:
        kwargs = {"data": data, **kwargs}
        with pytest.raises(error, match=message):
            service.backtest_many(kwargs.pop("factors"), kwargs.pop("data"), *dates, progress=False, **kwargs)
    batch = service.backtest_many({"x": close}, data, *dates, plot="long", progress=False)
    assert "give an output_dir" in batch.summary.loc["x", "error"]


def test_threads_draw_charts_at_once_without_mixing_them(market, data, tmp_path):
    """Eight items on four threads, each drawing its chart under the one chart lock."""
    factors = {f"rev{d}": _reversal(d) for d in (2, 3, 5, 8, 13, 21, 34, 55)}
    batch = BacktestService(None).backtest_many(factors, data, market.dates[0], market.dates[-1], tmp_path,
                                                workers=4, group_num=5, progress=False)
    assert batch.errors == {}
    for name, result in batch.results.items():
        assert result.plot_paths["main"] == str(tmp_path / f"{name}.png")
        expected = BacktestService(None)._backtest_numbers(_reversal(int(name[3:]))(data), data, market.dates[0],
                                                            market.dates[-1], name, group_num=5)
        _same_factor_result(result, expected)


def _dies_once(marker: str):
    def factor(bundle):
        if not os.path.exists(marker):
            Path(marker).write_text("died")
            os.kill(os.getpid(), signal.SIGKILL)  # the worker process dies mid-task
        close = bundle.data["close_price"]
        return -(close / close.shift(3) - 1.0)

    return factor


def _always_dies(bundle):
    os.kill(os.getpid(), signal.SIGKILL)


def test_a_killed_ray_task_is_run_once_more_then_reported(market, data, ray_cluster, tmp_path):
    factors = {"dies_once": _dies_once(str(tmp_path / "marker")), "always_dies": _always_dies,
               "fine": _reversal(4)}
    batch = BacktestService(None).backtest_many(factors, data, market.dates[0], market.dates[-1], engine="ray",
                                                group_num=5, progress=False)
    assert (tmp_path / "marker").exists()
    assert sorted(batch.results) == ["dies_once", "fine"]  # the retry succeeded
    assert list(batch.errors) == ["always_dies"]
    assert isinstance(batch.errors["always_dies"], ray_cluster.exceptions.RayError)
    expected = BacktestService(None)._backtest_numbers(_reversal(3)(data), data, market.dates[0],
                                                        market.dates[-1], "dies_once", group_num=5)
    _same_factor_result(batch.results["dies_once"], expected)


def test_ray_is_optional(monkeypatch, market, data):
    import builtins

    real_import = builtins.__import__

    def no_ray(name, *args, **kwargs):
        if name == "ray" or name.startswith("ray."):
            raise ImportError("No module named 'ray'")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_ray)
    with pytest.raises(ImportError, match=r"pip install vantorel-backtest\[ray\]"):
        BacktestService(None).backtest_many({"x": market.frames["close_price"]}, data, market.dates[0],
                                            market.dates[-1], engine="ray", progress=False)


def test_no_period_means_each_items_own_dates(market, data):
    close = market.frames["close_price"]
    late = -(close / close.shift(5) - 1.0).iloc[60:]
    batch = BacktestService(None).backtest_many({"late": late}, data, None, None, group_num=5, progress=False)
    expected = BacktestService(None)._backtest_numbers(late, data, market.dates[60], market.dates[-1], "late",
                                                        group_num=5)
    _same_factor_result(batch.results["late"], expected)
