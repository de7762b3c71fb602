"""The heap walk that writes a vossick_analysis dump, one JSON line per object.

This file must stay self-contained (built-in modules only, Python 3.10 syntax):
``python -m vossick_dump --pid`` runs its source inside a process that may not
have this package installed, under whatever Python 3.10+ that process runs.

What the walk reports as an object's references:

- what the garbage collector reports (``gc.get_referents``), in its order;
- for dicts, keys and values in the dict's order (key, value, key, value):
  the collector leaves out the keys of a dict whose keys are all strings;
- for frames, the frame's caller, code, globals, builtins and the values of its
  local variables: from 3.11 a running frame reports nothing to the collector;
- each thread's innermost running frame, from the ``sys`` module and from the
  thread's ``threading.Thread`` object, so that the locals of every running
  function are reached.

Labels (when asked for) say what each reference is, as the Python expression
that follows it: ``['key']`` and ``key of`` for dict values and keys, ``.attr``
for attributes (instance slots and values, and the entries of a dict that is
the ``__dict__`` of an instance, class or module), ``[i]`` for list and tuple
items, ``__dict__``, ``__class__``, ``__code__`` and the other dunder fields of
the common builtin types, a frame's variable names; ``null`` where the walk
cannot tell. Labels are read without running user code and without changing
any object: attribute names are probed with ``object.__getattribute__`` only
where no descriptor could run, and never through ``__dict__``, which would
create dicts in objects that have none.
"""

from __future__ import annotations

import _tracemalloc
import gc
import os
import sys
import time
from _operator import attrgetter as _attrgetter
from _operator import is_ as _is
from itertools import chain as _chain
from itertools import repeat as _repeat

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing is not imported at run time: it would pull re and more into a dumped process
    from typing import Any, Callable, Iterable, TextIO

    Fields = list[tuple[str, Any]]  # (label text, referenced object) pairs

try:  # json's C string encoder, without importing json (and re) into a process dumped by --pid
    from _json import encode_basestring as _json_string
except ImportError:  # a Python built without it
    from json.encoder import encode_basestring as _json_string

_VALUE_LIMIT = 100
_LABEL_KEY_LIMIT = 60  # characters of a dict key shown in a label
_HUGE_INT_BITS = 256
_TYPE_NAME_LIMIT = 511  # the database refuses longer type keys (bytes)
_PROGRESS_EVERY = 100_000
_WRITE_CHUNK = 4096  # lines per write call
_LABEL_CACHE_LIMIT = 200_000  # distinct dict keys (and key sets) whose label texts are kept
_KEY_SET_LIMIT = 16  # dicts with at most this many string keys share their labels by key set
_PROBE_LEARNING = 16  # instances of a class probed for every candidate attribute name
_NULL = "null"
_KEY_OF = '"key of"'

_HEAPTYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE
_CO_OPTIMIZED = 1
# From 3.11 an instance's attribute values live in the object until its __dict__
# is asked for; the collector then reports the values, without their names.
_INLINE_VALUES = sys.version_info >= (3, 11)

_TYPE_MODULE: Any = type.__dict__["__module__"]
_TYPE_QUALNAME: Any = type.__dict__["__qualname__"]
_TYPE_DICT: Any = type.__dict__["__dict__"]  # a mappingproxy of the class's own dict
_TYPE_MRO: Any = type.__dict__["__mro__"]
_TYPE_BASES: Any = type.__dict__["__bases__"]
_TYPE_BASE: Any = type.__dict__["__base__"]
_TYPE_FLAGS: Any = type.__dict__["__flags__"]
_MODULE_DICT: Any = vars(type(sys))["__dict__"]
_GETATTRIBUTE = object.__getattribute__
_MISSING = object()


def _clean(text: str) -> str:
    # Lone surrogates cannot be written as UTF-8; keep them visible as escapes.
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


class _Slotted:
    __slots__ = ("slot",)

    def method(self) -> None:
        pass


def _closure_cell(value: object) -> Callable[[], object]:
    return lambda: value


try:
    raise ValueError
except ValueError as _error:
    _TracebackType = type(_error.__traceback__)

_FrameType = type(sys._getframe())
_FunctionType = type(_clean)
_BuiltinFunctionType = type(len)
_ModuleType = type(sys)
_CodeType = type(_clean.__code__)
_CellType = type(_closure_cell(0).__closure__[0])  # type: ignore[index]
_MethodType = type(_Slotted().method)
_MemberDescriptorType = type(_Slotted.__dict__["slot"])


