"""import_lines: what it stores, all-or-nothing failures, and concurrency."""
import gc
import threading

import pytest

from conftest import BAD_VALSIZE, NO, line, read_lmdb


def stored_primary(explorer, db_dir):
    """Closes the explorer and returns primary's raw values."""
    del explorer
    gc.collect()
    return [value for _, value in read_lmdb(db_dir, ["primary"], primary=dict(integerkey=True))["primary"]]


def test_empty_import_commits_and_returns_none(explorer):
    assert explorer.import_lines([], NO) is None
    assert explorer.get_type_summaries() == []


@pytest.mark.parametrize("lines, stored", [
    ([b'  {"size": 232, "module": "x", "references": [3, 3, 9], "type": "builtins.dict", "id": 7}  \n',
      b'{"id":8,"type":"a\\u00e9/\\"","references":[],"value":"\\t\\u0001","size":1,"subtree_size":5}'],
     [b'{"id":7,"type":"builtins.dict","references":[3,3,9],"value":null,"size":232,"subtree_size":null}',
      '{"id":8,"type":"a\u00e9/\\"","references":[],"value":"\\t\\u0001","size":1,"subtree_size":5}'.encode()]),
    # A trailing newline and an explicit null value make no difference.
    ([b'{"id":1,"type":"T","references":[],"value":null,"size":1}\n'],
     [b'{"id":1,"type":"T","references":[],"value":null,"size":1,"subtree_size":null}']),
])
def test_records_are_stored_in_canonical_form(explorer, db_dir, lines, stored):
    explorer.import_lines(lines, NO)
    assert stored_primary(explorer, db_dir) == stored


def test_accepts_iterables_files_and_bytes_subclasses_and_calls_accumulate(explorer, tmp_path):
    class Line(bytes):
        pass

    dump = tmp_path / "dump.jsonl"
    dump.write_bytes(line(3, "T", size=2) + line(4))
    explorer.import_lines((line(1, "T", size=10),), NO)
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


def notes(error):
    return getattr(error, "__notes__", [])


# (lines, error, message, the input line named in the error's note, or None)
@pytest.mark.parametrize("lines, error, message, note", [
    ([line(2), line(3), "text"], TypeError, "'str' object is not an instance of 'bytes'", 3),
    ([line(2), None], TypeError, "'None' is not an instance of 'bytes'", 2),
    ([line(2), bytearray(line(3))], TypeError, "'bytearray' object is not an instance of 'bytes'", 2),
    (failing_iterator(), KeyError, "'from the iterator'", None),
    (5, TypeError, "'int' object is not iterable", None),
    ([line(2), b""], RuntimeError, "EOF while parsing a value at line 1 column 0", 2),
    ([line(2), b"\n"], RuntimeError, "EOF while parsing a value at line 2 column 0", 2),
    ([line(2), b'{"id":3,"type":"T","references":[]}'], RuntimeError, "missing field `size` at line 1 column 35", 2),
    ([line(2), line(3) + line(4)], RuntimeError, r"trailing characters at line 2 column 1", 2),
    ([line(2), line(3, type="")], RuntimeError, BAD_VALSIZE, 2),
    ([line(2), line(3, type="x" * 512)], RuntimeError, BAD_VALSIZE, 2),
    ([line(2), line(3, references=[2**64])], RuntimeError, "invalid", 2),
    # Another record for a stored id, or for one earlier in the call; the earliest line fails.
    ([line(2), line(1, size=17)], RuntimeError, CONFLICT.format(1, 2), 2),
    ([line(2), line(3), line(2, "Q"), line(3, references=[2])], RuntimeError, CONFLICT.format(2, 3), 3),
    ([line(1, value="x"), b""], RuntimeError, CONFLICT.format(1, 1), 1),
])
def test_failures_leave_the_database_as_it_was(make_explorer, lines, error, message, note):
    explorer = make_explorer([line(1)])
    with pytest.raises(error) as info:
        explorer.import_lines(lines, NO)
    assert message in str(info.value)
    assert notes(info.value) == ([f"while importing line {note} of the input"] if note else [])
    assert explorer.get_object(1).size == 16 and explorer.get_object(2) is None
    assert explorer.get_count_for_type("All Types") == 1
    explorer.import_lines([line(2)], NO)  # still usable
    assert explorer.get_object(2) is not None


@pytest.mark.parametrize("bad, message", [
    (line(0, type=""), BAD_VALSIZE),
    (line(0, type="x" * 512), BAD_VALSIZE),
    (b'{"id":0}', "missing field `type` at line 1 column 8"),
])
@pytest.mark.parametrize("position", [0, 65535, 65536, 70000])
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
        yield line(2)

    with pytest.raises(RuntimeError) as info:
        explorer.import_lines(lines(), NO)
    assert message in str(info.value)
    assert notes(info.value) == [f"while importing line {position + 1:,} of the input"]
    assert read[-1] == position
    assert explorer.get_count_for_type("All Types") == 1 and explorer.get_object(2) is None


def test_precision_is_checked_before_lines_are_read(explorer):
    consumed = []

    def lines():
        consumed.append(1)
        yield line(1)

    with pytest.raises(TypeError):
        explorer.import_lines(lines(), 4)
    assert consumed == []


def test_type_name_at_the_key_limit_and_extreme_ids(explorer):
    top = 2**64 - 1
    explorer.import_lines([line(top, type="x" * 511, references=[0]), line(0, references=[top])], NO)
    assert explorer.get_object(top).type == "x" * 511
    assert explorer.get_object(top).references[0].id == 0
    assert [r.id for r in explorer.get_object(0).referrers] == [top]


def test_reverse_edges_of_dangling_and_repeated_references(explorer):
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
    assert explorer.get_count_for_type("T") == 1
    assert [s.id for s in explorer.get_objects_by_type("T", None)] == [1]
    assert [s.id for s in explorer.get_objects_by_type("All Types", None)] == [1, 2]
    assert explorer.get_count_for_type("All Types") == 2


# ---- concurrency --------------------------------------------------------------

def paused_lines(first, rest, inside, release):
    yield first
    inside.set()
    release.wait(10)
    yield from rest


def test_queries_during_an_import_see_the_last_commit_and_a_second_import_waits(explorer):
    explorer.import_lines([line(1)], NO)
    inside, release, errors = threading.Event(), threading.Event(), []

    def run(lines):
        try:
            explorer.import_lines(lines, NO)
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    first = threading.Thread(target=run, args=(paused_lines(line(2), [line(3)], inside, release),))
    first.start()
    assert inside.wait(10)
    during = (explorer.get_object(2), explorer.get_count_for_type("All Types"))
    second = threading.Thread(target=run, args=([line(4), line(5)],))
    second.start()
    second.join(0.5)
    assert second.is_alive()  # waits for the first import's write transaction
    release.set()
    first.join(10)
    second.join(10)
    assert not first.is_alive() and not second.is_alive() and errors == []
    assert during == (None, 1)
    assert explorer.get_count_for_type("All Types") == 5


def test_an_import_nested_in_the_iterator_is_refused(explorer):
    def lines():
        yield line(1)
        explorer.import_lines([line(2)], NO)
        yield line(3)

    with pytest.raises(RuntimeError, match="already open on this thread"):
        explorer.import_lines(lines(), NO)
    assert explorer.get_type_summaries() == []
