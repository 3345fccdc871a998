"""Awkward values, drawn from a seeded generator.

Every function takes ``rng`` (a NumPy Generator) and, where it makes sense, a
well-formed value to spoil; it returns ``(value, note)`` where ``note`` is a
short text saying what was done, shown in the fuzz report.
"""

from __future__ import annotations

import datetime as dt
import math

import numpy as np
import pandas as pd

HUGE = 1e308
BIG_INT = 2**64


def pick(rng, options):
    return options[int(rng.integers(len(options)))]


# --------------------------------------------------------------------------
# scalars
# --------------------------------------------------------------------------

WRONG_TYPES = [None, [1], {"a": 1}, object(), b"x", (1, 2), 1j, pd.NaT]

ODD_DATES = [
    None, "", " ", "2020-13-45", "abc", 20201301, BIG_INT, -1, 0, 1.5, float("nan"), float("inf"),
    "20200101 ", " 20200102", b"20200102", dt.date(2020, 1, 3), pd.Timestamp("2020-01-06"),
    np.datetime64("2020-01-07"), "99999999", "00000000", "2020010", "202001011", True, [20200102],
    "2020/01/02", "2020-01-02", "2020-01-02T00:00:00", "１２３４５６７８", "\x00", "2020-01-02\n",
    20200102.0, np.int64(20200103), -20200102, "+20200102", 10**30, "NaT", pd.NaT,
]

ODD_INTS = [0, -5, -1, 1, 2, 101, BIG_INT, 2**63, -(2**63), 1.5, 2.9, -0.5, float("nan"), float("inf"),
            -float("inf"), "3", None, True, False, 10**6, np.int64(3), np.float64(2.9), np.uint64(2**64 - 1),
            1e308, [3], 3j, pd.NA]

ODD_FLOATS = [float("nan"), float("inf"), -float("inf"), 0, 0.0, -0.0, -1, -1.0, 1.5, 1.0, HUGE, -HUGE, BIG_INT,
              "0.1", None, complex(1, 1), np.float32(0.1), True, 5e-324, 10**400, np.nan, pd.NA,
              np.float64("nan"), [0.1], np.int64(-3)]

ODD_TEXTS = [None, 5, 1.5, "", " ", "../../escape", "a/b", "with\x00nul", "x" * 300, "huge", "LARGE", " large",
             b"large", ["large"], "全部", "\n", "all", "None", True, float("nan"), object()]


def odd_scalar(rng, kind: str):
    table = {"date": ODD_DATES, "int": ODD_INTS, "float": ODD_FLOATS, "text": ODD_TEXTS}[kind]
    value = pick(rng, table)
    return value, f"{_short(value)}"


def _short(value) -> str:
    text = " ".join(repr(value).split())
    return text if len(text) <= 40 else text[:37] + "..."


# --------------------------------------------------------------------------
# Frames
# --------------------------------------------------------------------------


def _cells(rng, frame: pd.DataFrame, share: float = 0.2) -> np.ndarray:
    return rng.random(frame.shape) < share


def _with_values(frame: pd.DataFrame, values) -> pd.DataFrame:
    return pd.DataFrame(values, index=frame.index.copy(), columns=frame.columns.copy())


def _float(frame: pd.DataFrame) -> np.ndarray:
    try:
        return frame.to_numpy(dtype=np.float64, na_value=np.nan).copy()
    except (TypeError, ValueError):
        return np.full(frame.shape, 1.0)


def frame_dtype(rng, frame: pd.DataFrame):
    """The same labels with cells of an odd dtype."""
    v = _float(frame)
    shape = frame.shape
    kinds = {
        "datetime64": lambda: _with_values(frame, np.full(shape, np.datetime64("2020-01-02", "ns"))),
        "timedelta64": lambda: _with_values(frame, np.full(shape, np.timedelta64(3, "D")).astype("m8[ns]")),
        "complex": lambda: _with_values(frame, v + 1j),
        "object-text": lambda: _with_values(frame, v.astype(str).astype(object)),
        "object-garbage": lambda: _with_values(frame, np.where(_cells(rng, frame), "x", v.astype(object))),
        "object-mixed": lambda: _with_values(frame, np.where(_cells(rng, frame), None, v.astype(object))),
        "Int64": lambda: _with_values(frame, np.round(v)).astype("Int64"),
        "boolean": lambda: _with_values(frame, v > np.nanmedian(v) if np.isfinite(v).any() else v > 0)
        .astype("boolean").mask(pd.DataFrame(np.isnan(v), index=frame.index, columns=frame.columns)),
        "category": lambda: _with_values(frame, v).astype("category"),
        "float32": lambda: _with_values(frame, v.astype(np.float32)),
        "int64": lambda: _with_values(frame, np.nan_to_num(v, nan=0, posinf=0, neginf=0).astype(np.int64)),
        "uint64-max": lambda: _with_values(frame, np.full(shape, np.uint64(2**64 - 1))),
        "int8": lambda: _with_values(frame, np.ones(shape, dtype=np.int8)),
        "string": lambda: _with_values(frame, v).astype("string"),
        "bool": lambda: _with_values(frame, np.isfinite(v)),
        "float16": lambda: _with_values(frame, v.astype(np.float16)),
    }
    name = pick(rng, list(kinds))
    return kinds[name](), f"dtype {name}"


