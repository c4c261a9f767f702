// Every way a start can fail arrives as its SidecarError, and leaves nothing running: the rows
// every kit runs (kits/cases.json), and what this kit adds to them.
import assert from 'node:assert/strict';
import { access, mkdir, writeFile } from 'node:fs/promises';
import { join } from 'node:path';
import { test } from 'node:test';

import { Sidecar, SidecarError } from 'korvessa-launcher-kit';

import { cases, isRunning, program, scratch, serviceEnv, servicePath, sleep } from './fixtures.mjs';

// What stands at the service path in place of the built service, and what this kit adds to the
// shared rows' expectations for it: the system's code and the advice in its message.
const services = join(scratch, 'services');
await mkdir(services);
await writeFile(join(services, 'not-runnable'), '#!/bin/sh\n', { mode: 0o644 });
const standIns = {
  missing: [join(services, 'no-such-service'), 'ENOENT', /: it does not exist\. Pass the path/],
  directory: [services, 'EACCES', /: it is a directory\. servicePath must name/],
  'not-runnable': [
    join(services, 'not-runnable'),
    'EACCES',
    /: it cannot be run \(.*\)\. It needs the run bit/,
  ],
};
// The shared rows' option names as this kit spells them.
const optionNames = {
  token: 'token',
  launcherPid: 'launcherPid',
  announceTimeout: 'announceTimeoutMs',
};

for (const row of cases.startFailures) {
  test(`start fails on ${row.name}`, async () => {
    const standIn = row.standIn === undefined ? undefined : await program(row.standIn);
    const [path, code, message] = standIns[row.service] ?? [standIn?.path ?? servicePath];
    const error = await Sidecar.start({
      servicePath: path,
      clientDir: scratch,
      token: cases.token,
      env: serviceEnv,
      ...row.options,
    }).then(
      () => assert.fail('the start succeeded'),
      (failure) => failure,
    );
    const expected = row.error;
    if (expected.kind === 'argument') {
      assert.ok(error instanceof RangeError || error instanceof TypeError, String(error));
      assert.ok(error.message.startsWith(`${optionNames[expected.option]} `), error.message);
    } else {
      assert.ok(error instanceof SidecarError, String(error));
      assert.equal(error.name, 'SidecarError');
      assert.equal(error.kind, expected.kind);
      if ('exitStatus' in expected) assert.equal(error.status, expected.exitStatus);
      if ('diagnostics' in expected) assert.deepEqual(error.diagnostics, expected.diagnostics);
      if (code) assert.equal(error.code, code);
      if (message) assert.match(error.message, message);
    }
    if ('says' in expected) assert.ok(error.message.includes(expected.says), error.message);
    for (const shown of [error.message, JSON.stringify(error)]) {
      assert.ok(!shown.includes(cases.token) && !shown.includes('x'.repeat(31)), shown);
    }
    if (standIn) assert.equal(isRunning(await standIn.pid()), false, 'the program was left running');
  });
}

// Options a launcher got wrong beyond the shared rows: refused before anything starts, naming
// the option alone.
const wrongOptions = [
  [{ token: '鍵'.repeat(10) }, RangeError, /^token must be at least 32 bytes/], // 30 bytes
  [{ token: 42 }, TypeError, /^token must be a string/],
  [{ launcherPid: -5 }, RangeError, /^launcherPid must be a whole number from 1 to 4294967295/],
  [{ launcherPid: 1.5 }, RangeError, /^launcherPid /],
  [{ launcherPid: 4294967296 }, RangeError, /^launcherPid /],
  [{ launcherPid: '123' }, TypeError, /^launcherPid must be a number/],
  [{ announceTimeoutMs: NaN }, RangeError, /^announceTimeoutMs must be more than 0/],
  [{ requestTimeoutMs: -1 }, RangeError, /^requestTimeoutMs must be more than 0/],
  [{ requestTimeoutMs: Infinity }, RangeError, /^requestTimeoutMs /],
  [{ clientDir: undefined }, TypeError, /^clientDir must be a string/],
  [{ servicePath: '' }, RangeError, /^servicePath must not be empty/],
];

test('wrong options are refused before anything starts', async () => {
  for (const [given, type, message] of wrongOptions) {
    const standIn = await program('read line; echo http://127.0.0.1:9; exec sleep 60');
    const options = { servicePath: standIn.path, clientDir: scratch, ...given };
    const error = await Sidecar.start(options).then(assert.fail, (failure) => failure);
    assert.ok(error instanceof type, `${JSON.stringify(given)}: ${error}`);
    assert.match(error.message, message);
    await assert.rejects(access(`${standIn.path}.pid`), { code: 'ENOENT' }, 'it was started');
  }
});

test('lines arrive whole, and a chatty start does not block', async () => {
  // A megabyte without a line feed on standard error before the address line: a kit that did
  // not read the pipe all along would leave the program blocked and time out. Then the address
  // line in two writes, a line split inside a UTF-8 sequence, a CRLF line and a last line
  // without a line feed.
  const standIn = await program(
    "head -c 1048576 /dev/zero >&2; read line; printf http://127.0.0; sleep 0.2; echo .1:9\n" +
      "printf 'one\\n\\303' >&2; sleep 0.2; printf '\\274 two\\r\\nthree' >&2; exec sleep 60",
  );
  const sidecar = await Sidecar.start({ servicePath: standIn.path, clientDir: scratch });
  assert.equal(sidecar.url, 'http://127.0.0.1:9');
  const lines = [];
  sidecar.on('diagnostic', (line) => lines.push(line));
  for (let waited = 0; !lines.includes('ü two') && waited < 5000; waited += 50) await sleep(50);
  await sidecar.stop();
  // The lines from before start() resolved come first, a long one cut into 64 KiB pieces.
  const shown = lines.map((line) => (line.length > 100 ? `${line.length} bytes` : line));
  assert.deepEqual(shown, [...Array(16).fill('65536 bytes'), 'one', 'ü two', 'three']);
});
