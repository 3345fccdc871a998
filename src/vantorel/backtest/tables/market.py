"""Researchers' tables checked and laid out as date x stock matrices, the form the data service is served from.

The calendar is the distinct dates of the daily bars and the stocks their distinct codes. A stock-day
without a row, or with a row flagged suspended or with zero volume, is suspended.
"""

from __future__ import annotations

import logging
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from vantorel.backtest._prepare import BENCHMARK_INDEX_CODES, COMPONENT_FACTOR_NAMES

from .actions import dividend_per_ten, split_per_ten
from .codes import normalise_index_code
from .columns import code_column, date_column, flag_column, number_column
from .layout import ACTIONS, BARS, INDICES, MEMBERSHIP
from .limits import limit_prices
from .reading import Table, TableError, read_table

__all__ = ["TablesMarket", "index_code_of", "read_market"]

logger = logging.getLogger("vantorel")

# the data service's names of the source factors, by what they are in the bars table
FACTOR_OF = {
    "close": "Close",
    "open": "Open",
    "buy": "tick_vwap_price_935_1005",
    "sell": "tick_vwap_price_925_1000",
    "limit_up": "limit_up",
    "limit_down": "limit_down",
    "industry": "rq_industry_exposure_new",
    "trading": "rq_is_suspended",  # 1 on trading days, 0 on suspended rows
    "split": "split_coefficient_to",
    "dividend": "rq_get_dividend",
}


def index_code_of(component_name: str) -> str:
    """The six-digit index code of a membership factor name ("rq_index_components_new_000300.XSHG")."""
    return component_name.rsplit("_", 1)[-1].split(".")[0]


@dataclass
class TablesMarket:
    """Dense matrices over (calendar date, stock): served factor values with NaN where there is no record."""

    dates: list[str]
    codes: list[str]
    factors: dict[str, np.ndarray] = field(default_factory=dict)
    members: dict[str, np.ndarray] = field(default_factory=dict)  # component name -> bool matrix
    indices: dict[str, tuple[str, np.ndarray]] = field(default_factory=dict)  # short name -> (kind, values)
    # corporate actions are few: (flat cell, served value) pairs per factor, made dense on request
    events: dict[str, tuple[np.ndarray, np.ndarray]] = field(default_factory=dict)

    @property
    def shape(self) -> tuple[int, int]:
        return len(self.dates), len(self.codes)

    def has_row(self, rows: slice) -> np.ndarray:
        """The bars table has a row for the stock-day (every row is served a suspension value)."""
        return np.isfinite(self.factors[FACTOR_OF["trading"]][rows])

    def event_values(self, name: str, lo: int, hi: int) -> np.ndarray:
        cells, values = self.events[name]
        n_codes = len(self.codes)
        out = np.full((hi - lo) * n_codes, np.nan)
        inside = (cells >= lo * n_codes) & (cells < hi * n_codes)
        out[cells[inside] - lo * n_codes] = values[inside]
        return out.reshape(hi - lo, n_codes)


def read_market(source, on_file: Callable[[str], None] | None = None) -> TablesMarket:
    """All tables of ``source`` read, checked and laid out (see the package documentation)."""
    bars = read_table(source, BARS, on_file)
    if bars is None:
        raise TableError(
            "source has no bars table: a daily-bars table is required (bars.parquet or bars.csv in a directory, "
            "or a 'bars' DataFrame)"
        )
    if len(bars) == 0:
        raise TableError(f"bars table ({', '.join(bars.sources)}): no rows")
    market = _bars(bars)
    del bars
    actions = read_table(source, ACTIONS, on_file)
    if actions is not None:
        _actions(actions, market)
    membership = read_table(source, MEMBERSHIP, on_file)
    _membership(membership, market)
    indices = read_table(source, INDICES, on_file)
    _indices(indices, market)
    return market


# ---- daily bars -----------------------------------------------------------------------------------


