"""Measures the error of the approximate precisions against Exact on one dump,
and the import and estimation rates.

    python examples/precision_error.py heap.jsonl

Imports the dump once per precision into fresh databases; for every object the
relative error is |estimate - exact| / exact, over all objects and
over the objects whose exact subtree size is at least 64 KiB. Prints figures, asserts nothing.
"""

import os
import statistics
import sys
import tempfile
import time

import vossick_analysis as va

BIG = 64 * 1024  # objects whose exact subtree size is at least this are reported apart
PRECISIONS = ["NoEstimates", "Low", "Medium", "High", "Exact"]


def import_at(dump: str, db: str, precision: str) -> tuple[float, dict[int, int | None]]:
    os.mkdir(db)
    explorer = va.HeapDumpExplorer(db)
    started = time.perf_counter()
    with open(dump, "rb") as lines:
        explorer.import_lines(lines, getattr(va.EstimatorPrecision, precision))
    seconds = time.perf_counter() - started
    return seconds, {s.id: s.subtree_size for s in explorer.get_objects_by_type("All Types", None)}


def quantile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def main(dump: str) -> None:
    with tempfile.TemporaryDirectory() as work:
        results = {p: import_at(dump, os.path.join(work, p), p) for p in PRECISIONS}
    base_seconds, objects = results["NoEstimates"]
    exact = results["Exact"][1]
    n = len(objects)
    print(f"{n:,} objects; import without estimates {base_seconds:.2f} s ({n / base_seconds:,.0f} records/s)")
    print(f"{'precision':<10} {'total s':>8} {'estimation s':>13} {'objects/s':>11} {'median err':>11} {'p90 err':>9} {'max err':>9} {'big: median':>12} {'p90':>7}")
    for precision in PRECISIONS[1:]:
        seconds, sizes = results[precision]
        estimation = max(seconds - base_seconds, 1e-9)
        errors = [abs((sizes[i] or 0) - exact[i]) / exact[i] for i in exact if exact[i]]
        big = [abs((sizes[i] or 0) - exact[i]) / exact[i] for i in exact if exact[i] >= BIG]
        print(
            f"{precision:<10} {seconds:>8.2f} {estimation:>13.2f} {n / estimation:>11,.0f} "
            f"{statistics.median(errors):>11.2%} {quantile(errors, 0.9):>9.2%} {max(errors):>9.2%} "
            f"{statistics.median(big):>12.2%} {quantile(big, 0.9):>7.2%}"
        )


if __name__ == "__main__":
    main(sys.argv[1])
