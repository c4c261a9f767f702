"""Shared by the tests: the table every kit runs (kits/cases.json), where the service is, stand-in
programs, and the steps of a session as the table writes them."""

from __future__ import annotations

import ast
import json
import os
import re
import stat
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, Optional

import pytest

from korvessa_launcher_kit import LoginTicket, PresenceSession, Sidecar, SidecarError, default_service_path

# KCS_CASES, or kits/cases.json beside this kit in the source tree.
CASES: Dict[str, Any] = json.loads(
    Path(os.environ.get("KCS_CASES") or Path(__file__).resolve().parents[2] / "cases.json").read_text("utf-8")
)
# KCS_SERVICE, or the service the installed package carries.
SERVICE = os.environ.get("KCS_SERVICE") or default_service_path()


def row_name(row: Dict[str, Any]) -> str:
    return str(row["name"])


def snake(name: str) -> str:
    """The table's JSON spelling of an option or field as this kit spells it."""
    return re.sub("([A-Z])", r"_\1", name).lower()


def start_options(options: Dict[str, Any]) -> Dict[str, Any]:
    """The table's options as Sidecar.start()'s keywords; times in milliseconds become seconds."""
    return {
        snake(name[:-2]) if name.endswith("Ms") else snake(name): value / 1000 if name.endswith("Ms") else value
        for name, value in options.items()
    }


def record(call: str, members: Dict[str, Any]) -> Any:
    fields = {snake(name): os.getpid() if value == "launcher" else value for name, value in members.items()}
    return LoginTicket(**fields) if call == "putLaunchTicket" else PresenceSession(**fields)


def refused_argument(error: BaseException, name: str) -> bool:
    """Whether the error is the kit's refusal of the option or field of the table's name."""
    return isinstance(error, (TypeError, ValueError)) and str(error).startswith(snake(name) + " ")


def literal_object(line: bytes) -> Dict[str, Any]:
    """A JSON object of strings and numbers read with Python's own literal reader, which shares
    nothing with the kit's JSON: it must be one line of UTF-8 without a byte-order mark."""
    assert not line.startswith(b"\xef\xbb\xbf") and line.count(b"\n") == 0, line
    value = ast.literal_eval(line.decode("utf-8"))
    assert isinstance(value, dict)
    return value


def run_step(sidecar: Sidecar, step: Dict[str, Any]) -> None:
    """One call of the table's session (or of "then", or after the stop) and what it must give."""
    call = step["call"]
    methods: Dict[str, Callable[[], Any]] = {
        "checkHealth": sidecar.check_health,
        "takeLaunchTicket": sidecar.take_launch_ticket,
        "putLaunchTicket": lambda: sidecar.put_launch_ticket(record(call, step["record"])),
        "putPresenceSession": lambda: sidecar.put_presence_session(record(call, step["record"])),
    }
    expected = step.get("error")
    if expected is None:
        returned = step["returns"]
        wanted = None if returned is None else record("putLaunchTicket", returned)
        assert methods[call]() == wanted, step
        return
    with pytest.raises(Exception) as raised:
        methods[call]()
    error = raised.value
    if expected["kind"] == "argument":
        assert refused_argument(error, expected["option"]), (step, error)
    else:
        assert isinstance(error, SidecarError) and error.kind == expected["kind"], (step, error)
    assert expected.get("says", "") in str(error), (step, error)


def is_running(pid: int) -> bool:
    """Whether the process exists and is not a zombie waiting for a parent to reap it."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(") ", 1)[1][0]
    except (OSError, IndexError):
        return False
    return state != "Z"


class StandIn:
    """A shell script run in place of the service; it first writes its pid to a file."""

    def __init__(self, folder: Path, body: str) -> None:
        self.path = folder / "stand-in.sh"
        self._pid_file = folder / "stand-in.pid"
        self.path.write_text(f"#!/bin/sh\necho $$ > '{self._pid_file}'\n{body}\n")
        self.path.chmod(stat.S_IRWXU)

    def pid(self) -> Optional[int]:
        """Its pid, None when it never ran."""
        return int(self._pid_file.read_text()) if self._pid_file.exists() else None


@pytest.fixture
def stand_in(tmp_path: Path) -> Callable[[str], StandIn]:
    return lambda body: StandIn(tmp_path, body)


@pytest.fixture(scope="session")
def service_env(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Dict[str, str]]:
    """A private runtime directory for the service, so a presence never reaches a real Discord."""
    runtime = tmp_path_factory.mktemp("runtime")
    runtime.chmod(stat.S_IRWXU)
    yield {"XDG_RUNTIME_DIR": str(runtime)}
