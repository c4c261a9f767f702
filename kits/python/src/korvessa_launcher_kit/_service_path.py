"""Where the service this package carries lies: in the installed package, and in an app frozen
with PyInstaller, where the package's hook (korvessa_launcher_kit/_pyinstaller) put it."""

from __future__ import annotations

import os
import platform
import sys
from typing import Dict, Tuple

from ._errors import ErrorKind, SidecarError

# The platforms a wheel of this package carries the service for, by (sys.platform, machine),
# and the program's file name on each. Each wheel carries one of them, in service/.
CARRIED: Dict[Tuple[str, str], str] = {
    ("linux", "x86_64"): "korvessa-client-services",
    ("win32", "amd64"): "korvessa-client-services.exe",
}
# The service's folder inside the package, and inside a frozen app's bundle.
SERVICE_FOLDER = ("korvessa_launcher_kit", "service")


def default_service_path() -> str:
    """The service this package carries for the running platform.

    In a PyInstaller app (``sys.frozen``) it is the copy the package's hook collected into the
    bundle (``korvessa_launcher_kit/service/`` under ``sys._MEIPASS``); elsewhere the one in
    the installed package's ``service/`` folder. On a platform no wheel carries a service for it
    raises SidecarError ("spawn") naming the platform: pass ``service_path`` there.
    """
    machine = platform.machine().lower()
    name = CARRIED.get((sys.platform, machine))
    if name is None:
        carried = " and ".join(f"{system} {arch}" for system, arch in CARRIED)
        raise SidecarError(
            ErrorKind.SPAWN,
            f"korvessa-launcher-kit carries the service for {carried}, not for {sys.platform}"
            f" {machine or 'unknown'}: pass service_path to Sidecar.start()",
        )
    bundle = getattr(sys, "_MEIPASS", None)
    if getattr(sys, "frozen", False) and isinstance(bundle, str):
        return os.path.join(bundle, *SERVICE_FOLDER, name)
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), SERVICE_FOLDER[1], name)
