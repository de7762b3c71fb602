"""Runs a Python script and writes a heap dump of it when the script ends, or
dumps another running CPython process.

    python -m vossick_dump [-o PATH] [--signal] [--trace] [--no-labels] script.py [args...]
    python -m vossick_dump --pid PID [-o PATH] [--no-labels] [--timeout SECONDS]

The dump is written after the script's last statement, or after it raised or
called sys.exit, while its module globals are still alive. PATH (or the
VOSSICK_DUMP_PATH environment variable) names the dump file or an existing
directory; the default is a fresh heap-PID-TIME.jsonl in the current directory.
"""

from __future__ import annotations

import argparse
import builtins
import os
import sys
import traceback
from typing import Any

import vossick_dump
from vossick_dump import _attach

ENV_PATH = "VOSSICK_DUMP_PATH"


def _parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m vossick_dump",
        description="Run a Python script and write a heap dump of it when it ends, or dump a running process.",
    )
    parser.add_argument(
        "-o", "--output", default=os.environ.get(ENV_PATH),
        help=f"dump file, or an existing directory for a fresh name (default: ${ENV_PATH}, else the current directory)",
    )
    parser.add_argument(
        "--signal", action="store_true",
        help="also install the SIGUSR1 handler, so `kill -USR1 PID` dumps the running script",
    )
    parser.add_argument(
        "--trace", action="store_true",
        help="start tracemalloc before the script runs, so that the dump says where each object was allocated",
    )
    parser.add_argument(
        "--no-labels", dest="labels", action="store_false", help="leave out what each reference is (smaller, faster)"
    )
    parser.add_argument(
        "--pid", type=int, help="dump this running CPython process (3.10+) instead of running a script"
    )
    parser.add_argument(
        "--timeout", type=float, default=30.0,
        help="with --pid: seconds to wait for the process to start the dump (default 30)",
    )
    parser.add_argument("--quiet", action="store_true", help="no progress on standard error")
    parser.add_argument("script", nargs="?", help="the Python script to run")
    parser.add_argument("args", nargs=argparse.REMAINDER, help="arguments passed to the script")
    options = parser.parse_args(argv)
    if options.pid is None and options.script is None:
        parser.error("give a script to run, or --pid PID")
    if options.pid is not None and (options.script is not None or options.signal or options.trace):
        parser.error("--pid dumps a running process: no script, --signal or --trace with it")
    return options


def _run_script(path: str, args: list[str], globals_: dict[str, Any]) -> int:
    """Runs the script as __main__; returns its exit status."""
    with open(path, "rb") as source:
        code = compile(source.read(), path, "exec")
    sys.argv = [path, *args]
    sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
    try:
        exec(code, globals_)
    except SystemExit as exit_:
        if exit_.code is None or isinstance(exit_.code, int):
            return exit_.code or 0
        print(exit_.code, file=sys.stderr)
        return 1
    except BaseException:  # reported like the interpreter would, then dumped anyway
        traceback.print_exc()
        return 1
    return 0


def _dump_process(options: argparse.Namespace, target: str) -> int:
    path = os.path.join(target, vossick_dump.default_dump_name(options.pid)) if os.path.isdir(target) else target
    try:
        _attach.dump_process(options.pid, path, labels=options.labels, timeout=options.timeout,
                             progress=not options.quiet)
    except _attach.AttachError as error:
        print(f"vossick_dump: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("vossick_dump: cancelled; nothing was written", file=sys.stderr)
        return 130
    return 0


def main(argv: list[str] | None = None) -> int:
    options = _parse(sys.argv[1:] if argv is None else argv)
    target = options.output or os.getcwd()
    if options.pid is not None:
        return _dump_process(options, target)
    if options.signal:
        vossick_dump.install_signal_handler(target, progress=not options.quiet, labels=options.labels)
    if options.trace:
        import tracemalloc  # only here: it imports pickle and more into the heap being dumped

        tracemalloc.start()
    # The script's globals live in a real __main__ module, so that pickling and
    # dataclasses that look classes up in sys.modules["__main__"] keep working.
    main_module = type(sys)("__main__")
    main_module.__dict__.update(
        {"__file__": options.script, "__builtins__": builtins, "__cached__": None}
    )
    sys.modules["__main__"] = main_module
    status = _run_script(options.script, options.args, main_module.__dict__)
    path = os.path.join(target, vossick_dump.default_dump_name()) if os.path.isdir(target) else target
    vossick_dump.dump_to_path(path, progress=not options.quiet, labels=options.labels)
    return status


if __name__ == "__main__":
    sys.exit(main())
