// Every way a start can fail arrives as its SidecarError, and leaves nothing running.
import assert from 'node:assert/strict';
import { access, writeFile } from 'node:fs/promises';
import { join } from 'node:path';
import { test } from 'node:test';

import { Sidecar, SidecarError } from 'korvessa-launcher-kit';

import { isRunning, program, scratch, serviceEnv, servicePath, sleep } from './fixtures.mjs';

const token = 'a0'.repeat(32);

const cases = [
  {
    name: 'a missing executable',
    options: async () => ({ servicePath: join(scratch, 'no-such-service') }),
    expected: { kind: 'spawn', code: 'ENOENT' },
    message: /could not be started: it does not exist\. Pass the path/,
  },
  {
    name: 'a directory',
    options: async () => ({ servicePath: scratch }),
    expected: { kind: 'spawn', code: 'EACCES' },
    message: /could not be started: it is a directory\./,
  },
  {
    name: 'a file without the run bit',
    options: async () => {
      const path = join(scratch, 'not-runnable');
      await writeFile(path, '#!/bin/sh\n', { mode: 0o644 });
      return { servicePath: path };
    },
    expected: { kind: 'spawn', code: 'EACCES' },
    message: /could not be started: it cannot be run \(.*\)\. It needs the run bit \(chmod \+x\)/,
  },
  {
    name: 'a launcher pid that no process has',
    options: async () => ({ servicePath, launcherPid: 2147483647 }),
    expected: { kind: 'exited', status: 4 },
  },
  {
    // It echoes the configuration line, token and all: the message must not repeat it.
    name: 'a program that prints something else first',
    stayed: 'read line; printf "%s\\n" "$line"; exec sleep 60',
    expected: { kind: 'bad-announcement' },
  },
  {
    name: 'a program that prints nothing',
    stayed: 'exec sleep 60',
    announceTimeoutMs: 300,
    expected: { kind: 'announce-timeout' },
  },
];

for (const { name, options, stayed, announceTimeoutMs, expected, message } of cases) {
  test(`start fails on ${name}`, async () => {
    const standIn = stayed === undefined ? undefined : await program(stayed);
    const given = standIn ? { servicePath: standIn.path } : await options();
    const error = await Sidecar.start({
      clientDir: scratch,
      token,
      env: serviceEnv,
      ...(announceTimeoutMs ? { announceTimeoutMs } : {}),
      ...given,
    }).then(
      () => assert.fail('the start succeeded'),
      (failure) => failure,
    );
    assert.ok(error instanceof SidecarError, String(error));
    assert.equal(error.name, 'SidecarError');
    for (const [key, value] of Object.entries(expected)) assert.deepEqual(error[key], value, key);
    if (message) assert.match(error.message, message);
    assert.ok(!error.message.includes(token) && !JSON.stringify(error).includes(token));
    if (standIn) assert.equal(isRunning(await standIn.pid()), false, 'the program was left running');
  });
}

// Options a launcher got wrong: refused before anything starts, naming the option alone.
const secret = 'x'.repeat(31);
const wrongOptions = [
  [{ token: secret }, RangeError, /^token must be at least 32 bytes/],
  [{ token: '鍵'.repeat(10) }, RangeError, /^token must be at least 32 bytes/], // 30 bytes
  [{ token: 42 }, TypeError, /^token must be a string/],
  [{ launcherPid: 0 }, RangeError, /^launcherPid must be a whole number from 1 to 4294967295/],
  [{ launcherPid: -5 }, RangeError, /^launcherPid /],
  [{ launcherPid: 1.5 }, RangeError, /^launcherPid /],
  [{ launcherPid: 4294967296 }, RangeError, /^launcherPid /],
  [{ launcherPid: '123' }, TypeError, /^launcherPid must be a number/],
  [{ announceTimeoutMs: 0 }, RangeError, /^announceTimeoutMs must be more than 0/],
  [{ announceTimeoutMs: NaN }, RangeError, /^announceTimeoutMs /],
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
    assert.ok(!error.message.includes(secret));
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
