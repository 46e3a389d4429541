#!/usr/bin/env python3
"""No gap in monitoring, end to end: gaps_e2e.py CASE BUILD_DIR. A stalled
reader of standard output, a line that never stops sending, a line that
takes no output, closed standard descriptors, misspelt settings and late
replies."""
import fcntl
import json
import os
import re
import signal
import sqlite3
import subprocess
import time
from datetime import datetime

import e2e_support as e
from e2e_support import (DATA_ID, SETTINGS, Sim, check, device, http_get, program, read_records,
                         rows, run_host, spawn_host, start_host, write_devices, write_site)

F_SETPIPE_SZ = 1031
STALL_S = 5
MAX_GAP_S = 0.5
FULL_LINE_S = 20


def stored_times(db, data_id):
    con = sqlite3.connect(db)
    try:
        times = [t for (t,) in con.execute(
            "SELECT time FROM history WHERE data_id = ? ORDER BY id", (data_id,))]
    finally:
        con.close()
    return [datetime.fromisoformat(t.rstrip("Z")).timestamp() for t in times]


def case_stalled(tmp):
    """A reader that stops reading for a while holds up neither polling nor
    storing: no gap over 0.5 s, the dropped lines are counted once it is back.
    A babbling third line fills the buffer with the plug-in's lines."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, ["sim:steady", "sim:steady", "sim:babble"], poll_ms=50, count=3)
    r, w = os.pipe()
    fcntl.fcntl(w, F_SETPIPE_SZ, 4096)  # full after a few lines
    host = spawn_host(site, db, "--duration", str(STALL_S + 2), stdout=w)
    os.close(w)
    time.sleep(STALL_S)
    with os.fdopen(r, encoding="utf-8", errors="replace") as reader:
        out = reader.read()
    err = host.communicate(timeout=30)[1]
    check(host.returncode == 0, "exit status %d" % host.returncode, out, err)
    check(re.search(r"qdx-host: [\d,]+ output lines dropped \(reader too slow\)", out),
          "dropped lines not told", out[-3000:])
    check(re.search(r"output: [\d,]+ lines dropped \(reader too slow\)", out),
          "summary lacks the dropped lines", out[-3000:])
    for data_id in (DATA_ID, DATA_ID + 1):
        times = stored_times(db, data_id)
        check(len(times) > 20, "only %d records stored" % len(times), out[-3000:])
        gap = max(b - a for a, b in zip(times, times[1:]))
        if not e.instrumented():
            check(gap <= MAX_GAP_S, "data id %d: %.2f s without a record" % (data_id, gap),
                  out[-3000:])


def case_babble(tmp):
    """A line that never stops sending gets its polls and counted failures,
    said once, and --cycles ends the run."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:babble", poll_ms=100, timeout_ms=300)
    r = run_host(site, db, "--cycles", "5", timeout=60)
    check(r.returncode == 0, "exit status %d" % r.returncode, r.stdout[-3000:], r.stderr)
    check("ups (data id %d): 5 cycles, 0 records published, 5 communication failures"
          % DATA_ID in r.stdout, "polls not made or failures not counted", r.stdout[-3000:])
    check(len(re.findall(r"line keeps sending: [\d,]+ bytes discarded before poll", r.stdout)) == 1,
          "babbling not told exactly once", r.stdout[-3000:])


def http_built():
    with open(program("CMakeCache.txt")) as f:
        return "ZOTA_HAVE_HTTP:INTERNAL=ON\n" in f


