"""Capture what an estimator prints on the calling thread only.

The estimators print through Python's ``print`` on the thread that called
them. ``contextlib.redirect_stdout`` swaps ``sys.stdout`` for every thread,
and two overlapping redirects in different threads can leave ``sys.stdout``
pointing at a dead buffer. Here ``sys.stdout`` is wrapped once by a router
that sends writes of a capturing thread to that thread's buffer and
everything else to the stream it wraps.
"""

from __future__ import annotations

import io
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager

_local = threading.local()
_lock = threading.Lock()
_users = 0


class _Router(io.TextIOBase):
    def __init__(self, target):
        self.target = target

    def _stream(self):
        buffer = getattr(_local, "buffer", None)
        return buffer if buffer is not None else self.target

    def write(self, text):
        stream = self._stream()
        return stream.write(text) if stream is not None else len(text)

    def flush(self):
        stream = self._stream()
        if stream is not None:
            stream.flush()

    def writable(self):
        return True

    def __getattr__(self, name):
        return getattr(self.target, name)


@contextmanager
def captured_stdout() -> Iterator[io.StringIO]:
    """Collect this thread's printed output in a StringIO for the block's duration."""
    global _users
    with _lock:
        if not isinstance(sys.stdout, _Router):
            sys.stdout = _Router(sys.stdout)
        router = sys.stdout
        _users += 1
    previous = getattr(_local, "buffer", None)
    buffer = io.StringIO()
    _local.buffer = buffer
    try:
        yield buffer
    finally:
        _local.buffer = previous
        with _lock:
            _users -= 1
            if _users == 0 and sys.stdout is router:
                sys.stdout = router.target
