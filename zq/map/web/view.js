// The map drawn on one canvas: the symbols of a map in world coordinates, a
// camera (pan and zoom), the drawing with its levels of detail, hit tests and
// the pointer gestures.  Only panels and menus are DOM elements.

import { STATUS, ICON_CLASSES, ICON_TITLES, statusOf, badgeSprite, markSprite, rrect } from './icons.js';

// Geometry of a node symbol in world units (its position is the badge centre).
export const CARD_W = 124;
const CARD_TOP = 34;          // card top above the centre
const BADGE_R = 23;
// An unmanaged symbol's ring, as the badge sprites draw it.
const RING_R = BADGE_R * 0.917, RING_W = BADGE_R * 0.18;
// The status emblem at a badge's lower right (a mark per status).
const MARK_R = 9.5, MARK_DX = 19, MARK_DY = 13;
const CHIP_W = 53, CHIP_H = 17, CHIP_GAP = 4, CHIP_COLS = 2, CHIP_ROWS_MAX = 3;
const CHIPS_TOP = 32;         // first chip row below the centre
const LABEL_GAP = 15;
const LINE = 1.15;            // a label's line height in text sizes
export const CELL_W = 160, CELL_H = 170;
const GROUP_GAP = 0.5;        // empty cells between the kind groups
const SHELF_GAP = 0.8;        // empty rows between two rows of kind groups (room for the titles)
const FONT = "'DejaVu Sans', 'Segoe UI', Roboto, Helvetica, Arial, sans-serif";

function chipRows(n) { return Math.min(CHIP_ROWS_MAX, Math.ceil(n / CHIP_COLS)); }
function cardBottom(node) {
  const rows = chipRows(node.children.length);
  return rows ? CHIPS_TOP + rows * (CHIP_H + CHIP_GAP) + 3 : 30;
}

// ---- the model ---------------------------------------------------------------

export class MapModel {
  constructor() {
    this.clear();
  }

  clear() {
    this.byId = new Map();        // symbol id -> symbol
    this.nodes = [];              // node symbols in drawing order
    this.groups = new Map();      // icon class -> {x, y, cols, count, title}
    this.nextGroupX = 0;
    this.version = 0;
    // The shape (in pixels) the grid is made for: the map view's.
    if (!this.shape) this.shape = { w: 1600, h: 1000 };
  }

  // A whole map: every symbol replaced, the grid made afresh.
  load(symbols) {
    this.clear();
    for (const s of symbols) this.byId.set(s.id, this.prepare(s));
    this.relink();
    this.layout();
    this.version++;
  }

  // The grid of the nodes without a saved place: one block per kind, the
  // blocks in rows that wrap, the whole about the shape of the view, so that
  // fitting it shows the nodes as large as the window allows.
  layout() {
    this.groups = new Map();
    this.nextGroupX = 0;
    const todo = new Map();
    for (const n of this.nodes) {
      if (n.hasPos) continue;
      const k = this.kindOf(n);
      if (!todo.has(k)) todo.set(k, []);
      todo.get(k).push(n);
    }
    const order = [...todo.keys()].sort((a, b) => kindRank(a) - kindRank(b));
    const places = packGroups(order.map((k) => todo.get(k).length), this.shape);
    order.forEach((k, i) => {
      const p = places[i];
      const g = { kind: k, x: p.x * CELL_W, y: p.y * CELL_H, cols: p.cols, count: 0, title: ICON_TITLES[k] || k };
      this.groups.set(k, g);
      this.nextGroupX = Math.max(this.nextGroupX, g.x + (p.cols + GROUP_GAP) * CELL_W);
      for (const n of todo.get(k)) this.place(n, g);
    });
  }

  // Changed and new symbols, and deleted ids.  Returns whether nodes or
  // components came, went or moved between nodes.  A change of status, label or
  // type only swaps records in place, so a busy map costs little per change.
  apply(symbols, deleted) {
    let structure = false;
    for (const id of deleted || []) {
      const s = this.byId.get(id);
      if (!s) continue;
      this.byId.delete(id);
      structure = true;
      // The components go with their node.
      if (!s.parent) for (const c of s.children) if (this.byId.get(c.id) === c) this.byId.delete(c.id);
    }
    const fresh = [];
    const swapped = [];
    for (const raw of symbols || []) {
      const old = this.byId.get(raw.id);
      const s = this.prepare(raw);
      if (old && !old.parent && !s.parent) {
        // Keep where it is drawn unless the database now says otherwise.
        if (!s.hasPos || old.dragging) { s.x = old.x; s.y = old.y; s.placed = old.placed; }
        s.dragging = old.dragging;
      }
      if (!old || old.parent !== s.parent) structure = true;
      else swapped.push([old, s]);
      if (!s.parent && !s.placed) fresh.push(s);
      this.byId.set(s.id, s);
    }
    if (structure) {
      this.relink();
    } else {
      for (const [old, s] of swapped) {
        s.children = old.children;
        const list = s.parent ? this.byId.get(s.parent)?.children : this.nodes;
        const i = !list ? -1 : s.parent ? list.indexOf(old) : indexById(list, s.id);
        if (i >= 0 && list[i] === old) list[i] = s;
      }
    }
    for (const n of fresh) {
      const k = this.kindOf(n);
      let g = this.groups.get(k);
      if (!g) g = this.newGroup(k, 1);
      this.place(n, g);
    }
    // New nodes go to the end of their block; a block grown far taller than
    // wide is laid out again (only nodes nobody placed move).
    if (fresh.length && [...this.groups.values()].some((g) => g.count > 8 && g.count > 3 * g.cols * g.cols)) {
      for (const n of this.nodes) if (!n.hasPos) n.placed = false;
      this.layout();
    }
    this.version++;
    return structure;
  }

