"""The dataset catalogue, the name helpers and BinaryPreparedDataStore."""

from __future__ import annotations

import datetime as dt
import os
import typing

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import _prepare as P, _store, synthetic
from vantorel.exceptions import VantorelError

from support.service import ALL_KEYS, BASE_KEYS, COMPONENT_KEYS, market, write_store

COMPONENTS = [
    "rq_index_components_new_000300.XSHG",
    "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG",
    "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
]


def test_catalogue_constants():
    assert (P.FLOAT_STORAGE_DTYPE, P.BOOL_STORAGE_DTYPE) == ("float64", "bool")
    assert P.PREPARED_DATA_VERSION == 1 and type(P.PREPARED_DATA_VERSION) is int
    assert P.TAIL_RELOAD_ROWS == 2 and type(P.TAIL_RELOAD_ROWS) is int
    assert set(typing.get_args(P.PathLike)) == {str, os.PathLike}
    assert P.COMPONENT_FACTOR_NAMES == COMPONENTS
    assert list(P.BENCHMARK_INDEX_CODES.items()) == [
        ("000852", "000852.XSHG"), ("000300", "000300.XSHG"), ("000905", "000905.XSHG")]
    assert P.REQUIRED_FACTOR_NAMES == [
        "rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open",
        "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"]
    assert P.OPTIONAL_FACTOR_NAMES == ["split_coefficient_to", "rq_get_dividend", "rq_is_suspended"]
    assert P.BUILD_INPUT_NAMES == P.REQUIRED_FACTOR_NAMES + P.OPTIONAL_FACTOR_NAMES
    assert P.BUILD_INPUT_NAMES is not P.REQUIRED_FACTOR_NAMES
    assert list(P.BASE_MATRIX_DTYPE.items()) == [
        (k, "bool" if k in ("can_buy_stock", "cant_sell_stock") else "float64") for k in BASE_KEYS]
    assert P.component_dataset_key is _store.component_dataset_key
    assert [P.component_dataset_key(n) for n in COMPONENTS] == COMPONENT_KEYS


def test_component_names_are_a_fresh_list():
    names = P.get_component_factor_names()
    assert names == COMPONENTS and names is not P.COMPONENT_FACTOR_NAMES
    names.clear()
    assert P.get_component_factor_names() == COMPONENTS == P.COMPONENT_FACTOR_NAMES


@pytest.mark.parametrize(
    "raw, expected",
    [
        (None, []),
        ("", []),
        (" ，；;\n , \t", []),
        ([], []),
        (" a，b ；c;d\n e ,f", ["a", "b", "c", "d", "e", "f"]),
        ("x,,x", ["x", "x"]),
        ([1, "  padded  "], ["1", "padded"]),
        (("a", " ", 2.5, "a"), ["a", "2.5", "a"]),
        ((s for s in ["g ", "", " h"]), ["g", "h"]),
        ({"k": 1}, ["k"]),
    ],
)
def test_parse_name_list(raw, expected):
    out = P.parse_name_list(raw)
    assert out == expected and type(out) is list and all(type(s) is str for s in out)


def test_build_matrix_dtype():
    before = list(P.BASE_MATRIX_DTYPE.items())
    assert list(P.build_matrix_dtype([]).items()) == before
    full = P.build_matrix_dtype(None)
    assert full == P.build_matrix_dtype()
    assert list(full) == ALL_KEYS and all(full[k] == "float64" for k in COMPONENT_KEYS)
    custom = P.build_matrix_dtype([" My.Index ", "", "b"])
    assert list(custom)[12:] == ["component__my_index", "component__b"]
    custom["close_price"] = "bool"
    full.clear()
    assert list(P.BASE_MATRIX_DTYPE.items()) == before


@pytest.mark.parametrize("arg, got", [(("a",), "tuple"), ("a,b", "str"), ({"a": 1}, "dict")])
def test_build_matrix_dtype_rejects_non_lists(arg, got):
    msg = f"Argument 'component_names' has incorrect type (expected list, got {got})"
    with pytest.raises(TypeError) as info:
        P.build_matrix_dtype(arg)
    assert str(info.value) == msg
    with pytest.raises(TypeError, match="'component_names'"):
        P.BinaryPreparedDataStore("unused", component_names=arg)


def _texts(series: pd.Series) -> list:
    return [None if pd.isna(v) else v for v in series]


@pytest.mark.parametrize(
    "values, expected",
    [
        (["2020-01-02", "not a date"], ["20200102", None]),
        ([20200102, 20201231], ["20200102", "20201231"]),
        (np.array([20200102, 19991231], dtype=np.int64), ["20200102", "19991231"]),
        ([20200102.0, 1.5, 5, np.nan], ["20200102", None, None, None]),
        (["20200102", "2020/03/04", None], ["20200102", "20200304", None]),
        ([20200102, "2020-03-04", "junk"], ["20200102", "20200304", None]),
        ([dt.date(2021, 5, 6), pd.Timestamp("2021-05-07 13:00")], ["20210506", "20210507"]),
        (pd.to_datetime(["2022-02-03", None]), ["20220203", None]),
        # Durations and instants beyond the frame library's range name no date; other spellings of
        # text go to the library's reader.
        ([np.timedelta64(5, "D"), np.datetime64(-2**62, "D"), "Jan 2 2020"], [None, None, "20200102"]),
        ([], []),
    ],
)
def test_series_to_yyyymmdd(values, expected):
    out = P.series_to_yyyymmdd(values)
    assert isinstance(out, pd.Series)
    assert _texts(out) == expected
    assert list(out.index) == list(range(len(expected)))


