"""The search page and its API: requests against the application in this process, the served
command in a subprocess, and the page itself in headless Chromium (skipped without it)."""

import asyncio
import contextlib
import json
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

pytest.importorskip("fastapi")
httpx = pytest.importorskip("httpx")
from fastapi.testclient import TestClient  # noqa: E402

import tarnexa  # noqa: E402
from tarnexa.command import sections  # noqa: E402
from tarnexa.text import modifiers  # noqa: E402
from tarnexa.web.app import INFO_FIELDS, Bounds, create_app  # noqa: E402
from tarnexa.web.serve import LOOPBACK_NAMES, allowed_hosts, exposure_warning  # noqa: E402

DAY = 86400.0
NOW = 1_760_000_000.0
HOSTILE_TITLE = '<img src=x onerror="window.pwned=1;alert(1)">Hostile cats'
HOSTILE_TEXT = "<script>window.pwned=2;alert(2)</script> cats hide <b>here</b> and <img src=y onerror=alert(3)>"
CORPUS = [  # id, title, text, age in days
    ("siamese", "Siamese cats", "Siamese cats are vocal, slender cats with blue eyes.", 900),
    ("persian", "Persian cats", "Persian cats have long fur and a calm, gentle temper.", 400),
    ("kitten", "Feeding a kitten", "Young cats need small meals of wet food, kitten food.", 2),
    ("tabby", "Tabby cats", "Tabby cats have striped fur; a tabby is not a breed of cats.", 30),
    ("beagle", "Beagles", "Beagles are friendly hunting dogs with a keen sense of smell.", 700),
    ("poodle", "Poodles", "Poodles are clever dogs with curly fur that needs grooming.", 60),
    ("puppy", "Training a puppy", "Young dogs learn to sit, stay and come; puppy training.", 5),
    ("birds/parrot", "Parrots", "Parrots are colourful birds that can mimic human speech.", 300),
    ("birds/owl", "Owls", "Owls are night birds that hunt mice in the dark.", 10),
    ("bread", "Bread", "Bake bread with flour, water, salt and yeast in a hot oven.", 100),
    ("soup", "Soup", "A warm vegetable soup with carrots, onions and beans.", 20),
    ("hostile", HOSTILE_TITLE, HOSTILE_TEXT, 1),
]


@pytest.fixture(scope="module")
def index_path(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("web") / "index")
    idx = tarnexa.Index.create(path, embedder="hashed")
    idx.add([t for _, _, t, _ in CORPUS], ids=[i for i, *_ in CORPUS], titles=[t for _, t, _, _ in CORPUS],
            timestamps=[NOW - age * DAY for *_, age in CORPUS])
    idx.close()
    return path


@pytest.fixture(scope="module")
def idx(index_path):
    index = tarnexa.Index.open(index_path)
    yield index
    index.close()


@pytest.fixture(scope="module")
def client(idx):
    with TestClient(create_app(idx)) as c:
        yield c


def expected(idx, q, m="", explain=False, limit=None, offset=0):
    return json.loads(idx.search(q, m, explain=explain, limit=limit, offset=offset).to_json())


# ---------------------------------------------------------------- the API

@pytest.mark.parametrize("m", ["", "recent", "recent:30", "like:kitten", "like:kitten,nosuch", "unlike:dogs",
                               "from: cats to: dogs", "limit:3", "diverse", "bogus recent:-2 limit:x",
                               "local_communities", "diverse local_communities limit:4 bogus recent:-2"])
@pytest.mark.parametrize("extra", [{}, {"explain": "true", "limit": "5"}, {"limit": "2", "offset": "1"}])
def test_search_matches_the_index(client, idx, m, extra):
    r = client.get("/api/search", params={"q": "cats with fur", "m": m, **extra})
    assert r.status_code == 200, r.text
    assert r.headers["content-type"] == "application/json"
    assert r.json() == expected(idx, "cats with fur", m, explain="explain" in extra,
                                limit=int(extra["limit"]) if extra else None, offset=int(extra.get("offset", 0)))
    assert set(r.json()) == {"hits", "notes", "communities"}


