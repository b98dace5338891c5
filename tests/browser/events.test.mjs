// The event browser with real peers: trapd, trvtrapd and the map program of an
// instance, traps sent with net-snmp's snmptrap, the page in Chromium.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { Instance, launchBrowser, openMap, sh, bin, waitFor, buildDir, basicAuth } from './support.mjs';

const ENT = '1.3.6.1.4.1.64001';
const network = { nodes: [
  { name: 'ev-srv', addresses: ['127.0.9.1'], kind: 'server', status: 'Normal' },
  { name: 'ev-desk', addresses: ['127.0.9.2'], kind: 'client', status: 'Normal' },
] };

let inst, browser, page, trapPort;

function logOf(name) {
  try { return readFileSync(join(inst.root, 'log', `${name}.out`), 'utf8'); } catch { return ''; }
}

// An SNMPv1 trap from agent, as a node's agent would send it.
function snmptrap(enterprise, agent, specific, bindings) {
  return sh('/usr/bin/snmptrap', ['-v1', '-c', 'public', `127.0.0.1:${trapPort}`, enterprise, agent, '6', String(specific), '',
    ...bindings.flat()], { SNMP_PERSISTENT_DIR: join(inst.root, 'run'), MIBS: '' });
}

const api = async (path, body) => {
  const auth = basicAuth(inst.password);
  const r = await fetch(inst.url + path, body === undefined ? { headers: auth } :
    { method: 'POST', headers: { ...auth, 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
  return r.json();
};

before(async () => {
  inst = new Instance({ network });
  await inst.start();
  trapPort = Number(/trap_port=(\d+)/.exec(readFileSync(join(inst.root, 'conf', 'zq.conf'), 'utf8'))[1]);
  await sh(bin('zqstart'), ['trapd', 'trvdis', 'trvtrapd'], inst.env);   // trvtrapd needs trvdis
  await waitFor(() => logOf('zqw').includes('receiving events from trapd'), 10000, 'the map program to reach trapd');
  browser = await launchBrowser();
  page = await openMap(browser, { url: inst.url, password: inst.password, user: 'nightshift' });   // the login name acknowledges
});

after(async () => {
  if (browser) await browser.close();
  if (inst) await inst.stop();
});

test('a vendor trap shows as a readable event within a second; a click selects its node', async () => {
  // Without alarms the panel is one folded line; a click opens it.
  await page.waitForSelector('#events.collapsed .ev-fold:has-text("No open alarms")');
  await page.click('#events .ev-fold');
  await page.click('.ev-tab[data-tab="events"]');
  await page.waitForSelector('.ev-table td.none');
  const sent = Date.now();
  await snmptrap(`${ENT}.6`, '127.0.9.1', 6001, [[`${ENT}.6.1.1.3`, 'i', '4'], [`${ENT}.6.1.2.1`, 'i', '2']]);
  const row = page.locator('.ev-table tr', { hasText: 'Fan' }).first();
  await row.waitFor({ timeout: 5000 });
  const shownAfter = Date.now() - sent;
  const cells = await row.locator('td').allTextContents();
  assert.equal(cells[2], 'ev-srv', cells.join(' | '));
  assert.match(cells[4], /^Fan .* has failed/);
  // The snmptrap call itself and trvtrapd's re-issue are in this time too.
  assert.ok(shownAfter < 3000, `shown ${shownAfter} ms after the trap was sent`);
  await row.click();
  const srv = await page.evaluate(() => window.zqmap.nodes().find((n) => n.name === 'ev-srv')?.id);
  await waitFor(() => page.evaluate((id) => window.zqmap.selection().join() === String(id), srv), 3000, 'the node selected');
  await page.waitForSelector('.ev-detail .bindings');
  await page.screenshot({ path: join(buildDir, 'events-readable.png') });
});

test('a binding holding HTML is shown as its characters and runs nothing', async () => {
  await page.evaluate(() => { window.zqmap.select([]); window.pwned = 0; });
  const html = '<img src=x onerror="window.pwned=1"><script>window.pwned=2</script><b>bold</b>';
  await snmptrap(`${ENT}.77`, '127.0.9.2', 5, [[`${ENT}.77.1`, 's', html]]);   // log only: the raw view
  const row = page.locator('.ev-table tr', { hasText: 'onerror' }).first();
  await row.waitFor({ timeout: 5000 });
  const text = await row.locator('td.text').textContent();
  assert.ok(text.includes(html), text);
  await row.click();
  await page.waitForSelector('.ev-detail .bindings');
  assert.equal(await page.locator('.ev-table img, .ev-detail img, .ev-table b, .ev-detail b').count(), 0);
  assert.equal(await page.evaluate(() => window.pwned), 0);
  const detail = await page.locator('.ev-detail .bindings').textContent();
  assert.ok(detail.includes(html), detail);
});

test('repeats fold into one alarm; node up clears node down; the node carries a mark until acknowledged', async () => {
  // Folded, the panel opens by itself when an alarm comes.
  await page.click('#events .ev-fold');
  await page.waitForSelector('#events.collapsed');
  for (let i = 0; i < 10; i++)
    await sh(bin('snmpnotify'), ['-a', '127.0.9.2', 'localhost', 'ZENT.2.17.1.0.58916865', 'ZENT.2.17.1.1', 'octetstring',
      'ev-desk', 'ZENT.2.17.1.2', 'octetstring', 'Node Down'], inst.env);
  await page.evaluate(() => window.zqmap.select([]));
  await page.click('.ev-tab[data-tab="alarms"]');
  const row = page.locator('.ev-table tr', { hasText: 'ev-desk is down' });
  await waitFor(async () => (await row.count()) === 1 && (await row.locator('td.count').textContent()) === '10', 5000,
    'one alarm with count 10');
  const desk = await page.evaluate(() => window.zqmap.nodes().find((n) => n.name === 'ev-desk'));
  await waitFor(() => page.evaluate((o) => window.zqmap.alarmed().includes(o), desk.object), 3000, 'the node marked');
  assert.equal(await page.locator('#events.collapsed').count(), 0);
  assert.match(await page.textContent('#events .ev-fold'), /2 open alarms.*1 Critical/);
  await page.screenshot({ path: join(buildDir, 'events-alarms.png') });
  await sh(bin('snmpnotify'), ['-a', '127.0.9.2', 'localhost', 'ZENT.2.17.1.0.58916864', 'ZENT.2.17.1.1', 'octetstring',
    'ev-desk', 'ZENT.2.17.1.2', 'octetstring', 'Node Up'], inst.env);
  await waitFor(async () => (await row.count()) === 0, 5000, 'the alarm cleared (gone from the open ones)');
  await waitFor(() => page.evaluate((o) => !window.zqmap.alarmed().includes(o), desk.object), 3000, 'the mark gone');
  const cleared = await api('api/alarms?state=cleared&name=NodeDown');
  assert.equal(cleared.alarms.length, 1);
  assert.equal(cleared.alarms[0].count, 10);
});

test('acknowledgement is made on the page by its login name and survives a restart of the map program', async () => {
  const row = page.locator('.ev-table tr', { hasText: 'Fan' }).first();
  await row.waitFor();
  await row.locator('input[type=checkbox]').check();
  await page.click('.ev-ack');
  await waitFor(async () => /Acknowledged by nightshift/.test(await row.locator('td.state').textContent()), 5000, 'acknowledged');
  const before = (await api('api/alarms?name=vtFanFailed')).alarms[0];
  assert.equal(before.acked, true);
  // A wrong password changes nothing; another login name is recorded as given.
  const post = (path, user, password) => fetch(inst.url + path, { method: 'POST', body: JSON.stringify({ alarms: [before.id] }),
    headers: { ...basicAuth(password, user), 'Content-Type': 'application/json' } });
  assert.equal((await post('api/alarms/unack', 'dayshift', inst.password + 'x')).status, 401);
  assert.equal((await api('api/alarms?name=vtFanFailed')).alarms[0].ack_by, 'nightshift');
  const unack = await post('api/alarms/unack', 'dayshift', inst.password);
  assert.equal((await unack.json()).by, 'dayshift');
  await post('api/alarms/ack', 'nightshift', inst.password);
  await sh(bin('zqstop'), ['zqw'], inst.env);
  await sh(bin('zqstart'), ['zqw'], inst.env);
  const after = await waitFor(async () => {
    try { return (await api('api/alarms?name=vtFanFailed')).alarms[0]; } catch { return null; }
  }, 15000, 'the map program back');
  assert.deepEqual([after.acked, after.ack_by], [true, 'nightshift']);
  assert.ok(after.ack_time >= before.ack_time, `${after.ack_time} ${before.ack_time}`);
  const bad = await fetch(inst.url + 'api/events?severity=Loud', { headers: basicAuth(inst.password) });
  assert.equal(bad.status, 400);
  assert.match((await bad.json()).error, /severity/);
});
