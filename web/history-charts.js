// The status page's charts of a device's history: round ticks, slices,
// gaps and failure marks. Shares the page's state with app.js, loaded before it.
"use strict";

const MAX_POINTS = 1000; // per chart and range; sets the history step
// Flags marked on every chart, so a single record's failure shows at any range.
const MARKS = [
  { key: "utility_failure", label: "utility failure", color: "#e08a00" },
  { key: "battery_low", label: "battery low", color: "#c8323a" },
  { key: "ups_failed", label: "UPS failed", color: "#7a2fb0" },
];
const MARK_BAR_PX = 4;
// A slice's shade is as strong as its share of records in failure, so an hour
// on battery in a ten-year view stays a hairline; the bar along the top keeps
// at least MARK_MIN_ALPHA so a single record's failure still shows.
const MARK_SHADE_ALPHA = 0.3;
const MARK_MIN_ALPHA = 0.4;

// Slices that divide a day, so a daily rhythm never beats against the step;
// from a day up, whole days.
const STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1200, 1800, 3600, 7200, 10800, 21600, 86400];

// Tick steps, finest first: the first whose labels fit side by side is drawn.
const TICK_UNITS = [
  ["minute", 1], ["minute", 2], ["minute", 5], ["minute", 10], ["minute", 15], ["minute", 30],
  ["hour", 1], ["hour", 2], ["hour", 3], ["hour", 6], ["hour", 12], ["day", 1], ["day", 2],
  ["week", 1], ["week", 2], ["month", 1], ["month", 2], ["month", 3], ["month", 6],
  ["year", 1], ["year", 2], ["year", 5], ["year", 10], ["year", 20],
];
const TICK_GAP_PX = 12; // between neighbouring labels
const UNIT_MS = { minute: 60e3, hour: 3600e3, day: 864e5, week: 7 * 864e5, month: 28 * 864e5, year: 365 * 864e5 };
const COLORS = ["#2f6fd6", "#d6792f", "#1f8a4c", "#8a3ffc", "#0e8a8a", "#b3338a", "#6b6f1f"];

// The first tick at or after t on a round time of the unit, n of them apart.
function firstTick(t, unit, n) {
  const d = new Date(t);
  if (unit === "minute") d.setMinutes(Math.floor(d.getMinutes() / n) * n, 0, 0);
  else if (unit === "hour") d.setHours(Math.floor(d.getHours() / n) * n, 0, 0, 0);
  else d.setHours(0, 0, 0, 0);
  if (unit === "day") {
    // Days counted from 1970, so a two-day step keeps its days across months.
    const day = Math.round(Date.UTC(d.getFullYear(), d.getMonth(), d.getDate()) / 864e5);
    d.setDate(d.getDate() - (((day % n) + n) % n));
  }
  if (unit === "week") d.setDate(d.getDate() - ((d.getDay() + 6) % 7)); // Mondays
  if (unit === "month") d.setMonth(Math.floor(d.getMonth() / n) * n, 1);
  if (unit === "year") d.setFullYear(Math.floor(d.getFullYear() / n) * n, 0, 1);
  return d;
}

function advance(d, unit, n) {
  if (unit === "minute") d.setMinutes(d.getMinutes() + n);
  else if (unit === "hour") d.setHours(d.getHours() + n);
  else if (unit === "day") d.setDate(d.getDate() + n);
  else if (unit === "week") d.setDate(d.getDate() + 7 * n);
  else if (unit === "month") d.setMonth(d.getMonth() + n);
  else d.setFullYear(d.getFullYear() + n);
}

// Round local times in [from, to]: minutes, hours, days, Mondays, months, years.
function ticksOf(from, to, unit, n) {
  const out = [];
  for (const d = firstTick(from, unit, n); d.getTime() <= to && out.length < 100; advance(d, unit, n)) {
    if (d.getTime() >= from) out.push(d.getTime());
  }
  return out;
}

function tickLabel(ms, unit) {
  const t = new Date(ms);
  const midnight = t.getHours() === 0 && t.getMinutes() === 0;
  if ((unit === "minute" || unit === "hour") && !midnight) {
    return t.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit", hourCycle: "h23" });
  }
  if (unit === "year" || (unit === "month" && t.getMonth() === 0)) return String(t.getFullYear());
  if (unit === "month") return t.toLocaleDateString([], { month: "short" });
  return t.toLocaleDateString([], { month: "short", day: "numeric" });
}

// Label widths by font and text: live records rebuild the ticks several times a second.
const labelWidths = new Map();

function labelWidth(ctx, label) {
  const key = ctx.font + "|" + label;
  let w = labelWidths.get(key);
  if (w === undefined) {
    if (labelWidths.size > 5000) labelWidths.clear();
    w = ctx.measureText(label).width;
    labelWidths.set(key, w);
  }
  return w;
}

// Replaces the scale's ticks with the finest round step whose labels, as
// measured in the tick font, do not touch their neighbours.
function roundTicks(scale) {
  const { min, max, ctx } = scale;
  const width = Math.min(scale.maxWidth || scale.chart.width, scale.chart.width) - 70; // less the y axis
  const perMs = width / Math.max(max - min, 1);
  ctx.save();
  ctx.font = Chart.helpers.toFont(scale.options.ticks.font).string;
  let chosen = null;
  for (const [unit, n] of TICK_UNITS) {
    if ((max - min) / (UNIT_MS[unit] * n) > 60) continue;
    const ticks = ticksOf(min, max, unit, n);
    const widest = Math.max(0, ...ticks.map((t) => labelWidth(ctx, tickLabel(t, unit))));
    let nearest = Infinity;
    for (let i = 1; i < ticks.length; i++) nearest = Math.min(nearest, ticks[i] - ticks[i - 1]);
    chosen = { unit, ticks };
    if (nearest * perMs >= widest + TICK_GAP_PX) break;
  }
  ctx.restore();
  scale.$unit = chosen ? chosen.unit : "year";
  scale.ticks = (chosen ? chosen.ticks : []).map((value) => ({ value }));
}

