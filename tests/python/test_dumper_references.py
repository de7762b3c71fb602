"""What a dump says an object references, and what each reference is, checked
against the objects themselves: the collector's view plus dict keys and frame
locals, with labels."""

import gc
import io
import json
import sys
import textwrap
import threading

import pytest

import vossick_dump
from conftest import python


class Widget:
    def __init__(self, pixels):
        self.pixels = pixels
        self.name = "widget"

    def on_resize(self):
        return self


class Slotted:
    __slots__ = ("slot", "empty")


class Tagged(dict):
    pass


class Items(list):
    pass


class Key:
    """A dict key that counts the calls a dump must never make."""

    touched = 0

    def __hash__(self):
        Key.touched += 1
        return 7

    __eq__ = __repr__ = lambda self, *other: Key.__hash__(self) and self is (other[0] if other else self)


def dump_text(**options):
    out = io.StringIO()
    vossick_dump.dump(out, progress=False, **options)
    return {r["id"]: r for r in map(json.loads, out.getvalue().split("\n")[:-1])}


def edges(records, obj):
    """(label, target id) of each reference of obj's record."""
    record = records[id(obj)]
    return list(zip(record.get("labels", [None] * len(record["references"])), record["references"]))


def attribute(records, owner, name):
    """The id that owner.name reaches: directly, or through the owner's __dict__."""
    labelled = dict(edges(records, owner))
    if f".{name}" in labelled:
        return labelled[f".{name}"]
    namespace = records[labelled["__dict__"]]
    return dict(zip(namespace["labels"], namespace["references"]))[f".{name}"]


LONG_KEY = "k" * 80
key_object = Key()
pixels = bytearray(64)
widget = Widget(pixels)
slotted = Slotted()
slotted.slot = pixels
tagged = Tagged(alpha=pixels)
items = Items([pixels, widget])
closure = (lambda secret: lambda: secret)(widget)
try:
    raise KeyError(pixels)
except KeyError as caught:
    error = caught

# obj -> expected (label, target) edges, each an independent reading of the object.
CASES = {
    "list": ([pixels, widget], [("[0]", pixels), ("[1]", widget)]),
    "tuple": ((widget, pixels, widget), [("[0]", widget), ("[1]", pixels), ("[2]", widget)]),
    "str-keyed dict": ({"a": pixels, "b": widget}, [("key of", "a"), ("['a']", pixels), ("key of", "b"), ("['b']", widget)]),
    "int and tuple keys": ({7: pixels, ("x", 1): widget}, [("key of", 7), ("[7]", pixels), ("key of", ("x", 1)),
                                                          ("[('x', 1)]", widget)]),
    "object key": ({key_object: pixels}, [("key of", key_object), ("[<test_dumper_references.Key object>]", pixels)]),
    "long key": ({LONG_KEY: pixels}, [("key of", LONG_KEY), (f"['{'k' * 60}\u2026']", pixels)]),
    "bound method": (widget.on_resize, [("__func__", Widget.on_resize), ("__self__", widget)]),
    "closure": (closure.__closure__[0], [("cell_contents", widget)]),
    "slots": (slotted, [(".slot", pixels), ("__class__", Slotted)]),
    "dict subclass": (tagged, [("key of", "alpha"), ("['alpha']", pixels), ("__class__", Tagged)]),
    "list subclass": (items, [("[0]", pixels), ("[1]", widget), ("__class__", Items)]),
    "exception": (error, [("args", error.args), ("__traceback__", error.__traceback__)]),
}


@pytest.fixture(scope="module")
def dumps():
    """Dumps of this process with and without labels, each taken before the
    other is parsed, so that neither holds the other."""
    here = bytearray(5)  # a local of a caller of the dumper
    return dump_text(), dump_text(labels=False), id(here), Key.touched


@pytest.fixture(scope="module")
def records(dumps):
    return dumps[0]


@pytest.mark.parametrize("case", CASES)
def test_references_and_labels(records, case):
    obj, expected = CASES[case]
    got = edges(records, obj)
    assert all(records.get(target) for _, target in got)
    for label, target in expected:
        assert (label, id(target)) in got, (label, target)
    if type(obj) in (list, tuple, dict):  # containers: exactly their contents, in order
        assert got == [(label, id(target)) for label, target in expected]


@pytest.mark.parametrize(
    "owner, name, target",
    [(widget, "pixels", pixels), (Widget, "on_resize", Widget.on_resize), (sys.modules[__name__], "widget", widget)],
)
def test_attributes_of_instances_classes_and_modules(records, owner, name, target):
    assert attribute(records, owner, name) == id(target)


def test_functions_and_the_frames_of_the_dumping_thread(dumps):
    records, _, here, _ = dumps
    labelled = dict(edges(records, closure))
    assert {"__code__", "__globals__", "__closure__"} <= labelled.keys()
    assert labelled["__closure__"] == id(closure.__closure__)
    frames = [r for r in records.values() if r["type"] == "builtins.frame"]
    assert [dict(zip(f["labels"], f["references"]))["here"] for f in frames if "here" in f["labels"]] == [here]
    assert not [f for f in frames if {"walk", "chunk"} & set(f["labels"])]  # the dumper's own frames are left out
    # The innermost frame outside the dumper hangs off sys and off the thread's Thread object.
    innermost = dict(edges(records, sys))[f"_current_frames()[{threading.main_thread().ident}]"]
    assert dict(edges(records, threading.main_thread()))["current frame"] == innermost


def test_labels_are_optional_and_change_no_reference(dumps):
    records, without, _, key_touches = dumps
    assert not any("labels" in r for r in without.values())
    assert all(len(r["labels"]) == len(r["references"]) for r in records.values() if "labels" in r)
    for obj, _ in CASES.values():
        assert sorted(records[id(obj)]["references"]) == sorted(without[id(obj)]["references"])
    assert not any("allocated_at" in r for r in records.values())  # tracemalloc is not tracing
    assert Key.touched == key_touches  # no key's __hash__, __eq__ or __repr__ ran


def test_stop_cancels_and_leaves_no_file(tmp_path):
    with pytest.raises(vossick_dump.Cancelled):
        vossick_dump.dump_to_path(tmp_path / "heap.jsonl", progress=False, stop=lambda: True)
    assert not list(tmp_path.iterdir())
    assert gc.isenabled()


def test_compiled_classes_are_dumped_without_reading_their_private_members():
    # mypy's classes are compiled (mypyc): they describe __dict__ and __weakref__
    # as members at offsets that must not be read through the descriptor.
    pytest.importorskip("mypy", reason="mypy is not installed")
    program = textwrap.dedent(
        """
        import io
        from mypy import build, main
        sources, options = main.process_options(["--no-incremental", "--cache-dir", "/dev/null", "-c", "x = 1"])
        state = build.build(sources, options)
        import vossick_dump
        print(vossick_dump.dump(io.StringIO(), progress=False, collect=False))
        """
    )
    done = python("-c", program, timeout=300)
    assert done.returncode == 0 and int(done.stdout) > 100_000, done.stderr
