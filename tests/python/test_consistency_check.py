"""The consistency check beyond single damages (those are in test_damaged_store.py)
and stale estimates (test_subtree_sizes.py): clean imports against counts a plain
model of the lines predicts, the cap on reported problems, progress, and the report
tool's check command."""
import gc
import json
import random

import pytest

import vossick_analysis as va
from conftest import EXACT, line, python, raises_exactly
from test_damaged_store import BASE, damage, u64

lmdb = pytest.importorskip("lmdb")



def stored(db_dir, lines=BASE, precision=EXACT):
    explorer = va.HeapDumpExplorer(str(db_dir))
    explorer.import_lines(lines, precision)
    del explorer
    gc.collect()  # closes the environment


def check(db_dir, progress=None):
    counts, problems = va.HeapDumpExplorer(str(db_dir)).check_consistency(progress)
    return dict(counts), problems


def test_problems_beyond_the_cap_are_counted(db_dir):
    stored(db_dir)
    damage(db_dir, "types", [(b"T", u64(1000 + i)) for i in range(150)], [])
    counts, problems = check(db_dir)
    assert (counts["problems"], len(problems)) == (150, 100)


def model_counts(lines):
    """The counts of a clean import, from the lines alone."""
    records = {r["id"]: r for r in map(json.loads, lines)}
    pairs = {(ref, r["id"]) for r in records.values() for ref in r["references"]}
    filed = sum(1 if r["type"] == "All Types" else 2 for r in records.values())
    return {
        "primary records": len(records),
        "records with a subtree size": len(records),
        "referrers entries": len(pairs),
        "referenced ids without a record": len({ref for ref, _ in pairs} - set(records)),
        "types entries": filed,
        "types_size_index entries": filed,
        "types_subtree_size_index entries": filed,
        "stale types_subtree_size_index entries": 0,
        "type_summaries entries": len({r["type"] for r in records.values()} | {"All Types"}) if records else 0,
        "problems": 0,
    }


def random_lines(seed, n):
    rng = random.Random(seed)
    ids = list(dict.fromkeys(rng.getrandbits(64) for _ in range(n)))
    types = ["T", "U", "builtins.module", "All Types", "é"]
    return [line(i, rng.choice(types), [rng.choice(ids + [7, 8]) for _ in range(rng.randrange(5))],
                 size=rng.randrange(1 << 62)) for i in ids]


@pytest.mark.parametrize("seed, n", [(1, 0), (2, 1), (4, 3000)])
def test_clean_import_is_consistent_with_model_counts(db_dir, seed, n):
    lines = random_lines(seed, n)
    stored(db_dir, lines)
    seen = []
    counts, problems = check(db_dir, lambda done, total: seen.append((done, total)))
    assert (counts, problems) == (model_counts(lines), [])
    total = sum(counts[name] for name in ("primary records", "referrers entries", "types entries",
                                          "types_size_index entries", "types_subtree_size_index entries",
                                          "type_summaries entries"))
    assert seen[0] == (0, total) and seen[-1] == (total, total)


class Stop(Exception):
    pass


def test_an_exception_from_progress_ends_the_check_and_the_explorer_keeps_working(explorer):
    explorer.import_lines(random_lines(6, 50), EXACT)

    def progress(done, total):
        if done:
            raise Stop

    with pytest.raises(Stop):
        explorer.check_consistency(progress=progress)
    raises_exactly(TypeError, "argument 'progress': 'int' object is not an instance of 'Callable'",
                   explorer.check_consistency, 5)
    assert explorer.check_consistency()[1] == []


def report(db_dir, *args):
    return python("-m", "vossick_report", db_dir, "check", "--quiet", *args)


def test_report_tool_prints_consistent_or_the_problems_with_its_exit_status(db_dir):
    stored(db_dir)
    done = report(db_dir)
    assert (done.returncode, done.stdout.splitlines()[0]) == (0, "consistent")
    damage(db_dir, "types", [], [(b"T", u64(2))])
    done = report(db_dir, "--json")
    assert done.returncode == 1
    result = json.loads(done.stdout)
    assert (result["consistent"], result["problems"]) == (False, ['types: id 2 is missing under "T"'])
    assert result["counts"]["types entries"] == 9
    done = report(db_dir)
    assert done.stdout.splitlines()[:2] == ["1 problem found:", '  types: id 2 is missing under "T"']


@pytest.mark.parametrize("how", ["truncate", "zero-tail"])
def test_report_tool_survives_a_store_damaged_at_the_page_level(db_dir, how):
    stored(db_dir, random_lines(7, 3000))
    data = db_dir / "data.mdb"
    size = data.stat().st_size
    with open(data, "r+b") as f:
        if how == "truncate":
            f.truncate(size // 2)
        else:
            f.seek(size - 16 * 4096)
            f.write(bytes(16 * 4096))
    done = report(db_dir)
    assert done.returncode in (1, 3), done.stdout + done.stderr
    if done.returncode == 3:
        assert done.stdout.startswith("the store is damaged at the page level: ")
    else:
        assert "problem" in done.stdout
