"""One request to the service and its whole reply. The service reads one request per connection
and closes it after its reply, so each call opens a connection of its own to 127.0.0.1 (never
through a proxy: http.client reads none from the environment), and the time-out holds for the
whole exchange, from connecting to the last byte of the reply."""

from __future__ import annotations

import http.client
import io
import socket
import time
from typing import Any, NamedTuple, Optional

from ._protocol import TOKEN_HEADER


class Reply(NamedTuple):
    status: int
    reason: str
    body: str

    @property
    def status_text(self) -> str:  # "204 No Content"
        return f"{self.status} {self.reason}".rstrip()


class RequestFailed(Exception):
    """No request could be made or no whole reply read; the message says why."""

    def __init__(self, message: str, errno: Optional[int]) -> None:
        super().__init__(message)
        self.errno = errno


class _DeadlineSocket:
    """A connected socket whose every send and receive waits only until the deadline."""

    def __init__(self, sock: socket.socket, deadline: float) -> None:
        self._sock = sock
        self._deadline = deadline

    def _arm(self) -> None:
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise socket.timeout("timed out")
        self._sock.settimeout(left)

    def sendall(self, data: bytes) -> None:
        self._arm()
        self._sock.sendall(data)

    def recv_into(self, buffer: Any) -> int:
        self._arm()
        return self._sock.recv_into(buffer)

    def makefile(self, mode: str) -> io.BufferedReader:
        return io.BufferedReader(_Reader(self))

    def close(self) -> None:
        self._sock.close()


class _Reader(io.RawIOBase):
    def __init__(self, sock: _DeadlineSocket) -> None:
        super().__init__()
        self._sock = sock

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        return self._sock.recv_into(buffer)


class _Connection(http.client.HTTPConnection):
    def __init__(self, port: int, deadline: float) -> None:
        super().__init__("127.0.0.1", port, timeout=max(deadline - time.monotonic(), 0.001))
        self._deadline = deadline

    def connect(self) -> None:
        super().connect()
        self.sock = _DeadlineSocket(self.sock, self._deadline)


def request(port: int, token: str, method: str, path: str, body: Optional[bytes], timeout: float) -> Reply:
    """The reply to one request with the token in its header and the body as JSON; raises
    RequestFailed. http.client sends no "Expect: 100-continue" (the service answers none)."""
    connection = _Connection(port, time.monotonic() + timeout)
    headers = {TOKEN_HEADER: token}
    if body is not None:
        headers["Content-Type"] = "application/json"
    try:
        connection.request(method, path, body=body, headers=headers)
        response = connection.getresponse()
        data = response.read()
        return Reply(response.status, response.reason, data.decode("utf-8", "replace"))
    except socket.timeout:
        raise RequestFailed(f"no complete reply within {timeout:g} s", None) from None
    except OSError as error:
        raise RequestFailed(str(error), error.errno) from None
    except http.client.HTTPException as error:
        reason = str(error) or type(error).__name__
        raise RequestFailed(f"the reply was cut short or not HTTP ({reason})", None) from None
    finally:
        connection.close()
