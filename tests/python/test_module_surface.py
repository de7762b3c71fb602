"""The module's Python surface: classes, docstrings, signatures, binding errors."""
import gc
import inspect
import os
import threading

import pytest

import vossick_analysis as va

CLASSES = ["EstimatorPrecision", "HeapDumpExplorer", "ObjectRecord", "ObjectSummary", "TypeSummary"]

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
]


def test_module_docstring_and_class_order():
    assert va.__doc__ == "Python bindings for Vossick's heap-dump analysis primitives."
    public = [name for name in vars(va) if not name.startswith("__")]
    assert public == CLASSES


@pytest.mark.parametrize("name", CLASSES)
def test_class_flags(name):
    cls = getattr(va, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("name", ["EstimatorPrecision", "ObjectRecord", "ObjectSummary", "TypeSummary"])
def test_value_classes_have_no_constructor(name):
    with pytest.raises(TypeError):
        getattr(va, name)()


def test_explorer_docstring_and_signature():
    cls = va.HeapDumpExplorer
    assert cls.__doc__ == "LMDB-backed explorer for heap dumps produced by the Python dumper."
    assert cls.__text_signature__ == "(db_path)"


@pytest.mark.parametrize("name, signature, doc", METHODS)
def test_method_docstrings_and_signatures(name, signature, doc):
    method = getattr(va.HeapDumpExplorer, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature


def test_methods_are_registered_in_table_order():
    names = [name for name in vars(va.HeapDumpExplorer) if not name.startswith("__")]
    assert names == [m[0] for m in METHODS]


def test_value_class_docstrings():
    assert va.EstimatorPrecision.__doc__ == "Controls the speed and accuracy of subtree-size estimation."
    assert va.TypeSummary.__doc__ == "Aggregate counts and sizes for one type."
    assert va.ObjectSummary.__doc__ == "Lightweight object metadata used in lists and graph paths."
    assert va.ObjectRecord.__doc__ == "Full object record including references and referrers."


@pytest.mark.parametrize("value, name", list(enumerate(["NoEstimates", "Low", "Medium", "High", "Exact"])))
def test_precision_members(value, name):
    member = getattr(va.EstimatorPrecision, name)
    assert isinstance(member, va.EstimatorPrecision)
    assert int(member) == value
    assert repr(member) == str(member) == "EstimatorPrecision." + name
    assert member is getattr(va.EstimatorPrecision, name)


def test_precision_members_are_distinct_and_not_numbers():
    members = [va.EstimatorPrecision.NoEstimates, va.EstimatorPrecision.Low, va.EstimatorPrecision.Medium,
               va.EstimatorPrecision.High, va.EstimatorPrecision.Exact]
    assert len({id(m) for m in members}) == 5
    assert va.EstimatorPrecision.Low != va.EstimatorPrecision.Medium
    with pytest.raises(TypeError):
        [0, 1][va.EstimatorPrecision.Low]  # no __index__
    with pytest.raises(TypeError):
        va.EstimatorPrecision.Low < va.EstimatorPrecision.High


# ---- constructor ------------------------------------------------------------

def test_constructor_missing_directory_creates_nothing(tmp_path):
    path = tmp_path / "absent"
    with pytest.raises(RuntimeError, match=r"^No such file or directory \(os error 2\)$"):
        va.HeapDumpExplorer(str(path))
    assert not path.exists()


@pytest.mark.parametrize("value, message", [
    (b"/tmp/x", "argument 'db_path': 'bytes' object is not an instance of 'str'"),
    (None, "argument 'db_path': 'None' is not an instance of 'str'"),
    (7, "argument 'db_path': 'int' object is not an instance of 'str'"),
])
def test_constructor_rejects_non_str(value, message):
    with pytest.raises(TypeError) as info:
        va.HeapDumpExplorer(value)
    assert str(info.value) == message


def test_constructor_accepts_keyword_and_rejects_path_objects(db_dir):
    with pytest.raises(TypeError, match="argument 'db_path': 'PosixPath' object"):
        va.HeapDumpExplorer(db_dir)
    explorer = va.HeapDumpExplorer(db_path=str(db_dir))
    assert sorted(os.listdir(db_dir)) == ["data.mdb", "lock.mdb"]
    assert os.stat(db_dir / "data.mdb").st_mode & 0o777 == 0o600
    del explorer


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "HeapDumpExplorer.__new__() missing 1 required positional argument: 'db_path'"),
    (("a", "b"), {}, "HeapDumpExplorer.__new__() takes 1 positional arguments but 2 were given"),
    (("a",), {"db_path": "b"}, "HeapDumpExplorer.__new__() got multiple values for argument 'db_path'"),
    ((), {"path": "b"}, "HeapDumpExplorer.__new__() got an unexpected keyword argument 'path'"),
])
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        va.HeapDumpExplorer(*args, **kwargs)
    assert str(info.value) == message


