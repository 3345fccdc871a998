"""Loading the prepared data, cutting date ranges and narrowing to a selection universe."""

from __future__ import annotations

import pickle
import threading
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import example, given, strategies as st

from vantorel.backtest import BacktestData, BacktestService, _service

from support.service import (  # noqa: F401  (fixtures)
    ALL_KEYS,
    COMPONENT_KEYS,
    assert_unchanged,
    bundle,
    market,
    rows_between,
    snapshot,
    store_dir,
    write_store,
)

UNIVERSE = {
    "000300": "rq_index_components_new_000300.XSHG",
    "000905": "rq_index_components_new_000905.XSHG",
    "000852": "rq_index_components_new_000852.XSHG",
    "399303": "rq_index_components_new_399303.XSHE",
    "932000": "rq_index_components_new_932000.INDX",
}
KEY_OF = dict(zip(UNIVERSE, COMPONENT_KEYS, strict=True))
NO_DATA = "未找到回测基准数据,请先调用 vantorel.prepare_backtest_data()"

slice_data = BacktestService._slice_data


def test_module_constants():
    assert _service._UNIVERSE_TO_COMPONENT == UNIVERSE
    assert list(_service._UNIVERSE_TO_COMPONENT) == list(UNIVERSE)


def test_default_data_dir():
    assert Path(_service._DEFAULT_DATA_DIR) == Path.home() / ".vantorel" / "backtest_data" / "enviroment_data"


@pytest.mark.parametrize("layout", ["absent", "empty", "files without metadata"])
def test_load_without_prepared_data(monkeypatch, tmp_path, layout):
    target = tmp_path / "store"
    if layout != "absent":
        target.mkdir()
    if layout == "files without metadata":
        (target / "close_price.0000000000000000.bin").write_bytes(b"\0" * 8)
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", target)
    with pytest.raises(FileNotFoundError) as info:
        BacktestService(None).load_backtest_data()
    assert str(info.value) == NO_DATA


def _root(array):
    while getattr(array, "base", None) is not None:
        array = array.base
    return array


def test_load_gives_an_owned_complete_bundle(monkeypatch, tmp_path):
    mkt = market()
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", write_store(tmp_path / "store"))
    service = BacktestService(None)
    loaded = service.load_backtest_data()
    assert isinstance(loaded, BacktestData)
    data = loaded.data
    assert list(data) == ALL_KEYS + ["benchmark_dict"]
    expected = dict(mkt.frames) | {KEY_OF[c]: mkt.components[n] for c, n in UNIVERSE.items()}
    for key in ALL_KEYS:
        pd.testing.assert_frame_equal(data[key], expected[key], check_exact=True, check_freq=False)
    assert list(data["benchmark_dict"]) == ["000852", "000300", "000905"]
    for name, series in data["benchmark_dict"].items():
        np.testing.assert_array_equal(series.to_numpy(), mkt.benchmark_dict[name].to_numpy())
        assert list(series.index) == mkt.dates and series.name == "index_daily_return"
    # owned memory, not mapped files
    arrays = [data[k].to_numpy() for k in ALL_KEYS] + [s.to_numpy() for s in data["benchmark_dict"].values()]
    for array in arrays:
        root = _root(array)
        assert isinstance(root, np.ndarray) and root.flags.writeable and root.flags.owndata
    # a snapshot: rewriting the files in place afterwards does not reach it
    for path in (tmp_path / "store").glob("*.bin"):
        path.write_bytes(b"\xff" * path.stat().st_size)
    for key in ALL_KEYS:
        pd.testing.assert_frame_equal(data[key], expected[key], check_exact=True, check_freq=False)
    copy = pickle.loads(pickle.dumps(loaded))
    assert list(copy.data) == list(data)
    for key in ALL_KEYS:
        pd.testing.assert_frame_equal(copy.data[key], data[key], check_exact=True)
    for name, series in data["benchmark_dict"].items():
        pd.testing.assert_series_equal(copy.data["benchmark_dict"][name], series, check_exact=True)
    write_store(tmp_path / "store")
    again = service.load_backtest_data()
    assert again.data is not data and again.data["close_price"] is not data["close_price"]


