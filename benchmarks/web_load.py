"""Load on the search server (tarnexa.web), bounded: a fixed count of requests, a deadline.

    python benchmarks/web_load.py                 # the full run; writes docs/benchmarks/web.md
    python benchmarks/web_load.py --rows 20000 --requests 200 --out -    # a quick look
    python benchmarks/web_load.py --starve --rows 200000 --source /work/main --source .
                                                  # hostile clients, against each checkout's server

Builds (once, kept in build-bench/) an index of --rows documents with the hashed embedder,
then serves it with ``python -m tarnexa serve`` on 127.0.0.1 three times: in-process with the
searches in flight answered in batches (the default), in-process one at a time (``--batch 1``)
and with ``--workers 2`` batched. Against each server, in order:

1. one client sends 50 searches in turn, then 16 concurrent clients send --requests between them: requests per second, p50 and
   p99 latency, errors (anything but a 200), resident memory of the server before and after
   (with workers, of the server and its Dask worker processes together);
2. 64 concurrent clients, three rounds of --requests each: the same figures per round, so
   that memory can be seen to stay flat;
3. 64 concurrent clients again while one more client trickles its request byte by byte
   through the whole round: the others' latency beside round 2's, and the trickled request's
   answer at the end.

With --starve, only hostile clients, against the server of each --source checkout in turn:

1. 16 clients asking for the largest answers allowed (limit:1000 with explain=1), one at a
   time each, while one more client sends light searches (10 hits) in turn: the light ones'
   p50 and p95, the heavy ones answered, the server's peak resident memory;
2. 12 clients sending heavy requests without ever reading the answers: peak memory;
3. under ``ulimit -n 1024``, 1,100 connections held open without a request while one client
   sends 20 searches in turn (5 s timeout each): how many were answered, and how many lines
   the server wrote to stderr meanwhile.

Each client is one asyncio task with its own keep-alive connection, in this process; the client
side shares the machine's cores with the server, as a local client would. Every request has a
60 s timeout and a run stops at --deadline seconds whatever remains; the network traffic goes
to 127.0.0.1 only.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import os
import platform
import random
import resource
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any
from urllib.parse import urlencode

import httpx
import numpy as np

ROOT = Path(__file__).resolve().parent.parent
WORDS = ("cat dog bird fish tree river mountain city train music paint garden bread soup coffee tea "
         "book letter clock window door stone glass metal paper cloud rain snow storm wind light "
         "shadow night morning summer winter harvest market bridge tower island ocean desert forest "
         "engine wheel rocket planet star moon comet signal radio camera screen code python data").split()
REQUEST_TIMEOUT = 60.0


def cpu_model() -> str:
    """The first "model name" of /proc/cpuinfo, and whether the CPU has AVX-512."""
    with open("/proc/cpuinfo") as f:
        info = f.read()
    names = [line.split(":", 1)[1].strip() for line in info.splitlines() if line.startswith("model name")]
    return (names[0] if names else platform.processor() or "unknown") + (" (AVX-512)" if " avx512f" in info else "")


def corpus(rows: int, seed: int = 7) -> tuple[list[str], list[str], list[str], list[float]]:
    rng = random.Random(seed)
    texts = [" ".join(rng.choices(WORDS, k=12)) for _ in range(rows)]
    ids = [f"d{i}" for i in range(rows)]
    titles = [" ".join(t.split()[:3]).title() for t in texts]
    now = 1_760_000_000.0
    stamps = [now - rng.uniform(0, 3 * 365) * 86400 for _ in range(rows)]
    return texts, ids, titles, stamps


def build_index(path: Path, rows: int) -> None:
    import tarnexa

    if (path / ".complete").exists():
        return
    print(f"building an index of {rows:,} documents in {path} (kept for later runs)", file=sys.stderr)
    texts, ids, titles, stamps = corpus(rows)
    started = time.perf_counter()
    idx = tarnexa.Index.create(str(path), embedder="hashed:384")
    step = 50_000
    for i in range(0, rows, step):
        idx.add(texts[i:i + step], ids=ids[i:i + step], titles=titles[i:i + step], timestamps=stamps[i:i + step])
        print(f"  {min(i + step, rows):,} rows, {time.perf_counter() - started:.0f} s", file=sys.stderr)
    idx.close()
    (path / ".complete").write_text("")


def family_rss_kb(pid: int) -> int:
    """Resident memory of a process and all its descendants, kB (from /proc)."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            with contextlib.suppress(OSError), open(f"/proc/{entry}/stat") as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(ppid, []).append(int(entry))
    total, todo = 0, [pid]
    while todo:
        p = todo.pop()
        todo += children.get(p, [])
        with contextlib.suppress(OSError), open(f"/proc/{p}/status") as f:
            total += next((int(line.split()[1]) for line in f if line.startswith("VmRSS:")), 0)
    return total


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@contextlib.contextmanager
def server(path: Path, workers: int | None, batch: int | None, deadline: float, source: Path = ROOT,
           files: int | None = None, stderr: Any = subprocess.PIPE):
    """``tarnexa serve`` of the checkout at source (with at most `files` descriptors)."""
    port = free_port()
    cmd = [sys.executable, "-m", "tarnexa", "serve", str(path.resolve()), "--port", str(port)]
    if workers:
        cmd += ["--workers", str(workers)]
    if batch:
        cmd += ["--batch", str(batch)]
    limit = None if files is None else lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=stderr, text=True, cwd=source, preexec_fn=limit)
    url = f"http://127.0.0.1:{port}"
    try:
        while True:
            if proc.poll() is not None:
                raise RuntimeError(f"the server stopped: {proc.stderr.read() if proc.stderr else ''}")
            if time.monotonic() > deadline:
                raise RuntimeError("the server did not come up before the deadline")
            with contextlib.suppress(httpx.TransportError):
                if httpx.get(url + "/api/info", timeout=5).status_code == 200:
                    break
            time.sleep(0.2)
        yield url, proc.pid
    finally:
        proc.terminate()
        try:
            proc.wait(60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Connection:
    """One keep-alive HTTP/1.1 connection to the server, written and read by hand: a client
    light enough that the server, not the client, is what a run measures."""

    def __init__(self, url: str) -> None:
        self.host, port = url.removeprefix("http://").split(":")
        self.port = int(port)
        self.streams: tuple[asyncio.StreamReader, asyncio.StreamWriter] | None = None

    async def get(self, target: str) -> tuple[int, bytes]:
        if self.streams is None:
            self.streams = await asyncio.open_connection(self.host, self.port)
        reader, writer = self.streams
        try:
            writer.write(f"GET {target} HTTP/1.1\r\nHost: {self.host}\r\n\r\n".encode())
            head = await reader.readuntil(b"\r\n\r\n")
            status = int(head.split(b" ", 2)[1])
            length = next(int(line.split(b":", 1)[1]) for line in head.split(b"\r\n")
                          if line.lower().startswith(b"content-length:"))
            body = await reader.readexactly(length)
            if b"connection: close" in head.lower():
                self.close()
            return status, body
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        if self.streams is not None:
            self.streams[1].close()
            self.streams = None


async def load(url: str, clients: int, requests: int, deadline: float, seed: int) -> dict[str, float]:
    """`requests` searches from `clients` concurrent clients, each on its own connection."""
    rng = random.Random(seed)
    targets = ["/api/search?" + urlencode({"q": " ".join(rng.choices(WORDS, k=rng.randint(1, 4)))})
               for _ in range(requests)]
    latencies: list[float] = []
    errors = 0
    next_one = 0

    async def client() -> None:
        nonlocal errors, next_one
        conn = Connection(url)
        try:
            while next_one < requests and time.monotonic() < deadline:
                target = targets[next_one]
                next_one += 1
                t0 = time.perf_counter()
                try:
                    status, body = await asyncio.wait_for(conn.get(target), REQUEST_TIMEOUT)
                    ok = status == 200 and body.startswith(b'{"hits"')
                except (OSError, ValueError, asyncio.IncompleteReadError, StopIteration, TimeoutError):
                    ok = False
                latencies.append(time.perf_counter() - t0)
                errors += not ok
        finally:
            conn.close()

    started = time.perf_counter()
    await asyncio.gather(*(client() for _ in range(clients)))
    wall = time.perf_counter() - started
    lat = np.array(latencies) * 1000
    return {"requests": len(latencies), "rps": len(latencies) / wall, "p50": float(np.percentile(lat, 50)),
            "p99": float(np.percentile(lat, 99)), "errors": errors + requests - len(latencies)}


async def trickled(url: str, until: asyncio.Event, deadline: float) -> str:
    """One request sent a byte at a time, spread over the time until `until` is set; the
    status line of its answer."""
    host, port = url.removeprefix("http://").split(":")
    reader, writer = await asyncio.open_connection(host, int(port))
    request = f"GET /api/search?q=slow+client HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode()
    try:
        for i in range(len(request)):
            if writer.is_closing() or reader.at_eof():
                break
            writer.write(request[i:i + 1])
            with contextlib.suppress(ConnectionError):
                await writer.drain()
            if i < len(request) - 1 and not until.is_set() and time.monotonic() < deadline:
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(until.wait(), 1.0)
        try:
            line = await asyncio.wait_for(reader.readline(), REQUEST_TIMEOUT)
        except ConnectionError:
            line = b""
        # A server with a client deadline (--client-timeout) closes a head that takes longer.
        return line.decode(errors="replace").strip() or "none: the server closed the connection"
    finally:
        writer.close()


async def with_trickler(url: str, clients: int, requests: int, deadline: float) -> tuple[dict[str, float], str]:
    done = asyncio.Event()
    slow = asyncio.create_task(trickled(url, done, deadline))
    await asyncio.sleep(0.5)  # the trickle has begun
    figures = await load(url, clients, requests, deadline, seed=99)
    mid = slow.done()
    done.set()
    answer = await slow
    return figures, answer + ("" if not mid else " (finished before the others: the trickle was too short)")


HEAVY = "/api/search?" + urlencode({"q": "cat dog river music", "m": "limit:1000", "explain": "1"})


async def sample_rss(pid: int, until: asyncio.Event) -> int:
    """The peak resident memory (kB) of the process and its children until `until` is set."""
    peak = 0
    while not until.is_set():
        peak = max(peak, family_rss_kb(pid))
        with contextlib.suppress(TimeoutError):
            await asyncio.wait_for(until.wait(), 0.2)
    return peak


async def heavy_and_light(url: str, pid: int, light: int, deadline: float) -> dict[str, float]:
    """16 clients asking HEAVY in turn while one client sends `light` light searches."""
    stop = asyncio.Event()
    heavy_done = heavy_failed = 0

    async def heavy() -> None:
        nonlocal heavy_done, heavy_failed
        conn = Connection(url)
        try:
            while not stop.is_set():
                try:
                    status, _ = await asyncio.wait_for(conn.get(HEAVY), REQUEST_TIMEOUT)
                    heavy_done += status == 200
                    heavy_failed += status != 200
                except (OSError, ValueError, asyncio.IncompleteReadError, StopIteration, TimeoutError):
                    heavy_failed += 1
        finally:
            conn.close()

    memory = asyncio.create_task(sample_rss(pid, stop))
    clients = [asyncio.create_task(heavy()) for _ in range(16)]
    started = time.perf_counter()
    await asyncio.sleep(2)  # the heavy ones under way
    rng, conn, latencies, errors = random.Random(5), Connection(url), [], 0
    for _ in range(light):
        if time.monotonic() > deadline:
            break
        target = "/api/search?" + urlencode({"q": " ".join(rng.choices(WORDS, k=2))})
        t0 = time.perf_counter()
        try:
            status, _ = await asyncio.wait_for(conn.get(target), REQUEST_TIMEOUT)
            errors += status != 200
        except (OSError, ValueError, asyncio.IncompleteReadError, StopIteration, TimeoutError):
            errors += 1
        latencies.append(time.perf_counter() - t0)
    conn.close()
    stop.set()
    wall = time.perf_counter() - started
    for c in clients:
        c.cancel()
    await asyncio.gather(*clients, return_exceptions=True)
    lat = np.array(latencies) * 1000
    return {"p50": float(np.percentile(lat, 50)), "p95": float(np.percentile(lat, 95)), "errors": errors,
            "heavy": heavy_done / wall, "heavy_failed": heavy_failed, "peak": await memory}


async def unread(url: str, pid: int, seconds: float) -> int:
    """12 clients that send 20 HEAVY requests each and never read an answer (connecting again
    when the server drops them): the server's peak memory (kB)."""
    host, port = url.removeprefix("http://").split(":")
    stop = threading.Event()
    request = f"GET {HEAVY} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode()

    def client() -> None:
        while not stop.is_set():
            with contextlib.suppress(OSError), socket.create_connection((host, int(port)), timeout=5) as s:
                s.sendall(request * 20)
                while not stop.wait(0.5):
                    try:  # looks without taking: raises once the server has reset the connection
                        if not s.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT):
                            break  # closed, every byte taken
                    except BlockingIOError:
                        pass
            stop.wait(0.1)

    done = asyncio.Event()
    memory = asyncio.create_task(sample_rss(pid, done))
    clients = [asyncio.create_task(asyncio.to_thread(client)) for _ in range(12)]
    await asyncio.sleep(seconds)
    stop.set()
    await asyncio.gather(*clients, return_exceptions=True)
    done.set()
    return await memory


