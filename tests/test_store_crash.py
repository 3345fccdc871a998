"""A store survives a writer killed at any moment: it loads, and it holds wholly the old or wholly the new data."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from vantorel.backtest.synthetic import make_market

from support.stores import (
    assert_frame_same,
    assert_series_same,
    check_files,
    check_manifest,
    data_files,
    expected_frames,
    payload,
    write_store,
)

N_DAYS, N_STOCKS, SEED = 60, 40, 11
N = 50  # days in the store before the update
ROUNDS = 25

# The child builds its inputs first, says "go", runs one store operation and says "done".
CHILD = f"""
import sys
from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.backtest.synthetic import make_market, market_payload
op, store_dir = sys.argv[1], sys.argv[2]
m = make_market({N_DAYS}, {N_STOCKS}, seed={SEED})
store = BinaryPreparedDataStore(store_dir)
if op == "update":
    tail = market_payload(m, start_date=m.dates[{N} - 2])
    job = lambda: store.update_tail(tail)
else:
    job = lambda: store.add_component_matrices(m.components, list(m.components))
print("go", flush=True)
job()
print("done", flush=True)
"""

pytestmark = pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL")


@pytest.fixture(scope="module")
def mkt():
    return make_market(N_DAYS, N_STOCKS, seed=SEED)


def _versions(mkt, op):
    """(old, new): every dataset by key, benchmarks as "benchmark:<name>"; None = absent."""
    new = expected_frames(mkt)
    new.update({f"benchmark:{name}": s for name, s in mkt.benchmark_dict.items()})
    if op == "update":
        old = {key: frame.iloc[:N] for key, frame in new.items()}
    else:
        old = {key: (None if key.startswith("component__") else f) for key, f in new.items()}
    return old, new


def _prepare(directory, mkt, op):
    if op == "update":
        return write_store(directory, mkt, N)
    return write_store(directory, mkt, components=False)


def _start(op, directory):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, op, str(directory)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=os.environ.copy(),
        text=True,
    )
    line = child.stdout.readline()
    if line != "go\n":
        child.kill()
        _, err = child.communicate()
        pytest.fail(f"child did not start: {line!r} {err}")
    return child


def _same(actual, expected) -> bool:
    if actual is None or expected is None:
        return actual is expected
    try:
        if expected.ndim == 1:
            assert_series_same(actual, expected)
        else:
            assert_frame_same(actual, expected)
    except AssertionError:
        return False
    return True


def _loaded(store) -> dict:
    data = store.load(mmap=False)["data"]
    out = {key: frame for key, frame in data.items() if key != "benchmark_dict"}
    out.update({f"benchmark:{name}": s for name, s in data["benchmark_dict"].items()})
    return out


def _versions_found(store, mkt, op) -> set[str]:
    """The versions the changed datasets hold after a kill; fails on any dataset that is neither."""
    old, new = _versions(mkt, op)
    data = _loaded(store)
    found = set()
    for key in new:
        got = data.get(key)
        if _same(old[key], new[key]):
            assert _same(got, new[key]), f"{key} changed"
        elif _same(got, old[key]):
            found.add("old")
        elif _same(got, new[key]):
            found.add("new")
        else:
            pytest.fail(f"{key} is neither the old nor the new version")
    return found


def _finish(store, mkt, op):
    """An uninterrupted run brings the store to the new version."""
    if op == "update":
        assert store.update_tail(payload(mkt, N - 2)) is True
    else:
        store.add_component_matrices(mkt.components, list(mkt.components))
    data = _loaded(store)
    for key, expected in _versions(mkt, op)[1].items():
        assert _same(data.get(key), expected), key
    metadata = check_files(store)
    assert not any("tail" in desc for desc in metadata["datasets"].values())
    assert {desc["file"] for desc in metadata["datasets"].values()} == data_files(store)
    if op == "update":  # a component call that finds nothing to add leaves the manifest as it is
        check_manifest(store)


@pytest.mark.parametrize("op", ["update", "components"])
def test_killed_writer_leaves_old_or_new_store(tmp_path, mkt, op):
    # one uninterrupted run: how long the operation takes once the child is ready
    ref = tmp_path / "reference"
    store = _prepare(ref, mkt, op)
    child = _start(op, ref)
    t0 = time.perf_counter()
    assert child.stdout.readline() == "done\n"
    duration = time.perf_counter() - t0
    _, err = child.communicate()
    assert child.returncode == 0, err
    _finish(store, mkt, op)

    rng = np.random.default_rng(20240607)
    outcomes = {"old": 0, "new": 0}
    pending_tail = orphans = 0
    for round_ in range(ROUNDS):
        store = _prepare(tmp_path / f"round{round_}", mkt, op)
        child = _start(op, store.store_dir)
        # the child is ready: kill before, during or after the operation
        time.sleep(rng.uniform(0.0, 1.2 * duration))
        os.kill(child.pid, signal.SIGKILL)
        out, err = child.communicate()
        assert child.returncode in (-signal.SIGKILL, 0), err

        metadata = check_files(store)
        referenced = {desc["file"] for desc in metadata["datasets"].values()}
        pending_tail += any("tail" in desc for desc in metadata["datasets"].values())
        orphans += bool(data_files(store) - referenced)  # written but not yet committed or not yet removed
        found = _versions_found(store, mkt, op)
        assert len(found) == 1, "some datasets were updated and others not"
        if "done" in out:
            assert found == {"new"}
        outcomes[found.pop()] += 1
        _finish(store, mkt, op)

    print(
        f"{op}: run {duration * 1e3:.1f} ms; after {ROUNDS} kills {outcomes}; "
        f"tail pending {pending_tail}, unreferenced files left {orphans}"
    )
