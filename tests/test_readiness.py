"""Data readiness through a real HTTP server on 127.0.0.1: download, replace, append, or nothing."""

from __future__ import annotations

import datetime as dt
import logging
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import vantorel
from vantorel import singleton
from vantorel.backtest import BacktestService, _service, synthetic
from vantorel.backtest._pkg import PACKAGE_PATH
from vantorel.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder
from vantorel.backtest._store import _replace_metadata
from vantorel.backtest.package_server import PackageServer, build_package
from vantorel.backtest.synthetic_service import SyntheticDataService
from vantorel.exceptions import NetworkError, VantorelError

from support.service import ALL_KEYS, COMPONENT_KEYS

DAYS, EXTRA = 30, 4
INCOMPLETE = "回测基准数据包不完整,请删除回测数据目录后重新准备"


@pytest.fixture(scope="module")
def market():
    return synthetic.make_market(DAYS + EXTRA, 25, seed=5, start_date="20200102")


@pytest.fixture(scope="module")
def package(market):
    return build_package(SyntheticDataService(market, visible_days=DAYS), market.dates[0], market.dates[DAYS - 1])


@pytest.fixture
def server(package):
    with PackageServer(package) as s:
        yield s


@pytest.fixture
def store_dir(tmp_path, monkeypatch):
    path = tmp_path / "home" / ".vantorel" / "backtest_data" / "enviroment_data"
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", path)
    return path


@pytest.fixture
def client(market, server, monkeypatch):
    c = SyntheticDataService(market, visible_days=DAYS, http=server.client())
    monkeypatch.setattr(singleton, "_instance", c)
    return c


def _summary(caplog) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == "vantorel"]


def _expected_summary(store, action: str) -> list[str]:
    md = store.load_metadata()
    bench_keys = set(md["benchmarks"].values())
    rows = []
    for key, desc in md["datasets"].items():
        if key.startswith("component__"):
            rows.append(("成分股 " + key.replace("component__", ""), desc["index"][-1]))
        elif key not in bench_keys:
            rows.append((key, desc["index"][-1]))
    rows += [("基准 " + code, md["datasets"][key]["index"][-1]) for code, key in md["benchmarks"].items()]
    width = max(len(n) for n, _ in rows)
    return [f"回测基准数据{action},各数据集最新日期:"] + [f"  {n:<{width}}  {d}" for n, d in rows]


def test_absent_store_is_downloaded(client, server, store_dir, market, caplog):
    caplog.set_level(logging.INFO, logger="vantorel")
    BacktestService(client.http).prepare_backtest_data()
    store = BinaryPreparedDataStore(store_dir)
    assert server.requests == [PACKAGE_PATH]
    assert [c for c in client.calls] == []  # the package alone, no factor queries
    assert BacktestService._find_missing_datasets(store) == []
    assert store.load_metadata()["datasets"]["close_price"]["index"] == market.dates[:DAYS]
    assert _summary(caplog) == _expected_summary(store, "已就绪")
    assert not [p for p in store_dir.parent.iterdir() if p.name != store_dir.name]  # no leftovers


def test_incomplete_store_is_replaced(client, server, store_dir, market):
    payload = synthetic.market_payload(market, end_date=market.dates[10])
    del payload["data"][COMPONENT_KEYS[-1]]  # 932000 membership missing
    BinaryPreparedDataStore(store_dir).write(payload)
    (store_dir / "stray.txt").write_text("old")
    assert BacktestService._find_missing_datasets(BinaryPreparedDataStore(store_dir)) == [COMPONENT_KEYS[-1]]
    BacktestService(client.http).prepare_backtest_data()
    store = BinaryPreparedDataStore(store_dir)
    assert server.requests == [PACKAGE_PATH] and client.calls == []
    assert not (store_dir / "stray.txt").exists()
    assert list(store.load_metadata()["datasets"]) == ALL_KEYS + [f"benchmark__{n}" for n in synthetic.BENCHMARK_NAMES]
    assert store.load_metadata()["datasets"]["close_price"]["index"][-1] == market.dates[DAYS - 1]


def test_incomplete_store_stays_until_its_replacement_is_installed(client, server, store_dir, market):
    payload = synthetic.market_payload(market, end_date=market.dates[10])
    del payload["data"][COMPONENT_KEYS[0]]
    BinaryPreparedDataStore(store_dir).write(payload)
    before = BinaryPreparedDataStore(store_dir).load(mmap=False)["data"]["close_price"]
    server.failures = 100
    with pytest.raises(NetworkError):
        BacktestService(client.http).prepare_backtest_data()
    # Not deleted ahead of a download that failed: it still loads as it was, and is replaced later.
    pd.testing.assert_frame_equal(BinaryPreparedDataStore(store_dir).load(mmap=False)["data"]["close_price"], before)
    server.failures = 0
    BacktestService(client.http).prepare_backtest_data()
    assert BacktestService._find_missing_datasets(BinaryPreparedDataStore(store_dir)) == []


