"""The service as a child process: started without a shell (on Windows without a console
window), its configuration line written and its address line read on a thread of its own, its
standard error read from the start, its end noticed, killed and reaped at once when asked."""

from __future__ import annotations

import collections
import os
import queue
import re
import signal
import subprocess
import threading
import time
from typing import IO, Callable, Deque, Dict, NamedTuple, Optional

from ._diagnostics import Relay
from ._errors import ErrorKind, SidecarError, clip, redact
from ._records import SidecarExit

# The address line is about 30 bytes; anything much longer is not one.
MAX_ANNOUNCEMENT_BYTES = 1024
# A line of standard error longer than this is handed on in pieces of it.
MAX_DIAGNOSTIC_BYTES = 64 * 1024
# What an "exited" failure keeps of the service's standard error.
KEPT_DIAGNOSTICS = 100
# How long a failed start waits for the rest of standard error once the service has ended (a
# child of its own may hold the pipe open).
ERRORS_GRACE = 1.0
ADDRESS = re.compile(rb"http://127\.0\.0\.1:([1-9][0-9]{0,4})")
# Without a console window for a console program that a GUI launcher starts (Windows).
CREATION_FLAGS = getattr(subprocess, "CREATE_NO_WINDOW", 0)


class FirstLine(NamedTuple):
    line: Optional[bytes]  # None: standard output closed without one
    too_long: bool
    taken: bool  # whether the service took the configuration line


def announced_port(line: bytes) -> Optional[int]:
    """The port of an address line "http://127.0.0.1:PORT" (1 to 65535), or None."""
    match = ADDRESS.fullmatch(line)
    if match is None:
        return None
    port = int(match.group(1))
    return port if 1 <= port <= 65535 else None


def _spawn_failure(path: str, error: OSError) -> SidecarError:
    # The system's code alone (EACCES for a directory and for a file without the run bit
    # alike) does not say what is wrong.
    if os.path.isdir(path):
        reason = "it is a directory. service_path must name the korvessa-client-services program itself"
    elif not os.path.exists(path):
        reason = (
            "it does not exist. Pass the path of korvessa-client-services as service_path, or"
            " leave service_path out to use the one this package carries"
        )
    else:
        reason = (
            f"it cannot be run ({error.strerror or error}). It needs the run bit (chmod +x) on a"
            " file system that allows programs, and must be a program for this system"
        )
    return SidecarError(
        ErrorKind.SPAWN, f"the service {path!r} could not be started: {reason}", errno=error.errno
    )


