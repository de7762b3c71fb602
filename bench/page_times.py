"""Server time of each page of the web viewer over one database: prints figures, asserts nothing.

Serves the viewer on a loopback port from this process and requests each page
several times; the server time is the page's Server-Timing header (from the
request to the start of the response, the page being rendered by then), the
total time what the client waited. The pages are the heaviest of each kind
that the database offers: the overview, the last page of the largest listing,
the objects with the largest subtree and direct sizes, a path search.

Usage: python bench/page_times.py DB_DIR [--runs N]
(vossick_report and its viewer extra importable, e.g. PYTHONPATH=build/bench:python)
"""
import argparse
import re
import statistics
import threading
import time
import urllib.error
import urllib.request
from urllib.parse import quote

import uvicorn

import vossick_analysis as va
from vossick_report.viewer import make_app
from vossick_report.viewer.server import bind

ALL_TYPES = "All Types"


def pages_to_time(explorer):
    """(name, path) of the pages to time, chosen from what the database holds."""
    types = [row for row in explorer.get_type_summaries() if row[0] != ALL_TYPES]
    if not types:
        return [("overview (empty database)", "/")]
    most = max(types, key=lambda row: row[1].count)[0]
    last = explorer.get_page_count_for_type(ALL_TYPES)
    largest = explorer.get_objects_by_type_ordered_by_size(ALL_TYPES, False, 0)[0].id
    by_subtree = explorer.get_objects_by_type_ordered_by_size(ALL_TYPES, True, 0)
    main = next((m.id for m in explorer.get_objects_by_type("builtins.module", None) if m.value == "__main__"), None)
    pages = [
        ("overview", "/"),
        ("overview, types by count containing 'dict'", "/?sort=count&filter=dict"),
        ("All Types by size, page 1", "/type/All%20Types"),
        (f"All Types by size, last page ({last})", f"/type/All%20Types?page={last}"),
        (f"{most} (most objects), page 1", f"/type/{quote(most, safe='')}"),
        ("object with the largest direct size", f"/object/{largest}"),
        ("search for a type name part ('dict')", "/search?q=dict"),
        ("search for an id (answers with a redirect)", f"/search?q={hex(largest)}"),
    ]
    if by_subtree:
        pages += [("All Types by subtree size, page 1", "/type/All%20Types?sort=subtree"),
                  ("object with the largest subtree", f"/object/{by_subtree[0].id}")]
    try:
        retainer = explorer.get_objects_by_type_ordered_by_retained_size(ALL_TYPES, 0)[0][0].id
        pages += [("All Types by retained size, page 1", "/type/All%20Types?sort=retained"),
                  ("object with the largest retained size", f"/object/{retainer}")]
    except (RuntimeError, IndexError):  # retained sizes not computed
        pass
    if main is not None:
        pages.append(("path from __main__ to the largest object", f"/object/{largest}?from={main}"))
    return pages


def fetch(url):
    """(server ms, total ms, status) of one GET; redirects are not followed."""
    class Stay(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, *args, **kwargs):
            return None

    started = time.perf_counter()
    try:
        response = urllib.request.build_opener(Stay).open(url, timeout=600)
        response.read()
    except urllib.error.HTTPError as error:  # a redirect or an error page: timed all the same
        response = error
        error.read()
    total = (time.perf_counter() - started) * 1e3
    server = float(re.search(r"dur=([\d.]+)", response.headers["Server-Timing"]).group(1))
    return server, total, response.status


def time_pages(db_dir, runs=5):
    """Prints, per page, the median and worst server time and the median total time (ms)."""
    explorer = va.HeapDumpExplorer(db_dir)
    listener, url = bind("127.0.0.1", 0)
    server = uvicorn.Server(uvicorn.Config(make_app(explorer, db_dir), log_level="warning"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, daemon=True)
    thread.start()
    while not server.started:
        time.sleep(0.01)
    try:
        print(f"\n== viewer pages over {db_dir} ({runs} requests each, after one warm-up; ms)")
        for name, path in pages_to_time(explorer):
            fetch(url.rstrip("/") + path)
            times = [fetch(url.rstrip("/") + path) for _ in range(runs)]
            servers = [t[0] for t in times]
            print(f"  {name:<52} status {times[0][2]}  server median {statistics.median(servers):8.1f}"
                  f"  worst {max(servers):8.1f}  total median {statistics.median(t[1] for t in times):8.1f}",
                  flush=True)
    finally:
        server.should_exit = True
        thread.join()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("db_dir", metavar="DB_DIR")
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    time_pages(options.db_dir, options.runs)
