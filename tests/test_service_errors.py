"""Misused service and builder entries end in errors that name the argument or dataset at fault."""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import BacktestData, BacktestService, _core, _prepare as P, _weightsim
from vantorel.backtest._store import clean_matrix, component_dataset_key

from support.clients import ScriptedClient, long_table, use_client  # noqa: F401  (fixture)
from support.service import bundle, market, store_dir  # noqa: F401  (fixtures)

DATES = market().dates
BIG = 2**64
slice_data = BacktestService._slice_data


@pytest.fixture
def no_engines(monkeypatch):
    """Both engines replaced by recorders: the tests here are about what reaches them."""
    calls = []
    core = SimpleNamespace(plot_paths={}, best_group=1.0, group_daily_return=None, group_cumulative_return=None,
                           rank_ic=None, benchmark_summary=None, daily_return=None, cumulative_return=None,
                           stats=None)
    monkeypatch.setattr(_core, "run_alpha_vwap_backtest_core", lambda **kw: calls.append(kw) or core)
    monkeypatch.setattr(_weightsim, "run_strategy_backtest_core", lambda **kw: calls.append(kw) or core)
    return calls


def call(entry, frame, data, *, start=DATES[0], end=DATES[-1], output_dir="out", name="n", **kwargs):
    method = BacktestService(None).backtest if entry == "factor" else BacktestService(None).backtest_strategy
    return method(frame, data, start, end, output_dir, name, **kwargs)


def frame_with(index=None, columns=None):
    f = market().frames["close_price"].iloc[:5, :3].copy()
    if index is not None:
        f.index = index
    if columns is not None:
        f.columns = columns
    return f


# --------------------------------------------------------------------------
# labels of user Frames


def test_oversized_integer_codes_are_kept_as_text():
    out = clean_matrix(frame_with(columns=[BIG, -(2**70), 1]))
    assert list(out.columns) == [str(BIG), str(-(2**70)), "000001"]


@pytest.mark.parametrize("label", [BIG, (1, 2), b"20200102", float("nan")])
def test_unreadable_date_labels_are_bad_values(label):
    with pytest.raises(ValueError, match="无法识别的日期: "):
        clean_matrix(frame_with(index=[label] + DATES[1:5]))


@pytest.mark.parametrize("name", [None, 5, b"x"])
def test_component_dataset_key_names_its_argument(name):
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got "):
        component_dataset_key(name)


# --------------------------------------------------------------------------
# slicing Frames whose row labels are not texts


@pytest.mark.parametrize(
    "texts, make",
    [
        (DATES[:8], lambda t: pd.Index([int(d) for d in t])),
        (DATES[:8], lambda t: pd.Index([float(d) for d in t])),
        (DATES[:8], pd.DatetimeIndex),
        (DATES[:8], lambda t: pd.Index([t[0], int(t[1])] + t[2:], dtype=object)),
        (DATES[:8][::-1], lambda t: pd.Index([int(d) for d in t])),
    ],
    ids=["int", "float", "datetime", "mixed", "int descending"],
)
def test_dated_labels_are_compared_as_dates(texts, make):
    frame = pd.DataFrame(np.arange(16.0).reshape(8, 2), index=make(texts), columns=["a", "b"])
    series = frame["a"]
    sliced = slice_data({"f": frame, "benchmark_dict": {"x": series}}, DATES[2], DATES[5])
    keep = [i for i, d in enumerate(texts) if DATES[2] <= d <= DATES[5]]
    pd.testing.assert_frame_equal(sliced["f"], frame.iloc[keep])  # the Frame's own labels stay
    pd.testing.assert_series_equal(sliced["benchmark_dict"]["x"], series.iloc[keep])


@pytest.mark.parametrize("label", [0, -1, 10**20, BIG, float("nan"), (1, 2), b"x"])
def test_labels_that_are_no_dates_name_the_dataset(label):
    frame = pd.DataFrame({"a": [1.0, 2.0]}, index=pd.Index([20200102, label], dtype=object))
    with pytest.raises(ValueError, match=r"^数据集 close_price 的日期标签无法识别: "):
        slice_data({"close_price": frame}, "20200101", "20201231")
    with pytest.raises(ValueError, match=r'^数据集 benchmark_dict\["000300"\] 的日期标签无法识别: '):
        slice_data({"benchmark_dict": {"000300": frame["a"]}}, "20200101", "20201231")


@pytest.mark.parametrize("value", [[1, 2], None, 5, "000300", pd.Series([1.0])])
def test_benchmark_dict_that_is_no_mapping(value):
    with pytest.raises(AttributeError, match=r"^Argument 'benchmark_dict' has incorrect type \(expected a mapping"):
        slice_data({"benchmark_dict": value}, "a", "b")


