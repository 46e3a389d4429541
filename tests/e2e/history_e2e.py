#!/usr/bin/env python3
"""qdx-host's history over restarts, a lost file and a stepped clock:
history_e2e.py CASE BUILD_DIR."""
import atexit
import glob
import hashlib
import http.client
import json
import os
import re
import select
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

import e2e
from e2e import Sim, check, published, rows, run_host, start_host, write_site

SKIP = 77


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def case_restarts(tmp):
    """Three starts of 2 cycles store 6 rows: the record replayed at start is
    not stored again. Starts that fail on the capture or a port leave the
    history as it was."""
    sim = Sim(tmp, "steady")
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, sim.path, timeout_ms=2000)
    for n in range(3):
        r = run_host(site, db, "--cycles", "2")
        check(r.returncode == 0, "start %d failed" % n, r.stdout, r.stderr)
        check((n > 0) == ("cached record 5035" in r.stdout), "cache replay not as expected", r.stdout)
    sim.stop()
    check(len(rows(db)) == 6, "%d rows for 6 records read" % len(rows(db)))

    before = digest(db)
    notes = os.path.join(tmp, "notes.txt")
    with open(notes, "w") as f:
        f.write("keep me\n")
    for args, message in ((["--capture", db], "it is the history database"),
                          (["--capture", notes], "is no capture"),
                          ([], "cannot open port /nonexistent/tty")):
        bad = site if args else write_site(tmp, "/nonexistent/tty", name="bad.json")
        r = run_host(bad, db, *args)
        check(r.returncode != 0 and message in r.stderr, "start not refused: " + message,
              r.stdout, r.stderr)
        check(digest(db) == before, "a failed start changed the history: " + message, r.stdout)
    with open(notes) as f:
        check(f.read() == "keep me\n", "a file that is no capture was overwritten")


def case_file_deleted(tmp):
    """The history file deleted while running: said once, a new one made there,
    and every record published after the deletion stored in it."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:steady", poll_ms=100)
    host = subprocess.Popen([os.path.join(e2e.BIN, "qdx-host"), "--db", db, site],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    atexit.register(host.kill)
    out = b""

    def read_for(seconds, records=None):
        nonlocal out
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if records is not None and len(published(out.decode())) >= records:
                return
            ready, _, _ = select.select([host.stdout], [], [], 0.1)
            if ready:
                chunk = os.read(host.stdout.fileno(), 65536)
                check(chunk, "qdx-host ended early", out)
                out += chunk

    read_for(20, records=5)
    # Stopped, nothing is published: what was is all in the pipe.
    host.send_signal(signal.SIGSTOP)
    read_for(0.5)
    before = len(published(out.decode()))
    os.unlink(db)
    host.send_signal(signal.SIGCONT)
    read_for(20, records=before + 20)
    host.send_signal(signal.SIGTERM)
    rest, err = host.communicate(timeout=20)
    out = (out + rest).decode()
    check(host.returncode == 0, "exit status %d" % host.returncode, out, err)
    check(out.count("history database %s was deleted or replaced" % db) == 1,
          "loss not said once", out)
    total, new = len(published(out)), len(rows(db))
    check(total - before <= new <= total,
          "%d rows in the new file for %d records published after the deletion"
          % (new, total - before), out)


def api(port, query):
    con = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        con.request("GET", "/api/history?device=ups&limit=10000&" + query)
        res = con.getresponse()
        body = res.read().decode()
        check(res.status == 200, "status %d" % res.status, body)
        return [r["time"] for r in json.loads(body)["records"]]
    finally:
        con.close()


def case_clock_step(tmp):
    """The wall clock stepped back an hour under a running qdx-host (libfaketime,
    the monotonic clock left real): polling goes on without a failure, every
    record is found by its own time, and a restart does not replay a record
    stored in its future."""
    lib = glob.glob("/usr/lib/*/faketime/libfaketime.so.1")
    if not lib or os.environ.get("ZOTA_SANITIZED"):
        print("libfaketime not installed or a sanitizer build; skipped")
        return SKIP
    offset = os.path.join(tmp, "offset")
    with open(offset, "w") as f:
        f.write("+0\n")
    env = dict(os.environ, LD_PRELOAD=lib[0], FAKETIME_TIMESTAMP_FILE=offset,
               FAKETIME_NO_CACHE="1", FAKETIME_DONT_FAKE_MONOTONIC="1")
    sim = Sim(tmp, "steady")
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, sim.path, poll_ms=100, timeout_ms=300)
    host = subprocess.Popen([os.path.join(e2e.BIN, "qdx-host"), "--db", db, "--http",
                             "127.0.0.1:0", site], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    atexit.register(host.kill)
    seen = ""

    def wait_records(n):
        nonlocal seen
        while len(published(seen)) < n:
            line = host.stdout.readline()
            check(line, "qdx-host ended early", seen)
            seen += line

    wait_records(20)
    with open(offset, "w") as f:
        f.write("-3600\n")
    wait_records(50)
    time.sleep(1.0)  # the last group committed
    port = int(re.search(r"status page at http://[^/]+:(\d+)/", seen).group(1))
    stored = [t for (t,) in sqlite3.connect(db).execute("SELECT time FROM history ORDER BY id")]
    back = next(i for i in range(1, len(stored)) if stored[i] < stored[i - 1])
    for part in (stored[:back], stored[back:]):
        got = api(port, "from=%s&to=%s" % (part[0], part[-1]))
        check(got == part, "%d of %d records found in their window" % (len(got), len(part)), seen)
    check(api(port, "from=%s&to=%s" % (stored[back], stored[back - 1])) == sorted(stored),
          "the whole span is not in time order", seen)
    host.send_signal(signal.SIGTERM)
    out, err = host.communicate(timeout=20)
    out = seen + out
    check(host.returncode == 0, "exit status %d" % host.returncode, out, err)
    check(", 0 communication failures" in out, "the step disturbed polling", out)

    newest = sqlite3.connect(db).execute("SELECT time FROM history ORDER BY id DESC").fetchone()[0]
    with open(offset, "w") as f:
        f.write("-7200\n")
    r = subprocess.run([os.path.join(e2e.BIN, "qdx-host"), "--db", db, "--cycles", "1", site],
                       env=env, capture_output=True, text=True, timeout=30)
    sim.stop()
    check(r.returncode == 0, "restart failed", r.stdout, r.stderr)
    check("stored record not replayed: stored at %s, later than now" % newest in r.stdout,
          "a record from the future was replayed", r.stdout)


CASES = {"restarts": case_restarts, "file_deleted": case_file_deleted, "clock_step": case_clock_step}

if __name__ == "__main__":
    e2e.BIN = os.path.abspath(sys.argv[2])
    with tempfile.TemporaryDirectory() as tmp:
        status = CASES[sys.argv[1]](tmp)
    if status == SKIP:
        sys.exit(SKIP)
    print("ok")
