"""The data-preparation rules stated plainly in pandas, to check the builder against.

Each function is a direct statement of one rule with the frame library's own
operations (rename, to_numeric, groupby, drop_duplicates, pivot, label-aligned
arithmetic, shift, rank). The benchmark uses the same statement as its
baseline.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from vantorel.backtest._store import clean_matrix

KEY_ERROR = "因子查询返回结果缺少 ukey/date 列"


def date_text(value) -> str | None:
    """One date value as YYYYMMDD; numbers such as 20200102 are dates, not counts since 1970."""
    if value is None or isinstance(value, (bool, np.bool_)):
        return None
    if isinstance(value, (int, np.integer, float, np.floating)) and not isinstance(value, bool):
        if not np.isfinite(value) or value != int(value):
            return None
        stamp = pd.to_datetime(str(int(value)), format="%Y%m%d", errors="coerce")
    elif isinstance(value, str):
        text = value.strip()
        fmt = "%Y%m%d" if len(text) == 8 and text.isdigit() else None
        stamp = pd.to_datetime(text[:10] if fmt is None and len(text) > 10 and text[10] in " T" else text,
                               format=fmt, errors="coerce")
    else:
        stamp = pd.to_datetime(value, errors="coerce")
    return None if pd.isna(stamp) else stamp.strftime("%Y%m%d")


def to_yyyymmdd(values: pd.Series) -> pd.Series:
    """series_to_yyyymmdd: datetime columns formatted at once, anything else value by value."""
    if pd.api.types.is_datetime64_any_dtype(values):
        return pd.to_datetime(values, errors="coerce").dt.strftime("%Y%m%d")
    uniques = pd.unique(values.to_numpy(dtype=object))
    table = {u: date_text(u) for u in uniques if not (isinstance(u, float) and np.isnan(u))}
    return values.map(lambda v: table.get(v) if not (isinstance(v, float) and np.isnan(v)) else None)


def _pivot(group: pd.DataFrame) -> pd.DataFrame:
    group = group.dropna(subset=["ukey", "DataDate", "x"]).drop_duplicates(["ukey", "DataDate"], keep="last")
    if group.empty:
        return pd.DataFrame()
    return clean_matrix(group.pivot(index="DataDate", columns="ukey", values="x"))


def factors_to_matrices(df: pd.DataFrame | None, names: list[str]) -> dict[str, pd.DataFrame]:
    out = {name: pd.DataFrame() for name in names}
    if df is None or len(df) == 0:
        return out
    df = df.copy()
    renames = {}
    for target, spellings in (("DataDate", ["date"]), ("x", ["value"]), ("factorname", ["factor", "factor_name"])):
        if target not in df.columns:
            found = [s for s in spellings if s in df.columns]
            if found:
                renames[found[0]] = target
    df = df.rename(columns=renames)
    if "ukey" not in df.columns or "DataDate" not in df.columns:
        raise KeyError(KEY_ERROR)
    ukey = df["ukey"]
    df["ukey"] = ukey.astype(object).where(ukey.isna(), ukey.astype(str).str[:6])
    df["DataDate"] = to_yyyymmdd(df["DataDate"])
    has_x = "x" in df.columns
    if has_x:
        df["x"] = pd.to_numeric(df["x"], errors="coerce")
    if has_x and "factorname" in df.columns:
        names_col = df["factorname"]
        keys = names_col.astype(object).where(names_col.isna(), names_col.astype(str))
        for name, group in df.groupby(keys, sort=False):
            if name in out:
                out[name] = _pivot(group[["DataDate", "ukey", "x"]])
    elif has_x and len(names) == 1:
        out[names[0]] = _pivot(df[["DataDate", "ukey", "x"]])
    else:
        for name in names:
            if name in df.columns:
                part = df[["DataDate", "ukey", name]].rename(columns={name: "x"})
                part["x"] = pd.to_numeric(part["x"], errors="coerce")
                out[name] = _pivot(part)
    return {name: frame if len(frame) else pd.DataFrame() for name, frame in out.items()}


def membership(raw: pd.DataFrame) -> pd.DataFrame | None:
    cleaned = raw.replace([np.inf, -np.inf], np.nan).replace(0, np.nan).sort_index()
    mask = cleaned.notna()
    if not mask.to_numpy().any():
        return None
    return mask.astype(float).where(mask)


def format_benchmark(df: pd.DataFrame | None, name: str, code: str) -> pd.Series:
    if df is None or len(df) == 0:
        raise KeyError(f"基准日频数据为空: {name} ({code})")
    df = df.copy()
    if "DataDate" not in df.columns:
        df = df.rename(columns={"date": "DataDate"})
    if "DataDate" not in df.columns:
        raise KeyError(f"{name} 基准缺少 DataDate 列")
    df["DataDate"] = to_yyyymmdd(df["DataDate"])
    df = df.dropna(subset=["DataDate"]).sort_values("DataDate", kind="stable")
    if "ukey" in df.columns:
        df = df[df["ukey"].astype(str) == code]
    df = df.drop_duplicates(["DataDate"], keep="last")
    if "daily_return" not in df.columns:
        alt = [c for c in ("return", "returns", "pct_change", "change_rate") if c in df.columns]
        if alt:
            df["daily_return"] = pd.to_numeric(df[alt[0]], errors="coerce")
        elif "close" in df.columns:
            close = pd.to_numeric(df["close"], errors="coerce")
            df["daily_return"] = close / close.shift(1) - 1
        else:
            raise KeyError(f"{name} 基准缺少 daily_return/close 列")
    values = pd.to_numeric(df["daily_return"], errors="coerce").to_numpy(dtype=float)
    out = pd.Series(values, index=pd.Index(df["DataDate"].to_numpy(dtype=object), name="DataDate"),
                    name="index_daily_return")
    return out.dropna()


def build_from_matrices(source: dict[str, pd.DataFrame]) -> dict[str, pd.DataFrame]:
    cp = source["Close"]
    valid = cp * 0 + 1
    split = source["split_coefficient_to"] / 10 * valid
    dividend = source["rq_get_dividend"] / 10 * 0.9 + (valid - 1)
    if len(cp):
        split = split[split.index >= cp.index[0]]
        dividend = dividend[dividend.index <= cp.index[-1]]
    else:
        split, dividend = split.iloc[0:0], dividend.iloc[0:0]
    raw = source["rq_is_suspended"]
    susp = pd.DataFrame(np.where(raw == 1, np.nan, 1.0), index=raw.index, columns=raw.columns)
    sell, buy = source["tick_vwap_price_925_1000"], source["tick_vwap_price_935_1005"]
    e_sell = sell == source["limit_down"].reindex(index=sell.index, columns=sell.columns)
    e_buy = buy == source["limit_up"].reindex(index=buy.index, columns=buy.columns)
    opens = source["Open"]
    forward = (opens.shift(-2) / opens.shift(-1) - 1).replace([np.inf, -np.inf], np.nan)
    return {
        "industry_matrix": source["rq_industry_exposure_new"],
        "close_price": cp,
        "open_price": opens,
        "close_price_valid": valid,
        "prev_close": cp.shift(1),
        "buy_price": buy,
        "sell_price": sell,
        "rq_get_split": split,
        "rq_get_dividend": dividend,
        "can_buy_stock": e_buy.add(susp, fill_value=0.0) <= 0,
        "cant_sell_stock": e_sell.add(susp, fill_value=0.0) > 0,
        "forward_return_rank_cache": forward.rank(axis=1, method="average"),
    }
