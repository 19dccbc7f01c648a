"""Finds the Ostrel library and declares every C function of ostrel.h and ostrel_sim.h for ctypes."""
from __future__ import annotations

import ctypes
import os
from ctypes import POINTER, c_bool, c_char, c_char_p, c_int, c_uint
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from .errors import LibraryNotFound

#: Every key buffer the library fills holds 64 chars (63 and the NUL).
KEY_SIZE = 64
#: vorn_usb_GetOSName writes at most 14 chars.
OS_NAME_SIZE = 14

Buffer = POINTER(c_char)
BufferArray = POINTER(Buffer)
IntArray = POINTER(c_int)

# The library uses the platform's standard calling convention; ctypes names it
# WinDLL/WINFUNCTYPE where that differs from C's, and only there.
_Loader = getattr(ctypes, "WinDLL", ctypes.CDLL)
DeviceEventCallback = getattr(ctypes, "WINFUNCTYPE", ctypes.CFUNCTYPE)(None, c_int, c_int)

Signature = Tuple[Optional[type], List[type]]

API: Dict[str, Signature] = {
    "vorn_usb_send_ascii": (c_int, [c_int, Buffer, c_uint]),
    "vorn_usb_get_ascii": (c_int, [c_int, Buffer, c_uint, POINTER(c_uint)]),
    "vorn_usb_get_ascii_by_DeviceID": (c_int, [c_int, Buffer, c_uint, POINTER(c_uint)]),
    "vorn_usb_send_binary": (c_int, [c_int, Buffer, c_uint]),
    "vorn_usb_read_by_key": (c_int, [c_char_p, Buffer, c_uint, POINTER(c_uint)]),
    "vorn_usb_read_ascii_by_key": (c_int, [c_char_p, Buffer, c_uint, POINTER(c_uint)]),
    "vorn_usb_write_by_key": (c_int, [c_char_p, Buffer, c_uint]),
    "vorn_usb_write_binary_by_key": (c_int, [c_char_p, Buffer, c_uint]),
    "vorn_usb_init_system": (c_int, []),
    "vorn_usb_init_product": (c_int, [c_uint]),
    "vorn_usb_open_devices": (c_int, [c_uint, c_bool, POINTER(c_int)]),
    "vorn_usb_event_init": (c_int, [c_uint, DeviceEventCallback]),
    "vorn_usb_uninit_system": (None, []),
    "vorn_usb_GetDeviceCount": (c_int, []),
    "vorn_usb_GetDeviceKeys": (c_int, [BufferArray]),
    "vorn_usb_GetDeviceKeyFromDeviceID": (None, [c_int, Buffer]),
    "vorn_usb_get_device_info": (c_int, [Buffer]),
    "GetInstrumentList": (c_int, [IntArray, IntArray, IntArray, IntArray]),
    "vorn_usb_event_assign_key": (c_int, [c_char_p, c_int]),
    "vorn_usb_event_remove_key": (c_int, [c_char_p]),
    "vorn_usb_event_get_attached_devices": (c_int, [BufferArray, IntArray]),
    "vorn_usb_event_get_key_from_handle": (c_int, [c_int, Buffer]),
    "vorn_usb_get_model_serial_keys": (c_int, [BufferArray]),
    "vorn_usb_SetLogging": (None, [c_bool]),
    "vorn_usb_SetTraceLog": (None, [c_bool]),
    "vorn_usb_GetOSName": (None, [Buffer]),
}

SIM_API: Dict[str, Signature] = {
    "ostrel_sim_plug": (c_int, [c_char_p]),
    "ostrel_sim_unplug": (c_int, [c_int]),
    "ostrel_sim_load_bench": (c_int, [c_char_p]),
    "ostrel_sim_reset": (None, []),
    "ostrel_sim_inject_fault": (c_int, [c_char_p]),
    "ostrel_sim_open_handles": (c_int, []),
    "ostrel_sim_received": (c_int, [c_int, Buffer, c_uint]),
    "ostrel_sim_last_error": (c_char_p, []),
    "ostrel_sim_set_documents_folder": (c_int, [c_char_p]),
}

PathLike = Union[str, "os.PathLike[str]"]


def installed_names(bench: bool = False) -> List[str]:
    """The names under which the system's loader finds an installed library: the real one, or the bench's."""
    if os.name == "nt":
        return ["OstrelSim.dll" if bench else "Ostrel.dll"]
    return ["libostrel-sim.so.0", "libostrel-sim.so"] if bench else ["libostrel.so.0", "libostrel.so"]


def bench_file() -> Optional[str]:
    """The bench file OSTREL_BENCH names, if any: the simulated library plugs its instruments."""
    return os.environ.get("OSTREL_BENCH") or None


def candidates(path: Optional[PathLike] = None) -> List[str]:
    """Where to look, in order: an explicit path, OSTREL_LIBRARY, the installed library (the bench's when
    OSTREL_BENCH names a bench file).

    A library named explicitly or by OSTREL_LIBRARY is the only candidate: a
    typo there must fail, not quietly load another library."""
    if path:
        return [os.fspath(path)]
    named = os.environ.get("OSTREL_LIBRARY")
    return [named] if named else installed_names(bench_file() is not None)


def load(names: Sequence[str]) -> Tuple[ctypes.CDLL, str]:
    """Loads the first of `names` that opens and declares its functions."""
    reasons = []
    for name in names:
        try:
            library = _Loader(name)
        except OSError as error:
            reasons.append(str(error))
            continue
        missing = [function for function in API if not hasattr(library, function)]
        if missing:
            reasons.append(f"{name} is not an Ostrel library (it lacks {', '.join(missing)})")
            continue
        _declare(library, API)
        _declare(library, {name: signature for name, signature in SIM_API.items() if hasattr(library, name)})
        return library, name
    raise LibraryNotFound("; ".join(reasons) + " (name the library with OSTREL_LIBRARY or an explicit path)",
                          call="load")


def _declare(library: ctypes.CDLL, functions: Dict[str, Signature]) -> None:
    for name, (result, arguments) in functions.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments


def key_buffers(count: int) -> Tuple[List["ctypes.Array[ctypes.c_char]"], "ctypes.Array[Any]"]:
    """`count` key buffers and the char** array that points at them."""
    buffers = [ctypes.create_string_buffer(KEY_SIZE) for _ in range(count)]
    return buffers, (Buffer * count)(*[ctypes.cast(buffer, Buffer) for buffer in buffers])


def text_buffer(data: bytes) -> "ctypes.Array[ctypes.c_char]":
    """A writable NUL-terminated copy of `data`: the library's write functions take char*."""
    return ctypes.create_string_buffer(data, len(data) + 1)