BAD_REQUESTS = [  # method, URL, status, a word of the message
    ("GET", "/api/search", 400, "q is missing"),
    ("GET", "/api/search?m=recent", 400, "q is missing"),
    ("GET", "/api/search?q=", 400, "empty"),
    ("GET", "/api/search?q=%20%09", 400, "empty"),
    ("GET", "/api/search?q=" + "a" * 1001, 400, "1001 characters; at most 1000"),
    ("GET", "/api/search?q=" + "a" * 60_000, 400, "at most 1000"),
    ("GET", "/api/search?q=cats&m=" + "x" * 501, 400, "modifier line has 501"),
    *[("GET", f"/api/search?q=cats&limit={v}", 400, "limit must be a whole number")
      for v in ("0", "-1", "1001", "99999999999999999999999", "ten", "2.5", "")],
    *[("GET", f"/api/search?q=cats&m=limit:{v}", 400, "at most 1000 are served") for v in ("1001", "1000000")],
    ("GET", "/api/search?q=cats&explain=perhaps", 400, "explain must be"),
    *[("GET", f"/api/search?q=cats&limit=10&offset={v}", 400, "offset must be 0 or more") for v in ("-1", "991")],
    ("GET", "/api/search?q=cats&q=dogs", 400, "q is given more than once"),
    ("GET", "/api/search?q=cats&limit=2&limit=3", 400, "limit is given more than once"),
    ("GET", "/api/search?q=%ff%fecats", 400, "not valid UTF-8"),
    ("GET", "/api/search?q=ca%00ts", 400, "NUL"),
    ("GET", "/api/search?q=cats&m=recent%00", 400, "NUL"),
    ("GET", "/api/search?" + "&".join(f"x{i}=1" for i in range(50)) + "&q=cats", 400, "too many"),
    ("GET", "/api/doc/nosuch", 404, "no document with id 'nosuch'"),
    ("GET", "/api/doc/" + "z" * 5000, 404, "..."),
    ("GET", "/api/doc/..%2F..%2F..%2Fetc%2Fpasswd", 404, "no document"),
    ("GET", "/api/doc/%2e%2e/%2e%2e/pyproject.toml", 404, "no document"),
    ("GET", "/api/doc/%00", 404, "no document"),
    ("GET", "/static/..%2Fapp.py", 404, "no such page"),
    ("GET", "/static/index.html", 404, "no such page"),
    ("GET", "/nowhere", 404, "no such page"),
    ("POST", "/api/search?q=cats", 405, "read-only"),
    ("DELETE", "/api/doc/kitten", 405, "read-only"),
    ("PUT", "/", 405, "read-only"),
    ("GET", "/docs", 404, "no such page"),  # Swagger's page would load scripts from a CDN
]


OPENED: list[str] | None = None  # the files Python opens while a request is answered


def _record_opens(event, args):
    if OPENED is not None and event == "open":
        OPENED.append(os.fsdecode(args[0]) if isinstance(args[0], (str, bytes, os.PathLike)) else repr(args[0]))


sys.addaudithook(_record_opens)


@pytest.mark.parametrize("method,url,status,words", BAD_REQUESTS, ids=lambda v: str(v)[:40])
def test_bad_requests(client, index_path, method, url, status, words):
    global OPENED
    OPENED = []
    try:
        r = client.request(method, url)
    finally:
        opened, OPENED = OPENED, None
    package = os.path.dirname(tarnexa.__file__)  # FastAPI reads its endpoints' source for messages
    assert [p for p in opened if not os.path.abspath(p).startswith((index_path, package))] == []
    assert r.status_code == status
    assert words is None or words in r.json()["error"]
    assert "content-security-policy" in r.headers
    assert client.get("/api/search?q=cats").status_code == 200  # still serving


def test_info_document_and_description(client, idx):
    info = client.get("/api/info").json()
    assert list(info) == list(INFO_FIELDS) and info["documents"] == len(CORPUS) == len(idx)
    assert info["first"] == pytest.approx(NOW - 900 * DAY) and info["last"] == pytest.approx(NOW - DAY)
    for doc_id, title, text, _ in (CORPUS[-1], CORPUS[7]):
        assert client.get("/api/doc/" + doc_id).json() == {
            "id": doc_id, "title": title, "text": text, "timestamp": idx.document(doc_id).timestamp, "metadata": {}}
    schema = client.get("/api/openapi.json").json()
    assert {"/api/search", "/api/info", "/api/doc/{doc_id}", "/api/modifiers"} <= set(schema["paths"])
    known = client.get("/api/modifiers").json()  # the parser's own table: what the page offers
    assert [k["token"] for k in known] == [t for t, *_, shown in modifiers.VOCABULARY if shown]
    assert "limit:N" in [k["usage"] for k in known] and all(k["help"] for k in known)
    assert {p["name"] for p in schema["paths"]["/api/search"]["get"]["parameters"]} == {"q", "m", "limit", "offset", "oversample", "explain", "sort", "facets",
                                                                                   "mode", "where"}


