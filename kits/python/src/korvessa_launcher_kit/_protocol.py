"""The service's wire contract: the header, the routes, the replies the kit tells apart, the
records' JSON member names (in field order) and the proxy log's file name."""

from __future__ import annotations

from typing import Tuple

TOKEN_HEADER = "x-korvessa-token"

# Each route is a method and a whole path.
Route = Tuple[str, str]
HEALTH: Route = ("GET", "/health")
PUT_LAUNCH_TICKET: Route = ("PUT", "/launch/session")
TAKE_LAUNCH_TICKET: Route = ("GET", "/launch/session")
PUT_PRESENCE_SESSION: Route = ("PUT", "/presence/session")

HEALTH_BODY = '{"ok":true,"service":"korvessa-client-services"}'
NO_LAUNCH_SESSION = "no_launch_session"
# A failed request is answered {"ok":false,"error":CODE}, compact, members in this order.
NO_LAUNCH_SESSION_BODY = '{"ok":false,"error":"%s"}' % NO_LAUNCH_SESSION

CONFIG_FIELDS: Tuple[str, str] = ("token", "clientDir")
LOGIN_TICKET_FIELDS: Tuple[str, ...] = ("username", "clientLogin", "ticket", "expiresAt", "ttlSeconds")
PRESENCE_SESSION_FIELDS: Tuple[str, ...] = ("pid", "logOffset")

PROXY_LOG_FILE_NAME = "KorvessaAuthProxy.log"
