"""The summary of a factor group backtest, as plain text for a terminal and as HTML for notebooks.

Both views are drawn from one list of sections, so they always show the same figures. A result
built without the analytics (only its seven original fields) shows what it has: the period, the
groups and their annual returns, and a line naming the analytics it lacks.

Conventions: ratios (rank IC, ICIR, t, p, Sharpe, correlations) are printed as they are, p to
three significant digits; returns, drawdowns, turnover and shares in percent, the column or label
saying so. Annual figures are the mean daily return x 252. A missing figure (None or NaN) prints
as "-".
"""

from __future__ import annotations

import html
import math
import textwrap
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

TRADING_DAYS = 252
MISSING = "-"
WIDTH = 100
# The text lists every group up to this many; beyond it the first and last EDGE_GROUPS.
TEXT_GROUP_ROWS = 30
EDGE_GROUPS = 10

ANALYTICS = ("ic_summary", "ic_by_year", "ic_decay", "group_turnover", "factor_autocorrelation", "long_short",
             "monotonicity", "group_forward_return")


@dataclass
class _Pairs:
    title: str
    pairs: list[tuple[str, str]]


@dataclass
class _Table:
    title: str
    columns: list[str]
    rows: list[list[str]]
    notes: list[str] = field(default_factory=list)


# ---- numbers ---------------------------------------------------------------------------------------


def _float(value) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        return math.nan


def num(value, fmt: str = ".4f") -> str:
    """A figure as text, "-" when it is missing."""
    x = _float(value)
    if math.isnan(x):
        return MISSING
    out = format(x, fmt)
    return out[1:] if out.startswith("-") and not out.strip("-0.") else out  # no "-0.0000"


def pct(value, digits: int = 2) -> str:
    """A ratio in percent (without the sign: labels carry it), "-" when it is missing."""
    return num(_float(value) * 100, f".{digits}f")


def count(value) -> str:
    x = _float(value)
    return MISSING if math.isnan(x) else str(int(x))


def _get(table, key):
    """``table[key]`` of a Series (or a frame's column), NaN when it has no such entry."""
    if table is None:
        return math.nan
    try:
        return table[key]
    except (KeyError, IndexError, TypeError):
        return math.nan


def _date(value) -> str:
    if isinstance(value, pd.Timestamp):
        return value.strftime("%Y-%m-%d")
    return str(value)


def _group_number(value) -> int | None:
    x = _float(value)
    return int(x) if math.isfinite(x) and x >= 1 else None


def _is_frame(value) -> bool:
    return isinstance(value, pd.DataFrame)


def _is_series(value) -> bool:
    return isinstance(value, pd.Series)


# ---- the sections ------------------------------------------------------------------------------------


def _groups(result) -> list:
    daily = result.group_daily_return
    return list(daily.columns) if _is_frame(daily) else []


def _header(result) -> _Pairs:
    daily = result.group_daily_return
    index = daily.index if _is_frame(daily) else []
    period = f"{_date(index[0])} .. {_date(index[-1])} ({len(index)} dates)" if len(index) else MISSING
    groups = _groups(result)
    best = _group_number(result.best_group)
    return _Pairs("", [
        ("period", period),
        ("groups", str(len(groups)) if groups else MISSING),
        ("best group", MISSING if best is None else str(best)),
    ])


def _ic_summary(result) -> _Pairs | None:
    s = result.ic_summary
    if not _is_series(s):
        return None
    return _Pairs("Rank IC (daily)", [
        ("mean", num(_get(s, "mean"))),
        ("std", num(_get(s, "std"))),
        ("ICIR", num(_get(s, "icir"), ".3f")),
        ("ICIR annual", num(_get(s, "icir_annual"), ".2f")),
        ("t-stat", num(_get(s, "t_stat"), ".2f")),
        ("p-value", num(_get(s, "p_value"), ".3g")),
        ("IC > 0", _with_percent(pct(_get(s, "positive_share"), 1))),
        ("days", count(_get(s, "days"))),
    ])


