"""``backtest_many`` and ``backtest_strategy_many``: many backtests over one data bundle."""

from __future__ import annotations

import os
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .engines import run_on_ray, run_on_threads
from .items import Item, check_options, parse_items
from .summary import FACTOR_COLUMNS

__all__ = ["BatchResult", "backtest_many", "backtest_strategy_many"]

ENGINES = ("threads", "ray")
STRATEGY_COLUMNS = (
    "annual_return", "long_sharp", "max_dd", "extra_annual_return", "extra_sharp", "extra_max_dd",
    "benchmark_annual_return", "benchmark_sharp", "return_corr", "win_rate", "excess_win_rate", "holding_count",
    "turnover",
)


@dataclass
class BatchResult:
    """What a batch gave: one ``summary`` row per item in the order given (its ``error`` column holds the
    failure of an item that failed, else None), the public result of each item that succeeded
    (``results``; empty with ``keep_results=False``), the exception of each item that failed
    (``errors``) and the batch's ``wall_time`` in seconds."""

    summary: pd.DataFrame
    results: dict[str, Any] = field(default_factory=dict)
    errors: dict[str, BaseException] = field(default_factory=dict)
    wall_time: float = 0.0

    def __repr__(self) -> str:
        return (f"BatchResult({len(self.summary)} items, {len(self.errors)} failed, "
                f"{self.wall_time:.2f} s)")


def _workers(workers: Any) -> int:
    if workers is None:
        return os.cpu_count() or 1
    if isinstance(workers, bool) or not isinstance(workers, int | np.integer):
        raise TypeError(f"Argument 'workers' has incorrect type (expected int, got {type(workers).__name__})")
    if not 1 <= workers <= 1024:
        raise ValueError(f"Argument 'workers' must lie in [1, 1024], got {workers!r}")
    return int(workers)


def _run(kind: str, tables, data, start_date, end_date, output_dir, workers, engine, keep_results,
         progress, ray_address, options) -> BatchResult:
    from vantorel.backtest import BacktestData
    from vantorel.backtest._progress import progress_bar

    started = time.perf_counter()
    items = parse_items(kind, tables)
    if not isinstance(data, BacktestData):
        raise TypeError(f"Argument 'data' has incorrect type (expected BacktestData, got {type(data).__name__})")
    if engine not in ENGINES:
        raise ValueError(f"Argument 'engine' must be one of {', '.join(map(repr, ENGINES))}, got {engine!r}")
    if output_dir is not None and not isinstance(output_dir, str | os.PathLike):
        raise TypeError("Argument 'output_dir' has incorrect type (expected str | os.PathLike | None, "
                        f"got {type(output_dir).__name__})")
    if ray_address is not None and engine != "ray":
        raise ValueError("ray_address goes with engine='ray'")
    count = _workers(workers)
    entry = "backtest_many()" if kind == "factor" else "backtest_strategy_many()"
    job = {"kind": kind, "data": data, "start_date": start_date, "end_date": end_date,
           "output_dir": None if output_dir is None else os.fspath(output_dir),
           "options": check_options(kind, options, entry), "keep": bool(keep_results)}
    rows: dict[str, dict] = {}
    results: dict[str, Any] = {}
    errors: dict[str, BaseException] = {}
    with progress_bar(f"{kind} backtests", total=len(items), enabled=None if progress else False) as bar:

        def on_done(item: Item, outcome) -> None:
            if isinstance(outcome, BaseException):
                errors[item.name] = outcome
                rows[item.name] = {"error": f"{type(outcome).__name__}: {outcome}"}
            else:
                summary, result = outcome
                rows[item.name] = {**summary, "error": None}
                if result is not None:
                    results[item.name] = result
            bar.advance(1)

        if engine == "threads":
            run_on_threads(items, job, count, on_done)
        else:
            run_on_ray(items, job, None if workers is None and ray_address else count, ray_address, on_done)

    columns = [*(FACTOR_COLUMNS if kind == "factor" else STRATEGY_COLUMNS), "error"]
    names = [item.name for item in items]
    summary = pd.DataFrame([rows[n] for n in names], index=pd.Index(names, name=kind), columns=columns)
    summary["error"] = pd.Series([rows[n]["error"] for n in names], index=summary.index, dtype=object)
    ordered = {n: results[n] for n in names if n in results}
    failed = {n: errors[n] for n in names if n in errors}
    return BatchResult(summary, ordered, failed, time.perf_counter() - started)


def backtest_many(self, factors: Mapping[str, Any], data, start_date, end_date, output_dir=None, *,
                  workers: int | None = None, engine: str = "threads", keep_results: bool = True,
                  progress: bool = True, ray_address: str | None = None, **options) -> BatchResult:
    """Factor group backtests of many factors over one bundle (see ``BacktestService.backtest_many``)."""
    return _run("factor", factors, data, start_date, end_date, output_dir, workers, engine, keep_results,
                progress, ray_address, options)


def backtest_strategy_many(self, strategies: Mapping[str, Any], data, start_date, end_date, output_dir=None, *,
                           workers: int | None = None, engine: str = "threads", keep_results: bool = True,
                           progress: bool = True, ray_address: str | None = None, **options) -> BatchResult:
    """Strategy backtests of many weight tables over one bundle (see ``BacktestService.backtest_strategy_many``)."""
    return _run("strategy", strategies, data, start_date, end_date, output_dir, workers, engine,
                keep_results, progress, ray_address, options)
