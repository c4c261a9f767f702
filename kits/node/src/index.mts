/// <reference types="node" preserve="true" />
// korvessa-launcher-kit, its ES module entry (dist/esm/index.mjs): the same sources as the
// CommonJS entry built as ES modules, so that neither an ES module nor a bundle made of one
// loads any CommonJS.
import { packageFolderOf, setPackageFolder } from './service-path.js';

export * from './api.js';

setPackageFolder(packageFolderOf(import.meta.url));
