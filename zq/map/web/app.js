// The page: panels, menus and dialogs around the map view.

import { api, LiveMap } from './api.js';
import { MapModel, MapView, CARD_W } from './view.js';
import { STATUS, LEGEND, statusOf, badgeDataUrl } from './icons.js';
import { EventsView } from './events.js';
import { renderLegend, statusRows, countByStatus, nodesOfStatus, renderProblems, updateTitle, swatch, sinceElement,
  refreshSince } from './status.js';
import { ContactWatch } from './stale.js';
import { MapsPanel, chosenMap, chooseMap } from './maps.js';

const $ = (id) => document.getElementById(id);

const state = {
  map: 0,
  maps: [],
  appsMap: 0,          // the map the applications work on
  apps: [],
  firstLoad: true,
  searchText: '',
  matchList: [],
  matchAt: -1,
  detailsFor: 0,
  detailsSeq: 0,
  picked: -1,          // the status whose nodes the legend selected, or -1
  tip: null,           // the tooltip's symbol and its offset from it: { id, sym, dx, dy }
  stale: false,
  menuSeq: 0,          // the menu being built (an older answer is dropped)
};

const model = new MapModel();
const view = new MapView($('map'), model, {
  onSelect: () => { state.picked = -1; scheduleDetails(); updateCounts(); updateLegend(); },
  onOpen: openSymbol,
  onMoved: saveMoved,
  onMenu: (x, y) => showMenu(x, y),
  onHover: showTooltip,
  onCamera: () => { updateZoom(); placeTooltip(); },
  onDrawn: () => { updateZoom(); },
  reserveLeft: () => $('legend').getBoundingClientRect().width,
});
// The grid of a new map is made for the shape of the view.
Object.defineProperty(model, 'shape', {
  get: () => ({ w: Math.max(200, view.w - $('legend').getBoundingClientRect().width - 60), h: Math.max(200, view.h - 60) }),
});

const contact = new ContactWatch($('stale'), {
  onStale: (stale) => {
    state.stale = stale;
    view.stale = stale;
    document.body.classList.toggle('stale', stale);
    view.redraw();
    renderApps();
    updateTitle(model, mapName(), stale);
  },
  // The browser asks for the password when the page itself is refused.
  onSignIn: () => location.reload(),
});

const live = new LiveMap(model, {
  onUpdate: (kind, r) => {
    if (kind === 'full' && live.map !== state.map) {
      state.map = live.map;
      state.firstLoad = true;
      showMapName();
    }
    if (kind === 'full' && state.firstLoad) {
      state.firstLoad = false;
      view.fit();
    }
    pruneSelection();
    placeTooltip();
    if (state.searchText) runSearch(false);
    view.redraw();
    updateCounts();
    updateLegend();
    updateTitle(model, mapName(), state.stale);
    $('empty').hidden = model.nodes.length > 0;
    // The panel is drawn again whenever something it shows changed: the
    // selected symbols, their node or components, or (nothing selected) the counts.
    const shown = new Set(view.selection);
    for (const id of view.selection) {
      const s = model.byId.get(id);
      if (!s) continue;
      if (s.parent) shown.add(s.parent);
      for (const c of s.children) shown.add(c.id);
    }
    const touched = kind === 'full' || !view.selection.size ||
      (r && ((r.symbols || []).some((x) => shown.has(x.id)) || (r.deleted || []).some((id) => shown.has(id))));
    if (touched) scheduleDetails();
  },
  onLive: (ok, why, status) => {
    contact.report(ok, status);
    $('live').classList.toggle('off', !ok);
    $('live-text').textContent = ok ? 'Live' : status === 401 ? 'Password needed' : 'Reconnecting';
    $('live').title = ok ? 'Changes arrive as they happen' : why || 'No connection';
  },
  // The map shown is gone: show the applications' map.
  onOpen: () => { chooseMap(0); view.selection.clear(); live.start('open'); },
  // An application changed state, or a map came, went or changed.
  onLists: () => { loadApps(); refreshMaps(); },
});

// ---- events panel ------------------------------------------------------------------
// Linked both ways: one node selected on the map filters the events to it, a
// click on an event selects its node on the map.

const events = new EventsView($('events'), {
  selectNode: (object) => {
    const sym = object ? model.nodes.find((n) => n.object === object) : null;
    view.selection = new Set(sym ? [sym.id] : []);
    if (sym) view.centerOn(sym);
    scheduleDetails();
    updateCounts();
    view.redraw();
  },
  onMarks: (marked) => {
    view.alarmed = marked;
    $('events-marks').textContent = marked.size ? String(marked.size) : '';
    $('events-marks').title = marked.size ? `${marked.size} nodes with unacknowledged Major or Critical alarms` : '';
    view.redraw();
  },
  toast: (text, error) => toast(text, error),
});

function syncEventsNode() {
  const nodes = selectedSymbols().filter((s) => !s.parent);
  const one = nodes.length === 1 && view.selection.size === 1 ? nodes[0] : null;
  events.setNode(one ? { id: one.object, name: one.label || one.name || '#' + one.object } : null);
}

