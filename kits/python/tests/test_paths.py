"""Where the kit finds the service it carries, installed and frozen with PyInstaller, and the
proxy log's offset."""

from __future__ import annotations

import importlib.metadata
import os
import platform
import runpy
import shutil
import sys
import types
from pathlib import Path
from typing import List, Optional, Tuple

import pytest

import korvessa_launcher_kit
from korvessa_launcher_kit import PROXY_LOG_FILE_NAME, SidecarError, default_service_path, proxy_log_offset

PACKAGE = Path(korvessa_launcher_kit.__file__).parent


def hook_collects(monkeypatch: pytest.MonkeyPatch) -> Tuple[List[Tuple[str, str]], List[Tuple[str, str]]]:
    """The binaries and the data files that the package's PyInstaller hook, found through the
    pyinstaller40 entry point as PyInstaller finds it, collects (PyInstaller's helper stood in
    for)."""
    distribution = importlib.metadata.distribution("korvessa-launcher-kit")
    (entry,) = [e for e in distribution.entry_points if e.group == "pyinstaller40" and e.name == "hook-dirs"]
    (folder,) = entry.load()()
    hooks = types.ModuleType("PyInstaller.utils.hooks")
    hooks.get_package_paths = lambda name: (str(PACKAGE.parent), str(PACKAGE))  # type: ignore[attr-defined]
    for name in ("PyInstaller", "PyInstaller.utils"):
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name))
    monkeypatch.setitem(sys.modules, "PyInstaller.utils.hooks", hooks)
    hook = runpy.run_path(os.path.join(folder, "hook-korvessa_launcher_kit.py"))
    return hook["binaries"], hook["datas"]


def test_a_frozen_app_runs_the_service_the_hook_collected(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # A onedir app's bundle, laid out as PyInstaller lays out collected binaries: each in its
    # destination folder under sys._MEIPASS, with its mode.
    binaries, datas = hook_collects(monkeypatch)
    # The one program as a binary; its notices, text, as data.
    assert len(binaries) == 1, binaries
    assert all(not os.access(source, os.X_OK) for source, _ in datas), datas
    for source, destination in binaries + datas:
        (tmp_path / destination).mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, tmp_path / destination)
    monkeypatch.setattr(sys, "frozen", True, raising=False)
    monkeypatch.setattr(sys, "_MEIPASS", str(tmp_path), raising=False)
    path = default_service_path()
    assert path.startswith(str(tmp_path)) and os.access(path, os.X_OK), path


@pytest.mark.parametrize(
    "system, machine, frozen, expected",
    [
        ("linux", "x86_64", False, ("package", "service", "korvessa-client-services")),
        ("win32", "AMD64", False, ("package", "service", "korvessa-client-services.exe")),
        ("win32", "AMD64", True, ("bundle", "korvessa_launcher_kit", "service", "korvessa-client-services.exe")),
        ("linux", "aarch64", False, None),
        ("darwin", "arm64", True, None),
    ],
)
def test_default_service_path(
    system: str,
    machine: str,
    frozen: bool,
    expected: Optional[Tuple[str, ...]],
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    monkeypatch.setattr(sys, "platform", system)
    monkeypatch.setattr(platform, "machine", lambda: machine)
    if frozen:
        monkeypatch.setattr(sys, "frozen", True, raising=False)
        monkeypatch.setattr(sys, "_MEIPASS", str(tmp_path), raising=False)
    if expected is None:
        with pytest.raises(SidecarError, match=f"not for {system} {machine.lower()}: pass service_path") as raised:
            default_service_path()
        assert raised.value.kind == "spawn"
    else:
        base, *parts = expected
        assert default_service_path() == os.path.join(PACKAGE if base == "package" else tmp_path, *parts)


def test_proxy_log_offset(tmp_path: Path) -> None:
    assert proxy_log_offset(tmp_path / "no-such-folder") == 0
    assert proxy_log_offset(tmp_path) == 0
    (tmp_path / PROXY_LOG_FILE_NAME).write_bytes(b"x" * 1234)
    assert proxy_log_offset(tmp_path) == proxy_log_offset(str(tmp_path)) == 1234
    (tmp_path / "inside" / PROXY_LOG_FILE_NAME).mkdir(parents=True)
    assert proxy_log_offset(tmp_path / "inside") == 0
