"""A batch sent to a Ray cluster that runs apart from this process: a head node started by the test
with ``ray start --head`` on 127.0.0.1, joined through ``ray_address``, and stopped after it."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from vantorel.backtest import BacktestData, BacktestService, synthetic

pytest.importorskip("ray")
RAY = Path(sys.executable).with_name("ray")


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def head(tmp_path_factory):
    import ray

    assert not ray.is_initialized()
    port = _free_port()
    env = {**os.environ, "RAY_AUTH_MODE": "disabled"}
    temp = tmp_path_factory.mktemp("ray")
    start = [str(RAY), "start", "--head", "--node-ip-address=127.0.0.1", f"--port={port}", "--num-cpus=2",
             "--include-dashboard=false", "--disable-usage-stats", f"--temp-dir={temp}"]
    subprocess.run(start, check=True, capture_output=True, env=env, timeout=180)
    try:
        yield f"127.0.0.1:{port}"
    finally:
        ray.shutdown()
        subprocess.run([str(RAY), "stop", "--force"], capture_output=True, env=env, timeout=120)


def test_a_batch_on_a_running_cluster_equals_the_single_calls(head, monkeypatch):
    monkeypatch.setenv("RAY_AUTH_MODE", "disabled")
    market = synthetic.make_market(n_days=120, n_stocks=40, seed=8)
    data = BacktestData(synthetic.market_payload(market)["data"])
    weights = {f"top{n}": synthetic.momentum_weights(market, top_n=n) for n in (5, 10)}
    batch = BacktestService(None).backtest_strategy_many(weights, data, None, None, engine="ray", ray_address=head,
                                                         progress=False)
    import ray

    assert not ray.is_initialized()  # connected for the batch only; the cluster itself runs on
    status = subprocess.run([str(RAY), "status", f"--address={head}"], capture_output=True, timeout=60,
                            env={**os.environ, "RAY_AUTH_MODE": "disabled"})
    assert status.returncode == 0, status.stderr
    assert batch.errors == {}
    for name, table in weights.items():
        expected = BacktestService(None).backtest_strategy(table, data, table.index[0], table.index[-1], None, name,
                                                           plot=None)
        pd.testing.assert_series_equal(batch.results[name].daily_return, expected.daily_return, check_exact=True)
