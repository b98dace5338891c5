// What is wrong and where: the legend's counts (a click selects the nodes of
// that status), the list of nodes that are not Normal, worst first, and the
// page's title and icon, which carry the worst status and its count so that a
// background tab tells something.  All drawn from the model.

import { STATUS, LEGEND, statusOf, badgeDataUrl } from './icons.js';

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

function swatch(st) {
  const s = document.createElement('span');
  s.className = 'swatch' + (st === 5 ? ' hollow' : '');
  if (st !== 5) s.style.background = STATUS[st].color;
  return s;
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
    b.append(swatch(st), text('span', n.label || n.name || '#' + n.object, 'name'), text('span', STATUS[st].name, 'st'));
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
