// The map page as an operator uses it: a first view that reads at every window
// size, from a count to the nodes, a side panel that follows the changes,
// deletions that cannot slip, and a stale map that says so.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { Instance, launchBrowser, openMap, waitFor, buildDir, bin, sh, colourAt } from './support.mjs';

// Like the demo network: 15 nodes of five kinds.
const KINDS = ['server', 'client', 'computer', 'device', 'server'];
const STATUSES = ['Normal', 'Critical', 'Marginal', 'Normal', 'Normal'];
const NODES = Array.from({ length: 15 }, (_, i) => ({
  name: `op-${KINDS[i % 5]}-${String.fromCharCode(97 + i)}`, kind: KINDS[i % 5], status: i < 5 ? STATUSES[i] : 'Normal',
}));

let inst, browser;
before(async () => {
  inst = new Instance({ network: { nodes: NODES.map((n, i) => ({ ...n, addresses: [`127.0.6.${i + 1}`] })) } });
  await inst.start();
  browser = await launchBrowser();
});
after(async () => {
  if (browser) await browser.close();
  if (inst) await inst.stop();
});

const sizes = [[1920, 1080], [1280, 720], [600, 900]];

test('the first view shows every name whole at each window size', async () => {
  for (const [width, height] of sizes) {
    const page = await openMap(browser, inst.url, { width, height });
    await page.evaluate(() => window.zqmap.redrawNow());
    const shot = join(buildDir, `map-operator-${width}x${height}.png`);
    await page.screenshot({ path: shot });
    // A label is drawn whole when its card is large enough for text (labels fade
    // in from 38 px) and its rectangle lies inside the canvas.
    const r = await page.evaluate(() => {
      const v = window.zqmap.view;
      const out = [];
      for (const n of window.zqmap.model.nodes) {
        const l = window.zqmap.labelRectOf(n.id);
        out.push({ name: n.name, inside: l.x >= 0 && l.y >= 0 && l.x + l.w <= v.w && l.y + l.h <= v.h });
      }
      return { cardPx: v.scale * 124, labels: out };
    });
    if (width >= 1280) {
      assert.ok(r.cardPx >= 46, `${width}x${height}: cards ${r.cardPx.toFixed(1)} px wide, labels not drawn whole`);
      for (const l of r.labels) assert.ok(l.inside, `${width}x${height}: ${l.name} is outside the view`);
    }
    // Narrow: the map keeps the window, the panels are drawers.
    const canvasWidth = await page.evaluate(() => window.zqmap.view.w);
    if (width < 1000) assert.ok(canvasWidth >= width * 0.9, `${width}x${height}: the map is ${canvasWidth} px wide`);
    assert.deepEqual(page.errors, []);
    await page.close();
  }
});

test('a legend count selects its nodes, search finds address, status and type, keys walk the nodes, the title tells the worst', async () => {
  const page = await openMap(browser, inst.url, { width: 1280, height: 720 });
  // The map's name comes with the maps' list, which may follow the snapshot.
  await page.waitForFunction(() => /^1 Critical - default - zq map$/.test(document.title), null, { timeout: 5000 });
  const critical = await inst.id('op-client-b');
  await page.click('#legend .status-row[data-status="Critical"]');
  const objects = () => page.evaluate(() => window.zqmap.selection().map((id) => window.zqmap.symbol(id).object));
  assert.deepEqual(await objects(), [critical]);
  await page.click('#legend .status-row[data-status="Critical"]');
  assert.deepEqual(await objects(), []);
  // The problem list, worst first.
  await page.waitForSelector('#problems .problem');
  const problems = await page.locator('#problems .problem .name').allTextContents();
  assert.deepEqual(problems, ['op-client-b', 'op-computer-c']);
  // Each with its address (since when: unknown for a status found at start-up).
  assert.deepEqual(await page.locator('#problems .problem .addr').allTextContents(), ['127.0.6.2', '127.0.6.3']);
  for (const [query, want] of [['marginal', ['op-computer-c']], ['critical', ['op-client-b']], ['127.0.6.4', ['op-device-d']]]) {
    await page.fill('#search', query);
    await page.press('#search', 'Enter');
    await waitFor(async () => JSON.stringify(await objects()) === JSON.stringify(await Promise.all(want.map((n) => inst.id(n)))),
      3000, `search ${query}`);
  }
  await page.fill('#search', '');
  await page.press('#search', 'Escape');
  // The arrow keys walk the nodes in layout order, row by row.
  await page.keyboard.press('Escape');
  const names = () => page.evaluate(() => window.zqmap.selection().map((id) => { const s = window.zqmap.symbol(id); return s.label || s.name; }));
  await page.keyboard.press('ArrowRight');
  assert.deepEqual(await names(), ['op-server-a']);
  await page.keyboard.press('ArrowRight');
  assert.deepEqual(await names(), ['op-server-e']);
  await page.keyboard.press('ArrowLeft');
  await page.keyboard.press('ArrowLeft');
  assert.deepEqual(await names(), ['op-device-n']);
  // Tab and Shift+Tab as the arrows.
  await page.keyboard.press('Tab');
  assert.deepEqual(await names(), ['op-server-a']);
  await page.keyboard.press('Shift+Tab');
  assert.deepEqual(await names(), ['op-device-n']);
  // The menu by keyboard: the arrows move, Escape closes it and keeps the selection.
  await page.click('#actions-btn');
  await page.waitForSelector('#menu:not([hidden]) .item');
  const items = await page.locator('#menu .item:not(:disabled)').allTextContents();
  const focused = () => page.evaluate(() => document.activeElement.textContent);
  assert.equal(await focused(), items[0]);
  await page.keyboard.press('ArrowDown');
  assert.equal(await focused(), items[1]);
  await page.keyboard.press('ArrowUp');
  await page.keyboard.press('ArrowUp');
  assert.equal(await focused(), items.at(-1));
  await page.keyboard.press('Escape');
  assert.equal(await page.isHidden('#menu'), true);
  assert.deepEqual(await names(), ['op-device-n']);
  await page.close();
});

