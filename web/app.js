// The status page: device cards kept live from /api/events, and charts of the
// chosen device from /api/history. Plain browser JavaScript, no build step.
"use strict";

const HISTORY_LIMIT = 10000;
// A card is stale when its newest record is older than two poll intervals,
// plus this for the event's way to the page.
const STALE_SLACK_MS = 1000;
const STALE_CHECK_MS = 2000;
// A live record's time this far from the controller's clock as the page
// reckons it means that clock was stepped: reckon again from the record.
const CLOCK_STEP_MS = 5000;
// The ranges by the names the URL carries.
const RANGE_NAMES = { hour: 3600, day: 86400, week: 604800, month: 2592000, year: 31536000, "ten-years": 315360000 };
const BAD_FLAGS = new Set(["utility_failure", "battery_low", "ups_failed", "shutdown"]);
const LOG_SHOWN = 50; // latest events listed
// Events that begin a condition someone should look at.
const LOG_BAD = new Set(["alarm_raised", "utility_failure", "battery_low", "ups_failed", "link_lost", "history_failing"]);

const state = {
  measurements: [], // [{key, name, unit, decimals}]
  flags: [], // [{key, name}]
  devices: new Map(), // name -> device as /api/devices gives it
  selected: null,
  range: 3600, // seconds
  clockOffset: 0, // the controller's clock minus the browser's, ms
  step: 0, // of the drawn points
  shown: null, // {device, range} of the drawn points
  points: [], // [{x, rows, mean, min, max, flags}] of the drawn range
  charts: {}, // measurement key -> Chart
  repeats: { events: new Set(), withinMs: 0 }, // live events counted as the log counts them
};

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") e.className = v;
    else e.setAttribute(k, v);
  }
  for (const c of children) {
    if (c !== null && c !== undefined) e.append(c);
  }
  return e;
}

function fmt(value, decimals) {
  return value === null || value === undefined ? "–" : Number(value).toFixed(decimals);
}

function localTime(iso) {
  return iso ? new Date(iso).toLocaleString() : "never";
}

function serverNow() {
  return Date.now() + state.clockOffset;
}

// HH:MM, with the date when it is not today's.
function sinceText(iso) {
  const t = new Date(iso);
  const hm = t.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit", hourCycle: "h23" });
  if (t.toDateString() === new Date(serverNow()).toDateString()) return hm;
  return t.toLocaleDateString([], { month: "short", day: "numeric" }) + " " + hm;
}

function isStale(d) {
  if (!d.record) return d.link !== "ok";
  return serverNow() - Date.parse(d.record.time) > 2 * d.poll_interval_ms + STALE_SLACK_MS;
}

// What needs saying beside the values: no data, on battery, the history.
function statusLines(d, stale) {
  const lines = [];
  if (stale) {
    const link = d.link === "ok" ? "" : ` · link ${d.link}` + (d.link_since ? ` since ${sinceText(d.link_since)}` : "");
    lines.push(["stale", (d.record ? `no data since ${sinceText(d.record.time)}` : "no data yet") + link]);
  }
  if (d.on_battery_since) lines.push(["battery", `on battery since ${sinceText(d.on_battery_since)}`]);
  else if (d.record && (d.record.flags || []).includes("utility_failure")) lines.push(["battery", "on battery"]);
  if (d.history && d.history !== "ok") lines.push(["history", `history ${d.history}`]);
  return lines;
}

// ---- cards ---------------------------------------------------------------

function renderCard(d) {
  const stale = isStale(d);
  const card = el("article", { class: stale ? "card stale" : "card", "data-device": d.name });
  if (d.name === state.selected) card.classList.add("selected");
  card.addEventListener("click", () => select(d.name));

  card.append(el("h2", {}, d.name, el("span", { class: "badge " + d.link, "data-role": "link" }, d.link)));
  card.append(el("p", { class: "sub" }, `${d.type} · data id ${d.data_id} · ${d.port}`));
  const lines = statusLines(d, stale);
  if (lines.length) {
    card.append(el("ul", { class: "status" },
      ...lines.map(([role, text]) => el("li", { class: role, "data-role": role }, text))));
  }

  const rec = d.record;
  const values = el("dl", { class: "values" });
  for (const m of state.measurements) {
    const v = rec && rec.values ? rec.values[m.key] : null;
    values.append(el("div", {}, el("dt", {}, m.name),
      el("dd", { "data-key": m.key }, `${fmt(v, m.decimals)} ${m.unit}`)));
  }
  card.append(values);

  const flags = el("div", { class: "flags" });
  const set = new Set(rec && rec.flags ? rec.flags : []);
  for (const f of state.flags) {
    let cls = "flag";
    if (set.has(f.key)) cls += BAD_FLAGS.has(f.key) ? " on bad" : " on";
    flags.append(el("span", { class: cls, "data-flag": f.key }, f.name));
  }
  card.append(flags);

  const alarms = el("ul", { class: "alarms" });
  for (const a of d.alarms) {
    const limit = `${a.low ? "below" : "above"} ${a.threshold} ${a.unit}`;
    const text = a.active
      ? `ALARM ${a.signal}: ${a.value} ${a.unit} ${limit} (level ${a.level})`
      : `${a.signal}: alarm ${limit}, clear`;
    alarms.append(el("li", { class: a.active ? "active" : "", "data-signal": a.signal_id }, text));
  }
  card.append(alarms);

  const c = d.counters;
  const when = rec ? localTime(rec.time) + (d.cached ? " (from history)" : "") : "no record yet";
  card.append(el("div", { class: "foot" },
    `last record ${when} · ${c.records} records, ${c.failures} failures, ${c.reopens} reopens`));
  return card;
}

