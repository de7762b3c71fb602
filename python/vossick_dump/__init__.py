"""Write a heap dump of the running Python process in the vossick_analysis line format.

Each line is one JSON object::

    {"id":140...,"type":"builtins.dict","references":[...],"value":null,"size":232}

What the dump sees is the garbage collector's view: every object the ``gc`` module
tracks, every object reachable from those through ``gc.get_referents`` (which also
reaches untracked objects such as strings and integers), and the loaded modules.
It cannot see objects held only from C (a C extension's static data or its private
structures, what a type's ``tp_traverse`` does not report), memory that is not a
Python object (allocator free lists, buffers owned by C libraries), or objects of
other threads' C stacks. ``size`` is ``sys.getsizeof``: the object's own memory,
not what it holds. The dumper's own bookkeeping (its sets, lists, frames and the
output file) is left out of the dump.

Every id that appears in a ``references`` list has a record of its own: the
dumper keeps each visited object alive until the dump ends, so an id is never
reused for another object mid-dump. Other threads keep running while the dump
is written (the interpreter lock is released during file writes), so a dump of a
multi-threaded program is a walk over a changing heap, not a snapshot.

Three ways in:

- ``dump_to_path(path)`` / ``dump(stream)`` from the program itself;
- ``python -m vossick_dump -o heap.jsonl script.py args...`` to run a script and
  dump its heap when it ends;
- ``install_signal_handler(path_or_dir)`` so that ``kill -USR1 PID`` writes a dump
  of a live process.
"""

from __future__ import annotations

import datetime
import gc
import json
import os
import signal as _signal
import sys
import time
import types
from typing import Any, Callable, Iterable, TextIO

__all__ = ["dump", "dump_to_path", "install_signal_handler", "default_dump_name"]

# The C string encoder behind json.dumps(text, ensure_ascii=False), without its per-call overhead.
_json_string: Callable[[str], str] = json.encoder.encode_basestring
_VALUE_LIMIT = 100
_HUGE_INT_BITS = 256
_TYPE_NAME_LIMIT = 511  # the database refuses longer type keys (bytes)
_PROGRESS_EVERY = 100_000
_WRITE_CHUNK = 4096  # lines per write call


def _clean(text: str) -> str:
    # Lone surrogates cannot be written as UTF-8; keep them visible as escapes.
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


_TYPE_MODULE = type.__dict__["__module__"]
_TYPE_QUALNAME = type.__dict__["__qualname__"]


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


def _truncate(text: str) -> str:
    return text if len(text) <= _VALUE_LIMIT else text[:_VALUE_LIMIT] + "..."


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
        if issubclass(cls, types.ModuleType):
            name = obj.__dict__.get("__name__")
            return _clean(name) if isinstance(name, str) else None
        if issubclass(cls, type):
            return _type_name(obj)  # type: ignore[arg-type]
        if cls is types.FunctionType or cls is types.BuiltinFunctionType:
            name = obj.__qualname__  # type: ignore[attr-defined]
            return _clean(_truncate(name)) if isinstance(name, str) else None
    except Exception:  # the dump must survive any odd object
        return None
    return None


def _size(obj: object) -> int:
    try:
        size = sys.getsizeof(obj)
    except Exception:  # a broken __sizeof__ must not end the dump
        return 0
    return size if 0 <= size < 1 << 64 else 0


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


