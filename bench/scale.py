#!/usr/bin/env python3
"""Scale benchmark of qdx-host: many simulated UPSs polled at once.

Starts qdx-host with N `sim:steady` devices, waits until every device is
connected and polling, then measures qdx-host alone (the simulators' cost is
not counted) over a fixed window: CPU time as a share of one core, resident
memory, and with --strace-seconds the system calls per published record. At
the end it stops qdx-host with SIGTERM and checks that every published record
was stored and that no exchange failed.

    bench/scale.py --build build --devices 1000 --seconds 60 --strace-seconds 10
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

RECORD = re.compile(rb"\) {2}record 5035: ")
SUMMARY = re.compile(r"(\d+) cycles, (\d+) records published, (\d+) communication failures")
CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime, stime


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def count_records(path):
    with open(path, "rb") as f:
        return len(RECORD.findall(f.read()))


def count_lines(path, needle):
    with open(path, "rb") as f:
        return f.read().count(needle)


def summary_lines(path):
    with open(path, errors="replace") as f:
        return [line for line in f if line.startswith(("polls: ", "history: "))]


def strace_window(pid, seconds, out_path, log_path):
    """System call counts of every thread of pid over a window, and records shown meanwhile."""
    before = count_records(out_path)
    tracer = subprocess.Popen(["strace", "-c", "-f", "-p", str(pid), "-o", log_path],
                              stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    tracer.send_signal(signal.SIGINT)
    tracer.wait(30)
    records = count_records(out_path) - before
    calls = {}
    with open(log_path) as f:
        for line in f:
            parts = line.split()
            # % time, seconds, usecs/call, calls, [errors,] syscall
            if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] != "total":
                calls[parts[-1]] = int(parts[3])
    return records, calls


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--build", default="build", help="build folder with qdx-host, ups-sim and the plug-in")
    ap.add_argument("--devices", type=int, default=1000)
    ap.add_argument("--seconds", type=float, default=60.0, help="measured window")
    ap.add_argument("--poll-ms", type=int, default=1000)
    ap.add_argument("--spread-ms", type=int, default=0,
                    help="device i polls every poll-ms + i %% (spread-ms + 1) ms, so that the "
                         "devices drift out of step")
    ap.add_argument("--strace-seconds", type=float, default=0.0,
                    help="after the window, count system calls for this long (needs strace; "
                         "tracing slows qdx-host, so the run's totals then include its effect)")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = ap.parse_args()

    if args.strace_seconds > 0 and not shutil.which("strace"):
        sys.exit("scale.py: strace is missing; scripts/bootstrap analysis installs it")
    build = os.path.abspath(args.build)
    for prog in ("qdx-host", "ups-sim", "zota_up2200.so"):
        if not os.path.exists(os.path.join(build, prog)):
            sys.exit("scale.py: %s not found in %s; build the tools first" % (prog, build))
    tmp = tempfile.mkdtemp(prefix="qdx-scale-")
    site_path = write_site(tmp, build, args.devices, args.poll_ms, spread_ms=args.spread_ms)
    db = os.path.join(tmp, "history.db")
    out_path = os.path.join(tmp, "out.log")
    err_path = os.path.join(tmp, "err.log")

    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        host = subprocess.Popen([os.path.join(build, "qdx-host"), "--db", db, site_path],
                                stdout=out, stderr=err)
    try:
        started = time.monotonic()
        while count_lines(out_path, b" bit/s, poll every ") < args.devices:
            if host.poll() is not None:
                sys.exit("qdx-host ended during start-up; see " + err_path)
            time.sleep(0.5)
        start_s = time.monotonic() - started
        time.sleep(3.0)  # every device past its first poll

        cpu0, t0, rec0 = cpu_seconds(host.pid), time.monotonic(), count_records(out_path)
        fail0 = count_lines(out_path, b"communication failure ")
        time.sleep(args.seconds)
        cpu1, t1, rec1 = cpu_seconds(host.pid), time.monotonic(), count_records(out_path)
        window_failures = count_lines(out_path, b"communication failure ") - fail0
        rss_peak = status_kib(host.pid, "VmHWM")
        rss_now = status_kib(host.pid, "VmRSS")

        traced = None
        if args.strace_seconds > 0:
            traced = strace_window(host.pid, args.strace_seconds, out_path,
                                   os.path.join(tmp, "strace.txt"))
    finally:
        host.send_signal(signal.SIGTERM)
        host.wait(120)

    with open(out_path, errors="replace") as f:
        summaries = SUMMARY.findall(f.read())
    extra = summary_lines(out_path)
    published = sum(int(s[1]) for s in summaries)
    failures = sum(int(s[2]) for s in summaries)
    con = sqlite3.connect(db)
    stored = con.execute("SELECT count(*) FROM history").fetchone()[0]
    con.close()

    wall = t1 - t0
    records = rec1 - rec0
    print("devices                 %d, poll every %d ms%s" % (
        args.devices, args.poll_ms, " (+0 to %d ms)" % args.spread_ms if args.spread_ms else ""))
    print("start-up                %.1f s" % start_s)
    print("window                  %.1f s, %d records (%.1f/s)" % (wall, records, records / wall))
    print("failures in the window  %d" % window_failures)
    print("qdx-host CPU            %.2f %% of one core" % (100.0 * (cpu1 - cpu0) / wall))
    print("CPU per record          %.1f us" % (1e6 * (cpu1 - cpu0) / max(records, 1)))
    print("resident                %.1f MiB now, %.1f MiB peak" % (rss_now / 1024, rss_peak / 1024))
    if traced:
        n, calls = traced
        total = sum(calls.values())
        print("system calls per record %.2f over %d records" % (total / max(n, 1), n))
        for name, c in sorted(calls.items(), key=lambda kv: -kv[1])[:8]:
            print("  %-21s %.2f" % (name, c / max(n, 1)))
    print("published               %d, stored %d, communication failures %d, exit status %d"
          % (published, stored, failures, host.returncode))
    for line in extra:
        print(line.rstrip())
    if args.keep:
        print("files in " + tmp)
    else:
        subprocess.run(["rm", "-rf", tmp])
    ok = published == stored and window_failures == 0 and host.returncode == 0 and len(summaries) == args.devices
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
