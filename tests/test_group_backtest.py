"""The factor group backtest kernel: grouping, trading, rank IC, the benchmark summary and charts.

The central check: every group trades exactly like the strategy engine run on
equal weights of that group's members.
"""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st
from PIL import Image

from support import groups as G
from support.markets import Market, build_market, market_knobs, sample_market

SIM = st.fixed_dictionaries({
    "total_money": st.sampled_from([1e8, 1e8, 2.5e6, 3e4]),
    "fee": st.sampled_from([0.0001, 0.0, 0.003]),
    "rule_fee": st.sampled_from([0.0005, 0.0, 0.001]),
})


@dataclass
class Case:
    """A market plus a factor, universe flags and forward-return inputs."""

    market: Market
    factor: pd.DataFrame
    valid: pd.DataFrame
    open_price: pd.DataFrame
    forward: pd.DataFrame

    @property
    def grid(self) -> pd.DataFrame:
        return self.market.frames["close_price"]

    def run(self, core, **kwargs):
        kwargs.setdefault("benchmark_dict", None)
        kwargs.setdefault("factor_matrix", self.factor)
        kwargs.setdefault("close_price_valid", self.valid)
        kwargs.setdefault("open_price", self.open_price)
        return core.run_alpha_vwap_backtest_core(**self.market.frames, **kwargs)

    def __repr__(self) -> str:
        return (f"{self.market!r}\nfactor=\n{self.factor.to_string()}\nvalid=\n{self.valid.to_string()}"
                f"\nforward=\n{self.forward.to_string()}")


def _relabel(rng, frame: pd.DataFrame, p_drop: float, extra_date: str, extra_code: str) -> pd.DataFrame:
    """Shuffled columns, a few labels dropped, an unknown date and code added."""
    rows = [d for d in frame.index if rng.random() >= p_drop] + [extra_date]
    cols = [c for c in rng.permutation(np.array(frame.columns, dtype=object)) if rng.random() >= p_drop]
    out = frame.reindex(index=sorted(rows), columns=cols + [extra_code])
    out.loc[extra_date] = 0.5
    out[extra_code] = rng.uniform(-1, 1, len(out))
    return out


@st.composite
def cases(draw, *, allow_inf: bool = True, ties: bool = True,
          max_dates: int = 12) -> Case:
    m = build_market(draw(market_knobs(allow_inf=allow_inf, max_dates=max_dates)))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    grid = m.frames["close_price"]
    shape = grid.shape
    if ties and draw(st.booleans()):
        # dyadic values: window sums are exact, so equal means stay equal after smoothing
        values = rng.choice([-0.25, 0.0, 0.125, 0.125, 0.375, 0.75], shape)
    else:
        values = rng.normal(0.0, 1.0, shape)
    values[rng.random(shape) < draw(st.sampled_from([0.0, 0.15, 0.5]))] = np.nan
    if allow_inf and draw(st.booleans()):
        values[rng.random(shape) < 0.1] = np.inf
        values[rng.random(shape) < 0.1] = -np.inf
    p_drop = draw(st.sampled_from([0.0, 0.0, 0.15]))
    factor = _relabel(rng, pd.DataFrame(values, index=grid.index, columns=grid.columns), p_drop, "20231229", "999999")
    flags = rng.choice([1.0, 1.0, 1.0, np.nan, 0.0, 2.0], shape)
    valid = _relabel(rng, pd.DataFrame(flags, index=grid.index, columns=grid.columns), p_drop, "20240301", "999998")
    opens = rng.uniform(5.0, 6.0, shape)
    opens[rng.random(shape) < 0.1] = np.nan
    opens[rng.random(shape) < 0.05] = 0.0
    open_price = _relabel(rng, pd.DataFrame(opens, index=grid.index, columns=grid.columns), p_drop,
                          "20231228", "999997")
    ranks = rng.integers(1, 6, shape).astype(np.float64)
    ranks[rng.random(shape) < 0.2] = np.nan
    forward = _relabel(rng, pd.DataFrame(ranks, index=grid.index, columns=grid.columns), p_drop, "20231227", "999996")
    return Case(m, factor, valid, open_price, forward)


def assert_returns_equal(actual, expected, what):
    np.testing.assert_allclose(np.asarray(actual, dtype=np.float64), np.asarray(expected, dtype=np.float64),
                               rtol=0.0, atol=1e-12, err_msg=what)


# --------------------------------------------------------------------------
# every group trades like the strategy engine on its members
# --------------------------------------------------------------------------


@given(case=cases(), group_num=st.integers(1, 5), ascending=st.booleans(), window=st.sampled_from([0, 0, 1, 2, 3]),
       params=SIM)
