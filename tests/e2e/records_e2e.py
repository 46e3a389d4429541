#!/usr/bin/env python3
"""Every stored record is a reply the simulator sent, through noise, CR LF and
a replayed capture: records_e2e.py CASE BUILD_DIR."""
import os
import re
import struct

import e2e_support as e
from e2e_support import (DATA_ID, TRACE, Sim, check, check_history_matches, published, rows,
                         run_host, write_site)


def decode(reply):
    """Record bytes 4 to 18 as the driver builds them from a reply line."""
    f = reply[1:].split(" ")
    scaled = [int(float(f[i]) * s) & 0xFFFF for i, s in ((0, 10), (1, 10), (2, 10))]
    scaled.append((int(f[3]) * 10) & 0xFFFF)
    scaled += [int(float(f[i]) * s) & 0xFFFF for i, s in ((4, 10), (5, 100), (6, 10))]
    state = sum(0x80 >> i for i, c in enumerate(f[7][:8]) if c != "0")
    return struct.pack("<7HB", *scaled, state)


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


if __name__ == "__main__":
    e.main({"noisy": case_noisy, "noisy_long": case_noisy_long, "crlf": case_crlf,
            "replay": case_replay})
