// The status page: device cards kept live from /api/events, and charts of the
// chosen device from /api/history. Plain browser JavaScript, no build step.
"use strict";

const HISTORY_LIMIT = 10000;
const MAX_POINTS = 1000; // per chart and range; sets the history step
const GRAINS = [86400, 3600, 600, 60]; // the server's aggregate rows, coarsest first
// Flags marked on every chart, so a single record's failure shows at any range.
const MARKS = [
  { key: "utility_failure", label: "utility failure", color: "#e08a00" },
  { key: "battery_low", label: "battery low", color: "#c8323a" },
  { key: "ups_failed", label: "UPS failed", color: "#7a2fb0" },
];
const MARK_MIN_PX = 3;
const MARK_BAR_PX = 4;
const BAD_FLAGS = new Set(["utility_failure", "battery_low", "ups_failed", "shutdown"]);
const LOG_SHOWN = 50; // latest events listed
// Events that begin a condition someone should look at.
const LOG_BAD = new Set(["alarm_raised", "utility_failure", "battery_low", "ups_failed", "link_lost", "history_failing"]);
const COLORS = ["#2f6fd6", "#d6792f", "#1f8a4c", "#8a3ffc", "#0e8a8a", "#b3338a", "#6b6f1f"];

const state = {
  measurements: [], // [{key, name, unit, decimals}]
  flags: [], // [{key, name}]
  devices: new Map(), // name -> device as /api/devices gives it
  selected: null,
  range: 3600, // seconds
  step: 0, // of the drawn points
  shown: null, // {device, range} of the drawn points
  points: [], // [{x, rows, mean, min, max, flags}] of the drawn range
  charts: {}, // measurement key -> Chart
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

// ---- cards ---------------------------------------------------------------

function renderCard(d) {
  const card = el("article", { class: "card", "data-device": d.name });
  if (d.name === state.selected) card.classList.add("selected");
  card.addEventListener("click", () => select(d.name));

  card.append(el("h2", {}, d.name, el("span", { class: "badge " + d.link, "data-role": "link" }, d.link)));
  card.append(el("p", { class: "sub" }, `${d.type} · data id ${d.data_id} · ${d.port}`));

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
    d.link = ev.link;
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
    d.port = ev.port;
    d.counters = ev.counters;
    showCard(d.name);
  });
  events.addEventListener("log", (e) => showLogEvent(JSON.parse(e.data)));
  onDevice("report", (d, ev) => {
    d.reports[ev.report_id] = { value: ev.value, time: ev.time };
  });
}

// ---- event log -------------------------------------------------------------

function logItem(ev) {
  const item = el("li", { class: LOG_BAD.has(ev.event) ? "bad" : "" }, el("time", { datetime: ev.time }, localTime(ev.time)), ev.text || ev.event);
  item.dataset.event = ev.event;
  return item;
}

function showLogEvent(ev) {
  const list = document.getElementById("log");
  list.prepend(logItem(ev));
  while (list.children.length > LOG_SHOWN) list.lastElementChild.remove();
}

async function loadLog() {
  const res = await fetch("api/log?limit=" + LOG_SHOWN);
  if (!res.ok) throw new Error("api/log: " + res.status);
  const body = await res.json();
  document.getElementById("log").replaceChildren(...body.events.reverse().map(logItem));
}

// ---- charts ----------------------------------------------------------------

function note(text) {
  document.getElementById("history-note").textContent = text instanceof Error ? text.message : text;
}

const DAY = 86400;

function tickLabel(ms) {
  const t = new Date(ms);
  const hm = t.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit", hourCycle: "h23" });
  if (state.range <= DAY) return hm;
  if (state.range <= 7 * DAY) return `${t.getMonth() + 1}/${t.getDate()} ${hm}`;
  if (state.range <= 30 * DAY) return t.toLocaleDateString([], { month: "short", day: "numeric" });
  return t.toLocaleDateString([], { year: "numeric", month: "short" });
}

// Whole ten minutes, hours or days, so the grid lines fall on round times.
function tickStep() {
  if (state.range <= 3600) return 600000;
  if (state.range <= DAY) return 3 * 3600000;
  if (state.range <= 7 * DAY) return DAY * 1000;
  if (state.range <= 30 * DAY) return 5 * DAY * 1000;
  if (state.range <= 365 * DAY) return 61 * DAY * 1000;
  return 365 * DAY * 1000;
}

// About MAX_POINTS slices, each a whole number of the coarsest aggregate that
// fits: the server answers those from its per-minute/10-minute/hour/day rows.
function stepFor(range) {
  const raw = range / MAX_POINTS;
  const grain = GRAINS.find((g) => g <= raw) || 1;
  return Math.max(1, Math.ceil(raw / grain) * grain);
}

