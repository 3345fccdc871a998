"""A store's data written as tables in the layout ``TablesDataService`` reads.

The store keeps whether a trade was blocked, not the limit prices themselves, so the exported
``limit_up`` is the buy price on the days buying was blocked at the limit (``limit_down`` the sell
price on the days selling was), and empty on other days; a stock-day on which neither buying nor
selling was possible is ``suspended``. ``prev_close`` is the store's previous close, for reading
only. Splits and dividends are written as the shortest decimals that read back to the stored values
exactly, so ingesting the export gives the same store, to the bit.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from vantorel.backtest._prepare import BENCHMARK_INDEX_CODES
from vantorel.backtest.data_dir import store_directory
from vantorel.backtest.matrix_service import suffixed_code

from .actions import export_dividends, export_splits
from .market import index_code_of

__all__ = ["export_tables"]

FORMATS = ("parquet", "csv")


def _suffixed(codes: list[str]) -> np.ndarray:
    """Codes with the exchange suffixes researchers' files use (600000.SH, 000001.SZ, 430047.BJ)."""
    short = {".XSHG": ".SH", ".XSHE": ".SZ", ".BJ": ".BJ"}
    return np.array([c + short[suffixed_code(c)[len(c):]] for c in codes], dtype=object)


def _on_grid(frame: pd.DataFrame, dates: pd.Index, codes: pd.Index) -> tuple[np.ndarray, np.ndarray]:
    """(values, present) of a stored Frame on the export grid; ``present`` marks the Frame's own cells.

    Values are float64 with NaN, or bool with False, where the Frame has no cell."""
    boolean = len(frame.columns) > 0 and all(pd.api.types.is_bool_dtype(t) for t in frame.dtypes)
    values = np.zeros((len(dates), len(codes)), dtype=bool) if boolean else np.full((len(dates), len(codes)), np.nan)
    present = np.zeros((len(dates), len(codes)), dtype=bool)
    rows, cols = dates.get_indexer(frame.index), codes.get_indexer(frame.columns)
    keep_rows, keep_cols = np.flatnonzero(rows >= 0), np.flatnonzero(cols >= 0)
    if keep_rows.size and keep_cols.size:
        block = np.ix_(rows[keep_rows], cols[keep_cols])
        values[block] = frame.to_numpy()[np.ix_(keep_rows, keep_cols)]
        present[block] = True
    return values, present


def export_tables(
    out_dir: str | Path, data_dir: str | Path | None = None, *, format: str = "parquet", progress: bool | None = False
) -> dict[str, Path]:
    """Writes the store in ``data_dir`` (default: the service's directory) as tables under ``out_dir``.

    Writes ``bars``, ``actions``, ``membership`` (one row per membership, ``in_date`` to the day before
    ``out_date``) and ``indices`` (benchmark daily returns) as ``.parquet`` (needs pyarrow) or ``.csv``
    files and returns table name -> path. Ingesting them with ``prepare_from_tables`` rebuilds the store.
    ``progress`` shows a progress bar over the tables (None: when standard error is a terminal).
    """
    from vantorel.backtest._prepare import BinaryPreparedDataStore

    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, got {format!r}")
    store_dir = store_directory(data_dir)
    store = BinaryPreparedDataStore(store_dir)
    if not store.metadata_path.exists():
        raise FileNotFoundError(f"no prepared data store in {store_dir}")
    from vantorel.backtest._progress import progress_bar

    loaded = store.load(mmap=True)
    data = loaded["data"]
    tables = {
        "bars": lambda: _bars(data),
        "actions": lambda: _actions(data),
        "membership": lambda: _membership(data, loaded["meta"], _grid(data)[0]),
        "indices": lambda: _indices(data),
    }
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    written = {}
    with progress_bar("exporting tables", total=len(tables), enabled=progress) as bar:
        for name, make in tables.items():
            written[name] = _write(make(), out / f"{name}.{format}", format)
            bar.advance(1)
    return written


def _grid(data: dict) -> tuple[pd.Index, pd.Index]:
    keys = ("close_price", "open_price", "buy_price", "sell_price", "industry_matrix", "can_buy_stock",
            "cant_sell_stock")
    dates = sorted(set().union(*(data[k].index for k in keys if k in data)))
    codes = sorted(set().union(*(data[k].columns for k in keys if k in data)))
    return pd.Index(dates, dtype=object), pd.Index(codes, dtype=object)


def _stamps(dates) -> np.ndarray:
    """datetime64 values of YYYYMMDD labels."""
    return pd.to_datetime(pd.Index(dates, dtype=object), format="%Y%m%d").to_numpy(dtype="datetime64[ns]")


