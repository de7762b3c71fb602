"""The ``python -m vossick_report DB_DIR <command>`` command line."""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

import vossick_analysis as va

from vossick_report.check import check_in_child
from vossick_report.formatting import format_chain, format_size, render_table, shorten
from vossick_report.progress import with_progress

PRECISIONS = {
    "none": va.EstimatorPrecision.NoEstimates,
    "low": va.EstimatorPrecision.Low,
    "medium": va.EstimatorPrecision.Medium,
    "high": va.EstimatorPrecision.High,
    "exact": va.EstimatorPrecision.Exact,
}
ALL_TYPES = "All Types"
LOOPBACK = "127.0.0.1"
VIEWER_NEEDS = ("starlette", "uvicorn", "jinja2")  # the viewer extra's packages

# The orders of the type table, shared by the types command and the viewer.
TYPE_ORDERS: dict[str, Callable[[tuple[str, va.TypeSummary]], Any]] = {
    "size": lambda row: (-row[1].total_size, row[0]),
    "count": lambda row: (-row[1].count, row[0]),
    "name": lambda row: row[0],
}


class UsageError(Exception):
    """A mistake of the caller, reported without a traceback."""


def parse_object_id(text: str) -> int:
    """An id in decimal or 0x hex (as id() prints elsewhere); ValueError says what is wrong."""
    try:
        value = int(text.strip(), 0)
    except ValueError:
        raise ValueError(f"not an object id: {text!r}") from None
    if not 0 <= value < 1 << 64:
        raise ValueError(f"object id out of range: {text}")
    return value


