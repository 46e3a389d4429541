#!/usr/bin/env python3
"""HTTP benchmark of qdx-host: serving times, and whether polls keep their
schedule while clients listen on /api/events.

Runs qdx-host --http twice with N `sim:steady` devices (each polled every
--interval-ms): once without event clients and once with --clients reading
/api/events throughout. In each run it adds 10,000 records of the first device
to the history, times GET /metrics and GET /api/history?limit=10000 over
loopback (request to last byte, median and worst of --requests), and at the
end reads how late the polls went out: the controller's own "polls:" summary
line where it prints one, and in any case the spread of each device's stored
record times around its poll grid.

    bench/http_load.py --build build --devices 200 --clients 20 --seconds 30
"""
import argparse
import http.client
import os
import re
import signal
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime, timedelta, timezone

from bench_site import write_site

HISTORY_ROWS = 10000
POLLS = re.compile(r"polls: the latest went out (\d+) ms after its time")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime, stime


def iso(t):
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (t.microsecond // 1000)


def timed_get(port, path, n):
    con = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    times, size = [], 0
    for _ in range(n):
        start = time.perf_counter()
        con.request("GET", path)
        res = con.getresponse()
        body = res.read()
        times.append(time.perf_counter() - start)
        if res.status != 200:
            sys.exit("%s answered %d: %s" % (path, res.status, body[:200]))
        size = len(body)
    con.close()
    return statistics.median(times) * 1000, max(times) * 1000, size


class EventClient(threading.Thread):
    def __init__(self, port, stop):
        super().__init__(daemon=True)
        self.port, self.stop, self.events = port, stop, 0

    def run(self):
        # A stream ends after 1 MiB; like a browser, the client connects again.
        while not self.stop.is_set():
            try:
                s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
                s.sendall(b"GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n")
            except OSError:
                return  # qdx-host has stopped
            while not self.stop.is_set():
                try:
                    chunk = s.recv(65536)
                except socket.timeout:
                    continue
                except OSError:
                    break
                if not chunk:
                    break
                self.events += chunk.count(b"\nevent: ")
            s.close()


def fill_history(db, data_id):
    """10,000 records of one device over the past hour, added under the running host."""
    con = sqlite3.connect(db, timeout=30)
    row = con.execute("SELECT device_type, record_type, data FROM history WHERE data_id = ? "
                      "LIMIT 1", (data_id,)).fetchone()
    now = datetime.now(timezone.utc) - timedelta(hours=1)
    rows = [(data_id, row[0], row[1], iso(now + timedelta(milliseconds=350 * i)), row[2])
            for i in range(HISTORY_ROWS)]
    with con:
        con.executemany("INSERT INTO history(data_id, device_type, record_type, time, data) "
                        "VALUES(?, ?, ?, ?, ?)", rows)
    con.close()
    return iso(now - timedelta(seconds=1))


def grid_spread(db, interval_ms, skip_s):
    """Per device, how far stored record times stray from the device's poll grid;
    the worst over all devices, in ms."""
    con = sqlite3.connect(db, timeout=30)
    by_device = {}
    # The first device also holds the added rows.
    for data_id, t in con.execute("SELECT data_id, time FROM history WHERE data_id != 1000 "
                                  "ORDER BY id"):
        by_device.setdefault(data_id, []).append(
            datetime.strptime(t, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp())
    con.close()
    worst = 0.0
    for times in by_device.values():
        times = [t for t in times if t >= times[0] + skip_s]  # past the start-up
        if len(times) > 10 and times[-1] - times[0] < 7200:
            late = [t - times[0] - k * interval_ms / 1000 for k, t in enumerate(times)]
            worst = max(worst, (max(late) - min(late)) * 1000)
    return worst


def run(args, clients):
    tmp = tempfile.mkdtemp(prefix="qdx-http-bench-")
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, args.build, args.devices, args.interval_ms,
                      reply_timeout_ms=min(args.interval_ms - 10, 800), name="ups%03d",
                      settings={"appSetting": {"b_mode": 1}})
    out_path = os.path.join(tmp, "out.log")
    out = open(out_path, "w")
    host = subprocess.Popen([os.path.join(args.build, "qdx-host"), "--db", db, "--http",
                             "127.0.0.1:0", "--duration", str(args.seconds + 60), site],
                            stdout=out, stderr=subprocess.STDOUT)
    port = None
    while port is None:
        time.sleep(0.2)
        if host.poll() is not None:
            sys.exit("qdx-host ended:\n" + open(out_path).read()[-2000:])
        m = re.search(r"status page at http://127\.0\.0\.1:(\d+)/", open(out_path).read())
        port = int(m.group(1)) if m else None
    time.sleep(3)  # every device polled at least once
    start_from = fill_history(db, 1000)

    stop = threading.Event()
    listeners = [EventClient(port, stop) for _ in range(clients)]
    for c in listeners:
        c.start()
    time.sleep(2)
    cpu0, wall0 = cpu_seconds(host.pid), time.time()
    metrics = timed_get(port, "/metrics", args.requests)
    history = timed_get(port, "/api/history?device=ups000&limit=10000&from=" + start_from,
                        args.requests)
    time.sleep(max(0, args.seconds - 5))
    cpu = (cpu_seconds(host.pid) - cpu0) / (time.time() - wall0) * 100
    events = sum(c.events for c in listeners)
    host.send_signal(signal.SIGTERM)
    host.wait(120)
    stop.set()
    out.close()
    text = open(out_path, errors="replace").read()
    m = POLLS.search(text)
    result = {
        "clients": clients,
        "cpu": cpu,
        "events": events,
        "metrics": metrics,
        "history": history,
        "poll_delay_ms": int(m.group(1)) if m else None,
        "grid_spread_ms": grid_spread(db, args.interval_ms, 5),
        "failures": sum(int(x) for x in re.findall(r"(\d+) communication failures", text)),
    }
    subprocess.run(["rm", "-rf", tmp])
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--build", default="build")
    ap.add_argument("--devices", type=int, default=200)
    ap.add_argument("--clients", type=int, default=20)
    ap.add_argument("--seconds", type=int, default=30)
    ap.add_argument("--interval-ms", type=int, default=1000)
    ap.add_argument("--requests", type=int, default=20)
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    for clients in (0, args.clients):
        r = run(args, clients)
        print("%d event clients (%d events received): GET /metrics %.1f ms median, %.1f ms worst, "
              "%d bytes; GET /api/history 10,000 records %.1f ms median, %.1f ms worst, %d bytes; "
              "worst poll delay %s ms; record times off the poll grid by at most %.0f ms; "
              "%d communication failures; qdx-host used %.0f %% of a core"
              % (clients, r["events"], *r["metrics"], *r["history"],
                 r["poll_delay_ms"] if r["poll_delay_ms"] is not None else "n/a",
                 r["grid_spread_ms"], r["failures"], r["cpu"]))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
