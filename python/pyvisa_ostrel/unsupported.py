"""The VISA operations an Ostrel session does not offer: each fails as VISA says it must, with VI_ERROR_NSUP_OPER,
where PyVISA's base class would raise a bare NotImplementedError."""
from __future__ import annotations

from typing import Any, NoReturn

from pyvisa.constants import StatusCode

#: Operations of PyVISA's VisaLibraryBase, taking the session first, that a message-based USB session over the
#: library cannot carry out: the library has no status byte, trigger, lock or buffer of its own to act on.
OPERATIONS = (
    "assert_interrupt_signal", "assert_trigger", "assert_utility_signal", "buffer_read", "buffer_write",
    "enable_event", "flush", "gpib_command", "gpib_control_atn", "gpib_control_ren", "gpib_pass_control",
    "gpib_send_ifc", "in_8", "in_16", "in_32", "in_64", "install_handler", "lock", "map_address", "map_trigger",
    "memory_allocation", "memory_free", "move", "move_asynchronously", "move_in_8", "move_in_16", "move_in_32",
    "move_in_64", "move_out_8", "move_out_16", "move_out_32", "move_out_64", "out_8", "out_16", "out_32", "out_64",
    "peek_8", "peek_16", "peek_32", "peek_64", "poke_8", "poke_16", "poke_32", "poke_64", "read_asynchronously",
    "read_stb", "read_to_file", "set_buffer", "terminate", "uninstall_handler", "unlock", "unmap_address",
    "unmap_trigger", "usb_control_in", "usb_control_out", "vxi_command_query", "wait_on_event",
    "write_asynchronously", "write_from_file",
)


def _refuse(self: Any, session: Any, *args: Any, **kwargs: Any) -> NoReturn:
    self._raise(session, StatusCode.error_nonsupported_operation)


def refuse_unsupported(cls: type) -> type:
    """Gives `cls` every operation of OPERATIONS it does not define itself, failing with VI_ERROR_NSUP_OPER."""
    for name in OPERATIONS:
        if name not in vars(cls):
            setattr(cls, name, _refuse)
    return cls
