import { stat } from 'node:fs/promises';
import { join } from 'node:path';

import { PROTOCOL } from './protocol.js';

/** The file in the client directory where the game's authentication proxy writes its log. */
export const PROXY_LOG_FILE_NAME = PROTOCOL.proxyLogFileName;

/**
 * The proxy log's current size in bytes, 0 when there is none: the logOffset that a launcher
 * passes with putPresenceSession, taken just before it starts the game, so that the service
 * reads only the lines of this game.
 */
export async function proxyLogOffset(clientDir: string): Promise<number> {
  try {
    const found = await stat(join(clientDir, PROXY_LOG_FILE_NAME));
    return found.isFile() ? found.size : 0;
  } catch (error) {
    const code = (error as { code?: unknown }).code;
    if (code === 'ENOENT' || code === 'ENOTDIR') return 0;
    throw error;
  }
}
