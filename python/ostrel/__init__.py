"""Ostrel from Python: the USB instruments present, command lines and binary blocks to them and their
replies back, and their arrivals and removals.

    import ostrel
    for info in ostrel.discover():
        with ostrel.open(info.key) as instrument:
            print(info.key, instrument.query("*IDN?"))

The functions here use the library ostrel.load() finds: OSTREL_LIBRARY if set, else the installed one (the
simulated bench's when OSTREL_BENCH names a bench file).
ostrel.sim drives the simulated bench of libostrel-sim.
"""
from __future__ import annotations

from typing import List, Union

from .errors import BenchError, LibraryNotFound, NoSuchInstrument, OstrelError, Timeout
from .events import Event, EventMode, EventStream, Handler
from ._receiver import End
from .instrument import DEFAULT_TIMEOUT, Instrument
from .library import InstrumentInfo, Library, load

__version__ = "0.2.0"  # the project's version, as project() in CMakeLists.txt gives it

__all__ = [
    "BenchError", "DEFAULT_TIMEOUT", "End", "Event", "EventMode", "EventStream", "Instrument", "InstrumentInfo",
    "Library", "LibraryNotFound", "NoSuchInstrument", "OstrelError", "Timeout", "discover", "events",
    "instruments", "load", "open", "shutdown", "watch",
]


def discover(product_id: int = 0, use_address: bool = False) -> List[InstrumentInfo]:
    """Library.discover() of the default library."""
    return load().discover(product_id, use_address)


def instruments() -> List[InstrumentInfo]:
    """Library.instruments() of the default library."""
    return load().instruments()


def open(name: Union[str, int], encoding: str = "latin-1") -> Instrument:  # noqa: A001 - as gzip.open
    """Library.open() of the default library."""
    return load().open(name, encoding)


def watch(callback: Handler, product_id: int = 0) -> EventMode:
    """Library.watch() of the default library."""
    return load().watch(callback, product_id)


def events(product_id: int = 0) -> EventStream:
    """Library.events() of the default library."""
    return load().events(product_id)


def shutdown() -> None:
    """Library.shutdown() of the default library."""
    load().shutdown()
