"""The command line's own failure: a message for the user, without a traceback."""

from __future__ import annotations


class CliError(Exception):
    """A failure the user can act on; shown as one line, exit status 1."""


class UsageError(CliError):
    """Arguments that do not fit together; reported like argparse's own errors, exit status 2."""


def one_line(exc: BaseException) -> str:
    """A failure as the one line the command line prints: a ``CliError``'s own message, else the
    exception's type and message."""
    if isinstance(exc, CliError):
        text = str(exc)
    else:
        detail = exc.args[0] if isinstance(exc, KeyError) and exc.args else exc
        text = f"{type(exc).__name__}: {detail}" if str(detail) else type(exc).__name__
    return " ".join(text.split())