def _grid(table: Table, date_name: str, dates: list[str], codes: list[str]) -> tuple[np.ndarray, np.ndarray]:
    """Positions of the table's rows in the market's calendar and stocks; -1 where they fall outside."""
    day = date_column(table, date_name)
    calendar = np.array(dates, dtype=np.int64)
    d = np.searchsorted(calendar, day)
    d_ok = (d < len(calendar)) & (calendar[np.minimum(d, len(calendar) - 1)] == day)
    code_pos, table_codes = code_column(table, "code")
    where = {c: i for i, c in enumerate(codes)}
    mapped = np.array([where.get(c, -1) for c in table_codes], dtype=np.int64)
    s = mapped[code_pos] if len(code_pos) else np.zeros(0, np.int64)
    return np.where(d_ok, d, -1), s


def _bars(table: Table) -> TablesMarket:
    """The bars as matrices. Each column is dropped from the table once it is read, so that reading
    20 million rows holds little more than the table itself."""
    frame = table.frame
    day = date_column(table, "date")
    code_pos, codes = code_column(table, "code")
    calendar = np.sort(pd.unique(day))
    n_days, n_codes = len(calendar), len(codes)
    cell = np.searchsorted(calendar, day) * n_codes + code_pos
    duplicated = np.bincount(cell, minlength=n_days * n_codes)[cell] > 1
    if duplicated.any():
        order = np.flatnonzero(duplicated)
        order = order[np.lexsort((order, cell[order]))]
        table.fail(None, order, "duplicate (date, code)")
    del duplicated

    market = TablesMarket([str(d) for d in calendar], codes)

    def take(column: str, price: bool = True) -> np.ndarray | None:
        if column not in frame:
            return None
        values = number_column(table, column, price=price)
        del frame[column]
        return values

    def keep(what: str, values: np.ndarray) -> None:
        matrix = np.full(n_days * n_codes, np.nan)
        matrix[cell] = values
        market.factors[FACTOR_OF[what]] = matrix.reshape(n_days, n_codes)

    close = take("close")
    keep("close", close)
    keep("open", take("open"))
    if "industry" in frame:
        keep("industry", _industry(table))

    volume = take("volume", price=False)
    amount = take("amount", price=False)
    for name, values in (("volume", volume), ("amount", amount)):
        if values is not None and (values < 0).any():
            table.fail(name, values < 0, "is negative", lambda r, v=values: v[r])
    buy, sell = _execution_prices(table, close, take("buy_vwap"), take("sell_vwap"), take("vwap"), amount, volume)
    keep("buy", buy)
    keep("sell", sell)
    del buy, sell, amount

    trading = np.ones(len(table), dtype=np.float64)
    if "suspended" in frame:
        trading[flag_column(table, "suspended")] = 0.0
    if volume is not None:
        trading[volume == 0] = 0.0
    trading[np.isnan(close)] = 0.0  # a row without a close did not trade
    keep("trading", trading)
    del trading, volume, close

    up, down = _limits(table, take("limit_up"), take("limit_down"), take("prev_close"), day, codes, code_pos,
                       calendar)
    above = up < down
    if above.any():
        table.fail("limit_down", above, "is above limit_up", lambda r: (down[r], up[r]))
    keep("limit_up", up)
    keep("limit_down", down)
    return market


def _first_of(*columns: np.ndarray | None) -> np.ndarray | None:
    out = None
    for c in columns:
        if c is None:
            continue
        out = c.copy() if out is None else np.where(np.isnan(out), c, out)
    return out


def _execution_prices(table: Table, close: np.ndarray, buy_vwap, sell_vwap, vwap, amount, volume
                      ) -> tuple[np.ndarray, np.ndarray]:
    """Buy and sell VWAPs: each side's own column, else the one daily VWAP, else amount / volume; a table
    with only one side's column uses it for both."""
    traded = None
    if amount is not None and volume is not None:
        with np.errstate(divide="ignore", invalid="ignore"):
            traded = np.where(volume > 0, amount / volume, np.nan)
            ratio = traded / close
        ratio = ratio[np.isfinite(ratio)]
        if ratio.size and not 0.5 <= float(np.median(ratio)) <= 2.0:
            raise TableError(
                f"bars table ({', '.join(table.sources)}): amount / volume is {float(np.median(ratio)):.4g} "
                "times the close on the median row: give amount in yuan and volume in shares"
            )
    common = _first_of(vwap, traded)
    buy = _first_of(buy_vwap, common, None if buy_vwap is not None else sell_vwap)
    sell = _first_of(sell_vwap, common, None if sell_vwap is not None else buy_vwap)
    if buy is None or sell is None:
        raise TableError(
            f"bars table ({', '.join(table.sources)}): no execution price: give columns buy_vwap and sell_vwap, "
            "or one vwap, or amount and volume"
        )
    return buy, sell


