// One request to the service and its whole reply. The service reads exactly one request per
// connection and closes it after its reply, so every call opens a connection of its own (no
// agent, no keep-alive) and the reply is read to its end.

import * as http from 'node:http';

import { SidecarError, errorCode } from './errors.js';
import { PROTOCOL, type Route } from './protocol.js';

export interface Reply {
  status: number;
  statusText: string; // "204 No Content": the code and the reason phrase
  body: string;
}

export interface HttpCall {
  port: number;
  token: string; // printable ASCII, checked at the start
  route: Route;
  body?: string; // JSON, sent with its content-type and content-length
  timeoutMs: number; // for the whole exchange, from connecting to the last byte of the reply
  signal?: AbortSignal | undefined; // not aborted yet: the caller has looked
}

function cutShort(): Error {
  return Object.assign(new Error('the reply was cut short'), { code: 'ECONNRESET' });
}

export function request(call: HttpCall): Promise<Reply> {
  const what = `${call.route.method} ${call.route.path}`;
  return new Promise<Reply>((resolve, reject) => {
    let settled = false;
    let outgoing: http.ClientRequest | undefined;
    // Settles once: with the reply, a failure or the signal's reason.
    const settle = (outcome: () => void): boolean => {
      if (settled) return false;
      settled = true;
      clearTimeout(timer);
      call.signal?.removeEventListener('abort', aborted);
      outcome();
      return true;
    };
    // A failure or an abort drops the request, and with it the connection.
    const failed = (error: unknown): void => {
      const first = settle(() => {
        const code = errorCode(error) ?? 'EUNKNOWN';
        const reason = error instanceof Error ? error.message : String(error);
        const named = reason.includes(code) ? reason : `${reason} (${code})`;
        reject(
          new SidecarError('connection', `${what} could not be completed: ${named}`, {
            code,
            cause: error,
          }),
        );
      });
      if (first) outgoing?.destroy();
    };
    const aborted = (): void => {
      if (settle(() => reject(call.signal?.reason))) outgoing?.destroy();
    };
    const timer = setTimeout(() => {
      const error = Object.assign(new Error(`no complete reply within ${call.timeoutMs} ms`), {
        code: 'ETIMEDOUT',
      });
      failed(error);
    }, call.timeoutMs);
    timer.unref?.();
    call.signal?.addEventListener('abort', aborted, { once: true });

    const headers: http.OutgoingHttpHeaders = { [PROTOCOL.tokenHeader]: call.token };
    const body = call.body === undefined ? undefined : Buffer.from(call.body, 'utf8');
    if (body !== undefined) {
      headers['content-type'] = 'application/json';
      headers['content-length'] = body.length;
    }
    try {
      outgoing = http.request({
        host: '127.0.0.1',
        port: call.port,
        method: call.route.method,
        path: call.route.path,
        headers,
        agent: false, // a connection of its own, closed after the reply ("connection: close")
        setHost: true,
      });
    } catch (error) {
      failed(error);
      return;
    }
    outgoing.on('error', failed);
    outgoing.on('response', (incoming) => {
      const chunks: Buffer[] = [];
      incoming.on('data', (chunk: Buffer) => chunks.push(chunk));
      incoming.on('error', failed);
      // A reply that stops before its end closes without 'end'.
      incoming.on('close', () => failed(cutShort()));
      incoming.on('end', () => {
        if (!incoming.complete) {
          failed(cutShort());
          return;
        }
        const status = incoming.statusCode ?? 0;
        settle(() =>
          resolve({
            status,
            statusText: `${status} ${incoming.statusMessage ?? ''}`.trimEnd(),
            body: Buffer.concat(chunks).toString('utf8'),
          }),
        );
      });
    });
    outgoing.end(body);
  });
}