test('the panel follows a status write and a manage, and deleting asks for the count', async () => {
  const page = await openMap(browser, inst.url, { width: 1280, height: 720 });
  const name = 'op-device-d';
  const object = await inst.id(name);
  const sym = await page.evaluate((o) => window.zqmap.model.nodes.find((n) => n.object === o).id, object);
  await page.evaluate((id) => window.zqmap.select([id]), sym);
  await page.waitForSelector('#details .kv');
  assert.equal(await page.textContent('#details .addresses'), '127.0.6.4');
  await inst.topo('status', name, 'Critical');
  await waitFor(async () => (await page.textContent('#details')).includes('Critical') &&
    (await page.locator('#details .kv').textContent()).includes('Critical'), 5000, 'the fields to follow the status');
  await waitFor(async () => /^since \d\d:\d\d:\d\d \(for \d+ s\)$/.test(await page.textContent('#details .since')), 3000, 'since when');
  // The problem list tells how long.
  await page.evaluate(() => window.zqmap.select([]));
  assert.match(await page.locator(`#problems .problem[data-id="${sym}"] .since`).textContent(), /^for \d+ s$/);
  await page.evaluate((id) => window.zqmap.select([id]), sym);
  await page.click('#details button:has-text("Unmanage")');
  await page.waitForSelector('#details .details-actions button:text-is("Manage")');
  assert.equal(await page.locator('#details .details-actions button:text-is("Unmanage")').count(), 0);
  await page.click('#details .details-actions button:text-is("Manage")');
  await page.waitForSelector('#details .details-actions button:text-is("Unmanage")');
  await inst.topo('status', name, 'Normal');

  // One node: Cancel has the focus, so Enter deletes nothing.
  await page.evaluate((id) => window.zqmap.select([id]), sym);
  await page.keyboard.press('Delete');
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Cancel');
  await page.keyboard.press('Enter');
  assert.equal(await page.isHidden('#modal'), true);
  // Every node: nothing until the number is typed.
  await page.evaluate(() => window.zqmap.select(window.zqmap.model.nodes.map((n) => n.id)));
  await page.keyboard.press('Delete');
  const del = page.locator('#dialog-buttons button:text-is("Delete")');
  assert.equal(await del.isDisabled(), true);
  await page.fill('#delete-count', '14');
  assert.equal(await del.isDisabled(), true);
  await page.fill('#delete-count', '15');
  assert.equal(await del.isDisabled(), false);
  await page.click('#dialog-buttons button:text-is("Cancel")');
  assert.equal(await inst.id(name), object);
  await page.close();
});

test('a stopped map program shows as stale, and the page clears it when it returns', async () => {
  const page = await openMap(browser, inst.url, { width: 1280, height: 720 });
  await sh(bin('zqstop'), ['zqw'], inst.env);
  await page.waitForSelector('#stale:not([hidden])', { timeout: 12000 });
  assert.match(await page.textContent('#stale'), /^No contact with the map program since \d\d:\d\d:\d\d - statuses may be out of date/);
  assert.match(await page.title(), /^\(no contact\)/);
  await page.screenshot({ path: join(buildDir, 'map-operator-stale.png') });
  await sh(bin('zqstart'), ['zqw'], inst.env);
  await page.waitForSelector('#stale', { state: 'hidden', timeout: 15000 });
  assert.equal(await page.evaluate(() => window.zqmap.model.nodes.length), NODES.length);
  await page.close();
});

