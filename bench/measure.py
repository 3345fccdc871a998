"""Timing and memory helpers shared by the benchmarks."""

from __future__ import annotations

import argparse
import statistics
import time
from pathlib import Path


def timed(fn) -> tuple[float, object]:
    """(seconds, result) of one call."""
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def median_time(fn, runs: int) -> float:
    return statistics.median(timed(fn)[0] for _ in range(runs))


def status_kib(field: str) -> int:
    """A field of /proc/self/status in KiB (Linux only)."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


def peak_added_memory(fn) -> float | None:
    """Peak resident memory added while one call runs and its result is alive, in MiB (Linux only)."""
    try:
        Path("/proc/self/clear_refs").write_text("5")  # resets the high-water mark
        before = status_kib("VmRSS")
        result = fn()
        added = (status_kib("VmHWM") - before) / 1024
        del result
        return added
    except OSError:
        return None


def in_order(frame, order: str):
    """The same Frame with its values in memory order "C" (row by row) or "F" (column by column).

    A Frame already in that order is returned as it is; otherwise one copy of its values.
    """
    import numpy as np
    import pandas as pd

    values = frame.to_numpy()
    if (order == "C" and values.flags.c_contiguous) or (order == "F" and values.flags.f_contiguous):
        return frame
    values = np.ascontiguousarray(values) if order == "C" else np.asfortranarray(values)
    return pd.DataFrame(values, index=frame.index, columns=frame.columns, copy=False)


def layout_times(call, inputs: dict, runs: int) -> tuple[float, float]:
    """Median seconds of call(**inputs) with every Frame in row order, then in column order.

    Each layout is warmed up once (first touch of its pages) before it is timed.
    """
    out = []
    for order in ("C", "F"):
        frames = {name: in_order(f, order) for name, f in inputs.items()}
        call(**frames)
        out.append(median_time(lambda frames=frames: call(**frames), runs))
        del frames
    return out[0], out[1]


def print_layouts(rows: list[tuple[str, float, float]], runs: int) -> None:
    """The table of layout_times() results, with the column/row ratio."""
    print(f"\n{'inputs in memory order':34s} {'row s':>8s} {'column s':>9s} {'column/row':>11s}   "
          f"(medians of {runs})")
    for name, t_row, t_col in rows:
        print(f"{name:34s} {t_row:8.3f} {t_col:9.3f} {t_col / t_row:10.2f}x")


def scale_parser(doc: str, days: int = 4000, stocks: int = 5000, runs: int = 5) -> argparse.ArgumentParser:
    """A benchmark's command line: its scale (--days, --stocks) and --runs, described by its docstring."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--days", type=int, default=days)
    parser.add_argument("--stocks", type=int, default=stocks)
    parser.add_argument("--runs", type=int, default=runs)
    return parser
