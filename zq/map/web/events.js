// The Events panel: alarms and raw events of the map program's event store,
// live through long polls (GET /api/alarms and /api/events with since), with
// filters, acknowledgement and an event's detail.  Linked both ways with the
// map: setNode() filters to the node selected there, and a click on a row asks
// hooks.selectNode(objectId) to select that node's symbol.  marked (a Set of
// node object ids with unacknowledged Major or Critical alarms) goes to
// hooks.onMarks.  Every text from the network is put in with textContent.

const SEVERITIES = ['Normal', 'Warning', 'Minor', 'Major', 'Critical'];
const KEEP_EVENTS = 500;    // rows the raw view keeps
const LIST_LIMIT = 500;
const RANGES = [['', 'Any time'], ['3600', 'Last hour'], ['86400', 'Last 24 hours'], ['604800', 'Last 7 days']];

function el(tag, props = {}, children = []) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k.startsWith('data-')) e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children) e.append(c);
  return e;
}

// The browser's own words for a lost connection ("Failed to fetch") tell the
// operator nothing; the map's banner says the same thing this way.
const noContact = (e) => {
  if (e && e.name === 'AbortError') throw e;
  throw new Error('No contact with the map program');
};

async function getJson(path, signal) {
  const r = await fetch(path, { signal, credentials: 'same-origin' }).catch(noContact);
  const data = await r.json().catch(() => null);
  if (!r.ok) throw new Error((data && data.error) || `HTTP ${r.status}`);
  return data;
}

async function postJson(path, body) {
  const r = await fetch(path, {
    method: 'POST', credentials: 'same-origin', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  }).catch(noContact);
  const data = await r.json().catch(() => null);
  if (!r.ok) throw new Error((data && data.error) || `HTTP ${r.status}`);
  return data;
}

function timeText(iso) {
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return iso || '';
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())} ${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
}

export class EventsView {
  constructor(root, hooks) {
    this.root = root;
    this.hooks = hooks;           // selectNode(objectId, name), onMarks(Set), toast(text, error)
    this.tab = 'alarms';
    this.filter = { severity: '', category: '', text: '', range: '', state: 'open' };
    this.node = null;             // { id, name } from the map's selection
    this.alarms = [];
    this.events = [];
    this.checked = new Set();     // alarm ids ticked for ack/unack
    this.current = 0;             // the row shown in the detail (event id or alarm id)
    this.generation = 0;
    this.abort = null;
    this.open = -1;               // open alarms in the whole store (-1: not known yet)
    this.folded = true;
    this.build();
    this.restart();
  }

  // ---- the panel's parts
  build() {
    const tabs = el('div', { className: 'ev-tabs', role: 'tablist' });
    this.tabButtons = {};
    for (const [key, label] of [['alarms', 'Alarms'], ['events', 'Events']]) {
      const b = el('button', { className: 'ev-tab', textContent: label, 'data-tab': key });
      b.addEventListener('click', () => { this.tab = key; this.current = 0; this.detail.replaceChildren(); this.restart(); });
      this.tabButtons[key] = b;
      tabs.append(b);
    }
    const sev = el('select', { className: 'ev-sev', title: 'Lowest severity shown' });
    sev.append(el('option', { value: '', textContent: 'All severities' }));
    for (const s of SEVERITIES.slice(1)) sev.append(el('option', { value: s, textContent: `${s} and above` }));
    sev.addEventListener('change', () => { this.filter.severity = sev.value; this.restart(); });
    const cat = el('input', { type: 'search', className: 'ev-cat', placeholder: 'Category', spellcheck: false });
    const text = el('input', { type: 'search', className: 'ev-text', placeholder: 'Search text', spellcheck: false });
    let timer = 0;
    const typed = () => {
      clearTimeout(timer);
      timer = setTimeout(() => { this.filter.category = cat.value.trim(); this.filter.text = text.value; this.restart(); }, 250);
    };
    cat.addEventListener('input', typed);
    text.addEventListener('input', typed);
    const range = el('select', { className: 'ev-range', title: 'Time range' });
    for (const [v, t] of RANGES) range.append(el('option', { value: v, textContent: t }));
    range.addEventListener('change', () => { this.filter.range = range.value; this.restart(); });
    const stateSel = el('select', { className: 'ev-state', title: 'Which alarms' });
    for (const [v, t] of [['open', 'Open'], ['unacked', 'Unacknowledged'], ['acked', 'Acknowledged'], ['cleared', 'Cleared'], ['all', 'All']])
      stateSel.append(el('option', { value: v, textContent: t }));
    stateSel.addEventListener('change', () => { this.filter.state = stateSel.value; this.restart(); });
    this.stateSel = stateSel;
    this.nodeChip = el('span', { className: 'ev-node', hidden: true });
    this.ackBtn = el('button', { className: 'small-btn primary ev-ack', textContent: 'Acknowledge' });
    this.unackBtn = el('button', { className: 'small-btn ev-unack', textContent: 'Unacknowledge' });
    this.ackBtn.addEventListener('click', () => this.acknowledge(true));
    this.unackBtn.addEventListener('click', () => this.acknowledge(false));
    this.info = el('span', { className: 'ev-info muted' });
    const bar = el('div', { className: 'ev-bar' },
      [tabs, sev, cat, text, range, stateSel, this.nodeChip, this.ackBtn, this.unackBtn, this.info]);
    this.table = el('table', { className: 'ev-table' });
    this.list = el('div', { className: 'ev-list' }, [this.table]);
    this.detail = el('div', { className: 'ev-detail' });
    // Folded, the panel is one line with the open alarms' counts; a click
    // unfolds it, and so do new alarms.
    this.foldBar = el('button', { type: 'button', className: 'ev-fold', title: 'Show or hide the events panel' });
    this.foldBar.addEventListener('click', () => this.fold(!this.folded));
    this.root.replaceChildren(this.foldBar, bar, el('div', { className: 'ev-body' }, [this.list, this.detail]));
    this.fold(true);
  }

