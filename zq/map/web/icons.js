// Status colours and the symbol badges: a disc in the status colour with the
// glyph of the symbol's icon class.  Badges are drawn once per icon, status and
// size into small canvases (sprites) and then only copied.

export const STATUS = [
  { name: 'Unset', color: '#97AAB3', ink: '#1f2d33' },
  { name: 'Unknown', color: '#97AAB3', ink: '#1f2d33' },
  { name: 'Normal', color: '#3BB44A', ink: '#ffffff' },
  { name: 'Marginal', color: '#FFF200', ink: '#3a3500' },
  { name: 'Critical', color: '#C9292C', ink: '#ffffff' },
  { name: 'Unmanaged', color: '#BDBDBD', ink: '#757575' },
  { name: 'Warning', color: '#FFCC00', ink: '#3d3000' },
  { name: 'Major', color: '#E97659', ink: '#ffffff' },
];

// Legend order: most severe first, as an operator scans it.
export const LEGEND = [4, 7, 3, 6, 2, 1, 5];

export function statusOf(sym) {
  if (!sym.managed) return 5;
  const s = sym.status | 0;
  return s >= 0 && s < STATUS.length ? s : 1;
}

export const ICON_CLASSES = ['server', 'vendor-server', 'cluster', 'computer', 'vendor-desktop',
  'client', 'device', 'chip', 'generic'];

export const ICON_TITLES = {
  server: 'Servers', 'vendor-server': 'Vendor servers', cluster: 'Clusters', computer: 'Computers',
  'vendor-desktop': 'Vendor desktops', client: 'Clients', device: 'Devices', chip: 'Components',
  generic: 'Other',
};

// A rounded rectangle added to the current path (the glyphs and the view's cards).
export function rrect(ctx, x, y, w, h, r) {
  ctx.moveTo(x + r, y);
  ctx.arcTo(x + w, y, x + w, y + h, r);
  ctx.arcTo(x + w, y + h, x, y + h, r);
  ctx.arcTo(x, y + h, x, y, r);
  ctx.arcTo(x, y, x + w, y, r);
  ctx.closePath();
}

// The glyphs, drawn in a box of -1..1 (the disc has radius 1.3).
function serverGlyph(ctx) {
  for (let i = 0; i < 3; i++) {
    ctx.beginPath();
    rrect(ctx, -0.62, -0.78 + i * 0.54, 1.24, 0.44, 0.08);
    ctx.stroke();
    ctx.beginPath();
    ctx.arc(0.38, -0.56 + i * 0.54, 0.07, 0, Math.PI * 2);
    ctx.fill();
    ctx.fillRect(-0.46, -0.59 + i * 0.54, 0.5, 0.06);
  }
}

function monitorGlyph(ctx) {
  ctx.beginPath();
  rrect(ctx, -0.78, -0.68, 1.56, 1.0, 0.1);
  ctx.stroke();
  ctx.beginPath();
  ctx.moveTo(0, 0.32);
  ctx.lineTo(0, 0.62);
  ctx.moveTo(-0.4, 0.68);
  ctx.lineTo(0.4, 0.68);
  ctx.stroke();
}

function laptopGlyph(ctx) {
  ctx.beginPath();
  rrect(ctx, -0.62, -0.62, 1.24, 0.86, 0.08);
  ctx.stroke();
  ctx.beginPath();
  ctx.moveTo(-0.9, 0.46);
  ctx.lineTo(0.9, 0.46);
  ctx.lineTo(0.74, 0.66);
  ctx.lineTo(-0.74, 0.66);
  ctx.closePath();
  ctx.fill();
}

function deviceGlyph(ctx) {
  ctx.beginPath();
  rrect(ctx, -0.85, -0.05, 1.7, 0.62, 0.1);
  ctx.stroke();
  for (let i = 0; i < 4; i++) ctx.fillRect(-0.6 + i * 0.34, 0.22, 0.18, 0.12);
  ctx.beginPath();
  ctx.moveTo(-0.45, -0.05);
  ctx.lineTo(-0.45, -0.7);
  ctx.moveTo(0.45, -0.05);
  ctx.lineTo(0.45, -0.7);
  ctx.stroke();
  ctx.beginPath();
  ctx.arc(-0.45, -0.72, 0.09, 0, Math.PI * 2);
  ctx.arc(0.45, -0.72, 0.09, 0, Math.PI * 2);
  ctx.fill();
}

