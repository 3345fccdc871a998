"""Tables read from a directory of Parquet or CSV files, or taken from DataFrames in memory.

A table is found in a directory as ``<name>.parquet`` / ``<name>.csv`` (also ``.pq``, ``.csv.gz``),
as several files ``<name>_<anything>.<ext>`` (one per year, say: new dates arrive as new files), or
as the Parquet/CSV files of a sub-directory ``<name>/``; ``name`` is the table's name or one of its
other file names (``LAYOUTS``). Every file keeps its name and row numbers, so an error can point at
the offending rows.
"""

from __future__ import annotations

import errno
import os
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from .layout import Layout, match_columns

__all__ = ["Table", "TableError", "find_files", "read_table"]

_EXTENSIONS = (".parquet", ".pq", ".csv", ".csv.gz", ".csv.bz2", ".csv.zip", ".csv.xz")
_SHOWN_ROWS = 5
# pandas 3 reads floats exactly by default and deprecates the option that asked for it before
_EXACT_FLOATS = {"float_precision": "round_trip"} if int(pd.__version__.split(".")[0]) < 3 else {}


class TableError(ValueError):
    """A researcher's table that cannot be read as the layout describes; the message names the file,
    the column and the first offending rows."""


@dataclass
class Table:
    """The rows of one table from all its files, under canonical column names."""

    layout: Layout
    frame: pd.DataFrame
    sources: list[str] = field(default_factory=list)
    origin: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int32))  # source per row
    row: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int64))  # 1-based row in its source

    def __len__(self) -> int:
        return len(self.frame)

    def where(self, rows: np.ndarray) -> str:
        """Where the given row positions come from, the first few of them spelled out."""
        rows = np.flatnonzero(rows) if rows.dtype == bool else np.asarray(rows)
        shown = []
        for r in rows[:_SHOWN_ROWS]:
            labels = ", ".join(
                f"{c} {self.frame[c].iloc[r]}" for c in ("date", "ex_date", "index", "code") if c in self.frame
            )
            shown.append(f"{self.sources[self.origin[r]]} row {self.row[r]} ({labels})")
        more = f" and {len(rows) - _SHOWN_ROWS} more" if len(rows) > _SHOWN_ROWS else ""
        return "; ".join(shown) + more

    def fail(self, column: str | None, rows: np.ndarray, problem: str, value: Callable | None = None) -> None:
        """Raises a TableError naming the table, the column and the first rows flagged in ``rows``."""
        positions = np.flatnonzero(rows) if rows.dtype == bool else np.asarray(rows)
        count = len(positions)
        files = sorted({self.sources[self.origin[r]] for r in positions[:_SHOWN_ROWS]})
        what = f"column '{column}' " if column else ""
        detail = ""
        if value is not None:
            detail = " (values: " + ", ".join(repr(value(r)) for r in positions[:_SHOWN_ROWS]) + ")"
        raise TableError(
            f"{self.layout.name} table ({', '.join(files)}): {what}{problem} in {count} row"
            f"{'s' if count != 1 else ''}; first: {self.where(positions)}{detail}"
        )


def find_files(directory: Path, layout: Layout) -> list[Path]:
    """The files of one table in a directory, sorted by name."""
    found: list[Path] = []
    for stem in (layout.name, *layout.file_names):
        sub = directory / stem
        if sub.is_dir():
            found += [p for p in sub.iterdir() if p.is_file() and p.name.lower().endswith(_EXTENSIONS)]
        for p in directory.iterdir():
            lower = p.name.lower()
            if not p.is_file() or not lower.endswith(_EXTENSIONS):
                continue
            base = lower[: -len(next(e for e in _EXTENSIONS if lower.endswith(e)))]
            if base == stem or base.startswith((stem + "_", stem + "-")):
                found.append(p)
    return sorted(set(found))


def _require_pyarrow():
    try:
        import pyarrow.parquet as pq
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise ImportError(
            "reading and writing Parquet files needs pyarrow: pip install vantorel-backtest[parquet]"
        ) from exc
    return pq


def _read_parquet(path: Path, layout: Layout) -> pd.DataFrame:
    pq = _require_pyarrow()
    import pyarrow as pa

    schema = pq.read_schema(path)
    names = match_columns(layout, schema.names)
    wanted = list(names.values())
    # text labels come as dictionary columns: a few thousand distinct codes, not millions of strings
    def is_text(name: str) -> bool:
        kind = schema.field(name).type
        return pa.types.is_string(kind) or pa.types.is_large_string(kind)

    textual = [n for c, n in names.items() if c in layout.labels and is_text(n)]
    table = pq.read_table(path, columns=wanted, read_dictionary=textual)
    # one block per column, and Arrow's buffers freed as they are converted: no second copy of the file
    frame = table.to_pandas(ignore_metadata=True, split_blocks=True, self_destruct=True, date_as_object=False)
    del table
    return frame.rename(columns={v: k for k, v in names.items()})


