"""PyVISA's own ResourceManager and MessageBasedResource driving the "@ostrel" backend on libostrel-sim."""
from __future__ import annotations

import time
from typing import Iterator

import pytest
import pyvisa
from pyvisa.constants import StatusCode

from conftest import IDENTITIES, instrument

NAMES = ["USB0::VORN::2936-R::SN12345::INSTR", "USB0::VORN::2940-T::SN20871::INSTR",
         "USB0::VORN::2955-L::SN30502::INSTR"]


@pytest.fixture
def rm(bench) -> Iterator[pyvisa.ResourceManager]:
    manager = pyvisa.ResourceManager("@ostrel")
    yield manager
    manager.close()


def test_resources_are_listed_opened_by_name_or_key_and_queried(rm):
    assert rm.list_resources() == tuple(NAMES)
    assert rm.list_resources("USB?*::2940-T::?*") == (NAMES[1],)
    for name, (key, identity) in zip(NAMES, IDENTITIES.items()):
        for alias in (name, key, name.replace("::INSTR", "::0::INSTR").replace("USB0", "usb")):
            with rm.open_resource(alias, read_termination="\r\n") as resource:
                assert resource.query("*IDN?") == identity
                assert resource.resource_name == name
    meter = rm.open_resource("2936-R SN12345", read_termination="\r\n")
    assert (meter.manufacturer_name, meter.model_name, meter.serial_number) == ("VORN", "2936-R", "SN12345")
    assert meter.query_ascii_values("MEAS:VOLT?") == [1.234]
    with pytest.raises(pyvisa.VisaIOError) as missing:
        rm.open_resource("USB0::VORN::2936-R::SN99999::INSTR")
    assert missing.value.error_code == StatusCode.error_resource_not_found


def test_terminations_split_and_end_messages(rm, bench):
    slot = bench.plug(instrument("82-E SN4", {}, echo=True))
    echo = rm.open_resource("82-E SN4")
    assert echo.query("*IDN?") == "VORN 82-E 1.0 01/01/24 SN4\r\n"  # nothing stripped without one
    assert echo.query("raw") == "raw\r\n"  # the write termination, CR LF, comes back with it
    echo.read_termination, echo.write_termination = "\n", "\n"
    echo.write_raw(b"one\ntwo\n")  # one reply, two messages
    assert echo.read() == "one"
    echo.clear()  # drops "two"
    echo.write("three")
    assert bench.received(slot).endswith(b"raw\r\none\ntwo\nthree\n")
    assert echo.read_raw() == b"three\n"


def test_a_read_times_out_after_the_sessions_time_out_and_the_session_goes_on(rm):
    meter = rm.open_resource(NAMES[0], read_termination="\r\n", timeout=2500)  # longer than a library read
    started = time.monotonic()
    with pytest.raises(pyvisa.VisaIOError) as timed_out:
        meter.query("NO:SUCH:COMMAND?")
    assert 2.5 <= time.monotonic() - started < 6
    assert timed_out.value.error_code == StatusCode.error_timeout
    assert meter.query("MEAS:VOLT?") == "1.234"


def test_clear_drops_a_reply_that_came_too_late_and_keeps_the_next(rm, bench):
    bench.plug(instrument("83-D SN3", {}, echo=True, reply_delay_ms=400))
    slow = rm.open_resource("83-D SN3", read_termination="\n", write_termination="\n", timeout=100)
    meter = rm.open_resource(NAMES[0], read_termination="\r\n", timeout=100)
    for resource, late, fresh, reply in ((slow, "stale", "fresh", "fresh"),
                                         (meter, "NO:SUCH:COMMAND?", "*IDN?", IDENTITIES["2936-R SN12345"])):
        with pytest.raises(pyvisa.VisaIOError):
            resource.query(late)
        resource.clear()  # the read still waiting must not take the reply to what comes next
        resource.timeout = 3000
        assert resource.query(fresh) == reply


def test_binary_blocks_are_read_whole_even_with_a_termination_byte_inside(rm, bench):
    values = [1, 10, 255, 0, 13, 10, 7]
    bench.plug(instrument("84-W SN2", {"CURV?": b"#17" + bytes(values) + b"\n", "WAVE?": b"#208" + bytes(8) + b"\n"}))
    scope = rm.open_resource("84-W SN2", read_termination="\n")
    assert scope.query_binary_values("CURV?", datatype="B") == values
    assert scope.query_binary_values("WAVE?", datatype="d") == [0.0]


def test_list_resources_follows_plugging_and_unplugging(rm, bench):
    slot = bench.plug(instrument("85-H SN1", {}))
    assert "USB0::VORN::85-H::SN1::INSTR" in rm.list_resources()
    bench.unplug(slot)
    assert rm.list_resources() == tuple(NAMES)
