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

import {
  assertRefused,
  cases,
  isRunning,
  kitModule,
  scratch,
  serviceEnv,
  servicePath,
  settled,
  sleep,
  within,
} from './fixtures.mjs';

const { Sidecar, SidecarError, defaultServicePath, proxyLogOffset } = kit;
const start = (options = {}) =>
  Sidecar.start({ servicePath, clientDir: scratch, env: serviceEnv, ...options });
const required = createRequire(import.meta.url)('korvessa-launcher-kit');

test('the ES module entry is a build of its own, with the names of the CommonJS entry', () => {
  assert.deepEqual(Object.keys(kit).sort(), Object.keys(required).sort());
  assert.notEqual(kit.Sidecar, required.Sidecar);
});

test("the kit's protocol constants are the table's", () => {
  const { about, ...protocol } = cases.protocol;
  assert.deepEqual(kitModule('protocol').PROTOCOL, protocol);
  assert.equal(kit.PROXY_LOG_FILE_NAME, protocol.proxyLogFileName);
});

// Whether a row holds a whole number beyond what a JavaScript number holds exactly.
const inexact = (value) =>
  typeof value === 'number'
    ? Number.isInteger(value) && !Number.isSafeInteger(value)
    : typeof value === 'object' && value !== null && Object.values(value).some(inexact);

// A step of the shared session (kits/cases.json), run as a subtest: the call and its record,
// checked against what it returns or how it fails. "pid": "launcher" is this process. A step
// that stores or expects a number a JavaScript number cannot hold is skipped; one that the kit
// must refuse is not.
async function runStep(t, sidecar, step) {
  const { call, record, options, returns, error: expected } = step;
  const label = `${call} ${inspect(record ?? options ?? '', { breakLength: Infinity })}`;
  const skip = expected === undefined && (inexact(record) || inexact(returns));
  await t.test(label, { skip: skip && 'beyond what a JavaScript number holds exactly' }, async () => {
    const given = record?.pid === 'launcher' ? { ...record, pid: process.pid } : record;
    const takesRecord = call === 'putLaunchTicket' || call === 'putPresenceSession';
    const { value, error } = await settled(
      takesRecord ? sidecar[call](given, options) : sidecar[call](options),
    );
    if (expected === undefined) {
      assert.equal(error, undefined, String(error));
      // Whatever the table gives as nothing, a ticket call returns as null, the others undefined.
      const nothing = call === 'takeLaunchTicket' ? null : undefined;
      assert.deepEqual(value, returns === null ? nothing : returns);
    } else if (expected.kind === 'argument') {
      assertRefused(error, expected, label);
    } else {
      assert.ok(error instanceof SidecarError, String(error));
      assert.equal(error.kind, expected.kind);
      if ('says' in expected) assert.ok(error.message.includes(expected.says), error.message);
      assert.ok(!error.message.includes(sidecar.token));
    }
  });
}

// Records a JavaScript launcher can get wrong beyond the shared rows; the take at the end shows
// that none of them was stored.
const ticket = { username: 'u', clientLogin: '!u', ticket: 'T', expiresAt: '', ttlSeconds: 0 };
const ownSteps = [
  ['putLaunchTicket', null, 'ticket', TypeError],
  ['putLaunchTicket', { ...ticket, ttlSeconds: '1' }, 'ttlSeconds', TypeError],
  ['putLaunchTicket', { ...ticket, ttlSeconds: 2 ** 53 }, 'ttlSeconds'],
  ['putLaunchTicket', { ...ticket, username: 'lone \uDC00' }, 'username'],
  ['putLaunchTicket', { ...ticket, ticket: undefined }, 'ticket', TypeError],
  ['putPresenceSession', undefined, 'session', TypeError],
  ['putPresenceSession', { pid: 1n, logOffset: 0 }, 'pid', TypeError],
  ['putPresenceSession', { pid: 1, logOffset: 2 ** 53 }, 'logOffset'],
].map(([call, record, option, type]) => ({ call, record, error: { kind: 'argument', option, type } }));
ownSteps.push(
  {
    call: 'checkHealth',
    options: { signal: 'soon' },
    error: { kind: 'argument', option: 'signal', type: TypeError },
  },
  { call: 'takeLaunchTicket', returns: null },
);

