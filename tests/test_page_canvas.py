"""The chart pages' canvas and table cells draw the picture stock matplotlib draws, texts at most a
pixel apart."""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from vantorel.backtest._page_canvas import PageCanvas


def page(canvas_class):
    """A small figure of plain, bold, multi-line, rotated, math and un-antialiased texts, one string
    at two sizes."""
    fig = Figure(figsize=(6, 4), dpi=145, facecolor="white")
    canvas = canvas_class(fig)
    ax = fig.add_subplot()
    ax.plot([0, 1, 2], [0.0, 0.4, 0.1])
    ax.set_title("Cumulative Return")
    ax.set_ylabel("Drawdown")
    at = {"transform": ax.transAxes}
    ax.text(0.1, 0.8, "Strategy\nReturn", fontsize=8.4, fontweight="bold", **at)
    ax.text(0.1, 0.5, "12.34%", fontsize=9.4, color="#1d4ed8", **at)
    ax.text(0.6, 0.5, "2024", rotation=45, **at)
    ax.text(0.6, 0.2, r"$\alpha^2$", **at)
    ax.text(0.3, 0.2, "-0.51", antialiased=False, **at)
    ax.text(0.3, 0.65, "Excess", fontsize=8, **at)
    ax.text(0.6, 0.8, "Excess", fontsize=13, fontweight="bold", **at)
    canvas.draw()  # the second drawing finds every text measured already, as after a layout pass
    canvas.draw()
    pixels = np.asarray(canvas.buffer_rgba())[..., :3].astype(int).copy()
    renderer = canvas.get_renderer()
    boxes = [(t.get_text(), t.get_window_extent(renderer)) for t in fig.findobj(matplotlib.text.Text)
             if t.get_text() and t.get_visible()]
    return pixels, boxes, fig.bbox.height


def ink_box(pixels: np.ndarray, box, height: float) -> tuple[int, int, int, int] | None:
    """The bounding box of the pixels darker than the background inside a text's box (+2 px)."""
    x0, x1 = int(box.x0) - 2, int(np.ceil(box.x1)) + 2
    y0, y1 = int(height - box.y1) - 2, int(np.ceil(height - box.y0)) + 2
    region = pixels[max(y0, 0):y1, max(x0, 0):x1].min(axis=2) < 200
    rows, cols = np.nonzero(region)
    if rows.size == 0:
        return None
    return cols.min() + x0, rows.min() + y0, cols.max() + x0, rows.max() + y0


def test_texts_land_where_the_stock_canvas_puts_them():
    stock, stock_boxes, height = page(FigureCanvasAgg)
    ours, our_boxes, _ = page(PageCanvas)

    # The same extents, so layouts built on them are the same.
    assert [text for text, _ in our_boxes] == [text for text, _ in stock_boxes]
    for (text, box), (_, ours_box) in zip(stock_boxes, our_boxes, strict=True):
        assert np.allclose(ours_box.bounds, box.bounds), text

    # Ink lands within a pixel of the stock placement, text by text.
    for text, box in stock_boxes:
        a, b = ink_box(stock, box, height), ink_box(ours, box, height)
        assert (a is None) == (b is None), text
        if a is not None:
            assert max(abs(p - q) for p, q in zip(a, b, strict=True)) <= 1, (text, a, b)

    # Nothing but plain texts may differ: outside their boxes the pages are the same pixels, and
    # rotated, math and un-antialiased texts are drawn by the stock path.
    outside = np.ones(stock.shape[:2], dtype=bool)
    for text, box in stock_boxes:
        if text in ("2024", r"$\alpha^2$", "-0.51", "Drawdown"):
            continue
        outside[max(int(height - box.y1) - 2, 0):int(np.ceil(height - box.y0)) + 2,
                max(int(box.x0) - 2, 0):int(np.ceil(box.x1)) + 2] = False
    assert np.array_equal(stock[outside], ours[outside])


def test_page_cells_keep_the_extents_and_pixels_of_table_cells():
    from vantorel.backtest._page_table import PageCell, use_page_cells

    def table_page(page_cells: bool):
        fig = Figure(figsize=(5, 3), dpi=145, facecolor="white")
        canvas = FigureCanvasAgg(fig)
        ax = fig.add_subplot()
        table = ax.table(cellText=[["2024", "12.34%"], ["2025", "-3.10%"]], colLabels=["Year", "Return"],
                         loc="center", colWidths=[0.3, 0.5])
        table.auto_set_font_size(False)
        table.set_fontsize(9)
        table.scale(1.0, 1.6)
        if page_cells:
            use_page_cells(table)
        canvas.draw()
        renderer = canvas.get_renderer()
        extents = {key: cell.get_window_extent(renderer).bounds for key, cell in table.get_celld().items()}
        kinds = {type(cell) for cell in table.get_celld().values()}
        return extents, kinds, np.asarray(canvas.buffer_rgba()).copy()

    plain, plain_kinds, plain_pixels = table_page(False)
    ours, our_kinds, our_pixels = table_page(True)
    assert our_kinds == {PageCell} and PageCell not in plain_kinds
    assert plain.keys() == ours.keys()
    for key in plain:
        assert np.allclose(ours[key], plain[key]), key
    assert np.array_equal(our_pixels, plain_pixels)
