"""The leak shapes a dump used to hide (string dict keys, locals of running
frames, an untracked dict held by a local), dumped by `--pid` from outside and
found by `path` with labels; the process dumped goes on unchanged. (Dumps
taken from inside, and every kind of reference: test_dumper*.py.)"""

import glob
import json
import os
import subprocess
import sys
import textwrap

import pytest

import vossick_analysis as va
from conftest import python

LEAKS = textwrap.dedent(
    """
    import gc, json, sys, threading, time

    counts = {f"req-{i:04d}": i for i in range(1000)}

    def worker(started):
        pending = [object() for _ in range(2081)]
        started.set()
        while True:
            time.sleep(0.05)

    def main():
        untracked = {i: -i for i in range(3000)}
        growing = []
        started = threading.Event()
        threading.Thread(target=worker, args=(started,), daemon=True, name="worker").start()
        started.wait()

        def report():  # one line of state per line read
            for _ in sys.stdin:
                print(json.dumps({
                    "growing": len(growing), "intact": growing == list(range(len(growing))),
                    "untracked": not gc.is_tracked(untracked) and untracked == {i: -i for i in range(3000)},
                    "globals": sorted(globals()), "modules": sorted(sys.modules), "gc": gc.isenabled(),
                    "threads": sorted(t.name for t in threading.enumerate()),
                }), flush=True)

        threading.Thread(target=report, daemon=True, name="report").start()
        print("ready", flush=True)
        while True:
            growing.append(len(growing))
            time.sleep(0.01)

    main()
    """
)
BUSY = "print('ready', flush=True)\nx = 0\nwhile True:\n    x += 1\n"
# Exits as soon as a dump of it begins (its partial file appears in the directory given).
EXITING = textwrap.dedent(
    """
    import os, sys, threading, time
    heap = [str(i) for i in range(300_000)]
    def watch():
        while not [name for name in os.listdir(sys.argv[2]) if name.endswith(".partial")]:
            time.sleep(0.005)
        os._exit(3)
    threading.Thread(target=watch).start()
    print("ready", flush=True)
    while True:
        time.sleep(0.05)
    """
)
# What the injected dumper may add to a process: built-in modules only.
MAY_IMPORT = {"gc", "_json", "itertools", "_operator", "_tracemalloc"}


def pythons():
    """This Python and the other CPython 3.10+ interpreters found on the machine."""
    found = {sys.executable}
    for minor in (10, 12, 13, 14):
        found.update(glob.glob(os.path.expanduser(f"~/.pyenv/versions/3.{minor}*/bin/python3.{minor}"))[:1])
    return sorted(found)


def vossick_dump(*args):
    return python("-m", "vossick_dump", *args)


@pytest.fixture(scope="module")
def ptrace_allowed(tmp_path_factory):
    sleeper = subprocess.Popen(["sleep", "60"])
    try:
        done = vossick_dump("--pid", str(sleeper.pid), "-o", str(tmp_path_factory.mktemp("probe") / "x.jsonl"))
    finally:
        sleeper.kill()
        sleeper.wait()
    if "ptrace is not permitted" in done.stderr or "gdb is needed" in done.stderr:
        pytest.skip(f"cannot attach to processes here: {done.stderr.strip()}")


