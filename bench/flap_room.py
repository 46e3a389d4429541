#!/usr/bin/env python3
"""Flapping devices against a small history: N simulated UPSs whose
utility-failure flag toggles at every reply (ups-sim power-cycle with
--fail-after 1), so each poll fires an event, polled every 200 ms with a
small "max_mb". Every interval it checks through SQLite that each device's
newest 10 minutes of records are all in the file (none removed for room, no
gap longer than a few polls) and prints the file's size and the event log's
rows and the events they count; at the end it stops qdx-host with SIGTERM.
Exit status 1 when a check failed.

    bench/flap_room.py --build build --devices 8 --poll-ms 200 --minutes 7 --max-mb 5
"""
import argparse
import json
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

from long_run import size

MIB = 1024 * 1024
KEEP_MS = 10 * 60 * 1000  # the newest records that must stay


def start_sims(build, count, tmp):
    """ups-sim processes flapping at every reply, and their terminals."""
    sims, paths = [], []
    for i in range(count):
        err = open(os.path.join(tmp, "sim%d.log" % i), "wb")
        p = subprocess.Popen([os.path.join(build, "ups-sim"), "--scenario", "power-cycle",
                              "--fail-after", "1", "--seed", str(i + 1), "--exit-with-parent"],
                             stdout=subprocess.PIPE, stderr=err)
        sims.append(p)
        paths.append(p.stdout.readline().decode().strip())
        if not paths[-1].startswith("/dev/"):
            sys.exit("ups-sim %d printed no terminal path" % i)
    return sims, paths


def write_site(tmp, build, paths, poll_ms, max_mb):
    devices = [{"name": "flap%d" % i, "type": "zota_up2200", "data_id": 2000 + i, "port": p,
                "poll_interval_ms": poll_ms, "reply_timeout_ms": max(50, poll_ms * 3 // 4)}
               for i, p in enumerate(paths)]
    site = {"plugins": [os.path.join(build, "zota_up2200.so")], "devices": devices,
            "history": {"max_mb": max_mb}}
    path = os.path.join(tmp, "site.json")
    with open(path, "w") as f:
        json.dump(site, f)
    return path


def check(db, first_ms, poll_ms):
    """Problems with each device's newest 10 minutes, and the figures."""
    con = sqlite3.connect("file:%s?mode=ro" % db, uri=True, timeout=5)
    try:
        problems = []
        now = int(time.time() * 1000)
        for data_id, first in first_ms.items():
            since = max(first, now - KEEP_MS)
            oldest, count, gap = con.execute(
                "SELECT MIN(time_ms), COUNT(*), MAX(time_ms - prev) FROM (SELECT time_ms, "
                "LAG(time_ms) OVER (ORDER BY time_ms) AS prev FROM history WHERE data_id = ? "
                "AND time_ms >= ?)", (data_id, since - 2 * poll_ms)).fetchone()
            if count == 0 or oldest > since + 2 * poll_ms:
                problems.append("%d: newest 10 minutes start at %s, not %d" % (data_id, oldest, since))
            elif gap is not None and gap > 10 * poll_ms:
                problems.append("%d: a gap of %d ms in its newest 10 minutes" % (data_id, gap))
        rows, events = con.execute("SELECT COUNT(*), IFNULL(SUM(count), 0) FROM event_log").fetchone()
        records = con.execute("SELECT COUNT(*) FROM history").fetchone()[0]
        return problems, records, rows, events
    finally:
        con.close()


def first_records(db, ids):
    con = sqlite3.connect("file:%s?mode=ro" % db, uri=True, timeout=5)
    try:
        out = {}
        for data_id in ids:
            t = con.execute("SELECT MIN(time_ms) FROM history WHERE data_id = ?", (data_id,))
            first = t.fetchone()[0]
            if first is not None:
                out[data_id] = first
        return out
    finally:
        con.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--build", default="build")
    ap.add_argument("--devices", type=int, default=8)
    ap.add_argument("--poll-ms", type=int, default=200)
    ap.add_argument("--minutes", type=float, default=7.0)
    ap.add_argument("--max-mb", type=int, default=5)
    ap.add_argument("--every", type=float, default=30.0, help="seconds between checks")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    tmp = tempfile.mkdtemp(prefix="qdx-flap-")
    db = os.path.join(tmp, "history.db")
    sims, paths = start_sims(build, args.devices, tmp)
    site = write_site(tmp, build, paths, args.poll_ms, args.max_mb)
    out_path = os.path.join(tmp, "out.log")
    with open(out_path, "wb") as out:
        host = subprocess.Popen([os.path.join(build, "qdx-host"), "--db", db, "--quiet-polls",
                                 site], stdout=out, stderr=subprocess.STDOUT)
    ids = [2000 + i for i in range(args.devices)]
    failed, worst = [], 0
    print("%7s %9s %9s %12s %9s %9s" % ("minute", "records", "log rows", "log events",
                                           "file MiB", "wal MiB"))
    try:
        started = time.monotonic()
        end = started + args.minutes * 60
        first = {}
        while time.monotonic() < end and host.poll() is None:
            time.sleep(min(args.every, max(0.0, end - time.monotonic())))
            if len(first) < len(ids) and os.path.exists(db):
                first.update({k: v for k, v in first_records(db, ids).items() if k not in first})
            problems, records, rows, events = check(db, first, args.poll_ms)
            failed += problems
            worst = max(worst, size(db))
            print("%7.1f %9d %9d %12d %9.2f %9.2f" % (
                (time.monotonic() - started) / 60, records, rows, events, size(db) / MIB,
                size(db + "-wal") / MIB), flush=True)
            for p in problems:
                print("  " + p, flush=True)
    finally:
        host.send_signal(signal.SIGTERM)
        host.wait(120)
        for s in sims:
            s.terminate()
            s.wait(10)
    with open(out_path, errors="replace") as f:
        summary = [line.rstrip() for line in f if line.startswith(("history:", "flap"))
                   and ("cycles" in line or "stored" in line)]
    print("\n".join(summary[-args.devices - 1:]))
    print("largest file %.2f MiB for a bound of %d MiB; exit status %d; %d problems"
          % (worst / MIB, args.max_mb, host.returncode, len(failed)))
    ok = not failed and host.returncode == 0 and worst <= args.max_mb * MIB
    subprocess.run(["rm", "-rf", tmp])
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