  fold(folded) {
    this.folded = folded;
    this.root.classList.toggle('collapsed', folded);
    this.foldBar.setAttribute('aria-expanded', String(!folded));
    this.showCounts();
  }

  // The open alarms of the whole store by severity (not the filtered list):
  // more of them than before unfolds the panel.
  setOpenAlarms(list, more) {
    const before = this.open;
    this.open = list.length;
    this.openMore = more;
    this.bySeverity = {};
    for (const a of list) this.bySeverity[a.severity] = (this.bySeverity[a.severity] || 0) + 1;
    if (this.open > Math.max(0, before) && this.folded) this.fold(false);
    else this.showCounts();
  }

  showCounts() {
    const b = this.foldBar;
    const n = this.open;
    const parts = [el('span', { className: 'caret', textContent: this.folded ? '\u25b8' : '\u25be' }), el('b', { textContent: 'Events' })];
    // Counts from before a lost contact are no news.
    if (this.problem) parts.push(el('span', { className: 'muted', textContent: this.problem }));
    else if (n === 0) parts.push(el('span', { className: 'muted', textContent: 'No open alarms' }));
    else if (n > 0) {
      parts.push(el('span', { textContent: `${n}${this.openMore ? '+' : ''} open alarm${n === 1 && !this.openMore ? '' : 's'}` }));
      for (const sev of [...SEVERITIES].reverse()) {
        if (this.bySeverity[sev]) parts.push(el('span', { className: 'sev sev-' + sev, textContent: `${this.bySeverity[sev]} ${sev}` }));
      }
    }
    b.replaceChildren(...parts);
  }

  // The node selected on the map (null: none) filters both views.
  setNode(node) {
    const same = (a, b) => (a && a.id) === (b && b.id);
    if (same(node, this.node)) return;
    this.node = node;
    this.restart();
  }

  params(alarms) {
    const q = new URLSearchParams();
    const f = this.filter;
    if (f.severity) q.set('severity', SEVERITIES.slice(SEVERITIES.indexOf(f.severity)).join(','));
    if (f.category) q.set('category', f.category);
    if (f.text) q.set('text', f.text);
    if (f.range) q.set('from', String(Date.now() - Number(f.range) * 1000));
    if (this.node) q.set('node', String(this.node.id));
    if (alarms) q.set('state', f.state);
    q.set('limit', String(LIST_LIMIT));
    return q;
  }

  // A new view or filter: the lists again from their snapshot, then live.
  restart() {
    if (this.abort) this.abort.abort();
    this.abort = new AbortController();
    const gen = ++this.generation;
    for (const [k, b] of Object.entries(this.tabButtons)) b.classList.toggle('on', k === this.tab);
    this.stateSel.hidden = this.tab !== 'alarms';
    this.ackBtn.hidden = this.unackBtn.hidden = this.tab !== 'alarms';
    this.nodeChip.hidden = !this.node;
    if (this.node) {
      const x = el('button', { className: 'x', textContent: '\u00d7', title: 'Show every node' });
      x.addEventListener('click', () => this.hooks.selectNode(0));
      this.nodeChip.replaceChildren(el('span', { textContent: 'Node: ' + this.node.name }), x);
    }
    this.checked.clear();
    this.alarmLoop(gen, this.abort.signal);
    if (this.tab === 'events') this.eventLoop(gen, this.abort.signal);
  }

