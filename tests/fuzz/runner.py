"""Runs fuzz cases in a small pool of long-lived worker processes.

The parent sends ``{"entry", "seed"}`` lines to a worker's standard input and
reads one JSON line per case back. The worker rebuilds the case from its
entry and seed (nothing but those two travels), runs it and classifies the
outcome. A worker that dies (a crash) or does not answer within the per-case
timeout (a hang) is killed, the case is recorded with its seed, and a fresh
worker takes its place.

Run as ``python -m fuzz.runner --worker`` (with tests/ on the path) this module is the worker.
"""

from __future__ import annotations

import copy
import json
import math
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import warnings
from pathlib import Path
from types import SimpleNamespace

TESTS_DIR = Path(__file__).resolve().parents[1]
if str(TESTS_DIR) not in sys.path:
    sys.path.insert(0, str(TESTS_DIR))

# The outcomes a case can have; the last four are failures.
RESULT, CLEAN, UNCLEAR, BAD_RESULT, MODIFIED, CRASH, HANG = (
    "result", "clean error", "unclear error", "bad result", "input modified", "crash", "hang")
FAILURES = (UNCLEAR, BAD_RESULT, MODIFIED, CRASH, HANG)

# The argument's name may hold quotes of its own (benchmark_dict['000852']); a refused dtype may be
# followed by the cause of the failed conversion.
TYPE_ERROR = re.compile(
    r"^Argument '(?P<name>.+?)' has incorrect (?:type|dtype) \(expected .+, got .+\)(?:: .+)?$", re.S)
UNEXPECTED_KEYWORD = re.compile(r"^(?P<owner>\S+) got an unexpected keyword argument '(?P<name>[^']+)'")
KNOWN_WORDS = (
    "industry_matrix", "close_price", "open_price", "close_price_valid", "prev_close", "buy_price", "sell_price",
    "rq_get_split", "rq_get_dividend", "can_buy_stock", "cant_sell_stock", "forward_return_rank_cache",
    "component__", "benchmark_dict", "metadata.pkl", "manifest.json", ".bin", "000852", "000300", "000905",
    "daily_return", "index_daily_return", "extra_daily_return", "close_net_value", "max_drowdown", "extra_return",
    "long",
)
# The service hands its arguments on under the engine's names, and the errors may use either.
ALIASES = {"rq_get_split": {"split_factor"}, "rq_get_dividend": {"dividend_factor"}, "split_factor": {"rq_get_split"},
           "dividend_factor": {"rq_get_dividend"}, "benchmark": {"benchmark_names"}, "plot": {"plot_image_kind"},
           "plot_filename": {"strategy_name", "plot_title", "plot_save_path"}, "output_dir": {"plot_save_path"},
           "strategy": {"strategy_matrix", "frame"}, "factor": {"factor_matrix", "frame"},
           "store_object": {"store"}, "value": {"values", "date_value"}}


# --------------------------------------------------------------------------
# worker side
# --------------------------------------------------------------------------


class Context:
    """What every case of one worker shares: the market, the bundle, store templates, an odd HTTP server."""

    def __init__(self, root: Path):
        import matplotlib.pyplot  # noqa: F401  (loaded once, so that a charting case is not timed with the import)

        from vantorel.backtest import synthetic
        from vantorel.backtest._prepare import BinaryPreparedDataStore

        self.root = root
        self.market = synthetic.make_market(n_days=30, n_stocks=12, seed=5, start_date="20200102")
        self.bundle_data = synthetic.market_payload(self.market)["data"]
        self.case_bundle = None
        self.templates = {}
        self._n = 0
        self._server = None
        for name, components in (("store", True), ("nocomp", False)):
            payload = synthetic.market_payload(self.market, None, self.market.dates[23])
            if not components:
                payload["data"] = {k: v for k, v in payload["data"].items() if not k.startswith("component__")}
                payload["meta"]["component_names"] = []
                payload["meta"]["component_dataset_keys"] = {}
            path = root / "templates" / name
            BinaryPreparedDataStore(path).write(payload)
            self.templates[name] = path

    def case_dir(self) -> Path:
        self._n += 1
        path = self.root / "cases" / str(self._n)
        path.mkdir(parents=True)
        return path

    def clear_cases(self) -> None:
        shutil.rmtree(self.root / "cases", ignore_errors=True)

    def http_base(self, mode: str) -> str:
        if self._server is None:
            from .server import start_server
            self._server = start_server(self.templates["store"])
        return f"http://127.0.0.1:{self._server.server_address[1]}/{mode}"