@pytest.mark.parametrize("value", [[0.1, 0.2], None, 0.5, {"a": 1}])
def test_benchmark_series_that_is_no_series(value):
    with pytest.raises(TypeError,
                       match=r'^Argument \'benchmark_dict\["000300"\]\' has incorrect type \(expected pandas'):
        slice_data({"benchmark_dict": {"000300": value}}, "a", "b")


# --------------------------------------------------------------------------
# the two backtest entries


@pytest.mark.parametrize("entry", ["factor", "strategy"])
@pytest.mark.parametrize(
    "make, message",
    [
        (lambda b: b.data, "Argument 'data' has incorrect type (expected BacktestData, got dict)"),
        (lambda b: None, "Argument 'data' has incorrect type (expected BacktestData, got NoneType)"),
        (lambda b: SimpleNamespace(data=list(b.data)),
         "Argument 'data.data' has incorrect type (expected dict, got list)"),
    ],
)
def test_bundle_argument(bundle, no_engines, entry, make, message):
    with pytest.raises(TypeError) as info:
        call(entry, frame_with(), make(bundle))
    assert str(info.value) == message and no_engines == []


@pytest.mark.parametrize("data", [[1], None, pd.DataFrame()])
def test_bundle_holds_a_dict(data):
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected dict, got "):
        BacktestData(data=data)


@pytest.mark.parametrize(
    "entry, missing, universe",
    [
        ("factor", ["can_buy_stock"], None),
        ("strategy", ["can_buy_stock"], None),
        ("factor", ["close_price", "benchmark_dict"], None),
        ("strategy", ["close_price", "benchmark_dict"], None),
        ("factor", ["close_price_valid"], None),
        ("factor", ["close_price_valid"], "000300"),  # the universe filter reads it first
    ],
)
def test_missing_datasets_are_named_before_the_engine(bundle, no_engines, entry, missing, universe):
    data = BacktestData(data={k: v for k, v in bundle.data.items() if k not in missing})
    with pytest.raises(KeyError) as info:
        call(entry, frame_with(), data, **({"universe": universe} if universe else {}))
    names = ", ".join(f"'{k}'" for k in missing)
    assert info.value.args == (f"回测数据缺少数据集 {names},请使用 load_backtest_data() 加载的数据",)
    assert no_engines == []


@pytest.mark.parametrize(
    "entry, output_dir, error, message",
    [
        ("factor", None, TypeError,
         "Argument 'output_dir' has incorrect type (expected str or os.PathLike, got NoneType)"),
        ("factor", 3, TypeError, "Argument 'output_dir' has incorrect type (expected str or os.PathLike, got int)"),
        ("factor", b"out", TypeError,
         "Argument 'output_dir' has incorrect type (expected str or os.PathLike, got bytes)"),
        ("factor", "", ValueError, "output_dir 必须提供"),
        ("factor", "out", ValueError, "plot_filename 必须提供"),
        ("strategy", 0, TypeError, "Argument 'output_dir' has incorrect type (expected str or os.PathLike, got int)"),
        ("strategy", pd.Series([1]), TypeError,
         "Argument 'output_dir' has incorrect type (expected str or os.PathLike, got Series)"),
    ],
)
def test_chart_path(bundle, no_engines, entry, output_dir, error, message):
    name = "" if message.startswith("plot_filename") else "n"
    with pytest.raises(error) as info:
        call(entry, frame_with(), bundle, output_dir=output_dir, name=name)
    assert str(info.value) == message and no_engines == []


@pytest.mark.parametrize("entry", ["factor", "strategy"])
@pytest.mark.parametrize("which, value", [("start", [20200102]), ("end", b"20200110"), ("start", {"d": 1})])
def test_date_arguments_are_named(bundle, no_engines, entry, which, value):
    with pytest.raises(TypeError, match=rf"^Argument '{which}_date' has incorrect type \(expected str or int, got "):
        call(entry, frame_with(), bundle, **{which: value})


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"universe": 300}, TypeError,
         "Argument 'universe' has incorrect type (expected str, list of str or None, got int)"),
        ({"universe": b"000300"}, TypeError,
         "Argument 'universe' has incorrect type (expected str, list of str or None, got bytes)"),
        ({"ascending": pd.Series([True, False])}, TypeError,
         "Argument 'ascending' has incorrect type (expected bool, got Series)"),
    ],
)
def test_factor_options(bundle, no_engines, options, error, message):
    with pytest.raises(error) as info:
        call("factor", frame_with(), bundle, **options)
    assert str(info.value) == message and no_engines == []


