// Every way a start can fail arrives as its error and leaves nothing running; every start the
// table says succeeds does: the rows every kit runs (kits/cases.json), and what this kit adds.
import assert from 'node:assert/strict';
import { access, mkdir, readFile, writeFile } from 'node:fs/promises';
import { join } from 'node:path';
import { test } from 'node:test';

import { Sidecar, SidecarError } from 'korvessa-launcher-kit';

import {
  assertRefused,
  cases,
  isGone,
  isRunning,
  program,
  scratch,
  serviceEnv,
  servicePath,
  settled,
  sleep,
} from './fixtures.mjs';

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

// Options a JavaScript launcher can get wrong beyond the shared rows.
const ownRows = [
  ['a token that is not a string', { token: 42 }, 'token', TypeError],
  ['a token of 32 bytes in 16 letters', { token: 'ü'.repeat(16) }, 'token'],
  ['a launcher process id given as text', { launcherPid: '123' }, 'launcherPid', TypeError],
  ['an announce time-out of NaN', { announceTimeoutMs: NaN }, 'announceTimeoutMs'],
  ['a request time-out of 2^31 ms', { requestTimeoutMs: 2 ** 31 }, 'requestTimeoutMs'],
  ['a request time-out given as text', { requestTimeoutMs: '5' }, 'requestTimeoutMs', TypeError],
  ['no client directory', { clientDir: undefined }, 'clientDir', TypeError],
  ['a client directory with a lone surrogate', { clientDir: 'C:\\\uD800' }, 'clientDir'],
  ['a signal that is not an AbortSignal', { signal: {} }, 'signal', TypeError],
].map(([name, options, option, type]) => ({ name, options, error: { kind: 'argument', option, type } }));

// A program that records its start and would announce an address: a start refused at the call
// must not have run it.
const recorder = () => program('read line; echo http://127.0.0.1:9; exec sleep 60');

for (const row of [...cases.startFailures, ...ownRows]) {
  test(`start fails on ${row.name}`, async () => {
    const expected = row.error;
    const standIn = row.standIn === undefined ? undefined : await program(row.standIn);
    const refused = expected.kind === 'argument' ? await recorder() : undefined;
    const [path, code, message] = standIns[row.service] ?? [(standIn ?? refused)?.path ?? servicePath];
    const readBack = join(scratch, `${row.name.replace(/\W+/g, '-')}.line`);
    const options = { servicePath: path, clientDir: scratch, token: cases.token, ...row.options };
    const env = { ...serviceEnv, ...(row.readBack ? { KCS_READ_BACK: readBack } : {}) };
    const { error } = await settled(Sidecar.start({ ...options, env }));
    assert.ok(error !== undefined, 'the start succeeded');
    if (expected.kind === 'argument') {
      assertRefused(error, expected, row.name);
      await assert.rejects(access(`${refused.path}.pid`), { code: 'ENOENT' }, 'it was started');
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
    const token = String(options.token);
    for (const shown of [error.message, ...Object.values(error).map(String)]) {
      assert.ok(!shown.includes(token), shown);
    }
    if (standIn) assert.equal(isRunning(await standIn.pid()), false, 'the program was left running');
    if (row.readBack) {
      // The line the program read, parsed here: an object of exactly the options given.
      const line = JSON.parse(await readFile(readBack, 'utf8'));
      assert.deepEqual(Object.keys(line), cases.protocol.records.config);
      assert.deepEqual(line, { token: options.token, clientDir: options.clientDir });
    }
  });
}

for (const row of cases.starts) {
  test(`start succeeds with ${row.name}`, async () => {
    const standIn = row.standIn === undefined ? undefined : await program(row.standIn);
    const sidecar = await Sidecar.start({
      servicePath: standIn?.path ?? servicePath,
      clientDir: scratch,
      env: serviceEnv,
      ...row.options,
    });
    try {
      if ('port' in row) assert.equal(sidecar.port, row.port);
      if (row.options?.launcherPid) assert.equal(sidecar.launcherPid, row.options.launcherPid);
      for (const step of row.then ?? []) {
        assert.equal(step.call, 'checkHealth'); // the only call these rows make
        assert.equal(await sidecar.checkHealth(), step.returns ?? undefined);
      }
    } finally {
      await sidecar.stop();
    }
  });
}

test('an aborted start rejects as fetch does and leaves no process', async () => {
  // Aborted before: nothing is started, and the reason is the default AbortError.
  const refused = await recorder();
  const options = { servicePath: refused.path, clientDir: scratch };
  const { error } = await settled(Sidecar.start({ ...options, signal: AbortSignal.abort() }));
  assert.ok(error instanceof DOMException && error.name === 'AbortError', String(error));
  await assert.rejects(access(`${refused.path}.pid`), { code: 'ENOENT' }, 'it was started');

  // Aborted while it waits for the address: the program is killed and reaped, and the start
  // rejects with the signal's own reason.
  const silent = await program('exec sleep 60');
  const controller = new AbortController();
  const { signal } = controller;
  const started = settled(Sidecar.start({ servicePath: silent.path, clientDir: scratch, signal }));
  const pid = await (async () => {
    for (;;) {
      const found = await silent.pid().catch(() => 0);
      if (found > 0) return found;
      await sleep(20);
    }
  })();
  const reason = new Error('the user closed the launcher');
  controller.abort(reason);
  assert.equal((await started).error, reason);
  assert.ok(isGone(pid), 'the program was left behind');
});

test('lines arrive whole, a chatty start does not block, a throwing listener stops nothing', async () => {
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
  sidecar.on('diagnostic', () => {
    throw new Error('a listener of the launcher went wrong');
  });
  sidecar.on('diagnostic', (line) => lines.push(line));
  for (let waited = 0; !lines.includes('ü two') && waited < 5000; waited += 50) await sleep(50);
  await sidecar.stop();
  // The lines from before start() resolved come first, a long one cut into 64 KiB pieces.
  const shown = lines.map((line) => (line.length > 100 ? `${line.length} bytes` : line));
  assert.deepEqual(shown, [...Array(16).fill('65536 bytes'), 'one', 'ü two', 'three']);
});