def _bars(data: dict) -> pd.DataFrame:
    dates, codes = _grid(data)
    grid = {k: _on_grid(data[k], dates, codes) for k in
            ("close_price", "open_price", "prev_close", "buy_price", "sell_price", "industry_matrix")}
    can_buy, buy_known = _on_grid(data["can_buy_stock"], dates, codes)
    cant_sell, sell_known = _on_grid(data["cant_sell_stock"], dates, codes)
    can_buy = can_buy.astype(bool) & buy_known
    cant_sell = cant_sell.astype(bool) | ~sell_known

    priced = np.zeros((len(dates), len(codes)), dtype=bool)
    for key in ("close_price", "open_price", "buy_price", "sell_price", "industry_matrix"):
        priced |= np.isfinite(grid[key][0])
    tradable = can_buy | ~cant_sell
    row = priced | tradable
    day, stock = np.nonzero(row)

    suspended = ~can_buy & cant_sell
    buy, sell = grid["buy_price"][0], grid["sell_price"][0]
    limit_up = np.where(~suspended & ~can_buy, buy, np.nan)
    limit_down = np.where(~suspended & cant_sell, sell, np.nan)
    columns = {
        "date": _stamps(dates)[day],
        "code": _suffixed(list(codes))[stock],
        "open": grid["open_price"][0][day, stock],
        "close": grid["close_price"][0][day, stock],
        "prev_close": grid["prev_close"][0][day, stock],
        "buy_vwap": buy[day, stock],
        "sell_vwap": sell[day, stock],
        "limit_up": limit_up[day, stock],
        "limit_down": limit_down[day, stock],
        "suspended": suspended[day, stock],
        "industry": grid["industry_matrix"][0][day, stock],
    }
    return pd.DataFrame(columns)


def _actions(data: dict) -> pd.DataFrame:
    split, dividend = data["rq_get_split"], data["rq_get_dividend"]
    dates = pd.Index(sorted(set(split.index) | set(dividend.index)), dtype=object)
    codes = pd.Index(sorted(set(split.columns) | set(dividend.columns)), dtype=object)
    s, _ = _on_grid(split, dates, codes)
    d, _ = _on_grid(dividend, dates, codes)
    day, stock = np.nonzero(np.isfinite(s) | np.isfinite(d))
    return pd.DataFrame(
        {
            "ex_date": _stamps(dates)[day],
            "code": _suffixed(list(codes))[stock],
            "split_ratio": export_splits(s[day, stock]),
            "cash_dividend": export_dividends(d[day, stock]),
        }
    )


def _membership(data: dict, meta: dict, calendar: pd.Index) -> pd.DataFrame:
    stamps = np.append(_stamps(calendar), np.datetime64("NaT", "ns"))  # the last entry: still a member
    parts = []
    for name, key in meta.get("component_dataset_keys", {}).items():
        if key not in data:
            continue
        codes = pd.Index(data[key].columns, dtype=object)
        member = np.isfinite(_on_grid(data[key], calendar, codes)[0])
        # a membership runs from the day a stock becomes a member to the day before it stops
        padded = np.zeros((len(calendar) + 2, len(codes)), dtype=np.int8)
        padded[1:-1] = member
        edges = np.diff(padded, axis=0)
        start_day, start_stock = np.nonzero(edges.T == 1)[::-1]
        end_day, _ = np.nonzero(edges.T == -1)[::-1]
        parts.append(pd.DataFrame({
            "index": index_code_of(name),
            "code": _suffixed(list(codes))[start_stock],
            "in_date": stamps[start_day],
            "out_date": stamps[end_day],
        }))
    if not parts:
        return pd.DataFrame({"index": pd.Series(dtype=object), "code": pd.Series(dtype=object),
                             "in_date": pd.Series(dtype="datetime64[ns]"),
                             "out_date": pd.Series(dtype="datetime64[ns]")})
    return pd.concat(parts, ignore_index=True)


def _indices(data: dict) -> pd.DataFrame:
    parts = []
    for short in BENCHMARK_INDEX_CODES:
        series = data.get("benchmark_dict", {}).get(short)
        if series is None or not len(series):
            continue
        parts.append(pd.DataFrame({"date": _stamps(series.index),
                                   "index": short, "daily_return": series.to_numpy(dtype=np.float64)}))
    if not parts:
        return pd.DataFrame({"date": pd.Series(dtype="datetime64[ns]"), "index": pd.Series(dtype=object),
                             "daily_return": pd.Series(dtype=np.float64)})
    return pd.concat(parts, ignore_index=True)


def _write(frame: pd.DataFrame, path: Path, format: str) -> Path:
    if format == "csv":
        frame.to_csv(path, index=False)
        return path
    from .reading import _require_pyarrow

    pq = _require_pyarrow()
    import pyarrow as pa

    table = pa.Table.from_pandas(frame, preserve_index=False)
    for i, field in enumerate(table.schema):  # dates as dates, not time stamps
        if pa.types.is_timestamp(field.type):
            table = table.set_column(i, field.name, table.column(i).cast(pa.date32()))
    pq.write_table(table, path)
    return path
