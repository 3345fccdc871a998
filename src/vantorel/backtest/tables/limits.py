"""Limit-up and limit-down prices derived from the previous close, for tables that lack them.

The rule applied (prices in yuan, limits rounded half up to the cent from the previous close):

* main board (Shanghai 60x, Shenzhen 00x): +/-10 %; names flagged ST +/-5 %;
* STAR Market (688, 689): +/-20 %, ST names included;
* ChiNext (300, 301): +/-20 % from 2020-08-24, ST names included; before that date +/-10 %, ST +/-5 %;
* Beijing (4xx, 8xx, 92x): +/-30 %;
* the first trading days of a listing, when a listing date is given: no limit on the first five days of
  STAR listings, of ChiNext listings from 2020-08-24 and of main-board listings from 2023-04-10, and on
  the first day of a Beijing listing; older main-board and ChiNext listings have +44 % / -36 % on their
  first day and the board's limit after it.

"No limit" is NaN, which never equals a price, so nothing is blocked there. A missing or non-positive
previous close gives NaN limits too.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._args import column_arg as _column
from .codes import board_of

CHINEXT_REFORM = "20200824"
MAIN_BOARD_REGISTRATION = "20230410"
FREE_DAYS = 5  # trading days without limits after a registration-era listing


def _limit(cents: np.ndarray, percent: np.ndarray) -> np.ndarray:
    """cents x (100 + percent) / 100, rounded half up to the cent, in yuan (exact integer arithmetic)."""
    scaled = cents * (100 + percent)
    return np.floor_divide(scaled + 50, 100) / 100.0


def limit_prices(
    dates,
    codes,
    prev_close,
    is_st=None,
    list_dates=None,
    calendar=None,
) -> pd.DataFrame:
    """``limit_up`` and ``limit_down`` of each (date, code) row.

    ``dates`` are YYYYMMDD texts and ``codes`` six-digit codes, one per row; ``is_st`` flags ST names
    (False when None); ``list_dates`` gives each row's listing date (YYYYMMDD). A missing listing date,
    like a listing before the calendar starts, applies no first-day rule. ``calendar`` is the ascending
    list of trading dates used to count days since listing (the distinct ``dates`` when None).
    """
    dates = _column(dates, "dates").astype(str).astype("U8")
    n = len(dates)
    board = board_of(_column(codes, "codes"))
    prev = _column(prev_close, "prev_close", np.float64)
    st = np.zeros(n, dtype=bool) if is_st is None else _column(is_st, "is_st").astype(bool)
    if not (len(board) == len(prev) == len(st) == n):
        raise ValueError("dates, codes, prev_close and is_st must have one entry per row")

    reformed = dates >= CHINEXT_REFORM
    wide = (board == "star") | ((board == "chinext") & reformed)
    percent = np.where(board == "beijing", 30, np.where(wide, 20, np.where(st, 5, 10))).astype(np.int64)
    up_percent, down_percent = percent.copy(), -percent
    free = np.zeros(n, dtype=bool)

    if list_dates is not None:
        listed = _column(list_dates, "list_dates")
        if len(listed) != n:
            raise ValueError("list_dates must have one entry per row")
        listed = pd.Series(listed).fillna("").astype(str).to_numpy().astype("U8")
        days = np.unique(dates if calendar is None else _column(calendar, "calendar").astype(str).astype("U8"))
        # a listing before the calendar starts has its first days outside it
        known = (listed != "") & (listed >= days[0]) if len(days) else np.zeros(n, dtype=bool)
        since = np.searchsorted(days, dates) - np.searchsorted(days, listed)  # 0 on the first day
        registration = (
            (board == "star")
            | ((board == "chinext") & (listed >= CHINEXT_REFORM))
            | ((board == "main") & (listed >= MAIN_BOARD_REGISTRATION))
        )
        free = known & (since >= 0) & (
            (registration & (since < FREE_DAYS)) | ((board == "beijing") & (since == 0))
        )
        first_day_caps = known & (since == 0) & ~registration & (board != "beijing")
        up_percent[first_day_caps], down_percent[first_day_caps] = 44, -36

    usable = np.isfinite(prev) & (prev > 0) & ~free
    cents = np.rint(np.where(usable, prev, 0.0) * 100).astype(np.int64)
    up = np.where(usable, _limit(cents, up_percent), np.nan)
    down = np.where(usable, _limit(cents, down_percent), np.nan)
    return pd.DataFrame({"limit_up": up, "limit_down": down})