  prepare(s) {
    s.children = [];
    s.hasPos = typeof s.x === 'number' && typeof s.y === 'number';
    s.placed = s.hasPos;
    return s;
  }

  // The lower-case text a search looks in (made when first asked for).
  static searchText(s) {
    if (s.lname === undefined) s.lname = [s.label || '', s.name || '', s.type || '', ...(s.addresses || [])].join('\u0001').toLowerCase();
    return s.lname;
  }

  relink() {
    this.nodes = [];
    for (const s of this.byId.values()) s.children = [];
    for (const s of this.byId.values()) {
      if (!s.parent) { this.nodes.push(s); continue; }
      const p = this.byId.get(s.parent);
      if (p && !p.parent) p.children.push(s);
    }
    this.nodes.sort((a, b) => a.id - b.id);
    for (const n of this.nodes) if (n.children.length > 1) n.children.sort((a, b) => a.id - b.id);
  }

  kindOf(n) { return ICON_CLASSES.includes(n.icon) && n.icon !== 'chip' ? n.icon : 'generic'; }

  newGroup(kind, count) {
    const cols = Math.max(1, Math.ceil(Math.sqrt(count * 1.3)));
    const g = { kind, x: this.nextGroupX, y: 0, cols, count: 0, title: ICON_TITLES[kind] || kind };
    this.nextGroupX += (cols + GROUP_GAP) * CELL_W;
    this.groups.set(kind, g);
    return g;
  }

  place(n, g) {
    const i = g.count++;
    n.x = g.x + (i % g.cols) * CELL_W + CELL_W / 2;
    n.y = (g.y || 0) + Math.floor(i / g.cols) * CELL_H + CELL_H / 2;
    n.placed = true;
  }

  bounds() {
    let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
    for (const n of this.nodes) {
      x0 = Math.min(x0, n.x - CARD_W / 2); x1 = Math.max(x1, n.x + CARD_W / 2);
      // The top of the cell: a kind group's title sits above its first row.
      y0 = Math.min(y0, n.y - CELL_H / 2 - 24); y1 = Math.max(y1, n.y + cardBottom(n) + 24);
    }
    if (x0 === Infinity) return { x0: 0, y0: 0, x1: 800, y1: 600 };
    return { x0, y0, x1, y1 };
  }
}

// The index of id in a list sorted by id, or -1.
function indexById(list, id) {
  let lo = 0, hi = list.length - 1;
  while (lo <= hi) {
    const mid = (lo + hi) >> 1;
    if (list[mid].id === id) return mid;
    if (list[mid].id < id) lo = mid + 1; else hi = mid - 1;
  }
  return -1;
}

// Places blocks of counts nodes in rows of at most W cells, trying each W and
// keeping the one that a view of shape {w, h} shows largest.  Returns per block
// {x, y (in cells), cols}.
function packGroups(counts, shape) {
  const total = counts.reduce((a, b) => a + b, 0);
  if (!total) return [];
  const pack = (W) => {
    const out = [];
    let x = 0, y = 0, rows = 0, width = 0;
    for (const c of counts) {
      const cols = Math.max(1, Math.min(c, W));
      const r = Math.ceil(c / cols);
      if (x > 0 && x + cols > W) { y += rows + SHELF_GAP; x = 0; rows = 0; }
      out.push({ x, y, cols });
      width = Math.max(width, x + cols);
      x += cols + GROUP_GAP;
      rows = Math.max(rows, r);
    }
    const scale = Math.min(shape.w / (width * CELL_W), shape.h / ((y + rows) * CELL_H + 40));
    return { out, scale };
  };
  let best = null;
  const most = Math.min(total, Math.ceil(Math.sqrt(total)) * 6 + counts.length * 2);
  for (let W = 1; W <= most; W++) {
    const p = pack(W);
    if (!best || p.scale > best.scale * 1.0001) best = p;
  }
  return best.out;
}

function kindRank(k) {
  const i = ICON_CLASSES.indexOf(k);
  return i < 0 ? 99 : i;
}

// ---- the view -------------------------------------------------------------------

export class MapView {
  constructor(canvas, model, hooks) {
    this.canvas = canvas;
    this.ctx = canvas.getContext('2d', { alpha: false });
    this.model = model;
    this.hooks = hooks;           // onSelect, onOpen, onMoved, onMenu, onHover
    this.locked = false;          // a read-only map: symbols are not dragged
    this.scale = 1;
    this.tx = 0;
    this.ty = 0;
    this.dpr = window.devicePixelRatio || 1;
    this.selection = new Set();   // symbol ids
    this.matches = null;          // Set of node ids matching the search, or null
    this.alarmed = new Set();     // object ids of nodes with unacknowledged Major or Critical alarms
    this.dirty = false;
    this.labelCache = new Map();
    this.gesture = null;
    this.stats = { draws: 0, lastDrawMs: 0, firstDrawMs: 0, symbolsDrawn: 0 };
    this.resize();
    new ResizeObserver(() => { this.resize(); this.redraw(); }).observe(canvas.parentElement);
    this.bindPointer();
  }

