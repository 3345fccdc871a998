"""Every chart reads cleanly: no text over another, none cut by the page's edge.

Each chart is drawn in both layouts on a two-month and on a sixteen-year history (with a long
name in the title), and the renderer's own extents of every text drawn are checked.
"""

from __future__ import annotations

import pytest
from test_charts import captured_figures

from vantorel.backtest import _core, _weightsim as ws, synthetic

from support.chart_text import outside, overlaps, recorded_pages
from support.totals import FULL_STATS, make_total

LONG_NAME = "momentum_20d_industry_neutral_top_decile_monthly_rebalance"
HISTORIES = {"two months": 42, "sixteen years": 4000}


@pytest.fixture(scope="module", params=list(HISTORIES))
def history(request):
    days = HISTORIES[request.param]
    market = synthetic.make_market(n_days=days, n_stocks=60, seed=2)
    close = market.adjusted_close()
    return make_total(days), market, -(close / close.shift(5) - 1)


def draw(chart, kind, history, path):
    total, market, factor = history
    if chart == "performance":
        ws.plot_strategy_performance(total, dict(FULL_STATS), strategy_name=LONG_NAME, save_path=path,
                                     image_kind=kind)
    elif chart == "weekly":
        ws.plot_weekly_net_value(total, strategy_name=LONG_NAME, save_path=path, image_kind=kind)
    else:  # the group chart and its analytics page
        f = market.frames
        _core.run_alpha_vwap_backtest_core(
            factor_matrix=factor, close_price_valid=f["close_price_valid"], **market.market_frames(),
            benchmark_dict=market.benchmark_dict, open_price=f["open_price"], group_num=20,
            plot_image_kind=kind, plot_save_path=path, factor_name=LONG_NAME)


@pytest.mark.parametrize("kind", ["large", "long"])
@pytest.mark.parametrize("chart", ["performance", "weekly", "factor"])
def test_no_text_overlaps_another_or_leaves_the_page(chart, kind, history, tmp_path):
    with recorded_pages() as pages:
        draw(chart, kind, history, tmp_path / f"{chart}.png")
    assert len(pages) == (2 if chart == "factor" else 1)
    for page in pages:
        assert len(page.texts) > 40  # the recorder saw the chart's texts
        assert overlaps(page) == []
        assert outside(page) == []


def test_the_rolling_panels_twin_draws_no_second_grid(history, tmp_path):
    with captured_figures() as figures:
        draw("performance", "large", history, tmp_path / "p.png")
    (fig,) = figures
    (rolling,) = [ax for ax in fig.axes if ax.get_title() == "Rolling Excess Stability"]
    twins = [ax for ax in fig.axes if ax is not rolling and ax.bbox.bounds == rolling.bbox.bounds]
    if len(rolling.lines) > 1:  # the short history may not fill a window
        assert twins and all(not line.get_visible() for twin in twins for line in twin.get_ygridlines())
        assert any(line.get_visible() for line in rolling.get_ygridlines())


@pytest.mark.parametrize("kind", ["large", "long"])
def test_a_title_clears_an_axis_offset_text(kind, tmp_path):
    # Net values that move in the seventh decimal: the net value axis shows its ticks as an offset
    # ("1e-7+1") placed above the panel, under the panel's title.
    total = make_total(300)
    for column in ("long", "close_net_value"):
        total[column] = 1.0 + (total[column] - 1.0) * 1e-6
    total["extra_return"] *= 1e-6
    with recorded_pages() as pages:
        ws.plot_weekly_net_value(total, save_path=tmp_path / "w.png", image_kind=kind)
    page = pages[-1]  # the page as saved
    assert any("e-7" in text for text, _ in page.texts)
    assert overlaps(page) == []
    assert outside(page) == []


@pytest.mark.parametrize("kind", ["large", "long"])
def test_long_tick_labels_keep_the_axis_labels_on_the_page(kind, tmp_path):
    # Returns moving in the fifth decimal of a percent: tick labels like "0.00040%" are wider than
    # the tall layout's fixed margin leaves room for beside the "Return" label.
    total = make_total(600)
    for column in ("daily_return", "extra_daily_return", "extra_return"):
        total[column] *= 1e-5
    for column in ("long", "close_net_value"):
        total[column] = 1.0 + (total[column] - 1.0) * 1e-5
    with recorded_pages() as pages:
        ws.plot_strategy_performance(total, dict(FULL_STATS), save_path=tmp_path / "p.png", image_kind=kind)
    page = pages[-1]  # the page as saved
    assert any(text.endswith("0%") and len(text) >= 8 for text, _ in page.texts)
    assert {"Return", "Excess Return"} <= {text for text, _ in page.texts}
    assert overlaps(page) == []
    assert outside(page) == []
