"""Full-scale benchmark of data preparation against the synthetic data service.

1. GroupPreparedDataBuilder.build() for 1,000 days x 5,000 stocks, read from
   the synthetic service as long ("narrow") tables, one query per factor
   (15 factors, ~75 million records in all), against the plain pandas
   statement of the same rules (tests/support/prepare_reference.py: rename,
   to_numeric, to_datetime + strftime, groupby, dropna, drop_duplicates,
   pivot, label-aligned arithmetic, shift, rank) fed by the same service in
   the same run. Also the peak memory the build adds, against the payload and
   the largest query table. The service's own time to produce the tables is
   part of both and is shown on its own.
2. BacktestService.prepare_backtest_data() on a complete store of 4,000 days x
   5,000 stocks after the service's calendar moved on by 5 trading days: the
   incremental course end to end (completeness check, one batch query, the
   derivation, the store's tail update, the summary).

    python bench/bench_prepare.py [--days 1000] [--stocks 5000] [--runs 3]
                                  [--baseline-runs 3] [--store-days 4000] [--skip-build] [--skip-incremental]
"""

from __future__ import annotations

import gc
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

_TESTS = Path(__file__).resolve().parent.parent / "tests"
if str(_TESTS) not in sys.path:
    sys.path.insert(0, str(_TESTS))

from measure import scale_parser  # noqa: E402

from vantorel import singleton  # noqa: E402
from vantorel.backtest import BacktestService, _prepare, _service, synthetic  # noqa: E402
from vantorel.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder  # noqa: E402
from vantorel.backtest.synthetic_service import SyntheticDataService  # noqa: E402

from support import prepare_reference as ref  # noqa: E402

MIB = 1024 * 1024
NEW_DAYS = 5


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def _status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


def peak_added_mib(fn):
    """Peak resident memory added while fn runs, and its result."""
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")  # resets the high-water mark
    before = _status_kib("VmRSS")
    result = fn()
    return (_status_kib("VmHWM") - before) / 1024, result


def payload_mib(payload: dict) -> float:
    data = payload["data"]
    total = sum(v.to_numpy().nbytes for k, v in data.items() if k != "benchmark_dict")
    return total / MIB


def _dash(d: str) -> str:
    return f"{d[:4]}-{d[4:6]}-{d[6:]}"


def baseline_build(client, start: str, end: str) -> dict:
    """The same build stated in plain pandas (one query per factor, as build() does)."""

    def read(name: str) -> pd.DataFrame:
        df = client.get_factors(factor=name, start_date=_dash(start), end_date=_dash(end))
        return ref.factors_to_matrices(df, [name])[name]

    source = {name: read(name) for name in _prepare.REQUIRED_FACTOR_NAMES}
    reference = source["Close"] * 0 + 1
    for name in _prepare.OPTIONAL_FACTOR_NAMES:
        matrix = read(name)
        source[name] = matrix if len(matrix) else pd.DataFrame(np.nan, index=reference.index, columns=reference.columns)
    components = {}
    for name in _prepare.COMPONENT_FACTOR_NAMES:
        raw = read(name)
        mask = ref.membership(raw) if len(raw) else None
        if mask is not None:
            components[name] = mask
    index = client.get_index_daily(ukeys=list(_prepare.BENCHMARK_INDEX_CODES.values()), start_date=start, end_date=end)
    benchmarks = {s: ref.format_benchmark(index, s, c) for s, c in _prepare.BENCHMARK_INDEX_CODES.items()}
    data = ref.build_from_matrices(source)
    for name, mask in components.items():
        data[_prepare.component_dataset_key(name)] = mask
    data["benchmark_dict"] = benchmarks
    return {"version": 1, "meta": {}, "data": data}


def service_only(client, start: str, end: str) -> None:
    """The time the service alone takes to produce the same tables."""
    names = _prepare.REQUIRED_FACTOR_NAMES + _prepare.OPTIONAL_FACTOR_NAMES + _prepare.COMPONENT_FACTOR_NAMES
    for name in names:
        client.get_factors(factor=name, start_date=_dash(start), end_date=_dash(end))
    client.get_index_daily(ukeys=list(_prepare.BENCHMARK_INDEX_CODES.values()), start_date=start, end_date=end)


def check_same(ours: dict, plain: dict) -> None:
    for key, frame in plain["data"].items():
        if key == "benchmark_dict":
            continue
        mine = ours["data"][key]
        assert list(mine.index) == list(frame.index) and list(mine.columns) == list(frame.columns), key
        np.testing.assert_array_equal(mine.to_numpy(), frame.to_numpy(dtype=mine.dtypes.iloc[0]), err_msg=key)


