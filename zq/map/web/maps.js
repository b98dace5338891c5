// The Maps panel: the list of maps, which one this page shows, and the
// operator's own maps (make, rename, read-only, delete, the applications' map).
//
// Which map a page shows is the page's own choice, kept for the tab in
// sessionStorage: opening a map here changes nothing for other pages or for
// the applications.  Making a map the one the applications work on is a
// separate action that asks first.

import { api } from './api.js';

const CHOICE_KEY = 'zq-map';

// The map this tab chose (an id), or 0: it starts on the applications' map.
export function chosenMap() {
  try { return Number(sessionStorage.getItem(CHOICE_KEY)) || 0; } catch { return 0; }
}

export function chooseMap(id) {
  try {
    if (id) sessionStorage.setItem(CHOICE_KEY, String(id));
    else sessionStorage.removeItem(CHOICE_KEY);
  } catch { /* private window: the choice lasts as long as the page */ }
}

// FIELD=VALUE lines (or ';'-separated) as the filter object of the calls; a
// line without '=' is returned as bad.
export function parseFilter(text) {
  const filter = {};
  for (const raw of text.split(/[\n;]/)) {
    const line = raw.trim();
    if (!line) continue;
    const eq = line.indexOf('=');
    if (eq <= 0) return { bad: line };
    filter[line.slice(0, eq).trim()] = line.slice(eq + 1).trim();
  }
  return { filter };
}

function filterText(filter) {
  return Object.entries(filter || {}).map(([k, v]) => `${k}=${v}`).join('; ');
}

export class MapsPanel {
  // ui: { el, openDialog, toast, show(id), reload() }
  constructor(list, newButton, ui) {
    this.list = list;
    this.ui = ui;
    this.maps = [];
    this.appsMap = 0;
    this.current = 0;
    newButton.addEventListener('click', () => this.createDialog());
  }

  render(maps, appsMap, current) {
    this.maps = maps;
    this.appsMap = appsMap;
    this.current = current;
    const { el } = this.ui;
    this.list.replaceChildren();
    for (const m of maps) {
      const shown = m.id === current;
      const li = el('li', { className: 'map-item' + (shown ? ' open' : ''), title: `Show the map "${m.name}" on this page` });
      li.dataset.map = String(m.id);
      const head = el('div', { className: 'map-head' }, [el('span', { className: 'map-title', textContent: m.name })]);
      if (m.id === appsMap) head.append(el('span', { className: 'ro apps', textContent: 'applications', title: 'The applications work on this map' }));
      if (m.read_only) head.append(el('span', { className: 'ro', textContent: 'read-only', title: 'Neither applications nor pages change this map' }));
      li.append(head);
      const filter = filterText(m.filter);
      if (filter) li.append(el('div', { className: 'map-filter', textContent: filter, title: 'The nodes where every condition holds' }));
      li.addEventListener('click', (e) => {
        if (e.target.closest('button')) return;
        if (!shown) this.ui.show(m.id);
      });
      if (shown) li.append(this.controls(m));
      this.list.append(li);
    }
  }

  controls(m) {
    const { el } = this.ui;
    const box = el('div', { className: 'map-controls' });
    const b = (text, title, run, cls = '') => {
      const x = el('button', { className: 'small-btn ' + cls, textContent: text, title });
      x.addEventListener('click', run);
      box.append(x);
    };
    if (m.name !== 'default') b('Rename\u2026', 'Give the map another name', () => this.renameDialog(m));
    b(m.read_only ? 'Make writable' : 'Make read-only',
      m.read_only ? 'Let applications and pages change the map again' : 'Applications and pages may no longer change the map',
      () => this.change(() => api.setMapReadOnly(m.id, !m.read_only), m.read_only ? `"${m.name}" is writable` : `"${m.name}" is read-only`));
    if (m.id !== this.appsMap) b('For applications\u2026', 'Make this the map the applications work on', () => this.useDialog(m));
    if (m.name !== 'default' && m.id !== this.appsMap) b('Delete\u2026', 'Delete the map', () => this.deleteDialog(m), 'danger');
    return box;
  }

