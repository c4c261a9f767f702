"""The launcher's side of korvessa-client-services: start the service beside this process, hand
it the configuration line, learn its address, call its routes, stop it."""

from __future__ import annotations

import os
import secrets
import weakref
from types import TracebackType
from typing import Callable, Mapping, Optional, Type, Union

from ._errors import ErrorKind, SidecarError, clip, describe_end, redact
from ._http import Reply, RequestFailed, request
from ._options import check_start_options, service_environment
from ._process import ServiceProcess
from ._protocol import (
    HEALTH,
    HEALTH_BODY,
    NO_LAUNCH_SESSION_BODY,
    PUT_LAUNCH_TICKET,
    PUT_PRESENCE_SESSION,
    TAKE_LAUNCH_TICKET,
    Route,
)
from ._records import (
    LoginTicket,
    PresenceSession,
    SidecarExit,
    decode_ticket,
    encode_config,
    encode_session,
    encode_ticket,
)
from ._service_path import default_service_path

PathArg = Union[str, "os.PathLike[str]"]
# After a failed request: how long to wait for the service's end to be noticed, so that a
# service that has just died is reported as ended rather than as a refused connection.
END_GRACE = 0.1


class Sidecar:
    """A running korvessa-client-services beside this process; start one with Sidecar.start().

    Every method is safe from several threads at once (a GTK or Qt launcher calls from worker
    threads); each call blocks until its reply or its time-out. Stop the service with stop() or
    by leaving the ``with`` block; a Sidecar that is garbage-collected, or still running when the
    interpreter exits, is stopped then. A launcher that simply ends ends the service too: it
    notices within about 100 ms and exits with status 0.
    """

    def __init__(
        self, service: ServiceProcess, port: int, token: str, launcher_pid: int, request_timeout: float
    ) -> None:
        # Made by start() only.
        self._service = service
        self._token = token
        self._request_timeout = request_timeout
        #: The port the service listens on, on 127.0.0.1.
        self.port = port
        #: "http://127.0.0.1:PORT", the address the service announced.
        self.url = f"http://127.0.0.1:{port}"
        #: The service's process id.
        self.pid = service.pid
        #: The process the service stays beside and ends after.
        self.launcher_pid = launcher_pid
        self._finalizer = weakref.finalize(self, service.stop)

    @classmethod
    def start(
        cls,
        client_dir: PathArg,
        *,
        service_path: Optional[PathArg] = None,
        token: Optional[str] = None,
        launcher_pid: Optional[int] = None,
        announce_timeout: float = 10.0,
        request_timeout: float = 5.0,
        env: Optional[Mapping[str, Optional[str]]] = None,
        on_diagnostic: Optional[Callable[[str], object]] = None,
    ) -> "Sidecar":
        """Starts the service with ``--launcher-pid``, writes the configuration line and waits for
        the address line.

        - ``client_dir``: the game client directory, where the service follows the proxy log;
          any text, it need not exist yet.
        - ``service_path``: the program; by default the one this package carries
          (default_service_path()).
        - ``token``: at least 32 characters of printable ASCII without spaces; by default 32
          random bytes in hex.
        - ``launcher_pid``: from 1 to 4294967295; by default this process.
        - ``announce_timeout``, ``request_timeout``: seconds, more than 0.
        - ``env``: variables set in (or, with None, removed from) the service's environment.
        - ``on_diagnostic``: called with each line of the service's standard error (read from
          the start, the token shown as ``<token>``), in order, on a thread of the kit's; what
          it raises is dropped.

        Raises TypeError or ValueError naming the option before anything starts, else
        SidecarError; a start that fails leaves no process behind.
        """
        options = check_start_options(
            client_dir, service_path, token, launcher_pid, announce_timeout, request_timeout, env, on_diagnostic
        )
        chosen_token = options.token if options.token is not None else secrets.token_hex(32)
        pid = options.launcher_pid if options.launcher_pid is not None else os.getpid()
        path = options.service_path if options.service_path is not None else default_service_path()
        service = ServiceProcess(
            path, pid, service_environment(options.env), chosen_token, options.on_diagnostic
        )
        try:
            port = service.await_port(encode_config(chosen_token, options.client_dir), options.announce_timeout)
        except BaseException:
            service.stop()
            raise
        return cls(service, port, chosen_token, pid, options.request_timeout)

    @property
    def token(self) -> str:
        """The access token: hand it only to whoever else talks to the service (the game client)."""
        return self._token

    @property
    def request_timeout(self) -> float:
        """The time-out of each request in seconds, from connecting to the end of the reply."""
        return self._request_timeout

    def check_health(self) -> None:
        """GET /health: returns on the service's health reply; any other reply is an "http"
        SidecarError, none at all a "connection" one."""
        reply = self._call(HEALTH)
        if reply.status != 200 or reply.body != HEALTH_BODY:
            raise self._unexpected(HEALTH, reply)

    def put_launch_ticket(self, ticket: LoginTicket) -> None:
        """PUT /launch/session: stores the ticket for the game client, replacing any held one."""
        self._store(PUT_LAUNCH_TICKET, encode_ticket(ticket))

    def take_launch_ticket(self) -> Optional[LoginTicket]:
        """GET /launch/session: takes the held ticket out of the service (it is handed out once),
        or None when none is held."""
        reply = self._call(TAKE_LAUNCH_TICKET)
        if reply.status == 404 and reply.body == NO_LAUNCH_SESSION_BODY:
            return None
        if reply.status != 200:
            raise self._unexpected(TAKE_LAUNCH_TICKET, reply)
        ticket = decode_ticket(reply.body)
        if ticket is None:
            # The body holds a ticket's secrets, or garbage: it goes into the error, not the message.
            raise SidecarError(
                ErrorKind.HTTP,
                f"{_what(TAKE_LAUNCH_TICKET)} answered {reply.status_text} with a body that is not a launch ticket",
                http_status=reply.status,
                body=redact(reply.body, self._token),
            )
        return ticket

    def put_presence_session(self, session: PresenceSession) -> None:
        """PUT /presence/session: registers the running game for presence."""
        self._store(PUT_PRESENCE_SESSION, encode_session(session))

    def stop(self) -> SidecarExit:
        """Kills the service at once (SIGKILL, or TerminateProcess on Windows: a request in
        progress gets no answer) and waits for it; returns how it ended, the same each time. A
        held ticket is lost. Later calls raise "connection" without a request."""
        exit = self._service.stop()
        self._finalizer.detach()
        return exit

    def __enter__(self) -> "Sidecar":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"<Sidecar {self.url} pid {self.pid}>"

    def _store(self, route: Route, body: bytes) -> None:
        reply = self._call(route, body)
        if reply.status != 204:
            raise self._unexpected(route, reply)

    def _call(self, route: Route, body: Optional[bytes] = None) -> Reply:
        self._fail_if_ended(route, self._service.exit)
        method, path = route
        try:
            return request(self.port, self._token, method, path, body, self._request_timeout)
        except RequestFailed as failure:
            # The service may have died while the request was on its way: say so, rather than
            # the connection's error.
            self._fail_if_ended(route, self._service.wait_ended(END_GRACE))
            raise SidecarError(
                ErrorKind.CONNECTION, f"{_what(route)} could not be completed: {failure}", errno=failure.errno
            ) from None

    @staticmethod
    def _fail_if_ended(route: Route, exit: Optional[SidecarExit]) -> None:
        if exit is not None:
            raise SidecarError(
                ErrorKind.CONNECTION,
                f"{_what(route)} could not be made: the service has ended"
                f" ({describe_end(exit.returncode, exit.killed)}); start a new sidecar to go on",
                returncode=exit.returncode,
            )

    def _unexpected(self, route: Route, reply: Reply) -> SidecarError:
        body = redact(reply.body, self._token)
        shown = f" {clip(body)}" if body else ""
        return SidecarError(
            ErrorKind.HTTP,
            f"{_what(route)} answered {reply.status_text}{shown}",
            http_status=reply.status,
            body=body,
        )


def _what(route: Route) -> str:
    return " ".join(route)
