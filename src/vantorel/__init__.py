"""vantorel: quantitative-research toolkit for China A-shares."""

from __future__ import annotations

from importlib import metadata
from typing import Any

# The version is written once, in pyproject.toml, and read from the installed distribution.
try:
    __version__ = metadata.version("vantorel-backtest")
except metadata.PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["prepare_backtest_data"]


def prepare_backtest_data(http: Any = None) -> None:
    """Makes the local backtest data complete and current (see BacktestService.prepare_backtest_data).

    The package download goes through ``http`` when given, else through the
    ``http`` attribute of the data-service client configured with
    ``vantorel.singleton.set_instance`` (the SDK client carries its cloud
    client there); the incremental update reads that data-service client.
    """
    from vantorel.backtest import BacktestService
    from vantorel.singleton import get_instance

    if http is None:
        http = getattr(get_instance(), "http", None)
    BacktestService(http).prepare_backtest_data()
