#!/usr/bin/env python3
"""Flapping UPSes in a small history: records keep their place beside events.

Runs qdx-host with N `sim:power-cycle` devices (the utility fails and comes
back every few polls, each time with an alarm and its events) at fast polls,
with `max_mb` of room, and checks every few seconds, reading the live file,
that each device's records of the last 10 minutes printed at least 2 s before
are all stored; at the end, that every published record of those 10 minutes
is there. Prints the file's size and its events and records as it goes.

    bench/flap_room.py --build build --devices 8 --poll-ms 200 --max-mb 5 --seconds 420
"""
import argparse
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

from bench_site import write_site

RECORD = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)  \S+ \(data id (\d+)\)  record 5035: ", re.M)
KEEP_S = 600
SETTINGS = {"appSetting": {"b_mode": 1}, "thresholdSetting": {
    "2A2615101001": {"level": 2, "value": 180.0, "low": True, "hysteresis": 5.0}}}


def printed(out_path, before):
    """Record lines per data id printed up to `before` (epoch seconds) within the kept span."""
    with open(out_path, errors="replace") as f:
        text = f.read()
    counts = {}
    for m in RECORD.finditer(text):
        t = time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S"))
        if before - KEEP_S <= t <= before:
            counts[int(m.group(2))] = counts.get(int(m.group(2)), 0) + 1
    return counts


def stored(db, since, until):
    con = sqlite3.connect("file:%s?mode=ro" % db, uri=True, timeout=10)
    try:
        rows = dict(con.execute(
            "SELECT data_id, count(*) FROM history WHERE time_ms >= ? AND time_ms < ? "
            "GROUP BY data_id", (int(since * 1000), int(until * 1000))).fetchall())
        events = con.execute("SELECT count(*) FROM event_log").fetchone()[0]
    finally:
        con.close()
    return rows, events


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--build", default="build")
    ap.add_argument("--devices", type=int, default=8)
    ap.add_argument("--poll-ms", type=int, default=200)
    ap.add_argument("--max-mb", type=float, default=5)
    ap.add_argument("--seconds", type=int, default=420)
    ap.add_argument("--check-every", type=float, default=5)
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    tmp = tempfile.mkdtemp(prefix="qdx-flap-")
    site = write_site(tmp, build, args.devices, args.poll_ms, history={"max_mb": args.max_mb},
                      settings=SETTINGS)
    with open(site) as f:
        text = f.read().replace("sim:steady:", "sim:power-cycle:")
    with open(site, "w") as f:
        f.write(text)
    db, out_path = os.path.join(tmp, "h.db"), os.path.join(tmp, "out.log")
    with open(out_path, "wb") as out:
        host = subprocess.Popen([os.path.join(build, "qdx-host"), "--db", db, "--duration",
                                 str(args.seconds), site], stdout=out, stderr=subprocess.STDOUT)
    worst, checks = [], 0
    try:
        while host.poll() is None:
            time.sleep(args.check_every)
            if not os.path.exists(db):
                continue
            # Whole seconds: a record line's time has no fraction.
            edge = int(time.time()) - 2
            want = printed(out_path, edge)
            got, events = stored(db, edge - KEEP_S, edge + 1)
            missing = {d: n - got.get(d, 0) for d, n in want.items() if got.get(d, 0) < n}
            checks += 1
            size = sum(os.path.getsize(os.path.join(tmp, n)) for n in os.listdir(tmp)
                       if n.startswith("h.db"))
            print("%4d s  file %.2f MiB  records %d  events %d%s" % (
                checks * args.check_every, size / 2**20, sum(got.values()), events,
                "  MISSING %r" % missing if missing else ""), flush=True)
            if missing:
                worst.append(missing)
    finally:
        if host.poll() is None:
            host.send_signal(signal.SIGTERM)
        host.wait(60)
    end = time.time() + 1
    want = printed(out_path, end)
    got, events = stored(db, end - KEEP_S - 1, end)
    lost = {d: n - got.get(d, 0) for d, n in want.items() if got.get(d, 0) < n}
    print("end: %d records printed in the kept span, %d stored, %d events; exit status %d" % (
        sum(want.values()), sum(got.values()), events, host.returncode))
    ok = not worst and not lost and host.returncode == 0
    print("ok" if ok else "FAILED: missing during the run %r, at the end %r (files in %s)" % (
        worst[:3], lost, tmp))
    if ok:
        shutil.rmtree(tmp, ignore_errors=True)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
