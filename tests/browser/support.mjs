// Shared by the browser tests and the page benchmark: a platform instance of
// its own (zqsetup into a temporary folder, free loopback ports, a network
// imported with zqtopo, the map program started with zqstart) and Chromium.
import { execFile } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync, readFileSync, readdirSync, existsSync, mkdirSync } from 'node:fs';
import { createServer } from 'node:net';
import { createSocket } from 'node:dgram';
import { tmpdir } from 'node:os';
import { join, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

const run = promisify(execFile);

export const repo = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
export const buildDir = resolve(repo, process.env.ZQ_BUILD_DIR || 'build');
export const bin = (name) => join(buildDir, 'bin', name);

// A port free for TCP and UDP on 127.0.0.1 a moment ago.
export async function freePort() {
  for (;;) {
    const port = await new Promise((ok, fail) => {
      const s = createServer();
      s.once('error', fail);
      s.listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => ok(p)); });
    });
    const udpFree = await new Promise((ok) => {
      const u = createSocket('udp4');
      u.once('error', () => ok(false));
      u.bind(port, '127.0.0.1', () => u.close(() => ok(true)));
    });
    if (udpFree) return port;
  }
}

export async function sh(file, args, env = {}, { allowFail = false } = {}) {
  try {
    return await run(file, args, { env: { ...process.env, ...env }, timeout: 60000, maxBuffer: 64 << 20 });
  } catch (e) {
    if (allowFail) return { stdout: e.stdout || '', stderr: e.stderr || '', code: e.code };
    throw new Error(`${file} ${args.join(' ')} failed (${e.code}): ${e.stderr || e.message}`);
  }
}

// The map program's password of an instance (zqsetup writes a random one).
export function mapPassword(root) {
  const line = readFileSync(join(root, 'conf', 'zq.conf'), 'utf8').split('\n').find((l) => l.startsWith('http_password='));
  return line ? line.slice('http_password='.length) : '';
}

// The Authorization header that goes with a password (any user name).
export const basicAuth = (password, user = 'operator') => ({ Authorization: 'Basic ' + Buffer.from(`${user}:${password}`).toString('base64') });

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export async function waitFor(cond, timeoutMs, what) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const v = await cond();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

// One instance: new Instance({ network, registration, conf }) then start().
export class Instance {
  constructor({ network, registration = '', fields = '', conf = '' } = {}) {
    this.root = mkdtempSync(join(tmpdir(), 'zqweb-'));
    this.network = network;
    this.registration = registration;
    this.fields = fields;
    this.conf = conf;
    this.env = { ZQ_ROOT: this.root };
  }

  async start() {
    const [trap, event, snmp, http] = [await freePort(), await freePort(), await freePort(), await freePort()];
    this.httpPort = http;
    this.url = `http://127.0.0.1:${http}/`;
    const setup = [this.root, '--trap-port', trap, '--event-port', event, '--snmp-port', snmp, '--http-port', http].map(String);
    await sh(bin('zqsetup'), setup);
    if (this.fields) {
      writeFileSync(join(this.root, 'fields', 'test.fields'), this.fields);
      await sh(bin('zqsetup'), setup);
    }
    // The platform's registration and the test's only: no integration application.
    const regDir = join(this.root, 'registration');
    mkdirSync(regDir, { recursive: true });
    for (const f of readdirSync(regDir)) if (f !== 'zq.reg') rmSync(join(regDir, f));
    if (this.registration) writeFileSync(join(regDir, 'test.reg'), this.registration);
    if (this.conf) {
      // The test's lines take the place of zqsetup's for the same keys.
      const file = join(this.root, 'conf', 'zq.conf');
      const keys = new Set(this.conf.split('\n').map((l) => l.split('=')[0].trim()).filter(Boolean));
      const kept = readFileSync(file, 'utf8').split('\n').filter((l) => !keys.has(l.split('=')[0].trim()));
      writeFileSync(file, kept.join('\n') + '\n' + this.conf);
    }
    this.password = mapPassword(this.root);
    passwords.set(this.url, this.password);
    if (this.network) {
      const file = join(this.root, 'network.json');
      writeFileSync(file, JSON.stringify(this.network));
      await sh(bin('zqtopo'), ['import', file], this.env);
    }
    // The map program alone: netmon and the integration's daemons would change
    // statuses under the test.
    await sh(bin('zqstart'), ['zqw'], this.env);
    await waitFor(async () => {
      try { return (await fetch(this.url + 'api/maps', { headers: basicAuth(this.password) })).status !== 0; } catch { return false; }
    }, 15000, 'the map program to answer HTTP');
  }

  topo(...args) { return sh(bin('zqtopo'), args, this.env, { allowFail: true }); }

  async id(name) { return Number((await this.topo('id', name)).stdout.trim()); }

  appOut(app) {
    const f = join(this.root, 'log', `${app.replace(/[^A-Za-z0-9_.-]/g, '_')}.out`);
    return existsSync(f) ? readFileSync(f, 'utf8') : '';
  }

  async api(path, opts = {}) {
    const r = await fetch(this.url + path.replace(/^\//, ''), { ...opts, headers: { ...basicAuth(this.password), ...opts.headers } });
    return { status: r.status, body: await r.json().catch(() => null) };
  }

  async stop() {
    await sh(bin('zqstop'), [], this.env, { allowFail: true });
    rmSync(this.root, { recursive: true, force: true });
  }
}

export async function launchBrowser() {
  const { chromium } = await import('playwright-core');
  return chromium.launch({
    executablePath: process.env.ZQ_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1'],
  });
}

// The passwords of the instances this process started, by their map's URL.
const passwords = new Map();

// A page of the map of an instance: its URL (an Instance's, or { url, password }).
export async function openMap(browser, target, viewport = { width: 1400, height: 880 }) {
  const { url, password, user = 'operator' } = typeof target === 'string' ? { url: target, password: passwords.get(target) } : target;
  const page = await browser.newPage({ viewport, httpCredentials: { username: user, password, send: 'always' } });
  page.setDefaultTimeout(10000);
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(url);
  await page.waitForFunction(() => window.zqmap && window.zqmap.ready());
  page.errors = errors;
  return page;
}

// The colour drawn at a screen point of the map canvas, as "#RRGGBB".
export async function colourAt(page, x, y) {
  return page.evaluate(([x, y]) => {
    const c = document.getElementById('map');
    const d = window.devicePixelRatio || 1;
    const p = c.getContext('2d').getImageData(Math.round(x * d), Math.round(y * d), 1, 1).data;
    return '#' + [p[0], p[1], p[2]].map((v) => v.toString(16).padStart(2, '0').toUpperCase()).join('');
  }, [x, y]);
}
