"""The SDK's data-service client, configured once per process.

The backtest data builder asks for the client at every read through
``get_instance()``; applications (and the embedded demo) configure it with
``set_instance()``. The client offers ``get_factors`` and ``get_index_daily``;
an ``http`` attribute, when present, is the cloud client used to download the
prepared-data package (see ``vantorel.prepare_backtest_data``).
"""

from __future__ import annotations

import threading
from typing import Any

from vantorel.exceptions import VantorelError

__all__ = ["get_instance", "reset_instance", "set_instance"]

_lock = threading.Lock()
_instance: Any = None


def set_instance(client: Any) -> Any:
    """Configure the data-service client and return the one it replaces (None if none was set)."""
    global _instance
    if client is None:
        raise TypeError("Argument 'client' has incorrect type (expected a data-service client, got NoneType)")
    with _lock:
        previous, _instance = _instance, client
    return previous


def reset_instance() -> Any:
    """Forget the configured client and return it (None if none was set)."""
    global _instance
    with _lock:
        previous, _instance = _instance, None
    return previous


def get_instance() -> Any:
    """The configured data-service client.

    Raises VantorelError when none is configured.
    """
    client = _instance
    if client is None:
        raise VantorelError("未配置数据服务客户端,请先调用 vantorel.singleton.set_instance(client)")
    return client