def test_each_group_trades_like_the_strategy_on_its_members(ws, core, case, group_num, ascending, window, params):
    result = case.run(core, group_num=group_num, ascending=ascending, rolling_window=window, **params)
    daily = result.group_daily_return
    grid = case.grid
    assert list(daily.index) == list(grid.index)
    assert list(daily.columns) == list(range(1, group_num + 1)) and daily.columns.name == "group"
    labels = G.group_labels(G.aligned_factor(case.factor, grid, window), case.valid, group_num, ascending)
    args = case.market.market_args()
    for g in range(1, group_num + 1):
        weights = G.group_weights(labels, g)
        strategy = ws.run_strategy_backtest_core(weights, *args, benchmark_dict=None, **params).daily_return
        assert_returns_equal(daily[g].reindex(strategy.index), strategy, f"group {g} against the strategy")
        # on every date: the strategy's simulation, and no trade after a date without members
        simulated = ws.calc_strategy_vwap_daily_return(weights, *args, **params)
        assert_returns_equal(daily[g], simulated.reindex(grid.index, fill_value=0.0), f"group {g} on all dates")
    cumulative = result.group_cumulative_return
    assert cumulative.index.equals(daily.index) and cumulative.columns.equals(daily.columns)
    # the strategy's net value convention: a missing daily return (only from infinite prices) stays
    # missing and the running sum goes on without it
    with np.errstate(invalid="ignore"):
        running = 1 + daily.cumsum()
    assert_returns_equal(cumulative, running, "cumulative return")


@given(case=cases(), group_num=st.integers(1, 6), window=st.sampled_from([0, 2]))
def test_ascending_only_renumbers_the_groups(core, case, group_num, window):
    down = case.run(core, group_num=group_num, rolling_window=window)
    up = case.run(core, group_num=group_num, rolling_window=window, ascending=True)
    flipped = up.group_daily_return[list(range(group_num, 0, -1))]
    np.testing.assert_array_equal(flipped.to_numpy(), down.group_daily_return.to_numpy())
    pd.testing.assert_series_equal(up.rank_ic, down.rank_ic, check_exact=True)


def _stored(frame: pd.DataFrame | None, order: str) -> pd.DataFrame | None:
    """The same Frame with its values stored row by row ("C") or column by column ("F")."""
    if frame is None:
        return None
    values = np.ascontiguousarray(frame.to_numpy()) if order == "C" else np.asfortranarray(frame.to_numpy())
    return pd.DataFrame(values, index=frame.index, columns=frame.columns, copy=False)


@given(case=cases(), group_num=st.integers(1, 5), window=st.sampled_from([0, 0, 2]), params=SIM)
def test_memory_order_changes_no_bit(core, case, group_num, window, params):
    # A column-ordered market is traded a stock at a time, a row-ordered one a day at a time.
    results = []
    for order in ("C", "F"):
        market = Market(case.market.weights, {name: _stored(f, order) for name, f in case.market.frames.items()})
        relaid = Case(market, *(_stored(f, order) for f in (case.factor, case.valid, case.open_price, case.forward)))
        results.append(relaid.run(core, group_num=group_num, rolling_window=window,
                                  forward_return_rank_cache=relaid.forward, **params))
    row, column = results
    assert row.group_daily_return.to_numpy().tobytes() == column.group_daily_return.to_numpy().tobytes()
    assert row.rank_ic.to_numpy().tobytes() == column.rank_ic.to_numpy().tobytes()


@given(case=cases(allow_inf=False), group_num=st.integers(2, 5))
def test_ties_are_ordered_by_column_position(core, case, group_num):
    # nudging each value up by its column position keeps every strict order and breaks ties
    # the way the kernel does: the groups, hence the returns, stay the same
    aligned = G.aligned_factor(case.factor, case.grid)
    nudged = aligned + np.arange(aligned.shape[1]) * 1e-9
    a = case.run(core, group_num=group_num)
    b = case.run(core, group_num=group_num, factor_matrix=nudged)
    np.testing.assert_array_equal(a.group_daily_return.to_numpy(), b.group_daily_return.to_numpy())


# --------------------------------------------------------------------------
# worked grouping examples: seven stocks, one signal date
# --------------------------------------------------------------------------

NAN, INF = np.nan, np.inf


