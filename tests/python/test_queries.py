"""Object lookup and type listings."""
import pytest

import vossick_analysis as va
from conftest import BAD_VALSIZE, NO, ids, line, raises_exactly


# ---- get_object -----------------------------------------------------------------

def test_object_fields_and_expanded_neighbours(make_explorer):
    explorer = make_explorer([
        line(1, "builtins.dict", [5, 5, 9], size=232, value="d"),
        line(5, "builtins.str", [], size=50, value="five"),
        line(9, "builtins.int", [], size=28),
    ])
    assert explorer.get_object(42) is None
    record = explorer.get_object(1)
    assert isinstance(record, va.ObjectRecord)
    assert (record.id, record.type, record.value, record.size, record.subtree_size) == (
        1, "builtins.dict", "d", 232, None)
    assert ids(record.references) == [5, 5, 9]
    five = record.references[0]
    assert isinstance(five, va.ObjectSummary)
    assert (five.id, five.type, five.value, five.size, five.subtree_size) == (5, "builtins.str", "five", 50, None)
    assert record.referrers == []
    assert ids(explorer.get_object(5).referrers) == [1]


def test_attribute_reads_are_fresh_read_only_and_outlive_the_explorer(make_explorer):
    explorer = make_explorer([line(1, references=[2], value="v"), line(2)])
    record = explorer.get_object(1)
    summary = explorer.get_type_summaries()[0][1]
    del explorer
    assert record.value == "v"
    assert record.references is not record.references
    assert record.references[0] is not record.references[0]
    record.references.clear()
    assert ids(record.references) == [2]
    for obj, attribute in [(record, "id"), (record, "references"), (record.references[0], "size"), (summary, "count")]:
        with pytest.raises(AttributeError):
            setattr(obj, attribute, 5)


def test_self_reference_and_referrer_order(make_explorer):
    explorer = make_explorer([line(7, references=[7]), line(1, references=[7, 7]), line(256, references=[7]),
                              line(2, references=[7])])
    record = explorer.get_object(7)
    assert ids(record.references) == [7]
    # Referrers come back in the stored order of their little-endian bytes.
    assert ids(record.referrers) == [256, 1, 2, 7]


@pytest.mark.parametrize("lines, message", [
    ([line(1, references=[2, 3]), line(2)], "Missing record for ID 3"),
    ([line(1, references=[1, 9, 8]), line(4, references=[1])], "Missing record for ID 9"),
])
def test_dangling_neighbours_fail_the_whole_call(make_explorer, lines, message):
    explorer = make_explorer(lines)
    raises_exactly(RuntimeError, "error while decoding: Decoding error: " + message, explorer.get_object, 1)
    assert explorer.get_count_for_type("All Types") == len(lines)


# ---- type summaries, counts and pages ---------------------------------------------------

def test_fresh_database_lists_nothing(explorer):
    assert explorer.get_type_summaries() == []
    assert explorer.get_count_for_type("T") == 0
    assert explorer.get_page_count_for_type("T") == 0
    assert explorer.get_objects_by_type("T", None) == []
    assert explorer.get_objects_by_type_ordered_by_size("T", False, 0) == []


def test_type_summaries_rows_in_byte_order(make_explorer):
    explorer = make_explorer([line(1, "builtins.dict", size=10), line(2, "abc", size=3), line(3, "abc", size=4),
                              line(4, "Zed", size=1)])
    rows = explorer.get_type_summaries()
    assert [name for name, _ in rows] == ["All Types", "Zed", "abc", "builtins.dict"]
    assert all(isinstance(row, tuple) and isinstance(row[1], va.TypeSummary) for row in rows)
    as_dict = {name: (s.count, s.total_size) for name, s in rows}
    assert as_dict == {"All Types": (4, 18), "Zed": (1, 1), "abc": (2, 7), "builtins.dict": (1, 10)}


@pytest.mark.parametrize("count, pages", [(0, 0), (1, 1), (1000, 1), (1001, 2)])
def test_page_counts(make_explorer, count, pages):
    explorer = make_explorer([line(i, "T") for i in range(count)] + [line(10**6, "U")])
    assert explorer.get_count_for_type("T") == count
    assert explorer.get_page_count_for_type("T") == pages


def test_pages_of_a_type(make_explorer):
    explorer = make_explorer([line(i, "T") for i in range(2500)])
    assert explorer.get_page_count_for_type("T") == 3
    pages = [explorer.get_objects_by_type("T", p) for p in range(4)]
    assert [len(p) for p in pages] == [1000, 1000, 500, 0]
    everything = explorer.get_objects_by_type("T", None)
    assert ids(everything) == ids(pages[0] + pages[1] + pages[2])
    assert sorted(ids(everything)) == list(range(2500))
    assert explorer.get_objects_by_type("T", 18446744073709552) == []
    assert explorer.get_objects_by_type_ordered_by_size("T", False, 2**64 - 1) == []


def test_id_order_is_little_endian_byte_order(make_explorer):
    explorer = make_explorer([line(1, "T"), line(2, "T"), line(256, "T")])
    assert ids(explorer.get_objects_by_type("T", None)) == [256, 1, 2]
    assert ids(explorer.get_objects_by_type("All Types", 0)) == [256, 1, 2]


def test_ordered_by_direct_size(make_explorer):
    explorer = make_explorer([line(3, "T", size=16), line(9, "T", size=40), line(7, "T", size=40),
                              line(1, "U", size=99)])
    assert ids(explorer.get_objects_by_type_ordered_by_size("T", False, None)) == [7, 9, 3]
    assert ids(explorer.get_objects_by_type_ordered_by_size("All Types", False, 0)) == [1, 7, 9, 3]
    # Nothing estimated yet: the subtree-size index is empty.
    assert explorer.get_objects_by_type_ordered_by_size("T", True, None) == []


@pytest.mark.parametrize("call", [
    lambda e: e.get_count_for_type(""),
    lambda e: e.get_page_count_for_type(""),
    lambda e: e.get_objects_by_type("", None),
    lambda e: e.get_objects_by_type_ordered_by_size("", True, 0),
])
def test_empty_type_name_is_refused_by_lmdb(explorer, call):
    raises_exactly(RuntimeError, BAD_VALSIZE, call, explorer)
