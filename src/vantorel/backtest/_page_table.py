"""Table cells that find their place on the page from their four corners.

A table cell is an axis-aligned rectangle, so the box around its transformed corners is its extent
on the page. matplotlib finds it by building the cell's outline path and walking it, twice for
each cell each time a table is drawn; on a sixteen-year yearly table that is a sixth of the page.
"""

from __future__ import annotations

import numpy as np
from matplotlib.table import Cell
from matplotlib.transforms import Bbox

_CORNERS = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]])


class PageCell(Cell):
    """A table cell whose extent is the box of its transformed corners."""

    def get_window_extent(self, renderer=None):
        corners = self.get_transform().transform(_CORNERS)
        return Bbox([corners.min(axis=0), corners.max(axis=0)])


def use_page_cells(table) -> None:
    """Turns the plain cells of a matplotlib table into `PageCell`s, in place."""
    for cell in table.get_celld().values():
        if type(cell) is Cell:
            try:
                cell.__class__ = PageCell  # the same attributes; only the extent is found faster
            except TypeError:  # a cell class laid out differently: left as it is
                return
