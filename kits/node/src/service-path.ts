// Where the service lies: the one this package carries, in a plain install and inside an
// Electron app, or, where a bundler has inlined the kit and its folder is not there, one that
// the app ships itself.

import { statSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

// The platforms the package carries the service for, by `${process.platform}-${process.arch}`.
// They lie in the package's service/ folder.
const CARRIED: ReadonlySet<string> = new Set(['linux-x64', 'win32-x64']);

/** The service program's file name on a platform. */
export function programName(platform: string): string {
  return platform === 'win32' ? 'korvessa-client-services.exe' : 'korvessa-client-services';
}

/**
 * The path under `app.asar.unpacked` for a path inside an Electron app's `app.asar` archive,
 * any other path as it is. A program cannot be started from inside the archive; electron-builder
 * and Electron Forge put the files they unpack under the folder beside it. Both separators count.
 */
export function unpackedPath(path: string): string {
  return path.replace(/([\\/])app\.asar(?=[\\/]|$)/, '$1app.asar.unpacked');
}

/** What the search for the service goes by. */
export interface Surroundings {
  /** The package's own folder, where the kit was loaded from; unknown inside some bundles. */
  packageFolder: string | undefined;
  platform: string;
  arch: string;
  /** Electron's process.resourcesPath; undefined under plain Node. */
  resourcesPath: string | undefined;
  /** process.argv[1], the main script; undefined under `node -e` or a REPL. */
  mainScript: string | undefined;
  /**
   * Whether this is a packaged Electron app, whose argv[1] is no script but the user's first
   * argument (a file the app was asked to open, say): nothing is looked for beside it.
   */
  packagedElectron: boolean;
}

/** The places the service is looked for, in order, each with what it is. */
export function servicePlaces(where: Surroundings): { path: string; what: string }[] {
  const name = programName(where.platform);
  const platform = `${where.platform}-${where.arch}`;
  const places: { path: string; what: string }[] = [];
  if (where.packageFolder !== undefined && CARRIED.has(platform)) {
    const path = join(where.packageFolder, 'service', platform, name);
    places.push({ path: unpackedPath(path), what: 'the service this package carries' });
  }
  if (where.resourcesPath !== undefined) {
    places.push({ path: join(where.resourcesPath, name), what: "Electron's resources folder" });
  }
  if (where.mainScript !== undefined && !where.packagedElectron) {
    const path = join(dirname(resolve(where.mainScript)), name);
    places.push({ path: unpackedPath(path), what: 'beside the main script' });
  }
  return places;
}

/**
 * The first of servicePlaces() that holds a file, by isFile. Throws an Error that names every
 * place it looked and the ways to give the kit a service.
 */
export function findService(where: Surroundings, isFile: (path: string) => boolean): string {
  const places = servicePlaces(where);
  const found = places.find((place) => isFile(place.path));
  if (found !== undefined) return found.path;
  const platform = `${where.platform}-${where.arch}`;
  const looked =
    places.length === 0
      ? 'found no place to look'
      : `looked in ${places.map((place) => `${place.path} (${place.what})`).join(', ')}`;
  const carried = CARRIED.has(platform) ? '' : ` (this package carries none for ${platform})`;
  throw new Error(
    `korvessa-launcher-kit found no ${programName(where.platform)}${carried}: it ${looked}. ` +
      'Pass servicePath to Sidecar.start(); or ship the program as an extra resource ' +
      '(electron-builder extraResources, Electron Forge packagerConfig.extraResource), so that ' +
      'it lies in process.resourcesPath; or keep korvessa-launcher-kit external to the ' +
      'bundler, so that it finds the service it carries in node_modules',
  );
}

// Set by the entry the kit was loaded through (index.ts, index.mts).
let packageFolder: string | undefined;

export function setPackageFolder(folder: string | undefined): void {
  packageFolder = folder;
}

// The package's folder for the URL of a module two levels below it (dist/esm/index.mjs). A
// bundler may leave import.meta.url empty (esbuild, for CommonJS output): then it is unknown.
export function packageFolderOf(moduleUrl: unknown): string | undefined {
  if (typeof moduleUrl !== 'string' || !moduleUrl.startsWith('file:')) return undefined;
  return fileURLToPath(new URL('../..', moduleUrl));
}

function isFile(path: string): boolean {
  try {
    return statSync(path, { throwIfNoEntry: false })?.isFile() ?? false;
  } catch {
    return false;
  }
}

/**
 * The service to start when no servicePath is given: the first of
 * - the service this package carries for the running platform, `service/linux-x64/
 *   korvessa-client-services` or `service/win32-x64/korvessa-client-services.exe` in the
 *   package (inside an Electron app packaged with asar, the copy under `app.asar.unpacked`,
 *   which the app's packager must unpack: see the README);
 * - `korvessa-client-services[.exe]` in Electron's `process.resourcesPath`, where
 *   `extraResources` puts it;
 * - `korvessa-client-services[.exe]` beside the main script (`process.argv[1]`), where a
 *   bundled launcher may copy it (not in a packaged Electron app, whose argv[1] is no script);
 * that is a file. Throws an Error that names every place it looked and what to do otherwise.
 */
export function defaultServicePath(): string {
  // Electron's own members of process.
  const electron = process as { resourcesPath?: unknown; defaultApp?: unknown };
  const { resourcesPath, defaultApp } = electron;
  return findService(
    {
      packageFolder,
      platform: process.platform,
      arch: process.arch,
      resourcesPath: typeof resourcesPath === 'string' ? resourcesPath : undefined,
      mainScript: process.argv[1],
      // Electron sets defaultApp when it runs an app folder or script given on its command line.
      packagedElectron: process.versions['electron'] !== undefined && defaultApp !== true,
    },
    isFile,
  );
}
