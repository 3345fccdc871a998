import dataclasses
import hashlib

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.backtest._store import component_dataset_key
from vantorel.backtest.synthetic import (
    BENCHMARK_NAMES,
    COMPONENT_NAMES,
    long_short_weights,
    make_market,
    market_payload,
    momentum_weights,
    sparse_random_weights,
)

BASE_KEYS = [
    "industry_matrix",
    "close_price",
    "open_price",
    "close_price_valid",
    "prev_close",
    "buy_price",
    "sell_price",
    "rq_get_split",
    "rq_get_dividend",
    "can_buy_stock",
    "cant_sell_stock",
    "forward_return_rank_cache",
]


@pytest.fixture(scope="module")
def mkt():
    return make_market(n_days=300, n_stocks=400, seed=3)


def arr(mkt, key):
    return mkt.frames[key].to_numpy()


def test_same_seed_gives_identical_market_and_other_seed_differs():
    a = make_market(n_days=60, n_stocks=50, seed=1)
    b = make_market(n_days=60, n_stocks=50, seed=1)
    assert a.dates == b.dates and a.codes == b.codes
    for key in BASE_KEYS:
        pd.testing.assert_frame_equal(a.frames[key], b.frames[key])
    for name in COMPONENT_NAMES:
        pd.testing.assert_frame_equal(a.components[name], b.components[name])
    for name in BENCHMARK_NAMES:
        pd.testing.assert_series_equal(a.benchmark_dict[name], b.benchmark_dict[name])
    c = make_market(n_days=60, n_stocks=50, seed=2)
    assert not a.frames["close_price"].equals(c.frames["close_price"])


def test_rejects_empty_market():
    with pytest.raises(ValueError):
        make_market(n_days=0)
    with pytest.raises(ValueError):
        make_market(n_stocks=0)


def test_calendar_codes_labels_and_dtypes(mkt):
    days = pd.to_datetime(pd.Series(mkt.dates), format="%Y%m%d")
    assert mkt.dates == sorted(set(mkt.dates)) and len(mkt.dates) == 300
    assert (days.dt.day_of_week < 5).all()
    md = list(zip(days.dt.month, days.dt.day, strict=True))
    assert (1, 1) not in md and (5, 1) not in md and not any(m == 10 and d <= 7 for m, d in md)

    assert mkt.codes == sorted(set(mkt.codes)) and len(mkt.codes) == 400
    assert all(len(c) == 6 and c.isdigit() for c in mkt.codes)
    assert {c[:2] for c in mkt.codes} == {"60", "68", "00", "30"}

    assert list(mkt.frames) == BASE_KEYS
    assert list(mkt.components) == list(COMPONENT_NAMES)
    for key, frame in [*mkt.frames.items(), *mkt.components.items()]:
        assert list(frame.index) == mkt.dates and list(frame.columns) == mkt.codes, key
        want = bool if key in ("can_buy_stock", "cant_sell_stock") else np.float64
        assert (frame.dtypes == want).all(), key

    engine = mkt.market_frames()
    assert list(engine) == [
        "can_buy_stock", "cant_sell_stock", "split_factor", "dividend_factor",
        "close_price", "prev_close", "buy_price", "sell_price",
    ]  # fmt: skip
    assert engine["split_factor"] is mkt.frames["rq_get_split"]
    assert engine["dividend_factor"] is mkt.frames["rq_get_dividend"]

    industry = arr(mkt, "industry_matrix")
    assert (industry == industry[0]).all() and set(np.unique(industry)) <= set(range(1, 31))


def test_prices_stay_in_cents_and_within_limits(mkt):
    close, buy, sell = arr(mkt, "close_price"), arr(mkt, "buy_price"), arr(mkt, "sell_price")
    up, down = mkt.limit_up.to_numpy(), mkt.limit_down.to_numpy()
    trading = np.isfinite(buy)
    for price in (close, arr(mkt, "open_price"), buy, sell, up, down):
        seen = price[np.isfinite(price)]
        np.testing.assert_array_equal(seen, np.round(seen, 2))
    for price in (close, arr(mkt, "open_price"), buy, sell):
        p, lo, hi = price[trading], down[trading], up[trading]
        assert ((p >= lo) & (p <= hi)).all()
    for price in (buy, sell):
        assert (np.abs(price[trading] / close[trading] - 1.0) <= 0.01 + 1e-9).all()
    # Limits come from the previous close except on ex days.
    prev = arr(mkt, "prev_close")
    ex_day = np.isfinite(arr(mkt, "rq_get_split")) | np.isfinite(arr(mkt, "rq_get_dividend"))
    plain = trading & np.isfinite(prev) & ~ex_day
    np.testing.assert_array_equal(up[plain], np.round(prev[plain] * 1.1, 2))
    np.testing.assert_array_equal(down[plain], np.round(prev[plain] * 0.9, 2))


