"""Every way a start can fail, and what a start reads and hands on: the table's rows, and what
this kit adds to them."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Dict, List

import pytest
from conftest import (
    CASES,
    SERVICE,
    StandIn,
    is_running,
    literal_object,
    refused_argument,
    row_name,
    run_step,
    start_options,
)

from korvessa_launcher_kit import LoginTicket, Sidecar, SidecarError


def _services(folder: Path) -> Dict[str, Path]:
    """What stands at the service path for the table's "service" rows."""
    (folder / "not-runnable").write_text("#!/bin/sh\n")
    (folder / "not-runnable").chmod(0o644)
    return {"missing": folder / "no-such-service", "directory": folder, "not-runnable": folder / "not-runnable"}


@pytest.mark.parametrize("row", CASES["startFailures"], ids=row_name)
def test_start_fails(
    row: Dict[str, Any], tmp_path: Path, stand_in: Callable[[str], StandIn], service_env: Dict[str, str]
) -> None:
    program = stand_in(row["standIn"]) if "standIn" in row else None
    path = program.path if program else _services(tmp_path).get(row.get("service", ""), Path(SERVICE))
    env = dict(service_env)
    if row.get("readBack"):
        env["KCS_READ_BACK"] = str(tmp_path / "read-back")
    options: Dict[str, Any] = {"client_dir": str(tmp_path), "service_path": path, "token": CASES["token"], "env": env}
    options.update(start_options(row.get("options", {})))
    with pytest.raises(Exception) as raised:
        Sidecar.start(options.pop("client_dir"), **options)
    error, expected = raised.value, row["error"]
    if expected["kind"] == "argument":
        assert refused_argument(error, expected["option"]), error
    else:
        assert isinstance(error, SidecarError) and error.kind == expected["kind"], error
        assert error.returncode == expected.get("exitStatus", error.returncode)
        assert error.diagnostics == expected.get("diagnostics", error.diagnostics)
    assert expected.get("says", "") in str(error)
    shown = [str(error), repr(error)] + [repr(value) for value in vars(error).values()]
    assert not any(CASES["token"] in text or "x" * 31 in text for text in shown), shown
    if program is not None and program.pid() is not None:
        assert not is_running(program.pid() or 0), "the program was left running"
    if row.get("readBack"):
        line = (tmp_path / "read-back").read_bytes()
        assert line.endswith(b"\n")
        assert literal_object(line[:-1]) == {"token": options["token"], "clientDir": row["options"]["clientDir"]}


@pytest.mark.parametrize("row", CASES["starts"], ids=row_name)
def test_start_succeeds(row: Dict[str, Any], stand_in: Callable[[str], StandIn], service_env: Dict[str, str]) -> None:
    path = stand_in(row["standIn"]).path if "standIn" in row else Path(SERVICE)
    with Sidecar.start("", service_path=path, env=service_env, **start_options(row.get("options", {}))) as sidecar:
        if "port" in row:
            assert (sidecar.port, sidecar.url) == (row["port"], f"http://127.0.0.1:{row['port']}")
        for step in row.get("then", []):
            run_step(sidecar, step)


# Arguments a launcher got wrong beyond the table's rows: refused before anything starts (or is
# sent), by a message that begins with the argument's name.
WRONG_STARTS: List[Any] = [
    ({"token": 42}, TypeError, "token"),
    ({"launcher_pid": True}, TypeError, "launcher_pid"),
    ({"announce_timeout": float("nan")}, ValueError, "announce_timeout"),
    ({"request_timeout": float("inf")}, ValueError, "request_timeout"),
    ({"request_timeout": "5"}, TypeError, "request_timeout"),
    ({"client_dir": b"games"}, TypeError, "client_dir"),
    ({"client_dir": "games\udc80"}, ValueError, "client_dir"),
    ({"service_path": "a\0b"}, ValueError, "service_path"),
    ({"env": {"A=B": "1"}}, ValueError, "env"),
    ({"env": {"A": 1}}, TypeError, "env"),
    ({"on_diagnostic": "print"}, TypeError, "on_diagnostic"),
]


def test_wrong_arguments_are_refused_before_anything_starts(stand_in: Callable[[str], StandIn]) -> None:
    program = stand_in("read line; echo http://127.0.0.1:9; exec sleep 60")
    for given, kind, name in WRONG_STARTS:
        options: Dict[str, Any] = {"client_dir": "", "service_path": program.path, **given}
        with pytest.raises(kind, match=f"^{name} "):
            Sidecar.start(options.pop("client_dir"), **options)
    assert program.pid() is None, "it was started"
    with Sidecar.start("", service_path=program.path) as sidecar:
        for ticket, kind, name in [
            ("T-1", TypeError, "ticket"),
            (LoginTicket("\ud800", "!a", "T", "", 0), ValueError, "username"),
            (LoginTicket("a", "!a", "T", "", 3600.0), TypeError, "ttl_seconds"),  # type: ignore[arg-type]
        ]:
            with pytest.raises(kind, match=f"^{name} "):
                sidecar.put_launch_ticket(ticket)  # type: ignore[arg-type]


def test_standard_error_is_read_from_the_start_whatever_the_callback_does(stand_in: Callable[[str], StandIn]) -> None:
    # A megabyte without a line feed on standard error before the address line: a kit that did
    # not read the pipe all along would leave the program blocked and time out. The callback
    # blocks on the first line until the start is over, and raises on the second.
    program = stand_in(
        "printf 'one\\ntwo\\n' >&2; head -c 1048576 /dev/zero | tr '\\000' x >&2;"
        " printf '\\nthr\\303' >&2; sleep 0.2; printf '\\274e\\r\\nfour\\n' >&2;"
        " read line; echo http://127.0.0.1:9; exec sleep 60"
    )
    lines: List[str] = []
    threads = set()
    started, done = threading.Event(), threading.Event()

    def on_diagnostic(line: str) -> None:
        threads.add(threading.get_ident())
        lines.append(line)
        if line == "one":
            started.wait(30)
        if line == "two":
            raise RuntimeError("a launcher's mistake")
        if line == "four":
            done.set()

    with Sidecar.start("", service_path=program.path, on_diagnostic=on_diagnostic, announce_timeout=30):
        started.set()
        assert done.wait(30)
    # A long line comes in pieces of 64 KiB; a line split inside a UTF-8 sequence comes whole.
    assert lines == ["one", "two"] + ["x" * 65536] * 16 + ["thrüe", "four"]
    assert threads and threading.get_ident() not in threads


@pytest.mark.skipif(os.name == "nt", reason="launcher pid 1 is POSIX's")
def test_nothing_is_left_running_when_the_interpreter_exits(tmp_path: Path, service_env: Dict[str, str]) -> None:
    # With launcher pid 1 the service would not end by itself: the kit must end it.
    script = (
        "import sys, korvessa_launcher_kit as kit\n"
        "sidecar = kit.Sidecar.start(sys.argv[1], service_path=sys.argv[2], launcher_pid=1, env={'XDG_RUNTIME_DIR': sys.argv[3]})\n"
        "print(sidecar.pid, flush=True)\n"
    )
    ran = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path), SERVICE, service_env["XDG_RUNTIME_DIR"]],
        capture_output=True, text=True, timeout=60, check=True,
    )
    pid = int(ran.stdout)
    deadline = time.monotonic() + 10
    while is_running(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    left_running = is_running(pid)
    if left_running:
        os.kill(pid, signal.SIGKILL)
    assert not left_running
