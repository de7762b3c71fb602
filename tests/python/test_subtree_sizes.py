"""Subtree sizes computed by the post-import pass, against a plain reachability model."""
import gc
import random

import pytest

import vossick_analysis as va
from conftest import line

P = va.EstimatorPrecision
MODULE = "builtins.module"
MASK = 2**64 - 1


def model_subtree_sizes(records):
    """Exact subtree sizes by plain set-based reachability (no SCCs, no sharing)."""
    by_id = {r["id"]: r for r in records}

    def successors(node_id):
        for ref in by_id[node_id]["references"]:
            if ref in by_id and by_id[ref]["type"] != MODULE:
                yield ref

    sizes = {}
    for start in by_id:
        seen = {start}
        stack = [start]
        while stack:
            for nxt in successors(stack.pop()):
                if nxt not in seen:
                    seen.add(nxt)
                    stack.append(nxt)
        sizes[start] = sum(by_id[i]["size"] for i in seen) & MASK
    return sizes


def subtree_sizes(explorer):
    return {s.id: s.subtree_size for s in explorer.get_objects_by_type("All Types", None)}


def random_graph(rng, n):
    ids = rng.sample(range(1, 10 * n), n)
    records = []
    for k, id_ in enumerate(ids):
        kind = rng.random()
        refs = [rng.choice(ids) for _ in range(rng.randrange(0, 4))]
        if rng.random() < 0.1:
            refs.append(id_)  # self reference
        if rng.random() < 0.1:
            refs.append(10 * n + k)  # dangling
        if refs and rng.random() < 0.2:
            refs.append(refs[0])  # repeated
        size = rng.choice([0, 1, 16, 100, 2**63, 2**64 - 1]) if rng.random() < 0.2 else rng.randrange(1000)
        records.append({"id": id_, "type": MODULE if kind < 0.08 else rng.choice(["A", "B"]),
                        "references": refs, "size": size})
    return records


def lines_of(records):
    return [line(r["id"], r["type"], r["references"], size=r["size"]) for r in records]


@pytest.mark.parametrize("seed", range(12))
def test_exact_matches_reachability_model(make_explorer, seed):
    rng = random.Random(seed)
    records = random_graph(rng, rng.randrange(1, 80))
    explorer = make_explorer(lines_of(records), P.Exact)
    expected = model_subtree_sizes(records)
    assert subtree_sizes(explorer) == expected


@pytest.mark.parametrize("records, expected", [
    # A -> B <-> C
    ([{"id": 1, "type": "T", "references": [2], "size": 5}, {"id": 2, "type": "T", "references": [3], "size": 7},
      {"id": 3, "type": "T", "references": [2], "size": 11}], {1: 23, 2: 18, 3: 18}),
    # diamond counts D once
    ([{"id": 1, "type": "T", "references": [2, 3], "size": 1}, {"id": 2, "type": "T", "references": [4], "size": 10},
      {"id": 3, "type": "T", "references": [4], "size": 100}, {"id": 4, "type": "T", "references": [], "size": 1000}],
     {1: 1111, 2: 1010, 3: 1100, 4: 1000}),
    # a module is not entered through a reference but is a root of its own
    ([{"id": 1, "type": "T", "references": [2], "size": 5}, {"id": 2, "type": MODULE, "references": [3], "size": 50},
      {"id": 3, "type": "T", "references": [], "size": 500}], {1: 5, 2: 550, 3: 500}),
])
def test_exact_examples(make_explorer, records, expected):
    explorer = make_explorer(lines_of(records), P.Exact)
    assert {i: explorer.get_object(i).subtree_size for i in expected} == expected


def test_every_object_gets_one_size_and_two_index_entries(make_explorer):
    rng = random.Random(7)
    records = random_graph(rng, 60)
    explorer = make_explorer(lines_of(records), P.Exact)
    listed = explorer.get_objects_by_type_ordered_by_size("All Types", True, None)
    assert sorted(s.id for s in listed) == sorted(r["id"] for r in records)
    sizes = [s.subtree_size for s in listed]
    assert sizes == sorted(sizes, reverse=True)
    for type_name in ("A", "B", MODULE):
        of_type = explorer.get_objects_by_type_ordered_by_size(type_name, True, None)
        assert sorted(s.id for s in of_type) == sorted(r["id"] for r in records if r["type"] == type_name)


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
    explorer.import_lines([line(1, references=[2], size=1, subtree_size=99), line(2, size=2)], P.NoEstimates)
    assert explorer.get_object(1).subtree_size == 99
    assert explorer.get_object(2).subtree_size is None
    explorer.import_lines([], P.Exact)
    assert (explorer.get_object(1).subtree_size, explorer.get_object(2).subtree_size) == (3, 2)
    explorer.import_lines([line(3, references=[1], size=4)], P.NoEstimates)
    assert explorer.get_object(1).subtree_size == 3
    assert explorer.get_object(3).subtree_size is None


def test_empty_database_pass_succeeds(explorer):
    for precision in (P.Low, P.Exact):
        explorer.import_lines([], precision)
    assert explorer.get_type_summaries() == []


def test_deep_chain_does_not_exhaust_the_stack(make_explorer):
    n = 200_000
    lines = [b'{"id":%d,"type":"N","references":[%s],"size":1}' % (k, b"%d" % (k + 1) if k + 1 < n else b"")
             for k in range(n)]
    explorer = make_explorer(lines, P.Exact)
    assert explorer.get_object(0).subtree_size == n
    assert explorer.get_object(n - 1).subtree_size == 1


def test_a_failing_pass_keeps_the_previous_results(db_dir):
    lmdb = pytest.importorskip("lmdb")
    explorer = va.HeapDumpExplorer(str(db_dir))
    explorer.import_lines([line(1, references=[2], size=1), line(2, size=2)], P.Exact)
    del explorer
    gc.collect()
    env = lmdb.open(str(db_dir), max_dbs=7)
    primary = env.open_db(b"primary", integerkey=True, create=False)
    with env.begin(write=True) as txn:
        txn.put((3).to_bytes(8, "little"), b'{"id":3,"type":"T"', db=primary)
    env.close()
    explorer = va.HeapDumpExplorer(str(db_dir))
    with pytest.raises(RuntimeError, match="^error while decoding: EOF while parsing an object at line 1 column 18$"):
        explorer.import_lines([line(4, size=8)], P.Exact)
    assert explorer.get_object(4).subtree_size is None  # the import committed, the pass did not
    assert explorer.get_object(1).subtree_size == 3
    assert explorer.get_count_for_type("All Types") == 2  # summaries of the failed pass were not kept
