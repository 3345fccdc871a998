"""Both kernels give bit-identical results whatever the memory order of their inputs.

Row-ordered inputs are read in place; column-ordered ones (what pandas keeps a
Frame made by arithmetic in) a block of days at a time, and the group kernel
trades a column-ordered market a stock at a time through blocks of 64 days.
The markets here are long enough for several blocks of either kind, and the
layouts cover plain column order, column order with a row step or reversed
rows, and misaligned labels (which leave whole rows and columns absent inside
a block).
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import synthetic

LAYOUTS = ["F", "transposed", "F every other row", "F reversed rows"]


def relaid(frame: pd.DataFrame, how: str) -> pd.DataFrame:
    """The same Frame whose values are stored as `how` says."""
    values = frame.to_numpy()
    if how == "C":
        stored = np.ascontiguousarray(values)
    elif how == "F":
        stored = np.asfortranarray(values)
    elif how == "transposed":
        stored = np.ascontiguousarray(values.T).T
    elif how == "F every other row":
        big = np.zeros((2 * values.shape[0], values.shape[1]), dtype=values.dtype, order="F")
        big[::2] = values
        stored = big[::2]
    elif how == "F reversed rows":
        stored = np.asfortranarray(values[::-1])[::-1]
    else:
        raise AssertionError(how)
    out = pd.DataFrame(stored, index=frame.index, columns=frame.columns, copy=False)
    assert np.shares_memory(out.to_numpy(), stored), "the frame library copied the layout away"
    return out


def identical(a, b) -> None:
    """Equal labels and the same bits in every value."""
    if isinstance(a, pd.DataFrame):
        assert isinstance(b, pd.DataFrame) and a.index.equals(b.index) and a.columns.equals(b.columns)
        for j in range(a.shape[1]):
            identical(a.iloc[:, j], b.iloc[:, j])
    elif isinstance(a, pd.Series):
        assert isinstance(b, pd.Series) and a.index.equals(b.index) and a.dtype == b.dtype
        if a.dtype.kind == "f":
            assert a.to_numpy().tobytes() == b.to_numpy().tobytes()
        else:
            assert a.equals(b)
    elif isinstance(a, dict):
        assert list(a) == list(b)
        for key in a:
            identical(a[key], b[key])
    elif isinstance(a, float):
        assert np.float64(a).tobytes() == np.float64(b).tobytes()
    else:
        assert a == b


@pytest.fixture(scope="module")
def market():
    return synthetic.make_market(n_days=150, n_stocks=40, seed=5)


def misaligned(m) -> dict[str, pd.DataFrame]:
    """The market Frames with shuffled columns, a few dates and codes missing."""
    rng = np.random.default_rng(11)
    frames = m.market_frames()
    out = {}
    for name, frame in frames.items():
        if name == "close_price":
            out[name] = frame
            continue
        rows = [d for j, d in enumerate(frame.index) if j % 37 != 5]
        cols = [c for c in rng.permutation(np.array(frame.columns, dtype=object)) if rng.random() > 0.1]
        out[name] = frame.loc[rows, cols]
    return out


def strategy_cases(m):
    weights = synthetic.momentum_weights(m, top_n=8)
    # weights on a few dates the market does not know, and a code it does not know
    extra = weights.iloc[[10, 70]].copy()
    extra.index = [d + "x" for d in extra.index]
    foreign = pd.concat([weights, extra]).sort_index()
    foreign["999999"] = 0.01
    return {
        "momentum": (weights, m.market_frames()),
        "long short": (synthetic.long_short_weights(m, n=4), m.market_frames()),
        "misaligned": (foreign, misaligned(m)),
    }


@pytest.mark.parametrize("case", ["momentum", "long short", "misaligned"])
@pytest.mark.parametrize("how", LAYOUTS)
def test_strategy_engine_in_every_memory_order(ws, market, case, how):
    weights, frames = strategy_cases(market)[case]
    rows = {name: relaid(frame, "C") for name, frame in frames.items()}
    cols = {name: relaid(frame, how) for name, frame in frames.items()}
    w_rows, w_cols = relaid(weights, "C"), relaid(weights, how)

    identical(ws.calc_strategy_vwap_daily_return(w_rows, **rows), ws.calc_strategy_vwap_daily_return(w_cols, **cols))
    # a market in column order with row-ordered weights, and a market mixing both orders
    mixed = {name: relaid(frame, "C" if j % 2 else how) for j, (name, frame) in enumerate(frames.items())}
    identical(ws.calc_strategy_vwap_daily_return(w_rows, **rows), ws.calc_strategy_vwap_daily_return(w_rows, **mixed))
    for window in (0, 3):
        a = ws.run_strategy_backtest_core(w_rows, **rows, benchmark_dict=market.benchmark_dict, rolling_window=window)
        b = ws.run_strategy_backtest_core(w_cols, **cols, benchmark_dict=market.benchmark_dict, rolling_window=window)
        identical(a.daily_return, b.daily_return)
        identical(a.stats, b.stats)
        identical(a.benchmark_summary, b.benchmark_summary)


def group_inputs(m, aligned: bool) -> dict[str, pd.DataFrame]:
    close = m.adjusted_close()
    factor = -(close / close.shift(5) - 1)
    # Days without any eligible stock, the next day trading nothing and keeping every holding: at the
    # end of a block (day 63, so day 64 opens a block without targets), inside one, and two in a row.
    # Day 127 has targets: the block opening on day 128 trades them.
    factor.iloc[[63, 100, 125, 126]] = np.nan
    # A few stocks leave the universe for a while: their groups sell them where they can.
    valid = m.frames["close_price_valid"].copy()
    valid.iloc[50:90, ::7] = 0.0
    inputs = {"factor_matrix": factor, "close_price_valid": valid,
              "forward_return_rank_cache": m.frames["forward_return_rank_cache"], **m.market_frames()}
    if not aligned:
        rng = np.random.default_rng(3)
        for name in ("factor_matrix", "close_price_valid", "forward_return_rank_cache", "buy_price", "can_buy_stock"):
            frame = inputs[name]
            rows = [d for j, d in enumerate(frame.index) if j % 29 != 7]
            inputs[name] = frame.loc[rows, list(rng.permutation(np.array(frame.columns, dtype=object)))[:-2]]
    return inputs


@pytest.mark.parametrize("aligned", [True, False], ids=["aligned", "misaligned"])
@pytest.mark.parametrize("how", LAYOUTS)
def test_group_kernel_in_every_memory_order(core, market, aligned, how):
    inputs = group_inputs(market, aligned)

    def run(layout: str, group_num=4, **kwargs):
        frames = {name: relaid(frame, layout) for name, frame in inputs.items()}
        return core.run_alpha_vwap_backtest_core(**frames, benchmark_dict=market.benchmark_dict,
                                                 group_num=group_num, plot_image_kind=None, **kwargs)

    # 64 groups: the most a stock-at-a-time pass follows, 65 one more
    for kwargs in ({}, {"rolling_window": 4, "ascending": True}, {"group_num": 64}, {"group_num": 65}):
        a, b = run("C", **kwargs), run(how, **kwargs)
        for field in ("best_group", "group_daily_return", "group_cumulative_return", "rank_ic",
                      "benchmark_summary"):
            identical(getattr(a, field), getattr(b, field))
        daily = a.group_daily_return.to_numpy()
        assert np.abs(daily).sum() > 0  # the groups did trade
        # the day after a day without eligible stocks trades nothing: no holding is sold or revalued
        assert (daily[[64, 101, 126, 127]] == 0).all()
        if not kwargs:  # (smoothed, the gaps last a window longer)
            assert (daily[[65, 102, 128]] != 0).any(axis=1).all()

    # a market mixing both orders, read day by day
    mixed = {name: relaid(frame, "C" if j % 2 else how) for j, (name, frame) in enumerate(inputs.items())}
    b = core.run_alpha_vwap_backtest_core(**mixed, benchmark_dict=market.benchmark_dict, group_num=4,
                                          plot_image_kind=None)
    identical(run("C").group_daily_return, b.group_daily_return)


def test_strategy_engine_over_long_column_ordered_blocks(ws):
    """Enough days for several of the long blocks a column-ordered market is walked in, with sparse
    weights (stocks between holdings are skipped) and a dense table holding NaN, inf and negatives."""
    m = synthetic.make_market(n_days=2300, n_stocks=24, seed=9)
    rng = np.random.default_rng(4)
    dense = pd.DataFrame(rng.normal(0.0, 0.05, (m.n_days, m.n_stocks)), index=m.dates, columns=m.codes)
    dense[rng.random(dense.shape) < 0.2] = np.nan
    dense.iloc[100, 3], dense.iloc[900, 5] = np.inf, -np.inf
    for weights in (synthetic.momentum_weights(m, top_n=3), synthetic.sparse_random_weights(m, density=0.1), dense):
        rows = {name: relaid(frame, "C") for name, frame in m.market_frames().items()}
        cols = {name: relaid(frame, "F") for name, frame in m.market_frames().items()}
        identical(ws.calc_strategy_vwap_daily_return(relaid(weights, "C"), **rows),
                  ws.calc_strategy_vwap_daily_return(relaid(weights, "F"), **cols))
