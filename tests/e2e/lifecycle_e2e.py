#!/usr/bin/env python3
"""A run of qdx-host from start to stop: bad input, a port in use, lost or
missing at start, stop signals, a reader that leaves: lifecycle_e2e.py CASE BUILD_DIR."""
import os
import re
import signal
import socket
import sqlite3
import subprocess
import time

import e2e_support as e
from e2e_support import (TRACE, Sim, check, check_history_matches, device, finish, program,
                         published, read_records, read_until, rows, run_host, spawn_host,
                         start_host, write_devices, write_site)


def case_port_in_use(tmp):
    """A second controller on a port in use is refused, naming the port; the
    first one keeps every reply."""
    sim = Sim(tmp, "steady")
    site = write_site(tmp, sim.path, poll_ms=100, timeout_ms=2000)
    db = os.path.join(tmp, "h.db")
    host, seen = start_host(site, db, "--cycles", "20", records=1)
    r = run_host(site, os.path.join(tmp, "h2.db"), "--cycles", "1")
    check(r.returncode != 0, "second controller ran", r.stdout, r.stderr)
    check("cannot open port %s: port in use" % sim.path in r.stderr,
          "second controller not told the port is in use", r.stdout, r.stderr)
    out, err = e.finish(host, 60)
    out = seen + out
    sim.stop()
    check(host.returncode == 0, "first controller failed", out, err)
    check("communication failure " not in out, "a reply was lost", out)
    check_history_matches(out, db, 20)


def case_port_lost(tmp):
    """The simulator dies mid-run: reported, restarted with back-off, nothing lost."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:normal:5", poll_ms=100, timeout_ms=300)
    host = spawn_host(site, db, "--duration", "4")
    first = read_until(host, "", lambda seen: "pid " in seen)
    pid = re.search(r"pid (\d+)\)", first)
    check(pid is not None, "no simulator pid shown", first)
    time.sleep(1.0)
    os.kill(int(pid.group(1)), signal.SIGKILL)
    out, err = finish(host, 20)
    out = first + out
    check(host.returncode == 0, "qdx-host failed", out, err)
    check("lost (" in out, "loss not reported", out)
    again = re.search(r"opened \(new simulator, pid (\d+)\)", out)
    check(again is not None and again.group(1) != pid.group(1),
          "no new simulator started", out)
    check_history_matches(out, db, len(published(out)))
    check(len(published(out)) > 10, "polling did not resume", out)


def case_port_gone(tmp):
    """A port lost for good (its line hung up, its path removed): each poll it
    misses is a failed cycle, so --cycles ends the run."""
    sim = Sim(tmp, "steady")
    line = os.path.join(tmp, "line")  # a path the test removes, never handed to another
    os.symlink(sim.path, line)
    site = e.write_devices(tmp, [e.device("ups", e.DATA_ID, poll_ms=100, settings=e.SETTINGS),
                                 e.device("gone", e.DATA_ID + 1, line, poll_ms=100,
                                          timeout_ms=300, settings=e.SETTINGS)])
    started = time.time()
    host = spawn_host(site, os.path.join(tmp, "h.db"), "--cycles", "20")
    out = e.read_until(host, "", lambda s: "gone (data id" in s)
    os.unlink(line)
    sim.stop()
    rest, err = e.finish(host, 30)
    out += rest
    check(host.returncode == 0, "exit status %d" % host.returncode, out, err)
    check(time.time() - started < 30, "the run went on", out)
    summary = re.search(r"gone \(data id %d\): 20 cycles, (\d+) records published, (\d+) "
                        r"communication failures" % (e.DATA_ID + 1), out)
    check(summary and int(summary.group(1)) + int(summary.group(2)) == 20,
          "missed polls not counted as failed cycles", out)


def case_port_missing(tmp):
    """A port not there at start is a lost line, not a refused site: the other
    device runs, the missing one is shown lost and is polled once a terminal
    appears at its path."""
    late = os.path.join(tmp, "ttyUSB7")
    started = time.monotonic()
    host = e.Host(tmp, [device("ups", e.DATA_ID, poll_ms=500, settings=e.SETTINGS),
                        device("late", e.DATA_ID + 1, late, poll_ms=500, settings=e.SETTINGS)],
                  "--quiet-polls")
    # Read before the stop: what the reader holds is not handed on after it.
    host.out = e.read_until(host.proc, host.out, lambda s: "event link_lost: late" in s)

    def links():
        return {d["name"]: d for d in host.json("/api/devices")["devices"]}
    shown = e.until("the missing port shown lost", lambda: (
        lambda ds: ds if ds["late"]["link"] in ("lost", "reopening")
        and ds["ups"]["counters"]["records"] >= 2 else None)(links()))
    check(shown["ups"]["link"] == "ok", "the other device is not ok", shown)
    metrics = host.get("/metrics")[2]
    check(re.search(r'qdx_device_link_state\{device="late",[^}]*state="(lost|reopening)"\} 1',
                    metrics), "link state not in /metrics", metrics)
    sim = Sim(tmp, "steady", name="late")
    os.symlink(sim.path, late)
    e.until("records of the late device", lambda: links()["late"]["counters"]["records"] >= 3,
            timeout=20)
    host.out = e.read_until(host.proc, host.out, lambda s: "port %s opened" % late in s)
    e.until("30 records of the other device",
            lambda: host.json("/api/history?device=ups")["count"] >= 30,
            timeout=max(1, 40 - (time.monotonic() - started)))
    host.stop()
    sim.stop()
    check(host.out.count("port %s missing at start (No such file or directory)" % late) == 1,
          "missing port not said once at start", host.out)
    stored = [r[0] for r in rows(os.path.join(tmp, "h.db"))]
    check(stored.count(e.DATA_ID) >= 30 and stored.count(e.DATA_ID + 1) >= 3,
          "records not stored", host.out)


def case_signal(tmp):
    """SIGTERM and SIGHUP stop the run cleanly with every shown record stored."""
    for sig in (signal.SIGTERM, signal.SIGHUP):
        db = os.path.join(tmp, "h-%d.db" % sig)
        site = write_site(tmp, "sim:normal", poll_ms=100)
        host, seen = start_host(site, db)
        host.send_signal(sig)
        out, err = e.finish(host, 10)
        out = seen + out
        check(host.returncode == 0, "stop was not clean", out, err)
        check("%s received" % sig.name in out and "records published" in out,
              "signal or summary not reported", out)
        check_history_matches(out, db, len(published(out)))


def case_pipe(tmp):
    """A reader that leaves (| head -3) stops neither polling nor storing."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:steady", poll_ms=50)
    cmd = "set -o pipefail; '%s' --db '%s' --cycles 30 '%s' | head -3" % (
        program("qdx-host"), db, site)
    r = subprocess.run(["bash", "-c", cmd], capture_output=True, text=True, timeout=30)
    check(r.returncode == 0, "exit status %d" % r.returncode, r.stdout, r.stderr)
    check(len(r.stdout.splitlines()) == 3, "head saw other than 3 lines", r.stdout)
    check(r.stderr.count("standard output: Broken pipe") == 1, "output error not reported once",
          r.stderr)
    summary = re.search(r"30 cycles, (\d+) records published", r.stderr)
    check(summary is not None, "summary not on standard error", r.stderr)
    check(0 < int(summary.group(1)) == len(rows(db)), "published and stored differ", r.stderr)


