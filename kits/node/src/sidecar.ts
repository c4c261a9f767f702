/// <reference types="node" preserve="true" />
// The launcher's side of korvessa-client-services: start the service beside this process, hand
// it the configuration line, learn its address, call its routes, stop it.

import { spawn, type ChildProcess } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import { EventEmitter } from 'node:events';
import { stat } from 'node:fs/promises';
import type { Readable } from 'node:stream';

import { checkTimeout } from './checks.js';
import { SidecarError, errorCode, withoutToken } from './errors.js';
import { request, type Reply } from './http.js';
import { LineSplitter } from './lines.js';
import { callSignal, checkOptions, type CallOptions } from './options.js';
import { PROTOCOL, errorBody, recordJson, type Route } from './protocol.js';
import {
  checkLoginTicket,
  checkPresenceSession,
  isLoginTicket,
  type LoginTicket,
  type PresenceSession,
} from './records.js';
import { defaultServicePath } from './service-path.js';

/**
 * What Sidecar.start() takes. Wrong values reject with a TypeError or RangeError that names the
 * option, before anything is started.
 */
export interface SidecarOptions {
  /**
   * The korvessa-client-services executable (korvessa-client-services.exe on Windows); by
   * default the one defaultServicePath() finds.
   */
  servicePath?: string;
  /**
   * The game client directory, where the service follows the proxy log. Passed on as it is: it
   * may be empty and need not exist yet.
   */
  clientDir: string;
  /**
   * The access token, at least 32 characters of printable ASCII without spaces (0x21 to 0x7E);
   * by default a fresh one of 32 random bytes in hex.
   */
  token?: string;
  /**
   * The process the service stays beside and ends after, a whole number from 1 to 4294967295;
   * by default this one.
   */
  launcherPid?: number;
  /** How long to wait for the address line, in ms (more than 0); default 10000. */
  announceTimeoutMs?: number;
  /**
   * The time-out of each request, from connecting to the end of the reply, in ms (more than 0);
   * default 5000.
   */
  requestTimeoutMs?: number;
  /** The service's environment; by default this process's (as for child_process.spawn). */
  env?: NodeJS.ProcessEnv;
  /**
   * Aborts the start: it rejects with the signal's reason (an AbortError unless one was given),
   * as fetch does, and the service is killed and waited for.
   */
  signal?: AbortSignal;
}

/** How the service ended: its exit code, or the signal that ended it. */
export interface SidecarExit {
  code: number | null;
  signal: NodeJS.Signals | null;
}

const DEFAULT_ANNOUNCE_TIMEOUT_MS = 10_000;
const DEFAULT_REQUEST_TIMEOUT_MS = 5_000;
const NO_LAUNCH_SESSION_BODY = errorBody(PROTOCOL.errors.noLaunchSession);
const ROUTES = PROTOCOL.routes;
// The address line is about 30 bytes; anything much longer is not one.
const MAX_ANNOUNCEMENT_BYTES = 1024;
const MAX_DIAGNOSTIC_BYTES = 64 * 1024;
// What an 'exited' error keeps of the service's standard error.
const MAX_KEPT_DIAGNOSTICS = 100;

/** The port of an address line "http://127.0.0.1:PORT", or undefined. */
function announcedPort(line: string): number | undefined {
  const match = /^http:\/\/127\.0\.0\.1:([1-9][0-9]{0,4})$/.exec(line);
  if (!match) return undefined;
  const port = Number(match[1]);
  return port <= 65535 ? port : undefined;
}

// A line of the service's for a message: without the token, and not too long to read.
function clipped(text: string, token: string): string {
  const clean = withoutToken(text, token);
  return clean.length > 200 ? `${clean.slice(0, 200)}...` : clean;
}

// What start() waits for, whichever comes first.
type StartOutcome =
  | { what: 'line'; line: string }
  | { what: 'closed'; exit: SidecarExit }
  | { what: 'spawn-error'; error: unknown }
  | { what: 'timeout' }
  | { what: 'aborted' };

export interface Sidecar {
  /** Each line the service writes to standard error, without its line feed. */
  on(event: 'diagnostic', listener: (line: string) => void): this;
  once(event: 'diagnostic', listener: (line: string) => void): this;
  off(event: 'diagnostic', listener: (line: string) => void): this;
}

/**
 * A running korvessa-client-services beside this process. Start one with Sidecar.start().
 *
 * The sidecar does not keep Node running: when this process ends, the service notices within
 * about 100 ms and ends too, with status 0. stop() kills it at once.
 *
 * Each request takes up to about 100 ms: between its checks on the launcher the service looks
 * for a new connection only every 100 ms, so calls made one after another take about 100 ms
 * each. Calls made together are taken in the same round.
 */
