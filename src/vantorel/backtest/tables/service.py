"""The data-service client over researchers' own tables."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from vantorel.backtest._prepare import BENCHMARK_INDEX_CODES
from vantorel.backtest.matrix_service import MatrixDataService

from .market import TablesMarket, read_market

__all__ = ["TablesDataService"]


class TablesDataService(MatrixDataService):
    """Answers the builder's ``get_factors`` and ``get_index_daily`` from daily bars, corporate actions,
    index membership and index levels kept in files or DataFrames.

    ``source`` is a directory of Parquet/CSV files or a mapping of table name ("bars", "actions",
    "membership", "indices") to a DataFrame, a list of them, or file paths. The tables are read and
    checked once, here; a bad table raises ``TableError`` naming the file, the column and the first
    offending rows. ``on_file`` is called with each file's name before it is read.

    Every stock-day with a bars row is listed: membership factors are 1 for members and 0 for the other
    listed stocks; ``rq_is_suspended`` is 1 on rows that traded and 0 on rows flagged suspended, with
    zero volume or without a close. Benchmarks come as daily returns (levels are turned into returns
    over the whole calendar). A benchmark the tables lack is served as a flat index (zero returns,
    with a warning when the tables are read): the statistics need a benchmark on every date, and
    against a flat one the excess figures are the strategy's own.
    """

    def __init__(
        self,
        source: Any,
        *,
        form: str = "wide",
        date_kind: str = "int",
        on_file: Callable[[str], None] | None = None,
        **options: Any,
    ) -> None:
        super().__init__(form=form, date_kind=date_kind, **options)
        self.source = source
        self.market: TablesMarket = read_market(source, on_file)
        self._set_grid(self.market.dates, self.market.codes)
        self.visible_days = len(self.market.dates)
        self._returns = {short: _daily_returns(kind, values) for short, (kind, values) in self.market.indices.items()}

    def factor_values(self, name: str, lo: int = 0, hi: int | None = None) -> np.ndarray | None:
        rows = slice(lo, len(self.market.dates) if hi is None else hi)
        if name in self.market.factors:
            return self.market.factors[name][rows]
        if name in self.market.events:
            return self.market.event_values(name, rows.start, rows.stop)
        if name in self.market.members:
            member = self.market.members[name][rows]
            return np.where(member, 1.0, np.where(self.market.has_row(rows), 0.0, np.nan))
        return None

    def release(self) -> None:
        """Frees the matrices once a full build has read them; the client serves nothing after."""
        self.market.factors.clear()
        self.market.events.clear()
        self.market.members.clear()

    def index_columns(self, ukeys: list[str], lo: int, hi: int) -> dict[str, list[np.ndarray]]:
        served: dict[str, list[np.ndarray]] = {"ukey": [], "daily_return": []}
        for short, ukey in BENCHMARK_INDEX_CODES.items():
            if ukey in ukeys:
                served["ukey"].append(np.array([ukey], dtype=object).repeat(hi - lo))
                returns = self._returns.get(short)
                served["daily_return"].append(np.zeros(hi - lo) if returns is None else returns[lo:hi])
        return served


def _daily_returns(kind: str, values: np.ndarray) -> np.ndarray:
    if kind == "daily_return":
        return values
    out = np.full(values.shape, np.nan)
    with np.errstate(divide="ignore", invalid="ignore"):
        out[1:] = values[1:] / values[:-1] - 1.0
    return out
