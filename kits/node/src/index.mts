/// <reference types="node" preserve="true" />
// The ES module entry: the very classes of the CommonJS entry, not a second copy of them, so
// `instanceof SidecarError` holds whichever way the kit was loaded.
export {
  PROXY_LOG_FILE_NAME,
  Sidecar,
  SidecarError,
  defaultServicePath,
  proxyLogOffset,
} from './index.js';
export type {
  LoginTicket,
  PresenceSession,
  SidecarErrorDetails,
  SidecarErrorKind,
  SidecarExit,
  SidecarOptions,
} from './index.js';
