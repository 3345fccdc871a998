"""One column of a table read as dates, codes, numbers or flags; bad cells raise a TableError naming them."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .codes import normalise_code
from .dates import MISSING, normalise_dates
from .reading import Table

__all__ = ["code_column", "date_column", "flag_column", "number_column"]

_TRUE = {"1", "true", "t", "yes", "y"}
_FALSE = {"0", "false", "f", "no", "n", ""}


def _raw(table: Table, column: str):
    series = table.frame[column]
    return lambda r: series.iloc[r]


def date_column(table: Table, column: str, *, optional: bool = False) -> np.ndarray:
    """YYYYMMDD integers; with ``optional`` a missing cell is -1, otherwise every cell must be a date."""
    series = table.frame[column]
    dates = normalise_dates(series)
    bad = dates == MISSING
    if optional:
        bad &= series.notna().to_numpy()
    if bad.any():
        table.fail(column, bad, "is not a date", _raw(table, column))
    return dates


def code_column(table: Table, column: str) -> tuple[np.ndarray, list[str]]:
    """(position of each row's code in ``codes``, ``codes``: the distinct six-digit codes, sorted)."""
    positions, uniques = pd.factorize(table.frame[column], use_na_sentinel=True)
    normal = [normalise_code(u) for u in np.asarray(uniques, dtype=object)]
    bad_unique = np.array([c is None for c in normal] + [True])
    bad = bad_unique[positions]
    if bad.any():
        table.fail(column, bad, "is not a stock code", _raw(table, column))
    codes = sorted(set(normal))
    where = {c: i for i, c in enumerate(codes)}
    table_positions = np.array([where[c] for c in normal], dtype=np.int64)
    return table_positions[positions], codes


def number_column(table: Table, column: str, *, price: bool = False) -> np.ndarray:
    """float64 values, NaN where a cell is empty; text, infinities (and for prices, negative values)
    are errors. A zero price is read as no price, the way many exports write a day without one."""
    series = table.frame[column]
    if isinstance(series.dtype, pd.CategoricalDtype):
        series = series.astype(object)
    if pd.api.types.is_bool_dtype(series.dtype) or not pd.api.types.is_numeric_dtype(series.dtype):
        numbers = pd.to_numeric(series.astype(object), errors="coerce")
        bad = (numbers.isna() & series.notna()).to_numpy() | series.map(lambda v: isinstance(v, bool)).to_numpy()
        if bad.any():
            table.fail(column, bad, "is not a number", _raw(table, column))
        series = numbers
    values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    infinite = np.isinf(values)
    if infinite.any():
        table.fail(column, infinite, "is not a finite number", _raw(table, column))
    if price:
        negative = values < 0
        if negative.any():
            table.fail(column, negative, "is negative", _raw(table, column))
        values = np.where(values == 0, np.nan, values)
    return values


def flag_column(table: Table, column: str) -> np.ndarray:
    """Booleans from true/false, 1/0, yes/no (any case); an empty cell is false."""
    series = table.frame[column]
    if pd.api.types.is_bool_dtype(series.dtype):
        return series.to_numpy(dtype=bool)
    if pd.api.types.is_numeric_dtype(series.dtype) and not isinstance(series.dtype, pd.CategoricalDtype):
        values = series.to_numpy(dtype=np.float64, na_value=0.0)
        bad = ~np.isfinite(values)
        if bad.any():
            table.fail(column, bad, "is not a flag", _raw(table, column))
        return values != 0
    positions, uniques = pd.factorize(series, use_na_sentinel=True)
    texts = [str(u).strip().lower() for u in np.asarray(uniques, dtype=object)]
    table_values = np.array([t in _TRUE or _number_flag(t) for t in texts] + [False])
    bad_unique = np.array([t not in _TRUE and t not in _FALSE and _number_flag(t) is None for t in texts] + [False])
    if bad_unique[positions].any():
        table.fail(column, bad_unique[positions], "is not a flag (true/false, 1/0, yes/no)", _raw(table, column))
    return table_values[positions].astype(bool)


def _number_flag(text: str) -> bool | None:
    try:
        value = float(text)
    except ValueError:
        return None
    return bool(value != 0) if np.isfinite(value) else None
