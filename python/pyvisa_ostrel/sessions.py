"""One open PyVISA session on an Ostrel instrument: the instrument and the VISA attributes of the session."""
from __future__ import annotations

from typing import Any, Dict, Optional

from pyvisa import constants
from pyvisa.constants import ResourceAttribute as Attribute

import ostrel

from .names import fields, resource_name

#: What PyVISA may change; everything else a session reports is fixed by its instrument.
WRITABLE = frozenset({Attribute.timeout_value, Attribute.termchar, Attribute.termchar_enabled,
                      Attribute.send_end_enabled, Attribute.suppress_end_enabled})

#: The status of a read, by why its data ends where it does.
READ_STATUS = {
    ostrel.End.REPLY: constants.StatusCode.success,
    ostrel.End.TERMCHAR: constants.StatusCode.success_termination_character_read,
    ostrel.End.COUNT: constants.StatusCode.success_max_count_read,
}


class Session:
    """An instrument opened through PyVISA, with its session's attributes (VISA's defaults at the start)."""

    def __init__(self, instrument: ostrel.Instrument, info: ostrel.InstrumentInfo) -> None:
        self.instrument = instrument
        manufacturer, model, serial = fields(info)
        self.attributes: Dict[Attribute, Any] = {
            Attribute.timeout_value: 2000,
            Attribute.termchar: ord("\n"),
            Attribute.termchar_enabled: constants.VI_FALSE,
            Attribute.send_end_enabled: constants.VI_TRUE,
            Attribute.suppress_end_enabled: constants.VI_FALSE,
            Attribute.resource_name: resource_name(info),
            Attribute.resource_class: "INSTR",
            Attribute.interface_type: constants.InterfaceType.usb,
            Attribute.interface_number: 0,
            Attribute.usb_interface_number: 0,
            Attribute.io_prot: constants.IOProtocol.normal,
            Attribute.resource_manufacturer_name: "Ostrel",
            Attribute.manufacturer_name: manufacturer,
            Attribute.model_name: model,
            Attribute.usb_serial_number: serial,
        }

    def timeout(self) -> Optional[float]:
        """The session's time-out in seconds; None for VISA's infinite one."""
        milliseconds = self.attributes[Attribute.timeout_value]
        return None if milliseconds == constants.VI_TMO_INFINITE else milliseconds / 1000

    def termchar(self) -> Optional[bytes]:
        """The character a read stops after, if the session asks for one."""
        if not self.attributes[Attribute.termchar_enabled]:
            return None
        return bytes([self.attributes[Attribute.termchar]])