def test_limit_days_block_trading_and_masks_follow_prices(mkt):
    close, buy, sell = arr(mkt, "close_price"), arr(mkt, "buy_price"), arr(mkt, "sell_price")
    up, down = mkt.limit_up.to_numpy(), mkt.limit_down.to_numpy()
    can_buy, cant_sell = arr(mkt, "can_buy_stock"), arr(mkt, "cant_sell_stock")
    trading = np.isfinite(buy)
    at_up, at_down = trading & (close == up), trading & (close == down)
    assert 0.005 < at_up.mean() < 0.05 and 0.003 < at_down.mean() < 0.05
    assert (buy[at_up] == up[at_up]).all() and not can_buy[at_up].any()
    assert (sell[at_down] == down[at_down]).all() and cant_sell[at_down].all()
    np.testing.assert_array_equal(can_buy, trading & (buy != up))
    np.testing.assert_array_equal(cant_sell, ~np.isfinite(sell) | (sell == down))


def test_suspended_and_unlisted_days(mkt):
    close, prev = arr(mkt, "close_price"), arr(mkt, "prev_close")
    halted = np.isfinite(close) & np.isnan(arr(mkt, "buy_price"))
    assert 0.001 < halted.mean() < 0.05
    assert (halted[1:] & halted[:-1]).any()  # runs longer than a day
    np.testing.assert_array_equal(close[halted], prev[halted])
    for key in ("open_price", "sell_price", "close_price_valid"):
        assert np.isnan(arr(mkt, key)[halted]).all(), key
    assert not arr(mkt, "can_buy_stock")[halted].any() and arr(mkt, "cant_sell_stock")[halted].all()

    listed = np.isfinite(close)
    late = ~listed[0]
    assert 0 < late.sum() < close.shape[1]
    assert (np.diff(listed.astype(int), axis=0) >= 0).all()  # once listed, always quoted
    unlisted = ~listed
    assert not arr(mkt, "can_buy_stock")[unlisted].any() and arr(mkt, "cant_sell_stock")[unlisted].all()
    np.testing.assert_array_equal(np.isfinite(arr(mkt, "close_price_valid")), listed & ~halted)


def test_prev_close_splits_and_dividends(mkt):
    close, prev = arr(mkt, "close_price"), arr(mkt, "prev_close")
    assert np.isnan(prev[0]).all()
    np.testing.assert_array_equal(prev[1:], close[:-1])

    split, dividend = arr(mkt, "rq_get_split"), arr(mkt, "rq_get_dividend")
    trading = np.isfinite(arr(mkt, "close_price_valid"))
    is_split, is_div = np.isfinite(split), np.isfinite(dividend)
    assert is_split.sum() >= 3 and is_div.sum() >= 30
    assert not (is_split & is_div).any() and trading[is_split].all() and trading[is_div].all()
    assert set(np.unique(split[is_split])) <= {2.0, 1.5, 1.2}
    # The price continues from the ex-rights level: a held share neither gains
    # nor loses more than the day's limit move.
    s, d = np.nan_to_num(split, nan=1.0), np.nan_to_num(dividend, nan=0.0)
    ex = is_split | is_div
    held = (s[ex] * close[ex] + d[ex]) / prev[ex]
    assert ((held > 0.88) & (held < 1.12)).all()
    assert ((d[is_div] > 0) & (d[is_div] <= 0.031 * prev[is_div] + 0.01)).all()
    level = mkt.adjusted_close().to_numpy()
    jumps = level[1:] / level[:-1]
    assert (np.abs(jumps[np.isfinite(jumps)] - 1) < 0.12).all()


def test_forward_return_rank_cache(mkt):
    open_ = mkt.frames["open_price"]
    want = (open_.shift(-2) / open_.shift(-1) - 1).rank(axis=1, method="average")
    got = mkt.frames["forward_return_rank_cache"]
    pd.testing.assert_frame_equal(got, want)
    assert got.iloc[-2:].isna().all().all() and got.iloc[:-2].notna().any(axis=1).all()


def test_components_and_benchmarks(mkt):
    members = {n: mkt.components[n].to_numpy() for n in COMPONENT_NAMES}
    for name, mask in members.items():
        assert set(np.unique(mask[np.isfinite(mask)])) == {1.0}, name
        assert (np.isfinite(mask[:125]) == np.isfinite(mask[0])).all(), name
    big3 = [np.isfinite(members[n]) for n in COMPONENT_NAMES[:3]]
    assert not (big3[0] & big3[1]).any() and not (big3[1] & big3[2]).any()
    assert np.isfinite(arr(mkt, "close_price"))[np.isfinite(members[COMPONENT_NAMES[0]])].all()

    assert list(mkt.benchmark_dict) == list(BENCHMARK_NAMES)
    close, prev = arr(mkt, "close_price"), arr(mkt, "prev_close")
    ex_day = np.isfinite(arr(mkt, "rq_get_split")) | np.isfinite(arr(mkt, "rq_get_dividend"))
    ret = np.where(ex_day, np.nan, close / prev - 1)
    for name, series in mkt.benchmark_dict.items():
        assert series.name is None and series.dtype == np.float64 and series.notna().all()
        assert list(series.index) == mkt.dates and 0.003 < series.std() < 0.05
        mask = members[f"rq_index_components_new_{name}.XSHG"]
        member_mean = np.nanmean(ret[1:] * mask[1:], axis=1)
        assert np.corrcoef(member_mean, series.to_numpy()[1:])[0, 1] > 0.9


