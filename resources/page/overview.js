// The overview: one card per driver of the workstation.
'use strict';

(() => {
  const cards = new Map();  // driver key -> {card, last}
  const list = document.getElementById('drivers');

  function key(d) {
    return d.driver !== null ? 'd' + d.driver : 'r' + d.routers.join('-');
  }

  function row(dl, label, value, className) {
    dl.appendChild(Page.el('dt', '', label));
    dl.appendChild(Page.el('dd', className || '', value));
  }

  // Draws `d` into a new card; `last` is its last good reading when it does not answer now.
  function draw(d, last, since) {
    const shown = d.up ? d : (last || d);
    const [state, stateText] = Page.linkState(d);
    const card = Page.el('article', 'card ' + (d.up ? state : 'down'));
    card.dataset.driver = d.driver === null ? '' : String(d.driver);
    const h = Page.el('h2');
    if (d.driver !== null) {
      const a = Page.el('a', '', 'Driver ' + d.driver);
      a.href = '/driver/' + encodeURIComponent(d.driver);
      h.appendChild(a);
    } else {
      h.appendChild(Page.el('span', '', 'Driver of device ' + d.routers.join(', ')));
    }
    const badge = Page.el('span', 'badge ' + state, d.conflict ? 'conflict' : stateText);
    badge.dataset.role = 'state';
    h.appendChild(badge);
    card.appendChild(h);
    if (shown.router_table && shown.router_table.length) {
      card.appendChild(Page.el('p', 'routers-line', 'Rtr ' + shown.router_table.map(
          (r) => r.letter + ' ' + r.device).join(', ')));
    }
    if (d.conflict) {
      card.appendChild(Page.el('p', 'bad-text', 'Two windows answer as this driver (started ' +
                                                    'twice, or a peer posing as it): neither is shown'));
    } else if (!d.up && since) {
      card.appendChild(Page.el('p', 'bad-text', 'Not answering since ' + Page.clock(since)));
    }
    const p = shown.panel;
    if (!p) {
      if (!d.conflict) {
        card.appendChild(Page.el('p', 'note', d.up ? 'No status read yet.' :
                                                     'Never heard from since this page opened.'));
      }
      return card;
    }
    const dl = Page.el('dl');
    row(dl, 'DRIVER', p.interface_mode);
    row(dl, 'Mode', p.link_mode);
    const a = p.connection_a ? p.connection_a + '  ' + p.status_a : p.status_a;
    row(dl, 'A', a, Page.controllerDown(shown, 'A') || Page.controllerDown(shown, 'serial') ?
                        'bad-text' : '');
    if (p.connection_b || p.status_b) {
      row(dl, 'B', p.connection_b + '  ' + p.status_b,
          Page.controllerDown(shown, 'B') ? 'bad-text' : '');
    }
    row(dl, 'Controller', p.active_controller);
    row(dl, 'Lock Infodrv', p.lock_infodriver);
    row(dl, 'Message', p.message);
    row(dl, 'Routes', shown.routes + ' carried out, ' + shown.refused + ' refused');
    row(dl, 'Dropped', String(shown.dropped), shown.dropped > 0 ? 'warn-text' : '');
    row(dl, 'Last save', Page.ago(shown.now_ms, shown.last_save_ms) +
                             (shown.save_failed ? ' (the latest save failed)' : ''),
        shown.save_failed ? 'bad-text' : '');
    card.appendChild(dl);
    return card;
  }

  async function once() {
    let r;
    try {
      r = await Page.read('/api/status');
    } catch (e) {
      r = null;
    }
    if (!r || r.status !== 200 || !r.body) {
      Page.banner('kirn metrics does not answer: what is shown was read at ' +
                  Page.clock(Page.lastGood || Date.now()) + '.');
      document.body.classList.add('stale');
      Page.updated(false);
      return;
    }
    Page.lastGood = Date.now();
    document.body.classList.remove('stale');
    const s = r.body;
    Page.banner(s.bus ? '' : 'The workstation bus is not there (is kirn serve running?): ' +
                             'no driver can be asked.');
    const fresh = [];
    for (const d of s.drivers) {
      const k = key(d);
      const old = cards.get(k) || {};
      const last = d.up ? d : old.last;
      const since = d.up ? null : (old.since || Date.now());
      fresh.push([k, draw(d, last, since), last, since]);
    }
    list.replaceChildren(...fresh.map((f) => f[1]));
    cards.clear();
    for (const [k, card, last, since] of fresh) cards.set(k, {card, last, since});
    document.getElementById('empty').hidden = s.drivers.length > 0 || !s.bus;
    Page.updated(true);
  }

  Page.loop(once);
})();
