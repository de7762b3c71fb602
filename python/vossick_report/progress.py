"""A progress bar on standard error for an import: wraps the line iterator.

``import_lines`` pulls lines from any iterable, so progress is reported by
wrapping that iterable; the module itself knows nothing about it.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Iterable, Iterator
from typing import BinaryIO, TextIO

from vossick_report.formatting import format_size

_BAR_WIDTH = 30
_CHECK_EVERY = 4096  # lines between clock reads


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
    out = sys.stderr if stream is None else stream
    fileno, tell = getattr(lines, "fileno", None), getattr(lines, "tell", None)
    if total_bytes is None and fileno is not None and tell is not None:
        try:
            total_bytes = os.fstat(fileno()).st_size - tell()
        except (OSError, ValueError):
            total_bytes = None
    interactive = out.isatty()
    every = interval if interactive else max(interval, 5.0)
    started = last = time.perf_counter()
    count = done = 0

    def draw(final: bool) -> None:
        seconds = max(time.perf_counter() - started, 1e-9)
        rate = f"{count / seconds:,.0f} lines/s"
        if total_bytes:
            share = min(done / total_bytes, 1.0)
            filled = int(share * _BAR_WIDTH)
            bar = "#" * filled + "-" * (_BAR_WIDTH - filled)
            text = f"[{bar}] {share:4.0%} {format_size(done)} / {format_size(total_bytes)}, {count:,} lines, {rate}"
        else:
            text = f"{count:,} lines, {format_size(done)}, {rate}"
        end = "\n" if final or not interactive else ""
        out.write(("\r" if interactive else "") + text + end)
        out.flush()

    finished = False
    try:
        for item in lines:
            count += 1
            done += len(item)
            if count % _CHECK_EVERY == 0:
                now = time.perf_counter()
                if now - last >= every:
                    last = now
                    draw(False)
            yield item
        finished = True
        draw(True)
    finally:
        if not finished and interactive:
            out.write("\n")  # an error message must not land on the bar's line
            out.flush()
