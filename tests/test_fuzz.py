"""Seeded fuzz of the public entry points: awkward arguments must give a documented error or a
well-formed result, never a crash, a hang, an unclear error or a changed input.

Every case runs in a worker process (tests/fuzz/runner.py) and is fully determined by its entry
point and seed (tests/fuzz/cases.py), so a failure replays exactly:

    .venv/bin/python tests/fuzz/replay.py ENTRY SEED

The default run is small; ``pytest tests/test_fuzz.py --fuzz-cases=10000`` (or ``make fuzz``)
runs a large one. ``VANTOREL_FUZZ_SEED`` shifts every seed for a fresh sample;
``VANTOREL_FUZZ_REPORT=path.json`` writes every outcome to a file.
"""

from __future__ import annotations

import json
import os

import pytest
from fuzz import cases, runner

ENTRIES = list(cases.ENTRIES)


@pytest.fixture(scope="session")
def fuzz_outcomes(request) -> dict[str, list[dict]]:
    """Runs the cases of every selected entry point once, in one worker pool."""
    config = request.config
    selected = [e for e in ENTRIES if any(getattr(item, "callspec", None) is not None
                                          and item.callspec.params.get("entry") == e
                                          for item in request.session.items)]
    offset = int(os.environ.get("VANTOREL_FUZZ_SEED", "0"))
    plan = [(e, s + offset) for e, s in cases.schedule(config.getoption("fuzz_cases"), selected)]
    records = runner.run_cases(plan, workers=config.getoption("fuzz_workers"),
                               timeout=config.getoption("fuzz_timeout"))
    config.fuzz_summary = [runner.summary_line(records), runner.failure_report(records)]
    if os.environ.get("VANTOREL_FUZZ_REPORT"):  # every outcome, for a closer look
        with open(os.environ["VANTOREL_FUZZ_REPORT"], "w") as f:
            json.dump(records, f, ensure_ascii=False, indent=0)
    out: dict[str, list[dict]] = {e: [] for e in selected}
    for rec in records:
        out[rec["entry"]].append(rec)
    return out


@pytest.mark.parametrize("entry", ENTRIES)
def test_fuzz(entry, fuzz_outcomes):
    records = fuzz_outcomes[entry]
    failed = [r for r in records if r["outcome"] in runner.FAILURES]
    assert not failed, f"{runner.summary_line(records)}\n{runner.failure_report(failed, limit=30)}"