$('events-btn').addEventListener('click', () => events.fold(!events.folded));

// ---- maps ---------------------------------------------------------------------

const mapsPanel = new MapsPanel($('maps'), $('map-new'), {
  el, openDialog, toast,
  show: (id) => showMap(id),
  reload: () => loadMaps(),
});

async function loadMaps() {
  try {
    setMaps(await api.maps());
    showMapName();
  } catch (e) {
    toast(e.message, true);
    setTimeout(loadMaps, 2000);
  }
}

async function refreshMaps() {
  try {
    if (setMaps(await api.maps())) showMapName();
  } catch { /* the live indicator tells */ }
}

// The answer of GET /api/maps; true when it differs from what is shown.
function setMaps(r) {
  if (JSON.stringify(r.maps) === JSON.stringify(state.maps) && r.open === state.appsMap) return false;
  state.maps = r.maps;
  state.appsMap = r.open;
  renderMaps(state.map);
  return true;
}

function mapName() {
  const m = state.maps.find((x) => x.id === state.map);
  return m ? m.name : state.map ? `map ${state.map}` : '';
}

function showMapName() {
  $('map-name').textContent = mapName() || '\u00a0';
  updateTitle(model, mapName(), state.stale);
  renderMaps(state.map);
  scheduleDetails();
}

// This page shows map id (0: the applications' map); other pages and the
// applications are not told.
function showMap(id) {
  chooseMap(id);
  state.firstLoad = true;
  view.selection.clear();
  if (id) {
    state.map = id;
    showMapName();
  }
  live.start(id || 'open');
}

function renderMaps(shown) {
  mapsPanel.render(state.maps, state.appsMap, shown);
  // A read-only map is not changed from the page either: its symbols stay
  // where they are and keep their managed marks.
  view.locked = shownReadOnly();
}

function shownReadOnly() {
  return !!state.maps.find((x) => x.id === state.map)?.read_only;
}

// ---- applications ----------------------------------------------------------------

async function loadApps() {
  try {
    const r = await api.apps();
    const labels = JSON.stringify([...fieldLabels()]);
    state.apps = r.apps;
    renderApps();
    // The panel's field labels come from the registrations.
    if (state.detailsFor && JSON.stringify([...fieldLabels()]) !== labels) scheduleDetails();
  } catch { /* the live indicator already tells */ }
}

function renderApps() {
  const ul = $('apps');
  ul.replaceChildren();
  // A registration of symbol types only (the platform's own) is no application to show.
  const shown = state.apps.filter((a) => (a.command && a.command.length) || a.actions.length || a.config.length);
  if (!shown.length) ul.append(el('li', { className: 'muted', textContent: 'No applications registered.' }));
  for (const a of shown) {
    const li = el('li', { className: 'app-item' });
    const kind = state.stale ? 'unknown' : {
      running: 'running', starting: 'starting', restarting: 'starting', ended: 'ended', failed: 'ended',
      'actions only': 'actions',
    }[a.state] || 'actions';
    const row = el('div', { className: 'row' });
    // Without contact the last state known is no more than a guess.
    row.append(el('span', { className: 'name', textContent: a.name, title: a.name }),
      el('span', { className: 'badge ' + kind, textContent: state.stale ? 'unknown' : a.state,
        title: state.stale ? `last known: ${a.state}` : '' }));
    li.append(row);
    const meta = [];
    if (a.pid && a.state !== 'ended' && !state.stale) meta.push('pid ' + a.pid);
    if (a.exit_status !== undefined) meta.push(a.exit_status > 128 ? 'signal ' + (a.exit_status - 128) : 'exit status ' + a.exit_status);
    if (a.restart_in_ms !== undefined) meta.push('again in ' + Math.ceil(a.restart_in_ms / 1000) + ' s');
    if (a.restarts) meta.push(a.restarts === 1 ? 'restarted once' : 'restarted ' + a.restarts + ' times');
    meta.push(a.actions.length === 1 ? '1 action' : a.actions.length + ' actions');
    li.append(el('div', { className: 'meta', textContent: meta.join(' \u00b7 ') }));
    const buttons = el('div', { className: 'row' });
    if (a.command && a.command.length) {
      const b = el('button', { className: 'small-btn', textContent: 'Restart' });
      const restart = async (force) => {
        b.disabled = true;
        try { await api.restart(a.name, force); toast(`${a.name} ${force ? 'stopped and started again' : 'restarted'}`); } catch (e) { toast(e.message, true); }
        loadApps();
        return true;
      };
      // A running (perhaps hung) application is stopped first: that asks.
      b.addEventListener('click', () => {
        if (a.state !== 'running' && a.state !== 'starting') return restart(false);
        openDialog(`Restart ${a.name}`, (body) => {
          body.append(el('p', { textContent: `${a.name} is running (pid ${a.pid}). It is stopped and started again; what it is doing now is lost.` }));
        }, [{ text: 'Cancel', focus: true }, { text: 'Restart', cls: 'primary', run: () => restart(true) }]);
      });
      buttons.append(b);
    }
    if (a.config && a.config.length) {
      const b = el('button', { className: 'small-btn', textContent: 'Configure\u2026' });
      b.addEventListener('click', () => configDialog(a.name));
      buttons.append(b);
    }
    if (buttons.childElementCount) li.append(buttons);
    ul.append(li);
  }
}