def _limits(table: Table, up, down, prev_close, day: np.ndarray, codes: list[str], code_pos: np.ndarray,
            calendar: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The table's limit columns; a missing column is derived from the previous close by the board's rule."""
    if up is not None and down is not None:
        return up, down
    if prev_close is None:
        raise TableError(
            f"bars table ({', '.join(table.sources)}): without limit_up and limit_down columns the limits are "
            "derived from the previous close: a prev_close column is required"
        )
    frame = table.frame
    row_codes = np.array(codes, dtype=object)[code_pos]
    is_st = flag_column(table, "is_st") if "is_st" in frame else None
    if "list_date" in frame:
        listed = date_column(table, "list_date", optional=True)
        list_dates = np.where(listed > 0, listed.astype(str), "")
    else:
        # a stock whose first row comes after the tables' first date is taken as listed on that row
        first = pd.Series(day).groupby(code_pos).transform("min").to_numpy()
        list_dates = np.where(first > calendar[0], first.astype(str), "")
    derived = limit_prices(day.astype(str), row_codes, prev_close, is_st=is_st, list_dates=list_dates,
                           calendar=calendar.astype(str))
    return (derived["limit_up"].to_numpy() if up is None else up,
            derived["limit_down"].to_numpy() if down is None else down)


def _industry(table: Table) -> np.ndarray:
    """Numeric industry codes as they are; names numbered 1, 2, ... in sorted order."""
    series = table.frame["industry"]
    if pd.api.types.is_numeric_dtype(series.dtype) and not pd.api.types.is_bool_dtype(series.dtype):
        return number_column(table, "industry")
    as_numbers = pd.to_numeric(series.astype(object), errors="coerce")
    if (as_numbers.notna() | series.isna()).all():
        values = as_numbers.to_numpy(dtype=np.float64, na_value=np.nan)
        if np.isinf(values).any():
            table.fail("industry", np.isinf(values), "is not a finite number")
        return values
    positions, uniques = pd.factorize(series.astype(str).where(series.notna()), sort=True, use_na_sentinel=True)
    logger.info("industry names numbered in sorted order: %s", ", ".join(f"{i + 1}={u}" for i, u in enumerate(uniques)))
    return np.where(positions >= 0, positions + 1.0, np.nan)


# ---- corporate actions ----------------------------------------------------------------------------


def _actions(table: Table, market: TablesMarket) -> None:
    d, s = _grid(table, "ex_date", market.dates, market.codes)
    keep = (d >= 0) & (s >= 0)
    if (~keep).any():
        logger.warning("actions table: %d rows whose date or code the bars table lacks are left out: %s",
                       int((~keep).sum()),
                       table.where(~keep))
    n_days, n_codes = market.shape
    cell = d[keep] * n_codes + s[keep]
    if np.unique(cell).size != cell.size:
        dup_cells = pd.Series(cell).duplicated(keep=False).to_numpy()
        table.fail(None, np.flatnonzero(keep)[dup_cells], "duplicate (ex_date, code)")
    for column, name, to_service in (("split_ratio", "split", split_per_ten),
                                     ("cash_dividend", "dividend", dividend_per_ten)):
        if column not in table.frame:
            continue
        values = number_column(table, column)
        bad = (values < 0) | ((values == 0) & (column == "split_ratio"))
        if bad.any():
            table.fail(column, bad, "is not positive" if column == "split_ratio" else "is negative",
                       lambda r, c=column: table.frame[c].iloc[r])
        market.events[FACTOR_OF[name]] = (cell, to_service(values[keep]))


# ---- index membership -----------------------------------------------------------------------------


def _index_codes(table: Table) -> np.ndarray:
    positions, uniques = pd.factorize(table.frame["index"], use_na_sentinel=True)
    normal = np.array([normalise_index_code(u) or "" for u in np.asarray(uniques, dtype=object)] + [""], dtype=object)
    codes = normal[positions]
    if (codes == "").any():
        table.fail("index", codes == "", "is not an index code", lambda r: table.frame["index"].iloc[r])
    return codes


def _membership(table: Table | None, market: TablesMarket) -> None:
    n_days, n_codes = market.shape
    wanted = {index_code_of(name): name for name in COMPONENT_FACTOR_NAMES}
    for name in COMPONENT_FACTOR_NAMES:
        market.members[name] = np.zeros((n_days, n_codes), dtype=bool)
    if table is None:
        logger.warning("no membership table: indices %s have no members", ", ".join(wanted))
        return
    index = _index_codes(table)
    code_pos, table_codes = code_column(table, "code")
    where = {c: i for i, c in enumerate(market.codes)}
    stock = np.array([where.get(c, -1) for c in table_codes], dtype=np.int64)[code_pos]
    calendar = np.array(market.dates, dtype=np.int64)
    if "date" in table.frame:
        day = date_column(table, "date")
        d = np.searchsorted(calendar, day)
        on_day = (d < n_days) & (calendar[np.minimum(d, n_days - 1)] == day)
        first, last = np.where(on_day, d, n_days), np.where(on_day, d + 1, n_days)
    elif "in_date" in table.frame:
        start = date_column(table, "in_date")
        end = date_column(table, "out_date", optional=True) if "out_date" in table.frame else np.full(len(table), -1)
        inverted = (end > 0) & (end < start)
        if inverted.any():
            table.fail("out_date", inverted, "is before in_date")
        # a member from in_date until the day before out_date (an empty out_date: still a member)
        first = np.searchsorted(calendar, start)
        last = np.where(end > 0, np.searchsorted(calendar, end), n_days)
    else:
        raise TableError(
            f"membership table ({', '.join(table.sources)}): give a date column (one row per date and member) "
            "or in_date and out_date columns (one row per membership)"
        )
    for code, name in wanted.items():
        rows = (index == code) & (stock >= 0) & (first < last)
        if not rows.any():
            logger.warning("membership table: index %s has no members on the bars' dates", code)
            continue
        # +1 at each start, -1 at each end, summed down the days: members where the count is positive
        counts = np.zeros((n_days + 1, n_codes), dtype=np.int32)
        np.add.at(counts, (first[rows], stock[rows]), 1)
        np.add.at(counts, (last[rows], stock[rows]), -1)
        market.members[name] = np.cumsum(counts[:-1], axis=0) > 0


# ---- index levels and returns ---------------------------------------------------------------------


def _indices(table: Table | None, market: TablesMarket) -> None:
    n_days = len(market.dates)
    if table is None:
        logger.warning("no indices table: benchmarks %s are served as flat indices (zero returns)",
                       ", ".join(BENCHMARK_INDEX_CODES))
        return
    kind = "daily_return" if "daily_return" in table.frame else "close" if "close" in table.frame else None
    if kind is None:
        raise TableError(f"indices table ({', '.join(table.sources)}): give a daily_return or a close column")
    values = number_column(table, kind, price=kind == "close")
    index = _index_codes(table)
    day = date_column(table, "date")
    calendar = np.array(market.dates, dtype=np.int64)
    d = np.searchsorted(calendar, day)
    on_day = (d < n_days) & (calendar[np.minimum(d, n_days - 1)] == day)
    for short in BENCHMARK_INDEX_CODES:
        rows = on_day & (index == short)
        if not rows.any():
            logger.warning("indices table: benchmark %s has no rows on the bars' dates: served as a flat index", short)
            continue
        duplicated = pd.Series(d[rows]).duplicated(keep=False).to_numpy()
        if duplicated.any():
            table.fail(None, np.flatnonzero(rows)[duplicated], f"duplicate (date, index) for {short}")
        series = np.full(n_days, np.nan)
        series[d[rows]] = values[rows]
        market.indices[short] = (kind, series)
