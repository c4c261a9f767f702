"""The hand-over of the service's standard error to the launcher's on_diagnostic callback."""

from __future__ import annotations

import collections
import threading
from typing import Callable, Deque, Optional

# Lines waiting for a callback that is slow or blocked; beyond this they are dropped, so that
# the reading of standard error (and with it the service) never waits for the callback.
MAX_PENDING = 1000


class Relay:
    """Lines pushed by the reader of standard error, handed to the callback one by one, in
    order, by run() on a thread of its own, outside any lock. A callback that raises gets the
    next line all the same."""

    def __init__(self, callback: Callable[[str], object]) -> None:
        self._callback = callback
        self._lines: Deque[str] = collections.deque()
        self._closed = False
        self._changed = threading.Condition(threading.Lock())

    def push(self, line: str) -> None:
        with self._changed:
            if len(self._lines) < MAX_PENDING:
                self._lines.append(line)
                self._changed.notify()

    def close(self) -> None:
        with self._changed:
            self._closed = True
            self._changed.notify()

    def _next(self) -> Optional[str]:
        with self._changed:
            while not self._lines and not self._closed:
                self._changed.wait()
            return self._lines.popleft() if self._lines else None

    def run(self) -> None:
        try:
            while True:
                line = self._next()
                if line is None:
                    return
                try:
                    self._callback(line)
                except BaseException:  # the launcher's fault; the next line comes all the same
                    pass
        except Exception:
            pass
