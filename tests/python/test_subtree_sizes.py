"""Subtree sizes computed by the post-import pass, against a plain reachability model."""
import os
import random
import threading

import pytest

import vossick_analysis as va
from conftest import MODULE, line

P = va.EstimatorPrecision
MASK = 2**64 - 1


def model_subtree_sizes(records):
    """Exact subtree sizes by plain set-based reachability (no SCCs, no sharing)."""
    by_id = {r["id"]: r for r in records}
    sizes = {}
    for start in by_id:
        seen, stack = {start}, [start]
        while stack:
            for ref in by_id[stack.pop()]["references"]:
                if ref in by_id and by_id[ref]["type"] != MODULE and ref not in seen:
                    seen.add(ref)
                    stack.append(ref)
        sizes[start] = sum(by_id[i]["size"] for i in seen) & MASK
    return sizes


def subtree_sizes(explorer):
    return {s.id: s.subtree_size for s in explorer.get_objects_by_type("All Types", None)}


def rec(id_, refs, size, type_):
    return {"id": id_, "type": type_, "references": refs, "size": size}


def random_graph(rng, n):
    ids = rng.sample(range(1, 10 * n), n)
    if rng.random() < 0.5:  # the extreme ids
        ids[0], ids[-1] = 0, MASK
    records = []
    for k, id_ in enumerate(ids):
        refs = [rng.choice(ids) for _ in range(rng.randrange(0, 4))]
        refs += [id_] if rng.random() < 0.1 else []  # self reference
        refs += [10 * n + k] if rng.random() < 0.1 else []  # dangling
        refs += refs[:1] if rng.random() < 0.2 else []  # repeated
        size = rng.choice([0, 1, 16, 100, 2**63, 2**64 - 1]) if rng.random() < 0.2 else rng.randrange(1000)
        type_ = MODULE if rng.random() < 0.08 else rng.choice(["A", "B", "All Types"])
        records.append(rec(id_, refs, size, type_))
    return records


def lines_of(records):
    return [line(r["id"], r["type"], r["references"], size=r["size"]) for r in records]


@pytest.mark.parametrize("seed", range(12))
def test_exact_matches_reachability_model_and_lists_every_object(explorer, seed):
    rng = random.Random(seed)
    records = random_graph(rng, rng.randrange(1, 80))
    # Two calls, the first with any precision: the second's exact pass estimates every object again.
    split = rng.randrange(len(records) + 1)
    explorer.import_lines(lines_of(records[:split]), rng.choice([P.NoEstimates, P.Low, P.Medium, P.High, P.Exact]))
    first = subtree_sizes(explorer)
    explorer.import_lines(lines_of(records[split:]), P.Exact)
    exact = model_subtree_sizes(records)
    assert subtree_sizes(explorer) == exact
    # Largest first; an object estimated twice is listed under its earlier estimate too (as stale).
    listed = explorer.get_objects_by_type_ordered_by_size("All Types", True, None)
    assert {s.id for s in listed} == {r["id"] for r in records}
    if len(listed) == len(records):
        assert [s.subtree_size for s in listed] == sorted((s.subtree_size for s in listed), reverse=True)
    for type_name in ("A", "B", MODULE):
        of_type = explorer.get_objects_by_type_ordered_by_size(type_name, True, None)
        assert {s.id for s in of_type} == {r["id"] for r in records if r["type"] == type_name}
    # Every index and summary agrees with the records; the first pass's other estimates count as stale.
    counts, problems = explorer.check_consistency()
    stale = sum(1 if r["type"] == "All Types" else 2 for r in records
                if first.get(r["id"]) not in (None, exact[r["id"]]))
    assert (problems, dict(counts)["stale types_subtree_size_index entries"]) == ([], stale)


@pytest.mark.parametrize("precision, expected", [(P.Low, 736), (P.Medium, 960), (P.High, 972), (P.Exact, 1000)])
def test_sketch_estimates_are_reproducible(make_explorer, precision, expected):
    explorer = make_explorer([line(1, size=1000)], precision)
    assert explorer.get_object(1).subtree_size == expected


@pytest.mark.parametrize("precision", [P.Low, P.Medium, P.High])
def test_sketches_are_close_on_a_larger_graph(make_explorer, precision):
    rng = random.Random(3)
    records = random_graph(rng, 300)
    for r in records:
        r["size"] = rng.randrange(1, 1000)
    explorer = make_explorer(lines_of(records), precision)
    exact = model_subtree_sizes(records)
    got = subtree_sizes(explorer)
    errors = sorted(abs(got[i] - s) / s for i, s in exact.items())
    assert errors[len(errors) // 2] < 0.6  # median relative error: a sketch, not a random number


def test_no_estimates_keeps_earlier_sizes_and_a_later_pass_overwrites_them(explorer):
    for precision in (P.Low, P.Exact):  # passes over an empty database
        explorer.import_lines([], precision)
    assert explorer.get_type_summaries() == []
    explorer.import_lines([line(1, references=[2], size=1, subtree_size=99), line(2, size=2)], P.NoEstimates)
    assert explorer.get_object(1).subtree_size == 99
    assert explorer.get_object(2).subtree_size is None
    explorer.import_lines([], P.Exact)
    assert (explorer.get_object(1).subtree_size, explorer.get_object(2).subtree_size) == (3, 2)
    explorer.import_lines([line(3, references=[1], size=4)], P.NoEstimates)
    assert explorer.get_object(1).subtree_size == 3
    assert explorer.get_object(3).subtree_size is None


@pytest.mark.parametrize("ring", [False, True])
def test_a_path_hundreds_of_thousands_deep_on_the_calling_thread_alone(explorer, ring):
    n = 200_000
    lines = [b'{"id":%d,"type":"N","references":[%d],"size":1}' % (k, k + 1) for k in range(n - 1)]
    lines.append(b'{"id":%d,"type":"N","references":[%s],"size":1}' % (n - 1, b"0" if ring else b""))
    done, most, before = threading.Event(), [0], len(os.listdir("/proc/self/task"))

    def count_threads():  # runs while the import and the pass have released the interpreter lock
        while not done.is_set():
            most[0] = max(most[0], len(os.listdir("/proc/self/task")))

    sampler = threading.Thread(target=count_threads)
    sampler.start()
    explorer.import_lines(lines, P.Exact)
    done.set()
    sampler.join()
    assert most[0] == before + 1  # the pass started no thread: this process's threads and the sampler
    assert explorer.get_object(0).subtree_size == n  # the stack is not exhausted
    assert explorer.get_object(n - 1).subtree_size == (n if ring else 1)  # a ring is one component
