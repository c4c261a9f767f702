"""The records the routes carry, the checks they pass before anything is sent, and their JSON."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any, Dict, Optional

from ._errors import signal_of
from ._protocol import CONFIG_FIELDS, LOGIN_TICKET_FIELDS, PRESENCE_SESSION_FIELDS

MAX_PID = 4_294_967_295
MAX_U64 = 18_446_744_073_709_551_615


@dataclass(frozen=True)
class LoginTicket:
    """A launch ticket, as PUT /launch/session takes it and GET /launch/session hands it back."""

    username: str
    #: Begins with "!".
    client_login: str
    #: Not empty. Kept out of the record's repr, as it is a secret.
    ticket: str = field(repr=False)
    #: Kept for the game client, unread by the service.
    expires_at: str
    #: Kept for the game client, unread by the service: a whole number from 0 to 2**64-1.
    ttl_seconds: int


@dataclass(frozen=True)
class PresenceSession:
    """The running game, as PUT /presence/session registers it."""

    #: The game's process id, from 1 to 4294967295.
    pid: int
    #: The proxy log's size just before the game started (proxy_log_offset), from 0 to 2**64-1.
    log_offset: int


@dataclass(frozen=True)
class SidecarExit:
    """How the service ended: its returncode as subprocess gives it (minus the signal's number
    when a signal ended it, on POSIX) and whether this kit killed it."""

    returncode: int
    killed: bool

    @property
    def signal(self) -> Optional[int]:
        """The signal that ended the service, or None."""
        return signal_of(self.returncode)


def check_text(name: str, value: object) -> str:
    """The value when it is text that UTF-8 can carry; else TypeError or ValueError naming it."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{name} holds a lone surrogate, which is not Unicode text") from None
    return value


def check_whole(name: str, value: object, low: int, high: int) -> int:
    """The value when it is an int from low to high; bool, float and the rest are refused."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be a whole number from {low} to {high}")
    return value


def check_path(name: str, value: object) -> str:
    """A str or os.PathLike naming a file, as a str; bytes paths are refused."""
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be a str or an os.PathLike, not {type(value).__name__}")
    return check_text(name, os.fspath(value))


def _encode(members: Dict[str, Any]) -> bytes:
    return json.dumps(members, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def encode_ticket(ticket: object) -> bytes:
    """The JSON body of PUT /launch/session, once the ticket has passed the checks."""
    if not isinstance(ticket, LoginTicket):
        raise TypeError(f"ticket must be a LoginTicket, not {type(ticket).__name__}")
    values = (
        check_text("username", ticket.username),
        check_text("client_login", ticket.client_login),
        check_text("ticket", ticket.ticket),
        check_text("expires_at", ticket.expires_at),
        check_whole("ttl_seconds", ticket.ttl_seconds, 0, MAX_U64),
    )
    if not ticket.client_login.startswith("!"):
        raise ValueError('client_login must begin with "!"')
    if not ticket.ticket:
        raise ValueError("ticket must not be empty")
    return _encode(dict(zip(LOGIN_TICKET_FIELDS, values)))


def encode_session(session: object) -> bytes:
    """The JSON body of PUT /presence/session, once the session has passed the checks."""
    if not isinstance(session, PresenceSession):
        raise TypeError(f"session must be a PresenceSession, not {type(session).__name__}")
    values = (
        check_whole("pid", session.pid, 1, MAX_PID),
        check_whole("log_offset", session.log_offset, 0, MAX_U64),
    )
    return _encode(dict(zip(PRESENCE_SESSION_FIELDS, values)))


def encode_config(token: str, client_dir: str) -> bytes:
    """The configuration line: compact JSON in UTF-8 without a byte-order mark, and a line feed."""
    return _encode(dict(zip(CONFIG_FIELDS, (token, client_dir)))) + b"\n"


def decode_ticket(body: str) -> Optional[LoginTicket]:
    """The ticket of a GET /launch/session reply, or None when the body is not one."""
    try:
        value = json.loads(body)
    except ValueError:
        return None
    if not isinstance(value, dict):
        return None
    username, client_login, ticket, expires_at, ttl = (value.get(name) for name in LOGIN_TICKET_FIELDS)
    if not (
        isinstance(username, str)
        and isinstance(client_login, str)
        and isinstance(ticket, str)
        and isinstance(expires_at, str)
    ):
        return None
    if isinstance(ttl, bool) or not isinstance(ttl, int) or not 0 <= ttl <= MAX_U64:
        return None
    return LoginTicket(username, client_login, ticket, expires_at, ttl)
