"""Damaged databases: malformed bytes written behind the explorer's back.

Each case populates a fresh environment, then writes one kind of damage into
one of the six databases through LMDB's own Python binding in a child process,
and runs every query and an import. Every call either answers or raises
RuntimeError with the decoding error ("error while decoding: ...") or the text
its query defines; the calls the damage reaches must fail with the expected
text; nothing crashes, and the explorer keeps answering.
"""
import json
import subprocess
import sys
import textwrap

import pytest

import vossick_analysis as va
from conftest import line

pytest.importorskip("lmdb")

EXACT = va.EstimatorPrecision.Exact
DECODING = "error while decoding: "
# Texts the queries define for data that does not hang together.
QUERY_TEXTS = ("Start ID ", "End ID ", "Object ID ", "No subtree size in ", "Decoding error: Missing record for ID ")

# 1 -> 2 -> 3 -> 1 (a cycle), 4 -> 3, 5 alone; types T and U.
BASE = [
    line(1, "T", [2], size=10, value="one"),
    line(2, "T", [3], size=20),
    line(3, "U", [1], size=30),
    line(4, "U", [3], size=40),
    line(5, "T", [], size=50),
]

DB_FLAGS = {
    "primary": dict(integerkey=True),
    "referrers": dict(integerkey=True, dupsort=True, dupfixed=True),
    "types": dict(dupsort=True, dupfixed=True),
    "types_size_index": dict(dupsort=True, dupfixed=True),
    "types_subtree_size_index": dict(dupsort=True, dupfixed=True),
    "type_summaries": dict(),
}


def u64(n):
    return n.to_bytes(8, "little")


def size_entry(size, obj_id):
    return (size ^ 0xFFFFFFFFFFFFFFFF).to_bytes(8, "big") + obj_id.to_bytes(8, "big")


def record(obj_id, type_, refs, size, subtree_size=None):
    return json.dumps({"id": obj_id, "type": type_, "references": refs, "value": None, "size": size,
                       "subtree_size": subtree_size}, separators=(",", ":")).encode()


def damage(db_dir, database, puts):
    """Writes `puts` [(key, value)] into `database` from a child process."""
    script = textwrap.dedent("""
        import ast, sys, lmdb
        path, name, flags, puts = sys.argv[1], sys.argv[2], ast.literal_eval(sys.argv[3]), ast.literal_eval(sys.argv[4])
        env = lmdb.open(path, max_dbs=7, map_size=1 << 36)
        db = env.open_db(name.encode(), create=False, **flags)
        with env.begin(write=True) as txn:
            for key, value in puts:
                txn.put(key, value, db=db)
        env.close()
    """)
    subprocess.run([sys.executable, "-c", script, str(db_dir), database, repr(DB_FLAGS[database]), repr(puts)],
                   check=True, timeout=60)


