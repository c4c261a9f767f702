from __future__ import annotations

import os
import stat
from typing import Union

from ._protocol import PROXY_LOG_FILE_NAME
from ._records import check_path


def proxy_log_offset(client_dir: Union[str, "os.PathLike[str]"]) -> int:
    """The proxy log's size in bytes, 0 when there is none: the log_offset of the
    PresenceSession, taken just before the game starts, so that the service reads only the lines
    of this game. Other failures to look (a folder that cannot be read) raise OSError."""
    path = os.path.join(check_path("client_dir", client_dir), PROXY_LOG_FILE_NAME)
    try:
        found = os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        return 0
    return found.st_size if stat.S_ISREG(found.st_mode) else 0
