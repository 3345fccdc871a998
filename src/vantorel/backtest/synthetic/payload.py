"""The market as the payload the prepared-data store writes."""

from __future__ import annotations

import numpy as np
import pandas as pd

from vantorel.backtest._store import component_dataset_key
from vantorel.backtest.synthetic.market import SyntheticMarket


def market_payload(
    market: SyntheticMarket,
    start_date: str | None = None,
    end_date: str | None = None,
    *,
    time_key: str = "created_at",
) -> dict:
    """The market as a store payload: ``{"version", "meta", "data"}``.

    ``data`` holds the twelve base matrices, one membership mask per component
    name (under the store's own dataset key for that name) and
    ``benchmark_dict``, cut to the inclusive date range (None = open). The
    first row of an incremental payload keeps its real previous close.
    """
    dates = pd.Index(market.dates)
    rows = np.ones(len(dates), dtype=bool)
    if start_date is not None:
        rows &= np.asarray(dates >= start_date)
    if end_date is not None:
        rows &= np.asarray(dates <= end_date)

    keys = {name: component_dataset_key(name) for name in market.components}
    data: dict = {key: frame.loc[rows] for key, frame in market.frames.items()}
    for name, mask in market.components.items():
        data[keys[name]] = mask.loc[rows]
    data["benchmark_dict"] = {
        name: series.loc[rows].rename("index_daily_return")
        for name, series in market.benchmark_dict.items()
    }
    kept = dates[rows]
    meta = {
        "start_date": kept[0] if len(kept) else None,
        "end_date": kept[-1] if len(kept) else None,
        "component_names": list(market.components),
        "component_dataset_keys": keys,
        time_key: pd.Timestamp.now().isoformat(timespec="microseconds"),
    }
    return {"version": 1, "meta": meta, "data": data}
