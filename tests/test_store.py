"""The binary prepared-data store: round trips, tail updates, damaged or hostile stores, label helpers."""

from __future__ import annotations

import datetime as dt
import pickle

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.backtest._store import clean_matrix, normalize_yyyymmdd
from vantorel.exceptions import VantorelError

from support.stores import (
    assert_frame_same,
    assert_series_same,
    check_files,
    check_manifest,
    data_files,
    expected_frames,
    market,
    payload,
    write_store,
)

N = 20  # days in a freshly written store; the market has 30


@pytest.fixture
def mkt():
    return market()


@pytest.fixture
def store(tmp_path, mkt):
    return write_store(tmp_path / "store", mkt)


def dashed(date: str) -> str:
    return f"{date[:4]}-{date[4:6]}-{date[6:]}"


# --------------------------------------------------------------------------
# round trip


@pytest.mark.parametrize("mmap", [False, True])
def test_round_trip_every_dataset_and_benchmark(store, mkt, mmap):
    bundle = store.load(mmap=mmap)
    assert bundle["version"] == 1
    assert bundle["meta"]["start_date"] == mkt.dates[0]
    data = bundle["data"]
    expected = expected_frames(mkt)
    assert set(data) == set(expected) | {"benchmark_dict"}
    for key, frame in expected.items():
        assert_frame_same(data[key], frame)
    assert data["can_buy_stock"].dtypes.iloc[0] == np.bool_
    assert data["cant_sell_stock"].dtypes.iloc[0] == np.bool_
    assert set(data["benchmark_dict"]) == set(mkt.benchmark_dict)
    for name, series in mkt.benchmark_dict.items():
        assert data["benchmark_dict"][name].name == "index_daily_return"
        assert_series_same(data["benchmark_dict"][name], series)


@pytest.mark.parametrize(
    "start, end, rows",
    [
        (None, None, slice(None)),
        (lambda d: int(d[3]), lambda d: int(d[8]), slice(3, 9)),
        (lambda d: dashed(d[3]), lambda d: d[8], slice(3, 9)),
        (lambda d: pd.Timestamp(d[5]), None, slice(5, None)),
        (None, lambda d: dt.date(int(d[4][:4]), int(d[4][4:6]), int(d[4][6:])), slice(None, 5)),
        (lambda d: d[7], lambda d: d[7], slice(7, 8)),
        # bounds that fall between stored dates (the day after / before a stored date)
        (lambda d: str(int(d[-1]) + 1), None, slice(0, 0)),
        (None, lambda d: str(int(d[0]) - 1), slice(0, 0)),
        ("20300101", "20300201", slice(0, 0)),
        (lambda d: d[9], lambda d: d[2], slice(0, 0)),
    ],
)
@pytest.mark.parametrize("mmap", [False, True])
def test_date_bounds_inclusive(store, mkt, start, end, rows, mmap):
    d = mkt.dates
    start = start(d) if callable(start) else start
    end = end(d) if callable(end) else end
    data = store.load(start_date=start, end_date=end, keys=["close_price", "cant_sell_stock"], mmap=mmap)["data"]
    assert set(data) == {"close_price", "cant_sell_stock", "benchmark_dict"}
    for key in ("close_price", "cant_sell_stock"):
        assert_frame_same(data[key], mkt.frames[key].iloc[rows])
    for name, series in mkt.benchmark_dict.items():
        assert_series_same(data["benchmark_dict"][name], series.iloc[rows])


def test_unknown_key_and_bad_bound_rejected(store):
    with pytest.raises(VantorelError, match="no_such_key"):
        store.load(keys=["close_price", "no_such_key"])
    with pytest.raises(ValueError, match="无法识别的日期"):
        store.load(start_date="2020-13-01")