def test_universe_entries_that_are_no_frames(bundle):
    data = slice_data(bundle.data, DATES[0], DATES[-1])
    data["component__rq_index_components_new_000300_xshg"] = [1, 2]
    with pytest.raises(TypeError, match=r"^Argument 'component__rq_index_components_new_000300_xshg' has incorrect"):
        BacktestService(None)._apply_universe_filter(data, "000300", "a", "b")


@pytest.mark.parametrize("core", [None, 5, SimpleNamespace(plot_paths={})])
def test_public_result_of_no_kernel_result(core):
    with pytest.raises(TypeError, match=r"^Argument 'core_result' has incorrect type \(expected a group backtest"):
        BacktestService._to_public_result(core, "f")


@pytest.mark.parametrize(
    "paths, best, field",
    [([1, 2], 1, "plot_paths"), ({"main": "p.png"}, 1, "plot_paths"), ({}, [1, 2], "best_group"),
     ({}, np.array([3.0]), "best_group")],
)
def test_public_result_of_odd_fields(paths, best, field):
    core = SimpleNamespace(plot_paths=paths, best_group=best, group_daily_return=None, group_cumulative_return=None,
                           rank_ic=None, benchmark_summary=None)
    with pytest.raises(TypeError, match=rf"^Argument 'core_result.{field}' has incorrect type"):
        BacktestService._to_public_result(core, "f")


def test_public_result_of_plot_paths_without_a_truth_value():
    core = SimpleNamespace(plot_paths=pd.NA, best_group=1, group_daily_return=None, group_cumulative_return=None,
                           rank_ic=None, benchmark_summary=None)
    with pytest.raises(TypeError,
                       match=r"^Argument 'core_result.plot_paths' has incorrect type \(expected dict, got NAType"):
        BacktestService._to_public_result(core, "f")


@pytest.mark.parametrize("best", [float("inf"), "x"])
def test_public_result_of_a_best_group_that_is_no_number(best):
    core = SimpleNamespace(plot_paths={}, best_group=best, group_daily_return=None, group_cumulative_return=None,
                           rank_ic=None, benchmark_summary=None)
    with pytest.raises(ValueError, match="^Argument 'core_result.best_group' must be a group number or NaN"):
        BacktestService._to_public_result(core, "f")


# --------------------------------------------------------------------------
# the builder and the catalogue helpers


@pytest.fixture
def builder():
    return P.GroupPreparedDataBuilder("20200101", "20200131")


@pytest.mark.parametrize(
    "answer, message",
    [
        (pd.Series([1.0]), "因子查询返回结果应为含 ukey/date 列的 DataFrame (查询因子: {q}),实际为 Series"),
        ([1, 2], "因子查询返回结果应为含 ukey/date 列的 DataFrame (查询因子: {q}),实际为 list"),
        ({"ukey": []}, "因子查询返回结果应为含 ukey/date 列的 DataFrame (查询因子: {q}),实际为 dict"),
        (pd.DataFrame({"code": ["600000"], "x": [1.0]}),
         "因子查询返回结果缺少 ukey/date 列 (查询因子: {q},返回的列: ['code', 'x'])"),
    ],
)
def test_malformed_factor_answers_name_the_query(builder, use_client, answer, message):
    use_client(ScriptedClient(factors={"Close": answer}, batch=answer))
    with pytest.raises(KeyError) as info:
        builder._read_normal_factor_matrix("Close")
    assert info.value.args == (message.format(q="'Close'"),)
    with pytest.raises(KeyError) as info:
        builder._read_normal_factor_batch(["Close", "Open"])
    assert info.value.args == (message.format(q="['Close', 'Open']"),)


@pytest.mark.parametrize("answer, kind", [(pd.Series([0.1]), "Series"), ([0.1], "list"), (5, "int")])
def test_malformed_index_answers_name_the_index(builder, use_client, answer, kind):
    use_client(ScriptedClient(index=answer))
    with pytest.raises(KeyError) as info:
        builder._read_benchmark_dict()
    assert info.value.args == (
        f"基准日频数据应为含 date 与 daily_return/close 列的 DataFrame: 000852 (000852.XSHG),实际为 {kind}",)