def case_plugin_lines(tmp):
    """The plug-in's own lines, std::cout and printf alike, keep their order
    with ours: each reply shows strToSplit, cData.state, rvSize, then its record
    (told once the cycle is done)."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, ["sim:steady"] * 5, poll_ms=50, count=5)
    r = run_host(site, db, "--cycles", "40")
    check(r.returncode == 0, "exit status %d" % r.returncode, r.stdout[-3000:], r.stderr)
    marks = ("strToSplit:", "cData.state is ", "rvSize is ", "  record 5035: ")
    seen = [m for line in r.stdout.splitlines() for m in marks if m in line]
    check(seen == list(marks) * 200, "plug-in lines out of order or missing", r.stdout[-3000:])
    # Left out on demand or under a service manager, given back on demand.
    for args, env, shown in ((["--plugin-lines", "off"], {}, False),
                             ([], {"NOTIFY_SOCKET": os.path.join(tmp, "nobody")}, False),
                             (["--quiet-polls", "--plugin-lines", "on"], {}, True)):
        r = run_host(site, db, "--cycles", "2", *args, env=dict(os.environ, **env))
        out = r.stdout + r.stderr
        check(r.returncode == 0, "exit status %d" % r.returncode, out)
        for mark in ("InitSetting", "strToSplit:", "cData.state is ", "rvSize is "):
            check((mark in out) == shown, "%r %s with %s" % (mark, "missing" if shown else "shown",
                                                             args or env), out)
        check(("  record 5035: " in out) != ("--quiet-polls" in args), "record lines", args, out)


def case_quiet_polls(tmp):
    """--quiet-polls leaves out the record lines, the plug-in's own lines and
    a silent line's repeated failures; the start, alarms, the first failure and
    the summary stay, and every record is stored."""
    db = os.path.join(tmp, "h.db")
    site = write_devices(tmp, [device("ups", 4242, "sim:utility-failure", poll_ms=100),
                               device("dead", 4243, "sim:silent", poll_ms=100, timeout_ms=50)])
    r = run_host(site, db, "--quiet-polls", "--cycles", "60")
    out = r.stdout + r.stderr
    check(r.returncode == 0, "exit status %d" % r.returncode, out)
    for mark in ("strToSplit:", "cData.state is ", "rvSize is ", "record 5035: ", "InitSetting",
                 "communication failure 2"):
        check(mark not in out, "per-poll line %r shown" % mark, out)
    for mark in ("zota_up2200 on ", "ALARM RAISED input voltage", "communication failure 1",
                 "60 cycles, 0 records", "history: "):
        check(mark in out, "line %r left out" % mark, out)
    check(out.count("ALARM RAISED input voltage") == 1, "an alarm printed twice", out)
    stored = re.search(r"history: (\d+) records stored", r.stdout)
    check(stored is not None and int(stored.group(1)) == len(rows(db)) > 30,
          "records not all stored", r.stdout)


def notifications(sock, until, want=None):
    """The service manager's messages until the deadline, or until one holds want."""
    got = []
    while time.monotonic() < until:
        sock.settimeout(max(0.01, until - time.monotonic()))
        try:
            got.append(sock.recv(4096).decode())
        except socket.timeout:
            break
        if want and want in got[-1]:
            break
    return got


