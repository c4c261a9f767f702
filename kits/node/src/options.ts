// The checks of Sidecar.start()'s options, made before anything starts. A wrong type rejects
// with a TypeError, a value out of range with a RangeError; each names the option and never
// repeats the token.

// Node's timers take at most 2^31-1 ms; a longer delay would fire at once.
const MAX_TIMEOUT_MS = 2_147_483_647;
const MAX_PID = 4_294_967_295;

// The options as given, which a JavaScript caller may have got wrong in any way.
interface GivenOptions {
  servicePath?: unknown;
  clientDir?: unknown;
  token?: unknown;
  launcherPid?: unknown;
  announceTimeoutMs?: unknown;
  requestTimeoutMs?: unknown;
  env?: unknown;
}

function checkString(name: string, value: unknown, optional: boolean): void {
  if (value === undefined && optional) return;
  if (typeof value !== 'string') throw new TypeError(`${name} must be a string`);
}

export function checkTimeout(name: string, value: unknown): void {
  if (value === undefined) return;
  if (typeof value !== 'number') throw new TypeError(`${name} must be a number`);
  if (!(value > 0 && value <= MAX_TIMEOUT_MS)) {
    throw new RangeError(`${name} must be more than 0 and at most ${MAX_TIMEOUT_MS} ms`);
  }
}

export function checkOptions(options: GivenOptions): void {
  if (typeof options !== 'object' || options === null) {
    throw new TypeError('Sidecar.start() takes an options object');
  }
  checkString('servicePath', options.servicePath, true);
  if (options.servicePath === '') throw new RangeError('servicePath must not be empty');
  checkString('clientDir', options.clientDir, false);
  checkString('token', options.token, true);
  if (typeof options.token === 'string' && Buffer.byteLength(options.token, 'utf8') < 32) {
    throw new RangeError('token must be at least 32 bytes long (in UTF-8)');
  }
  const pid = options.launcherPid;
  if (pid !== undefined) {
    if (typeof pid !== 'number') throw new TypeError('launcherPid must be a number');
    if (!Number.isInteger(pid) || pid < 1 || pid > MAX_PID) {
      throw new RangeError(`launcherPid must be a whole number from 1 to ${MAX_PID}`);
    }
  }
  checkTimeout('announceTimeoutMs', options.announceTimeoutMs);
  checkTimeout('requestTimeoutMs', options.requestTimeoutMs);
  if (options.env !== undefined && (typeof options.env !== 'object' || options.env === null)) {
    throw new TypeError('env must be an object');
  }
}