export class Sidecar extends EventEmitter {
  /** "http://127.0.0.1:PORT", the address the service announced. */
  readonly url: string;
  readonly port: number;
  /** The service's process id. */
  readonly pid: number;
  /** The process the service stays beside. */
  readonly launcherPid: number;
  /** Settles when the service has ended (it never rejects). */
  readonly exited: Promise<SidecarExit>;
  readonly #child: ChildProcess;
  readonly #token: string;
  #requestTimeoutMs: number;

  private constructor(
    child: ChildProcess,
    exited: Promise<SidecarExit>,
    port: number,
    token: string,
    launcherPid: number,
    requestTimeoutMs: number,
  ) {
    super();
    this.#child = child;
    this.#token = token;
    this.exited = exited;
    this.port = port;
    this.url = `http://127.0.0.1:${port}`;
    this.pid = child.pid as number;
    this.launcherPid = launcherPid;
    this.#requestTimeoutMs = requestTimeoutMs;
  }

  /** The time-out of each request in milliseconds (more than 0; a RangeError otherwise). */
  get requestTimeoutMs(): number {
    return this.#requestTimeoutMs;
  }

  set requestTimeoutMs(value: number) {
    checkTimeout('requestTimeoutMs', value);
    this.#requestTimeoutMs = value;
  }

  /** The access token; hand it to whoever else talks to the service (the game client). */
  get token(): string {
    // A getter rather than a field, so that printing the sidecar does not print the token.
    return this.#token;
  }

  /**
   * Starts the service with "--launcher-pid", writes the configuration line and waits for the
   * address line. Rejects with a TypeError or RangeError for wrong options (nothing started),
   * with the signal's reason once `signal` aborts, else with a SidecarError; the service is
   * never left running then.
   */
  static async start(options: SidecarOptions): Promise<Sidecar> {
    checkOptions(options);
    const { signal } = options;
    signal?.throwIfAborted();
    const token = options.token ?? randomBytes(32).toString('hex');
    const launcherPid = options.launcherPid ?? process.pid;
    const announceTimeoutMs = options.announceTimeoutMs ?? DEFAULT_ANNOUNCE_TIMEOUT_MS;
    const configuration = recordJson(PROTOCOL.records.config, {
      token,
      clientDir: options.clientDir,
    });
    let servicePath: string;
    try {
      servicePath = options.servicePath ?? defaultServicePath();
    } catch (error) {
      throw new SidecarError('spawn', (error as Error).message, { cause: error });
    }

    let child: ChildProcess;
    try {
      child = spawn(servicePath, ['--launcher-pid', String(launcherPid)], {
        stdio: ['pipe', 'pipe', 'pipe'],
        env: options.env ?? process.env,
        windowsHide: true, // no console window for a console program started from a GUI
      });
    } catch (error) {
      throw await spawnFailure(servicePath, error);
    }

    let settle: (outcome: StartOutcome) => void = () => {};
    const outcome = new Promise<StartOutcome>((resolve) => {
      settle = resolve;
    });
    const exited = new Promise<SidecarExit>((resolve) => {
      child.once('close', (code: number | null, signal: NodeJS.Signals | null) => {
        resolve({ code, signal });
        settle({ what: 'closed', exit: { code, signal } });
      });
    });
    // After a failed spawn there is no process; 'error' later (a failed kill) changes nothing.
    child.on('error', (error) => {
      if (child.pid === undefined) settle({ what: 'spawn-error', error });
    });

    // Standard error is read from the start, so the service never blocks on a full pipe. Lines
    // are kept until start() has resolved: for an 'exited' error, or to be handed to the
    // listeners that the caller adds right after start() (the two pipes are read in no
    // particular order, so such lines may have been read before the address line).
    const early: string[] = [];
    let deliver: ((line: string) => void) | undefined;
    const errors = new LineSplitter(MAX_DIAGNOSTIC_BYTES, (line) => {
      if (deliver) deliver(line);
      else if (early.length < MAX_KEPT_DIAGNOSTICS) early.push(line);
    });
    pipe(child.stderr, errors);
    let announced = false;
    const output = new LineSplitter(MAX_ANNOUNCEMENT_BYTES, (line) => {
      if (announced) return; // the service writes nothing after the address line
      announced = true;
      settle({ what: 'line', line });
    });
    pipe(child.stdout, output);

    // The service reads one line and never looks at its input again. It may have ended before
    // taking it; its exit status says why.
    let refused = false;
    child.stdin?.on('error', () => {
      refused = true;
    });
    child.stdin?.end(`${configuration}\n`);

    const timer = setTimeout(() => settle({ what: 'timeout' }), announceTimeoutMs);
    const aborted = (): void => settle({ what: 'aborted' });
    signal?.addEventListener('abort', aborted, { once: true });
    const first = await outcome;
    clearTimeout(timer);
    signal?.removeEventListener('abort', aborted);

    switch (first.what) {
      case 'aborted':
        if (child.pid !== undefined) await kill(child, exited);
        throw signal?.reason;
      case 'spawn-error':
        throw await spawnFailure(servicePath, first.error);
      case 'closed': {
        const diagnostics = early.map((line) => withoutToken(line, token));
        const reason =
          diagnostics.length > 0
            ? ` (${clipped(diagnostics[0] as string, token)})`
            : refused
              ? ' (it did not take the configuration line)'
              : '';
        const ending =
          first.exit.code !== null
            ? `with status ${first.exit.code}`
            : `by signal ${first.exit.signal ?? 'unknown'}`;
        throw new SidecarError(
          'exited',
          `the service ended ${ending} before announcing its address${reason}`,
          { status: first.exit.code, signal: first.exit.signal, diagnostics },
        );
      }
      case 'timeout':
        await kill(child, exited);
        throw new SidecarError(
          'announce-timeout',
          `the service did not announce its address within ${announceTimeoutMs} ms`,
        );
      case 'line': {
        const port = announcedPort(first.line);
        if (port === undefined) {
          await kill(child, exited);
          const line = JSON.stringify(clipped(first.line, token));
          throw new SidecarError(
            'bad-announcement',
            `the service announced ${line} instead of its address`,
          );
        }
        const sidecar = new Sidecar(
          child,
          exited,
          port,
          token,
          launcherPid,
          options.requestTimeoutMs ?? DEFAULT_REQUEST_TIMEOUT_MS,
        );
        // From here on the service lives as long as this process does; it must not keep this
        // process alive in turn.
        child.unref();
        unref(child.stdout);
        unref(child.stderr);
        // After the caller's continuation has run: the lines kept so far, then each as it comes.
        setImmediate(() => {
          for (const line of early.splice(0)) sidecar.#diagnostic(line);
          deliver = (line) => sidecar.#diagnostic(line);
        });
        return sidecar;
      }
    }
  }

