"""A small prepared-data store and a loaded bundle for the service tests.

Test modules import the fixtures they use (``from support.service import
bundle, service, store_dir``); pytest picks them up from the module namespace.
"""

from __future__ import annotations

import functools
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import BacktestService, _service, synthetic
from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.backtest._store import component_dataset_key

BASE_KEYS = [
    "industry_matrix", "close_price", "open_price", "close_price_valid", "prev_close", "buy_price",
    "sell_price", "rq_get_split", "rq_get_dividend", "can_buy_stock", "cant_sell_stock",
    "forward_return_rank_cache",
]
COMPONENT_KEYS = [component_dataset_key(n) for n in synthetic.COMPONENT_NAMES]
ALL_KEYS = BASE_KEYS + COMPONENT_KEYS


@functools.cache
def market() -> synthetic.SyntheticMarket:
    """40 trading days from 2020-01-02 (to 2020-02-26), 30 stocks; treat as read-only."""
    return synthetic.make_market(40, 30, seed=7, start_date="20200102")


def write_store(directory: Path, payload: dict | None = None) -> Path:
    BinaryPreparedDataStore(directory).write(payload if payload is not None else synthetic.market_payload(market()))
    return Path(directory)


@pytest.fixture(scope="session")
def store_dir(tmp_path_factory) -> Path:
    return write_store(tmp_path_factory.mktemp("service") / "store")


@pytest.fixture
def service(monkeypatch, store_dir) -> BacktestService:
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", store_dir)
    return BacktestService(None)


@pytest.fixture(scope="session")
def bundle(store_dir):
    """One loaded bundle shared by the session: tests must leave it unchanged."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_service, "_DEFAULT_DATA_DIR", store_dir)
        return BacktestService(None).load_backtest_data()


def rows_between(obj, lo: str, hi: str):
    """The plain statement of a date cut: boolean row mask on the text labels."""
    index = obj.index
    return obj.loc[np.asarray((index >= lo) & (index <= hi), dtype=bool)]


def snapshot(data: dict) -> dict:
    """Deep copies of the values, plus the identity of every value and series."""
    copies = {}
    for key, value in data.items():
        if key == "benchmark_dict":
            copies[key] = {name: (s, s.copy(deep=True)) for name, s in value.items()}
        elif isinstance(value, pd.DataFrame):
            copies[key] = (value, value.copy(deep=True))
        else:
            copies[key] = (value, value)
    return copies


def assert_unchanged(data: dict, snap: dict) -> None:
    assert list(data) == list(snap)
    for key, value in data.items():
        if key == "benchmark_dict":
            assert list(value) == list(snap[key])
            for name, series in value.items():
                original, copy = snap[key][name]
                assert series is original
                pd.testing.assert_series_equal(series, copy, check_exact=True)
        else:
            original, copy = snap[key]
            assert value is original, key
            if isinstance(value, pd.DataFrame):
                pd.testing.assert_frame_equal(value, copy, check_exact=True)
