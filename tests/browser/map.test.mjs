// The map page in Chromium against a real map program: what it draws, what it
// sends to applications, and what it keeps.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { Instance, launchBrowser, openMap, colourAt, waitFor, buildDir, bin } from './support.mjs';

const NODES = [
  { name: 'srv-alpha', kind: 'server', status: 'Normal' },
  { name: 'srv-beta', kind: 'server', status: 'Critical' },
  { name: 'pc-gamma', kind: 'client', status: 'Marginal' },
  { name: 'ws-delta', kind: 'computer', status: 'Unknown' },
  { name: 'dev-epsilon', kind: 'device', status: 'Normal' },
  { name: 'dev-zeta', kind: 'device', status: 'Unmanaged' },
];
const COLOUR = { Unknown: '#97AAB3', Normal: '#3BB44A', Marginal: '#FFF200', Warning: '#FFCC00',
  Major: '#E97659', Critical: '#C9292C', Unmanaged: '#BDBDBD' };

const REGISTRATION = `application "Test App"
command "${bin('zqwtestapp')}"
action "Test Action" "Run the test on the selection" args one two
config_field "Test Address" "Manager address"
application "Test Links"
action "Web" "Web agent" url "http://\${hostname}:2301/x?o=\${object}"
`;

let inst, browser;
const ids = {};          // node name -> object id

before(async () => {
  inst = new Instance({
    network: { nodes: NODES.map((n, i) => ({ name: n.name, addresses: [`127.0.3.${i + 1}`], kind: n.kind, status: n.status, snmp: true })) },
    registration: REGISTRATION,
    fields: 'field "Test Address" String\n',
  });
  await inst.start();
  for (const n of NODES) ids[n.name] = await inst.id(n.name);
  await waitFor(() => inst.appOut('Test App').includes('ready app=Test App'), 10000, 'the test application');
  browser = await launchBrowser();
});

after(async () => {
  if (browser) await browser.close();
  if (inst) await inst.stop();
});

// The node symbol of an object on the open map, from the API.
async function nodeSymbol(page, object) {
  return page.evaluate((o) => window.zqmap.model.nodes.find((n) => n.object === o)?.id, object);
}

function near(a, b, tol = 6) {
  const p = (s) => [1, 3, 5].map((i) => parseInt(s.slice(i, i + 2), 16));
  return p(a).every((v, i) => Math.abs(v - p(b)[i]) <= tol);
}

async function drawnColour(page, symbol) {
  await page.evaluate(() => window.zqmap.redrawNow());
  const at = await page.evaluate((id) => window.zqmap.probeOf(id), symbol);
  assert.ok(at, `symbol ${symbol} is drawn`);
  return colourAt(page, at.x, at.y);
}

test('every node has a symbol in the colour of its status in the database', async () => {
  const page = await openMap(browser, inst);
  const maps = await inst.api('/api/maps');
  const snap = await inst.api(`/api/maps/${maps.body.open}/symbols`);
  const objects = snap.body.symbols.filter((s) => !s.parent).map((s) => s.object).sort((a, b) => a - b);
  assert.deepEqual(objects, Object.values(ids).sort((a, b) => a - b));
  for (const n of NODES) {
    const status = (await inst.topo('get', n.name, 'IP Status')).stdout.trim();
    const sym = await nodeSymbol(page, ids[n.name]);
    const s = await page.evaluate((id) => window.zqmap.symbol(id), sym);
    assert.equal(s.label || s.name, n.name);
    const c = await drawnColour(page, sym);
    assert.ok(near(c, COLOUR[status]), `${n.name} is ${status}: drawn ${c}, expected ${COLOUR[status]}`);
  }
  // The icon of each kind comes from the platform's registration.
  const icons = await page.evaluate(() => Object.fromEntries(window.zqmap.model.nodes.map((n) => [n.label || n.name, n.icon])));
  assert.deepEqual([icons['srv-alpha'], icons['pc-gamma'], icons['ws-delta'], icons['dev-epsilon']],
    ['server', 'client', 'computer', 'device']);
  assert.deepEqual(page.errors, []);
  await page.close();
});

test('a status set with zqtopo reaches the open page within 2 seconds', async () => {
  const page = await openMap(browser, inst);
  const sym = await nodeSymbol(page, ids['srv-alpha']);
  assert.ok(near(await drawnColour(page, sym), COLOUR.Normal));
  await inst.topo('status', 'srv-alpha', 'Critical');
  const t0 = Date.now();
  await waitFor(async () => near(await drawnColour(page, sym), COLOUR.Critical), 2000, 'the page to show Critical');
  const ms = Date.now() - t0;
  await inst.topo('status', 'srv-alpha', 'Normal');
  await waitFor(async () => near(await drawnColour(page, sym), COLOUR.Normal), 2000, 'the page to show Normal again');
  assert.ok(ms <= 2000, `${ms} ms`);
  await page.close();
});

