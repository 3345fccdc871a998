"""Researchers' tables as they come: spellings of codes, dates and columns, fall-backs for missing
columns, the suspension rule, membership in both forms, and the errors bad tables get."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest._prepare import BinaryPreparedDataStore, component_dataset_key
from vantorel.backtest.tables import TableError, TablesDataService, normalise_dates, prepare_from_tables
from vantorel.backtest.tables.market import FACTOR_OF
from vantorel.backtest.tables.prepare import _payload, using_client

NAN = np.nan
DAYS = ["2021-03-01", "2021-03-02", "2021-03-03", "2021-03-04"]
COMPONENT_300 = "rq_index_components_new_000300.XSHG"


def _bars(**columns) -> pd.DataFrame:
    """Three stocks over four days, with every optional column; keyword arguments replace columns."""
    rows = []
    for d, day in enumerate(DAYS):
        for code, base in (("600000.SH", 10.0), ("SZ000001", 20.0), ("300750.SZ", 100.0)):
            close = base + d
            rows.append({"trade_date": day, "ts_code": code, "open": close - 0.1, "close": close,
                         "pre_close": close - 1 if d else base - 1, "vwap": close - 0.05, "vol": 1000.0})
    frame = pd.DataFrame(rows)
    for name, value in columns.items():
        if value is None:
            del frame[name]
        else:
            frame[name] = value
    return frame


def _matrix(client: TablesDataService, what: str) -> np.ndarray:
    return client.factor_values(FACTOR_OF.get(what, what))


def test_normalise_dates_reads_the_usual_spellings():
    values = [20210301, "2021-03-01", "2021/3/1", "20210301", "2021.03.01", "2021-03-01 00:00:00",
              pd.Timestamp("2021-03-01"), np.datetime64("2021-03-01"), "2021-02-30", "0301", None, 2021031, 1.5]
    assert list(normalise_dates(pd.Series(values, dtype=object))) == [20210301] * 8 + [-1] * 5
    assert list(normalise_dates(pd.to_datetime(pd.Series(["2021-03-02", None])))) == [20210302, -1]


def test_aliases_codes_and_one_vwap_for_both_sides():
    client = TablesDataService({"bars": _bars()})
    assert client.dates == ["20210301", "20210302", "20210303", "20210304"]
    assert client.market.codes == ["000001", "300750", "600000"]
    assert list(client._ukeys) == ["000001.XSHE", "300750.XSHE", "600000.XSHG"]
    np.testing.assert_array_equal(_matrix(client, "buy"), _matrix(client, "sell"))
    np.testing.assert_array_equal(_matrix(client, "buy")[:, 2], [9.95, 10.95, 11.95, 12.95])


def test_amount_and_volume_give_the_vwap_and_wrong_units_are_refused():
    bars = _bars(vwap=None)
    bars["amount"] = bars["close"] * bars["vol"]
    client = TablesDataService({"bars": bars})
    np.testing.assert_allclose(_matrix(client, "buy")[:, 2], [10, 11, 12, 13])
    bars["amount"] = bars["close"] * bars["vol"] * 100  # volume in lots of 100 shares
    with pytest.raises(TableError, match="amount in yuan and volume in shares"):
        TablesDataService({"bars": bars})


def test_derived_limits_block_trades_and_suspensions_block_both_sides():
    bars = _bars()
    up = (bars["ts_code"] == "600000.SH") & (bars["trade_date"] == DAYS[2])
    bars.loc[up, ["close", "vwap"]] = 12.1  # previous close 11: limit-up 12.10 on the main board
    bars.loc[(bars["ts_code"] == "SZ000001") & (bars["trade_date"] == DAYS[1]), "vol"] = 0  # suspended
    bars = bars[~((bars["ts_code"] == "300750.SZ") & (bars["trade_date"] == DAYS[3]))]  # no row: suspended
    bars["is_st"] = bars["ts_code"] == "SZ000001"
    client = TablesDataService({"bars": bars})
    up_limits = _matrix(client, "limit_up")
    assert up_limits[2, 2] == 12.1 and up_limits[1, 0] == 21.0  # ST: +5 % of 20
    assert up_limits[1, 1] == 120.0  # ChiNext: +20 % of 100 (after 2020-08-24)
    np.testing.assert_array_equal(_matrix(client, "trading"), [[1, 1, 1], [0, 1, 1], [1, 1, 1], [1, NAN, 1]])

    with using_client(client):  # the builder's masks from these factors
        data = _payload("20210301", "20210304", incremental=False)["data"]
    can_buy, cant_sell = data["can_buy_stock"].to_numpy(), data["cant_sell_stock"].to_numpy()
    assert not can_buy[2, 2] and not cant_sell[2, 2]  # at the limit-up: no buying, selling allowed
    assert not can_buy[1, 0] and cant_sell[1, 0]  # zero volume
    assert not can_buy[3, 1] and cant_sell[3, 1]  # absent row
    assert not can_buy[0, 0]  # the ST name's VWAP 19.95 is its limit-up (19 x 1.05)
    assert can_buy[0, 1:].all() and not cant_sell[0].any()


def test_limit_columns_given_are_used_and_checked():
    bars = _bars(limit_up=np.inf)
    with pytest.raises(TableError, match="limit_up.*not a finite number"):
        TablesDataService({"bars": bars})
    bars = _bars(limit_up=11.0, limit_down=12.0, pre_close=None)
    with pytest.raises(TableError) as info:
        TablesDataService({"bars": bars})
    assert "'limit_down' is above limit_up in 12 rows" in str(info.value)
    assert "bars DataFrame row 1 (date 2021-03-01, code 600000.SH)" in str(info.value)
    with pytest.raises(TableError, match="prev_close column is required"):
        TablesDataService({"bars": _bars(pre_close=None)})


def test_membership_by_day_and_by_range_and_index_levels(tmp_path):
    by_day = pd.DataFrame({"date": [20210301, 20210302, 20210302], "index": ["000300.SH", "000300.SH", "399303"],
                           "code": ["600000", "600000", "000001.SZ"]})
    by_range = pd.DataFrame({"index_code": ["000300.XSHG", "000300", "932000.CSI"],
                             "con_code": ["SZ000001", "300750.SZ", "600000.SH"],
                             "in_date": ["2021-03-02", "2021-03-01", "2021-03-01"],
                             "out_date": [None, "2021-03-03", None]})
    levels = pd.DataFrame({"date": DAYS * 2, "index": ["000300.SH"] * 4 + ["000905"] * 4,
                           "close": [100.0, 101.0, 99.99, 102.0, 50.0, 50.5, 50.0, 50.0]})
    for membership, expected in ((by_day, [[0, 0, 1], [0, 0, 1], [0, 0, 0], [0, 0, 0]]),
                                 (by_range, [[0, 1, 0], [1, 1, 0], [1, 0, 0], [1, 0, 0]])):
        client = TablesDataService({"bars": _bars(), "membership": membership, "indices": levels})
        np.testing.assert_array_equal(client.factor_values(COMPONENT_300), expected)
    index = client.get_index_daily(["000300.XSHG", "000852.XSHG"], "20210301", "20210304")
    returns = index.set_index(["ukey", "date"])["daily_return"]
    np.testing.assert_allclose(returns["000300.XSHG"], [NAN, 0.01, 99.99 / 101 - 1, 102 / 99.99 - 1])
    assert (returns["000852.XSHG"] == 0).all()  # a missing benchmark is flat

    prepare_from_tables({"bars": _bars(), "membership": by_range, "indices": levels}, tmp_path / "store")
    data = BinaryPreparedDataStore(tmp_path / "store").load(mmap=False)["data"]
    mask = data[component_dataset_key("rq_index_components_new_000905.XSHG")]
    assert mask.shape == data["close_price"].shape and mask.isna().all().all()  # no members: an empty mask
    assert (data["benchmark_dict"]["000852"] == 0).all()


def test_directory_of_files_with_mixed_spellings(tmp_path):
    bars = _bars()
    first, second = bars.iloc[:6].copy(), bars.iloc[6:].copy()
    second["trade_date"] = pd.to_datetime(second["trade_date"])  # another export writes date-times
    first.to_csv(tmp_path / "bars_2021a.csv", index=False)
    second.rename(columns={"ts_code": "Code", "pre_close": "Prev Close"}).to_parquet(tmp_path / "bars_2021b.parquet")
    (tmp_path / "notes.csv").write_text("not,a,table\n")
    seen = []
    client = TablesDataService(tmp_path, on_file=seen.append)
    assert seen == ["bars_2021a.csv", "bars_2021b.parquet"]
    np.testing.assert_array_equal(_matrix(client, "close")[:, 0], [20, 21, 22, 23])


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda b: b.drop(columns=["close"]), r"bars table \(bars.csv\): required column 'close' missing"),
        (lambda b: pd.concat([b, b.iloc[[4]]]), r"duplicate \(date, code\) in 2 rows; first: bars.csv row 5 "
                                                r"\(date 2021-03-02, code SZ000001\); bars.csv row 13"),
        (lambda b: b.assign(open=["x"] + [1.0] * 11), r"column 'open' is not a number in 1 row; first: bars.csv "
                                                      r"row 1 .*\(values: 'x'\)"),
        (lambda b: b.assign(close=[-1.0] + [1.0] * 11), r"column 'close' is negative in 1 row"),
        (lambda b: b.assign(ts_code=["ABC"] + list(b.ts_code[1:])), r"column 'code' is not a stock code"),
        (lambda b: b.assign(trade_date=["2021-13-01"] + list(b.trade_date[1:])), r"column 'date' is not a date"),
        (lambda b: b.drop(columns=["vwap"]), r"no execution price: give columns buy_vwap and sell_vwap"),
        (lambda b: b.assign(suspended=["maybe"] * 12), r"column 'suspended' is not a flag"),
    ],
    ids=["missing-column", "duplicates", "text-price", "negative", "bad-code", "bad-date", "no-vwap", "bad-flag"],
)
def test_bad_tables_name_the_file_column_and_rows(tmp_path, change, message):
    change(_bars()).to_csv(tmp_path / "bars.csv", index=False)
    with pytest.raises(TableError, match=message):
        TablesDataService(tmp_path)


def test_other_bad_inputs(tmp_path):
    with pytest.raises(FileNotFoundError):
        TablesDataService(tmp_path / "absent")
    with pytest.raises(TableError, match="source has no bars table"):
        TablesDataService(tmp_path)
    with pytest.raises(TypeError, match=r"Argument 'bars' has incorrect type \(expected pandas.DataFrame, got list"):
        TablesDataService({"bars": [[1, 2]]})
    with pytest.raises(TypeError, match="Argument 'source' has incorrect type"):
        TablesDataService(5)
    actions = pd.DataFrame({"ex_date": ["2021-03-02"], "code": ["600000"], "split_ratio": [0.0]})
    with pytest.raises(TableError, match="'split_ratio' is not positive"):
        TablesDataService({"bars": _bars(), "actions": actions})
    ranges = pd.DataFrame({"index": ["000300"], "code": ["600000"], "in_date": ["20210303"], "out_date": ["20210301"]})
    with pytest.raises(TableError, match="'out_date' is before in_date"):
        TablesDataService({"bars": _bars(), "membership": ranges})


def test_inputs_are_not_modified():
    bars = _bars()
    before = bars.copy(deep=True)
    TablesDataService({"bars": bars})
    pd.testing.assert_frame_equal(bars, before)
