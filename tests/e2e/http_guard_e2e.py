#!/usr/bin/env python3
"""qdx-host --http against hostile or broken clients:
http_guard_e2e.py CASE BUILD_DIR. Memory and timing are checked only where
the build is not instrumented."""
import json
import multiprocessing
import os
import re
import selectors
import signal
import socket
import threading
import time

import e2e_support as e
from e2e_support import (Host, busy_port, check, device, digest, events_client, run_host,
                         sse_events, until, write_devices)


def raw(port, data, timeout=10):
    """Sends data on a fresh connection; the whole answer (until closed)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        try:
            s.sendall(data)
        except OSError:
            pass  # refused part-way: the answer is still there to read
        got = b""
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            got += chunk
        return got
    finally:
        s.close()


def status_of(answer):
    m = re.match(rb"HTTP/1\.[01] (\d{3}) ", answer)
    return int(m.group(1)) if m else 0


def body_of(answer):
    """The body, which must be valid UTF-8 (strict decoding)."""
    head, _, body = answer.partition(b"\r\n\r\n")
    if b"Transfer-Encoding: chunked" in head:
        out, rest = b"", body
        while rest:
            size, _, rest = rest.partition(b"\r\n")
            n = int(size, 16)
            if n == 0:
                break
            out, rest = out + rest[:n], rest[n + 2:]
        body = out
    return body.decode("utf-8")


def rss_kib(pid, field="VmRSS"):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(field + r":\s+(\d+) kB", f.read()).group(1))


def get(port, path, host="localhost"):
    return raw(port, ("GET %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (path, host)).encode())


def case_port(tmp):
    """A second instance on a taken port stops with "in use" before touching
    its history; the first one keeps serving alone."""
    host = Host(tmp, [device("ups", 4242)])
    other = os.path.join(tmp, "other")
    os.mkdir(other)
    site = write_devices(other, [device("ups", 4242)])
    r = run_host(site, os.path.join(other, "h.db"), "--cycles", "2", "--http",
                 "127.0.0.1:%d" % host.port, timeout=30)
    want = "cannot listen on 127.0.0.1:%d: address already in use" % host.port
    check(r.returncode == 1 and want in r.stderr, "second instance: %d" % r.returncode,
          r.stdout, r.stderr)
    check(os.listdir(other) == ["site.json"], "a history was created", os.listdir(other))
    host.stop()
    # An existing history stays as it was.
    db = os.path.join(tmp, "h.db")
    before = digest(db)
    busy = busy_port()
    r = run_host(site, db, "--cycles", "2", "--http", "127.0.0.1:%d" % busy.getsockname()[1],
                 timeout=30)
    busy.close()
    check(r.returncode == 1 and "address already in use" in r.stderr, "busy port ran", r.stderr)
    check(digest(db) == before, "history changed")
    check(not any(n.startswith("h.db-") for n in os.listdir(tmp)), "history opened",
          os.listdir(tmp))


def case_bounds(tmp):
    """Oversized heads get 414 or 431 and a closed connection, a GET with a
    body 413, a repeated parameter 400; a 16 MB header flood costs no memory."""
    host = Host(tmp, [device("ups", 4242)])
    host.wait_records(1)
    ok = b"GET /api/devices HTTP/1.1\r\nHost: localhost\r\n"
    for request, code in (
            (b"GET /?" + b"a" * 9000 + b" HTTP/1.1\r\nHost: localhost\r\n\r\n", 414),
            (ok + b"X-Big: " + b"b" * 9000 + b"\r\n\r\n", 431),
            (ok + b"".join(b"X-%d: 1\r\n" % i for i in range(101)) + b"\r\n", 431),
            (ok + b"".join(b"X-%d: %s\r\n" % (i, b"c" * 4000) for i in range(9)) + b"\r\n", 431),
            (ok + b"Content-Length: 2048\r\n\r\n" + b"d" * 2048, 413),
            (b"GET /api/history?device=ups&device=ups HTTP/1.1\r\nHost: localhost\r\n\r\n", 400),
            (ok + b"\r\n", 200)):
        answer = raw(host.port, request)
        check(status_of(answer) == code, "%r...: %r" % (request[:40], answer[:200]))
        json.loads(body_of(answer))
    flood = ok + b"X-Flood: " + b"f" * (16 << 20) + b"\r\n\r\n"
    before = rss_kib(host.proc.pid)
    answer = raw(host.port, flood)
    grew = rss_kib(host.proc.pid) - before
    check(status_of(answer) == 431, "flood answered %r" % answer[:200])
    if not e.instrumented():
        check(grew < 8 * 1024, "a 16 MB flood grew the memory by %d KiB" % grew)
    check(status_of(get(host.port, "/metrics")) == 200, "no answer after the flood")
    host.stop()


def case_slow(tmp):
    """40 connections sending a byte a second leave /metrics answering; past
    64 each new one ends the oldest with 408 at once; a head not sent within
    5 s ends the connection; SIGTERM ends the process at once."""
    host = Host(tmp, [device("ups", 4242)])
    host.wait_records(1)
    slow = []
    for _ in range(70):
        s = socket.create_connection(("127.0.0.1", host.port), timeout=5)
        s.sendall(b"GET /metrics HTTP/1.1\r\n")
        slow.append(s)
    ended = 0
    for s in slow[:6]:
        s.settimeout(2)  # at once, not at the end of their 5 s
        try:
            ended += b" 408 " in s.recv(4096)
        except socket.timeout:
            pass
    check(ended == 6, "%d of the 6 oldest connections ended past 64" % ended)
    alive = slow[6:46]
    for s in slow[46:]:
        s.close()
    time.sleep(0.2)
    for s in alive:
        s.sendall(b"H")
    begin = time.time()
    answer = get(host.port, "/metrics")
    took = time.time() - begin
    check(status_of(answer) == 200, "metrics with slow senders: %r" % answer[:200])
    if not e.instrumented():
        check(took < 1, "metrics took %.1f s with 40 slow senders" % took)
    alive[0].settimeout(10)
    check(b" 408 " in alive[0].recv(4096), "a slow sender outlived its 5 s")
    begin = time.time()
    host.stop(timeout=10)
    if not e.instrumented():
        check(time.time() - begin < 3, "stopping took %.1f s" % (time.time() - begin))
    for s in slow:
        s.close()


def case_readers(tmp):
    """Event clients that never read are dropped and counted within 10 s, and
    their slots serve new clients."""
    host = Host(tmp, [device("ups%d" % i, 4242 + i, poll_ms=50) for i in range(3)])
    host.wait_records(3)
    # Its lines are many at this pace: read them all, or a full pipe stops the polls.
    lines = []
    threading.Thread(target=lambda: lines.extend(host.proc.stdout), daemon=True).start()
    stalled = []
    for _ in range(3):
        stalled.append(events_client(host.port, rcvbuf=1024))
    metrics = until("three dropped event clients", lambda: (
        lambda m: m if "qdx_http_event_clients_dropped_total 3" in m
        and "qdx_http_event_clients 0" in m else None)(body_of(get(host.port, "/metrics"))),
        timeout=10)
    check("qdx_http_event_clients_dropped_total 3" in metrics, "not counted", metrics)
    check(sse_events(host.port, 1), "no events after the drops")
    host.proc.send_signal(signal.SIGTERM)
    check(host.proc.wait(timeout=15) == 0, "qdx-host did not stop cleanly", "".join(lines))
    for s in stalled:
        s.close()


def case_host(tmp):
    """On loopback only local names pass, also with --http-allow-remote; one
    Host header only."""
    host = Host(tmp, [device("ups", 4242)], "--http-allow-remote")
    for name, code in (("127.0.0.1:evil.example", 403), ("[::1]evil.example", 403),
                       ("evil.example", 403), ("LOCALHOST:%d" % host.port, 200),
                       ("[::1]", 200), ("localhost\r\nHost: evil.example", 400),
                       ("localhost\r\nHost : evil.example", 400),
                       ("localhost\r\n Host: evil.example", 400)):
        answer = get(host.port, "/api/devices", host=name)
        check(status_of(answer) == code, "Host %r: %r" % (name, answer[:200]))
    answer = raw(host.port, b"GET /api/devices HTTP/1.0\r\n\r\n")
    check(status_of(answer) == 200, "no Host header: %r" % answer[:200])
    host.stop()


def case_utf8(tmp):
    """Invalid bytes in a request come back as U+FFFD in valid UTF-8; a device
    name that is not UTF-8 is refused at start."""
    host = Host(tmp, [device("ups ü", 4242)])
    host.wait_records(1)
    for path, code in (("/api/devices?%ff%fe=1", 400), ("/api/history?device=%ff", 400),
                       ("/%c0%ae", 404), ("/api/devices", 200), ("/metrics", 200)):
        answer = get(host.port, path)
        body = body_of(answer)
        check(status_of(answer) == code, "%s: %r" % (path, answer[:200]))
        if code != 200:
            check("\ufffd" in json.loads(body)["error"], path + ": no U+FFFD", body)
    check('device="ups ü"' in body, "metrics name", body)
    host.stop()
    site = write_devices(tmp, [device("ups NAME", 4242)], name="bad.json")
    with open(site, "rb") as f:
        text = f.read()
    with open(site, "wb") as f:
        f.write(text.replace(b"NAME", b"\xff"))
    r = run_host(site, os.path.join(tmp, "b.db"), "--cycles", "1", timeout=30, text=False)
    check(r.returncode != 0 and b"is not valid UTF-8" in r.stderr, "bad name accepted",
          r.stdout, r.stderr)


def case_ranges(tmp):
    """Range is ignored on generated answers and served as one range at most
    for the page's files: 8 requests with 500 ranges each cost no memory."""
    host = Host(tmp, [device("ups", 4242)])
    until("50 stored records", lambda: host.json("/api/history?device=ups&limit=50")["count"]
          >= 50)
    part = raw(host.port, b"GET /app.js HTTP/1.1\r\nHost: localhost\r\nRange: bytes=0-9\r\n\r\n")
    head, _, body = part.partition(b"\r\n\r\n")
    size = re.search(rb"Content-Range: bytes 0-9/(\d+)", head)
    check(status_of(part) == 206 and size and len(body) == 10, "one range: %r" % part[:300])
    ranges = b"Range: bytes=" + b",".join([b"0-"] * 500) + b"\r\n"
    paths = ["/app.js"] * 4 + ["/api/history?device=ups&limit=10000", "/metrics",
                                "/api/devices", "/"]
    # The peak from here on (writing 5 to clear_refs resets it).
    with open("/proc/%d/clear_refs" % host.proc.pid, "w") as f:
        f.write("5")
    before = rss_kib(host.proc.pid)
    answers = [None] * len(paths)

    def ask(i):
        answers[i] = raw(host.port, ("GET %s HTTP/1.1\r\nHost: localhost\r\n" % paths[i]).encode()
                         + ranges + b"\r\n")
    threads = [threading.Thread(target=ask, args=(i,)) for i in range(len(paths))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    grew = rss_kib(host.proc.pid, "VmHWM") - before
    for path, answer in zip(paths, answers):
        check(status_of(answer) == 200 and b"multipart" not in answer[:1000],
              "%s with 500 ranges: %r" % (path, (answer or b"")[:300]))
    check(len(answers[0].partition(b"\r\n\r\n")[2]) == int(size.group(1)), "/app.js not whole")
    if not e.instrumented():
        check(grew < 8 * 1024, "500 ranges grew the memory by %d KiB" % grew)
    host.stop()


def crowd(port, stop, churn):
    """200 slow senders, each reconnecting as soon as it is ended."""
    sel = selectors.DefaultSelector()

    def join():
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        sel.register(s, selectors.EVENT_WRITE, "connecting")
    for _ in range(200):
        join()
    while not stop.is_set():
        for key, _ in sel.select(0.1):
            s = key.fileobj
            if key.data == "connecting":
                try:
                    s.send(b"GET /metrics HTTP/1.1\r\n")
                    sel.modify(s, selectors.EVENT_READ, "waiting")
                    continue
                except OSError:
                    pass
            sel.unregister(s)
            s.close()
            with churn.get_lock():
                churn.value += 1
            join()
    for key in list(sel.get_map().values()):
        key.fileobj.close()


def case_crowd(tmp):
    """200 slow senders that reconnect whenever they are ended leave /metrics
    answering at once."""
    host = Host(tmp, [device("ups", 4242)])
    host.wait_records(1)
    # A process of its own: in a thread it would hold up this one's requests.
    stop = multiprocessing.Event()
    churn = multiprocessing.Value("l", 0)
    proc = multiprocessing.Process(target=crowd, args=(host.port, stop, churn), daemon=True)
    proc.start()
    time.sleep(1)
    slow = []
    for _ in range(20):
        begin = time.time()
        answer = get(host.port, "/metrics")
        slow.append(time.time() - begin)
        check(status_of(answer) == 200, "metrics in the crowd: %r" % answer[:200])
        time.sleep(0.1)
    stop.set()
    proc.join(10)
    check(churn.value >= 200, "the crowd was not ended and let in again: %d" % churn.value)
    if not e.instrumented():
        check(max(slow) < 1, "metrics took up to %.1f s in the crowd" % max(slow))
    host.stop()


def case_streams(tmp):
    """Event clients that never read, with default buffers, are dropped or
    have their stream ended after 1 MiB within 2 minutes, and counted. About
    a minute of events: skipped where the build is instrumented."""
    if e.instrumented():
        return e.SKIP
    host = Host(tmp, [device("ups%d" % i, 4242 + i, poll_ms=50) for i in range(2)])
    host.wait_records(2)
    lines = []
    threading.Thread(target=lambda: lines.extend(host.proc.stdout), daemon=True).start()
    stalled = [events_client(host.port) for _ in range(3)]

    def gone():
        m = body_of(get(host.port, "/metrics"))
        counts = [int(found.group(1)) if found else 0 for found in (
            re.search(r"^%s (\d+)$" % name, m, re.M) for name in (
                "qdx_http_event_clients_dropped_total", "qdx_http_event_streams_ended_total",
                "qdx_http_event_clients"))]
        return counts if counts[0] + counts[1] == 3 and counts[2] == 0 else None
    until("three event clients ended", gone, timeout=120)
    check(sse_events(host.port, 1), "no events after the ends")
    host.proc.send_signal(signal.SIGTERM)
    check(host.proc.wait(timeout=15) == 0, "qdx-host did not stop cleanly", "".join(lines))
    for s in stalled:
        s.close()


def case_query(tmp):
    """A query's bad bytes and a time before 1970 are named in the 400."""
    host = Host(tmp, [device("u", 4242)])
    for path, want in (("/api/history?device=u%00", "device: contains a NUL byte"),
                       ("/api/history?device=u&from=%zz", 'from: invalid percent-escape "%zz"'),
                       ("/api/history?device=u&from=1970-01-01T00:00:00%2B23:59",
                        '"from" is before 1970')):
        answer = get(host.port, path)
        check(status_of(answer) == 400 and want in json.loads(body_of(answer))["error"],
              "%s: %r" % (path, answer[:300]))
    host.stop()


if __name__ == "__main__":
    e.main({"port": case_port, "bounds": case_bounds, "slow": case_slow, "readers": case_readers,
            "host": case_host, "utf8": case_utf8, "ranges": case_ranges, "crowd": case_crowd,
            "streams": case_streams, "query": case_query})
