"""Sample target-weight tables on a generated market."""

from __future__ import annotations

import numpy as np
import pandas as pd

from vantorel.backtest.synthetic.market import SyntheticMarket, positive_int


def _trailing_return(market: SyntheticMarket, lookback: int) -> np.ndarray:
    """Trailing ``lookback``-day total return, NaN where the stock is not trading today."""
    lookback = positive_int(lookback, "lookback")
    level = market._adjusted_close_array()
    score = np.full_like(level, np.nan)
    if lookback < level.shape[0]:
        np.divide(level[lookback:], level[:-lookback], out=score[lookback:])
        score -= 1.0
    score[~np.isfinite(market.frames["close_price_valid"].to_numpy())] = np.nan
    return score


def _ascending_positions(score: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per row, each cell's 0-based position in ascending order (ties by column order).

    Returns (positions, finite mask, number of finite cells per row as a column).
    """
    finite = np.isfinite(score)
    order = np.argsort(np.where(finite, score, np.inf), axis=1, kind="stable")
    positions = np.empty_like(order)
    np.put_along_axis(positions, order, np.arange(score.shape[1])[None, :], axis=1)
    return positions, finite, finite.sum(axis=1, keepdims=True)


def momentum_weights(
    market: SyntheticMarket, top_n: int = 500, lookback: int = 20
) -> pd.DataFrame:
    """Equal weights 1/top_n on the top_n trading stocks by trailing return; NaN elsewhere.

    Rows without ``lookback`` days of history are all NaN; a row with fewer
    than ``top_n`` candidates holds all of them (still at 1/top_n each).
    """
    top_n = positive_int(top_n, "top_n")
    positions, finite, n_finite = _ascending_positions(_trailing_return(market, lookback))
    chosen = finite & (positions >= n_finite - top_n)
    return market._frame(np.where(chosen, 1.0 / top_n, np.nan))


def long_short_weights(
    market: SyntheticMarket, n: int = 50, lookback: int = 20, seed: int = 0
) -> pd.DataFrame:
    """+1/(2n) on the n best and -1/(2n) on the n worst trailing returns; NaN elsewhere.

    Exact ties are broken at random (by ``seed``); a row with fewer than 2n
    candidates splits them evenly between the two legs.
    """
    n = positive_int(n, "n")
    score = _trailing_return(market, lookback)
    score += np.random.default_rng(seed).random(score.shape) * 1e-12
    positions, finite, n_finite = _ascending_positions(score)
    leg = np.minimum(n, n_finite // 2)
    out = np.full(score.shape, np.nan)
    out[finite & (positions >= n_finite - leg)] = 0.5 / n
    out[finite & (positions < leg)] = -0.5 / n
    return market._frame(out)


def sparse_random_weights(
    market: SyntheticMarket, density: float = 0.02, seed: int = 0
) -> pd.DataFrame:
    """Random positive weights on about ``density`` of all cells, NaN elsewhere.

    Cells are drawn without regard to listing or suspension, so the table
    also exercises signals on stocks that cannot trade. Each row's weights
    sum to a random gross exposure between 0.5 and 0.99.
    """
    if not 0.0 <= density <= 1.0:
        raise ValueError(f"density must lie in [0, 1], got {density!r}")
    rng = np.random.default_rng(seed)
    n_days, n_stocks = market.n_days, market.n_stocks
    size = n_days * n_stocks
    flat = rng.choice(size, size=rng.binomial(size, density), replace=False)
    raw = rng.uniform(0.1, 1.0, flat.size)
    row = flat // n_stocks
    row_sum = np.bincount(row, weights=raw, minlength=n_days)
    gross = rng.uniform(0.5, 0.99, n_days)
    out = np.full(size, np.nan)
    out[flat] = raw * (gross[row] / row_sum[row])
    return market._frame(out.reshape(n_days, n_stocks))