@pytest.mark.parametrize(
    "entry, error, message",
    [
        ([1.0], TypeError, 'Argument \'batch["Close"]\' has incorrect type (expected pandas.DataFrame, got list)'),
        (5, TypeError, 'Argument \'batch["Close"]\' has incorrect type (expected pandas.DataFrame, got int)'),
        (frame_with(index=[20200102, "20200103", 3, 4, 5]), ValueError,
         'Argument \'batch["Close"]\' must have YYYYMMDD text row labels (as clean_matrix gives), '
         'got mixed-integer labels'),
    ],
)
def test_batch_entries(builder, entry, error, message):
    reference = frame_with()
    for step in (lambda: builder._batch_or_read({"Close": entry}, "Close"),
                 lambda: builder._read_or_empty("Close", reference, {"Close": entry}),
                 lambda: builder._component_matrices(["Close"], {"Close": entry})):
        with pytest.raises(error) as info:
            step()
        assert str(info.value) == message


def test_derivation_needs_text_dates(builder):
    source = {name: frame_with() for name in P.BUILD_INPUT_NAMES}
    source["Close"] = frame_with(index=[int(d) for d in DATES[:5]])
    with pytest.raises(ValueError, match=r"^Argument 'Close' must have YYYYMMDD text row labels"):
        builder._build_from_matrices(source)
    source["Close"] = frame_with()
    source["Open"] = frame_with(columns=pd.MultiIndex.from_arrays([["a", "b", "c"], ["000001", "000002", "000003"]]))
    with pytest.raises(ValueError, match=r"^Argument 'Open' must have one level of labels per axis, got a MultiIndex"):
        builder._build_from_matrices(source)


@pytest.mark.parametrize("which", ["data", "benchmark_dict"])
def test_payload_parts_must_be_dicts(builder, which):
    parts = {"data": {}, "benchmark_dict": {}} | {which: [1]}
    with pytest.raises(TypeError, match=rf"^Argument '{which}' has incorrect type \(expected dict, got list\)"):
        builder._assemble_payload(parts["data"], {}, parts["benchmark_dict"], [], "t")


@pytest.mark.parametrize("function, argument", [(P.parse_name_list, "raw_values"),
                                                (BacktestService._parse_universe, "universe")])
@pytest.mark.parametrize("value", [5, 1.5, b"ab", bytearray(b"ab")])
def test_name_lists_of_no_names(function, argument, value):
    with pytest.raises(TypeError, match=rf"^Argument '{argument}' has incorrect type"):
        function(value)


@pytest.mark.parametrize("value", [[20200102], b"20200102", {}])
def test_factor_query_date_names_its_argument(value):
    with pytest.raises(TypeError, match=r"^Argument 'date_value' has incorrect type \(expected str or int, got "):
        P.GroupPreparedDataBuilder._vr_factor_date(value)


def test_series_to_yyyymmdd_of_a_table():
    with pytest.raises(TypeError, match=r"^Argument 'values' has incorrect type \(expected a sequence of dates"):
        P.series_to_yyyymmdd(pd.DataFrame({"d": ["2020-01-02"]}))


@pytest.mark.parametrize("entry", ["factor", "strategy"])
def test_benchmark_tables_follow_the_engines_rule(bundle, entry, tmp_path):
    """A downloaded bundle may carry a benchmark as a table: one column is read as the series, any
    other shape is refused by name instead of crashing the kernel."""
    series = bundle.data["benchmark_dict"]["000852"]
    factor = market().frames["close_price"].pct_change(fill_method=None)

    def run(benchmark):
        data = BacktestData(data={**bundle.data, "benchmark_dict": {"000852": benchmark}})
        return call(entry, factor, data, output_dir=str(tmp_path), plot=None if entry == "strategy" else "long")

    plain = run(series)
    as_table = run(series.to_frame("r"))
    pd.testing.assert_frame_equal(plain.benchmark_summary, as_table.benchmark_summary)
    for table in (pd.DataFrame(index=series.index), pd.DataFrame({"a": series, "b": series})):
        with pytest.raises(TypeError, match=r"^Argument 'benchmark_dict\['000852'\]' has incorrect type"):
            run(table)


@pytest.mark.parametrize("entry", ["factor", "strategy"])
@pytest.mark.parametrize(
    "options, message",
    [
        ({"fee": float("nan")}, "Argument 'fee' must lie in [0, 1), got nan"),
        ({"rule_fee": 1.5}, "Argument 'rule_fee' must lie in [0, 1), got 1.5"),
        ({"total_money": 0}, "Argument 'total_money' must lie in (0, +inf), got 0.0"),
        ({"total_money": float("inf")}, "Argument 'total_money' must lie in (0, +inf), got inf"),
    ],
)
def test_cost_ranges_are_checked_before_any_work(bundle, no_engines, entry, options, message):
    with pytest.raises(ValueError) as info:
        call(entry, frame_with(), {"not": "a bundle"}, **options)
    assert str(info.value) == message and no_engines == []
