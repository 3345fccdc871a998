"""Dates as researchers' files spell them, read as YYYYMMDD integers.

Accepted spellings: ``20240102`` (integer or text), ``"2024-01-02"``, ``"2024/01/02"``,
``"2024.01.02"``, with or without a time of day (``"2024-01-02 00:00:00"``,
``"2024-01-02T15:00"``), and date or date-time values (``datetime.date``, pandas
``Timestamp``, NumPy ``datetime64``, Arrow dates). Each distinct spelling is read once.
"""

from __future__ import annotations

import datetime as dt
import re

import numpy as np
import pandas as pd

__all__ = ["normalise_dates"]

MISSING = -1
_TEXT = re.compile(r"^\s*(\d{4})[-/.]?(\d{1,2})[-/.]?(\d{1,2})(?:[ T].*)?\s*$")


def _one(value: object) -> int:
    if value is None or value is pd.NaT or isinstance(value, bool | np.bool_):
        return MISSING
    if isinstance(value, float | np.floating):
        if not np.isfinite(value) or value != int(value):
            return MISSING
        value = int(value)
    if isinstance(value, int | np.integer):
        text = str(int(value))
        if len(text) != 8:
            return MISSING
        y, m, d = int(text[:4]), int(text[4:6]), int(text[6:])
    elif isinstance(value, dt.date):  # datetime and Timestamp too
        y, m, d = value.year, value.month, value.day
    elif isinstance(value, np.datetime64):
        if np.isnat(value):
            return MISSING
        stamp = pd.Timestamp(value)
        y, m, d = stamp.year, stamp.month, stamp.day
    elif isinstance(value, str):
        match = _TEXT.match(value)
        if match is None:
            return MISSING
        text = value.strip()
        if "-" not in text[:10] and "/" not in text[:10] and "." not in text[:10] and len(text.split()[0]) != 8:
            return MISSING  # digits only must be exactly YYYYMMDD
        y, m, d = (int(g) for g in match.groups())
    else:
        return MISSING
    try:
        dt.date(y, m, d)
    except ValueError:
        return MISSING
    return y * 10000 + m * 100 + d


def normalise_dates(values) -> np.ndarray:
    """Each value as a YYYYMMDD integer (int64), -1 where it is no date."""
    series = values if isinstance(values, pd.Series) else pd.Series(values)
    if len(series) == 0:
        return np.zeros(0, dtype=np.int64)
    if isinstance(series.dtype, pd.DatetimeTZDtype):
        series = series.dt.tz_localize(None)
    codes, uniques = pd.factorize(series, use_na_sentinel=True)
    if pd.api.types.is_datetime64_any_dtype(uniques.dtype):
        stamps = pd.DatetimeIndex(uniques)
        table = (stamps.year * 10000 + stamps.month * 100 + stamps.day).to_numpy(dtype=np.int64)
    else:
        table = np.array([_one(u) for u in np.asarray(uniques, dtype=object)], dtype=np.int64)
    return np.append(table, MISSING)[codes]  # the sentinel -1 picks the trailing MISSING
