"""The performance and weekly net value charts: files, layout, drawn content, locking."""

from __future__ import annotations

import contextlib
import gc
import math
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest

from vantorel.backtest import _weightsim as ws

from support.totals import FULL_STATS, make_total

BLUE, RED = "#1d4ed8", "#b91c1c"
YEARLY_HEADERS = ["Year", "Strategy Return", "Strategy Sharpe", "Strategy Max DD", "Strategy Calmar",
                  "Excess Return", "Excess Sharpe", "Excess Max DD", "Excess Calmar"]
LONG_PERF_PX, LONG_WEEKLY_PX = (2247, 4930), (2247, 1798)  # 15.5 x 34.0 and 15.5 x 12.4 in at 145 dpi

# Sparse dates (one every fourth business day) give four calendar years in 150 rows.
DATES_4Y = pd.bdate_range("2023-09-01", periods=600)[::4]


def pct(v):
    return "--" if pd.isna(v) else format(v * 100, ".2f") + "%"


def pts(v):
    return "--" if pd.isna(v) else format(v, ".2f") + "%"


def num(v, digits=2):
    return "--" if pd.isna(v) else format(v, f".{digits}f")


def png_size(path):
    data = path.read_bytes()[:24]
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


def rgba(color):
    from matplotlib.colors import to_rgba
    return to_rgba(color)


