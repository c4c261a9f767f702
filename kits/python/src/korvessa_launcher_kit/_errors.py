"""The one failure of the kit, SidecarError, and what it says about the service's end."""

from __future__ import annotations

import enum
import os
import signal as signals
from typing import Iterable, List, Optional


class ErrorKind(str, enum.Enum):
    """What went wrong; each kind is the text the other kits use for it."""

    #: The service could not be started: the path does not exist, is a directory or cannot be
    #: run (the message says which), or the package carries no service for this platform.
    SPAWN = "spawn"
    #: The service ended before it announced its address (returncode, signal, diagnostics).
    EXITED = "exited"
    #: No address line within the announce time-out; the service was killed.
    ANNOUNCE_TIMEOUT = "announce-timeout"
    #: The first line of the service's standard output is not an address line; it was killed.
    BAD_ANNOUNCEMENT = "bad-announcement"
    #: A reply other than the route promises (http_status, body).
    HTTP = "http"
    #: No request could be made or no reply read, the request time-out passed, or the service
    #: had ended (returncode, signal).
    CONNECTION = "connection"

    def __str__(self) -> str:
        return self.value


class SidecarError(Exception):
    """A failure of starting the service or of one of its routes; ``kind`` says which.

    No message or field holds the access token: lines of the service's that held it show
    ``<token>`` instead.
    """

    def __init__(
        self,
        kind: ErrorKind,
        message: str,
        *,
        returncode: Optional[int] = None,
        diagnostics: Iterable[str] = (),
        http_status: Optional[int] = None,
        body: Optional[str] = None,
        errno: Optional[int] = None,
    ) -> None:
        super().__init__(message)
        self.kind = kind
        #: How the service ended ("exited", and "connection" after its end), as subprocess
        #: says it: the exit status, or minus the signal's number on POSIX.
        self.returncode = returncode
        #: The signal that ended the service, when one did (POSIX).
        self.signal = signal_of(returncode)
        #: The last lines (at most 100) of the service's standard error ("exited").
        self.diagnostics: List[str] = list(diagnostics)
        #: The HTTP status and the whole body of the reply ("http").
        self.http_status = http_status
        self.body = body
        #: The system's error number ("spawn", "connection"), when there is one.
        self.errno = errno

    @property
    def message(self) -> str:
        return str(self.args[0])

    def __repr__(self) -> str:
        return f"SidecarError({self.kind.value!r}, {self.message!r})"


def signal_of(returncode: Optional[int]) -> Optional[int]:
    """The signal's number for a returncode of subprocess's that stands for one (POSIX)."""
    if returncode is None or returncode >= 0 or os.name == "nt":
        return None
    return -returncode


def describe_end(returncode: int, killed: bool) -> str:
    """How the service ended, in words that claim no more than the kit knows."""
    if killed:
        return "it was stopped by this sidecar"
    number = signal_of(returncode)
    if number is not None:
        try:
            name = f" ({signals.Signals(number).name})"
        except ValueError:
            name = ""
        return f"it was ended by signal {number}{name}"
    if returncode == 0:
        return "it ended by itself with status 0, as it does when its launcher process is gone"
    return f"it ended by itself with status {returncode}"


def redact(text: str, token: str) -> str:
    """The text without the token: a program that echoes its input would put it in a log."""
    return text.replace(token, "<token>") if token else text


def clip(text: str, limit: int = 200) -> str:
    return text if len(text) <= limit else text[:limit] + "..."
