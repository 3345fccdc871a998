"""Replays fuzz cases: ``.venv/bin/python tests/fuzz/replay.py ENTRY SEED [SEED ...]``.

Each case runs in this process (so a debugger or a traceback is at hand) and its
spoiled arguments, outcome and full traceback are printed. ``--child`` runs them
through the worker pool instead, which also reports crashes and hangs.
``--list`` prints the entry names.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
import traceback
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from fuzz import cases, runner  # noqa: E402


def main(argv: list[str]) -> int:
    if "--list" in argv:
        print("\n".join(cases.ENTRIES))
        return 0
    child = "--child" in argv
    argv = [a for a in argv if not a.startswith("--")]
    if len(argv) < 2:
        print(__doc__)
        return 2
    entry, seeds = argv[0], [int(s) for s in argv[1:]]
    if child:
        for rec in runner.run_cases([(entry, s) for s in seeds], workers=1):
            print(rec)
        return 0
    import matplotlib
    matplotlib.use("Agg")
    root = Path(tempfile.mkdtemp(prefix="vantorel-fuzz-replay-"))
    os.chdir(root)  # cases may write charts to relative paths
    try:
        replay(entry, seeds, runner.Context(root))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


def replay(entry: str, seeds: list[int], ctx) -> None:
    for seed in seeds:
        case = cases.make_case(entry, seed, ctx)
        print(f"== {entry} seed {seed}; spoiled: {case.mutated or 'nothing'}")
        for note in case.notes:
            print(f"   {note}")
        print("   result:", runner.run_case(ctx, entry, seed))
        case = cases.make_case(entry, seed, ctx)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                case.call()
        except Exception:
            traceback.print_exc()
        ctx.clear_cases()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
