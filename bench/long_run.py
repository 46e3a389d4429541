#!/usr/bin/env python3
"""Long run of qdx-host with a bounded history: N simulated UPSs polled fast
for a number of minutes with a small "max_mb". Every interval it prints
qdx-host's resident memory, its CPU time per record over the interval and the
size of the history file (and its log); at the end it stops qdx-host with
SIGTERM and checks that every published record was stored (those removed by
the bound counted from the removal lines), that no exchange failed and that
the file stayed under its bound.

    bench/long_run.py --build build --devices 50 --poll-ms 50 --minutes 10 --max-mb 16
"""
import argparse
import os
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

from bench_site import write_site

RECORD = re.compile(rb"\) {2}record 5035: ")
REMOVED = re.compile(rb"history: removed (\d+) records")
SUMMARY = re.compile(r"(\d+) cycles, (\d+) records published, (\d+) communication failures")
CLK_TCK = os.sysconf("SC_CLK_TCK")
MIB = 1024 * 1024


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Log:
    """Counts records and removals in qdx-host's output as it grows."""

    def __init__(self, path):
        self.path, self.offset, self.tail = path, 0, b""
        self.records = self.removed = 0

    def update(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = self.tail + f.read()
        self.offset += len(data) - len(self.tail)
        cut = data.rfind(b"\n") + 1
        self.tail = data[cut:]
        self.records += len(RECORD.findall(data[:cut]))
        self.removed += sum(int(n) for n in REMOVED.findall(data[:cut]))


def syscalls(pid):
    """Read and write system calls of the process so far."""
    counts = {}
    with open("/proc/%d/io" % pid) as f:
        for line in f:
            key, value = line.split(":")
            counts[key] = int(value)
    return counts["syscr"], counts["syscw"]


def size(path):
    return os.path.getsize(path) if os.path.exists(path) else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--build", default="build")
    ap.add_argument("--devices", type=int, default=50)
    ap.add_argument("--poll-ms", type=int, default=50)
    ap.add_argument("--minutes", type=float, default=10.0)
    ap.add_argument("--max-mb", type=int, default=16)
    ap.add_argument("--every", type=float, default=30.0, help="seconds between samples")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    tmp = tempfile.mkdtemp(prefix="qdx-long-")
    site_path = write_site(tmp, build, args.devices, args.poll_ms, name="ups%02d",
                           history={"max_mb": args.max_mb})
    db = os.path.join(tmp, "history.db")
    out_path = os.path.join(tmp, "out.log")
    with open(out_path, "wb") as out:
        host = subprocess.Popen([os.path.join(build, "qdx-host"), "--db", db, site_path],
                                stdout=out, stderr=subprocess.STDOUT)
    log = Log(out_path)
    worst_file = 0
    print("%7s %9s %10s %9s %12s %10s %9s %10s %10s" % (
        "minute", "records", "removed", "RSS MiB", "CPU/record", "file MiB", "log MiB",
        "reads/rec", "writes/rec"))
    try:
        end = time.monotonic() + args.minutes * 60
        cpu0, rec0 = cpu_seconds(host.pid), 0
        calls0 = syscalls(host.pid)
        started = time.monotonic()
        while time.monotonic() < end and host.poll() is None:
            time.sleep(min(args.every, max(0.0, end - time.monotonic())))
            log.update()
            cpu1 = cpu_seconds(host.pid)
            calls1 = syscalls(host.pid)
            records = max(log.records - rec0, 1)
            per = 1e6 * (cpu1 - cpu0) / records
            worst_file = max(worst_file, size(db))
            print("%7.1f %9d %10d %9.1f %10.1f us %10.2f %9.2f %10.2f %10.2f" % (
                (time.monotonic() - started) / 60, log.records, log.removed,
                rss_kib(host.pid) / 1024, per, size(db) / MIB, size(db + "-wal") / MIB,
                (calls1[0] - calls0[0]) / records, (calls1[1] - calls0[1]) / records),
                flush=True)
            cpu0, rec0, calls0 = cpu1, log.records, calls1
    finally:
        host.send_signal(signal.SIGTERM)
        host.wait(120)
    log.update()
    with open(out_path, errors="replace") as f:
        summaries = SUMMARY.findall(f.read())
    published = sum(int(s[1]) for s in summaries)
    failures = sum(int(s[2]) for s in summaries)
    stored = sqlite3.connect(db).execute("SELECT count(*) FROM history").fetchone()[0]
    print("published %d, in the file %d, removed %d, communication failures %d, exit status %d"
          % (published, stored, log.removed, failures, host.returncode))
    print("largest file %.2f MiB for a bound of %d MiB (0: none)" % (worst_file / MIB, args.max_mb))
    ok = (published == stored + log.removed and failures == 0 and host.returncode == 0
          and (args.max_mb == 0 or worst_file <= args.max_mb * MIB))
    subprocess.run(["rm", "-rf", tmp])
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
