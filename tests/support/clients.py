"""Data-service clients for the builder tests: scripted answers, recorded calls, chosen failures."""

from __future__ import annotations

from typing import Any

import pandas as pd
import pytest

from vantorel import singleton
from vantorel.exceptions import NetworkError


def long_table(records, *, date="date", value="value", factor="factor") -> pd.DataFrame:
    """A long query result from (ukey, date, value[, factor]) tuples."""
    columns = ["ukey", date, value] + ([factor] if records and len(records[0]) == 4 else [])
    return pd.DataFrame.from_records(records, columns=columns)


class ScriptedClient:
    """Answers single factor queries from ``factors``, list queries with ``batch`` (a table, or a
    function of the names), index queries with ``index``. Names in ``fail`` (or "batch", "index")
    raise NetworkError. Every call is recorded in ``calls``."""

    def __init__(self, factors=None, batch=None, index=None, fail=()) -> None:
        self.factors: dict[str, Any] = dict(factors or {})
        self.batch = batch
        self.index = index
        self.fail = set(fail)
        self.calls: list[tuple] = []

    def get_factors(self, factor, start_date, end_date):
        single = isinstance(factor, str)
        self.calls.append(("get_factors", factor if single else tuple(factor), start_date, end_date))
        key = factor if single else "batch"
        if key in self.fail:
            raise NetworkError(f"scripted failure: {key}")
        if single:
            return self.factors.get(factor)
        return self.batch(list(factor)) if callable(self.batch) else self.batch

    def get_index_daily(self, ukeys, start_date, end_date):
        self.calls.append(("get_index_daily", tuple(ukeys), start_date, end_date))
        if "index" in self.fail:
            raise NetworkError("scripted failure: index")
        return self.index

    def queried(self) -> list:
        """The factor argument of every get_factors call, in order."""
        return [c[1] for c in self.calls if c[0] == "get_factors"]


@pytest.fixture
def use_client(monkeypatch):
    """Configures a data-service client for one test: ``use_client(client)``."""

    def install(client):
        monkeypatch.setattr(singleton, "_instance", client)
        return client

    yield install
