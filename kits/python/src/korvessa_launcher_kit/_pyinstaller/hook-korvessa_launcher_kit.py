# PyInstaller hook: a frozen app that imports korvessa_launcher_kit carries the service the
# installed wheel carries, as a binary (so it keeps its run bit), in the folder where
# default_service_path() looks for it under sys._MEIPASS.
import os

from PyInstaller.utils.hooks import get_package_paths

_, _package = get_package_paths("korvessa_launcher_kit")
_service = os.path.join(_package, "service")
binaries = [
    (os.path.join(_service, name), "korvessa_launcher_kit/service")
    for name in (sorted(os.listdir(_service)) if os.path.isdir(_service) else [])
]