# --------------------------------------------------------------------------
# _slice_data

DATES = market().dates


@pytest.mark.parametrize(
    "lo, hi",
    [
        (DATES[5], DATES[5]),
        (DATES[3], DATES[20]),
        ("20200104", "20200111"),  # a weekend on either side
        ("0", "9"),
        ("19000101", "20191231"),
        ("20300101", "20400101"),
        (DATES[10], DATES[2]),
    ],
)
def test_slice_matches_a_row_mask(bundle, lo, hi):
    data = bundle.data
    snap = snapshot(data)
    sliced = slice_data(data, lo, hi)
    assert list(sliced) == list(data) and sliced is not data
    expected_rows = [d for d in DATES if lo <= d <= hi]
    for key in ALL_KEYS:
        out = sliced[key]
        assert list(out.index) == expected_rows and list(out.columns) == list(data[key].columns)
        pd.testing.assert_frame_equal(out, rows_between(data[key], lo, hi), check_exact=True)
    bench = sliced["benchmark_dict"]
    assert bench is not data["benchmark_dict"] and list(bench) == list(data["benchmark_dict"])
    for name, series in bench.items():
        pd.testing.assert_series_equal(series, rows_between(data["benchmark_dict"][name], lo, hi), check_exact=True)
    if expected_rows:  # contiguous rows come back as views of the loaded arrays
        assert np.shares_memory(sliced["close_price"].to_numpy(), data["close_price"].to_numpy())
        assert np.shares_memory(bench["000300"].to_numpy(), data["benchmark_dict"]["000300"].to_numpy())
    assert_unchanged(data, snap)


_LABELS = ["20200102", "20200103", "20200110", "2020", "202001025", "abc", "", "2020-01-05", "日期"]


@given(
    labels=st.lists(st.sampled_from(_LABELS), min_size=0, max_size=8),
    lo=st.sampled_from(_LABELS),
    hi=st.sampled_from(_LABELS),
)
@example(labels=["20200103", "20200102", "20200104"], lo="20200103", hi="20200104")  # unsorted
@example(labels=["20200102", "20200103", "20200102"], lo="20200102", hi="20200102")  # repeated
def test_slice_keeps_mask_order_for_any_text_labels(labels, lo, hi):
    frame = pd.DataFrame(np.arange(len(labels) * 2, dtype=float).reshape(-1, 2), index=labels, columns=["a", "b"])
    series = pd.Series(np.arange(len(labels), dtype=float), index=labels, name="s")
    data = {"f": frame, "benchmark_dict": {"x": series}}
    sliced = slice_data(data, lo, hi)
    pd.testing.assert_frame_equal(sliced["f"], rows_between(frame, lo, hi))
    pd.testing.assert_series_equal(sliced["benchmark_dict"]["x"], rows_between(series, lo, hi))


def test_slice_passes_other_values_through():
    frame = pd.DataFrame({"600000": [1.0, 2.0]}, index=["20200102", "20200103"])
    series = pd.Series([1.0, 2.0], index=frame.index)
    marker = object()
    empty_int = pd.DataFrame({"a": pd.Series([], dtype=float)})  # RangeIndex: no text comparison possible
    empty_series = pd.Series([], dtype=float)
    data = {"n": 5, "s": series, "f": frame, "o": marker, "e": empty_int,
            "benchmark_dict": {"b": series, "z": empty_series}}
    snap = snapshot(data)
    sliced = slice_data(data, "20200103", "20200103")
    assert list(sliced) == ["n", "s", "f", "o", "e", "benchmark_dict"]
    assert sliced["n"] == 5 and sliced["s"] is series and sliced["o"] is marker
    assert list(sliced["f"].index) == ["20200103"]
    assert isinstance(sliced["e"], pd.DataFrame) and sliced["e"].shape == (0, 1)
    assert list(sliced["benchmark_dict"]) == ["b", "z"] and len(sliced["benchmark_dict"]["z"]) == 0
    assert list(sliced["benchmark_dict"]["b"]) == [2.0]
    assert_unchanged(data, snap)


