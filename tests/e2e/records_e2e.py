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
# ups3's sixth poll got a garbage line and the head of its reply in one read.
TRACE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "traces", "false_alarm.capture")
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

    def __init__(self, tmp, scenario="", seed=1, name="", args=()):
        self.log_path = os.path.join(tmp, "sim-%s.log" % (name or scenario))
        self.log = open(self.log_path, "w")
        argv = list(args) or ["--scenario", scenario, "--seed", str(seed)]
        self.proc = subprocess.Popen([os.path.join(BIN, "ups-sim"), *argv, "-v"],
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
               extra=None, name="site.json", count=1):
    """A site of count devices; device i has DATA_ID + i and the port port[i]
    when count > 1."""
    devices = []
    for i in range(count):
        device = {"name": "ups%d" % i if count > 1 else "ups", "type": dtype,
                  "data_id": DATA_ID + i, "port": port[i] if count > 1 else port,
                  "poll_interval_ms": poll_ms, "reply_timeout_ms": timeout_ms,
                  "settings": SETTINGS}
        device.update(extra or {})
        devices.append(device)
    site = {"plugins": [plugin or os.path.join(BIN, "zota_up2200.so")], "devices": devices}
    path = os.path.join(tmp, name)
    with open(path, "w") as f:
        json.dump(site, f)
    return path


