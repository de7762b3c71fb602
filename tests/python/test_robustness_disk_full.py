"""Disk full: imports into an environment on a 4 MiB tmpfs.

Imports of growing size follow each other until the filesystem is full. The
failing import raises RuntimeError; everything committed before it stays
readable and unchanged; the failed call's records are either all stored
(its import committed and only the post-import pass failed) or none; and a
small import still succeeds afterwards. The scenario runs in a child process
so that a fault through the memory map (SIGBUS) would show as such instead
of ending the test session.
"""
import os
import signal
import subprocess
import sys
import textwrap

import pytest

SCENARIO = textwrap.dedent("""
    import json, sys
    import vossick_analysis as va
    explorer = va.HeapDumpExplorer(sys.argv[1])
    EXACT = va.EstimatorPrecision.Exact

    def lines(first, count, filler):
        return [json.dumps({"id": i, "type": "T%d" % (i % 7), "references": [i - 1] if i else [],
                            "value": filler, "size": 10}).encode() for i in range(first, first + count)]

    def state():
        count = explorer.get_count_for_type("All Types")
        listed = explorer.get_objects_by_type("All Types", None)
        return count, sorted((s.id, s.subtree_size) for s in listed)

    committed, count, error = 0, 50, None
    while error is None:
        before = state()
        try:
            explorer.import_lines(lines(committed, count, "x" * 300), EXACT)
        except RuntimeError as e:
            error = str(e)
            break
        committed += count
        count *= 2
        assert committed < 10 ** 6, "the filesystem never filled"

    print("error:", error)
    assert committed > 0, "the first import already failed"
    after = state()
    assert after[0] == before[0] == committed, (after[0], committed)  # summaries: from the last good pass
    new_ids = [i for i, _ in after[1] if i >= committed]
    # Records of the failed call: all (its pass failed) or none (its import failed).
    assert new_ids in ([], list(range(committed, committed + count))), len(new_ids)
    assert [r for r in after[1] if r[0] < committed] == before[1]
    assert all(size == 10 * (i + 1) for i, size in before[1])
    print("records of the failed call kept:", bool(new_ids))
    # Space freed by the aborted transaction is reused by a small import.
    small_id = committed + count
    explorer.import_lines([json.dumps({"id": small_id, "type": "S", "references": [0], "size": 1}).encode()], EXACT)
    assert explorer.get_object(small_id).subtree_size == 11
    print("ok")
""")


@pytest.fixture
def small_filesystem(tmp_path):
    mount_point = tmp_path / "tmpfs"
    mount_point.mkdir()
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mount_point)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


def test_full_disk_fails_the_import_and_keeps_what_was_committed(small_filesystem):
    child = subprocess.run([sys.executable, "-c", SCENARIO, str(small_filesystem)],
                           capture_output=True, text=True, timeout=120)
    if child.returncode < 0:
        pytest.fail(f"the import process died of {signal.Signals(-child.returncode).name}: {child.stderr}")
    assert child.returncode == 0, child.stdout + child.stderr
    assert child.stdout.endswith("ok\n")
    error = child.stdout.splitlines()[0]
    # LMDB reports a short write on a full device as EIO, a refused one as ENOSPC.
    assert error in ("error: Input/output error", "error: No space left on device"), error