ALREADY_OPEN = ("environment already open in this program; close it to be able to open it again "
                "with different options")


def test_second_explorer_on_same_directory_refused_until_first_is_gone(db_dir, tmp_path):
    first = va.HeapDumpExplorer(str(db_dir))
    with pytest.raises(RuntimeError) as info:
        va.HeapDumpExplorer(str(db_dir))
    assert str(info.value) == ALREADY_OPEN
    link = tmp_path / "link"
    link.symlink_to(db_dir)
    for alias in (str(link), str(db_dir) + "/../" + db_dir.name, str(db_dir) + "/"):
        with pytest.raises(RuntimeError, match="environment already open"):
            va.HeapDumpExplorer(alias)
    del first
    gc.collect()
    second = va.HeapDumpExplorer(str(link))
    assert second.get_type_summaries() == []


def test_failed_open_leaves_nothing_registered(tmp_path):
    not_a_dir = tmp_path / "file"
    not_a_dir.write_bytes(b"")
    for _ in range(2):
        with pytest.raises(RuntimeError):
            va.HeapDumpExplorer(str(not_a_dir))


def test_reopening_keeps_data(db_dir):
    from conftest import line

    explorer = va.HeapDumpExplorer(str(db_dir))
    explorer.import_lines([line(1, size=10)], va.EstimatorPrecision.NoEstimates)
    del explorer
    gc.collect()
    explorer = va.HeapDumpExplorer(str(db_dir))
    assert explorer.get_object(1).size == 10


# ---- the method frame --------------------------------------------------------

@pytest.mark.parametrize("call, error, message", [
    (lambda e: e.get_object(), TypeError,
     "HeapDumpExplorer.get_object() missing 1 required positional argument: 'obj_id'"),
    (lambda e: e.get_object(1, 2), TypeError,
     "HeapDumpExplorer.get_object() takes 1 positional arguments but 2 were given"),
    (lambda e: e.get_objects_by_type(), TypeError,
     "HeapDumpExplorer.get_objects_by_type() missing 2 required positional arguments: 'typename' and 'page'"),
    (lambda e: e.get_objects_by_type_ordered_by_size(), TypeError,
     "HeapDumpExplorer.get_objects_by_type_ordered_by_size() missing 3 required positional arguments: "
     "'type', 'subtree_size' and 'page'"),
    (lambda e: e.get_object(1, obj_id=1), TypeError,
     "HeapDumpExplorer.get_object() got multiple values for argument 'obj_id'"),
    (lambda e: e.get_object(id=1), TypeError,
     "HeapDumpExplorer.get_object() got an unexpected keyword argument 'id'"),
    (lambda e: e.get_object("1"), TypeError, "argument 'obj_id': 'str' object cannot be interpreted as an integer"),
    (lambda e: e.get_object(1.0), TypeError, "argument 'obj_id': 'float' object cannot be interpreted as an integer"),
    (lambda e: e.get_count_for_type(b"x"), TypeError, "argument 'typename': 'bytes' object is not an instance of 'str'"),
    (lambda e: e.get_objects_by_type_ordered_by_size("x", 1, None), TypeError,
     "argument 'subtree_size': 'int' object is not an instance of 'bool'"),
    (lambda e: e.import_lines([], 2), TypeError,
     "argument 'estimator_precision': 'int' object is not an instance of 'EstimatorPrecision'"),
])
def test_binding_and_conversion_errors(explorer, call, error, message):
    with pytest.raises(error) as info:
        call(explorer)
    assert str(info.value) == message


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
def test_out_of_range_ids_raise_unprefixed_overflow(explorer, value):
    with pytest.raises(OverflowError) as info:
        explorer.get_object(value)
    assert "obj_id" not in str(info.value)


def test_keyword_arguments_bind_by_name(make_explorer):
    from conftest import line

    explorer = make_explorer([line(1, "T"), line(2, "T")])
    assert [s.id for s in explorer.get_objects_by_type(page=None, typename="T")] == [1, 2]
    assert explorer.get_object(obj_id=2).id == 2


def test_no_argument_method_rejects_arguments(explorer):
    with pytest.raises(TypeError):
        explorer.get_type_summaries(1)


def test_index_objects_are_accepted_as_ids(make_explorer):
    from conftest import line

    class Index:
        def __index__(self):
            return 1

    explorer = make_explorer([line(1)])
    assert explorer.get_object(Index()).id == 1


def test_precision_members_created_once_across_threads():
    seen = []
    barrier = threading.Barrier(8)

    def worker():
        barrier.wait()
        seen.append(va.EstimatorPrecision.High)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(member is va.EstimatorPrecision.High for member in seen)


def test_signature_is_introspectable():
    sig = inspect.signature(va.HeapDumpExplorer.get_objects_by_type_ordered_by_size)
    assert list(sig.parameters) == ["self", "type", "subtree_size", "page"]
