#!/usr/bin/env python3
"""Bytes qdx-host writes to storage per stored record, counted to its exit.

Runs qdx-host with N `sim:steady` devices at 1 s polls for a fixed time
(`--duration`), on a fresh history file or on an aged one (a first run of
--aged-seconds fills it, not counted), and reads `write_bytes` of
/proc/PID/io once the process has ended (before it is reaped), so the final
commit and checkpoint count. Each case runs --runs times; the median is shown
beside a record row's own bytes and the floor of twice those (each page goes
to the log, then to the file).

    bench/flash_bytes.py --build build --devices 1 10 --seconds 600
    bench/flash_bytes.py --build build --devices 1000 --seconds 300 --aged-seconds 600

The folder (--dir) must be on the storage to measure: a tmpfs counts nothing.
"""
import argparse
import os
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile

from bench_site import write_site

SUMMARY = re.compile(r"(\d+) cycles, (\d+) records published")


def run_host(build, site, db, seconds, folder):
    """Runs qdx-host to its end; (bytes written, records published, records in the file)."""
    out_path = os.path.join(folder, "out.log")
    with open(out_path, "wb") as out, open(os.path.join(folder, "err.log"), "wb") as err:
        host = subprocess.Popen([os.path.join(build, "qdx-host"), "--db", db, "--duration",
                                 str(seconds), "--quiet-polls", site], stdout=out, stderr=err)
    # Read while it is a zombie: every thread and reaped child counted.
    os.waitid(os.P_PID, host.pid, os.WEXITED | os.WNOWAIT)
    with open("/proc/%d/io" % host.pid) as f:
        io = dict(line.split(": ") for line in f.read().splitlines())
    status = host.wait()
    if status != 0:
        sys.exit("qdx-host ended with %d; see %s" % (status, folder))
    with open(out_path, errors="replace") as f:
        published = sum(int(m[1]) for m in SUMMARY.findall(f.read()))
    con = sqlite3.connect(db)
    stored = con.execute("SELECT count(*) FROM history").fetchone()[0]
    # A row's own bytes: its cells in the table's leaves, headers included.
    own = con.execute("SELECT IFNULL(SUM(payload + 4), 0) FROM dbstat WHERE name = 'history' "
                      "AND pagetype = 'leaf'").fetchone()[0] / max(stored, 1)
    con.close()
    return int(io["write_bytes"]) - int(io["cancelled_write_bytes"]), published, stored, own


def measure(args, build, devices):
    """The median bytes per record of --runs runs, and a row's own bytes."""
    per_record, own = [], []
    for _ in range(args.runs):
        folder = tempfile.mkdtemp(prefix="qdx-flash-", dir=args.dir)
        try:
            site = write_site(folder, build, devices, 1000)
            db = os.path.join(folder, "history.db")
            before = 0
            if args.aged_seconds > 0:
                before = run_host(build, site, db, args.aged_seconds, folder)[2]
            written, published, stored, row = run_host(build, site, db, args.seconds, folder)
            if stored - before != published:
                sys.exit("%d records published, %d stored; see %s" % (
                    published, stored - before, folder))
            per_record.append(written / max(published, 1))
            own.append(row)
        finally:
            if not args.keep:
                shutil.rmtree(folder, ignore_errors=True)
    return statistics.median(per_record), statistics.median(own), per_record


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--build", default="build", help="build folder with qdx-host, ups-sim and the plug-in")
    ap.add_argument("--devices", type=int, nargs="+", default=[1, 10])
    ap.add_argument("--seconds", type=int, default=600, help="measured run, to the process's exit")
    ap.add_argument("--aged-seconds", type=int, default=0,
                    help="a first run filling the file for this long, not counted")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--dir", default=None, help="folder on the storage to measure")
    ap.add_argument("--keep", action="store_true", help="keep the folders")
    ap.add_argument("--emmc-cycles", type=int, default=1000,
                    help="program/erase cycles of the 8 GB eMMC (TLC: about 1,000)")
    ap.add_argument("--sd-cycles", type=int, default=300,
                    help="program/erase cycles of the 32 GB SD card (consumer TLC: a few hundred)")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    for prog in ("qdx-host", "ups-sim", "zota_up2200.so"):
        if not os.path.exists(os.path.join(build, prog)):
            sys.exit("flash_bytes.py: %s not found in %s; build first" % (prog, build))

    emmc, sd = 8e9 * args.emmc_cycles, 32e9 * args.sd_cycles
    print("devices  file   bytes/record  floor  row bytes  runs  days of 8 GB eMMC / 32 GB SD "
          "(%d / %d cycles, no write amplification of the device's own)" % (
              args.emmc_cycles, args.sd_cycles))
    for devices in args.devices:
        median, own, runs = measure(args, build, devices)
        per_day = median * devices * 86400
        print("%7d  %-5s  %12.0f  %5.0f  %9.0f  %s  %.0f / %.0f" % (
            devices, "aged" if args.aged_seconds else "fresh", median, 2 * own, own,
            " ".join("%.0f" % r for r in runs), emmc / per_day, sd / per_day))


if __name__ == "__main__":
    main()
