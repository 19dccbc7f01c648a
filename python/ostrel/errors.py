"""The exceptions of the ostrel package: every failure names the call and, where there is one, the instrument."""
from __future__ import annotations

from typing import Optional


class OstrelError(Exception):
    """A call into the Ostrel library failed.

    `call` names the C function (or the package's operation) that failed and
    `instrument` the device key or ID it was about, if any."""

    def __init__(self, message: str, call: str, instrument: Optional[object] = None) -> None:
        self.call = call
        self.instrument = instrument
        self.reason = message
        about = f" [{instrument}]" if instrument is not None else ""
        super().__init__(f"{call}{about}: {message}")


class LibraryNotFound(OstrelError, OSError):
    """No Ostrel library could be loaded."""


class NoSuchInstrument(OstrelError, LookupError):
    """The device table holds no instrument with that key or ID."""


class Timeout(OstrelError, TimeoutError):
    """Nothing (or not enough) came from the instrument within the time-out."""


class BenchError(OstrelError):
    """The simulated bench refused a request; the message carries its reason."""
