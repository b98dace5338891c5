// The map program's web server under what a stranger on its port can do: slow
// request heads, many long polls, large bodies.  During each, the page still
// loads and a status change still reaches a page waiting for changes.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { connect } from 'node:net';
import { request } from 'node:http';
import { readFileSync } from 'node:fs';
import { Instance, bin, sh, sleep, basicAuth } from './support.mjs';

const network = { nodes: [
  { name: 'lim-one', addresses: ['127.0.9.1'], kind: 'server', status: 'Normal' },
  { name: 'lim-two', addresses: ['127.0.9.2'], kind: 'client', status: 'Normal' },
] };

let inst, map, one;
before(async () => {
  inst = new Instance({ network });
  await inst.start();
  map = (await inst.api('/api/maps')).body.open;
  one = await inst.id('lim-one');
});
after(async () => { if (inst) await inst.stop(); });

async function peakMemoryKiB() {
  const out = (await sh(bin('zqstatus'), ['zqw', '--json'], inst.env)).stdout;
  const pid = JSON.parse(out.trim().split('\n')[0]).pid;
  return Number(/VmHWM:\s+(\d+)/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
}

let flip = false;
// The page loads, and a status written now reaches a long poll started before.
async function stillServes(what) {
  const page = await fetch(inst.url, { headers: basicAuth(inst.password), signal: AbortSignal.timeout(5000) });
  assert.equal(page.status, 200, `${what}: GET /`);
  await page.text();
  const snap = await inst.api(`/api/maps/${map}/symbols`);
  const poll = fetch(`${inst.url}api/maps/${map}/changes?since=${snap.body.seq}`,
    { headers: basicAuth(inst.password), signal: AbortSignal.timeout(8000) })
    .then((r) => r.json());
  await sleep(200);
  flip = !flip;
  await inst.topo('status', 'lim-one', flip ? 'Critical' : 'Normal');
  const r = await poll;
  assert.ok(r.symbols.some((s) => s.object === one), `${what}: the change reached the waiting poll`);
}

// A request from another loopback address (another client), kept open; it
// carries the password, so that the bounds, not the password check, answer it.
function hold(path, { method = 'GET', headers = {}, body, from = '127.0.0.2' } = {}) {
  headers = { ...basicAuth(inst.password), ...headers };
  let req;
  const done = new Promise((ok) => {
    req = request({ host: '127.0.0.1', port: inst.httpPort, method, path, headers, localAddress: from, agent: false },
      (res) => { res.resume(); res.on('end', () => ok(res.statusCode)); res.on('error', () => ok(0)); });
    req.on('error', () => ok(0));
    if (body !== undefined) req.end(body); else req.end();
  });
  return { done, stop: () => req.destroy() };
}

test('60 connections sending their heads slowly hold no worker', async () => {
  const socks = [];
  for (let i = 0; i < 60; i++) {
    const s = connect({ host: '127.0.0.1', port: inst.httpPort });
    s.on('error', () => {});
    s.write(`GET /api/maps HTTP/1.1\r\nHost: 127.0.0.1:${inst.httpPort}\r\n`);
    socks.push(s);
  }
  const drip = setInterval(() => { for (const s of socks) s.write('X-Slow: 1\r\n'); }, 500);
  try {
    await sleep(300);
    await stillServes('slow heads');
  } finally {
    clearInterval(drip);
    for (const s of socks) s.destroy();
  }
});

test('50 long polls of one client are bounded and the oldest answered early', async () => {
  const seq = (await inst.api(`/api/maps/${map}/symbols`)).body.seq;
  const polls = Array.from({ length: 50 }, () => hold(`/api/maps/${map}/changes?since=${seq}`));
  let answered = 0;
  for (const p of polls) p.done.then(() => { answered++; });
  try {
    await sleep(500);
    // All but the few this client may keep waiting have answered at once.
    assert.ok(answered >= 40, `${answered} of 50 answered early`);
    await stillServes('long polls');
  } finally {
    for (const p of polls) p.stop();
  }
});

test('large bodies are refused by size or value count before they cost memory', async () => {
  const before = await peakMemoryKiB();
  const json = { 'Content-Type': 'application/json' };
  const values = (n) => '{"symbols":[' + '{},'.repeat(n) + '{}],"managed":true}';
  const big = values(((8 << 20) - 40) / 3);
  const positions = '{"positions":[' + '[],'.repeat(((8 << 20) - 40) / 3) + '[]]}';
  const small = values(((2 << 20) - 40) / 3);
  // A body refused before it is read may reach a closed connection (0).
  const cases = [
    // [what, path, body, statuses allowed]
    ['8 MiB of ids', '/api/symbols/manage', big, [413, 0]],
    ['8 MiB of positions', `/api/maps/${map}/positions`, positions, [413, 503, 0]],
    ['2 MiB of ids', '/api/symbols/manage', small, [413, 503, 0]],
  ];
  for (const [what, path, body, want] of cases) {
    const reqs = Array.from({ length: 12 }, () => hold(path, { method: 'POST', headers: json, body }));
    const statuses = await Promise.all(reqs.map((r) => r.done));
    for (const s of statuses) assert.ok(want.includes(s), `${what}: ${statuses}`);
  }
  // Bodies arriving while the page is used.
  const flood = Array.from({ length: 12 }, () => hold(`/api/maps/${map}/positions`, { method: 'POST', headers: json, body: positions }));
  try {
    await stillServes('large bodies');
  } finally {
    await Promise.all(flood.map((r) => r.done));
  }
  const grown = (await peakMemoryKiB()) - before;
  assert.ok(grown < 100 << 10, `the peak grew by ${grown} KiB`);
  // A body within bounds still works.
  const ok = await inst.api('/api/symbols/manage', { method: 'POST', headers: json, body: JSON.stringify({ symbols: [], managed: true }) });
  assert.equal(ok.status, 200);
});
