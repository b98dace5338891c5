// Maps of one's own: the calls refuse bad input and change nothing; a map made
// on one page opens there only; the applications' map is a separate choice that
// asks first, kept and followed by the map program; a page whose map is
// deleted goes back to the applications' map.  And the actions menu offers an
// action only for what its registration covers.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { Instance, launchBrowser, openMap, waitFor, buildDir } from './support.mjs';

const NODES = [
  { name: 'mo-srv-a', kind: 'server', addresses: ['127.0.7.1'] },
  { name: 'mo-srv-b', kind: 'server', addresses: ['127.0.7.2'] },
  { name: 'mo-dev-c', kind: 'device', addresses: ['127.0.7.3'] },
];

let inst, browser;
before(async () => {
  inst = new Instance({
    network: { nodes: NODES },
    registration: 'application "Typed"\naction "Poll" "Poll the servers"\nsymbol_type "Server:Generic" server\n',
  });
  await inst.start();
  browser = await launchBrowser();
});
after(async () => {
  if (browser) await browser.close();
  if (inst) await inst.stop();
});

const post = (path, body, raw = false) =>
  inst.api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: raw ? body : JSON.stringify(body) });

test('the map calls refuse bad input with a reason and change nothing', async () => {
  const before = (await inst.api('/api/maps')).body;
  const def = before.maps[0].id;
  const cases = [
    // [path, body, status, text in the reason]
    ['/api/maps', '{"name": "x"', 400, 'not a JSON object', true],
    ['/api/maps', { name: '' }, 400, 'a map needs a name'],
    ['/api/maps', { name: 'x'.repeat(65) }, 400, 'at most 64 bytes'],
    ['/api/maps', { name: 'default' }, 400, 'exists already'],
    ['/api/maps', { name: 'x', filter: { noSuchField: '1' } }, 400, 'no field "noSuchField"'],
    ['/api/maps', { name: 'x', filter: { isServer: 'maybe' } }, 400, 'not a value of the field "isServer"'],
    ['/api/maps', { name: 'x', filter: { isServer: true } }, 400, 'must be a text'],
    ['/api/maps', { name: 'x', readonly: true }, 400, 'unknown key "readonly"'],
    ['/api/maps/424242/rename', { name: 'y' }, 404, 'no such map'],
    [`/api/maps/${def}/rename`, { name: 'main' }, 400, 'keeps its name'],
    ['/api/maps/424242/read_only', { read_only: true }, 404, 'no such map'],
    [`/api/maps/${def}/read_only`, { read_only: 'yes' }, 400, 'true or false'],
    [`/api/maps/${def}/delete`, {}, 400, 'cannot be deleted'],
    ['/api/maps/424242/delete', {}, 404, 'no such map'],
  ];
  for (const [path, body, status, reason, raw] of cases) {
    const r = await post(path, body, raw);
    assert.equal(r.status, status, `${path} ${JSON.stringify(body)}: ${JSON.stringify(r.body)}`);
    assert.ok(r.body.error.includes(reason), `${path}: ${r.body.error}`);
  }
  assert.deepEqual((await inst.api('/api/maps')).body, before);
});

test('a map made on one page opens there only; the applications\' map is chosen apart and asks first', async () => {
  const [a, b] = [await openMap(browser, inst.url), await openMap(browser, inst.url)];
  const shownName = (p) => p.$eval('#map-name', (e) => e.textContent);
  assert.equal(await shownName(b), 'default');

  // Page A: New map..., a filter, Create: A shows the two servers.
  await a.click('#map-new');
  await a.fill('#map-new-name', 'servers');
  await a.fill('#map-new-filter', 'nonsense');
  await a.click('#dialog-buttons button.primary');
  await a.waitForSelector('#dialog-message.refused:not([hidden])');
  assert.match(await a.textContent('#dialog-message'), /"nonsense" is not FIELD=VALUE/);
  await a.fill('#map-new-filter', 'isServer=TRUE');
  await a.click('#dialog-buttons button.primary');
  await a.waitForFunction(() => document.getElementById('map-name').textContent === 'servers' &&
    window.zqmap.ready() && window.zqmap.nodes().length === 2);
  assert.deepEqual((await a.evaluate(() => window.zqmap.nodes().map((n) => n.name))).sort(), ['mo-srv-a', 'mo-srv-b']);
  await a.waitForFunction(() => document.querySelector('#details .title')?.textContent === 'servers');
  await a.screenshot({ path: join(buildDir, 'map-maps-own.png') });

  // Page B stays on default, with every node, after a while of long polls.
  const maps = (await inst.api('/api/maps')).body;
  const servers = maps.maps.find((m) => m.name === 'servers').id;
  await b.waitForSelector(`#maps li[data-map="${servers}"]`, { timeout: 8000 });
  assert.equal(await shownName(b), 'default');
  assert.equal(await b.evaluate(() => window.zqmap.nodes().length), 3);
  assert.equal(maps.open, maps.maps[0].id, 'making a map does not give it to the applications');

  // Making it the applications' map asks first; Cancel keeps it as it was.
  await a.click('#maps li.open button:text("For applications\u2026")');
  assert.equal(await a.evaluate(() => document.activeElement.textContent), 'Cancel');
  await a.click('#dialog-buttons button:text("Cancel")');
  assert.equal((await inst.api('/api/maps')).body.open, maps.maps[0].id);
  await a.click('#maps li.open button:text("For applications\u2026")');
  await a.click('#dialog-buttons button.primary');
  await waitFor(async () => (await inst.api('/api/maps')).body.open === servers, 5000, 'the applications\' map');
  await a.waitForSelector(`#maps li[data-map="${servers}"] .apps`);
  assert.equal(await shownName(b), 'default', 'another page stays on its map');

  // A script gives default back to the applications: the map program follows.
  const use = await inst.topo('map', 'use', 'default', '--json');
  assert.equal(use.code ?? 0, 0, use.stderr);
  await waitFor(async () => (await inst.api('/api/maps')).body.open === maps.maps[0].id, 5000, 'zqtopo map use followed');

  // Deleted from page B: page A, which showed it, goes back to the applications' map.
  await b.click(`#maps li[data-map="${servers}"]`);
  await b.waitForFunction(() => document.getElementById('map-name').textContent === 'servers');
  await b.click('#maps li.open button.danger');
  assert.equal(await b.evaluate(() => document.activeElement.textContent), 'Cancel');
  await b.click('#dialog-buttons button.primary');
  await a.waitForFunction(() => document.getElementById('map-name').textContent === 'default' &&
    window.zqmap.nodes().length === 3, null, { timeout: 8000 });
  assert.deepEqual([...a.errors, ...b.errors], []);
  await a.close();
  await b.close();
});