  /**
   * GET /health: resolves only on the service's health reply; any other reply rejects with
   * 'http' (its status and body), no answer at all with 'connection'.
   */
  async checkHealth(options?: CallOptions): Promise<void> {
    const reply = await this.#call(ROUTES.health, options);
    if (reply.status !== 200 || reply.body !== PROTOCOL.healthBody) {
      throw unexpected(ROUTES.health, reply);
    }
  }

  /**
   * PUT /launch/session: stores the ticket for the game client (replacing any held one). A
   * ticket that breaks a rule of LoginTicket rejects with a TypeError or RangeError naming the
   * field, and nothing is sent.
   */
  async putLaunchTicket(ticket: LoginTicket, options?: CallOptions): Promise<void> {
    checkLoginTicket(ticket);
    const body = recordJson(PROTOCOL.records.loginTicket, ticket);
    await this.#stored(ROUTES.putLaunchTicket, body, options);
  }

  /** GET /launch/session: takes the held ticket out of the service, or null when none is held. */
  async takeLaunchTicket(options?: CallOptions): Promise<LoginTicket | null> {
    const route = ROUTES.takeLaunchTicket;
    const reply = await this.#call(route, options);
    if (reply.status === 404 && reply.body === NO_LAUNCH_SESSION_BODY) return null;
    if (reply.status !== 200) throw unexpected(route, reply);
    let value: unknown;
    try {
      value = JSON.parse(reply.body);
    } catch {
      value = undefined;
    }
    if (!isLoginTicket(value)) {
      // The body is a ticket's secrets, or garbage: it goes into the error, not the message.
      throw new SidecarError(
        'http',
        `${route.method} ${route.path} answered ${reply.statusText} with a body that is not a ` +
          'launch ticket',
        { httpStatus: reply.status, body: reply.body },
      );
    }
    const members = PROTOCOL.records.loginTicket.map((name) => [name, value[name]]);
    return Object.fromEntries(members) as unknown as LoginTicket;
  }

  /**
   * PUT /presence/session: registers the running game for presence. A session that breaks a
   * rule of PresenceSession rejects with a TypeError or RangeError naming the field, and
   * nothing is sent.
   */
  async putPresenceSession(session: PresenceSession, options?: CallOptions): Promise<void> {
    checkPresenceSession(session);
    const body = recordJson(PROTOCOL.records.presenceSession, session);
    await this.#stored(ROUTES.putPresenceSession, body, options);
  }

