import json
import subprocess
import sys

import pytest

import vossick_analysis as va

NO = va.EstimatorPrecision.NoEstimates
EXACT = va.EstimatorPrecision.Exact
MODULE = "builtins.module"
BAD_VALSIZE = "MDB_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong DUPFIXED size"


def line(id, type="builtins.object", references=(), size=16, value=None, subtree_size=None, **extra):
    """One dump line in the import format."""
    record = {"id": id, "type": type, "references": list(references), "size": size}
    if value is not None:
        record["value"] = value
    if subtree_size is not None:
        record["subtree_size"] = subtree_size
    record.update(extra)
    return (json.dumps(record) + "\n").encode()


def python(*args, timeout=120, **kwargs):
    """Runs this Python with `args` (str()-ed) to its end; its output is captured as text."""
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, timeout=timeout, **kwargs)


def ids(summaries):
    return None if summaries is None else [s.id for s in summaries]


def raises_exactly(error, message, call, *args, **kwargs):
    """Asserts that call(*args, **kwargs) raises `error` whose text is exactly `message`."""
    with pytest.raises(error) as info:
        call(*args, **kwargs)
    assert str(info.value) == message


# The six databases with the flags LMDB's own binding opens them with.
DB_FLAGS = {"primary": dict(integerkey=True), "referrers": dict(integerkey=True, dupsort=True, dupfixed=True),
            **{name: dict(dupsort=True, dupfixed=True) for name in ("types", "types_size_index",
                                                                    "types_subtree_size_index")},
            "type_summaries": {}}


def read_lmdb(db_dir, names=tuple(DB_FLAGS)):
    """{name: [(key, value)]} of the named databases, read through LMDB's own binding."""
    lmdb = pytest.importorskip("lmdb")
    env = lmdb.open(str(db_dir), max_dbs=7, readonly=True, lock=False)
    try:
        with env.begin() as txn:
            return {name: list(txn.cursor(db=env.open_db(name.encode(), txn=txn, create=False,
                                                          **DB_FLAGS[name])).iternext()) for name in names}
    finally:
        env.close()


@pytest.fixture
def db_dir(tmp_path):
    path = tmp_path / "db"
    path.mkdir()
    return path


@pytest.fixture
def explorer(db_dir):
    return va.HeapDumpExplorer(str(db_dir))


@pytest.fixture
def make_explorer(db_dir):
    """Builds an explorer over the given lines imported with NoEstimates."""

    def make(lines, precision=NO):
        explorer = va.HeapDumpExplorer(str(db_dir))
        explorer.import_lines(lines, precision)
        return explorer

    return make