def _type_name(cls: type) -> str:
    # The descriptors of `type` itself, so that no metaclass property runs.
    try:
        module = _TYPE_MODULE.__get__(cls)
    except Exception:
        module = None
    if not isinstance(module, str) or not module:
        module = "builtins"
    name = f"{_clean(module)}.{_clean(_TYPE_QUALNAME.__get__(cls))}"
    encoded = name.encode("utf-8")
    if len(encoded) > _TYPE_NAME_LIMIT:
        name = encoded[:_TYPE_NAME_LIMIT].decode("utf-8", "ignore")
    return name


def _truncate(text: str, limit: int = _VALUE_LIMIT) -> str:
    return text if len(text) <= limit else text[:limit] + "..."


def _short_value(obj: object) -> str | None:
    """A short printable form for scalars, modules, classes and functions.

    Classes are tested on ``type(obj)`` and base-class reprs are called directly,
    so that no user-defined ``__class__``, ``__repr__`` or ``__str__`` runs inside
    the dump (it could raise, block, or allocate into the heap being walked).
    """
    cls = type(obj)
    try:
        if obj is None or obj is True or obj is False:
            return repr(obj)
        if issubclass(cls, str):
            return _clean(_truncate(str.__str__(obj)))
        if issubclass(cls, int):
            bits = int.bit_length(obj)  # type: ignore[arg-type]
            if bits > _HUGE_INT_BITS:
                return f"<int of {bits} bits>"
            return int.__repr__(obj)
        if issubclass(cls, float):
            return float.__repr__(obj)
        if issubclass(cls, complex):
            return complex.__repr__(obj)
        if issubclass(cls, (bytes, bytearray)):
            head = bytes(memoryview(obj)[: _VALUE_LIMIT + 1])  # type: ignore[arg-type]
            return _truncate(bytes.__repr__(head))
        if issubclass(cls, _ModuleType):
            name = _MODULE_DICT.__get__(obj).get("__name__")
            return _clean(name) if isinstance(name, str) else None
        if issubclass(cls, type):
            return _type_name(obj)  # type: ignore[arg-type]
        if cls is _FunctionType or cls is _BuiltinFunctionType:
            name = obj.__qualname__  # type: ignore[attr-defined]
            return _clean(_truncate(name)) if isinstance(name, str) else None
    except Exception:  # the dump must survive any odd object
        return None
    return None


def _key_text(key: object, depth: int = 0) -> str | None:
    """How a dict key reads in a label, or None where showing it could run user code."""
    cls = type(key)
    if key is None or key is True or key is False:
        return repr(key)
    if cls is tuple and depth == 0 and len(key) <= 8:  # type: ignore[arg-type]
        parts = [_key_text(item, 1) for item in key]  # type: ignore[attr-defined]
        if None not in parts:
            return f"({', '.join(parts)}{',' if len(parts) == 1 else ''})"  # type: ignore[arg-type]
        return None
    if issubclass(cls, str):
        text = str.__str__(key)  # type: ignore[arg-type,unused-ignore]
        if len(text) > _LABEL_KEY_LIMIT:
            shown = str.__repr__(text[:_LABEL_KEY_LIMIT])
            return f"{shown[:-1]}\u2026{shown[-1]}"
        return str.__repr__(text)
    if issubclass(cls, (int, float, bytes)) and cls is not bool:
        return _truncate(_short_value(key) or "?", _LABEL_KEY_LIMIT)
    return None


def _label_json(text: str) -> str:
    return _json_string(_clean(text))


class _Labels:
    """The label texts (as JSON) that the walk writes, built once and cached."""

    def __init__(self) -> None:
        # The joined text of label lists that many lines share (never changed
        # once made), by the list's id: index lists, key sets, classes' labels.
        self.joined: dict[int, str] = {}
        self.index_lists: dict[int, list[str]] = {}
        self.index: list[str] = []
        self.item_keys: dict[str, str] = {}
        self.attribute_keys: dict[str, str] = {}
        # A dict's labels by its keys, for dicts with few string keys (JSON
        # records, instance dicts): one lookup instead of one per key.
        self.item_key_sets: dict[tuple[Any, ...], list[str]] = {}
        self.attribute_key_sets: dict[tuple[Any, ...], list[str]] = {}

    def indices(self, count: int) -> list[str]:
        """'"[0]"', '"[1]"', ... for a sequence of `count` items."""
        labels = self.index_lists.get(count)
        if labels is not None:
            return labels
        index = self.index
        if len(index) < count:
            index.extend(f'"[{i}]"' for i in range(len(index), count))
        labels = index[:count]
        if count <= 256:
            self.share(labels)
            self.index_lists[count] = labels
        return labels

    def share(self, labels: list[str]) -> None:
        self.joined[id(labels)] = ",".join(labels)

    def dict_entry(self, key: object, as_attribute: bool) -> str:
        """The label of the value stored under `key`: '.name' in an attribute dict, else '[key]'."""
        if type(key) is str:
            cache = self.attribute_keys if as_attribute else self.item_keys
            text = cache.get(key)
            if text is None:
                text = _label_json(f".{key}" if as_attribute else f"[{_key_text(key)}]")
                if len(cache) < _LABEL_CACHE_LIMIT:
                    cache[key] = text
            return text
        shown = _key_text(key)
        if shown is None:
            return _label_json(f"[<{_type_name(type(key))} object>]")
        return _label_json(f"[{shown}]")


