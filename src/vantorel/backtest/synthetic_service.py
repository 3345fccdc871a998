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

Result forms (constructor arguments): ``form="narrow"`` gives one record per
(stock, date, factor) with columns ``ukey``, the date column, the value column
and the factor-name column; ``form="wide"`` one record per (stock, date) with
a column per factor. ``ukey`` is the code with its exchange suffix
("600000.XSHG"). Dates come as datetime64 values (``date_kind="datetime"``),
"YYYY-MM-DD" texts (``"text"``) or YYYYMMDD integers (``"int"``).

``get_index_daily`` answers ``date``, ``ukey`` and ``daily_return`` (or
``close``, an index level, with ``index_value="close"``).

Every call is recorded in ``calls``; ``fail`` (a function of the method name
and its main argument) makes chosen calls raise ``NetworkError``.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any

import numpy as np
import pandas as pd

from vantorel.backtest.synthetic import BENCHMARK_NAMES, COMPONENT_NAMES, SyntheticMarket
from vantorel.exceptions import NetworkError

__all__ = ["INDEX_CODES", "SyntheticDataService", "suffixed_code"]

INDEX_CODES: dict[str, str] = {name: f"{name}.XSHG" for name in BENCHMARK_NAMES}
_INDEX_BASE_LEVEL = 1000.0


def suffixed_code(code: str) -> str:
    """The data service's ukey of a six-digit code: Shanghai codes end in .XSHG, the rest .XSHE."""
    return code + (".XSHG" if code.startswith(("60", "68")) else ".XSHE")