def test_complete_store_gets_the_missing_days(client, server, store_dir, market, caplog):
    service = BacktestService(client.http)
    service.prepare_backtest_data()
    client.advance(EXTRA)
    caplog.set_level(logging.INFO, logger="vantorel")
    service.prepare_backtest_data()
    assert server.requests == [PACKAGE_PATH]
    second_last = market.dates[DAYS - 2]
    today = dt.datetime.now().strftime("%Y%m%d")
    batch = client.calls[0]
    assert batch[0] == "get_factors" and len(batch[1]) == 15
    assert (batch[2], batch[3]) == (f"{second_last[:4]}-{second_last[4:6]}-{second_last[6:]}",
                                    f"{today[:4]}-{today[4:6]}-{today[6:]}")
    store = BinaryPreparedDataStore(store_dir)
    assert _summary(caplog) == _expected_summary(store, "已更新")

    # the appended store holds what a full build of the whole range derives
    loaded = service.load_backtest_data().data
    full = GroupPreparedDataBuilder(market.dates[0], market.dates[-1]).build()["data"]
    for key in ALL_KEYS:
        np.testing.assert_array_equal(loaded[key].to_numpy(), full[key].to_numpy(), err_msg=key)
        assert list(loaded[key].index) == market.dates
    for name, series in full["benchmark_dict"].items():
        np.testing.assert_array_equal(loaded["benchmark_dict"][name].to_numpy(), series.to_numpy())


def test_store_reaching_today_fetches_nothing(client, server, store_dir, caplog):
    future = synthetic.make_market(5, 10, seed=1, start_date=dt.date.today().isoformat())
    BinaryPreparedDataStore(store_dir).write(synthetic.market_payload(future))
    assert future.dates[-2] >= dt.datetime.now().strftime("%Y%m%d")
    caplog.set_level(logging.INFO, logger="vantorel")
    BacktestService(client.http).prepare_backtest_data()
    assert client.calls == [] and server.requests == []
    assert _summary(caplog)[0] == "回测基准数据已是最新,各数据集最新日期:"


def test_single_stored_date_is_fetched_again(client, store_dir, market):
    BinaryPreparedDataStore(store_dir).write(synthetic.market_payload(market, end_date=market.dates[0]))
    BacktestService(client.http).prepare_backtest_data()
    day = market.dates[0]
    assert client.calls[0][2] == f"{day[:4]}-{day[4:6]}-{day[6:]}"
    index = BinaryPreparedDataStore(store_dir).load_metadata()["datasets"]["close_price"]["index"]
    assert index == market.dates[:DAYS]


def test_refused_merge_is_an_error(client, store_dir, market, monkeypatch):
    BinaryPreparedDataStore(store_dir).write(synthetic.market_payload(market, end_date=market.dates[10]))
    before = (store_dir / "metadata.pkl").read_bytes()

    class NoBenchmarks:
        def __init__(self, start_date, end_date):
            self.payload = GroupPreparedDataBuilder(start_date, end_date).build_incremental()

        def build_incremental(self):
            self.payload["data"].pop("benchmark_dict")
            return self.payload

    monkeypatch.setattr(_service, "GroupPreparedDataBuilder", NoBenchmarks)
    with pytest.raises(VantorelError) as info:
        BacktestService(client.http).prepare_backtest_data()
    assert str(info.value) == "回测数据增量更新失败:基准缺失或元信息不完整"
    assert (store_dir / "metadata.pkl").read_bytes() == before


def test_failed_incremental_read_leaves_the_store(client, store_dir, market):
    BinaryPreparedDataStore(store_dir).write(synthetic.market_payload(market, end_date=market.dates[10]))
    before = (store_dir / "metadata.pkl").read_bytes()
    client.fail = lambda method, what: method == "get_index_daily"
    with pytest.raises(NetworkError):
        BacktestService(client.http).prepare_backtest_data()
    assert (store_dir / "metadata.pkl").read_bytes() == before


@pytest.mark.parametrize("fault", ["unavailable", "truncated", "checksum"])
def test_failed_download_leaves_no_store(client, server, store_dir, fault):
    if fault == "unavailable":
        server.failures = 100
    elif fault == "truncated":
        server.truncate = len(server.package) // 2
    else:
        server.checksum = "0" * 64
    with pytest.raises(NetworkError):
        BacktestService(client.http).prepare_backtest_data()
    assert not store_dir.exists()
    assert not list(store_dir.parent.iterdir()) if store_dir.parent.exists() else True
    server.failures, server.truncate, server.checksum = 0, None, True
    BacktestService(client.http).prepare_backtest_data()
    assert BacktestService._find_missing_datasets(BinaryPreparedDataStore(store_dir)) == []


