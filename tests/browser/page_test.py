#!/usr/bin/env python3
"""The status page in headless Chromium: page_test.py BUILD_DIR SCREENSHOT.
page_test.py --shoot URL SCREENSHOT only takes a picture of a running page.

Runs qdx-host with --http against ups-sim, loads the page, waits until the
device card shows the simulator's input voltage and counts records arriving
live, checks that the input-voltage chart holds points, its alarm threshold
line and drawn pixels, and saves a screenshot; then checks the range buttons
and that a second device on the power-cycle scenario shows, at the day range,
a min-max band and the utility-failure mark, and says since when it is on
battery; that a third device whose simulator stops answering turns grey and
says since when it has no data; that tick labels never overlap at any range,
wide or phone-narrow; and, loaded from an address naming the device and the
ten-year range, that a minute of failures is one faint column, not a wash;
and that once the history file is removed every card says so.
Chromium is driven through the
DevTools protocol over a pipe, with the standard library only. Exits 77
(skipped) when Chromium is not installed: scripts/bootstrap browser adds it.
"""
import base64
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
STEADY_INPUT = "230.0 V"  # the steady scenario's input voltage, as the card shows it
THRESHOLD = 180.0


def fail(msg, *outputs):
    for out in outputs:
        sys.stderr.write(out if isinstance(out, str) else json.dumps(out, indent=1))
        sys.stderr.write("\n")
    sys.stderr.write("FAIL: " + msg + "\n")
    sys.exit(1)


class DevTools:
    """Chromium with --remote-debugging-pipe: commands on fd 3, replies on fd 4,
    each message JSON ended by a NUL byte."""

    def __init__(self, chromium, profile):
        to_r, self.to_w = os.pipe()
        self.from_r, from_w = os.pipe()

        def wire():
            a, b = os.dup(to_r), os.dup(from_w)  # above 4, so dup2 cannot clobber them
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.log = open(os.path.join(profile, "chromium.log"), "w")
        self.proc = subprocess.Popen(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--disable-extensions", "--mute-audio", "--hide-scrollbars",
             "--user-data-dir=" + os.path.join(profile, "user-data"), "--remote-debugging-pipe",
             "--window-size=1280,1100", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log, preexec_fn=wire,
            close_fds=False)
        os.close(to_r)
        os.close(from_w)
        self.buf = b""
        self.next_id = 0
        self.events = []

    def _read_message(self, deadline):
        while b"\0" not in self.buf:
            if time.time() > deadline:
                fail("no answer from Chromium")
            chunk = os.read(self.from_r, 65536)
            if not chunk:
                fail("Chromium closed the DevTools pipe")
            self.buf += chunk
        msg, self.buf = self.buf.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, session=None, timeout=20, **params):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self.to_w, json.dumps(msg).encode() + b"\0")
        deadline = time.time() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    fail(method + " failed", reply)
                return reply.get("result", {})
            self.events.append(reply)

    def close(self):
        try:
            self.call("Browser.close", timeout=5)
        except SystemExit:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        self.log.close()


PROBE = """(() => {
  const card = document.querySelector('.card[data-device="ups"]');
  const dd = card && card.querySelector('dd[data-key="input_voltage"]');
  const foot = card && card.querySelector('.foot');
  const box = document.querySelector('.chart[data-chart="input_voltage"]');
  const canvas = box && box.querySelector('canvas');
  let drawn = 0;
  if (canvas && canvas.width) {
    const px = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    for (let i = 3; i < px.length; i += 4) if (px[i]) drawn++;
  }
  const chart = typeof state === 'object' && state.charts.input_voltage;
  return {
    value: dd ? dd.textContent : null,
    records: foot ? Number((foot.textContent.match(/(\\d+) records/) || [0, -1])[1]) : -1,
    link: card ? card.querySelector('[data-role="link"]').textContent : null,
    conn: document.getElementById('conn').textContent,
    points: box ? Number(box.dataset.points) : 0,
    thresholds: chart ? chart.data.datasets.filter((d) => d.threshold).map((d) => d.data[0].y) : [],
    charts: document.querySelectorAll('.chart canvas').length,
    drawn: drawn,
    note: document.getElementById('history-note').textContent,
    log: Array.from(document.querySelectorAll('#log li')).map((li) => li.dataset.event),
    failures: Array.from(document.querySelectorAll('#log li[data-event="utility_failure"]'))
      .map((li) => li.dataset.count + ' ' + (li.querySelector('.repeats') || {}).textContent),
  };
})()"""