test('an action on a click and shift-click selection reaches the application with the selected ids', async () => {
  const page = await openMap(browser, inst);
  const a = await page.evaluate((id) => window.zqmap.pointOf(id), await nodeSymbol(page, ids['srv-beta']));
  const b = await page.evaluate((id) => window.zqmap.pointOf(id), await nodeSymbol(page, ids['pc-gamma']));
  await page.mouse.click(a.x, a.y);
  await page.keyboard.down('Shift');
  await page.mouse.click(b.x, b.y);
  await page.keyboard.up('Shift');
  await page.click('#actions-btn');
  // The menu shows the action's label; its internal name only in the tooltip.
  assert.equal(await page.locator('#menu .item:text-is("Test Action")').count(), 0);
  await page.click('#menu .item:has-text("Run the test on the selection")');
  const want = `action Test Action item=Run the test on the selection sel=${ids['srv-beta']},${ids['pc-gamma']} args=one,two`;
  await waitFor(() => inst.appOut('Test App').includes(want), 5000, `${want} in:\n${inst.appOut('Test App')}`);
  await page.close();
});

test('a URL action opens a tab with the URL of the selected object', async () => {
  const page = await openMap(browser, inst);
  const p = await page.evaluate((id) => window.zqmap.pointOf(id), await nodeSymbol(page, ids['ws-delta']));
  await page.mouse.click(p.x, p.y);
  const want = `http://ws-delta:2301/x?o=${ids['ws-delta']}`;
  const asked = page.context().waitForEvent('request', (r) => r.url() === want);
  await page.click('#actions-btn');
  await page.click('#menu .item:has-text("Web agent")');
  await asked;
  await page.close();
});

test('a rubber band selects the nodes inside it and unmanaging them draws them hollow', async () => {
  const page = await openMap(browser, inst);
  const syms = [await nodeSymbol(page, ids['dev-epsilon'])];
  const p = await page.evaluate((id) => window.zqmap.pointOf(id), syms[0]);
  // A band around that card only: its width is 124 map units.
  const half = await page.evaluate(() => 66 * window.zqmap.view.scale);
  await page.keyboard.down('Shift');
  await page.mouse.move(p.x - half, p.y - half);
  await page.mouse.down();
  await page.mouse.move(p.x + half, p.y + half, { steps: 6 });
  await page.mouse.up();
  await page.keyboard.up('Shift');
  assert.deepEqual(await page.evaluate(() => [...window.zqmap.view.selection]), syms);
  await page.click('#actions-btn');
  await page.click('#menu .item:text-is("Unmanage")');
  await waitFor(async () => near(await drawnColour(page, syms[0]), COLOUR.Unmanaged), 3000, 'a hollow symbol');
  await page.click('#actions-btn');
  await page.click('#menu .item:text-is("Manage")');
  await waitFor(() => inst.appOut('Test App').includes(`event 21 map=default objects=${ids['dev-epsilon']}:`), 5000, 'event 21');
  await waitFor(async () => near(await drawnColour(page, syms[0]), COLOUR.Normal), 3000, 'a managed symbol');
  await page.close();
});

test('the configuration dialog shows the application\'s answer and OK stores the values', async () => {
  const page = await openMap(browser, inst);
  await page.click('.app-item:has-text("Test App") button:has-text("Configure")');
  await page.fill('#dialog-body input[data-field="Test Address"]', '10.9.8.7');
  await page.click('#dialog-buttons button:has-text("Apply")');
  await page.waitForSelector('#dialog-message:not([hidden])');
  const message = await page.textContent('#dialog-message');
  assert.match(message, /^checked \d+=10\.9\.8\.7$/);
  await page.click('#dialog-buttons button:text-is("OK")');
  await waitFor(() => /event 6 map=default values=\d+=10\.9\.8\.7/.test(inst.appOut('Test App')), 5000, 'event 6');
  const cfg = await inst.api('/api/apps/config?app=Test%20App');
  assert.equal(cfg.body.fields[0].value, '10.9.8.7');
  await page.close();
});

test('a dragged symbol keeps its place after a reload', async () => {
  const page = await openMap(browser, inst);
  const sym = await nodeSymbol(page, ids['ws-delta']);
  const p = await page.evaluate((id) => window.zqmap.pointOf(id), sym);
  const saved = page.waitForResponse((r) => r.url().includes('/positions') && r.status() === 200);
  await page.mouse.move(p.x, p.y);
  await page.mouse.down();
  await page.mouse.move(p.x + 160, p.y + 130, { steps: 8 });
  await page.mouse.up();
  await saved;
  const moved = await page.evaluate((id) => { const s = window.zqmap.symbol(id); return [s.x, s.y]; }, sym);
  await page.reload();
  await page.waitForFunction(() => window.zqmap && window.zqmap.ready());
  const after = await page.evaluate((id) => { const s = window.zqmap.symbol(id); return [s.x, s.y, s.hasPos]; }, sym);
  assert.ok(Math.abs(after[0] - moved[0]) < 0.2 && Math.abs(after[1] - moved[1]) < 0.2, `${after} vs ${moved}`);
  assert.equal(after[2], true);
  await page.close();
});