function actionDef(app, name) {
  const a = state.apps.find((x) => x.name === app);
  return a && a.actions.find((x) => x.name === name);
}

// ---- selection, actions -------------------------------------------------------------

function selectedSymbols() {
  return [...view.selection].map((id) => model.byId.get(id)).filter(Boolean);
}

function selectedObjects() {
  const seen = new Set();
  const out = [];
  for (const s of selectedSymbols()) if (!seen.has(s.object)) { seen.add(s.object); out.push(s.object); }
  return out;
}

function pruneSelection() {
  let changed = false;
  for (const id of view.selection) if (!model.byId.has(id)) { view.selection.delete(id); changed = true; }
  if (changed) scheduleDetails();
}

async function runAction(app, action, objects) {
  if (!objects.length) return;
  const def = actionDef(app, action);
  // A window opened now still counts as the user's own click; one opened after
  // the answer would be stopped by the popup blocker.
  const win = def && def.url ? window.open('about:blank', '_blank') : null;
  try {
    const r = await api.action(app, action, objects);
    if (r.urls && r.urls.length) {
      r.urls.forEach((u, i) => {
        if (i === 0 && win) win.location.href = u;
        else window.open(u, '_blank');
      });
    } else {
      if (win) win.close();
      const n = r.objects ?? objects.length;
      toast(`${def ? def.label || action : action}: sent for ${n} object${n === 1 ? '' : 's'}`);
    }
    if (r.left_out) {
      const first = (r.left_out_first || [])[0];
      toast(`${r.left_out} of ${objects.length} left out${first ? ` (object ${first.object}: ${first.reason})` : ''}`);
    }
  } catch (e) {
    if (win) win.close();
    toast(`${action}: ${e.message}`, true);
  }
}

function openSymbol(sym) {
  if (sym.behavior === 2 && sym.action) {
    runAction(sym.app, sym.action, sym.objects && sym.objects.length ? sym.objects : [sym.object]);
    return;
  }
  const node = sym.parent ? model.byId.get(sym.parent) : sym;
  if (node) view.centerOn(node, Math.max(view.scale, 260 / CARD_W));
}

async function setManaged(managed) {
  const ids = [...view.selection];
  if (!ids.length) return;
  try {
    await api.manage(ids, managed);
    toast(`${ids.length} symbol${ids.length === 1 ? '' : 's'} ${managed ? 'managed' : 'unmanaged'}`);
  } catch (e) { toast(e.message, true); }
}

// Deleting cannot be undone: the dialog starts on Cancel, and deleting more
// than one node or more than 10 objects waits until the number is typed.
function deleteDialog() {
  const objects = selectedObjects();
  if (!objects.length) return;
  const names = selectedSymbols().slice(0, 5).map((s) => s.label || s.name || '#' + s.object);
  const nodes = selectedSymbols().filter((s) => !s.parent).length;
  const typed = nodes > 1 || objects.length > 10;
  let deleteButton = null;
  openDialog(objects.length === 1 ? 'Delete object' : `Delete ${objects.length} objects`, (body) => {
    body.append(el('p', { textContent: `This deletes ${objects.length === 1 ? 'the object' : 'the objects'} from the topology database, with every symbol on every map: ${names.join(', ')}${objects.length > 5 ? ', \u2026' : ''}. It cannot be undone.` }));
    if (typed) {
      const label = el('label', { textContent: `Type ${objects.length} to delete ${objects.length} objects` });
      const input = el('input', { type: 'text', id: 'delete-count', autocomplete: 'off', inputMode: 'numeric' });
      input.addEventListener('input', () => { deleteButton.disabled = input.value.trim() !== String(objects.length); });
      label.append(input);
      body.append(label);
    }
  }, [
    { text: 'Cancel', focus: true },
    { text: 'Delete', cls: 'danger primary', disabled: typed, ref: (x) => { deleteButton = x; }, run: async () => {
      try {
        await api.deleteObjects(objects);
        view.selection.clear();
        scheduleDetails();
        toast(`${objects.length} object${objects.length === 1 ? '' : 's'} deleted`);
      } catch (e) { toast(e.message, true); }
      return true;
    } },
  ]);
}

async function saveMoved(nodes) {
  try {
    await api.positions(state.map, nodes.map((n) => ({ symbol: n.id, x: Math.round(n.x * 10) / 10, y: Math.round(n.y * 10) / 10 })));
  } catch (e) { toast('The new place was not saved: ' + e.message, true); }
}

// ---- menu -------------------------------------------------------------------------

