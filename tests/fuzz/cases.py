"""The table of fuzzed entry points and the generator of one case per (entry, seed).

A case starts from well-formed arguments built from a small synthetic market
and spoils one or two of them (about a quarter of the cases spoil nothing and
must return a well-formed result). ``make_case(entry, seed, ctx)`` is a pure
function of its arguments, so a case replays exactly from its entry and seed.
"""

from __future__ import annotations

import copy
import math
import os
import pickle
import shutil
import zlib
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

from . import values as V
from .values import pick

STAT_KEYS = {
    "annual_return", "long_sharp", "max_dd", "benchmark_annual_return", "benchmark_sharp", "extra_annual_return",
    "extra_sharp", "extra_max_dd", "return_corr", "win_rate", "excess_win_rate", "holding_count", "turnover",
}
BASE_KEYS = [
    "industry_matrix", "close_price", "open_price", "close_price_valid", "prev_close", "buy_price", "sell_price",
    "rq_get_split", "rq_get_dividend", "can_buy_stock", "cant_sell_stock", "forward_return_rank_cache",
]
MARKET_ARGS = ["can_buy_stock", "cant_sell_stock", "split_factor", "dividend_factor", "close_price", "prev_close",
               "buy_price", "sell_price"]
ARG_KEY = {"split_factor": "rq_get_split", "dividend_factor": "rq_get_dividend"}
BOOL_ARGS = {"can_buy_stock", "cant_sell_stock"}


@dataclass
class Case:
    fn: Callable[..., Any]
    args: dict[str, Any]
    pos: int                              # how many leading arguments go by position
    mutated: list[str]                    # argument names (and dataset keys) that were spoiled
    notes: list[str]
    check: Callable[[Any, bool], None] | None
    unwatched: tuple[str, ...] = ()       # arguments a call may legitimately change
    allowed: tuple[type, ...] = ()        # further exception types documented for this case
    lenient: tuple[type, ...] = ()        # documented errors of the frame library, accepted whatever their text
    cleanup: list[Callable[[], None]] = field(default_factory=list)

    @property
    def valid(self) -> bool:
        return not self.mutated

    def call(self):
        names = list(self.args)
        return self.fn(*[self.args[n] for n in names[: self.pos]], **{n: self.args[n] for n in names[self.pos:]})


class Gen:
    """Draws which arguments of one case are spoiled and spoils them."""

    def __init__(self, rng, ctx, names: tuple[str, ...]):
        self.rng, self.ctx = rng, ctx
        u = rng.random()
        n = 0 if u < 0.25 else (1 if u < 0.85 else 2)
        n = min(n, len(names))
        self.chosen = set(rng.choice(np.array(names, dtype=object), size=n, replace=False).tolist()) if n else set()
        self.mutated: list[str] = []
        self.notes: list[str] = []
        self.allowed: list[type] = []
        self.lenient: list[type] = []

    def hit(self, name: str) -> bool:
        return name in self.chosen

    def param(self, name: str, kind: str, value, spoil: Callable | None = None):
        if name not in self.chosen:
            return value
        rng = self.rng
        if spoil is not None:
            out = spoil(rng, value)
        elif kind in ("frame", "bframe"):
            out = V.odd_frame(rng, value)
        elif kind == "series":
            out = V.odd_series(rng, value)
        elif kind == "bdict":
            out = V.odd_benchmark_dict(rng, value)
        elif kind in ("date", "int", "float", "text"):
            out = V.odd_scalar(rng, kind)
        elif kind == "bool":
            out = pick(rng, [None, "False", 0, 1, np.bool_(True), pd.NA, [], float("nan")]), "odd truth value"
            out = out[0], f"{V._short(out[0])}"
        elif kind == "names":
            value = pick(rng, [None, "a,b", 5, [5, None], ["x" * 300], [""], ["../../x"], {"a": 1}, ("a",), [b"x"],
                               ["rq_index_components_new_000300.XSHG"] * 2, [float("nan")], ["名称"]])
            out = value, V._short(value)
        else:  # any
            value = pick(rng, V.WRONG_TYPES + [5, "x", pd.DataFrame(), pd.Series(dtype=float)])
            out = value, V._short(value)
        value, note = out
        if name not in self.mutated:
            self.mutated.append(name)
        self.notes.append(f"{name}: {note}")
        return value

    def also(self, *names: str) -> None:
        """Names a dataset key (or similar) that an error message may mention instead of the argument."""
        for n in names:
            if n not in self.mutated:
                self.mutated.append(n)

    def case(self, fn, args: dict, pos: int, check=None, **kw) -> Case:
        return Case(fn, args, pos, self.mutated, self.notes, check, allowed=tuple(self.allowed),
                    lenient=tuple(self.lenient), **kw)


# --------------------------------------------------------------------------
# result checks (raise AssertionError with a reason)
# --------------------------------------------------------------------------


def _need(cond: bool, what: str) -> None:
    if not cond:
        raise AssertionError(what)


def _date_labels(index: pd.Index, what: str) -> None:
    _need(all(isinstance(d, str) and len(d) == 8 and d.isdigit() for d in index), f"{what}: labels not YYYYMMDD text")


def check_stats(stats, valid: bool) -> None:
    _need(isinstance(stats, dict), f"stats is {type(stats).__name__}")
    _need(set(stats) == STAT_KEYS, f"stats keys {sorted(set(stats) ^ STAT_KEYS)}")
    for k, v in stats.items():
        _need(isinstance(v, float), f"stats[{k}] is {type(v).__name__}")
        if valid:
            _need(V.finite_or_nan(v), f"stats[{k}] = {v}")


def check_strategy(res, valid: bool) -> None:
    for name in ("daily_return", "cumulative_return"):
        s = getattr(res, name)
        _need(isinstance(s, pd.Series) and s.dtype == np.float64, f"{name} is not a float64 Series")
        if valid:
            _date_labels(s.index, name)
    _need(res.daily_return.index.equals(res.cumulative_return.index), "daily and cumulative dates differ")
    check_stats(res.stats, valid)
    _need(isinstance(res.benchmark_summary, pd.DataFrame), "benchmark_summary is not a Frame")
    _need(isinstance(res.plot_paths, dict) and all(isinstance(v, str) for v in res.plot_paths.values()),
          "plot_paths is not a dict of texts")
    _need(isinstance(res.strategy_name, str), "strategy_name is not text")


def check_factor_result(res, valid: bool) -> None:
    from vantorel.backtest.result import BacktestResult

    _need(isinstance(res, BacktestResult), f"result is {type(res).__name__}")
    _need(isinstance(res.factor_name, str), "factor_name is not text")
    _need(type(res.best_group) is int, f"best_group is {type(res.best_group).__name__}")
    for name in ("group_daily_return", "group_cumulative_return", "benchmark_summary"):
        _need(isinstance(getattr(res, name), pd.DataFrame), f"{name} is not a Frame")
    _need(isinstance(res.rank_ic, pd.Series), "rank_ic is not a Series")
    _need(isinstance(res.plot_paths, dict) and all(isinstance(v, str) for v in res.plot_paths.values()),
          "plot_paths is not a dict of texts")
    if valid:
        _date_labels(res.group_daily_return.index, "group_daily_return")


def is_type(*types, strict_index: bool = False):
    def check(res, valid: bool) -> None:
        _need(isinstance(res, types), f"result is {type(res).__name__}, expected {'/'.join(t.__name__ for t in types)}")
        if isinstance(res, pd.Series | pd.DataFrame) and isinstance(res.dtypes if isinstance(res, pd.DataFrame)
                                                                    else res.dtype, np.dtype):
            pass
        if valid and strict_index and isinstance(res, pd.Series | pd.DataFrame):
            _date_labels(res.index, "result")
    return check


def check_float_series(res, valid: bool) -> None:
    _need(isinstance(res, pd.Series) and res.dtype == np.float64,
          f"result is not a float64 Series ({type(res).__name__})")
    if valid:
        _date_labels(res.index, "result")


def check_payload(res, valid: bool) -> None:
    _need(isinstance(res, dict) and {"version", "meta", "data"} <= set(res), "payload lacks version/meta/data")
    _need(isinstance(res["data"], dict), "payload data is not a dict")
    for key, value in res["data"].items():
        if key == "benchmark_dict":
            _need(isinstance(value, dict) and all(isinstance(s, pd.Series) for s in value.values()),
                  "benchmark_dict is not a dict of Series")
        else:
            _need(isinstance(value, pd.DataFrame), f"data[{key}] is not a Frame")
            if valid:
                _date_labels(value.index, key)


# --------------------------------------------------------------------------
# stores on disk
# --------------------------------------------------------------------------


def copy_store(ctx, which: str = "store") -> Path:
    target = ctx.case_dir() / "store"
    shutil.copytree(ctx.templates[which], target)
    return target


def _flip(path: Path, rng, n: int = 1) -> None:
    data = bytearray(path.read_bytes())
    for _ in range(n):
        if data:
            k = int(rng.integers(len(data)))
            data[k] ^= 1 << int(rng.integers(8))
    path.write_bytes(bytes(data))


class _Evil:
    def __reduce__(self):
        return (os.getpid, ())


