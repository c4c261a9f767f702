// Every way a start can fail arrives as its SidecarError, and leaves nothing running.
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { test } from 'node:test';

import { Sidecar, SidecarError } from 'korvessa-launcher-kit';

import { isRunning, program, scratch, serviceEnv, servicePath } from './fixtures.mjs';

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
