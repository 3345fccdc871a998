"""What the commands print: rich tables for people, JSON for programs."""

from __future__ import annotations

import json
import math
import sys
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

# Statistics in percentage points are shown as such; the ratios below as percentages; the rest as they are.
_POINTS = frozenset({"annual_return", "benchmark_annual_return", "extra_annual_return"})
_PERCENT = frozenset({"max_dd", "extra_max_dd", "win_rate", "excess_win_rate", "turnover"})


def format_stat(key: str, value: float | None) -> str:
    """A headline statistic of a strategy backtest, as the demo and the command line show it."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "--"
    if key in _POINTS:
        return f"{value:.2f} %"
    if key in _PERCENT:
        return f"{value * 100:.2f} %"
    return f"{value:.3f}"


def number(value: object, fmt: str = ".4f") -> str:
    """A number for a table cell ("--" when missing)."""
    if value is None:
        return "--"
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return str(value)
    return "--" if math.isnan(number) else format(number, fmt)


def table(
    title: str | None, columns: Sequence[str], rows: Iterable[Sequence[object]], *, numeric_from: int = 1,
    header: bool = True,
):
    """A rich table under its title line; the columns from ``numeric_from`` on are right-aligned."""
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    out = Table(show_edge=False, pad_edge=False, show_header=header)
    for i, name in enumerate(columns):
        out.add_column(name, justify="right" if i >= numeric_from else "left", no_wrap=True)
    for row in rows:
        out.add_row(*(str(cell) for cell in row))
    return out if title is None else Group(Text(title, style="bold"), out)


def show(*renderables: object) -> None:
    """Prints to stdout; when stdout is no terminal, lines are never cut or wrapped (paths stay whole)."""
    from rich.console import Console

    console = Console(file=sys.stdout, width=None if sys.stdout.isatty() else 100_000, highlight=False)
    for i, item in enumerate(renderables):
        if i:
            console.print()
        console.print(item)


def plain(value: Any) -> Any:
    """``value`` with NaN and infinities as None and NumPy scalars as Python ones, for JSON."""
    if isinstance(value, Mapping):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [plain(v) for v in value]
    if hasattr(value, "item") and not isinstance(value, str | bytes):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def print_json(value: Any) -> None:
    json.dump(plain(value), sys.stdout, indent=2, ensure_ascii=False, allow_nan=False)
    sys.stdout.write("\n")