test('labels are real text: measured width and dark pixels under the symbol', async () => {
  const page = await openMap(browser, inst);
  const sym = await nodeSymbol(page, ids['srv-beta']);
  const width = await page.evaluate(() => {
    const c = document.createElement('canvas').getContext('2d');
    c.font = "12.5px 'DejaVu Sans', sans-serif";
    return c.measureText('srv-beta').width;
  });
  assert.ok(width > 35 && width < 90, `measured ${width}`);
  const ink = await page.evaluate((id) => {
    window.zqmap.view.centerOn(window.zqmap.symbol(id), 1);
    window.zqmap.redrawNow();
    const r = window.zqmap.labelRectOf(id);
    const d = window.devicePixelRatio || 1;
    const px = document.getElementById('map').getContext('2d').getImageData(Math.round(r.x * d), Math.round(r.y * d), Math.round(r.w * d), Math.round(r.h * d)).data;
    let dark = 0;
    for (let i = 0; i < px.length; i += 4) if (px[i] < 110 && px[i + 1] < 110 && px[i + 2] < 110) dark++;
    return dark;
  }, sym);
  assert.ok(ink > 40, `${ink} dark pixels where the label should be`);
  // A name on two lines: a click on its second line selects its node.
  const second = await page.evaluate((id) => {
    const s = window.zqmap.symbol(id), v = window.zqmap.view;
    s.label = 'srv-beta-with-a-name-far-too-long.example';
    v.centerOn(s, 1);
    window.zqmap.redrawNow();
    const r = window.zqmap.labelRectOf(id);
    return { h: r.h, x: r.x + r.w / 2, y: r.y + r.h - 3 };
  }, sym);
  assert.ok(second.h > 25, `label ${second.h} px high: one line`);
  const box = await page.locator('#map').boundingBox();
  await page.mouse.click(box.x + second.x, box.y + second.y);
  assert.deepEqual(await page.evaluate(() => window.zqmap.selection()), [sym]);
  const legend = await page.evaluate(() => document.querySelector('.legend .item span:nth-child(2)').getBoundingClientRect().width);
  assert.ok(legend > 20, `legend text ${legend} px wide`);
  await page.close();
});

test('deleting an object tells the application and its symbol leaves the page', async () => {
  const page = await openMap(browser, inst);
  const sym = await nodeSymbol(page, ids['dev-zeta']);
  const p = await page.evaluate((id) => window.zqmap.pointOf(id), sym);
  await page.mouse.click(p.x, p.y, { button: 'right' });
  await page.click('#menu .item:has-text("Delete objects")');
  await page.click('#dialog-buttons button:text-is("Delete")');
  await waitFor(() => inst.appOut('Test App').includes(`event 15 map=default objects=${ids['dev-zeta']}:`), 5000, 'event 15');
  await page.waitForFunction((id) => !window.zqmap.symbol(id), sym);
  assert.equal((await inst.topo('id', 'dev-zeta')).code, 2);
  await page.close();
});

test('screenshot of the page with a selection', async () => {
  const page = await openMap(browser, inst);
  const sym = await nodeSymbol(page, ids['srv-beta']);
  await page.evaluate((id) => window.zqmap.select([id]), sym);
  await page.waitForSelector('#fields table');
  await page.screenshot({ path: join(buildDir, 'map-screenshot.png') });
  await page.close();
});

test('an application that dies is started again, and the open page\'s lists follow without asking again', async () => {
  const app = async () => (await inst.api('/api/apps')).body.apps.find((a) => a.name === 'Test App');
  const first = await app();
  assert.equal(first.state, 'running');
  // The page is open before: the change stream tells it that the lists changed.
  const page = await openMap(browser, inst.url);
  await page.waitForSelector('.app-item:has-text("Test App")');
  process.kill(first.pid, 'SIGKILL');
  await waitFor(async () => { const a = await app(); return a.state === 'running' && a.pid !== first.pid; },
    10000, 'the restart of the test application');
  assert.equal((await app()).restarts, 1);
  await page.waitForSelector('.app-item:has-text("Test App") .meta:has-text("restarted once")', { timeout: 5000 });
  await page.screenshot({ path: join(buildDir, 'apps-restarted.png') });
  // A map made by another program.
  assert.equal((await inst.topo('map', 'create', 'lists-follow')).code ?? 0, 0);
  await page.waitForSelector('#maps :text("lists-follow")', { timeout: 5000 });
  await page.close();
});
