// The map program's JSON API as a script sees it: the request checks, the
// long poll, and basic authentication.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { request } from 'node:http';
import { Instance, basicAuth } from './support.mjs';

// Two nodes to look at, and enough others that a whole map goes out in chunks.
const network = { nodes: [
  { name: 'api-one', addresses: ['127.0.4.1'], kind: 'server', status: 'Normal' },
  { name: 'api-two', addresses: ['127.0.4.2'], kind: 'client', status: 'Normal' },
  ...Array.from({ length: 2100 }, (_, i) => ({ name: `fill-${i}`, addresses: [`127.0.${5 + (i >> 8)}.${i & 255}`], kind: 'device' })),
] };

let inst;
before(async () => {
  inst = new Instance({ network });
  await inst.start();
});
after(async () => { if (inst) await inst.stop(); });

// A raw request, so that Host and Origin are ours to set.
function raw(port, { method = 'GET', path, headers = {}, body, binary = false }) {
  return new Promise((ok, fail) => {
    const r = request({ host: '127.0.0.1', port, method, path, headers }, (res) => {
      const parts = [];
      res.on('data', (d) => { parts.push(d); });
      res.on('end', () => {
        const all = Buffer.concat(parts);
        ok({ status: res.statusCode, headers: res.headers, text: binary ? '' : all.toString(), body: all });
      });
    });
    r.on('error', fail);
    if (body !== undefined) r.write(body);
    r.end();
  });
}

test('changes are refused unless they are same-origin JSON posts', async () => {
  const port = inst.httpPort;
  const host = `127.0.0.1:${port}`;
  const json = { 'Content-Type': 'application/json' };
  const body = JSON.stringify({ symbols: [], managed: true });
  const cases = [
    // [what, request, expected status]
    ['a script (no Origin, no Referer)', { headers: json }, 200],
    ['a page of this server', { headers: { ...json, Origin: `http://${host}` } }, 200],
    ['a page elsewhere', { headers: { ...json, Origin: 'http://evil.example' } }, 403],
    ['an opaque origin', { headers: { ...json, Origin: 'null' } }, 403],
    ['a referer elsewhere', { headers: { ...json, Referer: 'http://evil.example/x' } }, 403],
    ['a form post', { headers: { 'Content-Type': 'application/x-www-form-urlencoded' } }, 415],
    ['a text body', { headers: { 'Content-Type': 'text/plain' } }, 415],
    ['another Host name (DNS rebinding)', { headers: { ...json, Host: `evil.example:${port}` } }, 403],
  ];
  const auth = basicAuth(inst.password);
  for (const [what, req, want] of cases) {
    const r = await raw(port, { method: 'POST', path: '/api/symbols/manage', body, headers: { ...auth, ...req.headers } });
    assert.equal(r.status, want, `${what}: ${r.text}`);
  }
  const get = await raw(port, { path: '/api/maps', headers: { ...auth, Host: `rebind.example:${port}` } });
  assert.equal(get.status, 403);
  for (const [path, bad] of [['/api/symbols/manage', '{"symbols": "x", "managed": true}'],
    ['/api/symbols/manage', 'not json'], ['/api/actions', '{"app": "nope", "action": "x", "objects": [1]}'],
    ['/api/maps/1/positions', '{"positions": [{"symbol": 1, "x": "a", "y": 0}]}']]) {
    const r = await raw(port, { method: 'POST', path, headers: { ...auth, ...json }, body: bad });
    assert.equal(r.status, 400, `${path} ${bad}: ${r.text}`);
    assert.ok(JSON.parse(r.text).error);
  }
});

test('a long poll returns the changed symbol, and a too old number gives a full snapshot', async () => {
  const maps = await inst.api('/api/maps');
  const map = maps.body.open;
  const snap = await inst.api(`/api/maps/${map}/symbols`);
  const one = await inst.id('api-one');
  const sym = snap.body.symbols.find((s) => s.object === one);
  assert.equal(sym.status, 2);
  const poll = inst.api(`/api/maps/${map}/changes?since=${snap.body.seq}`);
  await new Promise((r) => setTimeout(r, 300));
  const t0 = Date.now();
  await inst.topo('status', 'api-one', 'Marginal');
  const r = await poll;
  assert.ok(Date.now() - t0 < 2000);
  assert.equal(r.status, 200);
  assert.equal(r.body.full, false);
  assert.ok(r.body.seq > snap.body.seq);
  assert.equal(r.body.symbols.find((s) => s.id === sym.id)?.status, 3);
  // Nothing new: an empty answer after the time-out the script asked for.
  const idle = await inst.api(`/api/maps/${map}/changes?since=${r.body.seq}&timeout=200`);
  assert.deepEqual([idle.body.symbols, idle.body.deleted, idle.body.seq], [[], [], r.body.seq]);
  // A number from before the log or after its end: everything again.
  const future = await inst.api(`/api/maps/${map}/changes?since=${r.body.seq + 1000000}`);
  assert.equal(future.body.full, true);
  assert.equal(snap.body.symbols.length, network.nodes.length);
  assert.deepEqual(future.body.symbols.map((s) => s.id), snap.body.symbols.map((s) => s.id));
  assert.equal((await inst.api('/api/maps/999999/symbols')).status, 404);
});