def snapshot(args: dict) -> dict:
    out = {}
    for name, value in args.items():
        try:
            out[name] = copy.deepcopy(value)
        except Exception:  # an argument that cannot be copied is not compared
            pass
    return out


def same(a, b) -> bool:
    import numpy as np
    import pandas as pd

    from vantorel.backtest.result import BacktestData

    if a is b:
        return True
    if type(a) is not type(b):
        return False
    if isinstance(a, pd.DataFrame):
        return (same(a.index, b.index) and same(a.columns, b.columns) and a.dtypes.equals(b.dtypes)
                and a.equals(b) and a.attrs == b.attrs)
    if isinstance(a, pd.Series):
        return same(a.index, b.index) and a.dtype == b.dtype and a.name == b.name and a.equals(b)
    if isinstance(a, pd.Index):
        return a.dtype == b.dtype and a.names == b.names and a.equals(b)
    if isinstance(a, BacktestData):
        return same(a.data, b.data)
    if isinstance(a, SimpleNamespace):
        return same(vars(a), vars(b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list | tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and bool(np.array_equal(a, b, equal_nan=a.dtype.kind in "fc"))
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or a == b
    if type(a).__eq__ is object.__eq__:
        return True  # an opaque object: nothing to compare
    try:
        return bool(a == b)
    except Exception:
        return True


def _message(exc: BaseException) -> str:
    if isinstance(exc, KeyError) and len(exc.args) == 1:
        return str(exc.args[0])
    return str(exc)


def classify(case, exc: BaseException) -> tuple[str, str]:
    """(outcome, reason) of an error raised by a case."""
    from vantorel.exceptions import VantorelError

    from .values import is_cjk

    if case.valid:
        return UNCLEAR, "raised on well-formed input"
    msg = _message(exc)
    names = set(case.mutated).union(*(ALIASES.get(n, set()) for n in case.mutated))
    if type(exc) is TypeError and (m := UNEXPECTED_KEYWORD.match(msg)):
        # the interpreter's own words for a keyword a function does not take: they name it, and what took it
        stem = re.split(r"[.\[(]", m["owner"], maxsplit=1)[0]
        if {m["name"], stem} & names:
            return CLEAN, ""
        return UNCLEAR, f"TypeError names keyword '{m['name']}', not the spoiled argument"
    if type(exc) is TypeError:
        m = TYPE_ERROR.match(msg)
        if not m:
            return UNCLEAR, "TypeError not in the argument-type form"
        # A part of an argument (core_result.plot_paths, benchmark_dict['000300']) names it too.
        stem = re.split(r"[.\[]", m["name"], maxsplit=1)[0]
        if not {m["name"], stem} & names and not any(w in m["name"] for w in KNOWN_WORDS):
            return UNCLEAR, f"TypeError names '{m['name']}', not the spoiled argument"
        return CLEAN, ""
    if type(exc) in case.lenient:
        return CLEAN, ""  # the documented error of the frame library, whatever its text
    if type(exc) is AttributeError and any("benchmark_dict wrong type" in n for n in case.notes):
        return CLEAN, ""  # the documented error of slicing a benchmark_dict that is no mapping
    if isinstance(exc, OSError) and getattr(exc, "filename", None):
        return CLEAN, ""  # the file system refusing a named file (a chart path too long, say)
    documented = type(exc) in (ValueError, KeyError) or isinstance(exc, VantorelError) or type(exc) in case.allowed
    if not documented:
        return UNCLEAR, f"{type(exc).__name__} is not a documented error type"
    if is_cjk(msg) or any(n and n in msg for n in names) or any(w in msg for w in KNOWN_WORDS):
        return CLEAN, ""
    return UNCLEAR, "message names neither the argument nor a dataset"


def run_case(ctx: Context, entry: str, seed: int, announce=None) -> dict:
    from .cases import make_case

    out = {"entry": entry, "seed": seed}
    start = time.monotonic()
    try:
        case = make_case(entry, seed, ctx)
    except Exception:
        out.update(outcome=UNCLEAR, exc_type="GeneratorError", message=traceback.format_exc()[-1500:],
                   reason="the case could not be built", notes=[], mutated=[])
        return out
    out.update(notes=case.notes, mutated=case.mutated)
    if announce is not None:  # so that a crash or a hang is reported with what the case did
        announce({"started": True, "notes": case.notes, "mutated": case.mutated})
    before = snapshot({k: v for k, v in case.args.items() if k not in case.unwatched})
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            # Which glyphs a chart can draw depends on the host's fonts, not on the package.
            warnings.filterwarnings("ignore", message=r"Glyph \d+ .* missing from font", category=UserWarning)
            # A title thousands of characters long leaves the chart library no room to lay out.
            warnings.filterwarnings("ignore", message="constrained_layout not applied", category=UserWarning)
            result = case.call()
    except Exception as exc:
        outcome, reason = classify(case, exc)
        here = str(Path(__file__).parent)
        outside = [f for f in traceback.extract_tb(exc.__traceback__) if not f.filename.startswith(here)]
        where = f"{Path(outside[-1].filename).name}:{outside[-1].lineno}" if outside else "compiled code"
        out.update(outcome=outcome, reason=reason, exc_type=type(exc).__qualname__, message=_message(exc)[:1500],
                   where=where)
    else:
        out.update(outcome=RESULT)
        if case.check is not None:
            try:
                case.check(result, case.valid)
            except AssertionError as err:
                out.update(outcome=BAD_RESULT, reason=str(err)[:500])
            except Exception as err:
                out.update(outcome=BAD_RESULT, reason=f"checking the result raised {type(err).__name__}: {err}"[:500])
    changed = [n for n, v in before.items() if not same(case.args[n], v)]
    if changed and out["outcome"] not in (BAD_RESULT,):
        out.update(outcome=MODIFIED, reason=f"arguments changed: {', '.join(changed)}",
                   first=out.get("exc_type", "result"))
    for fn in case.cleanup:
        fn()
    out["seconds"] = round(time.monotonic() - start, 3)
    return out


def worker_main() -> None:
    import resource

    # A case that asks for absurd amounts of memory gets MemoryError, not the machine's OOM killer.
    limit = int(os.environ.get("VANTOREL_FUZZ_MEMORY", str(4 << 30)))
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    proto = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)  # anything the library prints goes to the log, not into the protocol
    sys.stdout = sys.stderr
    root = Path(tempfile.mkdtemp(prefix="vantorel-fuzz-worker-"))
    try:
        ctx = Context(root)
        proto.write(json.dumps({"ready": True}) + "\n")
        for line in sys.stdin:
            req = json.loads(line)
            print(f"case {req['entry']} {req['seed']}", file=sys.stderr, flush=True)
            res = run_case(ctx, req["entry"], req["seed"],
                           announce=lambda msg: proto.write(json.dumps(msg, default=str) + "\n"))
            ctx.clear_cases()
            proto.write(json.dumps(res, default=str) + "\n")
    finally:
        shutil.rmtree(root, ignore_errors=True)


# --------------------------------------------------------------------------
# parent side
# --------------------------------------------------------------------------


class _Worker:
    def __init__(self, env: dict, log_dir: Path, n: int):
        # cases that write relative paths (an empty output_dir, say) write into the run's directory
        self.log = log_dir / f"worker-{n}.log"
        self.log_file = open(self.log, "wb")
        self.proc = subprocess.Popen([sys.executable, "-X", "faulthandler", "-m", "fuzz.runner", "--worker"], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log_file,
                                     bufsize=0, start_new_session=True, cwd=env["TMPDIR"])
        self.buffer = b""
        self.case = None
        self.deadline = None
        self.ready = False

    def send(self, entry: str, seed: int, timeout: float) -> None:
        self.case = (entry, seed)
        self.started = {}
        self.deadline = time.monotonic() + timeout
        self.proc.stdin.write((json.dumps({"entry": entry, "seed": seed}) + "\n").encode())

    def lines(self) -> list[str] | None:
        """The complete lines that have arrived (None once the worker has gone)."""
        chunk = os.read(self.proc.stdout.fileno(), 1 << 16)
        if not chunk:
            return None
        self.buffer += chunk
        *done, self.buffer = self.buffer.split(b"\n")
        return [line.decode() for line in done]

    def log_tail(self, n: int = 1200) -> str:
        try:
            return self.log.read_bytes()[-n:].decode("utf-8", "replace")
        except OSError:
            return ""

    def kill(self) -> None:
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        self.proc.wait()
        for f in (self.proc.stdin, self.proc.stdout, self.log_file):
            try:
                f.close()
            except OSError:
                pass


def run_cases(plan: list[tuple[str, int]], *, workers: int = 2, timeout: float = 20.0,
              start_timeout: float = 120.0, progress=None) -> list[dict]:
    """Runs every (entry, seed) of ``plan``; returns one outcome record per case, in plan order."""
    env = dict(os.environ)
    run_dir = Path(tempfile.mkdtemp(prefix="vantorel-fuzz-"))
    (run_dir / "home").mkdir()
    env.update(HOME=str(run_dir / "home"), MPLBACKEND="Agg", OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1",
               PYTHONPATH=os.pathsep.join([str(TESTS_DIR), env.get("PYTHONPATH", "")]), TMPDIR=str(run_dir))
    pending = list(enumerate(plan))[::-1]
    results: dict[int, dict] = {}
    pool: list[_Worker] = []
    spawned = 0

    def spawn() -> _Worker:
        nonlocal spawned
        spawned += 1
        w = _Worker(env, run_dir, spawned)
        w.deadline = time.monotonic() + start_timeout
        return w

    def lost(w: _Worker, outcome: str) -> None:
        pos, (entry, seed) = w.index, w.case
        rc = w.proc.poll()
        how = f"signal {-rc} ({signal.Signals(-rc).name})" if rc is not None and rc < 0 else f"exit status {rc}"
        w.kill()
        tail = w.log_tail()
        if outcome == HANG:
            how = f"no answer within {timeout:g} s"
        results[pos] = {"entry": entry, "seed": seed, "outcome": outcome, "exc_type": outcome, "message": how,
                        "reason": how, "log": tail, "notes": w.started.get("notes", []),
                        "mutated": w.started.get("mutated", [])}

    try:
        pool = [spawn() for _ in range(max(1, min(workers, len(plan))))]
        while len(results) < len(plan):
            for w in pool:
                if w.ready and w.case is None and pending:
                    w.index, case = pending.pop()
                    w.send(*case, timeout)
            fds = {w.proc.stdout.fileno(): w for w in pool}
            deadlines = [w.deadline for w in pool if w.deadline is not None]
            wait = max(0.0, min(deadlines) - time.monotonic()) if deadlines else 1.0
            readable, _, _ = select.select(list(fds), [], [], min(wait, 1.0))
            for fd in readable:
                w = fds[fd]
                lines = w.lines()
                if lines is None:  # the worker died
                    if w.case is None:
                        raise RuntimeError(f"a fuzz worker died while starting:\n{w.log_tail(4000)}")
                    lost(w, CRASH)
                    pool[pool.index(w)] = spawn()
                    continue
                for line in lines:
                    msg = json.loads(line)
                    if msg.get("ready"):
                        w.ready, w.deadline = True, None
                    elif msg.get("started"):
                        w.started = msg
                    else:
                        results[w.index] = msg
                        w.case, w.deadline = None, None
                        if progress:
                            progress(len(results), len(plan))
            now = time.monotonic()
            for k, w in enumerate(pool):
                if w.deadline is not None and now > w.deadline:
                    if w.case is None:
                        raise RuntimeError(f"a fuzz worker did not start:\n{w.log_tail(4000)}")
                    lost(w, HANG)
                    pool[k] = spawn()
    finally:
        for w in pool:
            w.kill()
        shutil.rmtree(run_dir, ignore_errors=True)
    return [results[i] for i in range(len(plan))]


# --------------------------------------------------------------------------
# reporting
# --------------------------------------------------------------------------


def kind_of(rec: dict) -> str:
    """A failure's kind: outcome, error type and its message with the particulars blurred."""
    msg = rec.get("message") or rec.get("reason") or ""
    msg = msg.strip().splitlines()[-1] if msg.strip() else ""
    msg = re.sub(r"/[^\s'\"]*", "<path>", msg)
    msg = re.sub(r"0x[0-9a-f]+", "<addr>", msg)
    # type names in Python's own messages, so that one fault is one kind whatever the odd value was
    msg = re.sub(r"'[\w.]+' object", "'<type>' object", msg)
    msg = re.sub(r"Invoked with types: .*", "Invoked with types: <types>", msg)
    msg = re.sub(r"not '[\w.]+'", "not '<type>'", msg)
    msg = re.sub(r"instances of '[\w.]+' and '[\w.]+'", "instances of '<type>' and '<type>'", msg)
    msg = re.sub(r", got [\w.]+\)", ", got <type>)", msg)
    msg = re.sub(r"\d+", "N", msg)[:140]
    reason = rec.get("reason") or ""
    if rec["outcome"] in (CRASH, HANG):
        what = re.sub(r"\d+", "N", "; ".join(rec.get("notes") or []))[:140]
        return f"{rec['outcome']} ({msg}) [{what}]"
    if rec["outcome"] in (BAD_RESULT, MODIFIED) or reason == "raised on well-formed input":
        return f"{rec['outcome']}: {rec.get('exc_type', '')} {msg} [{reason[:120]}]".replace("  ", " ")
    return f"{rec['outcome']}: {rec.get('exc_type', '')}: {msg}"


def summary_line(records: list[dict]) -> str:
    count = {k: 0 for k in (RESULT, CLEAN, UNCLEAR, BAD_RESULT, MODIFIED, CRASH, HANG)}
    for r in records:
        count[r["outcome"]] += 1
    return (f"fuzz: {len(records)} cases, {count[CLEAN]} clean errors, {count[RESULT]} results, "
            f"{count[UNCLEAR]} unclear errors, {count[BAD_RESULT]} bad results, {count[MODIFIED]} modified inputs, "
            f"{count[CRASH]} crashes, {count[HANG]} hangs")


def failure_report(records: list[dict], limit: int = 20) -> str:
    groups: dict[tuple[str, str], list[dict]] = {}
    for r in records:
        if r["outcome"] in FAILURES:
            groups.setdefault((r["entry"], kind_of(r)), []).append(r)
    lines = []
    for (entry, kind), recs in sorted(groups.items(), key=lambda kv: -len(kv[1]))[:limit]:
        first = recs[0]
        seeds = ", ".join(str(r["seed"]) for r in recs[:5])
        lines.append(f"{len(recs):5d} x {entry}: {kind}")
        lines.append(f"        seeds {seeds}{' ...' if len(recs) > 5 else ''}; "
                     f"first: {'; '.join(first.get('notes', []))}"
                     f"{' at ' + first['where'] if first.get('where') else ''}")
        lines.append(f"        replay: .venv/bin/python tests/fuzz/replay.py {entry} {first['seed']}")
    if len(groups) > limit:
        lines.append(f"... and {len(groups) - limit} more kinds")
    return "\n".join(lines)


if __name__ == "__main__" and "--worker" in sys.argv:
    worker_main()
