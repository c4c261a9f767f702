// A launcher written in TypeScript, type-checked with tsc --strict against the installed kit:
// the README's example, plus the types a launcher leans on.
import {
  PROXY_LOG_FILE_NAME,
  Sidecar,
  SidecarError,
  defaultServicePath,
  proxyLogOffset,
  type CallOptions,
  type LoginTicket,
  type SidecarErrorKind,
  type SidecarExit,
} from 'korvessa-launcher-kit';

async function launch(servicePath: string, clientDir: string, gamePid: number): Promise<void> {
  const controller = new AbortController();
  const sidecar: Sidecar = await Sidecar.start({ servicePath, clientDir, signal: controller.signal });
  // The service the package carries, by default or named.
  const carried: Sidecar = await Sidecar.start({ clientDir });
  const carriedPath: string = defaultServicePath();
  await carried.stop();
  sidecar.on('diagnostic', (line) => console.error(`service: ${line.toUpperCase()}`));
  const healthy: void = await sidecar.checkHealth();
  const call: CallOptions = { signal: AbortSignal.timeout(1000) };
  const ticket: LoginTicket = {
    username: 'ann',
    clientLogin: '!ann',
    ticket: 'T-1',
    expiresAt: '2026-01-01T00:00:00Z',
    ttlSeconds: 3600,
  };
  await sidecar.putLaunchTicket(ticket);
  const taken: LoginTicket | null = await sidecar.takeLaunchTicket(call);
  const logOffset: number = await proxyLogOffset(clientDir);
  await sidecar.putPresenceSession({ pid: gamePid, logOffset }, { signal: controller.signal });
  const url: string = sidecar.url;
  const port: number = sidecar.port;
  const token: string = sidecar.token;
  const end: SidecarExit = await sidecar.stop();
  console.log(healthy, taken?.ticket, url, port, token, end.code, end.signal, PROXY_LOG_FILE_NAME);
  console.log(carriedPath);
  // @ts-expect-error a ticket needs all of its members
  await sidecar.putLaunchTicket({ username: 'ann' });
  // @ts-expect-error health() is checkHealth() now
  await sidecar.health();
  // @ts-expect-error the token cannot be replaced
  sidecar.token = 'x';
}

function explain(error: unknown): string {
  if (!(error instanceof SidecarError)) return String(error);
  const kind: SidecarErrorKind = error.kind;
  switch (kind) {
    case 'spawn':
      return `${error.message} [${error.code ?? '?'}]`;
    case 'exited':
    case 'connection':
      return `${error.status ?? error.signal} ${error.diagnostics.join('; ')}`;
    case 'http':
      return `${error.httpStatus ?? 0} ${error.body ?? ''}`;
    case 'announce-timeout':
    case 'bad-announcement':
      return error.message;
  }
}

// @ts-expect-error the kinds are a closed set
const unknownKind: SidecarErrorKind = 'timeout';

launch('korvessa-client-services', '.', 1).catch((error: unknown) => {
  console.error(explain(error), unknownKind);
});