def _class_attribute(mro: tuple[type, ...], name: str) -> object:
    for klass in mro:
        found = _TYPE_DICT.__get__(klass).get(name, _MISSING)
        if found is not _MISSING:
            return found
    return _MISSING


def _code_names(code: Any, names: list[str]) -> None:
    names.extend(name for name in code.co_names if type(name) is str)
    for const in code.co_consts:
        if type(const) is _CodeType:
            _code_names(const, names)


def _is_heap_type(cls: type) -> bool:
    return bool(_TYPE_FLAGS.__get__(cls) & _HEAPTYPE)


class _Probe:
    """Names under which instances of one class may hold attribute values.

    Candidates are the names that the class's own methods use (and, from 3.13,
    its ``__static_attributes__``), less those that a class attribute with a
    ``__get__`` would answer (reading them could run user code). After
    ``_PROBE_LEARNING`` instances, names never found are dropped; when the
    rest were found in every instance and the class does not customise
    attribute access, `getter` reads them all in one C call and `labels`
    are their labels followed by the class's.
    """

    __slots__ = ("names", "hits", "probed", "getter", "labels", "plain_access", "text")

    def __init__(self, mro: tuple[type, ...], text: _Labels) -> None:
        self.text = text
        found: list[str] = []
        # Probing reads through object.__getattribute__: only where that is how the
        # class itself reads attributes (an extension type may lay them out otherwise).
        generic = _class_attribute(mro, "__getattribute__") is _GETATTRIBUTE
        for klass in mro if generic else ():
            if not _is_heap_type(klass):
                continue
            namespace = _TYPE_DICT.__get__(klass)
            static = namespace.get("__static_attributes__")
            if type(static) is tuple:
                found.extend(name for name in static if type(name) is str)
            fields = namespace.get("__dataclass_fields__")
            if type(fields) is dict:
                found.extend(name for name in fields if type(name) is str)
            for member in namespace.values():
                if type(member) in (staticmethod, classmethod):
                    member = member.__func__
                if type(member) is _FunctionType:
                    _code_names(member.__code__, found)
        self.names: list[tuple[str, str, object]] = []
        for name in dict.fromkeys(found):
            if name.startswith("__") and name.endswith("__"):
                continue
            default = _class_attribute(mro, name)
            if default is not _MISSING and _class_attribute(_TYPE_MRO.__get__(type(default)), "__get__") is not _MISSING:
                continue
            self.names.append((name, _label_json(f".{name}"), default))
        self.hits = [0] * len(self.names)
        self.probed = 0
        self.getter: Callable[[object], tuple[Any, ...]] | None = None
        self.labels: list[str] = []
        # Without __getattr__ too, getattr is object.__getattribute__ for these names.
        self.plain_access = generic and _class_attribute(mro, "__getattr__") is _MISSING

    def fields(self, obj: object, out: Fields) -> None:
        hits = self.hits
        for position, (name, label, default) in enumerate(self.names):
            try:
                value = _GETATTRIBUTE(obj, name)
            except Exception:
                continue
            if value is not default:
                out.append((label, value))
                hits[position] += 1
        self.probed += 1
        if self.probed == _PROBE_LEARNING:
            kept = [i for i, count in enumerate(hits) if count]
            self.names = [self.names[i] for i in kept]
            self.hits = [hits[i] for i in kept]
            if self.names and self.plain_access and all(count == _PROBE_LEARNING for count in self.hits):
                names = [name for name, _, _ in self.names]
                self.getter = _attrgetter(*names, *names[:1])  # at least two names: always a tuple
                self.labels = [label for _, label, _ in self.names] + ['"__class__"']
                self.text.share(self.labels)


# How the walk reads an object's references, by class.
_PLAIN, _DICT, _LIST, _TUPLE, _FRAME, _INSTANCE, _FIELDS, _TYPE, _MODULE = range(9)


def _fields_of_function(f: Any, out: Fields) -> None:
    # In the order in which the collector visits them (absent ones are skipped:
    # None here means absent), so that the labels usually align at once.
    out += [('"__code__"', f.__code__), ('"__globals__"', f.__globals__)]
    builtins = getattr(f, "__builtins__", None)  # 3.10+
    if builtins is not None:
        out.append(('"__builtins__"', builtins))
    out.append(('"__module__"', f.__module__))
    for label, value in (('"__defaults__"', f.__defaults__), ('"__kwdefaults__"', f.__kwdefaults__)):
        if value is not None:
            out.append((label, value))
    out += [('"__doc__"', f.__doc__), ('"__name__"', f.__name__)]
    if f.__closure__ is not None:
        out.append(('"__closure__"', f.__closure__))
    out.append(('"__qualname__"', f.__qualname__))