def _read_csv(path: Path, layout: Layout) -> pd.DataFrame:
    header = pd.read_csv(path, nrows=0).columns
    names = match_columns(layout, header)
    dtypes = {n: "category" for c, n in names.items() if c in layout.labels}
    frame = pd.read_csv(
        path, usecols=list(names.values()), dtype=dtypes, keep_default_na=True, **_EXACT_FLOATS
    )
    return frame.rename(columns={v: k for k, v in names.items()})


def _from_frame(frame: pd.DataFrame, layout: Layout) -> pd.DataFrame:
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(
            f"Argument '{layout.name}' has incorrect type (expected pandas.DataFrame, got {type(frame).__name__})"
        )
    flat = frame.reset_index() if not isinstance(frame.index, pd.RangeIndex) else frame
    names = match_columns(layout, [str(c) for c in flat.columns])
    picked = flat[[c for c in flat.columns if str(c) in names.values()]]
    return picked.rename(columns={c: k for k, v in names.items() for c in picked.columns if str(c) == v})


def read_table(source, layout: Layout, on_file: Callable[[str], None] | None = None) -> Table | None:
    """The table ``layout.name`` of ``source`` (a directory, or a mapping of table name to DataFrames or
    files); None when the source has no such table."""
    parts: list[tuple[str, pd.DataFrame]] = []
    if isinstance(source, Mapping):
        entry = next((source[n] for n in (layout.name, *layout.file_names) if n in source), None)
        if entry is None:
            return None
        entries = entry if isinstance(entry, list | tuple) else [entry]
        for i, item in enumerate(entries):
            if isinstance(item, str | os.PathLike):
                parts.append(_read_path(Path(item), layout, on_file))
            else:
                label = f"{layout.name} DataFrame" + (f" {i + 1}" if len(entries) > 1 else "")
                parts.append((label, _from_frame(item, layout)))
    else:
        if not isinstance(source, str | os.PathLike):
            raise TypeError(
                "Argument 'source' has incorrect type (expected str | os.PathLike | Mapping[str, pandas.DataFrame], "
                f"got {type(source).__name__})"
            )
        directory = Path(source)
        if not directory.is_dir():
            raise FileNotFoundError(errno.ENOENT, "tables directory not found", str(directory))
        files = find_files(directory, layout)
        if not files:
            return None
        parts = [_read_path(p, layout, on_file) for p in files]

    frames = [f for _, f in parts]
    sources = [s for s, _ in parts]
    origin = np.concatenate([np.full(len(f), i, np.int32) for i, f in enumerate(frames)])
    row = np.concatenate([np.arange(1, len(f) + 1, dtype=np.int64) for f in frames])
    for name, f in parts:
        absent = [c for c in layout.required if c not in f.columns]
        if absent:
            raise TableError(
                f"{layout.name} table ({name}): required column{'s' if len(absent) > 1 else ''} "
                f"{', '.join(repr(c) for c in absent)} missing "
                f"(recognised columns: {', '.join(map(str, f.columns)) or 'none'})"
            )
    columns = [c for c in layout.columns if any(c in f.columns for f in frames)]
    frame = frames[0] if len(frames) == 1 else _concat(frames, columns)
    return Table(layout, frame[columns].reset_index(drop=True), sources, origin, row)


def _read_path(path: Path, layout: Layout, on_file: Callable[[str], None] | None) -> tuple[str, pd.DataFrame]:
    if on_file is not None:
        on_file(path.name)
    lower = path.name.lower()
    try:
        frame = _read_parquet(path, layout) if lower.endswith((".parquet", ".pq")) else _read_csv(path, layout)
    except (ImportError, TableError):
        raise
    except Exception as exc:  # the reader's own message, with the file it was about
        raise TableError(f"{layout.name} table ({path.name}): cannot be read: {exc}") from exc
    return path.name, frame


def _concat(frames: list[pd.DataFrame], columns: list[str]) -> pd.DataFrame:
    out = {}
    for c in columns:
        # a column some files lack is missing on their rows
        parts = [f[c] if c in f.columns else pd.Series(np.nan, index=f.index) for f in frames]
        if all(isinstance(p.dtype, pd.CategoricalDtype) for p in parts):
            out[c] = pd.api.types.union_categoricals(parts, ignore_order=True)
        else:
            out[c] = pd.concat([p.astype(object) if isinstance(p.dtype, pd.CategoricalDtype) else p for p in parts],
                               ignore_index=True)
    return pd.DataFrame(out)
