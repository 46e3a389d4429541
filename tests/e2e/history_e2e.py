#!/usr/bin/env python3
"""qdx-host's history: what is stored and replayed, restarts, a lock held
elsewhere, a lost table or file, a stepped clock, and a full or small disk:
history_e2e.py CASE BUILD_DIR."""
import contextlib
import glob
import json
import os
import re
import select
import signal
import sqlite3
import struct
import subprocess
import threading
import time

import e2e_support as e
from e2e_support import (DATA_ID, SKIP, Sim, check, check_history_matches, digest, http_get,
                         published, read_records, rows, run_host, spawn_host, start_host,
                         write_site)

# The simulator's steady reply "(230.0 229.5 230.0 034 50.0 2.05 27.0 00001001" as
# record bytes 4 to 18.
STEADY_BYTES = bytes.fromhex("FC08F708FC085401F401CC000E0109")


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


def case_restarts(tmp):
    """Three starts of 2 cycles store 6 rows: the record replayed at start is
    not stored again. Starts that fail on the capture or a port leave the
    history as it was."""
    sim = Sim(tmp, "steady")
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, sim.path, timeout_ms=2000)
    for n in range(3):
        r = run_host(site, db, "--cycles", "2")
        check(r.returncode == 0, "start %d failed" % n, r.stdout, r.stderr)
        check((n > 0) == ("cached record 5035" in r.stdout), "cache replay not as expected", r.stdout)
    sim.stop()
    check(len(rows(db)) == 6, "%d rows for 6 records read" % len(rows(db)))

    before = digest(db)
    notes = os.path.join(tmp, "notes.txt")
    with open(notes, "w") as f:
        f.write("keep me\n")
    for args, message in ((["--capture", db], "it is the history database"),
                          (["--capture", notes], "is no capture"),
                          ([], "cannot open port %s: not a character device" % tmp)):
        bad = site if args else write_site(tmp, tmp, name="bad.json")
        r = run_host(bad, db, *args)
        check(r.returncode != 0 and message in r.stderr, "start not refused: " + message,
              r.stdout, r.stderr)
        check(digest(db) == before, "a failed start changed the history: " + message, r.stdout)
    with open(notes) as f:
        check(f.read() == "keep me\n", "a file that is no capture was overwritten")


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
    out, err = e.finish(host, 40)
    out = seen + out
    check(host.returncode == 0, "qdx-host failed", out, err)
    check(len(published(out)) - held >= 40, "polling stopped while the lock was held", out)
    check(re.search(r"history: \d+ records stored in \d+ commits, [1-9]\d* written late", out),
          "late writes not reported", out)
    check_history_matches(out, db, len(published(out)))


def case_history_lost(tmp):
    """The history table is dropped under a running qdx-host: storing stops at
    once, naming SQLite's reason; polling goes on to the end, whose status
    says the records were not all stored."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:steady", poll_ms=100)
    host, seen = start_host(site, db, "--duration", "6")
    con = sqlite3.connect(db, isolation_level=None, timeout=10)
    con.execute("DROP TABLE history")
    con.close()
    held = len(published(seen))
    out, err = e.finish(host, 20)
    check(host.returncode == 1, "exit status %d" % host.returncode, seen + out, err)
    check("cannot store records: no such table: history" in err and "stopping" in err,
          "reason not given", err)
    check(len(published(seen + out)) - held >= 40, "polling stopped with the history", out, err)


def case_file_deleted(tmp):
    """The history file deleted while running: said once, a new one made there,
    and every record published after the deletion stored in it."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:steady", poll_ms=100)
    host = spawn_host(site, db, text=False)
    out = b""

    def read_for(seconds, records=None):
        nonlocal out
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if records is not None and len(published(out.decode())) >= records:
                return
            ready, _, _ = select.select([host.stdout], [], [], 0.1)
            if ready:
                chunk = os.read(host.stdout.fileno(), 65536)
                check(chunk, "qdx-host ended early", out)
                out += chunk

    read_for(20, records=5)
    # Stopped, nothing is published: what was is all in the pipe.
    host.send_signal(signal.SIGSTOP)
    read_for(0.5)
    before = len(published(out.decode()))
    os.unlink(db)
    host.send_signal(signal.SIGCONT)
    read_for(20, records=before + 20)
    host.send_signal(signal.SIGTERM)
    rest, err = host.communicate(timeout=20)
    out = (out + rest).decode()
    check(host.returncode == 0, "exit status %d" % host.returncode, out, err)
    check(out.count("history database %s was deleted; storing in a new history at" % db) == 1,
          "loss not said once", out)
    total, new = len(published(out)), len(rows(db))
    check(total - before <= new <= total,
          "%d rows in the new file for %d records published after the deletion"
          % (new, total - before), out)


