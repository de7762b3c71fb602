"""Imports killed with SIGKILL (inside the line loop, during the post-import
pass, or from outside at a random moment) keep exactly the last committed
state, byte for byte against directories imported without a crash; the next
import into the same directory proves the killed writer's lock was freed."""
import json
import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import vossick_analysis as va
from conftest import DB_FLAGS, read_lmdb

pytest.importorskip("lmdb")

BATCH = 2000
TIME_BUDGET_S = 15
MAX_ROUNDS = 18


def batch_lines(b):
    """Batch b: ids b*BATCH .. (b+1)*BATCH-1, each referencing up to three earlier or same-batch ids."""
    rng = random.Random(b)
    lines = []
    for i in range(b * BATCH, (b + 1) * BATCH):
        refs = [rng.randrange(0, (b + 1) * BATCH) for _ in range(rng.randrange(4))]
        lines.append(json.dumps({"id": i, "type": f"T{i % 5}", "references": refs, "size": 8 + i % 97}).encode())
    return lines


CHILD = textwrap.dedent("""
    import os, random, signal, sys, threading, time
    sys.path.insert(0, sys.argv[1])
    from test_robustness_crash import batch_lines
    import vossick_analysis as va
    db, mode = sys.argv[2], sys.argv[4]
    first, at_batch, at_line, delay = int(sys.argv[3]), int(sys.argv[5]), int(sys.argv[6]), float(sys.argv[7])
    explorer = va.HeapDumpExplorer(db)
    lines_done = threading.Event()

    def killer():
        lines_done.wait()
        time.sleep(delay)
        os.kill(os.getpid(), signal.SIGKILL)

    if mode == "pass":
        threading.Thread(target=killer, daemon=True).start()

    def feed(b):
        for i, item in enumerate(batch_lines(b)):
            if mode == "loop" and b == at_batch and i == at_line:
                os.kill(os.getpid(), signal.SIGKILL)
            yield item
        if b == at_batch:
            lines_done.set()

    b = first
    while True:
        explorer.import_lines(feed(b), va.EstimatorPrecision.Exact)
        print(b, flush=True)
        b += 1
""")


class References:
    """Dumps of the state after batches 0..n-1 (n = 0, 1, ...), imported without crashes."""

    def __init__(self, tmp_path):
        self.dir = tmp_path / "reference"
        self.dir.mkdir()
        self.states = [None]
        self.import_seconds = 0.0

    def after(self, n):
        while len(self.states) <= n:
            explorer = va.HeapDumpExplorer(str(self.dir))
            start = time.monotonic()
            explorer.import_lines(batch_lines(len(self.states) - 1), va.EstimatorPrecision.Exact)
            self.import_seconds = max(self.import_seconds, time.monotonic() - start)
            del explorer
            self.states.append(read_lmdb(self.dir))
        return self.states[n] or {name: [] for name in DB_FLAGS}

    def between(self, n):
        """Batch n's import committed but its post-import pass not: the records and
        summaries of batches 0..n, the estimates of the pass after batch n-1."""
        before, after = self.after(n), self.after(n + 1)
        old_primary = dict(before["primary"])
        primary = [(k, old_primary.get(k) or re.sub(rb'"subtree_size":\d+}$', b'"subtree_size":null}', v))
                   for k, v in after["primary"]]
        state = dict(after, primary=primary)
        state["types_subtree_size_index"] = before["types_subtree_size_index"]
        return state


def test_sigkill_during_import_keeps_the_last_committed_state(tmp_path):
    refs = References(tmp_path)
    refs.after(1)  # measures one import's duration for the kill delays
    db_dir = tmp_path / "db"
    db_dir.mkdir()
    rng = random.Random(8)
    tests_dir = os.path.dirname(__file__)
    committed = 0  # batches fully imported (import and pass) so far
    previous = refs.after(0)
    outcomes = dict.fromkeys(("nothing new committed", "import committed, pass not", "import and pass committed"), 0)
    deadline = time.monotonic() + TIME_BUDGET_S
    rounds = 0
    while rounds < MAX_ROUNDS and (rounds < 6 or time.monotonic() < deadline):
        mode = ("loop", "pass", "async")[rounds % 3]
        at_batch = committed + rng.randrange(2)
        at_line = rng.randrange(BATCH)
        delay = rng.uniform(0, refs.import_seconds * 1.5)
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, tests_dir, str(db_dir), str(committed), mode, str(at_batch),
             str(at_line), str(delay)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if mode == "async":
            # Long enough for the interpreter to start and import something.
            time.sleep(rng.uniform(0.3, 0.3 + 3 * refs.import_seconds))
            child.send_signal(signal.SIGKILL)
        out, err = child.communicate(timeout=120)
        assert child.returncode == -signal.SIGKILL, err
        done = [int(b) for b in out.split()]
        assert done == list(range(committed, committed + len(done)))
        committed += len(done)

        # What the directory held before the child's first unfinished import.
        settled = refs.after(committed) if done else previous
        state = read_lmdb(db_dir)
        if mode == "loop":
            assert committed == at_batch
            assert state == settled, f"round {rounds}: killed inside the line loop, yet the state changed"
            outcome = "nothing new committed"
        elif state == settled:
            outcome = "nothing new committed"
        elif state == refs.between(committed):
            outcome = "import committed, pass not"
        else:
            assert state == refs.after(committed + 1), f"round {rounds} ({mode}): not a committed state"
            outcome = "import and pass committed"
            committed += 1
        outcomes[outcome] += 1
        previous = state
        rounds += 1

    print(f"{rounds} kills, outcomes {outcomes}")
    # A plain import after all those kills completes normally.
    explorer = va.HeapDumpExplorer(str(db_dir))
    explorer.import_lines(batch_lines(committed), va.EstimatorPrecision.Exact)
    del explorer
    assert read_lmdb(db_dir) == refs.after(committed + 1)