test('bad requests get a reason and change nothing', async () => {
  const json = { 'Content-Type': 'application/json' };
  const post = (path, body) => inst.api(path, { method: 'POST', headers: json, body: JSON.stringify(body) });
  const one = await inst.id('api-one');
  const cases = [
    // [call, answer status, text in the reason]
    [() => inst.api('/api/maps/424242/symbols'), 404, 'no such map'],
    [() => post('/api/maps/424242/open', {}), 404, 'no such map'],
    [() => inst.api('/api/objects/424242'), 404, 'no such object'],
    [() => inst.api('/api/nothing'), 404, 'no such call'],
    [() => post('/api/apps/restart', { app: 'Nobody' }), 400, ''],
    [() => post('/api/actions', { app: 'Nobody', action: 'x', objects: [one] }), 400, ''],
    [() => post('/api/actions', { app: 'Nobody', action: 'x', objects: [0] }), 400, 'list of ids'],
    [() => post('/api/actions', { app: 'Nobody', action: 'x', objects: [-1] }), 400, 'list of ids'],
    [() => post('/api/maps/1/positions', { positions: [{ symbol: 424242, x: 1, y: 2 }] }), 400, 'position'],
    [() => post('/api/maps/1/positions', { positions: [{ symbol: 1, x: 1e300, y: 2 }] }), 400, 'out of range'],
    [() => inst.api('/api/apps/config?app=Nobody'), 404, 'no such application'],
    [() => post('/api/apps/config/verify', { app: 'Nobody', values: {} }), 404, 'no such application'],
    [() => inst.api('/api/maps/1/changes?since=x'), 400, 'change number'],
  ];
  for (const [call, status, reason] of cases) {
    const r = await call();
    assert.equal(r.status, status, JSON.stringify(r.body));
    assert.ok(r.body && r.body.error.includes(reason), JSON.stringify(r.body));
  }
});

test('an object\'s fields come typed', async () => {
  const one = await inst.id('api-one');
  const r = await inst.api(`/api/objects/${one}`);
  const fields = Object.fromEntries(r.body.fields.map((f) => [f.name, f]));
  assert.deepEqual(fields['Selection Name'], { name: 'Selection Name', type: 'String', value: 'api-one' });
  assert.deepEqual(fields.isServer, { name: 'isServer', type: 'Boolean', value: true });
  assert.equal(fields['IP Status'].type, 'Enumeration');
  assert.ok(['Normal', 'Marginal'].includes(fields['IP Status'].value));
});

test('with http_password every request needs it', async () => {
  const locked = new Instance({ network: { nodes: network.nodes.slice(0, 2) }, conf: 'http_password=open sesame\n' });
  try {
    await locked.start();
    const port = locked.httpPort;
    const auth = (user, pw) => ({ Authorization: 'Basic ' + Buffer.from(`${user}:${pw}`).toString('base64') });
    const none = await raw(port, { path: '/api/maps' });
    assert.equal(none.status, 401);
    assert.match(none.headers['www-authenticate'], /^Basic /);
    assert.equal((await raw(port, { path: '/', headers: auth('zq', 'wrong') })).status, 401);
    assert.equal((await raw(port, { path: '/api/maps', headers: auth('anyone', 'open sesame') })).status, 200);
    assert.equal((await raw(port, { path: '/', headers: auth('zq', 'open sesame') })).status, 200);
  } finally {
    await locked.stop();
  }
});

test('answers over 1 KiB go compressed to a client that takes gzip', async () => {
  const port = inst.httpPort;
  const gz = { ...basicAuth(inst.password), 'Accept-Encoding': 'gzip' };
  const map = (await inst.api('/api/maps')).body.open;
  const big = await raw(port, { path: `/api/maps/${map}/changes?since=0`, headers: gz, binary: true });
  assert.equal(big.headers['content-encoding'], 'gzip');
  const { gunzipSync } = await import('node:zlib');
  const text = gunzipSync(big.body).toString();
  assert.ok(JSON.parse(text).seq > 0);
  assert.ok(big.body.length * 3 < text.length, `${big.body.length} bytes for ${text.length}`);
  const small = await raw(port, { path: '/api/maps', headers: gz });
  assert.equal(small.headers['content-encoding'], undefined);
  assert.equal(JSON.parse(small.text).maps.length, 1);
  assert.equal((await raw(port, { path: `/api/maps/${map}/changes?since=0`, headers: basicAuth(inst.password) })).headers['content-encoding'], undefined);
});
