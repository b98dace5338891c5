// trvmap on the map page: agentsim, trapd, trvdis and the map program for real,
// trvmap started by the map program from the integration's registration.  A
// vendor server shows its vendor icon and a chip whose colour follows the
// node's condition in agentsim once "Tarvo Monitor" is run from the page, and
// opening the chip opens the node's web agent.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launchBrowser, openMap, colourAt, waitFor, freePort, sh, bin, mapPassword, basicAuth } from './support.mjs';

const COLOUR = { Unknown: '#97AAB3', Normal: '#3BB44A', Marginal: '#FFF200', Major: '#E97659' };

// The condition record: byte 2 is the condition code (2 Normal, 4 Major).
const network = (condition) => ({
  nodes: [
    { name: 'vsrv', addresses: ['127.0.71.1'], kind: 'server', snmp: true, status: 'Normal', web_agent: true,
      mib: { '1.3.6.1.2.1.1.2.0': ['OID', 'ENT.1.1.1.1'], 'ENT.11.2.10.1.0': ['HEX', `010${condition}`] } },
    { name: 'plain', addresses: ['127.0.71.2'], kind: 'server', snmp: true, status: 'Normal',
      mib: { '1.3.6.1.2.1.1.2.0': ['OID', '1.3.6.1.4.1.64099.1'] } },
  ],
});

let root, env, url, password, agents, browser, netFile;

function near(a, b, tol = 6) {
  const p = (s) => [1, 3, 5].map((i) => parseInt(s.slice(i, i + 2), 16));
  return p(a).every((v, i) => Math.abs(v - p(b)[i]) <= tol);
}

before(async () => {
  root = mkdtempSync(join(tmpdir(), 'zqtrvmap-'));
  env = { ZQ_ROOT: root };
  const [trap, event, snmp, http] = [await freePort(), await freePort(), await freePort(), await freePort()];
  url = `http://127.0.0.1:${http}/`;
  await sh(bin('zqsetup'), [root, '--trap-port', trap, '--event-port', event, '--snmp-port', snmp, '--http-port', http].map(String));
  password = mapPassword(root);
  writeFileSync(join(root, 'conf', 'snmp.conf'), `* community=public port=${snmp} timeout=0.4 retries=0\n`);
  // trapd, trvdis, then the map program (which starts trvmap); nothing else
  // changes statuses under the test.
  writeFileSync(join(root, 'conf', 'zqsuf'), `trapd ${bin('trapd')}\ntrvdis ${bin('trvdis')}\nzqw ${bin('zqw')}\n`);
  netFile = join(root, 'network.json');
  writeFileSync(netFile, JSON.stringify(network(2)));
  await sh(bin('zqtopo'), ['import', netFile], env);
  agents = spawn(bin('agentsim'), [netFile, '--console-port', '0'], { env: { ...process.env, ...env }, stdio: 'ignore' });
  await sh(bin('zqstart'), [], env);
  await waitFor(async () => {
    try { return (await fetch(url + 'api/maps', { headers: basicAuth(password) })).status === 200; } catch { return false; }
  }, 15000, 'the map program to answer HTTP');
  browser = await launchBrowser();
});

after(async () => {
  if (browser) await browser.close();
  if (root) await sh(bin('zqstop'), [], env, { allowFail: true });
  if (agents) agents.kill();
  if (root) rmSync(root, { recursive: true, force: true });
});

test('a vendor server shows its icon and a chip that follows its condition after Tarvo Monitor', async () => {
  const page = await openMap(browser, { url, password });
  // trvdis classifies the node, trvmap types it and draws its chip.
  const drawn = () => page.evaluate(() => {
    const n = window.zqmap.model.nodes.find((s) => (s.label || s.name) === 'vsrv');
    const chip = n && n.children.find((c) => c.type === 'TrvDevice:WEB_ENABLED');
    return n && chip ? { node: n.id, icon: n.icon, type: n.type, chip: chip.id, label: chip.label } : null;
  });
  const seen = await waitFor(drawn, 30000, 'the vendor node with its chip on the page');
  assert.equal(seen.icon, 'vendor-server');
  assert.equal(seen.type, 'Server:TrvServer-ntsrvr');
  assert.equal(seen.label, 'Vantor Agents');
  const plain = await page.evaluate(() => window.zqmap.model.nodes.find((s) => (s.label || s.name) === 'plain'));
  assert.equal(plain.children.length, 0);

  const chipColour = async () => {
    await page.evaluate(() => window.zqmap.redrawNow());
    const at = await page.evaluate((id) => window.zqmap.probeOf(id), seen.chip);
    return at ? colourAt(page, at.x, at.y) : '#000000';
  };
  // Close enough for chips to be drawn.
  await page.evaluate(() => window.zqmap.view.fit());
  await waitFor(async () => near(await chipColour(), COLOUR.Normal), 10000, 'a Normal chip');

  // The node's condition turns Major in agentsim; "Tarvo Monitor" from the page
  // asks trvdis, whose answer recolours the chip.
  writeFileSync(netFile, JSON.stringify(network(4)));
  agents.kill('SIGHUP');
  await new Promise((r) => setTimeout(r, 300));
  const p = await page.evaluate((id) => window.zqmap.pointOf(id), seen.node);
  await page.mouse.click(p.x, p.y);
  const t0 = Date.now();
  await page.click('#actions-btn');
  await page.click('#menu .item:has-text("Refresh the condition of the selected vendor nodes")');
  await waitFor(async () => near(await chipColour(), COLOUR.Major), 15000, 'a Major chip');
  const ms = Date.now() - t0;
  console.log(`trvmap: condition change to chip colour via Tarvo Monitor: ${ms} ms`);

  // Opening the chip opens the node's web agent in a new tab.
  const c = await page.evaluate((id) => window.zqmap.pointOf(id), seen.chip);
  const asked = page.context().waitForEvent('request', (r) => r.url() === 'http://vsrv:2301/');
  await page.mouse.dblclick(c.x, c.y);
  await asked;
  assert.deepEqual(page.errors, []);
  await page.close();
});