_EXCEPTION_FIELD: Any = BaseException.__dict__  # the base's descriptors: no subclass property runs
_EXCEPTION_LABELS = [(_label_json(name), name) for name in ("args", "__traceback__", "__context__", "__cause__")]


def _fields_of_exception(e: Any, out: Fields) -> None:
    out += [
        (label, _EXCEPTION_FIELD[name].__get__(e)) for label, name in _EXCEPTION_LABELS
    ]


def _fields_of_cell(c: Any, out: Fields) -> None:
    try:
        out.append(('"cell_contents"', c.cell_contents))
    except ValueError:  # an empty cell
        pass


def _attributes(*names: str) -> Callable[[Any, Fields], None]:
    pairs = [(_label_json(name), name) for name in names]

    def fields(obj: Any, out: Fields) -> None:
        for label, name in pairs:
            out.append((label, getattr(obj, name, None)))

    return fields


# Fields of builtin types, read through the types' own C attributes (no user code).
_BUILTIN_FIELDS: dict[type, Callable[[Any, Fields], None]] = {
    _FunctionType: _fields_of_function,
    _MethodType: _attributes("__func__", "__self__"),
    _CellType: _fields_of_cell,
    _TracebackType: _attributes("tb_next", "tb_frame"),
    property: _attributes("fget", "fset", "fdel", "__doc__"),
    classmethod: _attributes("__func__"),
    staticmethod: _attributes("__func__"),
    _BuiltinFunctionType: _attributes("__self__", "__module__"),
}


def _optional_fields() -> None:
    # Types of modules that are usually loaded: looked up in their namespaces
    # (no module __getattr__ runs), never imported.
    for module_name, type_name, names in (("functools", "partial", ("func", "args", "keywords")),
                                          ("collections", "defaultdict", ("default_factory",))):
        module = sys.modules.get(module_name)
        found = _MODULE_DICT.__get__(module).get(type_name) if type(module) is _ModuleType else None
        if type(found) is type:
            _BUILTIN_FIELDS[found] = _attributes(*names)


class _ClassInfo:
    __slots__ = ("type_text", "kind", "fields", "slots", "probe", "mro", "container", "has_value")

    def __init__(self, cls: type) -> None:
        self.type_text = _json_string(_type_name(cls))
        # Whether _short_value can give objects of this class a value.
        self.has_value = cls in (type(None), bool, _FunctionType, _BuiltinFunctionType) or issubclass(
            cls, (str, int, float, complex, bytes, bytearray, _ModuleType, type)
        )
        self.fields: Callable[[Any, Fields], None] | None = None
        self.slots: list[tuple[str, Any]] = []
        self.probe: _Probe | None = None
        self.container: type | None = None  # the builtin container base of an instance's class
        mro = self.mro = _TYPE_MRO.__get__(cls)
        if cls is dict:
            self.kind = _DICT
        elif cls is list:
            self.kind = _LIST
        elif cls is tuple:
            self.kind = _TUPLE
        elif cls is _FrameType:
            self.kind = _FRAME
        elif issubclass(cls, type):
            self.kind = _TYPE
        elif issubclass(cls, _ModuleType):
            self.kind = _MODULE
        elif cls in _BUILTIN_FIELDS:
            self.kind = _FIELDS
            self.fields = _BUILTIN_FIELDS[cls]
        elif issubclass(cls, (dict, BaseException)) or _is_heap_type(cls):
            self.kind = _INSTANCE
            for base in (dict, list, tuple):
                if issubclass(cls, base):
                    self.container = base
            if issubclass(cls, BaseException):
                self.fields = _fields_of_exception
            for klass in mro:
                namespace = _TYPE_DICT.__get__(klass)
                # Only the slots that a class statement's __slots__ made: extension
                # types may describe other members (e.g. __dict__ at an offset
                # their layout manages otherwise) that must not be read this way.
                if _is_heap_type(klass) and "__slots__" in namespace:
                    for member in namespace.values():
                        name = getattr(member, "__name__", "") if type(member) is _MemberDescriptorType else ""
                        if name and not (name.startswith("__") and name.endswith("__")):
                            self.slots.append((_label_json(f".{name}"), member))
        else:
            self.kind = _PLAIN


