"""A data-service client over dense date x stock matrices.

``MatrixDataService`` answers ``get_factors`` and ``get_index_daily`` the way
the SDK's data service does, from matrices held in memory: a subclass supplies
the calendar, the stocks and ``factor_values`` (one factor over a range of
days, NaN where it has no record). The synthetic market and researchers' own
tables are both served through it.

Result forms (constructor arguments): ``form="narrow"`` gives one record per
(stock, date, factor) with columns ``ukey``, the date column, the value column
and the factor-name column; ``form="wide"`` one record per (stock, date) with
a column per factor. Dates come as datetime64 values (``date_kind="datetime"``),
"YYYY-MM-DD" texts (``"text"``) or YYYYMMDD integers (``"int"``).

Every call is recorded in ``calls``; ``fail`` (a function of the method name
and its main argument) makes chosen calls raise ``NetworkError``.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any

import numpy as np
import pandas as pd

from vantorel.exceptions import NetworkError

__all__ = ["MatrixDataService", "suffixed_code"]


def suffixed_code(code: str) -> str:
    """The data service's ukey of a six-digit code: Shanghai codes end in .XSHG, Beijing codes in .BJ,
    the rest in .XSHE."""
    if code.startswith(("60", "68", "90")):
        return code + ".XSHG"
    if code.startswith(("4", "8", "92")):
        return code + ".BJ"
    return code + ".XSHE"


class MatrixDataService:
    """The data-service interface over matrices; subclasses call ``_set_grid`` and define ``factor_values``."""

    def __init__(
        self,
        *,
        form: str = "narrow",
        date_column: str = "date",
        value_column: str = "value",
        factor_column: str = "factor",
        date_kind: str = "datetime",
        fail: Callable[[str, Any], bool] | None = None,
        http: Any = None,
    ) -> None:
        if form not in ("narrow", "wide"):
            raise ValueError(f"form must be 'narrow' or 'wide', got {form!r}")
        if date_kind not in ("datetime", "text", "int"):
            raise ValueError(f"date_kind must be 'datetime', 'text' or 'int', got {date_kind!r}")
        self.form = form
        self.date_column = date_column
        self.value_column = value_column
        self.factor_column = factor_column
        self.date_kind = date_kind
        self.fail = fail
        self.http = http
        self.calls: list[tuple[str, Any, Any, Any]] = []
        self.visible_days = 0

    def _set_grid(self, dates: Iterable[str], codes: Iterable[str]) -> None:
        """The calendar (ascending YYYYMMDD texts) and the stocks (six-digit codes) of the matrices."""
        self._dates = np.array(list(dates), dtype=object)
        self._ukeys = np.array([suffixed_code(c) for c in codes], dtype=object)
        stamps = pd.to_datetime(pd.Index(self._dates, dtype=object), format="%Y%m%d")
        self._date_cells = {
            "datetime": stamps.to_numpy(dtype="datetime64[ns]"),
            "text": np.array(list(stamps.strftime("%Y-%m-%d")), dtype=object),
            "int": self._dates.astype(np.int64) if len(self._dates) else np.zeros(0, np.int64),
        }

    # ---- what a subclass provides --------------------------------------------------------------

    def factor_values(self, name: str, lo: int = 0, hi: int | None = None) -> np.ndarray | None:
        """The served values of one factor over day rows [lo, hi) (NaN where it has none); None if unknown."""
        raise NotImplementedError

    def index_columns(self, ukeys: list[str], lo: int, hi: int) -> dict[str, list[np.ndarray]] | None:
        """Per index among ``ukeys``: {"ukey": [...], value column: [...]} arrays over rows [lo, hi)."""
        raise NotImplementedError

    # ---- the client interface ------------------------------------------------------------------

    @property
    def dates(self) -> list[str]:
        """The trading dates served so far (YYYYMMDD)."""
        return list(self._dates[: self.visible_days])

    def get_factors(self, factor: str | list[str], start_date: str, end_date: str) -> pd.DataFrame:
        """Factor values over an inclusive date range ("YYYY-MM-DD" or YYYYMMDD)."""
        self._record("get_factors", factor, start_date, end_date)
        names = [factor] if isinstance(factor, str) else list(factor)
        lo, hi = self._rows(start_date, end_date)
        if self.form == "wide":
            return self._wide(names, lo, hi)
        return self._narrow(names, lo, hi)

    def get_index_daily(self, ukeys: Iterable[str], start_date: str, end_date: str) -> pd.DataFrame:
        """Daily rows of the indices among ``ukeys`` over an inclusive date range."""
        ukeys = list(ukeys)
        self._record("get_index_daily", ukeys, start_date, end_date)
        lo, hi = self._rows(start_date, end_date)
        served = self.index_columns(ukeys, lo, hi)
        value = next((k for k in served if k != "ukey"), "daily_return")
        if not served.get("ukey"):
            return pd.DataFrame({"date": [], "ukey": [], value: []})
        dates = self._date_cells[self.date_kind][lo:hi]
        columns = {"date": _objects(np.concatenate([dates] * len(served["ukey"])))}
        columns.update({k: _objects(np.concatenate(v)) for k, v in served.items()})
        return pd.DataFrame(columns)

    # ---- helpers -------------------------------------------------------------------------------

    def _record(self, method: str, what: Any, start_date: Any, end_date: Any) -> None:
        self.calls.append((method, what, start_date, end_date))
        if self.fail is not None and self.fail(method, what):
            raise NetworkError(f"数据服务请求失败: {method}({what!r})")

    def _rows(self, start_date: Any, end_date: Any) -> tuple[int, int]:
        """Row range [lo, hi) of the served dates within the bounds."""
        served = self._dates[: self.visible_days].astype(str)
        lo = int(np.searchsorted(served, _yyyymmdd(start_date), side="left")) if start_date is not None else 0
        hi = int(np.searchsorted(served, _yyyymmdd(end_date), side="right")) if end_date is not None else len(served)
        return lo, max(lo, hi)

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
                "ukey": _objects(np.concatenate(ukey)),
                self.date_column: _objects(np.concatenate(date)),
                self.value_column: np.concatenate(value),
                self.factor_column: _objects(np.concatenate(factor)),
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
        dates = self._date_cells[self.date_kind][lo + day]
        columns = {"ukey": _objects(self._ukeys[stock]), self.date_column: _objects(dates)}
        for name, b in blocks.items():
            columns[name] = b.ravel()[flat]
        return pd.DataFrame(columns)


def _objects(values: np.ndarray) -> pd.Series:
    """A column of the array's own dtype: text cells stay Python objects (no conversion to the frame
    library's string type), so the builder reads each distinct object once."""
    return pd.Series(values, dtype=values.dtype, copy=False)


def _yyyymmdd(value: Any) -> str:
    text = str(value).strip()
    return text.replace("-", "").replace("/", "")[:8]
