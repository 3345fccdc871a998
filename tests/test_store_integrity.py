"""Damaged or hostile store files: labels are checked, odd file types fail fast, metadata cannot demand memory."""

from __future__ import annotations

import datetime as dt
import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.exceptions import VantorelError

from support.stores import assert_same_data, market, payload, write_store


@pytest.fixture
def store(tmp_path):
    return write_store(tmp_path / "store", market(12, 6, seed=5))


def _rewrite(store, edit):
    metadata = store.load_metadata()
    edit(metadata)
    store.metadata_path.write_bytes(pickle.dumps(metadata))


def _set_code(d):
    d["columns"][2] = "999999"


def _set_date(d):
    d["index"][-1] = "20991231"


def _set_name(d):
    d["name"] = "other"


@pytest.mark.parametrize(
    "key, edit", [("close_price", _set_code), ("cant_sell_stock", _set_date), ("benchmark__000300", _set_name)]
)
@pytest.mark.parametrize("mmap", [False, True])
def test_changed_labels_are_reported(store, key, edit, mmap):
    _rewrite(store, lambda md: edit(md["datasets"][key]))
    with pytest.raises(VantorelError, match=f"{key} 的标签校验和不符"):
        store.load(mmap=mmap)


def test_store_without_label_checksums_still_loads_and_gains_them(store):
    mkt = market(12, 6, seed=5)
    before = store.load(mmap=False)["data"]

    def drop(md):
        for desc in md["datasets"].values():
            del desc["checksum"]["labels"]

    _rewrite(store, drop)
    assert_same_data(store.load(mmap=False)["data"], before)
    assert store.update_tail(payload(mkt, 10)) is True
    assert all("labels" in d["checksum"] for d in store.load_metadata()["datasets"].values())


def test_single_byte_flips_of_the_metadata_never_load_changed_data(store):
    good = store.metadata_path.read_bytes()
    reference = store.load(mmap=False)["data"]
    rng = np.random.default_rng(7)
    silent = []
    for pos in rng.choice(len(good), size=150, replace=False):
        raw = bytearray(good)
        raw[pos] ^= int(rng.integers(1, 256))
        store.metadata_path.write_bytes(bytes(raw))
        try:
            data = store.load(mmap=False)["data"]
        except (VantorelError, FileNotFoundError):
            continue
        # a flip may hit text nothing is read from (time stamps, meta); what loads must be the original
        for key, value in data.items():
            if key == "benchmark_dict":
                continue
            if key not in reference or not value.equals(reference[key]) or list(value.columns) != list(
                    reference[key].columns) or list(value.index) != list(reference[key].index):
                silent.append((int(pos), key))
    assert silent == []


# Runs in a child so that a store call that blocks (a pipe) or allocates (a hostile record) cannot
# hang or bloat the test process; each case prints the error it got.
CHILD = r"""
import os, pickle, sys
from pathlib import Path
from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.exceptions import VantorelError

store = BinaryPreparedDataStore(sys.argv[1])
case = sys.argv[2]
md = store.metadata_path
data = store.store_dir / store.load_metadata()["datasets"]["close_price"]["file"]
if case == "fifo-metadata":
    md.unlink(); os.mkfifo(md)
elif case == "fifo-data":
    data.unlink(); os.mkfifo(data)
elif case == "dir-data":
    data.unlink(); data.mkdir()
elif case == "device-data":
    data.unlink(); data.symlink_to("/dev/zero")
elif case == "bytearray":
    class Big:
        def __reduce__(self):
            return bytearray, (10**9,)
    md.write_bytes(pickle.dumps({"datasets": {}, "x": Big()}, protocol=2))
elif case == "huge-metadata":
    with open(md, "r+b") as f:
        f.truncate(400 << 20)  # sparse: no disk used
try:
    store.load(mmap=False)
    print("loaded")
except VantorelError as exc:
    print("VantorelError", exc)
# the peak of this process image (ru_maxrss would include the parent's, kept across fork and exec)
peak = next(line for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print("rss_mb", int(peak.split()[1]) // 1024)
"""


