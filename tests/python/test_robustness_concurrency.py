"""Concurrency under load.

Several threads query one explorer while another thread imports batch after
batch into it and computes retained sizes after each (queries run while the
post-import pass or the retained-size computation has released the interpreter
lock); a second explorer on another directory is driven the same
way at the same time, with two threads importing into it at once. Every
answer must match some committed state. The stress runs in a child process
with a timeout, so a deadlock fails the test instead of hanging it.

The dump is a chain: object i references i-1 and has size 8 + i % 5, so the
exact subtree size of i is the sum of the sizes of 0..i (and so is its retained
size: the chain's last object is its one root), a batch never changes
what an earlier object reaches, and every committed state of a chain is
"objects 0..n-1 stored, some of them with their estimates". Then: long queries let other threads query.
"""
import _thread
import itertools
import textwrap
import threading
import time

import pytest

import vossick_analysis as va
from conftest import line, python


STRESS = textwrap.dedent("""
    import random, sys, threading, traceback
    import vossick_analysis as va

    BATCH, BATCHES, SECOND_CHAIN = 400, 12, 1 << 40  # SECOND_CHAIN: first id of another, independent chain
    size = lambda i: 8 + i % 5
    subtree = lambda i: sum(size(j) for j in range(i + 1))
    failures, answers, stop = [], [0], threading.Event()

    def guarded(work, *args):
        def run():
            try:
                work(*args)
            except BaseException:
                failures.append(traceback.format_exc())
                stop.set()
        return threading.Thread(target=run)

    def importer(explorer, base):
        for b in range(BATCHES):
            explorer.import_lines(iter([('{"id":%d,"type":"T%d","references":[%s],"size":%d}' % (
                base + i, i % 3, base + i - 1 if i else "", size(i))).encode()
                for i in range(b * BATCH, (b + 1) * BATCH)]), va.EstimatorPrecision.Exact)
            explorer.compute_retained_sizes()

    def check_summary(s, base):
        assert s.size == size(s.id - base), s.id
        assert s.subtree_size in (None, subtree(s.id - base)), (s.id, s.subtree_size)

    def reader(explorer, bases, seed):
        rng = random.Random(seed)
        while not stop.is_set():
            rows = dict(explorer.get_type_summaries())
            if rows:
                total = rows.pop("All Types")
                assert total.count == sum(r.count for r in rows.values())
            listed = explorer.get_objects_by_type("All Types", None)
            for base in bases:
                chain = [s for s in listed if base <= s.id < base + SECOND_CHAIN]
                n = len(chain)
                # Objects come and go only in whole batches, each chain from its start.
                assert n % BATCH == 0 and sorted(s.id - base for s in chain) == list(range(n)), (base, n)
                for s in chain[::97]:
                    check_summary(s, base)
                if n == 0:
                    continue
                i = rng.randrange(n)
                record = explorer.get_object(base + i)
                assert [r.id - base for r in record.references] == ([i - 1] if i else [])
                assert [r.id - base for r in record.referrers] in ([], [i + 1])
                check_summary(record, base)
                try:
                    assert explorer.get_retained_size(base + i) == subtree(i), (base, i)
                except RuntimeError as error:  # between an import and the computation after it
                    assert "call compute_retained_sizes()" in str(error)
                path = explorer.find_path_between_objects(base + i, base + max(i - 2, 0), frozenset())
                assert [s.id - base for s in path] == list(range(i, max(i - 2, 0) - 1, -1))
            answers[0] += 1

    first, second = va.HeapDumpExplorer(sys.argv[1]), va.HeapDumpExplorer(sys.argv[2])
    writers = [guarded(importer, first, 0), guarded(importer, second, 0), guarded(importer, second, SECOND_CHAIN)]
    readers = [guarded(reader, first, [0], seed) for seed in range(3)] + [guarded(reader, second, [0, SECOND_CHAIN], 9)]
    for thread in writers + readers:
        thread.start()
    for thread in writers:
        thread.join()
    stop.set()
    for thread in readers:
        thread.join()
    assert not failures, "\\n".join(failures)
    last = BATCH * BATCHES - 1
    for explorer, bases in ((first, [0]), (second, [0, SECOND_CHAIN])):
        assert explorer.get_count_for_type("All Types") == BATCH * BATCHES * len(bases)
        for base in bases:
            assert explorer.get_object(base + last).subtree_size == subtree(last)
    print("answers checked:", answers[0])
""")


