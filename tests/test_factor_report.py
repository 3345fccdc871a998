"""The text report and the notebook view of a factor group backtest, on real kernel results."""

from __future__ import annotations

import dataclasses
import re
from html.parser import HTMLParser

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import BacktestResult, BacktestService, synthetic


@pytest.fixture(scope="module")
def market():
    """Over two calendar years, so the report has several years of IC."""
    return synthetic.make_market(n_days=500, n_stocks=60, seed=11)


def _run(core, market, factor, name, **kwargs):
    f = market.frames
    kwargs.setdefault("group_num", 5)
    core_result = core.run_alpha_vwap_backtest_core(
        factor_matrix=factor, close_price_valid=f["close_price_valid"], **market.market_frames(),
        forward_return_rank_cache=f["forward_return_rank_cache"], open_price=f["open_price"],
        plot_image_kind=None, **kwargs)
    return BacktestService._to_public_result(core_result, name)


@pytest.fixture(scope="module")
def result(core, market):
    close = market.adjusted_close()
    return _run(core, market, close / close.shift(5) - 1, "mom5")


def _bare(result) -> BacktestResult:
    """The result as a user builds one from the original fields alone."""
    return BacktestResult(result.factor_name, result.best_group, result.group_daily_return,
                          result.group_cumulative_return, result.rank_ic, result.benchmark_summary)


def _section(report: str, title: str) -> list[str]:
    """The lines under ``title`` up to the next blank line."""
    lines = report.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(title)) + 1
    end = next((i for i in range(start, len(lines)) if not lines[i].strip()), len(lines))
    return lines[start:end]


def _pairs(report: str, title: str) -> dict[str, str]:
    """The figures under ``title``: labels and values alternate, two spaces or more apart."""
    out = {}
    for line in _section(report, title):
        tokens = re.split(r" {2,}", line.strip())
        assert len(tokens) % 2 == 0, line
        out.update(zip(tokens[::2], tokens[1::2], strict=True))
    return out


def _rows(report: str, title: str) -> dict[str, list[str]]:
    """A table's rows by their first cell (the header and the rule skipped; values split on spaces)."""
    return {line.split()[0]: line.split()[1:] for line in _section(report, title)[2:] if not line.startswith("  (")}


def _f(value: float, fmt: str) -> str:
    return format(value, fmt)


def test_report_prints_each_figure_of_the_analytics(result):
    report = result.report()
    assert all(len(line) <= 100 for line in report.splitlines()), report
    assert report.startswith("Factor group backtest: mom5\n")
    daily = result.group_daily_return
    header = _pairs(report, "=")
    assert header == {"period": f"{daily.index[0]} .. {daily.index[-1]} ({len(daily)} dates)", "groups": "5",
                      "best group": str(result.best_group)}

    s = result.ic_summary
    assert _pairs(report, "Rank IC (daily)") == {
        "mean": _f(s["mean"], ".4f"), "std": _f(s["std"], ".4f"), "ICIR": _f(s["icir"], ".3f"),
        "ICIR annual": _f(s["icir_annual"], ".2f"), "t-stat": _f(s["t_stat"], ".2f"),
        "p-value": _f(s["p_value"], ".3g"), "IC > 0": f"{s['positive_share'] * 100:.1f} %",
        "days": str(int(s["days"]))}

    decay = _rows(report, "IC decay")
    assert list(decay) == ["1", "2", "3", "5", "10", "20"]
    for h, row in result.ic_decay.iterrows():
        assert [float(x) for x in decay[str(h)]] == pytest.approx(
            [row["mean_ic"], row["icir"], row["t_stat"], row["days"]], abs=6e-3), h

    years = _rows(report, "Rank IC by year")
    assert len(years) >= 2 and list(years) == [str(y) for y in result.ic_by_year.index]
    for year, row in result.ic_by_year.iterrows():
        assert years[str(year)] == [_f(row["mean"], ".4f"), _f(row["icir"], ".3f"), _f(row["t_stat"], ".2f"),
                                    f"{row['positive_share'] * 100:.1f}", str(int(row["days"]))]

    ls = result.long_short
    assert _pairs(report, "Top minus bottom (group 5 - group 1)") == {
        "annual return": f"{ls.annual_return * 100:.2f} %", "Sharpe": _f(ls.sharpe, ".3f"),
        "max drawdown": f"{ls.max_drawdown * 100:.2f} %", "monotonicity": _f(result.monotonicity, ".3f")}

    turnover = result.mean_group_turnover
    assert _pairs(report, "Stability") == {
        "turnover top (5)": f"{turnover[5] * 100:.1f} %", "turnover bottom (1)": f"{turnover[1] * 100:.1f} %",
        "turnover all groups": f"{turnover.mean() * 100:.1f} %",
        "factor autocorrelation": _f(result.mean_factor_autocorrelation, ".3f")}

    groups = _rows(report, "Groups")
    gfr = result.group_forward_return
    assert list(groups) == ["1", "2", "3", "4", "5"]
    for g in range(1, 6):
        assert groups[str(g)] == [f"{gfr.loc[g, 'annual_return'] * 100:.2f}",
                                  f"{gfr.loc[g, 'annual_forward_return'] * 100:.2f}",
                                  f"{gfr.loc[g, 'trading_gap'] * 100:.2f}", f"{turnover[g] * 100:.1f}"]
    assert "Not in this result" not in report


