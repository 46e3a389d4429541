#!/usr/bin/env python3
"""Events reach a command and a webhook target loaded from examples/notify.json;
a webhook that hangs holds up no poll and loses no record; a failing command
is counted."""
import http.server
import json
import os
import signal
import sqlite3
import sys
import threading
import time

from e2e_support import (DATA_ID, SETTINGS, check, device, instrumented, main, published,
                         read_until, rows, spawn_host, write_devices)

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
    site = write_devices(tmp, [device("ups1", DATA_ID, "sim:power-cycle", int(POLL_S * 1000),
                                      400, settings=SETTINGS)])
    with open(site) as f:
        doc = json.load(f)
    doc["notify"] = targets
    with open(site, "w") as f:
        json.dump(doc, f)
    db = os.path.join(tmp, "h.db")
    host = spawn_host(site, db)
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
    rest, err = host.communicate(timeout=20)
    out += rest
    check(host.returncode == 0, "qdx-host failed", out, err)
    check("event utility_failure: ups1 (data id %d)" % DATA_ID in out, "no event line", out)
    check('notify: target "broken": 0 delivered, ' in out and
          'notify: target "broken": 0 delivered, 0 failed' not in out,
          "the failing command was not counted", out)
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


if __name__ == "__main__":
    main({"deliver": deliver})
