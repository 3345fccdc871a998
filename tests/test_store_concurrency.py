"""Writers of one store directory take turns, across processes and threads; readers never see their work half done."""

from __future__ import annotations

import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from vantorel import singleton
from vantorel.backtest import BacktestService, _pkg, _service, _store, synthetic
from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.backtest.package_server import PackageServer, archive_store, build_package
from vantorel.backtest.synthetic_service import SyntheticDataService
from vantorel.exceptions import VantorelError

from support.stores import (
    assert_same_data,
    check_files,
    check_manifest,
    init_preparer,
    load_until,
    payload,
    prepare_at_once,
)

DAYS, EXTRA = 24, 3
MARKET = (DAYS + EXTRA, 12, 9, "20200102")  # days, stocks, seed, first date
ROUNDS = 20


@pytest.fixture(scope="module")
def market():
    n_days, n_stocks, seed, start = MARKET
    return synthetic.make_market(n_days, n_stocks, seed=seed, start_date=start)


@pytest.fixture(scope="module")
def server(market):
    package = build_package(SyntheticDataService(market, visible_days=DAYS), market.dates[0], market.dates[DAYS - 1])
    with PackageServer(package) as s:
        yield s


@pytest.fixture(scope="module")
def pool(server):
    """Eight worker processes reused by every round; barriers of 2 and 8 parties start a round at once."""
    ctx = multiprocessing.get_context("spawn")
    barriers = {n: ctx.Barrier(n) for n in (2, 8)}
    with ctx.Pool(8, initializer=init_preparer, initargs=(server.url, MARKET, DAYS + EXTRA, barriers)) as p:
        yield p


def _start_store(directory, market, start: str):
    """The state a round starts from: no directory, or a complete store some days behind."""
    if start == "partial":
        BinaryPreparedDataStore(directory).write(synthetic.market_payload(market, end_date=market.dates[DAYS - 4]))


def _loaded(directory, monkeypatch) -> dict:
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", directory)
    return BacktestService(None).load_backtest_data().data


@pytest.fixture(scope="module")
def serial(market, server, tmp_path_factory):
    """What preparing twice in a row leaves, from each starting state (later runs change nothing)."""
    out = {}
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(singleton, "_instance",
                   SyntheticDataService(market, visible_days=DAYS + EXTRA, http=server.client()))
        for start in ("empty", "partial"):
            directory = tmp_path_factory.mktemp("serial") / start
            _start_store(directory, market, start)
            mp.setattr(_service, "_DEFAULT_DATA_DIR", directory)
            for _ in range(2):
                BacktestService(singleton._instance.http).prepare_backtest_data()
            out[start] = BacktestService(None).load_backtest_data().data
    return out


@pytest.mark.parametrize("parties", [2, 8])
def test_processes_preparing_at_once_leave_the_serial_result(tmp_path, market, pool, serial, parties, monkeypatch):
    failures = []
    for round_ in range(ROUNDS):
        start = ("empty", "partial")[round_ % 2]
        directory = tmp_path / f"round{round_}"
        _start_store(directory, market, start)
        errors = [e for e in pool.map(prepare_at_once, [(str(directory), parties)] * parties, chunksize=1) if e]
        failures += [f"round {round_} ({start}): {e}" for e in errors]
        try:
            assert_same_data(_loaded(directory, monkeypatch), serial[start])
            store = BinaryPreparedDataStore(directory)
            check_files(store)
            check_manifest(store)
        except Exception as exc:
            failures.append(f"round {round_} ({start}): final store: {type(exc).__name__}: {exc}")
    assert not failures, "\n".join(failures[:10])
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(f"round{r}" for r in range(ROUNDS))  # no lock left


def test_reader_during_appends_never_fails(tmp_path):
    """A process loads in a loop while this one appends day after day (each append commits twice)."""
    n_days, n_stocks, seed, start = args = (60, 40, 4, "20200102")
    mkt = synthetic.make_market(n_days, n_stocks, seed=seed, start_date=start)
    store = BinaryPreparedDataStore(tmp_path / "store")
    store.write(payload(mkt, None, 20))
    ctx = multiprocessing.get_context("spawn")
    stop, out = ctx.Event(), ctx.Queue()
    reader = ctx.Process(target=load_until, args=(str(store.store_dir), args, stop, out))
    reader.start()
    try:
        time.sleep(0.5)  # let the reader get going
        for end in range(21, n_days + 1):
            assert store.update_tail(payload(mkt, end - 3, end)) is True
        stop.set()
        loads, errors, n_errors = out.get(timeout=120)
    finally:
        stop.set()
        reader.join(timeout=60)
    assert n_errors == 0, errors
    assert loads > 0
    assert store.load_metadata()["datasets"]["close_price"]["index"] == mkt.dates