  /**
   * Kills the service at once (SIGKILL; on Windows TerminateProcess) and resolves with how it
   * ended, at once if it already had. The service is not asked to finish anything: a held
   * ticket is lost, and its activity stays until Discord notices the closed connection. Later
   * calls reject with 'connection' without a request. To let the service end by itself,
   * simply end this process.
   */
  async stop(): Promise<SidecarExit> {
    return kill(this.#child, this.exited);
  }

  async #stored(route: Route, body: string, options: CallOptions | undefined): Promise<void> {
    const reply = await this.#call(route, options, body);
    if (reply.status !== 204) throw unexpected(route, reply);
  }

  async #call(route: Route, options: CallOptions | undefined, body?: string): Promise<Reply> {
    const signal = callSignal(options);
    signal?.throwIfAborted();
    const what = `${route.method} ${route.path}`;
    this.#failIfEnded(what);
    try {
      return await request({
        port: this.port,
        token: this.#token,
        route,
        ...(body === undefined ? {} : { body }),
        timeoutMs: this.#requestTimeoutMs,
        signal,
      });
    } catch (error) {
      // The service may have died while the request was on its way: say so rather than the
      // connection's code. An abort stays the caller's.
      if (error instanceof SidecarError) this.#failIfEnded(what);
      throw error;
    }
  }

  // Each listener in turn, with the line. One that throws neither keeps the line from the
  // others nor stops the reading of standard error: its exception is dropped.
  #diagnostic(line: string): void {
    for (const listener of this.rawListeners('diagnostic')) {
      try {
        (listener as (line: string) => void).call(this, line);
      } catch {
        // The listener's own fault; the service's lines go on.
      }
    }
  }

  // A call after the service has ended fails without a request; the child's own exit fields
  // are set as soon as it is known to have ended (before its pipes close).
  #failIfEnded(what: string): void {
    const status = this.#child.exitCode;
    const signal = this.#child.signalCode;
    if (status === null && signal === null) return;
    const how = status !== null ? `with status ${status}` : `by signal ${signal}`;
    throw new SidecarError(
      'connection',
      `${what}: the service has ended (${how}); start a new sidecar to go on`,
      { status, signal },
    );
  }
}

// Why the service could not be started, in words a launcher developer can act on: the system's
// code alone (EACCES for a directory and for a file without the run bit alike) does not say.
async function spawnFailure(servicePath: string, error: unknown): Promise<SidecarError> {
  const code = errorCode(error);
  const what = `the service ${JSON.stringify(servicePath)}`;
  let found: Awaited<ReturnType<typeof stat>> | undefined;
  try {
    found = await stat(servicePath);
  } catch {
    found = undefined;
  }
  let reason: string;
  if (found === undefined) {
    reason =
      'it does not exist. Pass the path of korvessa-client-services as servicePath, or leave ' +
      'servicePath out to use the one this package carries (in an Electron app, unpacked from ' +
      'app.asar)';
  } else if (found.isDirectory()) {
    reason = 'it is a directory. servicePath must name the korvessa-client-services program itself';
  } else {
    const detail = error instanceof Error ? error.message : String(error);
    reason =
      `it cannot be run (${detail}). It needs the run bit (chmod +x) on a file system that ` +
      'allows programs, and must be a program for this system';
  }
  return new SidecarError('spawn', `${what} could not be started: ${reason}`, {
    ...(code === undefined ? {} : { code }),
    cause: error,
  });
}

function unexpected(route: Route, reply: Reply): SidecarError {
  const body = reply.body.length > 200 ? `${reply.body.slice(0, 200)}...` : reply.body;
  const what = `${route.method} ${route.path}`;
  const message = `${what} answered ${reply.statusText}${body ? ` ${body}` : ''}`;
  return new SidecarError('http', message, { httpStatus: reply.status, body: reply.body });
}

function pipe(stream: Readable | null, lines: LineSplitter): void {
  if (!stream) return;
  stream.on('data', (chunk: Buffer) => lines.push(chunk));
  stream.on('end', () => lines.end());
  stream.on('error', () => {}); // the process's own end is reported by 'close'
}

function unref(stream: Readable | null): void {
  (stream as { unref?: () => void } | null)?.unref?.();
}

// Kills the service (if it still runs) and waits until it has ended and its pipes are closed.
// The wait holds this process open, so a launcher that stops the service sees it go.
async function kill(child: ChildProcess, exited: Promise<SidecarExit>): Promise<SidecarExit> {
  const held = [child, child.stdout, child.stderr];
  held.forEach((handle) => (handle as { ref?: () => void } | null)?.ref?.());
  try {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    return await exited;
  } finally {
    held.forEach((handle) => (handle as { unref?: () => void } | null)?.unref?.());
  }
}
