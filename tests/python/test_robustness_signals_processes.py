"""Other processes, real SIGINTs and forks, each case in child processes with timeouts.

Promptness is checked against a generous bound only; the database is checked afterwards.
"""
import json
import os
import select
import signal
import subprocess
import sys
import time

import pytest

import vossick_analysis as va
from conftest import EXACT, line

PROMPT_S = 3
FORKED = ("this explorer's environment was opened in another process (before a fork) and cannot be used in this "
          "one; create a new HeapDumpExplorer in this process once the inherited one is gone")
PRELUDE = """
import json, os, signal, sys, threading, time
import vossick_analysis as va
NO, EXACT = va.EstimatorPrecision.NoEstimates, va.EstimatorPrecision.Exact
line = lambda i, refs=(): b'{"id":%d,"type":"T%d","references":%s,"size":8}\\n' % (i, i % 3, json.dumps(refs).encode())
started = time.monotonic()
explorer = va.HeapDumpExplorer(sys.argv[1])
sent = [0]
def interrupt_when(ready):  # Ctrl-C from another thread, once ready() says so
    def wait_and_send():
        while not ready():
            time.sleep(0.005)
        sent[0] = time.monotonic()
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=wait_and_send, daemon=True).start()
"""


def start(script, db_dir, *args):
    return subprocess.Popen([sys.executable, "-c", PRELUDE + script, str(db_dir), *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def said(child, timeout=30):
    assert select.select([child.stdout], [], [], timeout)[0], f"no word from the child within {timeout} s"
    return child.stdout.readline().split()


def finish(child, interrupt=False):
    """Sends SIGINT if asked; returns the child's output lines and how long it took to end."""
    sent = time.monotonic()
    if interrupt:
        child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err
    return out.splitlines(), time.monotonic() - sent


HOLDER = """
def lines():
    yield line(1)
    print("holding", flush=True)
    sys.stdin.readline()  # keeps the write transaction until told to go on
    yield line(2)
explorer.import_lines(lines(), NO)
"""
WAITER = """
ticks = [0]
def tick():
    while True:
        time.sleep(0.01)
        ticks[0] += 1
threading.Thread(target=tick, daemon=True).start()
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
        out, took = finish(waiter, interrupt=True)
        word, ticks = out[0].split()
        assert word == "interrupted" and took < PROMPT_S and int(ticks) >= 5  # ticking while it waited
        holder.stdin.write("go\n")
        holder.stdin.flush()
        finish(holder)
    finally:
        for child in (holder, waiter):
            if child and child.poll() is None:
                child.kill()
    assert [s.id for s in va.HeapDumpExplorer(str(db_dir)).get_objects_by_type("All Types", None)] == [1, 2]


LINE_LOOP = """
lines = [line(i) for i in range(600_000)]
if sys.argv[2] == "file":
    with open(sys.argv[1] + "/../dump.jsonl", "wb") as f:
        f.writelines(lines)
    lines = open(sys.argv[1] + "/../dump.jsonl", "rb")
print("ready", flush=True)
try:
    explorer.import_lines(lines, NO)
except KeyboardInterrupt:
    print(explorer.get_type_summaries() == [] and explorer.get_object(0) is None)
"""


@pytest.mark.parametrize("source", ["list", "file"])  # iterated without running bytecode
def test_ctrl_c_in_the_line_loop_stops_at_once_and_lands_nothing(db_dir, source):
    child = start(LINE_LOOP, db_dir, source)
    assert said(child, 60) == ["ready"]
    time.sleep(0.2)
    out, took = finish(child, interrupt=True)
    assert out == ["True"] and took < PROMPT_S


PASS = """
# Ready once the import's commit has released the interpreter lock.
interrupt_when(lambda: explorer.get_count_for_type("All Types") >= 300_000)
try:
    explorer.import_lines([line(i, [i - 1] if i else []) for i in range(300_000)], EXACT)
except KeyboardInterrupt as e:
    last = explorer.get_object(299_999)
    print(time.monotonic() - sent[0], e.__notes__, explorer.get_count_for_type("T0"), last.size, last.subtree_size,
          explorer.get_objects_by_type_ordered_by_size("All Types", True, 0), sep="\\n")
"""


def test_ctrl_c_in_the_post_import_pass_keeps_the_records_and_consistent_summaries(db_dir):
    (took, notes, *state), _ = finish(start(PASS, db_dir))
    assert float(took) < PROMPT_S
    assert notes == "['the imported lines were committed; subtree sizes were not updated']"
    assert state == ["100000", "8", "None", "[]"]


def test_a_reader_killed_inside_its_snapshot_does_not_make_the_file_grow(db_dir):
    pytest.importorskip("lmdb")
    explorer = va.HeapDumpExplorer(str(db_dir))
    explorer.import_lines([line(i, references=[i - 1] if i else [], value="v" * 300) for i in range(20_000)], EXACT)
    reader = "import lmdb, os, sys; txn = lmdb.open(sys.argv[1], max_dbs=7).begin(); os.kill(os.getpid(), 9)"
    assert subprocess.run([sys.executable, "-c", reader, str(db_dir)], timeout=60).returncode == -signal.SIGKILL
    size = os.path.getsize(db_dir / "data.mdb")
    for i in range(4):
        explorer.import_lines([line(100_000 + i)], EXACT)  # each pass rewrites every record
    assert os.path.getsize(db_dir / "data.mdb") < 1.5 * size  # it grew threefold while the slot stayed


FORK = """
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
    explorer = None  # frees the directory for an explorer of this process
    print(json.dumps(texts + [va.HeapDumpExplorer(sys.argv[1]).get_object(10**6)]), flush=True)
    os._exit(0)
os.wait()
print(explorer.get_count_for_type("All Types"), len(explorer.get_objects_by_type("All Types", None)))
"""


def test_a_fork_inside_the_line_iterator_leaves_the_parent_import_whole(db_dir):
    (forked, parent), _ = finish(start(FORK, db_dir))
    assert json.loads(forked) == [FORKED] * 3 + [None]
    assert parent == "2000 2000"
