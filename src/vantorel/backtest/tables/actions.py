"""Splits and cash dividends between a table's per-share figures and the data service's per-ten-share ones.

A table gives the split ratio (shares held after the split per share before: 1.5 for "10 for 15")
and the cash dividend per share before tax. The data service speaks per ten shares, and the store
keeps the ratio and the dividend after the 10 % tax, as the builder derives them:
``ratio = per_ten / 10`` and ``dividend = per_ten / 10 * 0.9``.

Floating point makes ``x * 10 / 10`` differ from ``x`` for some ``x``, so the per-ten figures served
are chosen, an ulp at a time, so that the builder gets the table's ratio back exactly; and the figures
exported from a store are the shortest decimals that ingest back to the stored value exactly. So a
store exported and ingested again is the same store, to the bit.
"""

from __future__ import annotations

import numpy as np

__all__ = ["dividend_per_ten", "export_dividends", "export_splits", "split_per_ten", "stored_dividend"]

_TAX_KEPT = 0.9
_NUDGES = 4  # ulps tried either side of the first guess


def _nearest_preimage(target: np.ndarray, guess: np.ndarray, image) -> np.ndarray:
    """Per cell, the float near ``guess`` whose ``image`` equals ``target``; ``guess`` where none is."""
    best = guess.copy()
    found = image(guess) == target
    for step in range(1, _NUDGES + 1):
        for direction in (np.inf, -np.inf):
            candidate = guess
            for _ in range(step):
                candidate = np.nextafter(candidate, direction)
            hit = ~found & (image(candidate) == target)
            best[hit] = candidate[hit]
            found |= hit
    return best


def split_per_ten(ratio: np.ndarray) -> np.ndarray:
    """The per-ten-share split figure whose tenth is ``ratio`` exactly (where one exists)."""
    ratio = np.asarray(ratio, dtype=np.float64)
    return _nearest_preimage(ratio, ratio * 10.0, lambda s: s / 10.0)


def dividend_per_ten(cash: np.ndarray) -> np.ndarray:
    """The per-ten-share dividend whose tenth is ``cash`` (before tax) exactly, where one exists."""
    cash = np.asarray(cash, dtype=np.float64)
    return _nearest_preimage(cash, cash * 10.0, lambda s: s / 10.0)


def stored_dividend(per_ten: np.ndarray) -> np.ndarray:
    """The dividend after tax that the builder stores for a per-ten-share figure."""
    return np.asarray(per_ten, dtype=np.float64) / 10.0 * _TAX_KEPT


def _shortest(stored: np.ndarray, first_guess: np.ndarray, ingest) -> np.ndarray:
    """Per cell, the shortest decimal (up to 17 digits) whose ``ingest`` equals ``stored``; failing that a
    float within a few ulps of ``first_guess`` that does; failing that ``first_guess``."""
    out = np.full(stored.shape, np.nan)
    done = ~np.isfinite(stored)
    for digits in range(2, 18):
        candidate = np.round(first_guess, digits)
        hit = ~done & (ingest(candidate) == stored)
        out[hit] = candidate[hit]
        done |= hit
        if done.all():
            return out
    rest = ~done
    out[rest] = _nearest_preimage(stored[rest], first_guess[rest], ingest)
    return out


def export_splits(stored: np.ndarray) -> np.ndarray:
    """Table split ratios that ingest back to the stored ratios exactly."""
    stored = np.asarray(stored, dtype=np.float64)
    return _shortest(stored, stored, lambda r: split_per_ten(r) / 10.0)


def export_dividends(stored: np.ndarray) -> np.ndarray:
    """Table cash dividends per share before tax that ingest back to the stored (after-tax) ones exactly."""
    stored = np.asarray(stored, dtype=np.float64)
    return _shortest(stored, stored / _TAX_KEPT, lambda c: stored_dividend(dividend_per_ten(c)))