@contextlib.contextmanager
def small_fs(tmp, mib):
    """A tmpfs of mib MiB in tmp, unmounted at the end; None when not root or
    it cannot be mounted."""
    path = os.path.join(tmp, "small")
    os.mkdir(path)
    if os.geteuid() != 0 or subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=%dm" % mib, "tmpfs", path],
            capture_output=True).returncode != 0:
        yield None
        return
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", path], capture_output=True)


def with_history(site, history):
    with open(site) as f:
        doc = json.load(f)
    doc["history"] = history
    with open(site, "w") as f:
        json.dump(doc, f)
    return site


def max_id(db):
    con = sqlite3.connect(db)
    try:
        return con.execute("SELECT COALESCE(MAX(id), 0) FROM history").fetchone()[0]
    finally:
        con.close()


def case_disk_full(tmp):
    """An 8 MiB file system kept full by dd (run again every half second, as a
    program writing a log would take whatever is freed) while three devices
    are polled every 50 ms for 60 s: polling never stops, the oldest records
    make room, over a thousand records are stored after the disk filled, and
    qdx-host runs to its end with every record stored."""
    if e.instrumented():
        print("a sanitizer build; skipped")
        return SKIP
    with small_fs(tmp, 8) as fs:
        if fs is None:
            print("not root, or no tmpfs; skipped")
            return SKIP
        db = os.path.join(fs, "h.db")
        site = with_history(write_site(tmp, ["sim:steady"] * 3, poll_ms=50, count=3),
                            {"min_free_mb": 0})
        log = os.path.join(tmp, "out.txt")
        dd = ["dd", "if=/dev/zero", "of=" + os.path.join(fs, "fill"), "bs=16k", "oflag=append",
              "conv=notrunc"]
        stop = threading.Event()

        def refill():
            for _ in range(400):
                if stop.wait(0.5):
                    return
                subprocess.run(dd, capture_output=True)

        with open(log, "w") as out:
            host = spawn_host(site, db, "--duration", "60", stdout=out, stderr=subprocess.STDOUT)
            time.sleep(5)
            fill = subprocess.run(dd, capture_output=True, text=True)
            check("No space left" in fill.stderr, "dd did not fill the disk", fill.stderr)
            before = max_id(db)
            filler = threading.Thread(target=refill)
            filler.start()
            try:
                host.wait(timeout=120)
            finally:
                stop.set()
                filler.join()
        # Room for this test's own reading of the file (SQLite's shared memory).
        os.remove(os.path.join(fs, "fill"))
        with open(log) as f:
            out = f.read()
        check(host.returncode == 0, "exit status %d" % host.returncode, out)
        check(len(published(out)) >= 3 * 20 * 55, "polling stopped: %d records published"
              % len(published(out)), out)
        check(out.count("the disk is full") == 1, "the full disk not said once", out)
        check(re.search(r"history: removed \d+ records .* \(disk full\)", out),
              "no removal made room", out)
        con = sqlite3.connect(db)
        first, last = con.execute("SELECT MIN(id), MAX(id) FROM history").fetchone()
        con.close()
        check(first is not None and first > 1 and last - before > 1000,
              "ids %d to %d kept, %d when the disk filled" % (first, last, before), out)
        check(re.search(r"database busy \d+ times, disk full [1-9]\d* times\)", out),
              "the summary does not name the full disk", out)


