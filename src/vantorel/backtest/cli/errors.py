"""The command line's own failure: a message for the user, without a traceback."""

from __future__ import annotations


class CliError(Exception):
    """A failure the user can act on; shown as one line, exit status 1."""


class UsageError(CliError):
    """Arguments that do not fit together; reported like argparse's own errors, exit status 2."""
