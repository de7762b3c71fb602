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

# A small real program with the objects that make JSON and type names hard.
ODD_PROGRAM = textwrap.dedent(
    r'''
    import sys
    import vossick_dump

    class Holder:
        def __init__(self, name):
            self.name = name
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

    holders = [Holder(f"h{i}") for i in range(50)]
    for a, b in zip(holders, holders[1:] + holders[:1]):
        a.peers.append(b)  # one cycle through all of them
    odd = {
        "surrogate": "lone \ud800 surrogate",
        "huge": 10 ** 5000,
        "bytes": b"\x00\xff\"quote",
        "bad": BadRepr(),
        "loud": LoudStr("loud \udcff"),
        "long": Long(),
        "control": "tab\tnewline\n\x00",
    }
    count = vossick_dump.dump_to_path(sys.argv[1])
    print(count)
    '''
)


def run_python(args, **kwargs):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=60, **kwargs)


def read_dump(path):
    with open(path, "rb") as f:
        raw = f.read()
    raw.decode("utf-8")  # strict: no lone surrogates escaped the writer
    return [json.loads(line) for line in raw.splitlines()]


@pytest.fixture(scope="module")
def odd_dump(tmp_path_factory):
    work = tmp_path_factory.mktemp("odd")
    program = work / "odd_program.py"
    program.write_text(ODD_PROGRAM)
    dump = work / "heap.jsonl"
    done = run_python([str(program), str(dump)])
    assert done.returncode == 0, done.stderr
    return dump, int(done.stdout), done.stderr


def test_dump_is_a_closed_graph_that_imports(odd_dump, db_dir):
    dump, count, stderr = odd_dump
    records = read_dump(dump)
    ids = [r["id"] for r in records]
    assert len(ids) == len(set(ids)) == count
    assert {ref for r in records for ref in r["references"]} <= set(ids)
    assert f"wrote {count:,} objects" in stderr
    explorer = va.HeapDumpExplorer(str(db_dir))
    with open(dump, "rb") as lines:
        explorer.import_lines(lines, va.EstimatorPrecision.Exact)
    assert dict(explorer.get_type_summaries())["All Types"].count == count
    holders = explorer.get_objects_by_type("__main__.Holder", None)
    assert len(holders) == 50
    # Objects on one cycle reach each other, so they share one subtree size.
    assert len({h.subtree_size for h in holders}) == 1
    assert "builtins.list" in {r.type for r in explorer.get_object(holders[0].id).referrers}
    path = explorer.find_path_between_objects(holders[0].id, holders[1].id, set())
    assert [path[0].id, path[-1].id] == [holders[0].id, holders[1].id]


def of_type(records, type_name):
    return [r for r in records if r["type"] == type_name]


@pytest.mark.parametrize(
    "type_name, expected_value",
    [
        ("builtins.str", "lone \\ud800 surrogate"),
        ("builtins.int", "<int of 16610 bits>"),
        ("builtins.bytes", "b'\\x00\\xff\"quote'"),
        ("__main__.LoudStr", "loud \\udcff"),
        ("builtins.str", "tab\tnewline\n\x00"),
    ],
)
def test_odd_values_are_written_as_valid_json(odd_dump, type_name, expected_value):
    assert expected_value in {r["value"] for r in of_type(read_dump(odd_dump[0]), type_name)}