def case_small_disk(tmp):
    """A 32 MiB file system and the default bounds: of the records two devices
    publish every 50 ms for 20 s, at least 90 % are kept."""
    with small_fs(tmp, 32) as fs:
        if fs is None:
            print("not root, or no tmpfs; skipped")
            return SKIP
        db = os.path.join(fs, "h.db")
        r = run_host(write_site(tmp, ["sim:steady"] * 2, poll_ms=50, count=2), db,
                     "--duration", "20")
        check(r.returncode == 0, "exit status %d" % r.returncode, r.stdout, r.stderr)
        shown, kept = len(published(r.stdout)), len(rows(db))
        check(shown >= 400 and kept >= 0.9 * shown, "%d of %d records kept" % (kept, shown),
              r.stdout)


def api_times(port, query):
    status, _, body = http_get(port, "/api/history?device=ups&limit=10000&" + query)
    check(status == 200, "status %d" % status, body)
    return [r["time"] for r in json.loads(body)["records"]]


def case_clock_step(tmp):
    """The wall clock stepped back an hour under a running qdx-host (libfaketime,
    the monotonic clock left real): polling goes on without a failure, every
    record is found by its own time, and a restart does not replay a record
    stored in its future."""
    lib = glob.glob("/usr/lib/*/faketime/libfaketime.so.1")
    if not lib or e.instrumented():
        print("libfaketime not installed or a sanitizer build; skipped")
        return SKIP
    offset = os.path.join(tmp, "offset")
    with open(offset, "w") as f:
        f.write("+0\n")
    env = dict(os.environ, LD_PRELOAD=lib[0], FAKETIME_TIMESTAMP_FILE=offset,
               FAKETIME_NO_CACHE="1", FAKETIME_DONT_FAKE_MONOTONIC="1")
    sim = Sim(tmp, "steady")
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, sim.path, poll_ms=100, timeout_ms=300)
    host = spawn_host(site, db, "--http", "127.0.0.1:0", env=env)
    seen = read_records(host, "", 20)
    with open(offset, "w") as f:
        f.write("-3600\n")
    seen = read_records(host, seen, 50)
    time.sleep(1.0)  # the last group committed
    port = int(re.search(r"status page at http://[^/]+:(\d+)/", seen).group(1))
    stored = [t for (t,) in sqlite3.connect(db).execute("SELECT time FROM history ORDER BY id")]
    back = next(i for i in range(1, len(stored)) if stored[i] < stored[i - 1])
    for part in (stored[:back], stored[back:]):
        got = api_times(port, "from=%s&to=%s" % (part[0], part[-1]))
        check(got == part, "%d of %d records found in their window" % (len(got), len(part)), seen)
    check(api_times(port, "from=%s&to=%s" % (stored[back], stored[back - 1])) == sorted(stored),
          "the whole span is not in time order", seen)
    host.send_signal(signal.SIGTERM)
    out, err = e.finish(host, 20)
    out = seen + out
    check(host.returncode == 0, "exit status %d" % host.returncode, out, err)
    check(", 0 communication failures" in out, "the step disturbed polling", out)

    newest = sqlite3.connect(db).execute("SELECT time FROM history ORDER BY id DESC").fetchone()[0]
    with open(offset, "w") as f:
        f.write("-7200\n")
    r = run_host(site, db, "--cycles", "1", env=env, timeout=30)
    sim.stop()
    check(r.returncode == 0, "restart failed", r.stdout, r.stderr)
    check("stored record not replayed: stored at %s, later than now" % newest in r.stdout,
          "a record from the future was replayed", r.stdout)


def stop_host(host, seen):
    """host stopped with SIGTERM; its whole output, checked for a clean end."""
    host.send_signal(signal.SIGTERM)
    out, err = e.finish(host, 30)
    out = seen + out
    check(host.returncode == 0, "exit status %d" % host.returncode, out, err)
    return out