@pytest.mark.parametrize(
    "args, error, text",
    [
        (({"benchmark_dict": [1, 2]}, "a", "b"), AttributeError, None),
        (({"benchmark_dict": 5}, "a", "b"), AttributeError, None),
        (([], "a", "b"), TypeError, "'data'"),
        ((None, "a", "b"), TypeError, "'data'"),
        (({}, 20200102, "b"), TypeError, "'start_date'"),
        (({}, "a", None), TypeError, "'end_date'"),
    ],
)
def test_slice_rejects(args, error, text):
    with pytest.raises(error) as info:
        slice_data(*args)
    if text:
        assert text in str(info.value)


# --------------------------------------------------------------------------
# the selection universe


@pytest.mark.parametrize(
    "universe, expected",
    [
        (None, []),
        ("", []),
        ("   ", []),
        (" 000300\t", ["000300"]),
        ([], []),
        ([300, " ", "000905"], ["300", "000905"]),
        (("000300", " 000300 "), ["000300", "000300"]),
        ((c for c in ["932000", ""]), ["932000"]),
    ],
)
def test_parse_universe(universe, expected):
    assert BacktestService._parse_universe(universe) == expected


def expected_filter(data: dict, codes: list[str]) -> pd.DataFrame:
    """The rule in plain pandas."""
    valid = data["close_price_valid"]
    union = None
    for code in codes:
        aligned = data[KEY_OF[code]].reindex(index=valid.index, columns=valid.columns)
        union = aligned if union is None else union.add(aligned, fill_value=0.0)
    return valid * (union.where(union > 0) * 0 + 1)


@pytest.mark.parametrize(
    "universe, codes",
    [
        ("000300", ["000300"]),
        (" 000852 ", ["000852"]),
        (["000300", "000905"], ["000300", "000905"]),
        (["399303", "000852", "399303"], ["399303", "000852", "399303"]),
        (list(UNIVERSE), list(UNIVERSE)),
    ],
)
@pytest.mark.parametrize("lo, hi", [(DATES[0], DATES[-1]), (DATES[4], DATES[30])])
def test_universe_filter_on_a_slice(bundle, universe, codes, lo, hi):
    snap = snapshot(bundle.data)
    data = slice_data(bundle.data, lo, hi)
    before = dict(data)
    old = data["close_price_valid"]
    old_copy = old.copy()
    BacktestService(None)._apply_universe_filter(data, universe, "19000101", "19000101")  # dates play no part
    new = data["close_price_valid"]
    assert new is not old
    pd.testing.assert_frame_equal(new, expected_filter(before, codes), check_exact=True)
    assert new.notna().to_numpy().sum() < old.notna().to_numpy().sum()  # the filter does narrow
    pd.testing.assert_frame_equal(old, old_copy, check_exact=True)
    assert all(data[k] is v for k, v in before.items() if k != "close_price_valid")
    assert_unchanged(bundle.data, snap)


_DATES = ["20240102", "20240103", "20240104", "20240105", "20240108"]
_CODES = ["000001", "300750", "600000", "600519"]
_VALUES = [np.nan, -1.0, 0.0, 0.5, 1.0, 2.0]


@st.composite
def membership(draw):
    dates = draw(st.lists(st.sampled_from(_DATES + ["20231229", "20240109"]), min_size=1, max_size=7, unique=True))
    codes = draw(st.lists(st.sampled_from(_CODES + ["688981"]), min_size=0, max_size=5, unique=True))
    values = draw(st.lists(st.sampled_from(_VALUES), min_size=len(dates) * len(codes),
                           max_size=len(dates) * len(codes)))
    return pd.DataFrame(np.array(values, dtype=float).reshape(len(dates), len(codes)), index=dates, columns=codes)


