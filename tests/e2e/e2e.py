#!/usr/bin/env python3
"""End-to-end checks of qdx-host against ups-sim: e2e.py CASE BUILD_DIR."""
import atexit
import json
import os
import re
import signal
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time

BIN = ""
DATA_ID = 4242
# The simulator's steady reply "(230.0 229.5 230.0 034 50.0 2.05 27.0 00001001" as
# record bytes 4 to 18.
STEADY_BYTES = bytes.fromhex("FC08F708FC085401F401CC000E0109")
RECORD_LINE = re.compile(r"\(data id (\d+)\)  (cached )?record 5035: ")
SETTINGS = {"appSetting": {"b_mode": 1}}


def fail(msg, *outputs):
    for out in outputs:
        sys.stderr.write(out if isinstance(out, str) else out.decode(errors="replace"))
    sys.stderr.write("\nFAIL: " + msg + "\n")
    sys.exit(1)


def check(cond, msg, *outputs):
    if not cond:
        fail(msg, *outputs)


class Sim:
    """A ups-sim started by the test, its pty path and its log."""

    def __init__(self, tmp, scenario, seed=1):
        self.log_path = os.path.join(tmp, "sim-%s.log" % scenario)
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(
            [os.path.join(BIN, "ups-sim"), "--scenario", scenario, "--seed", str(seed), "-v"],
            stdout=subprocess.PIPE, stderr=self.log)
        atexit.register(self.proc.kill)  # also when a check fails
        self.path = self.proc.stdout.readline().decode().strip()
        check(self.path.startswith("/dev/"), "ups-sim printed no terminal path")

    def replies(self):
        with open(self.log_path) as f:
            return re.findall(r"ups-sim: reply \d+: (.*)", f.read())

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)
        self.log.close()


def write_site(tmp, port, poll_ms=100, timeout_ms=600, dtype="zota_up2200", plugin=None,
               extra=None, name="site.json"):
    device = {"name": "ups", "type": dtype, "data_id": DATA_ID, "port": port,
              "poll_interval_ms": poll_ms, "reply_timeout_ms": timeout_ms, "settings": SETTINGS}
    device.update(extra or {})
    site = {"plugins": [plugin or os.path.join(BIN, "zota_up2200.so")], "devices": [device]}
    path = os.path.join(tmp, name)
    with open(path, "w") as f:
        json.dump(site, f)
    return path


def run_host(site, db, *args, timeout=20):
    cmd = [os.path.join(BIN, "qdx-host"), "--db", db, *args, site]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def rows(db):
    con = sqlite3.connect(db)
    try:
        return con.execute(
            "SELECT data_id, device_type, record_type, data FROM history ORDER BY id").fetchall()
    finally:
        con.close()


def published(stdout):
    return [m for m in RECORD_LINE.finditer(stdout)]


def decode(reply):
    """Record bytes 4 to 18 as the driver builds them from a reply line."""
    f = reply[1:].split(" ")
    scaled = [int(float(f[i]) * s) & 0xFFFF for i, s in ((0, 10), (1, 10), (2, 10))]
    scaled.append((int(f[3]) * 10) & 0xFFFF)
    scaled += [int(float(f[i]) * s) & 0xFFFF for i, s in ((4, 10), (5, 100), (6, 10))]
    state = sum(0x80 >> i for i, c in enumerate(f[7][:8]) if c != "0")
    return struct.pack("<7HB", *scaled, state)


def check_history_matches(out, db, expect_rows):
    stored = rows(db)
    check(len(published(out)) == len(stored) == expect_rows,
          "%d records shown, %d stored, %d expected" % (len(published(out)), len(stored),
                                                        expect_rows), out)
    for data_id, dtype, rtype, data in stored:
        check(len(data) == 26 and rtype == 5035 and dtype == "zota_up2200",
              "bad history row %r" % ((data_id, dtype, rtype, data),))
        check(data_id == DATA_ID and struct.unpack("<I", data[:4])[0] == DATA_ID,
              "row does not carry the data id")
    return stored


def case_history(tmp):
    """N cycles store exactly the N published records with the reply's bytes;
    a restart replays the newest one through the cache."""
    sim = Sim(tmp, "steady")
    db = os.path.join(tmp, "h.db")
    r = run_host(write_site(tmp, sim.path), db, "--cycles", "5")
    check(r.returncode == 0, "qdx-host failed", r.stdout, r.stderr)
    stored = check_history_matches(r.stdout, db, 5)
    check(all(d[3][4:19] == STEADY_BYTES for d in stored), "stored bytes differ", r.stdout)
    sim.stop()

    quiet = Sim(tmp, "silent")
    r = run_host(write_site(tmp, quiet.path), db, "--cycles", "1")
    quiet.stop()
    check(r.returncode == 0, "restart failed", r.stdout, r.stderr)
    check("cached record 5035: input 230.0 V, fault 229.5 V, output 230.0 V, load 34.0 %, "
          "freq 50.0 Hz, battery 2.04 V, temp 27.0 \u00b0C; flags: standby type, beeper on" in r.stdout,
          "cached record not replayed", r.stdout)
    check("communication failure 1" in r.stdout, "silent UPS not reported", r.stdout)
    after = rows(db)
    check(len(after) == 6 and after[5][3][:19] == stored[4][3][:19],
          "replayed record not stored again", r.stdout)

    # Another device's record, or an old one, is not replayed and not stored again.
    def tamper(data_id, time_sql):
        con = sqlite3.connect(db)
        con.execute("UPDATE history SET data = ?, time = strftime('%Y-%m-%dT%H:%M:%fZ', " +
                    time_sql + ") WHERE id = 6",
                    (struct.pack("<I", data_id) + after[5][3][4:],))
        con.commit()
        con.close()

    for data_id, time_sql, why in ((7, "'now'", "it carries data id 7, not %d" % DATA_ID),
                                   (DATA_ID, "'now', '-3 days'",
                                    "stored 3 days ago, older than 300 s")):
        tamper(data_id, time_sql)
        quiet = Sim(tmp, "silent")
        r = run_host(write_site(tmp, quiet.path), db, "--cycles", "1")
        quiet.stop()
        check(r.returncode == 0, "restart failed", r.stdout, r.stderr)
        check("stored record not replayed: " + why in r.stdout, "refusal not shown", r.stdout)
        check(published(r.stdout) == [] and len(rows(db)) == 6, "refused record replayed",
              r.stdout)