function markFlags(flags) {
  return (flags || []).filter((f) => MARKS.some((m) => m.key === f));
}

// One point of a history answer: a record (step 0) or a slice of records.
// Without aggregates (step 0, or an older server) the first record stands in.
function pointOf(r) {
  return {
    x: Date.parse(r.time),
    rows: r.rows === undefined ? 1 : r.rows,
    mean: r.mean || r.values || null,
    min: r.min || null,
    max: r.max || null,
    flags: markFlags(r.flags_seen || r.flags),
  };
}

// Folds a live record into its slice's point, as the server would have.
function mergeRecord(p, values, flags) {
  if (p.min && p.max && p.mean) {
    for (const k of Object.keys(values)) {
      const v = values[k];
      if (p.mean[k] == null) {
        p.min[k] = p.max[k] = p.mean[k] = v;
        continue;
      }
      p.min[k] = Math.min(p.min[k], v);
      p.max[k] = Math.max(p.max[k], v);
      p.mean[k] = (p.mean[k] * p.rows + v) / (p.rows + 1);
    }
  }
  p.rows += 1;
  p.flags = [...new Set([...p.flags, ...flags])];
}

function sliceOf(x) {
  return state.step > 0 ? Math.floor(x / (state.step * 1000)) : x;
}

// Time spans in which each marked flag was set, neighbours joined.
function markSpans(points, key, from, to) {
  const spans = [];
  points.forEach((p, i) => {
    if (!p.flags.includes(key)) return;
    const start = state.step > 0 ? sliceOf(p.x) * state.step * 1000 : p.x;
    const end = state.step > 0 ? start + state.step * 1000 : i + 1 < points.length ? points[i + 1].x : p.x;
    const last = spans[spans.length - 1];
    if (last && start <= last[1]) last[1] = Math.max(last[1], end);
    else spans.push([start, end]);
  });
  return spans.filter((s) => s[1] >= from && s[0] <= to).map((s) => [Math.max(s[0], from), Math.min(s[1], to)]);
}

// Draws each marked flag's spans: a light shade over the plot and a solid bar
// along its top, at least MARK_MIN_PX wide so a single record shows at any range.
const markPlugin = {
  id: "marks",
  beforeDatasetsDraw(chart) {
    const { ctx, chartArea: area, scales: { x } } = chart;
    let row = 0;
    chart.data.datasets.forEach((set, i) => {
      if (!set.mark || !chart.isDatasetVisible(i)) return;
      ctx.save();
      for (const [a, b] of set.spans) {
        // Whole pixels, kept inside the plot: crisp even when only MARK_MIN_PX wide.
        const width = Math.max(Math.round(x.getPixelForValue(b) - x.getPixelForValue(a)), MARK_MIN_PX);
        const left = Math.min(Math.round(x.getPixelForValue(a)), Math.floor(area.right) - width);
        ctx.globalAlpha = 0.12;
        ctx.fillStyle = set.backgroundColor;
        ctx.fillRect(left, area.top, width, area.bottom - area.top);
        ctx.globalAlpha = 1;
        ctx.fillRect(left, area.top + row * MARK_BAR_PX, width, MARK_BAR_PX);
      }
      ctx.restore();
      if (set.spans.length) row++;
    });
  },
};

// The chart's datasets from the points: mean line, min-max band, alarm
// thresholds, and flag marks (legend entries; the plugin draws them).
function datasetsOf(m, i, points, from, to) {
  const color = COLORS[i % COLORS.length];
  const mean = [];
  const max = [];
  const min = [];
  for (const p of points) {
    if (!p.rows || !p.mean || p.mean[m.key] == null) continue;
    mean.push({ x: p.x, y: p.mean[m.key] });
    if (p.min && p.max && p.min[m.key] != null && p.max[m.key] != null) {
      max.push({ x: p.x, y: p.max[m.key] });
      min.push({ x: p.x, y: p.min[m.key] });
    }
  }
  const banded = max.length > 0;
  return [{
    label: banded ? `${m.name}, mean` : m.name,
    data: mean,
    borderColor: color,
    backgroundColor: color,
    borderWidth: 1.5,
    pointRadius: mean.length > 120 ? 0 : 2,
  }, {
    label: "min–max",
    band: "max",
    data: max,
    fill: "+1",
    borderWidth: 0,
    pointRadius: 0,
    backgroundColor: color + "40", // a quarter opaque
  }, {
    label: "min",
    band: "min",
    data: min,
    borderWidth: 0,
    pointRadius: 0,
  }, ...thresholdSets(m.key, from, to), ...MARKS.map((f) => ({
    label: f.label,
    mark: f.key,
    spans: markSpans(points, f.key, from, to),
    data: [],
    backgroundColor: f.color,
    borderColor: f.color,
  }))];
}

