"""The vantorel-backtest command line, run as a real process on a small store."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import BacktestService, _service, synthetic
from vantorel.backtest._prepare import BinaryPreparedDataStore
from vantorel.backtest._progress import progress_bar
from vantorel.backtest.cli.errors import CliError
from vantorel.backtest.cli.files import read_table

PROG = "vantorel-backtest"


def cli(*args: object, cwd: Path | None = None) -> subprocess.CompletedProcess:
    env = {**os.environ, "COLUMNS": "200"}
    env.pop("VANTOREL_BASE_URL", None)
    return subprocess.run([sys.executable, "-m", "vantorel.backtest.cli", *map(str, args)], capture_output=True,
                          text=True, timeout=300, cwd=cwd, env=env)


def failed(run: subprocess.CompletedProcess, status: int = 1) -> str:
    """The one-line message of a failure with ``status`` (no traceback)."""
    assert run.returncode == status, run.stderr
    assert "Traceback" not in run.stderr
    return run.stderr.strip().splitlines()[-1]


@pytest.fixture(scope="module")
def market():
    return synthetic.make_market(n_days=300, n_stocks=80, seed=1)


@pytest.fixture(scope="module")
def store(market, tmp_path_factory) -> Path:
    directory = tmp_path_factory.mktemp("store")
    BinaryPreparedDataStore(directory).write(synthetic.market_payload(market))
    return directory


@pytest.fixture(scope="module")
def weights(market) -> pd.DataFrame:
    return synthetic.momentum_weights(market, top_n=10)


@pytest.fixture(scope="module")
def inputs(market, weights, tmp_path_factory) -> dict[str, Path]:
    """The same weights as wide and long CSV, Parquet and pickle files, and two factor files."""
    d = tmp_path_factory.mktemp("inputs")
    long = weights.stack().rename("weight").rename_axis(["trade_date", "code"]).reset_index()
    long = long[long["weight"] != 0]
    files = {"wide.csv": d / "wide.csv", "wide.parquet": d / "wide.parquet", "wide.pkl": d / "wide.pkl",
             "long.csv": d / "long.csv", "long.parquet": d / "long.parquet"}
    weights.to_csv(files["wide.csv"])
    weights.to_parquet(files["wide.parquet"])
    weights.to_pickle(files["wide.pkl"])
    # Long tables as exports spell them: integer dates and exchange-suffixed codes.
    spelled = long.assign(trade_date=long["trade_date"].astype(int), code=long["code"] + ".SZ")
    spelled.to_csv(files["long.csv"], index=False)
    long.to_parquet(files["long.parquet"], index=False)
    close = market.frames["close_price"]
    files["rev20"] = d / "rev20.parquet"
    (-(close / close.shift(20) - 1.0)).to_parquet(files["rev20"])
    files["mom5"] = d / "mom5.csv"
    (close / close.shift(5) - 1.0).to_csv(files["mom5"])
    return files


@pytest.fixture(scope="module")
def service_data(store):
    """The store loaded by the service itself (owned, every row checked): the reference bundle."""
    previous = _service._DEFAULT_DATA_DIR
    _service._DEFAULT_DATA_DIR = store
    try:
        yield BacktestService(None), BacktestService(None).load_backtest_data()
    finally:
        _service._DEFAULT_DATA_DIR = previous


# ---- parser, statuses and messages --------------------------------------------------------------


def test_every_command_has_help_and_the_version_is_shown():
    for command in ([], ["prepare"], ["export-tables"], ["info"], ["strategy"], ["factor"], ["demo"]):
        run = cli(*command, "--help")
        assert run.returncode == 0, run.stderr
        assert run.stdout.startswith("usage: " + " ".join([PROG, *command]))
    run = cli("--version")
    assert run.returncode == 0 and run.stdout.startswith(PROG + " ")


def test_usage_errors_exit_2(store, inputs, tmp_path):
    for args in ([], ["frobnicate"], ["info", "--bogus"], ["strategy"], ["strategy", inputs["wide.csv"], "--fee", "2"],
                 ["factor", inputs["rev20"], "--groups", "many"],
                 ["factor", inputs["rev20"], "--ascending", "--descending"],
                 ["--data-dir", store, "strategy", inputs["wide.csv"], "--plot", "long"],
                 ["--data-dir", store, "strategy", inputs["wide.csv"], "--start", "yesterday"],
                 ["--data-dir", store, "strategy", inputs["wide.csv"], "--name", "../escape", "--out", tmp_path],
                 ["--data-dir", store, "factor", inputs["rev20"], inputs["rev20"]],
                 ["--data-dir", store, "strategy", inputs["wide.csv"], inputs["long.csv"], "--name", "mom"],
                 ["--data-dir", store, "strategy", inputs["wide.csv"], inputs["wide.parquet"]],
                 ["factor", inputs["rev20"], "--workers", "0"],
                 ["--data-dir", store, "factor", "--ray", inputs["rev20"], inputs["mom5"]],
                 ["--data-dir", tmp_path, "prepare"]):
        run = cli(*args)
        assert run.returncode == 2, (args, run.stderr)
        assert "usage:" in run.stderr and "error:" in run.stderr, args


def test_failures_exit_1_with_one_line(store, inputs, tmp_path):
    missing_store = cli("--data-dir", tmp_path / "nothing", "info")
    assert failed(missing_store).startswith(f"{PROG}: error: no prepared data in")
    assert len(missing_store.stderr.strip().splitlines()) == 1
    assert "no prepared data" in failed(cli("--data-dir", tmp_path / "nothing", "strategy", inputs["wide.csv"]))

    (tmp_path / "w.xlsx").write_bytes(b"PK\x03\x04")
    (tmp_path / "dates.csv").write_text("when,600000\nsoon,0.5\n")
    (tmp_path / "codes.csv").write_text("date,600000,apple\n20100104,0.5,0.5\n")
    (tmp_path / "broken.parquet").write_bytes(b"not parquet at all")
    (tmp_path / "twice.csv").write_text("date,code,weight\n20100104,600000,0.5\n20100104,600000.SH,0.2\n")
    cases = {
        tmp_path / "absent.csv": "no such file",
        tmp_path / "w.xlsx": "unreadable format",
        tmp_path / "dates.csv": "'soon' is not a date",
        tmp_path / "codes.csv": "not stock codes: 'apple'",
        tmp_path / "broken.parquet": "cannot read as parquet",
        tmp_path / "twice.csv": "appear more than once",
    }
    for path, message in cases.items():
        line = failed(cli("--data-dir", store, "strategy", path))
        assert line.startswith(f"{PROG}: error: {path}") and message in line, line
    # Runs that would "succeed" with nothing in them: an unknown benchmark, a period without trading days.
    line = failed(cli("--data-dir", store, "strategy", inputs["wide.csv"], "--benchmark", "999999"))
    assert line == f"{PROG}: error: benchmark 999999 is not in the store (it has 000300, 000852, 000905)"
    line = failed(cli("--data-dir", store, "factor", inputs["rev20"], "--start", "20300101", "--end", "20301231"))
    assert "no trading day to backtest from 20300101 to 20301231" in line
    # The engine's own refusal is a failure too, named by its type.
    line = failed(cli("--data-dir", store, "factor", inputs["rev20"], "--groups", "1"))
    assert line.startswith(f"{PROG}: error: ValueError: group_num")


def test_debug_shows_the_traceback(tmp_path):
    run = cli("--data-dir", tmp_path, "info", "--debug")
    assert run.returncode == 1
    assert run.stderr.startswith("Traceback") and run.stderr.rstrip().endswith("first)")


# ---- strategy -------------------------------------------------------------------------------------


def _reference(service_data, weights, **kwargs):
    service, data = service_data
    return service.backtest_strategy(weights, data, weights.index[0], weights.index[-1], None, "ref", plot=None,
                                     **kwargs)


def _read_returns(path: Path) -> pd.DataFrame:
    if path.suffix == ".parquet":
        frame = pd.read_parquet(path)
    else:
        frame = pd.read_csv(path, dtype={"date": str}).set_index("date")
    frame.index = frame.index.astype(str)
    return frame


@pytest.mark.parametrize(("source", "returns_format"), [
    ("wide.csv", "csv"), ("wide.parquet", "parquet"), ("wide.pkl", "csv"), ("long.csv", "parquet"),
    ("long.parquet", "csv"),
])
def test_strategy_writes_the_service_returns_bit_for_bit(store, inputs, weights, service_data, tmp_path, source,
                                                        returns_format):
    run = cli("--data-dir", store, "strategy", inputs[source], "--out", tmp_path, "--returns-format", returns_format)
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""  # no progress, no log lines when stderr is no terminal
    name = source.split(".")[0]
    assert "annual_return" in run.stdout and "Excess over each benchmark" in run.stdout
    written = _read_returns(tmp_path / f"{name}_returns.{returns_format}")
    expected = _reference(service_data, weights)
    assert list(written.index) == list(expected.daily_return.index)
    np.testing.assert_array_equal(written["daily_return"].to_numpy(), expected.daily_return.to_numpy())
    np.testing.assert_array_equal(written["cumulative_return"].to_numpy(), expected.cumulative_return.to_numpy())


def test_strategy_options_reach_the_engine_and_json_parses(store, inputs, weights, service_data, tmp_path):
    run = cli("--data-dir", store, "strategy", inputs["wide.parquet"], "--json", "--start", "2010-03-01",
              "--end", "20101231", "--benchmark", "000300", "--capital", "5e7", "--fee", "0.0003",
              "--rule-fee", "0.001", "--name", "mom", "--out", tmp_path, "--plot", "long")
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    service, data = service_data
    expected = service.backtest_strategy(weights, data, "20100301", "20101231", None, "mom", benchmark="000300",
                                         total_money=5e7, fee=0.0003, rule_fee=0.001, plot=None)
    assert report["strategy"] == "mom" and (report["start"], report["end"]) == ("20100301", "20101231")
    assert report["days"] == len(expected.daily_return)
    for key, value in expected.stats.items():
        assert report["stats"][key] == (None if np.isnan(value) else value), key
    assert [row["benchmark_name"] for row in report["benchmark_summary"]] == \
        list(expected.benchmark_summary["benchmark_name"])
    assert set(report["files"]) == {"main", "weekly_net_value", "returns"}
    assert all(Path(path).is_file() for path in report["files"].values())


# ---- factor ---------------------------------------------------------------------------------------


def _cells(line: str) -> list[str]:
    """The cells of a table's line."""
    return [cell.strip() for cell in re.split(r"[┃│]", line)]


