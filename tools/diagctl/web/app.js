// The page of diagctl serve: draws every screen from /api/v1/screens, then
// follows /api/v1/stream, one record (the JSON of diagctl --json) per
// event. Every text from the modem goes into the page with textContent,
// never as markup. A fleet (serve --mqtt) has a column of screens per
// host: its records carry "host", and "hosts" events give their states.
// Above the screens: an overview of where the phone is and how good the
// signal is, and the events (handovers, RAT changes, the NR cell added,
// released or changed, rejects, failures) as they happen. A recording
// (diagctl record, or a session download) opened from a file is replayed
// to any moment with a slider, without a server.
'use strict';

const layouts = new Map();  // command -> the screen's layout
const screens = new Map();  // host + "\n" + command -> {layout, card parts, last values}
const hosts = new Map();    // fleet: host -> {column, header}
const charts = new Map();   // "command section column" -> {chart, lines}
let fleet = false;
let stream = null;
let paused = false;
let windowSeconds = 300;
let everySeconds = 1;
let selected = 'radionwinfo';  // the screen shown (a tab)
const latest = new Map();      // command -> its latest record (this host's, not a fleet's)
let review = null;             // an opened recording: {records, at}

// The API's token comes in the URL's fragment (#token=...), which the
// browser sends to no server. It is kept for this tab only (sessionStorage
// is per origin, so no other port or site sees it) and taken out of the
// address bar; every call carries it as a bearer token. No cookie: cookies
// would go to every port of this host.
const token = (() => {
  const hash = new URLSearchParams(location.hash.slice(1));
  const given = hash.get('token');
  if (given) {
    sessionStorage.setItem('diagctl-token', given);
    hash.delete('token');
    const rest = hash.toString();
    history.replaceState(null, '', location.pathname + (rest ? '#' + rest : ''));
  }
  return sessionStorage.getItem('diagctl-token') || '';
})();

function api(path, options = {}) {
  const headers = Object.assign({}, options.headers, {Authorization: 'Bearer ' + token});
  return fetch(path, Object.assign({}, options, {headers}));
}

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}

function maskQuery() {
  return document.getElementById('mask').checked ? '?mask=1' : '';
}

function setState(text, cls) {
  const s = document.getElementById('state');
  s.textContent = text;
  s.className = cls || '';
}

function screenKey(host, command) {
  return (host || '') + '\n' + command;
}

// A screen's card: title, time and latency, one block per section. A tab
// panel: only the selected screen is shown.
function buildScreen(info, host, parent) {
  const card = el('article', null, 'screen');
  if (!host) card.id = 'screen-' + info.name;
  card.dataset.screen = info.name;
  card.setAttribute('role', 'tabpanel');
  card.setAttribute('aria-labelledby', 'tab-' + info.name);
  card.hidden = info.name !== selected;
  card.appendChild(el('h2', info.title + ' (' + info.name + ')'));
  const meta = el('div', '—', 'meta');
  card.appendChild(meta);
  const body = el('div');
  card.appendChild(body);
  parent.appendChild(card);
  screens.set(screenKey(host, info.name), {info, card, meta, body, previous: new Map()});
}

// The tabs, one per screen in the order of the commands: a click, Enter or
// Space selects one; the arrow keys move between them.
function buildTabs(list) {
  const nav = document.getElementById('tabs');
  nav.textContent = '';
  for (const info of list) {
    const b = el('button', info.name);
    b.type = 'button';
    b.id = 'tab-' + info.name;
    b.setAttribute('role', 'tab');
    b.title = info.title;
    b.dataset.screen = info.name;
    b.addEventListener('click', () => selectScreen(info.name));
    b.addEventListener('keydown', ev => {
      const tabs = [...nav.children];
      const i = tabs.indexOf(b);
      const to = ev.key === 'ArrowRight' ? i + 1 : ev.key === 'ArrowLeft' ? i - 1 : -2;
      if (to === -2) return;
      ev.preventDefault();
      const next = tabs[(to + tabs.length) % tabs.length];
      next.focus();
      selectScreen(next.dataset.screen);
    });
    nav.appendChild(b);
  }
  selectScreen(list.some(i => i.name === selected) ? selected : list[0].name);
}

function selectScreen(name) {
  selected = name;
  for (const b of document.getElementById('tabs').children) {
    const on = b.dataset.screen === name;
    b.setAttribute('aria-selected', on ? 'true' : 'false');
    b.tabIndex = on ? 0 : -1;
  }
  for (const s of screens.values()) s.card.hidden = s.info.name !== name;
}