@contextlib.contextmanager
def captured_figures():
    """Records every figure the charts close after saving."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figures, original = [], plt.close

    def close(fig=None, *args, **kwargs):
        figures.append(fig)
        return original(fig, *args, **kwargs)

    plt.close = close
    try:
        yield figures
    finally:
        plt.close = original


def chart_args(fn, total, stats=None):
    return (total,) if fn is ws.plot_weekly_net_value else (total, {} if stats is None else stats)


def draw(fn, total, path, stats=None, **kwargs):
    with captured_figures() as figures:
        out = fn(*chart_args(fn, total, stats), save_path=path, **kwargs)
    assert len(figures) == 1
    return figures[0], out


def panel(fig, title):
    (ax,) = [ax for ax in fig.axes if ax.get_title() == title]
    return ax


def twin(fig, ax):
    (other,) = [a for a in ax.get_shared_x_axes().get_siblings(ax) if a is not ax]
    return other


def lines(ax):
    return {line.get_label(): line for line in ax.get_lines() if not line.get_label().startswith("_")}


def legend_labels(ax):
    return [t.get_text() for t in ax.get_legend().get_texts()]


def cells(table):
    """The table's texts as written: a header broken onto two lines, or a value wrapped at its " | "
    separators to fit a narrow panel, reads as the one line it stands for."""
    celld = table.get_celld()
    n_rows = 1 + max(r for r, _ in celld)
    n_cols = 1 + max(c for _, c in celld)
    return [[celld[r, c].get_text().get_text().replace("\n", " " if r == 0 else " | ") for c in range(n_cols)]
            for r in range(n_rows)]


def rolling_texts(fig):
    return [t.get_text() for t in panel(fig, "Rolling Excess Stability").texts]


def yearly_cells(total):
    daily = total[["daily_return", "index_daily_return", "extra_daily_return"]].copy()
    daily.index = pd.to_datetime(daily.index, format="%Y%m%d")
    out = []
    for year, row in ws._calc_yearly_performance_metrics(daily).iterrows():
        v = row.to_numpy()
        out.append([str(year), pct(v[0]), num(v[1]), pct(v[2]), num(v[3]), pct(v[4]), num(v[5]), pct(v[6]),
                    num(v[7])])
    return out


def lock_is_free() -> bool:
    box = []

    def probe():
        got = ws._MATPLOTLIB_PLOT_LOCK.acquire(blocking=False)
        box.append(got)
        if got:
            ws._MATPLOTLIB_PLOT_LOCK.release()

    t = threading.Thread(target=probe)
    t.start()
    t.join(10)
    return box == [True]


# --------------------------------------------------------------------------
# one drawing of each chart, inspected by many tests
# --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def total4y():
    return make_total(dates=DATES_4Y, seed=3)


@pytest.fixture(scope="module")
def perf(total4y, tmp_path_factory):
    path = tmp_path_factory.mktemp("perf") / "perf.png"
    fig, out = draw(ws.plot_strategy_performance, total4y, path, stats=dict(FULL_STATS), strategy_name="alpha",
                    plot_title=None, image_kind="long", benchmark_name="000300", rolling_window=5)
    return fig, out, path


@pytest.fixture(scope="module")
def weekly(total4y, tmp_path_factory):
    path = tmp_path_factory.mktemp("weekly") / "weekly.png"
    fig, out = draw(ws.plot_weekly_net_value, total4y, path, strategy_name="alpha", plot_title="Book A",
                    image_kind="long", benchmark_name="000300")
    return fig, out, path


def test_performance_file_and_title(perf):
    fig, out, path = perf
    assert out == {"main": str(path)}
    assert png_size(path) == LONG_PERF_PX
    assert fig.get_suptitle() == "alpha | Benchmark 000300 | Strategy Performance"
    assert [ax.get_title() for ax in fig.axes[:8]] == [
        "", "Cumulative Return", "Excess Return & Drawdown", "Yearly Return", "Rolling Excess Stability",
        "Drawdown", "", "Yearly Strategy & Excess Metrics"]


def test_performance_cards(perf):
    cards = perf[0].axes[0]
    assert not cards.axison
    by_y = {0.6: [], 0.2: []}
    for t in cards.texts:
        x, y = t.get_position()
        by_y[round(y, 6)].append((x, t.get_text()))
    values, labels = sorted(by_y[0.6]), sorted(by_y[0.2])
    assert [x for x, _ in labels] == pytest.approx([(i + 0.5) / 9 for i in range(9)])
    s = FULL_STATS
    assert dict(zip([t for _, t in labels], [t for _, t in values], strict=True)) == {
        "Strategy Ann.": pts(s["annual_return"]), "Strategy Sharpe": num(s["long_sharp"]),
        "Strategy Max DD": pct(s["max_dd"]), "Excess Ann.": pts(s["extra_annual_return"]),
        "Excess Sharpe": num(s["extra_sharp"]), "Excess Max DD": pct(s["extra_max_dd"]),
        "Strategy Win": pct(s["win_rate"]), "Excess Win": pct(s["excess_win_rate"]),
        "Turnover": pct(s["turnover"]),
    }
    assert [t for _, t in labels][:3] == ["Strategy Ann.", "Strategy Sharpe", "Strategy Max DD"]


def test_performance_lines_follow_the_total(perf, total4y):
    fig = perf[0]
    dates = pd.to_datetime(total4y.index, format="%Y%m%d")
    cum = panel(fig, "Cumulative Return")
    got = lines(cum)
    assert list(pd.DatetimeIndex(got["Strategy"].get_xdata())) == list(dates)
    np.testing.assert_allclose(got["Strategy"].get_ydata(), total4y["long"] - 1, rtol=1e-12)
    np.testing.assert_allclose(got["000300"].get_ydata(), total4y["close_net_value"] - 1, rtol=1e-12)
    assert legend_labels(cum) == ["Strategy", "000300", "Strategy Drawdown", "000300 Drawdown"]
    excess = panel(fig, "Excess Return & Drawdown")
    np.testing.assert_allclose(lines(excess)["Excess Return"].get_ydata(), total4y["extra_return"], atol=1e-15)
    assert legend_labels(excess) == ["Excess Return", "Excess Drawdown"]
    dd = panel(fig, "Drawdown")
    np.testing.assert_allclose(lines(dd)["Excess Drawdown"].get_ydata(), total4y["extra_max_drowdown"], atol=1e-15)
    assert legend_labels(dd) == ["Strategy Drawdown", "Excess Drawdown"]


def test_performance_yearly_bars(perf, total4y):
    ax = panel(perf[0], "Yearly Return")
    daily = total4y[["daily_return", "index_daily_return", "extra_daily_return"]]
    yearly = daily.groupby(pd.to_datetime(daily.index, format="%Y%m%d").year).sum()
    assert [c.get_label() for c in ax.containers] == ["Strategy", "000300", "Excess"]
    for container, column in zip(ax.containers, yearly.columns, strict=True):
        np.testing.assert_allclose([p.get_height() for p in container], yearly[column], rtol=1e-12)
    assert [t.get_text() for t in ax.get_xticklabels()] == [str(y) for y in yearly.index]
    labels = sorted(ax.texts, key=lambda t: t.get_position()[0])
    assert [t.get_text() for t in labels] == [pct(v) for v in yearly["extra_daily_return"]]
    assert all(t.get_rotation() == 90 for t in labels)


def test_performance_rolling_panel(perf, total4y):
    fig = perf[0]
    ax = panel(fig, "Rolling Excess Stability")
    x = total4y["extra_daily_return"].reset_index(drop=True)
    sharpe = x.rolling(60).mean() / x.rolling(60).std() * math.sqrt(252)
    win = x.rolling(60).apply(lambda w: (w > 0).mean(), raw=True)
    np.testing.assert_allclose(lines(ax)["60D Excess Sharpe"].get_ydata(), sharpe, rtol=1e-9, equal_nan=True)
    np.testing.assert_allclose(lines(twin(fig, ax))["60D Win Rate"].get_ydata(), win, rtol=1e-12, equal_nan=True)
    assert legend_labels(ax) == ["60D Excess Sharpe", "60D Win Rate"]


def test_performance_summary_table(perf, total4y):
    fig = perf[0]
    (table,) = [t for ax in fig.axes for t in ax.tables if cells(t)[0] == ["Metric", "Value"]]
    yearly = total4y["extra_daily_return"].groupby(pd.to_datetime(total4y.index, format="%Y%m%d").year).sum()
    s = FULL_STATS
    first, last = pd.to_datetime(total4y.index[[0, -1]], format="%Y%m%d")
    assert cells(table)[1:] == [
        ["Date Range", f"{first:%Y-%m-%d} ~ {last:%Y-%m-%d}"], ["Trading Days", str(len(total4y))],
        ["Rolling Window", "5"], ["Benchmark", "000300"], ["Benchmark Ann.", pts(s["benchmark_annual_return"])],
        ["Benchmark Sharpe", num(s["benchmark_sharp"])], ["Return Corr.", "0.62"], ["Avg Holding", "13"],
        ["Turnover", pct(s["turnover"])], ["Excess Win Rate", pct(s["excess_win_rate"])],
        ["Annual Excess", " | ".join(f"{y}: {pct(v)}" for y, v in yearly.items())],
    ]
    celld = table.get_celld()
    assert celld[0, 0].get_facecolor() == rgba("#eef2ff")
    assert celld[0, 1].get_text().get_fontweight() == "bold"
    assert [celld[r, 1].get_facecolor() for r in (1, 2, 3)] == [rgba("white"), rgba("#f8fafc"), rgba("white")]
    assert all(c.get_edgecolor() == rgba("#e2e8f0") for c in celld.values())
    assert celld[1, 0].get_width() == pytest.approx(0.26) and celld[1, 1].get_width() == pytest.approx(0.74)


@pytest.mark.parametrize("chart", ["perf", "weekly"])
def test_yearly_table_uses_daily_data(request, total4y, chart):
    fig = request.getfixturevalue(chart)[0]
    (table,) = panel(fig, "Yearly Strategy & Excess Metrics").tables
    assert cells(table) == [YEARLY_HEADERS] + yearly_cells(total4y)


def test_weekly_chart(weekly, total4y):
    fig, out, path = weekly
    assert out == {"weekly_net_value": str(path)}
    assert png_size(path) == LONG_WEEKLY_PX
    assert fig.get_suptitle() == "Book A | Benchmark 000300 | Weekly Net Value"
    want = ws._build_weekly_net_value_frame(total4y)
    nav = panel(fig, "Weekly Net Value")
    got = lines(nav)
    assert list(got) == ["Strategy NAV", "000300 NAV", "Excess NAV"] == legend_labels(nav)
    assert list(pd.DatetimeIndex(got["Strategy NAV"].get_xdata())) == list(want.index)
    for label, column in zip(got, ["long", "close_net_value", "extra_net_value"], strict=True):
        np.testing.assert_allclose(got[label].get_ydata(), want[column], rtol=1e-12)
    dd = panel(fig, "Weekly Drawdown")
    assert legend_labels(dd) == ["Strategy Drawdown", "000300 Drawdown", "Excess Drawdown"]
    for label, column in (("000300 Drawdown", "close_net_value"), ("Excess Drawdown", "extra_net_value")):
        x = want[column]
        np.testing.assert_allclose(lines(dd)[label].get_ydata(), x - x.cummax(), atol=1e-15)


def test_chart_settings_stay_in_force(perf):
    import matplotlib
    rc = matplotlib.rcParams
    assert rc["font.sans-serif"][:2] == ["Noto Sans CJK SC", "Source Han Sans SC"]
    assert rc["font.sans-serif"][-1] == "DejaVu Sans"
    assert rc["axes.unicode_minus"] is False
    assert rgba(rc["axes.facecolor"]) == rgba("#fbfbfd")


# --------------------------------------------------------------------------
# short frames, titles, layouts
# --------------------------------------------------------------------------

@pytest.mark.parametrize(("n", "plot_title", "kind", "title", "rolling"), [
    (3, "Custom T", "long", "Custom T", "Not enough data"),
    (12, None, "LONG", "beta", "5D Excess Sharpe"),
    (30, "", "wide", "beta", "10D Excess Sharpe"),
])
def test_performance_short_frames(tmp_path, n, plot_title, kind, title, rolling):
    total = make_total(n, seed=n)
    fig, _ = draw(ws.plot_strategy_performance, total, tmp_path / "p.png", strategy_name="beta",
                  plot_title=plot_title, image_kind=kind)
    assert png_size(tmp_path / "p.png") == LONG_PERF_PX
    assert fig.get_suptitle() == f"{title} | Benchmark 000852 | Strategy Performance"
    ax = panel(fig, "Rolling Excess Stability")
    assert rolling in rolling_texts(fig) + [line.get_label() for line in ax.get_lines()]
    (summary,) = [t for ax in fig.axes for t in ax.tables if cells(t)[0] == ["Metric", "Value"]]
    rows = dict(cells(summary)[1:])
    assert rows["Avg Holding"] == rows["Turnover"] == rows["Benchmark Sharpe"] == "--"
    assert {t.get_text() for t in fig.axes[0].texts} >= {"--", "Strategy Ann.", "Turnover"}


@pytest.mark.parametrize(("dates", "plot_title", "kind", "title"), [
    (["20240108", "20240109", "20240110"], "", "long", "gamma"),
    (list(pd.bdate_range("2024-01-08", periods=12).strftime("%Y%m%d")), "Custom W", "wide", "Custom W"),
])
def test_weekly_short_frames(tmp_path, dates, plot_title, kind, title):
    total = make_total(dates=pd.to_datetime(dates, format="%Y%m%d"), seed=1)
    fig, _ = draw(ws.plot_weekly_net_value, total, tmp_path / "w.png", strategy_name="gamma",
                  plot_title=plot_title, image_kind=kind)
    assert png_size(tmp_path / "w.png") == LONG_WEEKLY_PX
    assert fig.get_suptitle() == f"{title} | Benchmark 000852 | Weekly Net Value"
    n_weeks = len(ws._build_weekly_net_value_frame(total))
    assert {len(line.get_ydata()) for line in lines(panel(fig, "Weekly Net Value")).values()} == {n_weeks}
    if n_weeks == 1:
        for line in lines(panel(fig, "Weekly Drawdown")).values():
            assert list(line.get_ydata()) == [0.0]


def test_pipeline_writes_both_charts(tmp_path):
    from vantorel.backtest import synthetic
    market = synthetic.make_market(n_days=90, n_stocks=30, seed=2)
    weights = synthetic.momentum_weights(market, top_n=5)
    with captured_figures() as figures:
        result = ws.run_strategy_backtest_core(
            weights, **market.market_frames(), benchmark_dict=market.benchmark_dict, rolling_window=3,
            plot_image_kind="long", plot_save_path=tmp_path / "run.png", strategy_name="mom")
    main, weekly = tmp_path / "run.png", tmp_path / "run_weekly_net_value.png"
    assert result.plot_paths == {"main": str(main), "weekly_net_value": str(weekly)}
    assert png_size(main) == LONG_PERF_PX and png_size(weekly) == LONG_WEEKLY_PX
    assert [f.get_suptitle() for f in figures] == ["mom | Benchmark 000852 | Strategy Performance",
                                                   "mom | Benchmark 000852 | Weekly Net Value"]
    (summary,) = [t for ax in figures[0].axes for t in ax.tables if cells(t)[0] == ["Metric", "Value"]]
    rows = dict(cells(summary)[1:])
    assert rows["Trading Days"] == str(len(result.daily_return)) and rows["Rolling Window"] == "3"
    assert rows["Avg Holding"] == num(result.stats["holding_count"], 0)


# --------------------------------------------------------------------------
# nothing to draw, bad arguments, failures
# --------------------------------------------------------------------------

EMPTY = make_total(0)
ALL_MISSING = make_total(4).assign(long=np.nan, close_net_value=np.inf, extra_return=np.nan)


@pytest.mark.parametrize(("fn", "total", "key"), [
    (ws.plot_strategy_performance, EMPTY, "main"),
    (ws.plot_strategy_performance, pd.DataFrame(), "main"),
    (ws.plot_weekly_net_value, EMPTY, "weekly_net_value"),
    (ws.plot_weekly_net_value, ALL_MISSING, "weekly_net_value"),
])
def test_nothing_to_draw(tmp_path, fn, total, key):
    path = tmp_path / "none.png"
    assert fn(*chart_args(fn, total), save_path=path) == {key: str(path)}
    assert not path.exists()


@pytest.mark.parametrize(("fn", "kwargs", "message"), [
    (ws.plot_strategy_performance, {"stats": []}, "Argument 'stats' has incorrect type (expected dict, got list)"),
    (ws.plot_strategy_performance, {"strategy_name": 1}, "Argument 'strategy_name' has incorrect type"),
    (ws.plot_strategy_performance, {"plot_title": 5}, "Argument 'plot_title' has incorrect type"),
    (ws.plot_strategy_performance, {"rolling_window": "x"},
     "Argument 'rolling_window' has incorrect type (expected int, got str)"),
    (ws.plot_strategy_performance, {"image_kind": None}, "Argument 'image_kind' has incorrect type"),
    (ws.plot_weekly_net_value, {"strategy_name": b"s"}, "Argument 'strategy_name' has incorrect type"),
    (ws.plot_weekly_net_value, {"plot_title": 5}, "Argument 'plot_title' has incorrect type"),
    (ws.plot_weekly_net_value, {"benchmark_name": 852}, "Argument 'benchmark_name' has incorrect type"),
])
def test_argument_types(tmp_path, fn, kwargs, message):
    if fn is ws.plot_strategy_performance:
        kwargs = {"stats": {}, **kwargs}
    with pytest.raises(TypeError) as err:
        fn(make_total(5), save_path=tmp_path / "x.png", **kwargs)
    assert str(err.value).startswith(message)
    assert not (tmp_path / "x.png").exists()


@pytest.mark.parametrize(("fn", "total", "where", "error"), [
    (ws.plot_strategy_performance, make_total(5).drop(columns="extra_max_drowdown"), "x.png", KeyError),
    (ws.plot_weekly_net_value, make_total(5).drop(columns="close_net_value"), "x.png", KeyError),
    (ws.plot_weekly_net_value, make_total(5), "a_file/x.png", OSError),  # parent is not a directory
])
def test_errors_propagate_and_release_the_lock(tmp_path, fn, total, where, error):
    (tmp_path / "a_file").write_text("")
    with pytest.raises(error):
        fn(*chart_args(fn, total), save_path=tmp_path / where)
    assert lock_is_free()


# --------------------------------------------------------------------------
# yearly table drawing on its own
# --------------------------------------------------------------------------

def new_axes():
    from matplotlib.figure import Figure
    return Figure().add_subplot()


def test_yearly_table_without_rows():
    ax = new_axes()
    ws._draw_yearly_metrics_table(ax, pd.DataFrame())
    assert [t.get_text() for t in ax.texts] == ["No yearly metric data"]
    assert ax.texts[0].get_position() == (0.5, 0.5)
    assert not ax.tables and ax.get_title() == "" and not ax.axison


def test_yearly_table_cells_and_colours():
    metrics = pd.DataFrame(
        [[np.nan] * 4 + [0.0125, 0.5, 0.02, 1.25], [0.1, 1.0, 0.05, 2.0, -0.03, -0.2, 0.04, -0.75],
         [-0.2, -1.5, 0.3, -0.5, np.inf, np.nan, 0.0, np.nan]],
        index=pd.Index([2021, 2022, 2023], name="year"),
        columns=[f"{side}_{m}" for side in ("strategy", "excess") for m in ("return", "sharpe", "max_dd", "calmar")])
    ax = new_axes()
    ws._draw_yearly_metrics_table(ax, metrics)
    (table,) = ax.tables
    assert cells(table) == [
        YEARLY_HEADERS,
        ["2021", "--", "--", "--", "--", "1.25%", "0.50", "2.00%", "1.25"],
        ["2022", "10.00%", "1.00", "5.00%", "2.00", "-3.00%", "-0.20", "4.00%", "-0.75"],
        ["2023", "-20.00%", "-1.50", "30.00%", "-0.50", "inf%", "--", "0.00%", "--"],
    ]
    celld = table.get_celld()
    assert [celld[r, 0].get_facecolor() for r in (0, 1, 2, 3)] == [
        rgba("#eef2ff"), rgba("white"), rgba("#f8fafc"), rgba("white")]
    for r in (1, 2, 3):
        assert [celld[r, c].get_text().get_color() for c in range(1, 9)] == [BLUE] * 4 + [RED] * 4
    assert all(celld[0, c].get_text().get_fontweight() == "bold" for c in range(9))
    assert all(c.get_edgecolor() == rgba("#e2e8f0") for c in celld.values())
    assert [celld[1, c].get_width() for c in range(9)] == pytest.approx([0.08] + [0.115] * 8)
    assert ax.get_title() == "Yearly Strategy & Excess Metrics" and not ax.axison


# --------------------------------------------------------------------------
# import cost, fonts, threads and the lock
# --------------------------------------------------------------------------

def test_chart_library_loaded_only_to_draw_and_no_font_warnings(tmp_path):
    script = textwrap.dedent(f"""
        import logging, sys
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record.getMessage())
        logging.getLogger().addHandler(Keep(level=logging.WARNING))
        from vantorel.backtest import _weightsim as ws
        print("after import:", "matplotlib" in sys.modules)
        sys.path.insert(0, {str(__file__).rsplit('/', 1)[0]!r})
        from support.totals import make_total
        total = make_total(40)
        ws.plot_strategy_performance(total, {{}}, save_path={str(tmp_path / 'a.png')!r})
        ws.plot_weekly_net_value(total, save_path={str(tmp_path / 'b.png')!r}, image_kind="long")
        print("after drawing:", "matplotlib" in sys.modules)
        print("findfont:", [m for m in records if "findfont" in m])
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["after import: False", "after drawing: True", "findfont: []"]
    assert "findfont" not in out.stderr


