"""A deterministic synthetic China A-share market.

``make_market`` builds a small, self-consistent market from a seed: trading
calendar, stock codes, the date × stock matrices the backtests consume, the
index-membership masks and the benchmark return series. Tests, benchmarks and
the demo share it, so the same seed always yields the same frames.

How the market behaves:

* Prices follow a per-stock random walk in log space (a common market factor
  times a beta plus idiosyncratic noise, with a mild pull back towards the
  stock's own level so long runs stay in a sensible price range). Every price
  is in cents, and each day's close lies within the day's limits, which are
  ``round(reference × 1.1, 2)`` and ``round(reference × 0.9, 2)``.
* The reference price is the previous close, or on an ex day the ex-rights
  reference: previous close ÷ split factor, or previous close − dividend.
  ``prev_close`` itself is always the previous row's close as quoted (in
  the old share terms on a split day), so a held share earns
  ``split × close + dividend − prev_close`` on any day.
* A few per cent of stock-days close limit-up or limit-down; on those days
  the open and both execution prices sit at the limit, so a limit-up stock
  cannot be bought and a limit-down stock cannot be sold.
* Suspensions come in runs of days: the close stays at the previous close,
  while open, execution prices and ``close_price_valid`` are NaN and trading
  is blocked both ways. Some stocks list after the first date and are NaN
  (and blocked) before that.
* Splits and cash dividends are rare and fall on trading days only.
* ``forward_return_rank_cache`` ranks, per date, the open-to-open return from
  the next day's open to the open after (the last two rows are NaN), with the
  same engine function the data preparation derives it with.

Everything is vectorised over stocks; only the price recursion walks the
days, since each day's limits depend on the previous rounded close.

The modules, one concern each: ``calendar`` (dates, codes, listings,
suspensions), ``events`` (splits and dividends), ``prices`` (the price walk),
``membership`` (index membership), ``benchmarks`` (index returns),
``market`` (the assembled market), ``weights`` (sample target-weight tables)
and ``payload`` (the market as a store payload). Every random draw is taken
from one generator in a fixed order, so moving code between them must keep
that order.
"""

from __future__ import annotations

from vantorel.backtest.synthetic.benchmarks import BENCHMARK_NAMES
from vantorel.backtest.synthetic.market import SyntheticMarket, make_market
from vantorel.backtest.synthetic.membership import COMPONENT_NAMES
from vantorel.backtest.synthetic.payload import market_payload
from vantorel.backtest.synthetic.weights import long_short_weights, momentum_weights, sparse_random_weights

__all__ = [
    "BENCHMARK_NAMES",
    "COMPONENT_NAMES",
    "SyntheticMarket",
    "long_short_weights",
    "make_market",
    "market_payload",
    "momentum_weights",
    "sparse_random_weights",
]