def test_mmap_frames_are_read_only_and_copies_are_not(store, mkt):
    mapped = store.load(keys=["close_price", "can_buy_stock"], mmap=True)["data"]
    with pytest.raises(ValueError):
        mapped["close_price"].iloc[0, 0] = -1.0
    with pytest.raises(ValueError):
        mapped["can_buy_stock"].iloc[0, 0] = not mapped["can_buy_stock"].iloc[0, 0]
    owned = store.load(keys=["close_price"], mmap=False)["data"]["close_price"]
    owned.iloc[0, 0] = -1.0
    # neither attempt reached the file
    assert_frame_same(store.load(keys=["close_price"], mmap=False)["data"]["close_price"], mkt.frames["close_price"])


def test_owned_bundle_pickles(store):
    bundle = store.load(mmap=False)
    back = pickle.loads(pickle.dumps(bundle))
    assert back["meta"] == bundle["meta"]
    for key, frame in bundle["data"].items():
        if key == "benchmark_dict":
            for name, series in frame.items():
                assert_series_same(back["data"][key][name], series)
        else:
            assert_frame_same(back["data"][key], frame)


# --------------------------------------------------------------------------
# tail updates


@pytest.mark.parametrize("first", [N - 2, N], ids=["overlap", "adjacent"])
@pytest.mark.parametrize("first_prev_close", ["real", "missing"])
def test_update_tail_yields_full_market(tmp_path, mkt, first, first_prev_close):
    store = write_store(tmp_path / "store", mkt, N)
    old_meta = store.load_metadata()
    close_file = old_meta["datasets"]["close_price"]["file"]
    tail = payload(mkt, first, N + 5)
    if first_prev_close == "missing":  # as an incremental builder produces it
        prev = tail["data"]["prev_close"].copy()
        prev.iloc[0] = np.nan
        tail["data"]["prev_close"] = prev

    assert store.update_tail(tail) is True

    data = store.load(mmap=False)["data"]
    for key, frame in expected_frames(mkt, N + 5).items():
        assert_frame_same(data[key], frame)
    for name, series in mkt.benchmark_dict.items():
        assert_series_same(data["benchmark_dict"][name], series.iloc[: N + 5])

    meta = check_files(store)
    assert meta["datasets"]["close_price"]["file"] == close_file
    assert not any("tail" in desc for desc in meta["datasets"].values())
    assert not list(store.store_dir.glob("*.tail.bin"))
    check_manifest(store)
    assert {desc["file"] for desc in meta["datasets"].values()} == data_files(store)
    assert meta["meta"]["start_date"] == mkt.dates[0]
    assert meta["updated_at"] >= old_meta["updated_at"]


def test_unordered_payload_rows_are_sorted(tmp_path, mkt):
    def reverse(p):
        for key, frame in p["data"].items():
            if key != "benchmark_dict":
                p["data"][key] = frame.iloc[::-1].set_axis([int(d) for d in frame.index[::-1]])
        return p

    store = BinaryPreparedDataStore(tmp_path / "store")
    store.write(reverse(payload(mkt, None, N)))
    assert store.update_tail(reverse(payload(mkt, N - 2, N + 5))) is True
    data = store.load(mmap=False)["data"]
    for key, frame in expected_frames(mkt, N + 5).items():
        assert_frame_same(data[key], frame)


def test_update_tail_replaces_rows_without_appending(tmp_path, mkt):
    store = write_store(tmp_path / "store", mkt, N)
    tail = payload(mkt, N - 3, N)
    changed = tail["data"]["close_price"] * 2.0
    tail["data"]["close_price"] = changed
    assert store.update_tail(tail) is True
    expected = mkt.frames["close_price"].iloc[:N].copy()
    expected.iloc[N - 3 :] = changed.to_numpy()
    for mmap in (False, True):
        assert_frame_same(store.load(keys=["close_price"], mmap=mmap)["data"]["close_price"], expected)
    # prev_close is stored as given, not re-derived from the changed closes
    assert_frame_same(store.load(keys=["prev_close"])["data"]["prev_close"], mkt.frames["prev_close"].iloc[:N])


