"""Disk full: imports of growing size into an environment on a 4 MiB tmpfs, in a
child process (a fault through the memory map would show as a signal), until
one fails. Everything committed before stays readable and unchanged, the
failed call's records are all stored (only its pass failed) or none, and a
small import still succeeds afterwards."""
import os
import subprocess
import textwrap

import pytest
from conftest import python

SCENARIO = textwrap.dedent("""
    import json, sys
    import vossick_analysis as va
    explorer, EXACT = va.HeapDumpExplorer(sys.argv[1]), va.EstimatorPrecision.Exact
    line = lambda i, refs, value: json.dumps({"id": i, "type": "T%d" % (i % 7), "references": refs, "value": value,
                                              "size": 10}).encode()
    state = lambda: (explorer.get_count_for_type("All Types"),
                     sorted((s.id, s.subtree_size) for s in explorer.get_objects_by_type("All Types", None)))
    committed, count, error = 0, 50, None
    while error is None and committed < 10 ** 6:
        before = state()
        try:
            explorer.import_lines([line(i, [i - 1] if i else [], "x" * 300)
                                   for i in range(committed, committed + count)], EXACT)
            committed, count = committed + count, count * 2
        except RuntimeError as e:
            error = str(e)
    print(error)
    after = state()
    assert committed > 0 and after[0] == before[0] == committed, (after[0], committed)
    new_ids = [i for i, _ in after[1] if i >= committed]
    assert new_ids in ([], list(range(committed, committed + count))), len(new_ids)
    assert [r for r in after[1] if r[0] < committed] == before[1]
    assert all(size == 10 * (i + 1) for i, size in before[1])
    explorer.import_lines([line(committed + count, [0], None)], EXACT)  # space of the aborted write is reused
    assert explorer.get_object(committed + count).subtree_size == 20
    print("ok")
""")


@pytest.fixture
def small_filesystem(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(tmp_path)], capture_output=True,
                             text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    yield tmp_path
    subprocess.run(["umount", str(tmp_path)], check=True)


def test_full_disk_fails_the_import_and_keeps_what_was_committed(small_filesystem):
    child = python("-c", SCENARIO, small_filesystem)
    assert child.returncode == 0, child.stdout + child.stderr  # a negative status: killed by a signal
    # LMDB reports a short write on a full device as EIO, a refused one as ENOSPC.
    assert child.stdout.splitlines() in (["Input/output error", "ok"], ["No space left on device", "ok"])