def damage(rng, store_dir: Path) -> str:
    """Spoils a store directory in place; returns what was done."""
    meta = store_dir / "metadata.pkl"
    bins = sorted(store_dir.glob("*.bin"))
    data = pick(rng, bins) if bins else meta
    kinds = [
        "absent", "flip metadata", "flip data", "flip manifest", "truncate metadata", "truncate data",
        "fifo metadata", "fifo data", "fifo manifest", "dir as metadata", "dir as data", "delete data",
        "delete manifest", "empty metadata", "metadata non-dict", "metadata record", "evil pickle",
        "append to data", "empty data",
    ]
    kind = pick(rng, kinds)
    if kind == "absent":
        shutil.rmtree(store_dir)
    elif kind == "flip metadata":
        _flip(meta, rng, int(rng.integers(1, 4)))
    elif kind == "flip data":
        _flip(data, rng, int(rng.integers(1, 4)))
    elif kind == "flip manifest":
        _flip(store_dir / "manifest.json", rng)
    elif kind.startswith("truncate"):
        path = meta if kind.endswith("metadata") else data
        raw = path.read_bytes()
        path.write_bytes(raw[: int(rng.integers(0, max(len(raw), 1)))])
    elif kind.startswith("fifo") or kind.startswith("dir as"):
        path = {"metadata": meta, "data": data, "manifest": store_dir / "manifest.json"}[kind.split()[-1]]
        path.unlink()
        os.mkfifo(path) if kind.startswith("fifo") else path.mkdir()
    elif kind == "delete data":
        data.unlink()
    elif kind == "delete manifest":
        (store_dir / "manifest.json").unlink()
    elif kind == "empty metadata":
        meta.write_bytes(b"")
    elif kind == "metadata non-dict":
        meta.write_bytes(pickle.dumps(pick(rng, [[1, 2], None, "metadata", 5, ("datasets",)]), protocol=5))
    elif kind == "evil pickle":
        meta.write_bytes(pickle.dumps({"datasets": {}, "x": _Evil()}, protocol=5))
    elif kind == "append to data":
        with open(data, "ab") as f:
            f.write(b"\x00" * int(rng.integers(1, 64)))
    elif kind == "empty data":
        data.write_bytes(b"")
    else:  # odd record: one entry of the metadata replaced
        record = pickle.loads(meta.read_bytes())
        kind = "metadata " + _odd_record(rng, record)
        meta.write_bytes(pickle.dumps(record, protocol=5))
    return kind


def _odd_record(rng, record: dict) -> str:
    datasets = record.get("datasets", {})
    key = pick(rng, list(datasets)) if datasets else "close_price"
    desc = datasets.get(key, {})
    fields = list(desc) if isinstance(desc, dict) else ["index"]
    odd = pick(rng, [None, [], {}, -1, 2**64, "x", 1.5, float("nan"), ["20200101", 5], "../../../etc/passwd",
                     "complex128", (1, 2, 3), [-1, 3], [2**40, 2**40]])
    where = int(rng.integers(6))
    if where == 0:
        record["datasets"] = pick(rng, [[], None, "x", {5: {}}])
        return "datasets replaced"
    if where == 1:
        record["benchmarks"] = pick(rng, [[], None, {"000852": "nope"}, {"000852": 5}, "000852", {}])
        return "benchmarks replaced"
    if where == 2 and isinstance(desc, dict) and fields:
        f = pick(rng, fields)
        desc.pop(f)
        return f"{key}.{f} removed"
    if where == 3:
        record.pop(pick(rng, list(record)), None)
        return "an entry removed"
    if isinstance(desc, dict) and fields:
        f = pick(rng, fields)
        desc[f] = odd
        return f"{key}.{f}={V._short(odd)}"
    record["datasets"][key] = odd
    return f"{key}={V._short(odd)}"


# --------------------------------------------------------------------------
# data-service clients that answer garbage
# --------------------------------------------------------------------------


def _spoil_table(rng, df):
    if not isinstance(df, pd.DataFrame):
        return df, "as is"
    kinds = {
        "None": lambda: None,
        "empty": lambda: df.iloc[:0],
        "DataFrame()": lambda: pd.DataFrame(),
        "list": lambda: df.to_dict("records"),
        "drop column": lambda: df.drop(columns=[pick(rng, list(df.columns))]),
        "text values": lambda: df.assign(**{c: "abc" for c in df.columns[2:3]}),
        "garbage dates": lambda: df.assign(**{df.columns[1]: pick(rng, ["2020-13-45", "", None, "abc", 0])}),
        "int ukeys": lambda: df.assign(ukey=np.arange(len(df))),
        "NaN ukeys": lambda: df.assign(ukey=np.nan),
        "duplicated": lambda: pd.concat([df, df]),
        "shuffled": lambda: df.sample(frac=1.0, random_state=int(rng.integers(1 << 30))),
        "inf values": lambda: df.assign(**{c: np.inf for c in df.columns[2:3]}),
        "huge values": lambda: df.assign(**{c: V.HUGE for c in df.columns[2:3]}),
        "category": lambda: df.astype("category"),
        "extra column": lambda: df.assign(extra="x"),
        "tz dates": lambda: df.assign(**{df.columns[1]: pd.Timestamp("2020-01-02", tz="Asia/Shanghai")}),
        "short ukeys": lambda: df.assign(ukey="60"),
    }
    name = pick(rng, list(kinds))
    try:
        return kinds[name](), name
    except Exception:  # a spoiler that does not apply to this table
        return df, "as is"


class GarbageClient:
    """The synthetic data service, with some answers spoiled (decided per call, deterministically)."""

    def __init__(self, inner, rng, share: float):
        self.inner, self.share = inner, share
        self.seed = int(rng.integers(1 << 30))
        self.calls = 0
        self.http = None

    def _spoil(self, df):
        self.calls += 1
        rng = np.random.default_rng([self.seed, self.calls])
        if rng.random() < self.share:
            return _spoil_table(rng, df)[0]
        return df

    def get_factors(self, factor, start_date, end_date):
        return self._spoil(self.inner.get_factors(factor=factor, start_date=start_date, end_date=end_date))

    def get_index_daily(self, ukeys, start_date, end_date):
        return self._spoil(self.inner.get_index_daily(ukeys=ukeys, start_date=start_date, end_date=end_date))


def service_client(g: Gen, name: str = "client"):
    from vantorel.backtest.synthetic_service import SyntheticDataService

    rng = g.rng
    kw = dict(form=pick(rng, ["narrow", "wide"]), date_kind=pick(rng, ["datetime", "text", "int"]),
              index_value=pick(rng, ["daily_return", "close"]))
    if rng.random() < 0.3:
        kw.update(date_column=pick(rng, ["date", "DataDate"]), value_column=pick(rng, ["value", "x"]),
                  factor_column=pick(rng, ["factor", "factor_name"]))
    client = SyntheticDataService(g.ctx.market, **kw)
    if not g.hit(name):
        return client
    if rng.random() < 0.25:
        failing = pick(rng, ["batch", "Close", "index", "rq_index_components_new_000300.XSHG"])

        def fail(method, what, failing=failing):
            if failing == "batch":
                return method == "get_factors" and not isinstance(what, str)
            if failing == "index":
                return method == "get_index_daily"
            return what == failing

        client.fail = fail
        return g.param(name, "any", client, spoil=lambda r, v: (v, f"NetworkError on {failing}"))
    share = float(pick(rng, [0.05, 0.2, 1.0]))
    garbage = GarbageClient(client, rng, share)
    return g.param(name, "any", garbage, spoil=lambda r, v: (v, f"garbage answers ({share:.0%})"))


# --------------------------------------------------------------------------
# well-formed inputs
# --------------------------------------------------------------------------


def weights(g: Gen) -> pd.DataFrame:
    from vantorel.backtest import synthetic

    m = g.ctx.market
    kind = pick(g.rng, ["sparse", "momentum", "long_short", "equal"])
    seed = int(g.rng.integers(1000))
    if kind == "sparse":
        return synthetic.sparse_random_weights(m, density=0.3, seed=seed)
    if kind == "momentum":
        return synthetic.momentum_weights(m, top_n=4, lookback=3)
    if kind == "long_short":
        return synthetic.long_short_weights(m, n=3, lookback=3)
    return pd.DataFrame(1.0 / m.n_stocks, index=pd.Index(m.dates), columns=pd.Index(m.codes))


def factor(g: Gen) -> pd.DataFrame:
    m = g.ctx.market
    values = g.rng.normal(size=(m.n_days, m.n_stocks))
    values[g.rng.random(values.shape) < 0.1] = np.nan
    return pd.DataFrame(values, index=pd.Index(m.dates), columns=pd.Index(m.codes))


def date_pair(g: Gen) -> tuple[Any, Any]:
    dates = g.ctx.market.dates
    i, j = sorted(g.rng.integers(0, len(dates), 2).tolist())
    lo, hi = dates[i], dates[max(j, i + 3) if i + 3 < len(dates) else j]
    if g.rng.random() < 0.3:
        lo = int(lo)
    if g.rng.random() < 0.2:
        lo, hi = "20000101", "20991231"
    return lo, hi


def frames_of(g: Gen, data: dict, names=MARKET_ARGS) -> dict:
    return {n: data[ARG_KEY.get(n, n)] for n in names}


def spoil_bundle(g: Gen, data: dict, needed: list[str]):
    """Spoils a loaded bundle: wrong type, a missing or odd dataset, an odd benchmark dictionary."""
    from vantorel.backtest.result import BacktestData

    def spoil(rng, bundle):
        kind = pick(rng, ["wrong type", "missing", "odd frame", "odd frame", "odd frame", "benchmarks", "inner type"])
        inner = dict(data)
        if kind == "wrong type":
            return pick(rng, [None, dict(data), 5, "bundle", [data]]), "bundle of the wrong type"
        if kind == "inner type":
            return SimpleNamespace(data=pick(rng, [None, [], "data", 5])), "bundle.data of the wrong type"
        if kind == "missing":
            key = pick(rng, needed)
            inner.pop(key, None)
            g.also(key)
            return BacktestData(data=inner), f"{key} missing"
        if kind == "benchmarks":
            inner["benchmark_dict"], note = V.odd_benchmark_dict(rng, data["benchmark_dict"])
            g.also("benchmark_dict")
            return BacktestData(data=inner), note
        key = pick(rng, [k for k in needed if k != "benchmark_dict"])
        inner[key], note = V.odd_frame(rng, data[key])
        g.also(key)
        return BacktestData(data=inner), f"{key}: {note}"

    return g.param("data", "any", BacktestData(data=data), spoil=spoil)