class _Cells(HTMLParser):
    """The text of every table cell, and the headings."""

    def __init__(self):
        super().__init__()
        self.cells, self.headings, self._into = [], [], None

    def handle_starttag(self, tag, attrs):
        self._into = tag if tag in ("td", "th", "h3", "h4") else None

    def handle_endtag(self, tag):
        self._into = None

    def handle_data(self, data):
        if self._into in ("td", "th"):
            self.cells.append(data)
        elif self._into:
            self.headings.append(data)


def _html(result) -> _Cells:
    parser = _Cells()
    parser.feed(result._repr_html_())
    return parser


def test_html_view_holds_the_report_figures_and_escapes_the_name(result):
    named = dataclasses.replace(result, factor_name="<b>a&b</b>")
    page = named._repr_html_()
    assert "&lt;b&gt;a&amp;b&lt;/b&gt;" in page and "<b>" not in page
    view = _html(named)
    assert view.headings[0] == "Factor group backtest: <b>a&b</b>"
    assert {"Rank IC (daily)", "Rank IC by year", "Stability (means over the dates)"} <= set(view.headings)
    s = result.ic_summary
    for figure in (_f(s["icir"], ".3f"), _f(s["t_stat"], ".2f"), _f(s["p_value"], ".3g"),
                   _f(result.monotonicity, ".3f"), f"{result.long_short.sharpe:.3f}"):
        assert figure in view.cells
    assert {str(y) for y in result.ic_by_year.index} <= set(view.cells)
    # every figure of the text report's tables is in the page
    text = result.report()
    for title in ("IC decay", "Rank IC by year", "Groups"):
        for first, rest in _rows(text, title).items():
            assert {first, *rest} <= set(view.cells), (title, first)


def test_a_result_without_the_analytics_shows_what_it_has(result):
    bare = _bare(result)
    report = bare.report()
    assert "Rank IC (daily)" not in report and "IC decay" not in report and "Stability" not in report
    assert all(len(line) <= 100 for line in report.splitlines()), report
    assert " ".join(report[report.index("Not in this result"):].split()) == (
        "Not in this result: ic_summary, ic_by_year, ic_decay, group_turnover, factor_autocorrelation, "
        "long_short, monotonicity, group_forward_return")
    groups = _rows(report, "Groups")
    annual = bare.group_daily_return.mean() * 252
    assert groups == {str(g): [f"{annual[g] * 100:.2f}"] for g in range(1, 6)}
    view = _html(bare)
    assert view.headings == ["Factor group backtest: mom5", "Groups (annual = mean daily return x 252)"]

    # a user's partial analytics: what is there is shown, the rest is "-"
    partial = dataclasses.replace(bare, ic_summary=pd.Series({"mean": 0.05, "icir": np.nan}), monotonicity=0.5)
    pairs = _pairs(partial.report(), "Rank IC (daily)")
    assert pairs["mean"] == "0.0500" and pairs["ICIR"] == "-" and pairs["days"] == "-"
    assert _pairs(partial.report(), "Top minus bottom")["monotonicity"] == "0.500"
    assert "<table>" in partial._repr_html_()


def test_missing_figures_print_as_a_dash_and_many_groups_are_cut_in_the_text_only(core, market):
    grid = market.frames["close_price"]
    constant = pd.DataFrame(1.0, index=grid.index, columns=grid.columns)
    result = _run(core, market, constant, "flat", group_num=40)
    report = result.report()
    assert "nan" not in report.lower()
    pairs = _pairs(report, "Rank IC (daily)")
    assert pairs["ICIR"] == pairs["t-stat"] == pairs["p-value"] == "-" and pairs["days"] == "0"
    assert all(row[:3] == ["-", "-", "-"] for row in _rows(report, "IC decay").values())
    assert _pairs(report, "Stability")["factor autocorrelation"] == "-"

    groups = _section(report, "Groups")
    shown = [line.split()[0] for line in groups[2:] if not line.startswith("  (")]
    assert shown == [*map(str, range(1, 11)), "...", *map(str, range(31, 41))]
    assert "  (20 middle groups left out)" in groups
    assert {str(g) for g in range(1, 41)} <= set(_html(result).cells)  # the notebook shows them all
