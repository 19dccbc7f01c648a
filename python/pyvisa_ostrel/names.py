"""VISA resource names of Ostrel instruments, made from what the library knows of each one."""
from __future__ import annotations

from typing import Tuple

from pyvisa import rname

from ostrel import InstrumentInfo


def fields(info: InstrumentInfo) -> Tuple[str, str, str]:
    """(manufacturer ID, model code, serial number): the first word of the identity reply, then the device
    key's two parts, its model and its serial field. The library does not report USB vendor and product
    IDs, and these name an instrument as its key does: uniquely. "0" stands for a field that is empty."""
    words = info.identity.split()
    model, _, serial = info.key.partition(" ")
    return words[0] if words else "0", model or "0", serial or "0"


def resource_name(info: InstrumentInfo) -> str:
    """USB0::<manufacturer ID>::<model code>::<serial number>::INSTR."""
    return "USB0::{}::{}::{}::INSTR".format(*fields(info))


def is_named(name: str, info: InstrumentInfo) -> bool:
    """Whether `name` names this instrument: its resource name in any spelling VISA allows, or its device
    key as an alias."""
    if name == info.key:
        return True
    try:
        parsed = rname.ResourceName.from_string(name)
    except rname.InvalidResourceName:
        return False
    return (isinstance(parsed, rname.USBInstr) and parsed.board in ("", "0") and
            parsed.usb_interface_number == "0" and
            (parsed.manufacturer_id, parsed.model_code, parsed.serial_number) == fields(info))


#: How the backend names instruments, for pyvisa-info and anyone who asks get_debug_info().
NAMING = ("USB0::<first word of *IDN?>::<device key's model>::<device key's serial>::INSTR, or the device key "
          "itself; the library reports no USB vendor or product IDs, so these fields stand in for them")
