"""Every text a chart draws on its saved page, with the box the renderer gives it.

``recorded_pages()`` watches matplotlib's Agg renderer while charts are drawn: each drawing is a
page holding its pixel size and the (text, box) of every non-blank string drawn into it, boxes
in the page's pixels from its bottom-left corner. ``overlaps`` and ``outside`` then say which texts
collide or leave the page. Boxes are the renderer's own extents: axis-aligned, so a text turned by
a quarter turn is boxed exactly.
"""

from __future__ import annotations

import contextlib
from dataclasses import dataclass, field

# Boxes may share an edge, and anti-aliasing spreads a glyph by a pixel.
TOLERANCE_PX = 1.0


@dataclass
class Page:
    width: float = 0.0
    height: float = 0.0
    texts: list[tuple[str, tuple[float, float, float, float]]] = field(default_factory=list)


@contextlib.contextmanager
def recorded_pages():
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.backends.backend_agg import FigureCanvasAgg, RendererAgg

    from vantorel.backtest._page_canvas import PageRenderer

    pages: list[Page] = []
    current: list[Page] = []
    # The charts' own renderer draws text its own way, and the stock one beside it.
    renderers = [RendererAgg, *([PageRenderer] if "draw_text" in vars(PageRenderer) else [])]
    draw_texts = [r.draw_text for r in renderers]
    draw = FigureCanvasAgg.draw

    def recording(draw_text):
        def recording_draw_text(self, gc, x, y, s, prop, angle, ismath=False, mtext=None):
            # The page renderer hands rotated texts to the stock one: each text is recorded once.
            if current and mtext is not None and s.strip() and not getattr(self, "_recording", False):
                box = mtext.get_window_extent(self)
                current[-1].texts.append((s, (box.x0, box.y0, box.x1, box.y1)))
                current[-1].width, current[-1].height = self.width, self.height
            self._recording = True
            try:
                return draw_text(self, gc, x, y, s, prop, angle, ismath, mtext)
            finally:
                self._recording = False
        return recording_draw_text

    # Each drawing of a canvas with pixels is a page; measuring passes draw no text.
    def recording_draw(self):
        current.append(Page())
        try:
            return draw(self)
        finally:
            page = current.pop()
            if page.texts:
                pages.append(page)

    for renderer, draw_text in zip(renderers, draw_texts, strict=True):
        renderer.draw_text = recording(draw_text)
    FigureCanvasAgg.draw = recording_draw
    try:
        yield pages
    finally:
        for renderer, draw_text in zip(renderers, draw_texts, strict=True):
            renderer.draw_text = draw_text
        FigureCanvasAgg.draw = draw


def overlaps(page: Page) -> list[tuple[str, str]]:
    """Pairs of texts whose boxes intersect by more than the tolerance."""
    found = []
    boxes = sorted(page.texts, key=lambda t: t[1][0])
    for i, (a, (ax0, ay0, ax1, ay1)) in enumerate(boxes):
        for b, (bx0, by0, bx1, by1) in boxes[i + 1:]:
            if bx0 >= ax1 - TOLERANCE_PX:
                break  # sorted by left edge: no later box reaches back
            if min(ay1, by1) - max(ay0, by0) > TOLERANCE_PX and min(ax1, bx1) - max(ax0, bx0) > TOLERANCE_PX:
                found.append((a, b))
    return found


def outside(page: Page) -> list[str]:
    """Texts whose boxes leave the page."""
    t = TOLERANCE_PX
    return [s for s, (x0, y0, x1, y1) in page.texts
            if x0 < -t or y0 < -t or x1 > page.width + t or y1 > page.height + t]
