"""The ``vantorel-backtest`` command line: prepare the data, inspect the store, run backtests.

``main(argv)`` parses the arguments, runs one command and returns the exit status:
0 on success, 1 when the command fails (one line on stderr; ``--debug`` adds the
traceback), 2 for a usage error and 130 when interrupted.
"""

from __future__ import annotations

from .app import main

__all__ = ["main"]
