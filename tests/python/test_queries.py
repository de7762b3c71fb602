"""Object lookup and type listings."""
import pytest

import vossick_analysis as va
from conftest import BAD_VALSIZE, ids, line, raises_exactly


def test_object_fields_neighbours_and_their_order(make_explorer):
    explorer = make_explorer([line(1, "builtins.dict", [5, 5, 9], size=232, value="d"), line(5, "builtins.str", [5],
                              size=50, value="five"), line(9, "builtins.int", [], size=28), line(256, references=[5]),
                              line(2, references=[5])])
    assert explorer.get_object(42) is None
    record = explorer.get_object(1)
    assert isinstance(record, va.ObjectRecord) and isinstance(record.references[0], va.ObjectSummary)
    assert (record.id, record.type, record.value, record.size, record.subtree_size) == (1, "builtins.dict", "d", 232,
                                                                                       None)
    assert ids(record.references) == [5, 5, 9] and record.referrers == []
    five = explorer.get_object(5)
    assert (five.id, five.type, five.value, five.size, five.subtree_size) == (5, "builtins.str", "five", 50, None)
    # Referrers in the stored order of their little-endian bytes; a self reference is both.
    assert ids(five.referrers) == [256, 1, 2, 5] and ids(five.references) == [5]


def test_attribute_reads_are_fresh_read_only_and_outlive_the_explorer(make_explorer):
    explorer = make_explorer([line(1, references=[2], value="v"), line(2)])
    record = explorer.get_object(1)
    summary = explorer.get_type_summaries()[0][1]
    del explorer
    assert record.value == "v"
    assert record.references is not record.references and record.references[0] is not record.references[0]
    record.references.clear()
    assert ids(record.references) == [2]
    for obj, attribute in [(record, "id"), (record, "references"), (record.references[0], "size"), (summary, "count")]:
        with pytest.raises(AttributeError):
            setattr(obj, attribute, 5)


def test_dangling_neighbours_fail_the_whole_call(make_explorer):
    explorer = make_explorer([line(1, references=[1, 9, 8]), line(4, references=[1])])
    missing = "error while decoding: Decoding error: Missing record for ID 9"
    raises_exactly(RuntimeError, missing, explorer.get_object, 1)
    assert explorer.get_count_for_type("All Types") == 2


def test_type_summaries_counts_and_pages(make_explorer):
    assert make_explorer([]).get_type_summaries() == []
    explorer = make_explorer([line(1, "builtins.dict", size=10), line(2, "abc", size=3), line(3, "abc", size=4),
                              line(4, "Zed", size=1)] + [line(10 + i, "T") for i in range(2500)])
    rows = explorer.get_type_summaries()
    assert [name for name, _ in rows] == ["All Types", "T", "Zed", "abc", "builtins.dict"]  # byte order
    assert all(isinstance(row, tuple) and isinstance(row[1], va.TypeSummary) for row in rows)
    assert {name: (s.count, s.total_size) for name, s in rows} == {
        "All Types": (2504, 40018), "T": (2500, 40000), "Zed": (1, 1), "abc": (2, 7), "builtins.dict": (1, 10)}
    assert [explorer.get_page_count_for_type(t) for t in ("U", "Zed", "T")] == [0, 1, 3]
    assert explorer.get_count_for_type("U") == 0 and explorer.get_objects_by_type("U", None) == []
    pages = [explorer.get_objects_by_type("T", p) for p in range(4)]
    assert [len(p) for p in pages] == [1000, 1000, 500, 0]
    everything = explorer.get_objects_by_type("T", None)
    assert ids(everything) == ids(pages[0] + pages[1] + pages[2]) and sorted(ids(everything)) == list(range(10, 2510))
    assert explorer.get_objects_by_type("T", 18446744073709552) == []
    assert explorer.get_objects_by_type_ordered_by_size("T", False, 2**64 - 1) == []


@pytest.mark.parametrize("count, pages", [(1000, 1), (1001, 2)])
def test_page_count_boundaries(make_explorer, count, pages):
    assert make_explorer([line(i, "T") for i in range(count)]).get_page_count_for_type("T") == pages


def test_listings_in_id_order_and_by_size(make_explorer):
    explorer = make_explorer([line(1, "T", size=16), line(256, "T", size=40), line(2, "T", size=40),
                              line(7, "U", size=99)])
    assert ids(explorer.get_objects_by_type("T", None)) == [256, 1, 2]  # little-endian byte order
    assert ids(explorer.get_objects_by_type("All Types", 0)) == [256, 1, 2, 7]
    assert ids(explorer.get_objects_by_type_ordered_by_size("T", False, None)) == [2, 256, 1]
    assert ids(explorer.get_objects_by_type_ordered_by_size("All Types", False, 0)) == [7, 2, 256, 1]
    assert explorer.get_objects_by_type_ordered_by_size("T", True, None) == []  # nothing estimated yet


@pytest.mark.parametrize("call", [lambda e: e.get_count_for_type(""), lambda e: e.get_page_count_for_type(""),
                                  lambda e: e.get_objects_by_type("", None),
                                  lambda e: e.get_objects_by_type_ordered_by_size("", True, 0)])
def test_empty_type_name_is_refused_by_lmdb(explorer, call):
    raises_exactly(RuntimeError, BAD_VALSIZE, call, explorer)
