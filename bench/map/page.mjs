// The map page in Chromium on an instance the run script made: first full draw,
// full redraws, and how long a status written with zqtopo takes to show.
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
console.log(`first full draw: ${f(first.ms)} after navigation start (target < 1500 ms): snapshot asked at ${f(first.asked)}, ` +
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
const lags = [];
const chips = await page.evaluate(() => window.zqmap.model.nodes.filter((n) => n.children.length)
  .filter((_, i) => i % 1601 === 7).slice(0, 6).map((n) => [n.children[0].id, n.children[0].object]));
for (let i = 0; i < chips.length; i++) {
  const [symbol, object] = chips[i];
  const want = i % 2 ? 7 : 4;
  const draws = await page.evaluate(() => window.zqmap.view.stats.draws);
  const t0 = Date.now();
  await run(bin('mapbench'), ['--root', root, '--status', String(object), String(want)]);
  await page.waitForFunction(([id, w, since]) => {
    const s = window.zqmap.symbol(id);
    return s && s.status === w && window.zqmap.view.stats.draws > since;
  }, [symbol, want, draws], { polling: 'raf' });
  lags.push(Date.now() - t0);
}
console.log(`status change visible after the database write: median ${f(median(lags))}, worst ${f(Math.max(...lags))} (target < 2000 ms)`);
await browser.close();
