"""Write a heap dump of the running Python process in the vossick_analysis line format.

Each line is one JSON object::

    {"id":140...,"type":"builtins.dict","references":[...],"value":null,"size":232,
     "labels":["key of","['a']",...],"allocated_at":"app.py:12"}

What the dump sees: every object the ``gc`` module tracks, the loaded modules,
the frames of every thread, and everything reachable from those through their
references. An object's references are what ``gc.get_referents`` reports, plus
what the collector leaves out: the keys of dicts, and the local variables of
running frames (see ``vossick_dump._walk``). ``labels`` (optional, on by default)
says what each reference is; ``allocated_at`` is the innermost frame of the
object's allocation when ``tracemalloc`` is tracing. It cannot see objects held
only from C (a C extension's static data or its private structures, what a
type's ``tp_traverse`` does not report) or memory that is not a Python object
(allocator free lists, buffers owned by C libraries). ``size`` is
``sys.getsizeof``: the object's own memory, not what it holds. The dumper's own
bookkeeping (its sets, lists, frames and the output file) is left out.

Every id that appears in a ``references`` list has a record of its own: the
dumper keeps each visited object alive until the dump ends, so an id is never
reused for another object mid-dump. Other threads keep running while the dump
is written (the interpreter lock is released during file writes), so a dump of a
multi-threaded program is a walk over a changing heap, not a snapshot.

Four ways in:

- ``dump_to_path(path)`` / ``dump(stream)`` from the program itself;
- ``python -m vossick_dump -o heap.jsonl script.py args...`` to run a script and
  dump its heap when it ends;
- ``install_signal_handler(path_or_dir)`` so that ``kill -USR1 PID`` writes a dump
  of a live process;
- ``python -m vossick_dump --pid PID -o heap.jsonl`` to dump a running CPython
  process that imported nothing of ours.
"""

from __future__ import annotations

import datetime
import os
import signal as _signal
import sys
from typing import Any, Callable

from ._walk import Cancelled, dump, dump_to_path

__all__ = ["Cancelled", "dump", "dump_to_path", "install_signal_handler", "default_dump_name"]


def default_dump_name(pid: int | None = None) -> str:
    """``heap-PID-YYYYmmdd-HHMMSS-ffffff.jsonl``: a fresh file name for one dump."""
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S-%f")
    return f"heap-{os.getpid() if pid is None else pid}-{stamp}.jsonl"


def _resolve(path_or_dir: str) -> str:
    if os.path.isdir(path_or_dir):
        return os.path.join(path_or_dir, default_dump_name())
    return path_or_dir


def install_signal_handler(
    path_or_dir: str | os.PathLike[str],
    signal: int = _signal.SIGUSR1,
    *,
    progress: bool = True,
    labels: bool = True,
) -> Callable[[int, Any], Any] | int | None:
    """Makes ``signal`` (default SIGUSR1) write a heap dump of this process.

    ``path_or_dir`` names the dump file (overwritten by each dump), or an existing
    directory in which every dump gets a fresh name (``default_dump_name``). The
    dump is written inside the handler on the main thread, so the program pauses
    for the dump's duration and then continues; a signal that arrives during a
    dump is ignored. Must be called from the main thread. Returns the previous
    handler.
    """
    target = os.fspath(path_or_dir)
    busy = False

    def write_dump(signum: int, frame: Any) -> None:
        nonlocal busy
        if busy:
            return
        busy = True
        try:
            path = _resolve(target)
            dump_to_path(path, progress=progress, labels=labels)
        except Exception as error:  # a failed dump must not kill the program
            print(f"vossick_dump: dump failed: {error!r}", file=sys.stderr, flush=True)
        finally:
            busy = False

    return _signal.signal(signal, write_dump)