# (case id, database, puts, {call name: expected error text or its start}, what fails in an Exact import
# then: nothing (None), its post-import pass ("pass"), or the import itself ("import"), since it rebuilds
# the type summaries from the size index before it commits)
CASES = [
    ("primary-not-json", "primary", [(u64(2), b'{"id":2,"type":"T","refer')],
     {"get_object 2": DECODING + "EOF while parsing a string", "get_object 1": DECODING,
      "objects T": DECODING, "path 1 3": DECODING}, "pass"),
    ("primary-lacks-references", "primary", [(u64(2), b'{"id":2,"type":"T","size":20}')],
     {"get_object 2": DECODING + "missing field `references`", "path 1 3": DECODING + "missing field `references`"},
     "pass"),
    ("primary-lacks-size", "primary", [(u64(3), b'{"id":3,"type":"U","references":[1]}')],
     {"get_object 3": DECODING + "missing field `size`", "objects All Types": DECODING + "missing field `size`"},
     "pass"),
    ("primary-wrong-types", "primary", [(u64(2), b'{"id":"2","type":null,"references":[3],"size":-1}')],
     {"get_object 2": DECODING + "invalid type: string", "by size T": DECODING}, "pass"),
    ("primary-invalid-utf8", "primary", [(u64(2), b'{"id":2,"type":"T\xff","references":[3],"size":20}')],
     {"get_object 2": DECODING + "invalid unicode code point", "objects T": DECODING}, "pass"),
    ("primary-empty-value", "primary", [(u64(5), b"")],
     {"get_object 5": DECODING + "EOF while parsing a value at line 1 column 0"}, "pass"),
    ("primary-trailing-bytes", "primary", [(u64(5), record(5, "T", [], 50) + b"\x00garbage")],
     {"get_object 5": DECODING + "trailing characters"}, "pass"),
    ("primary-deep-nesting", "primary", [(u64(5), b'{"id":5,"x":' + b"[" * 200 + b"]" * 200 + b"}")],
     {"get_object 5": DECODING + "recursion limit exceeded"}, "pass"),
    ("primary-id-differs-from-key", "primary", [(u64(4), record(44, "U", [3], 40))],
     {"path 4 2": DECODING + "Decoding error: Missing record for ID 44", "common 4 1": "No subtree size in 44"},
     "pass"),
    ("primary-dangling-reference", "primary", [(u64(5), record(5, "T", [999], 50, subtree_size=50))],
     {"get_object 5": DECODING + "Decoding error: Missing record for ID 999",
      "common 5 1": "Object ID 999 not found in database"}, None),
    ("referrers-short-id", "referrers", [(u64(5), b"\x01\x02\x03\x04")],
     {"get_object 5": DECODING + "Invalid byte length for object id: expected 8, got 4"}, None),
    ("referrers-unknown-id", "referrers", [(u64(5), u64(77))],
     {"get_object 5": DECODING + "Decoding error: Missing record for ID 77"}, None),
    ("types-short-id", "types", [(b"X", b"\x01\x02\x03")],
     {"objects X": DECODING + "Invalid byte length for object id: expected 8, got 3"}, None),
    ("types-unknown-id", "types", [(b"T", u64(1234))],
     {"objects T": DECODING + "Decoding error: Missing record for ID 1234"}, None),
    ("types-invalid-utf8-key", "types", [(b"\xc3\x28", u64(1))], {}, None),
    ("size-index-short-entry", "types_size_index", [(b"X", b"\x00" * 15)],
     {"by size X": DECODING + "Invalid byte length for SizeIndexEntry: expected 16, got 15"}, "import"),
    ("size-index-invalid-utf8-key", "types_size_index", [(b"\xe2\x82", size_entry(1, 1))], {}, "import"),
    ("size-index-unknown-id", "types_size_index", [(b"T", size_entry(7, 4321))],
     {"by size T": DECODING + "Decoding error: Missing record for ID 4321"}, None),
    ("subtree-index-long-entry", "types_subtree_size_index", [(b"X", b"\x00" * 17)],
     {"by subtree X": DECODING + "Invalid byte length for SizeIndexEntry: expected 16, got 17"}, None),
    ("summaries-short-value", "type_summaries", [(b"T", b"\x00" * 15)],
     {"summaries": DECODING + "Invalid byte length for TypeSummary: expected 16, got 15",
      "count T": DECODING + "Invalid byte length for TypeSummary: expected 16, got 15",
      "pages T": DECODING}, None),
    ("summaries-long-value", "type_summaries", [(b"U", b"\x00" * 17)],
     {"summaries": DECODING + "Invalid byte length for TypeSummary: expected 16, got 17"}, None),
    ("summaries-invalid-utf8-key", "type_summaries", [(b"\xff\xfe", b"\x00" * 16)],
     {"summaries": DECODING + "invalid utf-8 sequence of 1 bytes from index 0"}, None),
    ("summaries-truncated-utf8-key", "type_summaries", [(b"ab\xf0\x9f\x98", b"\x00" * 16)],
     {"summaries": DECODING + "incomplete utf-8 byte sequence from index 2"}, None),
]