function clusterGlyph(ctx) {
  const pts = [[0, -0.55], [-0.58, 0.42], [0.58, 0.42]];
  ctx.beginPath();
  ctx.moveTo(pts[0][0], pts[0][1]);
  ctx.lineTo(pts[1][0], pts[1][1]);
  ctx.lineTo(pts[2][0], pts[2][1]);
  ctx.closePath();
  ctx.stroke();
  for (const [x, y] of pts) {
    ctx.beginPath();
    rrect(ctx, x - 0.27, y - 0.22, 0.54, 0.44, 0.06);
    ctx.fill();
  }
}

function chipGlyph(ctx) {
  ctx.beginPath();
  rrect(ctx, -0.5, -0.5, 1.0, 1.0, 0.1);
  ctx.stroke();
  for (let i = 0; i < 3; i++) {
    const t = -0.3 + i * 0.3;
    ctx.fillRect(t - 0.05, -0.8, 0.1, 0.22);
    ctx.fillRect(t - 0.05, 0.58, 0.1, 0.22);
    ctx.fillRect(-0.8, t - 0.05, 0.22, 0.1);
    ctx.fillRect(0.58, t - 0.05, 0.22, 0.1);
  }
}

function genericGlyph(ctx) {
  ctx.beginPath();
  ctx.moveTo(0, -0.75);
  ctx.lineTo(0.68, -0.38);
  ctx.lineTo(0.68, 0.4);
  ctx.lineTo(0, 0.77);
  ctx.lineTo(-0.68, 0.4);
  ctx.lineTo(-0.68, -0.38);
  ctx.closePath();
  ctx.moveTo(-0.68, -0.38);
  ctx.lineTo(0, 0);
  ctx.lineTo(0.68, -0.38);
  ctx.moveTo(0, 0);
  ctx.lineTo(0, 0.77);
  ctx.stroke();
}

// The vendor's kinds: the plain glyph with a small diamond mark at its corner.
function vendorMark(ctx) {
  ctx.beginPath();
  ctx.moveTo(0.78, 0.28);
  ctx.lineTo(1.02, 0.52);
  ctx.lineTo(0.78, 0.76);
  ctx.lineTo(0.54, 0.52);
  ctx.closePath();
  ctx.fill();
}

const GLYPHS = {
  server: serverGlyph,
  'vendor-server': (c) => { c.save(); c.translate(-0.12, 0); c.scale(0.9, 0.9); serverGlyph(c); c.restore(); vendorMark(c); },
  computer: monitorGlyph,
  'vendor-desktop': (c) => { c.save(); c.translate(-0.1, -0.05); c.scale(0.88, 0.88); monitorGlyph(c); c.restore(); vendorMark(c); },
  client: laptopGlyph,
  device: deviceGlyph,
  cluster: clusterGlyph,
  chip: chipGlyph,
  generic: genericGlyph,
};

export function drawGlyph(ctx, icon, ink, lineWidth) {
  ctx.save();
  ctx.strokeStyle = ink;
  ctx.fillStyle = ink;
  ctx.lineWidth = lineWidth;
  ctx.lineJoin = 'round';
  ctx.lineCap = 'round';
  (GLYPHS[icon] || genericGlyph)(ctx);
  ctx.restore();
}

const sprites = new Map();

// A square canvas of size pixels with the origin at its centre.
function centredCanvas(size) {
  const c = document.createElement('canvas');
  c.width = c.height = size;
  const ctx = c.getContext('2d');
  ctx.translate(size / 2, size / 2);
  return { c, ctx };
}

// A badge sprite of about px pixels across (rounded up to a few fixed sizes so
// that zooming does not fill the cache).
export function badgeSprite(icon, status, px) {
  let size = 16;
  while (size < px && size < 256) size *= 2;
  const key = icon + '|' + status + '|' + size;
  let c = sprites.get(key);
  if (c) return c;
  let ctx;
  ({ c, ctx } = centredCanvas(size));
  const st = STATUS[status] || STATUS[1];
  const r = size / 2;
  ctx.beginPath();
  ctx.arc(0, 0, r - Math.max(1, size / 24), 0, Math.PI * 2);
  if (status === 5) {
    // Unmanaged is drawn hollow: a ring, the glyph in grey.
    ctx.fillStyle = '#ffffff';
    ctx.fill();
    ctx.lineWidth = Math.max(1.5, size / 11);
    ctx.strokeStyle = st.color;
    ctx.stroke();
  } else {
    ctx.fillStyle = st.color;
    ctx.fill();
    ctx.lineWidth = Math.max(1, size / 48);
    ctx.strokeStyle = 'rgba(0,0,0,0.18)';
    ctx.stroke();
  }
  ctx.scale(r / 1.65, r / 1.65);
  drawGlyph(ctx, icon, st.ink, 0.13);
  sprites.set(key, c);
  return c;
}