// A fleet's host: a column with its name and state over its screens.
function addHost(name) {
  if (hosts.has(name)) return hosts.get(name);
  const column = el('section', null, 'host');
  column.dataset.host = name;
  const header = el('h2', null, 'host-name');
  column.appendChild(header);
  // Columns in the order of the names, as the server lists them.
  const all = document.getElementById('screens');
  const after = [...all.children].find(c => c.dataset.host > name);
  all.insertBefore(column, after || null);
  for (const info of layouts.values()) buildScreen(info, name, column);
  const entry = {column, header};
  hosts.set(name, entry);
  showHost(name, {name, state: 'unknown'});
  return entry;
}

function showHost(name, h) {
  const header = hosts.get(name).header;
  header.textContent = '';
  header.appendChild(el('span', name));
  header.appendChild(el('span', h.state, 'host-state ' + h.state));
  if (h.dropped) header.appendChild(el('span', h.dropped + ' dropped', 'host-dropped'));
  if (h.since) header.appendChild(el('span', 'since ' + h.since, 'host-since'));
}

function updateHosts(list) {
  if (!Array.isArray(list)) return;
  for (const h of list) {
    if (typeof h.name !== 'string') continue;
    addHost(h.name);
    showHost(h.name, h);
  }
}

function show(value, unit) {
  if (value === null || value === undefined) return null;
  if (typeof value === 'object') return JSON.stringify(value);
  return unit && typeof value === 'number' ? value + ' ' + unit : String(value);
}

// What the terminal shows for a null of the record at path: the
// daemon's placeholder ("NOT SUPPORTED", "N/A").
function placeholder(rec, path) {
  const u = rec.screen.unavailable;
  return (u && typeof u[path] === 'string') ? u[path] : 'N/A';
}

// Fills a cell (na: the text for a missing value); marks it when it
// changed since the last record.
function cell(s, id, value, unit, na) {
  const td = el('td', null, 'value');
  td.dataset.key = id;
  const text = show(value, unit);
  td.textContent = text === null ? na : text;
  if (text === null) td.classList.add('na');
  if (s.previous.has(id) && s.previous.get(id) !== td.textContent) td.classList.add('changed');
  s.previous.set(id, td.textContent);
  return td;
}

// A table as the terminal draws it: units in the header, a column that
// reads NOT SUPPORTED in every row named below the table instead,
// "(none)" for no rows.
function renderTable(s, rec, sec, rows, body) {
  const cols = [];
  const unsupported = [];
  for (const item of sec.items) {
    if (!rows.some(row => item.key in row)) continue;
    const missing = rows.every(row => row[item.key] === null || row[item.key] === undefined);
    const notSupported = rows.some((row, i) => row[item.key] === null &&
        placeholder(rec, sec.key + '.' + i + '.' + item.key) === 'NOT SUPPORTED');
    if (missing && notSupported)
      unsupported.push(item.label);
    else
      cols.push(item);
  }
  if (!rows.length) {
    body.appendChild(el('p', '(none)', 'note'));
    return;
  }
  const table = el('table', null, 'rows');
  const head = document.createElement('tr');
  const th = text => {
    const e = el('th', text);
    e.scope = 'col';
    return e;
  };
  head.appendChild(th('#'));
  for (const c of cols) head.appendChild(th(c.unit ? c.label + ' (' + c.unit + ')' : c.label));
  table.appendChild(head);
  rows.forEach((row, i) => {
    const tr = document.createElement('tr');
    tr.appendChild(el('td', row.index));
    for (const c of cols) {
      const na = placeholder(rec, sec.key + '.' + i + '.' + c.key);
      tr.appendChild(cell(s, sec.key + '.' + row.index + '.' + c.key, row[c.key], '', na));
    }
    table.appendChild(tr);
  });
  body.appendChild(table);
  if (unsupported.length)
    body.appendChild(el('p', 'NOT SUPPORTED: ' + unsupported.join(', '), 'note'));
}

