"""The viewer's pages. Each renders from the database through the explorer's
methods at request time (nothing is cached, so a page shows the last committed
import) and loads at most one explorer page (1000 objects) of any listing.

URLs are stable and meant to be pasted: ``/`` (overview; ``sort``, ``filter``,
``page``), ``/type/NAME`` (``sort``, ``page``), ``/object/ID`` with a decimal id
(``from`` and ``avoid`` ask for a path from another object), ``/search?q=``.
Page numbers in URLs count from 1. Only GET (and HEAD) is served.
"""

from __future__ import annotations

import functools
import heapq
import os
import re
import sys
import time
from collections.abc import Sequence
from typing import Any

import jinja2
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.requests import Request
from starlette.responses import HTMLResponse, RedirectResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles
from starlette.types import ASGIApp, Message, Receive, Scope, Send
from urllib.parse import quote, urlencode

import vossick_analysis as va

from vossick_report.cli import ALL_TYPES, TYPE_ORDERS, _signed, chain_labels, parse_object_id
from vossick_report.formatting import format_size, shorten

HERE = os.path.dirname(os.path.abspath(__file__))
PAGE_ROWS = 1000  # the explorer's page size: one page here is one page there
# An object page's references and referrers come whole from the explorer; they are shown this many a page,
# so that an object with 20,000 of them renders as fast as any other.
NEIGHBOUR_ROWS = 100
TREEMAP_BOXES = 40
TREEMAP_SPLITS = 4  # levels of the dominator tree the treemap may open below its top
LARGEST_SHOWN = 10
TYPE_NAME_LIMIT = 511  # bytes; longer keys are refused by the store, so no such type exists
OBJECT_SORTS = ("size", "subtree", "retained")
NOT_COMPUTED = "retained sizes are not computed"  # how the explorer's error text starts


def object_url(obj_id: int, **query: object) -> str:
    return f"/object/{obj_id}" + (f"?{urlencode(query)}" if query else "")


def type_url(name: str, **query: object) -> str:
    return f"/type/{quote(name, safe='')}" + (f"?{urlencode(query)}" if query else "")


def _here(request: Request, **changes: object) -> str:
    """This page's URL with some query parameters replaced."""
    params: dict[str, object] = dict(request.query_params)
    params.update(changes)
    return f"{request.url.path}?{urlencode(params)}"


def _choice(request: Request, name: str, allowed: Sequence[str], default: str) -> str:
    value = request.query_params.get(name, default)
    if value not in allowed:
        raise HTTPException(400, f"bad {name}: {value!r} (one of {', '.join(allowed)})")
    return value


def _page_number(request: Request, page_count: int, name: str = "page") -> int:
    """The 1-based page asked for in ``name``: 400 if it is not a page number, 404 past the last page."""
    text = request.query_params.get(name, "1")
    if not text.isdigit() or int(text) == 0:
        raise HTTPException(400, f"bad page number: {text!r} (pages are numbered from 1)")
    page = int(text)
    if page > max(page_count, 1):
        raise HTTPException(404, f"page {page} is past the last page ({max(page_count, 1)})")
    return page


def _query_id(text: str, name: str) -> int:
    try:
        return parse_object_id(text)
    except ValueError as error:
        raise HTTPException(400, f"{name}: {error}") from None


def _bytes(size: int | None) -> str:
    return "" if size is None else f"{size:,} bytes"


def object_rows(objects: Sequence[va.ObjectSummary], links: Sequence[str | None] = (),
                labels: Sequence[str | None] = (), retained: Sequence[int | None] = ()) -> list[tuple[object, ...]]:
    """The cells of an objects table, one tuple per summary, with links[i], labels[i] and retained[i] (if
    any) last."""
    return [(s.id, object_url(s.id), s.type, type_url(s.type), format_size(s.size), _bytes(s.size),
             format_size(s.subtree_size), _bytes(s.subtree_size), shorten(s.value, 80), links[i] if links else None,
             shorten(labels[i], 80) if labels and labels[i] is not None else None,
             format_size(retained[i]) if retained else "", _bytes(retained[i]) if retained else "")
            for i, s in enumerate(objects)]