def test_page_files_and_headers(client):
    page = client.get("/")
    assert page.headers["content-type"].startswith("text/html")
    csp = page.headers["content-security-policy"]
    assert "script-src 'self'" in csp and "unsafe" not in csp and "default-src 'none'" in csp
    assert page.text.count("<script") == page.text.count('<script src="/static/app.js"') == 1
    assert not re.search(r"\son\w+\s*=|javascript:|style=", page.text)  # no inline handler or style
    assert client.head("/").status_code == 200
    js = client.get("/static/app.js")
    assert js.headers["content-type"].startswith("text/javascript") and "innerHTML" not in js.text
    assert client.get("/static/style.css").headers["content-type"].startswith("text/css")


@pytest.mark.parametrize("bound,host,status", [
    *[(None, h, st) for h, st in [("127.0.0.1:8765", 200), ("localhost", 200), ("[::1]:80", 200),
                                  ("evil.example", 400), ("127.0.0.1.evil.example", 400), ("", 400), ("[::1", 400)]],
    ("127.0.0.2", "127.0.0.2:8765", 200), ("127.0.0.2", "localhost:8765", 200), ("127.0.0.2", "evil.example", 400),
    ("::1", "[::1]:8765", 200), ("192.168.1.5", "192.168.1.5", 200), ("192.168.1.5", "10.0.0.1", 400),
    ("0.0.0.0", "10.0.0.1:8765", 200), ("::", "[fe80::1]:80", 200), ("0.0.0.0", "evil.example", 400)])
def test_server_refuses_other_host_names(idx, bound, host, status):
    hosts = LOOPBACK_NAMES if bound is None else allowed_hosts(bound)
    with TestClient(create_app(idx, allowed_hosts=hosts)) as c:
        assert c.get("/api/info", headers={"host": host}).status_code == status


@pytest.mark.parametrize("url,headers,status", [
    ("/api/search?q=cats", {}, 200),  # not a browser
    ("/api/search?q=cats", {"origin": "http://testserver", "sec-fetch-site": "same-origin"}, 200),
    ("/api/info", {"origin": "http://testserver:80"}, 200),
    ("/api/info", {"sec-fetch-site": "none"}, 200),  # typed into the address bar
    ("/", {"sec-fetch-site": "cross-site", "sec-fetch-mode": "navigate", "sec-fetch-dest": "document"}, 200),
    ("/api/search?q=cats", {"origin": "http://evil.example"}, 403),
    ("/api/info", {"origin": "http://testserver:8080"}, 403),
    ("/api/info", {"origin": "null"}, 403),
    ("/api/search?q=cats", {"sec-fetch-site": "cross-site"}, 403),  # an <img> elsewhere: no Origin
    ("/api/doc/kitten", {"sec-fetch-site": "same-site"}, 403),  # another port of localhost
    ("/api/search?q=cats", {"sec-fetch-site": "cross-site", "sec-fetch-mode": "navigate",
                            "sec-fetch-dest": "document"}, 403),
    ("/static/app.js", {"sec-fetch-site": "cross-site", "sec-fetch-dest": "script"}, 403),
])
def test_other_origins_are_refused(client, url, headers, status):
    for method in ("GET", "HEAD"):
        r = client.request(method, url, headers=headers)
        assert r.status_code == status
    assert status == 200 or "another" in client.get(url, headers=headers).json()["error"]


@pytest.mark.parametrize("url", ["/api/info", "/api/search?q=cats&m=limit:3", "/api/doc/birds/owl", "/api/modifiers",
                                 "/static/style.css"])
def test_head_answers_where_get_does(client, url):
    got, head = client.get(url), client.head(url)
    assert head.status_code == got.status_code == 200 and head.content == b""
    assert head.headers["content-length"] == got.headers["content-length"]


SMALL = Bounds(hits=5, oversample=8, explained=2, answer_bytes=1500)
BOUNDED = [  # parameters, status, what is checked: a word of the error, or of a note
    ({"limit": "6"}, 400, "from 1 to 5"),
    ({"m": "limit:6"}, 400, "at most 5 are served"),
    ({"m": "limit:3", "limit": "6"}, 400, "from 1 to 5"),
    ({"oversample": "9"}, 400, "oversample must be a whole number from 1 to 8"),
    ({"oversample": "0"}, 400, "from 1 to 8"),
    ({"m": "local_communities", "oversample": "9"}, 400, "from 1 to 8"),
    ({"m": "limit:5", "explain": "1"}, 200, "only the first 2 hits"),
    ({"limit": "5", "explain": "1"}, 200, "only the first 2 hits"),
    ({"m": "limit:5 local_communities", "oversample": "8"}, 200, "the first"),  # cut to 1500 bytes
    ({"limit": "5", "m": "diverse", "oversample": "8", "explain": "1"}, 200, "the first"),
]


