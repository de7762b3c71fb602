"""End-to-end demonstration: dump a real program's heap, import it, and report.

The sample program builds a cache of customers and orders (with cycles) and a
2 MB buffer, then dumps its own heap. The report answers: which types use the
memory, which objects hold the most, what holds the buffer, and how the main
module keeps it alive.

    python examples/demo.py [WORK_DIR]

With WORK_DIR, the dump and the database are kept there (to browse them with
``python -m vossick_report WORK_DIR/db serve``); without, they are removed.
"""

import os
import subprocess
import sys
import tempfile

import vossick_analysis as va
from vossick_report import main as report

HERE = os.path.dirname(os.path.abspath(__file__))


def section(title: str) -> None:
    print(f"\n== {title}", flush=True)


def run(*args: str) -> None:
    if report(list(args)) != 0:
        raise SystemExit(f"report failed: {args}")
    sys.stdout.flush()


def main() -> None:
    keep = sys.argv[1] if len(sys.argv) > 1 else None
    if keep:
        os.makedirs(keep, exist_ok=True)
    with tempfile.TemporaryDirectory() as scratch:
        work = keep or scratch
        dump = os.path.join(work, "heap.jsonl")
        db = os.path.join(work, "db")
        section("dump the heap of examples/sample_program.py")
        subprocess.run([sys.executable, os.path.join(HERE, "sample_program.py"), dump], check=True)

        section("python -m vossick_report DB import heap.jsonl --precision exact")
        run(db, "import", dump, "--precision", "exact")

        section("types by total size")
        run(db, "types", "--limit", "8")
        section("largest objects by subtree size (what they keep alive)")
        run(db, "largest", "--by", "subtree", "--limit", "6")
        section("largest objects by direct size")
        run(db, "largest", "--limit", "4")

        explorer = va.HeapDumpExplorer(db)
        blob = explorer.get_objects_by_type_ordered_by_size("builtins.bytearray", False, 0)[0]
        main_module = next(m for m in explorer.get_objects_by_type("builtins.module", None) if m.value == "__main__")
        del explorer  # the report opens the database itself; one explorer per directory per process

        section(f"the 2 MB buffer {blob.id} and who holds it")
        run(db, "object", str(blob.id), "--limit", "5")
        section("how the __main__ module keeps it alive")
        run(db, "path", str(main_module.id), str(blob.id))
        if keep:
            print(f"\nbrowse it: python -m vossick_report {db} serve", flush=True)


if __name__ == "__main__":
    main()