  // Runs step() again and again while the view is the same; a failure is
  // shown and tried again after a growing pause.
  async keepLive(gen, signal, step) {
    let delay = 500;
    while (gen === this.generation) {
      try {
        await step();
        delay = 500;
        if (this.problem) { this.problem = ''; this.showCounts(); }
      } catch (e) {
        if (signal.aborted || gen !== this.generation) return;
        this.info.textContent = e.message;
        this.problem = e.message;
        this.showCounts();
        await new Promise((ok) => setTimeout(ok, delay));
        delay = Math.min(delay * 2, 8000);
      }
    }
  }

  // Alarms: every change of the store's alarms (any filter) brings the filtered
  // list again; the marks of the map come with it.
  alarmLoop(gen, signal) {
    let seq = -1;
    return this.keepLive(gen, signal, async () => {
      if (seq >= 0) {
        const ch = await getJson(`api/alarms?state=all&limit=1&since=${seq}`, signal);
        if (gen !== this.generation || ch.seq === seq) return;   // the wait ran out: nothing changed
      }
      const q = this.params(true);
      const r = await getJson('api/alarms?' + q, signal);
      if (gen !== this.generation) return;
      // The counts of the folded panel are the store's, whatever the filter.
      const everyOpen = q.toString() === `state=open&limit=${LIST_LIMIT}`;
      const open = everyOpen ? r : await getJson(`api/alarms?state=open&limit=${LIST_LIMIT}`, signal);
      if (gen !== this.generation) return;
      seq = r.seq;
      this.setOpenAlarms(open.alarms, open.more);
      this.hooks.onMarks(new Set(r.marked_nodes));
      if (this.tab === 'alarms') {
        this.alarms = r.alarms;
        this.more = r.more;
        this.counters = r;
        this.render();
      }
    });
  }

  // Raw events: the newest, then each new one as it comes (newest first).
  eventLoop(gen, signal) {
    let seq = -1;
    return this.keepLive(gen, signal, async () => {
      const q = this.params(false);
      if (seq >= 0) q.set('since', String(seq));
      const r = await getJson('api/events?' + q, signal);
      if (gen !== this.generation) return;
      if (seq >= 0 && r.seq < seq) { seq = -1; return; }   // a store made anew: from its start
      this.events = seq < 0 ? r.events : r.events.concat(this.events).slice(0, KEEP_EVENTS);
      this.more = seq < 0 ? r.more : this.more || r.more;
      seq = r.seq;
      this.counters = r;
      this.render();
    });
  }

  // ---- drawing
  render() {
    const alarms = this.tab === 'alarms';
    const rows = alarms ? this.alarms : this.events;
    const head = el('tr');
    if (alarms) {
      const all = el('input', { type: 'checkbox', title: 'Select every alarm shown' });
      all.checked = rows.length > 0 && rows.every((a) => this.checked.has(a.id));
      all.addEventListener('change', () => {
        for (const a of rows) (all.checked ? this.checked.add(a.id) : this.checked.delete(a.id));
        this.render();
      });
      head.append(el('th', { className: 'ck' }, [all]));
    }
    for (const t of ['Time', 'Severity', 'Node', 'Category', 'Text', alarms ? 'Count' : '', alarms ? 'State' : ''])
      if (t) head.append(el('th', { textContent: t }));
    const body = el('tbody');
    for (const r of rows) body.append(alarms ? this.alarmRow(r) : this.eventRow(r));
    this.table.replaceChildren(el('thead', {}, [head]), body);
    if (!rows.length) {
      const td = el('td', { className: 'none muted', colSpan: 8, textContent: alarms ? 'No alarms' : 'No events' });
      body.append(el('tr', {}, [td]));
    }
    const c = this.counters || {};
    const what = alarms ? 'alarm' : 'event';
    let info = `${rows.length}${this.more ? '+' : ''} ${rows.length === 1 && !this.more ? what : what + 's'}`;
    if (c.lost) info += ` \u00b7 ${c.lost} lost (store behind)`;
    if (c.removed) info += ` \u00b7 ${c.removed} removed by the bounds`;
    this.info.textContent = info;
    this.ackBtn.disabled = this.unackBtn.disabled = this.checked.size === 0;
  }

