// The map page in Chromium on an instance the run script made: first full draw,
// full redraws, how long a status written by another process takes to show, and
// the same while eight more pages load the whole map.
//   node bench/map/page.mjs URL ZQ_ROOT
import { execFile } from 'node:child_process';
import { promisify } from 'node:util';
import { loadavg } from 'node:os';
import { launchBrowser, bin, mapPassword } from '../../tests/browser/support.mjs';

const run = promisify(execFile);
const [url, root] = process.argv.slice(2);
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
const f = (ms) => `${ms.toFixed(0)} ms`;

const browser = await launchBrowser();
// The password goes with every request, so no challenge adds a round trip to the figures.
const page = await browser.newPage({ viewport: { width: 1600, height: 1000 },
  httpCredentials: { username: 'zq', password: mapPassword(root), send: 'always' } });
page.setDefaultTimeout(30000);
await page.goto(url);
await page.waitForFunction(() => window.zqmap && window.zqmap.ready() && window.zqmap.view.stats.firstDrawMs > 0, null, { polling: 'raf' });
const first = await page.evaluate(() => {
  const r = performance.getEntriesByType('resource').find((e) => e.name.includes('/symbols'));
  const mark = (n) => performance.getEntriesByName(n)[0].startTime;
  return {
    ms: window.zqmap.view.stats.firstDrawMs,
    nodes: window.zqmap.model.nodes.length,
    all: window.zqmap.model.byId.size,
    asked: r.startTime, server: r.responseStart - r.requestStart, transfer: r.responseEnd - r.responseStart,
    parse: mark('zq-snapshot') - r.responseEnd, model: mark('zq-model') - mark('zq-snapshot'),
    wire: r.encodedBodySize, decoded: r.decodedBodySize,
  };
});
const mb = (n) => `${(n / 1048576).toFixed(2)} MB`;
console.log(`snapshot on the wire: ${mb(first.wire)} for ${mb(first.decoded)} of JSON ` +
  `(${(first.decoded / Math.max(1, first.wire)).toFixed(1)}x smaller; baseline: uncompressed) at load ${loadavg()[0].toFixed(1)}`);
console.log(`page: ${first.nodes} node symbols, ${first.all - first.nodes} components`);
console.log(`first full draw: ${f(first.ms)} after navigation start (target < 1500 ms at load 1-2; load ${loadavg()[0].toFixed(1)}): snapshot asked at ${f(first.asked)}, ` +
  `server ${f(first.server)}, transfer ${f(first.transfer)}, JSON ${f(first.parse)}, model and layout ${f(first.model)}`);

async function redraws(label) {
  const times = [];
  for (let i = 0; i < 15; i++) times.push(await page.evaluate(() => window.zqmap.redrawNow()));
  const drawn = await page.evaluate(() => window.zqmap.view.stats.symbolsDrawn);
  console.log(`full redraw, ${label} (${drawn} nodes in view): median ${f(median(times))}, worst ${f(Math.max(...times))} (target < 200 ms)`);
}
await redraws('whole map');
await page.evaluate(() => { const v = window.zqmap.view; v.zoomAt(v.w / 2, v.h / 2, 0.135 / v.scale); });
await redraws('the most cards at once');
await page.evaluate(() => { const v = window.zqmap.view; v.zoomAt(v.w / 2, v.h / 2, 0.45 / v.scale); });
await redraws('cards with labels');
await page.evaluate(() => { const v = window.zqmap.view; v.zoomAt(v.w / 2, v.h / 2, 1 / v.scale); });
await redraws('close up, 100%');
await page.evaluate(() => window.zqmap.view.fit());

// A component's status written to the database by another process (as a map
// application does), until the page has drawn it; timed from before that
// process starts.
const chips = await page.evaluate(() => window.zqmap.model.nodes.filter((n) => n.children.length)
  .filter((_, i) => i % 1601 === 7).slice(0, 6).map((n) => [n.children[0].id, n.children[0].object]));
let turn = 0;
// Writes the next chip's status and returns the milliseconds until the page drew it.
async function change() {
  const [symbol, object] = chips[turn++ % chips.length];
  // Always another status than the one it shows: Critical, or Major from Critical.
  const [draws, now] = await page.evaluate((id) => [window.zqmap.view.stats.draws, window.zqmap.symbol(id).status], symbol);
  const want = now === 4 ? 7 : 4;
  const t0 = Date.now();
  await run(bin('mapbench'), ['--root', root, '--status', String(object), String(want)]);
  await page.waitForFunction(([id, w, since]) => {
    const s = window.zqmap.symbol(id);
    return s && s.status === w && window.zqmap.view.stats.draws > since;
  }, [symbol, want, draws], { polling: 'raf' });
  return Date.now() - t0;
}
const lags = [];
for (let i = 0; i < 6; i++) lags.push(await change());
console.log(`status change visible after the database write: median ${f(median(lags))}, worst ${f(Math.max(...lags))} (target < 2000 ms)`);

// Eight pages load the whole map at once (their snapshot requests, compressed
// as a browser takes them, each read to its end) while the page above waits
// for changes; a status is written once they are under way.
const auth = 'Basic ' + Buffer.from('zq:' + mapPassword(root)).toString('base64');
const mapId = await page.evaluate(() => window.zqmap.state.map);
async function load() {
  const r = await fetch(new URL(`api/maps/${mapId}/symbols`, url), { headers: { Authorization: auth, 'Accept-Encoding': 'gzip' } });
  await r.arrayBuffer();
  if (r.status !== 200) throw new Error(`snapshot: ${r.status}`);
}
const busy = [];
let loadsMs = 0;
for (let round = 0; round < 3; round++) {
  const t0 = Date.now();
  const loads = Promise.all(Array.from({ length: 8 }, load)).then(() => { loadsMs = Math.max(loadsMs, Date.now() - t0); });
  await new Promise((r) => setTimeout(r, 150));
  busy.push(await change());
  await loads;
}
console.log(`status change visible while 8 pages load the map: median ${f(median(busy))}, worst ${f(Math.max(...busy))} ` +
  `(target < 1000 ms; baseline, no page loading: median ${f(median(lags))}, ${(median(busy) / Math.max(1, median(lags))).toFixed(1)}x); ` +
  `the 8 loads took up to ${f(loadsMs)}; load ${loadavg()[0].toFixed(1)}`);
await browser.close();
