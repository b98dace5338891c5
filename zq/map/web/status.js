// What is wrong and where: the legend's counts (a click selects the nodes of
// that status), the list of nodes that are not Normal, worst first, and the
// page's title and icon, which carry the worst status and its count so that a
// background tab tells something.  All drawn from the model.

import { STATUS, LEGEND, statusOf, badgeDataUrl, swatchUrl } from './icons.js';

// Worst first, as an operator scans: Critical, Major, Marginal, Warning, Unknown.
const WORST = [4, 7, 3, 6, 1];

export function countByStatus(model) {
  const counts = new Array(STATUS.length).fill(0);
  for (const n of model.nodes) counts[statusOf(n)]++;
  counts[1] += counts[0];
  counts[0] = 0;
  return counts;
}

// The node symbols of a status (Unknown includes Unset).
export function nodesOfStatus(model, st) {
  return model.nodes.filter((n) => { const s = statusOf(n); return s === st || (st === 1 && s === 0); });
}

// A status's colour with its mark, so that no status is told by colour alone.
export function swatch(st) {
  const s = document.createElement('img');
  s.className = 'swatch';
  s.alt = '';
  s.src = swatchUrl(st);
  return s;
}

// Since when a symbol has its status ("since" is unix seconds, 0 unknown):
// the clock time ("14:02:11", with the date when not today) and how long
// ("3 h 5 min").  Both empty when unknown.
export function sinceOf(since, now = Date.now()) {
  if (!since || !Number.isFinite(since)) return { at: '', long: '' };
  const d = new Date(since * 1000);
  const p = (n) => String(n).padStart(2, '0');
  const time = `${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
  const today = new Date(now).toDateString() === d.toDateString();
  const at = today ? time : `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())} ${time}`;
  return { at, long: durationText(Math.max(0, Math.floor(now / 1000 - since))) };
}

export function durationText(s) {
  if (s < 60) return `${s} s`;
  const m = Math.floor(s / 60);
  if (m < 60) return `${m} min`;
  const h = Math.floor(m / 60);
  if (h < 48) return m % 60 ? `${h} h ${m % 60} min` : `${h} h`;
  const d = Math.floor(h / 24);
  return h % 24 ? `${d} d ${h % 24} h` : `${d} d`;
}

// An element whose text tells since when; kept current by refreshSince().
export function sinceElement(since, className, form) {
  const e = text('span', '', className);
  e.dataset.since = String(since || 0);
  e.dataset.form = form;
  fillSince(e);
  return e;
}

function fillSince(e) {
  const s = sinceOf(Number(e.dataset.since));
  if (!s.at) { e.textContent = ''; e.title = ''; return; }
  if (e.dataset.form === 'short') {
    e.textContent = 'for ' + s.long;
    e.title = 'since ' + s.at;
  } else {
    e.textContent = `since ${s.at} (for ${s.long})`;
  }
}

// The "for ..." texts grow with the clock.
export function refreshSince(root = document) {
  for (const e of root.querySelectorAll('[data-since]')) fillSince(e);
}

function text(tag, value, className = '') {
  const e = document.createElement(tag);
  e.textContent = value;
  if (className) e.className = className;
  return e;
}

// Rows of status, name and count; a click (or Enter) calls pick(status).
// active: the status whose nodes are selected now, highlighted.
export function statusRows(box, counts, pick, active) {
  for (const st of LEGEND) {
    const row = document.createElement('button');
    row.type = 'button';
    row.className = 'item status-row' + (st === active ? ' active' : '');
    row.dataset.status = STATUS[st].name;
    row.title = counts[st] ? `Select the ${counts[st]} ${STATUS[st].name} node${counts[st] === 1 ? '' : 's'}` : '';
    row.disabled = !counts[st];
    row.append(swatch(st), text('span', STATUS[st].name), text('span', counts[st].toLocaleString(), 'n'));
    row.addEventListener('click', () => pick(st));
    box.append(row);
  }
}

export function renderLegend(box, model, pick, active) {
  box.replaceChildren(text('div', 'Status', 'title'));
  statusRows(box, countByStatus(model), pick, active);
}

// The nodes that are not Normal (nor unmanaged), worst first, then by name.
export function problems(model) {
  const rank = (n) => { const i = WORST.indexOf(statusOf(n) || 1); return i < 0 ? 99 : i; };
  return model.nodes.filter((n) => rank(n) < 99)
    .sort((a, b) => rank(a) - rank(b) || (a.label || a.name || '').localeCompare(b.label || b.name || ''));
}

// The problem list: a click centres and selects.  At most limit rows.
export function renderProblems(box, model, pick, limit = 200) {
  const list = problems(model);
  box.replaceChildren();
  if (!list.length) {
    box.append(text('div', 'Every managed node is Normal.', 'pad muted'));
    return;
  }
  const ul = document.createElement('ul');
  ul.className = 'problems';
  for (const n of list.slice(0, limit)) {
    const li = document.createElement('li');
    const b = document.createElement('button');
    b.type = 'button';
    b.className = 'problem';
    b.dataset.id = String(n.id);
    const st = statusOf(n) || 1;
    // Name and status above, the node's address and since when below.
    const left = text('span', '', 'col');
    left.append(text('span', n.label || n.name || '#' + n.object, 'name'), text('span', (n.addresses || [])[0] || '', 'addr'));
    const right = text('span', '', 'col right');
    right.append(text('span', STATUS[st].name, 'st'), sinceElement(n.since, 'since', 'short'));
    b.title = [n.label || n.name, ...(n.addresses || [])].join('\n');
    b.append(swatch(st), left, right);
    b.addEventListener('click', () => pick(n));
    li.append(b);
    ul.append(li);
  }
  if (list.length > limit) ul.append(text('li', `and ${(list.length - limit).toLocaleString()} more`, 'muted'));
  box.append(ul);
}

// "3 Critical - zq map" and an icon in the worst status's colour.
let shownTitle = '';
export function updateTitle(model, mapName, stale) {
  const counts = countByStatus(model);
  const worst = WORST.find((st) => counts[st] > 0);
  let title = (mapName ? mapName + ' - ' : '') + 'zq map';
  if (worst !== undefined) title = `${counts[worst]} ${STATUS[worst].name} - ` + title;
  if (stale) title = '(no contact) ' + title;
  if (title === shownTitle) return;
  shownTitle = title;
  document.title = title;
  const link = document.querySelector('link[rel="icon"]');
  if (link) link.href = worst === undefined && !stale ? 'favicon.svg' : badgeDataUrl('generic', stale ? 1 : worst, 32);
}
