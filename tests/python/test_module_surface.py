"""The module's Python surface: classes, docstrings, signatures, binding errors."""
import gc
import inspect
import os
import threading

import pytest

import vossick_analysis as va
from conftest import NO, line, raises_exactly

CLASS_DOCS = {
    "EstimatorPrecision": "Controls the speed and accuracy of subtree-size estimation.",
    "HeapDumpExplorer": "LMDB-backed explorer for heap dumps produced by the Python dumper.",
    "ObjectRecord": "Full object record including references and referrers.",
    "ObjectSummary": "Lightweight object metadata used in lists and graph paths.",
    "TypeSummary": "Aggregate counts and sizes for one type.",
}

METHODS = [
    ("import_lines", "($self, lines, estimator_precision)",
     "Import JSONL heap records and build the requested secondary indexes."),
    ("get_object", "($self, obj_id)", "Return one object with expanded references and referrers."),
    ("get_type_summaries", "($self)", "Return summary rows for every known type."),
    ("get_count_for_type", "($self, typename)", "Return the number of objects recorded for one type."),
    ("get_page_count_for_type", "($self, typename)", "Return the number of result pages for one type."),
    ("get_objects_by_type", "($self, typename, page)", "Return one page of objects for a type in id order."),
    ("get_objects_by_type_ordered_by_size", "($self, type, subtree_size, page)",
     "Return one page of objects ordered by direct size or estimated subtree size."),
    ("find_path_between_objects", "($self, start_id, end_id, avoiding_ids)",
     "Find one reference path between two objects, optionally skipping specific IDs."),
    ("find_largest_common_reachable_object", "($self, obj_id1, obj_id2)",
     "Find the largest object reachable from both of a pair of objects"),
    ("check_consistency", "($self, progress=None)",
     "Check that the stored databases agree with each other; return (counts, problems)."),
]


def test_module_docstring_and_member_order():
    assert va.__doc__ == "Python bindings for Vossick's heap-dump analysis primitives."
    assert [name for name in vars(va) if not name.startswith("__")] == list(CLASS_DOCS)
    assert [name for name in vars(va.HeapDumpExplorer) if not name.startswith("__")] == [m[0] for m in METHODS]
    assert va.HeapDumpExplorer.__text_signature__ == "(db_path)"
    sig = inspect.signature(va.HeapDumpExplorer.get_objects_by_type_ordered_by_size)
    assert list(sig.parameters) == ["self", "type", "subtree_size", "page"]


@pytest.mark.parametrize("name, doc", CLASS_DOCS.items())
def test_class_flags_and_docstrings(name, doc):
    cls = getattr(va, name)
    assert cls.__doc__ == doc
    assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("builtins", name, (object,))
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if name != "HeapDumpExplorer":
        with pytest.raises(TypeError):  # value classes have no constructor
            cls()


@pytest.mark.parametrize("name, signature, doc", METHODS)
def test_method_docstrings_and_signatures(name, signature, doc):
    method = getattr(va.HeapDumpExplorer, name)
    assert (method.__doc__, method.__text_signature__) == (doc, signature)


@pytest.mark.parametrize("value, name", list(enumerate(["NoEstimates", "Low", "Medium", "High", "Exact"])))
def test_precision_members(value, name):
    member = getattr(va.EstimatorPrecision, name)
    assert isinstance(member, va.EstimatorPrecision)
    assert int(member) == value
    assert repr(member) == str(member) == "EstimatorPrecision." + name
    assert member is getattr(va.EstimatorPrecision, name)


def test_precision_members_are_distinct_not_numbers_and_created_once_across_threads():
    P = va.EstimatorPrecision
    assert len({id(m) for m in (P.NoEstimates, P.Low, P.Medium, P.High, P.Exact)}) == 5
    assert P.Low != P.Medium
    with pytest.raises(TypeError):
        [0, 1][P.Low]  # no __index__
    with pytest.raises(TypeError):
        P.Low < P.High
    seen, barrier = [], threading.Barrier(8)

    def worker():
        barrier.wait()
        seen.append(va.EstimatorPrecision.High)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(seen) == 8 and all(member is va.EstimatorPrecision.High for member in seen)


# ---- constructor ------------------------------------------------------------

def test_constructor_missing_directory_creates_nothing(tmp_path):
    path = tmp_path / "absent"
    raises_exactly(RuntimeError, "No such file or directory (os error 2)", va.HeapDumpExplorer, str(path))
    assert not path.exists()
    not_a_dir = tmp_path / "file"
    not_a_dir.write_bytes(b"")
    for _ in range(2):  # a failed open leaves nothing registered
        with pytest.raises(RuntimeError):
            va.HeapDumpExplorer(str(not_a_dir))


def test_constructor_keyword_file_modes_and_reopening(db_dir):
    explorer = va.HeapDumpExplorer(db_path=str(db_dir))
    assert sorted(os.listdir(db_dir)) == ["data.mdb", "lock.mdb"]
    assert os.stat(db_dir / "data.mdb").st_mode & 0o777 == 0o600
    explorer.import_lines([line(1, size=10)], NO)
    del explorer
    gc.collect()
    assert va.HeapDumpExplorer(str(db_dir)).get_object(1).size == 10


def test_a_path_with_a_null_byte_is_refused_as_os_functions_refuse_it(db_dir):
    raises_exactly(ValueError, "embedded null byte", va.HeapDumpExplorer, str(db_dir) + "\0/elsewhere")
    assert os.listdir(db_dir) == []


