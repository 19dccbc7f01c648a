"""A loaded Ostrel library: discovery, the instruments present, opening one, event mode, the log switches."""
from __future__ import annotations

import atexit
import ctypes
import threading
import time
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Tuple, Union

from . import _capi
from .errors import LibraryNotFound, NoSuchInstrument, OstrelError
from .events import Event, EventMode, EventStream, Handler
from .instrument import Instrument

#: Room for instruments that arrive between counting the table and listing it (event mode rescans
#: meanwhile); the C listings write one entry per instrument present.
_SLACK = 64
#: A listing taken while the table changed is taken again, this many times at most.
_LISTING_ATTEMPTS = 5
#: How long a transfer waits for event mode's watcher to bring back an instrument it saw leave, in s.
_RETURN_GRACE = 1.0
#: The library cuts each "<ID>,<identity>;" entry of vorn_usb_get_device_info to this many chars.
_INFO_ENTRY = _capi.KEY_SIZE - 1


@dataclass(frozen=True)
class InstrumentInfo:
    """One instrument of the device table."""

    key: str
    device_id: int
    #: The number at the start of the key (0 if none).
    model: int
    #: The digits after the key's first blank, letters before them skipped (0 if none).
    serial: int
    #: Its reply to *IDN? as the library keeps it.
    identity: str


