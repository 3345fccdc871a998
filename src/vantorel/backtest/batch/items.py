"""The items of a batch: what the caller named, checked before anything runs, and one item's backtest."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

__all__ = ["OPTIONS", "Item", "parse_items", "run_item"]

# The keywords of backtest() and backtest_strategy() a batch (or one item of it) may set.
OPTIONS = {
    "factor": ("group_num", "benchmark", "universe", "rolling_window", "ascending", "total_money", "fee", "rule_fee",
               "plot"),
    "strategy": ("benchmark", "rolling_window", "total_money", "fee", "rule_fee", "plot"),
}
_ARGUMENT = {"factor": "factors", "strategy": "strategies"}


@dataclass(frozen=True)
class Item:
    """One backtest of a batch: a table, or a function of the data bundle that computes it, and the
    keyword overrides of this item alone."""

    name: str
    table: pd.DataFrame | Callable[[Any], pd.DataFrame]
    overrides: dict[str, Any] = field(default_factory=dict)


def check_options(kind: str, options: Mapping[str, Any], where: str) -> dict[str, Any]:
    unknown = sorted(set(options) - set(OPTIONS[kind]))
    if unknown:  # Python's own words for a keyword a function does not take
        raise TypeError(f"{where} got an unexpected keyword argument {unknown[0]!r} "
                        f"(options: {', '.join(OPTIONS[kind])})")
    return dict(options)


def parse_items(kind: str, tables: Any) -> list[Item]:
    """The items of ``tables``: name -> table, name -> function of the bundle, or name -> (either, overrides)."""
    argument = _ARGUMENT[kind]
    if not isinstance(tables, Mapping):
        raise TypeError(f"Argument '{argument}' has incorrect type (expected Mapping[str, DataFrame | Callable], "
                        f"got {type(tables).__name__})")
    items = []
    for name, value in tables.items():
        if not isinstance(name, str) or not name.strip() or any(c in name for c in "/\\\0") or name in (".", ".."):
            raise ValueError(f"Argument '{argument}': {name!r} is not a usable name (names a chart file: "
                             "non-empty text without path separators)")
        overrides: Mapping[str, Any] = {}
        if isinstance(value, tuple):
            if len(value) != 2 or not isinstance(value[1], Mapping):
                raise TypeError(f"Argument '{argument}[{name!r}]' has incorrect type (expected a table, a function "
                                f"or a (table, overrides) pair, got a tuple of {len(value)})")
            value, overrides = value
        if not isinstance(value, pd.DataFrame) and not callable(value):
            raise TypeError(f"Argument '{argument}[{name!r}]' has incorrect type (expected pandas.DataFrame or a "
                            f"function of the data bundle, got {type(value).__name__})")
        items.append(Item(name, value, check_options(kind, overrides, f"{argument}[{name!r}]")))
    return items


def run_item(service, kind: str, item: Item, data, start_date, end_date, output_dir, options: Mapping[str, Any]):
    """One item's public result, exactly as the single call gives it (without charts when ``output_dir`` is
    None)."""
    table = item.table(data) if callable(item.table) else item.table
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"Argument '{_ARGUMENT[kind]}[{item.name!r}]' has incorrect type (its function returned "
                        f"{type(table).__name__}, expected pandas.DataFrame)")
    if len(table.index) and (start_date is None or end_date is None):
        # no period given: the item's own first and last dates, as a single call over the table would use
        start_date = table.index.min() if start_date is None else start_date
        end_date = table.index.max() if end_date is None else end_date
    keywords = {**options, **item.overrides}
    if output_dir is None and keywords.get("plot") is not None:
        raise ValueError(f"plot={keywords['plot']!r} draws charts: give an output_dir")
    if kind == "factor":
        if output_dir is None:
            keywords.pop("plot", None)
            return service._backtest_numbers(table, data, start_date, end_date, item.name, **keywords)
        return service.backtest(table, data, start_date, end_date, output_dir, item.name, **keywords)
    if output_dir is None:
        keywords["plot"] = None
    return service.backtest_strategy(table, data, start_date, end_date, output_dir, item.name, **keywords)


def evaluate(kind: str, item: Item, data, start_date, end_date, output_dir, options, keep: bool):
    """(summary row, public result or None) of one item; the service is made here, so that it runs in any
    process."""
    from vantorel.backtest import BacktestService

    from .summary import factor_summary, strategy_summary

    result = run_item(BacktestService(None), kind, item, data, start_date, end_date, output_dir, options)
    summary = factor_summary(result) if kind == "factor" else strategy_summary(result)
    return summary, result if keep else None
