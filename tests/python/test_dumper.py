"""The dumper on real processes: a program that dumps itself, a script run under
``python -m vossick_dump``, a live child dumped by a signal, and the JSON of odd objects."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import vossick_analysis as va
import vossick_dump
from vossick_dump import _walk
from conftest import python

# A small real program with the objects that make JSON and type names hard.
ODD_PROGRAM = textwrap.dedent(
    r'''
    import sys
    import vossick_dump

    class Holder:
        def __init__(self):
            self.peers = []

    class BadRepr:
        def __repr__(self):
            raise ValueError("repr refused")

    class LoudStr(str):
        def __repr__(self):
            raise ValueError("repr refused")

    class Long:
        pass
    Long.__qualname__ = "Deep" * 200  # a type name over the database's 511-byte key limit

    holders = [Holder() for i in range(50)]
    for a, b in zip(holders, holders[1:] + holders[:1]):
        a.peers.append(b)  # one cycle through all of them
    odd = ["lone \ud800 surrogate", 10 ** 5000, b"\x00\xff\"quote", BadRepr(), LoudStr("loud \udcff"), Long(),
           "tab\tnewline\n\x00"]
    print(vossick_dump.dump_to_path(sys.argv[1]))
    '''
)


def read_dump(path):
    raw = open(path, "rb").read()
    raw.decode("utf-8")  # strict: no lone surrogates escaped the writer
    return [json.loads(line) for line in raw.splitlines()]


def of_type(records, type_name):
    return [r for r in records if r["type"] == type_name]


def test_odd_objects_make_a_closed_graph_of_valid_json_that_imports(tmp_path, db_dir):
    program, dump = tmp_path / "odd.py", tmp_path / "heap.jsonl"
    program.write_text(ODD_PROGRAM)
    done = python(program, dump)
    assert done.returncode == 0, done.stderr
    count, records = int(done.stdout), read_dump(dump)
    ids = [r["id"] for r in records]
    assert len(ids) == len(set(ids)) == count and f"wrote {count:,} objects" in done.stderr
    assert {ref for r in records for ref in r["references"]} <= set(ids)
    assert {("builtins.str", "lone \\ud800 surrogate"), ("builtins.int", "<int of 16610 bits>"),
            ("builtins.bytes", "b'\\x00\\xff\"quote'"), ("__main__.LoudStr", "loud \\udcff"),
            ("builtins.str", "tab\tnewline\n\x00"), ("__main__.BadRepr", None)} <= {(r["type"], r["value"])
                                                                                for r in records}
    long_names = [r["type"] for r in records if r["type"].startswith("__main__.Deep")]
    assert long_names and all(len(name.encode()) == 511 for name in long_names)  # cut to the key limit
    # Left out: the dumper's own progress object, the partial file's name, the open output file.
    assert not [r for r in records if r["type"].startswith("vossick_dump.") or (r["value"] or "").startswith(
        f"{dump}.") or (r["type"] == "_io.BufferedWriter" and r["size"] >= 1 << 20)]
    explorer = va.HeapDumpExplorer(str(db_dir))
    with open(dump, "rb") as lines:
        explorer.import_lines(lines, va.EstimatorPrecision.Exact)
    assert explorer.get_count_for_type("All Types") == count
    holders = explorer.get_objects_by_type("__main__.Holder", None)
    assert len(holders) == 50 and len({h.subtree_size for h in holders}) == 1  # one cycle: one subtree size
    path = explorer.find_path_between_objects(holders[0].id, holders[1].id, set())
    assert [path[0].id, path[-1].id] == [holders[0].id, holders[1].id]


@pytest.mark.parametrize("value, expected", [
    (True, "True"), (2**256 - 1, str(2**256 - 1)), (2**256, "<int of 257 bits>"), (1j, "1j"),
    ("x" * 101, "x" * 100 + "..."), ("\ud83d", "\\ud83d"), (b"\x01" * 200, "b'" + "\\x01" * 24 + "..."),
    (json, "json"), (dict, "builtins.dict"), (vossick_dump.dump, "dump"), ([1], None),
])
def test_short_values(value, expected):
    got = _walk._short_value(value)
    if expected is not None and expected.endswith("..."):
        assert got.startswith(expected[:-3]) and got.endswith("...") and len(got) == 103
    else:
        assert got == expected


SCRIPT = textwrap.dedent(
    """
    import sys
    class Marker:
        pass
    keep = [Marker() for _ in range(7)]
    blob = bytearray(5000)
    print("argv", sys.argv[1:])
    if sys.argv[1] == "raise":
        raise KeyError("boom")
    sys.exit(int(sys.argv[1]))
    """
)


@pytest.mark.parametrize("output", ["option", "env", "directory", "--trace", "--no-labels"])
def test_run_script_and_dump_at_exit(tmp_path, output):
    script, dump, env = tmp_path / "script.py", tmp_path / "heap.jsonl", dict(os.environ)
    script.write_text(SCRIPT)
    args = {"option": ["-o", str(dump), str(script), "3", "-o", "x"], "env": [str(script), "3", "-o", "x"],
            "directory": ["-o", str(tmp_path), str(script), "raise"]}.get(output, [output, "-o", str(dump),
                                                                                 str(script), "0"])
    if output == "env":
        env["VOSSICK_DUMP_PATH"] = str(dump)
    done = python("-m", "vossick_dump", *args, env=env)
    assert "objects" in done.stderr
    if output == "directory":  # a script that ends in an exception
        assert done.returncode == 1 and "KeyError: 'boom'" in done.stderr
        (dump,) = tmp_path.glob("heap-*.jsonl")
    elif output in ("option", "env"):
        assert done.returncode == 3 and "argv ['3', '-o', 'x']" in done.stdout, done.stderr
    records = read_dump(dump)
    assert len(of_type(records, "__main__.Marker")) == 7
    if output == "--trace":
        assert [r["allocated_at"] for r in of_type(records, "builtins.bytearray")
                if r.get("allocated_at", "").startswith(str(script))] == [f"{script}:6"]
    assert any("labels" in r for r in records) == (output != "--no-labels")


LIVE_PROGRAM = textwrap.dedent(
    """
    import itertools, sys, time
    import vossick_dump
    class Survivor:
        pass
    keep = [Survivor() for _ in range(3)]
    vossick_dump.install_signal_handler(sys.argv[1])
    print("ready", flush=True)
    for ticks in itertools.count(1):
        time.sleep(0.02)
        if ticks % 10 == 0:
            print("tick", ticks, flush=True)
    """
)


def test_signal_dumps_a_live_process_that_keeps_running(tmp_path):
    program, out_dir = tmp_path / "live.py", tmp_path / "dumps"
    program.write_text(LIVE_PROGRAM)
    out_dir.mkdir()
    child = subprocess.Popen([sys.executable, str(program), str(out_dir)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        for expected_dumps in (1, 2):
            child.send_signal(signal.SIGUSR1)
            deadline = time.monotonic() + 30
            while len(list(out_dir.glob("*.jsonl"))) < expected_dumps:
                assert child.poll() is None and time.monotonic() < deadline, "no dump appeared"
                time.sleep(0.05)
        # Still alive and still working after both dumps.
        assert all(child.stdout.readline().startswith("tick") for _ in range(2)) and child.poll() is None
    finally:
        child.kill()
        child.wait()
    dumps = sorted(out_dir.glob("*.jsonl"))
    assert len(dumps) == 2 and not list(out_dir.glob("*.partial"))
    assert all(len(of_type(read_dump(dump), "__main__.Survivor")) == 3 for dump in dumps)
