"""From a dump file to the biggest objects and who holds them, fully typed.

    python examples/typed_quickstart.py heap.jsonl DB_DIR

Checked with ``mypy --strict`` by the tests, against the stubs the wheel ships.
"""

import os
import sys

import vossick_analysis as va
from vossick_report import format_size, with_progress


def biggest_with_holders(explorer: va.HeapDumpExplorer, limit: int) -> list[tuple[va.ObjectSummary, list[str]]]:
    rows: list[tuple[va.ObjectSummary, list[str]]] = []
    for summary in explorer.get_objects_by_type_ordered_by_size("All Types", True, 0)[:limit]:
        record = explorer.get_object(summary.id)
        holders = [r.type for r in record.referrers] if record is not None else []
        rows.append((summary, holders))
    return rows


def main(dump_path: str, db_dir: str) -> None:
    os.makedirs(db_dir, exist_ok=True)
    explorer = va.HeapDumpExplorer(db_dir)
    with open(dump_path, "rb") as lines:
        explorer.import_lines(with_progress(lines), va.EstimatorPrecision.Medium)
    totals: dict[str, va.TypeSummary] = dict(explorer.get_type_summaries())
    print(f"{totals['All Types'].count} objects, {format_size(totals['All Types'].total_size)}")
    for summary, holders in biggest_with_holders(explorer, 5):
        print(f"{summary.type:<30} {format_size(summary.subtree_size):>10}  held by {', '.join(holders[:3])}")
    avoid: frozenset[int] = frozenset()
    first, second = explorer.get_objects_by_type("All Types", 0)[:2]
    path = explorer.find_path_between_objects(first.id, second.id, avoid)
    common = explorer.find_largest_common_reachable_object(first.id, second.id)
    print(f"path of {len(path) if path is not None else 'no'} steps; common object {common}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