RANGES = ["3600", "86400", "604800", "2592000", "31536000", "315360000"]
MARK_RGB = (0xe0, 0x8a, 0x00)  # the utility-failure mark's colour in history-charts.js
# The power-cycle device's input-voltage chart: its band, its failure spans and
# the mark's pixels along the top of the plot.
FAILURE_PROBE = """(() => {
  const chart = state.charts.input_voltage;
  if (!chart) return null;
  const sets = chart.data.datasets;
  const max = sets.find((d) => d.band === 'max').data;
  const min = sets.find((d) => d.band === 'min').data;
  const mark = sets.find((d) => d.mark === 'utility_failure');
  const a = chart.chartArea;
  const px = chart.ctx.getImageData(0, 0, chart.canvas.width, chart.canvas.height).data;
  const r = window.devicePixelRatio || 1;
  let marked = 0;
  let alpha = 0;
  for (let x = Math.floor(a.left * r); x < a.right * r; x++) {
    const i = (Math.floor((a.top + 1) * r) * chart.canvas.width + x) * 4;
    const near = (k, v) => Math.abs(px[i + k] - v) <= 6;
    if (px[i + 3] > 0 && near(0, %d) && near(1, %d) && near(2, %d)) {
      marked++;
      alpha = Math.max(alpha, px[i + 3]);
    }
  }
  return {
    step: state.step,
    range: state.shown && state.shown.range,
    device: state.selected,
    search: location.search,
    ranges: Array.from(document.querySelectorAll('.ranges button')).map((b) => b.dataset.range),
    band: max.filter((p, i) => min[i] && p.y > min[i].y).length,
    slices: mark.slices.length,
    marked: marked,
    alpha: alpha,
    legend: chart.legend.legendItems.map((l) => l.text),
  };
})()""" % MARK_RGB

# The cards of the device on battery and of the one gone quiet.
CARDS_PROBE = """(() => {
  const line = (dev, role) => {
    const li = document.querySelector(`.card[data-device="${dev}"] .status [data-role="${role}"]`);
    return li ? li.textContent : null;
  };
  const gone = document.querySelector('.card[data-device="gone"]');
  const dd = gone && gone.querySelector('dd[data-key="input_voltage"]');
  return {
    battery: line('site', 'battery'),
    stale: line('gone', 'stale'),
    grey: !!gone && gone.classList.contains('stale') && getComputedStyle(dd).fontWeight === '400',
    fresh: !document.querySelector('.card[data-device="ups"]').classList.contains('stale'),
  };
})()"""

HISTORY_PROBE = """Array.from(document.querySelectorAll(
  '.card .status [data-role="history"]')).map((li) => li.textContent)"""

# The drawn tick labels of the input-voltage chart as boxes, in the tick font;
# null until the range asked for is drawn.
TICKS_PROBE = """((range) => {
  const chart = state.charts.input_voltage;
  if (!chart || !state.shown || state.shown.range !== range) return null;
  const x = chart.scales.x;
  const ctx = chart.ctx;
  ctx.save();
  ctx.font = Chart.helpers.toFont(x.options.ticks.font).string;
  const boxes = x.ticks.map((t, i) => {
    const w = ctx.measureText(t.label).width, c = x.getPixelForTick(i);
    return { label: t.label, value: t.value, left: c - w / 2, right: c + w / 2 };
  });
  ctx.restore();
  return { boxes: boxes, width: document.documentElement.scrollWidth, view: innerWidth };
})(%s)"""


def open_page(browser, url):
    target = browser.call("Target.createTarget", url="about:blank")["targetId"]
    session = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
    browser.call("Runtime.enable", session)
    browser.call("Page.enable", session)
    browser.call("Page.navigate", session, url=url)
    return session


def save_screenshot(browser, session, shot):
    png = browser.call("Page.captureScreenshot", session, format="png",
                       captureBeyondViewport=True)["data"]
    os.makedirs(os.path.dirname(shot), exist_ok=True)
    with open(shot, "wb") as f:
        f.write(base64.b64decode(png))


def shoot(chromium, url, shot):
    with tempfile.TemporaryDirectory() as tmp:
        browser = DevTools(chromium, tmp)
        try:
            session = open_page(browser, url)
            time.sleep(5)  # history loaded, a few live updates
            save_screenshot(browser, session, shot)
        finally:
            browser.close()
    return 0


def wait_for(browser, session, expression, ok, what, timeout=20):
    deadline = time.time() + timeout
    while True:
        got = browser.call("Runtime.evaluate", session, expression=expression,
                           returnByValue=True)["result"].get("value")
        if got and ok(got):
            return got
        if time.time() > deadline:
            fail(what, got)
        time.sleep(0.25)


