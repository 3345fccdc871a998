"""The synthetic market served as the SDK's data-service client.

``SyntheticDataService`` answers ``get_factors`` and ``get_index_daily`` the
way the data service does, from a ``SyntheticMarket``, over a calendar that
can be extended day by day (``advance``): it serves the first
``visible_days`` trading days of the market, as if the later ones had not
happened yet.

Source factors served, per stock-day (rows only where the value is a number):

=============================  ==============================================
``Close``, ``Open``            close and open prices (close carried over on
                               suspended days, both missing before listing)
``limit_up``, ``limit_down``   the day's price limits
``tick_vwap_price_935_1005``   the buy price; ``tick_vwap_price_925_1000``
                               the sell price
``rq_industry_exposure_new``   the industry code, from the listing day on
``split_coefficient_to``       shares after a split per ten shares (10 x the
                               split factor), on ex days
``rq_get_dividend``            cash per ten shares before the 10 % tax, on ex
                               days
``rq_is_suspended``            1 on days the stock trades normally, 0 on
                               listed but suspended days (the builder's rule
                               makes exactly the days marked 1 tradable)
index-membership factors       1 for members, 0 for other listed stocks
=============================  ==============================================

Result forms, date kinds, ``calls`` and ``fail`` are those of ``MatrixDataService``;
``ukey`` is the code with its exchange suffix ("600000.XSHG").

``get_index_daily`` answers ``date``, ``ukey`` and ``daily_return`` (or
``close``, an index level, with ``index_value="close"``).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from vantorel.backtest.matrix_service import MatrixDataService, suffixed_code
from vantorel.backtest.synthetic import BENCHMARK_NAMES, COMPONENT_NAMES, SyntheticMarket

__all__ = ["INDEX_CODES", "SyntheticDataService", "suffixed_code"]

INDEX_CODES: dict[str, str] = {name: f"{name}.XSHG" for name in BENCHMARK_NAMES}
_INDEX_BASE_LEVEL = 1000.0


class SyntheticDataService(MatrixDataService):
    """A data-service client over a synthetic market (see the module documentation)."""

    def __init__(
        self,
        market: SyntheticMarket,
        *,
        visible_days: int | None = None,
        form: str = "narrow",
        date_column: str = "date",
        value_column: str = "value",
        factor_column: str = "factor",
        date_kind: str = "datetime",
        index_value: str = "daily_return",
        fail: Callable[[str, Any], bool] | None = None,
        http: Any = None,
    ) -> None:
        super().__init__(
            form=form, date_column=date_column, value_column=value_column, factor_column=factor_column,
            date_kind=date_kind, fail=fail, http=http,
        )
        if index_value not in ("daily_return", "close"):
            raise ValueError(f"index_value must be 'daily_return' or 'close', got {index_value!r}")
        self.market = market
        self.visible_days = market.n_days if visible_days is None else int(visible_days)
        if not 0 <= self.visible_days <= market.n_days:
            raise ValueError(f"visible_days must lie in [0, {market.n_days}], got {visible_days!r}")
        self.index_value = index_value
        self._set_grid(market.dates, market.codes)

        f = market.frames
        self._close = f["close_price"].to_numpy()
        self._listed = np.isfinite(self._close)
        self._trading = np.isfinite(f["buy_price"].to_numpy())
        returns = np.column_stack([market.benchmark_dict[n].to_numpy() for n in BENCHMARK_NAMES])
        self._index_returns = returns
        self._index_levels = _INDEX_BASE_LEVEL * np.cumprod(1.0 + returns, axis=0)

    # ---- calendar ------------------------------------------------------------------------------

    def advance(self, days: int = 1) -> str:
        """Serves ``days`` more trading days and returns the last date now served."""
        if days < 0 or self.visible_days + days > self.market.n_days:
            raise ValueError(f"cannot advance {days} days: {self.market.n_days - self.visible_days} remain")
        self.visible_days += days
        return str(self._dates[self.visible_days - 1])

    # ---- what the client serves ---------------------------------------------------------------

    def index_columns(self, ukeys: list[str], lo: int, hi: int) -> dict[str, list[np.ndarray]]:
        source = self._index_returns if self.index_value == "daily_return" else self._index_levels
        served: dict[str, list[np.ndarray]] = {"ukey": [], self.index_value: []}
        for j, name in enumerate(BENCHMARK_NAMES):
            if INDEX_CODES[name] in ukeys:
                served["ukey"].append(np.array([INDEX_CODES[name]], dtype=object).repeat(hi - lo))
                served[self.index_value].append(source[lo:hi, j])
        return served

    def factor_values(self, name: str, lo: int = 0, hi: int | None = None) -> np.ndarray | None:
        """The served values of one factor over rows [lo, hi) (NaN where it has none); None if unknown."""
        hi = self.market.n_days if hi is None else hi
        f = self.market.frames
        rows = slice(lo, hi)
        listed = self._listed[rows]
        plain = {
            "Close": "close_price",
            "Open": "open_price",
            "tick_vwap_price_935_1005": "buy_price",
            "tick_vwap_price_925_1000": "sell_price",
        }
        if name in plain:
            return f[plain[name]].to_numpy()[rows]
        if name == "limit_up":
            return self.market.limit_up.to_numpy()[rows]
        if name == "limit_down":
            return self.market.limit_down.to_numpy()[rows]
        if name == "rq_industry_exposure_new":
            return np.where(listed, f["industry_matrix"].to_numpy()[rows], np.nan)
        if name == "split_coefficient_to":
            return f["rq_get_split"].to_numpy()[rows] * 10.0
        if name == "rq_get_dividend":
            return f["rq_get_dividend"].to_numpy()[rows] * 10.0 / 0.9
        if name == "rq_is_suspended":
            return np.where(self._trading[rows], 1.0, np.where(listed, 0.0, np.nan))
        if name in COMPONENT_NAMES:
            member = np.isfinite(self.market.components[name].to_numpy()[rows])
            return np.where(member, 1.0, np.where(listed, 0.0, np.nan))
        return None
