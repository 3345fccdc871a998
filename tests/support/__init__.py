"""Shared helpers of the strategy-engine tests: comparison with tolerances.

Sums over stocks or days may be accumulated in a different order by the
engine and by the reference, so values are compared to a relative tolerance
of 1e-12 measured against the size of the numbers that went into them, not
only against the result (a sum that nearly cancels has lost its leading
digits in both, and only its inputs tell how large the rounding may be).
Missing and infinite values must sit in the same places in both.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

RTOL = 1e-12
EPS = np.finfo(np.float64).eps


def labels(index: pd.Index) -> list:
    return list(index)


def assert_values_close(actual: Any, expected: Any, *, rtol: float = RTOL, scale: Any = 0.0,
                        atol: float = 0.0, what: str = "values") -> None:
    """Element-wise: same NaN and same-signed infinities; finite values within
    ``rtol * max(|expected|, scale) + atol``."""
    a = np.asarray(actual, dtype=np.float64)
    e = np.asarray(expected, dtype=np.float64)
    assert a.shape == e.shape, f"{what}: shape {a.shape} != {e.shape}"
    s = np.broadcast_to(np.asarray(scale, dtype=np.float64), e.shape)
    nan_a, nan_e = np.isnan(a), np.isnan(e)
    finite_e = np.isfinite(e)
    problems = []
    if not np.array_equal(nan_a, nan_e):
        problems.append(f"NaN at {np.flatnonzero(nan_a != nan_e).tolist()}")
    inf_e = np.isinf(e)
    if not np.array_equal(np.isinf(a), inf_e) or not np.array_equal(a[inf_e], e[inf_e]):
        problems.append("infinities differ")
    both = finite_e & np.isfinite(a)
    with np.errstate(invalid="ignore", over="ignore"):
        tol = rtol * np.maximum(np.abs(e), np.where(np.isfinite(s), s, np.inf)) + atol
        bad = both & ~(np.abs(a - e) <= tol)
    if bad.any():
        where = np.flatnonzero(bad)[:5].tolist()
        problems.append(f"differ at flat positions {where}: actual {a.ravel()[where].tolist()} "
                        f"expected {e.ravel()[where].tolist()}")
    assert not problems, f"{what}: " + "; ".join(problems)


def assert_series_close(actual: pd.Series, expected: pd.Series, *, check_name: bool = True,
                        what: str = "series", **kwargs) -> None:
    assert isinstance(actual, pd.Series), f"{what}: not a Series but {type(actual).__name__}"
    assert labels(actual.index) == labels(expected.index), (
        f"{what}: dates {labels(actual.index)} != {labels(expected.index)}")
    assert actual.dtype == np.float64, f"{what}: dtype {actual.dtype}"
    if check_name:
        assert actual.name == expected.name, f"{what}: name {actual.name!r} != {expected.name!r}"
    assert_values_close(actual.to_numpy(), expected.to_numpy(dtype=np.float64), what=what, **kwargs)


def assert_frame_close(actual: pd.DataFrame, expected: pd.DataFrame, *, what: str = "frame",
                       **kwargs) -> None:
    assert isinstance(actual, pd.DataFrame), f"{what}: not a DataFrame but {type(actual).__name__}"
    assert labels(actual.index) == labels(expected.index), (
        f"{what}: rows {labels(actual.index)} != {labels(expected.index)}")
    assert labels(actual.columns) == labels(expected.columns), (
        f"{what}: columns {labels(actual.columns)} != {labels(expected.columns)}")
    for col in expected.columns:
        assert actual[col].dtype == np.float64, f"{what}[{col!r}]: dtype {actual[col].dtype}"
        assert_values_close(actual[col].to_numpy(), expected[col].to_numpy(dtype=np.float64),
                            what=f"{what}[{col!r}]", **kwargs)


# --------------------------------------------------------------------------
# statistics: tolerances that follow the conditioning of each quantity
# --------------------------------------------------------------------------


def _spread(x: np.ndarray) -> tuple[float, float]:
    """(largest magnitude, sample standard deviation) of a series."""
    if x.size < 2:
        return (float(np.max(np.abs(x))) if x.size else 0.0), 0.0
    with np.errstate(invalid="ignore", over="ignore"):
        return float(np.max(np.abs(x))), float(np.std(x, ddof=1))


def ratio_close(actual: float, expected: float, values: Any, periods: int = 252) -> str | None:
    """Compare a Sharpe ratio (mean / std * sqrt(periods)) of ``values``.

    Reordered sums shift the mean and the deviation by a few ulps of the
    largest value; divided by a small deviation that can be large, so the
    allowance grows with max|x| / std.  A series that is constant to
    rounding has no well-defined ratio: any answer is accepted."""
    x = np.asarray(values, dtype=np.float64)
    biggest, std = _spread(x)
    if x.size >= 2 and np.isfinite(biggest) and std <= 64 * EPS * biggest:
        return None
    if math.isnan(expected) or math.isnan(actual):
        return None if (math.isnan(expected) and math.isnan(actual)) else f"{actual!r} != {expected!r}"
    k = math.sqrt(periods)
    tol = RTOL * abs(expected) + 1e-13 * (k + abs(expected)) * biggest / std
    return None if abs(actual - expected) <= tol else f"{actual!r} != {expected!r} (tol {tol:.3g})"


def corr_close(actual: float, expected: float, x: Any, y: Any) -> str | None:
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    bx, sx = _spread(x)
    by, sy = _spread(y)
    if x.size >= 2 and np.isfinite(bx) and np.isfinite(by) and (sx <= 64 * EPS * bx or sy <= 64 * EPS * by):
        return None
    if math.isnan(expected) or math.isnan(actual):
        return None if (math.isnan(expected) and math.isnan(actual)) else f"{actual!r} != {expected!r}"
    tol = RTOL + 1e-13 * (bx / sx + by / sy)
    return None if abs(actual - expected) <= tol else f"{actual!r} != {expected!r} (tol {tol:.3g})"


def mean_close(actual: float, expected: float, values: Any, factor: float = 1.0) -> str | None:
    x = np.asarray(values, dtype=np.float64)
    if math.isnan(expected) or math.isnan(actual):
        return None if (math.isnan(expected) and math.isnan(actual)) else f"{actual!r} != {expected!r}"
    if math.isinf(expected) or math.isinf(actual):
        return None if actual == expected else f"{actual!r} != {expected!r}"
    biggest = float(np.max(np.abs(x))) if x.size else 0.0
    tol = RTOL * abs(expected) + 1e-13 * abs(factor) * biggest
    return None if abs(actual - expected) <= tol else f"{actual!r} != {expected!r} (tol {tol:.3g})"


def plain_close(actual: float, expected: float, atol: float = 1e-14) -> str | None:
    if math.isnan(expected) or math.isnan(actual):
        return None if (math.isnan(expected) and math.isnan(actual)) else f"{actual!r} != {expected!r}"
    if math.isinf(expected) or math.isinf(actual):
        return None if actual == expected else f"{actual!r} != {expected!r}"
    tol = RTOL * abs(expected) + atol
    return None if abs(actual - expected) <= tol else f"{actual!r} != {expected!r} (tol {tol:.3g})"


def _finite(series: pd.Series) -> np.ndarray:
    x = series.to_numpy(dtype=np.float64)
    return x[np.isfinite(x)]


def assert_stats_close(actual: dict, expected: dict, total: pd.DataFrame | None = None) -> None:
    """Statistics dictionaries: same keys in the same order, values close.

    ``total`` is the total frame the expected statistics were computed from;
    it gives the size of the inputs of the Sharpe ratios and the correlation."""
    assert isinstance(actual, dict), f"stats is a {type(actual).__name__}"
    assert list(actual) == list(expected), f"stats keys {list(actual)} != {list(expected)}"
    for key, value in actual.items():
        assert isinstance(value, float), f"stats[{key!r}] is a {type(value).__name__}"
    problems = {}
    kept = total.dropna(how="any") if total is not None else None
    if kept is not None and len(kept) == 0:
        kept = None
    for key, e in expected.items():
        a = actual[key]
        if kept is not None and key in ("long_sharp", "benchmark_sharp", "extra_sharp"):
            column = {"long_sharp": "daily_return", "benchmark_sharp": "index_daily_return",
                      "extra_sharp": "extra_daily_return"}[key]
            msg = ratio_close(a, e, _finite(kept[column]))
        elif kept is not None and key == "return_corr":
            msg = corr_close(a, e, kept["daily_return"], kept["index_daily_return"])
        else:
            msg = plain_close(a, e, atol=1e-13)
        if msg:
            problems[key] = msg
    assert not problems, f"stats differ: {problems}"


def assert_summary_close(actual: pd.DataFrame, expected: pd.DataFrame, total: pd.DataFrame | None,
                         benchmark_dict: dict | None) -> None:
    assert isinstance(actual, pd.DataFrame), f"summary is a {type(actual).__name__}"
    assert list(actual.columns) == list(expected.columns), (
        f"summary columns {list(actual.columns)} != {list(expected.columns)}")
    assert len(actual) == len(expected), f"summary rows {len(actual)} != {len(expected)}"
    if len(expected) == 0:
        return
    assert list(actual.index) == list(range(len(expected))), f"summary index {list(actual.index)}"
    assert list(actual["benchmark_name"]) == list(expected["benchmark_name"])
    for col in expected.columns[1:]:
        assert actual[col].dtype == np.float64, f"summary[{col!r}]: dtype {actual[col].dtype}"
    problems = {}
    for row, name in enumerate(expected["benchmark_name"]):
        bm = benchmark_dict[name].astype(np.float64).reindex(total.index).dropna()
        common = total.index[total.index.isin(bm.index)]
        bm = bm.loc[common].to_numpy()
        with np.errstate(invalid="ignore", over="ignore"):
            excess = total["daily_return"].loc[common].to_numpy() - bm
        checks = {
            "benchmark_annual_return": lambda a, e, bm=bm: mean_close(a, e, bm, 252),
            "excess_annual_return": lambda a, e, excess=excess: mean_close(a, e, excess, 252),
            "excess_sharpe": lambda a, e, excess=excess: ratio_close(a, e, excess),
            "excess_max_dd": lambda a, e: plain_close(a, e, atol=1e-14),
        }
        for col, check in checks.items():
            msg = check(float(actual[col].iloc[row]), float(expected[col].iloc[row]))
            if msg:
                problems[(name, col)] = msg
    assert not problems, f"benchmark summary differs: {problems}"


def assert_result_close(actual: Any, expected: Any, benchmark_dict: dict | None = None,
                        daily_scale: Any = 0.0) -> None:
    """An engine ``_StrategyCoreResult`` against a reference result."""
    assert actual.strategy_name == expected.strategy_name
    if expected.total is None:
        assert len(actual.daily_return) == 0 and actual.daily_return.dtype == np.float64
        assert len(actual.cumulative_return) == 0 and actual.cumulative_return.dtype == np.float64
        assert list(actual.stats) == list(expected.stats), f"stats keys {list(actual.stats)}"
        assert all(math.isnan(v) for v in actual.stats.values()), f"stats not all NaN: {actual.stats}"
        assert isinstance(actual.benchmark_summary, pd.DataFrame)
        assert actual.benchmark_summary.shape == (0, 0), f"summary {actual.benchmark_summary!r}"
        assert actual.plot_paths == {}
        return
    assert_series_close(actual.daily_return, expected.daily_return, what="daily_return", scale=daily_scale)
    assert_series_close(actual.cumulative_return, expected.cumulative_return, what="cumulative_return",
                        atol=1e-14)
    assert_stats_close(actual.stats, expected.stats, expected.total)
    assert_summary_close(actual.benchmark_summary, expected.benchmark_summary, expected.total,
                         benchmark_dict)
    assert actual.plot_paths == {}


def frames_equal(a: Any, b: Any) -> bool:
    """Exact equality of two Frames or Series: labels, dtypes and values."""
    try:
        if isinstance(a, pd.DataFrame):
            pd.testing.assert_frame_equal(a, b, check_exact=True, check_flags=True)
        else:
            pd.testing.assert_series_equal(a, b, check_exact=True)
    except AssertionError:
        return False
    return True