test('the actions menu offers an action only for the symbols it covers, and says why not', async () => {
  const page = await openMap(browser, inst.url);
  const byName = Object.fromEntries((await page.evaluate(() => window.zqmap.nodes())).map((n) => [n.name, n.id]));
  const poll = '#menu .item:has-text("Poll the servers")';
  for (const [names, enabled, text] of [
    [['mo-dev-c'], false, 'no symbol of a type Typed handles'],
    [['mo-srv-a'], true, ''],
    [['mo-srv-a', 'mo-dev-c'], true, '1 of 2'],
  ]) {
    await page.evaluate((ids) => window.zqmap.select(ids), names.map((n) => byName[n]));
    await page.click('#actions-btn');
    await page.waitForSelector(poll);
    assert.equal(await page.isEnabled(poll), enabled, names.join());
    if (text) assert.ok((await page.textContent(poll)).includes(text), await page.textContent(poll));
    if (!enabled) await page.screenshot({ path: join(buildDir, 'map-actions-why.png') });
    // Managed symbols are offered Unmanage only.
    assert.deepEqual(await page.locator('#menu .item:text-matches("manage", "i")').allTextContents(), ['Unmanage']);
    await page.keyboard.press('Escape');
  }
  // The server refuses what the menu does not offer: no "sent" for a device.
  const r = await post('/api/actions', { app: 'Typed', action: 'Poll', objects: [await inst.id('mo-dev-c')] });
  assert.equal(r.status, 400);
  assert.match(r.body.error, /^Poll the servers: not for mo-dev-c \(object \d+\): it has no symbol of a type Typed handles$/);
  assert.deepEqual(page.errors, []);
  await page.close();
});

test('a read-only map is not changed from a page either: no saved position, no manage mark', async () => {
  const def = (await inst.api('/api/maps')).body.maps[0].id;
  const page = await openMap(browser, inst.url);
  const id = (await page.evaluate(() => window.zqmap.nodes())).find((n) => n.name === 'mo-srv-a').id;
  assert.equal((await post(`/api/maps/${def}/read_only`, { read_only: true })).status, 200);
  await page.waitForSelector(`#maps li[data-map="${def}"] .ro:not(.apps)`, { timeout: 8000 });
  const snapshot = async () => (await inst.api(`/api/maps/${def}/symbols`)).body.symbols.find((s) => s.id === id);
  const was = await snapshot();
  try {
    // The calls refuse with the reason and change nothing.
    for (const [path, body] of [
      [`/api/maps/${def}/positions`, { positions: [{ symbol: id, x: 5, y: 5 }] }],
      ['/api/symbols/manage', { symbols: [id], managed: false }],
    ]) {
      const r = await post(path, body);
      assert.equal(r.status, 400, path);
      assert.match(r.body.error, /^the map "default" is read-only: .* \(make it writable first\)$/, path);
    }
    // The page offers neither: no Manage or Unmanage, and a drag moves nothing.
    await page.evaluate((i) => window.zqmap.select([i]), id);
    await page.waitForFunction(() => document.querySelector('#details .title')?.textContent === 'mo-srv-a');
    assert.deepEqual(await page.$$eval('#details .details-actions button', (bs) => bs.map((b) => b.textContent)), ['Actions\u2026', 'Delete\u2026']);
    const p = await page.evaluate((i) => window.zqmap.pointOf(i), id);
    await page.mouse.move(p.x, p.y);
    await page.mouse.down();
    await page.mouse.move(p.x + 80, p.y + 60, { steps: 5 });
    await page.mouse.up();
    await page.click('#actions-btn');
    await page.waitForSelector('#menu:not([hidden])');
    assert.deepEqual(await page.$$eval('#menu .item:text-matches("manage", "i")', (bs) => bs.length), 0);
    await page.keyboard.press('Escape');
    const now = await snapshot();
    assert.deepEqual([now.x, now.y, now.managed], [was.x, was.y, was.managed]);
    assert.deepEqual(page.errors, []);
  } finally {
    await post(`/api/maps/${def}/read_only`, { read_only: false });
    await page.close();
  }
});