  resize() {
    const r = this.canvas.parentElement.getBoundingClientRect();
    this.w = Math.max(1, Math.floor(r.width));
    this.h = Math.max(1, Math.floor(r.height));
    this.dpr = window.devicePixelRatio || 1;
    this.canvas.width = Math.floor(this.w * this.dpr);
    this.canvas.height = Math.floor(this.h * this.dpr);
    this.canvas.style.width = this.w + 'px';
    this.canvas.style.height = this.h + 'px';
  }

  // ---- camera
  toWorld(sx, sy) { return { x: (sx - this.tx) / this.scale, y: (sy - this.ty) / this.scale }; }
  toScreen(wx, wy) { return { x: wx * this.scale + this.tx, y: wy * this.scale + this.ty }; }

  // The whole map in view, clear of the legend in the lower left corner.
  fit() {
    const b = this.model.bounds();
    const pad = 30, left = (this.hooks.reserveLeft?.() || 0) + pad;
    const s = Math.min((this.w - left - pad) / (b.x1 - b.x0), (this.h - 2 * pad) / (b.y1 - b.y0));
    this.scale = Math.max(0.004, Math.min(1.6, s));
    this.tx = left + (this.w - left - pad - (b.x1 - b.x0) * this.scale) / 2 - b.x0 * this.scale;
    this.ty = (this.h - (b.y1 - b.y0) * this.scale) / 2 - b.y0 * this.scale;
    this.redraw();
    this.hooks.onCamera?.();
  }

  zoomAt(sx, sy, factor) {
    const s = Math.max(0.004, Math.min(4, this.scale * factor));
    const w = this.toWorld(sx, sy);
    this.scale = s;
    this.tx = sx - w.x * s;
    this.ty = sy - w.y * s;
    this.redraw();
    this.hooks.onCamera?.();
  }

  centerOn(node, scale) {
    if (scale) this.scale = scale;
    this.tx = this.w / 2 - node.x * this.scale;
    this.ty = this.h / 2 - (node.y + 20) * this.scale;
    this.redraw();
    this.hooks.onCamera?.();
  }

  redraw() {
    if (this.dirty) return;
    this.dirty = true;
    requestAnimationFrame(() => { this.dirty = false; this.draw(); });
  }

  // ---- drawing
  draw() {
    const t0 = performance.now();
    const { ctx, dpr } = this;
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.fillStyle = '#eef1f4';
    ctx.fillRect(0, 0, this.w, this.h);
    const s = this.scale;
    const px = CARD_W * s;      // a card's width on screen decides the detail
    this.drawGrid(px);
    const v0 = this.toWorld(-CARD_W * s, -(CARD_TOP + 40) * s);
    const v1 = this.toWorld(this.w + CARD_W * s, this.h + CARD_TOP * s);
    const margin = CARD_W;
    const visible = [];
    for (const n of this.model.nodes) {
      if (n.x < v0.x - margin || n.x > v1.x + margin || n.y < v0.y - CELL_H || n.y > v1.y + CELL_H) continue;
      visible.push(n);
    }
    ctx.setTransform(dpr * s, 0, 0, dpr * s, dpr * this.tx, dpr * this.ty);
    if (px < 16) this.drawDots(visible);
    else if (px < 52) this.drawSimple(visible, px);
    else this.drawDetail(visible, px);
    this.drawGroupTitles(px);
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    this.drawAlarms(visible);
    this.drawBand();
    // Without contact the colours may be wrong: drawn grey, under a light veil.
    if (this.stale) {
      ctx.globalCompositeOperation = 'saturation';
      ctx.fillStyle = '#808080';
      ctx.fillRect(0, 0, this.w, this.h);
      ctx.globalCompositeOperation = 'source-over';
      ctx.fillStyle = 'rgba(238,241,244,0.45)';
      ctx.fillRect(0, 0, this.w, this.h);
    }
    const ms = performance.now() - t0;
    this.stats.draws++;
    this.stats.lastDrawMs = ms;
    this.stats.symbolsDrawn = visible.length;
    if (!this.stats.firstDrawMs && this.model.nodes.length) this.stats.firstDrawMs = performance.now();
    this.hooks.onDrawn?.(this.stats);
  }

  drawGrid(px) {
    if (px < 40) return;
    const { ctx } = this;
    const step = 40 * this.scale;
    if (step < 10) return;
    ctx.fillStyle = '#dde3e8';
    const ox = ((this.tx % step) + step) % step, oy = ((this.ty % step) + step) % step;
    for (let x = ox; x < this.w; x += step) for (let y = oy; y < this.h; y += step) ctx.fillRect(x - 1, y - 1, 2, 2);
  }

  alphaFor(n) { return this.matches && !this.matches.has(n.id) ? 0.22 : 1; }

