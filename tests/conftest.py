"""Fixtures shared by the strategy-engine tests."""

from __future__ import annotations

import importlib
import os

import pytest
from hypothesis import HealthCheck, settings

from support.reference import REFERENCE

# Examples are small; a run of the whole suite stays within a minute or two.
settings.register_profile(
    "default",
    max_examples=200,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile("thorough", parent=settings.get_profile("default"), max_examples=1000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


def _import(name: str):
    try:
        return importlib.import_module(name)
    except ImportError as exc:  # a broken build must not pass silently
        pytest.fail(f"cannot import {name}: {exc}")


@pytest.fixture(scope="session")
def ws():
    """The compiled strategy engine."""
    return _import("vantorel.backtest._weightsim")


@pytest.fixture(scope="session")
def core():
    """The compiled shared kernels."""
    return _import("vantorel.backtest._core")


@pytest.fixture(params=["engine", "reference"])
def impl(request):
    """The engine or the plain reference: worked examples hold for both."""
    if request.param == "reference":
        return REFERENCE
    return request.getfixturevalue("ws")


# ---- the fuzz suite (tests/test_fuzz.py) --------------------------------------------------------


def pytest_addoption(parser):
    group = parser.getgroup("fuzz", "seeded fuzz of the public entry points")
    group.addoption("--fuzz-cases", type=int, default=int(os.environ.get("VANTOREL_FUZZ_CASES", "300")),
                    help="number of fuzz cases over all entry points (default 300, env VANTOREL_FUZZ_CASES)")
    group.addoption("--fuzz-workers", type=int, default=int(os.environ.get("VANTOREL_FUZZ_WORKERS", "2")),
                    help="worker processes running the fuzz cases (default 2)")
    group.addoption("--fuzz-timeout", type=float, default=20.0,
                    help="seconds a fuzz case may take before it counts as a hang (default 20)")


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    lines = getattr(config, "fuzz_summary", None)
    if lines:
        terminalreporter.section("fuzz")
        for line in lines:
            if line:
                terminalreporter.write_line(line)