def _string_keys(refs: list[Any]) -> tuple[str, ...] | None:
    """The keys of a dict's references (key, value...) as a tuple when they are
    few and all exact strings, whose hashing runs no user code; else None."""
    if len(refs) > 2 * _KEY_SET_LIMIT:
        return None
    keys = refs[::2]
    return tuple(keys) if all(map(_is, map(type, keys), _repeat(str))) else None


def _without(referents: list[Any], taken: list[Any]) -> list[Any]:
    """`referents` less one occurrence of each object in `taken` (compared by identity)."""
    counts: dict[int, int] = {}
    for item in taken:
        counts[id(item)] = counts.get(id(item), 0) + 1
    rest = []
    for item in referents:
        left = counts.get(id(item))
        if left:
            counts[id(item)] = left - 1
        else:
            rest.append(item)
    return rest


def _match(referents: list[Any], fields: Fields) -> list[str]:
    """Label texts for `referents` from (label, target) pairs; 'null' where none fits."""
    if len(fields) == len(referents) and all(map(_is, [target for _, target in fields], referents)):
        return [label for label, _ in fields]
    by_target: dict[int, list[str]] = {}
    for label, target in fields:
        by_target.setdefault(id(target), []).append(label)
    labels = []
    for item in referents:
        found = by_target.get(id(item))
        labels.append(found.pop(0) if found else _NULL)
    return labels