def _ic_decay(result) -> _Table | None:
    d = result.ic_decay
    if not _is_frame(d):
        return None
    rows = [[str(h), num(_get(row, "mean_ic")), num(_get(row, "icir"), ".3f"), num(_get(row, "t_stat"), ".2f"),
             count(_get(row, "days"))] for h, row in d.iterrows()]
    return _Table("IC decay (rank IC against the return over h days from the next open)",
                  ["horizon", "mean IC", "ICIR", "t-stat", "days"], rows)


def _ic_by_year(result) -> _Table | None:
    y = result.ic_by_year
    if not _is_frame(y):
        return None
    rows = [[str(year), num(_get(row, "mean")), num(_get(row, "icir"), ".3f"), num(_get(row, "t_stat"), ".2f"),
             pct(_get(row, "positive_share"), 1), count(_get(row, "days"))] for year, row in y.iterrows()]
    return _Table("Rank IC by year", ["year", "mean", "ICIR", "t-stat", "IC > 0 %", "days"], rows)


def _long_short(result) -> _Pairs | None:
    ls = result.long_short
    mono = _float(result.monotonicity)
    if ls is None and math.isnan(mono):
        return None
    groups = _groups(result)
    title = f"Top minus bottom (group {groups[-1]} - group {groups[0]})" if groups else "Top minus bottom"
    pairs = []
    if ls is not None:
        pairs += [
            ("annual return", _with_percent(pct(getattr(ls, "annual_return", math.nan)))),
            ("Sharpe", num(getattr(ls, "sharpe", math.nan), ".3f")),
            ("max drawdown", _with_percent(pct(getattr(ls, "max_drawdown", math.nan)))),
        ]
    pairs.append(("monotonicity", num(mono, ".3f")))
    return _Pairs(title, pairs)


def _stability(result) -> _Pairs | None:
    turnover = result.mean_group_turnover if _is_frame(result.group_turnover) else None
    autocorr = result.factor_autocorrelation
    if turnover is None and not _is_series(autocorr):
        return None
    pairs = []
    if turnover is not None and len(turnover):
        top, bottom = turnover.index.max(), turnover.index.min()
        pairs += [
            (f"turnover top ({top})", _with_percent(pct(turnover[top], 1))),
            (f"turnover bottom ({bottom})", _with_percent(pct(turnover[bottom], 1))),
            ("turnover all groups", _with_percent(pct(turnover.mean(), 1))),
        ]
    if _is_series(autocorr):
        pairs.append(("factor autocorrelation", num(result.mean_factor_autocorrelation, ".3f")))
    return _Pairs("Stability (means over the dates)", pairs)


def _group_table(result, *, limit: int | None) -> _Table | None:
    groups = _groups(result)
    if not groups:
        return None
    forward = result.group_forward_return if _is_frame(result.group_forward_return) else None
    turnover = result.mean_group_turnover if _is_frame(result.group_turnover) else None
    if forward is not None and "annual_return" in forward:
        traded = forward["annual_return"]
    else:
        with np.errstate(invalid="ignore", over="ignore"):  # +inf and -inf days: NaN
            traded = result.group_daily_return.mean() * TRADING_DAYS
    columns = ["group", "traded annual %"]
    if forward is not None:
        columns += ["forward annual %", "gap %"]
    if turnover is not None:
        columns.append("turnover %")
    rows = []
    for g in groups:
        row = [str(g), pct(_get(traded, g))]
        if forward is not None:
            f = forward.loc[g] if g in forward.index else pd.Series(dtype="float64")
            row += [pct(_get(f, "annual_forward_return")), pct(_get(f, "trading_gap"))]
        if turnover is not None:
            row.append(pct(_get(turnover, g), 1))
        rows.append(row)
    notes = []
    if limit is not None and len(rows) > limit:
        hidden = len(rows) - 2 * EDGE_GROUPS
        rows = [*rows[:EDGE_GROUPS], ["..."] + [""] * (len(columns) - 1), *rows[-EDGE_GROUPS:]]
        notes.append(f"{hidden} middle groups left out")
    if forward is not None:
        notes.append("forward: the members' mean next-day return x 252; gap: forward minus traded")
    return _Table("Groups (annual = mean daily return x 252)", columns, rows, notes)


