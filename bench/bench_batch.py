"""Full-scale benchmark of batch backtests: 16 factors over one bundle, sequentially, on threads, on Ray.

4,000 days x 5,000 stocks, 20 groups, no charts. Each factor is computed from the bundle where its
item runs (a reversal over a different window each). Measured in one run:

1. sequential: 16 single calls of the numbers-only factor backtest, one after the other;
2. ``backtest_many(engine="threads", workers=2)``, with the peak memory the batch adds beside the
   bundle, against the bound bundle + 2 x (one factor + 3 matrices);
3. ``backtest_many(engine="ray")`` on a local Ray cluster of 2 CPUs started beforehand (its start-up
   time shown apart), counting the one ``ray.put`` of the bundle; the object store's size of the
   bundle, and the resident memory of the Ray workers after one batch and after a second one.

    python bench/bench_batch.py [--days 4000] [--stocks 5000] [--runs 3] [--factors 16] [--skip-ray]
"""

from __future__ import annotations

import statistics
import sys
from pathlib import Path

import numpy as np
import pandas as pd

_HERE = Path(__file__).resolve().parent
if str(_HERE) not in sys.path:
    sys.path.insert(0, str(_HERE))

from measure import peak_added_memory, scale_parser, timed  # noqa: E402

MIB = 2**20
GROUPS = 20


def reversal(window: int):
    """-(close / close `window` days ago - 1), computed from the bundle with one matrix allocated."""

    def factor(bundle):
        close = bundle.data["close_price"]
        values = close.to_numpy()
        out = np.full(values.shape, np.nan)
        np.divide(values[window:], values[:-window], out=out[window:])
        np.subtract(1.0, out, out=out)
        return pd.DataFrame(out, index=close.index, columns=close.columns, copy=False)

    return factor


def _worker_rss_mib(ray) -> list[float]:
    """Resident memory of the Ray worker processes (anonymous pages: the shared object store excluded)."""

    @ray.remote(num_cpus=1)
    def rss() -> tuple[int, float]:
        import os

        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("RssAnon:"):
                return os.getpid(), int(line.split()[1]) / 1024
        return os.getpid(), float("nan")

    seen = dict(ray.get([rss.remote() for _ in range(8)]))
    return sorted(seen.values())


def main() -> None:
    parser = scale_parser(__doc__, runs=3)
    parser.add_argument("--factors", type=int, default=16)
    parser.add_argument("--skip-ray", action="store_true")
    args = parser.parse_args()
    from vantorel.backtest import BacktestData, BacktestService, synthetic

    market = synthetic.make_market(n_days=args.days, n_stocks=args.stocks, seed=0)
    data = BacktestData(synthetic.market_payload(market)["data"])
    first, last = market.dates[0], market.dates[-1]
    del market
    bundle_bytes = sum(
        t.to_numpy().nbytes for v in data.data.values() for t in (v.values() if isinstance(v, dict) else [v]))
    factors = {f"rev{w}": reversal(w) for w in range(2, 2 + args.factors)}
    service = BacktestService(None)
    matrix = args.days * args.stocks * 8

    def sequential():
        for name, make in factors.items():
            service._backtest_numbers(make(data), data, first, last, name, group_num=GROUPS)

    def batch(engine: str):
        result = service.backtest_many(factors, data, first, last, engine=engine, workers=2, group_num=GROUPS,
                                       keep_results=False, progress=False)
        assert not result.errors, result.errors
        return result

    print(f"{args.days} days x {args.stocks} stocks, {len(factors)} factors, {GROUPS} groups, no charts; "
          f"bundle {bundle_bytes / MIB:,.0f} MiB; medians of {args.runs}")
    seq = statistics.median(timed(sequential)[0] for _ in range(args.runs))
    threads = statistics.median(timed(lambda: batch("threads"))[0] for _ in range(args.runs))
    added = peak_added_memory(lambda: batch("threads"))
    bound = 2 * 4 * matrix / MIB
    print(f"  sequential single calls          {seq:8.2f} s   {len(factors) / seq:6.2f} factors/s")
    print(f"  threads, 2 workers               {threads:8.2f} s   {len(factors) / threads:6.2f} factors/s   "
          f"{seq / threads:5.2f}x  (target >= 1.7x)")
    if added is not None:
        print(f"  threads: peak memory added       {added:8.0f} MiB  (bound 2 x (factor + 3 matrices) = "
              f"{bound:,.0f} MiB)")
    if args.skip_ray:
        return

    import ray

    start_up, _ = timed(lambda: ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
                                         configure_logging=False))
    try:
        put, ref = timed(lambda: ray.put(data))
        del ref
        batch("ray")  # the workers start and import the package once
        after_one = _worker_rss_mib(ray)
        times = [timed(lambda: batch("ray"))[0] for _ in range(args.runs)]
        after_more = _worker_rss_mib(ray)
        ray_time = statistics.median(times)
        print(f"  Ray cluster start-up (apart)     {start_up:8.2f} s")
        print(f"  ray.put of the bundle alone      {put:8.2f} s   object store: {bundle_bytes / MIB:,.0f} MiB")
        print(f"  Ray, 2 CPUs, put included        {ray_time:8.2f} s   {len(factors) / ray_time:6.2f} factors/s   "
              f"{seq / ray_time:5.2f}x  (target >= 1.5x)")
        print(f"  Ray workers' own memory (MiB): after 1 batch {', '.join(f'{m:.0f}' for m in after_one)}; "
              f"after {1 + args.runs} batches {', '.join(f'{m:.0f}' for m in after_more)}")
    finally:
        ray.shutdown()


if __name__ == "__main__":
    main()
