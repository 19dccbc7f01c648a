"""Refused clients, malformed and oversized requests: the gateway keeps
serving the others, and SIGTERM leaves no link and no handle."""
import re
import socket
import struct
import time

from conftest import IDENTITIES, RAW_PORT, instr

SERVE_OPTIONS = ["--allow", "127.0.0.1/32", "--allow", "127.0.0.5", "--client-links", "66"]
CORE = 0x0607AF
GARBAGE_ARGS, PROC_UNAVAIL, PROG_MISMATCH = 4, 3, 2


def connect(source, port):
    sock = socket.socket()
    sock.settimeout(5)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def closed_by_gateway(sock):
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def call(port, procedure, arguments, program=CORE, version=1):
    """One hand-made RPC call on its own connection: the reply's accept status, or None if the gateway hung up."""
    with connect("127.0.0.1", port) as sock:
        body = struct.pack(">6I4I", 0x1234, 0, 2, program, version, procedure, 0, 0, 0, 0) + arguments
        sock.sendall(struct.pack(">I", 0x80000000 | len(body)) + body)
        reply = sock.recv(28)
        return struct.unpack(">I", reply[24:28])[0] if len(reply) == 28 else None


def test_refusals_and_bad_requests_leave_others_working(gateway, rm):
    keeper = instr(rm, 0)
    assert keeper.query("*IDN?") == IDENTITIES[0] + "\r\n"

    # A client that retries without pause gets a line a second, and a count of the others.
    outsiders = [connect("127.0.0.3", RAW_PORT) for _ in range(20)]
    assert all(closed_by_gateway(outsider) for outsider in outsiders)
    gateway.wait_for(r"refused \d+ more from 127\.0\.0\.3 \(one line a second per address\)")
    time.sleep(1.2)
    gateway.drain()
    said = [line for line in gateway.seen if re.search(r"refused 127\.0\.0\.3:\d+ raw inst0: not in --allow", line)]
    held = [int(n) for line in gateway.seen for n in re.findall(r"refused (\d+) more from 127\.0\.0\.3", line)]
    assert len(said) + sum(held) == 20 and 1 <= len(said) <= 3
    crowd = [connect("127.0.0.5", RAW_PORT + 1) for _ in range(66)]
    one_too_many = connect("127.0.0.5", RAW_PORT + 1)
    assert closed_by_gateway(one_too_many)
    gateway.wait_for(r"refused 127\.0\.0\.5:\d+ raw inst1: 66 connections of this client")
    for sock in crowd + outsiders + [one_too_many]:
        sock.close()

    port = gateway.core_port
    huge_write = struct.pack(">4iI", 1, 1000, 1000, 8, 0x7FFFFFFF) + b"*IDN?\n"
    long_name = struct.pack(">iiII", 1, 0, 0, 100000) + b"inst0" * 20000
    assert call(port, 11, huge_write) == GARBAGE_ARGS
    assert call(port, 10, long_name) == GARBAGE_ARGS
    assert call(port, 99, b"") == PROC_UNAVAIL
    assert call(port, 10, b"", version=7) == PROG_MISMATCH
    with connect("127.0.0.1", port) as garbage:
        garbage.sendall(struct.pack(">I", 0x80000008) + b"\xff" * 8)
        assert closed_by_gateway(garbage)
    assert keeper.query("MEAS:VOLT?") == "1.234\r\n"
    keeper.close()


def test_stop_ends_links_and_releases_instruments(gateway, rm):
    held = instr(rm, 2)
    held.lock_excl()
    last = gateway.stop()
    assert any("unlock inst2 by link" in line for line in gateway.seen)
    assert last.endswith("stopped: 0 links open, every instrument released (bench handles open: 0)")
