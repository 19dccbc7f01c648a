"""One instrument opened by its device key: command lines and binary blocks out, replies in."""
from __future__ import annotations

import ctypes
import time
from typing import TYPE_CHECKING, Callable, Optional, Tuple

from . import _capi
from ._receiver import PIPE_TIMEOUT, End, Receiver
from .errors import NoSuchInstrument, OstrelError

if TYPE_CHECKING:
    from .library import Library

#: What read() and query() wait for unless told otherwise: as long as one library read does.
DEFAULT_TIMEOUT = PIPE_TIMEOUT
#: A failed library read that returns well before the pipe time-out did not wait for a reply: the
#: instrument failed (unplugged, stalled) and waiting longer would not help.
_FAST_FAILURE = PIPE_TIMEOUT / 2


def reply_text(data: bytes) -> bytes:
    """The reply up to its last line end (CR, LF or CR LF), as the library's ASCII reads cut it; a reply
    without any line end whole."""
    end = max(data.rfind(b"\r"), data.rfind(b"\n"))
    if end < 0:
        return data
    return data[:end - 1] if end > 0 and data[end - 1:end] == b"\r" else data[:end]


class Instrument:
    """An instrument of the device table, named by its device key (IDs may change, keys do not).

    Text goes out as the library's ASCII writes send it (a CR appended unless
    the text ends in one); replies are read in binary, whole however long, and
    a reply that comes after a read gave up waits for the next read. Use it as
    a context manager, or call close()."""

    def __init__(self, library: "Library", key: str, encoding: str = "latin-1") -> None:
        self.library = library
        self.key = key
        #: How text is turned into bytes and back; latin-1 maps each byte to one char and back.
        self.encoding = encoding
        self._key = key.encode(encoding)
        self._receiver = Receiver(self._read_transfer, "vorn_usb_read_by_key", key)

    def __repr__(self) -> str:
        return f"<ostrel.Instrument {self.key!r}>"

    def __enter__(self) -> "Instrument":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def device_id(self) -> int:
        """The instrument's device ID now (NoSuchInstrument once it has left the table)."""
        for info in self.library.instruments():
            if info.key == self.key:
                return info.device_id
        raise NoSuchInstrument("no longer in the device table", "device_id", self.key)

    def write(self, command: str) -> None:
        """Sends one command line; the library appends a CR unless it ends in one."""
        data = command.encode(self.encoding)
        if b"\0" in data:
            raise ValueError(f"command {command!r} holds a NUL, which would end it early; use write_binary")
        self._transfer(lambda: self.library.c.vorn_usb_write_by_key(self._key, _capi.text_buffer(data), len(data)),
                       "vorn_usb_write_by_key")

    def write_binary(self, data: bytes) -> None:
        """Sends exactly these bytes, NULs included, adding nothing."""
        data = bytes(data)
        self._transfer(lambda: self.library.c.vorn_usb_write_binary_by_key(self._key, _capi.text_buffer(data),
                                                                            len(data)),
                       "vorn_usb_write_binary_by_key")

    def read(self, timeout: Optional[float] = DEFAULT_TIMEOUT) -> str:
        """The next reply as text, cut at its last line end. Waits up to `timeout` seconds (None: no limit)
        and raises Timeout after that."""
        return reply_text(self._receiver.read(timeout)).decode(self.encoding)

    def read_binary(self, n: Optional[int] = None, timeout: Optional[float] = DEFAULT_TIMEOUT) -> bytes:
        """The next reply's bytes unchanged, or exactly `n` bytes however many replies they span (the rest
        of the last one stays for the next read). Raises Timeout, consuming nothing, if they do not come
        within `timeout` seconds."""
        if n is not None and n < 0:
            raise ValueError(f"cannot read {n} bytes")
        return self._receiver.read(timeout, n)

    def read_some(self, count: int, timeout: Optional[float] = DEFAULT_TIMEOUT,
                  termchar: Optional[bytes] = None) -> Tuple[bytes, End]:
        """Up to `count` bytes, ending early where a reply ends or after `termchar`; what End says. One read
        of a message-based I/O layer (VISA's viRead); waits up to `timeout` seconds if nothing has come."""
        if count < 1:
            raise ValueError(f"cannot read {count} bytes")
        return self._receiver.take(count, timeout, termchar)

    def query(self, command: str, timeout: Optional[float] = DEFAULT_TIMEOUT) -> str:
        """write(command), then read(timeout)."""
        self.write(command)
        return self.read(timeout)

    def clear(self) -> None:
        """Forgets replies received and not read yet."""
        self._receiver.clear()

    def close(self) -> None:
        """Stops reading for this instrument; the instrument itself stays in the table."""
        self._receiver.close()

    def _read_transfer(self, buffer: "ctypes.Array[ctypes.c_char]", length: int) -> Optional[int]:
        received = ctypes.c_uint(0)

        def read() -> int:
            received.value = 0
            return self.library.c.vorn_usb_read_by_key(self._key, buffer, length, ctypes.byref(received))

        return received.value if self._transfer(read, "vorn_usb_read_by_key") else None

    def _transfer(self, call: Callable[[], int], name: str) -> bool:
        """Runs one library transfer: True when it succeeded, False when a read waited its time-out for nothing.
        One that fails at once is on an entry the table no longer holds, or on one left behind by an instrument
        unplugged since the last scan: the library refreshes its table and, if the instrument is there again,
        the transfer is tried once more on it. NoSuchInstrument when it has gone."""
        for attempt in range(2):
            generation, started = self.library.generation, time.monotonic()
            if call() == 0:
                return True
            if time.monotonic() - started >= _FAST_FAILURE:
                return False
            if attempt == 0 and self.library.has_key(self.key):
                self.library.refresh(generation, self.key)
            elif attempt == 0:
                self.library.await_return(self.key)
            if not self.library.has_key(self.key):
                raise NoSuchInstrument("the instrument has gone (unplugged?); it is used again once it is back",
                                       name, self.key)
        raise OstrelError("the transfer failed (see the log)", name, self.key)
