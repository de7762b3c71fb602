"""Smoke test of an installed wheel: import, build a small database, query it."""
import sys
import tempfile

import vossick_analysis as va

LINES = [
    b'{"id":1,"type":"builtins.dict","references":[2,3],"value":null,"size":232}\n',
    b'{"id":2,"type":"builtins.str","references":[],"value":"hello","size":54}\n',
    b'{"id":3,"type":"builtins.list","references":[2],"size":72}',
]

with tempfile.TemporaryDirectory() as path:
    explorer = va.HeapDumpExplorer(path)
    explorer.import_lines(LINES, va.EstimatorPrecision.NoEstimates)
    record = explorer.get_object(1)
    assert [r.id for r in record.references] == [2, 3], record.references
    assert [r.id for r in explorer.get_object(2).referrers] == [1, 3]
    rows = dict(explorer.get_type_summaries())
    assert rows["All Types"].count == 3 and rows["All Types"].total_size == 358
    assert repr(va.EstimatorPrecision.Exact) == "EstimatorPrecision.Exact"
    del explorer

print("smoke test on Python %d.%d: 1 passed, 0 failed" % sys.version_info[:2])