def check_ticks(browser, session, width):
    """Every range at this width: labels apart, on whole minutes, no sideways scroll."""
    for r in RANGES:
        browser.call("Runtime.evaluate", session,
                     expression="document.querySelector('[data-range=\"%s\"]').click()" % r)
        got = wait_for(browser, session, TICKS_PROBE % r, lambda g: True,
                       "range %s was not drawn at width %d" % (r, width))
        boxes = got["boxes"]
        if len(boxes) < 2 or any(not b["label"] or b["value"] % 60000 for b in boxes):
            fail("range %s: too few ticks or ticks off round times" % r, got)
        for a, b in zip(boxes, boxes[1:]):
            if a["right"] >= b["left"]:
                fail("range %s at width %d: tick labels overlap" % (r, width), got)
        if got["width"] > got["view"]:
            fail("the page scrolls sideways at width %d" % width, got)


def main():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if sys.argv[1] == "--shoot":
        return shoot(chromium, sys.argv[2], os.path.abspath(sys.argv[3]))
    build, shot = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not chromium:
        if os.environ.get("ZOTA_REQUIRE_BROWSER"):
            fail("chromium is not installed (scripts/bootstrap browser)")
        print("chromium is not installed (scripts/bootstrap browser); skipped")
        return SKIP
    with tempfile.TemporaryDirectory() as tmp:
        site = os.path.join(tmp, "site.json")
        settings = {"appSetting": {"b_mode": 1}, "thresholdSetting": {
            "2A2615101001": {"level": 2, "value": THRESHOLD, "low": True, "hysteresis": 5.0}}}
        with open(site, "w") as f:
            json.dump({"plugins": [os.path.join(build, "zota_up2200.so")], "devices": [
                {"name": "ups", "type": "zota_up2200", "data_id": 77, "port": "sim:steady",
                 "poll_interval_ms": 200, "reply_timeout_ms": 600, "settings": settings},
                # On battery every third second: its charts must mark the failures.
                {"name": "site", "type": "zota_up2200", "data_id": 78, "port": "sim:power-cycle",
                 "poll_interval_ms": 1000, "reply_timeout_ms": 600},
                # Its simulator is stopped once it has answered: the card must say so.
                {"name": "gone", "type": "zota_up2200", "data_id": 79, "port": "sim:steady",
                 "poll_interval_ms": 500, "reply_timeout_ms": 400}]}, f)
        host = subprocess.Popen(
            [os.path.join(build, "qdx-host"), "--db", os.path.join(tmp, "h.db"), "--duration",
             "120", "--http", "127.0.0.1:0", site],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        url = None
        seen = ""
        while url is None:
            line = host.stdout.readline()
            if not line:
                fail("qdx-host ended before serving", seen, host.stderr.read())
            seen += line
            m = re.search(r"status page at (http://\S+)", line)
            url = m.group(1) if m else None
        # A few records first, so the history chart has something to draw.
        while seen.count("record 5035:") < 5 or "gone (data id 79)  record" not in seen:
            seen += host.stdout.readline()
        gone_sim = int(re.search(r"^gone \(data id 79\):.* pid (\d+)\)", seen, re.M).group(1))
        os.kill(gone_sim, signal.SIGSTOP)

        browser = DevTools(chromium, tmp)
        try:
            session = open_page(browser, url)
            first = None
            deadline = time.time() + 30
            while True:
                got = browser.call("Runtime.evaluate", session, expression=PROBE,
                                   returnByValue=True)["result"].get("value") or {}
                if first is None and got.get("records", -1) >= 0:
                    first = got["records"]
                ready = (got.get("value") == STEADY_INPUT and got.get("conn") == "live"
                         and first is not None and got["records"] > first
                         and got.get("points", 0) > 0 and got.get("drawn", 0) > 0
                         and "started" in got.get("log", []))
                if ready:
                    break
                if time.time() > deadline:
                    errors = [e for e in browser.events
                              if e.get("method") in ("Runtime.exceptionThrown",
                                                     "Runtime.consoleAPICalled")]
                    fail("the page did not show live values, a chart and the event log", got,
                         errors)
                time.sleep(0.25)
            if got["thresholds"] != [THRESHOLD]:
                fail("the alarm threshold is not drawn on the input-voltage chart", got)
            if got["charts"] != 7 or got["link"] != "ok":
                fail("expected seven charts and link ok", got)
            # The power-cycle device's failures come again and again: the list
            # counts them in one row (x2, x3...) as the event log does.
            deadline = time.time() + 30
            while True:
                got = browser.call("Runtime.evaluate", session, expression=PROBE,
                                   returnByValue=True)["result"].get("value") or {}
                counted = got.get("failures", [])
                if len(counted) == 1 and counted[0].split()[0] not in ("1", "undefined"):
                    break
                if time.time() > deadline or len(counted) > 1:
                    fail("repeated utility failures are not counted in one row of the list", got)
                time.sleep(0.25)
            if counted[0] != "%s \u00d7%s" % (counted[0].split()[0], counted[0].split()[0]):
                fail("a counted row does not show its count", got)
            time.sleep(0.5)  # let the last live update paint
            save_screenshot(browser, session, shot)
            # The week view thins the history out and still draws it.
            browser.call("Runtime.evaluate", session,
                         expression="document.querySelector('[data-range=\"604800\"]').click()")
            week = None
            deadline = time.time() + 15
            while not week:
                week = browser.call("Runtime.evaluate", session, returnByValue=True, expression=(
                    "state.step > 0 && state.charts.input_voltage && "
                    "state.charts.input_voltage.data.datasets[0].data.length > 0 && "
                    "state.charts.input_voltage.options.scales.x.min < Date.now() - 6 * 86400e3 "
                    "&& document.getElementById('history-note').textContent === ''"))["result"]
                week = week.get("value")
                if not week and time.time() > deadline:
                    fail("the week view shows no chart", browser.events[-5:])
                time.sleep(0.25)
            # The day view of the power-cycle device shows its failures and a band.
            browser.call("Runtime.evaluate", session, expression=(
                "select('site'); document.querySelector('[data-range=\"86400\"]').click()"))
            deadline = time.time() + 20
            while True:
                day = browser.call("Runtime.evaluate", session, expression=FAILURE_PROBE,
                                   returnByValue=True)["result"].get("value") or {}
                if (day.get("step") == 120 and day["slices"] > 0 and day["marked"] > 0
                        and day["band"] > 0):
                    break
                if time.time() > deadline:
                    fail("the day view shows no failure mark and min-max band", day)
                time.sleep(0.25)
            if "device=site" not in day["search"] or "range=day" not in day["search"]:
                fail("the address does not name the device and the range", day)
            if day["ranges"] != RANGES:
                fail("expected the range buttons " + " ".join(RANGES), day)
            if "utility failure" not in day["legend"] or "min–max" not in day["legend"]:
                fail("the legend does not name the failure mark and the band", day)
            wait_for(browser, session, CARDS_PROBE, lambda g: g["grey"] and g["fresh"] and (
                g["stale"] or "").startswith("no data since ") and "link timeout" in g["stale"]
                and re.match(r"on battery since \d\d:\d\d$", g["battery"] or ""),
                "no grey card saying since when it has no data, or no on-battery time")
            check_ticks(browser, session, 1280)
            browser.call("Emulation.setDeviceMetricsOverride", session, width=375, height=800,
                         deviceScaleFactor=1, mobile=True)
            check_ticks(browser, session, 375)
            browser.call("Emulation.clearDeviceMetricsOverride", session)
            # The address keeps the device and range; loaded again, it shows the
            # minute of failures as one column whose strength is its share.
            browser.call("Page.navigate", session, url=url + "?device=site&range=ten-years")
            ten = wait_for(browser, session, FAILURE_PROBE, lambda g: g.get(
                "range") == 315360000 and g["marked"] > 0,
                "the ten-year view of the address shows no failure mark")
            if ten["device"] != "site" or ten["marked"] > 2 or not 90 <= ten["alpha"] < 200:
                fail("a minute of failures in ten years is not a faint column", ten)
            # A history file removed under it: every card says so, live.
            os.remove(os.path.join(tmp, "h.db"))
            wait_for(browser, session, HISTORY_PROBE, lambda g: all(
                t == "history recreated" for t in g) and len(g) == 3,
                "the cards do not say the history was recreated")
            errors = [e for e in browser.events if e.get("method") == "Runtime.exceptionThrown"]
            if errors:
                fail("the page threw", errors)
        finally:
            browser.close()
            os.kill(gone_sim, signal.SIGCONT)
            host.terminate()
            out, err = host.communicate(timeout=20)
        if host.returncode != 0:
            fail("qdx-host did not stop cleanly", seen + out, err)
    print("ok: %s shows %s with %d chart points; screenshot %s" %
          (url, got["value"], got["points"], shot))
    return 0


if __name__ == "__main__":
    sys.exit(main())
