"""The conventions researchers' own tables are read with: code spellings and limit prices."""

from __future__ import annotations

from decimal import ROUND_HALF_UP, Decimal

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from vantorel.backtest.tables import board_of, limit_prices, normalise_code, normalise_codes
from vantorel.backtest.tables.actions import (
    dividend_per_ten,
    export_dividends,
    export_splits,
    split_per_ten,
    stored_dividend,
)


@pytest.mark.parametrize(
    "spelling, code",
    [("600000", "600000"), ("600000.SH", "600000"), ("600000.sh", "600000"), ("600000.XSHG", "600000"),
     ("SH600000", "600000"), ("sh.600000", "600000"), (" 000001.SZ ", "000001"), ("000001.XSHE", "000001"),
     ("SZ000001", "000001"), ("430047.BJ", "430047"), ("BJ430047", "430047"), (1, "000001"),
     (np.int64(600000), "600000"), ("1.SZ", "000001")],
)
def test_usual_spellings_read_as_six_digit_codes(spelling, code):
    assert normalise_code(spelling) == code


@pytest.mark.parametrize("junk", ["", "abc", "600000.HK", "6000001", "60 0000", None, 1.5, True, -1, 10**7, b"600000"])
def test_anything_else_is_no_code(junk):
    assert normalise_code(junk) is None


def test_a_column_of_codes_keeps_its_index():
    got = normalise_codes(pd.Series(["600000.SH", "bad", "SZ000001", "600000.SH"], index=[5, 6, 7, 8]))
    assert got.index.tolist() == [5, 6, 7, 8]
    assert got.tolist() == ["600000", None, "000001", "600000"]


def test_boards_by_prefix():
    codes = ["600000", "601318", "603000", "000001", "002415", "688001", "689009", "300750", "301001",
             "430047", "830799", "873122", "920002"]
    assert board_of(codes).tolist() == ["main"] * 5 + ["star"] * 2 + ["chinext"] * 2 + ["beijing"] * 4


def half_up(price: float, percent: int) -> float:
    cents = Decimal(round(price * 100)) * (100 + percent) / 100
    return float((cents / 100).quantize(Decimal("0.01"), rounding=ROUND_HALF_UP))


@settings(max_examples=300, deadline=None)
@given(cents=st.integers(1, 10_000_000), board=st.sampled_from(["600000", "688001", "430047", "300750"]),
       is_st=st.booleans(), date=st.sampled_from(["20190102", "20230601"]))
def test_limits_round_half_up_to_the_cent(cents, board, is_st, date):
    prev = cents / 100
    got = limit_prices([date], [board], [prev], is_st=[is_st]).iloc[0]
    wide = board == "688001" or (board == "300750" and date >= "20200824")
    percent = 30 if board == "430047" else 20 if wide else 5 if is_st else 10
    assert got["limit_up"] == half_up(prev, percent)
    assert got["limit_down"] == half_up(prev, -percent)


def test_chinext_widens_on_its_reform_date_and_st_follows_the_board():
    got = limit_prices(["20200821", "20200824", "20200821", "20200824"], ["300750"] * 4, [10.0] * 4,
                       is_st=[False, False, True, True])
    assert got["limit_up"].tolist() == [11.0, 12.0, 10.5, 12.0]
    assert got["limit_down"].tolist() == [9.0, 8.0, 9.5, 8.0]


def test_listing_days_without_limits_and_old_first_day_caps():
    calendar = ["20230410", "20230411", "20230412", "20230413", "20230414", "20230417"]
    listings = [("688001", "20230410"), ("601000", "20230410"), ("600999", "20100104"), ("430001", "20230410"),
                ("300999", "20190102")]
    rows = [(d, code, listed) for code, listed in listings for d in calendar]
    dates, codes, listed = map(list, zip(*rows, strict=True))
    got = limit_prices(dates, codes, [10.0] * len(rows), list_dates=listed, calendar=calendar)
    up = got["limit_up"].to_numpy().reshape(5, 6)
    # registration-era STAR and main-board listings: five free days, then the board's limit
    assert np.isnan(up[0, :5]).all() and up[0, 5] == 12.0
    assert np.isnan(up[1, :5]).all() and up[1, 5] == 11.0
    # listed long ago: the board's limit every day; a Beijing listing: its first day is free
    assert (up[2] == 11.0).all()
    assert np.isnan(up[3, 0]) and (up[3, 1:] == 13.0).all()
    # listed before the table starts (its first day is not in the calendar): no first-day rule
    assert (up[4] == 12.0).all()


def test_old_main_board_listing_has_first_day_caps():
    got = limit_prices(["20150105", "20150106"], ["603001"] * 2, [10.0, 14.4], list_dates=["20150105"] * 2)
    assert got["limit_up"].tolist() == [14.4, 15.84]
    assert got["limit_down"].tolist() == [6.4, 12.96]


def test_missing_or_non_positive_previous_close_has_no_limit():
    got = limit_prices(["20200102"] * 4, ["600000"] * 4, [np.nan, 0.0, -1.0, np.inf])
    assert got.isna().all().all()


def test_rows_must_line_up():
    with pytest.raises(ValueError, match="one entry per row"):
        limit_prices(["20200102"], ["600000", "600001"], [10.0])


@pytest.mark.parametrize(
    "kwargs, error, message",
    [({"dates": None}, TypeError, "Argument 'dates' has incorrect type (expected a sequence, got NoneType)"),
     ({"codes": "600000"}, TypeError, "Argument 'codes' has incorrect type (expected a sequence, got str)"),
     ({"prev_close": ["x"]}, ValueError, "Argument 'prev_close' must hold numbers"),
     ({"prev_close": np.ones((1, 1))}, ValueError, "Argument 'prev_close' must be one-dimensional"),
     ({"list_dates": ["20200101", "20200102"]}, ValueError, "list_dates must have one entry per row")],
)
def test_bad_arguments_are_named(kwargs, error, message):
    args = {"dates": ["20200102"], "codes": ["600000"], "prev_close": [10.0], **kwargs}
    with pytest.raises(error, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        limit_prices(**args)


# --------------------------------------------------------------------------
# splits and dividends between tables and the service's per-ten-share figures

_PER_TEN = st.floats(min_value=1e-4, max_value=1e4, allow_nan=False, allow_infinity=False)


@given(st.lists(_PER_TEN, min_size=1, max_size=50))
def test_exported_splits_and_dividends_read_back_to_the_stored_values(per_ten):
    """Whatever the service served, the store's figures survive export and ingestion to the bit."""
    per_ten = np.array(per_ten)
    ratio, dividend = per_ten / 10.0, per_ten / 10.0 * 0.9  # what the builder stores
    np.testing.assert_array_equal(split_per_ten(export_splits(ratio)) / 10.0, ratio)
    np.testing.assert_array_equal(stored_dividend(dividend_per_ten(export_dividends(dividend))), dividend)


def test_table_figures_are_read_as_written_and_exported_as_short_decimals():
    ratio = np.array([1.5, 2.0, 1.2, 1.1, 0.3])
    np.testing.assert_array_equal(split_per_ten(ratio) / 10.0, ratio)
    cash = np.array([0.3, 0.125, 1.07, 0.01])
    np.testing.assert_array_equal(stored_dividend(dividend_per_ten(cash)), cash * 0.9)
    np.testing.assert_array_equal(export_dividends(stored_dividend(dividend_per_ten(cash))), cash)
    np.testing.assert_array_equal(export_splits(ratio), ratio)
    assert np.isnan(export_splits(np.array([np.nan]))).all()
