"""The web viewer over a real dump of examples/sample_program.py: pages over HTTP against a model read from
the dump file alone, then a person's clicks in headless Chromium (screenshots in build/screenshots/)."""

import collections
import html
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import urllib.error
import urllib.request

import pytest
from conftest import python

ROOT = pathlib.Path(__file__).resolve().parents[2]
SHOTS = ROOT / "build" / "screenshots"
MODULE = "builtins.module"
TYPE_ROW = re.compile(r'<a href="/type/[^"]*">([^<]*)</a></td>\s*<td class="num">([\d,]+)</td>'
                      r'<td class="num" title="([\d,]+) bytes">')
OBJECT_LINK = re.compile(r'<td><a href="/object/(\d+)">')
LABELLED_LINK = re.compile(r'(?:<td class="label">([^<]*)</td>)?<td><a href="/object/(\d+)">')

pytest.importorskip("starlette", reason="the viewer extra is not installed (pip install .[viewer])")


class Model:
    """What the pages must show, computed from the dump's lines alone."""

    def __init__(self, dump, db):
        self.db = db
        self.records = {r["id"]: r for r in map(json.loads, open(dump, "rb"))}
        self.referrers, self.types = collections.defaultdict(set), collections.defaultdict(lambda: [0, 0])
        for record in self.records.values():
            for ref in record["references"]:
                self.referrers[ref].add(record["id"])
            self.types[record["type"]][0] += 1
            self.types[record["type"]][1] += record["size"]
        self.main = next(i for i, r in self.records.items() if r["type"] == MODULE and r.get("value") == "__main__")
        self.buffer = max(self.records.values(), key=lambda r: r["size"])["id"]

    def distance(self, start, end, avoid=()):
        """References on a shortest chain from start to end entering no module nor avoided id, or None."""
        seen, frontier, steps = {start}, [start], 0
        while frontier:
            if end in frontier:
                return steps
            frontier = [r for i in frontier for r in self.records[i]["references"]
                        if r not in seen and not seen.add(r) and r not in avoid and self.records[r]["type"] != MODULE]
            steps += 1
        return None

    def labels(self, holder):  # "" for none
        record = self.records[holder]
        return [label or "" for label in record.get("labels") or [None] * len(record["references"])]


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    work = tmp_path_factory.mktemp("viewer")
    dump, db = work / "heap.jsonl", work / "db"
    subprocess.run([sys.executable, str(ROOT / "examples" / "sample_program.py"), str(dump)],
                   check=True, capture_output=True, timeout=120)
    subprocess.run([sys.executable, "-m", "vossick_report", str(db), "import", str(dump), "--quiet"],
                   check=True, capture_output=True, timeout=120)
    return Model(dump, db)