// About MAX_POINTS slices, the smallest step from STEPS that keeps to it (or
// whole days); each is a whole number of one of the server's aggregate rows.
function stepFor(range) {
  const raw = range / MAX_POINTS;
  return STEPS.find((s) => s >= raw) || Math.ceil(raw / 86400) * 86400;
}

function markFlags(flags) {
  return (flags || []).filter((f) => MARKS.some((m) => m.key === f));
}

function countFlags(flags) {
  return Object.fromEntries(markFlags(flags).map((f) => [f, 1]));
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
    // In how many of its records each marked flag was set.
    flagRows: r.flag_rows || countFlags(r.flags_seen || r.flags),
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
  for (const f of flags) p.flagRows[f] = (p.flagRows[f] || 0) + 1;
}

function sliceOf(x) {
  return state.step > 0 ? Math.floor(x / (state.step * 1000)) : x;
}

// Each slice's records and those with the flag set, within [from, to]; none
// when the flag was never set there.
function markSlices(points, key, from, to) {
  const slices = [];
  let hit = false;
  for (const p of points) {
    const start = Math.max(sliceOf(p.x) * state.step * 1000, from);
    const end = Math.min(start + state.step * 1000, to);
    if (end < from || start > to) continue;
    const n = p.flagRows[key] || 0;
    hit = hit || n > 0;
    slices.push([start, end, p.rows, n]);
  }
  return hit ? slices : [];
}

// The slices' share of records in failure per pixel column: a slice narrower
// than a pixel joins its column, so neighbours are never widened into it.
function markColumns(x, slices, right) {
  const cols = new Map();
  for (const [start, end, rows, n] of slices) {
    const a = x.getPixelForValue(start);
    const b = x.getPixelForValue(end);
    const first = Math.min(b - a < 1 ? Math.floor((a + b) / 2) : Math.round(a), Math.floor(right) - 1);
    const last = Math.max(first, Math.min(Math.round(b) - 1, Math.floor(right) - 1));
    for (let c = first; c <= last; c++) {
      const col = cols.get(c) || { rows: 0, n: 0 };
      col.rows += rows;
      col.n += n;
      cols.set(c, col);
    }
  }
  return cols;
}

// Draws each marked flag: a shade over the plot as strong as each column's
// share in failure, and a bar along its top that any failure makes visible.
const markPlugin = {
  id: "marks",
  beforeDatasetsDraw(chart) {
    const { ctx, chartArea: area, scales: { x } } = chart;
    let row = 0;
    chart.data.datasets.forEach((set, i) => {
      if (!set.mark || !chart.isDatasetVisible(i) || !set.slices.length) return;
      ctx.save();
      ctx.fillStyle = set.backgroundColor;
      for (const [c, col] of markColumns(x, set.slices, area.right)) {
        if (!col.n || c < Math.floor(area.left)) continue;
        const share = col.n / col.rows;
        ctx.globalAlpha = MARK_SHADE_ALPHA * share;
        ctx.fillRect(c, area.top, 1, area.bottom - area.top);
        ctx.globalAlpha = Math.max(MARK_MIN_ALPHA, share);
        ctx.fillRect(c, area.top + row * MARK_BAR_PX, 1, MARK_BAR_PX);
      }
      ctx.restore();
      row++;
    });
  },
};

// No records between two points: more than a slice apart and more than two
// polls, so a device polled slower than the step is not cut at every point.
function isGap(a, b) {
  const d = state.devices.get(state.selected);
  const poll = d ? d.poll_interval_ms : 0;
  return sliceOf(b.x) - sliceOf(a.x) > 1 && b.x - a.x > 2 * poll;
}

// The chart's datasets from the points: mean line, min-max band, alarm
// thresholds, and flag marks (legend entries; the plugin draws them).
function datasetsOf(m, i, points, from, to) {
  const color = COLORS[i % COLORS.length];
  const mean = [];
  const max = [];
  const min = [];
  let prev = null;
  for (const p of points) {
    if (!p.rows || !p.mean || p.mean[m.key] == null) continue;
    if (prev && isGap(prev, p)) {
      const gap = { x: (prev.x + p.x) / 2, y: null };
      mean.push(gap);
      if (max.length) {
        max.push(gap);
        min.push(gap);
      }
    }
    prev = p;
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
    slices: markSlices(points, f.key, from, to),
    data: [],
    backgroundColor: f.color,
    borderColor: f.color,
  }))];
}

// Legend: no entry for the band's lower edge, nor for flags never set here.
function legendShows(item, data) {
  const set = data.datasets[item.datasetIndex];
  if (set.band) return set.band === "max" && set.data.length > 0;
  return !set.mark || set.slices.length > 0;
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
            afterBuildTicks: roundTicks,
            ticks: { autoSkip: false, maxRotation: 0, callback(value) { return tickLabel(value, this.$unit); } },
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
      max: banded ? { ...values } : null, flagRows: countFlags(flags) });
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

// The charts' text and grid follow the page's colours (light or dark).
function chartColours() {
  if (typeof Chart === "undefined") return;
  const css = getComputedStyle(document.documentElement);
  Chart.defaults.color = css.getPropertyValue("--muted").trim();
  Chart.defaults.borderColor = css.getPropertyValue("--grid").trim();
}