@given(
    valid_values=st.lists(st.sampled_from([1.0, np.nan, 3.0, -2.0, 0.0]), min_size=20, max_size=20),
    matrices=st.lists(membership(), min_size=1, max_size=4),
    picks=st.lists(st.integers(0, 3), min_size=1, max_size=5),
)
def test_universe_filter_matches_the_rule(valid_values, matrices, picks):
    valid = pd.DataFrame(np.array(valid_values).reshape(5, 4), index=_DATES, columns=_CODES)
    codes = list(UNIVERSE)[: len(matrices)]
    data = {"close_price_valid": valid, "other": 1}
    data.update({KEY_OF[code]: m for code, m in zip(codes, matrices, strict=True)})
    chosen = [codes[p % len(codes)] for p in picks]
    expected = expected_filter(data, chosen)
    BacktestService(None)._apply_universe_filter(data, chosen, "a", "b")
    pd.testing.assert_frame_equal(data["close_price_valid"], expected, check_exact=True)
    pd.testing.assert_frame_equal(valid, pd.DataFrame(np.array(valid_values).reshape(5, 4), index=_DATES,
                                                      columns=_CODES))


@pytest.mark.parametrize(
    "universe, drop, message",
    [
        ("999999", None, "不支持的选股范围: 999999"),
        (["000300", 300, "abc"], None, "不支持的选股范围: 300"),
        (["000300", "000905"], "missing", "选股范围 000905 无成分股数据,请重新准备数据"),
        (["000905", "000300"], "empty", "选股范围 000905 无成分股数据,请重新准备数据"),
        (["000905", "999999"], "missing", "选股范围 000905 无成分股数据,请重新准备数据"),
    ],
)
def test_universe_filter_errors_leave_data_unchanged(bundle, universe, drop, message):
    data = slice_data(bundle.data, DATES[0], DATES[-1])
    if drop == "missing":
        del data[KEY_OF["000905"]]
    elif drop == "empty":
        data[KEY_OF["000905"]] = data[KEY_OF["000905"]].iloc[:0]
    snap = snapshot(data)
    with pytest.raises(ValueError) as info:
        BacktestService(None)._apply_universe_filter(data, universe, DATES[0], DATES[-1])
    assert str(info.value) == message
    assert_unchanged(data, snap)


@pytest.mark.parametrize("universe", [None, [], "  ", [" ", ""]])
def test_empty_universe_changes_nothing(universe):
    data = {"x": 1}
    BacktestService(None)._apply_universe_filter(data, universe, "a", "b")
    assert data == {"x": 1}


@pytest.mark.parametrize(
    "args, error, text",
    [
        (({}, "000300", "a", "b"), KeyError, "close_price_valid"),
        (([], None, "a", "b"), TypeError, "'data'"),
        (({}, None, 20200101, "b"), TypeError, "'start_date'"),
        (({}, None, "a", None), TypeError, "'end_date'"),
    ],
)
def test_universe_filter_rejects(args, error, text):
    with pytest.raises(error, match=text):
        BacktestService(None)._apply_universe_filter(*args)


def _digest(obj) -> tuple:
    return tuple(obj.index), tuple(getattr(obj, "columns", ())), obj.to_numpy().tobytes()


def test_threads_share_one_bundle(bundle):
    snap = snapshot(bundle.data)
    cases = [(DATES[i], DATES[j], u) for i, j in [(0, 39), (3, 17), (10, 10), (20, 35)]
             for u in ("000300", ["000905", "932000"], None)]

    def run():
        out = []
        for lo, hi, universe in cases:
            data = slice_data(bundle.data, lo, hi)
            BacktestService(None)._apply_universe_filter(data, universe, lo, hi)
            out.append({k: _digest(v) for k, v in data.items() if isinstance(v, pd.DataFrame)}
                       | {n: _digest(s) for n, s in data["benchmark_dict"].items()})
        return out

    expected = run()
    assert expected[0]["close_price_valid"] != expected[2]["close_price_valid"]
    results = [None] * 8
    barrier = threading.Barrier(8)

    def worker(i):
        barrier.wait()
        results[i] = [run() for _ in range(5)]

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == [expected] * 5 for r in results)
    assert_unchanged(bundle.data, snap)
