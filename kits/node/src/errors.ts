// The one error type of the kit: every failure of starting the service or of a route call
// rejects with a SidecarError, and its kind tells the caller what went wrong.

export type SidecarErrorKind =
  | 'spawn' // the executable could not be started
  | 'exited' // the service ended before it announced its address
  | 'announce-timeout' // no address line within announceTimeoutMs
  | 'bad-announcement' // the first line on standard output is not an address line
  | 'http' // a reply other than the one the route promises
  | 'connection'; // the request could not be made or its reply not read

export interface SidecarErrorDetails {
  /** The service's exit status ('exited'; null when a signal ended it). */
  status?: number | null;
  /** The signal that ended the service ('exited'), or null. */
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

export class SidecarError extends Error {
  readonly kind: SidecarErrorKind;
  readonly status: number | null | undefined;
  readonly signal: NodeJS.Signals | null | undefined;
  readonly diagnostics: string[];
  readonly httpStatus: number | undefined;
  readonly body: string | undefined;
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
