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