# --------------------------------------------------------------------------
# the entry points
# --------------------------------------------------------------------------

ENTRIES: dict[str, tuple[Callable[[Gen], Case], tuple[str, ...], int]] = {}


def entry(name: str, mutable: tuple[str, ...], weight: int = 2):
    def register(fn):
        ENTRIES[name] = (fn, mutable, weight)
        return fn
    return register


def _service(g: Gen):
    from vantorel.backtest import BacktestService
    return BacktestService(None)


STRATEGY_NEEDED = ["can_buy_stock", "cant_sell_stock", "rq_get_split", "rq_get_dividend", "close_price", "prev_close",
                   "buy_price", "sell_price", "benchmark_dict"]


@entry("service.backtest_strategy", ("strategy", "data", "start_date", "end_date", "output_dir", "plot_filename",
                                     "benchmark", "rolling_window", "total_money", "fee", "rule_fee", "plot"), 5)
def _(g: Gen) -> Case:
    svc = _service(g)
    lo, hi = date_pair(g)
    plot = pick(g.rng, [None] * 14 + ["large", "long"])
    args = {
        "strategy": g.param("strategy", "frame", weights(g)),
        "data": spoil_bundle(g, g.ctx.bundle_data, STRATEGY_NEEDED),
        "start_date": g.param("start_date", "date", lo),
        "end_date": g.param("end_date", "date", hi),
        "output_dir": g.param("output_dir", "text", str(g.ctx.case_dir())),
        "plot_filename": g.param("plot_filename", "text", "fz"),
        "benchmark": g.param("benchmark", "text", pick(g.rng, ["000852", "000300", "000905", "all"])),
        "rolling_window": g.param("rolling_window", "int", int(pick(g.rng, [0, 0, 1, 3, 5]))),
        "total_money": g.param("total_money", "float", float(pick(g.rng, [1e8, 1e6, 3e4]))),
        "fee": g.param("fee", "float", 0.0001),
        "rule_fee": g.param("rule_fee", "float", 0.0005),
        "plot": g.param("plot", "text", plot),
    }
    return g.case(svc.backtest_strategy, args, 6, check_strategy)


FACTOR_NEEDED = ["industry_matrix", "close_price_valid", "can_buy_stock", "cant_sell_stock", "rq_get_split",
                 "rq_get_dividend", "close_price", "prev_close", "buy_price", "sell_price", "benchmark_dict",
                 "forward_return_rank_cache", "open_price"]


@entry("service.backtest", ("factor", "data", "start_date", "end_date", "output_dir", "plot_filename", "group_num",
                            "benchmark", "universe", "rolling_window", "ascending", "total_money", "fee", "rule_fee",
                            "plot"), 2)
def _(g: Gen) -> Case:
    svc = _service(g)
    lo, hi = date_pair(g)
    data = g.ctx.bundle_data
    universe = pick(g.rng, [None, None, "000300", ["000905", "000852"], "932000", " 399303 "])

    def spoil_universe(rng, value):
        v = pick(rng, ["999999", [300], "", [], ["000300", None], 5, "000300,000905", ["000300"] * 3, "all"])
        if rng.random() < 0.3:  # a known code whose membership matrix is missing
            key = "component__rq_index_components_new_000300_xshg"
            inner = dict(data)
            del inner[key]
            g.ctx.case_bundle = inner
            g.also(key)
            return "000300", "000300 without its membership matrix"
        return v, V._short(v)

    args = {
        "factor": g.param("factor", "frame", factor(g)),
        "data": None,
        "start_date": g.param("start_date", "date", lo),
        "end_date": g.param("end_date", "date", hi),
        "output_dir": g.param("output_dir", "text", str(g.ctx.case_dir())),
        "plot_filename": g.param("plot_filename", "text", "fz"),
        "group_num": g.param("group_num", "int", int(pick(g.rng, [2, 3, 5, 20]))),
        "benchmark": g.param("benchmark", "text", pick(g.rng, ["000852", "000300", ["000852", "000905"], None])),
        "universe": g.param("universe", "any", universe, spoil=spoil_universe),
        "rolling_window": g.param("rolling_window", "int", int(pick(g.rng, [0, 0, 2, 5]))),
        "ascending": g.param("ascending", "bool", bool(g.rng.random() < 0.5)),
        "total_money": g.param("total_money", "float", 1e8),
        "fee": g.param("fee", "float", 0.0001),
        "rule_fee": g.param("rule_fee", "float", 0.0005),
        "plot": g.param("plot", "text", pick(g.rng, ["long", "large"])),
    }
    from vantorel.backtest.result import BacktestData
    bundle_data = getattr(g.ctx, "case_bundle", None) or data
    g.ctx.case_bundle = None
    args["data"] = spoil_bundle(g, bundle_data, FACTOR_NEEDED) if g.hit("data") else BacktestData(data=bundle_data)
    return g.case(svc.backtest, args, 6, check_factor_result)


