"""Bounds of the package step: a rejected package leaves the directory as it was, and neither the
archive nor the server can make unpacking or downloading unbounded."""

from __future__ import annotations

import os
import pickle
import shutil
import tarfile
import time
from http.server import BaseHTTPRequestHandler
from pathlib import Path

import pytest

from vantorel import _http
from vantorel.backtest import BacktestService, _pkg, _service
from vantorel.backtest._pkg import PACKAGE_PATH
from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.backtest._store import _replace_metadata
from vantorel.backtest.package_server import PackageServer, archive_store
from vantorel.exceptions import NetworkError, VantorelError

from support.archives import file_member as _file, tar_gz as _tar
from support.http_servers import serve
from support.service import write_store

INCOMPLETE = "回测基准数据包不完整,请删除回测数据目录后重新准备"


def _files(directory: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in directory.iterdir()}


def _edit_metadata(edit):
    def apply(store_dir: Path) -> None:
        store = BinaryPreparedDataStore(store_dir)
        metadata = store.load_metadata()
        edit(metadata)
        _replace_metadata(store.metadata_path, metadata)

    return apply


def _flip_a_byte(pattern: str):
    def apply(store_dir: Path) -> None:
        path = next(store_dir.glob(pattern))
        data = bytearray(path.read_bytes())
        data[len(data) // 2] ^= 1
        path.write_bytes(bytes(data))

    return apply


# How a package goes wrong, and the exact message when the service's own check names it.
REJECTED = {
    "garbage metadata": (lambda d: (d / "metadata.pkl").write_bytes(b"garbage"), None),
    "metadata naming a foreign global": (lambda d: (d / "metadata.pkl").write_bytes(pickle.dumps(os.system)), None),
    "metadata missing": (lambda d: (d / "metadata.pkl").unlink(), "回测基准数据包解压后缺少元信息文件"),
    "key dataset missing": (_edit_metadata(lambda md: md["datasets"].pop("can_buy_stock")), INCOMPLETE),
    "benchmarks missing": (_edit_metadata(lambda md: md.pop("benchmarks")), INCOMPLETE),
    "corrupt rows": (_flip_a_byte("close_price.*.bin"), None),
    "dataset file missing": (lambda d: next(d.glob("open_price.*.bin")).unlink(), None),
}


@pytest.mark.parametrize("case", list(REJECTED))
def test_rejected_package_keeps_the_previous_store(tmp_path, case):
    spoil, message = REJECTED[case]
    store_dir = write_store(tmp_path / "enviroment_data")
    before = _files(store_dir)
    source = write_store(tmp_path / "source")
    spoil(source)
    package = archive_store(source)
    shutil.rmtree(source)
    with PackageServer(package) as server:
        with pytest.raises(VantorelError) as info:
            _pkg.download_benchmark_package(server.client(), store_dir)
    if message is not None:
        assert str(info.value) == message
    assert _files(store_dir) == before
    assert [p.name for p in tmp_path.iterdir()] == ["enviroment_data"]


def test_a_rejected_package_does_not_block_the_next_preparation(tmp_path, monkeypatch):
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", tmp_path / "enviroment_data")
    good = write_store(tmp_path / "good")
    bad = write_store(tmp_path / "bad")
    (bad / "metadata.pkl").write_bytes(b"garbage")
    with PackageServer(archive_store(bad)) as server:
        with pytest.raises(VantorelError, match="元信息文件无法读取"):
            BacktestService(server.client()).prepare_backtest_data()
        assert not (tmp_path / "enviroment_data").exists()
        server.package = archive_store(good)
        BacktestService(server.client()).prepare_backtest_data()
    assert _files(tmp_path / "enviroment_data") == _files(good)


# --------------------------------------------------------------------------
# unpacking


def _pax_sparse(name: str) -> tuple[tarfile.TarInfo, bytes]:
    info = tarfile.TarInfo(name)
    info.pax_headers = {"GNU.sparse.major": "1", "GNU.sparse.minor": "0", "GNU.sparse.name": name,
                        "GNU.sparse.realsize": str(1 << 20)}
    return info, b"1\n0\n0\n".ljust(512, b"\0")


def _gnu_sparse(name: str) -> tuple[tarfile.TarInfo, bytes]:
    info = tarfile.TarInfo(name)
    info.type = tarfile.GNUTYPE_SPARSE
    return info, b"x"


REFUSED = {
    "sparse member (GNU)": ([_gnu_sparse("big")], "是稀疏文件"),
    "sparse member (pax)": ([_pax_sparse("big")], "是稀疏文件"),
    "duplicate name": ([_file("a", b"first"), _file("./a", b"second")], "重复出现"),
    "extended header over the limit": ([_file("n" * (_pkg.MAX_HEADER_BYTES + 1))], "扩展头"),
}


@pytest.mark.parametrize("case", list(REFUSED))
def test_refused_members(tmp_path, case):
    members, message = REFUSED[case]
    archive = tmp_path / "package.tar.gz"
    archive.write_bytes(_tar(members))
    target = tmp_path / "target"
    target.mkdir()
    with pytest.raises(VantorelError, match=f"回测基准数据包无效: .*{message}"):
        _pkg.unpack_package(archive, target)
    assert not any(target.iterdir())


def test_unpacking_bounds(tmp_path, monkeypatch):
    archive = tmp_path / "package.tar.gz"
    archive.write_bytes(_tar([_file(f"d/f{i}", b"x" * 600) for i in range(3)]))

    def refused(message: str, **bounds) -> None:
        target = tmp_path / f"target{len(list(tmp_path.iterdir()))}"
        target.mkdir()
        with pytest.raises(VantorelError, match=message):
            _pkg.unpack_package(archive, target, **bounds)
        assert not any(target.iterdir())  # checked before anything is written

    refused("回测基准数据包无效: 成员超过 2 个", max_members=2)
    refused("回测基准数据包无效: 解压后超过 1000 字节", max_bytes=1000)
    monkeypatch.setattr(_pkg, "DISK_MARGIN_BYTES", shutil.disk_usage(tmp_path).free)
    refused("回测基准数据包解压空间不足")
    monkeypatch.undo()
    target = tmp_path / "fits"
    target.mkdir()
    assert _pkg.unpack_package(archive, target, max_members=3, max_bytes=1800) == ["d/f0", "d/f1", "d/f2"]


def test_unpacking_never_writes_through_a_link(tmp_path):
    archive = tmp_path / "package.tar.gz"
    archive.write_bytes(_tar([_file("a.bin", b"from the archive")]))
    target = tmp_path / "target"
    target.mkdir()
    (target / "b.bin").write_bytes(b"kept")
    (target / "a.bin").symlink_to("b.bin")
    with pytest.raises(VantorelError, match="无法解压"):
        _pkg.unpack_package(archive, target)
    assert (target / "b.bin").read_bytes() == b"kept"


# --------------------------------------------------------------------------
# downloading


class _Trickle(BaseHTTPRequestHandler):
    """A body of ``size`` bytes with no Content-Length, ``step`` bytes every ``pause`` seconds."""

    step, pause, size = 2, 0.5, 40
    requests = 0

    def do_GET(self):  # noqa: N802
        type(self).requests += 1
        self.send_response(200)
        self.end_headers()
        try:
            for _ in range(self.size // self.step):
                self.wfile.write(b"x" * self.step)
                time.sleep(self.pause)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, *args):
        pass


@pytest.fixture
def trickle():
    _Trickle.step, _Trickle.pause, _Trickle.size, _Trickle.requests = 2, 0.5, 40, 0
    with serve(_Trickle) as url:
        yield url


def test_download_size_limit(tmp_path, trickle):
    with PackageServer(b"x" * 100) as server:
        with pytest.raises(NetworkError, match="响应大小 100 字节超过上限 10 字节"):
            server.client().download(PACKAGE_PATH, tmp_path / "f", max_bytes=10)
        assert len(server.requests) == 1  # not retried
    _Trickle.step, _Trickle.pause, _Trickle.size = 1000, 0.0, 10_000
    client = _http.HttpClient(trickle, backoff=0.0)
    with pytest.raises(NetworkError, match="响应超过上限 5000 字节"):
        client.get("/", max_bytes=5000)
    assert client.get("/", max_bytes=10_000) == b"x" * 10_000


def test_a_trickling_server_is_given_up_on(tmp_path, trickle):
    slow = _http.HttpClient(trickle, retries=1, backoff=0.0, min_rate=1024, rate_window=1.0)
    start = time.monotonic()
    with pytest.raises(NetworkError, match=rf"{trickle}/file .*传输过慢: 最近 1 秒平均 \d+ 字节/秒, 低于下限 1024"):
        slow.download("file", tmp_path / "f")
    assert time.monotonic() - start < 6 and _Trickle.requests == 2
    # one deadline over all attempts, whatever the retries
    patient = _http.HttpClient(trickle, retries=5, backoff=0.0, min_rate=0, max_duration=1.0)
    start = time.monotonic()
    with pytest.raises(NetworkError, match=rf"{trickle}/ \(超过总时限 1 秒\)"):
        patient.get("/")
    assert time.monotonic() - start < 3 and _Trickle.requests == 3
    with pytest.raises(ValueError):
        _http.HttpClient(trickle, min_rate=-1)
