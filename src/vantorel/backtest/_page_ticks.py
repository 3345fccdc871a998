"""Figures whose axes make each new tick as a copy of their first one.

matplotlib builds every tick from scratch: two tick marks, a grid line and two labels, each with
its marker, font and transforms set up from the style, and then copies the first tick's properties
onto it (its markers deep-copied). That is a third of a millisecond a tick, a sixth of a tall page
with some hundred and sixty ticks. A tick built that way is the first tick with its own location and
label text, which the axis sets right after; ``PageFigure``'s axes copy the first tick instead,
giving each copy its own mutable parts (callbacks, font, path) so that changing one tick leaves the
others alone. Only the plain x and y axes do this; the pictures are the same pixels.
"""

from __future__ import annotations

import copy

from matplotlib import cbook
from matplotlib.axis import XAxis, YAxis
from matplotlib.figure import Figure

_TICK_PARTS = ("tick1line", "tick2line", "gridline", "label1", "label2")


def _copy_artist(artist):
    """A copy of an artist sharing only what its setters replace rather than change in place."""
    copied = artist.__class__.__new__(artist.__class__)
    state = {key: list(value) if type(value) is list else value for key, value in artist.__dict__.items()}
    state["_callbacks"] = cbook.CallbackRegistry(signals=["pchanged"])
    font = state.get("_fontproperties")
    if font is not None:
        state["_fontproperties"] = font.copy()  # sizes and weights are set on it in place
    path = state.get("_path")
    if path is not None:
        state["_path"] = copy.copy(path)
    sticky = state.get("_sticky_edges")
    if sticky is not None:
        state["_sticky_edges"] = type(sticky)(list(sticky.x), list(sticky.y))
    copied.__dict__ = state
    return copied


def _copy_tick(tick):
    copied = _copy_artist(tick)
    for part in _TICK_PARTS:
        setattr(copied, part, _copy_artist(getattr(tick, part)))
    return copied


class _CopiedTicks:
    """An axis whose ticks after the first are copies of the first."""

    def _get_tick(self, major):
        ticks = self.__dict__.get("majorTicks" if major else "minorTicks")
        if not ticks:  # the first tick, built from the style
            return super()._get_tick(major)
        tick = _copy_tick(ticks[0])
        self._page_copied = (ticks[0], tick)
        return tick

    def _copy_tick_props(self, src, dest):
        copied = self.__dict__.pop("_page_copied", None)
        if copied is not None and copied[0] is src and copied[1] is dest:
            return  # a copy of src has its properties already
        super()._copy_tick_props(src, dest)


class PageXAxis(_CopiedTicks, XAxis):
    """An x axis making its ticks as copies of its first one."""


class PageYAxis(_CopiedTicks, YAxis):
    """A y axis making its ticks as copies of its first one."""


_PAGE_AXIS = {XAxis: PageXAxis, YAxis: PageYAxis}


def use_page_ticks(ax) -> None:
    """Turns an axes' plain x and y axes into ones making their ticks by copying, in place."""
    for axis in (getattr(ax, "xaxis", None), getattr(ax, "yaxis", None)):
        page_class = _PAGE_AXIS.get(type(axis))
        if page_class is not None:
            axis.__class__ = page_class  # the same attributes; only new ticks are made faster


class PageFigure(Figure):
    """A figure whose axes, however added (subplots, twins, colour bars), copy their ticks."""

    def add_axes(self, *args, **kwargs):
        ax = super().add_axes(*args, **kwargs)
        use_page_ticks(ax)
        return ax

    def add_subplot(self, *args, **kwargs):
        ax = super().add_subplot(*args, **kwargs)
        use_page_ticks(ax)
        return ax
