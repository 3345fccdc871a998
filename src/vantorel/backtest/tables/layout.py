"""The table layout: which tables, which columns, and the other names a column is known by.

Column names are matched without regard to case, spaces, hyphens and underscores, so "Prev Close",
"prev_close" and "PREV-CLOSE" are one column. The first name of each column is the one written by
``export_tables``.
"""

from __future__ import annotations

from dataclasses import dataclass

__all__ = ["ACTIONS", "BARS", "INDICES", "LAYOUTS", "MEMBERSHIP", "Layout", "match_columns"]


@dataclass(frozen=True)
class Layout:
    """One table: its file names and, per canonical column, the names it may be given."""

    name: str
    file_names: tuple[str, ...]
    columns: dict[str, tuple[str, ...]]
    labels: tuple[str, ...]  # columns read as labels (dates, codes), never as numbers
    numbers: tuple[str, ...]  # columns that must hold numbers
    required: tuple[str, ...]  # columns every file of the table must have


BARS = Layout(
    name="bars",
    file_names=("bars", "daily_bars", "daily"),
    columns={
        "date": ("trade_date", "datetime", "datadate", "day"),
        "code": ("ts_code", "symbol", "ukey", "stock_code", "sec_code", "order_book_id", "ticker"),
        "open": (),
        "close": (),
        "prev_close": ("pre_close", "preclose", "previous_close"),
        "buy_vwap": ("buy_price",),
        "sell_vwap": ("sell_price",),
        "vwap": ("avg_price", "average_price"),
        "amount": ("turnover_value", "money"),
        "volume": ("vol",),
        "limit_up": ("up_limit", "high_limit", "upper_limit"),
        "limit_down": ("down_limit", "low_limit", "lower_limit"),
        "suspended": ("is_suspended", "paused", "halted"),
        "industry": ("industry_code",),
        "is_st": ("st",),
        "list_date": ("listing_date", "ipo_date"),
    },
    labels=("date", "code", "list_date", "industry"),
    numbers=("open", "close", "prev_close", "buy_vwap", "sell_vwap", "vwap", "amount", "volume", "limit_up",
             "limit_down"),
    required=("date", "code", "open", "close"),
)

ACTIONS = Layout(
    name="actions",
    file_names=("actions", "corporate_actions"),
    columns={
        "ex_date": ("date", "ex_dividend_date", "exdate"),
        "code": BARS.columns["code"],
        "split_ratio": ("split", "split_factor"),
        "cash_dividend": ("dividend", "cash_div", "dividend_per_share"),
    },
    labels=("ex_date", "code"),
    numbers=("split_ratio", "cash_dividend"),
    required=("ex_date", "code"),
)

MEMBERSHIP = Layout(
    name="membership",
    file_names=("membership", "index_membership", "members"),
    columns={
        "index": ("index_code", "index_id"),
        "code": ("member", "con_code", "stock", *BARS.columns["code"]),
        "date": BARS.columns["date"],
        "in_date": ("start_date", "entry_date"),
        "out_date": ("end_date", "exit_date"),
    },
    labels=("index", "code", "date", "in_date", "out_date"),
    numbers=(),
    required=("index", "code"),
)

INDICES = Layout(
    name="indices",
    file_names=("indices", "index_daily", "benchmarks"),
    columns={
        "date": BARS.columns["date"],
        "index": ("index_code", "ukey", "code", "ts_code", "symbol"),
        "daily_return": ("return", "returns", "pct_change", "change_rate"),
        "close": ("level",),
    },
    labels=("date", "index"),
    numbers=("daily_return", "close"),
    required=("date", "index"),
)

LAYOUTS = {layout.name: layout for layout in (BARS, ACTIONS, MEMBERSHIP, INDICES)}


def _key(name: object) -> str:
    return "".join(ch for ch in str(name).lower() if ch not in " _-")


def match_columns(layout: Layout, names) -> dict[str, str]:
    """Canonical column -> the table's own column name, for the columns the table has.

    A canonical name wins over an alias when a table has both.
    """
    by_key: dict[str, str] = {}
    for name in names:
        by_key.setdefault(_key(name), name)
    found: dict[str, str] = {}
    for canonical, aliases in layout.columns.items():
        for candidate in (canonical, *aliases):
            if _key(candidate) in by_key and by_key[_key(candidate)] not in found.values():
                found[canonical] = by_key[_key(candidate)]
                break
    return found