def run_host(site, db, *args, timeout=60):
    cmd = [os.path.join(BIN, "qdx-host"), "--db", db, *args, site]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def start_host(site, db, *args, records=3):
    """A running qdx-host and its output up to its first published records."""
    host = subprocess.Popen([os.path.join(BIN, "qdx-host"), "--db", db, *args, site],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    atexit.register(host.kill)
    seen = ""
    while len(published(seen)) < records:
        line = host.stdout.readline()
        check(line, "qdx-host ended early", seen)
        seen += line
    return host, seen


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
    a restart replays the newest one through the cache without storing it again."""
    sim = Sim(tmp, "steady")
    db = os.path.join(tmp, "h.db")
    r = run_host(write_site(tmp, sim.path, timeout_ms=2000), db, "--cycles", "5")
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
    check(after == stored, "the replayed record was stored again", r.stdout)

    # Another device's record, or an old one, is not replayed and not stored again.
    def tamper(data_id, time_sql):
        con = sqlite3.connect(db)
        con.execute("UPDATE history SET data = ?, time = strftime('%Y-%m-%dT%H:%M:%fZ', " +
                    time_sql + "), time_ms = CAST((julianday(" + time_sql +
                    ") - 2440587.5) * 86400000 AS INTEGER) WHERE id = 5",
                    (struct.pack("<I", data_id) + after[4][3][4:],))
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
        check(published(r.stdout) == [] and len(rows(db)) == 5, "refused record replayed",
              r.stdout)


def check_sent(stored, replies, who, *outputs):
    """Every stored record (bytes 4 to 18) is the decode of a reply sent, in
    the order sent."""
    sent = [decode(r) for r in replies]
    at = 0
    for n, row in enumerate(stored):
        while at < len(sent) and sent[at] != row:
            at += 1
        check(at < len(sent), "%s: stored record %d (%s) is no reply the simulator sent"
              % (who, n + 1, row.hex()), *outputs)
        at += 1


def case_noisy(tmp):
    """Replies in random chunks with garbage lines between them: every stored
    record is a reply that was sent. A reply whose head came in one read with
    a garbage line is lost (more often on a loaded machine), never shifted."""
    sim = Sim(tmp, "noisy", seed=9)
    db = os.path.join(tmp, "h.db")
    r = run_host(write_site(tmp, sim.path, poll_ms=250, timeout_ms=2000), db, "--cycles", "15")
    sim.stop()
    check(r.returncode == 0, "qdx-host failed", r.stdout, r.stderr)
    with open(sim.log_path) as f:
        check("garbage line" in f.read(), "seed gives no garbage line; pick another")
    stored = check_history_matches(r.stdout, db, len(published(r.stdout)))
    check_sent([row[3][4:19] for row in stored], sim.replies(), "ups", r.stdout)
    check(len(stored) >= 10, "only %d of 15 replies stored" % len(stored), r.stdout)


def case_noisy_long(tmp):
    """Three noisy UPSs for 45 s store no record that differs from a reply
    their simulator sent, and lose few."""
    sims = [Sim(tmp, "noisy", seed=31 + i, name="noisy%d" % i) for i in range(3)]
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, [s.path for s in sims], poll_ms=250, timeout_ms=800, count=3)
    r = run_host(site, db, "--duration", "45", timeout=150)
    for sim in sims:
        sim.stop()
    check(r.returncode == 0, "qdx-host failed", r.stdout, r.stderr)
    stored = check_history_matches_ids(r.stdout, db, 3)
    for i, sim in enumerate(sims):
        mine = [row[3][4:19] for row in stored if row[0] == DATA_ID + i]
        check_sent(mine, sim.replies(), "ups%d" % i, r.stdout)
        check(len(mine) >= 45, "ups%d: only %d records in 45 s" % (i, len(mine)), r.stdout)


def check_history_matches_ids(out, db, count):
    stored = rows(db)
    check(len(published(out)) == len(stored), "%d records shown, %d stored"
          % (len(published(out)), len(stored)), out)
    for data_id, dtype, rtype, data in stored:
        check(DATA_ID <= data_id < DATA_ID + count and len(data) == 26 and rtype == 5035
              and struct.unpack("<I", data[:4])[0] == data_id, "bad history row %r"
              % ((data_id, dtype, rtype, data),))
    return stored


def case_crlf(tmp):
    """Lines ending in CR LF, the LF in a write of its own: the LF held before
    the next poll is dropped with it, so every reply decodes."""
    sim = Sim(tmp, "crlf", seed=4)
    db = os.path.join(tmp, "h.db")
    r = run_host(write_site(tmp, sim.path, poll_ms=100, timeout_ms=2000), db, "--cycles", "20")
    sim.stop()
    check(r.returncode == 0, "qdx-host failed", r.stdout, r.stderr)
    check("communication failure " not in r.stdout, "a reply was lost", r.stdout)
    stored = check_history_matches(r.stdout, db, 20)
    replies = sim.replies()
    check(len(replies) == 20, "%d replies sent" % len(replies))
    for reply, row in zip(replies, stored):
        check(row[3][4:19] == decode(reply), "record of %r decoded wrongly" % reply, r.stdout)


def windows(capture, device):
    """The received chunks after each poll of the device in a capture file."""
    out = []
    with open(capture) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            _, name, direction, data = line.split()
            if name != device:
                continue
            if direction == "tx":
                out.append([])
            elif out:
                out[-1].append(bytes.fromhex(data))
    return out


def check_replayed(stored, wins, who, *outputs):
    """Stored records come from whole reply lines of the windows, in order;
    each window whose first chunk starts a reply gives its record."""
    lines = [[line.decode() for line in b"".join(w).split(b"\r") if line.startswith(b"(")]
             for w in wins]
    check_sent(stored, [line for w in lines for line in w], who, *outputs)
    for w, reply in zip(wins, lines):
        if w and w[0].startswith(b"(") and reply:
            check(decode(reply[0]) in stored, "%s: reply %r not stored" % (who, reply[0]),
                  *outputs)


def case_replay(tmp):
    """A capture holds every byte sent and received and replays to the same
    records; the captured false-alarm trace stores no record of its shifted line."""
    sim = Sim(tmp, "noisy", seed=9)
    db = os.path.join(tmp, "h.db")
    cap = os.path.join(tmp, "noisy.capture")
    site = write_site(tmp, sim.path, poll_ms=250, timeout_ms=2000)
    r = run_host(site, db, "--cycles", "8", "--capture", cap)
    sim.stop()
    check(r.returncode == 0, "qdx-host failed", r.stdout, r.stderr)
    with open(cap) as f:
        text = f.read()
    check(text.startswith("# qdx-host capture 1: <usec> <device> <tx|rx> <hex bytes>\n"),
          "capture header missing", text)
    check(re.findall(r"^\d+ ups tx (\S+)$", text, re.M) == ["51310d"] * 8, "polls not captured",
          text)
    sent = []
    with open(sim.log_path) as f:
        for kind, line in re.findall(r"ups-sim: (garbage line|reply \d+:) (.*)", f.read()):
            # A garbage line is logged after its reply but goes out before it.
            sent.insert(len(sent) - (kind == "garbage line"), line + "\r")
    sent = "".join(sent)
    got = b"".join(b"".join(w) for w in windows(cap, "ups"))
    check(got == sent.encode(), "captured bytes differ from those sent", text)
    first = [row[3][4:19] for row in rows(db)]

    replay = Sim(tmp, name="replay", args=["--replay", cap])
    db2 = os.path.join(tmp, "h2.db")
    r = run_host(write_site(tmp, replay.path, poll_ms=250, timeout_ms=2000), db2, "--cycles", "8")
    replay.stop()
    check(r.returncode == 0, "qdx-host failed on the replay", r.stdout, r.stderr)
    check_replayed([row[3][4:19] for row in rows(db2)], windows(cap, "ups"), "replay", r.stdout)
    check(len(rows(db2)) <= len(first), "replay stored more than the original run", r.stdout)

    replay = Sim(tmp, name="trace", args=["--replay", TRACE, "--device", "ups3"])
    db3 = os.path.join(tmp, "h3.db")
    r = run_host(write_site(tmp, replay.path, poll_ms=250, timeout_ms=1000), db3, "--cycles", "8")
    replay.stop()
    check(r.returncode == 0, "qdx-host failed on the trace", r.stdout, r.stderr)
    stored = [row[3][4:19] for row in rows(db3)]
    check(all(struct.unpack("<H", row[:2])[0] >= 1000 for row in stored),
          "the shifted line was stored (input below 100 V)", r.stdout)
    check_replayed(stored, windows(TRACE, "ups3"), "trace", r.stdout)


def case_port_in_use(tmp):
    """A second controller on a port in use is refused, naming the port; the
    first one keeps every reply."""
    sim = Sim(tmp, "steady")
    site = write_site(tmp, sim.path, poll_ms=100, timeout_ms=2000)
    db = os.path.join(tmp, "h.db")
    host = subprocess.Popen([os.path.join(BIN, "qdx-host"), "--db", db, "--cycles", "20", site],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    atexit.register(host.kill)
    seen = ""
    while not published(seen):
        line = host.stdout.readline()
        check(line, "qdx-host ended early", seen)
        seen += line
    r = run_host(site, os.path.join(tmp, "h2.db"), "--cycles", "1")
    check(r.returncode != 0, "second controller ran", r.stdout, r.stderr)
    check("cannot open port %s: port in use" % sim.path in r.stderr,
          "second controller not told the port is in use", r.stdout, r.stderr)
    out, err = host.communicate(timeout=60)
    out = seen + out
    sim.stop()
    check(host.returncode == 0, "first controller failed", out, err)
    check("communication failure " not in out, "a reply was lost", out)
    check_history_matches(out, db, 20)


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
    check("lost (" in out, "loss not reported", out)
    again = re.search(r"opened \(new simulator, pid (\d+)\)", out)
    check(again is not None and again.group(1) != pid.group(1),
          "no new simulator started", out)
    check_history_matches(out, db, len(published(out)))
    check(len(published(out)) > 10, "polling did not resume", out)


def case_signal(tmp):
    """SIGTERM and SIGHUP stop the run cleanly with every shown record stored."""
    for sig in (signal.SIGTERM, signal.SIGHUP):
        db = os.path.join(tmp, "h-%d.db" % sig)
        site = write_site(tmp, "sim:normal", poll_ms=100)
        host, seen = start_host(site, db)
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


def case_lock(tmp):
    """Another program holds the history's write lock for 5 s: polling goes on,
    the records wait and are all stored, and the run ends well."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:steady", poll_ms=100)
    host, seen = start_host(site, db, "--duration", "9")
    con = sqlite3.connect(db, isolation_level=None, timeout=10)
    con.execute("BEGIN IMMEDIATE")
    held = len(published(seen))
    time.sleep(5)
    con.execute("COMMIT")
    con.close()
    out, err = host.communicate(timeout=40)
    out = seen + out
    check(host.returncode == 0, "qdx-host failed", out, err)
    check(len(published(out)) - held >= 40, "polling stopped while the lock was held", out)
    check(re.search(r"history: \d+ records stored in \d+ commits, [1-9]\d* written late", out),
          "late writes not reported", out)
    check_history_matches(out, db, len(published(out)))


