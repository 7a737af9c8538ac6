"""The command line's progress bar.

It is drawn on a terminal only, and only once a run has taken a couple of
seconds, so quick runs and pipes see nothing of it. The library's loops
announce their steps through :func:`step` and :func:`expect`, which do
nothing unless the command line has a bar running. rich redraws the bar
from its own thread, so its clock moves while the engine works with the
interpreter lock released.
"""

from __future__ import annotations

import contextvars
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, TextIO

__all__ = ["bar", "expect", "finish", "step"]

DELAY = 2.0  # seconds before a bar appears

_current: contextvars.ContextVar[_Bar | None] = contextvars.ContextVar("mirabund_progress", default=None)


class _Bar:
    """Steps started and expected; drawn from ``delay`` seconds on, until closed."""

    def __init__(self, stream: TextIO, delay: float) -> None:
        self._stream = stream
        self._lock = threading.Lock()
        self._progress: Any = None
        self._task: Any = None
        self._closed = False
        self._expected = 0
        self._started = 0
        self._label = ""
        self._timer = threading.Timer(delay, self._show)
        self._timer.daemon = True
        self._timer.start()

    def _show(self) -> None:
        from rich.console import Console
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, SpinnerColumn, TextColumn, TimeElapsedColumn

        with self._lock:
            if self._closed:
                return
            self._progress = Progress(SpinnerColumn(), TextColumn("{task.description}"), BarColumn(),
                                      MofNCompleteColumn(), TimeElapsedColumn(),
                                      console=Console(file=self._stream), transient=True)
            self._task = self._progress.add_task(self._label, total=self._expected or None)
            self._redraw()
            self._progress.start()

    def _redraw(self) -> None:
        if self._progress is not None:
            self._progress.update(self._task, description=self._label, completed=max(self._started - 1, 0),
                                  total=max(self._expected, self._started) or None)

    def expect(self, count: int) -> None:
        with self._lock:
            self._expected += count
            self._redraw()

    def step(self, label: str) -> None:
        with self._lock:
            self._started += 1
            self._label = label
            self._redraw()

    def close(self) -> None:
        self._timer.cancel()
        with self._lock:
            if not self._closed and self._progress is not None:
                self._progress.stop()
            self._closed = True


@contextmanager
def bar(stream: TextIO, *, delay: float = DELAY) -> Iterator[None]:
    """Draw the steps announced inside the block on ``stream``, if it is a terminal."""
    if not stream.isatty():
        yield
        return
    drawn = _Bar(stream, delay)
    token = _current.set(drawn)
    try:
        yield
    finally:
        _current.reset(token)
        drawn.close()


def expect(count: int) -> None:
    """Announce ``count`` more steps."""
    drawn = _current.get()
    if drawn is not None:
        drawn.expect(count)


def step(label: str) -> None:
    """Start the step ``label``; the one before it is done."""
    drawn = _current.get()
    if drawn is not None:
        drawn.step(label)


def finish() -> None:
    """Take the bar off the terminal for good, before the run prints its results."""
    drawn = _current.get()
    if drawn is not None:
        drawn.close()