def case_noisy(tmp):
    """Replies in random chunks with garbage lines between them all decode."""
    sim = Sim(tmp, "noisy", seed=9)
    db = os.path.join(tmp, "h.db")
    r = run_host(write_site(tmp, sim.path, poll_ms=250, timeout_ms=800), db, "--cycles", "15")
    sim.stop()
    check(r.returncode == 0, "qdx-host failed", r.stdout, r.stderr)
    with open(sim.log_path) as f:
        check("garbage line" in f.read(), "seed gives no garbage line; pick another")
    replies = sim.replies()
    stored = check_history_matches(r.stdout, db, 15)
    check(len(replies) == 15, "%d replies sent" % len(replies))
    check(re.search(r"communication failure \d", r.stdout) is None, "a reply was lost", r.stdout)
    for reply, row in zip(replies, stored):
        check(row[3][4:19] == decode(reply), "record of %r decoded wrongly" % reply)


def case_port_lost(tmp):
    """The simulator dies mid-run: reported, restarted with back-off, nothing lost."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:normal:5", poll_ms=100, timeout_ms=300)
    host = subprocess.Popen([os.path.join(BIN, "qdx-host"), "--db", db, "--duration", "4", site],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    atexit.register(host.kill)
    first = host.stdout.readline() + host.stdout.readline()
    pid = re.search(r"pid (\d+)\)", first)
    check(pid is not None, "no simulator pid shown", first)
    time.sleep(1.0)
    os.kill(int(pid.group(1)), signal.SIGKILL)
    out, err = host.communicate(timeout=20)
    out = first + out
    check(host.returncode == 0, "qdx-host failed", out, err)
    check("lost (" in out and "reopened" in out, "loss and reopening not reported", out)
    check_history_matches(out, db, len(published(out)))
    check(len(published(out)) > 10, "polling did not resume", out)


def case_signal(tmp):
    """SIGTERM and SIGHUP stop the run cleanly with every shown record stored."""
    for sig in (signal.SIGTERM, signal.SIGHUP):
        db = os.path.join(tmp, "h-%d.db" % sig)
        site = write_site(tmp, "sim:normal", poll_ms=100)
        host = subprocess.Popen([os.path.join(BIN, "qdx-host"), "--db", db, site],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        atexit.register(host.kill)
        seen = ""
        while len(published(seen)) < 3:
            line = host.stdout.readline()
            check(line, "qdx-host ended early", seen)
            seen += line
        host.send_signal(sig)
        out, err = host.communicate(timeout=10)
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
        os.path.join(BIN, "qdx-host"), db, site)
    r = subprocess.run(["bash", "-c", cmd], capture_output=True, text=True, timeout=30)
    check(r.returncode == 0, "exit status %d" % r.returncode, r.stdout, r.stderr)
    check(len(r.stdout.splitlines()) == 3, "head saw other than 3 lines", r.stdout)
    check(r.stderr.count("standard output: Broken pipe") == 1, "output error not reported once",
          r.stderr)
    summary = re.search(r"30 cycles, (\d+) records published", r.stderr)
    check(summary is not None, "summary not on standard error", r.stderr)
    check(0 < int(summary.group(1)) == len(rows(db)), "published and stored differ", r.stderr)


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
        ("port cannot be opened", [write_site(tmp, name="e4.json", port="/nonexistent/ttyUSB9")],
         "cannot open port /nonexistent/ttyUSB9"),
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
    ]
    for name, args, message in cases:
        args = args if "--db" in args else ["--db", db, *args]
        r = subprocess.run([os.path.join(BIN, "qdx-host"), *args],
                           capture_output=True, text=True, timeout=20)
        check(r.returncode != 0, name + ": exit status 0", r.stdout, r.stderr)
        check(message in r.stderr, name + ": message lacks " + repr(message), r.stdout, r.stderr)
        check(published(r.stdout) == [], name + ": records published", r.stdout)
    check(not running_with(["--seed", seed]), "a simulator was left running")
    for prog in ("qdx-host", "ups-sim"):
        r = subprocess.run([os.path.join(BIN, prog), "--help"], capture_output=True, text=True)
        check(r.returncode == 0 and "--help" in r.stdout, prog + " --help failed", r.stdout)


CASES = {"history": case_history, "noisy": case_noisy, "port_lost": case_port_lost,
         "signal": case_signal, "pipe": case_pipe, "errors": case_errors}

if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv[2])
    with tempfile.TemporaryDirectory() as tmp:
        CASES[sys.argv[1]](tmp)
    print("ok")