class _Walk:
    """One dump: the objects seen, the labels known, the frames of every thread."""

    def __init__(self, labels: bool, exclude: Iterable[object], own_dir: str) -> None:
        self.labels = labels
        self.own_dir = own_dir
        self.text = _Labels()
        self.infos: dict[type, _ClassInfo] = {}
        self.attribute_dicts: set[int] = set()  # ids of dicts that are an owner's __dict__
        self.excluded = {id(o) for o in exclude}
        self.extra: dict[int, Fields] = {}  # owner id -> references added to it
        tracing = _tracemalloc.is_tracing()
        self.traceback: Callable[[object], Any] | None = _tracemalloc._get_object_traceback if tracing else None
        self.sites: dict[tuple[Any, ...], str] = {}
        _optional_fields()

    def is_own(self, frame: Any) -> bool:
        return bool(os.path.dirname(frame.f_code.co_filename) == self.own_dir)

    def add_thread_frames(self) -> None:
        """Makes every thread's innermost frame outside the dumper a reference of
        the sys module and of the thread's Thread object; the dumper's own
        frames are excluded."""
        threading = sys.modules.get("threading")
        active = _MODULE_DICT.__get__(threading).get("_active") if threading is not None else None
        if type(active) is not dict:
            active = {}
        frame: Any
        for ident, frame in sys._current_frames().items():
            innermost = None
            while frame is not None:
                if self.is_own(frame):
                    self.excluded.add(id(frame))
                elif innermost is None and id(frame) not in self.excluded:
                    innermost = frame
                frame = frame.f_back
            if innermost is None:
                continue
            self.extra.setdefault(id(sys), []).append((_label_json(f"_current_frames()[{ident}]"), innermost))
            thread = active.get(ident)
            if thread is not None:
                self.extra.setdefault(id(thread), []).append(('"current frame"', innermost))

    def info(self, cls: type) -> _ClassInfo:
        info = self.infos.get(cls)
        if info is None:
            info = self.infos[cls] = _ClassInfo(cls)
        return info

    def dict_references(self, d: dict[Any, Any]) -> tuple[list[Any], list[str] | None]:
        refs = list(_chain.from_iterable(dict.items(d)))
        if not self.labels or not refs:
            return refs, None
        return refs, self.dict_labels(refs, id(d) in self.attribute_dicts)

    def dict_labels(self, refs: list[Any], as_attribute: bool) -> list[str]:
        """Labels of a dict's references (key, value, key, value...)."""
        text = self.text
        key_sets = text.attribute_key_sets if as_attribute else text.item_key_sets
        key_set = _string_keys(refs)
        if key_set is not None:
            labels = key_sets.get(key_set)
            if labels is not None:
                return labels
        entry = text.dict_entry
        cache = text.attribute_keys if as_attribute else text.item_keys
        labels = []
        for key in refs[::2]:
            labels.append(_KEY_OF)
            labels.append((cache.get(key) if type(key) is str else None) or entry(key, as_attribute))
        if key_set is not None and len(key_sets) < _LABEL_CACHE_LIMIT:
            key_sets[key_set] = labels
            text.share(labels)
        return labels

    def frame_references(self, frame: Any) -> tuple[list[Any], list[str] | None]:
        back = frame.f_back
        fields: Fields = [('"f_code"', frame.f_code), ('"f_globals"', frame.f_globals),
                                            ('"f_builtins"', frame.f_builtins)]
        if back is not None:
            fields.insert(0, ('"f_back"', back))
        try:
            local = frame.f_locals
            if frame.f_code.co_flags & _CO_OPTIMIZED:
                fields.extend((_label_json(name), value) for name, value in list(local.items()))
            elif local is not frame.f_globals:
                fields.append(('"f_locals"', local))
        except Exception:  # a frame being torn down
            pass
        refs = [target for _, target in fields]
        refs += _without(gc.get_referents(frame), refs)
        if not self.labels:
            return refs, None
        return refs, [label for label, _ in fields] + [_NULL] * (len(refs) - len(fields))

    def instance_labels(self, obj: Any, info: _ClassInfo, referents: list[Any]) -> list[str] | None:
        """Labels of an instance's references; None where none can be named."""
        cls = type(obj)
        probe = info.probe
        if probe is None and _INLINE_VALUES:
            probe = info.probe = _Probe(info.mro, self.text)
        plain = not (info.slots or info.fields or info.container)
        if plain and not (probe and probe.names) and not any(map(_is, referents, _repeat(cls))):
            return None  # e.g. instances of compiled classes, which keep attributes in C slots of their own
        found: Fields | None = None
        if plain and probe is not None and probe.getter is not None and referents[-1] is cls:
            try:
                values = probe.getter(obj)
            except AttributeError:
                values = ()
            if len(values) == len(referents) and all(map(_is, values[:-1], referents)):
                return probe.labels
        if plain and probe is not None and referents[-1] is cls:
            # The common shape from 3.11: the attribute values in the order of
            # the class's shared keys, then the class.
            found = []
            probe.fields(obj, found)
            if len(found) + 1 == len(referents) and all(map(_is, [target for _, target in found], referents)):
                return [label for label, _ in found] + ['"__class__"']
        fields: Fields = [('"__class__"', cls)]
        for label, member in info.slots:
            try:
                fields.append((label, member.__get__(obj, cls)))
            except Exception:  # an unset slot
                pass
        if info.fields is not None:
            info.fields(obj, fields)
        container = info.container
        if container is list or container is tuple:
            items = list(container.__iter__(obj))
            fields.extend(zip(self.text.indices(len(items)), items))
        labels = _match(referents, fields)
        if probe is not None and _NULL in labels:
            if found is None:
                found = []
                probe.fields(obj, found)
            if found:
                # Only where a label is missing: fields found above keep theirs.
                missing = [i for i, label in enumerate(labels) if label is _NULL]
                for i, label in zip(missing, _match([referents[i] for i in missing], found)):
                    labels[i] = label
                if any(labels[i] is not _NULL for i in missing):
                    return labels
        # The instance's __dict__ is visited just before its class.
        for i, item in enumerate(referents):
            if item is cls and labels[i] == '"__class__"':
                if i and labels[i - 1] is _NULL and type(referents[i - 1]) is dict:
                    labels[i - 1] = '"__dict__"'
                    self.attribute_dicts.add(id(referents[i - 1]))
                break
        return labels

    def references(self, obj: Any, info: _ClassInfo) -> tuple[list[Any], list[str] | None]:
        """The references of `obj` and, when labelling, their label texts."""
        kind = info.kind
        if kind == _DICT:
            return self.dict_references(obj)
        if kind == _FRAME:
            return self.frame_references(obj)
        referents = gc.get_referents(obj)
        head: list[Any] = []
        head_labels: list[str] = []
        if kind == _INSTANCE and info.container is dict:
            head, labels = self.dict_references(obj)
            head_labels = labels or []
            referents = _without(referents, head)
        if not self.labels or not referents:
            return head + referents, (head_labels or None) if self.labels else None
        if kind == _INSTANCE:
            named = self.instance_labels(obj, info, referents)
            if named is None:  # the same for every instance: no class with head labels gets here
                info.kind = _PLAIN
                return referents, None
            labels = named
        elif kind == _FIELDS:
            fields: Fields = []
            info.fields(obj, fields)  # type: ignore[misc]
            labels = _match(referents, fields)
        elif kind == _TYPE:
            labels = self.type_labels(obj, referents)
        elif kind == _MODULE:
            namespace = _MODULE_DICT.__get__(obj)
            self.attribute_dicts.add(id(namespace))
            labels = _match(referents, [('"__dict__"', namespace)])
        else:
            raise AssertionError(f"no references rule for kind {kind}")
        return head + referents, head_labels + labels

    def type_labels(self, cls: Any, referents: list[Any]) -> list[str]:
        namespace = gc.get_referents(_TYPE_DICT.__get__(cls))
        fields: Fields = [('"__class__"', type(cls))]
        if namespace:
            self.attribute_dicts.add(id(namespace[0]))
            fields.append(('"__dict__"', namespace[0]))
        fields += [('"__mro__"', _TYPE_MRO.__get__(cls)), ('"__bases__"', _TYPE_BASES.__get__(cls)),
                   ('"__base__"', _TYPE_BASE.__get__(cls))]
        return _match(referents, fields)

    def allocation_site(self, obj: object) -> str | None:
        trace = self.traceback(obj)  # type: ignore[misc]
        if not trace:
            return None
        innermost = trace[0]  # the most recent frame comes first
        text = self.sites.get(innermost)
        if text is None:
            text = self.sites[innermost] = _json_string(_clean(f"{innermost[0]}:{innermost[1]}"))
        return text


