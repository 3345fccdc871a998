"""The store directory a command works on, set for the duration of the command."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from pathlib import Path


@contextlib.contextmanager
def data_dir(path: Path | None) -> Iterator[Path]:
    """Points the service at ``path`` (None: leaves its default) and yields the directory in use.

    The service reads its directory from ``_service._DEFAULT_DATA_DIR`` at every call, so setting
    the attribute redirects every load and preparation inside the block; the old value comes
    back afterwards, whatever happens.
    """
    from vantorel.backtest import _service

    if path is None:
        yield Path(_service._DEFAULT_DATA_DIR)
        return
    previous = _service._DEFAULT_DATA_DIR
    _service._DEFAULT_DATA_DIR = Path(path).expanduser()
    try:
        yield _service._DEFAULT_DATA_DIR
    finally:
        _service._DEFAULT_DATA_DIR = previous
