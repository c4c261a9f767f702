// The kit against the real service: a whole session, refused records, the service's end.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { accessSync, constants } from 'node:fs';
import { mkdir, writeFile } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { inspect } from 'node:util';
import { test } from 'node:test';

import * as kit from 'korvessa-launcher-kit';

import { cases, isRunning, scratch, serviceEnv, servicePath, sleep, within } from './fixtures.mjs';

const { Sidecar, SidecarError, defaultServicePath, proxyLogOffset } = kit;
const start = (options = {}) =>
  Sidecar.start({ servicePath, clientDir: scratch, env: serviceEnv, ...options });

test('the CommonJS and the ES module entry hand out the same classes', () => {
  const required = createRequire(import.meta.url)('korvessa-launcher-kit');
  assert.deepEqual(Object.keys(kit).sort(), Object.keys(required).sort());
  for (const name of Object.keys(required)) assert.equal(kit[name], required[name], name);
});

// A step of the shared session (kits/cases.json): the call and its record, checked against
// what it returns or how it fails. "pid": "launcher" is this process.
async function runStep(sidecar, { call, record, returns, error: expected }) {
  const method = { checkHealth: 'health' }[call] ?? call;
  const given = record?.pid === 'launcher' ? { ...record, pid: process.pid } : record;
  const label = `${call} ${JSON.stringify(record ?? '')}`;
  const outcome = await sidecar[method](given).then(
    (value) => ({ value }),
    (error) => ({ error }),
  );
  if (expected === undefined) {
    assert.equal(outcome.error, undefined, `${label}: ${outcome.error}`);
    // Whatever the table gives as nothing, a ticket call returns as null, a store as undefined.
    const nothing = call === 'takeLaunchTicket' ? null : undefined;
    assert.deepEqual(outcome.value, returns === null ? nothing : returns, label);
    return;
  }
  const { error } = outcome;
  assert.ok(error instanceof SidecarError, `${label}: ${error}`);
  assert.equal(error.kind, expected.kind, label);
  if ('status' in expected) assert.equal(error.httpStatus, expected.status, label);
  if ('body' in expected) assert.equal(error.body, expected.body, label);
  if ('says' in expected) assert.ok(error.message.includes(expected.says), error.message);
  if (expected.kind === 'http') {
    // This kit's message says what the service answered and what the refused record needs.
    assert.ok(error.message.includes(` answered ${expected.status} `), error.message);
    assert.match(error.message, /: a (launch ticket|presence session) needs/);
  }
  assert.ok(!error.message.includes(sidecar.token), label);
}

test('a whole session: the shared steps, stop, and calls after it', async () => {
  const sidecar = await start({ token: cases.token });
  assert.equal(sidecar.url, `http://127.0.0.1:${sidecar.port}`);
  assert.equal(sidecar.launcherPid, process.pid);
  assert.ok(isRunning(sidecar.pid));
  assert.ok(!inspect(sidecar, { depth: 5 }).includes(sidecar.token), 'printing shows the token');
  const diagnostics = [];
  sidecar.on('diagnostic', (line) => diagnostics.push(line));

  for (const step of cases.session) await runStep(sidecar, step);

  assert.deepEqual(await sidecar.stop(), { code: null, signal: 'SIGKILL' });
  assert.deepEqual(await sidecar.exited, { code: null, signal: 'SIGKILL' });
  assert.equal(isRunning(sidecar.pid), false);
  for (const step of cases.afterStop) await runStep(sidecar, step);
  await assert.rejects(sidecar.health(), {
    kind: 'connection',
    signal: 'SIGKILL',
    message: /^GET \/health: the service has ended \(by signal SIGKILL\)/,
  });
  assert.deepEqual(diagnostics, []); // nothing goes wrong, and no Discord is reachable
});

test('a fresh token is made when none is given', async () => {
  const sidecar = await start();
  try {
    assert.match(sidecar.token, /^[0-9a-f]{64}$/);
    assert.equal(await sidecar.health(), true);
  } finally {
    await sidecar.stop();
  }
});

// Where the package carries no service (the kit built in place), there is nothing to start.
let carried = true;
try {
  accessSync(defaultServicePath(), constants.X_OK);
} catch {
  carried = false;
}

test('the carried service serves a session with no servicePath', { skip: !carried }, async () => {
  const sidecar = await Sidecar.start({ clientDir: scratch, env: serviceEnv });
  try {
    assert.equal(await sidecar.health(), true);
  } finally {
    await sidecar.stop();
  }
});

test('a call after the service was killed fails at once, saying so', async () => {
  const sidecar = await start();
  process.kill(sidecar.pid, 'SIGKILL');
  // The sidecar does not hold this process open: the wait's timer does.
  assert.deepEqual(await within(sidecar.exited, 5000), { code: null, signal: 'SIGKILL' });
  const error = await sidecar.takeLaunchTicket().then(assert.fail, (failure) => failure);
  assert.equal(error.kind, 'connection');
  assert.equal(error.signal, 'SIGKILL');
  assert.equal(error.code, undefined); // no request was made
  assert.match(error.message, /the service has ended \(by signal SIGKILL\)/);
});

test('defaultServicePath: the carried program, unpacked from an Electron app, per platform', () => {
  const internal = dirname(createRequire(import.meta.url).resolve('korvessa-launcher-kit'));
  const { unpackedPath } = createRequire(import.meta.url)(join(internal, 'service-path.js'));
  const mapped = [
    ['/opt/Game/resources/app.asar/node_modules/k/service/linux-x64/korvessa-client-services',
      '/opt/Game/resources/app.asar.unpacked/node_modules/k/service/linux-x64/korvessa-client-services'],
    ['C:\\Game\\resources\\app.asar\\node_modules\\k\\service\\win32-x64\\s.exe',
      'C:\\Game\\resources\\app.asar.unpacked\\node_modules\\k\\service\\win32-x64\\s.exe'],
    // Development (electron .), an unpacked path already, and folders merely named alike.
    ['/home/me/game/node_modules/k/service', '/home/me/game/node_modules/k/service'],
    ['/g/app.asar.unpacked/k', '/g/app.asar.unpacked/k'],
    ['/g/myapp.asar/k', '/g/myapp.asar/k'],
    ['C:\\g\\app.asarx\\k', 'C:\\g\\app.asarx\\k'],
  ];
  for (const [path, expected] of mapped) assert.equal(unpackedPath(path), expected, path);

  assert.equal(defaultServicePath(), join(internal, '..', 'service', 'linux-x64', 'korvessa-client-services'));
  const platform = Object.getOwnPropertyDescriptor(process, 'platform');
  try {
    Object.defineProperty(process, 'platform', { value: 'win32' });
    assert.match(defaultServicePath(), /[\\/]service[\\/]win32-x64[\\/]korvessa-client-services\.exe$/);
    Object.defineProperty(process, 'platform', { value: 'darwin' });
    assert.throws(defaultServicePath, { message: /not for darwin-x64: pass servicePath/ });
  } finally {
    Object.defineProperty(process, 'platform', platform);
  }
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

test('a ttlSeconds below 0 is sent as it is, and refused by the service', async () => {
  const sidecar = await start();
  try {
    const ticket = { username: 'a', clientLogin: '!a', ticket: 'T', expiresAt: '', ttlSeconds: -1 };
    await assert.rejects(sidecar.putLaunchTicket(ticket), {
      kind: 'http',
      httpStatus: 400,
      body: '{"ok":false,"error":"invalid_ticket"}',
    });
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