def retained_rows(pairs: Sequence[tuple[va.ObjectSummary, int]]) -> list[tuple[object, ...]]:
    """object_rows of the explorer's (summary, retained size) pairs."""
    return object_rows([s for s, _ in pairs], retained=[r for _, r in pairs])


def type_rows(types: Sequence[tuple[str, va.TypeSummary]], heap_size: int) -> list[tuple[object, ...]]:
    """The cells of a types table; the share is of ``heap_size``."""
    return [(name, type_url(name), f"{s.count:,}", format_size(s.total_size), _bytes(s.total_size),
             f"{100 * s.total_size / heap_size:.1f}%" if heap_size else "-") for name, s in types]


def _largest_first(summary: va.ObjectSummary) -> int:
    """Sorts by subtree size, then direct size, largest first (one int: twice as fast to sort as a tuple)."""
    return -((summary.subtree_size or 0) << 64 | summary.size)


class ServerTiming:
    """Adds a Server-Timing header: the time from the request to the start of the
    response, i.e. the page's server time (the body is rendered before it starts)."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        started = time.perf_counter()

        async def timed(message: Message) -> None:
            if message["type"] == "http.response.start":
                spent = f"app;dur={(time.perf_counter() - started) * 1e3:.1f}".encode()
                message = {**message, "headers": [*message.get("headers", []), (b"server-timing", spent)]}
            await send(message)

        await self.app(scope, receive, timed if scope["type"] == "http" else send)


class Pages:
    """The request handlers over one explorer (whose methods any thread may call)."""

    def __init__(self, explorer: va.HeapDumpExplorer, db_dir: str,
                 baseline: tuple[va.HeapDumpExplorer, str] | None = None) -> None:
        self.explorer = explorer
        self.baseline = baseline  # (explorer, directory) of the earlier dump, for /diff
        self.templates = jinja2.Environment(
            loader=jinja2.FileSystemLoader(os.path.join(HERE, "templates")),
            autoescape=True, trim_blocks=True, lstrip_blocks=True, undefined=jinja2.StrictUndefined,
        )
        self.templates.globals.update(
            db_name=db_dir, format_size=format_size, signed=_signed, has_baseline=baseline is not None,
            shorten=shorten, object_url=object_url, type_url=type_url,
        )
        for template in self.templates.list_templates():  # compiled now rather than by the first visitor
            self.templates.get_template(template)
        # Looked up once (every module is listed): a served database is not expected to be
        # re-imported, and if it is, a stale id only leads to an error page.
        modules = explorer.get_objects_by_type("builtins.module", None)
        self.main_module = next((m for m in modules if m.value == "__main__"), None)

    def render(self, template: str, status_code: int = 200, **context: Any) -> HTMLResponse:
        return HTMLResponse(self.templates.get_template(template).render(**context), status_code=status_code)

    def overview(self, request: Request) -> Response:
        rows = self.explorer.get_type_summaries()
        total = dict(rows).get(ALL_TYPES)
        order = _choice(request, "sort", list(TYPE_ORDERS), "size")
        needle = request.query_params.get("filter", "").strip()
        types = sorted((row for row in rows if row[0] != ALL_TYPES and needle.lower() in row[0].lower()),
                       key=TYPE_ORDERS[order])
        pages = -(-len(types) // PAGE_ROWS)
        page = _page_number(request, pages)
        by_subtree = self.explorer.get_objects_by_type_ordered_by_size(ALL_TYPES, True, 0)
        top = self.retained(self.explorer.get_dominated_objects, None, 0)
        # Retained sizes of the dominator tree's top do not overlap; subtree sizes do (the page says which).
        boxes = self._top_levels(top) if top is not None else [(s, s.subtree_size) for s in by_subtree]
        kind = "retained" if top is not None else "subtree"
        treemap = [{"url": object_url(s.id), "size": size, "label": f"{s.type} {format_size(size)}",
                    "title": f"{s.type} {s.id}: {kind} {format_size(size)}, {shorten(s.value, 60)}"}
                   for s, size in boxes[:TREEMAP_BOXES] if size]
        largest = self.retained(self.explorer.get_objects_by_type_ordered_by_retained_size, ALL_TYPES, 0)
        return self.render(
            "overview.html", total=total, type_count=len(rows) - (total is not None), has_subtree=bool(by_subtree),
            has_retained=top is not None, treemap=treemap,
            largest=retained_rows(largest[:LARGEST_SHOWN]) if largest is not None else
            object_rows(self.explorer.get_objects_by_type_ordered_by_size(ALL_TYPES, False, 0)[:LARGEST_SHOWN]),
            types=type_rows(types[(page - 1) * PAGE_ROWS: page * PAGE_ROWS], total.total_size if total else 0),
            first=(page - 1) * PAGE_ROWS, order=order,
            needle=needle, page=page, pages=pages, here=functools.partial(_here, request),
        )

    def type_page(self, request: Request) -> Response:
        name = request.path_params["name"]
        if not 0 < len(name.encode()) <= TYPE_NAME_LIMIT or not self.explorer.get_count_for_type(name):
            raise HTTPException(404, f"no objects of type {name}")
        order = _choice(request, "sort", OBJECT_SORTS, "size")
        pages = self.explorer.get_page_count_for_type(name)
        page = _page_number(request, pages)
        summaries = dict(self.explorer.get_type_summaries())
        if order == "retained":
            pairs = self.retained(self.explorer.get_objects_by_type_ordered_by_retained_size, name, page - 1)
            objects = retained_rows(pairs or [])
        else:
            objects = object_rows(self.explorer.get_objects_by_type_ordered_by_size(name, order == "subtree", page - 1))
        return self.render(
            "type.html", name=name, summary=summaries[name], total=summaries[ALL_TYPES], objects=objects,
            first=(page - 1) * PAGE_ROWS, order=order, page=page, pages=pages, here=functools.partial(_here, request),
        )

    def object_page(self, request: Request) -> Response:
        text = request.path_params["id"]
        obj_id = _query_id(text, "object id")
        if text != str(obj_id):  # one URL per object: hex and padded ids lead to the decimal one
            return RedirectResponse(object_url(obj_id) + (f"?{request.url.query}" if request.url.query else ""), 308)
        record = self.explorer.get_object(obj_id)
        if record is None:
            raise HTTPException(404, f"no object with id {obj_id}")
        references = record.references  # a new list at each access
        labels = self.explorer.get_reference_labels(obj_id) or [None] * len(references)
        listings = [self._neighbours(request, "referrers", "Referrers", "held by", record.referrers,
                                     lambda shown, _: [chain_labels(self.explorer, [s, record])[0] for s in shown]),
                    self._neighbours(request, "references", "References", "as", references,
                                     lambda _, positions: [labels[i] for i in positions])]
        retained = self.retained(self.explorer.get_retained_size, obj_id)
        dominators = []
        if retained is not None:
            chain = self.explorer.get_dominator_chain(obj_id) or []
            dominators = object_rows(chain, retained=[self.explorer.get_retained_size(s.id) for s in chain])
        return self.render(
            "object.html", record=record, hex_id=hex(obj_id), listings=listings, retained=retained,
            dominators=dominators, dominated=self._dominated(request, obj_id) if retained is not None else None,
            site=self.explorer.get_allocation_site(obj_id), path=self._path_to(request, obj_id),
            main_module=self.main_module, here=functools.partial(_here, request),
        )

    def _neighbours(self, request: Request, name: str, title: str, label_header: str,
                    objects: Sequence[va.ObjectSummary], labels_of: Any) -> dict[str, Any]:
        """One page (query parameter ``name``) of an object's referrers or references, largest subtree
        first, with the labels ``labels_of(shown summaries, their positions in objects)`` gives."""
        pages = -(-len(objects) // NEIGHBOUR_ROWS)
        page = _page_number(request, pages, name)
        keys = [_largest_first(s) for s in objects]
        # The first pages, the ones people open, are picked without sorting all (nsmallest is stable, as
        # sorted is).
        first = (page - 1) * NEIGHBOUR_ROWS
        positions = heapq.nsmallest(page * NEIGHBOUR_ROWS, range(len(objects)), key=keys.__getitem__)[first:]
        shown = [objects[i] for i in positions]
        labels = labels_of(shown, positions)
        return {"name": name, "title": title, "count": len(objects), "page": page, "pages": pages, "first": first,
                "label_header": label_header if any(labels) else "", "rows": object_rows(shown, labels=labels)}

    def retained(self, query: Any, *args: Any) -> Any:
        """query(*args), one of the retained-size queries, or None where retained sizes are not computed."""
        try:
            return query(*args)
        except RuntimeError as error:
            if not str(error).startswith(NOT_COMPUTED):
                raise
            return None

    def _top_levels(self, boxes: list[tuple[va.ObjectSummary, int]]) -> list[tuple[va.ObjectSummary, int]]:
        """A cut through the dominator tree's top levels for the treemap, largest first: while the largest
        box holds over a quarter of them all, it is split into what it dominates (the first explorer page)
        and itself with the rest, its box's size less theirs. The boxes never overlap."""
        split: set[int] = set()
        for _ in range(TREEMAP_SPLITS):
            boxes.sort(key=lambda box: -box[1])
            summary, size = boxes[0]
            if summary.id in split or 4 * size <= sum(s for _, s in boxes):
                break
            below = self.explorer.get_dominated_objects(summary.id, 0)
            split.add(summary.id)
            boxes[0] = (summary, size - sum(s for _, s in below))
            boxes += below
        return sorted(boxes, key=lambda box: -box[1])

    def _dominated(self, request: Request, obj_id: int) -> dict[str, Any]:
        """One page (``?dominated=N``, NEIGHBOUR_ROWS objects) of what the object immediately dominates,
        largest first, cut from the explorer's page that holds it; their number is not known, only
        whether more follow."""
        page = _page_number(request, sys.maxsize, "dominated")
        first = (page - 1) * NEIGHBOUR_ROWS
        explorer_page, offset = divmod(first, PAGE_ROWS)
        pairs = self.explorer.get_dominated_objects(obj_id, explorer_page)
        if page > 1 and len(pairs) <= offset:
            raise HTTPException(404, f"page {page} is past the last page of what {obj_id} dominates")
        more = len(pairs) > offset + NEIGHBOUR_ROWS or (
            len(pairs) == PAGE_ROWS == offset + NEIGHBOUR_ROWS
            and bool(self.explorer.get_dominated_objects(obj_id, explorer_page + 1)))
        return {"rows": retained_rows(pairs[offset: offset + NEIGHBOUR_ROWS]), "first": first, "page": page,
                "pages": page + more}

    def _path_to(self, request: Request, end_id: int) -> dict[str, Any] | None:
        """The path search the query asks for (``from``, ``avoid``), or None."""
        start_text = request.query_params.get("from", "").strip()
        avoid_text = request.query_params.get("avoid", "")
        if not start_text:
            return None
        start = _query_id(start_text, "from")
        avoid = list(dict.fromkeys(_query_id(t, "avoid") for t in re.split(r"[\s,]+", avoid_text) if t))
        try:
            path = self._path(start, end_id, frozenset(avoid))
        except KeyError:
            raise HTTPException(404, f"no object with id {start} to start a path from") from None
        # Avoiding the start or the end changes nothing, so only the steps between get a link.
        steps = path or []
        avoid_urls = [object_url(end_id, **{"from": start, "avoid": " ".join(map(str, avoid + [s.id]))})
                      if 0 < i < len(steps) - 1 else None for i, s in enumerate(steps)]
        labels = chain_labels(self.explorer, steps)
        return {"start": start, "avoid": avoid, "avoid_text": " ".join(map(str, avoid)),
                "rows": object_rows(steps, avoid_urls, labels), "label_header": "left by" if any(labels) else ""}

    def diff(self, request: Request) -> Response:
        """Type deltas and growth points against the baseline (serve --baseline OLD_DB)."""
        if self.baseline is None:
            raise HTTPException(404, "no baseline to compare with: serve with --baseline OLD_DB")
        baseline, baseline_dir = self.baseline
        rows = self.explorer.compare_type_summaries(baseline)
        total = next(((before, after) for name, before, after in rows if name == ALL_TYPES), None)
        deltas = [(name, type_url(name), before, after) for name, before, after in rows
                  if name != ALL_TYPES and (before.count, before.total_size) != (after.count, after.total_size)]
        points = self.explorer.get_growth_points(baseline, 0)[:LARGEST_SHOWN * 5]
        return self.render("diff.html", baseline_name=baseline_dir, total=total, deltas=deltas[:PAGE_ROWS],
                           points=object_rows([p for p, _, _ in points],
                                              labels=[f"{n:,}, {format_size(size)}" for _, n, size in points]))

    def search(self, request: Request) -> Response:
        query = request.query_params.get("q", "").strip()
        obj_id = None
        if query:
            try:
                obj_id = parse_object_id(query)
            except ValueError:
                pass
        if obj_id is not None:
            # A path from an object to itself is that object alone: the cheapest test
            # of existence (get_object would expand every reference and referrer).
            try:
                self._path(obj_id, obj_id, frozenset())
                return RedirectResponse(object_url(obj_id), 303)
            except KeyError:
                pass
        rows = self.explorer.get_type_summaries()
        heap = dict(rows).get(ALL_TYPES)
        types = sorted((row for row in rows if query and row[0] != ALL_TYPES and query.lower() in row[0].lower()),
                       key=TYPE_ORDERS["size"])
        return self.render("search.html", query=query, obj_id=obj_id, type_count=len(types),
                           types=type_rows(types[:PAGE_ROWS], heap.total_size if heap else 0))

    def _path(self, start: int, end: int, avoid: frozenset[int]) -> list[va.ObjectSummary] | None:
        """The explorer's path search; KeyError when the start has no record."""
        try:
            return self.explorer.find_path_between_objects(start, end, avoid)
        except RuntimeError as error:
            if str(error) != f"Start ID {start} not found in database":  # the explorer's stable text
                raise
            raise KeyError(start) from None

    def http_error(self, request: Request, error: Exception) -> Response:
        assert isinstance(error, HTTPException)
        response = self.render("error.html", error.status_code, status=error.status_code, detail=error.detail)
        response.headers.update(error.headers or {})
        return response

    def database_error(self, request: Request, error: Exception) -> Response:
        return self.render("error.html", 500, status=500, detail=f"the database could not answer: {error}")


def make_app(explorer: va.HeapDumpExplorer, db_dir: str, hosts: Sequence[str] = ("*",),
             baseline: tuple[va.HeapDumpExplorer, str] | None = None) -> Starlette:
    """The viewer over ``explorer`` (``db_dir`` is only shown), answering requests
    whose Host header names one of ``hosts``: a server on the loopback address
    lists only its own names, so that a web page whose name is made to resolve to
    127.0.0.1 (DNS rebinding) cannot read the dump through a visitor's browser."""
    pages = Pages(explorer, db_dir, baseline)
    return Starlette(
        routes=[
            Route("/", pages.overview),
            Route("/type/{name:path}", pages.type_page),
            Route("/object/{id}", pages.object_page),
            Route("/search", pages.search),
            Route("/diff", pages.diff),
            Mount("/static", StaticFiles(directory=os.path.join(HERE, "static")), name="static"),
        ],
        middleware=[Middleware(ServerTiming), Middleware(TrustedHostMiddleware, allowed_hosts=list(hosts))],
        exception_handlers={HTTPException: pages.http_error, RuntimeError: pages.database_error},
    )