class _Progress:
    def __init__(self, enabled: bool, destination: str) -> None:
        self.enabled = enabled
        self.destination = destination
        self.started = time.perf_counter()

    def update(self, count: int) -> None:
        if self.enabled:
            rate = count / max(time.perf_counter() - self.started, 1e-9)
            print(f"vossick_dump: {count:,} objects ({rate:,.0f}/s)", file=sys.stderr, flush=True)

    def finish(self, count: int, written: int) -> None:
        if self.enabled:
            seconds = time.perf_counter() - self.started
            print(
                f"vossick_dump: wrote {count:,} objects ({written / 2**20:.1f} MiB) "
                f"to {self.destination} in {seconds:.2f} s",
                file=sys.stderr,
                flush=True,
            )


class Cancelled(Exception):
    """The dump was stopped by its `stop` callback before it was complete."""


def _walk(
    out: TextIO, progress: _Progress, exclude: Iterable[object], labels: bool, stop: Callable[[], bool] | None
) -> int:
    # The roots are taken first: what the dump creates afterwards is not among them.
    roots = gc.get_objects()
    roots.extend(sys.modules.values())
    walk = _Walk(labels, exclude, os.path.dirname(_walk.__code__.co_filename))
    excluded = walk.excluded
    walk.add_thread_frames()
    seen: set[int] = set()
    alive: list[object] = []  # keeps every visited object, so ids are not reused mid-dump
    stack: list[object] = []
    chunk: list[str] = []
    layer: object = out
    for _ in range(3):  # the text stream, its buffer and its raw file
        excluded.add(id(layer))
        layer = getattr(layer, "buffer", None) or getattr(layer, "raw", None)
        if layer is None:
            break
    del layer
    excluded.update(map(id, (roots, out, progress)))

    if labels:
        # Owners first, so that an instance, class or module dict is known as
        # one before its own line is written ('.name' rather than "['name']").
        for module in list(sys.modules.values()):
            if type(module) is _ModuleType:
                walk.attribute_dicts.add(id(_MODULE_DICT.__get__(module)))
        stack.extend([o for o in roots if type(o) is dict])
        stack.extend([o for o in roots if type(o) is not dict])
    else:
        stack.extend(roots)
    del roots
    obj: Any
    infos = walk.infos
    references = walk.references
    get_referents = gc.get_referents
    getsizeof = sys.getsizeof
    indices = walk.text.indices
    joined = walk.text.joined
    chain = _chain.from_iterable
    dict_items = dict.items
    attribute_dicts = walk.attribute_dicts
    attribute_key_sets = walk.text.attribute_key_sets
    item_key_sets = walk.text.item_key_sets
    extra = walk.extra
    site_of = walk.allocation_site if walk.traceback is not None else None
    frame_type = _FrameType
    is_own = walk.is_own
    count = 0
    written = 0
    while stack:
        obj = stack.pop()
        oid = id(obj)
        if oid in seen or oid in excluded:
            continue
        cls = type(obj)
        if cls is frame_type and is_own(obj):
            excluded.add(oid)
            continue
        seen.add(oid)
        alive.append(obj)
        info = infos.get(cls)
        if info is None:
            info = walk.info(cls)
        kind = info.kind
        if kind == _PLAIN:
            refs = get_referents(obj)
            texts = None
        elif kind == _LIST or kind == _TUPLE:
            refs = list(obj)
            texts = indices(len(refs)) if labels and refs else None
        elif kind == _DICT:
            refs = list(chain(dict_items(obj)))
            texts = None
            if labels and refs:
                key_set = _string_keys(refs)
                if key_set is not None:
                    texts = (attribute_key_sets if oid in attribute_dicts else item_key_sets).get(key_set)
                if texts is None:
                    texts = walk.dict_labels(refs, oid in attribute_dicts)
        else:
            refs, texts = references(obj, info)
        added = extra.get(oid)
        if added:
            refs = refs + [target for _, target in added]
            if labels:
                texts = (texts or [_NULL] * (len(refs) - len(added))) + [label for label, _ in added]
        if not excluded.isdisjoint(map(id, refs)):
            kept = [i for i, r in enumerate(refs) if id(r) not in excluded]
            refs = [refs[i] for i in kept]
            if texts is not None:
                texts = [texts[i] for i in kept]
        stack.extend(refs)
        value = _short_value(obj) if info.has_value else None
        try:
            size = getsizeof(obj)
        except Exception:  # a broken __sizeof__ must not end the dump
            size = 0
        named = ""
        if texts and refs:
            labels_text = joined.get(id(texts))
            if labels_text is None and (kind <= _TUPLE or texts.count(_NULL) != len(texts)):
                labels_text = ",".join(texts)
            if labels_text is not None:
                named = f',"labels":[{labels_text}]'
        if site_of is not None:
            site = site_of(obj)
            if site is not None:
                named += f',"allocated_at":{site}'
        chunk.append(
            f'{{"id":{oid},"type":{info.type_text},"references":[{",".join(map(str, map(id, refs)))}],'
            f'"value":{"null" if value is None else _json_string(value)},"size":{size}{named}}}\n'
        )
        count += 1
        if len(chunk) >= _WRITE_CHUNK:
            if stop is not None and stop():
                raise Cancelled("the dump was cancelled")
            text = "".join(chunk)
            out.write(text)
            written += len(text)
            chunk.clear()
        if count % _PROGRESS_EVERY == 0:
            progress.update(count)
    text = "".join(chunk)
    out.write(text)
    written += len(text)
    progress.finish(count, written)
    return count


