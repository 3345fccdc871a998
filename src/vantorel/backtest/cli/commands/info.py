"""``info``: what the prepared-data store holds."""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

from .. import render
from ..errors import CliError
from . import _options

DESCRIPTION = """\
Shows the prepared-data store: its date range and stock count, every dataset (rows, columns,
last date), the benchmarks, the index memberships (members on the last date), the size on disk
and when the store was created and last updated. Reads only the metadata and, through memory
maps, the last row of each membership matrix.
"""


def register(subparsers, parents) -> None:
    parser = _options.add_command(subparsers, parents, "info", "describe the prepared-data store", DESCRIPTION)
    parser.add_argument("--json", action="store_true", help="print the description as JSON")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from vantorel.backtest import _service

    report = describe(Path(_service._DEFAULT_DATA_DIR))
    if args.json:
        render.print_json(report)
    else:
        _print(report)
    return 0


def describe(directory: Path) -> dict:
    from vantorel.backtest._prepare import BinaryPreparedDataStore

    store = BinaryPreparedDataStore(directory)
    if not store.metadata_path.is_file():
        raise CliError(f"no prepared data in {directory} (run 'vantorel-backtest prepare' first)")
    metadata = store.load_metadata()
    meta = metadata.get("meta") or {}
    descriptors = metadata.get("datasets") or {}
    benchmark_keys = set((metadata.get("benchmarks") or {}).values())
    datasets = []
    for key, desc in descriptors.items():
        if key in benchmark_keys:
            continue
        shape, index = tuple(desc.get("shape") or ()), desc.get("index") or []
        datasets.append({"key": key, "rows": shape[0] if shape else 0,
                         "columns": shape[1] if len(shape) > 1 else 1, "last_date": _last(index)})
    main = descriptors.get("close_price") or next(iter(descriptors.values()), {})
    dates = main.get("index") or []
    benchmarks = []
    for name, key in (metadata.get("benchmarks") or {}).items():
        index = (descriptors.get(key) or {}).get("index") or []
        benchmarks.append({"name": name, "rows": len(index), "first_date": _first(index), "last_date": _last(index)})
    return {
        "data_dir": str(directory),
        "first_date": _first(dates),
        "last_date": _last(dates),
        "days": len(dates),
        "stocks": len(main.get("columns") or []),
        "datasets": datasets,
        "benchmarks": benchmarks,
        "memberships": _memberships(store, meta, _last(dates)),
        "size_bytes": sum(p.stat().st_size for p in directory.iterdir() if p.is_file()),
        "created_at": _text(meta.get("created_at")),
        "updated_at": _text(metadata.get("updated_at") or meta.get("updated_at")),
    }


def _memberships(store, meta: dict, last: str | None) -> list[dict]:
    keys = dict(meta.get("component_dataset_keys") or {})
    if not keys or last is None:
        return []
    frames = store.load(last, last, keys=list(keys.values()))["data"]
    out = []
    for name, key in keys.items():
        frame = frames.get(key)
        members = None
        if frame is not None and len(frame):
            row = frame.iloc[-1].to_numpy(dtype=np.float64)
            members = int(np.count_nonzero(np.isfinite(row) & (row != 0)))
        out.append({"name": name, "key": key, "members": members})
    return out


def _first(index) -> str | None:
    return str(index[0]) if len(index) else None


def _last(index) -> str | None:
    return str(index[-1]) if len(index) else None


def _text(value) -> str | None:
    return None if value is None else str(value)


def _size(n: int) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n} B"


def _print(report: dict) -> None:
    overview = render.table(
        f"Prepared data in {report['data_dir']}", ["", ""],
        [("dates", f"{report['first_date']} to {report['last_date']} ({report['days']} trading days)"),
         ("stocks", report["stocks"]),
         ("size on disk", _size(report["size_bytes"])),
         ("created", report["created_at"] or "--"),
         ("last update", report["updated_at"] or "--")],
        numeric_from=2, header=False,
    )
    datasets = render.table("Datasets", ["key", "rows", "columns", "last date"],
                            ((d["key"], d["rows"], d["columns"], d["last_date"] or "--") for d in report["datasets"]))
    benchmarks = render.table("Benchmarks", ["index", "rows", "first date", "last date"],
                              ((b["name"], b["rows"], b["first_date"] or "--", b["last_date"] or "--")
                               for b in report["benchmarks"]))
    members = render.table(f"Index memberships on {report['last_date']}", ["index", "members"],
                           ((m["name"], "--" if m["members"] is None else m["members"]) for m in report["memberships"]))
    render.show(overview, datasets, benchmarks, members)
