# PyInstaller hook: a frozen app that imports korvessa_launcher_kit carries the service the
# installed wheel carries, as a binary (so it keeps its run bit), in the folder where
# default_service_path() looks for it under sys._MEIPASS, and the program's notices beside it as
# data (text files, which a binary's dependency scan has no business reading).
import os

from PyInstaller.utils.hooks import get_package_paths

_, _package = get_package_paths("korvessa_launcher_kit")
_service = os.path.join(_package, "service")
_names = sorted(os.listdir(_service)) if os.path.isdir(_service) else []
_target = "korvessa_launcher_kit/service"
binaries = [(os.path.join(_service, n), _target) for n in _names if n.startswith("korvessa-client-services")]
datas = [(os.path.join(_service, n), _target) for n in _names if not n.startswith("korvessa-client-services")]