def dump(
    out: TextIO,
    *,
    progress: bool = True,
    collect: bool = True,
    exclude: Iterable[object] = (),
    labels: bool = True,
) -> int:
    """Writes the heap of this process to the text stream ``out``; returns the object count.

    ``collect`` runs a full garbage collection first, so unreachable cycles are
    not reported; the collector is paused during the walk either way. Objects in
    ``exclude`` are left out (and not walked through). ``labels`` writes, for each
    object, what each of its references is (``.attr``, ``['key']``, ``[0]``...).
    """
    return _dump(out, str(getattr(out, "name", "stream")), progress, collect, exclude, labels, None)


def _dump(
    out: TextIO, destination: str, progress: bool, collect: bool, exclude: Iterable[object], labels: bool,
    stop: Callable[[], bool] | None,
) -> int:
    was_enabled = gc.isenabled()
    if collect:
        gc.collect()
    gc.disable()
    try:
        return _walk(out, _Progress(progress, destination), exclude, labels, stop)
    finally:
        if was_enabled:
            gc.enable()


def dump_to_path(
    path: str | os.PathLike[str],
    *,
    progress: bool = True,
    collect: bool = True,
    labels: bool = True,
    exclude: Iterable[object] = (),
    stop: Callable[[], bool] | None = None,
) -> int:
    """Writes the heap of this process to the file ``path``; returns the object count.

    The dump goes to a temporary file beside ``path`` that is renamed into place
    when complete, so a reader never sees half a dump. ``stop``, if given, is
    asked now and then whether to give up (the dump then raises ``Cancelled``
    and leaves no file).
    """
    path = os.fspath(path)
    partial = f"{path}.{os.getpid()}.partial"
    try:
        with open(partial, "w", encoding="utf-8", buffering=1 << 20) as out:
            count = _dump(out, path, progress, collect, exclude, labels, stop)
        os.replace(partial, path)
    except BaseException:
        try:
            os.unlink(partial)
        except OSError:
            pass
        raise
    return count


def _remote_main(request: dict[str, Any]) -> None:
    """The entry point when this source runs inside a process dumped by --pid.

    Never raises: an exception escaping the interpreter's pending call or the
    debugger's call would disturb the target. Reports through files in the
    request's directory: `claim` when it starts (only one run may claim, and
    none after the deadline), `status` when done ("ok COUNT" or the error).
    """
    directory = request["directory"]
    try:
        if time.time() > request["deadline"]:
            return
        os.close(os.open(os.path.join(directory, "claim"), os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644))
    except BaseException:
        return
    try:
        # The frame that ran the bootstrap (PyRun_SimpleString's "<string>") is ours too.
        outer: Any = sys._getframe()
        while outer is not None and os.path.dirname(outer.f_code.co_filename) == directory:
            outer = outer.f_back
        exclude = [outer] if outer is not None and outer.f_code.co_filename == "<string>" else []
        cancel = os.path.join(directory, "cancel")
        count = dump_to_path(
            request["output"], progress=False, labels=request["labels"], exclude=exclude,
            stop=lambda: os.path.exists(cancel),
        )
        outcome = f"ok {count}"
    except BaseException as error:
        outcome = f"error {type(error).__name__}: {error}"
    try:
        status = os.path.join(directory, "status")
        with open(status + ".partial", "w", encoding="utf-8") as report:
            report.write(outcome)
        os.replace(status + ".partial", status)
    except BaseException:
        pass
