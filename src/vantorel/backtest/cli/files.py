"""Weight and factor tables read from researchers' files, as the backtests take them.

A file is Parquet (``.parquet``, ``.pq``; needs pyarrow), CSV (``.csv``, ``.txt``, optionally
compressed) or a pandas pickle (``.pkl``, ``.pickle``). Its table is either

- wide: one row per date, one column per stock; the dates are the index (Parquet, pickle) or the
  first column; or
- long: one row per (date, stock) with a date column, a code column and one value column.

The layout is detected (a table with a date column and a code column by name is long) or given.
Dates in the usual spellings (20240102, "2024-01-02", datetimes) become "YYYYMMDD" labels and
stock codes (600000.SH, SH600000, 1) six-digit texts. The result has its dates in ascending
order and float64 values; a date or a stock given twice is an error, never a silent merge.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from .errors import CliError

LAYOUTS = ("auto", "wide", "long")
PARQUET_HINT = "pip install vantorel-backtest[parquet]"

_SUFFIXES = {
    ".parquet": "parquet", ".pq": "parquet",
    ".csv": "csv", ".txt": "csv", ".tsv": "csv",
    ".pkl": "pickle", ".pickle": "pickle",
}
_COMPRESSION = (".gz", ".bz2", ".zip", ".xz", ".zst")
_DATE_NAMES = ("date", "trade_date", "trading_date", "datetime", "dt", "time", "day")
_CODE_NAMES = ("code", "stock_code", "ts_code", "symbol", "ticker", "order_book_id", "instrument", "stock", "asset")
_VALUE_NAMES = ("value", "weight", "factor", "score", "signal")
_PANDAS_MAJOR = int(pd.__version__.split(".")[0])


def file_kind(path: Path) -> str:
    """"parquet", "csv" or "pickle" from the file name."""
    suffixes = [s.lower() for s in path.suffixes]
    if suffixes and suffixes[-1] in _COMPRESSION:
        suffixes.pop()
    kind = _SUFFIXES.get(suffixes[-1]) if suffixes else None
    if kind is None:
        raise CliError(f"{path}: unreadable format (expected .parquet, .csv or .pkl)")
    return kind


def read_table(path: Path, layout: str = "auto") -> pd.DataFrame:
    """The dates x codes table of a weight or factor file (see the module)."""
    path = Path(path)
    if layout not in LAYOUTS:
        raise ValueError(f"layout must be one of {LAYOUTS}, got {layout!r}")
    if not path.is_file():
        raise CliError(f"{path}: no such file")
    kind = file_kind(path)
    try:
        raw = _READERS[kind](path)
    except (CliError, ImportError):
        raise
    except Exception as exc:  # parsers raise many types; the message names the file either way
        raise CliError(f"{path}: cannot read as {kind}: {' '.join(str(exc).split()) or type(exc).__name__}") from exc
    if isinstance(raw, pd.Series):
        raw = raw.to_frame()
    if not isinstance(raw, pd.DataFrame):
        raise CliError(f"{path}: holds a {type(raw).__name__}, not a table")
    try:
        return _tidy(raw, layout)
    except CliError as exc:
        raise CliError(f"{path}: {exc}") from None


# ---- reading ----------------------------------------------------------------------------------


def _read_parquet(path: Path) -> pd.DataFrame:
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise ImportError(f"reading Parquet files needs pyarrow: {PARQUET_HINT}") from None
    return pq.read_table(path).to_pandas()


def _read_csv(path: Path) -> pd.DataFrame:
    sep = "\t" if ".tsv" in [s.lower() for s in path.suffixes] else ","
    # pandas 3 parses floats exactly by default (and deprecates the option); older releases need
    # "round_trip" for the values to keep every bit. The C parser outruns the pyarrow one on wide files.
    exact = {} if _PANDAS_MAJOR >= 3 else {"float_precision": "round_trip"}
    return pd.read_csv(path, sep=sep, **exact)


def _read_pickle(path: Path) -> object:
    return pd.read_pickle(path)


_READERS = {"parquet": _read_parquet, "csv": _read_csv, "pickle": _read_pickle}


# ---- layout -----------------------------------------------------------------------------------


def _has_index(frame: pd.DataFrame) -> bool:
    """True when the index carries labels of its own (not a plain 0..n-1 row count)."""
    index = frame.index
    return not (isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1 and index.name is None)


def _find(columns: list[str], names: tuple[str, ...]) -> int | None:
    lowered = [str(c).strip().lower() for c in columns]
    for name in names:
        if name in lowered:
            return lowered.index(name)
    return None


def _tidy(raw: pd.DataFrame, layout: str) -> pd.DataFrame:
    if isinstance(raw.columns, pd.MultiIndex):
        raise CliError("has several column header rows; expected one row of codes or column names")
    if layout == "auto":
        named = raw.reset_index() if _has_index(raw) and len(raw.columns) <= 4 else raw
        columns = [str(c) for c in named.columns]
        is_long = _find(columns, _DATE_NAMES) is not None and _find(columns, _CODE_NAMES) is not None
        layout = "long" if is_long else "wide"
    if layout == "long":
        return _from_long(raw.reset_index() if _has_index(raw) else raw)
    return _from_wide(raw)


def _from_wide(raw: pd.DataFrame) -> pd.DataFrame:
    if _has_index(raw):
        dates, body = raw.index.to_numpy(), raw
    else:
        if raw.shape[1] < 2:
            raise CliError("a wide table needs a date column and at least one stock column")
        dates, body = raw.iloc[:, 0].to_numpy(), raw.iloc[:, 1:]
    labels = normalise_dates(dates)
    codes = _codes(pd.Series(body.columns, dtype=object))
    try:
        values = body.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise CliError(f"values are not all numbers ({exc})") from None
    _unique(labels, "date")
    _unique(codes, "stock")
    order = np.argsort(labels, kind="stable")
    if not (order == np.arange(len(order))).all():
        labels, values = labels[order], values[order]
    return pd.DataFrame(values, index=pd.Index(labels, name="date"), columns=pd.Index(codes, name=None), copy=False)


def _from_long(raw: pd.DataFrame) -> pd.DataFrame:
    columns = [str(c) for c in raw.columns]
    date_at = _find(columns, _DATE_NAMES)
    code_at = _find(columns, _CODE_NAMES)
    if date_at is None or code_at is None:
        if len(columns) != 3:
            raise CliError(f"a long table needs date, code and value columns; found {columns}")
        date_at, code_at = 0, 1
    rest = [i for i in range(len(columns)) if i not in (date_at, code_at)]
    if len(rest) > 1:
        named = _find([columns[i] for i in rest], _VALUE_NAMES)
        if named is None:
            raise CliError(f"a long table needs one value column; found {[columns[i] for i in rest]}")
        rest = [rest[named]]
    if not rest:
        raise CliError("a long table needs a value column")
    dates = normalise_dates(raw.iloc[:, date_at].to_numpy())
    codes = _codes(raw.iloc[:, code_at])
    try:
        values = raw.iloc[:, rest[0]].to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise CliError(f"column {columns[rest[0]]!r} is not all numbers ({exc})") from None
    date_pos, date_labels = pd.factorize(dates, sort=True)
    code_pos, code_labels = pd.factorize(codes, sort=True)
    pairs = date_pos.astype(np.int64) * len(code_labels) + code_pos
    if len(pd.unique(pairs)) != len(pairs):
        dup = pd.Series(pairs).duplicated().to_numpy().argmax()
        raise CliError(f"date {dates[dup]} and stock {codes[dup]} appear more than once")
    table = np.full((len(date_labels), len(code_labels)), np.nan)
    table[date_pos, code_pos] = values
    return pd.DataFrame(table, index=pd.Index(np.asarray(date_labels, dtype=object), name="date"),
                        columns=pd.Index(np.asarray(code_labels, dtype=object)), copy=False)


# ---- labels -----------------------------------------------------------------------------------


def normalise_dates(values: np.ndarray) -> np.ndarray:
    """"YYYYMMDD" texts of dates given as 20240102, "2024-01-02", "2024/1/2" or datetimes."""
    from vantorel.backtest.tables import normalise_dates as yyyymmdd
    from vantorel.backtest.tables.dates import MISSING

    series = pd.Series(values)
    days = yyyymmdd(series)
    bad = np.flatnonzero(days == MISSING)
    if bad.size:
        first = series.iloc[bad[0]]
        missing = pd.api.types.is_scalar(first) and pd.isna(first)
        raise CliError("a date is missing" if missing else f"{first!r} is not a date")
    return days.astype(str).astype(object)


def _codes(values: pd.Series) -> np.ndarray:
    from vantorel.backtest.tables import normalise_codes

    codes = normalise_codes(values.reset_index(drop=True))
    bad = codes.isna().to_numpy()
    if bad.any():
        shown = ", ".join(repr(v) for v in pd.unique(values.to_numpy(dtype=object)[bad])[:3])
        raise CliError(f"not stock codes: {shown}")
    return codes.to_numpy(dtype=object)


def _unique(labels: np.ndarray, what: str) -> None:
    seen = pd.Index(labels)
    if not seen.is_unique:
        raise CliError(f"{what} {seen[seen.duplicated()][0]} appears more than once")


def stem(path: Path) -> str:
    """The file's name without its format suffix (and compression suffix): the table's name."""
    name = Path(path).name
    lowered = name.lower()
    for suffix in _COMPRESSION:
        if lowered.endswith(suffix):
            name, lowered = name[: -len(suffix)], lowered[: -len(suffix)]
            break
    for suffix in _SUFFIXES:
        if lowered.endswith(suffix):
            return name[: -len(suffix)]
    return Path(name).stem