def test_the_builder_reads_dates_as_the_store_does():
    """One reading of a date value: what the store reads, the builder reads as the same date, and
    what the store refuses the builder reads as missing (text in a date shape, numbers, NumPy
    scalars and date objects; other text is the frame library's to read)."""
    values = ["20200102", " 2020/01/03 ", "2020-01-06T09:30", "2020-02-30", "20200230", 20200107, 20200107.0,
              20200107.5, 0, 10**20, True, np.bool_(True), None, float("nan"), np.float32(20200108),
              np.uint64(20200109), np.datetime64("2020-01-10T23:59"), np.datetime64("2020-02", "M"),
              np.datetime64("NaT"), np.datetime64("12000-01-01"), np.datetime64(-2**62, "D"),
              np.timedelta64(1, "D"), np.timedelta64("NaT"), dt.date(2020, 1, 13), pd.Timestamp("2020-01-14 23:00"),
              pd.Timestamp("2020-01-15 23:00", tz="America/New_York"), pd.Period("2020-01-16", "D"), pd.NaT, pd.NA,
              b"20200117", (2020, 1, 2)]
    for value in values:
        got = _texts(P.series_to_yyyymmdd(pd.Series([value], dtype=object)))[0]
        try:
            want = _store.normalize_yyyymmdd(value)
        except (TypeError, ValueError):
            want = None
        assert got == want, repr(value)


def test_series_to_yyyymmdd_keeps_the_series_index():
    values = pd.Series([20200102, "2020-01-03", "x"], index=["a", "b", "c"])
    out = P.series_to_yyyymmdd(values)
    assert list(out.index) == ["a", "b", "c"]
    assert _texts(out) == ["20200102", "20200103", None]
    assert list(values) == [20200102, "2020-01-03", "x"]


# --------------------------------------------------------------------------
# BinaryPreparedDataStore


def _payload(drop_components=(), drop_keys=(), extra=None) -> dict:
    payload = synthetic.market_payload(market())
    data, meta = payload["data"], payload["meta"]
    for name in drop_components:
        del data[P.component_dataset_key(name)]
        meta["component_names"].remove(name)
        del meta["component_dataset_keys"][name]
    for key in drop_keys:
        del data[key]
    if extra:
        data.update(extra)
    return payload


def test_store_construction_fixes_the_catalogue(tmp_path):
    store = P.BinaryPreparedDataStore(tmp_path)
    assert isinstance(store, _store.BinaryPreparedDataStoreBase)
    assert store.matrix_dtype == P.build_matrix_dtype(None)
    assert (store.version, store.fallback_dtype) == (1, "float64")
    assert list(P.BinaryPreparedDataStore(tmp_path, component_names=[]).matrix_dtype) == BASE_KEYS
    assert list(P.BinaryPreparedDataStore(tmp_path, ["a"]).matrix_dtype) == BASE_KEYS + ["component__a"]


def test_store_without_components_never_requests_them(tmp_path):
    write_store(tmp_path)
    for path in tmp_path.glob("component__*.bin"):
        path.unlink()
    with pytest.raises(VantorelError, match="component__"):
        P.BinaryPreparedDataStore(tmp_path).load()  # the files really are gone
    data = P.BinaryPreparedDataStore(tmp_path, component_names=[]).load()["data"]
    assert list(data) == BASE_KEYS + ["benchmark_dict"]


def test_load_requests_the_listed_catalogue_keys_in_catalogue_order(tmp_path):
    mkt = market()
    payload = _payload(drop_components=COMPONENTS[1:4], drop_keys=["open_price", "forward_return_rank_cache"],
                       extra={"extra_matrix": mkt.frames["close_price"] * 2})
    data = payload["data"]
    payload["data"] = {k: data[k] for k in reversed(list(data))}  # stored in another order
    write_store(tmp_path, payload)
    store = P.BinaryPreparedDataStore(tmp_path)
    out = store.load()
    expected = [k for k in ALL_KEYS if k in data]
    assert list(out["data"]) == expected + ["benchmark_dict"]
    assert len(expected) == 12 and out["version"] == 1
    pd.testing.assert_frame_equal(out["data"]["close_price"], mkt.frames["close_price"], check_freq=False)
    # explicit keys go to the base unchanged, also a key outside the catalogue
    explicit = store.load(keys=["extra_matrix", "close_price"], start_date=20200106, end_date="2020-01-08")
    assert set(explicit["data"]) >= {"extra_matrix", "close_price"}
    assert list(explicit["data"]["extra_matrix"].index) == ["20200106", "20200107", "20200108"]
    np.testing.assert_array_equal(explicit["data"]["extra_matrix"].to_numpy(),
                                  mkt.frames["close_price"].iloc[2:5].to_numpy() * 2)


