"""An instrument unplugged while a client holds a link, and plugged back."""
import time

import pytest
from pyvisa.errors import VisaIOError

from conftest import IDENTITIES, instr


def test_unplugged_then_served_again_under_its_name(gateway, rm):
    held = instr(rm, 0)
    assert held.query("*IDN?") == IDENTITIES[0] + "\r\n"
    # A reply nobody read goes with the instrument that sent it.
    held.write("ADDR?")
    time.sleep(0.2)
    gateway.bench("unplug 0")
    gateway.wait_for(r"removed inst0 2936-R SN12345")
    with pytest.raises(VisaIOError):
        held.query("MEAS:VOLT?")
    with pytest.raises(Exception, match="error creating link: 3"):
        rm.open_resource("TCPIP::127.0.0.1::inst0::INSTR")
    assert instr(rm, 1).query("*IDN?") == IDENTITIES[1] + "\r\n"

    gateway.bench("plug 0")
    gateway.wait_for(r"arrived inst0 2936-R SN12345")
    assert held.query("MEAS:VOLT?") == "1.234\r\n"
    assert instr(rm, 0).query("*IDN?") == IDENTITIES[0] + "\r\n"