def _object_id(text: str) -> int:
    try:
        return parse_object_id(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


# Both carry the fields a summary row shows.
Summarised = va.ObjectSummary | va.ObjectRecord
NO_RETAINED = "no retained sizes in this database (import the dump again without --no-retained)"


def _summary_json(summary: Summarised, retained: int | None = None) -> dict[str, Any]:
    return {
        "id": summary.id,
        "type": summary.type,
        "value": summary.value,
        "size": summary.size,
        "subtree_size": summary.subtree_size,
        "retained_size": retained,
    }


def _summary_table(summaries: Sequence[Summarised], retained: Sequence[int | None] | None = None,
                   lead: Sequence[tuple[str, Sequence[object], bool]] = (), width: int = 40) -> str:
    """Aligned rows of id, type, size, subtree[, retained], value, after the `lead` columns
    (header, cells, right-aligned)."""
    headers = ["id", "type", "size", "subtree"] + (["retained"] if retained is not None else []) + ["value"]
    right = [True, False, True, True] + ([True] if retained is not None else []) + [False]
    rows: list[list[object]] = []
    for k, s in enumerate(summaries):
        row: list[object] = [s.id, s.type, format_size(s.size), format_size(s.subtree_size)]
        if retained is not None:
            row.append(format_size(retained[k]))
        rows.append(row + [shorten(s.value, width)])
    for header, cells, right_aligned in reversed(lead):
        headers, right = [header] + headers, [right_aligned] + right
        rows = [[cell] + row for cell, row in zip(cells, rows)]
    return render_table(headers, rows, right)


def _has_retained_sizes(explorer: va.HeapDumpExplorer) -> bool:
    try:
        explorer.get_retained_size(0)
    except RuntimeError as error:
        if "compute_retained_sizes()" in str(error):
            return False
        raise
    return True


def _retained_of(explorer: va.HeapDumpExplorer, summaries: Sequence[Summarised]) -> list[int | None] | None:
    """The retained size of each object, or None when the database has none."""
    if not _has_retained_sizes(explorer):
        return None
    return [explorer.get_retained_size(s.id) for s in summaries]


def _require_database(db_dir: str) -> None:
    if not os.path.exists(os.path.join(db_dir, "data.mdb")):
        raise UsageError(f"no database in {db_dir}; create one with: python -m vossick_report {db_dir} import DUMP_FILE")


def _open(db_dir: str, create: bool = False) -> va.HeapDumpExplorer:
    if create:
        os.makedirs(db_dir, exist_ok=True)
    else:
        _require_database(db_dir)
    return va.HeapDumpExplorer(db_dir)


def cmd_import(explorer: va.HeapDumpExplorer, options: argparse.Namespace) -> Any:
    precision = PRECISIONS[options.precision]
    held = explorer.get_count_for_type(ALL_TYPES)
    if held and not options.append:
        raise UsageError(
            f"{options.db_dir} already holds {held:,} objects; a second dump imported there would merge with "
            "the first (objects freed since would stay, with stale referrers). Import each dump into a database "
            "of its own and compare them with: python -m vossick_report NEW_DB diff OLD_DB "
            "(--append imports into this one anyway)")
    started = time.perf_counter()
    with open(options.dump_file, "rb") as dump:
        lines = with_progress(dump) if not options.quiet else dump
        if not options.quiet:
            print(f"importing {options.dump_file} (subtree sizes: {options.precision})", file=sys.stderr)
        explorer.import_lines(lines, precision)
    seconds = time.perf_counter() - started
    retained_seconds = None
    if not options.no_retained:
        if not options.quiet:
            print("computing retained sizes (dominator tree)", file=sys.stderr)
        started = time.perf_counter()
        explorer.compute_retained_sizes()
        retained_seconds = time.perf_counter() - started
    total = dict(explorer.get_type_summaries()).get(ALL_TYPES)
    result = {
        "objects": total.count if total else 0,
        "total_size": total.total_size if total else 0,
        "precision": options.precision,
        "seconds": round(seconds, 3),
        "retained_seconds": None if retained_seconds is None else round(retained_seconds, 3),
    }
    if options.json:
        return result
    text = (
        f"{result['objects']:,} objects, {format_size(result['total_size'])} in the database; "
        f"import and subtree sizes took {seconds:.2f} s"
    )
    if retained_seconds is not None:
        text += f", retained sizes {retained_seconds:.2f} s"
    return text


def cmd_types(explorer: va.HeapDumpExplorer, options: argparse.Namespace) -> Any:
    rows = explorer.get_type_summaries()
    grand = dict(rows).get(ALL_TYPES)
    grand_size = grand.total_size if grand else 0
    table = sorted((r for r in rows if r[0] != ALL_TYPES), key=TYPE_ORDERS[options.sort])
    shown = table[: options.limit] if options.limit else table
    if options.json:
        return [{"type": name, "count": s.count, "total_size": s.total_size} for name, s in shown]
    body = [
        [name, f"{s.count:,}", format_size(s.total_size), f"{100 * s.total_size / grand_size:.1f}%" if grand_size else "-"]
        for name, s in shown
    ]
    text = render_table(["type", "count", "total size", "share"], body, [False, True, True, True])
    if grand:
        text += f"\n\n{len(table):,} types, {grand.count:,} objects, {format_size(grand.total_size)}"
        if len(shown) < len(table):
            text += f" ({len(table) - len(shown):,} types not shown; --limit 0 shows all)"
    return text


def cmd_largest(explorer: va.HeapDumpExplorer, options: argparse.Namespace) -> Any:
    type_name = options.type or ALL_TYPES
    by = options.by or ("retained" if _has_retained_sizes(explorer) else "size")
    if by == "retained":
        if not _has_retained_sizes(explorer):
            raise UsageError(NO_RETAINED)
        ranked = explorer.get_objects_by_type_ordered_by_retained_size(type_name, 0)[: options.limit]
        summaries: Sequence[va.ObjectSummary] = [s for s, _ in ranked]
        retained: list[int | None] | None = [size for _, size in ranked]
    else:
        summaries = explorer.get_objects_by_type_ordered_by_size(type_name, by == "subtree", 0)[: options.limit]
        retained = _retained_of(explorer, summaries)
    if options.json:
        return [_summary_json(s, retained[k] if retained else None) for k, s in enumerate(summaries)]
    if not summaries:
        if by == "subtree" and explorer.get_count_for_type(type_name):
            return "no subtree sizes in this database (import with --precision low, medium, high or exact)"
        return f"no objects of type {type_name}"
    return _summary_table(summaries, retained)


def cmd_object(explorer: va.HeapDumpExplorer, options: argparse.Namespace) -> Any:
    record = explorer.get_object(options.id)
    if record is None:
        raise UsageError(f"no object with id {options.id}")
    references, referrers = record.references, record.referrers
    labels = explorer.get_reference_labels(options.id) or [None] * len(references)
    site = explorer.get_allocation_site(options.id)
    has_retained = _has_retained_sizes(explorer)
    chain = explorer.get_dominator_chain(record.id) if has_retained else None
    chain_retained = _retained_of(explorer, chain) if chain else None
    if options.json:
        return {
            "id": record.id,
            "type": record.type,
            "value": record.value,
            "size": record.size,
            "subtree_size": record.subtree_size,
            "retained_size": explorer.get_retained_size(record.id) if has_retained else None,
            "allocated_at": site,
            "references": [dict(_summary_json(s), label=label) for s, label in zip(references, labels)],
            "referrers": [_summary_json(s) for s in referrers],
            "dominator_chain": None if chain is None else [
                _summary_json(s, r) for s, r in zip(chain, chain_retained or [])],
        }
    parts = [_summary_table([record], _retained_of(explorer, [record]), width=60)]
    if site is not None:
        parts.append(f"\nallocated at {site}")
    for title, summaries in (("referrers", referrers), ("references", references)):
        shown = summaries[: options.limit] if options.limit else summaries
        more = f", {len(summaries) - len(shown):,} not shown" if len(shown) < len(summaries) else ""
        parts.append(f"\n{title} ({len(summaries):,}{more})")
        if shown and title == "references":
            parts.append(_summary_table(shown, lead=[("label", [shorten(label, 30) for label in labels], False)]))
        elif shown:
            parts.append(_summary_table(shown))
    if chain:
        parts.append("\ndominator chain (from the top of the tree; each keeps the next alive)")
        parts.append(_summary_table(chain, chain_retained))
    return "\n".join(parts)


def chain_labels(explorer: va.HeapDumpExplorer,
                 chain: Sequence[va.ObjectSummary | va.ObjectRecord]) -> list[str | None]:
    """For each object of a chain, the label of its reference to the next one (None at the end,
    or where the dump did not name it)."""
    labels: list[str | None] = []
    for holder, held in zip(chain, chain[1:]):
        names = explorer.get_reference_labels(holder.id) or []
        # Only a holder with labels is expanded: get_object reads every reference and referrer.
        record = explorer.get_object(holder.id) if any(names) else None
        ids = [r.id for r in record.references] if record is not None else []
        labels.append(names[ids.index(held.id)] if held.id in ids else None)
    return labels + [None] * min(1, len(chain))


def cmd_path(explorer: va.HeapDumpExplorer, options: argparse.Namespace) -> Any:
    path = explorer.find_path_between_objects(options.start, options.end, frozenset(options.avoid))
    labels = chain_labels(explorer, path or [])
    if options.json:
        return None if path is None else [dict(_summary_json(s), label=label) for s, label in zip(path, labels)]
    if path is None:
        return f"no path of references leads from {options.start} to {options.end}"
    table = _summary_table(path, lead=[("step", range(len(path)), True),
                                       ("label", [shorten(label, 30) for label in labels], False)])
    chain = format_chain([(s.type, s.value, label) for s, label in zip(path, labels)])
    return f"{chain}\n\n{table}"


def cmd_sites(explorer: va.HeapDumpExplorer, options: argparse.Namespace) -> Any:
    rows = explorer.get_allocation_site_summaries(None)
    shown = rows[: options.limit] if options.limit else rows
    if options.json:
        return [{"site": site, "count": count, "total_size": total} for site, count, total in shown]
    if not rows:
        return ("no allocation sites in this database (dump with python -m vossick_dump --trace, "
                "or with tracemalloc tracing)")
    body = [[site, f"{count:,}", format_size(total)] for site, count, total in shown]
    text = render_table(["allocated at", "count", "total size"], body, [False, True, True])
    if len(shown) < len(rows):
        text += f"\n\n{len(rows) - len(shown):,} sites not shown; --limit 0 shows all"
    return text


def cmd_common(explorer: va.HeapDumpExplorer, options: argparse.Namespace) -> Any:
    common = explorer.find_largest_common_reachable_object(options.id1, options.id2)
    if common is None:
        return None if options.json else f"{options.id1} and {options.id2} reach no object in common"
    record = explorer.get_object(common)
    assert record is not None
    if options.json:
        return {key: value for key, value in _summary_json(record).items() if key != "retained_size"}
    return _summary_table([record])


def cmd_dominators(explorer: va.HeapDumpExplorer, options: argparse.Namespace) -> Any:
    if not _has_retained_sizes(explorer):
        raise UsageError(NO_RETAINED)
    chain: list[va.ObjectSummary] = []
    if options.id is not None:
        found = explorer.get_dominator_chain(options.id)
        if found is None:
            raise UsageError(f"no object with id {options.id}")
        chain = found
    children = explorer.get_dominated_objects(options.id, None)
    shown = children[: options.limit] if options.limit else children
    chain_retained = _retained_of(explorer, chain) or []
    if options.json:
        return {
            "dominator_chain": [_summary_json(s, r) for s, r in zip(chain, chain_retained)],
            "dominated": [_summary_json(s, r) for s, r in shown],
        }
    total = dict(explorer.get_type_summaries()).get(ALL_TYPES)
    heap = total.total_size if total else 0
    parts = []
    if chain:
        parts.append("dominator chain (from the top of the tree)")
        parts.append(_summary_table(chain, chain_retained))
        parts.append("")
    where = f"immediately dominated by {options.id}" if chain else (
        "directly under the virtual root (no single object keeps them alive)")
    more = f" ({len(children) - len(shown):,} not shown)" if len(shown) < len(children) else ""
    parts.append(f"{where}: {len(children):,} objects{more}")
    if shown:
        shares = [f"{100 * r / heap:.1f}%" if heap else "-" for _, r in shown]
        table = _summary_table([s for s, _ in shown], [r for _, r in shown], lead=[("share", shares, True)])
        parts.append(table)
    return "\n".join(parts)


# How far the diff command looks up the referrers of a growth point for a
# module that holds it, when the database has no dominator tree to ask.
PATH_SEARCH_LIMIT = 5000
MODULE_TYPE = "builtins.module"


def _path_from_module(explorer: va.HeapDumpExplorer, point: va.ObjectSummary) -> list[va.ObjectSummary]:
    """A shortest chain of references from a module to `point` (breadth first over referrers).

    Empty when no module is found within PATH_SEARCH_LIMIT objects."""
    parent: dict[int, va.ObjectSummary | None] = {point.id: None}  # the next object down the chain
    queue = [point]
    for below in queue:
        if len(parent) > PATH_SEARCH_LIMIT:
            break
        record = explorer.get_object(below.id)
        for referrer in record.referrers if record else ():
            if referrer.id in parent:
                continue
            parent[referrer.id] = below
            if referrer.type == MODULE_TYPE:
                chain: list[va.ObjectSummary] = []
                step: va.ObjectSummary | None = referrer
                while step is not None:
                    chain.append(step)
                    step = parent[step.id]
                return chain
            queue.append(referrer)
    return []


def _holder_chain(explorer: va.HeapDumpExplorer, point: va.ObjectSummary) -> tuple[str, list[va.ObjectSummary]]:
    """The object's dominator chain where retained sizes are computed, else a path from a module."""
    if _has_retained_sizes(explorer):
        return "dominators", explorer.get_dominator_chain(point.id) or []
    return "path from a module", _path_from_module(explorer, point)


def _signed(value: int, size: bool = False) -> str:
    text = format_size(abs(value)) if size else f"{abs(value):,}"
    return ("+" if value > 0 else "-" if value < 0 else "") + text


def _open_baseline(options: argparse.Namespace) -> va.HeapDumpExplorer:
    if os.path.exists(options.old_db) and os.path.samefile(options.db_dir, options.old_db):
        raise UsageError("NEW_DB and OLD_DB are one database: import the two dumps into two databases")
    return _open(options.old_db)


def cmd_diff(explorer: va.HeapDumpExplorer, options: argparse.Namespace) -> Any:
    baseline = _open_baseline(options)
    rows = explorer.compare_type_summaries(baseline)
    total = next(((before, after) for name, before, after in rows if name == ALL_TYPES), None)
    deltas = [(name, before, after) for name, before, after in rows if name != ALL_TYPES]
    shown = [row for row in deltas if (row[1].count, row[1].total_size) != (row[2].count, row[2].total_size)]
    shown = shown[: options.limit]
    points = explorer.get_growth_points(baseline, 0)[: options.limit]
    chains = [_holder_chain(explorer, point) for point, _, _ in points]
    chain_names = [chain_labels(explorer, chain) for _, chain in chains]
    grown = [name for name, before, after in shown if after.count > before.count]
    samples = {name: explorer.get_new_objects(baseline, name, 0)[: options.sample] for name in grown}
    if options.json:
        return {
            "total": None if total is None else {
                "count_before": total[0].count, "count_after": total[1].count,
                "size_before": total[0].total_size, "size_after": total[1].total_size,
            },
            "types": [
                {"type": name, "count_before": b.count, "count_after": a.count, "count_delta": a.count - b.count,
                 "size_before": b.total_size, "size_after": a.total_size, "size_delta": a.total_size - b.total_size}
                for name, b, a in shown
            ],
            "growth_points": [
                {"object": _summary_json(point), "new_objects": count, "new_size": size,
                 "chain_kind": kind,
                 "chain": [dict(_summary_json(s), label=label) for s, label in zip(chain, labels)]}
                for (point, count, size), (kind, chain), labels in zip(points, chains, chain_names)
            ],
            "new_objects": {name: [_summary_json(s) for s in sample] for name, sample in samples.items()},
        }
    parts = []
    if total is not None:
        before, after = total
        parts.append(f"{before.count:,} -> {after.count:,} objects ({_signed(after.count - before.count)}), "
                     f"{format_size(before.total_size)} -> {format_size(after.total_size)} "
                     f"({_signed(after.total_size - before.total_size, size=True)})")
    parts.append("\ntypes that changed, largest growth first")
    parts.append(render_table(
        ["type", "count", "change", "total size", "change"],
        [[name, f"{a.count:,}", _signed(a.count - b.count), format_size(a.total_size),
          _signed(a.total_size - b.total_size, size=True)] for name, b, a in shown],
        [False, True, True, True, True]) if shown else "  none")
    parts.append("\ngrowth points: kept objects that reference new ones, largest first")
    if not points:
        parts.append("  none")
    for (point, count, size), (kind, chain), labels in zip(points, chains, chain_names):
        value = f" {shorten(point.value)}" if point.value else ""
        parts.append(f"\n{point.id} {point.type}{value}: {count:,} new object{'s' * (count != 1)}, "
                     f"{format_size(size)}")
        if chain:
            parts.append(f"  {kind}: " + format_chain([(s.type, s.value, label) for s, label in zip(chain, labels)]))
    for name, sample in samples.items():
        parts.append(f"\nnew {name} (first {len(sample)})")
        parts.append(_summary_table(sample))
    return "\n".join(parts)


# Exit statuses of the check beside 0 (consistent).
CHECK_PROBLEMS = 1
CHECK_DAMAGED = 3


def cmd_check(options: argparse.Namespace) -> tuple[int, Any]:
    """Runs the check in a child process; returns (exit status, result)."""
    _require_database(options.db_dir)
    outcome = check_in_child(options.db_dir, progress=not options.quiet)
    if "damaged" in outcome:
        if options.json:
            return CHECK_DAMAGED, {"consistent": False, "damaged": outcome["damaged"]}
        return CHECK_DAMAGED, f"the store is damaged at the page level: {outcome['damaged']}"
    counts = dict(outcome["counts"])
    problems: list[str] = outcome["problems"]
    status = CHECK_PROBLEMS if counts["problems"] else 0
    if options.json:
        return status, {"consistent": status == 0, "counts": counts, "problems": problems}
    table = render_table(["", "count"], [[name, f"{count:,}"] for name, count in counts.items()], [False, True])
    if status == 0:
        return status, f"consistent\n\n{table}"
    more = counts["problems"] - len(problems)
    lines = [f"{counts['problems']:,} problem{'s' if counts['problems'] != 1 else ''} found:"]
    lines += [f"  {problem}" for problem in problems]
    if more:
        lines.append(f"  ... and {more:,} more")
    return status, "\n".join(lines) + f"\n\n{table}"


def cmd_serve(explorer: va.HeapDumpExplorer, options: argparse.Namespace) -> Any:
    try:
        from vossick_report.viewer import serve
    except ModuleNotFoundError as missing:
        if missing.name not in VIEWER_NEEDS:
            raise
        raise UsageError(f"the viewer needs {missing.name}: pip install 'vossick_analysis[viewer]'") from None
    if options.host != LOOPBACK:
        print(f"vossick_report: warning: serving on {options.host}, where anyone who reaches it can read "
              "this dump (the viewer has no login)", file=sys.stderr)
    baseline = (_open_baseline(options), options.old_db) if options.old_db else None
    serve(explorer, options.db_dir, options.host, options.port, baseline)
    return f"stopped serving {options.db_dir}"


def _port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"not a TCP port: {text!r}")
    return int(text)