def test_factor_prints_one_row_per_file_and_writes_its_files(store, inputs, service_data, tmp_path):
    run = cli("--data-dir", store, "factor", inputs["rev20"], inputs["mom5"], "--groups", "5", "--out", tmp_path,
              "--returns-format", "parquet")
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""
    summary = run.stdout.split("Files written")[0]
    rows = [line for line in summary.splitlines() if line.startswith(("rev20 ", "mom5 "))]
    assert [row.split()[0] for row in rows] == ["rev20", "mom5"]
    header = next(line for line in summary.splitlines() if line.startswith("factor "))
    assert _cells(header) == ["factor", "rank IC", "ICIR", "t", "best", "top", "bottom", "top - bottom", "Sharpe",
                              "monotonicity", "turnover"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["mom5_groups.parquet", "rev20_groups.parquet"]

    service, data = service_data
    factor = read_table(inputs["mom5"])
    factor.columns.name = "mom5"
    expected = service.backtest(factor, data, factor.index[0], factor.index[-1], tmp_path / "charts", "mom5",
                                group_num=5)
    written = pd.read_parquet(tmp_path / "mom5_groups.parquet")
    np.testing.assert_array_equal(written.to_numpy(), expected.group_daily_return.to_numpy())
    ic, ls = expected.ic_summary, expected.long_short
    assert _cells(rows[1]) == [
        "mom5", f"{ic['mean']:.4f}", f"{ic['icir']:.3f}", f"{ic['t_stat']:.2f}", str(expected.best_group),
        *(f"{x * 100:.2f} %" for x in (*(expected.group_daily_return[[5, 1]].mean() * 252), ls.annual_return)),
        f"{ls.sharpe:.3f}", f"{expected.monotonicity:.3f}", f"{expected.mean_group_turnover[5] * 100:.2f} %"]

    run = cli("--data-dir", store, "factor", inputs["mom5"], "--groups", "5", "--json", "--universe", "000905",
              "--direction", "ascending", "--out", tmp_path / "charted", "--plot", "large")
    assert run.returncode == 0, run.stderr
    (summary,) = json.loads(run.stdout)["factors"]
    flipped = service.backtest(factor, data, factor.index[0], factor.index[-1], tmp_path / "charts", "mom5",
                               group_num=5, universe="000905", ascending=True)
    daily = flipped.group_daily_return
    ic = flipped.rank_ic.dropna()
    assert summary["rank_ic"] == pytest.approx(ic.mean(), rel=1e-12)
    assert summary["icir"] == pytest.approx(ic.mean() / ic.std(), rel=1e-12)
    assert summary["best_group"] == flipped.best_group
    assert summary["top_annual_return"] == pytest.approx(daily[5].mean() * 252, rel=1e-12)
    assert summary["long_short_annual_return"] == pytest.approx((daily[5] - daily[1]).mean() * 252, rel=1e-12)
    assert summary["ic_t_stat"] == flipped.ic_summary["t_stat"] and summary["monotonicity"] == flipped.monotonicity
    assert summary["long_short_sharpe"] == flipped.long_short.sharpe
    assert summary["top_group_turnover"] == flipped.mean_group_turnover[5]
    assert Path(summary["files"]["main"]).is_file() and Path(summary["files"]["group_returns"]).is_file()


# ---- several files: threads, Ray, failures ----------------------------------------------------------


def _factor_run(store, inputs, out: Path, *extra) -> tuple[list[dict], dict[str, bytes]]:
    run = cli("--data-dir", store, "factor", inputs["rev20"], inputs["mom5"], "--groups", "5", "--out", out, "--json",
              *extra)
    assert run.returncode == 0, run.stderr
    rows = json.loads(run.stdout)["factors"]
    for row in rows:
        assert Path(row.pop("files")["group_returns"]).parent == out
    return rows, {p.name: p.read_bytes() for p in sorted(out.iterdir())}


def test_factor_files_give_the_same_rows_and_files_one_at_a_time_on_threads_and_on_ray(store, inputs, tmp_path):
    from vantorel.backtest.batch.summary import FACTOR_COLUMNS

    rows, files = _factor_run(store, inputs, tmp_path / "one", "--workers", "1")
    assert [row["factor"] for row in rows] == ["rev20", "mom5"]
    assert set(FACTOR_COLUMNS) <= set(rows[0]) and rows[0]["error"] is None
    assert rows[0]["top_annual_return"] == rows[0]["last_group_annual_return"]
    assert rows[0]["bottom_annual_return"] == rows[0]["first_group_annual_return"]
    dates = read_table(inputs["rev20"]).index
    assert (rows[0]["start"], rows[0]["end"]) == (dates[0], dates[-1])
    assert list(files) == ["mom5_groups.csv", "rev20_groups.csv"]
    assert _factor_run(store, inputs, tmp_path / "threads", "--workers", "2") == (rows, files)
    pytest.importorskip("ray")
    # --ray alone starts a local cluster of --workers CPUs for the run, and stops it
    assert _factor_run(store, inputs, tmp_path / "ray", "--ray", "--workers", "2") == (rows, files)


def test_strategy_of_several_files_writes_each_and_prints_a_row_each(store, inputs, weights, service_data, tmp_path):
    run = cli("--data-dir", store, "strategy", inputs["wide.csv"], inputs["long.parquet"], "--out", tmp_path,
              "--workers", "2", "--start", "20100301")
    assert run.returncode == 0, run.stderr
    rows = [line.split()[0] for line in run.stdout.splitlines() if line.startswith(("wide ", "long "))]
    assert rows == ["wide", "long", "wide", "long"]  # the summary, then the files written
    assert "Excess over each benchmark" not in run.stdout and "annual_return" in run.stdout
    service, data = service_data
    expected = service.backtest_strategy(weights, data, "20100301", weights.index[-1], None, "ref", plot=None)
    for name in ("wide", "long"):
        written = _read_returns(tmp_path / f"{name}_returns.csv")
        np.testing.assert_array_equal(written["daily_return"].to_numpy(), expected.daily_return.to_numpy())

    run = cli("--data-dir", store, "strategy", inputs["wide.csv"], inputs["long.parquet"], "--json")
    assert run.returncode == 0, run.stderr
    reports = json.loads(run.stdout)
    assert [r["strategy"] for r in reports] == ["wide", "long"] and [r["error"] for r in reports] == [None, None]
    assert reports[0]["stats"] == reports[1]["stats"] and reports[0]["files"] == {}


def test_a_failing_file_fails_alone_and_the_run_exits_1(store, inputs, tmp_path):
    bad = tmp_path / "dates.csv"
    bad.write_text("date,600000\nsoon,0.5\n")
    run = cli("--data-dir", store, "factor", bad, inputs["rev20"], "--groups", "5", "--out", tmp_path / "out",
              "--workers", "2")
    assert failed(run) == f"{PROG}: error: 1 of 2 factors failed: dates: {bad}: 'soon' is not a date"
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["rev20_groups.csv"]
    assert any(line.startswith("dates ") and "'soon' is not a date" in line for line in run.stdout.splitlines())

    run = cli("--data-dir", store, "strategy", inputs["wide.csv"], bad, "--json")
    assert failed(run) == f"{PROG}: error: 1 of 2 strategies failed: dates: {bad}: 'soon' is not a date"
    good, broken = json.loads(run.stdout)
    assert good["error"] is None and good["days"] > 0 and broken == {"strategy": "dates", "error": f"{bad}: 'soon' "
                                                                                                  "is not a date"}
    # What can be told before running still stops the run before it starts: nothing is written.
    run = cli("--data-dir", store, "factor", inputs["rev20"], tmp_path / "absent.csv", "--out", tmp_path / "none")
    assert failed(run) == f"{PROG}: error: {tmp_path / 'absent.csv'}: no such file"
    assert not (tmp_path / "none").exists()


def test_ray_without_ray_installed_says_what_to_install(store, inputs):
    script = ("import sys; sys.modules['ray'] = None\nfrom vantorel.backtest.cli import main\n"
              f"sys.exit(main(['--data-dir', {str(store)!r}, 'factor', {str(inputs['rev20'])!r}, '--ray']))")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert failed(run) == f"{PROG}: error: engine='ray' needs Ray: pip install vantorel-backtest[ray]"


# ---- info, prepare, demo --------------------------------------------------------------------------


def test_info_as_text_and_json(store, market):
    run = cli("--data-dir", store, "info")
    assert run.returncode == 0, run.stderr
    assert f"{market.dates[0]} to {market.dates[-1]} (300 trading days)" in run.stdout
    assert "close_price" in run.stdout and "Index memberships" in run.stdout

    report = json.loads(cli("--data-dir", store, "info", "--json").stdout)
    assert (report["first_date"], report["last_date"], report["days"], report["stocks"]) == \
        (market.dates[0], market.dates[-1], 300, 80)
    assert {b["name"] for b in report["benchmarks"]} == set(market.benchmark_dict)
    close = next(d for d in report["datasets"] if d["key"] == "close_price")
    assert (close["rows"], close["columns"], close["last_date"]) == (300, 80, market.dates[-1])
    for member in report["memberships"]:
        last = market.components[member["name"]].iloc[-1].to_numpy(dtype=float)
        assert member["members"] == np.count_nonzero(np.isfinite(last) & (last != 0)), member
    assert report["size_bytes"] == sum(p.stat().st_size for p in store.iterdir() if p.is_file())
    assert report["created_at"] and report["updated_at"]


def test_prepare_appends_new_days_from_the_client_factory(market, tmp_path):
    directory = tmp_path / "store"
    BinaryPreparedDataStore(directory).write(synthetic.market_payload(market, end_date=market.dates[289]))
    (tmp_path / "my_client.py").write_text(
        "from vantorel.backtest import synthetic\n"
        "from vantorel.backtest.synthetic_service import SyntheticDataService\n\n\n"
        "def make():\n"
        "    return SyntheticDataService(synthetic.make_market(n_days=300, n_stocks=80, seed=1))\n"
    )
    run = cli("--data-dir", directory, "prepare", "--client", "my_client:make", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == f"ready: {directory}"
    assert json.loads(cli("--data-dir", directory, "info", "--json").stdout)["last_date"] == market.dates[-1]
    line = failed(cli("--data-dir", directory, "prepare", "--client", "my_client:absent", cwd=tmp_path))
    assert "has no 'absent'" in line


def test_prepare_downloads_the_package_quietly_without_a_terminal(store, tmp_path):
    from vantorel.backtest.package_server import PackageServer, archive_store

    with PackageServer(archive_store(store)) as server:
        run = cli("--data-dir", tmp_path / "fresh", "prepare", "--url", server.url)
    assert run.returncode == 0, run.stderr
    assert "下载" not in run.stderr and "\r" not in run.stderr  # log lines only, no progress
    fresh = json.loads(cli("--data-dir", tmp_path / "fresh", "info", "--json").stdout)
    original = json.loads(cli("--data-dir", store, "info", "--json").stdout)
    assert fresh["datasets"] == original["datasets"] and fresh["memberships"] == original["memberships"]


def test_tables_round_trip_through_export_and_prepare(store, market, tmp_path):
    run = cli("--data-dir", store, "export-tables", tmp_path / "tables", "--format", "csv")
    assert run.returncode == 0, run.stderr
    run = cli("--data-dir", tmp_path / "rebuilt", "prepare", "--tables", tmp_path / "tables")
    assert run.returncode == 0, run.stderr
    assert run.stdout.split(":")[0] == "built"
    report = json.loads(cli("--data-dir", tmp_path / "rebuilt", "info", "--json").stdout)
    assert (report["first_date"], report["last_date"], report["stocks"]) == (market.dates[0], market.dates[-1], 80)


def test_tables_commands_call_the_table_functions_as_documented(store, tmp_path):
    """The wiring alone, with stand-ins recording their arguments: the store directory in use,
    no progress without a terminal, the outcome and the files reported."""
    script = f"""
import json, pathlib, sys
import vantorel.backtest.tables as tables
from vantorel.backtest.cli import main
calls = []
def prepare_from_tables(source, data_dir=None, *, rebuild=False, progress=False):
    calls.append(["prepare", str(source), str(data_dir), rebuild, progress])
    return "updated"
def export_tables(out_dir, data_dir=None, *, format="parquet", progress=False):
    calls.append(["export", str(out_dir), str(data_dir), format, progress])
    return {{"close_price": pathlib.Path(out_dir) / "close_price.csv"}}
tables.prepare_from_tables, tables.export_tables = prepare_from_tables, export_tables
status = [main(["--data-dir", {str(store)!r}, "prepare", "--tables", {str(tmp_path)!r}]),
          main(["export-tables", {str(tmp_path / "out")!r}, "--format", "csv", "--data-dir", {str(store)!r}])]
print(json.dumps({{"status": status, "calls": calls}}))
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                         env={**os.environ, "COLUMNS": "200"})
    assert run.returncode == 0, run.stderr
    *shown, last = run.stdout.strip().splitlines()
    report = json.loads(last)
    assert report["status"] == [0, 0]
    assert report["calls"] == [["prepare", str(tmp_path), str(store), False, False],
                               ["export", str(tmp_path / "out"), str(store), "csv", False]]
    assert shown[0] == f"updated: {store}"
    assert any("close_price" in line and "close_price.csv" in line for line in shown)


def test_demo_forwards_its_options(tmp_path):
    run = cli("demo", "--days", "60", "--stocks", "40", "--advance", "2", "--top", "5", "--plot", "none",
              "--out", tmp_path / "demo")
    assert run.returncode == 0, run.stderr
    assert "60 trading days" not in run.stdout  # the package holds 60, the calendar moves on by 2
    assert "62 trading days" in run.stdout and "top-5 20-day momentum" in run.stdout


# ---- files and progress, in process -------------------------------------------------------------


def test_dates_and_codes_in_their_usual_spellings(tmp_path):
    frame = pd.DataFrame({"600000.SH": [0.5, 0.25, 0.0], "SZ000001": [0.5, np.nan, 1.0], 2: [0.0, 0.0, 0.0]},
                         index=["2024-01-03", "20240102", "2024/1/4"])
    frame.to_pickle(tmp_path / "w.pkl")
    table = read_table(tmp_path / "w.pkl")
    assert list(table.index) == ["20240102", "20240103", "20240104"]  # sorted by date, rows kept whole
    assert list(table.columns) == ["600000", "000001", "000002"]
    np.testing.assert_array_equal(table.to_numpy(), [[0.25, np.nan, 0.0], [0.5, 0.5, 0.0], [0.0, 1.0, 0.0]])

    datetimes = frame.set_axis(pd.to_datetime(["2024-01-03", "2024-01-02", "2024-01-04 15:00"], format="ISO8601"))
    assert list(read_table_of(datetimes, tmp_path / "dt.pkl").index) == ["20240102", "20240103", "20240104"]

    # A long table named by --format without the usual column names: date, code, value by position.
    long = pd.DataFrame({"d": [20240102, 20240102, 20240103], "s": ["600000", "000001", "600000"], "v": [1, 2, 3]})
    long.to_csv(tmp_path / "l.csv", index=False)
    table = read_table(tmp_path / "l.csv", "long")
    assert table.loc["20240102", "000001"] == 2.0 and np.isnan(table.loc["20240103", "000001"])
    with pytest.raises(CliError, match="date 20240102 appears more than once"):
        read_table_of(pd.DataFrame({"600000": [1.0, 2.0]}, index=[20240102, "2024-01-02"]), tmp_path / "d.pkl")
    with pytest.raises(CliError, match="stock 600000 appears more than once"):
        read_table_of(pd.DataFrame({"600000": [1.0], "SH600000": [2.0]}, index=["20240102"]), tmp_path / "c.pkl")
    with pytest.raises(CliError, match="not all numbers"):
        read_table_of(pd.DataFrame({"600000": ["x"]}, index=["20240102"]), tmp_path / "n.pkl")


def read_table_of(frame: pd.DataFrame, path: Path) -> pd.DataFrame:
    frame.to_pickle(path)
    return read_table(path)


def test_parquet_without_pyarrow_names_the_extra(tmp_path, monkeypatch):
    path = tmp_path / "w.parquet"
    pd.DataFrame({"600000": [1.0]}, index=["20240102"]).to_parquet(path)
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    with pytest.raises(ImportError, match=r"pip install vantorel-backtest\[parquet\]"):
        read_table(path)


def test_progress_draws_only_when_enabled(capsys):
    with progress_bar("quiet work", total=3) as progress:  # stderr is captured: no terminal
        progress.advance(3)
    with progress_bar("slow work", total=3, enabled=True, delay=60) as late:
        late.advance()
    assert capsys.readouterr().err == "" and not late.shown and progress.completed == 3
    with progress_bar("shown work", total=4, enabled=True) as shown:
        shown.update(2)
        shown.update(4)
        assert shown.shown
    assert "shown work" in capsys.readouterr().err


def test_ctrl_c_exits_130(tmp_path):
    env = {**os.environ, "PYTHONUNBUFFERED": "1"}
    with subprocess.Popen([sys.executable, "-m", "vantorel.backtest.cli", "demo", "--days", "3000", "--stocks", "3000",
                           "--out", str(tmp_path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=env) as process:
        assert process.stdout.readline().startswith("Synthetic market")  # running the command by now
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=120)
    assert process.returncode == 130
    assert err.strip().splitlines()[-1] == f"{PROG}: interrupted"


def test_a_folder_of_daily_bars_gives_a_strategy_and_a_factor_report_in_three_commands(market, tmp_path):
    """The README's walkthrough: only daily-bar files (no actions, membership or indices), then a
    weights file and a factor file of the researcher's own."""
    from vantorel.backtest.tables import export_tables

    exported = export_tables(tmp_path / "export", _builder_store(market, tmp_path), format="csv")
    bars = pd.read_csv(exported["bars"])
    folder = tmp_path / "my_bars"
    folder.mkdir()
    for year, rows in bars.groupby(bars["date"].str[:4]):  # one file a year, as vendors export them
        rows.drop(columns=["limit_up", "limit_down", "suspended"]).to_csv(folder / f"bars_{year}.csv", index=False)
    synthetic.momentum_weights(market, top_n=10).to_csv(tmp_path / "my_weights.csv")
    close = market.frames["close_price"]
    (-(close / close.shift(20) - 1.0)).to_csv(tmp_path / "my_factor.csv")

    store = tmp_path / "store"
    run = cli("--data-dir", store, "prepare", "--tables", folder)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("built:") and "flat indices" in run.stderr and "no members" in run.stderr
    run = cli("--data-dir", store, "strategy", tmp_path / "my_weights.csv", "--out", tmp_path / "report",
              "--plot", "large")
    assert run.returncode == 0, run.stderr
    assert "annual_return" in run.stdout or "Annual" in run.stdout
    run = cli("--data-dir", store, "factor", tmp_path / "my_factor.csv", "--groups", "5", "--out", tmp_path / "report",
              "--plot", "long")
    assert run.returncode == 0, run.stderr
    assert "my_factor" in run.stdout
    written = sorted(p.name for p in (tmp_path / "report").iterdir())
    assert {"my_weights.png", "my_weights_weekly_net_value.png", "my_factor.png"} <= set(written)


def _builder_store(market, tmp_path) -> Path:
    """A store as the builder makes it from the data service (so its limits and suspensions are real)."""
    from vantorel.backtest._prepare import GroupPreparedDataBuilder
    from vantorel.backtest.synthetic_service import SyntheticDataService
    from vantorel.backtest.tables.prepare import using_client

    with using_client(SyntheticDataService(market)):
        payload = GroupPreparedDataBuilder(market.dates[0], market.dates[-1]).build()
    BinaryPreparedDataStore(tmp_path / "service").write(payload)
    return tmp_path / "service"