function showCard(name) {
  const d = state.devices.get(name);
  const old = document.querySelector(`.card[data-device="${CSS.escape(name)}"]`);
  const card = renderCard(d);
  if (old) old.replaceWith(card);
  else document.getElementById("devices").append(card);
}

async function loadDevices() {
  const res = await fetch("api/devices");
  if (!res.ok) throw new Error("api/devices: " + res.status);
  const body = await res.json();
  if (body.now) state.clockOffset = Date.parse(body.now) - Date.now();
  state.measurements = body.measurements;
  state.flags = body.flags;
  state.devices = new Map(body.devices.map((d) => [d.name, d]));
  document.getElementById("devices").replaceChildren();
  for (const d of body.devices) showCard(d.name);

  const sel = document.getElementById("device-select");
  sel.replaceChildren(...body.devices.map((d) => el("option", { value: d.name }, d.name)));
  if (!state.devices.has(state.selected)) {
    const wanted = new URLSearchParams(location.search).get("device");
    state.selected = state.devices.has(wanted) ? wanted : body.devices.length ? body.devices[0].name : null;
  }
  sel.value = state.selected || "";
  showPlace();
}

// Cards turn stale without any event: the silence itself is the news.
function checkStale() {
  for (const d of state.devices.values()) {
    const card = document.querySelector(`.card[data-device="${CSS.escape(d.name)}"]`);
    if (card && card.classList.contains("stale") !== isStale(d)) showCard(d.name);
  }
}

// The device and the range in the address, so a link or a reload shows the same.
function showPlace() {
  const q = new URLSearchParams(location.search);
  if (state.selected) q.set("device", state.selected);
  const name = Object.keys(RANGE_NAMES).find((k) => RANGE_NAMES[k] === state.range);
  if (name) q.set("range", name);
  history.replaceState(null, "", "?" + q);
}

// ---- live events -----------------------------------------------------------

function listen() {
  const conn = document.getElementById("conn");
  const events = new EventSource("api/events");
  let reconnecting = false;
  events.onopen = () => {
    conn.textContent = "live";
    conn.className = "conn live";
    // Whatever happened while the stream was down is in the full state.
    if (reconnecting) loadDevices().then(loadHistory).then(loadLog).catch(note);
  };
  events.onerror = () => {
    reconnecting = true;
    conn.textContent = "reconnecting…";
    conn.className = "conn down";
  };
  // Every event names its device; one the page does not know yet is skipped.
  const onDevice = (kind, apply) =>
    events.addEventListener(kind, (e) => {
      const ev = JSON.parse(e.data);
      const d = state.devices.get(ev.device);
      if (d) apply(d, ev);
    });
  onDevice("record", (d, ev) => {
    d.record = ev.record;
    d.cached = ev.cached;
    d.counters = ev.counters;
    if (ev.link !== d.link) d.link_since = ev.record.time;
    d.link = ev.link;
    if (ev.on_battery_since !== undefined) d.on_battery_since = ev.on_battery_since;
    const offset = Date.parse(ev.record.time) - Date.now();
    if (!ev.cached && Math.abs(offset - state.clockOffset) > CLOCK_STEP_MS) state.clockOffset = offset;
    showCard(d.name);
    if (d.name === state.selected && !ev.cached) addPoint(ev.record);
  });
  onDevice("alarm", (d, ev) => {
    let a = d.alarms.find((x) => x.signal_id === ev.signal_id);
    if (!a) {
      a = { signal_id: ev.signal_id, signal: ev.signal, measurement: ev.measurement, unit: ev.unit };
      d.alarms.push(a);
    }
    Object.assign(a, { active: ev.raised, value: ev.value, threshold: ev.threshold, low: ev.low, level: ev.level });
    showCard(d.name);
  });
  onDevice("link", (d, ev) => {
    d.link = ev.link;
    d.link_since = ev.since;
    d.port = ev.port;
    d.counters = ev.counters;
    showCard(d.name);
  });
  events.addEventListener("history", (e) => {
    const ev = JSON.parse(e.data);
    for (const d of state.devices.values()) {
      d.history = ev.history;
      showCard(d.name);
    }
  });
  events.addEventListener("log", (e) => {
    const ev = JSON.parse(e.data);
    showLogEvent(ev);
  });
  onDevice("report", (d, ev) => {
    d.reports[ev.report_id] = { value: ev.value, time: ev.time };
  });
}

