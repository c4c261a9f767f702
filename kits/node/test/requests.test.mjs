// What the kit sends and how it judges replies, against a stand-in that announces the address
// of a server run here.
import assert from 'node:assert/strict';
import { createServer } from 'node:net';
import { test } from 'node:test';

import { Sidecar } from 'korvessa-launcher-kit';

import { program, scratch } from './fixtures.mjs';

const token = 'k'.repeat(40);

// Starts a sidecar whose address is a server that hands each connection to answer(socket, head)
// once the request head and its announced body are in. Returns the sidecar and the requests.
async function withServer(answer, run) {
  const requests = [];
  const server = createServer((socket) => {
    let received = Buffer.alloc(0);
    socket.on('error', () => {});
    socket.on('data', (chunk) => {
      received = Buffer.concat([received, chunk]);
      const headEnd = received.indexOf('\r\n\r\n');
      if (headEnd < 0) return;
      const head = received.subarray(0, headEnd).toString('latin1');
      const length = Number(/\r\ncontent-length: *(\d+)/i.exec(head)?.[1] ?? 0);
      if (received.length < headEnd + 4 + length) return;
      requests.push({ head, body: received.subarray(headEnd + 4).toString('utf8') });
      answer(socket);
    });
  });
  await new Promise((done) => server.listen(0, '127.0.0.1', done));
  const address = `http://127.0.0.1:${server.address().port}`;
  const standIn = await program(`read line; echo "${address}"; exec sleep 60`);
  const sidecar = await Sidecar.start({
    servicePath: standIn.path,
    clientDir: scratch,
    token,
    requestTimeoutMs: 300,
  });
  try {
    await run(sidecar, requests);
  } finally {
    await sidecar.stop();
    server.close();
  }
}

const replying = (raw) => (socket) => socket.end(raw);
const reply = (status, body) =>
  replying(
    `HTTP/1.1 ${status}\r\ncontent-type: application/json\r\n` +
      `content-length: ${Buffer.byteLength(body)}\r\nconnection: close\r\n\r\n${body}`,
  );

test('requests carry the token, a JSON body with its length, and ask to close', async () => {
  await withServer(reply('204 No Content', ''), async (sidecar, requests) => {
    const ticket = { username: 'u', clientLogin: '!u', ticket: 'T', expiresAt: 'e', ttlSeconds: 7 };
    await sidecar.putLaunchTicket(ticket);
    await sidecar.putPresenceSession({ pid: 42, logOffset: 9 });
    await sidecar.takeLaunchTicket().catch(() => {}); // 204 is not its reply; only the request counts
    assert.equal(requests.length, 3);
    const heads = requests.map(({ head }) => head.toLowerCase().split('\r\n'));
    assert.deepEqual(heads.map((lines) => lines[0]), [
      'put /launch/session http/1.1',
      'put /presence/session http/1.1',
      'get /launch/session http/1.1',
    ]);
    for (const lines of heads) {
      assert.ok(lines.includes(`x-korvessa-token: ${token}`));
      assert.ok(lines.includes('connection: close'));
      assert.ok(!lines.some((line) => /^(expect|transfer-encoding):/.test(line)), lines.join('|'));
    }
    const body = '{"username":"u","clientLogin":"!u","ticket":"T","expiresAt":"e","ttlSeconds":7}';
    assert.equal(requests[0].body, body);
    assert.ok(heads[0].includes('content-type: application/json'));
    assert.ok(heads[0].includes(`content-length: ${body.length}`));
    assert.equal(requests[1].body, '{"pid":42,"logOffset":9}');
    assert.ok(!heads[2].some((line) => /^content-(type|length):/.test(line)));
  });
});

// Replies other than the ones the routes promise.
const wrongReplies = [
  ['health answered 200 with another body', reply('200 OK', '{"ok":true}'), (s) => s.checkHealth(),
    { kind: 'http', httpStatus: 200, body: '{"ok":true}' }],
  ['a 404 that is not "no launch session"', reply('404 Not Found', '{"ok":false,"error":"not_found"}'),
    (s) => s.takeLaunchTicket(), { kind: 'http', httpStatus: 404 }],
  ['a taken ticket that is not a ticket', reply('200 OK', '{"username":"u"}'),
    (s) => s.takeLaunchTicket(), { kind: 'http', httpStatus: 200, body: '{"username":"u"}' }],
  ['a store answered 200', reply('200 OK', ''), (s) => s.putPresenceSession({ pid: 1, logOffset: 0 }),
    { kind: 'http', httpStatus: 200 }],
  ['a reply cut short', replying('HTTP/1.1 200 OK\r\ncontent-length: 48\r\n\r\n{"ok"'),
    (s) => s.checkHealth(), { kind: 'connection' }],
  ['no reply at all', () => {}, (s) => s.checkHealth(), { kind: 'connection', code: 'ETIMEDOUT' }],
];

for (const [name, answer, call, expected] of wrongReplies) {
  test(`a route call fails on ${name}`, async () => {
    await withServer(answer, async (sidecar) => {
      const error = await call(sidecar).then(() => assert.fail('accepted'), (failure) => failure);
      assert.equal(error.name, 'SidecarError');
      for (const [key, value] of Object.entries(expected)) assert.equal(error[key], value, key);
      assert.ok(!error.message.includes(token));
    });
  });
}

test('an aborted call rejects as fetch does; aborted before, it sends nothing', async () => {
  await withServer(() => {}, async (sidecar, requests) => {
    const error = await sidecar.checkHealth({ signal: AbortSignal.abort() }).then(assert.fail, (e) => e);
    assert.ok(error instanceof DOMException && error.name === 'AbortError', String(error));
    assert.equal(requests.length, 0);
    // In flight: the server holds the request, the signal ends the wait with its reason.
    const controller = new AbortController();
    const call = sidecar.takeLaunchTicket({ signal: controller.signal });
    while (requests.length === 0) await new Promise((done) => setTimeout(done, 10));
    const reason = new Error('the launcher window closed');
    controller.abort(reason);
    assert.equal(await call.then(assert.fail, (e) => e), reason);
  });
});
