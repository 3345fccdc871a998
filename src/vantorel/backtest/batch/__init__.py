"""Many backtests over one data bundle: on a pool of threads, or as tasks on a Ray cluster.

``BacktestService.backtest_many`` and ``backtest_strategy_many`` are the entry points; each item's
result equals the single call's to the bit, one failing item never stops the others, and the
batch's summary has one row per item.
"""

from .api import BatchResult, backtest_many, backtest_strategy_many
from .summary import factor_summary, strategy_summary

__all__ = ["BatchResult", "backtest_many", "backtest_strategy_many", "factor_summary", "strategy_summary"]
