"""Progress bars on standard error: for an import, a wrapper of the line
iterator (``import_lines`` pulls lines from any iterable, so the module itself
knows nothing about it); for a consistency check, its ``progress`` callback.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from typing import BinaryIO, TextIO

from vossick_report.formatting import format_size

_BAR_WIDTH = 30
_CHECK_EVERY = 4096  # lines between clock reads


class _StatusLine:
    """One status line on a stream: redrawn in place on a terminal, elsewhere
    printed at most every few seconds."""

    def __init__(self, stream: TextIO | None, interval: float) -> None:
        self.out = sys.stderr if stream is None else stream
        self.interactive = self.out.isatty()
        self.every = interval if self.interactive else max(interval, 5.0)
        self.started = self.last = time.perf_counter()

    def due(self) -> bool:
        now = time.perf_counter()
        if now - self.last < self.every:
            return False
        self.last = now
        return True

    def rate(self, count: int, unit: str) -> str:
        return f"{count / max(time.perf_counter() - self.started, 1e-9):,.0f} {unit}/s"

    def draw(self, text: str, final: bool) -> None:
        end = "\n" if final or not self.interactive else ""
        self.out.write(("\r" if self.interactive else "") + text + end)
        self.out.flush()

    def abandon(self) -> None:
        """Ends an unfinished line, so that an error message does not land on it."""
        if self.interactive:
            self.out.write("\n")
            self.out.flush()


def _bar(share: float) -> str:
    filled = int(min(share, 1.0) * _BAR_WIDTH)
    return f"[{'#' * filled}{'-' * (_BAR_WIDTH - filled)}] {min(share, 1.0):4.0%}"


def with_progress(
    lines: Iterable[bytes] | BinaryIO,
    total_bytes: int | None = None,
    stream: TextIO | None = None,
    interval: float = 0.2,
) -> Iterator[bytes]:
    """Yields ``lines`` unchanged while drawing a progress bar on ``stream`` (stderr).

    With ``total_bytes`` (taken from the file's size when ``lines`` is a file
    opened in binary mode) the bar shows the share read; otherwise it counts
    lines. On a terminal the bar redraws in place; elsewhere it prints a line at
    most every few seconds.
    """
    fileno, tell = getattr(lines, "fileno", None), getattr(lines, "tell", None)
    if total_bytes is None and fileno is not None and tell is not None:
        try:
            total_bytes = os.fstat(fileno()).st_size - tell()
        except (OSError, ValueError):
            total_bytes = None
    status = _StatusLine(stream, interval)
    count = done = 0

    def draw(final: bool) -> None:
        rate = status.rate(count, "lines")
        if total_bytes:
            text = f"{_bar(done / total_bytes)} {format_size(done)} / {format_size(total_bytes)}, {count:,} lines, {rate}"
        else:
            text = f"{count:,} lines, {format_size(done)}, {rate}"
        status.draw(text, final)

    finished = False
    try:
        for item in lines:
            count += 1
            done += len(item)
            if count % _CHECK_EVERY == 0 and status.due():
                draw(False)
            yield item
        finished = True
        draw(True)
    finally:
        if not finished:
            status.abandon()


def entry_progress(stream: TextIO | None = None, interval: float = 0.2) -> Callable[[int, int], None]:
    """A ``progress`` callback for ``HeapDumpExplorer.check_consistency``: draws
    the share of database entries walked on ``stream`` (stderr), like
    ``with_progress``; the last call (done == total) ends the line."""
    status = _StatusLine(stream, interval)

    def report(done: int, total: int) -> None:
        final = done >= total
        if final or status.due():
            status.draw(f"{_bar(done / total if total else 1.0)} {done:,} / {total:,} entries, "
                        f"{status.rate(done, 'entries')}", final)

    return report
