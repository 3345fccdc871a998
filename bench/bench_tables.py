"""Full-scale benchmark of researchers' tables: ingesting daily bars into a new store, and exporting it.

A synthetic market of 4,000 days x 5,000 stocks is written as a store and exported as Parquet
tables (the daily bars: ~20 M rows). Then, each run in a fresh process:

1. reading the four tables from their files alone (pyarrow, the columns the layout knows);
2. ``prepare_from_tables`` into a new store directory: reading, checks and layout, the builder's full
   build, the store's write and the swap into place;

and the peak resident memory of that process beside the size of the finished store. The export's
own time is shown too.

    python bench/bench_tables.py [--days 4000] [--stocks 5000] [--runs 3]
"""

from __future__ import annotations

import json
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

from measure import scale_parser  # noqa: E402

MIB = 1024 * 1024

# One measured run, in a process of its own so that its peak memory is its own.
_CHILD = r"""
import json, resource, sys, time
from pathlib import Path
from vantorel.backtest.tables import prepare_from_tables
from vantorel.backtest.tables.layout import LAYOUTS
from vantorel.backtest.tables.reading import read_table

tables, store = Path(sys.argv[1]), Path(sys.argv[2])
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
for layout in LAYOUTS.values():
    read_table(tables, layout)
reading = time.perf_counter() - start
start = time.perf_counter()
outcome = prepare_from_tables(tables, store)
total = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"reading": reading, "total": total, "outcome": outcome, "peak_kib": peak, "base_kib": base}))
"""


def _size(path: Path) -> int:
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def main() -> None:
    args = scale_parser(__doc__, runs=3).parse_args()
    from vantorel.backtest import synthetic
    from vantorel.backtest._prepare import BinaryPreparedDataStore
    from vantorel.backtest.tables import export_tables

    work = Path(tempfile.mkdtemp(prefix="vantorel-bench-tables-"))
    try:
        start = time.perf_counter()
        market = synthetic.make_market(n_days=args.days, n_stocks=args.stocks, seed=0)
        BinaryPreparedDataStore(work / "source").write(synthetic.market_payload(market))
        del market
        print(f"market and source store: {time.perf_counter() - start:.1f} s")
        start = time.perf_counter()
        files = export_tables(work / "tables", work / "source")
        exported = time.perf_counter() - start
        shutil.rmtree(work / "source")
        print(f"export_tables (Parquet): {exported:.1f} s; "
              + ", ".join(f"{name} {p.stat().st_size / MIB:.0f} MiB" for name, p in files.items()))
        import pyarrow.parquet as pq

        print(f"daily bars: {pq.ParquetFile(files['bars']).metadata.num_rows:,} rows")

        runs = []
        for i in range(args.runs):
            store = work / f"store{i}"
            out = subprocess.run([sys.executable, "-c", _CHILD, str(work / "tables"), str(store)],
                                 check=True, capture_output=True, text=True)
            run = json.loads(out.stdout.strip().splitlines()[-1])
            run["store"] = _size(store)
            runs.append(run)
            print(f"  run {i + 1}: reading {run['reading']:.1f} s, prepare_from_tables {run['total']:.1f} s "
                  f"({run['outcome']}), peak {run['peak_kib'] / 1024:.0f} MiB")
            shutil.rmtree(store)

        reading = statistics.median(r["reading"] for r in runs)
        total = statistics.median(r["total"] for r in runs)
        peak = statistics.median(r["peak_kib"] for r in runs) * 1024
        store_size = runs[0]["store"]
        print(f"\n{args.days} days x {args.stocks} stocks, medians of {args.runs} runs")
        print(f"  reading the table files alone      {reading:8.1f} s")
        print(f"  prepare_from_tables, end to end    {total:8.1f} s   (target <= 60 s)")
        print(f"  peak resident memory               {peak / MIB:8.0f} MiB")
        print(f"  finished store on disk             {store_size / MIB:8.0f} MiB")
        print(f"  peak / store                       {peak / store_size:8.2f}x  (target <= 3x)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
