// The kit against the real service: a whole session, refused records, the service's end.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdir, writeFile } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { inspect } from 'node:util';
import { test } from 'node:test';

import * as kit from 'korvessa-launcher-kit';

import { isRunning, scratch, serviceEnv, servicePath, sleep, within } from './fixtures.mjs';

const { Sidecar, SidecarError, proxyLogOffset } = kit;
const start = (options = {}) =>
  Sidecar.start({ servicePath, clientDir: scratch, env: serviceEnv, ...options });

test('the CommonJS and the ES module entry hand out the same classes', () => {
  const required = createRequire(import.meta.url)('korvessa-launcher-kit');
  assert.deepEqual(Object.keys(kit).sort(), Object.keys(required).sort());
  for (const name of Object.keys(required)) assert.equal(kit[name], required[name], name);
});

test('a whole session: health, a ticket taken once, presence, stop', async () => {
  const sidecar = await start();
  assert.match(sidecar.token, /^[0-9a-f]{64}$/);
  assert.equal(sidecar.url, `http://127.0.0.1:${sidecar.port}`);
  assert.equal(sidecar.launcherPid, process.pid);
  assert.ok(isRunning(sidecar.pid));
  assert.ok(!inspect(sidecar, { depth: 5 }).includes(sidecar.token), 'printing shows the token');
  const diagnostics = [];
  sidecar.on('diagnostic', (line) => diagnostics.push(line));

  assert.equal(await sidecar.health(), true);
  const ticket = {
    username: 'Ånn "the" \\ player',
    clientLogin: '!ann',
    ticket: 'T-1\nsecond line',
    expiresAt: '2026-01-01T00:00:00Z',
    ttlSeconds: 3600,
  };
  assert.equal(await sidecar.putLaunchTicket(ticket), undefined);
  assert.deepEqual(await sidecar.takeLaunchTicket(), ticket);
  assert.equal(await sidecar.takeLaunchTicket(), null);

  const game = { pid: process.pid, logOffset: await proxyLogOffset(scratch) };
  assert.equal(await sidecar.putPresenceSession(game), undefined);

  assert.deepEqual(await sidecar.stop(), { code: null, signal: 'SIGKILL' });
  assert.deepEqual(await sidecar.exited, { code: null, signal: 'SIGKILL' });
  assert.deepEqual(await sidecar.stop(), { code: null, signal: 'SIGKILL' });
  assert.equal(isRunning(sidecar.pid), false);
  await assert.rejects(sidecar.health(), { kind: 'connection', code: 'ECONNREFUSED' });
  assert.deepEqual(diagnostics, []); // nothing goes wrong, and no Discord is reachable
});

// A token is sent as the UTF-8 bytes that the configuration line carries.
for (const token of ['0123456789abcdef0123456789abcdef', 'ü'.repeat(16), '鍵'.repeat(11)]) {
  test(`a given token works: ${token}`, async () => {
    const sidecar = await start({ token });
    try {
      assert.equal(sidecar.token, token);
      assert.equal(await sidecar.health(), true);
    } finally {
      await sidecar.stop();
    }
  });
}

test('records the service refuses reject with the reply', async () => {
  const sidecar = await start();
  try {
    const ticket = { username: 'a', clientLogin: '!a', ticket: 'T', expiresAt: '', ttlSeconds: 1 };
    const refused = [
      [() => sidecar.putLaunchTicket({ ...ticket, clientLogin: 'a' }),
        '{"ok":false,"error":"invalid_ticket"}'],
      [() => sidecar.putLaunchTicket({ ...ticket, ttlSeconds: -1 }),
        '{"ok":false,"error":"invalid_ticket"}'],
      [() => sidecar.putPresenceSession({ pid: 0, logOffset: 0 }),
        '{"ok":false,"error":"invalid_presence_session"}'],
    ];
    for (const [call, body] of refused) {
      const error = await call().then(() => assert.fail('accepted'), (failure) => failure);
      assert.ok(error instanceof SidecarError);
      assert.equal(error.kind, 'http');
      assert.equal(error.httpStatus, 400);
      assert.equal(error.body, body);
      assert.match(error.message, /answered 400 Bad Request/);
      assert.ok(!error.message.includes(sidecar.token));
    }
    assert.equal(await sidecar.takeLaunchTicket(), null); // nothing refused was stored
  } finally {
    await sidecar.stop();
  }
});

test('proxyLogOffset is the proxy log size, 0 without one', async () => {
  const client = join(scratch, 'client');
  assert.equal(await proxyLogOffset(join(scratch, 'no-such-dir')), 0);
  await mkdir(client);
  assert.equal(await proxyLogOffset(client), 0);
  await writeFile(join(client, 'KorvessaAuthProxy.log'), 'line one\nü\n');
  assert.equal(await proxyLogOffset(client), 12);
});

test('the service ends with the process that started it', async () => {
  // A launcher whose script simply runs out: the sidecar must not keep it alive, and the
  // service must follow it.
  const entry = pathToFileURL(createRequire(import.meta.url).resolve('korvessa-launcher-kit'));
  const launcherScript = `
    const { Sidecar } = await import(${JSON.stringify(entry.href)});
    const options = ${JSON.stringify({ servicePath, clientDir: scratch, env: serviceEnv })};
    const sidecar = await Sidecar.start(options);
    await sidecar.health();
    console.log(sidecar.pid);`;
  const launcher = spawn(process.execPath, ['--input-type=module', '-e', launcherScript], {
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  let output = '';
  launcher.stdout.on('data', (chunk) => (output += chunk));
  const closed = new Promise((done) => launcher.on('close', (code) => done(code)));
  const code = await within(closed, 10000);
  if (code === 'timed out') launcher.kill('SIGKILL');
  assert.equal(code, 0, 'the launcher did not end by itself');
  const servicePid = Number(output);
  assert.ok(servicePid > 0, output);
  for (let waited = 0; isRunning(servicePid) && waited < 5000; waited += 50) await sleep(50);
  assert.equal(isRunning(servicePid), false, 'the service outlived its launcher');

  // Its exit status, seen from here: a sidecar kept beside another process that ends.
  const other = spawn('sleep', ['60'], { stdio: 'ignore' });
  const sidecar = await start({ launcherPid: other.pid });
  other.kill('SIGKILL');
  // The sidecar does not hold this process open, so the wait has a timer that does.
  const end = await within(sidecar.exited, 5000);
  if (end === 'timed out') await sidecar.stop();
  assert.deepEqual(end, { code: 0, signal: null });
});
