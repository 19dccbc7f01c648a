"""Event mode: each arrival and removal of an instrument, to a callback or as an iterator."""
from __future__ import annotations

import queue
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Iterator, Optional, Union

from .errors import OstrelError, Timeout

if TYPE_CHECKING:
    from .library import Library


@dataclass(frozen=True)
class Event:
    """An instrument entered the device table (attached) or left it."""

    device_id: int
    attached: bool
    #: Its device key; during a removal the instrument is still in the table, so the key is known.
    key: str


Handler = Callable[[Event], None]


class EventMode:
    """Event mode while it runs; a context manager. The callback runs on the library's watcher thread
    (on the caller's for the instruments present at the start, before this returns) and may call into
    the library. stop() ends event mode and, with it, closes every instrument (vorn_usb_uninit_system)."""

    def __init__(self, library: "Library", handler: Handler, product_id: int = 0) -> None:
        self.library = library
        self._running = False
        library._start_events(handler, product_id)
        self._running = True

    def __enter__(self) -> "EventMode":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def stop(self) -> None:
        """Ends event mode; returns once the watcher no longer runs. Safe to call again."""
        if self._running:
            self._running = False
            self.library.shutdown()


_STOPPED = object()


class EventStream(EventMode):
    """Event mode whose events are iterated: `for event in stream` blocks for each and ends after stop();
    get(timeout) waits a bounded time."""

    def __init__(self, library: "Library", product_id: int = 0) -> None:
        self._queue: "queue.Queue[Union[Event, object]]" = queue.Queue()
        super().__init__(library, self._queue.put, product_id)

    def stop(self) -> None:
        if self._running:
            super().stop()
            self._queue.put(_STOPPED)

    def get(self, timeout: Optional[float] = None) -> Event:
        """The next event, waiting up to `timeout` seconds (None: no limit); Timeout if none comes."""
        event = self._next(timeout)
        if event is None:
            raise OstrelError("event mode has stopped", "events")
        return event

    def __iter__(self) -> Iterator[Event]:
        return self

    def __next__(self) -> Event:
        event = self._next(None)
        if event is None:
            raise StopIteration
        return event

    def _next(self, timeout: Optional[float]) -> Optional[Event]:
        try:
            item = self._queue.get(timeout=timeout)
        except queue.Empty:
            raise Timeout(f"no arrival or removal within {timeout:g} s", "events") from None
        if isinstance(item, Event):
            return item
        self._queue.put(_STOPPED)  # for every later call
        return None