function renderRecord(rec, quiet) {
  if (!rec || typeof rec !== 'object' || typeof rec.command !== 'string') return;
  if (fleet && typeof rec.host === 'string') addHost(rec.host);
  const s = screens.get(screenKey(fleet ? rec.host : '', rec.command));
  if (!s) return;
  if (!fleet) {
    if (!quiet) noteEvents(rec);
    latest.set(rec.command, rec);
    const tab = document.getElementById('tab-' + rec.command);
    if (tab) tab.classList.toggle('failed', !!rec.error || rec.result === 'FAILURE');
    updateOverview();
  }
  s.card.dataset.time = rec.time;
  s.meta.textContent = '';
  s.meta.appendChild(el('span', rec.time + '  ·  ' + rec.latency_ms.toFixed(1) + ' ms  ·  '));
  if (rec.error) {
    s.meta.appendChild(el('span', rec.error.message, 'fail'));
    return;
  }
  s.meta.appendChild(el('span', rec.result || 'read', rec.result === 'FAILURE' ? 'fail' : ''));
  const body = document.createElement('div');
  const data = rec.screen.sections;
  for (const sec of s.info.sections) {
    const v = data[sec.key];
    // A section whose attribute is not published: its note, or nothing.
    if (v === undefined && !sec.absent) continue;
    const part = el('section');
    part.dataset.section = sec.key;
    part.appendChild(el('h3', sec.title));
    body.appendChild(part);
    if (v === undefined) {
      part.appendChild(el('p', sec.absent, 'note'));
    } else if (sec.table && Array.isArray(v)) {
      renderTable(s, rec, sec, v, part);
    } else if (!sec.table && v !== null && typeof v === 'object') {
      const table = el('table', null, 'fields');
      for (const item of sec.items) {
        if (!(item.key in v)) continue;
        const tr = document.createElement('tr');
        const th = el('th', item.label);
        th.scope = 'row';
        tr.appendChild(th);
        const key = sec.key + '.' + item.key;
        tr.appendChild(cell(s, key, v[item.key], item.unit, placeholder(rec, key)));
        table.appendChild(tr);
      }
      part.appendChild(table);
    } else {
      // Not the shape the screen expects: the value as it is.
      part.appendChild(el('p', show(v, '') || placeholder(rec, sec.key), 'note'));
    }
  }
  s.body.replaceWith(body);
  s.body = body;
  chartRecord(s.info, rec);
}

// Charts: one per charted field group of a screen, and one per charted
// table column with a line per row, named by its scrambling code or ARFCN.
function chartFor(id, title, unit) {
  if (charts.has(id)) return charts.get(id);
  if (typeof window.Chart !== 'function') return null;
  const box = el('div', null, 'chart');
  box.appendChild(el('h3', title + (unit ? ' (' + unit + ')' : '')));
  const holder = el('div');
  const canvas = document.createElement('canvas');
  canvas.dataset.chart = id;
  holder.appendChild(canvas);
  box.appendChild(holder);
  document.getElementById('charts').appendChild(box);
  const chart = new window.Chart(canvas, {
    type: 'line',
    data: {datasets: []},
    options: {
      animation: false,
      maintainAspectRatio: false,
      parsing: false,
      normalized: true,
      scales: {
        x: {
          type: 'linear',
          ticks: {callback: v => new Date(v).toISOString().substring(11, 19), maxTicksLimit: 6},
        },
        y: {},
      },
      plugins: {legend: {labels: {boxWidth: 10}}},
    },
  });
  const entry = {chart, lines: new Map(), unit, box};
  charts.set(id, entry);
  return entry;
}

const palette = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2',
                 '#17becf', '#7f7f7f', '#bcbd22'];

function addPoint(entry, name, t, y) {
  if (typeof y !== 'number') return;
  let ds = entry.lines.get(name);
  if (!ds) {
    const colour = palette[entry.lines.size % palette.length];
    ds = {label: name, data: [], borderColor: colour, backgroundColor: colour, pointRadius: 1,
          borderWidth: 1.5};
    entry.lines.set(name, ds);
    entry.chart.data.datasets.push(ds);
  }
  // The stream starts with the records the index already gave.
  if (ds.data.length && ds.data[ds.data.length - 1].x >= t) return;
  ds.data.push({x: t, y});
  // Keeps 30 minutes, the longest zoom.
  while (ds.data.length && ds.data[0].x < t - 1800e3) ds.data.shift();
}

function chartRecord(info, rec) {
  const t = Date.parse(rec.time);
  // A fleet's charts have a line per host.
  const who = fleet ? rec.host + ' ' : '';
  const data = rec.screen.sections;
  for (const sec of info.sections) {
    const v = data[sec.key];
    if (v === undefined || v === null) continue;
    if (!sec.table) {
      for (const item of sec.items) {
        if (!item.trend) continue;
        if (typeof v[item.key] !== 'number') continue;  // no number: no chart
        const entry = chartFor(info.name + ' ' + sec.key + ' ' + item.unit,
                               info.title + ': ' + sec.title, item.unit);
        if (entry) addPoint(entry, who + item.label, t, v[item.key]);
      }
    } else if (Array.isArray(v)) {
      const named = sec.items.find(item => item.key === sec.line_key);
      for (const item of sec.items) {
        if (!item.trend || !v.some(row => typeof row[item.key] === 'number')) continue;
        const entry = chartFor(info.name + ' ' + sec.key + ' ' + item.key,
                               sec.title + ': ' + item.label, item.unit);
        if (!entry) continue;
        for (const row of v) {
          const name = named && row[named.key] !== undefined && row[named.key] !== null ?
              named.label + ' ' + row[named.key] : '#' + row.index;
          addPoint(entry, who + name, t, row[item.key]);
        }
      }
    }
  }
}