def case_full_line(tmp):
    """A line whose output queue stays full (nobody reads its other side) fails
    its own polls, named once, and holds up no other device: no gap over
    200 ms between the healthy device's records."""
    master, slave = os.openpty()  # the test's end of the line, kept full through it
    os.set_blocking(slave, False)
    db = os.path.join(tmp, "h.db")
    site = write_devices(tmp, [
        device("ups", DATA_ID, "sim:steady", poll_ms=50, settings=SETTINGS),
        device("stuck", DATA_ID + 1, os.ttyname(slave), poll_ms=200, timeout_ms=500,
               settings=SETTINGS)])
    http = ["--http", "127.0.0.1:0"] if http_built() else []
    out_path = os.path.join(tmp, "out.txt")
    with open(out_path, "w") as f:  # read after the run: the test is busy filling the line
        host = spawn_host(site, db, "--duration", str(FULL_LINE_S), *http, stdout=f)
    page = re.compile(r"status page at http://127.0.0.1:(\d+)/")
    api = None
    deadline = time.time() + FULL_LINE_S + 5
    while host.poll() is None and time.time() < deadline:  # bounded by the run
        try:
            while True:  # what the controller's open flushed, filled again
                os.write(slave, b"x" * 4096)
        except BlockingIOError:
            pass
        if http and api is None and time.time() > deadline - FULL_LINE_S / 2:
            with open(out_path) as f:
                port = int(page.search(f.read()).group(1))
            api = json.loads(http_get(port, "/api/devices")[2])["devices"][1]
        time.sleep(0.1)
    err = host.communicate(timeout=30)[1]
    with open(out_path) as f:
        out = f.read()
    check(host.returncode == 0, "exit status %d" % host.returncode, out[-3000:], err)
    check(len(re.findall(r"stuck \(data id %d\): line takes no output: " % (DATA_ID + 1), out))
          == 1, "full line not told exactly once", out[-3000:])
    summary = re.search(r"stuck \(data id %d\): (\d+) cycles, 0 records published, (\d+) "
                        r"communication failures" % (DATA_ID + 1), out)
    check(summary and summary.group(1) == summary.group(2) != "0", "failures not counted",
          out[-3000:])
    if http:
        check(api["link"] == "timeout" and api["counters"]["failures"] > 0,
              "stuck link not shown as timeout", api)
    con = sqlite3.connect(db)
    try:
        times = [t for (t,) in con.execute(
            "SELECT time_ms FROM history WHERE data_id = ? ORDER BY id", (DATA_ID,))]
    finally:
        con.close()
    check(len(times) > 20, "only %d records stored" % len(times), out[-3000:])
    gap = max(b - a for a, b in zip(times, times[1:]))
    if not e.instrumented():
        check(gap <= 200, "%d ms without a record" % gap, out[-3000:])
    os.close(master)


def case_closed_fds(tmp):
    """Started with standard output and error closed, qdx-host puts nothing but
    polls on the line."""
    sim = Sim(tmp, "steady")
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, sim.path, poll_ms=100, timeout_ms=2000)
    cmd = "exec '%s' --db '%s' --cycles 3 '%s' >&- 2>&-" % (
        program("qdx-host"), db, site)
    r = subprocess.run(["bash", "-c", cmd], timeout=30)
    sim.stop()
    check(r.returncode == 0, "exit status %d" % r.returncode)
    with open(sim.log_path) as f:
        log = f.read()
    check("ignored" not in log and len(sim.replies()) == 3, "the line got more than polls", log)
    check(len(rows(db)) == 3, "records not stored", log)


def case_settings(tmp):
    """Each misspelt key is refused by name, with the near one suggested, and
    no history file is made."""
    db = os.path.join(tmp, "h.db")
    at = "settings.thresholdSetting.2A2615101001."
    for n, (settings, message) in enumerate([
            ({"thresholdSetting": {"2A2615101001": {"valeu": 180}}},
             at + 'valeu: unknown key; did you mean "value"?'),
            ({"thresholdSetting": {"2A2615101001": {"value": 180, "Low": True}}},
             at + 'Low: unknown key; did you mean "low"?'),
            ({"aoSetting": {"2A2615101001": {"absEnabld": True}}},
             'settings.aoSetting.2A2615101001.absEnabld: unknown key; did you mean "absEnabled"?'),
    ]):
        site = write_site(tmp, "sim:steady", extra={"settings": settings}, name="s%d.json" % n)
        r = run_host(site, db, "--cycles", "1")
        check(r.returncode != 0, "misspelt key taken", r.stdout, r.stderr)
        check('s%d.json: device "ups": %s' % (n, message) in r.stderr, "message lacks the key",
              r.stderr)
        check(not os.path.exists(db), "history file created", r.stdout)


