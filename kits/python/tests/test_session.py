"""A whole session against the built service, the calls after its end, the requests on the
wire, and calls from several threads."""

from __future__ import annotations

import os
import signal
import socket
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, List, Optional, Tuple

import pytest
from conftest import CASES, SERVICE, StandIn, is_running, literal_object, run_step

from korvessa_launcher_kit import LoginTicket, PresenceSession, Sidecar, SidecarError, SidecarExit, _protocol

PROTOCOL = CASES["protocol"]


def test_session_then_calls_after_the_stop(service_env: Dict[str, str]) -> None:
    with Sidecar.start("", service_path=SERVICE, token=CASES["token"], env=service_env) as sidecar:
        assert (sidecar.token, sidecar.launcher_pid) == (CASES["token"], os.getpid())
        assert sidecar.url == f"http://127.0.0.1:{sidecar.port}" and CASES["token"] not in repr(sidecar)
        for step in CASES["session"]:
            run_step(sidecar, step)
    # Leaving the block stopped it: killed at once, reaped, the same answer each time.
    ended = sidecar.stop()
    assert ended == SidecarExit(-signal.SIGKILL, True) and ended.signal == signal.SIGKILL
    assert sidecar.stop() is ended and not is_running(sidecar.pid)
    for step in CASES["afterStop"]:
        run_step(sidecar, step)


def test_the_protocol_constants_are_the_tables() -> None:
    routes = PROTOCOL["routes"]
    assert _protocol.TOKEN_HEADER == PROTOCOL["tokenHeader"]
    assert [_protocol.HEALTH, _protocol.PUT_LAUNCH_TICKET, _protocol.TAKE_LAUNCH_TICKET, _protocol.PUT_PRESENCE_SESSION] == [
        (routes[name]["method"], routes[name]["path"])
        for name in ("health", "putLaunchTicket", "takeLaunchTicket", "putPresenceSession")
    ]
    assert _protocol.HEALTH_BODY == PROTOCOL["healthBody"]
    assert _protocol.NO_LAUNCH_SESSION == PROTOCOL["errors"]["noLaunchSession"]
    assert [_protocol.CONFIG_FIELDS, _protocol.LOGIN_TICKET_FIELDS, _protocol.PRESENCE_SESSION_FIELDS] == [
        tuple(PROTOCOL["records"][name]) for name in ("config", "loginTicket", "presenceSession")
    ]
    assert _protocol.PROXY_LOG_FILE_NAME == PROTOCOL["proxyLogFileName"]


class Server:
    """A listener on the loopback that reads each request whole and answers it with the next of
    its replies (None: no answer at all)."""

    def __init__(self, replies: List[Optional[bytes]]) -> None:
        self.requests: List[Tuple[bytes, Dict[str, str], bytes]] = []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._replies = replies
        self._idle = threading.Event()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self) -> None:
        try:
            self._answer_each()
        except OSError:  # closed by the test
            pass

    def _answer_each(self) -> None:
        for reply in self._replies:
            connection, _ = self._listener.accept()
            with connection, connection.makefile("rb") as stream:
                head = [stream.readline().rstrip(b"\r\n")]
                while head[-1]:
                    head.append(stream.readline().rstrip(b"\r\n"))
                fields = dict(line.decode().split(": ", 1) for line in head[1:-1])
                headers = {name.lower(): value for name, value in fields.items()}
                self.requests.append((head[0], headers, stream.read(int(headers.get("content-length", 0)))))
                if reply is None:
                    self._idle.wait()  # open and unanswered until the test is over
                else:
                    connection.sendall(reply)

    def close(self) -> None:
        self._idle.set()
        self._listener.close()


def answer(status: str, body: str) -> bytes:
    data = body.encode()
    return f"HTTP/1.1 {status}\r\nContent-Length: {len(data)}\r\nConnection: close\r\n\r\n".encode() + data


def test_requests_on_the_wire(stand_in: Callable[[str], StandIn], monkeypatch: pytest.MonkeyPatch) -> None:
    # A proxy from the environment, which the requests must not go through.
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy"):
        monkeypatch.setenv(name, "http://127.0.0.1:9")
    monkeypatch.delenv("no_proxy", raising=False)
    no_session = '{"ok":false,"error":"%s"}' % PROTOCOL["errors"]["noLaunchSession"]
    ticket = LoginTicket("ann", "!ann", "T-1", "", 3600)
    calls: List[Tuple[Optional[bytes], Callable[[Sidecar], Any], str, Any]] = [
        (answer("200 OK", PROTOCOL["healthBody"]), Sidecar.check_health, "health", None),
        (answer("200 OK", '{"ok":true}'), Sidecar.check_health, "health", ("http", 200)),
        (answer("404 Not Found", no_session), Sidecar.take_launch_ticket, "takeLaunchTicket", None),
        (answer("200 OK", '{"ticket":7}'), Sidecar.take_launch_ticket, "takeLaunchTicket", ("http", 200)),
        (answer("500 Oops", ""), lambda s: s.put_presence_session(PresenceSession(7, 0)), "putPresenceSession", ("http", 500)),
        (None, lambda s: s.put_launch_ticket(ticket), "putLaunchTicket", ("connection", None)),
    ]
    server = Server([reply for reply, *_ in calls])
    program = stand_in(f"read line; echo http://127.0.0.1:{server.port}; exec sleep 60")
    try:
        with Sidecar.start("", service_path=program.path, token=CASES["token"], request_timeout=0.5) as sidecar:
            for _, call, _, failure in calls:
                if failure is None:
                    assert call(sidecar) is None
                    continue
                with pytest.raises(SidecarError) as raised:
                    call(sidecar)
                assert (raised.value.kind, raised.value.http_status) == failure
            assert "no complete reply within 0.5 s" in str(raised.value)
    finally:
        server.close()
    routes = PROTOCOL["routes"]
    for (line, headers, body), (_, _, route, _) in zip(server.requests, calls):
        assert line == f"{routes[route]['method']} {routes[route]['path']} HTTP/1.1".encode()
        assert headers[PROTOCOL["tokenHeader"]] == CASES["token"] and "expect" not in headers
        assert headers["host"] == f"127.0.0.1:{server.port}"
        if route.startswith("put"):
            assert headers["content-type"] == "application/json"
    assert literal_object(server.requests[4][2]) == {"pid": 7, "logOffset": 0}
    assert literal_object(server.requests[5][2]) == {
        "username": "ann", "clientLogin": "!ann", "ticket": "T-1", "expiresAt": "", "ttlSeconds": 3600
    }


def test_calls_from_several_threads(service_env: Dict[str, str]) -> None:
    sidecar = Sidecar.start("", service_path=SERVICE, env=service_env)
    with ThreadPoolExecutor(8) as pool:
        assert list(pool.map(lambda _: sidecar.check_health(), range(16))) == [None] * 16
        ends = list(pool.map(lambda _: sidecar.stop(), range(4)))
    assert all(end is ends[0] for end in ends) and ends[0].killed