async function showMenu(x, y) {
  const menu = $('menu');
  const objects = selectedObjects();
  const none = objects.length === 0;
  // Which actions fit the selection: the map program knows what each
  // registration covers.  Without an answer the actions are shown as not
  // available rather than offered blindly.
  const asked = ++state.menuSeq;
  let fits = null;
  if (!none) {
    try { fits = (await api.actionFit(objects)).actions; } catch (e) { fits = e.message; }
    if (asked !== state.menuSeq) return;
  }
  menu.replaceChildren();
  actionItems(menu, objects, fits);
  if (menu.childElementCount) menu.append(el('hr'));
  const item = (text, fn, cls = '') => {
    const b = el('button', { className: 'item ' + cls, textContent: text, disabled: none, role: 'menuitem' });
    b.addEventListener('click', () => { hideMenu(); fn(); });
    menu.append(b);
  };
  // As the panel's buttons: what the selection's symbols can become.
  const sel = selectedSymbols();
  if (!shownReadOnly() && (none || sel.some((s) => !s.managed))) item('Manage', () => setManaged(true));
  if (!shownReadOnly() && (none || sel.some((s) => s.managed))) item('Unmanage', () => setManaged(false));
  item('Delete objects\u2026', deleteDialog, 'danger');
  menu.hidden = false;
  const r = menu.getBoundingClientRect();
  menu.style.left = Math.max(4, Math.min(x, window.innerWidth - r.width - 8)) + 'px';
  menu.style.top = Math.max(4, Math.min(y, window.innerHeight - r.height - 8)) + 'px';
  const first = menu.querySelector('.item:not(:disabled)');
  if (first) first.focus();
}

function hideMenu() { state.menuSeq++; $('menu').hidden = true; }

// The actions in the menu, grouped per application under its name.  An action
// for none of the selection is shown disabled with the reason; one for part of
// it says for how many.
function actionItems(menu, objects, fits) {
  for (const a of state.apps) {
    if (!a.actions.length) continue;
    menu.append(el('div', { className: 'group', textContent: a.name }));
    for (const ac of a.actions) {
      const fit = Array.isArray(fits) ? fits.find((f) => f.app === a.name && f.action === ac.name) : null;
      const covered = fit ? fit.covered : 0;
      // The label is what the operator reads; the internal name only in the tooltip.
      const b = el('button', { className: 'item', disabled: covered === 0, role: 'menuitem', title: ac.name });
      b.append(document.createTextNode(ac.label || ac.name));
      if (covered && covered < objects.length) b.append(el('span', { className: 'fit', textContent: ` ${covered} of ${objects.length}` }));
      const why = !objects.length ? '' : typeof fits === 'string' ? fits : !fit ? 'not known to the map program' : covered ? '' : fit.reason;
      if (why) {
        b.title = `${ac.name}: ${why}`;
        b.append(el('span', { className: 'why', textContent: why }));
      }
      b.addEventListener('click', () => { hideMenu(); runAction(a.name, ac.name, objects); });
      menu.append(b);
    }
  }
}

// The menu by keyboard: arrows, Home and End move among its items, Escape
// closes it and leaves the selection as it was.
$('menu').addEventListener('keydown', (e) => {
  const items = [...$('menu').querySelectorAll('.item:not(:disabled)')];
  const at = items.indexOf(document.activeElement);
  let next = -1;
  if (e.key === 'ArrowDown') next = at < 0 ? 0 : (at + 1) % items.length;
  else if (e.key === 'ArrowUp') next = at < 0 ? items.length - 1 : (at - 1 + items.length) % items.length;
  else if (e.key === 'Home') next = 0;
  else if (e.key === 'End') next = items.length - 1;
  else if (e.key === 'Escape' || e.key === 'Tab') {
    e.preventDefault();
    e.stopPropagation();
    hideMenu();
    $('map').focus();
    return;
  } else return;
  e.preventDefault();
  e.stopPropagation();
  if (items[next]) items[next].focus();
});

$('actions-btn').addEventListener('click', (e) => {
  e.stopPropagation();
  if (!$('menu').hidden) return hideMenu();
  const r = e.currentTarget.getBoundingClientRect();
  showMenu(r.left, r.bottom + 4);
});
document.addEventListener('pointerdown', (e) => {
  if (!$('menu').hidden && !$('menu').contains(e.target) && e.target !== $('actions-btn')) hideMenu();
});

// ---- details panel --------------------------------------------------------------------

let detailsTimer = 0;
function scheduleDetails() {
  syncEventsNode();
  clearTimeout(detailsTimer);
  detailsTimer = setTimeout(renderDetails, 60);
}

function statusName(sym) { return STATUS[statusOf(sym)].name; }

