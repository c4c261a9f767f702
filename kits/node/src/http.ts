// One request to the service and its whole reply. The service reads exactly one request per
// connection and closes it after its reply, so every call opens a connection of its own (no
// agent, no keep-alive) and the reply is read to its end.

import * as http from 'node:http';

import { SidecarError, errorCode } from './errors';

export const TOKEN_HEADER = 'x-korvessa-token';

export interface Reply {
  status: number;
  statusText: string; // "204 No Content": the code and the reason phrase
  body: string;
}

export interface HttpCall {
  port: number;
  token: string;
  method: 'GET' | 'PUT';
  path: string;
  body?: string; // JSON, sent with its content-type and content-length
  timeoutMs: number; // for the whole exchange, from connecting to the last byte of the reply
}

// The header value carries the token's UTF-8 bytes: Node sends header strings byte per
// character (Latin-1), so the bytes are spelled out as such characters.
function headerValue(text: string): string {
  return Buffer.from(text, 'utf8').toString('latin1');
}

function cutShort(): Error {
  return Object.assign(new Error('the reply was cut short'), { code: 'ECONNRESET' });
}

export function request(call: HttpCall): Promise<Reply> {
  const what = `${call.method} ${call.path}`;
  return new Promise<Reply>((resolve, reject) => {
    let settled = false;
    let outgoing: http.ClientRequest | undefined;
    const failed = (error: unknown): void => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      const code = errorCode(error) ?? 'EUNKNOWN';
      const reason = error instanceof Error ? error.message : String(error);
      const named = reason.includes(code) ? reason : `${reason} (${code})`;
      reject(
        new SidecarError('connection', `${what} could not be completed: ${named}`, {
          code,
          cause: error,
        }),
      );
    };
    const timer = setTimeout(() => {
      const error = Object.assign(new Error(`no complete reply within ${call.timeoutMs} ms`), {
        code: 'ETIMEDOUT',
      });
      failed(error);
      outgoing?.destroy();
    }, call.timeoutMs);
    timer.unref?.();

    const headers: http.OutgoingHttpHeaders = { [TOKEN_HEADER]: headerValue(call.token) };
    const body = call.body === undefined ? undefined : Buffer.from(call.body, 'utf8');
    if (body !== undefined) {
      headers['content-type'] = 'application/json';
      headers['content-length'] = body.length;
    }
    try {
      outgoing = http.request({
        host: '127.0.0.1',
        port: call.port,
        method: call.method,
        path: call.path,
        headers,
        agent: false, // a connection of its own, closed after the reply ("connection: close")
        setHost: true,
      });
    } catch (error) {
      // A header value Node refuses (a token with a line break, say) fails here, synchronously.
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
        if (settled) return;
        if (!incoming.complete) {
          failed(cutShort());
          return;
        }
        settled = true;
        clearTimeout(timer);
        const status = incoming.statusCode ?? 0;
        resolve({
          status,
          statusText: `${status} ${incoming.statusMessage ?? ''}`.trimEnd(),
          body: Buffer.concat(chunks).toString('utf8'),
        });
      });
    });
    outgoing.end(body);
  });
}