class SyntheticDataService:
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
        if form not in ("narrow", "wide"):
            raise ValueError(f"form must be 'narrow' or 'wide', got {form!r}")
        if date_kind not in ("datetime", "text", "int"):
            raise ValueError(f"date_kind must be 'datetime', 'text' or 'int', got {date_kind!r}")
        if index_value not in ("daily_return", "close"):
            raise ValueError(f"index_value must be 'daily_return' or 'close', got {index_value!r}")
        self.market = market
        self.visible_days = market.n_days if visible_days is None else int(visible_days)
        if not 0 <= self.visible_days <= market.n_days:
            raise ValueError(f"visible_days must lie in [0, {market.n_days}], got {visible_days!r}")
        self.form = form
        self.date_column = date_column
        self.value_column = value_column
        self.factor_column = factor_column
        self.date_kind = date_kind
        self.index_value = index_value
        self.fail = fail
        self.http = http
        self.calls: list[tuple[str, Any, str, str]] = []

        f = market.frames
        self._close = f["close_price"].to_numpy()
        self._listed = np.isfinite(self._close)
        self._trading = np.isfinite(f["buy_price"].to_numpy())
        self._ukeys = np.array([suffixed_code(c) for c in market.codes], dtype=object)
        self._dates = np.array(market.dates)
        stamps = pd.to_datetime(self._dates, format="%Y%m%d")
        self._date_cells = {
            "datetime": stamps.to_numpy(dtype="datetime64[ns]"),
            "text": np.array(list(stamps.strftime("%Y-%m-%d")), dtype=object),
            "int": self._dates.astype(np.int64),
        }
        returns = np.column_stack([market.benchmark_dict[n].to_numpy() for n in BENCHMARK_NAMES])
        self._index_returns = returns
        self._index_levels = _INDEX_BASE_LEVEL * np.cumprod(1.0 + returns, axis=0)

    # ---- calendar ------------------------------------------------------------------------------

    @property
    def dates(self) -> list[str]:
        """The trading dates served so far (YYYYMMDD)."""
        return list(self._dates[: self.visible_days])

    def advance(self, days: int = 1) -> str:
        """Serves ``days`` more trading days and returns the last date now served."""
        if days < 0 or self.visible_days + days > self.market.n_days:
            raise ValueError(f"cannot advance {days} days: {self.market.n_days - self.visible_days} remain")
        self.visible_days += days
        return str(self._dates[self.visible_days - 1])

    # ---- the client interface ------------------------------------------------------------------

    def get_factors(self, factor: str | list[str], start_date: str, end_date: str) -> pd.DataFrame:
        """Factor values over an inclusive date range ("YYYY-MM-DD" or YYYYMMDD)."""
        self._record("get_factors", factor, start_date, end_date)
        names = [factor] if isinstance(factor, str) else list(factor)
        lo, hi = self._rows(start_date, end_date)
        if self.form == "wide":
            return self._wide(names, lo, hi)
        return self._narrow(names, lo, hi)

    def get_index_daily(self, ukeys: Iterable[str], start_date: str, end_date: str) -> pd.DataFrame:
        """Daily rows of the benchmark indices among ``ukeys`` over an inclusive date range."""
        ukeys = list(ukeys)
        self._record("get_index_daily", ukeys, start_date, end_date)
        lo, hi = self._rows(start_date, end_date)
        columns = {"date": [], "ukey": [], self.index_value: []}
        source = self._index_returns if self.index_value == "daily_return" else self._index_levels
        for j, name in enumerate(BENCHMARK_NAMES):
            if INDEX_CODES[name] not in ukeys:
                continue
            columns["date"].append(self._date_cells[self.date_kind][lo:hi])
            columns["ukey"].append(np.array([INDEX_CODES[name]], dtype=object).repeat(hi - lo))
            columns[self.index_value].append(source[lo:hi, j])
        if not columns["date"]:
            return pd.DataFrame({k: [] for k in columns})
        return pd.DataFrame({k: np.concatenate(v) for k, v in columns.items()})

    # ---- helpers -------------------------------------------------------------------------------

    def _record(self, method: str, what: Any, start_date: str, end_date: str) -> None:
        self.calls.append((method, what, start_date, end_date))
        if self.fail is not None and self.fail(method, what):
            raise NetworkError(f"数据服务请求失败: {method}({what!r})")

    def _rows(self, start_date: Any, end_date: Any) -> tuple[int, int]:
        """Row range [lo, hi) of the served dates within the bounds."""
        served = self._dates[: self.visible_days]
        lo = int(np.searchsorted(served, _yyyymmdd(start_date), side="left")) if start_date is not None else 0
        hi = int(np.searchsorted(served, _yyyymmdd(end_date), side="right")) if end_date is not None else len(served)
        return lo, max(lo, hi)

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

    def _narrow(self, names: list[str], lo: int, hi: int) -> pd.DataFrame:
        n_stocks = len(self._ukeys)
        ukey, date, value, factor = [], [], [], []
        for name in names:
            block = self.factor_values(name, lo, hi)
            if block is None:
                continue
            flat = np.flatnonzero(np.isfinite(block))
            day, stock = np.divmod(flat, n_stocks)
            ukey.append(self._ukeys[stock])
            date.append(self._date_cells[self.date_kind][lo + day])
            value.append(block.ravel()[flat])
            factor.append(np.array([name], dtype=object).repeat(flat.size))
        if not ukey:
            return pd.DataFrame(columns=["ukey", self.date_column, self.value_column, self.factor_column])
        return pd.DataFrame(
            {
                "ukey": np.concatenate(ukey),
                self.date_column: np.concatenate(date),
                self.value_column: np.concatenate(value),
                self.factor_column: np.concatenate(factor),
            }
        )

    def _wide(self, names: list[str], lo: int, hi: int) -> pd.DataFrame:
        blocks = {name: self.factor_values(name, lo, hi) for name in names}
        blocks = {name: b for name, b in blocks.items() if b is not None}
        if not blocks:
            return pd.DataFrame(columns=["ukey", self.date_column])
        present = np.zeros(next(iter(blocks.values())).shape, dtype=bool)
        for b in blocks.values():
            present |= np.isfinite(b)
        flat = np.flatnonzero(present)
        day, stock = np.divmod(flat, len(self._ukeys))
        columns = {"ukey": self._ukeys[stock], self.date_column: self._date_cells[self.date_kind][lo + day]}
        for name, b in blocks.items():
            columns[name] = b.ravel()[flat]
        return pd.DataFrame(columns)


def _yyyymmdd(value: Any) -> str:
    text = str(value).strip()
    return text.replace("-", "").replace("/", "")[:8]