function renderDetails() {
  const box = $('details');
  const sel = selectedSymbols();
  state.detailsFor = 0;
  if (sel.length === 0) return renderSummary(box);
  if (sel.length > 1) {
    box.replaceChildren();
    const head = el('div', { className: 'details-head' });
    head.append(el('div', {}, [el('div', { className: 'title', textContent: `${sel.length} symbols selected` }),
      el('div', { className: 'sub', textContent: `${selectedObjects().length} objects` })]));
    box.append(head, actionButtons());
    const ul = el('ul', { className: 'sel-list' });
    for (const s of sel.slice(0, 200)) {
      const li = el('li');
      li.append(swatch(statusOf(s)), el('span', { textContent: s.label || s.name || '#' + s.id }));
      ul.append(li);
    }
    if (sel.length > 200) ul.append(el('li', { className: 'muted', textContent: `and ${sel.length - 200} more` }));
    box.append(ul);
    return;
  }
  const s = sel[0];
  state.detailsFor = s.id;
  box.replaceChildren();
  box.append(el('div', { className: 'details-head', id: 'details-head' }), actionButtons());
  refreshDetailsHead();
  // Every address of the node (a component's are its node's).
  const node = s.parent ? model.byId.get(s.parent) : s;
  const addresses = (node && node.addresses) || [];
  if (addresses.length) {
    box.append(el('div', { className: 'section-title', textContent: addresses.length === 1 ? 'Address' : `Addresses (${addresses.length})` }),
      el('ul', { className: 'addresses' }, addresses.map((a) => el('li', { textContent: a }))));
  }
  if (s.children.length) {
    box.append(el('div', { className: 'section-title', textContent: `Components (${s.children.length})` }));
    const ul = el('ul', { className: 'components' });
    for (const c of s.children) {
      const b = el('button', { className: 'problem', type: 'button' });
      b.append(swatch(statusOf(c)), el('span', { className: 'name', textContent: c.label || c.name || c.type, title: c.type }),
        el('span', { className: 'st', textContent: statusName(c) }));
      b.addEventListener('click', () => { view.selection = new Set([c.id]); scheduleDetails(); updateCounts(); view.redraw(); });
      ul.append(el('li', {}, [b]));
    }
    box.append(ul);
  }
  const fields = el('div', { id: 'fields' }, [el('div', { className: 'pad muted', textContent: 'Reading the object\u2026' })]);
  box.append(el('div', { className: 'section-title', textContent: 'Object fields' }), fields);
  const seq = ++state.detailsSeq;
  api.object(s.object).then((o) => {
    if (seq !== state.detailsSeq) return;
    const t = el('table', { className: 'kv' });
    const labels = fieldLabels();
    for (const f of o.fields) {
      const tr = el('tr');
      let v = f.value;
      const td = el('td');
      if (typeof v === 'boolean') { td.textContent = v ? 'TRUE' : 'FALSE'; td.className = 'bool-' + v; }
      else td.textContent = String(v);
      // The label an application registered for the field, else its name.
      const label = labels.get(f.name);
      tr.append(el('td', { textContent: label || f.name, title: label ? `${f.name} (${f.type})` : f.type }), td);
      t.append(tr);
    }
    fields.replaceChildren(t);
  }).catch((e) => {
    if (seq === state.detailsSeq) fields.replaceChildren(el('div', { className: 'pad muted', textContent: e.message }));
  });
}

function refreshDetailsHead() {
  const head = $('details-head');
  const s = model.byId.get(state.detailsFor);
  if (!head || !s) return;
  head.replaceChildren();
  const img = el('img', { alt: '', src: badgeDataUrl(s.icon || 'generic', statusOf(s), 64) });
  const parent = s.parent ? model.byId.get(s.parent) : null;
  const status = el('div', { className: 'sub status' }, [el('b', { textContent: statusName(s) })]);
  if (s.since) status.append(' ', sinceElement(s.since, 'since', 'long'));
  const lines = [el('div', { className: 'title', textContent: s.label || s.name || '#' + s.id }), status,
    el('div', { className: 'sub', textContent: s.type })];
  if (parent) lines.push(el('div', { className: 'sub', textContent: 'in ' + (parent.label || parent.name) }));
  if (s.children.length) lines.push(el('div', { className: 'sub', textContent: `${s.children.length} component${s.children.length === 1 ? '' : 's'}` }));
  head.append(img, el('div', {}, lines));
}

function actionButtons() {
  const box = el('div', { className: 'details-actions' });
  const sel = selectedSymbols();
  const anyManaged = sel.some((s) => s.managed), anyUnmanaged = sel.some((s) => !s.managed);
  const b = (text, fn, cls = '') => {
    const x = el('button', { className: 'small-btn ' + cls, textContent: text });
    x.addEventListener('click', fn);
    box.append(x);
  };
  b('Actions\u2026', (e) => { const r = e.currentTarget.getBoundingClientRect(); e.stopPropagation(); showMenu(r.left, r.bottom + 4); }, 'primary');
  if (anyUnmanaged && !shownReadOnly()) b('Manage', () => setManaged(true));
  if (anyManaged && !shownReadOnly()) b('Unmanage', () => setManaged(false));
  b('Delete\u2026', deleteDialog, 'danger');
  return box;
}