def _parser() -> argparse.ArgumentParser:
    # --json is accepted before or after the command; SUPPRESS keeps the
    # subcommand's default from overwriting a value given before it.
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", default=argparse.SUPPRESS, help="print JSON for scripts")
    parser = argparse.ArgumentParser(
        prog="python -m vossick_report",
        description="Reports over a heap dump imported into a vossick_analysis database.",
        parents=[common],
    )
    parser.add_argument("db_dir", metavar="DB_DIR", help="the database directory")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    imp = commands.add_parser("import", parents=[common], help="import a dump file (created if missing)")
    imp.add_argument("dump_file", metavar="DUMP_FILE")
    imp.add_argument("--precision", choices=list(PRECISIONS), default="exact",
                     help="subtree-size estimation (default: exact)")
    imp.add_argument("--quiet", action="store_true", help="no progress bar")
    imp.add_argument("--append", action="store_true",
                     help="import into a database that already holds objects (one dump in parts)")
    imp.add_argument("--no-retained", action="store_true",
                     help="skip computing retained sizes (the dominator tree) after the import")
    imp.set_defaults(run=cmd_import, create=True)

    diff = commands.add_parser("diff", parents=[common],
                               help="what is new since an earlier dump of the same process (OLD_DB), and what holds it")
    diff.add_argument("old_db", metavar="OLD_DB")
    diff.add_argument("--limit", type=int, default=10, help="types and growth points to show (default 10)")
    diff.add_argument("--sample", type=int, default=5, help="new objects shown per grown type (default 5)")
    diff.set_defaults(run=cmd_diff)

    types = commands.add_parser("types", parents=[common], help="object count and total size per type")
    types.add_argument("--sort", choices=list(TYPE_ORDERS), default="size")
    types.add_argument("--limit", type=int, default=30, help="rows to show (0: all; default 30)")
    types.set_defaults(run=cmd_types)

    largest = commands.add_parser("largest", parents=[common], help="the largest objects")
    largest.add_argument("--by", choices=["size", "subtree", "retained"], default=None,
                         help="direct, subtree or retained size (default: retained where computed, else size)")
    largest.add_argument("--type", help="only objects of this type")
    largest.add_argument("--limit", type=int, default=20)
    largest.set_defaults(run=cmd_largest)

    obj = commands.add_parser("object", parents=[common], help="one object with its referrers and references")
    obj.add_argument("id", type=_object_id)
    obj.add_argument("--limit", type=int, default=20, help="rows per list (0: all; default 20)")
    obj.set_defaults(run=cmd_object)

    path = commands.add_parser("path", parents=[common], help="a shortest chain of references from START to END")
    path.add_argument("start", type=_object_id, metavar="START")
    path.add_argument("end", type=_object_id, metavar="END")
    path.add_argument("--avoid", type=_object_id, action="append", default=[], metavar="ID",
                      help="do not pass through this object (repeatable)")
    path.set_defaults(run=cmd_path)

    sites = commands.add_parser("sites", parents=[common],
                                help="the allocation sites holding the most bytes (dumps made under tracemalloc)")
    sites.add_argument("--limit", type=int, default=20, help="rows to show (0: all; default 20)")
    sites.set_defaults(run=cmd_sites)

    common_cmd = commands.add_parser("common", parents=[common], help="the largest object both IDs reach")
    common_cmd.add_argument("id1", type=_object_id, metavar="ID1")
    common_cmd.add_argument("id2", type=_object_id, metavar="ID2")
    common_cmd.set_defaults(run=cmd_common)

    check = commands.add_parser(
        "check", parents=[common],
        help="check that the stored databases agree (exit status 0: consistent, 1: problems found, "
             "3: damaged at the page level)")
    check.add_argument("--quiet", action="store_true", help="no progress bar")
    check.set_defaults(run=None)

    serve = commands.add_parser("serve", help="browse the database in a web browser (read-only)")
    serve.add_argument("--port", type=_port, default=8000, help="TCP port (default 8000; 0 picks a free one)")
    serve.add_argument("--host", default=LOOPBACK, help=f"address to listen on (default {LOOPBACK}: this machine only)")
    serve.add_argument("--baseline", dest="old_db", metavar="OLD_DB",
                       help="an earlier dump's database: /diff compares with it")
    serve.set_defaults(run=cmd_serve)

    dominators = commands.add_parser(
        "dominators", parents=[common],
        help="browse the dominator tree: what ID alone keeps alive (without ID: the top of the tree)")
    dominators.add_argument("id", type=_object_id, nargs="?", default=None, metavar="ID")
    dominators.add_argument("--limit", type=int, default=20, help="rows to show (0: all; default 20)")
    dominators.set_defaults(run=cmd_dominators)
    return parser


def main(argv: list[str] | None = None) -> int:
    options = _parser().parse_args(argv)
    options.json = getattr(options, "json", False)
    status = 0
    try:
        if options.run is None:  # check: never opens the database in this process
            status, result = cmd_check(options)
        else:
            explorer = _open(options.db_dir, create=getattr(options, "create", False))
            result = options.run(explorer, options)
    except (UsageError, RuntimeError, OSError) as error:
        print(f"vossick_report: error: {error}", file=sys.stderr)
        for note in getattr(error, "__notes__", ()):  # e.g. the input line an import failed on
            print(f"  {note}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("vossick_report: interrupted", file=sys.stderr)
        return 130
    try:
        if options.json:
            json.dump(result, sys.stdout, indent=2)
            sys.stdout.write("\n")
        else:
            print(result)
        sys.stdout.flush()
    except BrokenPipeError:  # e.g. piped into head: not an error
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return status