def case_service(tmp):
    """Under a service manager: while another program holds the history's write
    lock at start, qdx-host polls and feeds the watchdog with a status line but
    is not ready; READY=1 follows once the lock clears. SIGHUP changes nothing;
    SIGTERM tells STOPPING=1 and stores every record."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, ["sim:steady"] * 2, poll_ms=100, count=2)
    check(run_host(site, db, "--cycles", "2").returncode == 0, "history not made")
    before = len(rows(db))
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(os.path.join(tmp, "notify"))
    env = dict(os.environ, NOTIFY_SOCKET=os.path.join(tmp, "notify"), WATCHDOG_USEC="900000")
    con = sqlite3.connect(db, isolation_level=None, timeout=10)
    con.execute("BEGIN IMMEDIATE")
    host = spawn_host(site, db, env=env)
    seen = read_records(host, "", 10)
    locked = "\n".join(notifications(sock, time.monotonic() + 1.5))
    con.execute("COMMIT")
    con.close()
    check("READY=1" not in locked, "ready while the history was locked", locked)
    for want in ("WATCHDOG=1", "EXTEND_TIMEOUT_USEC=", "STATUS=waiting for the history",
                 "2 devices, 2 ok, newest record "):
        check(want in locked, "no %r while the history was locked" % want, locked)
    ready = notifications(sock, time.monotonic() + 10, "READY=1")
    check(ready and "READY=1" in ready[-1], "not ready once the lock cleared", *ready)
    host.send_signal(signal.SIGHUP)
    # Read up to the answer: what is read ahead of a line and not taken by the end is lost.
    seen = read_until(host, seen, lambda s: "SIGHUP received, ignored" in s)
    seen = read_records(host, seen, len(published(seen)) + 10)
    host.send_signal(signal.SIGTERM)
    out, err = e.finish(host, 40)
    out = seen + out
    check(host.returncode == 0, "stop was not clean", out, err)
    check("SIGHUP received, ignored" in out and out.count("received, shutting down") == 1,
          "SIGHUP not ignored", out)
    stopping = notifications(sock, time.monotonic() + 1, "STOPPING=1")
    check(any("STOPPING=1" in m for m in stopping), "STOPPING=1 not told", *stopping)
    shown = sum(int(n) for n in re.findall(r"cycles, (\d+) records published", out))
    cached = len([m for m in published(out) if m.group(2)])
    check(len(rows(db)) == before + shown - cached, "records lost: %d stored before, %d "
          "published, %d replayed, %d stored" % (before, shown, cached, len(rows(db))), out)


def running_with(args):
    """Whether a process runs whose command line holds args in a row."""
    want = "\0".join(args).encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if want in f.read():
                    return True
        except OSError:
            pass
    return False


def case_errors(tmp):
    """Bad input fails at start with a message naming it, leaving nothing running."""
    db = os.path.join(tmp, "h.db")
    bad_json = os.path.join(tmp, "bad.json")
    with open(bad_json, "w") as f:
        f.write('{"plugins": ["x.so"], "devices": [ }')
    not_so = os.path.join(tmp, "notes.so")
    with open(not_so, "w") as f:
        f.write("not a shared object")
    seed = "314159"
    cases = [
        ("missing site file", [os.path.join(tmp, "none.json")], "cannot read site file"),
        ("malformed site file", [bad_json], "bad.json: not valid JSON"),
        ("unknown device type", [write_site(tmp, name="e1.json", port="sim:steady:" + seed, dtype="ups9000")],
         'unknown device type "ups9000"'),
        ("missing plug-in", [write_site(tmp, name="e2.json", port="/dev/null", plugin=os.path.join(tmp, "no.so"))],
         "cannot load plug-in " + os.path.join(tmp, "no.so")),
        ("not a plug-in", [write_site(tmp, name="e3.json", port="/dev/null", plugin=not_so)],
         "cannot load plug-in " + not_so),
        ("port is no device", [write_site(tmp, name="e4.json", port=tmp)],
         "cannot open port %s: not a character device" % tmp),
        ("port is no terminal", [write_site(tmp, name="e5.json", port="/dev/null")], "cannot open port /dev/null"),
        ("bad key", [write_site(tmp, name="e6.json", port="/dev/null", extra={"data_id": "x"})], '"data_id" must be'),
        ("unknown key", [write_site(tmp, name="e7.json", port="/dev/null", extra={"baud": 9600})],
         '"baud" is not a known key'),
        ("bad settings", [write_site(tmp, name="e8.json", port="/dev/null",
                                     extra={"settings": {"aoSetting": {"a": {"absDelta": "x"}}}})],
         "settings.aoSetting.a.absDelta: must be a number"),
        ("unknown scenario", [write_site(tmp, name="e9.json", port="sim:sunny")], 'unknown scenario "sunny"'),
        ("database not writable", ["--db", tmp, write_site(tmp, name="e10.json", port="sim:steady:" + seed)],
         "history database " + tmp),
        ("capture not writable", ["--capture", tmp, write_site(tmp, name="e11.json", port="sim:steady:" + seed)],
         "cannot write capture " + tmp),
        ("history in no file", ["--db", "", write_site(tmp, name="e12.json", port="sim:steady:" + seed)],
         '--db "": names no file'),
        ("capture onto the history's log", ["--capture", db + "-wal",
                                            write_site(tmp, name="e13.json", port="sim:steady:" + seed)],
         "cannot write capture %s-wal: it is the history database's wal file" % db),
        ("capture of another device", [program("ups-sim"), "--replay", TRACE, "--device", "ups9"],
         'holds no device "ups9" (it holds: ups2, ups3)'),
    ]
    for name, args, message in cases:
        if not args[0].endswith("ups-sim"):
            args = [program("qdx-host"), *(args if "--db" in args else ["--db", db, *args])]
        r = subprocess.run(args,
                           capture_output=True, text=True, timeout=20)
        check(r.returncode != 0, name + ": exit status 0", r.stdout, r.stderr)
        check(message in r.stderr, name + ": message lacks " + repr(message), r.stdout, r.stderr)
        check(published(r.stdout) == [], name + ": records published", r.stdout)
        check(not os.path.exists(db), name + ": history file created", r.stdout)
    check(not running_with(["--seed", seed]), "a simulator was left running")
    for prog in ("qdx-host", "ups-sim"):
        r = subprocess.run([program(prog), "--help"], capture_output=True, text=True)
        check(r.returncode == 0 and "--help" in r.stdout, prog + " --help failed", r.stdout)
    r = subprocess.run([program("qdx-host"), "--version"], capture_output=True, text=True)
    check(r.returncode == 0 and re.fullmatch(r"qdx-host \d+\.\d+\.\d+\n", r.stdout),
          "--version failed", r.stdout, r.stderr)


if __name__ == "__main__":
    e.main({"port_in_use": case_port_in_use, "port_lost": case_port_lost,
            "port_gone": case_port_gone, "port_missing": case_port_missing, "signal": case_signal, "pipe": case_pipe,
            "plugin_lines": case_plugin_lines, "errors": case_errors,
            "quiet_polls": case_quiet_polls, "service": case_service})
