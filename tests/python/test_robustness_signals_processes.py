"""Other processes, signals and forks: each case runs in child processes with timeouts.

Ctrl-C is a real SIGINT; promptness is checked against a generous bound only,
and the database is checked afterwards.
"""
import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import vossick_analysis as va
from conftest import NO, EXACT, line

PROMPT_S = 3
PRELUDE = """
import json, os, signal, sys, threading, time
import vossick_analysis as va
NO, EXACT = va.EstimatorPrecision.NoEstimates, va.EstimatorPrecision.Exact
def line(i, refs=()):
    return json.dumps({"id": i, "type": "T%d" % (i % 3), "references": list(refs), "size": 8}).encode() + b"\\n"
db = sys.argv[1]
"""


def start(script, db_dir, *args):
    return subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(script), str(db_dir), *map(str, args)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def said(child, timeout=20):
    """The child's next line of output, or a failure if none comes in time."""
    ready, _, _ = select.select([child.stdout], [], [], timeout)
    assert ready, f"no word from the child within {timeout} s"
    return child.stdout.readline().split()


def interrupt(child):
    """Sends SIGINT; returns the child's output and how long it took to end."""
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    return out.split(), time.monotonic() - sent


HOLDER = """
explorer = va.HeapDumpExplorer(db)
def lines():
    yield line(1)
    print("holding", flush=True)
    sys.stdin.readline()  # holds the write transaction until told to go on
    yield line(2)
explorer.import_lines(lines(), NO)
"""

WAITER = """
started = time.monotonic()
explorer = va.HeapDumpExplorer(db)
ticks = [0]
def ticker():
    while True:
        ticks[0] += 1
        time.sleep(0.01)
threading.Thread(target=ticker, daemon=True).start()
print("opened", time.monotonic() - started, flush=True)
try:
    explorer.import_lines([line(3)], NO)
except KeyboardInterrupt:
    print("interrupted", ticks[0])
"""


def test_opening_and_waiting_beside_another_process_import(db_dir):
    va.HeapDumpExplorer(str(db_dir))  # the databases exist
    holder = start(HOLDER, db_dir)
    waiter = None
    try:
        assert said(holder) == ["holding"]
        waiter = start(WAITER, db_dir)
        word, seconds = said(waiter)
        assert word == "opened" and float(seconds) < PROMPT_S  # no wait behind the import
        time.sleep(0.5)
        out, took = interrupt(waiter)
        assert out[0] == "interrupted" and took < PROMPT_S
        assert int(out[1]) >= 20  # the ticker ran while the import waited
        holder.stdin.write("go\n")
        holder.stdin.flush()
        assert holder.wait(60) == 0
    finally:
        for child in (holder, waiter):
            if child and child.poll() is None:
                child.kill()
    explorer = va.HeapDumpExplorer(str(db_dir))
    assert [s.id for s in explorer.get_objects_by_type("All Types", None)] == [1, 2]


LINE_LOOP = """
explorer = va.HeapDumpExplorer(db)
count, source = 600_000, sys.argv[2]
lines = [line(i) for i in range(count)]
if source == "file":
    with open(db + "/../dump.jsonl", "wb") as f:
        f.writelines(lines)
    lines = open(db + "/../dump.jsonl", "rb")
print("ready", flush=True)
try:
    explorer.import_lines(lines, NO)
except KeyboardInterrupt:
    print("interrupted", explorer.get_type_summaries() == [] and explorer.get_object(0) is None)
"""


@pytest.mark.parametrize("source", ["list", "file"])
def test_ctrl_c_in_the_line_loop_stops_at_once_and_lands_nothing(db_dir, source):
    child = start(LINE_LOOP, db_dir, source)
    assert said(child, 60) == ["ready"]
    time.sleep(0.2)
    out, took = interrupt(child)
    assert out == ["interrupted", "True"] and took < PROMPT_S


PASS = """
explorer = va.HeapDumpExplorer(db)
count = 300_000
def watch():  # runs once the import has released the interpreter lock
    while explorer.get_count_for_type("All Types") < count:
        time.sleep(0.005)
    sent[0] = time.monotonic()
    os.kill(os.getpid(), signal.SIGINT)
sent = [None]
threading.Thread(target=watch, daemon=True).start()
try:
    explorer.import_lines([line(i, [i - 1] if i else []) for i in range(count)], EXACT)
except KeyboardInterrupt as e:
    print(time.monotonic() - sent[0])
    print(json.dumps(getattr(e, "__notes__", [])))
    last = explorer.get_object(count - 1)
    print(explorer.get_count_for_type("T0"), last.size, last.subtree_size,
          explorer.get_objects_by_type_ordered_by_size("All Types", True, 0) == [])
"""


def test_ctrl_c_in_the_post_import_pass_keeps_the_records_and_consistent_summaries(db_dir):
    child = start(PASS, db_dir)
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err
    took, notes, *state = out.splitlines()
    assert float(took) < PROMPT_S
    assert notes == '["the imported lines were committed; subtree sizes were not updated"]'
    assert state == ["100000 8 None True"]


def test_a_reader_killed_inside_its_snapshot_does_not_make_the_file_grow(db_dir):
    pytest.importorskip("lmdb")
    explorer = va.HeapDumpExplorer(str(db_dir))
    value = "v" * 300
    explorer.import_lines([line(i, references=[i - 1] if i else [], value=value) for i in range(20_000)], EXACT)
    reader = "import lmdb, os, signal, sys; txn = lmdb.open(sys.argv[1], max_dbs=7).begin(); " \
             "os.kill(os.getpid(), signal.SIGKILL)"
    assert subprocess.run([sys.executable, "-c", reader, str(db_dir)], timeout=60).returncode == -signal.SIGKILL
    size = os.path.getsize(db_dir / "data.mdb")
    for i in range(4):
        explorer.import_lines([line(100_000 + i)], EXACT)  # each pass rewrites every record
    assert os.path.getsize(db_dir / "data.mdb") < 1.5 * size


FORK = """
explorer = va.HeapDumpExplorer(db)
def lines():
    for i in range(2000):
        if i == 100:
            os.fork()  # both processes go on with the iteration
        yield line(i)

try:
    explorer.import_lines(lines(), NO)
except RuntimeError as e:  # in the child
    texts = [str(e)]
    for call in (lambda: explorer.get_object(1), lambda: explorer.get_type_summaries()):
        try:
            call()
        except RuntimeError as e:
            texts.append(str(e))
    explorer = None  # frees the directory for a new explorer of this process
    texts.append(va.HeapDumpExplorer(db).get_object(1000000) is None)
    print(json.dumps(texts), flush=True)
    os._exit(0)
os.wait()
print(explorer.get_count_for_type("All Types"), len(explorer.get_objects_by_type("All Types", None)))
"""
FORKED = ("this explorer's environment was opened in another process (before a fork) and cannot be used in this "
          "one; create a new HeapDumpExplorer in this process once the inherited one is gone")


def test_a_fork_inside_the_line_iterator_leaves_the_parent_import_whole(db_dir):
    child = start(FORK, db_dir)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    forked, parent = out.splitlines()
    assert json.loads(forked) == [FORKED] * 3 + [True]
    assert parent == "2000 2000"