// Each chart over the window that ends now (or at the moment a recording
// is scrubbed to): hidden when none of its lines has a point in it; a level
// axis never narrower than 20 dB (10 for a ratio in dB), so noise of a dB
// or two does not fill it.
function redrawCharts() {
  const end = review ? review.t : Date.now();
  const start = end - windowSeconds * 1000;
  for (const {chart, unit, box} of charts.values()) {
    let lo = Infinity, hi = -Infinity;
    for (const ds of chart.data.datasets)
      for (const p of ds.data)
        if (p.x >= start && p.x <= end) {
          lo = Math.min(lo, p.y);
          hi = Math.max(hi, p.y);
        }
    box.hidden = lo === Infinity;
    if (box.hidden) continue;
    const span = unit === 'dBm' ? 20 : unit === 'dB' ? 10 : 0;
    const y = chart.options.scales.y;
    if (hi - lo < span) {
      const mid = (hi + lo) / 2;
      y.min = Math.floor(mid - span / 2);
      y.max = Math.ceil(mid + span / 2);
    } else {
      delete y.min;
      delete y.max;
    }
    chart.options.scales.x.min = start;
    chart.options.scales.x.max = end;
    chart.update('none');
  }
}

// ---- The overview: where the phone is and how good the signal is.

// A record's field, whichever section holds it.
function field(command, key) {
  const r = latest.get(command);
  if (!r || !r.screen || !r.screen.sections) return null;
  for (const v of Object.values(r.screen.sections))
    if (v && typeof v === 'object' && !Array.isArray(v) && key in v) return v[key];
  return null;
}

// On LTE the mobility structure's RAT reads "unknown"; lteopinfo says
// whether the modem is camped on an E-UTRA cell, nropinfo whether NR is
// added (NSA) or alone (SA).
function onLte() {
  return field('lteopinfo', 'lte_camped') === 'YES';
}
function activeRat() {
  const nr = field('nropinfo', 'nr_mode');
  if (onLte()) return nr === 'NSA' ? 'LTE + NR' : 'LTE';
  if (nr === 'SA') return 'NR';
  return field('gsmopinfo', 'active_rat') || field('bearer', 'active_rat');
}

// Quality bands, as the page states them under the overview.
const bands = {
  rscp: v => (v >= -85 ? 'good' : v >= -100 ? 'fair' : 'poor'),
  ecio: v => (v >= -8 ? 'good' : v >= -14 ? 'fair' : 'poor'),
  rxlev: v => (v >= 30 ? 'good' : v >= 15 ? 'fair' : 'poor'),
  rxqual: v => (v <= 2 ? 'good' : v <= 4 ? 'fair' : 'poor'),
  rsrp: v => (v >= -90 ? 'good' : v >= -105 ? 'fair' : 'poor'),
  rsrq: v => (v >= -10 ? 'good' : v >= -15 ? 'fair' : 'poor'),
};

function joinKnown(parts, sep) {
  const known = parts.filter(p => p !== null && p !== undefined);
  return known.length ? known.join(sep) : '—';
}

function updateOverview() {
  const rat = activeRat();
  const gsm = rat === 'GSM';
  const text = (id, t) => { document.getElementById(id).textContent = t; };
  text('ov-rat', rat || '—');
  if (onLte()) {
    const f = k => field('lteopinfo', 'scell_' + k);
    const mcc = f('mcc'), mnc = f('mnc');
    text('ov-plmn', mcc !== null && mnc !== null ? mcc + '-' + String(mnc).padStart(2, '0') : '—');
    text('ov-cell', joinKnown([f('tac'), f('cellid')], ' · '));
    text('ov-channel-label', 'EARFCN · PCI');
    text('ov-channel', joinKnown([f('earfcn'), f('pci')], ' · '));
    showLevels([['RSRP', f('rsrp'), 'dBm', 'rsrp'], ['RSRQ', f('rsrq'), 'dB', 'rsrq']]);
    return;
  }
  const f = gsm ? k => field('gsmopinfo', 'gsm_' + k) : k => field('radionwinfo', 'scell_' + k);
  const mcc = f('mcc'), mnc = f('mnc');
  text('ov-plmn', mcc !== null && mnc !== null ? mcc + '-' + String(mnc).padStart(2, '0') : '—');
  text('ov-cell', joinKnown([f('lac'), f('cellid')], ' · '));
  text('ov-channel-label', gsm ? 'ARFCN · BSIC' : 'UARFCN · SC');
  text('ov-channel', gsm ? joinKnown([f('arfcn'), f('bsic')], ' · ')
                         : joinKnown([f('uarfcn'), f('sc')], ' · '));
  showLevels(gsm ? [['RxLev', field('gsmopinfo', 'rxlev_full'), '', 'rxlev'],
                    ['RxQual', field('gsmopinfo', 'rxqual_full'), '', 'rxqual']]
                 : [['RSCP', f('rscp'), 'dBm', 'rscp'], ['Ec/Io', f('ecio'), 'dB', 'ecio']]);
}

