"""Prepared backtest data: the dataset catalogue and the binary prepared-data store."""

import os
from collections.abc import Iterable
from typing import Any, TypeAlias

import pandas as pd

from vantorel.backtest._store import BinaryPreparedDataStoreBase, component_dataset_key as component_dataset_key

FLOAT_STORAGE_DTYPE: str
BOOL_STORAGE_DTYPE: str
PREPARED_DATA_VERSION: int
TAIL_RELOAD_ROWS: int
PathLike: TypeAlias = str | os.PathLike[str]
COMPONENT_FACTOR_NAMES: list[str]
BENCHMARK_INDEX_CODES: dict[str, str]
REQUIRED_FACTOR_NAMES: list[str]
OPTIONAL_FACTOR_NAMES: list[str]
BUILD_INPUT_NAMES: list[str]
BASE_MATRIX_DTYPE: dict[str, str]

def parse_name_list(raw_values: str | Iterable[object] | None) -> list[str]: ...
def get_component_factor_names() -> list[str]: ...
def build_matrix_dtype(component_names: list[str] | None = None) -> dict[str, str]: ...
def series_to_yyyymmdd(values: Any) -> pd.Series: ...

class BinaryPreparedDataStore(BinaryPreparedDataStoreBase):
    def __init__(self, store_dir: PathLike, component_names: list[str] | None = None) -> None: ...
    def load(
        self,
        start_date: str | int | None = None,
        end_date: str | int | None = None,
        keys: list[str] | None = None,
        mmap: bool = True,
    ) -> dict[str, Any]: ...
    def add_component_matrices(
        self, component_matrices: dict[str, pd.DataFrame], component_names: list[str]
    ) -> list[str]: ...
