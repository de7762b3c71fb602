"""The module's Python surface: classes, the precision members, the constructor,
and the binding and conversion errors of the shared method frame."""
import gc
import os
import threading

import pytest

import vossick_analysis as va
from conftest import NO, line, raises_exactly

CLASSES = ["EstimatorPrecision", "HeapDumpExplorer", "ObjectRecord", "ObjectSummary", "TypeSummary"]


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_without_instance_dicts_and_results_have_no_constructor(name):
    cls = getattr(va, name)
    assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("builtins", name, (object,))
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if name != "HeapDumpExplorer":
        with pytest.raises(TypeError):
            cls()


def test_precision_members_are_single_objects_not_numbers():
    names = ["NoEstimates", "Low", "Medium", "High", "Exact"]
    members = [getattr(va.EstimatorPrecision, name) for name in names]
    assert [int(m) for m in members] == [0, 1, 2, 3, 4]
    assert [repr(m) for m in members] == [str(m) for m in members] == ["EstimatorPrecision." + n for n in names]
    assert len({id(m) for m in members}) == 5 and va.EstimatorPrecision.Low != va.EstimatorPrecision.Medium
    for misuse in (lambda: [0, 1][va.EstimatorPrecision.Low], lambda: va.EstimatorPrecision.Low < members[3]):
        with pytest.raises(TypeError):  # no __index__, no order
            misuse()
    seen, barrier = [], threading.Barrier(8)  # the first uses, on eight threads at once, see one object
    threads = [threading.Thread(target=lambda: (barrier.wait(), seen.append(va.EstimatorPrecision.High)))
               for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(seen) == 8 and all(member is va.EstimatorPrecision.High for member in seen)


def test_constructor_opens_existing_directories_only_once_per_process(db_dir, tmp_path):
    absent = str(tmp_path / "absent")
    raises_exactly(RuntimeError, "No such file or directory (os error 2)", va.HeapDumpExplorer, absent)
    raises_exactly(ValueError, "embedded null byte", va.HeapDumpExplorer, str(db_dir) + "\0/elsewhere")
    assert not (tmp_path / "absent").exists() and os.listdir(db_dir) == []
    old_umask = os.umask(0)
    try:
        first = va.HeapDumpExplorer(db_path=str(db_dir))
        first.import_lines([line(1, size=10)], NO)
    finally:
        os.umask(old_umask)
    for name in ("data.mdb", "lock.mdb"):
        assert os.stat(db_dir / name).st_mode & 0o777 == 0o600
    link = tmp_path / "link"
    link.symlink_to(db_dir)
    for alias in (str(db_dir), str(link), str(db_dir) + "/../" + db_dir.name, str(db_dir) + "/"):
        raises_exactly(RuntimeError, "environment already open in this program; close it to be able to open it "
                       "again with different options", va.HeapDumpExplorer, alias)
    del first
    gc.collect()
    assert va.HeapDumpExplorer(str(link)).get_object(1).size == 10


E = "HeapDumpExplorer."


@pytest.mark.parametrize("call, message", [
    (lambda e: va.HeapDumpExplorer(b"/tmp/x"), "argument 'db_path': 'bytes' object is not an instance of 'str'"),
    (lambda e: va.HeapDumpExplorer(), E + "__new__() missing 1 required positional argument: 'db_path'"),
    (lambda e: va.HeapDumpExplorer("a", "b"), E + "__new__() takes 1 positional arguments but 2 were given"),
    (lambda e: va.HeapDumpExplorer("a", db_path="b"), E + "__new__() got multiple values for argument 'db_path'"),
    (lambda e: e.get_object(1, 2), E + "get_object() takes 1 positional arguments but 2 were given"),
    (lambda e: e.get_objects_by_type_ordered_by_size(), E + "get_objects_by_type_ordered_by_size() missing 3 "
     "required positional arguments: 'type', 'subtree_size' and 'page'"),
    (lambda e: e.get_object(id=1), E + "get_object() got an unexpected keyword argument 'id'"),
    (lambda e: e.get_type_summaries(1), E + "get_type_summaries() takes no arguments (1 given)"),
    (lambda e: e.get_object(1.0), "argument 'obj_id': 'float' object is not an instance of 'int'"),
    (lambda e: e.get_count_for_type(b"x"), "argument 'typename': 'bytes' object is not an instance of 'str'"),
    (lambda e: e.get_objects_by_type("T", "0"), "argument 'page': 'str' object is not an instance of 'int'"),
    (lambda e: e.get_objects_by_type_ordered_by_size(None, True, 0),
     "argument 'type': 'None' is not an instance of 'str'"),
    (lambda e: e.get_objects_by_type_ordered_by_size("x", 1, None),
     "argument 'subtree_size': 'int' object is not an instance of 'bool'"),
    (lambda e: e.import_lines([], 2),
     "argument 'estimator_precision': 'int' object is not an instance of 'EstimatorPrecision'"),
])
def test_binding_and_conversion_errors(explorer, call, message):
    raises_exactly(TypeError, message, call, explorer)


@pytest.mark.parametrize("call", [
    lambda e: e.get_object(-1), lambda e: e.get_object(2**64), lambda e: e.get_objects_by_type("T", -1),
    lambda e: e.find_path_between_objects(1, 2, {2**64}), lambda e: e.find_largest_common_reachable_object(-1, 2),
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
    assert explorer.get_object(obj_id=2).id == 2 and explorer.get_object(Index()).id == 1
