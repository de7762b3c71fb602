"""The consistency check of a database, run in a child process.

LMDB keeps no checksums: a page damaged on disk, or a file cut short while it
is mapped, can crash the process that reads it instead of failing a call. The
check therefore walks the database in a child process (the same Python, as
``python -m vossick_report.check DB_DIR``, which prints its result as JSON on
standard output); a child that dies from a signal means that the store is
damaged at the page level, and the caller's interpreter lives on.
"""

from __future__ import annotations

import json
import signal
import subprocess
import sys
from typing import Any

import vossick_analysis as va

from vossick_report.progress import entry_progress

# Signals by which a process dies when it touches a damaged page (SIGSEGV,
# SIGBUS for a file cut short) or when LMDB's own assertions fail (SIGABRT).
_CRASH_SIGNALS = frozenset({signal.SIGSEGV, signal.SIGBUS, signal.SIGABRT, signal.SIGILL, signal.SIGFPE,
                            signal.SIGSYS, signal.SIGTRAP})
# LMDB's errors for pages that are not what the tree says they are.
_PAGE_ERRORS = ("MDB_CORRUPTED", "MDB_PAGE_NOTFOUND")
_INTERRUPTED = 130  # the shell's status for a process ended by Ctrl-C


def _signal_name(number: int) -> str:
    try:
        sig = signal.Signals(number)
    except ValueError:
        return f"signal {number}"
    return f"{sig.name} ({signal.strsignal(sig)})"


def check_in_child(db_dir: str, progress: bool = True) -> dict[str, Any]:
    """Runs ``check_consistency`` over ``db_dir`` in a child process.

    Returns ``{"counts": [[name, count], ...], "problems": [...]}`` when the
    check ran through, or ``{"damaged": cause}`` when the store is damaged at
    the page level (the child died from ``cause``, a signal, or LMDB found a
    page of the wrong kind). Raises RuntimeError when the check failed for
    another reason, and KeyboardInterrupt when it was interrupted.
    """
    command = [sys.executable, "-m", "vossick_report.check", db_dir] + (["--progress"] if progress else [])
    done = subprocess.run(command, stdout=subprocess.PIPE, text=True)
    if done.returncode == _INTERRUPTED or done.returncode == -signal.SIGINT:
        raise KeyboardInterrupt
    if done.returncode < 0:
        if -done.returncode in _CRASH_SIGNALS:
            return {"damaged": f"the check died from {_signal_name(-done.returncode)}"}
        raise RuntimeError(f"the check was ended by {_signal_name(-done.returncode)} before it finished")
    try:
        result: dict[str, Any] = json.loads(done.stdout)
    except ValueError:
        raise RuntimeError(f"the check failed (exit status {done.returncode})") from None
    error = result.get("error")
    if error is None:
        return result
    if error.startswith(_PAGE_ERRORS):
        return {"damaged": error}
    raise RuntimeError(error)


def _child(argv: list[str]) -> int:
    db_dir, progress = argv[0], "--progress" in argv[1:]
    finished = False
    try:
        counts, problems = va.HeapDumpExplorer(db_dir).check_consistency(entry_progress() if progress else None)
        finished = True
        result: dict[str, Any] = {"counts": counts, "problems": problems}
    except RuntimeError as error:
        result = {"error": str(error)}
    except KeyboardInterrupt:
        return _INTERRUPTED
    finally:
        if progress and not finished and sys.stderr.isatty():
            sys.stderr.write("\n")  # the parent's message must not land on the bar's line
    json.dump(result, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(_child(sys.argv[1:]))