// ---- event log -------------------------------------------------------------

// A row of the log that counts repeats shows how many, and its last on hover.
function logItem(ev) {
  const item = el("li", { class: LOG_BAD.has(ev.event) ? "bad" : "" }, el("time", { datetime: ev.time }, localTime(ev.time)), ev.text || ev.event);
  Object.assign(item.dataset, { event: ev.event, key: repeatKey(ev), first: String(ev.time_ms), count: String(ev.count || 1) });
  showRepeats(item, ev.last_time || ev.time);
  return item;
}

function repeatKey(ev) {
  return [ev.event, ev.device, (ev.details && ev.details.alarm_id) || ""].join("\n");
}

function showRepeats(item, last) {
  const count = Number(item.dataset.count);
  if (count < 2) return;
  let span = item.querySelector(".repeats");
  if (!span) span = item.appendChild(el("span", { class: "repeats" }));
  span.textContent = "\u00d7" + count;
  span.title = "last " + localTime(last);
}

// A live event that the log counts in a listed row counts there too.
function showLogEvent(ev) {
  const list = document.getElementById("log");
  const { events, withinMs } = state.repeats;
  if (events.has(ev.event)) {
    const key = repeatKey(ev);
    const row = [...list.children].find((li) => li.dataset.key === key);
    const age = row ? ev.time_ms - Number(row.dataset.first) : -1;
    if (age >= 0 && age < withinMs) {
      row.dataset.count = String(Number(row.dataset.count) + 1);
      showRepeats(row, ev.time);
      return;
    }
  }
  list.prepend(logItem(ev));
  while (list.children.length > LOG_SHOWN) list.lastElementChild.remove();
}

async function loadLog() {
  const res = await fetch("api/log?limit=" + LOG_SHOWN);
  if (!res.ok) throw new Error("api/log: " + res.status);
  const body = await res.json();
  if (body.repeats) state.repeats = { events: new Set(body.repeats.events), withinMs: body.repeats.within_s * 1000 };
  document.getElementById("log").replaceChildren(...body.events.reverse().map(logItem));
}

// ---- history ---------------------------------------------------------------

function note(text) {
  document.getElementById("history-note").textContent = text instanceof Error ? text.message : text;
}

let historyRequest = 0;  // only the newest request may draw: clicks can overtake answers

async function loadHistory() {
  if (!state.selected) return;
  const mine = ++historyRequest;
  const shown = { device: state.selected, range: state.range };
  const to = Date.now();
  const from = to - shown.range * 1000;
  const step = stepFor(shown.range);
  const q = new URLSearchParams({
    device: shown.device,
    from: new Date(from).toISOString(),
    to: new Date(to).toISOString(),
    limit: String(HISTORY_LIMIT),
    step: String(step),
  });
  document.getElementById("csv").href = "api/history?" + q + "&format=csv";
  const res = await fetch("api/history?" + q);
  const body = await res.json();
  if (mine !== historyRequest) return;
  if (!res.ok) throw new Error("history: " + body.error);
  note(body.count === 0 ? "No records in this range yet."
    : body.more ? `Showing the first ${body.count} records of the range.` : "");
  state.step = step;
  state.shown = shown;
  state.points = body.records.map(pointOf).filter((p) => p.rows > 0);
  makeCharts(from, to);
}

function select(name) {
  if (!state.devices.has(name) || name === state.selected) return;
  state.selected = name;
  document.getElementById("device-select").value = name;
  for (const card of document.querySelectorAll(".card")) {
    card.classList.toggle("selected", card.dataset.device === name);
  }
  showPlace();
  loadHistory().catch(note);
}

function showRange(range) {
  state.range = range;
  for (const b of document.querySelectorAll(".ranges button")) {
    b.classList.toggle("active", Number(b.dataset.range) === range);
    b.setAttribute("aria-pressed", String(Number(b.dataset.range) === range));
  }
}

function wire() {
  showRange(RANGE_NAMES[new URLSearchParams(location.search).get("range")] || state.range);
  chartColours();
  matchMedia("(prefers-color-scheme: dark)").addEventListener("change", () => {
    chartColours();
    loadHistory().catch(note);
  });
  document.getElementById("device-select").addEventListener("change", (e) => select(e.target.value));
  for (const b of document.querySelectorAll(".ranges button")) {
    b.addEventListener("click", () => {
      showRange(Number(b.dataset.range));
      showPlace();
      loadHistory().catch(note);
    });
  }
  setInterval(checkStale, STALE_CHECK_MS);
}

wire();
loadDevices()
  .then(() => {
    listen();
    return Promise.all([loadHistory(), loadLog()]);
  })
  .catch(note);