def test_update_tail_new_codes_extend_columns(tmp_path, mkt):
    old_codes = mkt.codes[::2]
    store = write_store(tmp_path / "store", mkt, N, codes=old_codes)
    assert store.update_tail(payload(mkt, N - 2, N + 5)) is True
    data = store.load(mmap=False)["data"]
    new_codes = [c for c in mkt.codes if c not in old_codes]
    fill = {"can_buy_stock": False, "cant_sell_stock": True}
    for key, frame in expected_frames(mkt, N + 5).items():
        expected = frame.copy()
        expected.loc[expected.index[: N - 2], new_codes] = fill.get(key, np.nan)
        assert_frame_same(data[key][list(mkt.codes)], expected)
        assert sorted(data[key].columns) == sorted(mkt.codes)
    meta = check_files(store)
    check_manifest(store)
    assert {desc["file"] for desc in meta["datasets"].values()} == data_files(store)


def test_update_tail_adds_datasets_the_store_lacks(tmp_path, mkt):
    store = write_store(tmp_path / "store", mkt, N, components=False)
    assert store.update_tail(payload(mkt, N - 2, N + 5)) is True
    data = store.load(mmap=False)["data"]
    for key, frame in expected_frames(mkt, N + 5).items():
        if key.startswith("component__"):
            assert_frame_same(data[key], frame.iloc[N - 2 :])
        else:
            assert_frame_same(data[key], frame)


def _drop_benchmarks(p):
    del p["data"]["benchmark_dict"]


def _empty_benchmarks(p):
    p["data"]["benchmark_dict"] = {}


def _lose_one_benchmark(p):
    del p["data"]["benchmark_dict"]["000300"]


@pytest.mark.parametrize("spoil", [_drop_benchmarks, _empty_benchmarks, _lose_one_benchmark])
def test_update_tail_refuses_payload_without_stored_benchmarks(tmp_path, mkt, spoil):
    store = write_store(tmp_path / "store", mkt, N)
    before = store.metadata_path.read_bytes()
    files = {p.name: p.stat().st_size for p in store.store_dir.iterdir()}
    tail = payload(mkt, N - 2, N + 5)
    spoil(tail)
    assert store.update_tail(tail) is False
    assert store.metadata_path.read_bytes() == before
    assert {p.name: p.stat().st_size for p in store.store_dir.iterdir()} == files


def test_update_tail_without_store_writes_nothing(tmp_path, mkt):
    store = BinaryPreparedDataStore(tmp_path / "store")
    assert store.update_tail(payload(mkt, N - 2, N + 5)) is False
    assert not store.metadata_path.exists()
    assert not (tmp_path / "store").exists() or not any((tmp_path / "store").iterdir())


# --------------------------------------------------------------------------
# damaged and hostile stores


def _delete(path):
    path.unlink()


def _truncate(path):
    path.write_bytes(path.read_bytes()[:-1])


def _extend(path):
    path.write_bytes(path.read_bytes() + b"\0")


