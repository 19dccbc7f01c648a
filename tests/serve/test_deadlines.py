"""Clients that vanish, time out and fetch binary blocks: a call ends at its
io_timeout, a vanished client's lock and read are freed at once, and a reply
is handed back as the bytes the instrument sent."""
import os
import signal
import subprocess
import sys
import time

from pyvisa_py.protocols import vxi11

from conftest import BENCH, IDENTITIES, instr

END, TIMEOUT, NOT_SUPPORTED, WAIT_LOCK = 0x08, 15, 8, 1
SLACK = 0.25  # scheduling on a loaded machine; the gateway's own bound is 100 ms

# A client killed inside a read that may last for ever, holding the lock.
VANISHING = """
import sys
from pyvisa_py.protocols import vxi11
core = vxi11.CoreClient("127.0.0.1")
error, link, _, _ = core.create_link(9, 1, 1000, "inst0")
assert error == 0
core.device_write(link, 1000, 0, vxi11.OP_FLAG_END, b"NOPE?\\n")
print("reading", flush=True)
core.device_read(link, 1024, 0xFFFFFFFF, 0, 0, 0)
"""


def link_to(name):
    core = vxi11.CoreClient("127.0.0.1")
    error, link, _, _ = core.create_link(5, 0, 0, name)
    assert error == 0
    return core, link


def test_vanished_client_frees_its_lock_and_read(gateway):
    client = subprocess.Popen([sys.executable, "-c", VANISHING], stdout=subprocess.PIPE, text=True)
    try:
        assert client.stdout.readline() == "reading\n"
        time.sleep(0.3)
        core, link = link_to("inst0")
        client.send_signal(signal.SIGKILL)
        client.wait(timeout=5)
        start = time.monotonic()
        assert core.device_lock(link, WAIT_LOCK, 5000) == 0
        assert time.monotonic() - start < 1.0
        core.device_write(link, 1000, 0, END, b"*IDN?\n")
        assert core.device_read(link, 1024, 2000, 0, 0, 0)[2] == (IDENTITIES[0] + "\r\n").encode()
        core.close()
    finally:
        if client.poll() is None:
            client.kill()


def test_io_timeout_bounds_the_call_and_the_link_stays_in_step(gateway):
    core, link = link_to("inst0")
    for io_timeout in (50, 300, 1300):
        assert core.device_write(link, 1000, 0, END, b"NOPE?\n") == (0, 6)
        start = time.monotonic()
        assert core.device_read(link, 1024, io_timeout, 0, 0, 0)[0] == TIMEOUT
        taken = time.monotonic() - start
        assert io_timeout / 1000 <= taken + 0.01 < io_timeout / 1000 + SLACK, (io_timeout, taken)
    # Waiting for a busy instrument counts against the same deadline.
    other, other_link = link_to("inst0")
    other.device_write(other_link, 1000, 0, END, b"NOPE?\n")
    start = time.monotonic()
    assert other.device_read(other_link, 1024, 200, 0, 0, 0)[0] == TIMEOUT
    assert time.monotonic() - start < 0.2 + SLACK
    other.close()
    # A clear returns at once and drops a reply nobody read.
    assert core.device_write(link, 1000, 0, END, b"*IDN?\n") == (0, 6)
    start = time.monotonic()
    assert core.device_clear(link, 0, 0, 1000) == 0
    assert time.monotonic() - start < SLACK
    assert core.device_write(link, 1000, 0, END, b"ADDR?\n") == (0, 6)
    assert core.device_read(link, 1024, 2000, 0, 0, 0)[1:] == (4, b"5\r\n")
    # The status byte is not had without taking a pending reply: not supported, the reply kept.
    assert core.device_write(link, 1000, 0, END, b"ADDR?\n") == (0, 6)
    assert core.device_read_stb(link, 0, 0, 1000)[0] == NOT_SUPPORTED
    assert core.device_read(link, 1024, 2000, 0, 0, 0)[1:] == (4, b"5\r\n")
    core.close()


def test_binary_block_comes_back_whole(gateway):
    core, link = link_to("inst2")
    # A line end where the library's 64 KiB chunk ends, and line ends inside.
    payload = bytes(range(256)) * 280
    payload = payload[:65536 - 8] + b"\r\n" + payload[65536 - 6:]
    block = b"#5" + str(len(payload)).encode() + payload + b"\n"
    assert core.device_write(link, 2000, 0, END, block) == (0, len(block))
    error, reason, data = core.device_read(link, 1 << 20, 3000, 0, 0, 0)
    assert (error, reason, len(data)) == (0, 4, len(block))
    assert data == block
    core.close()


def test_second_gateway_leaves_the_first_registered(gateway, rm, tmp_path):
    second = subprocess.run([os.environ["OSTREL_TOOL"], "--bench", BENCH, "serve"], capture_output=True, text=True,
                            timeout=60, env=dict(os.environ, OSTREL_LOG_DIR=str(tmp_path)))
    assert second.returncode != 0
    assert f"registered with rpcbind and answering on port {gateway.core_port}" in second.stderr
    assert instr(rm, 1).query("*IDN?") == IDENTITIES[1] + "\r\n"
