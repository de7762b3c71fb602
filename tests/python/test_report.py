"""The report tool over a real dump: import with a progress bar, then every command
as text with aligned columns and as --json."""

import io
import json
import subprocess
import sys
import textwrap

import pytest

from vossick_report import format_size, render_table, with_progress
from vossick_report.cli import main
from conftest import python

PROGRAM = textwrap.dedent(
    """
    import sys
    import vossick_dump

    class Cache:
        def __init__(self):
            self.entries = {}

    class Entry:
        def __init__(self, key, cache):
            self.key = key
            self.payload = bytearray(1000 + key)
            self.cache = cache  # back reference: a cycle through the cache

    cache = Cache()
    for key in range(200):
        cache.entries[key] = Entry(key, cache)
    vossick_dump.dump_to_path(sys.argv[1], progress=False)
    """
)


@pytest.fixture(scope="module")
def imported(tmp_path_factory):
    """(db_dir, import stderr, import stdout) of a real dump imported with Exact sizes."""
    work = tmp_path_factory.mktemp("report")
    (work / "program.py").write_text(PROGRAM)
    subprocess.run([sys.executable, str(work / "program.py"), str(work / "heap.jsonl")], check=True, timeout=60)
    done = python("-m", "vossick_report", work / "db", "import", work / "heap.jsonl", "--precision", "exact", "--json")
    assert done.returncode == 0, done.stderr
    return str(work / "db"), done.stderr, json.loads(done.stdout)


def run(capsys, *args, as_json=False):
    """The command's output: parsed JSON (the command must succeed), or (status, stdout, stderr)."""
    status = main(list(args) + ["--json"] * as_json)
    out, err = capsys.readouterr()
    if as_json:
        assert status == 0, err
        return json.loads(out)
    return status, out, err


def assert_aligned(table):
    """Every row of a table has its column gaps where the rule line has them."""
    lines = table.splitlines()
    assert set(lines[1]) <= {"-", " "}
    gaps = [i for i, c in enumerate(lines[1]) if c == " "]
    for row in lines[:1] + lines[2:]:
        assert all(i >= len(row) or row[i] == " " for i in gaps), row


def test_import_and_types(imported, capsys):
    db, stderr, result = imported
    assert "100%" in stderr and "lines" in stderr and result["precision"] == "exact" and result["objects"] > 600
    rows = run(capsys, db, "types", "--limit", "0", as_json=True)
    by_type = {r["type"]: r for r in rows}
    assert by_type["__main__.Entry"]["count"] == 200 and by_type["builtins.bytearray"]["count"] >= 200
    assert [r["total_size"] for r in rows] == sorted((r["total_size"] for r in rows), reverse=True)
    assert sum(r["count"] for r in rows) == result["objects"]
    status, out, _ = run(capsys, db, "types", "--limit", "3")
    table, footer = out.split("\n\n")
    assert status == 0 and len(table.splitlines()) == 2 + 3 and table.splitlines()[2].startswith(rows[0]["type"])
    assert_aligned(table)
    assert "KiB" in table and "types not shown" in footer


@pytest.mark.parametrize("args, field", [(["--by", "size"], "size"), (["--by", "subtree"], "subtree_size"),
                                         ([], "retained_size"), (["--type", "builtins.bytearray"], "retained_size")])
def test_largest_objects(imported, capsys, args, field):
    rows = run(capsys, imported[0], "largest", *args, "--limit", "10", as_json=True)
    assert len(rows) == 10 and [r[field] for r in rows] == sorted((r[field] for r in rows), reverse=True)
    if "--type" in args:
        assert {r["type"] for r in rows} == {"builtins.bytearray"} and rows[0]["size"] >= 1000 + 199
    assert all(r["retained_size"] is not None for r in rows)  # computed by the import
    status, out, _ = run(capsys, imported[0], "largest", *args, "--limit", "10")
    assert status == 0 and len(out.splitlines()) == 12
    assert_aligned(out)


def test_object_path_and_common(imported, capsys):
    db = imported[0]
    (cache,) = run(capsys, db, "largest", "--type", "__main__.Cache", "--limit", "1", as_json=True)
    (payload,) = run(capsys, db, "largest", "--type", "builtins.bytearray", "--limit", "1", as_json=True)
    record = run(capsys, db, "object", str(cache["id"]), as_json=True)
    # Every entry points back at the cache, through its own attribute dict or directly.
    assert (record["id"], record["type"]) == (cache["id"], "__main__.Cache") and len(record["referrers"]) >= 200
    status, out, _ = run(capsys, db, "object", hex(cache["id"]), "--limit", "5")
    assert status == 0 and out.split()[:2] == ["id", "type"]
    assert f"referrers ({len(record['referrers']):,}, {len(record['referrers']) - 5:,} not shown)" in out
    for block in out.split("\n\n"):  # the object, its referrers, its references, its dominator chain
        assert_aligned("\n".join(line for line in block.splitlines() if not line.startswith(("refer", "dominator"))))
    path = run(capsys, db, "path", str(cache["id"]), str(payload["id"]), as_json=True)
    assert path[0]["id"] == cache["id"] and path[-1]["id"] == payload["id"]
    status, out, _ = run(capsys, db, "path", str(cache["id"]), str(payload["id"]))
    chain, table = out.split("\n\n")  # the labelled chain, then the table
    assert status == 0 and table.splitlines()[0].split()[:3] == ["step", "label", "id"]
    assert len(table.splitlines()) == 2 + len(path) and chain.count(" → ") == len(path) - 1
    # Avoiding the last hop before the payload leaves no other chain.
    ends = str(cache["id"]), str(payload["id"])
    assert run(capsys, db, "path", *ends, "--avoid", str(path[-2]["id"]), as_json=True) is None
    # The cache reaches the payload, so the payload's reach is what both share.
    assert run(capsys, db, "common", str(cache["id"]), str(payload["id"]), as_json=True)["id"] == payload["id"]