@entry("service.load_backtest_data", ("store",), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest import _service as service_module
    from vantorel.backtest.result import BacktestData

    store = copy_store(g.ctx)
    g.param("store", "any", store, spoil=lambda r, v: (v, damage(r, v)))
    service_module._DEFAULT_DATA_DIR = store
    if "store" in g.mutated:
        g.allowed.append(FileNotFoundError)
    same_data = check_same_data(None if _record_edit(g) else intact_load(g))

    def check(res, valid):
        _need(isinstance(res, BacktestData) and isinstance(res.data, dict), "not a BacktestData bundle")
        check_payload({"version": 1, "meta": {}, "data": res.data}, valid)
        same_data(res.data)

    return g.case(_service(g).load_backtest_data, {}, 0, check)


HTTP_MODES = ["pkg", "pkg", "garbage", "empty", "short", "404", "500", "403", "badsum", "slow", "close", "redirect",
              "badstatus", "huge-length", "tar-evil", "tar-nometa", "gzip-bad", "chunked-bad"]


@entry("service.prepare_backtest_data", ("http", "store", "client"), 2)
def _(g: Gen) -> Case:
    from vantorel import singleton
    from vantorel._http import HttpClient
    from vantorel.backtest import BacktestService, _service as service_module

    state = pick(g.rng, ["absent", "complete", "complete", "incomplete"])
    store = g.ctx.case_dir() / "store"
    if state != "absent":
        shutil.copytree(g.ctx.templates["store" if state == "complete" else "nocomp"], store)
    g.notes.append(f"store {state}")
    store = g.param("store", "any", store, spoil=lambda r, v: (v, damage(r, v) if v.exists() else "absent"))
    service_module._DEFAULT_DATA_DIR = store
    mode = "pkg"
    http = HttpClient(g.ctx.http_base(mode), timeout=2.0, retries=0, backoff=0.0)

    def spoil_http(rng, value):
        mode = pick(rng, HTTP_MODES[2:] + [None, 5])
        if mode is None or mode == 5:
            return mode, f"http={mode!r}"
        return (HttpClient(g.ctx.http_base(mode), timeout=0.5, retries=int(rng.integers(2)), backoff=0.0),
                f"server {mode}")

    http = g.param("http", "any", http, spoil=spoil_http)
    client = service_client(g)
    singleton.set_instance(client)
    return g.case(BacktestService(http).prepare_backtest_data, {}, 0, is_type(type(None)),
                  cleanup=[singleton.reset_instance])


@entry("service._slice_data", ("data", "start_date", "end_date"), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest import BacktestService

    lo, hi = date_pair(g)
    data = g.ctx.bundle_data

    def spoil(rng, value):
        bundle = spoil_bundle_inner(g, rng, data)
        return bundle

    args = {"data": g.param("data", "any", data, spoil=spoil),
            "start_date": g.param("start_date", "date", str(lo)), "end_date": g.param("end_date", "date", hi)}
    if any("benchmark_dict wrong type" in n for n in g.notes):
        g.lenient.append(AttributeError)  # documented: a benchmark_dict entry that is not a mapping

    def check(res, valid):
        _need(isinstance(res, dict) and list(res) == list(args["data"]), "sliced keys differ")
        if valid:
            for key, value in res.items():
                if isinstance(value, pd.DataFrame):
                    _need(((value.index >= str(lo)) & (value.index <= str(hi))).all(), f"{key}: rows outside the range")

    return g.case(BacktestService._slice_data, args, 3, check)


def spoil_bundle_inner(g: Gen, rng, data: dict):
    inner = dict(data)
    kind = pick(rng, ["wrong type", "odd frame", "odd frame", "benchmarks", "extra"])
    if kind == "wrong type":
        return pick(rng, [None, list(data.items()), 5, "data", pd.DataFrame()]), "wrong type"
    if kind == "benchmarks":
        inner["benchmark_dict"], note = V.odd_benchmark_dict(rng, data["benchmark_dict"])
        g.also("benchmark_dict")
        return inner, "benchmark_dict " + note
    if kind == "extra":
        inner[pick(rng, [5, None, ("a",)])] = pick(rng, [pd.Series([1.0]), 3, None, data["close_price"]])
        return inner, "extra odd entry"
    key = pick(rng, [k for k in data if k != "benchmark_dict"])
    inner[key], note = V.odd_frame(rng, data[key])
    g.also(key)
    return inner, f"{key}: {note}"


@entry("service._parse_universe", ("universe",), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import BacktestService

    u = g.param("universe", "any", pick(g.rng, [None, "000300", " 000905 ", ["000300", "000852"], []]),
                spoil=lambda r, v: (x := pick(r, [5, 3.5, b"000300", [None, ""], {"000300": 1}, ("000300",), "   ",
                                                  np.array(["000300"]), pd.Series(["000300"]), [["000300"]],
                                                  float("nan"), object(), iter(["a"]), range(3)]), V._short(x)))
    return g.case(BacktestService._parse_universe, {"universe": u}, 1,
                  lambda res, valid: _need(isinstance(res, list) and all(isinstance(s, str) for s in res),
                                           "not a list of texts"))


@entry("service._apply_universe_filter", ("data", "universe", "start_date", "end_date"), 2)
def _(g: Gen) -> Case:
    svc = _service(g)
    lo, hi = date_pair(g)
    data = dict(g.ctx.bundle_data)
    args = {
        "data": g.param("data", "any", data, spoil=lambda r, v: spoil_bundle_inner(g, r, v)),
        "universe": g.param("universe", "any", pick(g.rng, ["000300", ["000905", "000852"], None, "932000"]),
                            spoil=lambda r, v: (x := pick(r, ["999999", [300], 5, ["000300", None], "", "000300 ,x"]),
                                                V._short(x))),
        "start_date": g.param("start_date", "date", str(lo)),
        "end_date": g.param("end_date", "date", hi),
    }
    return g.case(svc._apply_universe_filter, args, 4, is_type(type(None)), unwatched=("data",))


@entry("service._factor_name", ("factor",), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import BacktestService

    f = factor(g)
    if g.rng.random() < 0.5:
        f.columns.name = pick(g.rng, ["alpha1", 5, "", None, ("a", 1), float("nan")])
    return g.case(BacktestService._factor_name, {"factor": g.param("factor", "frame", f)}, 1, is_type(str))


@entry("service._to_public_result", ("core_result", "factor_name"), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import BacktestService

    gd = pd.DataFrame(g.rng.normal(size=(5, 3)), index=pd.Index(g.ctx.market.dates[:5]), columns=[1, 2, 3])
    core = SimpleNamespace(best_group=3, group_daily_return=gd, group_cumulative_return=gd.cumsum() + 1,
                           rank_ic=gd[1], benchmark_summary=pd.DataFrame(), plot_paths={"main": {"primary": "a.png"}})

    def spoil(rng, value):
        out = copy.copy(value)
        attr = pick(rng, ["best_group", "best_group", "plot_paths", "plot_paths"])
        odd = pick(rng, [float("nan"), None, pd.NA, 3.9, "3", float("inf"), V.BIG_INT, V.HUGE, np.int64(2),
                         np.float32(2.0), [1], {"a": {}}, {"a": None}, {"a": "x.png"}, {5: {"primary": 5}}, {}])
        setattr(out, attr, odd)
        return out, f"{attr}={V._short(odd)}"

    args = {"core_result": g.param("core_result", "any", core, spoil=spoil),
            "factor_name": g.param("factor_name", "text", "alpha")}
    return g.case(BacktestService._to_public_result, args, 2, check_factor_result if not g.mutated else
                  is_type(__import__("vantorel.backtest.result", fromlist=["x"]).BacktestResult))


def _store_helper_case(g: Gen, method: str, **kw) -> Case:
    from vantorel.backtest import BacktestService
    from vantorel.backtest._prepare import BinaryPreparedDataStore

    path = copy_store(g.ctx, pick(g.rng, ["store", "store", "nocomp"]))
    store = g.param("store", "any", path, spoil=lambda r, v: (v, damage(r, v)))
    if not path.exists():
        g.allowed.append(FileNotFoundError)  # no prepared data
    store = BinaryPreparedDataStore(store)
    store = g.param("store_object", "any", store)
    check = {"_find_missing_datasets": lambda res, valid: _need(isinstance(res, list) and
                                                                 all(isinstance(s, str) for s in res), "not a list"),
             }.get(method, is_type(type(None)))
    return g.case(getattr(BacktestService, method), {"store": store, **kw}, 1, check)


@entry("service._find_missing_datasets", ("store", "store_object"), 1)
def _(g: Gen) -> Case:
    return _store_helper_case(g, "_find_missing_datasets")


@entry("service._validate_metadata", ("store", "store_object"), 1)
def _(g: Gen) -> Case:
    return _store_helper_case(g, "_validate_metadata")


@entry("service._log_dataset_summary", ("store", "store_object", "action"), 1)
def _(g: Gen) -> Case:
    return _store_helper_case(g, "_log_dataset_summary", action=g.param("action", "text", "已就绪"))


# ---- the strategy engine --------------------------------------------------


def _market_frames(g: Gen) -> dict:
    frames = frames_of(g, g.ctx.bundle_data)
    return {n: g.param(n, "bframe" if n in BOOL_ARGS else "frame", f) for n, f in frames.items()}


@entry("_weightsim.run_strategy_backtest_core",
       ("strategy_matrix", *MARKET_ARGS, "benchmark_dict", "benchmark_names", "rolling_window", "total_money", "fee",
        "rule_fee", "plot_image_kind", "plot_save_path", "strategy_name", "plot_title"), 5)
def _(g: Gen) -> Case:
    from vantorel.backtest import _weightsim

    draw = g.rng.random() < 0.1
    args = {"strategy_matrix": g.param("strategy_matrix", "frame", weights(g)), **_market_frames(g)}
    args.update({
        "benchmark_dict": g.param("benchmark_dict", "bdict", dict(g.ctx.bundle_data["benchmark_dict"])),
        "benchmark_names": g.param("benchmark_names", "text", pick(g.rng, ["000852", "000300", "all"])),
        "rolling_window": g.param("rolling_window", "int", int(pick(g.rng, [0, 1, 3]))),
        "total_money": g.param("total_money", "float", 1e8),
        "fee": g.param("fee", "float", 0.0001),
        "rule_fee": g.param("rule_fee", "float", 0.0005),
        "plot_image_kind": g.param("plot_image_kind", "text", pick(g.rng, ["large", "long"]) if draw else None),
        "plot_save_path": g.param("plot_save_path", "text", str(g.ctx.case_dir() / "s.png") if draw else None),
        "strategy_name": g.param("strategy_name", "text", "fz"),
        "plot_title": g.param("plot_title", "text", pick(g.rng, [None, "title"])),
    })
    return g.case(_weightsim.run_strategy_backtest_core, args, int(g.rng.integers(1, 10)), check_strategy)


@entry("_weightsim.calc_strategy_vwap_daily_return",
       ("signal_matrix", *MARKET_ARGS, "total_money", "fee", "rule_fee", "lot_size"), 4)
def _(g: Gen) -> Case:
    from vantorel.backtest import _weightsim

    args = {"signal_matrix": g.param("signal_matrix", "frame", weights(g)), **_market_frames(g)}
    args.update({
        "total_money": g.param("total_money", "float", float(pick(g.rng, [1e8, 1e5]))),
        "fee": g.param("fee", "float", 0.0001),
        "rule_fee": g.param("rule_fee", "float", 0.0005),
        "lot_size": g.param("lot_size", "int", int(pick(g.rng, [200, 100, 1]))),
    })
    return g.case(_weightsim.calc_strategy_vwap_daily_return, args, int(g.rng.integers(1, 13)), check_float_series)


@entry("_weightsim._smooth_strategy_weights", ("strategy_matrix", "rolling_window"), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest import _weightsim

    args = {"strategy_matrix": g.param("strategy_matrix", "frame", weights(g)),
            "rolling_window": g.param("rolling_window", "int", int(pick(g.rng, [0, 1, 2, 5, 40])))}
    return g.case(_weightsim._smooth_strategy_weights, args, 2, is_type(pd.DataFrame))


def total_input(g: Gen) -> pd.DataFrame:
    m = g.ctx.market
    n = int(g.rng.integers(0, m.n_days + 1))
    df = pd.DataFrame({"daily_return": g.rng.normal(0.001, 0.02, n),
                       "index_daily_return": g.rng.normal(0, 0.015, n)}, index=pd.Index(m.dates[:n]))
    if g.rng.random() < 0.5:
        df["close"] = 1.0 + df["index_daily_return"].cumsum()
    return df


def total_frame(g: Gen) -> pd.DataFrame:
    from vantorel.backtest import _weightsim
    return _weightsim._build_total_backtesting_frame(total_input(g))


@entry("_weightsim._build_total_backtesting_frame", ("total_backtesting",), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest import _weightsim

    frame = g.param("total_backtesting", "frame", total_input(g))
    if isinstance(frame, pd.DataFrame):
        g.lenient.append(KeyError)  # a missing column is the frame library's key error
    return g.case(_weightsim._build_total_backtesting_frame, {"total_backtesting": frame}, 1,
                  is_type(pd.DataFrame, strict_index=True))


@entry("_weightsim.calc_strategy_stats", ("total_frame", "signal_df"), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest import _weightsim

    args = {"total_frame": g.param("total_frame", "frame", total_frame(g)),
            "signal_df": g.param("signal_df", "frame", weights(g))}
    if not g.hit("signal_df") and g.rng.random() < 0.1:
        args["signal_df"] = None
    if isinstance(args["total_frame"], pd.DataFrame):
        g.lenient.append(KeyError)  # a missing column is the frame library's key error
    return g.case(_weightsim.calc_strategy_stats, args, 2, check_stats)


@entry("_weightsim.formatters", ("value", "digits"), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest import _weightsim

    name = pick(g.rng, ["_format_pct", "_format_pct_points", "_format_num"])
    g.notes.append(name)
    value = g.param("value", "float", float(g.rng.normal()))
    digits = g.param("digits", "int", int(g.rng.integers(0, 6)))
    return g.case(getattr(_weightsim, name), {"value": value, "digits": digits}, int(g.rng.integers(0, 3)),
                  is_type(str))


def year_series(g: Gen) -> pd.Series:
    years = g.rng.choice([2019, 2020, 2021, 2024], size=int(g.rng.integers(0, 4)), replace=False)
    return pd.Series(g.rng.normal(0, 0.1, len(years)), index=pd.Index(sorted(years.tolist())), dtype=np.float64)


@entry("_weightsim._format_annual_excess", ("annual_excess",), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import _weightsim

    return g.case(_weightsim._format_annual_excess,
                  {"annual_excess": g.param("annual_excess", "series", year_series(g))}, 1, is_type(str))


@entry("_weightsim._period_return_drawdown_calmar", ("daily_return",), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import _weightsim

    s = total_input(g)["daily_return"]

    def check(res, valid):
        _need(isinstance(res, tuple) and len(res) == 3 and all(isinstance(x, float) for x in res), "not 3 floats")

    return g.case(_weightsim._period_return_drawdown_calmar, {"daily_return": g.param("daily_return", "series", s)},
                  1, check)


@entry("_weightsim._calc_yearly_performance_metrics", ("daily",), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest import _core, _weightsim

    daily = _core._with_datetime_index(total_frame(g)) if g.rng.random() < 0.9 else total_frame(g)
    if not isinstance(daily.index, pd.DatetimeIndex) and len(daily):
        g.also("daily")
        g.notes.append("daily: YYYYMMDD text index")
    if "extra_daily_return" not in daily.columns:  # the total frame of no rows has no derived columns
        g.also("daily")
        g.notes.append("daily: no rows, no derived columns")
    daily = g.param("daily", "frame", daily)
    if isinstance(daily, pd.DataFrame):
        g.lenient += [AttributeError, KeyError]  # no date-time index or a missing column: the frame library's error
    return g.case(_weightsim._calc_yearly_performance_metrics, {"daily": daily}, 1, is_type(pd.DataFrame))


# ---- the shared kernels ---------------------------------------------------


@entry("_core.run_alpha_vwap_backtest_core",
       ("factor_matrix", "industry_matrix", "close_price_valid", *MARKET_ARGS, "benchmark_dict",
        "forward_return_rank_cache", "open_price", "benchmark_names", "rolling_window", "ascending", "group_num",
        "total_money", "fee", "rule_fee", "plot_image_kind", "plot_save_path", "factor_name", "plot_title",
        "analytics"), 4)
def _(g: Gen) -> Case:
    from vantorel.backtest import _core

    d = g.ctx.bundle_data
    draw = g.rng.random() < 0.1
    args = {"factor_matrix": g.param("factor_matrix", "frame", factor(g)),
            "industry_matrix": g.param("industry_matrix", "frame", d["industry_matrix"]),
            "close_price_valid": g.param("close_price_valid", "frame", d["close_price_valid"]),
            **_market_frames(g)}
    args.update({
        "benchmark_dict": g.param("benchmark_dict", "bdict", dict(d["benchmark_dict"])),
        "forward_return_rank_cache": g.param("forward_return_rank_cache", "frame", d["forward_return_rank_cache"]),
        "open_price": g.param("open_price", "frame", d["open_price"]),
        "benchmark_names": g.param("benchmark_names", "text", pick(g.rng, ["000852", ["000300", "000905"], None])),
        "rolling_window": g.param("rolling_window", "int", int(pick(g.rng, [0, 3]))),
        "ascending": g.param("ascending", "bool", bool(g.rng.random() < 0.5)),
        "group_num": g.param("group_num", "int", int(pick(g.rng, [2, 5, 10]))),
        "total_money": g.param("total_money", "float", 1e8),
        "fee": g.param("fee", "float", 0.0001),
        "rule_fee": g.param("rule_fee", "float", 0.0005),
        "plot_image_kind": g.param("plot_image_kind", "text", pick(g.rng, ["long", "large"])),
        "plot_save_path": g.param("plot_save_path", "text", str(g.ctx.case_dir() / "f.png") if draw else None),
        "factor_name": g.param("factor_name", "text", "alpha"),
        "plot_title": g.param("plot_title", "text", None),
        "analytics": g.param("analytics", "bool", bool(g.rng.random() < 0.8)),
    })

    def check(res, valid):
        for name in ("group_daily_return", "group_cumulative_return", "benchmark_summary", "ic_by_year", "ic_decay",
                     "group_turnover", "group_forward_return"):
            _need(isinstance(getattr(res, name), pd.DataFrame), f"{name} is not a Frame")
        for name in ("rank_ic", "ic_summary", "factor_autocorrelation"):
            _need(isinstance(getattr(res, name), pd.Series), f"{name} is not a Series")
        _need(isinstance(res.monotonicity, float), "monotonicity is not a float")
        _need(isinstance(res.plot_paths, dict), "plot_paths is not a dict")
        if valid:
            _date_labels(res.group_daily_return.index, "group_daily_return")

    return g.case(_core.run_alpha_vwap_backtest_core, args, 0, check)


@entry("_core._build_market_arrays", ("pnl_index", "columns", *MARKET_ARGS), 3)
def _(g: Gen) -> Case:
    from vantorel.backtest import _core

    m = g.ctx.market
    dates = sorted(g.rng.choice(m.dates + ["19991231", "20991231"], size=int(g.rng.integers(0, 12)), replace=False))
    codes = list(g.rng.choice(m.codes + ["999999"], size=int(g.rng.integers(0, 10)), replace=False))

    def spoil_labels(rng, value):
        v = pick(rng, [None, 5, "20200102", [20200102, "x"], pd.Index([1.5, np.nan]), pd.DatetimeIndex(["2020-01-02"]),
                       pd.Index(list(value) * 2), np.array(list(value)), pd.MultiIndex.from_tuples([("a", "b")]),
                       pd.RangeIndex(3), pd.Index([b"x"])])
        return v, V._short(v)

    args = {"pnl_index": g.param("pnl_index", "any", pd.Index(dates), spoil=spoil_labels),
            "columns": g.param("columns", "any", pd.Index(codes), spoil=spoil_labels), **_market_frames(g)}
    n, k = len(dates), len(codes)

    def check(res, valid):
        keys = {"prev_close_arr", "can_buy_arr", "cant_sell_arr", "close_arr", "buy_price_arr", "sell_price_arr",
                "split_arr", "dividend_arr"}
        _need(isinstance(res, dict) and set(res) == keys, "not the eight arrays")
        if valid:
            for key, arr in res.items():
                _need(isinstance(arr, np.ndarray) and arr.shape == (n, k), f"{key}: shape")
                _need(arr.dtype == (np.bool_ if key in ("can_buy_arr", "cant_sell_arr") else np.float64),
                      f"{key}: dtype")

    return g.case(_core._build_market_arrays, args, 10, check)


@entry("_core.safe_sharpe", ("series", "periods"), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import _core

    args = {"series": g.param("series", "series", total_input(g)["daily_return"]),
            "periods": g.param("periods", "float", 252)}
    return g.case(_core.safe_sharpe, args, int(g.rng.integers(1, 3)),
                  lambda res, valid: _need(isinstance(res, float), f"result is {type(res).__name__}"))


@entry("_core._with_datetime_index", ("frame",), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import _core

    def check(res, valid):
        _need(isinstance(res, pd.DataFrame | pd.Series), "not a table")
        if valid:
            _need(isinstance(res, pd.DataFrame) and isinstance(res.index, pd.DatetimeIndex), "index is not date-times")

    return g.case(_core._with_datetime_index, {"frame": g.param("frame", "frame", total_frame(g))}, 1, check)


# ---- the store --------------------------------------------------------------


@entry("_store.normalize_yyyymmdd", ("value",), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import _store

    v = g.param("value", "date", pick(g.rng, ["20200102", 20200103, "2020-01-06", "20200107"]))
    return g.case(_store.normalize_yyyymmdd, {"value": v}, 1,
                  lambda res, valid: _need(isinstance(res, str) and len(res) == 8 and res.isdigit(), f"{res!r}"))


@entry("_store.clean_matrix", ("frame",), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest import _store

    f = weights(g) if g.rng.random() < 0.5 else g.ctx.bundle_data[pick(g.rng, BASE_KEYS)]
    return g.case(_store.clean_matrix, {"frame": g.param("frame", "frame", f)}, 1,
                  is_type(pd.DataFrame, strict_index=True))


@entry("_store.component_dataset_key", ("name",), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import _store

    name = g.param("name", "text", pick(g.rng, list(g.ctx.market.components)))
    return g.case(_store.component_dataset_key, {"name": name}, 1,
                  lambda res, valid: _need(isinstance(res, str) and res.startswith("component__"), f"{res!r}"))


def _odd_dir(g: Gen):
    def spoil(rng, value):
        kind = pick(rng, ["file", "fifo", "none", "int", "bytes", "nul", "empty", "missing parent", "long"])
        base = g.ctx.case_dir()
        if kind == "file":
            (base / "f").write_text("x")
            return base / "f", "a file"
        if kind == "fifo":
            os.mkfifo(base / "p")
            return base / "p", "a FIFO"
        return {"none": None, "int": 5, "bytes": bytes(str(base / "b"), "utf-8"), "nul": str(base / "a\x00b"),
                "empty": "", "missing parent": base / "no" / "such" / "dir",
                "long": str(base / ("x" * 300))}[kind], kind
    return spoil


@entry("_store.BinaryPreparedDataStoreBase", ("store_dir", "matrix_dtype", "version", "fallback_dtype"), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import _store
    from vantorel.backtest._prepare import build_matrix_dtype

    dtypes = build_matrix_dtype(None)

    def spoil_map(rng, value):
        v = pick(rng, [None, list(value), {"a": "complex128"}, {"a": 5}, {5: "float64"}, {"": "float64"},
                       {"../x": "float64"}, {"a": "object"}, {"a": "int8"}, {"a/b": "bool"}, {"a\x00": "float64"}])
        return v, V._short(v)

    args = {"store_dir": g.param("store_dir", "any", g.ctx.case_dir() / "s", spoil=_odd_dir(g)),
            "matrix_dtype": g.param("matrix_dtype", "any", dtypes, spoil=spoil_map),
            "version": g.param("version", "int", 1),
            "fallback_dtype": g.param("fallback_dtype", "text", "float64",
                                      spoil=lambda r, v: (x := pick(r, ["complex128", "", None, "int8", "object",
                                                                        "float", "bool", 5, "<f8"]), V._short(x)))}

    def check(res, valid):
        _need(isinstance(res, _store.BinaryPreparedDataStoreBase), "not a store")
        if valid:
            _need(not res.metadata_path.exists(), "a new directory holds a store")

    return g.case(_store.BinaryPreparedDataStoreBase, args, 4, check)


@entry("_prepare.BinaryPreparedDataStore", ("store_dir", "component_names"), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import _prepare

    args = {"store_dir": g.param("store_dir", "any", g.ctx.case_dir() / "s", spoil=_odd_dir(g)),
            "component_names": g.param("component_names", "names", pick(g.rng, [None, [], ["a.B"]]))}
    return g.case(_prepare.BinaryPreparedDataStore, args, int(g.rng.integers(0, 3)),
                  is_type(_prepare.BinaryPreparedDataStore))


def _opened_store(g: Gen, which: str = "store"):
    from vantorel.backtest._prepare import BinaryPreparedDataStore

    path = copy_store(g.ctx, which)
    g.param("store", "any", path, spoil=lambda r, v: (v, damage(r, v)))
    if "store" in g.mutated and not path.exists():
        g.allowed.append(FileNotFoundError)
    return BinaryPreparedDataStore(path)


def intact_load(g: Gen, **kw):
    """What the undamaged store loads with the same arguments (None when that fails too)."""
    from vantorel.backtest._prepare import BinaryPreparedDataStore

    try:
        return BinaryPreparedDataStore(g.ctx.templates["store"]).load(**{**kw, "mmap": False})["data"]
    except Exception:
        return None


def _record_edit(g: Gen) -> bool:
    """True when the metadata record was rewritten on purpose (then it, not the old one, says what is stored)."""
    return any(n.startswith(("store: metadata", "store: evil")) for n in g.notes)


def check_same_data(expected):
    """A damaged store may refuse to load, but what it does load must be what was stored."""
    def check(data: dict) -> None:
        if expected is None:
            return
        _need(list(data) == list(expected), "a damaged store loaded other datasets than were stored")
        for key, value in data.items():
            want = expected[key]
            if key == "benchmark_dict":
                ok = list(value) == list(want) and all(value[n].equals(want[n]) for n in want)
            else:
                ok = (value.index.equals(want.index) and value.columns.equals(want.columns)
                      and np.array_equal(value.to_numpy(), want.to_numpy(), equal_nan=value.dtypes.iloc[0].kind == "f")
                      if value.shape == want.shape and value.shape[1] else value.shape == want.shape)
            _need(ok, f"a damaged store loaded {key} with other values than were stored")
    return check


@entry("store.load", ("store", "start_date", "end_date", "keys", "mmap"), 4)
def _(g: Gen) -> Case:
    store = _opened_store(g)
    lo, hi = date_pair(g)
    args = {
        "start_date": g.param("start_date", "date", pick(g.rng, [None, lo])),
        "end_date": g.param("end_date", "date", pick(g.rng, [None, hi])),
        "keys": g.param("keys", "names", pick(g.rng, [None, ["close_price"], ["can_buy_stock", "close_price"]])),
        "mmap": g.param("mmap", "bool", bool(g.rng.random() < 0.5)),
    }
    same_data = None
    # A mapped load checks sizes and labels but trusts the bytes of the rows: flipped data bytes may
    # show through it, by design.
    trusted_bytes = args["mmap"] is True and any(n.endswith("flip data") for n in g.notes)
    if g.mutated == ["store"] and not _record_edit(g) and not trusted_bytes:
        same_data = check_same_data(intact_load(g, start_date=args["start_date"], end_date=args["end_date"],
                                                keys=args["keys"]))

    def check(res, valid):
        check_payload(res, valid)
        if same_data is not None:
            same_data(res["data"])

    return g.case(store.load, args, int(g.rng.integers(0, 5)), check)


@entry("store.load_metadata", ("store",), 2)
def _(g: Gen) -> Case:
    store = _opened_store(g)

    def check(res, valid):
        _need(isinstance(res, dict), "metadata is not a dict")
        if valid:
            _need(isinstance(res.get("datasets"), dict), "no datasets")

    return g.case(store.load_metadata, {}, 0, check)


def spoil_payload(g: Gen, payload: dict):
    def spoil(rng, value):
        kind = pick(rng, ["wrong type", "no data", "no meta", "frame", "frame", "frame", "benchmarks", "version",
                          "meta", "new codes", "old dates", "empty frames", "extra key"])
        out = dict(value)
        data = dict(out["data"])
        out["data"] = data
        if kind == "wrong type":
            return pick(rng, [None, [], "payload", 5]), kind
        if kind in ("no data", "no meta"):
            out.pop(kind.split()[1])
            return out, kind
        if kind == "frame":
            key = pick(rng, [k for k in data if k != "benchmark_dict"])
            data[key], note = V.odd_frame(rng, data[key])
            g.also(key)
            return out, f"{key}: {note}"
        if kind == "benchmarks":
            data["benchmark_dict"], note = V.odd_benchmark_dict(rng, data["benchmark_dict"])
            g.also("benchmark_dict")
            return out, note
        if kind == "version":
            out["version"] = pick(rng, [2, None, "1", -1, V.BIG_INT])
            return out, f"version={out['version']!r}"
        if kind == "meta":
            out["meta"] = pick(rng, [None, [], {"component_names": 5}, {"start_date": object()}])
            return out, "odd meta"
        if kind == "new codes":
            for k in list(data):
                if k != "benchmark_dict":
                    data[k] = data[k].rename(columns=lambda c: "9" + c[1:])
            return out, "codes the store lacks"
        if kind == "old dates":
            for k in list(data):
                if k != "benchmark_dict":
                    data[k] = data[k].rename(index=lambda d: "1999" + d[4:])
            return out, "dates before the store"
        if kind == "empty frames":
            for k in list(data):
                if k != "benchmark_dict":
                    data[k] = data[k].iloc[:0]
            return out, "zero-row frames"
        data[pick(rng, ["unknown_key", 5, "component__x"])] = data["close_price"]
        return out, "extra dataset"

    return g.param("payload", "any", payload, spoil=spoil)


@entry("store.update_tail", ("store", "payload"), 3)
def _(g: Gen) -> Case:
    from vantorel.backtest import synthetic

    store = _opened_store(g)
    m = g.ctx.market
    start = int(g.rng.integers(18, 25))
    payload = synthetic.market_payload(m, m.dates[start], None, time_key="updated_at")
    return g.case(store.update_tail, {"payload": spoil_payload(g, payload)}, 1, is_type(bool))


@entry("store.write", ("payload",), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest import synthetic
    from vantorel.backtest._prepare import BinaryPreparedDataStore

    store = BinaryPreparedDataStore(g.ctx.case_dir() / "w")
    payload = synthetic.market_payload(g.ctx.market, None, g.ctx.market.dates[int(g.rng.integers(0, 30))])
    return g.case(store.write, {"payload": spoil_payload(g, payload)}, 1, is_type(type(None)))


@entry("store.add_component_matrices", ("store", "component_matrices", "component_names"), 2)
def _(g: Gen) -> Case:
    store = _opened_store(g, "nocomp")
    comps = {n: f.iloc[:24] for n, f in g.ctx.market.components.items()}

    def spoil_comps(rng, value):
        out = dict(value)
        name = pick(rng, list(out))
        kind = pick(rng, ["wrong type", "missing", "frame", "frame"])
        if kind == "wrong type":
            return pick(rng, [None, list(out.values()), 5]), kind
        if kind == "missing":
            out.pop(name)
            g.also(name)
            return out, f"{name} missing"
        out[name], note = V.odd_frame(rng, out[name])
        g.also(name)
        return out, f"{name}: {note}"

    args = {"component_matrices": g.param("component_matrices", "any", comps, spoil=spoil_comps),
            "component_names": g.param("component_names", "names", list(comps))}
    return g.case(store.add_component_matrices, args, int(g.rng.integers(0, 3)),
                  lambda res, valid: _need(isinstance(res, list), "not a list"))


# ---- the prepared-data module -----------------------------------------------


@entry("_prepare.functions", ("value",), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest import _prepare

    name = pick(g.rng, ["parse_name_list", "build_matrix_dtype", "series_to_yyyymmdd", "get_component_factor_names"])
    g.notes.append(name)
    if name == "get_component_factor_names":
        return g.case(_prepare.get_component_factor_names, {}, 0, is_type(list))
    if name == "series_to_yyyymmdd":
        good = pick(g.rng, [list(g.ctx.market.dates), pd.Series(["2020-01-02", "junk"]),
                            pd.to_datetime(pd.Series(g.ctx.market.dates))])
        v = g.param("value", "any", good, spoil=lambda r, v: (x := pick(r, [
            None, 5, "20200102", [V.BIG_INT, -1], pd.Series([1e308, np.nan]), pd.Series([b"x"]), np.array([1.5j]),
            pd.Series(["2020-01-02"], index=[5]), pd.DataFrame({"a": ["2020-01-02"]}), [pd.NaT, None], ["9999-99-99"],
            pd.Series([pd.Timestamp("2020-01-02", tz="UTC")]), pd.Series(["2020-01-02"], dtype="category")]),
            V._short(x)))
        return g.case(_prepare.series_to_yyyymmdd, {"values": v}, 1, is_type(pd.Series))
    good = None if name == "build_matrix_dtype" else pick(g.rng, ["a, b；c", ["x", " y "], None])
    v = g.param("value", "names", good)
    check = is_type(dict) if name == "build_matrix_dtype" else is_type(list)
    arg = "component_names" if name == "build_matrix_dtype" else "raw_values"
    if "value" in g.mutated:
        g.also(arg)
    return g.case(getattr(_prepare, name), {arg: v}, int(g.rng.integers(0, 2)), check)


@entry("_prepare._forward_return_rank", ("open_price",), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import _prepare

    f = g.param("open_price", "frame", g.ctx.bundle_data["open_price"])
    return g.case(_prepare._forward_return_rank, {"open_price": f}, 1, is_type(pd.DataFrame, strict_index=True))


def _check_batch(res, valid: bool) -> None:
    from vantorel.backtest.batch import BatchResult

    _need(isinstance(res, BatchResult), f"result is {type(res).__name__}, expected BatchResult")
    _need(isinstance(res.summary, pd.DataFrame) and "error" in res.summary.columns, "summary without error column")
    _need(set(res.results).isdisjoint(res.errors), "an item both succeeded and failed")
    if valid:
        _need(not res.errors, f"a valid batch had failures: {res.errors}")


@entry("service.backtest_many", ("factors", "data", "start_date", "workers", "engine", "options", "output_dir"), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest.result import BacktestData

    svc = _service(g)
    lo, hi = date_pair(g)
    good = factor(g)
    items = {"a": good, "b": (lambda bundle: good * 2.0), "c": (good, {"group_num": 3})}

    def spoil_items(rng, value):
        v = pick(rng, [[good], {"a": 5}, {"": good}, {"a/b": good}, {"a": (good, {"bogus": 1})},
                       {"a": (good, {}, 1)}, {"a": lambda bundle: None}, {"a": (good, {"group_num": 1})},
                       {"a": V.odd_frame(rng, good)[0]}, {}, None])
        return v, V._short(v)

    options = {"group_num": int(pick(g.rng, [2, 3, 5]))}
    args = {
        "factors": g.param("factors", "any", items, spoil=spoil_items),
        "data": spoil_bundle(g, g.ctx.bundle_data, FACTOR_NEEDED) if g.hit("data")
        else BacktestData(data=g.ctx.bundle_data),
        "start_date": g.param("start_date", "date", lo),
        "end_date": hi,
        "output_dir": g.param("output_dir", "any", None, spoil=lambda rng, v: (pick(rng, [5, b"x", ["d"]]), "odd")),
        "workers": g.param("workers", "int", int(pick(g.rng, [1, 2]))),
        "engine": g.param("engine", "any", "threads", spoil=lambda rng, v: (pick(rng, ["spark", 5, None]), "odd")),
        "progress": False,
    }
    if g.hit("options"):
        options = {pick(g.rng, ["groups", "plot", "universe"]): pick(g.rng, ["long", 5, "999999"])}
        g.also("options", *options)
        g.notes.append(f"options: {options}")
    args.update(options)
    g.allowed.append(TypeError)
    return g.case(svc.backtest_many, args, 4, _check_batch)


@entry("tables.rules", ("value",), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest import tables

    codes = list(g.ctx.market.codes[:5])
    if g.rng.random() < 0.5:
        v = g.param("value", "any", [c + ".SH" for c in codes])
        return g.case(tables.normalise_codes, {"values": v}, 1, is_type(pd.Series))
    v = g.param("value", "any", [10.0, 5.55, np.nan, 0.0, 3.33])
    args = {"dates": list(g.ctx.market.dates[:5]), "codes": codes, "prev_close": v}
    return g.case(tables.limit_prices, args, 3, is_type(pd.DataFrame))


def _market_tables(market) -> dict[str, pd.DataFrame]:
    """The market as researchers' tables (DataFrames in memory)."""
    f = market.frames
    day, stock = np.nonzero(np.isfinite(f["close_price"].to_numpy()))
    dates, codes = np.array(market.dates)[day], np.array(market.codes, dtype=object)[stock]

    def cells(frame):
        return frame.to_numpy()[day, stock]

    bars = pd.DataFrame({"date": dates, "code": codes, "open": cells(f["open_price"]), "close": cells(f["close_price"]),
                         "prev_close": cells(f["prev_close"]), "buy_vwap": cells(f["buy_price"]),
                         "sell_vwap": cells(f["sell_price"]), "limit_up": cells(market.limit_up),
                         "limit_down": cells(market.limit_down), "industry": cells(f["industry_matrix"])})
    member = np.isfinite(next(iter(market.components.values())).to_numpy()[day, stock])
    membership = pd.DataFrame({"date": dates[member], "index": "000300.SH", "code": codes[member]})
    indices = pd.DataFrame({"date": market.dates, "index": "000300",
                            "daily_return": market.benchmark_dict["000300"].to_numpy()})
    actions = pd.DataFrame({"ex_date": dates[:2], "code": codes[:2], "split_ratio": [1.5, np.nan],
                            "cash_dividend": [np.nan, 0.2]})
    return {"bars": bars, "actions": actions, "membership": membership, "indices": indices}


def _spoil_researcher_table(rng, df):
    kinds = {
        "drop column": lambda: df.drop(columns=[pick(rng, list(df.columns))]),
        "text cell": lambda: df.assign(**{c: ["abc"] + list(df[c].iloc[1:]) for c in [pick(rng, list(df.columns))]}),
        "negative cell": lambda: df.assign(**{c: -df[c] for c in df.columns if df[c].dtype.kind == "f"}),
        "duplicated rows": lambda: pd.concat([df, df.iloc[:3]]),
        "garbage dates": lambda: df.assign(**{df.columns[0]: pick(rng, ["2020-13-45", None, "abc", 0])}),
        "NaN codes": lambda: df.assign(code=np.nan),
        "inf cells": lambda: df.assign(**{c: np.inf for c in df.columns if df[c].dtype.kind == "f"}),
        "empty": lambda: df.iloc[:0],
        "category": lambda: df.astype("category"),
        "wrong type": lambda: pick(rng, [None, 5, "bars.csv", df.to_dict("records")]),
    }
    name = pick(rng, list(kinds))
    try:
        return kinds[name](), name
    except Exception:  # a spoiler that does not apply to this table
        return df, "as is"


@entry("tables.TablesDataService", ("bars", "actions", "membership", "indices", "source"), 2)
def _(g: Gen) -> Case:
    from vantorel.backtest.tables import TableError, TablesDataService

    tables = _market_tables(g.ctx.market)
    source = {name: g.param(name, "any", frame, spoil=_spoil_researcher_table) for name, frame in tables.items()}
    source = g.param("source", "any", source)
    g.allowed.append(TableError)
    return g.case(TablesDataService, {"source": source}, 1, is_type(TablesDataService))


def _spoil_weight_file(rng, frame: pd.DataFrame):
    """A weight table spoiled before it is written, or None to spoil the written bytes instead."""
    kinds = {
        "text cells": lambda: frame.astype(object).where(frame.notna(), "x"),
        "duplicate codes": lambda: frame.set_axis([frame.columns[0]] * frame.shape[1], axis=1),
        "garbage dates": lambda: frame.set_axis(["2020-13-45"] + list(frame.index[1:]), axis=0),
        "missing date": lambda: frame.set_axis([None] + list(frame.index[1:]), axis=0),
        "bad codes": lambda: frame.set_axis(["ABC"] + list(frame.columns[1:]), axis=1),
        "two header rows": lambda: frame.set_axis(pd.MultiIndex.from_arrays([frame.columns, frame.columns]), axis=1),
        "empty": lambda: frame.iloc[:0, :0],
        "one column": lambda: frame.iloc[:, :1].reset_index(drop=True),
        "inf values": lambda: frame.replace(0.0, np.inf),
        "garbage bytes": lambda: None,
        "truncated": lambda: None,
    }
    name = pick(rng, list(kinds))
    return kinds[name](), name


@entry("cli.read_table", ("weights", "layout"), 1)
def _(g: Gen) -> Case:
    from vantorel.backtest.cli.errors import CliError
    from vantorel.backtest.cli.files import read_table

    market = g.ctx.market
    table = pd.DataFrame(np.eye(4) / 2, index=list(market.dates[:4]), columns=list(market.codes[:4]))
    kind = pick(g.rng, ["csv", "parquet", "pkl"])
    note = ""
    if g.hit("weights"):
        spoiled, note = _spoil_weight_file(g.rng, table)
        table = table if spoiled is None else spoiled
        g.also("weights")
        g.notes.append(f"weights: {note} ({kind})")
    path = g.ctx.case_dir() / f"weights.{kind}"
    try:
        {"csv": table.to_csv, "parquet": table.to_parquet, "pkl": table.to_pickle}[kind](path)
    except Exception:  # a table this format cannot hold goes to CSV
        path = path.with_suffix(".csv")
        table.to_csv(path)
    if note in ("garbage bytes", "truncated"):
        data = path.read_bytes()
        path.write_bytes(data[: len(data) // 2] if note == "truncated" else g.rng.bytes(200))
    layout = g.param("layout", "any", "auto",
                     spoil=lambda rng, v: (pick(rng, ["long", "wide", "sideways", 5]), "layout"))
    g.allowed.append(CliError)
    return g.case(read_table, {"path": path, "layout": layout}, 1, is_type(pd.DataFrame))


@entry("_prepare.GroupPreparedDataBuilder", ("start_date", "end_date", "client"), 4)
def _(g: Gen) -> Case:
    from vantorel import singleton
    from vantorel.backtest import _prepare

    dates = g.ctx.market.dates
    i = int(g.rng.integers(0, len(dates) - 3))
    lo = g.param("start_date", "date", pick(g.rng, [dates[i], int(dates[i])]))
    hi = g.param("end_date", "date", dates[int(g.rng.integers(i + 2, len(dates)))])
    singleton.set_instance(service_client(g))
    method = pick(g.rng, ["build", "build_incremental"])
    g.notes.append(method)

    def run(start_date, end_date):
        return getattr(_prepare.GroupPreparedDataBuilder(start_date, end_date), method)()

    return g.case(run, {"start_date": lo, "end_date": hi}, 2, check_payload, cleanup=[singleton.reset_instance])


@entry("_prepare.builder_helpers", ("value", "names", "df", "source"), 3)
def _(g: Gen) -> Case:
    from vantorel.backtest import _prepare
    from vantorel.backtest.synthetic_service import SyntheticDataService

    B = _prepare.GroupPreparedDataBuilder
    name = pick(g.rng, ["_normalize_ddb_backtest_date", "_vr_factor_date", "_empty_like", "_vr_factors_to_matrices",
                        "_format_benchmark_daily_return", "_build_from_matrices"])
    g.notes.append(name)
    m = g.ctx.market
    if name in ("_normalize_ddb_backtest_date", "_vr_factor_date"):
        v = g.param("value", "date", pick(g.rng, ["20200102", 2020010, "2020010", None, 20200102]
                                          if name == "_normalize_ddb_backtest_date" else
                                          ["20200102", "2020-01-03", None, 20200102, "20200106"]))
        return g.case(getattr(B, name), {"date_value": v}, 1, is_type(str, type(None)))
    if name == "_empty_like":
        ref = g.param("value", "frame", m.frames["close_price"])
        g.also("reference")
        return g.case(B._empty_like, {"reference": ref}, 1, is_type(pd.DataFrame))
    builder = B(m.dates[0], m.dates[-1])
    service = SyntheticDataService(m, form=pick(g.rng, ["narrow", "wide"]),
                                   date_kind=pick(g.rng, ["datetime", "text", "int"]),
                                   index_value=pick(g.rng, ["daily_return", "close"]))
    if name == "_vr_factors_to_matrices":
        names = list(g.rng.choice(["Close", "Open", "limit_up", "rq_is_suspended"], size=int(g.rng.integers(1, 4)),
                                  replace=False))
        df = service.get_factors(factor=names if len(names) > 1 else names[0], start_date="2020-01-02",
                                 end_date="2020-03-01")
        df = g.param("df", "any", df, spoil=_spoil_table)
        names = g.param("names", "names", names)
        return g.case(builder._vr_factors_to_matrices, {"df": df, "names": names}, 2, is_type(dict))
    if name == "_format_benchmark_daily_return":
        df = service.get_index_daily(ukeys=["000852.XSHG", "000300.XSHG"], start_date=m.dates[0], end_date=m.dates[-1])
        args = {"df": g.param("df", "any", df, spoil=_spoil_table),
                "benchmark_name": g.param("value", "text", "000852"), "index_code": "000852.XSHG"}
        if "value" in g.mutated:
            g.also("benchmark_name")
        return g.case(builder._format_benchmark_daily_return, args, 3, is_type(pd.Series))
    f = m.frames
    source = {"rq_industry_exposure_new": f["industry_matrix"], "limit_down": m.limit_down, "limit_up": m.limit_up,
              "Close": f["close_price"], "Open": f["open_price"], "tick_vwap_price_935_1005": f["buy_price"],
              "tick_vwap_price_925_1000": f["sell_price"], "split_coefficient_to": f["rq_get_split"] * 10,
              "rq_get_dividend": f["rq_get_dividend"] * 10 / 0.9,
              "rq_is_suspended": f["close_price_valid"].fillna(0.0)}

    def spoil_source(rng, value):
        out = dict(value)
        key = pick(rng, list(out))
        g.also(key)
        if rng.random() < 0.2:
            out.pop(key)
            return out, f"{key} missing"
        out[key], note = V.odd_frame(rng, out[key])
        return out, f"{key}: {note}"

    return g.case(builder._build_from_matrices, {"source": g.param("source", "any", source, spoil=spoil_source)}, 1,
                  lambda res, valid: _need(isinstance(res, dict) and set(BASE_KEYS) <= set(res), "not the 12 matrices"))


# ---- the HTTP client --------------------------------------------------------


@entry("_http.HttpClient",
       ("base_url", "token", "timeout", "retries", "backoff", "path", "params", "dest", "server"), 2)
def _(g: Gen) -> Case:
    from vantorel._http import DownloadInfo, HttpClient

    op = pick(g.rng, ["get", "download", "construct"])
    mode = g.param("server", "any", "pkg", spoil=lambda r, v: (x := pick(r, HTTP_MODES[2:]), x))
    if op == "get" and mode == "pkg":
        mode = "garbage"
    base = g.param("base_url", "text", g.ctx.http_base(mode), spoil=lambda r, v: (x := pick(r, [
        None, 5, "", "ftp://127.0.0.1/x", "http://", "http://127.0.0.1:1", "not a url", "http://[::1", "http://a b/",
        "http://127.0.0.1:99999", b"http://127.0.0.1", "file:///etc/passwd", "http://127.0.0.1:0/"]), V._short(x)))
    kw = {"token": g.param("token", "text", pick(g.rng, [None, "tok"]), spoil=lambda r, v: (x := pick(
        r, [5, "", "x\r\nX-Injected: 1", "é", "x" * 10000, b"tok"]), V._short(x))),
          "timeout": g.param("timeout", "float", 2.0),
          "retries": g.param("retries", "int", int(g.rng.integers(0, 2))),
          "backoff": g.param("backoff", "float", 0.0)}
    if g.hit("retries") or g.hit("backoff"):
        op = "construct"  # a huge retry count or wait against a failing server is what the caller asked for
    if g.hit("timeout") and mode in ("slow", "close"):
        op = "construct"
    g.notes.append(op)
    ok = (DownloadInfo,) if op == "download" else (bytes,)

    def run(base_url, token, timeout, retries, backoff, path, params, dest):
        client = HttpClient(base_url, token=token, timeout=timeout, retries=retries, backoff=backoff)
        if op == "construct":
            return client.url(path if isinstance(path, str) else "x"), client.is_valid()
        if op == "get":
            return client.get(path, params=params)
        return client.download(path, dest, progress=lambda done, total: None)

    path = g.param("path", "text", "/backtest/benchmark-package.tar.gz",
                   spoil=lambda r, v: (x := pick(r, [None, 5, "", "\n", "../x", "a b", "x" * 5000, "\x00", "?a=1#b",
                                                     "//evil.example/x", "%zz"]), V._short(x)))
    params = g.param("params", "any", None if op == "download" else pick(g.rng, [None, {"a": 1}]),
                     spoil=lambda r, v: (x := pick(r, [{}, {"a": None}, [("a", 1)], "str", {"k": object()},
                                                       {"k": ["a", "b"]}, {b"\xff": 1}, 5]), V._short(x)))
    dest = g.param("dest", "any", g.ctx.case_dir() / "pkg.tgz", spoil=lambda r, v: (x := pick(r, [
        None, 5, g.ctx.case_dir(), g.ctx.case_dir() / "no" / "dir" / "f", "", "\x00"]), V._short(x)))
    if g.hit("dest") and isinstance(dest, Path):
        g.also(str(dest))  # an error about a local file may name the file instead of the argument

    if g.hit("dest"):
        g.allowed.append(FileNotFoundError)

    def check(res, valid):
        if op == "construct":
            _need(isinstance(res, tuple) and isinstance(res[0], str), "url() is not text")
        else:
            _need(isinstance(res, ok), f"result is {type(res).__name__}")

    args = {"base_url": base, **kw, "path": path, "params": params, "dest": dest}
    return g.case(run, args, 0, check)


# --------------------------------------------------------------------------


def make_case(entry: str, seed: int, ctx) -> Case:
    fn, mutable, _ = ENTRIES[entry]
    rng = np.random.default_rng([seed, zlib.crc32(entry.encode())])
    return fn(Gen(rng, ctx, mutable))


def schedule(n_cases: int, entries: list[str] | None = None) -> list[tuple[str, int]]:
    """At least ``n_cases`` (entry, seed) pairs spread over the entries by weight; seeds count from 0 per entry."""
    names = [e for e in ENTRIES if entries is None or e in entries]
    total = sum(ENTRIES[e][2] for e in names)
    counts = {e: max(1, math.ceil(n_cases * ENTRIES[e][2] / total)) for e in names}
    out = []
    for e in names:
        out.extend((e, s) for s in range(counts[e]))
    # interleave so that slow entries do not all land at the end
    out.sort(key=lambda es: (es[1] / counts[es[0]], es[0]))
    return out