// The serving levels, each with its quality band, then the freshness.
function showLevels(levels) {
  const box = document.getElementById('ov-levels');
  box.textContent = '';
  for (const [label, value, unit, kind] of levels) {
    const item = el('span', null, 'level');
    item.dataset.level = kind;
    item.appendChild(el('span', label, 'ov-label'));
    item.appendChild(el('span', typeof value === 'number' ? String(value) : '—', 'figure'));
    if (unit) item.appendChild(el('span', unit));
    if (typeof value === 'number') item.appendChild(el('span', bands[kind](value), 'band ' + bands[kind](value)));
    box.appendChild(item);
  }
  updateFreshness();
}

// The time of the last answer, marked when answers stopped (three rounds
// and at least 5 s without one) or the last one failed.
function updateFreshness() {
  let last = null, failed = false;
  for (const r of latest.values()) {
    if (last === null || r.time > last.time) last = r;
  }
  if (last) failed = !!last.error;
  const t = document.getElementById('ov-time');
  if (!last) {
    t.textContent = '—';
    return;
  }
  const age = ((review ? review.t : Date.now()) - Date.parse(last.time)) / 1000;
  const stale = age > Math.max(5, 3 * everySeconds);
  t.textContent = last.time.substring(11, 19) + (failed ? ' (failed: ' + last.error.message + ')' :
                                                  stale ? ' (no answer for ' + Math.round(age) + ' s)' : '');
  t.className = failed ? 'failed' : stale ? 'stale' : '';
}

// ---- Events: what changed, as it happens.

let seen = {};  // what the events compare with: serving cells, RAT, causes, failing commands

function addEvent(time, text, cls) {
  const list = document.getElementById('events');
  const empty = list.querySelector('li.empty');
  if (empty) empty.remove();
  const li = el('li', null, cls || '');
  const at = el('time', String(time).substring(11, 19));
  at.dateTime = time;
  li.appendChild(at);
  li.appendChild(el('span', text));
  list.insertBefore(li, list.firstChild);
  while (list.children.length > 200) list.lastChild.remove();
}

function resetEvents() {
  seen = {};
  const list = document.getElementById('events');
  list.textContent = '';
  list.appendChild(el('li', 'none yet', 'empty'));
}

