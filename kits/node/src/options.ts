// The checks of Sidecar.start()'s options and of each call's options, made before anything
// starts or is sent (see checks.ts for the errors).

import {
  MAX_PID,
  checkObject,
  checkSignal,
  checkText,
  checkTimeout,
  checkToken,
  checkWholeNumber,
} from './checks.js';

// The options as given, which a JavaScript caller may have got wrong in any way.
interface GivenOptions {
  servicePath?: unknown;
  clientDir?: unknown;
  token?: unknown;
  launcherPid?: unknown;
  announceTimeoutMs?: unknown;
  requestTimeoutMs?: unknown;
  env?: unknown;
  signal?: unknown;
}

export function checkOptions(options: GivenOptions): void {
  if (typeof options !== 'object' || options === null) {
    throw new TypeError('Sidecar.start() takes an options object');
  }
  if (options.servicePath !== undefined) {
    checkText('servicePath', options.servicePath);
    if (options.servicePath === '') throw new RangeError('servicePath must not be empty');
  }
  checkText('clientDir', options.clientDir);
  if (options.token !== undefined) checkToken(options.token);
  if (options.launcherPid !== undefined) {
    checkWholeNumber('launcherPid', options.launcherPid, 1, MAX_PID);
  }
  checkTimeout('announceTimeoutMs', options.announceTimeoutMs);
  checkTimeout('requestTimeoutMs', options.requestTimeoutMs);
  if (options.env !== undefined) checkObject('env', options.env);
  checkSignal(options.signal);
}

/** What every route call takes besides its record. */
export interface CallOptions {
  /** Aborts the call: it rejects with the signal's reason, as fetch does. */
  signal?: AbortSignal;
}

// The signal of a call's options, if any.
export function callSignal(options: unknown): AbortSignal | undefined {
  if (options === undefined) return undefined;
  checkObject('options', options);
  return checkSignal((options as { signal?: unknown }).signal);
}