def _walk(out: TextIO, progress: _Progress, exclude: Iterable[object]) -> int:
    here = _walk.__code__.co_filename
    roots = gc.get_objects()
    roots.extend(sys.modules.values())
    seen: set[int] = set()
    alive: list[object] = []  # keeps every visited object, so ids are not reused mid-dump
    stack: list[object] = []
    chunk: list[str] = []
    type_json: dict[type, str] = {}
    excluded = {id(o) for o in exclude}
    layer: object = out
    for _ in range(3):  # the text stream, its buffer and its raw file
        excluded.add(id(layer))
        layer = getattr(layer, "buffer", None) or getattr(layer, "raw", None)
        if layer is None:
            break
    del layer
    excluded.update(map(id, (roots, seen, alive, stack, chunk, type_json, excluded, out, progress)))
    frame: types.FrameType | None = sys._getframe()
    while frame is not None:
        if frame.f_code.co_filename == here:
            excluded.add(id(frame))
        frame = frame.f_back
    del frame

    stack.extend(roots)
    del roots
    frame_type = types.FrameType
    count = 0
    written = 0
    while stack:
        obj = stack.pop()
        oid = id(obj)
        if oid in seen or oid in excluded:
            continue
        if type(obj) is frame_type and obj.f_code.co_filename == here:
            excluded.add(oid)
            continue
        seen.add(oid)
        alive.append(obj)
        referents = [r for r in gc.get_referents(obj) if id(r) not in excluded]
        stack.extend(referents)
        cls = type(obj)
        type_text = type_json.get(cls)
        if type_text is None:
            type_text = type_json[cls] = _json_string(_type_name(cls))
        value = _short_value(obj)
        value_text = "null" if value is None else _json_string(value)
        references = ",".join([str(id(r)) for r in referents])
        chunk.append(
            f'{{"id":{oid},"type":{type_text},"references":[{references}],'
            f'"value":{value_text},"size":{_size(obj)}}}\n'
        )
        count += 1
        if len(chunk) >= _WRITE_CHUNK:
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
) -> int:
    """Writes the heap of this process to the text stream ``out``; returns the object count.

    ``collect`` runs a full garbage collection first, so unreachable cycles are
    not reported; the collector is paused during the walk either way. Objects in
    ``exclude`` are left out (and not walked through).
    """
    return _dump(out, str(getattr(out, "name", "stream")), progress, collect, exclude)


def _dump(out: TextIO, destination: str, progress: bool, collect: bool, exclude: Iterable[object]) -> int:
    was_enabled = gc.isenabled()
    if collect:
        gc.collect()
    gc.disable()
    try:
        return _walk(out, _Progress(progress, destination), exclude)
    finally:
        if was_enabled:
            gc.enable()


def dump_to_path(path: str | os.PathLike[str], *, progress: bool = True, collect: bool = True) -> int:
    """Writes the heap of this process to the file ``path``; returns the object count.

    The dump goes to a temporary file beside ``path`` that is renamed into place
    when complete, so a reader never sees half a dump.
    """
    path = os.fspath(path)
    partial = f"{path}.{os.getpid()}.partial"
    try:
        with open(partial, "w", encoding="utf-8", buffering=1 << 20) as out:
            count = _dump(out, path, progress, collect, ())
        os.replace(partial, path)
    except BaseException:
        try:
            os.unlink(partial)
        except OSError:
            pass
        raise
    return count


def default_dump_name(pid: int | None = None) -> str:
    """``heap-PID-YYYYmmdd-HHMMSS-ffffff.jsonl``: a fresh file name for one dump."""
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S-%f")
    return f"heap-{os.getpid() if pid is None else pid}-{stamp}.jsonl"


def _resolve(path_or_dir: str) -> str:
    if os.path.isdir(path_or_dir):
        return os.path.join(path_or_dir, default_dump_name())
    return path_or_dir


def install_signal_handler(
    path_or_dir: str | os.PathLike[str],
    signal: int = _signal.SIGUSR1,
    *,
    progress: bool = True,
) -> Callable[[int, Any], Any] | int | None:
    """Makes ``signal`` (default SIGUSR1) write a heap dump of this process.

    ``path_or_dir`` names the dump file (overwritten by each dump), or an existing
    directory in which every dump gets a fresh name (``default_dump_name``). The
    dump is written inside the handler on the main thread, so the program pauses
    for the dump's duration and then continues; a signal that arrives during a
    dump is ignored. Must be called from the main thread. Returns the previous
    handler.
    """
    target = os.fspath(path_or_dir)
    busy = False

    def write_dump(signum: int, frame: Any) -> None:
        nonlocal busy
        if busy:
            return
        busy = True
        try:
            path = _resolve(target)
            dump_to_path(path, progress=progress)
        except Exception as error:  # a failed dump must not kill the program
            print(f"vossick_dump: dump failed: {error!r}", file=sys.stderr, flush=True)
        finally:
            busy = False

    return _signal.signal(signal, write_dump)
