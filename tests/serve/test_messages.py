"""Messages are bytes: a 488.2 block goes to the instrument and comes back whole
whatever bytes it holds, a message written in parts reaches the instrument as
one, and one over the bound is refused up to its end. inst2 of the example
bench echoes any write it has no reply for."""
import socket
import time

from pyvisa_py.protocols import vxi11

from conftest import IDENTITIES, RAW_PORT, instr

END, PARAMETER = 0x08, 5
IDENTITY = (IDENTITIES[2] + "\r\n").encode()
PAYLOAD = bytes(range(256)) * 273  # 69,888 bytes, line ends and '#' inside
BLOCK = b"#5" + str(len(PAYLOAD)).encode() + PAYLOAD


def receive(sock, count, seconds=10):
    """Exactly `count` bytes, or fails once `seconds` have passed."""
    data = b""
    deadline = time.monotonic() + seconds
    while len(data) < count:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            chunk = sock.recv(count - len(data))
        except socket.timeout:
            break
        if not chunk:
            break
        data += chunk
    assert len(data) == count, f"{len(data)} of {count} bytes within {seconds} s"
    return data


def test_raw_socket_reads_blocks_by_their_headers(gateway, rm):
    with socket.create_connection(("127.0.0.1", RAW_PORT + 2), timeout=10) as sock:
        # A newline and a '?' inside a block neither end the message nor ask; the next query stays in step.
        short = b"ECHO? #15a?\nbc\n"
        sock.sendall(short + b"*IDN?\n")
        assert receive(sock, len(short) + len(IDENTITY)) == short + IDENTITY
        large = b"ECHO? " + BLOCK + b"\n"
        sock.sendall(large + b"*IDN?\n")
        assert receive(sock, len(large) + len(IDENTITY)) == large + IDENTITY
        # A message over 1 MiB is refused whole, with a line in the log; the next one is served.
        gateway.forget()
        sock.sendall(b"ECHO? " + b"x" * (1 << 20) + b"\n*IDN?\n")
        assert receive(sock, len(IDENTITY)) == IDENTITY
        gateway.wait_for(r"refused a message over 1048576 bytes to inst2 from 127\.0\.0\.1:\d+$")

    echo = rm.open_resource(f"TCPIP::127.0.0.1::{RAW_PORT + 2}::SOCKET", timeout=5000, read_termination="\n",
                            write_termination="\n")
    assert echo.query_binary_values("ECHO? #15\x01\x02\n\x04\x05", datatype="B") == [1, 2, 10, 4, 5]
    echo.close()


def test_vxi11_message_in_parts_reaches_the_instrument_whole(gateway, rm):
    # pyvisa-py writes more than 1 KiB without END: the newline after the block ends the message.
    echo = instr(rm, 2, timeout_ms=5000)
    echo.write_raw(BLOCK + b"\n")
    assert echo.read_raw() == BLOCK + b"\n"
    echo.close()

    core = vxi11.CoreClient("127.0.0.1")
    error, link, _, _ = core.create_link(5, 0, 0, "inst2")
    assert error == 0
    for part, flags in ((b"#210ab\n", 0), (b"cd\nef", 0), (b"gh\n", END)):
        assert core.device_write(link, 1000, 0, flags, part) == (0, len(part))
    assert core.device_read(link, 1024, 2000, 0, 0, 0) == (0, 4, b"#210ab\ncd\nefgh\n")

    # Every part of a message over the bound is refused up to its end, and none of it reaches the instrument.
    big = b"x" * 600000
    assert core.device_write(link, 2000, 0, 0, big)[0] == 0
    assert core.device_write(link, 2000, 0, 0, big)[0] == PARAMETER
    assert core.device_write(link, 2000, 0, 0, b"?\n")[0] == PARAMETER
    assert core.device_write(link, 1000, 0, END, b"*IDN?\n") == (0, 6)
    assert core.device_read(link, 1024, 2000, 0, 0, 0)[2] == IDENTITY
    core.close()
