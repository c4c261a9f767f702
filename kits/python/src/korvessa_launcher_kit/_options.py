"""The checks of Sidecar.start()'s options, made before anything starts. A wrong type raises
TypeError, a wrong value ValueError; each message begins with the option's name and never
repeats the token."""

from __future__ import annotations

import math
import os
import threading
from typing import Callable, Dict, Mapping, NamedTuple, Optional, Union

from ._records import MAX_PID, check_path, check_text, check_whole

PathArg = Union[str, "os.PathLike[str]"]
MIN_TOKEN_LENGTH = 32


class StartOptions(NamedTuple):
    client_dir: str
    service_path: Optional[str]
    token: Optional[str]
    launcher_pid: Optional[int]
    announce_timeout: float
    request_timeout: float
    env: Optional[Dict[str, Optional[str]]]
    on_diagnostic: Optional[Callable[[str], object]]


def check_timeout(name: str, value: object) -> float:
    """Seconds, more than 0 and no more than a lock's wait can hold."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not (value > 0 and math.isfinite(value) and value <= threading.TIMEOUT_MAX):
        raise ValueError(f"{name} must be more than 0 and at most {threading.TIMEOUT_MAX:.0f} seconds")
    return float(value)


def check_token(value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"token must be a str, not {type(value).__name__}")
    # The token travels in an HTTP header: printable ASCII without spaces goes there unchanged.
    if len(value) < MIN_TOKEN_LENGTH or not all("!" <= c <= "~" for c in value):
        raise ValueError(
            f"token must be at least {MIN_TOKEN_LENGTH} characters of printable ASCII without"
            " spaces (0x21 to 0x7E): it travels in an HTTP header"
        )
    return value


def _without_nul(name: str, text: str) -> str:
    if "\0" in text:
        raise ValueError(f"{name} must not hold a NUL character")
    return text


def check_env(value: object) -> Dict[str, Optional[str]]:
    if not isinstance(value, Mapping):
        raise TypeError(f"env must be a mapping of names to str or None, not {type(value).__name__}")
    checked: Dict[str, Optional[str]] = {}
    for name, text in value.items():
        name = _without_nul("env", check_text("env", name))
        if not name or "=" in name:
            raise ValueError(f"env holds a variable name that cannot be used: {name!r}")
        checked[name] = None if text is None else _without_nul("env", check_text("env", text))
    return checked


def check_callback(value: object) -> Optional[Callable[[str], object]]:
    if value is None:
        return None
    if not callable(value):
        raise TypeError(f"on_diagnostic must be callable, not {type(value).__name__}")
    return value


def check_start_options(
    client_dir: object,
    service_path: object,
    token: object,
    launcher_pid: object,
    announce_timeout: object,
    request_timeout: object,
    env: object,
    on_diagnostic: object,
) -> StartOptions:
    path: Optional[str] = None
    if service_path is not None:
        path = _without_nul("service_path", check_path("service_path", service_path))
        if not path:
            raise ValueError("service_path must not be empty")
    return StartOptions(
        client_dir=check_path("client_dir", client_dir),
        service_path=path,
        token=None if token is None else check_token(token),
        launcher_pid=None if launcher_pid is None else check_whole("launcher_pid", launcher_pid, 1, MAX_PID),
        announce_timeout=check_timeout("announce_timeout", announce_timeout),
        request_timeout=check_timeout("request_timeout", request_timeout),
        env=None if env is None else check_env(env),
        on_diagnostic=check_callback(on_diagnostic),
    )


def service_environment(extra: Optional[Dict[str, Optional[str]]]) -> Optional[Dict[str, str]]:
    """This process's environment with the extra variables set, or removed where None; None
    (inherit it as it is) without any."""
    if not extra:
        return None
    environment = dict(os.environ)
    for name, value in extra.items():
        if os.name == "nt":  # names are the same whatever their case
            for known in [known for known in environment if known.upper() == name.upper()]:
                del environment[known]
        else:
            environment.pop(name, None)
        if value is not None:
            environment[name] = value
    return environment
