/// <reference types="node" preserve="true" />
// korvessa-launcher-kit, its CommonJS entry (dist/cjs/index.js): start korvessa-client-services
// beside a Node or Electron launcher and call its routes.
import { join } from 'node:path';

import { setPackageFolder } from './service-path.js';

export * from './api.js';

setPackageFolder(join(__dirname, '..', '..'));
