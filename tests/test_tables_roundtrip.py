"""Stores built from researchers' tables: the same store as from the data service, exact round trips
store -> tables -> store, and tables that grow by new dates picked up by the incremental update."""

from __future__ import annotations

import dataclasses
import logging

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import BacktestService, synthetic
from vantorel.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder
from vantorel.backtest.data_dir import using_data_dir
from vantorel.backtest.synthetic_service import SyntheticDataService
from vantorel.backtest.tables import TablesDataService, export_tables, prepare_from_tables
from vantorel.backtest.tables.prepare import using_client

pytest.importorskip("pyarrow")


def _service_store(market, path, end=None):
    """The store the builder makes from the data service over the market (up to ``end``)."""
    with using_client(SyntheticDataService(market)):
        payload = GroupPreparedDataBuilder(market.dates[0], end or market.dates[-1]).build()
    BinaryPreparedDataStore(path).write(payload)
    return path


def _loaded(path):
    return BinaryPreparedDataStore(path).load(mmap=False)["data"]


def assert_same_store(a, b):
    left, right = _loaded(a), _loaded(b)
    assert list(left) == list(right)
    for key in left:
        if key == "benchmark_dict":
            assert list(left[key]) == list(right[key])
            for name in left[key]:
                pd.testing.assert_series_equal(left[key][name], right[key][name], check_exact=True)
        else:
            pd.testing.assert_frame_equal(left[key], right[key], check_exact=True, obj=key)