def test_queries_beside_imports_see_committed_states_only(tmp_path):
    dirs = [tmp_path / "first", tmp_path / "second"]
    for d in dirs:
        d.mkdir()
    child = python("-c", STRESS, *dirs)
    assert child.returncode == 0, child.stdout + child.stderr
    assert int(child.stdout.split(":")[-1]) > 0, "no reader ran beside the imports"



SIDE = 150_000  # two binary trees (ids 0.. and SIDE..) whose first holds HUB in every object; LONE is held by none
HUB, LONE = 2 * SIDE, 2 * SIDE + 1
LONG_QUERIES = {  # each reads a whole tree: (call, what a plain model answers)
    "path found nowhere": (lambda e: e.find_path_between_objects(0, LONE, frozenset()), None),
    "nothing in common": (lambda e: e.find_largest_common_reachable_object(0, SIDE), None),
    "listing all": (lambda e: len(e.get_objects_by_type("All Types", None)), 2 * SIDE + 2),
    "object with SIDE referrers": (lambda e: len(e.get_object(HUB).referrers), SIDE),
    "all by retained size": (lambda e: len(e.get_objects_by_type_ordered_by_retained_size("T", None)), 2 * SIDE),
}


@pytest.fixture(scope="module")
def two_trees(tmp_path_factory):
    tree = lambda base, hub: (line(base + i, "T", [base + c for c in (2 * i + 1, 2 * i + 2) if c < SIDE] + hub, 8)
                              for i in range(SIDE))
    explorer = va.HeapDumpExplorer(str(tmp_path_factory.mktemp("trees")))
    explorer.import_lines(itertools.chain(tree(0, [HUB]), tree(SIDE, []), [line(HUB), line(LONE, size=1)]),
                          va.EstimatorPrecision.Low)
    explorer.compute_retained_sizes()
    return explorer


def beside_small_queries(explorer, query, interrupt_after=None):
    """(answer or KeyboardInterrupt, seconds) of query here, and when another thread's small queries ended."""
    ended, stop = [], threading.Event()

    def small():
        while not stop.is_set() and explorer.get_object(LONE).size == 1 and explorer.get_count_for_type("T"):
            ended.append(time.monotonic())
    other, timer = threading.Thread(target=small), threading.Timer(interrupt_after or 0, _thread.interrupt_main)
    other.start()
    if interrupt_after:
        timer.start()
    started = time.monotonic()
    try:
        answer = query(explorer)
    except KeyboardInterrupt as interrupted:
        answer = interrupted
    took = time.monotonic() - started
    stop.set()
    other.join()
    timer.cancel()
    return answer, took, [t - started for t in ended]


@pytest.mark.parametrize("query, expected", LONG_QUERIES.values(), ids=LONG_QUERIES)
def test_a_long_query_lets_other_threads_query_and_stops_on_ctrl_c(two_trees, query, expected):
    answer, took, ended = beside_small_queries(two_trees, query)  # held, the lock would leave a gap in `ended`
    assert answer == expected and any(took * 0.2 < t < took * 0.5 for t in ended), (took, len(ended))
    answer, interrupted_took, _ = beside_small_queries(two_trees, query, interrupt_after=took * 0.1)
    assert isinstance(answer, KeyboardInterrupt) and interrupted_took < took * 0.7, (took, interrupted_took)
