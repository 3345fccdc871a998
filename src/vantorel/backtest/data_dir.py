"""The store directory the service reads and prepares, chosen for a block of work.

The service reads its directory from ``_service._DEFAULT_DATA_DIR`` at every call, so setting that
attribute redirects every load and preparation inside the block; the old value comes back
afterwards, whatever happens. The attribute is process-wide: use one directory at a time.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from pathlib import Path

__all__ = ["store_directory", "using_data_dir"]


def store_directory(data_dir: str | Path | None = None) -> Path:
    """``data_dir`` (with ``~`` expanded), else the service's current directory."""
    from vantorel.backtest import _service

    return Path(_service._DEFAULT_DATA_DIR) if data_dir is None else Path(data_dir).expanduser()


@contextlib.contextmanager
def using_data_dir(data_dir: str | Path | None) -> Iterator[Path]:
    """The service works on ``data_dir`` (None: its current directory) while the block runs."""
    from vantorel.backtest import _service

    previous = _service._DEFAULT_DATA_DIR
    _service._DEFAULT_DATA_DIR = store_directory(data_dir)
    try:
        yield _service._DEFAULT_DATA_DIR
    finally:
        _service._DEFAULT_DATA_DIR = previous