def test_errors_are_one_line_with_their_notes_and_status_1(imported, tmp_path, capsys):
    dump = tmp_path / "heap.jsonl"
    dump.write_bytes(b'{"id":1,"type":"T","references":[],"size":8}\n\n')  # ends in two newlines
    for args, message in [([imported[0], "object", "1"], "no object with id 1\n"),
                          ([imported[0], "path", "1", "2"], "Start ID 1 not found in database\n"),
                          ([imported[0], "dominators", "1"], "no object with id 1\n"),
                          ([str(tmp_path / "db"), "import", str(dump), "--quiet"],
                           "EOF while parsing a value at line 2 column 0\n  while importing line 2 of the input\n")]:
        assert run(capsys, *args) == (1, "", f"vossick_report: error: {message}")
    status, _, err = run(capsys, str(tmp_path / "nothing"), "types")
    assert status == 1 and "no database in" in err and not (tmp_path / "nothing").exists()


def test_dominators_browse_the_tree_one_level_at_a_time(imported, capsys):
    db = imported[0]
    top = run(capsys, db, "dominators", "--limit", "0", as_json=True)
    assert top["dominator_chain"] == [] and top["dominated"]
    retained = [r["retained_size"] for r in top["dominated"]]
    assert retained == sorted(retained, reverse=True)
    # The cache keeps its 200 entries alive alone: they hang below it, and what it
    # retains is its own size plus what its immediate dominees retain.
    (cache,) = run(capsys, db, "largest", "--type", "__main__.Cache", "--limit", "1", as_json=True)
    level = run(capsys, db, "dominators", str(cache["id"]), "--limit", "0", as_json=True)
    assert level["dominator_chain"][-1]["id"] == cache["id"]
    assert cache["retained_size"] == cache["size"] + sum(r["retained_size"] for r in level["dominated"])
    assert cache["retained_size"] > 200 * 1000
    record = run(capsys, db, "object", str(cache["id"]), as_json=True)
    assert record["retained_size"] == cache["retained_size"] and record["dominator_chain"] == level["dominator_chain"]
    status, out, _ = run(capsys, db, "dominators", "--limit", "3")
    assert f"virtual root (no single object keeps them alive): {len(top['dominated']):,} objects (" in out
    status, out, _ = run(capsys, db, "object", str(cache["id"]))
    assert status == 0 and "dominator chain" in out and "retained" in out.splitlines()[0]


def test_import_without_retained_sizes(tmp_path, capsys):
    dump = tmp_path / "heap.jsonl"
    dump.write_bytes(b'{"id":1,"type":"T","references":[],"size":8}\n')
    db = str(tmp_path / "db")
    assert run(capsys, db, "import", str(dump), "--no-retained", "--quiet", as_json=True)["retained_seconds"] is None
    assert run(capsys, db, "largest", as_json=True)[0]["retained_size"] is None  # by direct size instead
    for args in (["largest", "--by", "retained"], ["dominators"]):
        status, _, err = run(capsys, db, *args)
        assert status == 1 and "no retained sizes in this database" in err


@pytest.mark.parametrize("total", [None, 60, "file"])
def test_sizes_tables_and_progress_are_formatted_for_reading(tmp_path, total):
    sizes = [None, 0, 1023, 1024, 1536, 2**20 - 1, 2**20, 2**64 - 1]
    assert [format_size(s) for s in sizes] == ["-", "0 B", "1023 B", "1.0 KiB", "1.5 KiB", "1024.0 KiB", "1.0 MiB",
                                               "16.0 EiB"]
    table = render_table(["name", "n"], [["a", 1], ["long name", 1000]], [False, True])
    assert table.splitlines() == ["name          n", "---------  ----", "a             1", "long name  1000"]
    lines, stream = [b"x" * 9 + b"\n"] * 6, io.StringIO()
    if total == "file":  # the total is the size of a binary file
        (tmp_path / "lines").write_bytes(b"".join(lines))
        with open(tmp_path / "lines", "rb") as f:
            assert list(with_progress(f, stream=stream)) == lines
        assert "60 B / 60 B" in stream.getvalue()
    else:
        assert list(with_progress(lines, total_bytes=total, stream=stream)) == lines
    report = stream.getvalue()
    assert "6 lines" in report and report.endswith("\n") and ("100%" in report) == (total is not None)