def test_weight_tables_have_the_described_structure(mkt):
    lookback = 20
    level = mkt.adjusted_close()
    score = (level / level.shift(lookback) - 1).where(mkt.frames["close_price_valid"].notna())

    mom = momentum_weights(mkt, top_n=40, lookback=lookback)
    assert mom.iloc[:lookback].isna().all().all()
    chosen = mom.iloc[lookback:].notna()
    candidates = score.iloc[lookback:].notna().sum(axis=1)
    np.testing.assert_array_equal(chosen.sum(axis=1), np.minimum(40, candidates))
    values = mom.to_numpy()
    assert (values[np.isfinite(values)] == 1 / 40).all()
    for day in mom.index[lookback::50]:
        row, picked = score.loc[day], chosen.loc[day]
        assert row[picked].min() >= row[~picked].max()

    ls = long_short_weights(mkt, n=10, lookback=lookback, seed=5)
    assert ls.iloc[:lookback].isna().all().all()
    rows = ls.iloc[lookback:]
    assert ((rows == 0.05).sum(axis=1) == 10).all() and ((rows == -0.05).sum(axis=1) == 10).all()
    assert rows.notna().sum(axis=1).eq(20).all()
    for day in ls.index[lookback::50]:
        row = score.loc[day]
        assert row[ls.loc[day] > 0].min() > row[ls.loc[day] < 0].max()

    sparse = sparse_random_weights(mkt, density=0.05, seed=7)
    values = sparse.to_numpy()
    assert (values[np.isfinite(values)] > 0).all() and (np.nansum(values, axis=1) <= 1.0).all()
    assert 0.04 < np.isfinite(values).mean() < 0.06
    pd.testing.assert_frame_equal(sparse, sparse_random_weights(mkt, density=0.05, seed=7))


def _digest(market) -> str:
    """A digest of everything generated, numbers rounded to 1e-9 (prices are whole cents, so this
    only hides last-bit differences of the platform's exp and log)."""
    h = hashlib.sha256()
    h.update("|".join(market.dates + market.codes).encode())

    def add(name, values):
        values = np.asarray(values)
        if values.dtype != bool:
            values = np.round(values.astype(np.float64), 9) + 0.0
            values[np.isnan(values)] = np.nan
        h.update(name.encode() + str(values.dtype).encode() + np.ascontiguousarray(values).tobytes())

    for group in (market.frames, market.components, market.benchmark_dict):
        for name, obj in group.items():
            add(name, obj.to_numpy())
    add("limit_up", market.limit_up.to_numpy())
    add("limit_down", market.limit_down.to_numpy())
    add("momentum", momentum_weights(market, top_n=5, lookback=3).to_numpy())
    add("long_short", long_short_weights(market, n=3, lookback=3, seed=4).to_numpy())
    add("sparse", sparse_random_weights(market, density=0.1, seed=2).to_numpy())
    return h.hexdigest()


def test_the_generated_market_does_not_change():
    """Every random draw in the same order: tests and benchmarks elsewhere rely on these exact markets.
    Two segments of index membership, late listings, suspensions, splits and dividends are all in it."""
    market = make_market(n_days=260, n_stocks=60, seed=11)
    assert np.isfinite(market.frames["rq_get_split"].to_numpy()).any()
    assert _digest(market) == DIGEST_260x60
    assert _digest(make_market(n_days=3, n_stocks=2, seed=1, start_date="20200102")) == DIGEST_3x2


def test_payload_keys_are_the_stores_for_any_component_name(tmp_path):
    """The store lowers ASCII letters only (keys in stored files depend on it); the payload must use
    the same keys, or a store listing these names would not find their matrices."""
    market = make_market(n_days=12, n_stocks=6, seed=1)
    names = ["İndex.XSHG", "ΣIGMA.Sz", "ＡＢＣ.XSHE", "Straße.DE", "MiXeD.Case"]
    renamed = dataclasses.replace(market, components=dict(zip(names, market.components.values(), strict=True)))
    payload = market_payload(renamed)
    keys = payload["meta"]["component_dataset_keys"]
    assert keys == {name: component_dataset_key(name) for name in names}
    assert list(keys.values()) == [
        "component__İndex_xshg", "component__Σigma_sz", "component__ＡＢＣ_xshe", "component__straße_de",
        "component__mixed_case",
    ]  # fmt: skip
    assert [k for k in payload["data"] if k.startswith("component__")] == list(keys.values())

    with pytest.raises(UnicodeEncodeError):  # no UTF-8 form, so no file name either
        component_dataset_key("a\ud800")

    store = BinaryPreparedDataStore(tmp_path, names)
    store.write(payload)
    data = store.load()["data"]
    for name, mask in renamed.components.items():
        np.testing.assert_array_equal(data[keys[name]].to_numpy(), mask.to_numpy())


DIGEST_260x60 = "571fed7c304302db6bfcd05513ab3522364636e7b501757aa3b25d2aae9df912"
DIGEST_3x2 = "ee110c059335f03aa931c081a4af50c774e37c62acb8faf3bcfc407d82e5c377"
