"""The demo's data preparation: the whole readiness job on the embedded synthetic market.

``prepared_home`` runs, in a private temporary home directory (never the
user's own ~/.vantorel), what a user's first days look like:

1. the synthetic market is served as the data-service client, with its last
   ``advance`` trading days held back;
2. a prepared-data package is built from it by GroupPreparedDataBuilder and
   served over HTTP on 127.0.0.1;
3. ``vantorel.prepare_backtest_data()`` downloads and unpacks the package;
4. the synthetic calendar moves on by ``advance`` days and
   ``prepare_backtest_data()`` appends them incrementally.

It yields the market and a BacktestService on that home; the home, the server
and the configured client go away when the block ends.
"""

from __future__ import annotations

import contextlib
import logging
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import vantorel
from vantorel import singleton
from vantorel.backtest import BacktestService, _service, synthetic
from vantorel.backtest.package_server import PackageServer, build_package
from vantorel.backtest.synthetic_service import SyntheticDataService

__all__ = ["prepared_home"]


@contextlib.contextmanager
def prepared_home(
    n_days: int, n_stocks: int, *, advance: int = 5, seed: int = 0, say: Callable[[str], None] = print
) -> Iterator[tuple[synthetic.SyntheticMarket, BacktestService]]:
    """(market, service) on a private home prepared by download, then by an incremental update."""
    logger = logging.getLogger("vantorel")
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("%(message)s"))
    level = logger.level
    logger.addHandler(handler)  # the readiness summary is logged; show it as plain lines
    logger.setLevel(logging.INFO)

    def step(text: str, started: float) -> None:
        say(f"-- {text} ({time.perf_counter() - started:.1f} s)\n")

    previous = singleton.reset_instance()
    old_dir = _service._DEFAULT_DATA_DIR
    try:
        started = time.perf_counter()
        market = synthetic.make_market(n_days=n_days + advance, n_stocks=n_stocks, seed=seed)
        client = SyntheticDataService(market, visible_days=n_days)
        say(f"Synthetic market: {market.n_days} trading days ({market.dates[0]} to {market.dates[-1]}), "
            f"{n_stocks} stocks; the data service serves the first {n_days} days")
        package = build_package(client, market.dates[0], market.dates[n_days - 1])
        step(f"Package built from the data service by GroupPreparedDataBuilder: {len(package) / 1e6:.1f} MB "
             "(tar.gz)", started)

        with tempfile.TemporaryDirectory(prefix="vantorel-demo-") as home, PackageServer(package) as server:
            # The service reads its data directory from the module at call time.
            _service._DEFAULT_DATA_DIR = Path(home) / ".vantorel" / "backtest_data" / "enviroment_data"
            client.http = server.client()
            singleton.set_instance(client)
            say(f"Package served at {server.url}; private home {home}\n")

            started = time.perf_counter()
            vantorel.prepare_backtest_data()
            step("prepare_backtest_data(): no local data, package downloaded and unpacked", started)

            last = client.advance(advance)
            say(f"The synthetic calendar moves on by {advance} trading days, to {last}\n")
            started = time.perf_counter()
            vantorel.prepare_backtest_data()
            step(f"prepare_backtest_data(): {advance} new days fetched, derived and appended", started)

            yield market, BacktestService(http=client.http)
    finally:
        _service._DEFAULT_DATA_DIR = old_dir
        singleton.reset_instance()
        if previous is not None:
            singleton.set_instance(previous)
        logger.removeHandler(handler)
        logger.setLevel(level)
