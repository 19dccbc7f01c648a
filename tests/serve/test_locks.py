"""Two clients contending for an instrument's lock."""
import threading
import time

import pytest
from pyvisa.errors import VisaIOError
from pyvisa_py.protocols import vxi11

from conftest import IDENTITIES, instr

LOCKED = 11
WAIT_LOCK = 1


def test_lock_contention(gateway, rm):
    holder, other = instr(rm, 1), instr(rm, 1)
    holder.lock_excl()
    gateway.wait_for(r"lock inst1 by link \d+ of 127\.0\.0\.1:\d+")
    with pytest.raises(VisaIOError):
        other.query("*IDN?")
    assert holder.query("MEAS:TEMP?") == "23.47\r\n"

    # A lock request that may wait gets the lock when it is released, or refusal after lock_timeout.
    waiter = vxi11.CoreClient("127.0.0.1")
    error, link, _, _ = waiter.create_link(7, 0, 0, "inst1")
    assert error == 0
    start = time.monotonic()
    assert waiter.device_lock(link, WAIT_LOCK, 700) == LOCKED
    assert time.monotonic() - start >= 0.6
    release = threading.Timer(0.5, holder.unlock)
    release.start()
    assert waiter.device_lock(link, WAIT_LOCK, 10000) == 0
    release.join()
    with pytest.raises(VisaIOError):
        holder.query("*IDN?")

    # A client that goes away without a word releases its lock.
    waiter.close()
    gateway.wait_for(rf"unlock inst1 by link {link} of ")
    assert other.query("*IDN?") == IDENTITIES[1] + "\r\n"
    holder.close()
    other.close()