def case_late(tmp):
    """Replies that come after their timeout stay failures, are published and
    counted as late, and the link is back to ok when they arrive."""
    sim = Sim(tmp, name="late", args=["--scenario", "late", "--late-ms", "500"])
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, sim.path, poll_ms=1000, timeout_ms=400)
    host = spawn_host(site, db, "--cycles", "4", "--http", "127.0.0.1:0")
    out = read_records(host, "", 1)
    port = re.search(r"status page at http://127.0.0.1:(\d+)/", out).group(1)
    ups = None
    for _ in range(40):  # bounded: a late record comes every second
        ups = json.loads(http_get(int(port), "/api/devices")[2])["devices"][0]
        if ups["link"] == "ok" and ups["counters"]["late"] >= 1:
            break
        time.sleep(0.05)
    check(ups["link"] == "ok" and ups["counters"]["late"] >= 1, "late reply not shown", ups)
    rest, err = e.finish(host, 30)
    out += rest
    sim.stop()
    check(host.returncode == 0, "exit status %d" % host.returncode, out, err)
    summary = re.search(r"4 cycles, (\d) records published, 4 communication failures, "
                        r"(\d) late replies", out)
    check(summary and summary.group(1) == summary.group(2) != "0", "summary", out)


def case_signals(tmp):
    """SIGTERM then SIGINT: the first one is named, and the second ends a wait
    for the history. ups-sim blocked writing to a terminal nobody reads stops
    on SIGTERM within a second. A start that blocks (its site file a FIFO
    nobody writes) ends by SIGTERM all the same."""
    host, seen = start_host(write_site(tmp, "sim:steady", poll_ms=100), os.path.join(tmp, "h.db"))
    host.send_signal(signal.SIGTERM)
    time.sleep(0.1)  # sent at once, the kernel hands over the lower number first
    host.send_signal(signal.SIGINT)
    out = seen + e.finish(host, 10)[0]
    check("qdx-host: SIGTERM received" in out and "SIGINT received" not in out,
          "the first signal not named", out)

    # A second signal ends the wait for a database locked elsewhere, counting
    # what is left as not stored.
    db = os.path.join(tmp, "locked.db")
    host, seen = start_host(write_site(tmp, "sim:steady", poll_ms=100), db)
    con = sqlite3.connect(db, isolation_level=None, timeout=10)
    con.execute("BEGIN IMMEDIATE")
    time.sleep(0.5)  # records queue up behind the lock
    host.send_signal(signal.SIGTERM)
    time.sleep(0.5)
    started = time.time()
    host.send_signal(signal.SIGINT)
    out, err = e.finish(host, 20)
    con.execute("ROLLBACK")
    con.close()
    check(time.time() - started < 5, "the second signal did not end the wait", out, err)
    check(host.returncode == 1 and re.search(r"\d+ not stored", seen + out + err),
          "records left not counted", out, err)

    fifo = os.path.join(tmp, "fifo.json")
    os.mkfifo(fifo)
    for args in ((), ("notify-test",)):
        host = subprocess.Popen([e.program("qdx-host"), *args, "--db", os.path.join(tmp, "f.db"),
                                 fifo], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(0.5)
        host.send_signal(signal.SIGTERM)
        out, err = host.communicate(timeout=10)
        check(host.returncode == -signal.SIGTERM and "SIGTERM received" in err,
              "a blocked start outlived SIGTERM", args, out, err)
    check(not os.path.exists(os.path.join(tmp, "f.db")), "a blocked start left a history")

    sim = Sim(tmp, "babble")  # nobody opens its terminal: its writes block
    time.sleep(0.5)
    sim.proc.send_signal(signal.SIGTERM)
    try:
        sim.proc.wait(1)
    except subprocess.TimeoutExpired:
        check(False, "ups-sim ignored SIGTERM")


if __name__ == "__main__":
    e.main({"stalled": case_stalled, "babble": case_babble, "full_line": case_full_line,
            "closed_fds": case_closed_fds, "settings": case_settings, "late": case_late,
            "signals": case_signals})
