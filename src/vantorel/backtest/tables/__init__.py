"""Researchers' own daily-bar tables: the conventions they are read with.

``codes`` reads the usual spellings of stock codes; ``limits`` derives limit prices from the
previous close with each board's rule.
"""

from .codes import board_of, normalise_code, normalise_codes
from .limits import limit_prices

__all__ = ["board_of", "limit_prices", "normalise_code", "normalise_codes"]