  // Far out: one square per node in its status colour, one fill per colour.
  drawDots(list) {
    const { ctx } = this;
    const paths = new Map();
    const hollow = new Path2D();
    const dim = new Map();
    const minW = 2.2 / this.scale;
    const w = Math.max(CARD_W * 0.8, minW), h = Math.max(90, minW);
    for (const n of list) {
      const st = statusOf(n);
      if (st === 5) { hollow.rect(n.x - w / 2, n.y - h / 2, w, h); continue; }
      const target = this.matches && !this.matches.has(n.id) ? dim : paths;
      let p = target.get(st);
      if (!p) target.set(st, (p = new Path2D()));
      p.rect(n.x - w / 2, n.y - h / 2, w, h);
    }
    for (const [st, p] of paths) { ctx.fillStyle = STATUS[st].color; ctx.fill(p); }
    ctx.globalAlpha = 0.22;
    for (const [st, p] of dim) { ctx.fillStyle = STATUS[st].color; ctx.fill(p); }
    ctx.globalAlpha = 1;
    ctx.lineWidth = Math.max(12, 1.2 / this.scale);
    ctx.strokeStyle = STATUS[5].color;
    ctx.fillStyle = '#ffffff';
    ctx.fill(hollow);
    ctx.stroke(hollow);
    this.drawDotMarks(list);
  }

  // Far out a mark around a dot would hide it and its neighbours: a selected
  // or found node is drawn again as a larger dot in its own status colour,
  // ringed in white and then in the mark's colour.
  drawDotMarks(list) {
    if (!this.selection.size && !this.matches) return;
    const { ctx } = this;
    const half = Math.max(CARD_W * 0.4, 4 / this.scale);
    const ring = 1.5 / this.scale;
    for (const pass of ['hit', 'sel']) {
      for (const n of list) {
        const on = pass === 'sel' ? this.selection.has(n.id) : this.matches && this.matches.has(n.id) && !this.selection.has(n.id);
        if (!on) continue;
        const st = statusOf(n);
        ctx.fillStyle = pass === 'sel' ? '#1a73e8' : '#ff7a00';
        ctx.fillRect(n.x - half - 2 * ring, n.y - half - 2 * ring, 2 * half + 4 * ring, 2 * half + 4 * ring);
        ctx.fillStyle = '#ffffff';
        ctx.fillRect(n.x - half - ring, n.y - half - ring, 2 * half + 2 * ring, 2 * half + 2 * ring);
        ctx.fillStyle = st === 5 ? '#ffffff' : STATUS[st].color;
        ctx.fillRect(n.x - half, n.y - half, 2 * half, 2 * half);
        if (st === 5) { ctx.lineWidth = ring; ctx.strokeStyle = STATUS[5].color; ctx.strokeRect(n.x - half, n.y - half, 2 * half, 2 * half); }
      }
    }
  }

  // Middle distance: cards, discs and chips as plain shapes, batched by colour.
  drawSimple(list, px) {
    const { ctx } = this;
    const cards = new Path2D();
    const discs = new Map();
    const chips = new Map();
    const rings = new Path2D();
    const hollowChips = new Path2D();
    for (const n of list) {
      const b = cardBottom(n);
      cards.rect(n.x - CARD_W / 2, n.y - CARD_TOP, CARD_W, CARD_TOP + b);
      const st = statusOf(n);
      if (st === 5) { rings.moveTo(n.x + RING_R, n.y - 4); rings.arc(n.x, n.y - 4, RING_R, 0, Math.PI * 2); }
      else {
        let p = discs.get(st);
        if (!p) discs.set(st, (p = new Path2D()));
        p.moveTo(n.x + BADGE_R, n.y - 4);
        p.arc(n.x, n.y - 4, BADGE_R, 0, Math.PI * 2);
      }
      this.chipRects(n, (c, x, y, w, h) => {
        const cs = statusOf(c);
        if (cs === 5) { hollowChips.rect(x, y, w, h); return; }
        let p = chips.get(cs);
        if (!p) chips.set(cs, (p = new Path2D()));
        p.rect(x, y, w, h);
      });
    }
    ctx.fillStyle = '#ffffff';
    ctx.fill(cards);
    ctx.lineWidth = 1.2 / this.scale;
    ctx.strokeStyle = '#c5ced6';
    ctx.stroke(cards);
    for (const [st, p] of discs) { ctx.fillStyle = STATUS[st].color; ctx.fill(p); }
    // The status emblems once they are a few pixels across.
    if (MARK_R * 2 * this.scale >= 7) for (const n of list) this.drawMark(n, statusOf(n));
    for (const [st, p] of chips) { ctx.fillStyle = STATUS[st].color; ctx.fill(p); }
    ctx.lineWidth = RING_W;
    ctx.strokeStyle = STATUS[5].color;
    ctx.stroke(rings);
    ctx.lineWidth = 2;
    ctx.stroke(hollowChips);
    if (this.matches) {
      ctx.fillStyle = 'rgba(238,241,244,0.72)';
      for (const n of list) if (!this.matches.has(n.id)) ctx.fillRect(n.x - CARD_W / 2 - 2, n.y - CARD_TOP - 2, CARD_W + 4, CARD_TOP + cardBottom(n) + 4);
    }
    this.drawMarks(list, 4);
    // Labels fade in as the cards grow.
    const a = Math.min(1, Math.max(0, (px - 38) / 8));
    if (a > 0) this.drawLabels(list, a);
  }

