"""The factor analytics of the group backtest against a plain statement of each definition."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st
from test_group_backtest import cases

from vantorel.backtest import synthetic

from support import analytics as A, groups as G

IC_FIELDS = ["mean", "std", "icir", "icir_annual", "t_stat", "p_value", "positive_share", "days"]


def assert_figures(actual: pd.Series, expected: dict, what: str) -> None:
    for name in IC_FIELDS:
        tol = 1e-7 if name == "p_value" else 1e-9
        a, e = float(actual[name]), float(expected[name])
        assert (math.isnan(a) and math.isnan(e)) or abs(a - e) <= tol * max(1.0, abs(e)), (what, name, a, e)


def assert_frame_close(actual, expected, what: str) -> None:
    np.testing.assert_allclose(np.asarray(actual, dtype=np.float64), np.asarray(expected, dtype=np.float64),
                               rtol=1e-9, atol=1e-12, err_msg=what)


@settings(max_examples=60)
@given(case=cases(max_dates=22), group_num=st.integers(1, 5), ascending=st.booleans(),
       window=st.sampled_from([0, 0, 2]))
def test_measures_match_their_plain_statements(core, case, group_num, ascending, window):
    r = case.run(core, group_num=group_num, ascending=ascending, rolling_window=window)
    grid = case.grid
    factor = G.aligned_factor(case.factor, grid, window)
    valid = case.valid
    labels = G.group_labels(factor, valid, group_num, ascending)

    daily_ic = G.rank_ic(factor, valid, G.forward_returns(case.open_price, grid))
    assert_frame_close(r.rank_ic, daily_ic, "daily rank IC")
    assert list(r.ic_summary.index) == IC_FIELDS
    assert_figures(r.ic_summary, A.ic_figures(daily_ic), "ic_summary")

    assert list(r.ic_decay.index) == list(A.HORIZONS) and r.ic_decay.index.name == "horizon"
    # the 1-day horizon is the daily rank IC itself, to the bit
    assert r.ic_decay.loc[1, "mean_ic"] == r.ic_summary["mean"] or math.isnan(r.ic_summary["mean"])
    assert r.ic_decay.loc[1, "days"] == r.ic_summary["days"]
    for h in A.HORIZONS:
        expected = A.ic_figures(G.rank_ic(factor, valid, A.horizon_returns(case.open_price, grid, h)))
        got = r.ic_decay.loc[h]
        assert got["days"] == expected["days"], h
        for name, key in (("mean_ic", "mean"), ("icir", "icir"), ("t_stat", "t_stat")):
            a, e = float(got[name]), float(expected[key])
            assert (math.isnan(a) and math.isnan(e)) or abs(a - e) <= 1e-9 * max(1, abs(e)), (h, name, a, e)

    assert_frame_close(r.group_turnover, A.turnover(labels, group_num), "group turnover")
    assert list(r.group_turnover.columns) == list(range(1, group_num + 1))
    assert_frame_close(r.factor_autocorrelation, A.autocorrelation(factor, valid), "factor autocorrelation")

    daily = r.group_daily_return
    ls = A.long_short(daily)
    assert_frame_close(r.long_short.daily_return, ls["daily"], "long-short daily")
    assert_frame_close(r.long_short.net_value, ls["net_value"], "long-short net value")
    assert_frame_close(r.long_short.drawdown, ls["drawdown"], "long-short drawdown")
    for name in ("annual_return", "sharpe", "max_drawdown"):
        assert_frame_close([getattr(r.long_short, name)], [ls[name]], f"long-short {name}")
    assert_frame_close([r.monotonicity], [A.monotonicity(daily)], "monotonicity")

    forward = A.group_forward_return(labels, G.forward_returns(case.open_price, grid), group_num)
    gfr = r.group_forward_return
    assert_frame_close(gfr["forward_return"], forward, "group forward return")
    assert_frame_close(gfr["annual_forward_return"], forward * 252, "annual forward return")
    with np.errstate(invalid="ignore", over="ignore"):
        traded = daily.mean() * 252
    assert_frame_close(gfr["annual_return"], traded, "traded annual return")
    assert_frame_close(gfr["trading_gap"], gfr["annual_forward_return"] - gfr["annual_return"], "gap")


@pytest.fixture(scope="module")
def long_market():
    """Three years of a small synthetic market: several calendar years, every horizon filled."""
    return synthetic.make_market(n_days=700, n_stocks=60, seed=3)


def _run(core, market, factor, **kwargs):
    f = market.frames
    kwargs.setdefault("group_num", 5)
    return core.run_alpha_vwap_backtest_core(
        factor_matrix=factor, close_price_valid=f["close_price_valid"], **market.market_frames(),
        forward_return_rank_cache=f["forward_return_rank_cache"], open_price=f["open_price"],
        plot_image_kind=None, **kwargs)


def _momentum(market) -> pd.DataFrame:
    close = market.adjusted_close()
    return close / close.shift(5) - 1


def test_ic_by_year_groups_the_daily_ic_by_calendar_year(core, long_market):
    r = _run(core, long_market, _momentum(long_market))
    years = pd.to_datetime(r.rank_ic.index, format="%Y%m%d").year
    assert list(r.ic_by_year.index) == sorted(set(years)) and r.ic_by_year.index.name == "year"
    assert len(r.ic_by_year) >= 3
    for year, ic in r.rank_ic.groupby(years):
        assert_figures(r.ic_by_year.loc[year], A.ic_figures(ic), f"year {year}")
    assert r.ic_by_year["days"].dtype == np.int64 and r.ic_by_year["days"].sum() == r.ic_summary["days"]


def test_a_factor_equal_to_its_forward_return_has_ic_one_and_ordered_groups(core, long_market):
    grid = long_market.frames["close_price"]
    foresight = G.forward_returns(long_market.frames["open_price"], grid)
    r = _run(core, long_market, foresight, fee=0.0, rule_fee=0.0)
    present = r.rank_ic.dropna()
    assert len(present) > 600
    np.testing.assert_allclose(present, 1.0, rtol=0, atol=1e-12)
    assert r.ic_summary["mean"] == pytest.approx(1.0, abs=1e-12)
    assert r.monotonicity == pytest.approx(1.0, abs=1e-12)
    assert r.long_short.annual_return > 0 and r.long_short.sharpe > 0


def test_a_constant_factor_has_no_ic_and_warns_nothing(core, long_market):
    constant = pd.DataFrame(1.0, index=long_market.frames["close_price"].index,
                            columns=long_market.frames["close_price"].columns)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        r = _run(core, long_market, constant)
    assert r.rank_ic.isna().all() and r.factor_autocorrelation.isna().all()
    assert r.ic_summary["days"] == 0 and r.ic_summary.drop("days").isna().all()
    assert r.ic_decay["mean_ic"].isna().all() and (r.ic_decay["days"] == 0).all()
    assert r.ic_by_year.empty or r.ic_by_year["mean"].isna().all()


def test_a_reversed_factor_flips_every_ic_and_the_monotonicity(core):
    # every stock eligible every day and 60 = 5 x 12 of them: the reversed groups are the same
    # stocks numbered the other way round
    market = synthetic.make_market(n_days=300, n_stocks=60, seed=5)
    f = market.frames
    factor = _momentum(market).fillna(0.0) + np.arange(60) * 1e-9  # no ties
    valid = pd.DataFrame(1.0, index=factor.index, columns=factor.columns)

    def run(x):
        return core.run_alpha_vwap_backtest_core(
            factor_matrix=x, close_price_valid=valid, **market.market_frames(), open_price=f["open_price"],
            group_num=5, plot_image_kind=None)

    up, down = run(factor), run(-factor)
    np.testing.assert_array_equal(down.rank_ic.to_numpy(), -up.rank_ic.to_numpy())
    np.testing.assert_array_equal(down.ic_decay["mean_ic"].to_numpy(), -up.ic_decay["mean_ic"].to_numpy())
    np.testing.assert_array_equal(down.ic_by_year["mean"].to_numpy(), -up.ic_by_year["mean"].to_numpy())
    assert down.ic_summary["t_stat"] == -up.ic_summary["t_stat"]
    assert down.ic_summary["p_value"] == up.ic_summary["p_value"]
    assert not math.isnan(up.monotonicity) and down.monotonicity == -up.monotonicity
    # the same churn and stability, with the groups' numbers reversed
    np.testing.assert_array_equal(down.group_turnover.to_numpy(), up.group_turnover.to_numpy()[:, ::-1])
    np.testing.assert_array_equal(down.factor_autocorrelation.to_numpy(), up.factor_autocorrelation.to_numpy())


def test_without_opens_the_forward_measures_are_missing(core, long_market):
    f = long_market.frames
    r = core.run_alpha_vwap_backtest_core(
        factor_matrix=_momentum(long_market), close_price_valid=f["close_price_valid"],
        **long_market.market_frames(), forward_return_rank_cache=f["forward_return_rank_cache"],
        group_num=4, plot_image_kind=None)
    # the 1-day horizon still has the daily rank IC from the cached ranks
    assert r.ic_decay.loc[1, "days"] > 0 and r.ic_decay.loc[[2, 3, 5, 10, 20], "mean_ic"].isna().all()
    assert r.group_forward_return["forward_return"].isna().all()
    assert r.group_turnover.notna().any().any()


def test_skipping_the_analytics_changes_no_return_and_leaves_the_pass_measures_missing(core, long_market):
    full = _run(core, long_market, _momentum(long_market))
    lean = _run(core, long_market, _momentum(long_market), analytics=False)
    pd.testing.assert_frame_equal(lean.group_daily_return, full.group_daily_return, check_exact=True)
    pd.testing.assert_series_equal(lean.rank_ic, full.rank_ic, check_exact=True)
    pd.testing.assert_series_equal(lean.ic_summary, full.ic_summary, check_exact=True)
    assert lean.long_short.sharpe == full.long_short.sharpe and lean.monotonicity == full.monotonicity
    assert lean.group_turnover.isna().all().all() and lean.factor_autocorrelation.isna().all()
    assert lean.ic_decay.loc[1, "mean_ic"] == full.ic_decay.loc[1, "mean_ic"]
    assert lean.ic_decay.loc[[2, 3, 5, 10, 20], "mean_ic"].isna().all()


def test_long_histories_are_analysed_in_pieces_without_seams(core, long_market):
    # 700 dates: the per-date pass runs in pieces on two threads, and each piece starts from the
    # date before it; every date must read as in one sequential pass
    grid = long_market.frames["close_price"]
    valid = long_market.frames["close_price_valid"]
    factor = _momentum(long_market)
    r = _run(core, long_market, factor, group_num=4)
    labels = G.group_labels(G.aligned_factor(factor, grid), valid, 4)
    assert_frame_close(r.group_turnover, A.turnover(labels, 4), "turnover")
    assert_frame_close(r.factor_autocorrelation, A.autocorrelation(G.aligned_factor(factor, grid), valid),
                       "autocorrelation")
    opens = long_market.frames["open_price"]
    for h in (2, 20):
        plain = G.rank_ic(G.aligned_factor(factor, grid), valid, A.horizon_returns(opens, grid, h))
        figures = A.ic_figures(plain)
        assert r.ic_decay.loc[h, "days"] == figures["days"]
        assert r.ic_decay.loc[h, "mean_ic"] == pytest.approx(figures["mean"], abs=1e-12)
    forward = A.group_forward_return(labels, G.forward_returns(opens, grid), 4)
    assert_frame_close(r.group_forward_return["forward_return"], forward, "group forward return")
