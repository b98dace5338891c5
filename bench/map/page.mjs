// The map page in Chromium on an instance the run script made: first full draw,
// full redraws, and how long a status written with zqtopo takes to show.
//   node bench/map/page.mjs URL ZQ_ROOT NODE-NAME...
import { execFile } from 'node:child_process';
import { promisify } from 'node:util';
import { launchBrowser, bin } from '../../tests/browser/support.mjs';

const run = promisify(execFile);
const [url, root, ...names] = process.argv.slice(2);
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
const f = (ms) => `${ms.toFixed(0)} ms`;

const browser = await launchBrowser();
const page = await browser.newPage({ viewport: { width: 1600, height: 1000 } });
page.setDefaultTimeout(30000);
await page.goto(url);
await page.waitForFunction(() => window.zqmap && window.zqmap.ready() && window.zqmap.view.stats.firstDrawMs > 0, null, { polling: 'raf' });
const first = await page.evaluate(() => ({
  ms: window.zqmap.view.stats.firstDrawMs,
  nodes: window.zqmap.model.nodes.length,
  all: window.zqmap.model.byId.size,
  load: performance.getEntriesByType('resource').find((e) => e.name.includes('/symbols')),
}));
console.log(`page: ${first.nodes} node symbols, ${first.all - first.nodes} components`);
console.log(`first full draw: ${f(first.ms)} after navigation start (target < 1500 ms); snapshot request ${f(first.load.duration)}`);

async function redraws(label) {
  const times = [];
  for (let i = 0; i < 15; i++) times.push(await page.evaluate(() => window.zqmap.redrawNow()));
  const drawn = await page.evaluate(() => window.zqmap.view.stats.symbolsDrawn);
  console.log(`full redraw, ${label} (${drawn} nodes in view): median ${f(median(times))}, worst ${f(Math.max(...times))} (target < 200 ms)`);
}
await redraws('whole map');
await page.evaluate(() => { const v = window.zqmap.view; v.zoomAt(v.w / 2, v.h / 2, 0.5 / v.scale * 0.2); });
await redraws('cards');
await page.evaluate(() => { const v = window.zqmap.view; v.zoomAt(v.w / 2, v.h / 2, 1 / v.scale); });
await redraws('close up, 100%');
await page.evaluate(() => window.zqmap.view.fit());

// A status written to the database, until the page has drawn it.
const env = { ...process.env, ZQ_ROOT: root };
const lags = [];
for (let i = 0; i < 6; i++) {
  const name = names[i % names.length];
  const status = i % 2 ? 'Normal' : 'Critical';
  const object = Number((await run(bin('zqtopo'), ['id', name], { env })).stdout.trim());
  const want = status === 'Critical' ? 4 : 2;
  await run(bin('zqtopo'), ['status', name, status], { env }).catch(() => {});
  const t0 = Date.now();
  await page.waitForFunction(([o, w, since]) => {
    const n = window.zqmap.model.nodes.find((s) => s.object === o);
    return n && n.status === w && window.zqmap.view.stats.draws > since;
  }, [object, want, await page.evaluate(() => window.zqmap.view.stats.draws)], { polling: 'raf' });
  lags.push(Date.now() - t0);
}
console.log(`status change visible after the database write: median ${f(median(lags))}, worst ${f(Math.max(...lags))} (target < 2000 ms)`);
await browser.close();
