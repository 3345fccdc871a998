"""Small random markets, weight Frames and daily tables for the tests.

Hypothesis draws the shape of a case (sizes, which holes and oddities are
present, dtypes, memory layouts); a seeded NumPy generator fills in the
numbers, which keeps the examples fast to produce and still reproducible.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import pandas as pd
from hypothesis import strategies as st

from .reference import MARKET_ARGS

# Twenty-four trading dates to pick calendars from, plus a few earlier ones
# that only a benchmark series may carry.
ALL_DATES = tuple(pd.bdate_range("2024-01-02", periods=24).strftime("%Y%m%d"))
EARLY_DATES = tuple(pd.bdate_range("2023-12-01", periods=5).strftime("%Y%m%d"))
ALL_CODES = (
    "600000", "600519", "000001", "000858", "300750", "601318",
    "002594", "688981", "603288", "000333", "601012", "300059",
)
BENCHMARK_NAMES = ("000852", "000300", "000905")


@dataclass
class Market:
    """A weight Frame and the eight market Frames of one backtest."""

    weights: pd.DataFrame
    frames: dict[str, pd.DataFrame]
    benchmark_dict: dict[str, pd.Series] | None = None
    notes: dict = field(default_factory=dict)

    def market_args(self) -> tuple[pd.DataFrame, ...]:
        return tuple(self.frames[name] for name in MARKET_ARGS)

    def args(self) -> tuple[pd.DataFrame, ...]:
        return (self.weights, *self.market_args())

    def __repr__(self) -> str:  # shown by hypothesis on failure
        parts = [f"Market(notes={self.notes!r})", "weights=\n" + self.weights.to_string()]
        for name in MARKET_ARGS:
            parts.append(f"{name} ({self.frames[name].dtypes.iloc[0] if self.frames[name].shape[1] else '-'})=\n"
                         + self.frames[name].to_string())
        if self.benchmark_dict is not None:
            for name, series in self.benchmark_dict.items():
                parts.append(f"benchmark {name}=\n" + series.to_string())
        return "\n".join(parts)


# --------------------------------------------------------------------------
# building blocks
# --------------------------------------------------------------------------


def _holes(rng: np.random.Generator, values: np.ndarray, p: float, fill: float) -> np.ndarray:
    if p > 0:
        values = values.copy()
        values[rng.random(values.shape) < p] = fill
    return values


def _frame(values: np.ndarray, index, columns, layout: str) -> pd.DataFrame:
    """A float Frame whose ``to_numpy()`` is in the asked memory order."""
    if layout == "C":
        return pd.DataFrame(np.ascontiguousarray(values), index=list(index), columns=list(columns), copy=False)
    if layout == "F":
        return pd.DataFrame(np.asfortranarray(values), index=list(index), columns=list(columns), copy=False)
    # "blocks": columns inserted one at a time stay in separate blocks
    frame = pd.DataFrame(index=list(index))
    for k, c in enumerate(columns):
        frame[c] = values[:, k].copy()
    return frame


def _feasibility(rng, truth: np.ndarray, kind: str, index, columns) -> pd.DataFrame:
    if kind == "bool":
        return pd.DataFrame(truth.astype(bool), index=list(index), columns=list(columns))
    if kind == "int":
        # any non-zero integer counts as true
        values = np.where(truth, rng.integers(1, 4, truth.shape), 0).astype(np.int64)
        return pd.DataFrame(values, index=list(index), columns=list(columns))
    values = truth.astype(np.float64)
    if kind == "float_nan":
        # a NaN cell blocks the trade just like an absent one
        values = _holes(rng, values, 0.15, np.nan)
    return pd.DataFrame(values, index=list(index), columns=list(columns))


def _shuffle_and_trim(rng, frame: pd.DataFrame, shuffle: bool, p_drop: float) -> pd.DataFrame:
    cols = list(frame.columns)
    if shuffle:
        cols = list(rng.permutation(np.array(cols, dtype=object)))
    rows = list(frame.index)
    if p_drop > 0:
        cols = [c for c in cols if rng.random() >= p_drop]
        rows = [r for r in rows if rng.random() >= p_drop]
    if cols == list(frame.columns) and rows == list(frame.index):
        return frame
    return frame.loc[rows, cols]


@dataclass(frozen=True)
class Knobs:
    """Everything hypothesis decides about a market; the rest is noise."""

    seed: int
    n_market_dates: int
    n_market_codes: int
    n_foreign_dates: int          # weight dates the market does not know
    n_foreign_codes: int          # weight codes the market does not know
    weight_date_share: float      # share of market dates that carry weights
    weight_mode: str
    p_nan_weight: float
    p_zero_weight: float
    p_inf_weight: float
    p_nan_row: float
    p_nan_price: float
    p_inf_price: float
    p_bad_prev_close: float
    p_split: float
    p_dividend: float
    p_block_buy: float
    p_block_sell: float
    can_buy_kind: str
    cant_sell_kind: str
    layouts: tuple[str, ...]
    shuffle_columns: bool
    p_drop_label: float
    benchmarks: tuple[str, ...] | None
    benchmark_disjoint: bool


def build_market(k: Knobs) -> Market:
    rng = np.random.default_rng(k.seed)

    # Calendars: market dates and weight dates overlap but need not agree.
    picks = sorted(rng.choice(len(ALL_DATES), size=k.n_market_dates + k.n_foreign_dates, replace=False))
    foreign_pos = (set(rng.choice(len(picks), size=k.n_foreign_dates, replace=False).tolist())
                   if k.n_foreign_dates else set())
    market_dates = [ALL_DATES[p] for j, p in enumerate(picks) if j not in foreign_pos]
    foreign_dates = [ALL_DATES[p] for j, p in enumerate(picks) if j in foreign_pos]
    chosen = [d for d in market_dates if rng.random() < k.weight_date_share]
    weight_dates = sorted(set(chosen) | set(foreign_dates))
    if len(weight_dates) < 2:
        weight_dates = sorted(set(weight_dates) | set(market_dates[:2]))

    codes = list(rng.choice(np.array(ALL_CODES, dtype=object), size=k.n_market_codes + k.n_foreign_codes,
                            replace=False))
    market_codes = codes[:k.n_market_codes]
    foreign_codes = codes[k.n_market_codes:]
    weight_codes = [c for c in market_codes if rng.random() < 0.85] + foreign_codes
    if not weight_codes:
        weight_codes = market_codes[:1]
    rng.shuffle(weight_codes)

    # Weights.
    shape = (len(weight_dates), len(weight_codes))
    if k.weight_mode == "equal":
        w = np.full(shape, 1.0 / shape[1])
    elif k.weight_mode == "long_short":
        w = rng.uniform(-0.4, 0.6, shape)
    elif k.weight_mode == "large":
        w = rng.uniform(0.0, 3.0, shape)
    else:  # "random"
        w = rng.uniform(0.0, 0.5, shape)
        w = np.round(w, int(rng.integers(1, 4)))
    w = _holes(rng, w, k.p_zero_weight, 0.0)
    w = _holes(rng, w, k.p_nan_weight, np.nan)
    if k.p_inf_weight:
        w = _holes(rng, w, k.p_inf_weight / 2, np.inf)
        w = _holes(rng, w, k.p_inf_weight / 2, -np.inf)
    if k.p_nan_row:
        w[rng.random(shape[0]) < k.p_nan_row, :] = np.nan
    weights = pd.DataFrame(w, index=weight_dates, columns=weight_codes)

    # Prices.
    mshape = (len(market_dates), len(market_codes))
    level = rng.uniform(2.0, 60.0, mshape[1])
    prev_close = np.round(level * rng.uniform(0.9, 1.1, mshape), 2)
    close = np.round(prev_close * rng.uniform(0.9, 1.1, mshape), 2)
    buy = np.round(prev_close * rng.uniform(0.92, 1.08, mshape), 2)
    sell = np.round(prev_close * rng.uniform(0.92, 1.08, mshape), 2)
    prices = {"close_price": close, "prev_close": prev_close, "buy_price": buy, "sell_price": sell}
    for name, values in prices.items():
        values = _holes(rng, values, k.p_nan_price, np.nan)
        if k.p_inf_price:
            values = _holes(rng, values, k.p_inf_price, np.inf)
            values = _holes(rng, values, k.p_inf_price / 3, -np.inf)
        prices[name] = values
    if k.p_bad_prev_close:
        prices["prev_close"] = _holes(rng, prices["prev_close"], k.p_bad_prev_close, 0.0)
        prices["prev_close"] = _holes(rng, prices["prev_close"], k.p_bad_prev_close, -1.5)

    split = np.full(mshape, np.nan)
    if k.p_split:
        hit = rng.random(mshape) < k.p_split
        split[hit] = rng.choice([2.0, 1.5, 0.5, 1.0, 1.3], size=int(hit.sum()))
        if k.p_inf_price:
            split = _holes(rng, split, k.p_inf_price / 2, np.inf)
    dividend = np.full(mshape, np.nan)
    if k.p_dividend:
        hit = rng.random(mshape) < k.p_dividend
        dividend[hit] = np.round(rng.uniform(0.01, 1.5, int(hit.sum())), 3)
        if k.p_inf_price:
            dividend = _holes(rng, dividend, k.p_inf_price / 2, np.inf)

    frames: dict[str, pd.DataFrame] = {}
    float_data = {**prices, "split_factor": split, "dividend_factor": dividend}
    for j, name in enumerate(("close_price", "prev_close", "buy_price", "sell_price", "split_factor",
                              "dividend_factor")):
        frames[name] = _frame(float_data[name], market_dates, market_codes, k.layouts[j % len(k.layouts)])

    can_buy = rng.random(mshape) >= k.p_block_buy
    cant_sell = rng.random(mshape) < k.p_block_sell
    frames["can_buy_stock"] = _feasibility(rng, can_buy, k.can_buy_kind, market_dates, market_codes)
    frames["cant_sell_stock"] = _feasibility(rng, cant_sell, k.cant_sell_kind, market_dates, market_codes)

    for name in MARKET_ARGS:
        # close_price decides which weights survive alignment: keep it whole
        p_drop = 0.0 if name == "close_price" else k.p_drop_label
        frames[name] = _shuffle_and_trim(rng, frames[name], k.shuffle_columns, p_drop)

    benchmark_dict = None
    if k.benchmarks is not None:
        benchmark_dict = {}
        for j, name in enumerate(k.benchmarks):
            if k.benchmark_disjoint and j == len(k.benchmarks) - 1:
                dates = list(EARLY_DATES)
            else:
                dates = list(EARLY_DATES[rng.integers(0, len(EARLY_DATES)):]) + [
                    d for d in market_dates if rng.random() < 0.9]
            values = np.round(rng.uniform(-0.03, 0.03, len(dates)), 4)
            values = _holes(rng, values, 0.1, np.nan)
            # Infinities only before the first traded date: the primary's
            # level cleans them, the summary never sees those dates.
            early = np.array([d < ALL_DATES[0] for d in dates])
            values[early & (rng.random(len(dates)) < 0.3)] = np.inf
            benchmark_dict[name] = pd.Series(values, index=dates, dtype=np.float64)

    return Market(weights, frames, benchmark_dict, notes={"seed": k.seed})


# --------------------------------------------------------------------------
# hypothesis strategies
# --------------------------------------------------------------------------

@st.composite
def market_knobs(draw, *, allow_inf: bool = True, max_dates: int = 12, max_codes: int = 8,
                 with_benchmarks: bool = False) -> Knobs:
    inf_on = allow_inf and draw(st.booleans())
    benchmarks = None
    if with_benchmarks and draw(st.integers(0, 3)) > 0:
        names = draw(st.permutations(BENCHMARK_NAMES))
        benchmarks = tuple(names[:draw(st.integers(0, 3))])
    return Knobs(
        seed=draw(st.integers(0, 2**32 - 1)),
        n_market_dates=draw(st.integers(2, max_dates)),
        n_market_codes=draw(st.integers(1, max_codes)),
        n_foreign_dates=draw(st.integers(0, 2)),
        n_foreign_codes=draw(st.integers(0, 2)),
        weight_date_share=draw(st.sampled_from([1.0, 1.0, 0.8, 0.5])),
        weight_mode=draw(st.sampled_from(["equal", "random", "long_short", "large"])),
        p_nan_weight=draw(st.sampled_from([0.0, 0.1, 0.4])),
        p_zero_weight=draw(st.sampled_from([0.0, 0.0, 0.2])),
        p_inf_weight=draw(st.sampled_from([0.0, 0.1])) if inf_on else 0.0,
        p_nan_row=draw(st.sampled_from([0.0, 0.0, 0.25])),
        p_nan_price=draw(st.sampled_from([0.0, 0.05, 0.2])),
        p_inf_price=draw(st.sampled_from([0.0, 0.05])) if inf_on else 0.0,
        p_bad_prev_close=draw(st.sampled_from([0.0, 0.05])),
        p_split=draw(st.sampled_from([0.0, 0.1, 0.3])),
        p_dividend=draw(st.sampled_from([0.0, 0.1, 0.3])),
        p_block_buy=draw(st.sampled_from([0.0, 0.15, 0.5])),
        p_block_sell=draw(st.sampled_from([0.0, 0.15, 0.5])),
        can_buy_kind=draw(st.sampled_from(["bool", "int", "float", "float_nan"])),
        cant_sell_kind=draw(st.sampled_from(["bool", "int", "float", "float_nan"])),
        layouts=tuple(draw(st.lists(st.sampled_from(["C", "F", "blocks"]), min_size=1, max_size=3))),
        shuffle_columns=draw(st.booleans()),
        p_drop_label=draw(st.sampled_from([0.0, 0.0, 0.15])),
        benchmarks=benchmarks,
        benchmark_disjoint=draw(st.booleans()) if benchmarks else False,
    )


def markets(**kwargs) -> st.SearchStrategy[Market]:
    return market_knobs(**kwargs).map(build_market)


# Simulation parameters other than the defaults.
sim_params = st.fixed_dictionaries({
    "total_money": st.sampled_from([1e8, 1e8, 2.5e6, 3e4]),
    "fee": st.sampled_from([0.0001, 0.0, 0.003]),
    "rule_fee": st.sampled_from([0.0005, 0.0, 0.001]),
    "lot_size": st.sampled_from([200, 200, 100, 1, 7]),
})


@st.composite
def weight_frames(draw, max_rows: int = 10, max_cols: int = 5) -> pd.DataFrame:
    """Weight Frames for the smoothing: NaN, zeros, infinities, repeats."""
    n_rows = draw(st.integers(0, max_rows))
    n_cols = draw(st.integers(0, max_cols))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    palette = np.array([0.0, 0.1, 0.2, 0.25, 1 / 3, -0.1, 0.05, 0.7])
    values = rng.choice(palette, size=(n_rows, n_cols))
    if draw(st.booleans()):
        values = np.where(rng.random(values.shape) < 0.5, rng.uniform(-1, 1, values.shape), values)
    values = _holes(rng, values, draw(st.sampled_from([0.0, 0.2, 0.6])), np.nan)
    if draw(st.booleans()):
        values = _holes(rng, values, 0.08, np.inf)
        values = _holes(rng, values, 0.08, -np.inf)
    if n_rows and draw(st.booleans()):
        values[rng.random(n_rows) < 0.3, :] = np.nan
    return pd.DataFrame(values, index=list(ALL_DATES[:n_rows]), columns=list(ALL_CODES[:n_cols]))


@st.composite
def daily_tables(draw, max_rows: int = 14) -> pd.DataFrame:
    """Joined daily tables: strategy and benchmark returns, maybe a level."""
    n = draw(st.integers(0, max_rows))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    p_nan = draw(st.sampled_from([0.0, 0.1, 0.3]))
    strategy = _holes(rng, np.round(rng.normal(0.001, 0.02, n), draw(st.sampled_from([3, 6, 12]))), p_nan, np.nan)
    bench = _holes(rng, np.round(rng.normal(0.0, 0.015, n), 4), p_nan, np.nan)
    if draw(st.booleans()) and n:
        # a day or two at zero or with equal returns
        bench[rng.random(n) < 0.2] = 0.0
        strategy[rng.random(n) < 0.2] = 0.0
    table = pd.DataFrame({"daily_return": strategy}, index=list(ALL_DATES[:n]))
    close_kind = draw(st.sampled_from(["none", "level", "zero_first", "flat"]))
    if close_kind == "level":
        table["close"] = _holes(rng, np.round(3000 * (1 + np.cumsum(rng.normal(0, 0.01, n))), 2), p_nan, np.nan)
    elif close_kind == "zero_first":
        table["close"] = np.where(np.arange(n) == 0, 0.0, np.round(rng.uniform(2900, 3100, n), 2))
    elif close_kind == "flat":
        table["close"] = 1.0
    table["index_daily_return"] = bench
    if n and draw(st.sampled_from([False, False, False, True])):
        # the odd infinite return: kept by the missing-value filter
        column = draw(st.sampled_from(["daily_return", "index_daily_return"]))
        table.iloc[int(rng.integers(0, n)), table.columns.get_loc(column)] = draw(st.sampled_from([np.inf, -np.inf]))
    if draw(st.booleans()):
        table["turnover_note"] = _holes(rng, rng.uniform(0, 1, n), p_nan, np.nan)
    if draw(st.booleans()):
        table = table[[c for c in reversed(table.columns)]]
    return table


def sample_market(seed: int = 7, **changes) -> Market:
    """A fixed, moderately eventful market for tests that need just one."""
    knobs = dict(
        seed=seed, n_market_dates=8, n_market_codes=5, n_foreign_dates=1, n_foreign_codes=1,
        weight_date_share=1.0, weight_mode="long_short", p_nan_weight=0.1, p_zero_weight=0.1,
        p_inf_weight=0.0, p_nan_row=0.0, p_nan_price=0.05, p_inf_price=0.0, p_bad_prev_close=0.0,
        p_split=0.1, p_dividend=0.1, p_block_buy=0.15, p_block_sell=0.15, can_buy_kind="bool",
        cant_sell_kind="bool", layouts=("C",), shuffle_columns=False, p_drop_label=0.0,
        benchmarks=("000852", "000300"), benchmark_disjoint=False,
    )
    knobs.update(changes)
    return build_market(Knobs(**knobs))
