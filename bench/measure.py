"""Timing and memory helpers shared by the benchmarks."""

from __future__ import annotations

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
