// Every way a start can fail arrives as its SidecarError, and leaves nothing running.
import assert from 'node:assert/strict';
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
  },
  {
    name: 'a token of 31 bytes',
    options: async () => ({ servicePath, token: 'x'.repeat(31) }),
    expected: { kind: 'exited', status: 3, diagnostics: ['launcher configuration is incomplete'] },
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

for (const { name, options, stayed, announceTimeoutMs, expected } of cases) {
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
    assert.ok(!error.message.includes(token) && !JSON.stringify(error).includes(token));
    assert.ok(!error.message.includes('x'.repeat(31)));
    if (standIn) assert.equal(isRunning(await standIn.pid()), false, 'the program was left running');
  });
}

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
