"""The package step: hostile archives, flattening, installation, and the HTTP client."""

from __future__ import annotations

import pickle
import tarfile
from http.server import BaseHTTPRequestHandler
from pathlib import Path

import pytest

from vantorel import _http
from vantorel.backtest import BacktestService, _pkg, _service, synthetic
from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.backtest.package_server import PackageServer, archive_store
from vantorel.exceptions import NetworkError, VantorelError

from support.archives import file_member as _file, special_member as _special, tar_gz as _tar
from support.http_servers import serve
from support.service import market


@pytest.fixture
def sandbox(tmp_path):
    """A store directory deep inside tmp_path, and a snapshot of everything around it."""
    store_dir = tmp_path / "home" / "enviroment_data"
    store_dir.parent.mkdir(parents=True)

    def around() -> set[str]:
        return {str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")}

    return store_dir, around


HOSTILE = {
    "traversal": [_file("enviroment_data/metadata.pkl"), _file("../escaped.txt")],
    "nested traversal": [_file("a/../../escaped.txt")],
    "absolute": [_file("/tmp/vantorel-absolute-escape.txt")],
    "symlink": [_special("link", tarfile.SYMTYPE, "/etc"), _file("link/passwd")],
    "hardlink": [_special("hard", tarfile.LNKTYPE, "/etc/passwd")],
    "device": [_special("dev", tarfile.CHRTYPE)],
    "fifo": [_special("pipe", tarfile.FIFOTYPE)],
}


@pytest.mark.parametrize("case", list(HOSTILE))
def test_hostile_packages_are_rejected_whole(sandbox, case):
    store_dir, around = sandbox
    before = around()
    with PackageServer(_tar(HOSTILE[case])) as server:
        with pytest.raises(VantorelError, match="回测基准数据包无效"):
            _pkg.download_benchmark_package(server.client(), store_dir)
    assert around() == before  # nothing written anywhere, not even the valid first member
    assert not Path("/tmp/vantorel-absolute-escape.txt").exists()


def test_corrupt_archive_is_invalid(sandbox):
    store_dir, _ = sandbox
    with PackageServer(b"not a tar archive at all") as server:
        with pytest.raises(VantorelError, match="无法解压"):
            _pkg.download_benchmark_package(server.client(), store_dir)
    assert not store_dir.exists()


def test_metadata_naming_a_foreign_global_runs_nothing(tmp_path, monkeypatch):
    store_dir = tmp_path / "enviroment_data"
    sentinel = tmp_path / "pwned"

    class Exploit:
        def __reduce__(self):
            return (__import__("os").system, (f"touch {sentinel}",))

    source = tmp_path / "src"
    BinaryPreparedDataStore(source).write(synthetic.market_payload(market()))
    (source / "metadata.pkl").write_bytes(pickle.dumps({"datasets": Exploit()}))
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", store_dir)
    with PackageServer(archive_store(source)) as server:
        with pytest.raises(VantorelError, match="不允许的对象"):
            BacktestService(server.client()).prepare_backtest_data()
    assert not sentinel.exists()


def test_package_without_metadata(tmp_path, monkeypatch):
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", tmp_path / "store")
    with PackageServer(_tar([_file("enviroment_data/readme.txt")])) as server:
        with pytest.raises(VantorelError) as info:
            BacktestService(server.client()).prepare_backtest_data()
    assert str(info.value) == "回测基准数据包解压后缺少元信息文件"


def test_failed_download_keeps_the_previous_store(tmp_path):
    store_dir = tmp_path / "enviroment_data"
    BinaryPreparedDataStore(store_dir).write(synthetic.market_payload(market()))
    files = sorted(p.name for p in store_dir.iterdir())
    with PackageServer(archive_store(store_dir), checksum="f" * 64) as server:
        with pytest.raises(NetworkError, match="校验失败"):
            _pkg.download_benchmark_package(server.client(), store_dir)
    assert sorted(p.name for p in store_dir.iterdir()) == files
    assert sorted(p.name for p in tmp_path.iterdir()) == ["enviroment_data"]


def test_installs_over_leftovers_and_without_checksum(tmp_path):
    source = tmp_path / "src"
    BinaryPreparedDataStore(source).write(synthetic.market_payload(market()))
    store_dir = tmp_path / "enviroment_data"
    store_dir.mkdir()
    (store_dir / "junk.bin").write_bytes(b"junk")
    with PackageServer(archive_store(source, top_dir="a"), checksum=False) as server:
        _pkg.download_benchmark_package(server.client(), store_dir)
    assert sorted(p.name for p in store_dir.iterdir()) == sorted(p.name for p in source.iterdir())
    assert BinaryPreparedDataStore(store_dir).load_metadata()["datasets"].keys() == \
        BinaryPreparedDataStore(source).load_metadata()["datasets"].keys()


def test_flatten_single_subdir(tmp_path):
    root = tmp_path / "store"
    nested = root / "outer" / "outer"
    nested.mkdir(parents=True)
    (nested / "metadata.pkl").write_text("m")
    (nested / "outer").write_text("a file named like its directory")
    _pkg.flatten_single_subdir(root)
    assert sorted(p.name for p in root.iterdir()) == ["metadata.pkl", "outer"]
    assert (root / "outer").read_text() == "a file named like its directory"
    # files beside a directory, a lone file, or nothing at all are left alone
    (root / "sub").mkdir()
    _pkg.flatten_single_subdir(root)
    assert (root / "sub").is_dir()
    _pkg.flatten_single_subdir(tmp_path / "absent")


# --------------------------------------------------------------------------
# the HTTP client


class _Recorder(BaseHTTPRequestHandler):
    seen: list = []
    status = 200

    def do_GET(self):  # noqa: N802
        type(self).seen.append((self.path, self.headers.get("Authorization")))
        self.send_response(type(self).status)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


@pytest.fixture
def recorder():
    _Recorder.seen, _Recorder.status = [], 200
    with serve(_Recorder) as url:
        yield url


def test_http_client_token_query_and_errors(recorder, tmp_path):
    client = _http.HttpClient(recorder + "/api/", token="secret", retries=2, backoff=0.0)
    assert client.get("/x", params={"a": 1}) == b"ok"
    assert _Recorder.seen == [("/api/x?a=1", "Bearer secret")]
    progress = []
    info = client.download("file", tmp_path / "f", progress=lambda done, total: progress.append((done, total)))
    assert (tmp_path / "f").read_bytes() == b"ok" and info.size == 2 and progress == [(2, 2)]
    _Recorder.status = 404
    with pytest.raises(NetworkError, match="HTTP 404"):
        client.get("/missing")
    assert len(_Recorder.seen) == 3  # a client error is not retried
    _Recorder.status = 503
    with pytest.raises(NetworkError, match="HTTP 503"):
        client.get("/busy")
    assert len(_Recorder.seen) == 6  # the first attempt and two retries
    unreachable = _http.HttpClient("http://127.0.0.1:9", retries=1, backoff=0.0, timeout=2)
    with pytest.raises(NetworkError):
        unreachable.get("/")
    assert unreachable.is_valid() and not _http.HttpClient("example.com").is_valid()
    with pytest.raises(TypeError, match="Argument 'base_url' has incorrect type"):
        _http.HttpClient(None)


def test_http_client_names_an_unreadable_base_url():
    from vantorel._http import HttpClient

    client = HttpClient("http://[::1")
    assert not client.is_valid()
    with pytest.raises(ValueError, match=r"^Argument 'base_url' is not a valid URL: 'http://\[::1'"):
        client.get("x")
    for odd in ("", "not a url", "ftp://host"):
        with pytest.raises(ValueError, match="^Argument 'base_url' is not an absolute http"):
            HttpClient(odd).get("x")


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"timeout": 1j}, TypeError, "Argument 'timeout' has incorrect type (expected float, got complex)"),
        ({"timeout": float("nan")}, ValueError, "Argument 'timeout' must lie in [0.0, +inf), got nan"),
        ({"timeout": 1e308}, ValueError, "Argument 'timeout' must lie in (0, 31536000] seconds, got 1e+308"),
        ({"retries": "3"}, TypeError, "Argument 'retries' has incorrect type (expected int, got str)"),
        ({"retries": -1}, ValueError, "Argument 'retries' must lie in [0, +inf), got -1"),
        ({"backoff": 10**400}, ValueError, f"Argument 'backoff' must lie in [0.0, +inf), got {10**400!r}"),
        ({"token": "a\r\nX-Evil: 1"}, ValueError, "Argument 'token' must not contain line breaks or NUL characters"),
    ],
)
def test_http_client_options_are_checked_by_name(kwargs, error, message):
    from vantorel._http import HttpClient

    with pytest.raises(error) as info:
        HttpClient("http://127.0.0.1:9", **kwargs)
    assert str(info.value) == message


def test_http_client_call_arguments_are_checked_by_name(tmp_path):
    from vantorel._http import HttpClient

    client = HttpClient("http://127.0.0.1:9", retries=0)
    with pytest.raises(TypeError, match=r"^Argument 'params' has incorrect type \(expected Mapping, got str\)"):
        client.get("x", params="a=1")
    with pytest.raises(ValueError, match="^Argument 'dest' names a directory"):
        client.download("x", tmp_path)
    with pytest.raises(ValueError, match="^Argument 'dest' must not contain a NUL character"):
        client.download("x", "a\0b")
    with pytest.raises(ValueError, match=r"^Argument 'max_duration' must lie in \[0.0, \+inf\), got -1"):
        client.get("x", max_duration=-1)
