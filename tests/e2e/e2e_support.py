"""What the end-to-end scripts share: checks, site files, simulators, a running
qdx-host and its output, the stored history and the status server.

Each script runs one case: SCRIPT CASE BUILD_DIR (see main)."""
import atexit
import hashlib
import http.client
import json
import os
import re
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time

BIN = ""  # the build directory, set by main()
SKIP = 77  # the exit status CTest counts as skipped
DATA_ID = 4242
SETTINGS = {"appSetting": {"b_mode": 1}}
# An input-voltage alarm as well, for the status server to show.
ALARM_SETTINGS = {"appSetting": {"b_mode": 1}, "thresholdSetting": {
    "2A2615101001": {"level": 2, "value": 180.0, "low": True, "hysteresis": 5.0}}}
# ups3's sixth poll got a garbage line and the head of its reply in one read.
TRACE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "traces", "false_alarm.capture")
RECORD_LINE = re.compile(r"\(data id (\d+)\)  (cached )?record 5035: ")


def fail(msg, *outputs):
    for out in outputs:
        if isinstance(out, bytes):
            out = out.decode(errors="replace")
        sys.stderr.write((out if isinstance(out, str) else repr(out)) + "\n")
    sys.stderr.write("FAIL: " + msg + "\n")
    sys.exit(1)


def check(cond, msg, *outputs):
    if not cond:
        fail(msg, *outputs)


def program(name):
    return os.path.join(BIN, name)


def instrumented():
    """Whether the build runs under sanitizers: too slowly for timing and
    memory checks, and with a runtime nothing else may be preloaded into."""
    with open(os.path.join(BIN, "CMakeCache.txt")) as f:
        return any(line.startswith("CMAKE_CXX_FLAGS:") and "-fsanitize" in line for line in f)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


# Site files.

def device(name, data_id, port="sim:steady", poll_ms=100, timeout_ms=600,
           dtype="zota_up2200", settings=None):
    """One device of a site file, with the alarm unless settings are given."""
    return {"name": name, "type": dtype, "data_id": data_id, "port": port,
            "poll_interval_ms": poll_ms, "reply_timeout_ms": timeout_ms,
            "settings": settings or ALARM_SETTINGS}


def write_devices(tmp, devices, plugin=None, name="site.json", notify=None):
    path = os.path.join(tmp, name)
    doc = {"plugins": [plugin or program("zota_up2200.so")], "devices": devices}
    if notify is not None:
        doc["notify"] = notify
    with open(path, "w") as f:
        json.dump(doc, f)
    return path


def write_site(tmp, port, poll_ms=100, timeout_ms=600, dtype="zota_up2200", plugin=None,
               extra=None, name="site.json", count=1):
    """A site of count devices without alarms; device i has DATA_ID + i and
    the port port[i] when count > 1."""
    devices = []
    for i in range(count):
        d = device("ups%d" % i if count > 1 else "ups", DATA_ID + i,
                   port[i] if count > 1 else port, poll_ms, timeout_ms, dtype, SETTINGS)
        d.update(extra or {})
        devices.append(d)
    return write_devices(tmp, devices, plugin, name)


