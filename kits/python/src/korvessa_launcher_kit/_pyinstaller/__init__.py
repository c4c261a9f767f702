"""PyInstaller finds this package's hook through the pyinstaller40 entry point (hook-dirs)."""

from __future__ import annotations

import os
from typing import List


def get_hook_dirs() -> List[str]:
    return [os.path.dirname(os.path.abspath(__file__))]