test('a whole session: the shared steps, stop, and calls after it', async (t) => {
  const sidecar = await start({ token: cases.token });
  assert.equal(sidecar.url, `http://127.0.0.1:${sidecar.port}`);
  assert.equal(sidecar.launcherPid, process.pid);
  assert.ok(isRunning(sidecar.pid));
  assert.ok(!inspect(sidecar, { depth: 5 }).includes(sidecar.token), 'printing shows the token');
  const diagnostics = [];
  sidecar.on('diagnostic', (line) => diagnostics.push(line));

  for (const step of [...cases.session, ...ownSteps]) await runStep(t, sidecar, step);

  assert.deepEqual(await sidecar.stop(), { code: null, signal: 'SIGKILL' });
  assert.deepEqual(await sidecar.exited, { code: null, signal: 'SIGKILL' });
  assert.equal(isRunning(sidecar.pid), false);
  for (const step of cases.afterStop) await runStep(t, sidecar, step);
  await assert.rejects(sidecar.checkHealth(), {
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
    assert.equal(await sidecar.checkHealth(), undefined);
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
    assert.equal(await sidecar.checkHealth(), undefined);
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

test('defaultServicePath: the carried program, unpacked from an Electron app, or one shipped beside', () => {
  const { findService, unpackedPath } = kitModule('service-path');
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

  // Where the service lies, what the kit knows of its surroundings, and what it picks.
  const app = {
    packageFolder: '/opt/G/resources/app.asar/node_modules/k',
    platform: 'linux',
    arch: 'x64',
    resourcesPath: '/opt/G/resources',
    mainScript: 'dist/main.mjs',
    packagedElectron: false,
  };
  const carried =
    '/opt/G/resources/app.asar.unpacked/node_modules/k/service/linux-x64/korvessa-client-services';
  const resources = '/opt/G/resources/korvessa-client-services';
  const beside = join(process.cwd(), 'dist', 'korvessa-client-services');
  const windows = '/w/k/service/win32-x64/korvessa-client-services.exe';
  const picks = [
    [app, [carried, resources, beside], carried],
    [app, [resources, beside], resources],
    [app, [beside], beside],
    [{ ...app, packageFolder: undefined, resourcesPath: undefined }, [carried, resources, beside], beside],
    [{ ...app, platform: 'win32', packageFolder: '/w/k' }, [windows], windows],
    [{ ...app, platform: 'darwin', arch: 'arm64' }, [resources], resources],
  ];
  for (const [where, files, expected] of picks) {
    assert.equal(findService(where, (path) => files.includes(path)), expected, inspect(where));
  }
  // A packaged Electron app's argv[1] is the user's: nothing beside it is run.
  assert.throws(() => findService({ ...app, packagedElectron: true }, (path) => path === beside));
  // Found nowhere: every place looked in, and the three ways out.
  assert.throws(() => findService(app, () => false), (error) => {
    for (const said of [carried, resources, beside, 'servicePath', 'extraResources', 'external']) {
      assert.ok(error.message.includes(said), `${said}: ${error.message}`);
    }
    return true;
  });
  assert.throws(() => findService({ ...app, platform: 'darwin', arch: 'arm64' }, () => false), {
    message: /carries none for darwin-arm64\): it looked in \/opt\/G\/resources\/korvessa-client-s/,
  });

  // Both entries find the package's own folder.
  const manifest = createRequire(import.meta.url).resolve('korvessa-launcher-kit/package.json');
  const packageFolder = dirname(manifest);
  const own = join(packageFolder, 'service', 'linux-x64', 'korvessa-client-services');
  const found = (entry) => {
    try {
      return entry.defaultServicePath();
    } catch (error) {
      return error.message;
    }
  };
  assert.equal(found(kit), found(required));
  assert.ok(found(kit) === own || found(kit).includes(`looked in ${own} `), found(kit));
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
    await sidecar.checkHealth();
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