@pytest.mark.parametrize("params,status,words", BOUNDED, ids=lambda v: str(v)[:50])
def test_answers_stay_within_the_bounds(idx, params, status, words):
    with TestClient(create_app(idx, bounds=SMALL)) as c:
        r = c.get("/api/search", params={"q": "cats dogs birds", **params})
    assert r.status_code == status
    if status != 200:
        assert words in r.json()["error"]
        return
    answer = r.json()
    assert len(r.content) <= SMALL.answer_bytes and any(words in n for n in answer["notes"])
    assert sum(h["explanation"] is not None for h in answer["hits"]) <= SMALL.explained
    full = expected(idx, "cats dogs birds", params.get("m", ""), explain="explain" in params,
                    limit=int(params["limit"]) if "limit" in params else None)
    assert [h["id"] for h in answer["hits"]] == [h["id"] for h in full["hits"]][:len(answer["hits"])]


def test_a_request_past_its_time_gets_503_and_the_server_goes_on(idx):
    gate = threading.Event()

    class Held:
        def search(self, q):
            return self.search_many([q])[0]

        def search_many(self, queries):
            gate.wait(30)
            return idx.search_many(queries)

    app = create_app(idx, searcher=Held(), bounds=Bounds(seconds=0.3))
    with TestClient(app) as c, ThreadPoolExecutor(4) as pool:
        held = [pool.submit(c.get, "/api/search?q=cats&m=limit:" + str(i + 1)) for i in range(3)]
        answers = [f.result() for f in held]
        assert [a.status_code for a in answers] == [503] * 3 and "no answer within 0.3 s" in answers[0].json()["error"]
        assert answers[0].headers["retry-after"] == "5" and not app.state.batcher._waiting  # none left to search
        gate.set()
        assert c.get("/api/search?q=cats").json() == expected(idx, "cats")


@pytest.mark.parametrize("host,warned", [("127.0.0.1", False), ("localhost", False), ("::1", False),
                                         ("127.0.0.2", False), ("0.0.0.0", True), ("::", True),
                                         ("192.168.1.5", True), ("example.org", True)])
def test_exposure_warning(host, warned):
    assert (exposure_warning(host) is not None) == warned


def test_searches_run_off_the_event_loop(idx):
    gate, entered = threading.Event(), threading.Event()

    class Held:
        def search(self, *a, **kw):
            entered.set()
            gate.wait(30)
            return idx.search(*a, **kw)

    with TestClient(create_app(idx, searcher=Held())) as c:
        answers = []
        slow = threading.Thread(target=lambda: answers.append(c.get("/api/search?q=cats")))
        slow.start()
        assert entered.wait(30)
        assert c.get("/api/info").status_code == 200  # answered while the search is held
        assert slow.is_alive() and not answers
        gate.set()
        slow.join(30)
    assert answers[0].json() == expected(idx, "cats")


def test_searches_that_wait_go_together_and_fail_alone(idx):
    gate, entered, passes = threading.Event(), threading.Event(), []

    class Held:
        def search(self, q):
            passes.append(1)
            entered.set()
            gate.wait(30)
            return idx.search(q)

        def search_many(self, queries):
            passes.append(len(queries))
            return idx.search_many(queries)

    lines = [("birds", m) for m in ("", "limit:3", "diverse", "unlike:dogs", "like:kitten", "bogus")] + [("?!", "")]
    app = create_app(idx, searcher=Held())
    with TestClient(app) as c, ThreadPoolExecutor(8) as pool:
        first = pool.submit(c.get, "/api/search?q=cats")
        assert entered.wait(30)
        rest = [pool.submit(c.get, "/api/search", params={"q": q, "m": m}) for q, m in lines]
        for _ in range(3000):  # until all of them wait behind the held pass
            if len(app.state.batcher._waiting) == len(lines):
                break
            time.sleep(0.01)
        gate.set()
        assert first.result().json() == expected(idx, "cats")
        answers = [f.result() for f in rest]
    assert passes[:2] == [1, len(lines)]  # the held pass, then every waiting search in one
    assert [a.json() for a in answers[:-1]] == [expected(idx, q, m) for q, m in lines[:-1]]
    assert answers[-1].status_code == 400 and "?!" in answers[-1].json()["error"], answers[-1].json()  # only it fails