function noteEvents(rec) {
  const sections = rec.screen && rec.screen.sections ? rec.screen.sections : {};
  const find = key => {
    for (const v of Object.values(sections))
      if (v && typeof v === 'object' && !Array.isArray(v) && key in v) return v[key];
    return undefined;
  };
  const failing = !!rec.error || rec.result === 'FAILURE';
  const was = seen['fail ' + rec.command];
  if (failing && !was)
    addEvent(rec.time, rec.command + ' failed' + (rec.error ? ': ' + rec.error.message : ''), 'fail');
  else if (!failing && was)
    addEvent(rec.time, rec.command + ' answers again');
  seen['fail ' + rec.command] = failing;
  if (!rec.screen) return;
  // The RAT: LTE while lteopinfo says camped (the mobility structure's
  // RAT then reads "unknown", which says nothing), else the active RAT.
  if (rec.command === 'lteopinfo' && typeof find('lte_camped') === 'string')
    seen.lte = find('lte_camped') === 'YES';
  let rat = seen.lte ? 'LTE' : find('active_rat');
  if (rat === 'unknown') rat = undefined;
  if (typeof rat === 'string') {
    if (seen.rat && seen.rat !== rat) addEvent(rec.time, 'RAT change: ' + seen.rat + ' → ' + rat);
    seen.rat = rat;
  }
  // A serving cell of its own RAT: a change of it is a handover.
  const cells = {
    radionwinfo: ['WCDMA', () => [find('scell_uarfcn'), find('scell_sc')], c => 'SC ' + c[1] + ' (UARFCN ' + c[0] + ')'],
    gsmopinfo: ['GSM', () => [find('gsm_arfcn'), find('gsm_bsic')], c => 'ARFCN ' + c[0] + ' BSIC ' + c[1]],
    lteopinfo: ['LTE', () => [find('scell_earfcn'), find('scell_pci')], c => 'PCI ' + c[1] + ' (EARFCN ' + c[0] + ')'],
  }[rec.command];
  if (cells && (seen.rat || rat) === cells[0]) {
    const c = cells[1]();
    if (typeof c[0] === 'number' && typeof c[1] === 'number') {
      const key = c.join('/');
      const before = seen['cell ' + cells[0]];
      if (before && before.key !== key)
        addEvent(rec.time, 'Handover: ' + cells[2](before.c) + ' → ' + cells[2](c));
      seen['cell ' + cells[0]] = {key, c};
    }
  }
  // The NR cell (the NSA secondary leg, or the SA serving cell): added,
  // released or changed. A mode the daemon could not read says nothing.
  const nrMode = rec.command === 'nropinfo' ? find('nr_mode') : undefined;
  if (nrMode === 'NONE' || nrMode === 'NSA' || nrMode === 'SA') {
    const arfcn = find('nr_scell_arfcn'), pci = find('nr_scell_pci');
    const on = nrMode !== 'NONE';
    const cell = on && typeof arfcn === 'number' && typeof pci === 'number'
                     ? 'PCI ' + pci + ' (NR-ARFCN ' + arfcn + ')' : null;
    const before = seen.nr;
    if (before && on && !before.on)
      addEvent(rec.time, 'NR added' + (cell ? ': ' + cell : ''));
    else if (before && !on && before.on)
      addEvent(rec.time, 'NR released' + (before.cell ? ': ' + before.cell : ''));
    else if (before && on && cell && before.cell && cell !== before.cell)
      addEvent(rec.time, 'NR cell change: ' + before.cell + ' → ' + cell);
    seen.nr = {on, cell: cell || (on && before ? before.cell : null)};
  }
  // A reject or failure cause that becomes a new non-zero value.
  for (const key of ['mm_latest_cause', 'gmm_latest_cause', 'rr_latest_cause', 'cc_latest_cause',
                     'sm_latest_cause', 'rrc_rej_cause', 'mm_reject', 'gmm_reject']) {
    const v = find(key);
    if (typeof v !== 'number') continue;
    const before = seen['cause ' + key];
    if (v !== 0 && before !== undefined && before !== v)
      addEvent(rec.time, key.replace(/_/g, ' ') + ': ' + v, 'fail');
    seen['cause ' + key] = v;
  }
}

// ---- Review: a recording opened from a file, scrubbed to a moment.

// The commands in the order of the screens, for a recording opened without
// a server (its layouts then come from the records themselves).
const commandOrder = ['identity', 'access', 'gsmopinfo', 'tchtxpower', 'bearer', 'hspaopinfo',
                      'umtsopinfo', 'radiostats', 'radionwinfo', 'nitz', 'lteopinfo',
                      'nropinfo'];

// A screen's layout made from one of its records: sections by their keys,
// fields and columns by their names, units from the record.
function layoutFromRecord(rec) {
  const units = rec.screen.units || {};
  const sections = [];
  for (const [key, v] of Object.entries(rec.screen.sections)) {
    const table = Array.isArray(v);
    const names = new Set();
    if (table) v.forEach(row => Object.keys(row || {}).forEach(k => k !== 'index' && names.add(k)));
    else if (v && typeof v === 'object') Object.keys(v).forEach(k => names.add(k));
    const items = [...names].map(k => ({key: k, label: k, unit: units[key + '.' + k] || '',
                                         trend: /rscp|ecio|ecno|rxlev|rssi|tx_pwr|tx_power/.test(k)}));
    sections.push({title: key.replace(/_/g, ' '), key, table, line_key: table ? ([...names].find(k => /_sc$|psc$|arfcn$/.test(k)) || 'index') : '',
                   absent: null, items});
  }
  return {name: rec.command, title: rec.command, sections};
}

function resetView() {
  latest.clear();
  resetEvents();
  for (const {chart, box} of charts.values()) {
    chart.destroy();
    box.remove();
  }
  charts.clear();
  for (const s of screens.values()) {
    s.previous.clear();
    s.meta.textContent = '—';
    s.body.textContent = '';
  }
}