  // Close up: the badges with their glyphs, chips with their labels.
  drawDetail(list, px) {
    const { ctx } = this;
    const badgePx = BADGE_R * 2 * this.scale * this.dpr;
    const chipLabels = Math.min(1, Math.max(0, (px - 96) / 24));
    ctx.lineWidth = 1.2 / this.scale;
    for (const n of list) {
      const b = cardBottom(n);
      ctx.globalAlpha = this.alphaFor(n);
      ctx.beginPath();
      rrect(ctx, n.x - CARD_W / 2, n.y - CARD_TOP, CARD_W, CARD_TOP + b, 8);
      ctx.fillStyle = '#ffffff';
      ctx.fill();
      ctx.strokeStyle = '#c5ced6';
      ctx.stroke();
      const st = statusOf(n);
      ctx.drawImage(badgeSprite(n.icon || 'generic', st, badgePx), n.x - BADGE_R, n.y - 4 - BADGE_R, BADGE_R * 2, BADGE_R * 2);
      this.drawMark(n, st);
      this.chipRects(n, (c, x, y, w, h, more) => {
        const cs = statusOf(c);
        ctx.beginPath();
        rrect(ctx, x, y, w, h, 4);
        if (cs === 5) {
          ctx.fillStyle = '#ffffff';
          ctx.fill();
          ctx.strokeStyle = STATUS[5].color;
          ctx.lineWidth = 2;
          ctx.stroke();
          ctx.lineWidth = 1.2 / this.scale;
        } else {
          ctx.fillStyle = STATUS[cs].color;
          ctx.fill();
        }
        if (chipLabels > 0) {
          ctx.globalAlpha = chipLabels * this.alphaFor(n);
          ctx.fillStyle = STATUS[cs].ink;
          // Text of a constant size on the screen: zoomed in, more of it fits.
          ctx.font = Math.min(9.5, 11 / this.scale).toFixed(2) + 'px ' + FONT;
          ctx.textAlign = 'center';
          ctx.textBaseline = 'middle';
          const text = more ? '+' + more : this.fitText(c.label || c.name || c.type, w - 6, ctx.font);
          ctx.fillText(text, x + w / 2, y + h / 2 + 0.5);
          ctx.globalAlpha = this.alphaFor(n);
        }
      });
    }
    ctx.globalAlpha = 1;
    this.drawMarks(list, 3);
    this.drawLabels(list, 1);
  }

  drawMark(n, st) {
    const m = markSprite(st, MARK_R * 2 * this.scale * this.dpr);
    if (m) this.ctx.drawImage(m, n.x + MARK_DX - MARK_R, n.y - 4 + MARK_DY - MARK_R, MARK_R * 2, MARK_R * 2);
  }

  // Calls fn(chip, x, y, w, h, more) for each chip shown inside node n; the last
  // place says "+N" when there are more chips than places.
  chipRects(n, fn) {
    const kids = n.children;
    if (!kids.length) return;
    const max = CHIP_COLS * CHIP_ROWS_MAX;
    const shown = kids.length > max ? max - 1 : kids.length;
    const x0 = n.x - (CHIP_COLS * CHIP_W + (CHIP_COLS - 1) * CHIP_GAP) / 2;
    for (let i = 0; i < shown; i++) {
      const col = i % CHIP_COLS, row = Math.floor(i / CHIP_COLS);
      fn(kids[i], x0 + col * (CHIP_W + CHIP_GAP), n.y + CHIPS_TOP + row * (CHIP_H + CHIP_GAP), CHIP_W, CHIP_H, 0);
    }
    if (kids.length > max) {
      const i = max - 1;
      const worst = kids.slice(shown).reduce((w, c) => (severity(statusOf(c)) > severity(statusOf(w)) ? c : w), kids[shown]);
      fn(worst, x0 + (i % CHIP_COLS) * (CHIP_W + CHIP_GAP), n.y + CHIPS_TOP + Math.floor(i / CHIP_COLS) * (CHIP_H + CHIP_GAP),
        CHIP_W, CHIP_H, kids.length - shown);
    }
  }

  // Labels keep at least 10 screen pixels: smaller text is only noise.  Kept
  // to the width of a grid cell, they never run into a neighbour's; a name too
  // long for one line goes on a second where the cell has room for it.
  drawLabels(list, alpha) {
    const { ctx } = this;
    const size = Math.max(12.5, 10 / this.scale);
    const font = size.toFixed(2) + 'px ' + FONT;
    ctx.font = font;
    ctx.textAlign = 'center';
    ctx.textBaseline = 'alphabetic';
    for (const n of list) {
      ctx.globalAlpha = alpha * this.alphaFor(n);
      ctx.fillStyle = '#1f2d33';
      const base = this.labelBase(n, size);
      const lines = this.labelLines(n, size, font);
      lines.forEach((line, i) => ctx.fillText(line, n.x, base + i * size * LINE));
    }
    ctx.globalAlpha = 1;
  }

