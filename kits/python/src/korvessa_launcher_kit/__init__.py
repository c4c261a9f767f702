"""korvessa-launcher-kit: start korvessa-client-services beside a Python game launcher and call
its routes. Standard library only; Python 3.9 or later."""

from ._errors import ErrorKind, SidecarError
from ._protocol import PROXY_LOG_FILE_NAME
from ._proxy_log import proxy_log_offset
from ._records import LoginTicket, PresenceSession, SidecarExit
from ._service_path import default_service_path
from ._sidecar import Sidecar
from ._version import __version__

__all__ = [
    "PROXY_LOG_FILE_NAME",
    "ErrorKind",
    "LoginTicket",
    "PresenceSession",
    "Sidecar",
    "SidecarError",
    "SidecarExit",
    "__version__",
    "default_service_path",
    "proxy_log_offset",
]