async def idle_crowd(url: str, count: int) -> tuple[int, list[float]]:
    """`count` connections held open without a request while one client sends 20 searches in
    turn: how many were answered, and their latencies (s)."""
    host, port = url.removeprefix("http://").split(":")
    held = []
    for _ in range(count):
        with contextlib.suppress(OSError):
            held.append(await asyncio.wait_for(asyncio.open_connection(host, int(port)), 5))
    await asyncio.sleep(1)
    answered, latencies = 0, []
    for i in range(20):
        conn = Connection(url)
        t0 = time.perf_counter()
        try:
            status, _ = await asyncio.wait_for(conn.get(f"/api/search?q=cat+{i}"), 5)
            answered += status == 200
            latencies.append(time.perf_counter() - t0)
        except (OSError, ValueError, asyncio.IncompleteReadError, StopIteration, TimeoutError):
            pass
        finally:
            conn.close()
    for _, writer in held:
        writer.transport.abort()
    return answered, latencies


def starve_run(path: Path, sources: list[Path], deadline: float) -> list[str]:
    lines = ["| server | light p50 ms | light p95 ms | light errors | heavy answered per s (failed) | peak RSS, MB "
             "| peak RSS, 12 unread clients, MB | answered with 1,100 idle (ulimit -n 1024) | p50 s | stderr lines |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for source in sources:
        name = f"{source.resolve()} ({subprocess.run(['git', '-C', str(source), 'log', '-1', '--format=%h'], capture_output=True, text=True).stdout.strip()})"
        print(f"== {name} ==", file=sys.stderr)
        with server(path, None, None, deadline, source) as (url, pid):
            asyncio.run(load(url, 2, 4, deadline, seed=1))  # warm-up
            f = asyncio.run(heavy_and_light(url, pid, 40, deadline))
            print(f, file=sys.stderr)
        with server(path, None, None, deadline, source) as (url, pid):
            peak_unread = asyncio.run(unread(url, pid, 20))
            print("unread", peak_unread, file=sys.stderr)
        import tempfile

        with tempfile.TemporaryFile("w+") as log:
            with server(path, None, None, deadline, source, files=1024, stderr=log) as (url, pid):
                log.seek(0, os.SEEK_END)
                before = log.tell()
                answered, lat = asyncio.run(idle_crowd(url, 1100))
                log.flush()
                log.seek(before)
                logged = len(log.read().splitlines())
        print("idle", answered, lat, logged, file=sys.stderr)
        lines.append(f"| {name} | {f['p50']:.0f} | {f['p95']:.0f} | {f['errors']} | {f['heavy']:.1f} ({f['heavy_failed']}) "
                     f"| {f['peak'] / 1024:.0f} | {peak_unread / 1024:.0f} | {answered} of 20 "
                     f"| {np.median(lat) if lat else float('nan'):.2f} | {logged:,} |")
        print(lines[-1], file=sys.stderr)
    return lines


def row(label: str, f: dict[str, float], before: int, after: int) -> str:
    return (f"| {label} | {f['requests']:.0f} | {f['rps']:.1f} | {f['p50']:.0f} | {f['p99']:.0f} | "
            f"{f['errors']:.0f} | {before / 1024:.0f} | {after / 1024:.0f} |")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--requests", type=int, default=400, help="requests per round (default 400)")
    ap.add_argument("--deadline", type=float, default=3600, help="seconds for the whole run (default 3600)")
    ap.add_argument("--out", default=str(ROOT / "docs" / "benchmarks" / "web.md"), help="'-' for stdout")
    ap.add_argument("--starve", action="store_true", help="only the hostile clients (see above); prints a table")
    ap.add_argument("--source", action="append", type=Path, help="with --starve: a checkout whose server is "
                    "measured (repeatable; default this one)")
    args = ap.parse_args()
    deadline = time.monotonic() + args.deadline
    path = ROOT / "build-bench" / f"web-index-{args.rows}"
    path.parent.mkdir(exist_ok=True)
    build_index(path, args.rows)
    if args.starve:
        print(f"CPU: {cpu_model()}, {os.cpu_count()} logical CPUs; load average before: "
              f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}; index of {args.rows:,} documents\n")
        print("\n".join(starve_run(path, args.source or [ROOT], deadline)))
        print(f"\nload average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
        return

    cpu = cpu_model()
    head = "| | requests | req/s | p50 ms | p99 ms | errors | RSS before, MB | RSS after, MB |\n|---|---|---|---|---|---|---|---|"
    lines = [
        "# The search server under load",
        "",
        f"`python benchmarks/web_load.py{'' if args.rows == 1_000_000 else f' --rows {args.rows}'}"
        f"{'' if args.requests == 400 else f' --requests {args.requests}'}` wrote this file "
        f"({time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}).",
        "",
        f"CPU: {cpu}, {os.cpu_count()} logical CPUs; load average before: "
        f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}; Python {platform.python_version()}; "
        f"index of {args.rows:,} documents (hashed embedder); client and server on this machine, 127.0.0.1.",
        "",
    ]
    for workers, batch in ((None, None), (None, 1), (2, None)):
        name = ("in-process" if workers is None else f"--workers {workers}") + (
            ", one search at a time (--batch 1)" if batch == 1 else ", batched")
        print(f"== {name} ==", file=sys.stderr)
        with server(path, workers, batch, deadline) as (url, pid):
            dims = httpx.get(url + "/api/info").json()["dims"]
            asyncio.run(load(url, 4, 8, deadline, seed=1))  # warm-up
            lines += [f"### Served {name} ({args.rows:,} x {dims})", "", f"CPU: {cpu}.", "", head]
            rss = family_rss_kb(pid)
            f = asyncio.run(load(url, 1, min(50, args.requests), deadline, seed=3))
            lines.append(row("1 client", f, rss, rss := family_rss_kb(pid)))
            print(lines[-1], file=sys.stderr)
            f = asyncio.run(load(url, 16, args.requests, deadline, seed=2))
            lines.append(row("16 clients", f, rss, rss := family_rss_kb(pid)))
            print(lines[-1], file=sys.stderr)
            for r in range(3):
                f = asyncio.run(load(url, 64, args.requests, deadline, seed=10 + r))
                lines.append(row(f"64 clients, round {r + 1}", f, rss, rss := family_rss_kb(pid)))
                print(lines[-1], file=sys.stderr)
            f, answer = asyncio.run(with_trickler(url, 64, args.requests, deadline))
            lines.append(row("64 clients + 1 trickling", f, rss, rss := family_rss_kb(pid)))
            print(lines[-1], file=sys.stderr)
            lines += ["", f"The trickled request (a byte a second while the others ran) was answered `{answer}`.", ""]
    lines += [
        "Batched, the searches that arrive while a pass runs wait for it and are answered together by",
        "the next pass (at most 64 a pass; a lone request starts a pass at once), so under load a",
        "request waits about two passes. One at a time, they take turns: the p50 under load is about",
        "N / (requests per second). The one-client row gives the time of one search through the server.",
        "RSS is the server's resident memory (with workers, its Dask worker processes' too), the",
        "memory-mapped vectors included.",
        ""]
    text = "\n".join(lines) + "\n"
    if args.out == "-":
        print(text)
    else:
        Path(args.out).write_text(text)
        print(text)


if __name__ == "__main__":
    main()