def test_light_searches_take_turns_with_bounded_passes_of_heavy_ones(idx):
    gate, entered, passes = threading.Event(), threading.Event(), []

    class Held:
        def search(self, q):
            return self.search_many([q])[0]

        def search_many(self, queries):
            passes.append(sorted(q.limit or 10 for q in queries))
            entered.set()
            gate.wait(30)
            return idx.search_many(queries)

    app = create_app(idx, searcher=Held())
    asked = ["limit:1000"] * 6 + ["limit:5", "", "diverse"]  # 6 x 1000 hits, then 3 light ones
    with TestClient(app) as c, ThreadPoolExecutor(10) as pool:
        first = pool.submit(c.get, "/api/search?q=cats")
        assert entered.wait(30)
        rest = [pool.submit(c.get, "/api/search", params={"q": "birds", "m": m}) for m in asked]
        for _ in range(3000):
            if len(app.state.batcher._waiting) == len(asked):
                break
            time.sleep(0.01)
        gate.set()
        assert [f.status_code for f in [first.result(), *(f.result() for f in rest)]] == [200] * 10
    assert passes == [[10], [1000] * 4, [5, 10, 10], [1000] * 2]  # 4,000 hits a heavy pass at most


@pytest.mark.parametrize("own_searcher", [False, True])
def test_concurrent_requests_get_their_own_answers(idx, index_path, own_searcher):
    """An index handle is one SQLite connection: requests side by side must not share it."""
    searcher = tarnexa.Index.open(index_path) if own_searcher else None
    want = {q: expected(idx, q, "local_communities") for q in ("cats", "dogs", "birds")}
    docs = {d: {"id": d, "title": t, "text": x, "timestamp": idx.document(d).timestamp, "metadata": {}}
            for d, t, x, _ in CORPUS}
    info = {k: idx.info()[k] for k in INFO_FIELDS}

    def ask(c, i):
        q, d = list(want)[i % 3], CORPUS[i % len(CORPUS)][0]
        return [c.get("/api/search", params={"q": q, "m": "local_communities"}).json() == want[q],
                c.get("/api/doc/" + d).json() == docs[d], c.get("/api/info").json() == info]

    with TestClient(create_app(idx, searcher=searcher)) as c, ThreadPoolExecutor(16) as pool:
        answers = list(pool.map(lambda i: ask(c, i), range(300)))
    if searcher is not None:
        searcher.close()
    assert answers == [[True] * 3] * 300


# ---------------------------------------------------------------- the served command

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(path, *args, host="127.0.0.1", files=None):
    """The served command on a free port (with at most `files` descriptors), and its URL."""
    port = free_port()
    limit = None if files is None else lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))
    proc = subprocess.Popen([sys.executable, "-m", "tarnexa", "serve", path, "--host", host, "--port", str(port), *args],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, preexec_fn=limit)
    url = f"http://{host}:{port}"
    for _ in range(600):  # up to a minute for the index (and the Dask workers) to come up
        if proc.poll() is not None:
            raise RuntimeError(f"the server stopped: {proc.stderr.read()}")
        try:
            if httpx.get(url + "/api/health", timeout=2).status_code == 200:
                return proc, url
        except httpx.TransportError:
            time.sleep(0.1)
    proc.kill()
    raise RuntimeError("the server did not answer within a minute")