@pytest.mark.parametrize(
    "values, valid, group_num, ascending, members",
    [
        # seven stocks, three groups: runs of 2, 2 and 3 from the lowest value up
        ([5, 1, 4, 2, 7, 3, 6], None, 3, False, {1: [1, 3], 2: [5, 2], 3: [0, 6, 4]}),
        ([5, 1, 4, 2, 7, 3, 6], None, 3, True, {3: [1, 3], 2: [5, 2], 1: [0, 6, 4]}),
        # equal values: by column position
        ([1, 1, 1, 1, 1, 1, 1], None, 3, False, {1: [0, 1], 2: [2, 3], 3: [4, 5, 6]}),
        ([1, 1, 1, 1, 1, 1, 1], None, 3, True, {3: [0, 1], 2: [2, 3], 1: [4, 5, 6]}),
        ([2, 1, 2, 1, 2, 1, 2], None, 2, False, {1: [1, 3, 5], 2: [0, 2, 4, 6]}),
        # outside the universe (flag NaN, 0, 2) or without a finite value: in no group
        ([5, NAN, 4, INF, 7, 3, 1], [1, 1, NAN, 1, 0, 2, 1], 2, False, {1: [6], 2: [0]}),
        ([5, -INF, 4, 3, 7, 3, 1], [1, 1, NAN, 1, 0, 2, NAN], 3, False, {1: [], 2: [3], 3: [0]}),
        # fewer eligible stocks than groups: runs [floor(k*3/5), floor((k+1)*3/5))
        ([NAN, 3, NAN, 1, 2, NAN, NAN], None, 5, False, {2: [3], 4: [4], 5: [1], 1: [], 3: []}),
        ([NAN] * 7, None, 2, False, {1: [], 2: []}),
    ],
)
def test_worked_groupings(ws, core, values, valid, group_num, ascending, members):
    m = sample_market(11, n_market_dates=3, n_market_codes=7, p_nan_price=0.0, p_block_buy=0.0, p_block_sell=0.0,
                      n_foreign_codes=0)
    grid = m.frames["close_price"]
    dates, codes = list(grid.index), list(grid.columns)
    factor = pd.DataFrame([values], index=dates[:1], columns=codes, dtype=np.float64)
    flags = pd.DataFrame([valid or [1.0] * 7], index=dates[:1], columns=codes, dtype=np.float64)
    case = Case(m, factor, flags, grid, grid)
    result = case.run(core, group_num=group_num, ascending=ascending)
    for g, positions in members.items():
        w = pd.DataFrame(np.nan, index=dates, columns=codes)
        w.iloc[0, positions] = 1.0 / len(positions) if positions else np.nan
        expected = ws.calc_strategy_vwap_daily_return(w, *m.market_args()).reindex(dates, fill_value=0.0)
        assert_returns_equal(result.group_daily_return[g], expected, f"group {g}")
        assert (expected.iloc[1] != 0) == bool(positions)  # the example does tell groups apart
    assert result.group_daily_return.iloc[[0, 2]].eq(0).all().all()
    traded = any(members.values())
    assert (result.best_group in members) if traded else np.isnan(result.best_group)


# --------------------------------------------------------------------------
# smoothing, rank IC, best group, benchmark summary
# --------------------------------------------------------------------------


@given(case=cases(allow_inf=False, ties=False, max_dates=16), window=st.integers(2, 5), group_num=st.integers(2, 4))
def test_rolling_window_groups_the_pandas_rolling_mean(core, case, window, group_num):
    smoothed = case.run(core, group_num=group_num, rolling_window=window)
    aligned = G.aligned_factor(case.factor, case.grid, window)
    plain = case.run(core, group_num=group_num, factor_matrix=aligned)
    np.testing.assert_array_equal(smoothed.group_daily_return.to_numpy(), plain.group_daily_return.to_numpy())
    assert_returns_equal(smoothed.rank_ic, plain.rank_ic, "rank IC of the smoothed factor")


@given(case=cases(), window=st.sampled_from([0, 0, 3]), from_open=st.booleans())
def test_rank_ic_is_a_plain_spearman(core, case, window, from_open):
    forward = None if from_open else case.forward
    result = case.run(core, forward_return_rank_cache=forward, rolling_window=window)
    aligned = G.aligned_factor(case.factor, case.grid, window)
    if from_open:
        forward = G.forward_returns(case.open_price, case.grid)
    expected = G.rank_ic(aligned, case.valid, forward)
    assert result.rank_ic.name == "rank_ic" and list(result.rank_ic.index) == list(case.grid.index)
    assert_returns_equal(result.rank_ic, expected, "rank IC")
    if from_open:
        assert result.rank_ic.iloc[-2:].isna().all()  # no forward return for the last two dates


def test_rank_ic_without_forward_inputs_is_missing(core):
    m = sample_market(5)
    result = Case(m, m.frames["close_price"], m.frames["close_price"] * 0 + 1, None, None).run(core)
    assert result.rank_ic.isna().all() and len(result.rank_ic) == len(m.frames["close_price"])


