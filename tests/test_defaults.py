"""The trading defaults: one definition in the engine, shown alike by every entry that takes them."""

from __future__ import annotations

import ast
import re

import pytest

from vantorel.backtest import BacktestService, _core, _weightsim

DEFAULTS = {
    "total_money": _core.DEFAULT_TOTAL_MONEY,
    "fee": _core.DEFAULT_FEE,
    "rule_fee": _core.DEFAULT_RULE_FEE,
    "lot_size": _core.DEFAULT_LOT_SIZE,
    "benchmark": _core.DEFAULT_BENCHMARK,
    "benchmark_names": _core.DEFAULT_BENCHMARK,
    "benchmark_name": _core.DEFAULT_BENCHMARK,
    "group_num": _core.DEFAULT_GROUP_NUM,
}

ENTRIES = [
    _core.run_alpha_vwap_backtest_core,
    _weightsim.calc_strategy_vwap_daily_return,
    _weightsim.run_strategy_backtest_core,
    _weightsim.plot_strategy_performance,
    _weightsim.plot_weekly_net_value,
    BacktestService.backtest,
    BacktestService.backtest_strategy,
]


def shown_defaults(function) -> dict[str, object]:
    """The defaults the signature text shows for the parameters named in DEFAULTS."""
    [(text, *_)] = function.__nb_signature__
    found = re.findall(r"(\w+): [^=,]+? = ('[^']*'|\"[^\"]*\"|[-\w.]+)", text)
    return {name: ast.literal_eval(value) for name, value in found if name in DEFAULTS}


def test_both_engine_modules_export_the_same_defaults():
    names = ["DEFAULT_BENCHMARK", "DEFAULT_TOTAL_MONEY", "DEFAULT_FEE", "DEFAULT_RULE_FEE", "DEFAULT_LOT_SIZE"]
    assert [getattr(_weightsim, n) for n in names] == [getattr(_core, n) for n in names]
    assert type(_core.DEFAULT_LOT_SIZE) is int and type(_core.DEFAULT_TOTAL_MONEY) is float


@pytest.mark.parametrize("function", ENTRIES, ids=lambda f: f.__name__)
def test_signatures_show_the_engine_defaults(function):
    shown = shown_defaults(function)
    assert shown, "no trading default found in the signature"
    assert shown == {name: DEFAULTS[name] for name in shown}
