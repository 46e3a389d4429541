#!/usr/bin/env python3
"""Events reach a command and a webhook target loaded from examples/notify.json;
a webhook that hangs holds up no poll and loses no record; a failing command
is counted. Hostile receivers and commands under a flood of flapping events;
a stop within its limit whatever the targets do; the event log across a
restart, in /api/log and /api/events."""
import datetime
import http.server
import json
import os
import re
import signal
import socket
import ssl
import subprocess
import sqlite3
import sys
import threading
import time

from e2e_support import (DATA_ID, SETTINGS, Host, check, device, finish, http_get, instrumented,
                         main, program, published, read_until, rows, run_host, spawn_host,
                         sse_events, until, write_devices)

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                       "notify.json")
POLL_S = 0.5
HANG_S = 3.0  # below the example webhook's timeout_s: answered late, not retried

# The command target: the event's environment and standard input, one JSON line each.
RECEIVER = r"""
import json, os, sys
env = {k: v for k, v in os.environ.items() if k.startswith("QDX_")}
with open(sys.argv[1], "a") as f:
    f.write(json.dumps({"env": env, "body": json.loads(sys.stdin.read())}) + "\n")
"""


class Hook(http.server.BaseHTTPRequestHandler):
    got = []  # (arrival time, event JSON)
    hang = threading.Event()
    release = threading.Event()

    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        if Hook.hang.is_set():
            Hook.release.wait(10)
        Hook.got.append((time.time(), body, self.headers.get("Authorization")))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