def count_rows(db):
    con = sqlite3.connect(db)
    try:
        return con.execute("SELECT COUNT(*) FROM history").fetchone()[0]
    finally:
        con.close()


def case_moved(tmp):
    """The file moved away, then a backup of it moved onto the path, while
    running: the moved file, the file made meanwhile and the restored copy
    together hold every record, and the copy keeps all of its rows."""
    db = os.path.join(tmp, "h.db")
    host, seen = start_host(write_site(tmp, "sim:steady", poll_ms=50), db, records=10)
    copy = os.path.join(tmp, "copy.db")
    src, dst = sqlite3.connect(db), sqlite3.connect(copy)
    src.backup(dst)
    src.close()
    dst.close()
    kept = count_rows(copy)
    seen = read_records(host, seen, len(published(seen)) + 10)
    os.rename(db, db + ".old")
    seen = read_records(host, seen, len(published(seen)) + 20)
    between = os.path.join(tmp, "between.db")
    os.link(db, between)  # what the file made meanwhile holds stays readable
    os.rename(copy, db)
    seen = read_records(host, seen, len(published(seen)) + 20)
    out = stop_host(host, seen)
    check(out.count("was moved to %s.old; every record stored in it is kept there" % db) == 1,
          "move not said once", out)
    check(out.count("was replaced by another file; storing in the history found at") == 1,
          "replacement not said once", out)
    counts = [count_rows(db + ".old"), count_rows(between), count_rows(db) - kept]
    check(sum(counts) == len(published(out)) and min(counts) > 0,
          "rows %r for %d records published" % (counts, len(published(out))), out)


def case_foreign_file(tmp):
    """Something not a history moved onto the path while running: it is left
    untouched, records go to a history beside it, and the answers read them."""
    db = os.path.join(tmp, "h.db")
    host, seen = start_host(write_site(tmp, "sim:steady", poll_ms=50), db, "--http",
                            "127.0.0.1:0", records=10)
    port = int(re.search(r"status page at http://[^/]+:(\d+)/", seen).group(1))
    text = os.path.join(tmp, "notes.txt")
    with open(text, "w") as f:
        f.write("not a history\n")
    os.rename(text, db)
    seen = read_records(host, seen, len(published(seen)) + 30)
    time.sleep(1.0)  # the last group committed
    beside = [p for p in glob.glob(db + ".new-*") if not re.search(r"-(wal|shm|reserve)$", p)]
    check(len(beside) == 1, "no history beside the path: %r" % beside, seen)
    con = sqlite3.connect(beside[0])
    stored = [t for (t,) in con.execute("SELECT time FROM history ORDER BY id")]
    con.close()
    got = api_times(port, "from=%s&to=%s" % (stored[0], stored[-1]))
    check(got == stored, "%d of %d records stored beside answered" % (len(got), len(stored)), seen)
    stop_host(host, seen)
    with open(db) as f:
        check(f.read() == "not a history\n", "the file at the path was touched")


def case_log_deleted(tmp):
    """The log deleted while running: said once, and no committed record is lost."""
    db = os.path.join(tmp, "h.db")
    host, seen = start_host(write_site(tmp, "sim:steady", poll_ms=50), db, records=20)
    os.unlink(db + "-wal")
    seen = read_records(host, seen, len(published(seen)) + 40)
    out = stop_host(host, seen)
    check(out.count("its log was deleted or replaced; every stored record was saved") == 1,
          "loss of the log not said once", out)
    check_history_matches(out, db, len(published(out)))


