/// <reference types="node" preserve="true" />
// What the kit offers, whichever entry it was loaded through.
export { Sidecar } from './sidecar.js';
export type { SidecarExit, SidecarOptions } from './sidecar.js';
export type { CallOptions } from './options.js';
export type { LoginTicket, PresenceSession } from './records.js';
export { SidecarError } from './errors.js';
export type { SidecarErrorDetails, SidecarErrorKind } from './errors.js';
export { PROXY_LOG_FILE_NAME, proxyLogOffset } from './proxy-log.js';
export { defaultServicePath } from './service-path.js';
