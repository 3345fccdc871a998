"""Reading source factors: query tables to matrices, reads and their fall-backs, benchmark returns."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st

from vantorel import singleton
from vantorel.backtest import _prepare as P
from vantorel.exceptions import NetworkError, VantorelError

from support import prepare_reference as ref
from support.clients import ScriptedClient, long_table, use_client  # noqa: F401  (fixture)
from support.stores import assert_frame_same

Builder = P.GroupPreparedDataBuilder
NAN = np.nan


@pytest.fixture
def builder():
    return Builder("20200101", "20200131")


def _frame(values, index, columns) -> pd.DataFrame:
    return pd.DataFrame(np.asarray(values, dtype=float), index=pd.Index(index, dtype="str"),
                        columns=pd.Index(columns, dtype="str"))


def assert_same(actual: pd.DataFrame, expected: pd.DataFrame) -> None:
    if expected.empty and expected.shape == (0, 0):
        assert actual.shape == (0, 0)
        return
    assert_frame_same(actual, expected)


# --------------------------------------------------------------------------
# construction and dates


def test_construction_and_date_helpers():
    b = Builder("2020-01-02", 20201231)
    assert (b.default_start, b.end_date, b._ddb_start, b._ddb_end) == ("20200102", "20201231", "20200102", "20201231")
    assert Builder._normalize_ddb_backtest_date("2020010") == "20200100"
    for value in ["20200102", "202001a", 20200102]:
        assert Builder._normalize_ddb_backtest_date(value) == str(value)
    assert Builder._normalize_ddb_backtest_date(None) is None
    assert Builder._vr_factor_date("20200102") == "2020-01-02" == Builder._vr_factor_date(20200102)
    assert Builder._vr_factor_date(None) is None
    with pytest.raises(TypeError, match=r"Argument 'start_date' has incorrect type \(expected str, got list\)"):
        Builder(["20200101"], "20200102")


def test_empty_like_keeps_labels():
    ref_frame = _frame([[1.0, 2.0]], ["20200102"], ["000001", "000002"])
    empty = Builder._empty_like(ref_frame)
    assert list(empty.index) == ["20200102"] and list(empty.columns) == ["000001", "000002"]
    assert empty.isna().all().all() and (empty.dtypes == np.float64).all()
    assert (Builder._empty_like(ref_frame, 0.5) == 0.5).all().all()


# --------------------------------------------------------------------------
# query tables to matrices

RECORDS = [
    ("000001.XSHE", "2020-01-02", 1.0, "a"),
    ("000002.XSHE", "2020-01-02", 2.0, "a"),
    ("000001.XSHE", "2020-01-03", 3.0, "a"),
    ("000001.XSHE", "2020-01-02", 10.0, "b"),
]
EXPECTED_A = _frame([[1.0, 2.0], [3.0, NAN]], ["20200102", "20200103"], ["000001", "000002"])
EXPECTED_B = _frame([[10.0]], ["20200102"], ["000001"])


@pytest.mark.parametrize("date", ["date", "DataDate"])
@pytest.mark.parametrize("value", ["value", "x"])
@pytest.mark.parametrize("factor", ["factor", "factor_name", "factorname"])
def test_column_spellings_read_alike(builder, date, value, factor):
    df = long_table(RECORDS, date=date, value=value, factor=factor)
    out = builder._vr_factors_to_matrices(df, ["a", "b", "absent"])
    assert list(out) == ["a", "b", "absent"]
    assert_same(out["a"], EXPECTED_A)
    assert_same(out["b"], EXPECTED_B)
    assert out["absent"].shape == (0, 0)


def test_both_spellings_present_read_the_canonical_column(builder):
    df = long_table(RECORDS).assign(DataDate="2021-06-01", x=-1.0, factorname="a")
    out = builder._vr_factors_to_matrices(df, ["a"])["a"]
    assert list(out.index) == ["20210601"] and (out.to_numpy() == -1.0).all()


def test_single_name_without_name_column_reads_whole_table(builder):
    df = long_table([r[:3] for r in RECORDS[:3]])
    assert_same(builder._vr_factors_to_matrices(df, ["a"])["a"], EXPECTED_A)
    # two names: a wide table without those columns holds neither
    out = builder._vr_factors_to_matrices(df, ["a", "b"])
    assert out["a"].shape == (0, 0) and out["b"].shape == (0, 0)


def test_wide_tables(builder):
    df = pd.DataFrame({"ukey": ["000001.XSHE", "000002.XSHE"], "date": ["2020-01-02"] * 2,
                       "a": [1.0, "junk"], "b": [NAN, 5]})
    out = builder._vr_factors_to_matrices(df, ["a", "b", "c"])
    assert_same(out["a"], _frame([[1.0]], ["20200102"], ["000001"]))
    assert_same(out["b"], _frame([[5.0]], ["20200102"], ["000002"]))
    assert out["c"].shape == (0, 0)
    # A single name that is a column of a table without a value column is read the wide way, and so
    # is a table with a name column but no value column.
    assert_same(builder._vr_factors_to_matrices(df[["ukey", "date", "a"]], ["a"])["a"],
                _frame([[1.0]], ["20200102"], ["000001"]))
    named = df.assign(factor="a")
    assert_same(builder._vr_factors_to_matrices(named, ["b"])["b"], _frame([[5.0]], ["20200102"], ["000002"]))


def test_duplicates_keep_last_and_suffixes_merge(builder):
    df = long_table([
        ("600000.XSHG", "2020-01-02", 1.0),
        ("600000.SH", "2020-01-02", 2.0),     # same code, other suffix: same cell, later record
        ("600000.XSHG", "2020-01-02", NAN),   # a missing value is dropped, not a later record
        ("600001.XSHG", 20200103, 4.0),       # an integer date is that date
    ])
    out = builder._vr_factors_to_matrices(df, ["f"])["f"]
    assert_same(out, _frame([[2.0, NAN], [NAN, 4.0]], ["20200102", "20200103"], ["600000", "600001"]))


def test_records_without_code_date_or_number_are_dropped(builder):
    df = long_table([
        (None, "2020-01-02", 1.0),
        (NAN, "2020-01-02", 1.0),
        ("000001.XSHE", "not a date", 1.0),
        ("000001.XSHE", "2020-01-03", "x"),
        ("000001.XSHE", "2020/01/06", "7"),
        ("000002.XSHE", 20200107.0, np.inf),
    ])
    out = builder._vr_factors_to_matrices(df, ["f"])["f"]
    # no "nan" column from a missing ukey; dates of both spellings parsed; infinity kept
    assert_same(out, _frame([[7.0, NAN], [NAN, np.inf]], ["20200106", "20200107"], ["000001", "000002"]))


def test_dates_of_every_kind_in_one_column(builder):
    days = ["2020-01-02", "20200103", "2020/01/06", 20200107, dt.datetime(2020, 1, 8, 15), pd.Timestamp("2020-01-09"),
            "2020-01-10 09:30:00"]
    df = long_table([("000001.XSHE", d, float(i)) for i, d in enumerate(days)])
    out = builder._vr_factors_to_matrices(df, ["f"])["f"]
    assert list(out.index) == ["20200102", "20200103", "20200106", "20200107", "20200108", "20200109", "20200110"]
    np.testing.assert_array_equal(out["000001"].to_numpy(), np.arange(7.0))
    stamped = long_table([("000001.XSHE", pd.Timestamp("2020-01-02 23:59"), 1.0)])
    stamped["date"] = stamped["date"].astype("datetime64[s]")
    assert list(builder._vr_factors_to_matrices(stamped, ["f"])["f"].index) == ["20200102"]


def test_mixed_date_spellings_in_series_to_yyyymmdd():
    out = P.series_to_yyyymmdd(pd.Series(["2020-01-02", "2020/01/03", "20200106", 20200107, "2020-02-30", None]))
    assert [None if pd.isna(v) else v for v in out] == [
        "20200102", "20200103", "20200106", "20200107", None, None]


def test_query_result_faults(builder):
    for drop in ["ukey", "date"]:
        with pytest.raises(KeyError) as info:
            builder._vr_factors_to_matrices(long_table(RECORDS).drop(columns=drop), ["a"])
        assert info.value.args == ("因子查询返回结果缺少 ukey/date 列",)
    for empty in [None, long_table(RECORDS).iloc[0:0], pd.DataFrame()]:
        out = builder._vr_factors_to_matrices(empty, ["a"])
        assert list(out) == ["a"] and out["a"].shape == (0, 0)
    with pytest.raises(TypeError, match=r"Argument 'names' has incorrect type \(expected list, got str\)"):
        builder._vr_factors_to_matrices(long_table(RECORDS), "a")


_codes = st.sampled_from(["000001.XSHE", "000002.SZ", "600000.XSHG", "600000.SH", "300750", None, NAN])
_dates = st.sampled_from(["2020-01-02", "20200103", 20200106, "2020/01/07", "bad", None])
_values = st.one_of(st.floats(allow_nan=True, allow_infinity=True, width=32), st.sampled_from(["1.5", "x", None]))
_names = st.sampled_from(["a", "b", "c", None])


@given(st.lists(st.tuples(_codes, _dates, _values, _names), max_size=40), st.booleans())
def test_long_tables_match_the_plain_statement(records, with_names):
    df = long_table([r if with_names else r[:3] for r in records])
    if not records:
        df = pd.DataFrame({"ukey": [], "date": [], "value": []})
    names = ["a", "b"] if with_names else ["a"]
    expected = ref.factors_to_matrices(df, names)
    actual = Builder("20200101", "20200131")._vr_factors_to_matrices(df, names)
    assert list(actual) == names
    for name in names:
        assert_same(actual[name], expected[name])


# --------------------------------------------------------------------------
# reads and fall-backs


def _table(value: float, day: str = "2020-01-02") -> pd.DataFrame:
    return long_table([("000001.XSHE", day, value)])


def test_single_read_queries_the_builder_range(builder, use_client):
    client = use_client(ScriptedClient(factors={"f": _table(1.0)}))
    assert_same(builder._read_normal_factor_matrix("f"), _frame([[1.0]], ["20200102"], ["000001"]))
    assert client.calls == [("get_factors", "f", "2020-01-01", "2020-01-31")]
    assert builder._read_normal_factor_matrix("none").shape == (0, 0)


def test_batch_falls_back_factor_by_factor(builder, use_client):
    batch = long_table([("000001.XSHE", "2020-01-02", 1.0, "a")])
    client = use_client(ScriptedClient(factors={"b": _table(2.0)}, batch=batch))
    out = builder._read_normal_factor_batch(["a", "b"])
    assert client.queried() == [("a", "b"), "b"]  # only the factor the batch lacks is read again
    assert out["a"].iloc[0, 0] == 1.0 and out["b"].iloc[0, 0] == 2.0

    client = use_client(ScriptedClient(factors={"a": _table(3.0), "b": _table(4.0)}, fail={"batch"}))
    out = builder._read_normal_factor_batch("a, b".split(", "))
    assert client.queried() == [("a", "b"), "a", "b"]
    assert out["a"].iloc[0, 0] == 3.0 and out["b"].iloc[0, 0] == 4.0
    assert builder._read_normal_factor_batch([]) == {}


def test_network_errors_of_single_reads_propagate(builder, use_client):
    use_client(ScriptedClient(fail={"batch", "a"}))
    with pytest.raises(NetworkError):
        builder._read_normal_factor_batch(["a"])
    with pytest.raises(NetworkError):
        builder._batch_or_read({}, "a")


def test_optional_factors_become_placeholders(builder, use_client):
    reference = _frame([[1.0, 1.0]], ["20200102"], ["000001", "000002"])
    client = use_client(ScriptedClient(factors={"f": _table(5.0)}))
    # with a batch, an absent entry is a placeholder without any query
    placeholder = builder._read_or_empty("g", reference, batch={"g": pd.DataFrame()})
    assert placeholder.shape == (1, 2) and placeholder.isna().all().all() and client.calls == []
    assert builder._read_or_empty("f", reference).iloc[0, 0] == 5.0
    assert builder._read_or_empty("g", reference).shape == (1, 2)
    unsorted = _frame([[2.0], [1.0]], ["20200103", "20200102"], ["000001"])
    assert list(builder._batch_or_read({"f": unsorted}, "f").index) == ["20200102", "20200103"]
    with pytest.raises(TypeError, match="Argument 'batch' has incorrect type"):
        builder._read_or_empty("f", reference, batch=[])


def test_component_masks(builder, use_client):
    members = long_table([("000001.XSHE", "2020-01-02", 1.0), ("000002.XSHE", "2020-01-02", 0.0),
                          ("000003.XSHE", "2020-01-02", np.inf), ("000001.XSHE", "2020-01-03", 2.0)])
    zeros = long_table([("000001.XSHE", "2020-01-02", 0.0)])
    client = use_client(ScriptedClient(factors={"m": members, "z": zeros}, fail={"down"}))
    out = builder._component_matrices(["m", "z", "down", "empty"])
    assert list(out) == ["m"]  # all-zero, failed and empty components give no entry
    assert_same(out["m"], _frame([[1.0, NAN, NAN], [1.0, NAN, NAN]], ["20200102", "20200103"],
                                 ["000001", "000002", "000003"]))
    client.calls.clear()
    out = builder._component_matrices(["m"], batch={"m": builder._vr_factors_to_matrices(members, ["m"])["m"]})
    assert client.calls == [] and list(out) == ["m"]


# --------------------------------------------------------------------------
# benchmark returns


def _index_table(rows, value="daily_return") -> pd.DataFrame:
    return pd.DataFrame.from_records(rows, columns=["date", "ukey", value])


def test_benchmark_from_returns_or_close(builder):
    both = pd.DataFrame({"date": ["2020-01-03", "2020-01-02"], "ukey": ["000852.XSHG"] * 2,
                         "daily_return": [0.02, 0.01], "close": [102.0, 100.0]})
    out = builder._format_benchmark_daily_return(both, "000852", "000852.XSHG")
    assert out.name == "index_daily_return" and list(out.index) == ["20200102", "20200103"]
    np.testing.assert_array_equal(out.to_numpy(), [0.01, 0.02])

    close = _index_table([("2020-01-02", "000852.XSHG", 100.0), ("2020-01-03", "000852.XSHG", 110.0),
                          ("2020-01-06", "000852.XSHG", NAN), ("2020-01-07", "000852.XSHG", 121.0),
                          ("2020-01-08", "000852.XSHG", 133.1)], value="close")
    out = builder._format_benchmark_daily_return(close, "000852", "000852.XSHG")
    # the first date has no return; nothing is carried over the missing close of 01-06
    assert list(out.index) == ["20200103", "20200108"]
    np.testing.assert_allclose(out.to_numpy(), [0.1, 0.1])
    # a repeated date counts once (its last close), and the return runs from the previous date
    repeated = _index_table([("2020-01-02", "000852.XSHG", 100.0), ("2020-01-03", "000852.XSHG", 105.0),
                             ("2020-01-03", "000852.XSHG", 110.0)], value="close")
    np.testing.assert_allclose(builder._format_benchmark_daily_return(repeated, "000852", "000852.XSHG"), [0.1])


def test_benchmark_records_filtered_and_last_kept(builder):
    rows = [("2020-01-02", "000300.XSHG", 0.5), ("2020-01-02", "000852.XSHG", 0.1),
            ("2020-01-03", "000852.XSHG", 0.2), ("2020-01-02", "000852.XSHG", 0.3), (None, "000852.XSHG", 0.9)]
    out = builder._format_benchmark_daily_return(_index_table(rows), "000852", "000852.XSHG")
    assert list(out.index) == ["20200102", "20200103"]
    np.testing.assert_array_equal(out.to_numpy(), [0.3, 0.2])
    alt = _index_table([("2020-01-02", "x", "0.25")], value="pct_change").drop(columns="ukey")
    assert builder._format_benchmark_daily_return(alt, "000852", "000852.XSHG").tolist() == [0.25]


@pytest.mark.parametrize(
    "df, message",
    [
        (None, "基准日频数据为空: 000852 (000852.XSHG)"),
        (pd.DataFrame(), "基准日频数据为空: 000852 (000852.XSHG)"),
        (pd.DataFrame({"day": [1], "daily_return": [0.1]}), "000852 基准缺少 DataDate 列"),
        (pd.DataFrame({"date": ["2020-01-02"], "open": [1.0]}), "000852 基准缺少 daily_return/close 列"),
    ],
)
def test_benchmark_faults(builder, df, message):
    with pytest.raises(KeyError) as info:
        builder._format_benchmark_daily_return(df, "000852", "000852.XSHG")
    assert info.value.args == (message,)


def test_benchmark_dict_one_query(builder, use_client):
    rows = [("2020-01-02", code, r) for code, r in [("000852.XSHG", 0.1), ("000300.XSHG", 0.2), ("000905.XSHG", 0.3)]]
    client = use_client(ScriptedClient(index=_index_table(rows)))
    out = builder._read_benchmark_dict()
    assert list(out) == ["000852", "000300", "000905"]
    assert [s.iloc[0] for s in out.values()] == [0.1, 0.2, 0.3]
    assert client.calls == [("get_index_daily", ("000852.XSHG", "000300.XSHG", "000905.XSHG"), "20200101", "20200131")]
    client.fail.add("index")
    with pytest.raises(NetworkError):
        builder._read_benchmark_dict()


def test_reads_need_a_configured_client(builder, monkeypatch):
    monkeypatch.setattr(singleton, "_instance", None)
    with pytest.raises(VantorelError, match="set_instance"):
        builder._read_normal_factor_matrix("Close")
    with pytest.raises(TypeError):
        singleton.set_instance(None)
