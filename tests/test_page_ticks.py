"""Chart pages' axes copy their first tick rather than build each one: the same ticks, the same
pixels, and each copy its own."""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")

import numpy as np
import pandas as pd
import pytest
from matplotlib import axis as maxis
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.ticker import PercentFormatter
from PIL import Image

from vantorel.backtest import _core, _page_ticks, _weightsim as ws, synthetic
from vantorel.backtest._page_ticks import PageFigure, PageXAxis, PageYAxis

from support.totals import FULL_STATS, make_total

PART_PROPERTIES = {
    "label1": ("text", "position", "fontsize", "fontweight", "color", "visible", "rotation", "ha", "va", "zorder"),
    "label2": ("text", "fontsize", "color", "visible"),
    "tick1line": ("marker", "markersize", "markeredgewidth", "markeredgecolor", "visible", "xydata", "zorder"),
    "tick2line": ("marker", "markersize", "visible"),
    "gridline": ("color", "linewidth", "linestyle", "alpha", "visible", "xydata"),
}


def scene(figure_class):
    """Dates, fixed labelled ticks, restyled ticks, a percent twin, minor ticks and a colour bar."""
    fig = figure_class(figsize=(8, 6), dpi=100, facecolor="white")
    canvas = FigureCanvasAgg(fig)
    dates, bars, image = (fig.add_subplot(2, 2, i) for i in (1, 2, 3))
    days = pd.date_range("2010-01-04", periods=900, freq="B").to_numpy()
    dates.plot(days, np.sin(np.arange(900) / 40.0))
    dates.xaxis.set_major_formatter(matplotlib.dates.ConciseDateFormatter(dates.xaxis.get_major_locator()))
    twin = dates.twinx()
    twin.plot(days, np.cos(np.arange(900) / 30.0))
    twin.yaxis.set_major_formatter(PercentFormatter(1.0))
    dates.grid(True)
    bars.bar(np.arange(14), np.linspace(-1, 2, 14))
    bars.set_xticks(np.arange(14))
    bars.set_xticklabels([f"G{i}" for i in range(14)], fontsize=7, rotation=30)
    bars.tick_params(axis="y", direction="in", labelcolor="#1d4ed8", labelsize=8, length=6)
    bars.minorticks_on()
    shown = image.imshow(np.arange(48.0).reshape(6, 8), aspect="auto")
    fig.colorbar(shown, ax=image)
    canvas.draw()
    return fig, np.asarray(canvas.buffer_rgba()).copy()


def tick_state(fig):
    state = []
    for ax in fig.axes:
        for axis in (ax.xaxis, ax.yaxis):
            for ticks in (axis.majorTicks, axis.minorTicks):
                for tick in ticks:
                    state.append([tick._loc, tick._size, tick._tickdir] + [
                        getattr(getattr(tick, part), f"get_{name}")()
                        for part, names in PART_PROPERTIES.items() for name in names])
    return state


def same(a, b) -> bool:
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return np.array_equal(np.asarray(a), np.asarray(b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    return a == b


def test_page_figures_make_the_ticks_and_pixels_of_plain_figures(monkeypatch):
    built = []
    construct = maxis.Tick.__init__

    def counting(self, *args, **kwargs):
        built.append(self)
        construct(self, *args, **kwargs)

    monkeypatch.setattr(maxis.Tick, "__init__", counting)
    plain, plain_pixels = scene(Figure)
    built_plain = len(built)
    built.clear()
    ours, our_pixels = scene(PageFigure)

    # Every axes (subplots, the twin, the colour bar) copies its ticks, so few are built.
    assert {type(ax.xaxis) for ax in ours.axes} == {PageXAxis}
    assert {type(ax.yaxis) for ax in ours.axes} == {PageYAxis}
    assert len(built) < built_plain / 3

    assert np.array_equal(our_pixels, plain_pixels)
    plain_state, our_state = tick_state(plain), tick_state(ours)
    assert len(our_state) == len(plain_state) > 60
    for ours_tick, plain_tick in zip(our_state, plain_state, strict=True):
        assert same(ours_tick, plain_tick), (ours_tick, plain_tick)


def test_a_copied_tick_is_changed_alone_and_restyled_with_the_rest():
    fig, _ = scene(PageFigure)
    axis = fig.axes[1].xaxis
    first, second, third = axis.majorTicks[:3]
    fired = []
    second.label1.add_callback(lambda artist: fired.append(artist))

    second.label1.set(fontsize=15, color="red")
    second.tick1line.set_markersize(11)
    second.gridline.set_linewidth(4)
    third.label1.set(text="changed")
    assert fired == [second.label1]
    for other in (first, third):
        assert other.label1.get_fontsize() == 7
        assert other.label1.get_color() != "red"
        assert other.tick1line.get_markersize() != 11
        assert other.gridline.get_linewidth() != 4
    assert second.label1.get_text() == "G1"

    # Restyling the axis reaches every tick, copies and ticks made later alike.
    axis.set_tick_params(labelcolor="green", labelsize=9)
    axis.get_major_ticks(20)
    assert {tick.label1.get_color() for tick in axis.majorTicks} == {"green"}
    assert {tick.label1.get_fontsize() for tick in axis.majorTicks} == {9}


@pytest.fixture(scope="module")
def history():
    market = synthetic.make_market(n_days=400, n_stocks=40, seed=3)
    close = market.adjusted_close()
    return make_total(400), market, -(close / close.shift(5) - 1)


@pytest.mark.parametrize("kind", ["large", "long"])
@pytest.mark.parametrize("chart", ["performance", "weekly", "factor"])
def test_chart_pages_are_the_same_pixels_with_copied_ticks(history, chart, kind, tmp_path, monkeypatch):
    total, market, factor = history

    def pages(folder):
        folder.mkdir()
        path = folder / "page.png"
        if chart == "performance":
            ws.plot_strategy_performance(total, dict(FULL_STATS), save_path=path, image_kind=kind)
        elif chart == "weekly":
            ws.plot_weekly_net_value(total, save_path=path, image_kind=kind)
        else:  # the group chart and its analytics page
            _core.run_alpha_vwap_backtest_core(
                factor_matrix=factor, close_price_valid=market.frames["close_price_valid"],
                **market.market_frames(), benchmark_dict=market.benchmark_dict,
                open_price=market.frames["open_price"], group_num=10, plot_image_kind=kind, plot_save_path=path)
        return [np.asarray(Image.open(p)) for p in sorted(folder.glob("*.png"))]

    ours = pages(tmp_path / "copied")
    monkeypatch.setattr(_page_ticks, "use_page_ticks", lambda ax: None)
    built = pages(tmp_path / "built")
    assert len(ours) == len(built) == (2 if chart == "factor" else 1)
    for a, b in zip(ours, built, strict=True):
        assert np.array_equal(a, b)
