"""Full-scale benchmark of the prepared-data store and the strategy entry.

A store of 4,000 trading days x 5,000 stocks (all 17 datasets and three
benchmarks) is written from the embedded synthetic market into a temporary
directory. Prints medians of several runs (warm page cache) of:

- load_backtest_data (whole store into owned memory, checksums verified) and
  the peak memory it adds, against a plain baseline reading the same raw files
  with numpy.fromfile into DataFrames;
- BinaryPreparedDataStore.load(mmap=True);
- _slice_data of one year, against the plain boolean-mask statement;
- backtest_strategy end to end (plot=None) on the full range;
- update_tail of 5 new trading days (two stored days re-read, as an
  incremental update does).

    python bench/bench_store.py [--days 4000] [--stocks 5000] [--runs 5] [--dir DIR]
"""

from __future__ import annotations

import shutil
import statistics
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
from measure import median_time, peak_added_memory, scale_parser, timed

from vantorel.backtest import BacktestService, _service, synthetic
from vantorel.backtest._prepare import BinaryPreparedDataStore

MIB = 1024 * 1024
NEW_DAYS = 5






def bundle_mib(data: dict) -> float:
    total = sum(v.to_numpy().nbytes for v in data.values() if isinstance(v, pd.DataFrame))
    total += sum(s.to_numpy().nbytes for s in data["benchmark_dict"].values())
    return total / MIB


def baseline_load(store_dir: Path) -> dict:
    """The plain statement: every raw file read with numpy into a DataFrame."""
    md = BinaryPreparedDataStore(store_dir).load_metadata()
    data = {}
    for key, d in md["datasets"].items():
        arr = np.fromfile(store_dir / d["file"], dtype=d["dtype"]).reshape(d["shape"])
        if len(d["shape"]) == 2:
            data[key] = pd.DataFrame(arr, index=d["index"], columns=d["columns"], copy=False)
        else:
            data[key] = pd.Series(arr, index=d["index"], copy=False)
    return data


def baseline_slice(data: dict, start: str, end: str) -> dict:
    out = {}
    for key, value in data.items():
        if key == "benchmark_dict":
            out[key] = {n: s[(s.index >= start) & (s.index <= end)] for n, s in value.items()}
        elif isinstance(value, pd.DataFrame):
            out[key] = value[(value.index >= start) & (value.index <= end)]
        else:
            out[key] = value
    return out


def main() -> None:
    parser = scale_parser(__doc__, days=4000, stocks=5000, runs=5)
    parser.add_argument("--top", type=int, default=500)
    parser.add_argument("--dir", type=Path, default=None, help="where to write the store (default: a temp dir)")
    args = parser.parse_args()

    workdir = Path(tempfile.mkdtemp(dir=args.dir))
    store_dir = workdir / "enviroment_data"
    _service._DEFAULT_DATA_DIR = store_dir
    try:
        total_days = args.days + NEW_DAYS * args.runs
        t, market = timed(lambda: synthetic.make_market(n_days=total_days, n_stocks=args.stocks, seed=0))
        print(f"market {total_days} days x {args.stocks} stocks built in {t:.1f} s")
        last_stored = market.dates[args.days - 1]
        updates = []
        for r in range(args.runs):
            first = market.dates[args.days - 2 + NEW_DAYS * r]
            last = market.dates[args.days - 1 + NEW_DAYS * (r + 1)]
            updates.append(synthetic.market_payload(market, first, last, time_key="updated_at"))
        weights = synthetic.momentum_weights(market, top_n=args.top).loc[:last_stored]
        store = BinaryPreparedDataStore(store_dir)
        t, _ = timed(lambda m=market: store.write(synthetic.market_payload(m, end_date=last_stored)))
        del market
        size = sum(p.stat().st_size for p in store_dir.iterdir())
        print(f"store written in {t:.1f} s: {size / 1e9:.2f} GB on disk\n")

        svc = BacktestService(http=None)
        svc.load_backtest_data()  # warms the page cache
        baseline_load(store_dir)
        load_s = median_time(svc.load_backtest_data, args.runs)
        base_s = median_time(lambda: baseline_load(store_dir), args.runs)
        load_mib = peak_added_memory(svc.load_backtest_data)
        data = svc.load_backtest_data()
        size_mib = bundle_mib(data.data)
        print(f"load_backtest_data        {load_s:7.3f} s   (baseline numpy.fromfile {base_s:.3f} s, "
              f"ratio {base_s / load_s:.2f}x; target <= 2.5 s)")
        print(f"  peak added memory       {load_mib:7.0f} MiB for a {size_mib:.0f} MiB bundle "
              f"({load_mib / size_mib:.2f}x; target <= 1.1x)")
        mmap_s = median_time(lambda: store.load(mmap=True), args.runs)
        print(f"load(mmap=True)           {mmap_s:7.3f} s   (target <= 0.1 s)")

        start, end = "20150101", "20151231"
        slice_s = median_time(lambda d=data.data: svc._slice_data(d, start, end), args.runs * 4)
        base_slice_s = median_time(lambda d=data.data: baseline_slice(d, start, end), args.runs)
        rows = len(svc._slice_data(data.data, start, end)["close_price"])
        print(f"_slice_data one year      {slice_s * 1e3:7.1f} ms  ({rows} rows; baseline boolean masks "
              f"{base_slice_s * 1e3:.1f} ms, ratio {base_slice_s / slice_s:.1f}x; target <= 50 ms)")

        first, last = data.data["close_price"].index[[0, -1]]
        run = lambda d=data: svc.backtest_strategy(weights, d, first, last, None, "momentum", plot=None)  # noqa: E731
        bt_s = median_time(run, args.runs)
        print(f"backtest_strategy         {bt_s:7.3f} s   (full range, top-{args.top}, plot=None; target <= 1 s)")
        del data, run

        times = []
        for payload in updates:
            t, merged = timed(lambda payload=payload: store.update_tail(payload))
            assert merged
            times.append(t)
        md = store.load_metadata()
        print(f"update_tail {NEW_DAYS} new days    {statistics.median(times):7.3f} s   (median of {len(times)}; "
              f"store now {len(md['datasets']['close_price']['index'])} days; target <= 1 s)")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