def _with_delistings(market, seed=0):
    """The market with some stocks delisted part-way: no prices, no membership after their last day."""
    rng = np.random.default_rng(seed)
    frames = {k: v.copy() for k, v in market.frames.items()}
    components = {k: v.copy() for k, v in market.components.items()}
    limit_up, limit_down = market.limit_up.copy(), market.limit_down.copy()
    gone = rng.choice(market.n_stocks, size=max(2, market.n_stocks // 8), replace=False)
    last = rng.integers(market.n_days // 3, market.n_days - 5, size=gone.size)
    for stock, day in zip(gone, last, strict=True):
        for frame in (*frames.values(), *components.values(), limit_up, limit_down):
            if pd.api.types.is_bool_dtype(frame.dtypes.iloc[stock]):
                continue
            frame.iloc[day + 1:, stock] = np.nan
    return dataclasses.replace(market, frames=frames, components=components, limit_up=limit_up,
                               limit_down=limit_down)


@pytest.fixture(scope="module")
def market():
    return _with_delistings(synthetic.make_market(n_days=260, n_stocks=90, seed=5))


@pytest.fixture(scope="module")
def service_store(market, tmp_path_factory):
    return _service_store(market, tmp_path_factory.mktemp("service") / "store")


def test_the_market_has_what_the_round_trip_must_carry(market, service_store):
    data = _loaded(service_store)
    close = data["close_price"].to_numpy()
    listed = np.isfinite(close)
    assert (~listed[0]).any() and listed[-1].sum() < listed.max(axis=0).sum()  # late listings, delistings
    assert (~data["can_buy_stock"].to_numpy() & listed).any()  # suspensions and limit-up days
    assert (data["cant_sell_stock"].to_numpy() & listed).any()
    assert np.isfinite(data["rq_get_split"].to_numpy()).any() and np.isfinite(data["rq_get_dividend"].to_numpy()).any()


@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_store_to_tables_to_store_is_exact(service_store, tmp_path, fmt):
    files = export_tables(tmp_path / "tables", service_store, format=fmt)
    assert sorted(files) == ["actions", "bars", "indices", "membership"]
    assert all(p.suffix == f".{fmt}" and p.exists() for p in files.values())
    assert prepare_from_tables(tmp_path / "tables", tmp_path / "store") == "built"
    assert_same_store(service_store, tmp_path / "store")
    # and once more: the export of the rebuilt store is the same tables
    again = export_tables(tmp_path / "again", tmp_path / "store", format=fmt)
    for name, path in files.items():
        read = pd.read_parquet if fmt == "parquet" else pd.read_csv
        pd.testing.assert_frame_equal(read(path), read(again[name]), check_exact=True, obj=name)


def test_tables_client_serves_what_the_data_service_serves(market, service_store, tmp_path):
    """The builder's payload from the exported tables equals its payload from the service itself."""
    export_tables(tmp_path, service_store)
    client = TablesDataService(tmp_path)
    assert client.dates == market.dates
    with using_client(client):
        from_tables = GroupPreparedDataBuilder(market.dates[0], market.dates[-1]).build()["data"]
    with using_client(SyntheticDataService(market)):
        from_service = GroupPreparedDataBuilder(market.dates[0], market.dates[-1]).build()["data"]
    for key, frame in from_service.items():
        if key != "benchmark_dict":
            pd.testing.assert_frame_equal(from_tables[key], frame, check_exact=True, obj=key)


def test_new_dates_in_the_tables_are_appended(market, service_store, tmp_path, caplog):
    export_tables(tmp_path / "all", service_store)
    bars = pd.read_parquet(tmp_path / "all" / "bars.parquet")
    cut = pd.Timestamp(market.dates[200])
    tables = tmp_path / "growing"
    tables.mkdir()
    for name in ("actions", "membership", "indices"):
        (tmp_path / "all" / f"{name}.parquet").rename(tables / f"{name}.parquet")
    bars[bars["date"] <= cut.date()].to_parquet(tables / "bars_1.parquet")
    assert prepare_from_tables(tables, tmp_path / "store") == "built"
    assert BinaryPreparedDataStore(tmp_path / "store").load_metadata()["datasets"]["close_price"]["index"][-1] \
        == market.dates[200]

    bars[bars["date"] > cut.date()].to_parquet(tables / "bars_2.parquet")  # a new file of later dates
    caplog.set_level(logging.INFO, logger="vantorel")
    assert prepare_from_tables(tables, tmp_path / "store") == "updated"
    assert any("已更新" in r.getMessage() for r in caplog.records)
    assert_same_store(service_store, tmp_path / "store")
    assert prepare_from_tables(tables, tmp_path / "store") == "current"
    assert_same_store(service_store, tmp_path / "store")


def test_a_rebuild_replaces_the_store_and_a_failed_one_keeps_it(service_store, tmp_path):
    export_tables(tmp_path / "tables", service_store)
    store = tmp_path / "store"
    assert prepare_from_tables(tmp_path / "tables", store) == "built"
    assert prepare_from_tables(tmp_path / "tables", store, rebuild=True) == "built"
    assert_same_store(service_store, store)
    before = sorted(p.name for p in store.iterdir())
    bars = pd.read_parquet(tmp_path / "tables" / "bars.parquet")
    bars.loc[5, "close"] = -1.0
    bars.to_parquet(tmp_path / "tables" / "bars.parquet")
    with pytest.raises(ValueError, match="negative"):
        prepare_from_tables(tmp_path / "tables", store, rebuild=True)
    assert sorted(p.name for p in store.iterdir()) == before
    assert_same_store(service_store, store)
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".store")] == []


def test_a_prepared_store_backtests_like_the_service_store(market, service_store, tmp_path):
    export_tables(tmp_path / "tables", service_store, format="csv")
    prepare_from_tables(tmp_path / "tables", tmp_path / "store")
    weights = synthetic.momentum_weights(market, top_n=10)
    results = []
    for store in (service_store, tmp_path / "store"):
        with using_data_dir(store):
            service = BacktestService(None)
            data = service.load_backtest_data()
            results.append(service.backtest_strategy(weights, data, market.dates[0], market.dates[-1], None, "m",
                                                     plot=None))
    pd.testing.assert_series_equal(results[0].daily_return, results[1].daily_return, check_exact=True)