# --------------------------------------------------------------------------
# add_component_matrices

MISSING = COMPONENTS[3:]  # 399303 and 932000 are absent from the store below


@pytest.fixture
def partial(tmp_path):
    write_store(tmp_path, _payload(drop_components=MISSING))
    return P.BinaryPreparedDataStore(tmp_path)


def _files(store):
    return {p.name: p.read_bytes() for p in store.store_dir.iterdir() if p.is_file()}


@pytest.mark.parametrize("names", [COMPONENTS[:3], [COMPONENTS[0], COMPONENTS[0]], []])
def test_add_components_all_present_changes_nothing(partial, names):
    before = _files(partial)
    assert partial.add_component_matrices({}, names) == []
    assert _files(partial) == before


def test_add_components_writes_the_missing_ones_once(partial):
    mkt = market()
    before = partial.load_metadata()
    matrices = {name: mkt.components[name] for name in COMPONENTS}
    names = [COMPONENTS[0], " " + MISSING[1], MISSING[0], MISSING[1]]
    assert partial.add_component_matrices(matrices, names) == [MISSING[1], MISSING[0]]
    key = P.component_dataset_key(MISSING[1])
    assert len(list(partial.store_dir.glob(key + ".*.bin"))) == 1

    after = partial.load_metadata()
    meta, old_meta = after["meta"], before["meta"]
    assert set(after["datasets"]) == set(before["datasets"]) | {P.component_dataset_key(n) for n in MISSING}
    assert meta["component_names"] == COMPONENTS[:3] + [MISSING[1], MISSING[0]]
    assert meta["component_dataset_keys"] == {n: P.component_dataset_key(n) for n in meta["component_names"]}
    stamp = after["updated_at"]
    assert stamp == meta["updated_at"] == meta["component_supplemented_at"] != before["updated_at"]
    assert dt.datetime.fromisoformat(stamp).microsecond == int(stamp.rsplit(".", 1)[1]) and "T" in stamp
    for field in ("start_date", "end_date", "created_at"):
        assert meta[field] == old_meta[field]
    assert {k: v for k, v in after.items() if k not in ("datasets", "meta", "updated_at")} == {
        k: v for k, v in before.items() if k not in ("datasets", "meta", "updated_at")}

    data = partial.load(mmap=False)["data"]
    assert list(data) == ALL_KEYS + ["benchmark_dict"]
    for name in MISSING:
        np.testing.assert_array_equal(data[P.component_dataset_key(name)].to_numpy(),
                                      mkt.components[name].to_numpy())


@pytest.mark.parametrize("bad", ["absent", None, "empty"])
def test_add_components_missing_matrix_leaves_the_store_listing_unchanged(partial, bad):
    mkt = market()
    matrices = {MISSING[0]: mkt.components[MISSING[0]]}  # written first, then the second fails
    if bad != "absent":
        matrices[MISSING[1]] = None if bad is None else mkt.components[MISSING[1]].iloc[:0]
    meta_before = partial.metadata_path.read_bytes()
    manifest_before = (partial.store_dir / "manifest.json").read_bytes()
    with pytest.raises(ValueError) as info:
        partial.add_component_matrices(matrices, [MISSING[0], MISSING[1]])
    assert str(info.value) == "缺失成分股矩阵为空，无法补充: " + MISSING[1]
    assert partial.metadata_path.read_bytes() == meta_before
    assert (partial.store_dir / "manifest.json").read_bytes() == manifest_before
    assert list(partial.load()["data"]) == ALL_KEYS[:15] + ["benchmark_dict"]
    # a later call writes both
    matrices[MISSING[1]] = mkt.components[MISSING[1]]
    assert partial.add_component_matrices(matrices, MISSING) == MISSING


@pytest.mark.parametrize(
    "matrices, names, message",
    [
        ([], [], "Argument 'component_matrices' has incorrect type (expected dict, got list)"),
        (None, [], "Argument 'component_matrices' has incorrect type (expected dict, got NoneType)"),
        ({}, (COMPONENTS[0],), "Argument 'component_names' has incorrect type (expected list, got tuple)"),
        ({}, COMPONENTS[0], "Argument 'component_names' has incorrect type (expected list, got str)"),
    ],
)
def test_add_components_type_errors_come_before_any_read(tmp_path, matrices, names, message):
    store = P.BinaryPreparedDataStore(tmp_path / "nothing")  # no metadata to read
    with pytest.raises(TypeError) as info:
        store.add_component_matrices(matrices, names)
    assert str(info.value) == message
    with pytest.raises(FileNotFoundError):
        store.add_component_matrices({}, [])