@given(case=cases(allow_inf=False), group_num=st.integers(1, 5))
def test_best_group_has_the_highest_final_net_value(core, case, group_num):
    result = case.run(core, group_num=group_num)
    labels = G.group_labels(G.aligned_factor(case.factor, case.grid), case.valid, group_num)
    if not labels.iloc[:-1].to_numpy().any():  # no signal that could be traded on a later date
        assert np.isnan(result.best_group)
    else:
        final = result.group_cumulative_return.iloc[-1]
        assert result.best_group == final.index[np.flatnonzero(final == final.max())[0]]


@pytest.mark.parametrize(
    "names, expected",
    [
        ("all", ["000852", "000300", "000905"]),
        (None, ["000852", "000300", "000905"]),
        ("000300", ["000300"]),
        (["000905", "000852"], ["000905", "000852"]),
        (["000905", "nope"], ["000905"]),
        ("nope", []),
        ([], []),
    ],
)
def test_benchmark_summary_selection(core, names, expected):
    m = sample_market(21, n_market_dates=12, benchmarks=("000852", "000300", "000905"))
    case = Case(m, m.frames["close_price"].pct_change(fill_method=None), m.frames["close_price"] * 0 + 1,
                m.frames["close_price"], None)
    result = case.run(core, group_num=3, benchmark_dict=m.benchmark_dict, benchmark_names=names)
    summary = result.benchmark_summary
    if not expected:
        assert summary.empty
        return
    plain = G.benchmark_rows(result.group_daily_return, m.benchmark_dict, expected)
    assert list(summary.columns) == ["benchmark_name", "group", "annual_return", "excess_annual_return",
                                     "excess_sharpe", "excess_max_dd"]
    assert list(summary["benchmark_name"]) == list(plain["benchmark_name"])
    assert list(summary["group"]) == list(plain["group"]) == [1, 2, 3] * len(expected)
    for column in plain.columns[2:]:
        np.testing.assert_allclose(summary[column].to_numpy(dtype=np.float64), plain[column].to_numpy(),
                                   rtol=1e-12, atol=1e-14, err_msg=column)


# --------------------------------------------------------------------------
# charts
# --------------------------------------------------------------------------


@pytest.mark.parametrize("kind, wide", [("large", True), ("long", False)])
def test_chart_written(core, tmp_path, kind, wide):
    m = sample_market(3, benchmarks=("000852",))
    grid = m.frames["close_price"]
    target = tmp_path / "new" / "groups.png"
    result = Case(m, grid.pct_change(fill_method=None), grid * 0 + 1, grid, None).run(
        core, group_num=3, benchmark_dict=m.benchmark_dict, plot_image_kind=kind, plot_save_path=target,
        plot_title="groups")
    analytics = tmp_path / "new" / "groups_analytics.png"
    assert result.plot_paths == {"main": {"primary": str(target)}, "analytics": {"primary": str(analytics)}}
    for page in (target, analytics):  # the analytics page beside the chart, in the same layout
        with Image.open(page) as image:
            width, height = image.size
        assert (width > height) == wide


@pytest.mark.parametrize("kind, path", [("long", None), (None, "x.png")])
def test_no_chart_without_kind_or_path(core, tmp_path, kind, path):
    m = sample_market(3)
    grid = m.frames["close_price"]
    target = None if path is None else tmp_path / path
    result = Case(m, grid, grid * 0 + 1, grid, None).run(core, plot_image_kind=kind, plot_save_path=target)
    assert result.plot_paths == {} and list(tmp_path.iterdir()) == []


def test_plot_lock_is_shared_with_the_strategy_charts(ws, core):
    assert core._MATPLOTLIB_PLOT_LOCK is ws._MATPLOTLIB_PLOT_LOCK


def test_concurrent_runs_agree_with_sequential_ones(core):
    samples = []
    for seed in range(4):
        m = sample_market(seed, benchmarks=("000852",))
        grid = m.frames["close_price"]
        samples.append(Case(m, grid.pct_change(fill_method=None), grid * 0 + 1, grid, None))

    def one(k):
        r = samples[k % 4].run(core, group_num=2 + k % 3, rolling_window=k % 2 * 2,
                               benchmark_dict=samples[k % 4].market.benchmark_dict)
        return r.group_daily_return, r.rank_ic, r.benchmark_summary

    sequential = [one(k) for k in range(16)]
    with ThreadPoolExecutor(max_workers=4) as pool:
        parallel = list(pool.map(one, range(16)))
    for a, b in zip(sequential, parallel, strict=True):
        pd.testing.assert_frame_equal(a[0], b[0], check_exact=True)
        pd.testing.assert_series_equal(a[1], b[1], check_exact=True)
        pd.testing.assert_frame_equal(a[2], b[2], check_exact=True)
