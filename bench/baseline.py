"""The baseline: a plain pandas/NumPy statement of the strategy engine's rules.

It is the same statement the test suite checks the engine against
(``tests/support/reference.py``): vectorised across stocks, one Python step
per trading day, market Frames materialised by reindexing. Keeping one copy
means the benchmark measures against exactly the rules the tests enforce.
"""

from __future__ import annotations

import sys
from pathlib import Path

_TESTS = Path(__file__).resolve().parent.parent / "tests"
if str(_TESTS) not in sys.path:
    sys.path.insert(0, str(_TESTS))

from support.reference import run_strategy_backtest_core, vwap_daily_return  # noqa: E402

__all__ = ["run_strategy_backtest_core", "vwap_daily_return"]
