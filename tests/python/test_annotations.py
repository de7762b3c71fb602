"""Labels and allocation sites of a real program's dump against its own lines; bad
annotations refused; the six databases unchanged by them; object, path, sites."""

import collections
import json
import re
import textwrap

import pytest

import vossick_analysis as va
from conftest import EXACT, NO, line, python, read_lmdb
from vossick_report.cli import main
from vossick_report.formatting import format_chain, shorten

PROGRAM = textwrap.dedent(
    """
    import sys, tracemalloc
    tracemalloc.start()
    import vossick_dump

    class Widget:
        def __init__(self):
            self.pixels = bytearray(70_000)
        def on_resize(self):
            pass

    cache = {f"https://example.org/{i}": bytes(200 + i) for i in range(40)}
    cache["caf\\u00e9" + "\\u20ac" * 100] = b""  # a label of multi-byte UTF-8, over 127 bytes
    listeners = [Widget().on_resize]

    def make_counter():
        hits = [0]
        def count():
            hits[0] += 1
        return count

    counter = make_counter()

    def main():
        pending = {"only-held-by-a-local": list(range(300))}
        vossick_dump.dump_to_path(sys.argv[1], progress=False)

    main()
    """
)


@pytest.fixture(scope="module")
def dumped(tmp_path_factory):
    """(lines by id, labelled database, database of the same lines without annotations)."""
    root = tmp_path_factory.mktemp("annotations")
    (root / "program.py").write_text(PROGRAM)
    done = python(root / "program.py", root / "heap.jsonl", timeout=600)
    assert done.returncode == 0, done.stderr
    raw = (root / "heap.jsonl").read_bytes().splitlines()
    records = {r["id"]: r for r in map(json.loads, raw)}
    plain = [json.dumps({k: v for k, v in r.items() if k not in ("labels", "allocated_at")}).encode() for r in
             records.values()]
    for name, lines in (("labelled", raw), ("plain", plain)):
        (root / name).mkdir()
        va.HeapDumpExplorer(str(root / name)).import_lines(lines, EXACT)
    return records, root / "labelled", root / "plain"


def labels_of(record):
    return record.get("labels") or [None] * len(record["references"])


def site_rows(records):
    sites = collections.defaultdict(lambda: [0, 0])
    for r in records.values():
        if r.get("allocated_at") is not None:
            sites[r["allocated_at"]][0] += 1
            sites[r["allocated_at"]][1] += r["size"]
    return sorted(((s, c, t) for s, (c, t) in sites.items()), key=lambda row: (-row[2], row[0]))


def test_labels_and_sites_are_the_lines_own(dumped):
    records, db, _ = dumped
    explorer = va.HeapDumpExplorer(str(db))
    for record in records.values():
        assert explorer.get_reference_labels(record["id"]) == labels_of(record)
        assert explorer.get_allocation_site(record["id"]) == record.get("allocated_at")
    assert explorer.get_reference_labels(max(records) + 1) is None
    everything = {label for r in records.values() for label in labels_of(r)}
    # A string key, a frame's local, a closure cell, a bound method's receiver.
    assert {"key of", "['https://example.org/7']", "pending", "cell_contents", "__self__"} <= everything
    assert any(label and "caf\u00e9\u20ac" in label and len(label.encode()) > 127 for label in everything)
    expected = site_rows(records)
    assert any(site.endswith("program.py:8") for site, _, _ in expected)  # Widget's pixels
    assert explorer.get_allocation_site_summaries(None) == expected
    assert explorer.get_allocation_site_summaries(0) == expected[:1000]


def test_the_six_databases_are_those_of_the_lines_without_annotations(dumped):
    _, labelled, plain = dumped
    assert read_lmdb(labelled) == read_lmdb(plain)


RECORD = dict(type="T", references=[1, 2])


@pytest.mark.parametrize("extra, message", [
    (dict(labels=["a"]), "labels has 1 entries for 2 references"),
    (dict(labels=["a", "\udc00"]), "lone leading surrogate in hex escape"),
    (dict(id=1, size=1), "conflicting records for object id 1: line 2 of the input differs from the record "
                         "already imported for that id"),  # only its labels differ
])
def test_malformed_annotations_fail_naming_the_line(tmp_path, extra, message):
    explorer = va.HeapDumpExplorer(str(tmp_path))
    explorer.import_lines([line(1, size=1, labels=["x", None], **RECORD)], NO)
    with pytest.raises(RuntimeError) as info:
        explorer.import_lines([line(3, **RECORD), line(**{"id": 2, "labels": [None, "b"], **RECORD, **extra})], NO)
    # The parser's position within the line is tested with the parser.
    assert re.fullmatch(re.escape(message) + r"( at line 1 column \d+)?", str(info.value))
    assert info.value.__notes__ == ["while importing line 2 of the input"]
    assert explorer.get_object(3) is None


def run(capsys, *args):
    assert main([*map(str, args)]) == 0
    return capsys.readouterr().out


def test_report_shows_labels_sites_and_the_labelled_path(dumped, capsys):
    records, db, _ = dumped
    cache = next(r for r in records.values() if "['https://example.org/7']" in labels_of(r))
    text = run(capsys, db, "object", cache["id"], "--limit", 0)
    for label in labels_of(cache):
        assert shorten(label, 30) in text
    pixels = next(r for r in records.values() if r["type"] == "builtins.bytearray" and r["size"] > 70_000)
    assert f"allocated at {pixels['allocated_at']}" in run(capsys, db, "object", pixels["id"])
    main_module = next(r for r in records.values() if r["type"] == "builtins.module" and r["value"] == "__main__")
    steps = json.loads(run(capsys, db, "path", main_module["id"], pixels["id"], "--json"))
    for holder, held in zip(steps, steps[1:]):
        record = records[holder["id"]]
        assert holder["label"] == labels_of(record)[record["references"].index(held["id"])]
    assert ".pixels" in [s["label"] for s in steps] and steps[-1]["label"] is None
    chain = format_chain([(s["type"], s["value"], s["label"]) for s in steps])
    assert chain.startswith("module __main__ ") and chain.endswith(" .pixels → bytearray")
    assert chain in run(capsys, db, "path", main_module["id"], pixels["id"])
    rows = json.loads(run(capsys, db, "sites", "--limit", 3, "--json"))
    assert [(r["site"], r["count"], r["total_size"]) for r in rows] == site_rows(records)[:3]
    assert rows[0]["site"] in run(capsys, db, "sites")
