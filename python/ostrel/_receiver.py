"""What an instrument sends, read on a worker thread: a wait ends at its own deadline, and a reply that comes
after it is kept for the next read instead of being lost."""
from __future__ import annotations

import ctypes
import enum
import threading
import time
from concurrent import futures
from typing import Callable, Optional, Tuple

from .errors import Timeout

#: How long one library read waits at most: the pipe time-out the library gives every instrument.
PIPE_TIMEOUT = 1.0
#: One library read takes at most this many bytes; a longer reply comes in several reads.
CHUNK = 1 << 16

#: Fills the buffer with one transfer and returns its length, None when the pipe timed out; raises on failure.
Transfer = Callable[["ctypes.Array[ctypes.c_char]", int], Optional[int]]


class End(enum.Enum):
    """Why a piece of data ends where it does."""

    REPLY = "the instrument's reply ends there"
    TERMCHAR = "it ends with the termination character"
    COUNT = "the count asked for was reached, or the reply goes on"


def deadline_after(timeout: Optional[float]) -> Optional[float]:
    """The monotonic time `timeout` seconds from now; None waits without limit."""
    return None if timeout is None else time.monotonic() + max(0.0, timeout)


def _remaining(deadline: Optional[float]) -> Optional[float]:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


class Receiver:
    """The bytes one instrument has sent and nobody has taken yet, and the read that fetches more.

    A library read cannot be cut short, so it runs on a worker thread; a caller
    whose deadline passes leaves it running, and what it brings waits here."""

    def __init__(self, transfer: Transfer, call: str, instrument: str) -> None:
        self._transfer = transfer
        self._call = call
        self._instrument = instrument
        self._lock = threading.RLock()
        self._pending = bytearray()
        self._ends_reply = False  # the pending bytes end where a reply ended
        self._inflight: "Optional[futures.Future[Optional[bytes]]]" = None
        self._worker: Optional[futures.ThreadPoolExecutor] = None
        self._buffer = ctypes.create_string_buffer(CHUNK)  # the worker's alone

    def take(self, count: int, timeout: Optional[float], termchar: Optional[bytes] = None) -> Tuple[bytes, End]:
        """Up to `count` bytes of what has come, waiting up to `timeout` seconds if nothing has: the shape of
        one message-based read, which stops at the end of a reply or after the termination character."""
        return self._take(count, deadline_after(timeout), timeout, termchar)

    def read(self, timeout: Optional[float], count: Optional[int] = None) -> bytes:
        """The rest of the current reply (count None), or exactly `count` bytes however many replies they span.
        Within `timeout` seconds overall; on a time-out nothing is consumed."""
        if count == 0:
            return b""
        deadline = deadline_after(timeout)
        with self._lock:
            data = bytearray()
            try:
                while True:
                    chunk, end = self._take(CHUNK if count is None else count - len(data), deadline, timeout)
                    data += chunk
                    if (end is End.REPLY) if count is None else len(data) == count:
                        return bytes(data)
            except BaseException:
                self._pending[:0] = data
                raise

    def clear(self) -> None:
        """Drops what has come and the read under way (waiting for it: what it brings predates the clear)."""
        with self._lock:
            if self._inflight is not None:
                futures.wait([self._inflight])
                self._inflight = None
            self._pending.clear()
            self._ends_reply = False

    def close(self) -> None:
        """Lets a read under way finish on its own; its bytes are dropped."""
        with self._lock:
            if self._worker is not None:
                self._worker.shutdown(wait=False)
            self._worker = self._inflight = None

    def _take(self, count: int, deadline: Optional[float], timeout: Optional[float],
              termchar: Optional[bytes] = None) -> Tuple[bytes, End]:
        with self._lock:
            self._fill(deadline, timeout)
            size, end = min(count, len(self._pending)), End.COUNT
            at = self._pending.find(termchar, 0, size) if termchar else -1
            if at >= 0:
                size, end = at + 1, End.TERMCHAR
            data = bytes(self._pending[:size])
            del self._pending[:size]
            if end is End.COUNT and not self._pending and self._ends_reply:
                end = End.REPLY
            return data, end

    def _fill(self, deadline: Optional[float], timeout: Optional[float]) -> None:
        while not self._pending:
            if self._inflight is None:
                if self._worker is None:
                    self._worker = futures.ThreadPoolExecutor(1, thread_name_prefix="ostrel-read")
                self._inflight = self._worker.submit(self._read_once)
            try:
                data = self._inflight.result(timeout=_remaining(deadline))
            except BaseException as error:
                # A read that failed is over. One that goes on (the wait timed out or was interrupted, even
                # if the read ends just now) brings its bytes to the next caller.
                if self._inflight.done() and self._inflight.exception() is not None:
                    self._inflight = None
                if isinstance(error, futures.TimeoutError):
                    raise Timeout(f"no reply within {timeout:g} s", self._call, self._instrument) from None
                raise
            self._inflight = None
            if data is not None:
                self._pending += data
                # A transfer shorter than the buffer is the end of the reply (an empty one ends a reply
                # that filled the buffer exactly).
                self._ends_reply = len(data) < CHUNK
                if not data:
                    return
            elif _remaining(deadline) == 0:
                raise Timeout(f"no reply within {timeout:g} s", self._call, self._instrument)

    def _read_once(self) -> Optional[bytes]:
        count = self._transfer(self._buffer, CHUNK)
        return None if count is None else ctypes.string_at(self._buffer, count)
