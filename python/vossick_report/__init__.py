"""Command-line reports over a vossick_analysis database, and a progress bar for imports.

    python -m vossick_report DB_DIR import heap.jsonl [--precision exact]
    python -m vossick_report DB_DIR types
    python -m vossick_report DB_DIR largest --by subtree
    python -m vossick_report DB_DIR object ID
    python -m vossick_report DB_DIR path START END
    python -m vossick_report DB_DIR common ID1 ID2
    python -m vossick_report DB_DIR check
    python -m vossick_report DB_DIR serve [--port N]    # a web viewer; needs the viewer extra

Every command takes --json for output that scripts can read.
"""

from vossick_report.formatting import format_size, render_table
from vossick_report.progress import with_progress

__all__ = ["format_size", "render_table", "with_progress", "main"]


def main(argv: list[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    from vossick_report.cli import main as run

    return run(argv)