function renderSummary(box) {
  box.replaceChildren();
  const counts = countByStatus(model);
  const total = model.nodes.length;
  const m = state.maps.find((x) => x.id === state.map);
  const head = el('div', { className: 'details-head' });
  head.append(el('div', {}, [el('div', { className: 'title', textContent: m ? m.name : 'Map' }),
    el('div', { className: 'sub', textContent: `${total.toLocaleString()} node symbols \u00b7 ${(model.byId.size - total).toLocaleString()} components` })]));
  box.append(head, el('div', { className: 'section-title', textContent: 'Status of the nodes' }));
  const bar = el('div', { className: 'bar' });
  for (const st of LEGEND) {
    if (!counts[st] || !total) continue;
    const seg = el('div');
    seg.style.width = (100 * counts[st] / total) + '%';
    seg.style.background = STATUS[st].color;
    bar.append(seg);
  }
  box.append(bar);
  const list = el('div', { className: 'summary' });
  statusRows(list, counts, pickStatus, state.picked);
  const problemsBox = el('div', { id: 'problems' });
  renderProblems(problemsBox, model, pickNode);
  box.append(list, el('div', { className: 'section-title', textContent: 'Nodes that are not Normal' }), problemsBox,
    el('div', { className: 'pad muted', textContent: 'Select a symbol to see its object\u2019s fields.' }));
}

// ---- configuration dialog --------------------------------------------------------------

async function configDialog(app) {
  let cfg;
  try { cfg = await api.config(app); } catch (e) { return toast(e.message, true); }
  const inputs = [];
  const collect = () => {
    const values = {};
    for (const { f, input } of inputs) {
      if (f.type === 'Boolean') values[f.field] = input.checked;
      else if (f.type === 'Integer') values[f.field] = parseInt(input.value || '0', 10);
      else values[f.field] = input.value;
    }
    return values;
  };
  let verified = null;
  openDialog(`Configure ${app}`, (body) => {
    for (const f of cfg.fields) {
      let input;
      const label = el('label');
      if (f.type === 'Boolean') {
        label.className = 'check';
        input = el('input', { type: 'checkbox', checked: !!f.value });
        label.append(input, document.createTextNode(f.label || f.field));
      } else {
        label.append(document.createTextNode(f.label || f.field), el('span', { className: 'field', textContent: f.field }));
        if (f.type === 'Enumeration') {
          input = el('select');
          for (const v of f.values || []) input.append(el('option', { value: v, textContent: v, selected: v === f.value }));
        } else {
          input = el('input', { type: f.type === 'Integer' ? 'number' : 'text', value: f.value === undefined ? '' : String(f.value) });
        }
        label.append(input);
      }
      input.dataset.field = f.field;
      input.addEventListener('input', () => { verified = null; setButtons(); });
      inputs.push({ f, input });
      body.append(label);
    }
    if (!cfg.fields.length) body.append(el('p', { className: 'muted', textContent: 'This application has no settings.' }));
  }, []);
  const msg = $('dialog-message');
  const setButtons = () => {
    const buttons = [{ text: 'Cancel' }];
    if (!verified) {
      msg.hidden = true;
      buttons.push({ text: 'Apply', cls: 'primary', run: async () => {
        const values = collect();
        try {
          const r = await api.verifyConfig(app, values);
          verified = { values, r };
          msg.hidden = false;
          msg.className = 'message' + (r.accept ? '' : ' refused');
          msg.textContent = !r.replied ? `${app} did not answer; nothing was stored.`
            : (r.message || (r.accept ? `${app} accepts the change.` : `${app} refuses the change.`));
        } catch (e) { toast(e.message, true); }
        setButtons();
        return false;
      } });
    } else {
      buttons.push({ text: 'OK', cls: 'primary', disabled: !(verified.r.replied && verified.r.accept), run: async () => {
        try {
          await api.confirmConfig(app, verified.values);
          toast(`${app}: configuration stored`);
          return true;
        } catch (e) { toast(e.message, true); return false; }
      } });
    }
    setDialogButtons(buttons);
  };
  setButtons();
}

// ---- dialogs, toasts, helpers ------------------------------------------------------------

function openDialog(title, fill, buttons) {
  $('dialog-title').textContent = title;
  const body = $('dialog-body');
  body.replaceChildren();
  fill(body);
  $('dialog-message').hidden = true;
  setDialogButtons(buttons);
  $('modal').hidden = false;
  const first = body.querySelector('input,select') || $('dialog-buttons').querySelector('button.focus') ||
    $('dialog-buttons').querySelector('button:last-child');
  if (first) first.focus();
}

function setDialogButtons(buttons) {
  const box = $('dialog-buttons');
  box.replaceChildren();
  for (const b of buttons) {
    const x = el('button', { className: 'small-btn ' + (b.cls || '') + (b.focus ? ' focus' : ''), textContent: b.text, disabled: !!b.disabled });
    if (b.ref) b.ref(x);
    x.addEventListener('click', async () => {
      if (!b.run) return closeDialog();
      x.disabled = true;
      const close = await b.run();
      x.disabled = false;
      if (close) closeDialog();
    });
    box.append(x);
  }
}