def serving(db, *args):  # yields the URL while the caller's generator lives
    server = subprocess.Popen([sys.executable, "-m", "vossick_report", db, "serve", "--port", "0", *args],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    announced = server.stdout.readline()
    assert "127.0.0.1" in announced, announced + server.stderr.read()
    yield re.search(r"http://\S+/", announced).group(0).rstrip("/")
    server.send_signal(signal.SIGINT)  # Ctrl-C: uvicorn shuts down, then ends by the signal as a shell expects
    assert server.wait(timeout=20) in (0, 130, -signal.SIGINT)  # 130: the report tool's own Ctrl-C exit


@pytest.fixture(scope="module")
def url(model):
    yield from serving(model.db)


def get(address, method="GET", **headers):
    """(status, body, final URL after redirects)."""
    try:
        with urllib.request.urlopen(urllib.request.Request(address, headers=headers, method=method), timeout=60) as got:
            return got.status, got.read().decode(), got.geturl()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode(), address


def section(body, name):
    return body.split(f'<section id="{name}">')[1].split("</section>")[0]


@pytest.mark.parametrize("path, status, detail", [
    ("/object/{hex}", 200, "/object/{buffer}"),  # one URL per object: the page and a search lead there
    ("/search?q={hex}", 200, "/object/{buffer}"),
    ("/object/1", 404, "no object with id 1"),
    ("/object/abc", 400, "not an object id"),
    ("/object/{buffer}?from=1", 404, "no object with id 1 to start a path from"),
    ("/object/{buffer}?from={main}&avoid=x", 400, "avoid: not an object id"),
    ("/type/no.such.Type", 404, "no objects of type no.such.Type"),
    ("/type/__main__.Order?page=0", 400, "bad page number"),
    ("/type/__main__.Order?page=11", 404, "page 11 is past the last page (10)"),
    ("/?sort=colour", 400, "bad sort"),
])
def test_pages_lead_to_one_url_or_say_what_is_wrong(url, model, path, status, detail):
    ids = {"buffer": model.buffer, "main": model.main, "hex": hex(model.buffer)}
    code, body, final = get(url + path.format(**ids))
    shown = final if code == 200 else html.unescape(re.search(r'class="error">([^<]*)', body).group(1))
    assert code == status and detail.format(**ids) in shown


@pytest.mark.parametrize("method", ["POST", "DELETE"])
@pytest.mark.parametrize("path", ["/", "/object/{buffer}", "/static/treemap.js"])
def test_nothing_but_get_is_accepted(url, model, method, path):
    assert get(url + path.format(buffer=model.buffer), method)[0] == 405
    assert get(url + path.format(buffer=model.buffer))[0] == 200


def test_a_loopback_server_answers_to_its_own_names_only(url):
    # Else a page whose name is made to resolve to 127.0.0.1 could read the dump through a browser.
    assert get(url + "/", Host="dump-reader.example")[0] == 400
    assert get(url.replace("127.0.0.1", "localhost") + "/")[0] == 200


@pytest.mark.parametrize("query, key, needle", [
    ("", lambda t: (-t[2], t[0]), ""),
    ("?sort=name&filter=ORDER", lambda t: t[0], "order"),
])
def test_type_table_matches_the_dump(url, model, query, key, needle):
    rows = [(html.unescape(n), int(c.replace(",", "")), int(s.replace(",", "")))
            for n, c, s in TYPE_ROW.findall(section(get(url + "/" + query)[1], "types"))]
    expected = sorted(((name, c, s) for name, (c, s) in model.types.items() if needle in name.lower()), key=key)
    assert rows == expected and rows
    searched = [n for n, _, _ in TYPE_ROW.findall(get(url + "/search?q=" + (needle or "builtins"))[1])]
    assert sorted(searched) == sorted(n for n in model.types if (needle or "builtins") in n.lower())


@pytest.mark.parametrize("page", [1, 10])
def test_type_pages_list_largest_first_then_by_id(url, model, page):
    body = get(f"{url}/type/__main__.Order?page={page}")[1]
    orders = sorted((-r["size"], i) for i, r in model.records.items() if r["type"] == "__main__.Order")
    assert [int(i) for i in OBJECT_LINK.findall(body)] == [i for _, i in orders[(page - 1) * 1000: page * 1000]]


def listed(url, obj_id, name):
    """(label, id) of every row of an object page's listing `name`, following its pages."""
    rows, page, pages = [], 0, 1
    while page < pages:
        page += 1
        part = section(get(f"{url}/object/{obj_id}?{name}={page}")[1], name)
        pages = int((re.search(r"page \d+ of (\d+)", part) or [0, 1])[1])
        rows += [(html.unescape(label), int(i)) for label, i in LABELLED_LINK.findall(part)]
    return rows


@pytest.mark.parametrize("pick", [lambda m: m.buffer, lambda m: m.main, lambda m: min(m.referrers[m.buffer]),
                                  lambda m: max(m.records, key=lambda i: len(m.records[i]["references"]))])
def test_object_pages_link_every_referrer_and_reference_with_its_label(url, model, pick):
    obj_id = pick(model)
    first_label = lambda holder: model.labels(holder)[model.records[holder]["references"].index(obj_id)]
    assert sorted(listed(url, obj_id, "referrers")) == sorted((first_label(r), r) for r in model.referrers[obj_id])
    assert sorted(listed(url, obj_id, "references")) == sorted(zip(model.labels(obj_id),
                                                                   model.records[obj_id]["references"]))


@pytest.mark.parametrize("clicks", [0, 1])  # on this dump one click leaves no chain
def test_path_search_and_its_avoid_links_give_shortest_chains(url, model, clicks):
    address = f"{url}/object/{model.buffer}?from={model.main}"
    for click in range(clicks + 1):
        body = get(address)[1]
        if click < clicks:  # follow the "avoid" link of the path's first step between its ends
            address = url + html.unescape(re.search(r'<a href="([^"]*)">avoid</a>', body).group(1))
    steps = [int(i) for i in OBJECT_LINK.findall(section(body, "path"))]
    avoid = {int(i) for i in re.findall(r"avoid=([\d+]*)", address)[0].split("+") if i} if clicks else set()
    distance = model.distance(model.main, model.buffer, avoid)
    assert len(avoid) == clicks and len(steps) == (0 if distance is None else distance + 1)
    assert not steps or (steps[0], steps[-1]) == (model.main, model.buffer)
    assert all(b in model.records[a]["references"] for a, b in zip(steps, steps[1:])) and not set(steps) & avoid


def test_the_largest_retainers_hold_their_size_and_what_they_dominate(url, model):
    tiles = json.loads(re.search(r'id="treemap-data">([^<]*)<', get(url + "/")[1]).group(1))
    summed = 0
    for tile in tiles[:6]:
        obj_id, body = int(tile["url"].rsplit("/", 1)[1]), get(url + tile["url"])[1]
        dominated = [(int(i), int(b.replace(",", ""))) for i, b in re.findall(  # (id, retained size)
            r'<td><a href="/object/(\d+)">.*?<td class="num" title="([\d,]+) bytes">[^<]*</td><td class="value">',
            section(body, "dominated"), re.S)]
        retained = int(re.search(r'id="retained-size"><span title="([\d,]+)', body).group(1).replace(",", ""))
        chain = [int(i) for i in OBJECT_LINK.findall(section(body, "dominators"))]
        assert chain[-1] == obj_id and tile["size"] <= retained
        if 'rel="next"' not in section(body, "dominated"):  # all it dominates is on the page
            assert retained == model.records[obj_id]["size"] + sum(r for _, r in dominated)
            summed += 1
        for child, _ in dominated[:2]:
            below = OBJECT_LINK.findall(section(get(f"{url}/object/{child}")[1], "dominators"))
            assert [int(i) for i in below] == chain + [child]
    assert summed


@pytest.fixture(scope="module")
def baseline_url(model):
    old = model.db.parent / "old"
    kept = lambda r: {k: [i for i in v if i != model.buffer] if k == "references" else v
                      for k, v in r.items() if k != "labels"}
    old.with_suffix(".jsonl").write_text("".join(json.dumps(kept(r)) + "\n" for i, r in model.records.items()
                                                 if i != model.buffer))
    assert python("-m", "vossick_report", old, "import", old.with_suffix(".jsonl"), "--quiet").returncode == 0
    yield from serving(model.db, "--baseline", old)


def test_the_comparison_shows_the_buffer_and_its_holders(baseline_url, url, model):
    body = get(baseline_url + "/diff")[1]
    assert {int(i) for i in OBJECT_LINK.findall(section(body, "growth"))} == model.referrers[model.buffer]
    rows = re.findall(r'>([^<]*)</a></td><td class="num">([\d,]+)</td><td class="num">([\d,]+)</td>',
                      section(body, "deltas"))
    assert rows == [("builtins.bytearray", f"{b:,}", f"{b + 1:,}") for b in [model.types["builtins.bytearray"][0] - 1]]
    assert get(url + "/diff")[0] == 404


def test_serve_refuses_to_start_with_a_clear_message(model, tmp_path):
    for args, message in [([tmp_path / "none", "serve"], "no database in"),
                          ([model.db, "serve", "--port", "70000"], "not a TCP port")]:
        done = python("-m", "vossick_report", *args)
        assert done.returncode != 0 and message in done.stderr and not done.stdout


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not (chromium and driver):
        pytest.skip("Debian's chromium and chromium-driver are not installed (bash scripts/setup.sh installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,1000"):
        options.add_argument(flag)
    # The browser runs without the sanitizer runtimes that a sanitizer run preloads into Python.
    clean = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    chrome = webdriver.Chrome(options=options, service=webdriver.ChromeService(driver, env=clean))
    chrome.implicitly_wait(10)
    SHOTS.mkdir(parents=True, exist_ok=True)
    yield chrome
    chrome.quit()


def here_id(browser):
    return int(browser.current_url.rsplit("/", 1)[1].split("?")[0])


def test_treemap_tiles_its_box_in_proportion_to_subtree_sizes(url, browser):
    browser.get(url + "/")
    box = browser.find_element("id", "treemap").rect
    sizes = [t["size"] for t in json.loads(browser.find_element("id", "treemap-data").get_attribute("textContent"))]
    rects = [(r["x"], r["y"], r["x"] + r["width"], r["y"] + r["height"])
             for r in (t.rect for t in browser.find_elements("css selector", "#treemap a"))]
    assert len(rects) == len(sizes) > 1
    scale = box["width"] * box["height"] / sum(sizes)
    for (x0, y0, x1, y1), size in zip(rects, sizes):
        assert box["x"] - 1 <= x0 and x1 <= box["x"] + box["width"] + 1
        assert box["y"] - 1 <= y0 and y1 <= box["y"] + box["height"] + 1
        assert (x1 - x0) * (y1 - y0) == pytest.approx(size * scale, rel=0.05, abs=40)
    for i, (ax0, ay0, ax1, ay1) in enumerate(rects):  # no two tiles overlap
        assert all(min(ax1, bx1) - max(ax0, bx0) < 1 or min(ay1, by1) - max(ay0, by0) < 1
                   for bx0, by0, bx1, by1 in rects[i + 1:])
    browser.save_screenshot(str(SHOTS / "overview.png"))


def test_a_person_clicks_from_the_largest_subtree_to_a_referrer_and_a_path(url, model, browser):
    browser.get(url + "/")
    tiles = browser.find_elements("css selector", "#treemap a")
    # The largest subtree that something holds (the very largest may be a root, held by nothing).
    next(t for t in tiles if model.referrers[int(t.get_attribute("href").rsplit("/", 1)[1])]).click()
    largest = here_id(browser)
    assert browser.find_element("tag name", "h1").text.endswith(str(largest))
    chain = browser.find_elements("css selector", "#dominators tbody tr")  # down to this object
    assert chain[-1].find_element("tag name", "a").text == str(largest)
    browser.find_element("css selector", "#referrers td a").click()
    holder = here_id(browser)
    assert holder in model.referrers[largest]
    held = browser.find_element("xpath", f'//section[@id="references"]//tr[td/a[@href="/object/{largest}"]]')
    label = model.labels(holder)[model.records[holder]["references"].index(largest)]
    assert held.find_element("css selector", "td.label").text == label != ""
    browser.find_element("name", "from").send_keys(str(model.main))
    browser.find_element("css selector", "form.path button").click()
    steps = [int(r.find_element("tag name", "a").text) for r in browser.find_elements("css selector", "#path tbody tr")]
    distance = model.distance(model.main, holder)
    assert here_id(browser) == holder and len(steps) == (0 if distance is None else distance + 1)
    assert steps[::len(steps) - 1] == [model.main, holder] if steps else "No chain of references" in browser.page_source
    browser.save_screenshot(str(SHOTS / "path.png"))


def test_a_person_opens_the_comparison_and_a_growth_point(baseline_url, model, browser):
    browser.get(baseline_url + "/")
    browser.find_element("link text", "comparison").click()
    browser.save_screenshot(str(SHOTS / "diff.png"))
    browser.find_element("css selector", "#growth td a").click()
    assert here_id(browser) in model.referrers[model.buffer]