test('statuses differ without colour, a far selection keeps its colour, the tooltip follows the view, times read', async () => {
  const page = await openMap(browser, inst.url, { width: 1280, height: 720 });
  // Every status's swatch in grey: no two alike (Marginal and Warning are close in colour).
  const greys = await page.evaluate(async () => {
    const { swatchUrl } = await import('./icons.js');
    const out = {};
    for (const st of [1, 2, 3, 4, 5, 6, 7]) {
      const img = new Image();
      img.src = swatchUrl(st);
      await img.decode();
      const c = document.createElement('canvas');
      c.width = c.height = 16;
      const x = c.getContext('2d');
      x.drawImage(img, 0, 0, 16, 16);
      const d = x.getImageData(0, 0, 16, 16).data;
      let sig = '';
      for (let i = 0; i < d.length; i += 4) sig += Math.round((0.3 * d[i] + 0.59 * d[i + 1] + 0.11 * d[i + 2]) / 32);
      out[st] = sig;
    }
    return out;
  });
  assert.equal(new Set(Object.values(greys)).size, 7, 'two statuses look alike in grey');

  // Far out a selected node is its status colour ringed in white, then blue.
  const critical = await page.evaluate(() => window.zqmap.model.nodes.find((n) => n.name === 'op-client-b').id);
  const p = await page.evaluate((id) => {
    const z = window.zqmap;
    z.select([id]);
    z.view.scale = 0.02;
    z.view.centerOn(z.symbol(id));
    z.redrawNow();
    return z.view.toScreen(z.symbol(id).x, z.symbol(id).y);
  }, critical);
  assert.equal(await colourAt(page, Math.round(p.x), Math.round(p.y)), '#C9292C');
  assert.equal(await colourAt(page, Math.round(p.x) + 6, Math.round(p.y)), '#1A73E8');

  // The tooltip keeps its place beside its symbol when the view zooms.
  await page.evaluate(() => window.zqmap.view.fit());
  const server = await page.evaluate(() => window.zqmap.model.nodes.find((n) => n.name === 'op-server-a').id);
  const at = await page.evaluate((id) => window.zqmap.pointOf(id), server);
  await page.mouse.move(at.x, at.y);
  await page.waitForSelector('#tooltip:not([hidden])');
  const tipAt = async () => page.evaluate(() => { const r = document.getElementById('tooltip').getBoundingClientRect(); return { x: r.left, y: r.top }; });
  const before = await tipAt();
  const moved = await page.evaluate((id) => { const v = window.zqmap.view; const q = v.screenPointOf(id); v.zoomAt(q.x + 100, q.y + 80, 1.4); return window.zqmap.pointOf(id); }, server);
  const after = await tipAt();
  assert.ok(Math.abs(after.x - before.x - (moved.x - at.x)) < 1.5 && Math.abs(after.y - before.y - (moved.y - at.y)) < 1.5,
    `the tooltip went from ${JSON.stringify(before)} to ${JSON.stringify(after)}, its symbol by ${moved.x - at.x}, ${moved.y - at.y}`);

  // Since when, as the operator reads it.
  const texts = await page.evaluate(async () => {
    const { durationText, sinceOf } = await import('./status.js');
    const now = new Date(2026, 11, 8, 15, 0, 0).getTime();
    return {
      durations: [0, 59, 60, 3599, 3600, 3900, 47 * 3600 + 60, 48 * 3600, 50 * 3600].map(durationText),
      unknown: sinceOf(0, now),
      today: sinceOf(now / 1000 - 3 * 3600 - 300, now),
      yesterday: sinceOf(now / 1000 - 20 * 3600, now).at,
    };
  });
  assert.deepEqual(texts.durations, ['0 s', '59 s', '1 min', '59 min', '1 h', '1 h 5 min', '47 h 1 min', '2 d', '2 d 2 h']);
  assert.deepEqual(texts.unknown, { at: '', long: '' });
  assert.deepEqual(texts.today, { at: '11:55:00', long: '3 h 5 min' });
  assert.equal(texts.yesterday, '2026-12-07 19:00:00');
  assert.deepEqual(page.errors, []);
  await page.close();
});
