"""The prepared data a command backtests on."""

from __future__ import annotations

from pathlib import Path


def load_bundle():
    """The whole store as a ``BacktestData`` of memory-mapped tables.

    The same tables as ``BacktestService.load_backtest_data()``, which reads every row into memory
    and checks every row checksum first (seconds for a store of 4,000 days x 5,000 stocks); a
    command runs its backtests once, so it maps the files instead and pages in only the dates and
    stocks the backtest reads. The labels' checksums are still checked.
    """
    from vantorel.backtest import BacktestData, _service
    from vantorel.backtest._prepare import BinaryPreparedDataStore

    store = BinaryPreparedDataStore(Path(_service._DEFAULT_DATA_DIR))
    if not store.metadata_path.exists():
        raise FileNotFoundError(
            f"no prepared data in {store.store_dir} (run 'vantorel-backtest prepare' first)"
        )
    return BacktestData(store.load(None, None, mmap=True)["data"])
