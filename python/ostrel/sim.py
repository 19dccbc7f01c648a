"""The simulated bench of libostrel-sim: instruments described in JSON, plugged and unplugged, failures
made to order and the handles open on them counted."""
from __future__ import annotations

import ctypes
import json
import os
from typing import Any, Mapping, Optional, Union

from . import _capi
from .errors import BenchError, OstrelError
from .library import Library, load

Instrument = Union[Mapping[str, Any], str]


class Bench:
    """The bench of a simulated library; a context manager. Leaving it (or close()) ends discovery and
    event mode (vorn_usb_uninit_system), then unplugs every instrument and clears every fault, so the
    next user starts on an empty bench."""

    def __init__(self, library: Optional[Library] = None) -> None:
        self.library = library if library is not None else load()
        if not self.library.is_sim:
            raise OstrelError(f"{self.library.path} is not the simulated library (no ostrel_sim_* functions)",
                              "ostrel.sim")
        self.c = self.library.c

    def __enter__(self) -> "Bench":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Closes every instrument, then empties the bench."""
        self.library.shutdown()
        self.c.ostrel_sim_reset()

    def load(self, path: _capi.PathLike) -> int:
        """Plugs every instrument of a bench file ({"instruments": [...]}); returns how many."""
        return self._check(self.c.ostrel_sim_load_bench(os.fsencode(path)), "ostrel_sim_load_bench",
                           os.fspath(path))

    def plug(self, instrument: Instrument) -> int:
        """Plugs one instrument (a JSON object, as a mapping or as text); returns its slot."""
        text = instrument if isinstance(instrument, str) else json.dumps(instrument)
        return self._check(self.c.ostrel_sim_plug(text.encode("utf-8")), "ostrel_sim_plug")

    def unplug(self, slot: int) -> None:
        """Unplugs the instrument in this slot (a removal, as if its cable were pulled)."""
        self._check(self.c.ostrel_sim_unplug(slot), "ostrel_sim_unplug", slot)

    def inject_fault(self, call: str, error: int, after: int = 0, times: int = 1) -> None:
        """Makes the named platform call fail with this Windows error code after `after` successful calls,
        `times` times (0: from then on)."""
        fault = json.dumps({"call": call, "error": error, "after": after, "times": times})
        self._check(self.c.ostrel_sim_inject_fault(fault.encode("utf-8")), "ostrel_sim_inject_fault")

    def open_handles(self) -> int:
        """Device and WinUSB handles open on simulated instruments."""
        return int(self.c.ostrel_sim_open_handles())

    def received(self, slot: int) -> bytes:
        """Every byte the instrument in this slot has received since it was plugged."""
        size = 4096
        while True:
            buffer = ctypes.create_string_buffer(size)
            count = self._check(self.c.ostrel_sim_received(slot, buffer, size), "ostrel_sim_received", slot)
            if count < size:
                return buffer.raw[:count]
            size *= 4

    def _check(self, result: int, call: str, about: Optional[object] = None) -> int:
        if result < 0:
            reason = self.c.ostrel_sim_last_error() or b"no reason given"
            raise BenchError(reason.decode("utf-8", "replace"), call, about)
        return result


def bench(path: Optional[_capi.PathLike] = None, library: Optional[Library] = None) -> Bench:
    """A Bench with the instruments of a bench file plugged: `with ostrel.sim.bench("bench.json"): ...`."""
    opened = Bench(library)
    if path is not None:
        opened.load(path)
    return opened


def set_documents_folder(path: _capi.PathLike, library: Optional[Library] = None) -> None:
    """Where the simulated library's log goes (<path>/Log); only before the first call into the library."""
    opened = Bench(library)
    opened._check(opened.c.ostrel_sim_set_documents_folder(os.fsencode(path)), "ostrel_sim_set_documents_folder",
                  os.fspath(path))