def stop_server(proc):
    proc.terminate()
    try:
        proc.wait(30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


@pytest.fixture(scope="module")
def server(index_path):
    proc, url = start_server(index_path)
    yield url
    stop_server(proc)


def test_sharded_server_gives_the_same_results(index_path, idx):
    pytest.importorskip("distributed")
    proc, url = start_server(index_path, "--workers", "2")
    try:
        for m in ("limit:5", "like:kitten recent limit:5", "diverse limit:4"):  # no ties at the ends
            assert httpx.get(url + "/api/search", params={"q": "cats", "m": m}).json() == expected(idx, "cats", m)
    finally:
        stop_server(proc)


def test_server_keeps_serving_through_abuse(server, idx):
    """Malformed requests at the HTTP level, many clients at once, and one client trickling its
    request byte by byte while the others are answered."""
    host = server.removeprefix("http://").split(":")
    trickle = socket.create_connection((host[0], int(host[1])), timeout=30)
    request = b"GET /api/search?q=cats HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    trickle.sendall(request[:20])
    for raw in (b"GET /api/search?q=" + b"a" * 1_000_000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                b"GARBAGE \x00\xff HTTP/9\r\n\r\n"):
        with socket.create_connection((host[0], int(host[1])), timeout=30) as bad:
            with contextlib.suppress(ConnectionError):  # the server may close before reading it all
                bad.sendall(raw)
            assert bad.recv(100).startswith(b"HTTP/1.1 4")

    async def many():
        async with httpx.AsyncClient(base_url=server, timeout=30,
                                     limits=httpx.Limits(max_connections=64)) as c:
            return await asyncio.gather(*(c.get("/api/search", params={"q": f"cats {i % 7}"}) for i in range(256)))

    answers = asyncio.run(many())
    assert [r.status_code for r in answers] == [200] * 256  # while the trickled request is pending
    for i in range(20, len(request)):
        trickle.sendall(request[i:i + 1])
    reply = b""
    while b"\r\n\r\n" not in reply:
        reply += trickle.recv(4096)
    assert reply.startswith(b"HTTP/1.1 200")
    trickle.close()


def test_idle_and_slow_connections_do_not_starve_the_server(index_path):
    """Hundreds of connections that send nothing, half a head, or never read their answers, to a
    server on 127.0.0.2 that may hold 256 files (so at most 64 connections): a client with a request is still answered, and
    the server closes the idle ones."""
    proc, url = start_server(index_path, "--client-timeout", "1", host="127.0.0.2", files=256)
    address = ("127.0.0.2", int(url.rsplit(":", 1)[1]))
    held = [socket.create_connection(address, timeout=30) for _ in range(300)]
    try:
        for s in held[::3]:
            s.sendall(b"GET /api/search?q=cats HTTP/1.1\r\nHost: 127.0.0.2\r\n")  # a head never finished
        for s in held[1::30]:  # answers never read
            s.sendall(b"GET /api/search?q=cats&m=limit:1000&explain=1 HTTP/1.1\r\nHost: 127.0.0.2\r\n\r\n" * 20)
        with httpx.Client(base_url=url, timeout=30) as c:
            assert [c.get("/api/search?q=cats").status_code, c.head("/api/info").status_code] == [200, 200]
        for s in held[::7]:
            s.settimeout(60)
            with contextlib.suppress(ConnectionError):
                while s.recv(1 << 20):  # the server closes it, at most after its answers
                    pass
    finally:
        for s in held:
            s.close()
        stop_server(proc)
    assert "Traceback" not in proc.stderr.read()


EMFILE_SERVER = """
import resource, sys
resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
import uvicorn
from tarnexa.web.connections import guarded_protocol, quiet_repeats

async def app(scope, receive, send):
    if scope["type"] == "http":
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})

config = uvicorn.Config(app, port=int(sys.argv[1]), log_level="warning", http=guarded_protocol(1000, 2.0))
quiet_repeats()
uvicorn.Server(config).run()
"""


def test_running_out_of_descriptors_is_logged_once_a_while(tmp_path):
    """A connection cap above what the process may open (here on purpose): every accept() that
    fails is one record of asyncio's, each with its traceback; at most one an interval is logged."""
    port, log = free_port(), (tmp_path / "stderr").open("w+")
    proc = subprocess.Popen([sys.executable, "-c", EMFILE_SERVER, str(port)], stderr=log)
    try:
        for _ in range(300):
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port)):
                break
            time.sleep(0.1)
        held = [socket.create_connection(("127.0.0.1", port)) for _ in range(150)]
        time.sleep(3)  # accept() fails meanwhile, a few thousand times
        for s in held:
            s.close()
        assert httpx.get(f"http://127.0.0.1:{port}/", timeout=30).text == "ok"
    finally:
        proc.terminate()
        proc.wait(30)
    log.seek(0)
    assert 1 <= log.read().count("Too many open files") <= 2


# ---------------------------------------------------------------- the page in Chromium

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")


@pytest.fixture(scope="module")
def browser():
    if not (CHROMIUM and CHROMEDRIVER):
        pytest.skip("needs Debian's chromium and chromium-driver (scripts/setup.sh installs them as root)")
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service
    os.environ["SE_OFFLINE"] = "true"  # selenium-manager must not look anything up
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1100,1400", "--no-first-run", "--disable-extensions"):
        opts.add_argument(arg)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # Not the sanitizer runtimes that scripts/test-sanitize.sh preloads into the interpreter.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=opts, service=Service(CHROMEDRIVER, env=env))
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


@pytest.fixture
def page(browser, server):
    """The page, and a check afterwards: no dialog opened and the console logged no error
    (a refused inline script or style shows there) other than the API's 4xx answers."""
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.support.ui import WebDriverWait

    class Page:
        def __init__(self):
            self.d = browser

        def open(self, url=None):
            self.d.get(url or server + "/")
            self.wait(lambda d: d.execute_script("return document.readyState") == "complete")

        def wait(self, until):
            return WebDriverWait(self.d, 20).until(until)

        def css(self, selector):
            return self.d.find_elements("css selector", selector)

        def search(self, q, m=""):
            before = self.d.execute_script("return document.getElementById('status').textContent")
            for name, value in (("q", q), ("m", m)):
                box = self.d.find_element("id", name)
                box.clear()
                box.send_keys(value)
            self.d.execute_script("document.getElementById('status').textContent = ''")
            self.d.find_element("css selector", "form button[type=submit]").click()
            self.wait(lambda d: self.css("#status")[0].text not in ("", "Searching…")
                      or self.css("#error")[0].is_displayed())
            return before

        def ids(self):
            return self.d.execute_script(  # at once: the list may be re-drawn meanwhile
                "return [...document.querySelectorAll('#results .hit')].map((e) => e.dataset.id)")

    browser.get_log("browser")
    yield Page()
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text
    errors = [e["message"] for e in browser.get_log("browser")
              if e["level"] == "SEVERE" and "the server responded with a status of 4" not in e["message"]]
    assert errors == []