def frame_values(rng, frame: pd.DataFrame):
    """The same labels and dtype float64, with NaN, infinities or huge numbers."""
    v = _float(frame)
    mask = _cells(rng, frame, float(rng.choice([0.1, 0.5, 1.0])))
    fill = pick(rng, [np.nan, np.inf, -np.inf, HUGE, -HUGE, float(BIG_INT), 5e-324, 0.0, -1.0, 1e-300])
    v[mask] = fill
    return _with_values(frame, v), f"cells={fill!r} ({mask.mean():.0%})"


def frame_shape(rng, frame: pd.DataFrame):
    kinds = {
        "0 rows": lambda: frame.iloc[:0],
        "0 columns": lambda: frame.iloc[:, :0],
        "0x0": lambda: frame.iloc[:0, :0],
        "empty DataFrame()": lambda: pd.DataFrame(),
        "1 row": lambda: frame.iloc[:1],
        "1 column": lambda: frame.iloc[:, :1],
        "1x1": lambda: frame.iloc[:1, :1],
        "last row": lambda: frame.iloc[-1:],
        "transposed": lambda: frame.T,
        "every other cell": lambda: frame.iloc[::2, ::2],
        "F-order": lambda: pd.DataFrame(np.asfortranarray(frame.to_numpy()), index=frame.index, columns=frame.columns),
        "blocks": lambda: pd.DataFrame({c: frame[c].copy() for c in frame.columns}, index=frame.index)
        if frame.columns.is_unique else frame.copy(),
    }
    name = pick(rng, list(kinds))
    return kinds[name](), name