def start(program, python=sys.executable, *args):
    child = subprocess.Popen([python, "-c", program, "serve", *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready", child.stderr.read()
    return child


def state(child):
    child.stdin.write("state\n")
    child.stdin.flush()
    return json.loads(child.stdout.readline())


def load(path, db_dir):
    records = {r["id"]: r for r in map(json.loads, open(path, encoding="utf-8"))}
    explorer = va.HeapDumpExplorer(str(db_dir))
    with open(path, "rb") as lines:
        explorer.import_lines(lines, va.EstimatorPrecision.NoEstimates)
    return records, explorer


def labelled_path(records, explorer, start, end):
    """The labels along the path that the module finds from start to end."""
    path = [summary.id for summary in explorer.find_path_between_objects(start, end, set())]
    return [records[a]["labels"][records[a]["references"].index(b)] for a, b in zip(path, path[1:])]


def check_leaks(records, explorer):
    def one(type_name, value=None):
        (found,) = [r for r in records.values() if r["type"] == type_name and (value is None or r["value"] == value)]
        return found

    def hop(record, label):  # one labelled reference; attributes may sit in the owner's __dict__
        edges = dict(zip(record["labels"], record["references"]))
        if label not in edges and label.startswith("."):
            edges = dict(zip(*(lambda d: (d["labels"], d["references"]))(records[edges["__dict__"]])))
        return records[edges[label]]

    def no_dict_hops(labels):
        return [label for label in labels if label != "__dict__"]

    main, sys_module = one("builtins.module", "__main__"), one("builtins.module", "sys")
    # A string-keyed dict: the keys are there, the path ends on one.
    counts = hop(main, ".counts")
    assert len(counts["references"]) == 2000 and counts["labels"][:2] == ["key of", "['req-0000']"]
    key = records[counts["references"][2 * 999]]
    assert key["value"] == "req-0999"
    assert no_dict_hops(labelled_path(records, explorer, main["id"], key["id"])) == [".counts", "key of"]
    # Locals of running frames: the worker's pending list and main()'s untracked dict.
    frames = [r for r in records.values() if r["type"] == "builtins.frame"]
    (pending,) = [hop(f, "pending") for f in frames if "pending" in f["labels"]]
    untracked = {hop(f, "untracked")["id"] for f in frames if "untracked" in f["labels"]}  # main()'s, report()'s
    assert len(pending["references"]) == 2081 and [len(records[u]["references"]) for u in untracked] == [6000]
    path = labelled_path(records, explorer, sys_module["id"], pending["id"])
    assert path[0].startswith("_current_frames()[") and path[-1] == "pending"


@pytest.mark.parametrize("python", pythons())
def test_pid_dumps_a_running_process_that_goes_on_unchanged(ptrace_allowed, tmp_path, db_dir, python):
    child = start(LEAKS, python)
    try:
        before = state(child)
        done = vossick_dump("--pid", str(child.pid), "-o", str(tmp_path))
        assert done.returncode == 0, done.stderr
        after = state(child)
    finally:
        child.kill()
        child.wait()
    assert after["growing"] > before["growing"] and after["intact"] and after["untracked"]
    assert set(after["modules"]) - set(before["modules"]) <= MAY_IMPORT
    assert [after[key] for key in ("globals", "gc", "threads")] == [before[key] for key in ("globals", "gc", "threads")]
    (dump,) = tmp_path.glob(f"heap-{child.pid}-*.jsonl")
    assert not list(tmp_path.glob("*.partial"))
    check_leaks(*load(dump, db_dir))


def test_pid_on_a_busy_process_and_on_what_cannot_be_dumped(ptrace_allowed, tmp_path):
    busy = start(BUSY)
    sleeper = subprocess.Popen(["sleep", "60"])
    (tmp_path / "exits").mkdir()
    exiting = start(EXITING, sys.executable, str(tmp_path / "exits"))
    try:
        done = vossick_dump("--pid", str(busy.pid), "-o", str(tmp_path / "busy.jsonl"), "--no-labels")
        assert done.returncode == 0 and busy.poll() is None, done.stderr
        cases = [
            (exiting.pid, f"process {exiting.pid} exited during the dump"),
            (sleeper.pid, f"process {sleeper.pid} is not a CPython interpreter"),
            (2**22 + 1, f"no process {2**22 + 1}"),
        ]
        for pid, message in cases:
            failed = vossick_dump("--pid", str(pid), "-o", str(tmp_path / "exits" / "x.jsonl"))
            assert failed.returncode == 1 and message in failed.stderr, failed.stderr
    finally:
        for process in (busy, sleeper, exiting):
            process.kill()
            process.wait()
    records = [json.loads(line) for line in open(tmp_path / "busy.jsonl", encoding="utf-8")]
    assert records and not any("labels" in record for record in records)
    assert sorted(os.listdir(tmp_path)) == ["busy.jsonl", "exits"] and not os.listdir(tmp_path / "exits")