function closeDialog() { $('modal').hidden = true; }

function toast(text, error = false) {
  const t = el('div', { className: 'toast' + (error ? ' error' : ''), textContent: text });
  $('toasts').append(t);
  setTimeout(() => t.remove(), error ? 7000 : 3500);
}

function el(tag, props = {}, children = []) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'role') e.setAttribute('role', v);
    else e[k] = v;
  }
  for (const c of children) e.append(c);
  return e;
}

// Field name -> the label an application's registration gives it.
function fieldLabels() {
  const m = new Map();
  for (const a of state.apps) for (const c of a.config || []) if (c.label && !m.has(c.field)) m.set(c.field, c.label);
  return m;
}

function updateLegend() {
  renderLegend($('legend'), model, pickStatus, state.picked);
}

// A status in the legend or the summary: its nodes selected (again: none).
function pickStatus(st) {
  if (state.picked === st) {
    state.picked = -1;
    view.selection = new Set();
  } else {
    state.picked = st;
    view.selection = new Set(nodesOfStatus(model, st).map((n) => n.id));
  }
  scheduleDetails(); updateCounts(); updateLegend(); view.redraw();
}

// One node: selected and in the middle of the view (with keepView, only when
// it is not in view already).
function pickNode(n, keepView = false) {
  state.picked = -1;
  view.selection = new Set([n.id]);
  const p = view.toScreen(n.x, n.y);
  if (!keepView || p.x < 40 || p.y < 40 || p.x > view.w - 40 || p.y > view.h - 40) view.centerOn(n, Math.max(view.scale, 0.8));
  else view.redraw();
  scheduleDetails(); updateCounts(); updateLegend();
}

// The arrow keys: the selection moves to the next node in the order the
// layout shows them (row by row, left to right).
function stepSelection(dir) {
  const order = [...model.nodes].sort((a, b) => (a.y - b.y) || (a.x - b.x));
  if (!order.length) return;
  const at = order.findIndex((n) => view.selection.has(n.id));
  const next = at < 0 ? (dir > 0 ? 0 : order.length - 1) : (at + dir + order.length) % order.length;
  pickNode(order[next], true);
}

function updateCounts() {
  const nodes = model.nodes.length;
  $('counts').textContent = `${nodes.toLocaleString()} nodes \u00b7 ${(model.byId.size - nodes).toLocaleString()} components` +
    (view.selection.size ? ` \u00b7 ${view.selection.size} selected` : '');
}

function updateZoom() {
  $('zoom-level').textContent = Math.round(view.scale * 100) + '%';
}

// The tooltip keeps its place beside its symbol: panning and zooming carry it
// along, and it goes when its symbol leaves the view.
function showTooltip(sym, x, y) {
  const tip = $('tooltip');
  if (!sym || view.gesture) { tip.hidden = true; state.tip = null; return; }
  fillTooltip(sym);
  const p = symbolOnPage(sym.id);
  state.tip = p ? { id: sym.id, sym, dx: x + 14 - p.x, dy: y + 14 - p.y } : null;
  tip.hidden = false;
  tip.style.left = (x + 14) + 'px';
  tip.style.top = (y + 14) + 'px';
}

function fillTooltip(sym) {
  const node = sym.parent ? model.byId.get(sym.parent) : sym;
  const lines = [el('div', { textContent: sym.label || sym.name || '#' + sym.id }),
    el('div', { className: 't', textContent: `${statusName(sym)} \u00b7 ${sym.type}` })];
  if (node && node.addresses && node.addresses.length) lines.push(el('div', { className: 't', textContent: node.addresses.join(', ') }));
  $('tooltip').replaceChildren(...lines);
}

function symbolOnPage(id) {
  const p = view.screenPointOf(id);
  if (!p) return null;
  const r = view.canvas.getBoundingClientRect();
  return { x: p.x + r.left, y: p.y + r.top, inside: p.x >= 0 && p.y >= 0 && p.x <= view.w && p.y <= view.h };
}

function placeTooltip() {
  if (!state.tip) return;
  const tip = $('tooltip');
  const p = symbolOnPage(state.tip.id);
  if (!p || !p.inside) { tip.hidden = true; state.tip = null; return; }
  // A change of the symbol (its status) shows at once.
  const sym = model.byId.get(state.tip.id);
  if (sym !== state.tip.sym) { state.tip.sym = sym; fillTooltip(sym); }
  tip.style.left = (p.x + state.tip.dx) + 'px';
  tip.style.top = (p.y + state.tip.dy) + 'px';
}

// ---- search -----------------------------------------------------------------------

function runSearch(jump) {
  const q = state.searchText;
  if (!q) {
    view.matches = null;
    state.matchList = [];
    $('search-count').textContent = '';
    view.redraw();
    return;
  }
  const matches = new Set();
  const list = [];
  // Name, label, type and status of a node or of one of its components.
  const has = (s) => MapModel.searchText(s).includes(q) || statusName(s).toLowerCase() === q;
  for (const n of model.nodes) {
    let hit = has(n);
    if (!hit) for (const c of n.children) if (has(c)) { hit = true; break; }
    if (hit) { matches.add(n.id); list.push(n); }
  }
  view.matches = matches;
  state.matchList = list;
  $('search-count').textContent = list.length ? `${list.length.toLocaleString()} found` : 'none';
  if (jump) { state.matchAt = -1; nextMatch(); }
  view.redraw();
}

