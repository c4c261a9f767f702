// Where the service this package carries lies, in a plain install and inside an Electron app.

import { join } from 'node:path';

// The platforms the package carries the service for, by `${process.platform}-${process.arch}`,
// and the program's file name on each. They lie in the package's service/ folder.
const CARRIED: ReadonlyMap<string, string> = new Map([
  ['linux-x64', 'korvessa-client-services'],
  ['win32-x64', 'korvessa-client-services.exe'],
]);

/**
 * The path under `app.asar.unpacked` for a path inside an Electron app's `app.asar` archive,
 * any other path as it is. A program cannot be started from inside the archive; electron-builder
 * and Electron Forge put the files they unpack under the folder beside it. Both separators count.
 */
export function unpackedPath(path: string): string {
  return path.replace(/([\\/])app\.asar(?=[\\/]|$)/, '$1app.asar.unpacked');
}

/**
 * The service this package carries for the running platform: `service/linux-x64/
 * korvessa-client-services` or `service/win32-x64/korvessa-client-services.exe` in the package.
 * Inside an Electron app packaged with asar it is the copy under `app.asar.unpacked`, which the
 * app's packager must unpack (see the README). Throws an Error on a platform the package
 * carries nothing for: pass `servicePath` to Sidecar.start() there.
 */
export function defaultServicePath(): string {
  const platform = `${process.platform}-${process.arch}`;
  const name = CARRIED.get(platform);
  if (name === undefined) {
    const carried = [...CARRIED.keys()].join(' and ');
    throw new Error(
      `korvessa-launcher-kit carries the service for ${carried}, not for ${platform}: ` +
        'pass servicePath to Sidecar.start()',
    );
  }
  // The compiled kit lies in dist/, beside service/.
  return unpackedPath(join(__dirname, '..', 'service', platform, name));
}
