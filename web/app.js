// The status page: device cards kept live from /api/events, and charts of the
// chosen device from /api/history. Plain browser JavaScript, no build step.
"use strict";

const HISTORY_LIMIT = 10000;
const TARGET_POINTS = 4000; // per chart and range; sets the history step
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
  step: 0,
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

function tickLabel(ms) {
  const t = new Date(ms);
  const hm = t.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit", hourCycle: "h23" });
  if (state.range <= 86400) return hm;
  return `${t.getMonth() + 1}/${t.getDate()} ${hm}`;
}

// Whole ten minutes, three hours or days, so the grid lines fall on round times.
function tickStep() {
  if (state.range <= 3600) return 600000;
  if (state.range <= 86400) return 3 * 3600000;
  return 86400000;
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

function makeCharts(records, from, to) {
  const box = document.getElementById("charts");
  for (const c of Object.values(state.charts)) c.destroy();
  state.charts = {};
  box.replaceChildren();
  if (typeof Chart === "undefined") {
    note("The chart library is not installed on the controller (libjs-chart.js); no charts.");
    return;
  }
  state.measurements.forEach((m, i) => {
    const points = [];
    for (const r of records) {
      if (r.values) points.push({ x: Date.parse(r.time), y: r.values[m.key] });
    }
    const canvas = el("canvas", { "aria-label": `${m.name} chart`, role: "img" });
    const plot = el("div", { class: "plot" }, canvas);
    const section = el("section", { class: "chart", "data-chart": m.key, "data-points": points.length },
      el("h3", {}, `${m.name} (${m.unit})`), plot);
    box.append(section);
    state.charts[m.key] = new Chart(canvas, {
      type: "line",
      data: {
        datasets: [{
          label: m.name,
          data: points,
          borderColor: COLORS[i % COLORS.length],
          backgroundColor: COLORS[i % COLORS.length],
          borderWidth: 1.5,
          pointRadius: points.length > 120 ? 0 : 2,
          stepped: false,
        }, ...thresholdSets(m.key, from, to)],
      },
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
          legend: { display: true, position: "bottom", labels: { boxWidth: 14 } },
          tooltip: { callbacks: { title: (items) => items.length ? new Date(items[0].parsed.x).toLocaleString() : "" } },
        },
      },
    });
  });
}

// Appends a live record to the charts when it falls a step after the last point.
function addPoint(record) {
  if (!record.values) return;
  const x = Date.parse(record.time);
  for (const [key, chart] of Object.entries(state.charts)) {
    const data = chart.data.datasets[0].data;
    const last = data.length ? data[data.length - 1].x : -Infinity;
    if (x - last < state.step * 1000) continue;
    data.push({ x, y: record.values[key] });
    const from = x - state.range * 1000;
    while (data.length && data[0].x < from) data.shift();
    chart.options.scales.x.min = from;
    chart.options.scales.x.max = x;
    for (const set of chart.data.datasets.slice(1)) {
      set.data[0].x = from;
      set.data[1].x = x;
    }
    chart.update("none");
    chart.canvas.closest(".chart").dataset.points = data.length;
  }
}

let historyRequest = 0;  // only the newest request may draw: clicks can overtake answers

async function loadHistory() {
  if (!state.selected) return;
  const mine = ++historyRequest;
  const to = Date.now();
  const from = to - state.range * 1000;
  // Steps of whole minutes are served from the rows that begin each minute.
  const step = Math.floor(state.range / TARGET_POINTS);
  state.step = step >= 60 ? Math.ceil(step / 60) * 60 : step;
  const q = new URLSearchParams({
    device: state.selected,
    from: new Date(from).toISOString(),
    to: new Date(to).toISOString(),
    limit: String(HISTORY_LIMIT),
    step: String(state.step),
  });
  document.getElementById("csv").href = "api/history?" + q + "&format=csv";
  const res = await fetch("api/history?" + q);
  const body = await res.json();
  if (mine !== historyRequest) return;
  if (!res.ok) throw new Error("history: " + body.error);
  note(body.count === 0 ? "No records in this range yet."
    : body.more ? `Showing the first ${body.count} records of the range.` : "");
  makeCharts(body.records, from, to);
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