// Enter: the next match selected and in the middle of the view.
function nextMatch() {
  if (!state.matchList.length) return;
  state.matchAt = (state.matchAt + 1) % state.matchList.length;
  pickNode(state.matchList[state.matchAt]);
  $('search-count').textContent = `${state.matchAt + 1} of ${state.matchList.length.toLocaleString()}`;
}

let searchTimer = 0;
$('search').addEventListener('input', (e) => {
  clearTimeout(searchTimer);
  searchTimer = setTimeout(() => {
    state.searchText = e.target.value.trim().toLowerCase();
    runSearch(false);
  }, 120);
});
$('search').addEventListener('keydown', (e) => {
  if (e.key === 'Enter') {
    clearTimeout(searchTimer);
    const q = e.target.value.trim().toLowerCase();
    if (q !== state.searchText) { state.searchText = q; runSearch(true); } else nextMatch();
  } else if (e.key === 'Escape') {
    e.target.value = '';
    state.searchText = '';
    runSearch(false);
    $('map').focus();
  }
});

// ---- keys and buttons ------------------------------------------------------------------

for (const [button, cls] of [['left-btn', 'show-left'], ['right-btn', 'show-right']]) {
  $(button).addEventListener('click', () => document.body.classList.toggle(cls));
}
$('zoom-in').addEventListener('click', () => view.zoomAt(view.w / 2, view.h / 2, 1.4));
$('zoom-out').addEventListener('click', () => view.zoomAt(view.w / 2, view.h / 2, 1 / 1.4));
$('fit').addEventListener('click', () => view.fit());
document.addEventListener('keydown', (e) => {
  if (!$('modal').hidden) {
    if (e.key === 'Escape') closeDialog();
    return;
  }
  if (e.target.closest && e.target.closest('input,select,textarea')) return;
  // Tab on the map walks the nodes as the arrows do (Shift+Tab back).
  if (e.key === 'Tab' && (e.target === document.body || e.target === $('map'))) {
    e.preventDefault();
    stepSelection(e.shiftKey ? -1 : 1);
    $('map').focus();
    return;
  }
  if (e.key === 'Escape') { hideMenu(); view.selection.clear(); scheduleDetails(); updateCounts(); view.redraw(); }
  else if (e.key === 'Delete') deleteDialog();
  else if (['ArrowRight', 'ArrowDown', 'ArrowLeft', 'ArrowUp'].includes(e.key) && !e.target.closest('button,#menu')) {
    e.preventDefault();
    stepSelection(e.key === 'ArrowRight' || e.key === 'ArrowDown' ? 1 : -1);
  } else if (e.key === 'Enter' && !e.target.closest('button,#menu')) {
    const sel = selectedSymbols();
    if (sel.length === 1) openSymbol(sel[0]);
  }
  else if (e.key === '+' || e.key === '=') view.zoomAt(view.w / 2, view.h / 2, 1.4);
  else if (e.key === '-') view.zoomAt(view.w / 2, view.h / 2, 1 / 1.4);
  else if (e.key === '0') view.fit();
  else if (e.key === '/') { e.preventDefault(); $('search').focus(); }
  else if ((e.ctrlKey || e.metaKey) && e.key === 'a') {
    e.preventDefault();
    view.selection = new Set(model.nodes.map((n) => n.id));
    scheduleDetails(); updateCounts(); view.redraw();
  }
});
$('modal').addEventListener('pointerdown', (e) => { if (e.target === $('modal')) closeDialog(); });

// ---- start ----------------------------------------------------------------------------

// For tests and benchmarks: the model and view, and a few helpers over them.
window.zqmap = {
  model, view, state, events, contact,
  nodes: () => model.nodes.map((n) => ({ id: n.id, object: n.object, name: n.label || n.name })),
  selection: () => [...view.selection],
  alarmed: () => [...view.alarmed],
  ready: () => !state.firstLoad && model.version > 0,
  symbol: (id) => model.byId.get(id),
  // Where a symbol is in the window (for the mouse), and a point of the canvas
  // inside its status colour (for reading a pixel).
  pointOf: (id) => symbolOnPage(id),
  probeOf: (id) => view.probePointOf(id),
  labelRectOf: (id) => view.labelRectOf(id),
  font: () => view.ctx.font,
  redrawNow: () => { const t = performance.now(); view.draw(); return performance.now() - t; },
  select: (ids) => { view.selection = new Set(ids); scheduleDetails(); updateCounts(); view.redraw(); },
};

updateLegend();
renderSummary($('details'));
setInterval(() => refreshSince(), 15000);
live.start(chosenMap() || 'open');
loadMaps();
loadApps();

