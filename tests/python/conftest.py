import json

import pytest

import vossick_analysis as va


def line(id, type="builtins.object", references=(), size=16, value=None, subtree_size=None, **extra):
    """One dump line in the import format."""
    record = {"id": id, "type": type, "references": list(references), "size": size}
    if value is not None:
        record["value"] = value
    if subtree_size is not None:
        record["subtree_size"] = subtree_size
    record.update(extra)
    return (json.dumps(record) + "\n").encode()


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

    def make(lines, precision=va.EstimatorPrecision.NoEstimates):
        explorer = va.HeapDumpExplorer(str(db_dir))
        explorer.import_lines(lines, precision)
        return explorer

    return make
