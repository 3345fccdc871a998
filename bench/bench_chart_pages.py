"""Every chart page at 4,000 days, against an earlier build of the package: times and pixels.

Draws, in both layouts, the strategy performance chart and the weekly net value chart (each call
timed whole) and the factor group chart and its analytics page (each page timed from its figure's
creation to its closing, once its file is written), medians of several runs, from one synthetic
market. With --before DIR, a directory holding an earlier build of the package (for instance
``pip install --no-deps --target DIR <an earlier checkout>``), the same runs are made with that
build, in a process of their own, and each page's time is set beside the current one with their
ratio (each run starts from a collected heap, so that Python's cycle collector does the same in
every run); the two builds' images are then compared pixel by pixel: the share of pixels that differ
and the box they lie in (or the sizes, when the pages differ in size).

    python bench/bench_chart_pages.py [--days 4000] [--stocks 80] [--runs 3] [--before DIR]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from measure import scale_parser  # noqa: E402

PAGES = [(chart, kind) for chart in ("performance", "weekly", "factor") for kind in ("large", "long")]


def measure(days: int, stocks: int, runs: int, out: Path) -> dict[str, float]:
    """Median seconds of each page; the last run's images are left in `out`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from vantorel.backtest import _core, _weightsim as ws, synthetic

    from support.totals import FULL_STATS, make_total

    total = make_total(days)
    market = synthetic.make_market(n_days=days, n_stocks=stocks, seed=1)
    close = market.adjusted_close()
    factor = -(close / close.shift(5) - 1)
    frames = market.frames

    # A page runs from its figure's creation to its closing, once its file is written.
    starts: list[float] = []
    spans: list[float] = []
    make_figure, close = plt.figure, plt.close

    def figure(*args, **kwargs):
        starts.append(time.perf_counter())
        return make_figure(*args, **kwargs)

    def closing(*args, **kwargs):
        spans.append(time.perf_counter() - starts[len(spans)])
        return close(*args, **kwargs)

    def draw(chart: str, kind: str) -> None:
        path = out / f"{chart}_{kind}.png"
        if chart == "performance":
            ws.plot_strategy_performance(total, dict(FULL_STATS), save_path=path, image_kind=kind)
        elif chart == "weekly":
            ws.plot_weekly_net_value(total, save_path=path, image_kind=kind)
        else:
            _core.run_alpha_vwap_backtest_core(
                factor_matrix=factor, close_price_valid=frames["close_price_valid"], **market.market_frames(),
                benchmark_dict=market.benchmark_dict, open_price=frames["open_price"], group_num=20,
                plot_image_kind=kind, plot_save_path=path)

    times: dict[str, list[float]] = {}
    plt.figure, plt.close = figure, closing
    try:
        draw("performance", "large")  # imports and first-use caches
        for chart, kind in PAGES:
            for run in range(runs + 1):
                gc.collect()  # each run starts from a collected heap: the collector's passes land alike
                starts.clear()
                spans.clear()
                begin = time.perf_counter()
                draw(chart, kind)
                whole = time.perf_counter() - begin
                if run == 0:
                    continue  # the first run of each page warms its caches
                if chart == "factor":  # each page on its own; the backtest is not chart time
                    for page, span in zip(("group", "analytics"), spans, strict=False):  # the earlier build: one page
                        times.setdefault(f"{page} {kind}", []).append(span)
                else:
                    times.setdefault(f"{chart} {kind}", []).append(whole)
    finally:
        plt.figure, plt.close = make_figure, close
    return {page: statistics.median(values) for page, values in times.items()}


def compare(before: Path, after: Path) -> str:
    import numpy as np
    from PIL import Image

    with Image.open(before) as a, Image.open(after) as b:
        if a.size != b.size:
            return f"sizes differ ({a.size[0]}x{a.size[1]} before, {b.size[0]}x{b.size[1]} now)"
        x, y = np.asarray(a.convert("RGB")), np.asarray(b.convert("RGB"))
    differ = (x != y).any(axis=2)
    if not differ.any():
        return "identical"
    rows, cols = np.nonzero(differ)
    return (f"{differ.mean():.1%} of pixels differ, within rows {rows.min()}-{rows.max()} "
            f"and columns {cols.min()}-{cols.max()} of {x.shape[0]}x{x.shape[1]}")


def main() -> None:
    parser = scale_parser(__doc__, days=4000, stocks=80, runs=3)
    parser.add_argument("--before", type=Path, help="a directory holding an earlier build of the package")
    parser.add_argument("--images", type=Path, help=argparse.SUPPRESS)  # the child's: measure into this folder
    args = parser.parse_args()

    if args.images is not None:  # the child process of --before
        print(json.dumps(measure(args.days, args.stocks, args.runs, args.images)))
        return

    with tempfile.TemporaryDirectory() as tmp:
        now_dir, before_dir = Path(tmp) / "now", Path(tmp) / "before"
        now_dir.mkdir()
        before_dir.mkdir()
        before = None
        if args.before is not None:
            env = dict(os.environ, PYTHONPATH=str(args.before.resolve()))
            child = subprocess.run(
                [sys.executable, __file__, "--days", str(args.days), "--stocks", str(args.stocks), "--runs",
                 str(args.runs), "--images", str(before_dir)], env=env, capture_output=True, text=True, check=True)
            before = json.loads(child.stdout.strip().splitlines()[-1])
        now = measure(args.days, args.stocks, args.runs, now_dir)

        print(f"chart pages at {args.days} days, medians of {args.runs} runs")
        for page, seconds in now.items():
            line = f"  {page:16s} {seconds:6.2f} s"
            if before is not None and page in before:
                line += f"   before {before[page]:6.2f} s   {before[page] / seconds:4.1f}x faster"
            print(line)
        if before is not None:
            print("pixels, before against now:")
            for image in sorted(now_dir.glob("*.png")):
                earlier = before_dir / image.name
                found = compare(earlier, image) if earlier.exists() else "new page"
                print(f"  {image.name:28s} {found}")


if __name__ == "__main__":
    main()