class Library:
    """One loaded library. The library keeps one device table per process, so every Library object, every
    instrument and event mode share it. Get one with ostrel.load(); it stays loaded for the process."""

    def __init__(self, c: ctypes.CDLL, path: str) -> None:
        #: The library's C functions, each declared with its argument and result types.
        self.c = c
        #: The file or name it was loaded from.
        self.path = path
        #: Whether it is the simulated library (with the bench's ostrel_sim_* functions).
        self.is_sim = hasattr(c, "ostrel_sim_plug")
        self._handler: Optional[Handler] = None
        # The library may call it until the process ends (a callback under way outlives
        # vorn_usb_uninit_system), so it lives as long as this object, which lives as long as the process.
        self._c_callback = _capi.DeviceEventCallback(self._on_event)
        # A watcher left running would call into an interpreter that is shutting down.
        atexit.register(self._stop_events)
        #: The last static discovery's product ID and ID rule, which a refresh repeats.
        self._discovery: Tuple[int, bool] = (0, False)
        #: Counts refreshes: a transfer that started before the last one failed because of it.
        self.generation = 0
        self._refreshing = threading.Lock()
        #: Event mode's product ID.
        self._events_product = 0
        #: What the program was last told of each instrument: the watcher and a refresh may both see one
        #: power cycle, and a restart of event mode reports every instrument again; the program hears of
        #: each change once.
        self._told: Dict[str, bool] = {}
        self._telling = threading.Lock()

    def __repr__(self) -> str:
        return f"<ostrel.Library {self.path!r}>"

    def discover(self, product_id: int = 0, use_address: bool = False) -> List[InstrumentInfo]:
        """Static discovery of one USB product ID (0: all), then the instruments present. Device IDs are
        numbered 0, 1, 2, ... unless `use_address`, which takes them from ADDR? (and then leaves out an
        instrument that does not answer it). Instruments found earlier are kept as they were."""
        if not 0 <= product_id <= 0xFFFF:
            raise ValueError(f"product ID {product_id} is not a USB product ID (0 to 0xFFFF, 0 for all)")
        self._discovery = (product_id, use_address)
        self._scan()
        return self.instruments()

    def refresh(self, generation: int, key: str) -> None:
        """Brings the device table up to date after a transfer on `key` that started in `generation` failed at
        once, as it does on an instrument unplugged (and maybe plugged again) since the table last looked.
        Neither a static scan nor event mode's watcher notices an instrument that comes back on the path it
        left, so the table is emptied (transfers under way fail, and are tried again by their callers) and
        filled again as it was filled: by the last discovery, or by event mode with its callback kept. A
        refresh by another thread since `generation` began has done the work already."""
        with self._refreshing:
            if generation != self.generation:
                return
            self.generation += 1
            if self._handler is None:
                self.c.vorn_usb_uninit_system()
                self._scan()
            else:
                self._restart_events(key)

    def await_return(self, key: str) -> None:
        """In event mode, waits a moment for the watcher to bring back an instrument it has just seen leave:
        a power cycle is two events, and a transfer between them should not give up on the instrument."""
        if self._handler is None:
            return
        deadline = time.monotonic() + _RETURN_GRACE
        while not self.has_key(key) and time.monotonic() < deadline:
            time.sleep(0.01)

    def _restart_events(self, key: str) -> None:
        """Event mode started again with the program's callback, which hears of the instrument on `key` going
        and coming back and of any other that did not come back, but not of the others arriving again."""
        before = {info.key: info.device_id for info in self.instruments()}
        self._deliver(before.get(key), False, key)
        self.c.vorn_usb_uninit_system()
        if self.c.vorn_usb_event_init(self._events_product, self._c_callback) != 0:
            raise OstrelError("event mode could not start again (see the log)", "vorn_usb_event_init")
        for gone in sorted(set(before) - set(self.keys()) - {key}):
            self._deliver(before[gone], False, gone)

    def _scan(self) -> None:
        count = ctypes.c_int(0)
        if self.c.vorn_usb_open_devices(self._discovery[0], self._discovery[1], ctypes.byref(count)) < 0:
            raise OstrelError("static discovery failed (see the log)", "vorn_usb_open_devices")

    def instruments(self) -> List[InstrumentInfo]:
        """The instruments in the device table now, in key order."""
        for _ in range(_LISTING_ATTEMPTS):
            listing = self._list_once()
            if listing is not None:
                return listing
        raise OstrelError("the device table kept changing while it was listed", "GetInstrumentList")

    def keys(self) -> List[str]:
        """The device keys in the table now, in key order."""
        return self._keys(self.c.vorn_usb_GetDeviceCount() + _SLACK)

    def has_key(self, key: str) -> bool:
        """Whether the device table holds an instrument with this key."""
        return key in self.keys()

    def key_of(self, device_id: int) -> str:
        """The key of the first instrument (in key order) with this device ID; '' if none."""
        key = ctypes.create_string_buffer(_capi.KEY_SIZE)
        self.c.vorn_usb_GetDeviceKeyFromDeviceID(device_id, key)
        return key.value.decode("latin-1")

    def find(self, matches: Callable[[InstrumentInfo], bool], name: object) -> InstrumentInfo:
        """The first instrument (in key order) that `matches`; if the table has none, after a scan (as
        discover() runs it), so that an instrument plugged since the last one is found. NoSuchInstrument,
        naming `name`, if there is none."""
        rows = self.instruments()
        found = next((row for row in rows if matches(row)), None)
        if found is None:
            rows = self.discover()
            found = next((row for row in rows if matches(row)), None)
        if found is None:
            known = ", ".join(f"{row.device_id} {row.key!r}" for row in rows) or "none"
            raise NoSuchInstrument(f"not in the device table (found: {known})", "open", name)
        return found

    def open(self, name: Union[str, int], encoding: str = "latin-1") -> Instrument:
        """The instrument with this device key (str) or device ID (int; the first in key order), found as
        find() finds it."""
        by_id = not isinstance(name, str)
        info = self.find(lambda row: row.device_id == name if by_id else row.key == name, name)
        return Instrument(self, info.key, encoding)

    def watch(self, callback: Handler, product_id: int = 0) -> EventMode:
        """Event mode with `callback` called for every instrument present, then for every arrival and
        removal, until the returned EventMode stops."""
        return EventMode(self, callback, product_id)

    def events(self, product_id: int = 0) -> EventStream:
        """Event mode whose events are iterated (or fetched with get(timeout))."""
        return EventStream(self, product_id)

    def shutdown(self) -> None:
        """Ends event mode and static discovery alike: closes every instrument, empties the table."""
        self.c.vorn_usb_uninit_system()
        self._handler = None

    def set_logging(self, on: bool) -> None:
        """Data lines of discovery and transfers in the log."""
        self.c.vorn_usb_SetLogging(on)

    def set_trace(self, on: bool) -> None:
        """Trace lines (each operation's Enter/Exit, query traffic) in the log."""
        self.c.vorn_usb_SetTraceLog(on)

    def os_name(self) -> str:
        """The operating system's name as the library reports it ("Windows 10", "Linux", ...)."""
        name = ctypes.create_string_buffer(_capi.OS_NAME_SIZE)
        self.c.vorn_usb_GetOSName(name)
        return name.value.decode("latin-1")

    def _start_events(self, handler: Handler, product_id: int) -> None:
        if self._handler is not None:
            raise OstrelError("event mode is already running; stop it first", "vorn_usb_event_init")
        if not 0 <= product_id <= 0xFFFF:
            raise ValueError(f"product ID {product_id} is not a USB product ID (0 to 0xFFFF, 0 for all)")
        self._handler = handler
        self._events_product = product_id
        self._told = {}
        if self.c.vorn_usb_event_init(product_id, self._c_callback) != 0:
            self._handler = None
            raise OstrelError("event mode could not start (see the log)", "vorn_usb_event_init")

    def _stop_events(self) -> None:
        if self._handler is not None:
            self.shutdown()

    def _on_event(self, device_id: int, attached: int) -> None:
        key = self.key_of(device_id)
        if not key:
            # A refresh emptied the table under this callback: its session is gone, and the refresh
            # tells the program what changed.
            return
        self._deliver(device_id, bool(attached), key)

    def _deliver(self, device_id: Optional[int], attached: bool, key: str) -> None:
        handler = self._handler
        if handler is None or device_id is None:
            return
        with self._telling:
            if self._told.get(key) == attached:
                return
            self._told[key] = attached
        handler(Event(device_id, attached, key))

    def _keys(self, room: int) -> List[str]:
        buffers, pointers = _capi.key_buffers(room)
        count = self.c.vorn_usb_GetDeviceKeys(pointers)
        return [buffer.value.decode("latin-1") for buffer in buffers[:count]]

    def _list_once(self) -> Optional[List[InstrumentInfo]]:
        """The listing, or None if the table changed while it was taken."""
        room = self.c.vorn_usb_GetDeviceCount() + _SLACK
        keys = self._keys(room)
        ids, models, serials = (ctypes.c_int * room)(), (ctypes.c_int * room)(), (ctypes.c_int * room)()
        listed = ctypes.c_int(0)
        if self.c.GetInstrumentList(ids, models, serials, ctypes.byref(listed)) != 0:
            raise OstrelError("the device table could not be listed (see the log)", "GetInstrumentList")
        info = ctypes.create_string_buffer(room * _capi.KEY_SIZE + 1)
        if keys and self.c.vorn_usb_get_device_info(info) != 0:
            raise OstrelError("the identities could not be listed (see the log)", "vorn_usb_get_device_info")
        if listed.value != len(keys) or self._keys(room) != keys:
            return None
        count = len(keys)
        identities = _identities(info.value.decode("latin-1"), list(ids[:count]))
        return [InstrumentInfo(keys[i], ids[i], models[i], serials[i], identities[i]) for i in range(count)]