  // The one or two lines of a node's label at a text size.
  labelLines(n, size, font) {
    const text = n.label || n.name || '#' + n.id;
    const width = CELL_W - 10;
    const two = this.labelBase(n, size) + size * (LINE + 0.3) <= n.y + CELL_H - CARD_TOP - 2;
    if (!two) return [this.fitText(text, width, font)];
    const key = font + '\u0002' + text;
    let r = this.labelCache.get(key);
    if (r) return r;
    const first = this.fitText(text, width, font);
    if (first === text) r = [text];
    else {
      // Break after the last separator that fits, else where the width ends.
      const cut = first.length - 1;
      let at = -1;
      for (let i = cut; i > 0; i--) if ('-_.: /'.includes(text[i - 1])) { at = i; break; }
      if (at < cut / 2) at = cut;
      r = [text.slice(0, at), this.fitText(text.slice(at), width, font)];
    }
    if (this.labelCache.size > 50000) this.labelCache.clear();
    this.labelCache.set(key, r);
    return r;
  }

  // Selection and search marks around the cards, px screen pixels wide.
  drawMarks(list, px) {
    const { ctx } = this;
    const lw = px / this.scale;
    const pad = lw / 2 + 2 / this.scale;
    const sel = new Path2D(), hit = new Path2D();
    let anySel = false, anyHit = false;
    for (const n of list) {
      const inSel = this.selection.has(n.id);
      const inHit = this.matches && this.matches.has(n.id);
      if (!inSel && !inHit) continue;
      const r = [n.x - CARD_W / 2 - pad, n.y - CARD_TOP - pad, CARD_W + 2 * pad, CARD_TOP + cardBottom(n) + 2 * pad];
      if (inHit) { hit.rect(...r.map((v, i) => (i < 2 ? v - lw : v + 2 * lw))); anyHit = true; }
      if (inSel) { sel.rect(...r); anySel = true; }
      for (const c of n.children) {
        if (!this.selection.has(c.id)) continue;
        this.chipRects(n, (cc, x, y, w, h) => { if (cc === c) { sel.rect(x - 1.5, y - 1.5, w + 3, h + 3); anySel = true; } });
      }
    }
    ctx.lineWidth = lw;
    if (anyHit) { ctx.strokeStyle = '#ff7a00'; ctx.stroke(hit); }
    if (anySel) { ctx.strokeStyle = '#1a73e8'; ctx.stroke(sel); }
  }

  // A red disc with "!" at a node's upper right corner, the same size at every
  // zoom: the node has unacknowledged Major or Critical alarms.
  drawAlarms(list) {
    if (!this.alarmed.size) return;
    const { ctx } = this;
    const r = 7;
    ctx.font = 'bold 11px ' + getComputedStyle(document.body).fontFamily;
    ctx.textAlign = 'center';
    ctx.textBaseline = 'middle';
    for (const n of list) {
      if (!this.alarmed.has(n.object)) continue;
      const { x, y } = this.toScreen(n.x + CARD_W / 2, n.y - CARD_TOP);
      ctx.beginPath();
      ctx.arc(x, y, r, 0, Math.PI * 2);
      ctx.fillStyle = '#C9292C';
      ctx.fill();
      ctx.lineWidth = 1.5;
      ctx.strokeStyle = '#fff';
      ctx.stroke();
      ctx.fillStyle = '#fff';
      ctx.fillText('!', x, y + 0.5);
    }
  }

  drawGroupTitles(px) {
    if (px < 6 || this.model.groups.size < 1) return;
    const { ctx } = this;
    const size = Math.max(14, 13 / this.scale);
    ctx.font = `600 ${size}px ${FONT}`;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'alphabetic';
    ctx.fillStyle = '#5b6b75';
    // A group below another row of groups has the shelf gap for its title:
    // from the lowest a card of the row above reaches to its own first cards.
    const room = SHELF_GAP * CELL_H + CELL_H - CARD_TOP - (CHIPS_TOP + CHIP_ROWS_MAX * (CHIP_H + CHIP_GAP) + 3);
    for (const g of this.model.groups.values()) {
      if (!g.count) continue;
      const width = g.cols * CELL_W - 24;
      const text = `${g.title} \u00b7 ${g.count.toLocaleString()}`;
      const w = ctx.measureText(text).width;
      // A narrow group gets a smaller title rather than one that runs into the
      // next, and one under a row of groups a title that fits the gap (none
      // when that would be too small to read) rather than one over their cards.
      const top = g.y || 0;
      let s = w > width ? size * width / w : size;
      if (top > 0) s = Math.min(s, room / 1.05);
      if (s * this.scale < 7) continue;
      ctx.font = `600 ${s}px ${FONT}`;
      // Under a row of groups the title is centred in the gap.
      ctx.fillText(text, g.x + 12, top > 0 ? top + CELL_H / 2 - CARD_TOP - room / 2 + s * 0.35 : top - s * 0.6);
    }
  }