  cells(tr, r, time) {
    const sev = el('td', {}, [el('span', { className: 'sev sev-' + r.severity, textContent: r.severity })]);
    tr.append(el('td', { className: 'time', textContent: timeText(time) }), sev,
      el('td', { className: 'node', textContent: r.node_name || r.agent }),
      el('td', { textContent: r.category }), el('td', { className: 'text', textContent: r.text, title: r.text }));
    tr.addEventListener('click', (e) => {
      if (e.target.closest('input')) return;
      this.current = r.id;
      for (const x of this.table.querySelectorAll('tr.current')) x.classList.remove('current');
      tr.classList.add('current');
      if (r.node) this.hooks.selectNode(r.node, r.node_name);
      this.showDetail(r);
    });
    if (r.id === this.current) tr.classList.add('current');
  }

  alarmRow(a) {
    const tr = el('tr', { className: (a.acked ? 'acked' : '') + (a.cleared ? ' cleared' : ''), 'data-alarm': String(a.id) });
    const ck = el('input', { type: 'checkbox', checked: this.checked.has(a.id) });
    ck.addEventListener('change', () => {
      (ck.checked ? this.checked.add(a.id) : this.checked.delete(a.id));
      this.ackBtn.disabled = this.unackBtn.disabled = this.checked.size === 0;
    });
    tr.append(el('td', { className: 'ck' }, [ck]));
    this.cells(tr, a, a.last);
    const st = a.cleared ? 'Cleared' : a.acked ? `Acknowledged by ${a.ack_by}` : 'Open';
    tr.append(el('td', { className: 'count', textContent: String(a.count) }), el('td', { className: 'state', textContent: st }));
    return tr;
  }

  eventRow(e) {
    const tr = el('tr', { className: e.log_only ? 'logonly' : '', 'data-event': String(e.id) });
    this.cells(tr, e, e.time);
    return tr;
  }

  // An event's detail: every field, every binding, the raw trap.
  async showDetail(r) {
    let ev = r;
    if (this.tab === 'alarms') {
      this.detail.replaceChildren(el('div', { className: 'pad muted', textContent: 'Reading the last event\u2026' }));
      try {
        ev = (await getJson(`api/events/${r.last_event}`)).event;
      } catch (e) {
        this.detail.replaceChildren(el('div', { className: 'pad muted', textContent: e.message }));
        return;
      }
      if (this.current !== r.id) return;
    }
    const kv = el('table', { className: 'kv' });
    const row = (k, v) => kv.append(el('tr', {}, [el('td', { textContent: k }), el('td', { textContent: String(v) })]));
    if (this.tab === 'alarms') {
      row('Alarm', `${r.name}, ${r.count} event${r.count === 1 ? '' : 's'} since ${timeText(r.first)}`);
      if (r.ack_by) row(r.acked ? 'Acknowledged' : 'Unacknowledged', `by ${r.ack_by} at ${timeText(r.ack_time)}`);
      if (r.cleared) row('Cleared', timeText(r.cleared_time));
    }
    row('Event', `${ev.name} (#${ev.id})`);
    row('Time', timeText(ev.time));
    row('Text', ev.text);
    row('Node', ev.node ? `${ev.node_name} (#${ev.node})` : 'none known');
    row('Agent', ev.agent);
    row('Trap', ev.trap_id);
    row('Enterprise', ev.enterprise);
    row('Generic / specific', `${ev.generic} / ${ev.specific}`);
    row('Community', ev.community);
    row('Version', ev.version);
    row('Up-time', ev.timestamp);
    const bt = el('table', { className: 'kv bindings' });
    ev.bindings.forEach((b, i) => bt.append(el('tr', {}, [
      el('td', { textContent: `$${i + 1} ${b.oid}`, title: b.type }),
      el('td', { textContent: 'hex' in b ? '0x' + b.hex : String(b.value ?? 'NULL') })])));
    const raw = el('pre', { className: 'raw', textContent: JSON.stringify(ev, null, 1) });
    this.detail.replaceChildren(el('div', { className: 'section-title', textContent: 'Event' }), kv,
      el('div', { className: 'section-title', textContent: `Bindings (${ev.bindings.length})` }), bt,
      el('details', {}, [el('summary', { textContent: 'Raw trap' }), raw]));
  }

  async acknowledge(ack) {
    const ids = [...this.checked];
    if (!ids.length) return;
    try {
      const r = await postJson(ack ? 'api/alarms/ack' : 'api/alarms/unack', { alarms: ids });
      this.hooks.toast(`${r.changed} alarm${r.changed === 1 ? '' : 's'} ${ack ? 'acknowledged' : 'unacknowledged'}`);
      this.checked.clear();
    } catch (e) {
      this.hooks.toast(e.message, true);
    }
  }
}
