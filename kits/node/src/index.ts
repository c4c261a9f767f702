/// <reference types="node" preserve="true" />
// korvessa-launcher-kit: start korvessa-client-services beside a Node or Electron launcher and
// call its routes.
export { Sidecar } from './sidecar';
export type { LoginTicket, PresenceSession, SidecarExit, SidecarOptions } from './sidecar';
export { SidecarError } from './errors';
export type { SidecarErrorDetails, SidecarErrorKind } from './errors';
export { PROXY_LOG_FILE_NAME, proxyLogOffset } from './proxy-log';
export { defaultServicePath } from './service-path';
