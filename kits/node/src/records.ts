// The records the routes carry, and the rules each field meets before it is sent.

import { MAX_EXACT, MAX_PID, checkObject, checkText, checkWholeNumber } from './checks.js';

/** A launch ticket as PUT /launch/session takes it and GET /launch/session hands it back. */
export interface LoginTicket {
  /** Any text. */
  username: string;
  /** Must begin with "!". */
  clientLogin: string;
  /** Must not be empty. */
  ticket: string;
  /** Kept for the game client, unread by the service. Any text. */
  expiresAt: string;
  /**
   * Kept for the game client, unread by the service. A whole number from 0 to 2^53-1 (the
   * service takes up to 2^64-1; a JavaScript number holds whole numbers exactly up to 2^53-1).
   */
  ttlSeconds: number;
}

/** The running game as PUT /presence/session registers it. */
export interface PresenceSession {
  /** The game's process id, a whole number from 1 to 4294967295. */
  pid: number;
  /** The proxy log's size just before the game started (see proxyLogOffset), 0 to 2^53-1. */
  logOffset: number;
}

export function checkLoginTicket(value: unknown): asserts value is LoginTicket {
  checkObject('ticket', value);
  const ticket = value as Record<string, unknown>;
  checkText('username', ticket['username']);
  checkText('clientLogin', ticket['clientLogin']);
  if (!(ticket['clientLogin'] as string).startsWith('!')) {
    throw new RangeError('clientLogin must begin with "!"');
  }
  checkText('ticket', ticket['ticket']);
  if (ticket['ticket'] === '') throw new RangeError('ticket must not be empty');
  checkText('expiresAt', ticket['expiresAt']);
  checkWholeNumber('ttlSeconds', ticket['ttlSeconds'], 0, MAX_EXACT);
}

export function checkPresenceSession(value: unknown): asserts value is PresenceSession {
  checkObject('session', value);
  const session = value as Record<string, unknown>;
  checkWholeNumber('pid', session['pid'], 1, MAX_PID);
  checkWholeNumber('logOffset', session['logOffset'], 0, MAX_EXACT);
}

// Whether a reply's body is a launch ticket. Its ttlSeconds may be beyond what a number holds
// exactly (another client may have stored it): it is handed on as the nearest number.
export function isLoginTicket(value: unknown): value is LoginTicket {
  if (typeof value !== 'object' || value === null || Array.isArray(value)) return false;
  const record = value as Record<string, unknown>;
  const ttl = record['ttlSeconds'];
  return (
    ['username', 'clientLogin', 'ticket', 'expiresAt'].every(
      (name) => typeof record[name] === 'string',
    ) &&
    typeof ttl === 'number' &&
    Number.isInteger(ttl) &&
    ttl >= 0
  );
}
