// The same kit from CommonJS: require() hands out the same names and types.
import kit = require('korvessa-launcher-kit');

export async function start(servicePath: string): Promise<kit.Sidecar> {
  const sidecar = await kit.Sidecar.start({ servicePath, clientDir: '', announceTimeoutMs: 2000 });
  const offset: Promise<number> = kit.proxyLogOffset('');
  void offset;
  return sidecar;
}