def test_browser_search_with_tokens_offered(page, idx):
    page.open()
    m = page.d.find_element("id", "m")
    m.send_keys("dive")
    assert [li.text.split("\n")[0] for li in page.css("#suggestions li")] == ["diverse"]
    m.send_keys("\ue015\ue007")  # arrow down, enter: the token is taken
    assert m.get_attribute("value") == "diverse "
    m.send_keys("fr")
    page.css("#suggestions li")[0].click()
    assert m.get_attribute("value") == "diverse from:  to: "
    page.search("cats with fur", "limit:4")
    assert page.ids() == [h.id for h in idx.search("cats with fur", "limit:4")]
    first = page.css("#results .hit")[0]
    hit = idx.search("cats with fur", "limit:4")[0]
    assert first.find_element("css selector", ".title").text == hit.title
    assert first.find_element("css selector", ".score").text.startswith(f"score {hit.score:.4f} · meaning")


def test_browser_more_like_this(page, idx):
    page.open()
    page.search("young animals", "limit:5")
    before = page.ids()
    liked = before[-1]
    page.css("#results .hit .more")[-1].click()
    page.wait(lambda d: page.ids() != before)
    line = page.d.find_element("id", "m").get_attribute("value")
    assert line == f"limit:5 like:{liked}"
    assert page.ids() == [h.id for h in idx.search("young animals", line)]
    assert f"like%3A{liked.replace('/', '%2F')}" in page.d.current_url


def test_browser_communities_explanations_and_shared_url(page, idx):
    page.open()
    page.search("cats and dogs", "local_communities limit:6")
    res = idx.search("cats and dogs", "local_communities limit:6")
    groups = [(g.find_element("css selector", ".label").text,
               [h.get_attribute("data-id") for h in g.find_elements("css selector", ".hit")])
              for g in page.css("#results .community")]
    shown, rest = sections(res)  # the command's rule
    assert len(res.communities) > 1 and groups == [
        (res.communities[c].label if c is not None else "Outside the pool's communities", [h.id for h in hits])
        for c, hits in shown]
    assert [p.text for p in page.css("#results .rest")] == (
        ["Also in the pool, without a ranked hit: " + ", ".join(f"{res.communities[c].label} "
                                                               f"({res.communities[c].size})" for c in rest)]
        if rest else [])
    page.css("#results .hit .why")[0].click()
    page.wait(lambda d: page.css(".chart:not([hidden])"))
    chart = page.css(".chart:not([hidden])")[0].text
    assert "similarity" in chart and "score" in chart and "explain=1" in page.d.current_url
    ids, url = page.ids(), page.d.current_url
    page.open()
    page.open(url)
    page.wait(lambda d: page.ids())
    assert page.ids() == ids and page.d.find_element("id", "m").get_attribute("value") == "local_communities limit:6"


def test_browser_shows_errors(page):
    page.open()
    page.search("a" * 1001)
    error = page.css("#error")[0]
    assert error.is_displayed() and "at most 1000" in error.text and page.ids() == []


def test_browser_shows_hostile_documents_as_text(page):
    page.open()
    page.search("cats hide here", "limit:12")
    card = [c for c in page.css("#results .hit") if c.get_attribute("data-id") == "hostile"][0]
    assert card.find_element("css selector", ".title").text == HOSTILE_TITLE
    assert "<script>window.pwned=2" in card.find_element("css selector", ".snippet").text
    card.find_element("css selector", ".full").click()
    page.wait(lambda d: card.find_element("css selector", "pre.text").text)
    assert card.find_element("css selector", "pre.text").text == HOSTILE_TEXT
    assert page.css("#results img, #results script, #results b") == []
    assert page.d.execute_script("return [window.pwned, document.scripts.length]") == [None, 1]


