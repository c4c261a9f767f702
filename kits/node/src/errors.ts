/// <reference types="node" preserve="true" />
// The one error type of the kit: every failure of starting the service or of a route call
// rejects with a SidecarError, and its kind tells the caller what went wrong. (Options and
// records that are wrong reject with a TypeError or RangeError before anything starts or is
// sent; an abort rejects with the signal's reason.)

/**
 * What went wrong:
 * - `'spawn'`: the service could not be started. The message says whether the path does not
 *   exist, is a directory or cannot be run; `code` is the system's code (e.g. `'ENOENT'`,
 *   `'EACCES'`). Also when no `servicePath` was given and defaultServicePath() found none.
 * - `'exited'`: the service ended before it announced its address; `status` or `signal` says
 *   how, `diagnostics` holds what it wrote to standard error.
 * - `'announce-timeout'`: no address line within `announceTimeoutMs`; the service was killed.
 * - `'bad-announcement'`: the first line on standard output is not an address line; the
 *   service was killed.
 * - `'http'`: a reply other than the one the route promises; `httpStatus` and `body` hold it.
 * - `'connection'`: the request could not be made or its reply not read (`code`, e.g.
 *   `'ECONNREFUSED'`, `'ETIMEDOUT'` after `requestTimeoutMs`), or the service has already ended
 *   (`status` or `signal` set, no request made).
 */
export type SidecarErrorKind =
  | 'spawn'
  | 'exited'
  | 'announce-timeout'
  | 'bad-announcement'
  | 'http'
  | 'connection';

/** The fields of a SidecarError, as its constructor takes them. */
export interface SidecarErrorDetails {
  /** The service's exit status ('exited', 'connection' after the end); null after a signal. */
  status?: number | null;
  /** The signal that ended the service ('exited', 'connection' after the end), or null. */
  signal?: NodeJS.Signals | null;
  /** The lines the service wrote to standard error before it ended ('exited'). */
  diagnostics?: string[];
  /** The HTTP status of the reply ('http'). */
  httpStatus?: number;
  /** The body of the reply ('http'). */
  body?: string;
  /** The system's error code, e.g. 'ENOENT' ('spawn') or 'ECONNREFUSED' ('connection'). */
  code?: string;
  /** The error that caused this one, when there is one. */
  cause?: unknown;
}

/** The error every failure of Sidecar.start() and of a route call rejects with. */
export class SidecarError extends Error {
  /** What went wrong; see SidecarErrorKind. */
  readonly kind: SidecarErrorKind;
  /**
   * The service's exit status, null when a signal ended it: set for 'exited', and for
   * 'connection' when the service had already ended; undefined otherwise.
   */
  readonly status: number | null | undefined;
  /** The signal that ended the service, or null: set where `status` is. */
  readonly signal: NodeJS.Signals | null | undefined;
  /** The lines the service wrote to standard error before it ended ('exited'); else empty. */
  readonly diagnostics: string[];
  /** The HTTP status of the reply ('http'). */
  readonly httpStatus: number | undefined;
  /** The whole body of the reply ('http'); it may hold a ticket, so it is not in the message. */
  readonly body: string | undefined;
  /** The system's error code ('spawn', 'connection'), e.g. 'ENOENT' or 'ECONNREFUSED'. */
  readonly code: string | undefined;

  constructor(kind: SidecarErrorKind, message: string, details: SidecarErrorDetails = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = 'SidecarError';
    this.kind = kind;
    this.status = details.status;
    this.signal = details.signal;
    this.diagnostics = details.diagnostics ?? [];
    this.httpStatus = details.httpStatus;
    this.body = details.body;
    this.code = details.code;
  }
}

// Texts that reach a message or an error field pass through here: a program that echoes its
// standard input would otherwise put the access token into a log.
export function withoutToken(text: string, token: string): string {
  return token.length === 0 ? text : text.split(token).join('<token>');
}

// The system's error code of a Node error, when it has one.
export function errorCode(error: unknown): string | undefined {
  if (typeof error === 'object' && error !== null && 'code' in error) {
    const code = (error as { code: unknown }).code;
    if (typeof code === 'string') return code;
  }
  return undefined;
}
