"""Full-scale benchmark of the command line: ``vantorel-backtest strategy`` on a 4,000 x 5,000 weight file.

A synthetic market of 4,000 days x 5,000 stocks is written as a store, and its top-500 momentum
weights as a wide Parquet file and a wide CSV file, and weights on every listed stock as a dense
Parquet file. Each run is a fresh process, timed end to end
(interpreter start, imports, reading the file, mapping the store, the backtest, printing the
statistics) with charts off; beside it, reading the weight file alone in this process.

    python bench/bench_cli.py [--days 4000] [--stocks 5000] [--runs 5]
"""

from __future__ import annotations

import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

_HERE = Path(__file__).resolve().parent
if str(_HERE) not in sys.path:
    sys.path.insert(0, str(_HERE))

import numpy as np  # noqa: E402
from measure import median_time, scale_parser  # noqa: E402


def _command(store: Path, weights: Path) -> list[str]:
    return [sys.executable, "-m", "vantorel.backtest.cli", "--data-dir", str(store), "strategy", str(weights),
            "--plot", "none"]


def main() -> None:
    args = scale_parser(__doc__, runs=5).parse_args()
    from vantorel.backtest import synthetic
    from vantorel.backtest._prepare import BinaryPreparedDataStore
    from vantorel.backtest.cli.files import read_table

    work = Path(tempfile.mkdtemp(prefix="vantorel-bench-cli-"))
    try:
        market = synthetic.make_market(n_days=args.days, n_stocks=args.stocks, seed=0)
        BinaryPreparedDataStore(work / "store").write(synthetic.market_payload(market))
        weights = synthetic.momentum_weights(market, top_n=500)
        files = {"Parquet": work / "weights.parquet", "CSV": work / "weights.csv", "dense": work / "dense.parquet"}
        weights.to_parquet(files["Parquet"])
        weights.to_csv(files["CSV"])
        # every listed stock held, in random proportions: a file with no empty cell to skip
        close = market.frames["close_price"]
        noise = np.random.default_rng(0).random(close.shape)
        dense = (close * 0 + noise).div((close * 0 + noise).sum(axis=1), axis=0)
        dense.to_parquet(files["dense"])
        del market, weights, close, dense

        print(f"{args.days} days x {args.stocks} stocks, charts off, medians of {args.runs} runs")
        print(f"{'weight file':10s} {'size MiB':>9s} {'read alone s':>13s} {'end to end s':>13s}  (target <= 3 s)")
        for kind, path in files.items():
            subprocess.run(_command(work / "store", path), check=True, capture_output=True)  # warm the page cache
            reading = median_time(lambda path=path: read_table(path), args.runs)
            times = []
            for _ in range(args.runs):
                start = time.perf_counter()
                subprocess.run(_command(work / "store", path), check=True, capture_output=True)
                times.append(time.perf_counter() - start)
            print(f"{kind:10s} {path.stat().st_size / 2**20:9.0f} {reading:13.2f} {statistics.median(times):13.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