def case_history_lost(tmp):
    """The history table is dropped under a running qdx-host: it stops at once,
    naming SQLite's reason, with a failure status."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:steady", poll_ms=100)
    host, seen = start_host(site, db)
    con = sqlite3.connect(db, isolation_level=None, timeout=10)
    con.execute("DROP TABLE history")
    con.close()
    out, err = host.communicate(timeout=20)
    check(host.returncode == 1, "exit status %d" % host.returncode, seen + out, err)
    check("cannot store records: no such table: history" in err and "stopping" in err,
          "reason not given", err)


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
        ("capture not writable", ["--capture", tmp, write_site(tmp, name="e11.json", port="sim:steady:" + seed)],
         "cannot write capture " + tmp),
        ("capture of another device", [os.path.join(BIN, "ups-sim"), "--replay", TRACE, "--device", "ups9"],
         'holds no device "ups9" (it holds: ups2, ups3)'),
    ]
    for name, args, message in cases:
        if not args[0].endswith("ups-sim"):
            args = [os.path.join(BIN, "qdx-host"), *(args if "--db" in args else ["--db", db, *args])]
        r = subprocess.run(args,
                           capture_output=True, text=True, timeout=20)
        check(r.returncode != 0, name + ": exit status 0", r.stdout, r.stderr)
        check(message in r.stderr, name + ": message lacks " + repr(message), r.stdout, r.stderr)
        check(published(r.stdout) == [], name + ": records published", r.stdout)
        check(not os.path.exists(db), name + ": history file created", r.stdout)
    check(not running_with(["--seed", seed]), "a simulator was left running")
    for prog in ("qdx-host", "ups-sim"):
        r = subprocess.run([os.path.join(BIN, prog), "--help"], capture_output=True, text=True)
        check(r.returncode == 0 and "--help" in r.stdout, prog + " --help failed", r.stdout)


CASES = {"history": case_history, "noisy": case_noisy, "noisy_long": case_noisy_long,
         "crlf": case_crlf, "replay": case_replay, "port_in_use": case_port_in_use,
         "port_lost": case_port_lost, "signal": case_signal, "pipe": case_pipe,
         "errors": case_errors, "lock": case_lock, "history_lost": case_history_lost}

if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv[2])
    with tempfile.TemporaryDirectory() as tmp:
        CASES[sys.argv[1]](tmp)
    print("ok")