def wait_for(what, probe, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        got = probe()
        if got:
            return got
        time.sleep(0.02)
    check(False, "timed out waiting for " + what)


def commands(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def deliver(tmp):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hook)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    script = os.path.join(tmp, "receiver.py")
    with open(script, "w") as f:
        f.write(RECEIVER)
    got_path = os.path.join(tmp, "commands.jsonl")
    with open(EXAMPLE) as f:
        example = f.read()
    with open(os.path.join(os.path.dirname(EXAMPLE), "..", "docs", "operating.md")) as f:
        check(example.rstrip() in f.read(), "the operating docs' notify block differs from " + EXAMPLE)
    targets = json.loads(example)
    # The docs' block, pointed at this test's receivers.
    targets[0]["command"] = [sys.executable, script, got_path]
    targets[1]["webhook"] = "http://127.0.0.1:%d/ups" % server.server_address[1]
    targets.append({"name": "broken", "command": ["false"], "events": ["utility_failure"]})
    # Outages last three polls (1.5 s): sent again after 1 s, never held for 2 s.
    outage = ["utility_failure", "utility_restored"]
    repeat_path, held_path = os.path.join(tmp, "repeat.jsonl"), os.path.join(tmp, "held.jsonl")
    targets.append({"name": "repeat", "command": [sys.executable, script, repeat_path],
                    "events": outage, "repeat_s": 1, "min_interval_s": 0})
    targets.append({"name": "held", "command": [sys.executable, script, held_path],
                    "events": outage, "after_s": 2, "min_interval_s": 0})
    site = write_devices(tmp, [device("ups1", DATA_ID, "sim:power-cycle", int(POLL_S * 1000),
                                      400, settings=SETTINGS)], notify=targets)
    db = os.path.join(tmp, "h.db")
    # A zone off the hour: the event lines must show local times, as record lines do.
    host = spawn_host(site, db, env=dict(os.environ, TZ="<+0530>-5:30"))
    # The first record with the flag, then both targets within two poll intervals.
    out = read_until(host, "", lambda s: "flags: utility failure" in s)
    flagged = time.time()
    hooked = wait_for("the webhook's utility_failure",
                      lambda: [g for g in Hook.got if g[1]["event"] == "utility_failure"])
    ran = wait_for("the command's utility_failure",
                   lambda: [c for c in commands(got_path)
                            if c["env"].get("QDX_EVENT") == "utility_failure"])
    if not instrumented():
        check(hooked[0][0] - flagged <= 2 * POLL_S, "webhook late: %.2f s" %
              (hooked[0][0] - flagged))
        check(os.path.getmtime(got_path) - flagged <= 2 * POLL_S, "command late")
    body = hooked[0][1]
    check(body["device"] == "ups1" and body["data_id"] == DATA_ID and body["time"].endswith("Z")
          and "utility failure" in body["text"] and "utility failure" in body["details"]["flags"],
          "webhook event incomplete", body)
    check(hooked[0][2] == "Bearer REPLACE-WITH-TOKEN", "the header was not sent")
    env = ran[0]["env"]
    check(env["QDX_DEVICE"] == "ups1" and env["QDX_DATA_ID"] == str(DATA_ID) and
          env["QDX_TIME"] == ran[0]["body"]["time"] and env["QDX_TEXT"] == ran[0]["body"]["text"],
          "command environment wrong", env)
    for what in ("webhook", "command"):
        wait_for(what + "'s utility_restored", lambda: any(
            e == "utility_restored" for e in
            ([g[1]["event"] for g in Hook.got] if what == "webhook"
             else [c["env"]["QDX_EVENT"] for c in commands(got_path)])))

    # A receiver that hangs: polls go on, and its events come once it answers.
    Hook.hang.set()
    before = len(Hook.got)
    time.sleep(HANG_S)
    Hook.hang.clear()
    Hook.release.set()
    wait_for("events held by the hanging receiver",
             lambda: len([g for g in Hook.got[before:] if g[1]["event"].startswith("utility")])
             >= 2)
    check(any(t - b["time_ms"] / 1000 > 1 for t, b, _ in Hook.got[before:]),
          "no event was held by the hanging receiver")
    host.send_signal(signal.SIGTERM)
    rest, err = finish(host, 20)
    out += rest
    check(host.returncode == 0, "qdx-host failed", out, err)
    zone = datetime.timezone(datetime.timedelta(hours=5, minutes=30))
    stamps = [datetime.datetime.fromtimestamp(b["time_ms"] // 1000, zone).strftime(
        "%Y-%m-%d %H:%M:%S") for _, b, _ in Hook.got if b["event"] == "utility_failure"]
    check(any("%s  event utility_failure: ups1 (data id %d)" % (t, DATA_ID) in out
              for t in stamps), "no event line stamped with its local time", stamps, out)
    check(out.count("qdx-host: times are local (+0530, UTC+05:30)") == 1, "zone not said", out)
    check('notify: target "broken": 0 delivered, ' in out and
          'notify: target "broken": 0 delivered, 0 failed' not in out,
          "the failing command was not counted", out)
    repeated = [c["body"] for c in commands(repeat_path)]
    check(any(b["event"] == "utility_failure" and b["details"].get("repeat") for b in repeated),
          "repeat_s sent nothing again", repeated)
    if not instrumented():
        check(commands(held_path) == [], "after_s let a short outage through",
              commands(held_path))
    check(Hook.got[-1][1]["event"] == "stopping", "stopping not delivered last",
          [g[1]["event"] for g in Hook.got])
    stored = rows(db)
    check(len(stored) == len(published(out)), "records lost: %d shown, %d stored" %
          (len(published(out)), len(stored)), out)
    con = sqlite3.connect(db)
    times = [r[0] for r in con.execute("SELECT time_ms FROM history ORDER BY id")]
    con.close()
    worst = max(b - a for a, b in zip(times, times[1:]))
    if not instrumented():
        check(worst <= POLL_S * 1000 + 100, "a poll held up: %d ms between records" % worst)
    check("hooks.example.net" not in out + err and "127.0.0.1:%d" % server.server_address[1]
          not in out + err, "a webhook URL was shown", out)
    server.shutdown()


class Answer(http.server.BaseHTTPRequestHandler):
    """A receiver answering every event with the server's status."""
    got = []

    def do_POST(self):
        Answer.got.append(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
        self.send_response(self.server.status)
        self.end_headers()

    def log_message(self, *args):
        pass


def receiver(status, tls=None):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Answer)
    server.status = status
    if tls:
        server.socket = tls.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def socket_never_answering():
    """Connections are taken by the kernel and never read or answered."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(64)
    return s


def metric(text, name, target):
    m = re.search(r'^qdx_notify_%s_total\{target="%s"\} (\d+)$' % (name, target), text, re.M)
    return int(m.group(1)) if m else -1


def hostile(tmp):
    """Receivers answering 500 or never, one over https, a command that hangs
    and one that floods, under more than 1,000 flapping events: polls keep
    their time, no record or event is lost, the stop is bounded."""
    # A certificate of the test's own, trusted through ca_file only.
    cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(cert, key)
    secure, broken = receiver(204, tls), receiver(500)
    silent = socket_never_answering()
    url = "%s://127.0.0.1:%d/e"
    targets = [
        {"name": "tls", "webhook": url % ("https", secure.server_address[1]), "ca_file": cert,
         "events": ["started", "stopping"]},
        {"name": "err500", "webhook": url % ("http", broken.server_address[1]), "events": ["*"],
         "timeout_s": 1, "retry_s": 2, "min_interval_s": 0},
        {"name": "silent", "webhook": url % ("http", silent.getsockname()[1]),
         "events": ["started"], "timeout_s": 1, "retry_s": 1},
        {"name": "hang", "command": ["sleep", "31.5"], "events": ["started"], "timeout_s": 1},
        {"name": "flaps", "command": ["true"], "events": ["utility_failure", "utility_restored"],
         "min_interval_s": 1},
    ]
    poll_ms = 50
    devices = [device("ups%d" % i, 100 + i, "sim:power-cycle", poll_ms, 40, settings=SETTINGS)
               for i in range(8)]
    site = write_devices(tmp, devices, notify=targets)
    db = os.path.join(tmp, "h.db")
    host = spawn_host(site, db, "--http", "127.0.0.1:0")
    out = read_until(host, "", lambda s: "status page at" in s)
    port = int(re.search(r"status page at http://[^/]+:(\d+)/", out).group(1))
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(host.stdout), daemon=True)
    reader.start()

    def log_count():  # events, each row counting its repeats
        return sum(e["count"] for e in json.loads(http_get(port, "/api/log?limit=10000")[2])["events"])
    flood = until("1,000 events in the log", lambda: log_count() >= 1000 and log_count(),
                  timeout=120)
    text = until("every target's outcome", lambda: (lambda t: t if (
        metric(t, "delivered", "tls") >= 1 and metric(t, "failed", "err500") >= 1
        and metric(t, "retried", "err500") >= 1 and metric(t, "failed", "silent") >= 1
        and metric(t, "failed", "hang") >= 1 and metric(t, "suppressed", "flaps") >= 1)
        else None)(http_get(port, "/metrics")[2]), timeout=30)
    check(Answer.got and Answer.got[0]["event"] == "started", "https receiver got nothing")
    counted = {t["target"]: t for t in json.loads(http_get(port, "/api/notify")[2])["targets"]}
    check(counted["flaps"]["suppressed"] >= 1 and counted["hang"]["failed"] >= 1,
          "/api/notify does not count", counted)
    begin = time.time()
    host.send_signal(signal.SIGTERM)
    host.wait(timeout=60)
    reader.join(10)  # the reader alone takes the output, to its end
    err = host.stderr.read()
    out += "".join(lines)
    check(host.returncode == 0, "qdx-host failed", out[-3000:], err)
    check(time.time() - begin < 20, "stopping took %.1f s" % (time.time() - begin))
    check(subprocess.run(["pgrep", "-f", "sleep 31.5"], capture_output=True).returncode == 1,
          "the hanging command outlived qdx-host")
    con = sqlite3.connect(db)
    logged = con.execute("SELECT SUM(count) FROM event_log").fetchone()[0]
    times = con.execute("SELECT data_id, time_ms FROM history ORDER BY data_id, time_ms").fetchall()
    con.close()
    check(logged >= flood + 1, "events not logged: %d after %d" % (logged, flood))
    check(len(times) == len(published(out)), "records lost: %d shown, %d stored" %
          (len(published(out)), len(times)))
    worst = max(b[1] - a[1] for a, b in zip(times, times[1:]) if a[0] == b[0])
    if not instrumented():
        check(worst <= poll_ms + 100, "a poll held up: %d ms between records" % worst, text)
    for server in (secure, broken):
        server.shutdown()
    silent.close()


def trickler():
    """A webhook that answers one byte a second, for as long as it is read."""
    s = socket_never_answering()

    def answer(conn):
        with conn:
            conn.recv(65536)
            for b in b"HTTP/1.1 204 No Content\r\n\r\n":
                time.sleep(1)
                try:
                    conn.sendall(bytes([b]))
                except OSError:
                    return

    def serve():
        while True:
            try:
                conn = s.accept()[0]
            except OSError:
                return
            threading.Thread(target=answer, args=(conn,), daemon=True).start()
    threading.Thread(target=serve, daemon=True).start()
    return s


def notify_test(site, timeout=30):
    begin = time.time()
    run = subprocess.run([program("qdx-host"), "notify-test", site], capture_output=True,
                         text=True, timeout=timeout)
    return run, time.time() - begin


def stop(tmp):
    """Stuck deliveries (a webhook that refuses, one that trickles, a command
    that hangs) get 5 s at a stop and are counted as left; a trickling webhook
    fails by its timeout_s; a command's last error line is said; a command
    that reads nothing is no fault of notify-test."""
    slow = trickler()
    slow_url = "http://127.0.0.1:%d/e" % slow.getsockname()[1]
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    refused_url = "http://127.0.0.1:%d/e" % closed.getsockname()[1]
    closed.close()  # nothing listens there: every connection is refused
    site = write_devices(tmp, [device("ups1", DATA_ID, "sim:steady", 500, 400)], notify=[
        {"name": "refused", "webhook": refused_url, "timeout_s": 20},
        {"name": "trickle", "webhook": slow_url, "timeout_s": 20},
        {"name": "hang", "command": ["sleep", "61.5"], "timeout_s": 30}])
    host = spawn_host(site, os.path.join(tmp, "h.db"))
    out = read_until(host, "", lambda s: 'target "refused": started failed' in s)
    time.sleep(5)  # each delivery stuck: in a retry's wait, mid-answer, running
    begin = time.time()
    host.send_signal(signal.SIGTERM)
    rest, err = finish(host, 30)
    took, out = time.time() - begin, out + rest
    check(host.returncode == 0, "qdx-host failed", out, err)
    if not instrumented():
        check(took < 6, "stopping took %.1f s" % took, out)
    for name in ("refused", "trickle", "hang"):
        check(re.search(r'target "%s": 0 delivered, 0 failed, .* 2 left at stop' % name, out),
              name + ": not counted as left", out)
    check(subprocess.run(["pgrep", "-f", "sleep 61.5"], capture_output=True).returncode == 1,
          "the hanging command outlived the stop")

    site = write_devices(tmp, [device("ups1", DATA_ID)], name="test.json", notify=[
        {"name": "loud", "command": ["sh", "-c", r"printf 'cannot reach\tthe pager\n' >&2; exit 3"]},
        {"name": "flood", "command": ["sh", "-c", "yes error >&2"], "timeout_s": 1},
        {"name": "trickle", "webhook": slow_url, "timeout_s": 2}])
    run, took = notify_test(site)
    check(run.returncode == 1 and 'target "trickle": failed (no whole answer within 2 s)'
          in run.stdout, "the trickling webhook", run.stdout, run.stderr)
    check('target "loud": failed (exit status 3; standard error: cannot reach\\x09the pager)'
          in run.stdout and 'target "flood": failed (killed: still running after 1 s; '
          'standard error: error)' in run.stdout, "the commands' error lines", run.stdout)
    if not instrumented():
        check(took < 4, "notify-test took %.1f s, its timeouts 3 s" % took)
    # A command that exits without reading its event: no SIGPIPE, ever.
    site = write_devices(tmp, [device("ups1", DATA_ID)], name="true.json",
                         notify=[{"name": "quick", "command": ["true"]}])
    for _ in range(20):
        run, _ = notify_test(site)
        check(run.returncode == 0 and 'target "quick": delivered (exit status 0)' in run.stdout,
              "notify-test with a command that reads nothing", run.returncode, run.stdout,
              run.stderr)
    slow.close()


def log(tmp):
    """The event log outlives a restart; /api/log answers it, oldest first,
    and /api/events streams new events as they happen."""
    site = write_devices(tmp, [device("ups1", DATA_ID, "sim:power-cycle", 100, 400,
                                      settings=SETTINGS)])
    db = os.path.join(tmp, "h.db")
    first = run_host(site, db, "--cycles", "12")
    check(first.returncode == 0 and "event utility_failure" in first.stdout, "first run",
          first.stdout, first.stderr)
    host = Host(tmp, [device("ups1", DATA_ID, "sim:power-cycle", 100, 400, settings=SETTINGS)])
    streamed = [e for name, e in sse_events(host.port, 40) if name == "log"]
    check(streamed and streamed[0]["device"] == "ups1", "no log event streamed")
    names = [e["event"] for e in host.json("/api/log")["events"]]
    check(names[:2] == ["started", "utility_failure"] and "stopping" in names,
          "the first run's events are not in the log", names)
    # The failure comes every 6 polls, across the restart too: one counted row.
    failures = [e for e in host.json("/api/log")["events"] if e["event"] == "utility_failure"]
    check(len(failures) == 1 and failures[0]["count"] >= 2
          and failures[0]["last_time_ms"] > failures[0]["time_ms"],
          "repeated failures are not counted in one row", failures)
    own = host.json("/api/log?device=qdx-host")["events"]
    check({e["device"] for e in own} == {"qdx-host"}, "device filter", own)
    newest = host.json("/api/log?limit=2")["events"]
    every = host.json("/api/log?limit=10000")["events"]
    check(newest == every[-2:], "limit does not keep the newest, oldest first", newest)
    check(http_get(host.port, "/api/log?device=nope")[0] == 400, "unknown device served")
    host.stop()


if __name__ == "__main__":
    main({"deliver": deliver, "hostile": hostile, "stop": stop, "log": log})