async function openRecording(file) {
  const text = await file.text();
  const records = [];
  for (const line of text.split('\n')) {
    if (!line.trim()) continue;
    try {
      const rec = JSON.parse(line);
      if (rec && typeof rec.command === 'string' && typeof rec.time === 'string' &&
          !Number.isNaN(Date.parse(rec.time)))
        records.push(rec);
    } catch (e) {
      // A line cut off: left out.
    }
  }
  if (!records.length) {
    setState(file.name + ' holds no records', 'error');
    return;
  }
  records.sort((a, b) => Date.parse(a.time) - Date.parse(b.time));
  if (stream) stream.abort();
  stream = null;
  // Without a server the records give the layouts.
  let built = false;
  for (const rec of records) {
    if (layouts.has(rec.command) || !rec.screen || !rec.screen.sections) continue;
    layouts.set(rec.command, layoutFromRecord(rec));
    built = true;
  }
  if (built) {
    const all = document.getElementById('screens');
    all.textContent = '';
    screens.clear();
    const list = [...layouts.values()].sort((a, b) => commandOrder.indexOf(a.name) - commandOrder.indexOf(b.name));
    for (const info of list) buildScreen(info, '', all);
    buildTabs(list);
  }
  review = {records, t: 0, name: file.name};
  document.getElementById('review').hidden = false;
  document.getElementById('review-name').textContent = file.name;
  const scrub = document.getElementById('scrub');
  scrub.max = String(records.length - 1);
  scrub.value = scrub.max;
  setState('reviewing ' + records.length + ' records', 'paused');
  reviewAt(records.length - 1);
}

// Everything as it was when the record at index i came: each screen's
// latest record, the events so far, the charts' window ending there.
function reviewAt(i) {
  const records = review.records;
  review.t = Date.parse(records[i].time);
  resetView();
  const last = new Map();
  for (let j = 0; j <= i; j++) {
    const rec = records[j];
    if (!layouts.has(rec.command)) continue;
    noteEvents(rec);
    last.set(rec.command, rec);
    if (rec.screen && Date.parse(rec.time) >= review.t - 1800e3) chartRecord(layouts.get(rec.command), rec);
  }
  for (const rec of last.values()) renderRecord(rec, true);
  document.getElementById('scrub-time').textContent = records[i].time;
  redrawCharts();
}

function closeReview() {
  review = null;
  document.getElementById('review').hidden = true;
  document.getElementById('open').value = '';
  resetView();
  start().catch(e => setState(String(e.message || e), 'error'));
}

// The event stream, read with fetch (EventSource cannot send a token):
// events are blocks of lines ended by a blank line; "event: hosts" names a
// fleet's hosts, "data:" carries a record. Reconnects after 2 s.
function connect() {
  if (stream) stream.abort();
  const controller = new AbortController();
  stream = controller;
  const one = async () => {
    const r = await api('api/v1/stream' + maskQuery(), {signal: controller.signal});
    if (r.status === 401) throw new Error('the token is missing or wrong: open the URL diagctl serve printed');
    if (!r.ok || !r.body) throw new Error('the stream answered ' + r.status);
    setState('live');
    const reader = r.body.pipeThrough(new TextDecoderStream()).getReader();
    let text = '';
    for (;;) {
      const {value, done} = await reader.read();
      if (done) return;
      text += value;
      let end;
      while ((end = text.indexOf('\n\n')) >= 0) {
        const block = text.slice(0, end);
        text = text.slice(end + 2);
        let event = 'message', data = '';
        for (const line of block.split('\n')) {
          if (line.startsWith('event: ')) event = line.slice(7);
          else if (line.startsWith('data: ')) data += line.slice(6);
        }
        if (!data) continue;
        let parsed;
        try {
          parsed = JSON.parse(data);
        } catch (e) {
          continue;  // not JSON: nothing to show
        }
        if (event === 'hosts') updateHosts(parsed);
        else if (event === 'message') renderRecord(parsed);
      }
    }
  };
  (async () => {
    while (stream === controller) {
      try {
        await one();
        setState('reconnecting…', 'error');
      } catch (e) {
        if (stream !== controller) return;
        setState(e.name === 'TypeError' ? 'reconnecting…' : String(e.message || e), 'error');
      }
      await new Promise(done => setTimeout(done, 2000));
    }
  })();
}

// The session downloads as a file, fetched with the token.
async function download(ev) {
  ev.preventDefault();
  const a = ev.currentTarget;
  try {
    const r = await api(a.dataset.path + maskQuery());
    if (!r.ok) throw new Error('the download answered ' + r.status);
    const url = URL.createObjectURL(await r.blob());
    const save = el('a');
    save.href = url;
    save.download = a.getAttribute('download');
    document.body.appendChild(save);
    save.click();
    save.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  } catch (e) {
    setState(String(e.message || e), 'error');
  }
}

