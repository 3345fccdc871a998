"""Backtesting of factors and strategies on China A-share market data."""

from vantorel.backtest._service import BacktestService
from vantorel.backtest.result import BacktestData, BacktestResult, StrategyBacktestResult

__all__ = ["BacktestData", "BacktestResult", "BacktestService", "StrategyBacktestResult"]
