"""import_lines: what it stores, and all-or-nothing failures."""
import gc
import os
import re

import pytest

from conftest import BAD_VALSIZE, NO, line, read_lmdb

import vossick_analysis as va


@pytest.mark.parametrize("lines, stored", [  # members reordered, extra and missing; spacing; escapes
    ([b'  {"size": 232, "module": "x", "references": [3, 3, 9], "type": "builtins.dict", "id": 7}  \n',
      b'{"id":8,"type":"a\\u00e9/\\"","references":[],"value":"\\t\\u0001","size":1,"subtree_size":5}'],
     [b'{"id":7,"type":"builtins.dict","references":[3,3,9],"value":null,"size":232,"subtree_size":null}',
      '{"id":8,"type":"a\u00e9/\\"","references":[],"value":"\\t\\u0001","size":1,"subtree_size":5}'.encode()]),
])
def test_records_are_stored_in_canonical_form(explorer, db_dir, lines, stored):
    explorer.import_lines(lines, NO)
    del explorer
    gc.collect()
    assert [value for _, value in read_lmdb(db_dir, ["primary"])["primary"]] == stored


def test_accepts_iterables_files_and_bytes_subclasses_and_calls_accumulate(explorer, tmp_path):
    class Line(bytes):
        pass

    dump = tmp_path / "dump.jsonl"
    dump.write_bytes(line(3, "T", size=2) + line(4))
    assert explorer.import_lines((line(1, "T", size=10),), NO) is None
    explorer.import_lines((line(i, "T", size=30) for i in [2]), NO)
    with open(dump, "rb") as f:
        explorer.import_lines(f, NO)
    explorer.import_lines([Line(line(5))], NO)
    rows = dict(explorer.get_type_summaries())
    assert (rows["T"].count, rows["T"].total_size) == (3, 42)
    assert (rows["All Types"].count, rows["All Types"].total_size) == (5, 74)


def failing_iterator():
    yield line(2)
    raise KeyError("from the iterator")


CONFLICT = ("conflicting records for object id {}: line {} of the input differs from the record already imported "
            "for that id")


# (lines, error, message, the input line named in the error's note, or None)
@pytest.mark.parametrize("lines, error, message, note", [
    ([line(2), line(3), "text"], TypeError, "'str' object is not an instance of 'bytes'", 3),
    ([line(2), None], TypeError, "'None' is not an instance of 'bytes'", 2),
    (failing_iterator, KeyError, "'from the iterator'", None),
    (5, TypeError, "'int' object is not iterable", None),
    ([line(2), b"\n"], RuntimeError, "EOF while parsing a value at line 2 column 0", 2),
    ([line(2), b'{"id":3,"type":"T","references":[]}'], RuntimeError, "missing field `size` at line 1 column 35", 2),
    # Another record for a stored id, or for one earlier in the call; the earliest line fails.
    ([line(2), line(1, size=17)], RuntimeError, CONFLICT.format(1, 2), 2),
    ([line(2), line(3), line(2, "Q"), line(3, references=[2])], RuntimeError, CONFLICT.format(2, 3), 3),
])
@pytest.mark.parametrize("first", [[line(1)], [], [line(1)] * 2])  # into a filled and an empty environment
def test_failures_leave_the_database_as_it_was(make_explorer, db_dir, first, lines, error, message, note):
    lines = lines() if callable(lines) else lines
    if isinstance(lines, list) and not first:
        lines = [line(1)] + lines  # the line named in the error comes one later
        note = note and note + 1
        message = re.sub(r"line (\d) of", lambda m: f"line {int(m.group(1)) + 1} of", message)
    explorer = make_explorer(first)
    with pytest.raises(error) as info:
        explorer.import_lines(lines, NO)
    assert message in str(info.value)
    assert getattr(info.value, "__notes__", []) == ([f"while importing line {note} of the input"] if note else [])
    assert explorer.get_object(2) is None and explorer.get_count_for_type("All Types") == min(len(first), 1)
    assert sorted(os.listdir(db_dir)) == ["data.mdb", "lock.mdb"]
    explorer.import_lines([line(2)], NO)  # still usable
    assert explorer.get_object(2) is not None


@pytest.mark.parametrize("bad, message", [(line(0, type=""), BAD_VALSIZE),
                                          (b'{"id":0}', "missing field `type` at line 1 column 8")])
@pytest.mark.parametrize("position", [0, 65536])  # around a batch boundary
def test_a_bad_line_fails_before_any_later_line_is_read(make_explorer, bad, message, position):
    explorer = make_explorer([line(1)])
    read = []

    def lines():
        for i in range(position):
            read.append(i)
            yield line(i + 2, references=[i + 1])
        read.append(position)
        yield bad
        read.append("after")

    with pytest.raises(RuntimeError) as info:
        explorer.import_lines(lines(), NO)
    assert message in str(info.value)
    assert info.value.__notes__ == [f"while importing line {position + 1:,} of the input"]
    assert read[-1] == position and explorer.get_count_for_type("All Types") == 1


def test_precision_is_checked_before_lines_are_read(explorer):
    consumed = []
    with pytest.raises(TypeError):
        explorer.import_lines((consumed.append(1) or line(1) for _ in range(1)), 4)
    assert consumed == []


def test_keys_ids_and_references_at_their_limits(explorer):
    top = 2**64 - 1
    explorer.import_lines([line(top, type="x" * 511, references=[0]), line(0, references=[top])], NO)
    assert explorer.get_object(top).type == "x" * 511
    assert explorer.get_object(top).references[0].id == 0 and [r.id for r in explorer.get_object(0).referrers] == [top]
    explorer.import_lines([line(1, references=[5, 5, 5])], NO)
    with pytest.raises(RuntimeError, match="^error while decoding: Decoding error: Missing record for ID 5$"):
        explorer.get_object(1)
    explorer.import_lines([line(5)], NO)
    assert [r.id for r in explorer.get_object(5).referrers] == [1]
    assert [r.id for r in explorer.get_object(1).references] == [5, 5, 5]


def test_reimport_keeps_one_index_entry_and_all_types_name_shares_the_pseudo_type(explorer):
    explorer.import_lines([line(1, "T", size=8)], NO)
    # The same record again: other members, a subtree size and spacing make no conflict.
    explorer.import_lines([line(1, "T", size=8, subtree_size=9, extra=1), line(2, "All Types")], NO)
    assert [s.id for s in explorer.get_objects_by_type("T", None)] == [1] and explorer.get_count_for_type("T") == 1
    assert [s.id for s in explorer.get_objects_by_type("All Types", None)] == [1, 2]
    assert explorer.get_count_for_type("All Types") == 2


def test_an_import_inside_an_import_on_one_thread_is_refused(explorer):
    # (Imports and queries on other threads at the same time: test_robustness_concurrency.py.)
    explorer.import_lines([line(1)], NO)

    def nested():
        yield line(6)
        explorer.import_lines([line(7)], NO)

    with pytest.raises(RuntimeError, match="already open on this thread"):
        explorer.import_lines(nested(), NO)
    assert explorer.get_count_for_type("All Types") == 1
