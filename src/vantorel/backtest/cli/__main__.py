"""``python -m vantorel.backtest.cli``: the same as the ``vantorel-backtest`` command."""

import sys

from vantorel.backtest.cli import main

if __name__ == "__main__":
    sys.exit(main())
