"""The VISA library PyVISA drives for "@ostrel": message-based USB INSTR sessions over the ostrel package."""
from __future__ import annotations

import itertools
import os
import re
from typing import Any, Dict, Iterable, NoReturn, Optional, Tuple, Union

from pyvisa import constants, errors, rname
from pyvisa.constants import StatusCode
from pyvisa.highlevel import ResourceInfo, VisaLibraryBase
from pyvisa.typing import VISARMSession, VISASession
from pyvisa.util import LibraryPath

import ostrel
from ostrel import _capi

from .names import NAMING, is_named, resource_name
from .sessions import READ_STATUS, WRITABLE, Session
from .unsupported import refuse_unsupported

AnySession = Union[VISASession, VISARMSession]


def _well_formed(name: str) -> bool:
    """A VISA resource name, or a device key: a model and a serial field with one blank between them."""
    try:
        rname.parse_resource_name(name)
    except rname.InvalidResourceName:
        return re.fullmatch(r"\S+ \S+", name) is not None
    return True


@refuse_unsupported
class OstrelVisaLibrary(VisaLibraryBase):
    """Ostrel's instruments as USB INSTR resources (USB0::<maker>::<model>::<serial>::INSTR, or the device
    key as an alias), message-based: write, read with termination character and time-out, clear, close."""

    @staticmethod
    def get_library_paths() -> Iterable[LibraryPath]:
        found_by = "OSTREL_LIBRARY" if os.environ.get("OSTREL_LIBRARY") else "installed"
        return tuple(LibraryPath(name, found_by) for name in _capi.candidates())

    @staticmethod
    def get_debug_info() -> Dict[str, Union[str, Dict[str, Any]]]:
        return {"Version": ostrel.__version__, "Libraries tried": ", ".join(_capi.candidates()),
                "Resource names": NAMING}

    def _init(self) -> None:
        self.ostrel = ostrel.load(self.library_path.path)
        self.sessions: Dict[int, Optional[Session]] = {}  # None: a resource manager's session
        self._session_ids = itertools.count(1)
        #: Device key -> the session that holds its exclusive lock.
        self._exclusive: Dict[str, VISASession] = {}

    def open_default_resource_manager(self) -> Tuple[VISARMSession, StatusCode]:
        session = VISARMSession(next(self._session_ids))
        self.sessions[session] = None
        return session, self.handle_return_value(session, StatusCode.success)

    def list_resources(self, session: VISARMSession, query: str = "?*::INSTR") -> Tuple[str, ...]:
        # A scan each time, so the list follows instruments plugged and unplugged.
        return rname.filter([resource_name(info) for info in self.ostrel.discover()], query)

    def parse_resource_extended(self, session: VISARMSession,
                                resource_name_or_alias: str) -> Tuple[ResourceInfo, StatusCode]:
        try:
            rname.parse_resource_name(resource_name_or_alias)
        except rname.InvalidResourceName:
            info = self._find(session, resource_name_or_alias)
            return (ResourceInfo(constants.InterfaceType.usb, 0, "INSTR", resource_name(info),
                                 resource_name_or_alias), self.handle_return_value(session, StatusCode.success))
        return super().parse_resource_extended(session, resource_name_or_alias)

    def open(self, session: VISARMSession, resource_name: str,
             access_mode: constants.AccessModes = constants.AccessModes.no_lock,
             open_timeout: int = constants.VI_TMO_IMMEDIATE) -> Tuple[VISASession, StatusCode]:
        # A shared lock means something only between processes, which this backend cannot see.
        if access_mode & constants.AccessModes.shared_lock:
            self._raise(session, StatusCode.error_nonsupported_operation)
        info = self._find(session, resource_name)
        if info.key in self._exclusive:
            self._raise(session, StatusCode.error_resource_locked)
        opened = VISASession(next(self._session_ids))
        self.sessions[opened] = Session(ostrel.Instrument(self.ostrel, info.key), info)
        if access_mode & constants.AccessModes.exclusive_lock:
            self._exclusive[info.key] = opened
        return opened, self.handle_return_value(opened, StatusCode.success)

    def close(self, session: Any) -> StatusCode:
        if session not in self.sessions:
            self._raise(session, StatusCode.error_invalid_object)
        closed = self.sessions.pop(session)
        if closed is not None:
            closed.instrument.close()
            if self._exclusive.get(closed.instrument.key) == session:
                del self._exclusive[closed.instrument.key]
        return self.handle_return_value(None, StatusCode.success)

    def write(self, session: VISASession, data: bytes) -> Tuple[int, StatusCode]:
        current = self._io_session(session)
        try:
            current.instrument.write_binary(data)
        except ostrel.OstrelError as error:
            self._raise_for(session, error)
        return len(data), self.handle_return_value(session, StatusCode.success)

    def read(self, session: VISASession, count: int) -> Tuple[bytes, StatusCode]:
        current = self._io_session(session)
        try:
            data, end = current.instrument.read_some(count, current.timeout(), current.termchar())
        except ostrel.OstrelError as error:
            self._raise_for(session, error)
        return data, self.handle_return_value(session, READ_STATUS[end])

    def clear(self, session: VISASession) -> StatusCode:
        self._io_session(session).instrument.clear()
        return self.handle_return_value(session, StatusCode.success)

    def get_attribute(self, session: Any, attribute: Any) -> Tuple[Any, StatusCode]:
        attributes = self._attributes(session, attribute)
        return attributes[attribute], self.handle_return_value(session, StatusCode.success)

    def set_attribute(self, session: VISASession, attribute: Any, attribute_state: Any) -> StatusCode:
        attributes = self._attributes(session, attribute)
        if attribute not in WRITABLE:
            return self.handle_return_value(session, StatusCode.error_attribute_read_only)
        attributes[attribute] = attribute_state
        return self.handle_return_value(session, StatusCode.success)

    def disable_event(self, session: VISASession, event_type: Any, mechanism: Any) -> StatusCode:
        # No events are ever enabled, so there is nothing to switch off or drop when PyVISA closes.
        return self.handle_return_value(session, StatusCode.success)

    def discard_events(self, session: VISASession, event_type: Any, mechanism: Any) -> StatusCode:
        return self.handle_return_value(session, StatusCode.success)

    def _find(self, session: AnySession, name: str) -> ostrel.InstrumentInfo:
        try:
            return self.ostrel.find(lambda info: is_named(name, info), name)
        except ostrel.NoSuchInstrument:
            if not _well_formed(name):
                self._raise(session, StatusCode.error_invalid_resource_name)
            self._raise(session, StatusCode.error_resource_not_found)

    def _session(self, session: AnySession) -> Session:
        current = self.sessions.get(session)
        if current is None:
            self._raise(session, StatusCode.error_invalid_object)
        return current

    def _io_session(self, session: AnySession) -> Session:
        """The session, if no other one holds its instrument's exclusive lock."""
        current = self._session(session)
        if self._exclusive.get(current.instrument.key, session) != session:
            self._raise(session, StatusCode.error_resource_locked)
        return current

    def _attributes(self, session: AnySession, attribute: Any) -> Dict[Any, Any]:
        current = self._session(session)
        if attribute not in current.attributes:
            self._raise(session, StatusCode.error_nonsupported_attribute)
        return current.attributes

    def _raise_for(self, session: VISASession, error: ostrel.OstrelError) -> NoReturn:
        if isinstance(error, ostrel.Timeout):
            self._raise(session, StatusCode.error_timeout)
        self._raise(session, StatusCode.error_connection_lost if isinstance(error, ostrel.NoSuchInstrument)
                    else StatusCode.error_io)

    def _raise(self, session: Any, status: StatusCode) -> NoReturn:
        """Records the failure as the session's last status and raises it (VisaIOError)."""
        self.handle_return_value(session, status)
        raise errors.VisaIOError(status)  # not reached: handle_return_value raises for every error