def frame_labels(rng, frame: pd.DataFrame):
    """The same cells under odd row or column labels."""
    idx, cols = list(frame.index), list(frame.columns)
    n, m = len(idx), len(cols)

    def relabel(index=None, columns=None):
        out = frame.copy()
        if index is not None:
            out.index = index
        if columns is not None:
            out.columns = columns
        return out

    def dup(labels):
        if len(labels) < 2:
            return labels * 1
        labels = list(labels)
        labels[1] = labels[0]
        return labels

    kinds = {
        "duplicate dates": lambda: relabel(index=pd.Index(dup(idx))),
        "duplicate codes": lambda: relabel(columns=pd.Index(dup(cols))),
        "int dates": lambda: relabel(index=pd.Index([int(d) for d in idx]) if all(str(d).isdigit() for d in idx)
                                      else pd.RangeIndex(n)),
        "mixed int/str dates": lambda: relabel(index=pd.Index([int(d) if k % 2 and str(d).isdigit() else d
                                                               for k, d in enumerate(idx)], dtype=object)),
        "DatetimeIndex": lambda: relabel(index=pd.to_datetime(pd.Index([str(d) for d in idx]), format="%Y%m%d",
                                                              errors="coerce")),
        "RangeIndex rows": lambda: relabel(index=pd.RangeIndex(n)),
        "int codes": lambda: relabel(columns=pd.Index([int(c) if str(c).isdigit() else k for k, c in enumerate(cols)])),
        "mixed int/str codes": lambda: relabel(columns=pd.Index([int(c) if k % 2 and str(c).isdigit() else c
                                                                 for k, c in enumerate(cols)], dtype=object)),
        "reversed dates": lambda: frame.iloc[::-1],
        "shuffled dates": lambda: frame.iloc[rng.permutation(n)],
        "shuffled codes": lambda: frame.iloc[:, rng.permutation(m)],
        "NaN date label": lambda: relabel(index=pd.Index([np.nan if k == n // 2 else d for k, d in enumerate(idx)],
                                                         dtype=object)),
        "None code label": lambda: relabel(columns=pd.Index([None if k == 0 else c for k, c in enumerate(cols)],
                                                            dtype=object)),
        "padded labels": lambda: relabel(index=pd.Index([f" {d}" for d in idx]),
                                         columns=pd.Index([f"{c} " for c in cols])),
        "malformed dates": lambda: relabel(index=pd.Index([pick(rng, ["2020-13-45", "abc", "", "2020010", "99999999"])
                                                           if k % 3 == 0 else d for k, d in enumerate(idx)])),
        "bytes codes": lambda: relabel(columns=pd.Index([str(c).encode() for c in cols], dtype=object)),
        "MultiIndex columns": lambda: relabel(columns=pd.MultiIndex.from_arrays([[str(c)[:2] for c in cols],
                                                                                 [str(c) for c in cols]])),
        "named axes": lambda: relabel(index=pd.Index(idx, name="date"), columns=pd.Index(cols, name="alpha1")),
        "float dates": lambda: relabel(index=pd.Index([float(d) if str(d).isdigit() else np.nan for d in idx])),
        "string dtype labels": lambda: relabel(index=pd.Index(idx, dtype="string"),
                                               columns=pd.Index(cols, dtype="string")),
        "categorical labels": lambda: relabel(index=pd.CategoricalIndex(idx)),
        "foreign codes": lambda: relabel(columns=pd.Index([f"9{k:05d}" for k in range(m)])),
        "foreign dates": lambda: relabel(index=pd.Index([f"1990{k % 12 + 1:02d}{k % 28 + 1:02d}" for k in range(n)])),
    }
    name = pick(rng, list(kinds))
    return kinds[name](), name


def frame_wrong_type(rng, frame: pd.DataFrame):
    kinds = {
        "None": lambda: None,
        "int": lambda: 3,
        "str": lambda: "frame",
        "list": lambda: frame.to_numpy().tolist(),
        "ndarray": lambda: frame.to_numpy(),
        "Series": lambda: frame.iloc[:, 0] if frame.shape[1] else pd.Series(dtype=float),
        "dict": lambda: frame.to_dict(),
        "object": lambda: object(),
    }
    name = pick(rng, list(kinds))
    return kinds[name](), f"type {name}"


def odd_frame(rng, frame: pd.DataFrame):
    """One of the Frame spoilers, weighted towards those that reach deep into the code."""
    spoil = pick(rng, [frame_dtype, frame_dtype, frame_values, frame_values, frame_shape, frame_shape,
                       frame_labels, frame_labels, frame_labels, frame_wrong_type])
    return spoil(rng, frame)


# --------------------------------------------------------------------------
# series and benchmark dictionaries
# --------------------------------------------------------------------------


def odd_series(rng, series: pd.Series):
    frame = series.to_frame("x")
    value, note = odd_frame(rng, frame)
    if isinstance(value, pd.DataFrame) and value.shape[1] >= 1 and rng.random() < 0.85:
        return value.iloc[:, 0], note
    if isinstance(value, pd.DataFrame):
        return value, note + " (a Frame)"
    return value, note


def odd_benchmark_dict(rng, bdict: dict):
    kinds = ["wrong type", "entry", "empty", "extra", "list entry", "None entry", "Frame entry"]
    kind = pick(rng, kinds)
    out = dict(bdict)
    name = pick(rng, list(bdict))
    if kind == "wrong type":
        return (pick(rng, [None, [], "000852", 5, list(bdict.values()), pd.DataFrame(bdict)]),
                "benchmark_dict wrong type")
    if kind == "entry":
        out[name], note = odd_series(rng, bdict[name])
        return out, f"benchmark {name}: {note}"
    if kind == "empty":
        return {}, "benchmark_dict {}"
    if kind == "extra":
        out[pick(rng, [5, "", None, "x" * 100])] = bdict[name]
        return out, "benchmark_dict odd key"
    if kind == "list entry":
        out[name] = list(bdict[name])
        return out, f"benchmark {name}: list"
    if kind == "None entry":
        out[name] = None
        return out, f"benchmark {name}: None"
    out[name] = bdict[name].to_frame()
    return out, f"benchmark {name}: Frame"


def is_cjk(text: str) -> bool:
    return any("\u4e00" <= ch <= "\u9fff" for ch in text)


def finite_or_nan(x) -> bool:
    return isinstance(x, float) and (math.isfinite(x) or math.isnan(x))