  async change(call, done) {
    try {
      await call();
      this.ui.toast(done);
    } catch (e) { this.ui.toast(e.message, true); }
    await this.ui.reload();
  }

  // A dialog whose action may be refused: the reason shows in the dialog,
  // which stays open with what was typed.
  static refuse(text) {
    const msg = document.getElementById('dialog-message');
    msg.textContent = text;
    msg.className = 'message refused';
    msg.hidden = false;
  }

  createDialog() {
    const { el, openDialog } = this.ui;
    let name, filter, ro;
    openDialog('New map', (body) => {
      name = el('input', { type: 'text', id: 'map-new-name', maxLength: 64, autocomplete: 'off', spellcheck: false });
      filter = el('textarea', { id: 'map-new-filter', rows: 3, spellcheck: false, placeholder: 'isServer=TRUE\ntrvSysType=TrvServer' });
      ro = el('input', { type: 'checkbox', id: 'map-new-ro' });
      body.append(
        el('label', {}, [el('span', { textContent: 'Name' }), name]),
        el('label', {}, [el('span', { textContent: 'Nodes where every condition holds (FIELD=VALUE, one a line; none: every node)' }), filter]),
        el('label', { className: 'check' }, [ro, el('span', { textContent: 'Read-only: applications may not change it' })]));
    }, [
      { text: 'Cancel' },
      { text: 'Create', cls: 'primary', run: async () => {
        const f = parseFilter(filter.value);
        if (f.bad !== undefined) { MapsPanel.refuse(`"${f.bad}" is not FIELD=VALUE`); return false; }
        try {
          const r = await api.createMap(name.value, f.filter, ro.checked);
          this.ui.toast(`Map "${r.map.name}" made`);
          await this.ui.reload();
          this.ui.show(r.map.id);
          return true;
        } catch (e) { MapsPanel.refuse(e.message); return false; }
      } },
    ]);
  }

  renameDialog(m) {
    const { el, openDialog } = this.ui;
    let name;
    openDialog(`Rename "${m.name}"`, (body) => {
      name = el('input', { type: 'text', id: 'map-rename', maxLength: 64, value: m.name, autocomplete: 'off', spellcheck: false });
      body.append(el('label', {}, [el('span', { textContent: 'New name' }), name]));
    }, [
      { text: 'Cancel' },
      { text: 'Rename', cls: 'primary', run: async () => {
        try {
          await api.renameMap(m.id, name.value);
        } catch (e) { MapsPanel.refuse(e.message); return false; }
        this.ui.toast(`Renamed to "${name.value}"`);
        await this.ui.reload();
        return true;
      } },
    ]);
  }

  useDialog(m) {
    const { el, openDialog } = this.ui;
    openDialog('Make it the applications\u2019 map?', (body) => {
      body.append(el('p', { textContent: `The applications will work on "${m.name}" instead of the map they work on now: each gets the map open event and reads its configuration for "${m.name}". Pages showing other maps stay where they are.` }));
    }, [
      { text: 'Cancel', focus: true },
      { text: 'Make it theirs', cls: 'primary', run: async () => {
        try {
          await api.openMap(m.id);
        } catch (e) { MapsPanel.refuse(e.message); return false; }
        this.ui.toast(`The applications work on "${m.name}"`);
        await this.ui.reload();
        return true;
      } },
    ]);
  }

  deleteDialog(m) {
    const { el, openDialog } = this.ui;
    openDialog(`Delete the map "${m.name}"?`, (body) => {
      body.append(el('p', { textContent: 'The map goes with its symbols, their positions and the applications\u2019 settings for it. The nodes stay in the topology database and on the other maps. It cannot be undone.' }));
    }, [
      { text: 'Cancel', focus: true },
      { text: 'Delete', cls: 'danger primary', run: async () => {
        try {
          await api.deleteMap(m.id);
        } catch (e) { MapsPanel.refuse(e.message); return false; }
        this.ui.toast(`Map "${m.name}" deleted`);
        if (m.id === this.current) this.ui.show(0);
        await this.ui.reload();
        return true;
      } },
    ]);
  }
}
