"""Write a heap dump of the running Python process in the vossick_analysis line format.

Each line is one JSON object::

    {"id": 140..., "type": "builtins.dict", "references": [...], "value": null, "size": 232}

What the dump sees is the garbage collector's view: every object the ``gc`` module
tracks, every object reachable from those through ``gc.get_referents`` (which also
reaches untracked objects such as strings and integers), and the loaded modules.
Objects that no tracked container references and that are only held from C
(a C extension's static data, the frames of other threads' C code) are not seen.
``size`` is ``sys.getsizeof``: the object's own memory, not what it holds.
The dumper's own bookkeeping objects are left out of the dump.
"""

from __future__ import annotations

import gc
import json
import sys
from typing import IO, Iterable, Iterator

__all__ = ["dump", "dump_to_path", "iter_records"]

_VALUE_LIMIT = 100
_SCALARS = (str, int, float, bool, complex, bytes)


def _type_name(obj: object) -> str:
    cls = type(obj)
    module = getattr(cls, "__module__", None) or "builtins"
    name = getattr(cls, "__qualname__", None) or cls.__name__
    return _clean(f"{module}.{name}")


def _clean(text: str) -> str:
    # Lone surrogates cannot be written as UTF-8; keep them visible as escapes.
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _short_value(obj: object) -> str | None:
    if obj is None or isinstance(obj, _SCALARS):
        try:
            if isinstance(obj, str):
                text = obj if len(obj) <= _VALUE_LIMIT else obj[:_VALUE_LIMIT] + "..."
            elif isinstance(obj, int) and not isinstance(obj, bool) and obj.bit_length() > 256:
                text = f"<int of {obj.bit_length()} bits>"
            else:
                text = repr(obj)
                if len(text) > _VALUE_LIMIT:
                    text = text[:_VALUE_LIMIT] + "..."
        except Exception:  # a repr may fail; the dump must not
            return None
        return _clean(text)
    if isinstance(obj, type(sys)):
        return _clean(getattr(obj, "__name__", "") or "")
    if isinstance(obj, type):
        return _clean(f"{obj.__module__}.{obj.__qualname__}")
    return None


def iter_records(exclude: Iterable[object] = ()) -> Iterator[dict]:
    """Yields one record per live object reachable from the gc's roots."""
    excluded = {id(o) for o in exclude}
    roots = gc.get_objects()
    roots.extend(sys.modules.values())
    seen: set[int] = set()
    stack: list[object] = []
    excluded.update((id(seen), id(stack), id(roots), id(excluded)))
    stack.extend(roots)
    del roots
    while stack:
        obj = stack.pop()
        oid = id(obj)
        if oid in seen or oid in excluded:
            continue
        seen.add(oid)
        referents = [r for r in gc.get_referents(obj) if id(r) not in excluded]
        stack.extend(referents)
        try:
            size = sys.getsizeof(obj)
        except Exception:
            size = 0
        yield {
            "id": oid,
            "type": _type_name(obj),
            "references": [id(r) for r in referents],
            "value": _short_value(obj),
            "size": size,
        }


def dump(out: IO[str], *, progress: bool = False) -> int:
    """Writes the heap of this process to the text stream ``out``; returns the object count."""
    count = 0
    gc.collect()
    for record in iter_records(exclude=(out,)):
        out.write(json.dumps(record, ensure_ascii=False))
        out.write("\n")
        count += 1
        if progress and count % 100_000 == 0:
            print(f"vossick_dump: {count} objects", file=sys.stderr)
    if progress:
        print(f"vossick_dump: {count} objects written", file=sys.stderr)
    return count


def dump_to_path(path: str, *, progress: bool = False) -> int:
    """Writes the heap of this process to the file ``path``; returns the object count."""
    with open(path, "w", encoding="utf-8") as out:
        return dump(out, progress=progress)
