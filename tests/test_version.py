"""The version is written once, in pyproject.toml."""

from __future__ import annotations

import tomllib
from pathlib import Path

import vantorel


def test_package_version_is_the_project_version():
    project = tomllib.loads((Path(__file__).resolve().parents[1] / "pyproject.toml").read_text())["project"]
    assert vantorel.__version__ == project["version"]