def bench_build(args) -> None:
    t, market = timed(lambda: synthetic.make_market(n_days=args.days, n_stocks=args.stocks, seed=0))
    client = SyntheticDataService(market)
    singleton.set_instance(client)
    start, end = market.dates[0], market.dates[-1]
    rows = sum(len(client.get_factors(factor=n, start_date=_dash(start), end_date=_dash(end)))
               for n in _prepare.BUILD_INPUT_NAMES + _prepare.COMPONENT_FACTOR_NAMES)
    table = client.get_factors(factor="Close", start_date=_dash(start), end_date=_dash(end))
    table_mib = table.memory_usage(index=True, deep=False).sum() / MIB
    del table
    print(f"market {args.days} days x {args.stocks} stocks built in {t:.1f} s; "
          f"{rows / 1e6:.1f} million records over 15 factor queries\n")

    builder = GroupPreparedDataBuilder(start, end)
    service_s = statistics.median(timed(lambda: service_only(client, start, end))[0] for _ in range(args.runs))
    ours = [timed(builder.build)[0] for _ in range(args.runs)]
    build_s = statistics.median(ours)
    added, payload = peak_added_mib(builder.build)
    size = payload_mib(payload)
    plain_s, plain = None, None
    if args.baseline_runs:
        times = []
        for _ in range(args.baseline_runs):
            t, plain = timed(lambda: baseline_build(client, start, end))
            times.append(t)
        plain_s = statistics.median(times)
        check_same(payload, plain)
    del plain
    print(f"service alone (15 factor tables + index)  {service_s:7.2f} s  (part of both figures below)")
    print(f"build()                                   {build_s:7.2f} s  (runs: {', '.join(f'{x:.2f}' for x in ours)})")
    if plain_s is not None:
        print(f"plain pandas statement                    {plain_s:7.2f} s  -> ratio {plain_s / build_s:.1f}x "
              f"(target >= 5x); excluding the service: {(plain_s - service_s) / (build_s - service_s):.1f}x")
    print(f"  peak added memory {added:7.0f} MiB; payload {size:.0f} MiB, one query table {table_mib:.0f} MiB "
          f"(limit 2 x payload + tables = {2 * size + table_mib:.0f} MiB)\n")
    singleton.reset_instance()


def bench_incremental(args) -> None:
    total = args.store_days + NEW_DAYS * args.runs
    t, market = timed(lambda: synthetic.make_market(n_days=total, n_stocks=args.stocks, seed=1, start_date="20050104"))
    print(f"market {total} days x {args.stocks} stocks built in {t:.1f} s ({market.dates[0]} to {market.dates[-1]})")
    workdir = Path(tempfile.mkdtemp(dir=args.dir))
    store_dir = workdir / "enviroment_data"
    _service._DEFAULT_DATA_DIR = store_dir
    try:
        store = BinaryPreparedDataStore(store_dir)
        t, _ = timed(lambda: store.write(synthetic.market_payload(market, end_date=market.dates[args.store_days - 1])))
        print(f"store of {args.store_days} days written in {t:.1f} s")
        client = SyntheticDataService(market, visible_days=args.store_days)
        singleton.set_instance(client)
        service = BacktestService(http=None)
        times = []
        for _ in range(args.runs):
            client.advance(NEW_DAYS)
            t, _ = timed(service.prepare_backtest_data)
            times.append(t)
        index = store.load_metadata()["datasets"]["close_price"]["index"]
        assert index == market.dates[: args.store_days + NEW_DAYS * args.runs]
        print(f"prepare_backtest_data, {NEW_DAYS} new days     {statistics.median(times):7.2f} s  "
              f"(runs: {', '.join(f'{x:.2f}' for x in times)}; target <= 3 s)\n")
    finally:
        singleton.reset_instance()
        shutil.rmtree(workdir, ignore_errors=True)


def main() -> None:
    parser = scale_parser(__doc__, days=1000, stocks=5000, runs=3)
    parser.add_argument("--baseline-runs", type=int, default=3)
    parser.add_argument("--store-days", type=int, default=4000)
    parser.add_argument("--dir", type=Path, default=None, help="where to write the store (default: a temp dir)")
    parser.add_argument("--skip-build", action="store_true")
    parser.add_argument("--skip-incremental", action="store_true")
    args = parser.parse_args()
    if not args.skip_build:
        bench_build(args)
    if not args.skip_incremental:
        bench_incremental(args)


if __name__ == "__main__":
    main()
