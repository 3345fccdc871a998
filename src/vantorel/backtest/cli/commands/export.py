"""``export-tables OUT_DIR``: the store's datasets written out as daily tables."""

from __future__ import annotations

import argparse
from pathlib import Path

from vantorel.backtest._progress import stderr_is_tty

from .. import render
from ..errors import CliError
from . import _options

DESCRIPTION = """\
Writes the prepared data as daily tables into OUT_DIR (vantorel.backtest.tables.export_tables),
one file per table, and lists the files written.
"""


def register(subparsers, parents) -> None:
    parser = _options.add_command(subparsers, parents, "export-tables", "write the store out as daily tables",
                                  DESCRIPTION)
    parser.add_argument("out_dir", type=Path, metavar="OUT_DIR", help="directory of the tables (created if needed)")
    parser.add_argument("--format", choices=("parquet", "csv"), default="parquet",
                        help="file format of the tables (default: parquet)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from vantorel.backtest import _service

    try:
        from vantorel.backtest.tables import export_tables
    except ImportError:
        raise CliError("this installation cannot export tables "
                       "(vantorel.backtest.tables.export_tables is missing)") from None
    written = export_tables(args.out_dir, _service._DEFAULT_DATA_DIR, format=args.format, progress=stderr_is_tty())
    render.show(render.table(f"Tables written to {args.out_dir}", ["table", "path"],
                             ((name, str(path)) for name, path in written.items()), numeric_from=2))
    return 0