  drawBand() {
    const g = this.gesture;
    if (!g || g.kind !== 'band' || !g.moved) return;
    const { ctx } = this;
    const x = Math.min(g.sx, g.cx), y = Math.min(g.sy, g.cy);
    const w = Math.abs(g.cx - g.sx), h = Math.abs(g.cy - g.sy);
    ctx.fillStyle = 'rgba(26,115,232,0.10)';
    ctx.fillRect(x, y, w, h);
    ctx.strokeStyle = '#1a73e8';
    ctx.lineWidth = 1;
    ctx.setLineDash([5, 3]);
    ctx.strokeRect(x + 0.5, y + 0.5, w, h);
    ctx.setLineDash([]);
  }

  // Text cut with an ellipsis to fit width (world units, which do not change
  // with the zoom, so the cut is measured once per text).
  fitText(text, width, font) {
    const key = font + '\u0001' + width + '\u0001' + text;
    let r = this.labelCache.get(key);
    if (r !== undefined) return r;
    const { ctx } = this;
    const saved = ctx.font;
    ctx.font = font;
    r = text;
    if (ctx.measureText(text).width > width) {
      let lo = 0, hi = text.length;
      while (lo < hi) {
        const mid = (lo + hi + 1) >> 1;
        if (ctx.measureText(text.slice(0, mid) + '\u2026').width <= width) lo = mid; else hi = mid - 1;
      }
      r = text.slice(0, lo) + '\u2026';
    }
    ctx.font = saved;
    if (this.labelCache.size > 50000) this.labelCache.clear();
    this.labelCache.set(key, r);
    return r;
  }

  // ---- hit tests
  // The symbol under a screen point: a chip when one is under it and chips are
  // large enough to aim at, else its node.
  hitTest(sx, sy) {
    const p = this.toWorld(sx, sy);
    const px = CARD_W * this.scale;
    const slack = Math.max(0, 6 / this.scale - 4);
    for (let i = this.model.nodes.length - 1; i >= 0; i--) {
      const n = this.model.nodes[i];
      if (p.x < n.x - CARD_W / 2 - slack || p.x > n.x + CARD_W / 2 + slack) continue;
      if (p.y < n.y - CARD_TOP - slack || p.y > this.hitBottom(n, px) + slack) continue;
      let found = n;
      if (px >= 52) {
        this.chipRects(n, (c, x, y, w, h, more) => {
          if (!more && p.x >= x && p.x <= x + w && p.y >= y && p.y <= y + h) found = c;
        });
      }
      return found;
    }
    return null;
  }

  // The lowest point of a node that a click finds: its card, and below it the
  // label while labels are drawn (both lines of a two-line one).
  hitBottom(n, px) {
    const card = n.y + cardBottom(n);
    if (px < 38) return card;
    const size = Math.max(12.5, 10 / this.scale);
    const lines = this.labelLines(n, size, size.toFixed(2) + 'px ' + FONT).length;
    return Math.max(card + LABEL_GAP + 4, this.labelBase(n, size) + size * ((lines - 1) * LINE + 0.3));
  }

  nodesIn(x0, y0, x1, y1) {
    const a = this.toWorld(Math.min(x0, x1), Math.min(y0, y1));
    const b = this.toWorld(Math.max(x0, x1), Math.max(y0, y1));
    return this.model.nodes.filter((n) => n.x + CARD_W / 2 >= a.x && n.x - CARD_W / 2 <= b.x &&
      n.y + cardBottom(n) >= a.y && n.y - CARD_TOP <= b.y);
  }

  // Screen point of a symbol's badge (a node) or chip centre, for tests and menus.
  screenPointOf(id) {
    const s = this.model.byId.get(id);
    if (!s) return null;
    if (!s.parent) return this.toScreen(s.x, s.y - 4);
    const n = this.model.byId.get(s.parent);
    if (!n) return null;
    let at = null;
    this.chipRects(n, (c, x, y, w, h) => { if (c === s) at = this.toScreen(x + w / 2, y + h / 2); });
    return at;
  }

  // A screen point inside the symbol's status colour and clear of its glyph and
  // text: the top of a node's disc, the left end of a chip.
  probePointOf(id) {
    const s = this.model.byId.get(id);
    if (!s) return null;
    // Inside a filled disc; on the ring of a hollow one.
    if (!s.parent) return this.toScreen(s.x, s.y - 4 - BADGE_R * (statusOf(s) === 5 ? 0.917 : 0.8));
    const n = this.model.byId.get(s.parent);
    let at = null;
    if (n) this.chipRects(n, (c, x, y, w, h, more) => { if (c === s && !more) at = this.toScreen(x + 2.5, y + h / 2); });
    return at;
  }

  // The baseline of a node's label: clear of the selection mark, which is a
  // few screen pixels wide at any zoom.
  labelBase(n, size) { return n.y + cardBottom(n) + 6 / this.scale + size * 0.9; }

  // The canvas rectangle that a node's label is drawn in.
  labelRectOf(id) {
    const n = this.model.byId.get(id);
    if (!n || n.parent) return null;
    const size = Math.max(12.5, 10 / this.scale);
    const base = this.labelBase(n, size);
    const lines = this.labelLines(n, size, size.toFixed(2) + 'px ' + FONT).length;
    const a = this.toScreen(n.x - (CELL_W - 10) / 2, base - size);
    const b = this.toScreen(n.x + (CELL_W - 10) / 2, base + size * ((lines - 1) * LINE + 0.3));
    return { x: a.x, y: a.y, w: b.x - a.x, h: b.y - a.y };
  }

