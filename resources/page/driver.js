// A driver's page: the fields of its status dialog, its router table and one router's
// crosspoints, read twice a second without the event stream. A crosspoint that differs from
// the previous read is highlighted, so a change shows however it came (a route, a panel at the
// router, RX only). While the event stream is live the routes come as they happen (highlighted
// at once) and the page reads seldom, and at once on a mode or link change of its driver.
'use strict';

(() => {
  const driver = Number(location.pathname.split('/')[2]);
  const params = new URLSearchParams(location.search);
  let router = Number(params.get('router')) || 0;  // 0: the driver's first router
  const pageSize = 100;
  const changedFor = 2000;   // ms a change is highlighted fully
  const fadingFor = 6000;    // ms until its highlight is gone

  let names = {version: 0, destinations: {}, sources: {}};
  let table = null;          // the last table read
  let changedAt = new Map(); // destination -> when a change was seen
  let page = 0;
  let lastDriver = null;     // the last reading in which the driver answered
  // Routes that came as events since the running read started: a read's table may be older
  // than they are, so they are applied again over it.
  let routesSinceRead = [];
  let downSince = null;

  const $ = (id) => document.getElementById(id);
  document.title = 'Driver ' + driver + ' - KIRN Driver';
  Page.setText($('title'), 'Driver ' + driver);

  // The crosspoint history of one destination, opened from its row.
  const historyRows = 50;
  const historyEvery = 2000;  // ms between reads while it is open
  let historyDest = 0;        // 0: closed
  let historyRouter = 0;
  let historyRead = 0;

  $('xpt-rows').addEventListener('click', (ev) => {
    const tr = ev.target.closest('tr[data-dest]');
    if (tr) openHistory(Number(tr.dataset.dest));
  });
  $('xpt-rows').addEventListener('keydown', (ev) => {
    const tr = ev.target.closest('tr[data-dest]');
    if (tr && (ev.key === 'Enter' || ev.key === ' ')) {
      ev.preventDefault();
      openHistory(Number(tr.dataset.dest));
    }
  });
  $('history-close').addEventListener('click', () => {
    historyDest = 0;
    $('history').hidden = true;
    drawTable();
  });

  $('search').addEventListener('input', () => { page = 0; drawTable(); });
  $('locked-only').addEventListener('change', () => { page = 0; drawTable(); });
  $('prev').addEventListener('click', () => { page = Math.max(0, page - 1); drawTable(); });
  $('next').addEventListener('click', () => { page += 1; drawTable(); });

  function routerLink(device) {
    return '/driver/' + encodeURIComponent(driver) + '?router=' + encodeURIComponent(device);
  }

  function drawPanel(d, up) {
    const p = d.panel || {};
    for (const e of document.querySelectorAll('[data-field]')) {
      Page.setText(e, p[e.dataset.field]);
    }
    for (const e of document.querySelectorAll('[data-link]')) {
      const c = e.dataset.link;
      const down = Page.controllerDown(d, c) || (c === 'A' && Page.controllerDown(d, 'serial'));
      e.classList.toggle('bad-text', up && down);
    }
    Page.setText($('routes'), d.routes + ' carried out, ' + d.refused + ' refused');
    Page.setText($('refused_by_controller'), String(d.refused_by_controller || 0));
    Page.setText($('dropped'), String(d.dropped));
    $('dropped').classList.toggle('warn-text', d.dropped > 0);
    Page.setText($('last_save'), Page.ago(d.now_ms, d.last_save_ms) +
                                     (d.save_failed ? ' (the latest save failed)' : ''));
    $('last_save').classList.toggle('bad-text', !!d.save_failed);

    const rows = [];
    const tabs = [];
    for (const r of d.router_table || []) {
      const tr = Page.el('tr');
      const shown = table && String(table.router) === String(Number(r.device));
      if (shown) tr.className = 'shown';
      const a = Page.el('a', '', r.letter);
      a.href = routerLink(Number(r.device));
      const th = Page.el('th');
      th.appendChild(a);
      tr.appendChild(th);
      for (const v of [r.device, r.sources, r.destinations, r.offsets]) tr.appendChild(Page.el('td', '', v));
      rows.push(tr);
      const tab = Page.el('a', '', r.letter + ' ' + r.device);
      tab.href = routerLink(Number(r.device));
      if (shown) tab.setAttribute('aria-current', 'page');
      tabs.push(tab);
    }
    $('routers').replaceChildren(...rows);
    $('router-tabs').replaceChildren(...tabs);
  }

  // What the table row of destination `dest` shows.
  function entry(dest) {
    const i = dest - 1;
    const source = table.source[i];
    let sourceText = '';
    let sourceName = '';
    if (source < 0 || source === 65535) {
      sourceText = '-';
    } else if (source === 0) {
      sourceText = '0';
      sourceName = table.park_name;
    } else {
      sourceText = String(source);
      sourceName = names.sources[source] || '';
    }
    const lock = table.lock[i];
    const mc = table.mc1000_lock[i];
    return {
      dest,
      destName: names.destinations[dest] || '',
      source,
      sourceText,
      sourceName,
      lockText: lock !== 0 ? '--LOCKED--' : '',
      mcText: mc > 0 ? '-- LOCKED --' : (mc < 0 ? 'unknown' : ''),
      locked: lock !== 0 || mc > 0,
    };
  }

  function matches(e, q) {
    if (!q) return true;
    if (String(e.dest) === q || e.sourceText === q) return true;
    return e.destName.toLowerCase().includes(q) || e.sourceName.toLowerCase().includes(q);
  }

  // Draws the table at once, or (within 100 ms of the last draw) 100 ms after it: a salvo's
  // routes draw ten times a second, not once each.
  let lastDraw = 0;
  let drawDue = null;
  function drawSoon() {
    if (drawDue !== null) return;
    const wait = lastDraw + 100 - Date.now();
    if (wait <= 0) {
      drawTable();
      return;
    }
    drawDue = setTimeout(() => {
      drawDue = null;
      drawTable();
    }, wait);
  }

  function drawTable() {
    lastDraw = Date.now();
    if (drawDue !== null) {
      clearTimeout(drawDue);
      drawDue = null;
    }
    const note = $('xpt-note');
    if (!table) {
      $('xpt-rows').replaceChildren();
      Page.setText($('range'), '');
      return;
    }
    Page.setText($('xpt-title'), "Crosspoints of router '" + table.letter + "' " + table.router);
    const q = $('search').value.trim().toLowerCase();
    const lockedOnly = $('locked-only').checked;
    const shown = [];
    for (let dest = 1; dest <= table.destinations; ++dest) {
      const e = entry(dest);
      if (lockedOnly && !e.locked) continue;
      if (matches(e, q)) shown.push(e);
    }
    const pages = Math.max(1, Math.ceil(shown.length / pageSize));
    page = Math.min(page, pages - 1);
    const from = page * pageSize;
    const part = shown.slice(from, from + pageSize);
    const now = Date.now();
    const rows = part.map((e) => {
      const tr = Page.el('tr');
      tr.dataset.dest = String(e.dest);
      tr.tabIndex = 0;
      tr.title = 'Its last ' + historyRows + ' changes';
      const at = changedAt.get(e.dest);
      if (at !== undefined && now - at < changedFor) tr.className = 'changed';
      else if (at !== undefined && now - at < fadingFor) tr.className = 'changed-fading';
      if (e.dest === historyDest && table.router === historyRouter) tr.classList.add('picked');
      tr.appendChild(Page.el('td', 'num', e.dest));
      tr.appendChild(Page.el('td', 'name', e.destName));
      tr.appendChild(Page.el('td', 'num' + (e.sourceText === '-' ? ' unknown' : ''), e.sourceText));
      tr.appendChild(Page.el('td', 'name', e.sourceName));
      tr.appendChild(Page.el('td', e.lockText ? 'locked' : '', e.lockText));
      tr.appendChild(Page.el('td', e.mcText === 'unknown' ? 'unknown' : (e.mcText ? 'locked' : ''), e.mcText));
      return tr;
    });
    $('xpt-rows').replaceChildren(...rows);
    Page.setText($('range'), shown.length === 0 ? '0 of ' + table.destinations :
                 (from + 1) + '-' + (from + part.length) + ' of ' + shown.length +
                 (shown.length !== table.destinations ? ' (' + table.destinations + ')' : ''));
    $('prev').disabled = page === 0;
    $('next').disabled = page >= pages - 1;
    const pending = table.names_pending > 0 && Object.keys(names.destinations).length === 0;
    note.hidden = !pending && shown.length > 0;
    Page.setText(note, shown.length === 0 ? 'No destination matches.' :
                 (pending ? 'Reading the names from the interface...' : ''));
  }

  // Compares the new read with the previous one of the same router.
  function takeTable(t, routed) {
    const now = Date.now();
    for (const e of routed) {
      if (e.router === t.router && e.destination >= 1 && e.destination <= t.destinations) {
        t.source[e.destination - 1] = e.source;
      }
    }
    if (table && table.router === t.router && table.destinations === t.destinations) {
      for (let i = 0; i < t.destinations; ++i) {
        if (t.source[i] !== table.source[i] || t.lock[i] !== table.lock[i] ||
            t.mc1000_lock[i] !== table.mc1000_lock[i]) {
          changedAt.set(i + 1, now);
        }
      }
    } else {
      changedAt = new Map();
      names = {version: 0, destinations: {}, sources: {}};
    }
    for (const [dest, at] of changedAt) {
      if (now - at >= fadingFor) changedAt.delete(dest);
    }
    if (t.names) {
      names = {version: t.names_version, destinations: t.names.destinations,
               sources: t.names.sources};
    }
    table = t;
    if (!router) router = t.router;
    // Names still being looked up come with the next reads: read often until they are in.
    Page.waiting = t.names_pending > 0;
  }

  // A route as it happened: shown and highlighted at once.
  function takeRoute(e) {
    routesSinceRead.push(e);
    if (!table || e.router !== table.router || e.destination < 1 ||
        e.destination > table.destinations) {
      return;
    }
    if (table.source[e.destination - 1] !== e.source) {
      table.source[e.destination - 1] = e.source;
      changedAt.set(e.destination, Date.now());
      // Unfiltered, only a destination of the page shown changes what is drawn.
      const filtered = $('search').value.trim() !== '' || $('locked-only').checked;
      const first = page * pageSize + 1;
      if (filtered || (e.destination >= first && e.destination < first + pageSize)) drawSoon();
    }
  }

  function openHistory(dest) {
    if (!table) return;
    historyDest = dest;
    historyRouter = table.router;
    historyRead = 0;
    const e = entry(dest);
    Page.setText($('history-title'), 'History of destination ' + dest +
                 (e.destName ? ' ' + e.destName : '') + " of router '" + table.letter + "' " +
                 table.router);
    $('history-rows').replaceChildren();
    Page.setText($('history-note'), 'Reading...');
    $('history-note').hidden = false;
    $('history').hidden = false;
    drawTable();
    readHistory();
    $('history').scrollIntoView({block: 'nearest'});
  }

  // "2026-12-09 14:03:00.250" in the browser's time zone.
  function when(ms) {
    const d = new Date(ms);
    const two = (n) => String(n).padStart(2, '0');
    return d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate()) + ' ' +
        two(d.getHours()) + ':' + two(d.getMinutes()) + ':' + two(d.getSeconds()) + '.' +
        String(d.getMilliseconds()).padStart(3, '0');
  }

  function historyRow(r) {
    const tr = Page.el('tr');
    tr.appendChild(Page.el('td', 'when', when(r.t)));
    if (r.kind === 'change' || r.kind === 'base') {
      tr.appendChild(Page.el('td', 'num', r.source === null ? '-' : r.source));
      tr.appendChild(Page.el('td', 'name', r.source_name));
      tr.appendChild(Page.el('td', '', r.kind === 'change' ? 'route' : 'found so after a gap'));
    } else {
      tr.className = r.kind === 'gap' ? 'gap' : 'mark';
      const what = r.kind === 'gap' ?
          'gap: ' + r.note + (r.router === 0 ? ' (every router)' : '') :
          'complete again (tables read)';
      const td = Page.el('td', '', what);
      td.colSpan = 3;
      tr.appendChild(td);
    }
    return tr;
  }

  async function readHistory() {
    if (!historyDest) return;
    const dest = historyDest;
    const routerShown = historyRouter;
    historyRead = Date.now();
    let r;
    try {
      r = await Page.read('/api/history/' + encodeURIComponent(driver) + '?router=' +
                          encodeURIComponent(routerShown) + '&dest=' + encodeURIComponent(dest) +
                          '&limit=' + historyRows);
    } catch (e) {
      r = null;
    }
    if (dest !== historyDest || routerShown !== historyRouter) return;
    const note = $('history-note');
    if (!r || r.status !== 200 || !r.body) {
      note.hidden = false;
      Page.setText(note, r && r.body && r.body.error ? r.body.error :
                                                       'kirn metrics does not answer.');
      return;
    }
    const rows = r.body.rows.map(historyRow);
    $('history-rows').replaceChildren(...rows);
    note.hidden = rows.length > 0;
    Page.setText(note, rows.length ? '' : 'Nothing recorded for this destination yet.');
    Page.setText($('history-now'), 'newest first, read ' + Page.clock(historyRead));
  }

  async function once() {
    if (historyDest && Date.now() - historyRead >= historyEvery) readHistory();
    let r;
    routesSinceRead = [];
    try {
      r = await Page.read('/api/driver/' + encodeURIComponent(driver) + '?router=' +
                          encodeURIComponent(router || '') + '&names=' + names.version);
    } catch (e) {
      r = null;
    }
    const main = $('panel');
    if (!r || !r.body || (r.status !== 200 && r.status !== 404)) {
      Page.banner('kirn metrics does not answer: what is shown was read at ' +
                  Page.clock(Page.lastGood || Date.now()) + '.');
      main.classList.add('stale');
      Page.updated(false);
      return;
    }
    Page.lastGood = Date.now();
    if (r.status === 404) {
      main.classList.add('stale');
      Page.banner('No driver ' + driver + ' has been heard from on this workstation.');
      const b = $('state');
      b.className = 'badge bad';
      Page.setText(b, 'unknown driver');
      Page.updated(true);
      return;
    }
    const s = r.body;
    const d = s.driver;
    const [state, stateText] = Page.linkState(d);
    const badge = $('state');
    badge.className = 'badge ' + state;
    Page.setText(badge, stateText);
    if (d.up) {
      lastDriver = d;
      downSince = null;
    } else if (downSince === null) {
      downSince = Date.now();
    }
    if (!s.bus) {
      Page.banner('The workstation bus is not there (is kirn serve running?): the driver cannot be asked.');
    } else if (!d.up) {
      Page.banner('Driver ' + driver + ' does not answer (since ' + Page.clock(downSince) +
                  '): what is shown is its last answer.');
    } else {
      Page.banner('');
    }
    main.classList.toggle('stale', !d.up || !s.bus);
    if (d.up) {
      if (s.table) takeTable(s.table, routesSinceRead);
      drawPanel(d, true);
    } else if (lastDriver) {
      drawPanel(lastDriver, false);
    }
    const note = $('xpt-note');
    if (d.up && !s.table) {
      table = null;
      note.hidden = false;
      Page.setText(note, router ? 'Router ' + router + ' is not one of this driver\'s routers, ' +
                                      'or its table could not be read.' :
                                  'The router table could not be read.');
    }
    drawTable();
    Page.updated(true);
  }

  Page.loop(once);
  Page.follow((e) => {
    if (e.type === 'route') {
      takeRoute(e.data);
    } else if ((e.type === 'mode' || e.type === 'link') && e.data.driver === driver) {
      Page.kick();
    }
  });
})();
