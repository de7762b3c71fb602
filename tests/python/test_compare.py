"""Comparison of two dumps against a plain model over their records, and a leak found with `diff`."""

import json
import random
import subprocess
import sys
import textwrap

import pytest

import vossick_analysis as va
from conftest import NO, ids, line, python, raises_exactly

ALL = "All Types"
TYPES = ["builtins.dict", "builtins.list", "builtins.str", "pkg.Node"]


def random_heaps(seed, count):
    """(before, after) as {id: record}: objects kept (some gaining references), freed, added, and ids reused
    by an object of another type. Ids include 0 and 2**64-1; both ends of the little-endian byte order."""
    rng = random.Random(seed)
    pool = rng.sample(range(1, 1 << 20), count) + [0, (1 << 64) - 1, 1 << 56, 255]
    before = {i: {"type": rng.choice(TYPES), "size": rng.randrange(1, 500), "refs": []} for i in pool[:count]}
    after = {}
    for i, rec in before.items():
        fate = rng.random()
        if fate < 0.6:
            after[i] = dict(rec)
        elif fate < 0.7:
            after[i] = {"type": rng.choice([t for t in TYPES if t != rec["type"]]), "size": rng.randrange(1, 500)}
    for i in pool[count:] + rng.sample(range(1 << 20, 1 << 40), count // 3):
        after[i] = {"type": rng.choice(TYPES), "size": rng.randrange(1, 500)}
    for heap in (before, after):
        keys = list(heap)
        for rec in heap.values():
            rec["refs"] = rng.sample(keys, rng.randrange(0, 4))
    # A few kept containers gain many references.
    for holder in rng.sample([i for i in after if i in before], 3):
        after[holder]["refs"] += rng.sample(list(after), min(40, len(after)))
    return before, after


def load(tmp_path, name, heap):
    (tmp_path / name).mkdir()
    explorer = va.HeapDumpExplorer(str(tmp_path / name))
    explorer.import_lines([line(i, r["type"], sorted(set(r["refs"])), r["size"]) for i, r in heap.items()], NO)
    return explorer


def model(before, after, size_of=None):
    new = {i for i, r in after.items() if i not in before or before[i]["type"] != r["type"]}
    sums = {}
    for side, heap in ((0, before), (1, after)):
        for rec in heap.values():
            for name in (rec["type"], ALL):
                entry = sums.setdefault(name, [[0, 0], [0, 0]])[side]
                entry[0] += 1
                entry[1] += rec["size"]
    types = sorted(sums.items(), key=lambda kv: (-(kv[1][1][1] - kv[1][0][1]), kv[0].encode()))
    growth = []
    for i, rec in after.items():
        added = set(rec["refs"]) & new
        if i not in new and added:
            growth.append((i, len(added), sum(size_of(n) if size_of else after[n]["size"] for n in added)))
    growth.sort(key=lambda g: (-g[2], g[0]))
    byte_order = sorted(new, key=lambda i: i.to_bytes(8, "little"))
    return types, byte_order, growth


@pytest.mark.parametrize("seed, count", [(1, 30), (2, 400), (3, 2600)])
def test_comparison_matches_model(tmp_path, seed, count):
    before, after = random_heaps(seed, count)
    old, now = load(tmp_path, "old", before), load(tmp_path, "new", after)
    types, new_order, growth = model(before, after)

    got_types = now.compare_type_summaries(old)
    assert [(n, [[b.count, b.total_size], [a.count, a.total_size]]) for n, b, a in got_types] == types

    for name in TYPES + [ALL]:
        expected = [i for i in new_order if name == ALL or after[i]["type"] == name]
        assert ids(now.get_new_objects(old, name, None)) == expected
        for page in range(len(expected) // 1000 + 2):
            assert ids(now.get_new_objects(old, name, page)) == expected[page * 1000:(page + 1) * 1000]
    assert now.get_new_objects(old, "no.such.Type", None) == []

    points = [(p.id, count, size) for p, count, size in now.get_growth_points(old, None)]
    assert points == growth
    assert [p.id for p, _, _ in now.get_growth_points(old, 0)] == [g[0] for g in growth[:1000]]
    assert now.get_growth_points(old, (1 << 64) - 1) == []
    # Against itself reversed: what was freed is "new" in the baseline.
    _, freed_order, _ = model(after, before)
    assert ids(old.get_new_objects(now, ALL, None)) == freed_order
    now.compute_retained_sizes()  # growth then sums the new objects' retained sizes
    assert [(p.id, c, s) for p, c, s in now.get_growth_points(old, None)] == model(
        before, after, now.get_retained_size)[2]


@pytest.mark.parametrize("call", [
    lambda e, b: e.compare_type_summaries(b),
    lambda e, b: e.get_new_objects(b, ALL, 0),
    lambda e, b: e.get_growth_points(b, None),
])
def test_baseline_argument(tmp_path, call):
    explorer = load(tmp_path, "db", {1: {"type": "t", "size": 1, "refs": []}})
    raises_exactly(TypeError, "argument 'baseline': 'str' object is not an instance of 'HeapDumpExplorer'",
                   call, explorer, "db")
    raises_exactly(RuntimeError,
                   "the baseline is this explorer's own database: import the two dumps into two databases",
                   call, explorer, explorer)


LEAKY = textwrap.dedent(
    """
    import sys
    import vossick_dump

    class Request:
        def __init__(self, n):
            self.n = n

    CACHE = {}  # the leak: every handled request stays here
    for step, requests in enumerate([range(100), range(100, 2100)]):
        for n in requests:
            CACHE[n] = Request(n)
        vossick_dump.dump_to_path(sys.argv[1 + step], progress=False)
    print(id(CACHE))
    """
)


def test_diff_names_the_leaking_container(tmp_path):
    (tmp_path / "leaky.py").write_text(LEAKY)
    done = subprocess.run([sys.executable, str(tmp_path / "leaky.py"), tmp_path / "1.jsonl", tmp_path / "2.jsonl"],
                          capture_output=True, text=True, check=True, timeout=120)
    cache_id = int(done.stdout)
    for name in ("1", "2"):
        done = python("-m", "vossick_report", tmp_path / name, "import", tmp_path / f"{name}.jsonl", "--quiet")
        assert done.returncode == 0, done.stderr

    # A second dump is refused where one is, unless appended on purpose.
    again = python("-m", "vossick_report", tmp_path / "1", "import", tmp_path / "2.jsonl", "--quiet")
    assert again.returncode == 1 and "diff OLD_DB" in again.stderr

    report = python("-m", "vossick_report", tmp_path / "2", "diff", tmp_path / "1", "--json")
    assert report.returncode == 0, report.stderr
    result = json.loads(report.stdout)
    first = result["growth_points"][0]
    assert first["object"]["id"] == cache_id and first["new_objects"] >= 2000
    assert first["chain"][-1]["id"] == cache_id and "CACHE" in first["chain"][-2]["label"]
    grown = {t["type"]: t["count_delta"] for t in result["types"]}
    assert grown["__main__.Request"] == 2000 and len(result["new_objects"]["__main__.Request"]) == 5
    # Without retained sizes, the chain is a path from a module.
    assert python("-m", "vossick_report", tmp_path / "2p", "import", tmp_path / "2.jsonl", "--quiet",
                  "--no-retained").returncode == 0
    text = python("-m", "vossick_report", tmp_path / "2p", "diff", tmp_path / "1")
    first_point = text.stdout.split("growth points")[1].splitlines()[2:4]
    assert str(cache_id) in first_point[0] and "path from a module: module __main__" in first_point[1]

    appended = python("-m", "vossick_report", tmp_path / "1", "import", tmp_path / "1.jsonl", "--quiet", "--append")
    assert appended.returncode == 0, appended.stderr