// Legend: no entry for the band's lower edge, nor for flags never set here.
function legendShows(item, data) {
  const set = data.datasets[item.datasetIndex];
  if (set.band) return set.band === "max" && set.data.length > 0;
  return !set.mark || set.spans.length > 0;
}

function thresholdSets(key, from, to) {
  const d = state.devices.get(state.selected);
  return d.alarms
    .filter((a) => a.configured && a.measurement === key)
    .map((a) => ({
      label: `alarm ${a.low ? "below" : "above"} ${a.threshold} ${a.unit}`,
      data: [{ x: from, y: a.threshold }, { x: to, y: a.threshold }],
      borderColor: "#c8323a",
      borderDash: [6, 4],
      borderWidth: 1.5,
      pointRadius: 0,
      threshold: true,
    }));
}

function makeCharts(from, to) {
  const box = document.getElementById("charts");
  for (const c of Object.values(state.charts)) c.destroy();
  state.charts = {};
  box.replaceChildren();
  if (typeof Chart === "undefined") {
    note("The chart library is not installed on the controller (libjs-chart.js); no charts.");
    return;
  }
  state.measurements.forEach((m, i) => {
    const canvas = el("canvas", { "aria-label": `${m.name} chart`, role: "img" });
    const plot = el("div", { class: "plot" }, canvas);
    const section = el("section", { class: "chart", "data-chart": m.key },
      el("h3", {}, `${m.name} (${m.unit})`), plot);
    box.append(section);
    const datasets = datasetsOf(m, i, state.points, from, to);
    section.dataset.points = datasets[0].data.length;
    state.charts[m.key] = new Chart(canvas, {
      type: "line",
      data: { datasets },
      plugins: [markPlugin],
      options: {
        animation: false,
        parsing: false,
        normalized: true,
        maintainAspectRatio: false,
        interaction: { mode: "nearest", axis: "x", intersect: false },
        scales: {
          x: {
            type: "linear", min: from, max: to,
            ticks: { stepSize: tickStep(), maxTicksLimit: 9, maxRotation: 0, callback: tickLabel },
          },
          y: { title: { display: true, text: m.unit } },
        },
        plugins: {
          legend: { display: true, position: "bottom", labels: { boxWidth: 14, filter: legendShows } },
          tooltip: { callbacks: {
            title: (items) => items.length ? new Date(items[0].parsed.x).toLocaleString() : "",
            label: (item) => `${item.dataset.band || item.dataset.label}: ${item.formattedValue}`,
          } },
        },
      },
    });
  });
}

// Adds a live record to the points: a new point when it begins a slice,
// otherwise folded into the newest slice; the charts then move to it.
function addPoint(record) {
  const shown = state.shown;
  // Until a new device's or range's answer is drawn, the points are another view's.
  if (!record.values || !shown || shown.device !== state.selected || shown.range !== state.range) return;
  const x = Date.parse(record.time);
  const points = state.points;
  const last = points[points.length - 1];
  const flags = markFlags(record.flags);
  if (last && sliceOf(x) < sliceOf(last.x)) return; // older than what is drawn
  if (last && state.step > 0 && sliceOf(x) === sliceOf(last.x)) {
    mergeRecord(last, record.values, flags);
  } else {
    // A new slice's band grows from its live records, whatever the server gave.
    const values = { ...record.values };
    const banded = state.step > 0;
    points.push({ x, rows: 1, mean: values, min: banded ? { ...values } : null,
      max: banded ? { ...values } : null, flags });
  }
  const from = x - shown.range * 1000;
  while (points.length && points[0].x < from - state.step * 1000) points.shift();
  state.measurements.forEach((m, i) => {
    const chart = state.charts[m.key];
    if (!chart) return;
    // In place, so a series hidden from the legend stays hidden.
    const fresh = datasetsOf(m, i, points, from, x);
    if (fresh.length === chart.data.datasets.length) fresh.forEach((f, j) => Object.assign(chart.data.datasets[j], f));
    else chart.data.datasets = fresh;
    chart.options.scales.x.min = from;
    chart.options.scales.x.max = x;
    chart.update("none");
    chart.canvas.closest(".chart").dataset.points = chart.data.datasets[0].data.length;
  });
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
  loadHistory().catch(note);
}

function wire() {
  document.getElementById("device-select").addEventListener("change", (e) => select(e.target.value));
  for (const b of document.querySelectorAll(".ranges button")) {
    b.addEventListener("click", () => {
      state.range = Number(b.dataset.range);
      for (const o of document.querySelectorAll(".ranges button")) o.classList.toggle("active", o === b);
      loadHistory().catch(note);
    });
  }
}

wire();
loadDevices()
  .then(() => {
    listen();
    return Promise.all([loadHistory(), loadLog()]);
  })
  .catch(note);
