"""Clients not written here reach the bench through the gateway: PyVISA's own
backend on VXI-11 and on raw sockets, and lxi-tools."""
import subprocess
import time

import pytest
from pyvisa import constants
from pyvisa.errors import VisaIOError

from conftest import IDENTITIES, RAW_PORT, instr

SERVE_OPTIONS = ["--raw-timeout", "1500"]


def test_vxi11_queries_time_outs_and_blocks(gateway, rm):
    assert [instr(rm, i).query("*IDN?") for i in range(3)] == [identity + "\r\n" for identity in IDENTITIES]
    with pytest.raises(Exception, match="error creating link: 21"):
        rm.open_resource("TCPIP::127.0.0.1::inst9::INSTR")
    # Each is also served under its key, which plug order does not change; names are matched without regard to case.
    for name, identity in (("2936-R_SN12345", IDENTITIES[0]), ("INST1", IDENTITIES[1]), ("2955-l_sn30502", IDENTITIES[2])):
        named = rm.open_resource(f"TCPIP::127.0.0.1::{name}::INSTR", read_termination="\r\n")
        assert named.query("*IDN?") == identity
        named.close()

    # The client's io_timeout, not the library's one-second read, decides when a read gives up.
    quiet = instr(rm, 0, timeout_ms=2500)
    start = time.monotonic()
    with pytest.raises(VisaIOError) as timed_out:
        quiet.query("NOPE?")
    assert timed_out.value.error_code == constants.StatusCode.error_timeout
    assert 2.4 < time.monotonic() - start < 4.4
    assert quiet.query("MEAS:VOLT?") == "1.234\r\n"

    # Replies read in small pieces come whole and in order; a block with a line end inside stays one block.
    echo = instr(rm, 2)
    echo.write("READ:RAW?")
    assert echo.read_bytes(7, chunk_size=2) == b"\x02\x00\xff\x10\x80\r\n"
    assert echo.query_binary_values("#15\x01\x02\n\x04\x05", datatype="B") == [1, 2, 10, 4, 5]

    # Clear drops the reply the instrument still holds.
    slow = instr(rm, 1, timeout_ms=1500)
    slow.write("MEAS:TEMP?")
    time.sleep(0.1)
    slow.clear()
    with pytest.raises(VisaIOError):
        slow.read()
    assert slow.query("*IDN?") == IDENTITIES[1] + "\r\n"
    for resource in (quiet, echo, slow):
        resource.close()


def test_raw_sockets(gateway, rm):
    raw = rm.open_resource(f"TCPIP::127.0.0.1::{RAW_PORT}::SOCKET", read_termination="\r\n",
                           write_termination="\n", timeout=3000)
    assert raw.query("*IDN?") == IDENTITIES[0]
    assert raw.query("MEAS:CURR?") == "0.0125"
    raw.timeout = 1000
    with pytest.raises(VisaIOError) as timed_out:
        raw.query("NOPE?")
    assert timed_out.value.error_code == constants.StatusCode.error_timeout

    binary = rm.open_resource(f"TCPIP::127.0.0.1::{RAW_PORT + 2}::SOCKET", timeout=3000)
    binary.write_raw(b"READ:RAW?\n")
    assert binary.read_bytes(7) == b"\x02\x00\xff\x10\x80\r\n"
    for resource in (raw, binary):
        resource.close()


def test_lxi_tools(gateway):
    def lxi(*words):
        return subprocess.run(["lxi", "scpi", "-a", "127.0.0.1", "-t", "5", *words], capture_output=True,
                              text=True, timeout=30)
    assert lxi("*IDN?").stdout.strip() == IDENTITIES[0]
    assert "0x02 0x00 0xff 0x10 0x80" in lxi("-r", "-p", str(RAW_PORT + 2), "-x", "READ:RAW?").stdout