def _identities(text: str, ids: List[int]) -> List[str]:
    """Splits "<ID>,<identity>;..." into identities. An entry that reached the library's bound lost its
    ';', and an identity may hold ';' itself: an entry ends at the first ';' that the next entry's
    "<ID>," follows (the text's end for the last), else at the bound."""
    identities, at = [], 0
    for index, device_id in enumerate(ids):
        start, bound = at + len(f"{device_id},"), min(at + _INFO_ENTRY, len(text))
        following = f"{ids[index + 1]}," if index + 1 < len(ids) else None
        end = next((semicolon for semicolon in range(start, bound) if text[semicolon] == ";" and
                    (text.startswith(following, semicolon + 1) if following else semicolon + 1 == len(text))),
                   None)
        identities.append(text[start:bound if end is None else end])
        at = bound if end is None else end + 1
    return identities


_by_handle: Dict[int, Library] = {}
_by_candidates: Dict[Tuple[str, ...], Library] = {}
_loading = threading.Lock()


def load(path: Optional[_capi.PathLike] = None) -> Library:
    """The library at `path`; without one, the one OSTREL_LIBRARY names; else the installed library
    (libostrel.so.0 or libostrel.so; Ostrel.dll on Windows). Loading it again gives the same object."""
    candidates = tuple(_capi.candidates(path))
    with _loading:
        if candidates not in _by_candidates:
            c, name = _capi.load(candidates)
            # The loader hands out one handle per library however it was named.
            if c._handle not in _by_handle:
                _by_handle[c._handle] = Library(c, name)
            bench = _capi.bench_file()
            if bench and not _by_handle[c._handle].is_sim:
                raise LibraryNotFound(f"OSTREL_BENCH names the bench file {bench}, but {name} talks to real "
                                      "instruments (unset OSTREL_BENCH, or let OSTREL_LIBRARY name the bench's "
                                      "library)", call="load")
            _by_candidates[candidates] = _by_handle[c._handle]
        return _by_candidates[candidates]