def test_threads_of_one_process_take_turns(tmp_path, market, server, serial, monkeypatch):
    monkeypatch.setattr(singleton, "_instance",
                        SyntheticDataService(market, visible_days=DAYS + EXTRA, http=server.client()))
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", tmp_path / "store")
    errors = []

    def prepare():
        try:
            BacktestService(singleton._instance.http).prepare_backtest_data()
        except Exception as exc:
            errors.append(exc)

    threads = [threading.Thread(target=prepare) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert_same_data(_loaded(tmp_path / "store", monkeypatch), serial["empty"])


HOLDER = """
import sys, time
from vantorel.backtest import _store
with _store._writer_lock(sys.argv[1]):
    print("held", flush=True)
    time.sleep(60)
"""


def test_waiting_writer_gives_up_and_a_dead_holder_frees_the_lock(tmp_path, monkeypatch):
    mkt = synthetic.make_market(12, 5, seed=2)
    store = BinaryPreparedDataStore(tmp_path / "store")
    store.write(payload(mkt, None, 8))
    with subprocess.Popen([sys.executable, "-c", HOLDER, str(store.store_dir)], stdout=subprocess.PIPE,
                          text=True) as holder:
        try:
            assert holder.stdout.readline() == "held\n"
            monkeypatch.setattr(_store, "LOCK_TIMEOUT", 0.3)
            t0 = time.perf_counter()
            with pytest.raises(VantorelError) as info:
                store.update_tail(payload(mkt, 6, 12))
            assert 0.3 <= time.perf_counter() - t0 < 5
            assert str(store.store_dir) in str(info.value) and "0.3" in str(info.value)
            with pytest.raises(VantorelError):
                store.add_component_matrices(mkt.components, list(mkt.components))
            # readers take no lock
            assert list(store.load(mmap=False)["data"]["close_price"].index) == mkt.dates[:8]
        finally:
            holder.send_signal(signal.SIGKILL)
    assert store.update_tail(payload(mkt, 6, 12)) is True
    assert store.load_metadata()["datasets"]["close_price"]["index"] == mkt.dates
    assert sorted(p.name for p in tmp_path.iterdir()) == ["store"]


def test_readers_need_no_lock_file(tmp_path):
    """Where the lock file cannot be created (here: a directory in its place) loads still work."""
    mkt = synthetic.make_market(10, 4, seed=1)
    store = BinaryPreparedDataStore(tmp_path / "store")
    store.write(payload(mkt))
    (tmp_path / ".store.lock").mkdir()
    assert list(store.load()["data"]["close_price"].index) == mkt.dates
    with pytest.raises(VantorelError, match="写锁"):
        store.update_tail(payload(mkt, 8))


def test_an_install_over_a_store_never_leaves_the_directory_without_one(tmp_path, monkeypatch):
    old, new = synthetic.make_market(8, 4, seed=1), synthetic.make_market(9, 4, seed=2)
    source = tmp_path / "source"
    BinaryPreparedDataStore(source).write(synthetic.market_payload(new))
    store_dir = tmp_path / "home" / "store"
    BinaryPreparedDataStore(store_dir).write(synthetic.market_payload(old))
    gaps = []
    replace = os.replace

    def watched(src, dst):
        replace(src, dst)
        if not (store_dir / "metadata.pkl").exists():
            gaps.append((src, dst))

    monkeypatch.setattr(os, "replace", watched)
    with PackageServer(archive_store(source)) as server:
        _pkg.download_benchmark_package(server.client(), store_dir)
    assert gaps == []
    assert BinaryPreparedDataStore(store_dir).load_metadata()["datasets"]["close_price"]["index"] == new.dates
    assert sorted(p.name for p in store_dir.parent.iterdir()) == ["store"]