def _missing(result) -> list[str]:
    absent = [name for name in ANALYTICS if getattr(result, name, None) is None]
    if math.isnan(_float(getattr(result, "monotonicity", math.nan))) and result.long_short is None:
        absent.append("monotonicity")
    return sorted(set(absent), key=ANALYTICS.index)


def sections(result, *, group_limit: int | None = None) -> list:
    out = [_header(result), _ic_summary(result), _ic_decay(result), _ic_by_year(result), _long_short(result),
           _stability(result), _group_table(result, limit=group_limit)]
    return [s for s in out if s is not None]


def _with_percent(text: str) -> str:
    return text if text == MISSING else f"{text} %"


# ---- text --------------------------------------------------------------------------------------------


def _text_pairs(section: _Pairs) -> list[str]:
    if not section.pairs:
        return []
    label = max(len(k) for k, _ in section.pairs)
    value = max(len(v) for _, v in section.pairs)
    cell = label + 2 + value
    per_line = max(1, min(len(section.pairs), (WIDTH - 2 + 4) // (cell + 4)))
    if not section.title:  # the header: one figure a line, values left-aligned
        return [f"{k.ljust(label)}  {v}" for k, v in section.pairs]
    lines = []
    for i in range(0, len(section.pairs), per_line):
        chunk = section.pairs[i:i + per_line]
        lines.append("  " + "    ".join(f"{k.ljust(label)}  {v.rjust(value)}" for k, v in chunk).rstrip())
    return lines


def _text_table(section: _Table) -> list[str]:
    widths = [max(len(c), *(len(r[i]) for r in section.rows)) if section.rows else len(c)
              for i, c in enumerate(section.columns)]

    def line(cells):
        first = cells[0].ljust(widths[0])
        rest = [cell.rjust(w) for cell, w in zip(cells[1:], widths[1:], strict=True)]
        return ("  " + "  ".join([first, *rest])).rstrip()

    lines = [line(section.columns), "  " + "  ".join("-" * w for w in widths)]
    lines += [line(row) for row in section.rows]
    if not section.rows:
        lines.append("  (none)")
    lines += [f"  ({note})" for note in section.notes]
    return lines


def text(result) -> str:
    title = f"Factor group backtest: {result.factor_name}"
    lines = [title, "=" * min(len(title), WIDTH)]
    for section in sections(result, group_limit=TEXT_GROUP_ROWS):
        if section.title:
            lines += ["", section.title]
        lines += _text_pairs(section) if isinstance(section, _Pairs) else _text_table(section)
    absent = _missing(result)
    if absent:
        lines += ["", *textwrap.wrap("Not in this result: " + ", ".join(absent), WIDTH)]
    return "\n".join(lines) + "\n"


# ---- HTML --------------------------------------------------------------------------------------------

_RIGHT = ' style="text-align:right"'


def _html_pairs(section: _Pairs) -> str:
    rows = "".join(f"<tr><th style=\"text-align:left\">{html.escape(k)}</th><td{_RIGHT}>{html.escape(v)}</td></tr>"
                   for k, v in section.pairs)
    return f"<table>{rows}</table>"


def _html_table(section: _Table) -> str:
    def cells(tag, values):
        return "".join(f"<{tag}{'' if i == 0 else _RIGHT}>{html.escape(v)}</{tag}>" for i, v in enumerate(values))

    head = f"<thead><tr>{cells('th', section.columns)}</tr></thead>"
    body = "".join(f"<tr>{cells('td', row)}</tr>" for row in section.rows)
    notes = "".join(f"<p><small>{html.escape(note)}</small></p>" for note in section.notes)
    return f"<table>{head}<tbody>{body}</tbody></table>{notes}"


def html_report(result) -> str:
    parts = [f"<h3>Factor group backtest: {html.escape(str(result.factor_name))}</h3>"]
    for section in sections(result):
        if section.title:
            parts.append(f"<h4>{html.escape(section.title)}</h4>")
        parts.append(_html_pairs(section) if isinstance(section, _Pairs) else _html_table(section))
    absent = _missing(result)
    if absent:
        parts.append(f"<p>Not in this result: {html.escape(', '.join(absent))}</p>")
    return '<div class="vantorel-factor-report">' + "".join(parts) + "</div>"
