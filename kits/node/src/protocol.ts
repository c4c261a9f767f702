// The service's wire contract as this kit speaks it: routes, the token's header, the health
// reply, the error codes, each record's member names in the order they are sent. The tests hold
// it against the `protocol` member of kits/cases.json, which every kit follows.

export const PROTOCOL = {
  tokenHeader: 'x-korvessa-token',
  routes: {
    health: { method: 'GET', path: '/health' },
    putLaunchTicket: { method: 'PUT', path: '/launch/session' },
    takeLaunchTicket: { method: 'GET', path: '/launch/session' },
    putPresenceSession: { method: 'PUT', path: '/presence/session' },
  },
  healthBody: '{"ok":true,"service":"korvessa-client-services"}',
  errors: {
    badRequest: 'bad_request',
    unauthorized: 'unauthorized',
    invalidTicket: 'invalid_ticket',
    invalidPresenceSession: 'invalid_presence_session',
    noLaunchSession: 'no_launch_session',
    notFound: 'not_found',
    serializationFailed: 'serialization_failed',
  },
  records: {
    config: ['token', 'clientDir'],
    loginTicket: ['username', 'clientLogin', 'ticket', 'expiresAt', 'ttlSeconds'],
    presenceSession: ['pid', 'logOffset'],
  },
  proxyLogFileName: 'KorvessaAuthProxy.log',
} as const;

export type Route = (typeof PROTOCOL.routes)[keyof typeof PROTOCOL.routes];

// The body of a refused request, as the service writes it.
export function errorBody(code: string): string {
  return JSON.stringify({ ok: false, error: code });
}

// A record as JSON with its members in the wire order.
export function recordJson(members: readonly string[], record: object): string {
  const values = record as Record<string, unknown>;
  return JSON.stringify(Object.fromEntries(members.map((name) => [name, values[name]])));
}