def test_browser_asks_for_the_token_once_per_tab(browser, index_path, idx):
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.support.ui import WebDriverWait
    token = "a-token-for-the-page-0123"
    proc, url = start_server(index_path, "--token", token)
    try:
        browser.get(url + "/?q=cats&m=limit:3")
        WebDriverWait(browser, 20, ignored_exceptions=(NoAlertPresentException,)).until(  # the page asks once loaded
            lambda d: d.switch_to.alert.text.startswith("This server wants its token"))
        alert = browser.switch_to.alert
        alert.send_keys(token)
        alert.accept()
        shown = "return [...document.querySelectorAll('#results .hit')].map((e) => e.dataset.id)"
        want = [h.id for h in idx.search("cats", "limit:3")]
        WebDriverWait(browser, 20).until(lambda d: d.execute_script(shown) == want)
        browser.get(url + "/?q=dogs&m=limit:2")  # the tab keeps it: no question again
        WebDriverWait(browser, 20).until(lambda d: d.execute_script(shown) == [h.id for h in idx.search("dogs", "limit:2")])
        assert httpx.get(url + "/api/info").status_code == 401
    finally:
        browser.execute_script("sessionStorage.clear()")
        stop_server(proc)


@pytest.mark.parametrize("line, id_, written", [
    ("recent", "my notes.md#1", 'recent like:"my notes.md#1"'),
    ('like:"my notes.md#1" diverse', 'a, "b".md#2', 'like:"my notes.md#1","a, ""b"".md#2" diverse'),
    ('like:"my notes.md#1"', "my notes.md#1", 'like:"my notes.md#1"'), ("like:a", "b", "like:a,b")])
def test_the_page_writes_like_ids_the_reader_reads(page, line, id_, written):
    from tarnexa._native import read_modifiers
    page.open()
    assert page.d.execute_script("return withLike(arguments[0], arguments[1])", line, id_) == written
    assert id_ in read_modifiers(written)[0]["like"]


@pytest.fixture(scope="module")
def filed(tmp_path_factory):
    """A server over documents from files: 14 passages in two folders, of two types."""
    path = str(tmp_path_factory.mktemp("filed") / "index")
    with tarnexa.Index.create(path, embedder="hashed") as idx:
        names = [f"{'docs/changes' if i % 3 == 0 else 'docs'}/n{i}.{'rst' if i % 2 else 'md'}" for i in range(14)]
        idx.add([f"cats and notes number {i}" for i in range(14)], ids=[f"{n}#1" for n in names],
                titles=[f"Note {i} › Part" for i in range(14)], timestamps=[NOW - i * DAY for i in range(14)],
                metadata=[{"path": n, "ext": n.rsplit(".", 1)[1]} for n in names])
    proc, url = start_server(path)
    with tarnexa.Index.open(path) as idx:
        yield idx, url
    stop_server(proc)


def test_browser_fields_facets_sources_more_results_and_newest_first(page, filed):
    idx, url = filed
    page.open(url + "/")
    page.wait(lambda d: page.css("#fields button"))
    assert [b.text for b in page.css("#fields button")] == ["date", "ext", "path"]
    assert page.d.find_element("id", "where").get_attribute("placeholder") == "ext=md AND path!:docs/changes/* AND date>=2024-01-01"
    page.search("cats notes")
    want = [h.id for h in idx.search("cats notes", limit=14)]
    assert page.ids() == want[:10] and page.css("#more")[0].is_displayed()
    link = page.css("#results .hit .where")[0]
    assert link.text == f"{idx.document(want[0]).metadata['path']} › {idx.document(want[0]).title}"
    assert link.get_attribute("href").endswith("/api/doc/" + want[0].replace("/", "%2F").replace("#", "%23"))
    link.click()
    page.wait(lambda d: page.css("#results .hit pre.text")[0].text == idx.document(want[0]).text)
    page.css("#more")[0].click()
    page.wait(lambda d: len(page.ids()) == 14)
    assert page.ids() == want and not page.css("#more")[0].is_displayed()
    facets = {b.text: b for b in page.css("#facets button")}
    assert set(facets) == {"docs", "docs/changes", "md", "rst"}
    facets["docs/changes"].click()
    page.wait(lambda d: "path%3Adocs%2Fchanges%2F" in d.current_url and page.ids())
    assert page.d.find_element("id", "where").get_attribute("value") == "path:docs/changes/"
    assert page.ids() == [h.id for h in idx.search("cats notes", where={"path": {"$prefix": "docs/changes/"}})]
    select = page.d.find_element("id", "sort")
    select.find_element("css selector", "option[value=date]").click()
    page.wait(lambda d: "sort=date" in d.current_url)
    page.wait(lambda d: page.ids() == sorted(page.ids(), key=lambda d_: -idx.document(d_).timestamp))