def test_second_explorer_on_same_directory_refused_until_first_is_gone(db_dir, tmp_path):
    first = va.HeapDumpExplorer(str(db_dir))
    raises_exactly(RuntimeError, "environment already open in this program; close it to be able to open it again "
                   "with different options", va.HeapDumpExplorer, str(db_dir))
    link = tmp_path / "link"
    link.symlink_to(db_dir)
    for alias in (str(link), str(db_dir) + "/../" + db_dir.name, str(db_dir) + "/"):
        with pytest.raises(RuntimeError, match="environment already open"):
            va.HeapDumpExplorer(alias)
    del first
    gc.collect()
    assert va.HeapDumpExplorer(str(link)).get_type_summaries() == []


# ---- the method frame --------------------------------------------------------

E = "HeapDumpExplorer."


@pytest.mark.parametrize("call, message", [
    (lambda: va.HeapDumpExplorer(b"/tmp/x"), "argument 'db_path': 'bytes' object is not an instance of 'str'"),
    (lambda: va.HeapDumpExplorer(None), "argument 'db_path': 'None' is not an instance of 'str'"),
    (lambda: va.HeapDumpExplorer(7), "argument 'db_path': 'int' object is not an instance of 'str'"),
    (lambda: va.HeapDumpExplorer(__import__("pathlib").Path("/tmp")),
     "argument 'db_path': 'PosixPath' object is not an instance of 'str'"),
    (lambda: va.HeapDumpExplorer(), E + "__new__() missing 1 required positional argument: 'db_path'"),
    (lambda: va.HeapDumpExplorer("a", "b"), E + "__new__() takes 1 positional arguments but 2 were given"),
    (lambda: va.HeapDumpExplorer("a", db_path="b"), E + "__new__() got multiple values for argument 'db_path'"),
    (lambda: va.HeapDumpExplorer(path="b"), E + "__new__() got an unexpected keyword argument 'path'"),
])
def test_constructor_binding_errors(call, message):
    raises_exactly(TypeError, message, call)


@pytest.mark.parametrize("call, message", [
    (lambda e: e.get_object(), E + "get_object() missing 1 required positional argument: 'obj_id'"),
    (lambda e: e.get_object(1, 2), E + "get_object() takes 1 positional arguments but 2 were given"),
    (lambda e: e.get_objects_by_type(),
     E + "get_objects_by_type() missing 2 required positional arguments: 'typename' and 'page'"),
    (lambda e: e.get_objects_by_type_ordered_by_size(), E + "get_objects_by_type_ordered_by_size() missing 3 "
     "required positional arguments: 'type', 'subtree_size' and 'page'"),
    (lambda e: e.get_object(1, obj_id=1), E + "get_object() got multiple values for argument 'obj_id'"),
    (lambda e: e.get_object(id=1), E + "get_object() got an unexpected keyword argument 'id'"),
    (lambda e: e.get_type_summaries(1), E + "get_type_summaries() takes no arguments (1 given)"),
    (lambda e: e.get_object("1"), "argument 'obj_id': 'str' object is not an instance of 'int'"),
    (lambda e: e.get_object(1.0), "argument 'obj_id': 'float' object is not an instance of 'int'"),
    (lambda e: e.get_count_for_type(b"x"), "argument 'typename': 'bytes' object is not an instance of 'str'"),
    (lambda e: e.get_objects_by_type(1, None), "argument 'typename': 'int' object is not an instance of 'str'"),
    (lambda e: e.get_objects_by_type("T", "0"), "argument 'page': 'str' object is not an instance of 'int'"),
    (lambda e: e.get_objects_by_type_ordered_by_size(None, True, 0),
     "argument 'type': 'None' is not an instance of 'str'"),
    (lambda e: e.get_objects_by_type_ordered_by_size("T", None, 0),
     "argument 'subtree_size': 'None' is not an instance of 'bool'"),
    (lambda e: e.get_objects_by_type_ordered_by_size("x", 1, None),
     "argument 'subtree_size': 'int' object is not an instance of 'bool'"),
    (lambda e: e.import_lines([], 2),
     "argument 'estimator_precision': 'int' object is not an instance of 'EstimatorPrecision'"),
])
def test_binding_and_conversion_errors(explorer, call, message):
    raises_exactly(TypeError, message, call, explorer)


@pytest.mark.parametrize("call", [
    lambda e: e.get_object(-1), lambda e: e.get_object(2**64), lambda e: e.get_object(-(2**70)),
    lambda e: e.get_objects_by_type("T", -1),
    lambda e: e.find_path_between_objects(-1, 2, set()), lambda e: e.find_path_between_objects(1, 2**64, set()),
    lambda e: e.find_path_between_objects(1, 2, {-1}), lambda e: e.find_path_between_objects(1, 2, {2**64}),
    lambda e: e.find_largest_common_reachable_object(-1, 2),
    lambda e: e.find_largest_common_reachable_object(1, 2**64),
])
def test_out_of_range_ids_raise_unprefixed_overflow(explorer, call):
    with pytest.raises(OverflowError) as info:
        call(explorer)
    assert "argument" not in str(info.value)


def test_keyword_and_index_arguments(make_explorer):
    class Index:
        def __index__(self):
            return 1

    explorer = make_explorer([line(1, "T"), line(2, "T")])
    assert [s.id for s in explorer.get_objects_by_type(page=None, typename="T")] == [1, 2]
    assert explorer.get_object(obj_id=2).id == 2
    assert explorer.get_object(Index()).id == 1