def test_retries_ride_out_a_flaky_server(client, server, store_dir):
    server.failures = 2
    BacktestService(client.http).prepare_backtest_data()
    assert server.requests == [PACKAGE_PATH] * 3


@pytest.mark.parametrize("http", [None, "not a client", vantorel._http.HttpClient("ftp://example.invalid")])
def test_invalid_download_address(store_dir, http):
    with pytest.raises(VantorelError, match="回测基准数据包下载地址无效"):
        BacktestService(http).prepare_backtest_data()


def test_top_level_prepare_uses_the_configured_client(client, server, store_dir):
    vantorel.prepare_backtest_data()
    assert server.requests == [PACKAGE_PATH]
    assert BinaryPreparedDataStore(store_dir).metadata_path.exists()


# --------------------------------------------------------------------------
# completeness, validation and the summary on hand-made metadata


def _store_with(store_dir: Path, market, edit) -> BinaryPreparedDataStore:
    store = BinaryPreparedDataStore(store_dir)
    store.write(synthetic.market_payload(market, end_date=market.dates[5]))
    md = store.load_metadata()
    edit(md)
    _replace_metadata(store.metadata_path, md)
    return store


def test_missing_dataset_report(store_dir, market):
    def edit(md):
        del md["datasets"]["open_price"]
        del md["datasets"][COMPONENT_KEYS[0]]

    assert BacktestService._find_missing_datasets(_store_with(store_dir, market, edit)) == [
        "open_price", COMPONENT_KEYS[0]]

    def edit(md):
        md["benchmarks"] = {}
        md["datasets"]["close_price"]["index"] = []
        del md["datasets"]["cant_sell_stock"]

    assert BacktestService._find_missing_datasets(_store_with(store_dir, market, edit)) == [
        "close_price 索引为空", "cant_sell_stock", "benchmarks"]


def test_validation_of_an_unpacked_package(store_dir, market):
    with pytest.raises(VantorelError) as info:
        BacktestService._validate_metadata(BinaryPreparedDataStore(store_dir))
    assert str(info.value) == "回测基准数据包解压后缺少元信息文件"
    for edit in [lambda md: md["datasets"]["close_price"].update(index=[]),
                 lambda md: md["datasets"].pop("can_buy_stock"),
                 lambda md: md.pop("benchmarks")]:
        with pytest.raises(VantorelError) as info:
            BacktestService._validate_metadata(_store_with(store_dir, market, edit))
        assert str(info.value) == INCOMPLETE
    # membership matrices are not required here
    BacktestService._validate_metadata(_store_with(store_dir, market, lambda md: md["datasets"].pop(COMPONENT_KEYS[2])))


def test_summary_rows(store_dir, market, caplog):
    def edit(md):
        keep = {"close_price", COMPONENT_KEYS[0], "benchmark__000852"}
        md["datasets"] = {k: v for k, v in md["datasets"].items() if k in keep}
        md["datasets"]["close_price"]["index"] = []
        md["benchmarks"] = {"000852": "benchmark__000852"}

    caplog.set_level(logging.INFO, logger="vantorel")
    BacktestService._log_dataset_summary(_store_with(store_dir, market, edit), action="已是最新")
    last = market.dates[5]
    name = "成分股 rq_index_components_new_000300_xshg"
    assert _summary(caplog) == [
        "回测基准数据已是最新,各数据集最新日期:",
        f"  {'close_price':<{len(name)}}  (空)",
        f"  {name}  {last}",
        f"  {'基准 000852':<{len(name)}}  {last}",
    ]
    with pytest.raises(TypeError):
        BacktestService._log_dataset_summary(BinaryPreparedDataStore(store_dir), "已是最新")


def test_demo_runs_the_whole_job_in_a_private_home(capsys):
    from vantorel.backtest.__main__ import main

    default_dir = _service._DEFAULT_DATA_DIR
    home_store = Path.home() / ".vantorel"
    existed = home_store.exists()
    main(["--days", "40", "--stocks", "30", "--top", "5"])
    out = capsys.readouterr().out
    assert out.index("回测基准数据已就绪") < out.index("回测基准数据已更新") < out.index("Final net value")
    assert "45 days x" in out
    assert _service._DEFAULT_DATA_DIR == default_dir and singleton._instance is None
    assert home_store.exists() == existed


@pytest.mark.parametrize("helper", ["_find_missing_datasets", "_validate_metadata", "_log_dataset_summary"])
@pytest.mark.parametrize("store", [None, b"dir", (1, 2), pd.DataFrame()])
def test_store_helpers_name_a_store_of_the_wrong_type(helper, store):
    kwargs = {"action": "已就绪"} if helper == "_log_dataset_summary" else {}
    with pytest.raises(TypeError,
                       match=r"^Argument 'store' has incorrect type \(expected BinaryPreparedDataStore, got "):
        getattr(BacktestService, helper)(store, **kwargs)