def queries(explorer):
    """Every query, under a name the cases refer to."""
    calls = {"summaries": lambda: explorer.get_type_summaries()}
    for t in ("T", "U", "X", "All Types"):
        calls[f"count {t}"] = lambda t=t: explorer.get_count_for_type(t)
        calls[f"pages {t}"] = lambda t=t: explorer.get_page_count_for_type(t)
        calls[f"objects {t}"] = lambda t=t: explorer.get_objects_by_type(t, None)
        calls[f"page0 {t}"] = lambda t=t: explorer.get_objects_by_type(t, 0)
        calls[f"by size {t}"] = lambda t=t: explorer.get_objects_by_type_ordered_by_size(t, False, None)
        calls[f"by subtree {t}"] = lambda t=t: explorer.get_objects_by_type_ordered_by_size(t, True, 0)
    for i in (1, 2, 3, 4, 5, 44, 999):
        calls[f"get_object {i}"] = lambda i=i: explorer.get_object(i)
    for a, b in ((1, 3), (4, 2), (5, 5), (3, 44)):
        calls[f"path {a} {b}"] = lambda a=a, b=b: explorer.find_path_between_objects(a, b, frozenset())
    for a, b in ((5, 1), (4, 1), (1, 2), (2, 2)):
        calls[f"common {a} {b}"] = lambda a=a, b=b: explorer.find_largest_common_reachable_object(a, b)
    return calls


def outcome(call):
    """The result, or the RuntimeError's text; any other exception fails the test."""
    try:
        return ("ok", call())
    except RuntimeError as error:
        text = str(error)
        assert text.startswith(DECODING) or text.startswith(QUERY_TEXTS), text
        return ("error", text)


def check_expected(results, expected):
    for name, text in expected.items():
        kind, got = results[name]
        assert kind == "error" and got.startswith(text), f"{name}: {got!r}"


def imported_base(tmp_path):
    db_dir = tmp_path / "db"
    db_dir.mkdir()
    explorer = va.HeapDumpExplorer(str(db_dir))
    explorer.import_lines(BASE, EXACT)
    return db_dir, explorer


def results(explorer):
    return {name: outcome(call) for name, call in queries(explorer).items()}


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_damaged_database_gives_decoding_errors_and_stays_usable(tmp_path, case):
    _, database, puts, expected, fails = case
    db_dir, explorer = imported_base(tmp_path)
    damage(db_dir, database, puts)
    check_expected(results(explorer), expected)
    # An import of a new object: the import, or its post-import pass, either
    # succeeds or fails as a whole with the decoding error.
    failed = None
    try:
        explorer.import_lines([line(6, "V", [], size=60)], EXACT)
    except RuntimeError as error:
        failed = "pass" if getattr(error, "__notes__", None) else "import"
        assert str(error).startswith(DECODING), str(error)
    assert failed == fails
    # The explorer keeps answering: the new object is there unless the import
    # failed, estimated only when the pass went through, and the damage still
    # shows as before.
    new = explorer.get_object(6)
    assert (new and (new.type, new.subtree_size)) == {None: ("V", 60), "pass": ("V", None), "import": None}[fails]
    assert [s.id for s in explorer.get_objects_by_type("V", None)] == ([] if fails == "import" else [6])
    check_expected(results(explorer), {k: v for k, v in expected.items()
                                       if not k.startswith(("summaries", "count", "pages"))})


def test_healthy_base_answers_every_query(tmp_path):
    got = results(imported_base(tmp_path)[1])
    # Only the id that was never imported fails, with its query's text.
    assert {name: text for name, (kind, text) in got.items() if kind == "error"} == {
        "path 3 44": "End ID 44 not found in database"}
    # 1, 2 and 3 form one cycle, so they share the largest subtree size.
    assert got["common 4 1"][0] == "ok" and got["common 4 1"][1] in {1, 2, 3}
    assert got["common 5 1"] == ("ok", None)
