"""End-to-end demonstration: dump a real program's heap, import it, and report."""
import os
import subprocess
import sys
import tempfile
import time

import vossick_analysis as va

HERE = os.path.dirname(os.path.abspath(__file__))


def human(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024


def main():
    with tempfile.TemporaryDirectory() as work:
        dump_path = os.path.join(work, "heap.jsonl")
        subprocess.run([sys.executable, os.path.join(HERE, "sample_program.py"), dump_path], check=True)

        db_path = os.path.join(work, "db")
        os.mkdir(db_path)
        explorer = va.HeapDumpExplorer(db_path)
        started = time.perf_counter()
        with open(dump_path, "rb") as lines:
            explorer.import_lines(lines, va.EstimatorPrecision.NoEstimates)
        elapsed = time.perf_counter() - started

        rows = explorer.get_type_summaries()
        totals = dict(rows)["All Types"]
        print(f"\nimported {totals.count} objects of {len(rows) - 1} types "
              f"({human(totals.total_size)}) in {elapsed:.2f} s")

        print("\ntop types by total size")
        top = sorted((r for r in rows if r[0] != "All Types"), key=lambda r: -r[1].total_size)[:8]
        for name, summary in top:
            print(f"  {name:<40} {summary.count:>8} objects {human(summary.total_size):>12}")

        print("\nlargest objects by direct size, with who holds them")
        for summary in explorer.get_objects_by_type_ordered_by_size("All Types", False, 0)[:5]:
            record = explorer.get_object(summary.id)
            holders = ", ".join(f"{r.type}#{r.id}" for r in record.referrers[:3]) or "(no referrers)"
            print(f"  {summary.type:<28} {human(summary.size):>12}  held by {holders}")


if __name__ == "__main__":
    main()