// A small picture of a badge for the DOM (legend, panels).
export function badgeDataUrl(icon, status, px) {
  return badgeSprite(icon, status, px).toDataURL();
}

// A mark per status, so that no status is told by its colour alone (Marginal
// and Warning look alike in grey): drawn in a box of -1..1 in ink.  Normal is
// the plain disc and Unmanaged the hollow ring; they have none.
const MARKS = {
  0: questionMark, 1: questionMark,
  3: (c) => { c.fillRect(-0.6, -0.16, 1.2, 0.32); },                      // a bar: Marginal
  6: (c) => {                                                              // "!": Warning
    c.fillRect(-0.15, -0.72, 0.3, 0.9);
    c.beginPath(); c.arc(0, 0.52, 0.18, 0, Math.PI * 2); c.fill();
  },
  7: (c) => {                                                              // a triangle: Major
    c.beginPath(); c.moveTo(0, -0.72); c.lineTo(0.7, 0.56); c.lineTo(-0.7, 0.56); c.closePath(); c.fill();
  },
  4: (c) => {                                                              // a cross: Critical
    c.lineWidth = 0.34; c.lineCap = 'round';
    c.beginPath(); c.moveTo(-0.52, -0.52); c.lineTo(0.52, 0.52); c.moveTo(0.52, -0.52); c.lineTo(-0.52, 0.52); c.stroke();
  },
};

function questionMark(c) {
  c.lineWidth = 0.28; c.lineCap = 'round';
  c.beginPath(); c.arc(0, -0.3, 0.38, Math.PI * 1.05, Math.PI * 0.45); c.lineTo(0, 0.2); c.stroke();
  c.beginPath(); c.arc(0, 0.6, 0.16, 0, Math.PI * 2); c.fill();
}

export function hasMark(status) { return status in MARKS; }

// The mark of a status drawn at the current origin, radius r.
function drawMark(ctx, status, r) {
  const draw = MARKS[status];
  if (!draw) return;
  ctx.save();
  ctx.scale(r, r);
  ctx.fillStyle = ctx.strokeStyle = (STATUS[status] || STATUS[1]).ink;
  draw(ctx);
  ctx.restore();
}

// The status emblem a badge carries at its lower right: a small disc in the
// status colour, ringed in white, with the status's mark.  null for none.
export function markSprite(status, px) {
  if (!hasMark(status)) return null;
  let size = 16;
  while (size < px && size < 128) size *= 2;
  const key = 'mark|' + status + '|' + size;
  let c = sprites.get(key);
  if (c) return c;
  let ctx;
  ({ c, ctx } = centredCanvas(size));
  const r = size / 2;
  ctx.beginPath();
  ctx.arc(0, 0, r * 0.94, 0, Math.PI * 2);
  ctx.fillStyle = '#ffffff';
  ctx.fill();
  ctx.beginPath();
  ctx.arc(0, 0, r * 0.78, 0, Math.PI * 2);
  ctx.fillStyle = STATUS[status].color;
  ctx.fill();
  ctx.lineWidth = Math.max(1, size / 24);
  ctx.strokeStyle = 'rgba(0,0,0,0.35)';
  ctx.stroke();
  drawMark(ctx, status, r * 0.5);
  sprites.set(key, c);
  return c;
}

// A status swatch for the DOM (legend, lists, panels): the disc in the status
// colour with its mark, as a data URL made once per status.
const swatchUrls = new Map();
export function swatchUrl(status) {
  let u = swatchUrls.get(status);
  if (u) return u;
  const size = 32;
  const { c, ctx } = centredCanvas(size);
  const st = STATUS[status] || STATUS[1];
  const r = size / 2;
  ctx.beginPath();
  if (status === 5) {
    ctx.arc(0, 0, r - 4, 0, Math.PI * 2);
    ctx.fillStyle = '#ffffff';
    ctx.fill();
    ctx.lineWidth = 6;
    ctx.strokeStyle = st.color;
    ctx.stroke();
  } else {
    ctx.arc(0, 0, r - 1, 0, Math.PI * 2);
    ctx.fillStyle = st.color;
    ctx.fill();
    ctx.lineWidth = 1.5;
    ctx.strokeStyle = 'rgba(0,0,0,0.25)';
    ctx.stroke();
    drawMark(ctx, status, r * 0.62);
  }
  u = c.toDataURL();
  swatchUrls.set(status, u);
  return u;
}
