"""A store prepared from researchers' tables, by the same builder, store and update logic as from the service."""

from __future__ import annotations

import contextlib
import shutil
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

from vantorel import singleton
from vantorel.backtest.data_dir import store_directory
from vantorel.exceptions import VantorelError

from .service import TablesDataService

__all__ = ["prepare_from_tables", "using_client"]


@contextlib.contextmanager
def using_client(client: Any) -> Iterator[Any]:
    """``client`` is the configured data-service client while the block runs."""
    previous = singleton.set_instance(client)
    try:
        yield client
    finally:
        if previous is None:
            singleton.reset_instance()
        else:
            singleton.set_instance(previous)


def prepare_from_tables(
    source: Any,
    data_dir: str | Path | None = None,
    *,
    rebuild: bool = False,
    progress: bool | None = False,
    on_file: Callable[[str], None] | None = None,
) -> str:
    """Makes the store in ``data_dir`` (default: the service's directory) complete and current from tables.

    ``source`` is a directory of Parquet/CSV tables or a mapping of table name to DataFrames (see
    ``TablesDataService``). Without a complete store (or with ``rebuild``) the whole calendar of the
    tables is built by ``GroupPreparedDataBuilder`` into a new store, swapped in for the old one in
    one step. A complete store gets the incremental update the service gives it: the dates from its
    second-to-last stored date to the tables' last date are built and appended by the store's
    ``update_tail``; rows the tables change before that are not read again (use ``rebuild``).

    An index without members in the tables gets an empty membership matrix (the builder alone
    refuses a build without one), so that a universe of that index selects no stock.

    Returns "built", "updated" or "current". ``progress`` shows a progress bar over the files read
    (None: when standard error is a terminal).
    """
    from vantorel.backtest import BacktestService, _service
    from vantorel.backtest._prepare import BinaryPreparedDataStore
    from vantorel.backtest._store import _writer_lock

    store_dir = store_directory(data_dir)
    store_dir.parent.mkdir(parents=True, exist_ok=True)
    with _writer_lock(store_dir), _file_progress(progress, on_file) as seen:
        client = TablesDataService(source, on_file=seen)
        if not client.dates:
            raise ValueError("the bars table has no rows: nothing to prepare a store from")
        store = BinaryPreparedDataStore(store_dir)
        with using_client(client):
            complete = store.metadata_path.exists() and not BacktestService._find_missing_datasets(store)
            if rebuild or not complete:
                payload = _payload(client.dates[0], client.dates[-1], incremental=False, after_read=client.release)
                _build_into(store_dir, payload)
                BacktestService._log_dataset_summary(BinaryPreparedDataStore(store_dir), action="已就绪")
                return "built"
            stored = _close_dates(store)
            start = stored[max(len(stored) - _service.TAIL_RELOAD_ROWS, 0)]
            if start >= client.dates[-1]:
                BacktestService._log_dataset_summary(store, action="已是最新")
                return "current"
            if not store.update_tail(_payload(start, client.dates[-1], incremental=True)):
                raise VantorelError("回测数据增量更新失败:基准缺失或元信息不完整")
            BacktestService._log_dataset_summary(store, action="已更新")
            return "current" if _close_dates(store) == stored else "updated"


def _close_dates(store) -> list:
    return list(store.load_metadata()["datasets"].get("close_price", {}).get("index", []))


def _payload(start: str, end: str, *, incremental: bool, after_read: Callable[[], None] | None = None) -> dict:
    """The builder's payload over [start, end], with an empty membership matrix for an index the tables
    give no member (where the builder's own ``build`` would stop)."""
    from vantorel.backtest._prepare import GroupPreparedDataBuilder

    builder = GroupPreparedDataBuilder(start, end)
    source, masks, benchmarks, names = builder._read_source_data(incremental)
    if after_read is not None:
        after_read()
    labels = source["Close"]
    for name in names:
        if name not in masks:
            masks[name] = builder._empty_like(labels)
    data = builder._build_from_matrices(source)
    del source
    return builder._assemble_payload(data, masks, benchmarks, names, "updated_at" if incremental else "created_at")


def _build_into(store_dir: Path, payload: dict) -> None:
    """The payload written as a store beside ``store_dir`` and swapped in for it; a failure leaves it as
    it was."""
    from vantorel.backtest import _pkg
    from vantorel.backtest._prepare import BinaryPreparedDataStore

    work = Path(tempfile.mkdtemp(prefix=f".{store_dir.name}.tables-", dir=store_dir.parent))
    try:
        staging = work / "store"
        BinaryPreparedDataStore(staging).write(payload)
        del payload
        _pkg._install(staging, store_dir, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


@contextlib.contextmanager
def _file_progress(progress: bool | None, on_file: Callable[[str], None] | None):
    """A callback for each file read: the caller's, and a progress line when asked for."""
    if progress is False:
        yield on_file
        return
    from vantorel.backtest._progress import progress_bar

    with progress_bar("reading table files", total=None, enabled=progress) as bar:

        def seen(name: str) -> None:
            bar.advance(1)
            if on_file is not None:
                on_file(name)

        yield seen
