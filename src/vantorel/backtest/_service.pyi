"""The backtest service: data readiness, loading, slicing, the selection universe and the
backtests."""

import logging
import os
from collections.abc import Callable, Mapping
from pathlib import Path
from types import ModuleType
from typing import Any

import pandas as pd

from vantorel._http import HttpClient
from vantorel.backtest._prepare import (
    COMPONENT_FACTOR_NAMES as COMPONENT_FACTOR_NAMES,
    TAIL_RELOAD_ROWS as TAIL_RELOAD_ROWS,
    BinaryPreparedDataStore as BinaryPreparedDataStore,
    GroupPreparedDataBuilder as GroupPreparedDataBuilder,
    component_dataset_key as component_dataset_key,
)
from vantorel.backtest.batch import BatchResult
from vantorel.backtest.result import BacktestData, BacktestResult, StrategyBacktestResult

core: ModuleType
_pkg: ModuleType
_store: ModuleType
result: ModuleType
exceptions: ModuleType
logger: logging.Logger
download_benchmark_package: Callable[[Any, str | os.PathLike[str]], Path]
flatten_single_subdir: Callable[[str | os.PathLike[str]], Path]
_DEFAULT_DATA_DIR: Path
_UNIVERSE_TO_COMPONENT: dict[str, str]

class BacktestService:
    _http: Any
    def __init__(self, http: HttpClient | None) -> None: ...
    def prepare_backtest_data(self) -> None: ...
    @staticmethod
    def _find_missing_datasets(store: BinaryPreparedDataStore) -> list[str]: ...
    @staticmethod
    def _validate_metadata(store: BinaryPreparedDataStore) -> None: ...
    @staticmethod
    def _log_dataset_summary(store: BinaryPreparedDataStore, *, action: str) -> None: ...
    def load_backtest_data(self) -> BacktestData: ...
    @staticmethod
    def _slice_data(data: dict[str, Any], start_date: str, end_date: str) -> dict[str, Any]: ...
    @staticmethod
    def _parse_universe(universe: str | list[str] | None) -> list[str]: ...
    def _apply_universe_filter(
        self, data: dict[str, Any], universe: str | list[str] | None, start_date: str, end_date: str
    ) -> None: ...
    def backtest(
        self,
        factor: pd.DataFrame,
        data: BacktestData,
        start_date: str | int,
        end_date: str | int,
        output_dir: str | os.PathLike[str],
        plot_filename: str,
        *,
        group_num: int = 20,
        benchmark: str | list[str] | None = "000852",
        universe: str | list[str] | None = None,
        rolling_window: int = 0,
        ascending: bool = False,
        total_money: float = 100000000.0,
        fee: float = 0.0001,
        rule_fee: float = 0.0005,
        plot: str = "long",
    ) -> BacktestResult: ...
    def _backtest_numbers(
        self,
        factor: pd.DataFrame,
        data: BacktestData,
        start_date: str | int,
        end_date: str | int,
        name: str,
        *,
        group_num: int = 20,
        benchmark: str | list[str] | None = "000852",
        universe: str | list[str] | None = None,
        rolling_window: int = 0,
        ascending: bool = False,
        total_money: float = 100000000.0,
        fee: float = 0.0001,
        rule_fee: float = 0.0005,
    ) -> BacktestResult: ...
    @staticmethod
    def _factor_name(factor: pd.DataFrame) -> str: ...
    @staticmethod
    def _to_public_result(core_result: Any, factor_name: str) -> BacktestResult: ...
    def backtest_strategy(
        self,
        strategy: pd.DataFrame,
        data: BacktestData,
        start_date: str | int,
        end_date: str | int,
        output_dir: str | os.PathLike[str] | None,
        plot_filename: str,
        *,
        benchmark: str = "000852",
        rolling_window: int = 0,
        total_money: float = 100000000.0,
        fee: float = 0.0001,
        rule_fee: float = 0.0005,
        plot: str | None = "large",
    ) -> StrategyBacktestResult: ...
    def backtest_many(
        self,
        factors: Mapping[str, object],
        data: BacktestData,
        start_date: str | int | None,
        end_date: str | int | None,
        output_dir: str | os.PathLike[str] | None = None,
        *,
        workers: int | None = None,
        engine: str = "threads",
        keep_results: bool = True,
        progress: bool = True,
        ray_address: str | None = None,
        **options: object,
    ) -> BatchResult: ...
    def backtest_strategy_many(
        self,
        strategies: Mapping[str, object],
        data: BacktestData,
        start_date: str | int | None,
        end_date: str | int | None,
        output_dir: str | os.PathLike[str] | None = None,
        *,
        workers: int | None = None,
        engine: str = "threads",
        keep_results: bool = True,
        progress: bool = True,
        ray_address: str | None = None,
        **options: object,
    ) -> BatchResult: ...
