"""Researchers' own market data: daily bars, corporate actions, index membership and index levels
kept in Parquet/CSV files or DataFrames, served to the store's builder as the data service is.

``prepare_from_tables`` builds or updates a store from them; ``export_tables`` writes a store back
as tables in the same layout; ``TablesDataService`` is the data-service client in between. The
layout (table and column names) is in ``layout``; ``codes``, ``dates`` and ``limits`` hold the
conventions the tables are read with.
"""

from .codes import board_of, normalise_code, normalise_codes
from .dates import normalise_dates
from .export import export_tables
from .layout import LAYOUTS
from .limits import limit_prices
from .prepare import prepare_from_tables
from .reading import TableError
from .service import TablesDataService

__all__ = [
    "LAYOUTS",
    "TableError",
    "TablesDataService",
    "board_of",
    "export_tables",
    "limit_prices",
    "normalise_code",
    "normalise_codes",
    "normalise_dates",
    "prepare_from_tables",
]