class ServiceProcess:
    """One started service. Every method is safe from several threads at once."""

    def __init__(
        self,
        path: str,
        launcher_pid: int,
        env: Optional[Dict[str, str]],
        token: str,
        on_diagnostic: Optional[Callable[[str], object]],
    ) -> None:
        self._token = token
        self._lock = threading.Lock()  # held to kill and to reap, never around a callback
        self._kill_sent = False
        self._exit: Optional[SidecarExit] = None
        self._ended = threading.Event()
        self._kept: Deque[str] = collections.deque(maxlen=KEPT_DIAGNOSTICS)
        self._first_line: "queue.Queue[FirstLine]" = queue.Queue(maxsize=1)
        self._relay = None if on_diagnostic is None else Relay(on_diagnostic)
        try:
            self._popen = subprocess.Popen(
                [path, "--launcher-pid", str(launcher_pid)],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env=env,
                close_fds=True,
                creationflags=CREATION_FLAGS,
            )
        except OSError as error:
            raise _spawn_failure(path, error) from None
        self.pid = self._popen.pid
        try:
            self._errors_read = self._thread("errors", self._read_errors)
            self._thread("waiter", self._wait)
            if self._relay is not None:
                self._thread("diagnostics", self._relay.run)
        except BaseException:  # no thread to be had: nothing may be left running
            self.stop()
            raise

    def _thread(self, role: str, target: Callable[[], None]) -> threading.Thread:
        thread = threading.Thread(target=target, name=f"korvessa-sidecar-{self.pid}-{role}", daemon=True)
        thread.start()
        return thread

    def await_port(self, configuration: bytes, timeout: float) -> int:
        """Writes the configuration line and waits for the address line; returns the port, or
        raises SidecarError (the caller then stops the service)."""
        deadline = time.monotonic() + timeout
        self._thread("output", lambda: self._read_output(configuration))
        try:
            first = self._first_line.get(timeout=timeout)
        except queue.Empty:
            raise SidecarError(
                ErrorKind.ANNOUNCE_TIMEOUT, f"the service did not announce its address within {timeout:g} s"
            ) from None
        if first.line is not None:
            port = announced_port(first.line)
            if port is not None:
                return port
            if first.too_long:
                what = f"a first line longer than {MAX_ANNOUNCEMENT_BYTES} bytes"
            else:
                what = repr(clip(redact(first.line.decode("utf-8", "replace"), self._token)))
            raise SidecarError(ErrorKind.BAD_ANNOUNCEMENT, f"the service announced {what} instead of its address")
        # Standard output closed without a line: the service is ending, or has closed it.
        if not self._ended.wait(max(0.0, deadline - time.monotonic())):
            raise SidecarError(
                ErrorKind.ANNOUNCE_TIMEOUT,
                f"the service closed its standard output and did not announce its address within {timeout:g} s",
            )
        self._errors_read.join(ERRORS_GRACE)
        raise self._exited_before_announcing(first.taken)

    def _exited_before_announcing(self, taken: bool) -> SidecarError:
        exit = self.exit
        assert exit is not None
        diagnostics = list(self._kept)
        if diagnostics:
            reason = f" ({clip(diagnostics[0])})"
        else:
            reason = "" if taken else " (it did not take the configuration line)"
        number = exit.signal
        how = f"with status {exit.returncode}" if number is None else f"by signal {number}"
        return SidecarError(
            ErrorKind.EXITED,
            f"the service ended {how} before announcing its address{reason}",
            returncode=exit.returncode,
            diagnostics=diagnostics,
        )

    @property
    def exit(self) -> Optional[SidecarExit]:
        """How the service ended, or None while it runs (or has not been reaped yet)."""
        return self._exit if self._ended.is_set() else None

    def wait_ended(self, timeout: float) -> Optional[SidecarExit]:
        self._ended.wait(timeout)
        return self.exit

    def stop(self) -> SidecarExit:
        """Kills the service if it still runs, waits for it and returns how it ended: the same
        each time."""
        with self._lock:
            if self._exit is None:
                try:
                    # SIGKILL, or TerminateProcess on Windows. Popen looks first: a service that
                    # has ended already is left as it is and counts as not killed.
                    self._popen.kill()
                    self._kill_sent = self._popen.returncode is None
                except OSError:
                    pass
                self._reap_locked()
            assert self._exit is not None
            return self._exit

    def _reap_locked(self) -> None:
        returncode = self._popen.wait()
        if self._exit is None:
            killed = self._kill_sent and (os.name == "nt" or returncode == -signal.SIGKILL)
            self._exit = SidecarExit(returncode, killed)
            self._ended.set()

    # --- Thread bodies: each catches everything; a failure ends the thread, nothing else. ---

    def _read_output(self, configuration: bytes) -> None:
        stdin, stdout = self._popen.stdin, self._popen.stdout
        first = FirstLine(None, False, False)
        try:
            assert stdin is not None and stdout is not None
            first = first._replace(taken=_write_and_close(stdin, configuration))
            data = stdout.readline(MAX_ANNOUNCEMENT_BYTES + 1)
            if data.endswith(b"\n"):
                first = first._replace(line=_strip_cr(data[:-1]))
            elif data:  # a last line without its line feed, or more than an address line
                first = first._replace(line=data, too_long=len(data) > MAX_ANNOUNCEMENT_BYTES)
        except Exception:
            pass
        finally:
            self._first_line.put(first)
        # The service writes nothing after the address line; whatever comes is drained, so
        # that nothing blocks on a full pipe.
        try:
            while stdout is not None and stdout.read(65536):
                pass
        except Exception:
            pass
        _close(stdout)

    def _read_errors(self) -> None:
        stream = self._popen.stderr
        try:
            assert stream is not None
            cut = False
            while True:
                piece = stream.readline(MAX_DIAGNOSTIC_BYTES)
                if not piece:
                    break
                whole = piece.endswith(b"\n")
                if whole:
                    piece = _strip_cr(piece[:-1])
                    if cut and not piece:  # the end of a line handed on in pieces
                        cut = False
                        continue
                cut = not whole
                line = redact(piece.decode("utf-8", "replace"), self._token)
                self._kept.append(line)
                if self._relay is not None:
                    self._relay.push(line)
        except Exception:
            pass
        finally:
            _close(stream)
            if self._relay is not None:
                self._relay.close()

    def _wait(self) -> None:
        try:
            if hasattr(os, "waitid"):
                # Wait without reaping, then reap under the lock: until then the pid cannot be
                # reused, so stop() never signals a stranger.
                try:
                    os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOWAIT)
                except ChildProcessError:
                    pass
            else:
                # Windows: the process handle keeps the id from reuse until Popen closes it.
                self._popen.wait()
            with self._lock:
                self._reap_locked()
        except Exception:
            pass


def _strip_cr(data: bytes) -> bytes:
    return data[:-1] if data.endswith(b"\r") else data


def _write_and_close(stream: IO[bytes], data: bytes) -> bool:
    """Whether the whole line went in; the service may have ended without reading it."""
    try:
        stream.write(data)
        stream.flush()
        return True
    except (OSError, ValueError):
        return False
    finally:
        _close(stream)


def _close(stream: Optional[IO[bytes]]) -> None:
    try:
        if stream is not None:
            stream.close()
    except (OSError, ValueError):
        pass
