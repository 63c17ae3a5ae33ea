// The page of diagctl serve: draws every screen from /api/v1/screens, then
// follows /api/v1/stream, one record (the JSON of diagctl --json) per
// event. Every text from the modem goes into the page with textContent,
// never as markup. A fleet (serve --mqtt) has a column of screens per
// host: its records carry "host", and "hosts" events give their states.
'use strict';

const layouts = new Map();  // command -> the screen's layout
const screens = new Map();  // host + "\n" + command -> {layout, card parts, last values}
const hosts = new Map();    // fleet: host -> {column, header}
const charts = new Map();   // "command section column" -> {chart, lines}
let fleet = false;
let stream = null;
let paused = false;
let windowSeconds = 300;

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

// A screen's card: title, time and latency, one block per section.
function buildScreen(info, host, parent) {
  const card = el('article', null, 'screen');
  if (!host) card.id = 'screen-' + info.name;
  card.dataset.screen = info.name;
  card.appendChild(el('h2', info.title + ' (' + info.name + ')'));
  const meta = el('div', '—', 'meta');
  card.appendChild(meta);
  const body = el('div');
  card.appendChild(body);
  parent.appendChild(card);
  screens.set(screenKey(host, info.name), {info, card, meta, body, previous: new Map()});
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
  head.appendChild(el('th', '#'));
  for (const c of cols) head.appendChild(el('th', c.unit ? c.label + '(' + c.unit + ')' : c.label));
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

function renderRecord(rec) {
  if (fleet && typeof rec.host === 'string') addHost(rec.host);
  const s = screens.get(screenKey(fleet ? rec.host : '', rec.command));
  if (!s) return;
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
    part.appendChild(el('h4', sec.title));
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
        tr.appendChild(el('th', item.label));
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
      },
      plugins: {legend: {labels: {boxWidth: 10}}},
    },
  });
  const entry = {chart, lines: new Map()};
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
        const entry = chartFor(info.name + ' ' + sec.key + ' ' + item.unit,
                               info.title + ': ' + sec.title, item.unit);
        if (entry) addPoint(entry, who + item.label, t, v[item.key]);
      }
    } else if (Array.isArray(v)) {
      const named = sec.items.find(item => item.key === sec.line_key);
      for (const item of sec.items) {
        if (!item.trend) continue;
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

function redrawCharts() {
  const now = Date.now();
  for (const {chart} of charts.values()) {
    chart.options.scales.x.min = now - windowSeconds * 1000;
    chart.options.scales.x.max = now;
    chart.update('none');
  }
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
      if (info.record) renderRecord(info.record);
  }
}

async function start() {
  const r = await api('api/v1/screens' + maskQuery());
  if (r.status === 401) throw new Error('the token is missing or wrong: open the URL diagctl serve printed');
  const index = await r.json();
  if (index.mask) {
    const m = document.getElementById('mask');
    m.checked = true;
    m.disabled = true;
  }
  document.getElementById('gsm-time').hidden = !index.allow_control;
  fleet = index.fleet === true;
  const all = document.getElementById('screens');
  all.classList.toggle('fleet', fleet);
  // A fleet's columns come first: the lab's view of its hosts.
  if (fleet) all.parentNode.insertBefore(all, document.getElementById('charts'));
  for (const info of index.screens) layouts.set(info.name, info);
  if (fleet) {
    for (const h of index.hosts) {
      addHost(h.name);
      showHost(h.name, h);
    }
  } else {
    for (const info of index.screens) buildScreen(info, '', document.getElementById('screens'));
  }
  // The charts start with the session's last minutes.
  const history = await api('api/v1/session.jsonl?seconds=' + windowSeconds + maskQuery().replace('?', '&'));
  if (history.ok) {
    for (const line of (await history.text()).split('\n')) {
      if (!line) continue;
      const rec = JSON.parse(line);
      const info = layouts.get(rec.command);
      if (info && rec.screen) chartRecord(info, rec);
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
  setInterval(redrawCharts, 1000);
}

document.getElementById('pause').addEventListener('click', ev => {
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
start().catch(e => setState(String(e), 'error'));
