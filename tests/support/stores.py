"""Small prepared-data stores written from a synthetic market, and checks on them."""

from __future__ import annotations

import functools
import json
import math
from pathlib import Path

import numpy as np
import pandas as pd

from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.backtest._store import component_dataset_key
from vantorel.backtest.synthetic import make_market, market_payload

ITEMSIZE = {"float64": 8, "bool": 1}


@functools.cache
def market(n_days: int = 30, n_stocks: int = 12, seed: int = 3):
    """A cached synthetic market (treat as read-only)."""
    return make_market(n_days, n_stocks, seed=seed)


def payload(mkt, start: int | None = None, stop: int | None = None, *, codes=None, components=True) -> dict:
    """The market's payload for dates[start:stop] (row positions), optionally limited to ``codes``."""
    dates = mkt.dates
    start_date = dates[start] if start is not None else None
    end_date = dates[stop - 1] if stop is not None else None
    out = market_payload(mkt, start_date, end_date)
    data = out["data"]
    for key in list(data):
        if key == "benchmark_dict":
            continue
        if not components and key.startswith("component__"):
            del data[key]
        elif codes is not None:
            data[key] = data[key][list(codes)]
    return out


def write_store(directory: Path, mkt, stop: int | None = None, **kwargs) -> BinaryPreparedDataStore:
    store = BinaryPreparedDataStore(directory)
    store.write(payload(mkt, None, stop, **kwargs))
    return store


def expected_frames(mkt, stop: int | None = None, *, components=True) -> dict[str, pd.DataFrame]:
    """Every dataset of a store written from the market's first ``stop`` days, by key."""
    rows = slice(None, stop)
    out = {key: frame.iloc[rows] for key, frame in mkt.frames.items()}
    if components:
        out.update({component_dataset_key(name): f.iloc[rows] for name, f in mkt.components.items()})
    return out


def assert_frame_same(actual: pd.DataFrame, expected: pd.DataFrame) -> None:
    """Same str labels, same dtype and bit-identical values (NaN where NaN)."""
    assert list(actual.index) == [str(d) for d in expected.index]
    assert all(isinstance(d, str) for d in actual.index)
    assert list(actual.columns) == [str(c) for c in expected.columns]
    assert all(isinstance(c, str) for c in actual.columns)
    assert actual.shape == expected.shape
    if expected.shape[1]:
        assert set(actual.dtypes) == {expected.dtypes.iloc[0]}
    np.testing.assert_array_equal(actual.to_numpy(), expected.to_numpy())


def assert_series_same(actual: pd.Series, expected: pd.Series) -> None:
    assert list(actual.index) == list(expected.index)
    assert actual.dtype == np.float64
    np.testing.assert_array_equal(actual.to_numpy(), expected.to_numpy())


def check_files(store) -> dict:
    """Every descriptor's file (and pending tail file) exists with the size its shape implies."""
    metadata = store.load_metadata()
    for key, desc in metadata["datasets"].items():
        width = ITEMSIZE[desc["dtype"]] * math.prod(desc["shape"][1:])
        path = store.store_dir / desc["file"]
        assert path.is_file(), key
        assert len(desc["index"]) == desc["shape"][0] and desc["index"] == sorted(desc["index"]), key
        tail = desc.get("tail")
        if not tail:
            assert path.stat().st_size == desc["shape"][0] * width, key
            continue
        # rows from start_row on are read from the tail file until they are copied into place
        assert tail["start_row"] + tail["rows"] == desc["shape"][0], key
        assert path.stat().st_size >= tail["start_row"] * width, key
        tail_path = store.store_dir / tail["file"]
        assert tail_path.is_file(), key
        assert tail_path.stat().st_size == tail["rows"] * width, key
    return metadata


def check_manifest(store) -> None:
    """The manifest lists exactly the files the metadata refers to and the metadata file, at their sizes."""
    files = json.loads((store.store_dir / "manifest.json").read_text())["files"]
    listed = {desc["file"] for desc in store.load_metadata()["datasets"].values()} | {"metadata.pkl"}
    assert set(files) == listed
    for name in listed:
        assert files[name]["size"] == (store.store_dir / name).stat().st_size, name


def data_files(store) -> set[str]:
    return {p.name for p in store.store_dir.glob("*.bin")}


# ---- worker processes that prepare one directory at once ------------------------------------------

_worker: dict = {}


def init_preparer(url: str, market_args: tuple, visible_days: int, barriers: dict) -> None:
    """Pool initializer: this process's data-service client (a synthetic market) and download client."""
    from vantorel import singleton
    from vantorel._http import HttpClient
    from vantorel.backtest import synthetic
    from vantorel.backtest.synthetic_service import SyntheticDataService

    n_days, n_stocks, seed, start = market_args
    mkt = synthetic.make_market(n_days, n_stocks, seed=seed, start_date=start)
    http = HttpClient(url, backoff=0.01, timeout=10.0)
    singleton._instance = SyntheticDataService(mkt, visible_days=visible_days, http=http)
    _worker["barriers"] = barriers


def prepare_at_once(job: tuple) -> str | None:
    """Waits until every party of the round is ready, then prepares ``directory``; the error text or None."""
    from vantorel import singleton
    from vantorel.backtest import BacktestService, _service

    directory, parties = job
    _service._DEFAULT_DATA_DIR = Path(directory)
    _worker["barriers"][parties].wait()
    try:
        BacktestService(singleton._instance.http).prepare_backtest_data()
    except Exception as exc:  # reported to the test, which counts every failure
        return f"{type(exc).__name__}: {exc}"
    return None


def load_until(directory: str, market_args: tuple, stop, out) -> None:
    """Loads the store behind the service in a loop until ``stop`` is set; puts (loads, errors) on ``out``.

    Each load must hold a prefix of the market's dates with the market's values."""
    from vantorel.backtest import BacktestService, _service, synthetic

    n_days, n_stocks, seed, start = market_args
    mkt = synthetic.make_market(n_days, n_stocks, seed=seed, start_date=start)
    close = mkt.frames["close_price"]
    _service._DEFAULT_DATA_DIR = Path(directory)
    loads, errors = 0, []
    while not stop.is_set() or loads == 0:
        try:
            data = BacktestService(None).load_backtest_data().data
            got = data["close_price"]
            assert list(got.index) == mkt.dates[: len(got)], "dates"
            np.testing.assert_array_equal(got.to_numpy(), close.to_numpy()[: len(got)])
            loads += 1
        except Exception as exc:  # counted: a reader must never fail because of a writer
            errors.append(f"{type(exc).__name__}: {exc}")
    out.put((loads, errors[:5], len(errors)))


def assert_same_data(actual: dict, expected: dict) -> None:
    """Two loaded data dictionaries hold the same Frames and benchmark series, bit for bit."""
    assert list(actual) == list(expected)
    for key, value in expected.items():
        if key == "benchmark_dict":
            assert list(actual[key]) == list(value)
            for name, series in value.items():
                pd.testing.assert_series_equal(actual[key][name], series, check_exact=True)
        else:
            pd.testing.assert_frame_equal(actual[key], value, check_exact=True)
