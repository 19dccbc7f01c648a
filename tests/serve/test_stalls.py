"""Readers and clients that stall: output nobody reads, calls that never come
whole, a silent abort channel and a silent lock holder, and a crowd from one
PC at the default limits."""
import fcntl
import os
import re
import select
import signal
import socket
import struct
import subprocess
import threading
import time

import pyvisa
import pytest
from pyvisa.errors import VisaIOError
from pyvisa_py.protocols import vxi11

from conftest import BENCH, IDENTITIES, RAW_PORT, Gateway, ensure_rpcbind, instr
from test_locks import AbortClient


def read_until(fd, pattern, seconds):
    """The gateway's output read until `pattern` appears in it."""
    text, deadline = "", time.monotonic() + seconds
    while not re.search(pattern, text):
        left = deadline - time.monotonic()
        assert left > 0, f"no {pattern!r} within {seconds} s; output:\n{text[-2000:]}"
        if select.select([fd], [], [], left)[0]:
            chunk = os.read(fd, 1 << 16)
            assert chunk, "the output ended:\n" + text[-2000:]
            text += chunk.decode()
    return text


def lock_cycles(resource, count):
    for _ in range(count):
        resource.lock_excl()
        resource.unlock()


def ended(call):
    """Runs a call that the gateway's stop ends with an error."""
    try:
        call()
    except (VisaIOError, OSError, EOFError):
        pass


def test_output_nobody_reads_holds_up_nothing(tmp_path):
    ensure_rpcbind()
    env = dict(os.environ, OSTREL_LOG_DIR=str(tmp_path))
    env.pop("OSTREL_BENCH", None)
    process = subprocess.Popen([os.environ["OSTREL_TOOL"], "--bench", BENCH, "serve"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    out = process.stdout.fileno()
    # A pipe of one page fills after a few dozen lines.
    fcntl.fcntl(out, fcntl.F_SETPIPE_SZ, 4096)
    try:
        read_until(out, r"inst2::INSTR", 30)
        rm = pyvisa.ResourceManager("@py")
        holder = instr(rm, 0)
        # Two lines a cycle: far more than the pipe and the gateway's queue hold.
        lock_cycles(holder, 1500)
        assert holder.query("*IDN?") == IDENTITIES[0] + "\r\n"
        dropped = read_until(out, r"\d+ log lines dropped", 10)
        assert int(re.search(r"(\d+) log lines dropped", dropped).group(1)) > 0

        # Stalled once more, a call waiting on an instrument, clients connected: SIGTERM ends it within 5 s.
        lock_cycles(holder, 1500)
        waiting = instr(rm, 1, timeout_ms=60000)
        waiter = threading.Thread(target=lambda: ended(waiting.read), daemon=True)
        waiter.start()
        time.sleep(0.5)
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=5) == 0
        waiter.join(timeout=5)
        assert not waiter.is_alive()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=5)


JOURNAL = "/run/systemd/journal/socket"


def test_lines_are_journal_entries_under_systemd(tmp_path):
    with open(os.environ["OSTREL_TOOL"], "rb") as tool:
        if b"libsystemd.so" not in tool.read():
            pytest.skip("this build writes no journal (libsystemd-dev was missing)")
    if os.path.exists(JOURNAL):
        pytest.skip("a journal runs here: the suite's own needs a namespace of its own (isolated.sh, as root)")
    ensure_rpcbind()
    os.makedirs(os.path.dirname(JOURNAL), exist_ok=True)
    journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    journal.bind(JOURNAL)
    journal.settimeout(10)
    # systemd names the stream it gives as standard output; here a file stands in for it.
    output_path = tmp_path / "output"
    output = open(output_path, "wb")
    stream = os.fstat(output.fileno())
    env = dict(os.environ, OSTREL_LOG_DIR=str(tmp_path), JOURNAL_STREAM=f"{stream.st_dev}:{stream.st_ino}")
    env.pop("OSTREL_BENCH", None)
    process = subprocess.Popen([os.environ["OSTREL_TOOL"], "--bench", BENCH, "serve"], stdin=subprocess.PIPE,
                               stdout=output, stderr=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 30
        while b"inst2::INSTR" not in output_path.read_bytes():
            assert time.monotonic() < deadline, "serve did not start within 30 s"
            time.sleep(0.1)
        assert instr(pyvisa.ResourceManager("@py"), 0).query("*IDN?") == IDENTITIES[0] + "\r\n"
        entry = b""
        while b"MESSAGE=link " not in entry:
            entry = journal.recv(1 << 16)
        assert re.search(rb"(^|\n)MESSAGE=link \d+ to inst0 for 127\.0\.0\.1:\d+\n", entry)
        assert b"\nPRIORITY=6\n" in entry and re.search(rb"OSTREL_TIME=\d{4}-\d\d-\d\d [\d:.]+\n", entry)
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=5) == 0
        assert b"link " not in output_path.read_bytes(), "a line went to the journal and to standard output"
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=5)
        output.close()
        journal.close()
        os.unlink(JOURNAL)


def connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=8)


def closed_by_gateway(sock):
    try:
        return sock.recv(1) == b""
    except (ConnectionResetError, BrokenPipeError):
        return True


def drip(sock, data):
    """Sends `data` a byte every 0.4 s until the gateway closes the socket."""
    for byte in data:
        try:
            sock.send(bytes([byte]))
        except OSError:
            return
        time.sleep(0.4)


def test_calls_that_never_come_whole_lose_their_slots(tmp_path):
    gateway = Gateway(tmp_path, "--idle", "2", "--client-links", "3")
    try:
        port = gateway.core_port
        half_marker = connect(port)
        half_marker.sendall(b"\x80\x00")
        body_never_comes = connect(port)
        # A write of 1 MiB whose call header comes, and nothing of its data.
        write = struct.pack(">10I", 1, 0, 2, 0x0607AF, 1, 11, 0, 0, 0, 0) + struct.pack(">5I", 0, 1000, 0, 8, 1 << 20)
        body_never_comes.sendall(struct.pack(">I", 0x80000000 | (len(write) + (1 << 20))) + write + bytes(100))
        dripping = connect(port)
        start = time.monotonic()
        assert closed_by_gateway(connect(port))
        gateway.wait_for(r"refused 127\.0\.0\.1:\d+ core: 3 connections of this client")

        # A whole create_link call, one byte every 0.4 s: it would take 30 s.
        call = struct.pack(">10I", 7, 0, 2, 0x0607AF, 1, 10, 0, 0, 0, 0)
        call += struct.pack(">iiII", 1, 0, 0, 5) + b"inst0\0\0\0"
        record = struct.pack(">I", 0x80000000 | len(call)) + call

        threading.Thread(target=drip, args=(dripping, record), daemon=True).start()
        for sock in (half_marker, body_never_comes, dripping):
            assert closed_by_gateway(sock)
            assert 1.5 < time.monotonic() - start < 6
            sock.close()
        for _ in range(3):
            gateway.wait_for(r"close 127\.0\.0\.1:\d+ core: idle for 2 s")
        # A raw socket's line that trickles in, a byte every 0.4 s, holds its slot no longer.
        raw = connect(RAW_PORT)
        start = time.monotonic()
        threading.Thread(target=drip, args=(raw, b"*IDN" * 20), daemon=True).start()
        assert closed_by_gateway(raw)
        assert 1.5 < time.monotonic() - start < 6
        raw.close()
        gateway.wait_for(r"close 127\.0\.0\.1:\d+ \S+: idle for 2 s")

        # The slots are back. A silent abort channel stays while its link is in use...
        core = vxi11.CoreClient("127.0.0.1")
        error, link, abort_port, _ = core.create_link(9, 0, 0, "inst1")
        assert error == 0
        aborter = AbortClient(abort_port)
        assert aborter.abort(link) == 0
        for _ in range(8):
            time.sleep(0.5)
            assert core.device_write(link, 1000, 0, vxi11.OP_FLAG_END, b"*IDN?\n") == (0, 6)
            assert core.device_read(link, 1000, 1000, 0, 0, 0)[0] == 0
        assert aborter.abort(link) == 0
        # ... and a link that holds a lock and goes silent is closed, with the lock it released named.
        holder = instr(pyvisa.ResourceManager("@py"), 0)
        holder.lock_excl()
        gateway.wait_for(r"link \d+ of 127\.0\.0\.1:\d+ idle for 2 s: closed, its lock on inst0 released", 8)
        gateway.wait_for(r"unlock inst0 by link \d+ of ")
        aborter.close()
        core.close()
    finally:
        gateway.stop()


def test_64_clients_of_one_pc_at_the_default_limits(tmp_path):
    gateway = Gateway(tmp_path)
    failures = []

    def client(number):
        try:
            resource = instr(pyvisa.ResourceManager("@py"), number % 3, timeout_ms=20000)
            for _ in range(100):
                reply = resource.query("*IDN?")
                if reply != IDENTITIES[number % 3] + "\r\n":
                    failures.append(reply)
            resource.close()
        except Exception as error:  # every failure is reported, none ends the crowd early
            failures.append(repr(error))

    try:
        clients = [threading.Thread(target=client, args=(n,)) for n in range(64)]
        for thread in clients:
            thread.start()
        for thread in clients:
            thread.join(timeout=120)
        assert not any(thread.is_alive() for thread in clients), "the crowd was not served within 120 s"
        assert failures == []
        gateway.drain()
        assert not any("refused" in line for line in gateway.seen)
    finally:
        gateway.stop()