class Sim:
    """A ups-sim started by the test, its pty path and its log."""

    def __init__(self, tmp, scenario="", seed=1, name="", args=()):
        self.log_path = os.path.join(tmp, "sim-%s.log" % (name or scenario))
        self.log = open(self.log_path, "w")
        argv = list(args) or ["--scenario", scenario, "--seed", str(seed)]
        self.proc = subprocess.Popen([program("ups-sim"), *argv, "-v"],
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


# qdx-host and what it shows.

def host_command(site, db, *args):
    return [program("qdx-host"), "--db", db, *args, site]


def run_host(site, db, *args, timeout=60, **options):
    """A whole run of qdx-host; its output as text unless text=False."""
    run = dict(capture_output=True, text=True, timeout=timeout)
    run.update(options)
    return subprocess.run(host_command(site, db, *args), **run)


def spawn_host(site, db, *args, **options):
    """A running qdx-host, killed when the test ends; output piped as text
    unless options say otherwise."""
    popen = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    popen.update(options)
    host = subprocess.Popen(host_command(site, db, *args), **popen)
    atexit.register(host.kill)
    return host


def published(stdout):
    return [m for m in RECORD_LINE.finditer(stdout)]


def read_until(host, seen, done, what="qdx-host ended early"):
    """seen with host's output lines added until done(seen)."""
    while not done(seen):
        line = host.stdout.readline()
        if not line:
            fail(what, seen, host.stderr.read() if host.stderr else "")
        seen += line
    return seen


def finish(host, timeout):
    """The rest of host's output and its standard error once it ends, read
    through its streams: communicate() reads the pipes themselves and loses
    what readline() had read ahead."""
    timer = threading.Timer(timeout, host.kill)
    timer.start()
    try:
        out, err = host.stdout.read(), host.stderr.read()
    finally:
        timer.cancel()
    host.wait()
    return out, err


def read_records(host, seen, records):
    """seen with host's output lines added until it shows that many records."""
    return read_until(host, seen, lambda s: len(published(s)) >= records)


def start_host(site, db, *args, records=3):
    """A running qdx-host and its output up to its first published records."""
    host = spawn_host(site, db, *args)
    return host, read_records(host, "", records)


# The stored history.

def rows(db):
    con = sqlite3.connect(db)
    try:
        return con.execute(
            "SELECT data_id, device_type, record_type, data FROM history ORDER BY id").fetchall()
    finally:
        con.close()


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


# The status server.

def http_get(port, path, method="GET", headers=None):
    """Status, content type and body of one request on loopback."""
    con = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        con.request(method, path, headers=headers or {})
        res = con.getresponse()
        return res.status, res.getheader("Content-Type", ""), res.read().decode()
    finally:
        con.close()


def busy_port():
    """A socket listening on a free loopback port, so that the port is taken."""
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    return busy


def events_client(port, rcvbuf=0, timeout=10):
    """A connection that asked for the event stream; a small rcvbuf fills
    soon when it is never read."""
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    s.sendall(b"GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n")
    return s


class Host:
    """qdx-host with --http on a free loopback port; its address and output."""

    def __init__(self, tmp, devices, *args, address="127.0.0.1:0", notify=None):
        site = write_devices(tmp, devices, notify=notify)
        self.proc = spawn_host(site, os.path.join(tmp, "h.db"),
                               "--http", address, *args)
        page = re.compile(r"status page at http://[^/]+:(\d+)/")
        self.out = read_until(self.proc, "", page.search, "qdx-host ended before serving")
        self.port = int(page.search(self.out).group(1))

    def wait_records(self, n):
        self.out = read_records(self.proc, self.out, n)

    def get(self, path, method="GET", headers=None):
        return http_get(self.port, path, method, headers)

    def json(self, path):
        status, ctype, body = self.get(path)
        check(status == 200 and ctype.startswith("application/json"),
              "%s: %d %s" % (path, status, ctype), body)
        return json.loads(body)

    def stop(self, timeout=15):
        self.proc.terminate()
        out, self.err = finish(self.proc, timeout)
        self.out += out
        check(self.proc.returncode == 0, "qdx-host did not stop cleanly", self.out, self.err)


def until(what, probe, timeout=15):
    """probe()'s first true result, retried while the controller catches up."""
    deadline = time.time() + timeout
    while True:
        got = probe()
        if got:
            return got
        check(time.time() < deadline, "timed out waiting for " + what)
        time.sleep(0.1)


def sse_events(port, count, timeout=10):
    """The first count events of /api/events as (name, data) pairs."""
    s = events_client(port, timeout=timeout)
    data = b""
    deadline = time.time() + timeout
    events = []
    while len(events) < count:
        check(time.time() < deadline, "too few events", data)
        chunk = s.recv(65536)
        check(chunk, "event stream closed", data)
        data += chunk
        events = re.findall(rb"event: (\w+)\r?\ndata: ([^\r\n]*)", data)
    s.close()
    check(b"Content-Type: text/event-stream" in data, "not an event stream", data[:300])
    return [(name.decode(), json.loads(body)) for name, body in events]


def main(cases):
    """Runs the case named by the first argument against the build in the
    second, in a temporary folder; a case may return SKIP."""
    global BIN
    BIN = os.path.abspath(sys.argv[2])
    with tempfile.TemporaryDirectory() as tmp:
        status = cases[sys.argv[1]](tmp)
    if status == SKIP:
        sys.exit(SKIP)
    print("ok")
