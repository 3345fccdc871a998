"""The canvas the chart pages are drawn on: Agg, with each plain text laid out and rasterised once.

matplotlib 3.11 and later draw a text glyph by glyph: every glyph is loaded, hinted and blended on
its own, and the string is laid out a second time after it was measured. On a page of some five
hundred short labels that is most of the drawing time. ``PageRenderer`` rasterises a plain
(unrotated, non-math, anti-aliased) string into one bitmap while it measures it, the way earlier
releases drew text, and blends that bitmap when the text is drawn. The glyphs are FreeType's, hinted
the same way; a text may sit up to a pixel from where the glyph-by-glyph path puts it, because its
bitmap is placed on whole pixels. Rotated texts, math, un-antialiased texts and texts asking for
font features or a language take the stock path. On earlier matplotlib releases, whose stock path
already works this way, it changes nothing.

Laying out a text also reads its font's ascent, descent and line gap from the font file's tables,
for every text each time it is measured or drawn; the renderer reads them once for each font.

The bitmaps live with the renderer, which lives with its figure: nothing is kept from one page to
the next.
"""

from __future__ import annotations

import numpy as np
from matplotlib import font_manager
from matplotlib.backends.backend_agg import FigureCanvasAgg, RendererAgg, get_hinting_flag

# The glyph-by-glyph path, and what the one-bitmap path needs from the font and the renderer.
_GLYPH_BY_GLYPH = hasattr(RendererAgg, "_draw_text_glyphs_and_boxes") and all(
    hasattr(RendererAgg, name) for name in ("_prepare_font", "get_text_width_height_descent"))


def _shaped(mtext) -> bool:
    """Whether a text asks for font features or a language, which only the stock path applies."""
    return mtext is not None and bool(
        getattr(mtext, "get_fontfeatures", lambda: None)() or getattr(mtext, "get_language", lambda: None)())


def _font_height_metrics(prop, dpi: float) -> tuple[float | None, float | None, float | None]:
    """A font's ascent, descent and line gap in pixels, from its OS/2 table, else its hhea table,
    as text layout reads them; Nones when it has neither (layout then measures the font instead)."""
    font = font_manager.get_font(font_manager.fontManager._find_fonts_by_props(prop))
    for table_name, gap, ascent, descent in (("OS/2", "sTypoLineGap", "sTypoAscender", "sTypoDescender"),
                                             ("hhea", "lineGap", "ascent", "descent")):
        table = font.get_sfnt_table(table_name)
        if table is None:
            continue
        scale = 1 / font.get_sfnt_table("head")["unitsPerEm"] * prop.get_size_in_points() * dpi / 72
        return table[ascent] * scale, -table[descent] * scale, table[gap] * scale
    return None, None, None


# Text layout asks a renderer having this method for the font heights rather than reading them.
_HEIGHTS_HOOK = _GLYPH_BY_GLYPH and hasattr(font_manager.fontManager, "_find_fonts_by_props")


class PageRenderer(RendererAgg):
    """An Agg renderer that rasterises each plain text once, when it is first measured."""

    def __init__(self, width, height, dpi):
        super().__init__(width, height, dpi)
        # (text, font properties) -> (bitmap, left and top offsets, descent), in pixels
        self._bitmaps: dict[tuple[str, int], tuple[np.ndarray, float, float, float]] = {}
        self._heights: dict[int, tuple[float | None, float | None, float | None]] = {}

    if _HEIGHTS_HOOK:

        def _get_font_height_metrics(self, prop):
            key = hash(prop)
            if key not in self._heights:  # the renderer's resolution is its figure's
                self._heights[key] = _font_height_metrics(prop, self.dpi)
            return self._heights[key]

    if _GLYPH_BY_GLYPH:

        def get_text_width_height_descent(self, s, prop, ismath):
            if ismath:
                return super().get_text_width_height_descent(s, prop, ismath)
            font = self._prepare_font(prop)
            font.set_text(s, 0.0, flags=get_hinting_flag())
            width, height = font.get_width_height()
            descent = font.get_descent() / 64.0
            # The string is laid out now: its pixels cost little more than its size did.
            font.draw_glyphs_to_bitmap(antialiased=True)
            left, top = font.get_bitmap_offset()
            self._bitmaps[s, hash(prop)] = (np.asarray(font.get_image()), left / 64.0, top / 64.0, descent)
            return width / 64.0, height / 64.0, descent

        def draw_text(self, gc, x, y, s, prop, angle, ismath=False, mtext=None):
            if ismath or angle or not gc.get_antialiased() or _shaped(mtext):
                return super().draw_text(gc, x, y, s, prop, angle, ismath, mtext)
            key = s, hash(prop)
            if key not in self._bitmaps:
                self.get_text_width_height_descent(s, prop, False)
            image, left, top, descent = self._bitmaps[key]
            # The bitmap's bottom-left corner on whole pixels; y runs down from the top.
            self._renderer.draw_text_image(image, round(x + left), round(y + top + descent) + 1, 0, gc)
            return None


class PageCanvas(FigureCanvasAgg):
    """An Agg canvas drawing with `PageRenderer`."""

    def get_renderer(self):
        width, height = self.get_width_height(physical=True)
        key = width, height, self.figure.dpi
        if self._lastKey != key:
            self.renderer = PageRenderer(width, height, self.figure.dpi)
            self._lastKey = key
        return self.renderer
