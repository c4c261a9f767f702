// Shared by the tests: where the service is, a private place for each run, stand-in programs.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { chmod, mkdtemp, readFile, rm, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';
import { after } from 'node:test';

// The built service: KCS_SERVICE, or the default build of this repository.
export const servicePath =
  process.env.KCS_SERVICE ??
  resolve(dirname(fileURLToPath(import.meta.url)), '../../../build/korvessa-client-services');

// The cases every launcher kit's tests run alike: KCS_CASES, or kits/cases.json beside this kit.
export const cases = JSON.parse(
  readFileSync(
    process.env.KCS_CASES ?? resolve(dirname(fileURLToPath(import.meta.url)), '../../cases.json'),
    'utf8',
  ),
);

export const scratch = await mkdtemp(join(tmpdir(), 'kcs-node-kit-'));
after(() => rm(scratch, { recursive: true, force: true }));

// A private runtime directory, so that a registered presence never reaches a real Discord.
export const serviceEnv = { ...process.env, XDG_RUNTIME_DIR: await mkdtemp(join(scratch, 'rt-')) };
await chmod(serviceEnv.XDG_RUNTIME_DIR, 0o700);

let programs = 0;
// A stand-in for the service: a shell script with this body. It first writes its pid to a file,
// so a test can tell whether the kit left it running; `program.pid()` reads it.
export async function program(body) {
  const path = join(scratch, `program-${++programs}.sh`);
  const pidFile = `${path}.pid`;
  await writeFile(path, `#!/bin/sh\necho $$ > '${pidFile}'\n${body}\n`, { mode: 0o755 });
  return { path, pid: async () => Number(await readFile(pidFile, 'utf8')) };
}

// Whether the process runs: it exists and is not a zombie. A process whose parent has gone
// waits as a zombie until the system's first process reaps it, which may take a while.
export function isRunning(pid) {
  try {
    process.kill(pid, 0);
  } catch (error) {
    return error.code !== 'ESRCH';
  }
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(') ') + 2)[0] !== 'Z';
  } catch {
    return false;
  }
}

export const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// The promise's value, or 'timed out' after ms. The timer holds the process open meanwhile.
export async function within(promise, ms) {
  let timer;
  const late = new Promise((done) => (timer = setTimeout(() => done('timed out'), ms)));
  try {
    return await Promise.race([promise, late]);
  } finally {
    clearTimeout(timer);
  }
}

// Whether the process is gone altogether: not even a zombie waiting to be reaped.
export function isGone(pid) {
  try {
    process.kill(pid, 0);
    return false;
  } catch (error) {
    return error.code === 'ESRCH';
  }
}

// How a promise settled: { value } or { error }.
export const settled = (promise) => promise.then((value) => ({ value }), (error) => ({ error }));

// A module of the installed kit's CommonJS build that its entry does not export.
export function kitModule(name) {
  const require = createRequire(import.meta.url);
  return require(join(dirname(require.resolve('korvessa-launcher-kit')), `${name}.js`));
}

// The table's option and field names as this kit spells them.
export const kitName = (name) =>
  ({ announceTimeout: 'announceTimeoutMs', requestTimeout: 'requestTimeoutMs' })[name] ?? name;

// An 'argument' failure: the type the kit throws (RangeError for a value of the right type,
// unless the row says), a message that begins with the name, and nothing else.
export function assertRefused(error, expected, label) {
  const type = expected.type ?? RangeError;
  assert.ok(error instanceof type, `${label}: ${error}`);
  assert.ok(error.message.startsWith(`${kitName(expected.option)} `), `${label}: ${error.message}`);
}
