// node launcher.mjs [--service SERVICE] [CLIENT_DIR]: what a game launcher does with
// korvessa-client-services, through korvessa-launcher-kit. It starts the service beside itself
// (SERVICE, or the one defaultServicePath() finds), stores a launch ticket and takes it back (the
// way the game client would), registers a game for presence (itself, from the current end of the
// proxy log), prints each step, and ends the service. Status 0 when every step worked. Needs the
// kit installed beside it (npm install korvessa-launcher-kit-<version>.tgz), or bundled into it
// (esbuild launcher.mjs --bundle --platform=node) with the service copied beside the bundle.
import { Sidecar, SidecarError, proxyLogOffset } from 'korvessa-launcher-kit';

function failed(what) {
  console.error(`example-node-launcher: ${what}`);
  process.exitCode = 1;
}

async function main(args) {
  const named = args[0] === '--service';
  const servicePath = named ? args[1] : undefined;
  const rest = named ? args.slice(2) : args;
  if ((named && servicePath === undefined) || rest.length > 1 || rest[0]?.startsWith('--')) {
    console.error('usage: node launcher.mjs [--service SERVICE] [CLIENT_DIR]');
    process.exitCode = 2;
    return;
  }
  const [clientDir = ''] = rest;
  // No token is given, so the kit makes a fresh one from node:crypto; no launcherPid, so the
  // service stays beside this process.
  const sidecar = await Sidecar.start({ clientDir, ...(named && { servicePath }) });
  console.log(`started the service: pid ${sidecar.pid}, ${sidecar.url}`);
  sidecar.on('diagnostic', (line) => console.log(`service says: ${line}`));

  await sidecar.checkHealth();
  console.log('GET /health answered 200 OK');

  const ticket = {
    username: 'ann',
    clientLogin: '!ann',
    ticket: 'T-example',
    expiresAt: '2026-01-01T00:00:00Z',
    ttlSeconds: 3600,
  };
  await sidecar.putLaunchTicket(ticket);
  console.log(`stored a launch ticket for ${ticket.clientLogin}`);

  const taken = await sidecar.takeLaunchTicket();
  if (taken === null || taken.ticket !== ticket.ticket) {
    return failed('the ticket taken back is not the one stored');
  }
  console.log(`took the ticket back: ${JSON.stringify(taken)}`);
  if ((await sidecar.takeLaunchTicket()) !== null) return failed('the ticket was handed out twice');
  console.log('a second take found none');

  const game = { pid: process.pid, logOffset: await proxyLogOffset(clientDir) };
  await sidecar.putPresenceSession(game);
  console.log(`registered pid ${game.pid} for presence, from offset ${game.logOffset} of the proxy log`);

  // A launcher that simply exits ends the service as well (status 0 within about 100 ms);
  // this one ends it at once.
  const end = await sidecar.stop();
  console.log(`stopped the service (${end.signal ?? `status ${end.code}`})`);
}

main(process.argv.slice(2)).catch((error) => {
  failed(error instanceof SidecarError ? `${error.kind}: ${error.message}` : String(error));
});
