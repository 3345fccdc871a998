"""Progress bars on standard error, shown only to a person watching a terminal.

``progress_bar`` yields a ``Progress`` whatever happens; it draws a rich bar on
stderr only when enabled (by default: when stderr is a terminal), so scripts,
pipes and logs stay quiet. With ``delay`` the bar appears only once the work
has run that many seconds, so quick jobs never flash one.
"""

from __future__ import annotations

import contextlib
import sys
import time
from collections.abc import Iterator
from typing import Any

__all__ = ["Progress", "progress_bar", "stderr_is_tty"]


def stderr_is_tty() -> bool:
    """True when standard error is an interactive terminal."""
    stream = sys.stderr
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError):  # a replaced or closed stream
        return False


class Progress:
    """Counts done units of work and shows them on a rich bar when one is attached."""

    def __init__(self, description: str, total: float | None, *, enabled: bool, unit: str, delay: float) -> None:
        self.description = description
        self.completed = 0.0
        self.total = total
        self._enabled = enabled
        self._unit = unit
        self._show_after = time.monotonic() + max(delay, 0.0)
        self._bar: Any = None
        self._task: Any = None

    @property
    def shown(self) -> bool:
        """True once a bar has been drawn."""
        return self._bar is not None

    def advance(self, n: float = 1) -> None:
        """``n`` more units done."""
        self.completed += n
        self._refresh()

    def update(self, completed: float, total: float | None = None) -> None:
        """``completed`` units done so far, of ``total`` when it is (now) known."""
        self.completed = completed
        if total is not None:
            self.total = total
        self._refresh()

    def _refresh(self) -> None:
        if not self._enabled:
            return
        if self._bar is None:
            if time.monotonic() < self._show_after:
                return
            self._start()
        self._bar.update(self._task, completed=self.completed, total=self.total)

    def _start(self) -> None:
        from rich.console import Console
        from rich.progress import (
            BarColumn,
            DownloadColumn,
            MofNCompleteColumn,
            Progress as RichProgress,
            TextColumn,
            TimeElapsedColumn,
            TimeRemainingColumn,
            TransferSpeedColumn,
        )

        if self._unit == "bytes":
            columns = (DownloadColumn(), TransferSpeedColumn(), TimeRemainingColumn())
        else:
            columns = (MofNCompleteColumn(), TimeElapsedColumn())
        bar = RichProgress(
            TextColumn("{task.description}"), BarColumn(), *columns, console=Console(stderr=True), transient=False
        )
        bar.start()
        self._task = bar.add_task(self.description, total=self.total, completed=self.completed)
        self._bar = bar

    def close(self) -> None:
        """Takes the bar down (the last state stays on the terminal)."""
        if self._bar is not None:
            self._bar.update(self._task, completed=self.completed, total=self.total)
            self._bar.stop()
            self._bar = None


@contextlib.contextmanager
def progress_bar(
    description: str,
    total: float | None = None,
    enabled: bool | None = None,
    *,
    unit: str = "items",
    delay: float = 0.0,
) -> Iterator[Progress]:
    """A ``Progress`` for the block; drawn on stderr when ``enabled`` (None: stderr is a terminal).

    ``unit="bytes"`` shows sizes and the transfer rate; ``delay`` holds the bar back until the
    work has run that many seconds.
    """
    progress = Progress(
        description, total, enabled=stderr_is_tty() if enabled is None else bool(enabled), unit=unit, delay=delay
    )
    try:
        yield progress
    finally:
        progress.close()