def test_concurrent_drawing(tmp_path):
    fns = (ws.plot_strategy_performance, ws.plot_weekly_net_value)
    kinds = [(fn, kind) for fn in fns for kind in ("large", "long")]
    jobs = [(fn, kind, tmp_path / f"{i}.png") for i, (fn, kind) in enumerate(kinds * 2)]
    errors = []

    def work(fn, kind, path, seed):
        try:
            fn(*chart_args(fn, make_total(80, seed=seed), dict(FULL_STATS)), save_path=path, image_kind=kind,
               strategy_name=f"s{seed}")
        except Exception as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(*job, i)) for i, job in enumerate(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(180)
    assert not any(t.is_alive() for t in threads), "drawing threads did not finish"
    assert errors == []
    for fn, kind, path in jobs:
        width, height = png_size(path)
        if kind == "long":
            assert (width, height) == (LONG_PERF_PX if fn is ws.plot_strategy_performance else LONG_WEEKLY_PX)
        else:
            assert width > height


def test_lock_is_shared_and_reentrant(tmp_path):
    from vantorel.backtest import _core
    assert ws._MATPLOTLIB_PLOT_LOCK is _core._MATPLOTLIB_PLOT_LOCK
    with ws._MATPLOTLIB_PLOT_LOCK:
        ws.plot_weekly_net_value(make_total(3), save_path=tmp_path / "r.png")
    assert (tmp_path / "r.png").exists()


def test_drawing_waits_for_the_lock(tmp_path):
    path = tmp_path / "w.png"
    started, done = threading.Event(), threading.Event()
    total = make_total(10)

    def work():
        started.set()
        ws.plot_weekly_net_value(total, save_path=path)
        done.set()

    with ws._MATPLOTLIB_PLOT_LOCK:
        t = threading.Thread(target=work)
        t.start()
        assert started.wait(10)
        time.sleep(0.5)
        assert not done.is_set() and not path.exists() and t.is_alive()
    t.join(60)
    assert done.is_set() and path.exists()


@pytest.mark.parametrize("enabled", [True, False])
def test_drawing_leaves_the_cycle_collector_as_it_found_it(tmp_path, enabled):
    was_enabled = gc.isenabled()
    (tmp_path / "taken").write_text("a file where a directory is needed")
    try:
        gc.enable() if enabled else gc.disable()
        ws.plot_weekly_net_value(make_total(60), save_path=tmp_path / "w.png", image_kind="long")
        assert gc.isenabled() is enabled
        with pytest.raises(OSError):
            ws.plot_weekly_net_value(make_total(60), save_path=tmp_path / "taken" / "w.png", image_kind="long")
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was_enabled else gc.disable()