def case_sqlite_times(tmp):
    """Rows another program added with SQLite's own time text keep their time
    and stay; one whose time cannot be read stays too and is said once."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:steady", poll_ms=100)
    check(run_host(site, db, "--cycles", "2").returncode == 0, "first run failed")
    con = sqlite3.connect(db)
    insert = ("INSERT INTO history(data_id, device_type, record_type, time, data) "
              "VALUES(7, 'other', 1, %s, x'00')")
    for i in range(50):
        con.execute(insert % ("datetime('now')" if i % 2 else "strftime('%Y-%m-%d %H:%M:%f', 'now')"))
    con.execute(insert % "'yesterday-ish'")
    con.commit()
    con.close()
    now_ms = time.time() * 1000
    r = run_host(site, db, "--duration", "3")
    check(r.returncode == 0, "second run failed", r.stdout, r.stderr)
    con = sqlite3.connect(db)
    got = con.execute("SELECT time_ms FROM history WHERE data_id = 7").fetchall()
    con.close()
    check(len(got) == 51, "%d of 51 added rows left" % len(got), r.stdout)
    timed = [ms for (ms,) in got if ms is not None]
    check(len(timed) == 50 and all(abs(ms - now_ms) < 120000 for ms in timed),
          "added rows lost their time: %r" % timed[:5], r.stdout)
    check(r.stdout.count("1 records have a time that cannot be read") == 1,
          "unreadable time not said", r.stdout)


def case_damaged(tmp):
    """A page broken with dd: said, set aside beside itself, and a new file
    holds the records that follow."""
    db = os.path.join(tmp, "h.db")
    site = write_site(tmp, "sim:steady", poll_ms=50)
    check(run_host(site, db, "--duration", "4").returncode == 0, "first run failed")
    pages = os.path.getsize(db) // 4096
    check(pages > 4, "history too small to break: %d pages" % pages)
    subprocess.run(["dd", "if=/dev/urandom", "of=" + db, "bs=4096", "seek=%d" % (pages - 2),
                    "count=1", "conv=notrunc"], check=True, capture_output=True)
    r = run_host(site, db, "--cycles", "10")
    check(r.returncode == 0, "run on a damaged file failed", r.stdout, r.stderr)
    aside = glob.glob(db + ".damaged-*")
    check(len(aside) == 1 and "is damaged" in r.stdout and aside[0] in r.stdout,
          "damage not said or file not set aside: %r" % aside, r.stdout)
    check(count_rows(db) >= 10, "the new file lacks the records that followed", r.stdout)


def case_locked_takeover(tmp):
    """A first start on a file of an older layout while another program holds
    a read lock: monitoring starts, and the takeover follows once it clears."""
    db = os.path.join(tmp, "h.db")
    con = sqlite3.connect(db, isolation_level=None)
    con.execute("CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, "
                "device_type TEXT NOT NULL, record_type INTEGER NOT NULL, time TEXT NOT NULL, "
                "data BLOB NOT NULL)")
    con.execute("INSERT INTO history(data_id, device_type, record_type, time, data) "
                "VALUES(1, 'x', 1, '2026-01-01T00:00:00.000Z', x'00')")
    con.execute("BEGIN")
    con.execute("SELECT COUNT(*) FROM history").fetchone()
    host, seen = start_host(write_site(tmp, "sim:steady", poll_ms=100), db, "--duration", "8",
                            records=10)
    time.sleep(2)
    con.execute("COMMIT")
    con.close()
    out, err = e.finish(host, 40)
    out = seen + out
    check(host.returncode == 0, "qdx-host failed", out, err)
    con = sqlite3.connect(db)
    missing = con.execute("SELECT COUNT(*) FROM history WHERE time_ms IS NULL").fetchone()[0]
    con.close()
    check(missing == 0, "%d rows not taken over" % missing, out)
    check(count_rows(db) == len(published(out)) + 1, "records lost under the lock", out)


if __name__ == "__main__":
    e.main({"history": case_history, "restarts": case_restarts, "lock": case_lock,
            "history_lost": case_history_lost, "file_deleted": case_file_deleted,
            "clock_step": case_clock_step, "moved": case_moved, "log_deleted": case_log_deleted,
            "foreign_file": case_foreign_file,
            "sqlite_times": case_sqlite_times, "damaged": case_damaged,
            "locked_takeover": case_locked_takeover, "disk_full": case_disk_full,
            "small_disk": case_small_disk})
