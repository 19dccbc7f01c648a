"""One link's requests seen from others: two clients contending for an
instrument's lock, and a read ended from the abort channel."""
import threading
import time

import pytest
from pyvisa.errors import VisaIOError
from pyvisa_py.protocols import rpc, vxi11

from conftest import IDENTITIES, instr

LOCKED = 11
ABORTED, INVALID_LINK = 23, 4
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


class AbortClient(rpc.RawTCPClient):
    """The abort channel, with the protocol classes of PyVISA's own backend."""

    def __init__(self, port):
        super().__init__("127.0.0.1", vxi11.DEVICE_ASYNC_PROG, vxi11.DEVICE_ASYNC_VERS, port)
        self.packer, self.unpacker = vxi11.Vxi11Packer(), vxi11.Vxi11Unpacker(b"")

    def abort(self, link):
        return self.make_call(vxi11.DEVICE_ABORT, link, self.packer.pack_int, self.unpacker.unpack_device_error)


def test_abort_channel_ends_a_read(gateway):
    core = vxi11.CoreClient("127.0.0.1")
    error, link, abort_port, _ = core.create_link(8, 0, 0, "inst0")
    assert error == 0 and core.device_write(link, 1000, 0, vxi11.OP_FLAG_END, b"NOPE?\n") == (0, 6)
    aborter = AbortClient(abort_port)
    results = []
    abort = threading.Timer(0.3, lambda: results.append(aborter.abort(link)))
    abort.start()
    start = time.monotonic()
    assert core.device_read(link, 1000, 10000, 0, 0, 0)[0] == ABORTED
    assert time.monotonic() - start < 5
    abort.join()
    assert results == [0] and aborter.abort(link + 1000) == INVALID_LINK
    aborter.close()
    core.close()
