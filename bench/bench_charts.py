"""Benchmark of the two strategy charts on a 4,000-day total frame.

Builds a strategy backtest on the embedded synthetic market (4,000 days), then
times, as medians of several runs: the performance chart and the weekly net
value chart in each layout, and the data preparation the two charts do
outside matplotlib (date index, yearly sums and metrics, weekly samples).
Finally eight threads draw charts at once and every file is checked.

    python bench/bench_charts.py [--days 4000] [--stocks 400] [--runs 3]
"""

from __future__ import annotations

import tempfile
import threading
import time
from pathlib import Path

from measure import median_time, scale_parser

from vantorel.backtest import _weightsim as ws, synthetic

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"



def total_frame(days: int, stocks: int):
    """The total frame and stats the pipeline hands to the charts."""
    market = synthetic.make_market(n_days=days, n_stocks=stocks, seed=0)
    weights = synthetic.momentum_weights(market, top_n=max(stocks // 10, 1))
    captured = {}
    draw = ws.plot_strategy_performance, ws.plot_weekly_net_value
    ws.plot_strategy_performance = lambda total, stats, *a, **k: captured.update(total=total, stats=stats) or {}
    ws.plot_weekly_net_value = lambda *a, **k: {}
    try:
        ws.run_strategy_backtest_core(weights, **market.market_frames(), benchmark_dict=market.benchmark_dict,
                                      plot_image_kind="large", plot_save_path="unused.png")
    finally:
        ws.plot_strategy_performance, ws.plot_weekly_net_value = draw
    return captured["total"], captured["stats"]


def preparation(total) -> None:
    """What the two charts compute besides drawing."""
    for _ in range(2):  # each chart prepares its own data
        plot_df = ws._with_datetime_index(total)
        daily = plot_df[["daily_return", "index_daily_return", "extra_daily_return"]].copy()
        daily.groupby(daily.index.year).sum()
        ws._calc_yearly_performance_metrics(daily)
    ws._build_weekly_net_value_frame(total)


def main() -> None:
    parser = scale_parser(__doc__, days=4000, stocks=400, runs=3)
    args = parser.parse_args()

    total, stats = total_frame(args.days, args.stocks)
    print(f"total frame: {len(total)} rows x {total.shape[1]} columns")
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp)
        ws.plot_strategy_performance(total, stats, save_path=out / "warm.png")  # imports matplotlib once
        for kind in ("large", "long"):
            main_s = median_time(lambda kind=kind: ws.plot_strategy_performance(
                total, stats, save_path=out / f"{kind}.png", image_kind=kind), args.runs)
            weekly_s = median_time(lambda kind=kind: ws.plot_weekly_net_value(
                total, save_path=out / f"{kind}_weekly.png", image_kind=kind), args.runs)
            print(f"{kind:5s}  performance {main_s:5.2f} s  weekly {weekly_s:5.2f} s  "
                  f"together {main_s + weekly_s:5.2f} s  (target <= 6 s)")
        prep_s = median_time(lambda: preparation(total), args.runs * 3)
        print(f"data preparation outside matplotlib, both charts: {prep_s * 1e3:.0f} ms  (target <= 200 ms)")

        errors = []

        def draw(i: int) -> None:
            try:
                kind = "large" if i % 2 else "long"
                ws.plot_strategy_performance(total, stats, save_path=out / f"t{i}.png", image_kind=kind)
                ws.plot_weekly_net_value(total, save_path=out / f"t{i}_weekly.png", image_kind=kind)
            except Exception as exc:  # reported below
                errors.append(exc)

        threads = [threading.Thread(target=draw, args=(i,)) for i in range(8)]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=600)
        elapsed = time.perf_counter() - start
        files = [out / f"t{i}{suffix}.png" for i in range(8) for suffix in ("", "_weekly")]
        good = sum(f.exists() and f.read_bytes()[:8] == PNG_MAGIC for f in files)
        alive = sum(t.is_alive() for t in threads)
        print(f"eight threads: {good}/16 PNG files written in {elapsed:.1f} s, {len(errors)} errors, "
              f"{alive} threads still running")


if __name__ == "__main__":
    main()
