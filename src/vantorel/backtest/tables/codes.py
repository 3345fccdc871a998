"""Stock codes as researchers' files spell them, read as the store's six-digit codes.

Accepted spellings of one stock: ``600000``, ``600000.SH``, ``600000.XSHG``, ``SH600000``,
``sh.600000`` (and the same for ``SZ``/``XSHE`` and ``BJ``), case-insensitive, with surrounding
spaces; integers lose their leading zeros in many exports, so ``1`` reads as ``000001``.
"""

from __future__ import annotations

import re

import numpy as np
import pandas as pd

from ._args import column_arg

_EXCHANGES = {"SH": "SH", "XSHG": "SH", "SZ": "SZ", "XSHE": "SZ", "BJ": "BJ", "BSE": "BJ"}
_EXCHANGE = "|".join(sorted(_EXCHANGES, key=len, reverse=True))
_PATTERN = re.compile(rf"^\s*(?:(?:{_EXCHANGE})\.?(\d{{1,6}})|(\d{{1,6}})(?:\.(?:{_EXCHANGE}))?)\s*$", re.IGNORECASE)

BOARDS = ("main", "star", "chinext", "beijing")


def normalise_code(value: object) -> str | None:
    """The six-digit code of one spelling, or None when it is no stock code."""
    if isinstance(value, bool | np.bool_):
        return None
    if isinstance(value, int | np.integer):
        return f"{int(value):06d}" if 0 <= int(value) <= 999_999 else None
    if not isinstance(value, str):
        return None
    match = _PATTERN.match(value)
    if match is None:
        return None
    return (match.group(1) or match.group(2)).zfill(6)


_INDEX_PATTERN = re.compile(r"^\s*(?:[A-Za-z]+\.?)?(\d{6})(?:\.[A-Za-z]+)?\s*$")


def normalise_index_code(value: object) -> str | None:
    """The six-digit code of an index spelling (``000300``, ``000300.SH``, ``000300.XSHG``,
    ``932000.CSI``, ``SH000300``), or None."""
    if isinstance(value, int | np.integer) and not isinstance(value, bool | np.bool_):
        return f"{int(value):06d}" if 0 <= int(value) <= 999_999 else None
    match = _INDEX_PATTERN.match(value) if isinstance(value, str) else None
    return match.group(1) if match else None


def normalise_codes(values) -> pd.Series:
    """Each value's six-digit code (missing where it is no stock code), on the values' index.

    Reads each distinct spelling once, so a long table of a few thousand stocks costs little.
    """
    series = values if isinstance(values, pd.Series) else pd.Series(column_arg(values, "values"))
    uniques = pd.unique(series.to_numpy(dtype=object))
    table = {u: normalise_code(u) for u in uniques}
    return pd.Series([table[v] for v in series.to_numpy(dtype=object)], index=series.index, dtype=object)


def board_of(codes) -> np.ndarray:
    """The board of each six-digit code: "star" (688, 689), "chinext" (300, 301), "beijing" (4, 8
    and 92 prefixes), else "main" (Shanghai 60x, Shenzhen 00x)."""
    text = np.asarray(codes, dtype=object).astype("U6")
    board = np.full(text.shape, "main", dtype=object)
    for name, prefixes in (("star", ("688", "689")), ("chinext", ("300", "301")), ("beijing", ("4", "8", "92"))):
        hit = np.zeros(text.shape, dtype=bool)
        for prefix in prefixes:
            hit |= np.char.startswith(text, prefix)
        board[hit] = name
    return board
