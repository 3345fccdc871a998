"""Index membership: size bands of the listed stocks, re-drawn at every rebalance."""

from __future__ import annotations

import numpy as np

COMPONENT_NAMES: tuple[str, ...] = (
    "rq_index_components_new_000300.XSHG",
    "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG",
    "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
)

# Index membership as a band of size ranks, as fractions of the listed
# stocks (0 = largest). The CSI 300/500/1000 bands are disjoint and tile the
# large caps; the two small-cap indices overlap them and each other.
_MEMBERSHIP_BANDS: dict[str, tuple[float, float]] = {
    "rq_index_components_new_000300.XSHG": (0.00, 0.06),
    "rq_index_components_new_000905.XSHG": (0.06, 0.16),
    "rq_index_components_new_000852.XSHG": (0.16, 0.36),
    "rq_index_components_new_399303.XSHE": (0.20, 0.60),
    "rq_index_components_new_932000.INDX": (0.36, 0.76),
}
REBALANCE_DAYS = 125


def membership(
    close: np.ndarray, shares: np.ndarray, split_events: tuple
) -> dict[str, np.ndarray]:
    """Boolean (segment × stock) membership of each index, re-drawn by size each segment.

    Sizes are measured on the close before a segment starts (the first
    segment uses its first day) and only listed stocks are eligible.
    """
    n_days, n_stocks = close.shape
    starts = np.arange(0, n_days, REBALANCE_DAYS)
    obs_day = np.maximum(starts - 1, 0)
    # Share counts grow with every split seen by the observation day.
    share_mult = np.ones((starts.size, n_stocks))
    days, stocks, factors = split_events
    for seg, day in enumerate(obs_day):
        seen = days <= day
        np.multiply.at(share_mult[seg], stocks[seen], factors[seen])
    cap = close[obs_day] * shares * share_mult
    listed = np.isfinite(cap)
    order = np.argsort(np.where(listed, -cap, np.inf), axis=1, kind="stable")
    size_rank = np.empty_like(order)
    np.put_along_axis(size_rank, order, np.arange(n_stocks)[None, :], axis=1)
    n_listed = listed.sum(axis=1, keepdims=True)
    out = {}
    for name, (lo_frac, hi_frac) in _MEMBERSHIP_BANDS.items():
        lo = np.rint(lo_frac * n_listed)
        hi = np.minimum(np.maximum(np.rint(hi_frac * n_listed), lo + 1), n_listed)
        out[name] = listed & (size_rank >= lo) & (size_rank < hi)
    return out


def daily_masks(member_rows: dict[str, np.ndarray], n_days: int) -> dict[str, np.ndarray]:
    """Day × stock masks, 1.0 for a member and NaN otherwise, under each component name."""
    seg = np.arange(n_days) // REBALANCE_DAYS
    return {name: np.where(member_rows[name][seg], 1.0, np.nan) for name in COMPONENT_NAMES}