def _flip(path):
    raw = bytearray(path.read_bytes())
    raw[len(raw) // 2] ^= 0x01
    path.write_bytes(raw)


@pytest.mark.parametrize("key", ["close_price", "cant_sell_stock", "benchmark__000300"])
@pytest.mark.parametrize("damage", [_delete, _truncate, _extend, _flip])
@pytest.mark.parametrize("mmap", [False, True])
def test_damaged_dataset_file_reported(store, key, damage, mmap):
    name = store.load_metadata()["datasets"][key]["file"]
    damage(store.store_dir / name)
    if damage is _flip and mmap:  # checksums are not read on the mapped path
        try:
            store.load(mmap=True)
        except VantorelError as exc:
            assert key in str(exc)
        return
    with pytest.raises(VantorelError) as info:
        store.load(mmap=mmap)
    assert key in str(info.value) and name in str(info.value)


def _rewrite_metadata(store, edit):
    metadata = store.load_metadata()
    edit(metadata)
    store.metadata_path.write_bytes(pickle.dumps(metadata))


@pytest.mark.parametrize("target", ["relative", "absolute"])
@pytest.mark.parametrize("mmap", [False, True])
def test_descriptor_outside_store_rejected(tmp_path, store, target, mmap):
    desc = store.load_metadata()["datasets"]["close_price"]
    # an intact copy of the data lies where the hostile name points
    (tmp_path / "x").write_bytes((store.store_dir / desc["file"]).read_bytes())
    name = "../x" if target == "relative" else str(tmp_path / "x")

    def edit(metadata):
        metadata["datasets"]["close_price"]["file"] = name

    _rewrite_metadata(store, edit)
    with pytest.raises(VantorelError, match="close_price"):
        store.load(mmap=mmap)


class _Reduce:
    def __init__(self, func, *args):
        self.func, self.args = func, args

    def __reduce__(self):
        return self.func, self.args


class Tripwire:
    """Unpickling an instance creates the file named by its state."""

    def __init__(self, path):
        self.path = str(path)

    def __setstate__(self, state):
        open(state["path"], "w").close()


def _hostile_pickles(marker):
    import builtins
    import os

    yield "os.system", {"datasets": {}, "x": _Reduce(os.system, f"touch {marker}")}
    yield "eval", {"meta": _Reduce(builtins.eval, f"open({str(marker)!r}, 'w').close()")}
    yield "class", {"datasets": {}, "meta": {"x": Tripwire(marker)}}


@pytest.mark.parametrize("which", ["os.system", "eval", "class"])
def test_hostile_metadata_never_executed(tmp_path, store, mkt, which):
    marker = tmp_path / "marker"
    blob = pickle.dumps(dict(_hostile_pickles(marker))[which], protocol=pickle.HIGHEST_PROTOCOL)
    pickle.loads(blob)  # the payload is live: a plain unpickler runs it
    assert marker.exists()
    marker.unlink()
    store.metadata_path.write_bytes(blob)
    with pytest.raises(VantorelError):
        store.load_metadata()
    with pytest.raises(VantorelError):
        store.load()
    with pytest.raises(VantorelError):
        store.update_tail(payload(mkt, N - 2, N + 5))
    assert not marker.exists()


@pytest.mark.parametrize(
    "content",
    [
        lambda good: good[: len(good) // 2],
        lambda good: b"",
        lambda good: pickle.dumps([1, 2, 3]),
        lambda good: pickle.dumps("metadata"),
    ],
    ids=["truncated", "empty", "list", "str"],
)
def test_unreadable_metadata(store, content):
    store.metadata_path.write_bytes(content(store.metadata_path.read_bytes()))
    for call in (store.load_metadata, store.load):
        with pytest.raises(VantorelError):
            call()


def test_metadata_with_allowed_types_reads(store):
    import collections

    extra = {
        "when": dt.datetime(2020, 1, 2, 3, 4, 5),
        "day": dt.date(2020, 1, 2),
        "sets": (set("ab"), frozenset("cd")),
        "ordered": collections.OrderedDict(a=1),
        "raw": bytearray(b"\x00\xff"),
        "z": 1 + 2j,
    }

    def edit(metadata):
        metadata["meta"]["extra"] = extra

    _rewrite_metadata(store, edit)
    assert store.load_metadata()["meta"]["extra"] == extra


# --------------------------------------------------------------------------
# date labels and matrix cleaning


@pytest.mark.parametrize(
    "value, expected",
    [
        ("20200102", "20200102"),
        ("2020-01-02", "20200102"),
        ("2020/01/02", "20200102"),
        ("2020-01-02 15:30:00", "20200102"),
        (20200102, "20200102"),
        (np.int64(20200102), "20200102"),
        (20200102.0, "20200102"),
        (dt.date(2020, 1, 2), "20200102"),
        (dt.datetime(2020, 1, 2, 23, 59), "20200102"),
        (pd.Timestamp("2020-01-02 09:30"), "20200102"),
        (np.datetime64("2020-01-02"), "20200102"),
        (np.datetime64("2020-01-02T12:00:00.000000000"), "20200102"),
        ("20200229", "20200229"),
        (20200229, "20200229"),
    ],
)
def test_normalize_accepts(value, expected):
    assert normalize_yyyymmdd(value) == expected


@pytest.mark.parametrize(
    "value",
    ["2020012", "202001021", "20201301", "20200100", "20190229", "20210230", "2020-02-30", "2020-1-2",
     "abcdefgh", "", 20200102.5, True, False, float("nan"), 0, -20200102, 2020010200,
     np.datetime64(-2**62, "D"), np.datetime64("NaT")],
)
def test_normalize_rejects(value):
    with pytest.raises(ValueError) as info:
        normalize_yyyymmdd(value)
    assert str(info.value) == f"无法识别的日期: {value!r}"


@pytest.mark.parametrize("value", [[20200102], None, np.timedelta64(5, "D")])
def test_normalize_rejects_non_dates_by_type(value):
    with pytest.raises(TypeError, match=f"got {type(value).__name__}"):
        normalize_yyyymmdd(value)


DATES = ["20200106", "20200102", "20200103"]  # deliberately out of order


@pytest.mark.parametrize(
    "index",
    [
        DATES,
        [int(d) for d in DATES],
        pd.Index([int(d) for d in DATES], dtype="int32"),
        [float(d) for d in DATES],
        pd.to_datetime(DATES),
        [dashed(DATES[0]), DATES[1], "2020/01/03"],
    ],
    ids=["str", "int", "int32", "float", "datetime", "mixed-text"],
)
@pytest.mark.parametrize("ordered", [True, False])
def test_clean_matrix_normalises_and_sorts(index, ordered):
    values = np.arange(9.0).reshape(3, 3)
    frame = pd.DataFrame(values, index=index, columns=[1, "600000", 300750])
    if ordered:
        frame = frame.iloc[[1, 2, 0]]
    index_before, columns_before, values_before = frame.index.copy(), frame.columns.copy(), frame.to_numpy().copy()

    out = clean_matrix(frame)

    assert list(out.index) == sorted(DATES)
    assert list(out.columns) == ["000001", "600000", "300750"]
    order = np.argsort(DATES) if not ordered else np.arange(3)
    np.testing.assert_array_equal(out.to_numpy(), frame.to_numpy()[order])
    assert frame.index.equals(index_before) and frame.columns.equals(columns_before)
    np.testing.assert_array_equal(frame.to_numpy(), values_before)
    if ordered:
        assert np.shares_memory(out.to_numpy(), frame.to_numpy())


def test_clean_matrix_dtypes(tmp_path):
    index = sorted(DATES)
    flags = pd.DataFrame(np.eye(3, dtype=bool), index=index, columns=["a", "b", "c"])
    out = clean_matrix(flags)
    assert set(out.dtypes) == {np.dtype(bool)} and np.shares_memory(out.to_numpy(), flags.to_numpy())
    for data in (np.arange(9).reshape(3, 3), np.arange(9, dtype=np.float32).reshape(3, 3)):
        out = clean_matrix(pd.DataFrame(data, index=index, columns=["a", "b", "c"]))
        assert set(out.dtypes) == {np.dtype(np.float64)}
        np.testing.assert_array_equal(out.to_numpy(), data.astype(np.float64))


@pytest.mark.parametrize(
    "index, columns, error, message",
    [
        ([20200102, "2020-01-02", 20200103], ["a", "b", "c"], ValueError, "日期标签重复: '20200102'"),
        (["20200103", "20200102", "2020/01/03"], ["a", "b", "c"], ValueError, "日期标签重复: '20200103'"),
        (sorted(DATES), [1, "000001", "b"], ValueError, "'000001'"),
        (["x", "y", "z"], ["a", "b", "c"], ValueError, "无法识别的日期"),
    ],
)
def test_clean_matrix_rejects(index, columns, error, message):
    with pytest.raises(error, match=message):
        clean_matrix(pd.DataFrame(np.zeros((3, 3)), index=index, columns=columns))


def test_clean_matrix_rejects_non_frames():
    with pytest.raises(TypeError):
        clean_matrix(np.zeros((2, 2)))