  // ---- pointer gestures: click and shift-click select, drag moves symbols,
  // drag on the background pans, shift-drag on it draws a selection band,
  // the wheel zooms, a double click opens a symbol.
  bindPointer() {
    const c = this.canvas;
    c.addEventListener('wheel', (e) => {
      e.preventDefault();
      const f = Math.pow(1.0018, -e.deltaY * (e.deltaMode === 1 ? 30 : 1));
      this.zoomAt(e.offsetX, e.offsetY, f);
    }, { passive: false });
    c.addEventListener('pointerdown', (e) => {
      if (e.button !== 0) return;
      c.setPointerCapture(e.pointerId);
      const hit = this.hitTest(e.offsetX, e.offsetY);
      const g = { sx: e.offsetX, sy: e.offsetY, cx: e.offsetX, cy: e.offsetY, moved: false, shift: e.shiftKey || e.ctrlKey || e.metaKey, hit };
      if (hit) {
        g.kind = 'symbol';
        const node = hit.parent ? this.model.byId.get(hit.parent) : hit;
        if (g.shift) {
          if (this.selection.has(hit.id)) this.selection.delete(hit.id); else this.selection.add(hit.id);
          g.toggled = true;
        } else if (!this.selection.has(hit.id)) {
          this.selection = new Set([hit.id]);
        }
        this.hooks.onSelect?.();
        const ids = new Set([...this.selection].map((id) => {
          const s = this.model.byId.get(id);
          return s && s.parent ? s.parent : id;
        }));
        if (node) ids.add(node.id);
        g.drag = this.locked ? [] : [...ids].map((id) => this.model.byId.get(id)).filter((n) => n && !n.parent && (this.selection.has(n.id) || n === node));
        g.start = g.drag.map((n) => ({ n, x: n.x, y: n.y }));
      } else {
        g.kind = g.shift ? 'band' : 'pan';
        g.tx = this.tx;
        g.ty = this.ty;
      }
      this.gesture = g;
      this.redraw();
    });
    c.addEventListener('pointermove', (e) => {
      const g = this.gesture;
      if (!g) { this.hover(e); return; }
      g.cx = e.offsetX;
      g.cy = e.offsetY;
      if (!g.moved && Math.hypot(g.cx - g.sx, g.cy - g.sy) < 4) return;
      g.moved = true;
      if (g.kind === 'pan') {
        this.tx = g.tx + g.cx - g.sx;
        this.ty = g.ty + g.cy - g.sy;
        this.hooks.onCamera?.();
      } else if (g.kind === 'symbol') {
        const dx = (g.cx - g.sx) / this.scale, dy = (g.cy - g.sy) / this.scale;
        for (const { n, x, y } of g.start) { n.x = x + dx; n.y = y + dy; n.dragging = true; }
        c.style.cursor = 'grabbing';
      }
      this.redraw();
    });
    const end = (e) => {
      const g = this.gesture;
      if (!g) return;
      this.gesture = null;
      c.style.cursor = '';
      if (g.kind === 'band' && g.moved) {
        for (const n of this.nodesIn(g.sx, g.sy, g.cx, g.cy)) this.selection.add(n.id);
        this.hooks.onSelect?.();
      } else if (g.kind === 'pan' && !g.moved && !g.shift) {
        if (this.selection.size) { this.selection.clear(); this.hooks.onSelect?.(); }
      } else if (g.kind === 'symbol' && g.moved) {
        for (const { n } of g.start) { n.dragging = false; n.hasPos = true; n.placed = true; }
        if (g.start.length) this.hooks.onMoved?.(g.start.map(({ n }) => n));
      } else if (g.kind === 'symbol' && !g.moved && !g.shift && e.type === 'pointerup') {
        // A plain click on a member of a larger selection selects it alone.
        if (this.selection.size > 1) { this.selection = new Set([g.hit.id]); this.hooks.onSelect?.(); }
      }
      this.redraw();
    };
    c.addEventListener('pointerup', end);
    c.addEventListener('pointercancel', end);
    c.addEventListener('dblclick', (e) => {
      const hit = this.hitTest(e.offsetX, e.offsetY);
      if (hit) this.hooks.onOpen?.(hit, e);
    });
    c.addEventListener('contextmenu', (e) => {
      e.preventDefault();
      const hit = this.hitTest(e.offsetX, e.offsetY);
      if (hit && !this.selection.has(hit.id)) { this.selection = new Set([hit.id]); this.hooks.onSelect?.(); this.redraw(); }
      this.hooks.onMenu?.(e.clientX, e.clientY);
    });
    c.addEventListener('pointerleave', () => this.hooks.onHover?.(null));
  }

  hover(e) {
    const hit = this.hitTest(e.offsetX, e.offsetY);
    this.canvas.style.cursor = hit ? 'pointer' : '';
    this.hooks.onHover?.(hit, e.clientX, e.clientY);
  }
}

// Severity order for the "+N" chip: Critical > Major > Marginal > Warning > Normal > Unknown.
const SEVERITY = { 4: 6, 7: 5, 3: 4, 6: 3, 2: 2, 1: 1, 0: 1, 5: 0 };
function severity(st) { return SEVERITY[st] || 0; }

