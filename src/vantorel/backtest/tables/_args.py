"""Argument checks shared by the table readers."""

from __future__ import annotations

import numpy as np
import pandas as pd


def column_arg(value, name: str, dtype=object) -> np.ndarray:
    """One value per row as a 1-D array; a clear error naming the argument otherwise."""
    if isinstance(value, str | bytes) or not isinstance(value, list | tuple | np.ndarray | pd.Series | pd.Index):
        raise TypeError(f"Argument '{name}' has incorrect type (expected a sequence, got {type(value).__name__})")
    try:
        array = np.asarray(value, dtype=dtype)
    except (TypeError, ValueError) as error:
        kind = "numbers" if dtype is np.float64 else "values"
        raise ValueError(f"Argument '{name}' must hold {kind}: {error}") from None
    if array.ndim != 1:
        raise ValueError(f"Argument '{name}' must be one-dimensional, got {array.ndim} dimensions")
    return array
