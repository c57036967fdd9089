// Shared by the overview and a driver's page. Every text reaches the page through textContent,
// never as markup: names come from profiles and the control system.
'use strict';

const Page = {
  // How often the page reads (ms), counted from the end of the previous read.
  period: 500,
  // A read that takes longer than this has failed (ms).
  timeout: 4000,

  // A new element with a class and a text.
  el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  },

  setText(e, text) {
    const t = text === undefined || text === null ? '' : String(text);
    if (e.textContent !== t) e.textContent = t;
  },

  // The JSON at `url`, or an error naming what went wrong.
  async read(url) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), Page.timeout);
    try {
      const r = await fetch(url, {signal: abort.signal, cache: 'no-store', credentials: 'same-origin'});
      let body = null;
      try {
        body = await r.json();
      } catch (e) {
        body = null;
      }
      return {status: r.status, body};
    } finally {
      clearTimeout(timer);
    }
  },

  // Calls `once` (an async function) again and again, `period` after each end.
  loop(once) {
    const run = async () => {
      try {
        await once();
      } catch (e) {
        // A read that failed has shown it; the next one tries again.
      }
      setTimeout(run, Page.period);
    };
    run();
  },

  banner(text) {
    const b = document.getElementById('banner');
    Page.setText(b, text || '');
    b.hidden = !text;
  },

  // "12 s ago", "5 min ago", "never", from two wall-clock times in milliseconds.
  ago(now, then) {
    if (!then) return 'never';
    const s = Math.max(0, Math.round((now - then) / 1000));
    if (s < 120) return s + ' s ago';
    if (s < 7200) return Math.round(s / 60) + ' min ago';
    return Math.round(s / 3600) + ' h ago';
  },

  clock(ms) {
    return new Date(ms).toLocaleTimeString([], {hour12: false});
  },

  // The link at a glance, as the driver tells its service manager: class and text of a badge.
  linkState(d) {
    if (!d.up) return ['bad', 'not answering'];
    if (d.simulation) return ['ok', 'Simulation'];
    if (d.comms_state === 1) return ['ok', 'Comms Ok'];
    if (d.comms_state === 2) return ['bad', 'Comms Fail'];
    return ['warn', 'Comms unconfirmed'];
  },

  // Whether controller `c` ('A', 'B', 'serial') is configured and down while the link is not
  // OK: the idle controller of a healthy redundant pair is disconnected all the time.
  controllerDown(d, c) {
    const ok = d.comms_state === 1 && (d.connection_mode !== 2 || d.active_controller !== 0);
    return d.up && !ok && d.link_up && Object.prototype.hasOwnProperty.call(d.link_up, c) &&
        d.link_up[c] === 0;
  },

  updated(ok) {
    Page.setText(document.getElementById('updated'),
                 (ok ? 'read ' : 'last read ') + Page.clock(Page.lastGood || Date.now()));
  },
};