@pytest.mark.parametrize(
    "case, named",
    [("fifo-metadata", "metadata.pkl"), ("fifo-data", "close_price"), ("dir-data", "close_price"),
     ("device-data", "close_price"), ("bytearray", "bytearray"), ("huge-metadata", "metadata.pkl")],
)
def test_odd_files_fail_fast_without_memory(store, case, named):
    try:
        out = subprocess.run([sys.executable, "-c", CHILD, str(store.store_dir), case], capture_output=True,
                             text=True, timeout=60).stdout
    except subprocess.TimeoutExpired:
        pytest.fail(f"{case}: the load blocked")
    first, rss = out.splitlines()
    assert first.startswith("VantorelError") and named in first, out
    assert int(rss.split()[1]) < 300, out


def test_linked_regular_files_still_load(store, tmp_path):
    """A data file may be a link to a regular file elsewhere (moved to another disk)."""
    before = store.load(mmap=False)["data"]
    name = store.load_metadata()["datasets"]["close_price"]["file"]
    os.replace(store.store_dir / name, tmp_path / "elsewhere.bin")
    (store.store_dir / name).symlink_to(tmp_path / "elsewhere.bin")
    assert_same_data(store.load(mmap=False)["data"], before)


def test_metadata_unpickler_converts_only_what_the_stream_holds(store):
    import codecs

    class Encode:
        def __reduce__(self):
            return codecs.encode, ("abc" * 5, "utf-32")

    _rewrite(store, lambda md: md["meta"].update(x=Encode()))
    with pytest.raises(VantorelError, match="_codecs.encode"):
        store.load_metadata()
    # bytes as protocol 2 writes them (a latin-1 text through _codecs.encode) still read
    md = BinaryPreparedDataStore(store.store_dir)
    raw = {"datasets": {}, "meta": {"raw": b"\x00\xff" * 3, "empty": b"", "when": dt.datetime(2020, 1, 2, 3)}}
    store.metadata_path.write_bytes(pickle.dumps(raw, protocol=2))
    assert md.load_metadata() == raw


def test_unreadable_metadata_is_named_without_a_traceback(tmp_path):
    from vantorel.backtest._store import BinaryPreparedDataStoreBase
    from vantorel.exceptions import VantorelError

    (tmp_path / "metadata.pkl").write_bytes(b"\x80\x05garbage")
    store = BinaryPreparedDataStoreBase(tmp_path, {}, 1, "float64")
    with pytest.raises(VantorelError) as info:
        store.load_metadata()
    text = str(info.value)
    assert text.startswith("回测数据元信息文件无法读取: " + str(tmp_path / "metadata.pkl")) and "Traceback" not in text


def test_numpy_booleans_choose_the_load_mode(tmp_path):
    store = write_store(tmp_path, market())
    owned = store.load(mmap=np.False_)["data"]["close_price"]
    mapped = store.load(mmap=np.True_)["data"]["close_price"]
    pd.testing.assert_frame_equal(owned, mapped)


def test_arguments_and_entries_of_the_wrong_kind_are_named(tmp_path):
    store = write_store(tmp_path, market())
    with pytest.raises(TypeError,
                       match=r"^Argument 'start_date' has incorrect type \(expected str, int or None, got bytes"):
        store.load(start_date=b"20200102")
    with pytest.raises(TypeError,
                       match=r"^Argument 'component_matrices\['x'\]' has incorrect type \(expected DataFrame"):
        store.add_component_matrices({"x": 5}, ["x"])
    record = pickle.loads((tmp_path / "metadata.pkl").read_bytes())
    record["datasets"] = list(record["datasets"])
    (tmp_path / "metadata.pkl").write_bytes(pickle.dumps(record))
    for call in (store.load_metadata, lambda: store.update_tail(payload(market(), 28)),
                 lambda: store.add_component_matrices({}, ["x"])):
        with pytest.raises(VantorelError, match="^回测数据元信息文件格式无效: datasets 不是映射"):
            call()


def test_metadata_names_must_be_text(tmp_path):
    store = write_store(tmp_path, market())
    record = pickle.loads((tmp_path / "metadata.pkl").read_bytes())
    record["datasets"][5] = record["datasets"]["close_price"]
    (tmp_path / "metadata.pkl").write_bytes(pickle.dumps(record))
    with pytest.raises(VantorelError, match="^回测数据元信息文件格式无效: datasets 含有非文本的名称"):
        store.update_tail(payload(market(), 28))