def test_odd_objects_long_type_names_and_dumper_bookkeeping(odd_dump):
    dump = odd_dump[0]
    records = read_dump(dump)
    (bad,) = of_type(records, "__main__.BadRepr")  # its repr raises: no value
    assert bad["value"] is None and bad["size"] > 0
    long_names = [r["type"] for r in records if r["type"].startswith("__main__.Deep")]
    assert long_names and all(len(name.encode()) == 511 for name in long_names)  # cut to the key limit
    # Left out: the dumper's own progress object, the partial file's name, the open output file.
    assert not of_type(records, "vossick_dump._Progress")
    assert not [r for r in records if (r["value"] or "").startswith(f"{dump}.")]
    assert not [r for r in records if r["type"] == "_io.BufferedWriter" and r["size"] >= 1 << 20]


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, "None"),
        (True, "True"),
        (7, "7"),
        (2**256 - 1, str(2**256 - 1)),
        (2**256, "<int of 257 bits>"),
        (1.5, "1.5"),
        (1j, "1j"),
        ("x" * 101, "x" * 100 + "..."),
        ("\ud83d", "\\ud83d"),
        (b"\x01" * 200, "b'" + "\\x01" * 24 + "..."),
        (bytearray(b"ab"), "b'ab'"),
        (json, "json"),
        (dict, "builtins.dict"),
        (vossick_dump.dump, "dump"),
        ([1], None),
    ],
)
def test_short_values(value, expected):
    got = _walk._short_value(value)
    if expected is not None and expected.endswith("..."):
        assert got is not None and got.startswith(expected[:-3]) and got.endswith("...")
        assert len(got) == 103
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


@pytest.mark.parametrize("output", ["option", "env", "directory"])
def test_run_script_and_dump_at_exit(tmp_path, output):
    script = tmp_path / "script.py"
    script.write_text(SCRIPT)
    dump = tmp_path / "heap.jsonl"
    env = dict(os.environ)
    if output == "option":
        args = ["-o", str(dump), str(script), "3", "-o", "x"]
    elif output == "env":
        env["VOSSICK_DUMP_PATH"] = str(dump)
        args = [str(script), "3", "-o", "x"]
    else:  # a directory, and a script that ends in an exception
        args = ["-o", str(tmp_path), str(script), "raise"]
    done = run_python(["-m", "vossick_dump", *args], env=env)
    if output == "directory":
        assert done.returncode == 1 and "KeyError: 'boom'" in done.stderr
        (dump,) = tmp_path.glob("heap-*.jsonl")
    else:
        assert done.returncode == 3 and "argv ['3', '-o', 'x']" in done.stdout, done.stderr
    assert "objects" in done.stderr
    assert len(of_type(read_dump(dump), "__main__.Marker")) == 7


@pytest.mark.parametrize(
    "option, holds",
    [
        ("--trace", lambda records, script: [r["allocated_at"] for r in of_type(records, "builtins.bytearray")
                                             if r.get("allocated_at", "").startswith(str(script))] == [f"{script}:6"]),
        ("--no-labels", lambda records, script: not any("labels" in r for r in records)),
    ],
)
def test_run_script_with_options(tmp_path, option, holds):
    script = tmp_path / "script.py"
    script.write_text(SCRIPT)
    done = run_python(["-m", "vossick_dump", option, "-o", str(tmp_path / "heap.jsonl"), str(script), "0"])
    assert done.returncode == 0, done.stderr
    records = read_dump(tmp_path / "heap.jsonl")
    assert len(of_type(records, "__main__.Marker")) == 7 and holds(records, script)


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
    program = tmp_path / "live.py"
    program.write_text(LIVE_PROGRAM)
    out_dir = tmp_path / "dumps"
    out_dir.mkdir()
    child = subprocess.Popen(
        [sys.executable, str(program), str(out_dir)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        for expected_dumps in (1, 2):
            child.send_signal(signal.SIGUSR1)
            deadline = time.monotonic() + 30
            while len(list(out_dir.glob("*.jsonl"))) < expected_dumps:
                assert child.poll() is None, child.stderr.read()
                assert time.monotonic() < deadline, "no dump appeared"
                time.sleep(0.05)
        # Still alive and still working after both dumps.
        assert all(child.stdout.readline().startswith("tick") for _ in range(2)) and child.poll() is None
    finally:
        child.kill()
        child.wait()
    dumps = sorted(out_dir.glob("*.jsonl"))
    assert len(dumps) == 2 and not list(out_dir.glob("*.partial"))
    for dump in dumps:
        assert len(of_type(read_dump(dump), "__main__.Survivor")) == 3