async function gsmTime(on) {
  const out = document.getElementById('gsm-result');
  try {
    const r = await api('api/v1/gsm-time', {method: 'POST', body: on ? 'on' : 'off'});
    const body = await r.json();
    out.textContent = r.ok ? 'gsm_time_enable ' + body.gsm_time_enable : body.error;
  } catch (e) {
    out.textContent = String(e);
  }
}

// The latest records an index gives: each screen's, or in a fleet each
// host's.
function renderLatest(index) {
  if (index.fleet) {
    for (const h of index.hosts || [])
      for (const r of h.records)
        if (r) renderRecord(r);
  } else {
    for (const info of index.screens)
      if (info.record) renderRecord(info.record, true);
  }
}

async function start() {
  resetEvents();
  let r;
  try {
    r = await api('api/v1/screens' + maskQuery());
  } catch (e) {
    // No server (the page saved, or the console stopped): a recording can
    // still be opened.
    setState('no server: open a recording to review it', 'error');
    return;
  }
  if (r.status === 401) throw new Error('the token is missing or wrong: open the URL diagctl serve printed');
  const index = await r.json();
  if (index.mask) {
    const m = document.getElementById('mask');
    m.checked = true;
    m.disabled = true;
  }
  everySeconds = index.every_s || 1;
  document.getElementById('gsm-time').hidden = !index.allow_control;
  fleet = index.fleet === true;
  document.getElementById('overview').hidden = fleet;
  const all = document.getElementById('screens');
  all.textContent = '';
  screens.clear();
  hosts.clear();
  layouts.clear();
  all.classList.toggle('fleet', fleet);
  for (const info of index.screens) layouts.set(info.name, info);
  if (fleet) {
    for (const h of index.hosts) {
      addHost(h.name);
      showHost(h.name, h);
    }
  } else {
    for (const info of index.screens) buildScreen(info, '', all);
  }
  buildTabs(index.screens);
  // The charts and events start with the session's last minutes.
  const history = await api('api/v1/session.jsonl?seconds=' + windowSeconds + maskQuery().replace('?', '&'));
  if (history.ok) {
    for (const line of (await history.text()).split('\n')) {
      if (!line) continue;
      const rec = JSON.parse(line);
      const info = layouts.get(rec.command);
      if (!info) continue;
      if (!fleet) noteEvents(rec);
      if (rec.screen) chartRecord(info, rec);
    }
  }
  renderLatest(index);
  // "#paused" opens the page still: the latest records and no stream.
  if (new URLSearchParams(location.hash.slice(1)).has('paused')) {
    paused = true;
    document.getElementById('pause').textContent = 'Resume';
    setState('paused', 'paused');
  } else {
    connect();
  }
  redrawCharts();
}

setInterval(() => {
  redrawCharts();
  if (!fleet) updateFreshness();
}, 1000);

document.getElementById('pause').addEventListener('click', ev => {
  if (review) return;
  paused = !paused;
  ev.target.textContent = paused ? 'Resume' : 'Pause';
  if (paused) {
    stream.abort();
    stream = null;
    setState('paused', 'paused');
  } else {
    connect();
  }
});
// Masking takes effect at once: a stream opened again, or while paused the
// latest records fetched again, so no identity stays shown under a ticked
// box.
document.getElementById('mask').addEventListener('change', async () => {
  for (const s of screens.values()) s.previous.clear();
  if (!paused) {
    connect();
    return;
  }
  try {
    const r = await api('api/v1/screens' + maskQuery());
    renderLatest(await r.json());
  } catch (e) {
    setState(String(e), 'error');
  }
});
document.getElementById('window').addEventListener('change', ev => {
  windowSeconds = Number(ev.target.value);
  redrawCharts();
});
for (const id of ['dl-jsonl', 'dl-csv']) document.getElementById(id).addEventListener('click', download);
document.getElementById('gsm-on').addEventListener('click', () => gsmTime(true));
document.getElementById('gsm-off').addEventListener('click', () => gsmTime(false));
document.getElementById('open').addEventListener('change', ev => {
  if (ev.target.files.length) openRecording(ev.target.files[0]).catch(e => setState(String(e), 'error'));
});
document.getElementById('scrub').addEventListener('input', ev => reviewAt(Number(ev.target.value)));
document.getElementById('review-close').addEventListener('click', closeReview);
// A recording dropped anywhere on the page opens too.
document.addEventListener('dragover', ev => ev.preventDefault());
document.addEventListener('drop', ev => {
  ev.preventDefault();
  const f = ev.dataTransfer && ev.dataTransfer.files[0];
  if (f) openRecording(f).catch(e => setState(String(e), 'error'));
});
start().catch(e => setState(String(e.message || e), 'error'));
