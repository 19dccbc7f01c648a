"""The gateway under test: `ostrel serve` on the example bench, over loopback only.

Every wait is bounded: a gateway that hangs fails its test instead of the suite.
OSTREL_TOOL names the tool; rpcbind is started if none is running (the CI runs as root).
"""
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BENCH = os.path.join(ROOT, "examples", "bench.json")
IDENTITIES = ["VORN 2936-R 1.0.3 01/02/24 SN12345", "VORN 2940-T 2.1.0 11/09/23 SN20871",
              "VORN 2955-L 0.9.8 03/15/24 SN30502"]
RAW_PORT = 15025


def rpcbind_running():
    try:
        socket.create_connection(("127.0.0.1", 111), timeout=2).close()
        return True
    except OSError:
        return False


def ensure_rpcbind():
    if rpcbind_running():
        return
    daemon = shutil.which("rpcbind") or "/usr/sbin/rpcbind"
    assert os.path.exists(daemon), "rpcbind is not installed: run scripts/install-deps.sh"
    subprocess.run([daemon, "-w"], check=True, timeout=10)
    deadline = time.time() + 10
    while not rpcbind_running():
        assert time.time() < deadline, "rpcbind did not start"
        time.sleep(0.1)


class Gateway:
    """A running `ostrel serve`: its log lines, bench commands on its stdin, SIGTERM."""

    def __init__(self, tmp, *options, bench=BENCH):
        ensure_rpcbind()
        env = dict(os.environ, OSTREL_LOG_DIR=str(tmp))
        env.pop("OSTREL_BENCH", None)
        self.process = subprocess.Popen(
            [os.environ["OSTREL_TOOL"], "--bench", bench, "serve", "--raw-port", str(RAW_PORT), *options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()
        self.wait_for(r"TCPIP::127\.0\.0\.1::inst2::INSTR", 30)
        self.core_port = int(re.search(r"core channel on port (\d+)", self.wait_for("core channel")).group(1))

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, pattern, seconds=10):
        """The first log line (seen before or arriving) matching `pattern`."""
        deadline = time.time() + seconds
        while True:
            for line in self.seen:
                if re.search(pattern, line):
                    return line
            try:
                self.seen.append(self.lines.get(timeout=max(0.0, deadline - time.time())))
            except queue.Empty:
                raise AssertionError(f"no log line matching {pattern!r} within {seconds} s; log:\n" +
                                     "\n".join(self.seen)) from None

    def forget(self):
        """Later waits see only lines that come from now on."""
        self.drain()
        self.seen.clear()

    def drain(self):
        while not self.lines.empty():
            self.seen.append(self.lines.get())

    def bench(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def stop(self):
        """SIGTERM: every link closed, every instrument released; the last line says so."""
        self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError("serve did not stop within 20 s of SIGTERM")
        time.sleep(0.2)
        self.drain()
        assert status == 0, "\n".join(self.seen)
        return self.seen[-1]


@pytest.fixture(scope="module")
def gateway(tmp_path_factory, request):
    options = getattr(request.module, "SERVE_OPTIONS", [])
    # A module's serve_bench(folder) writes the bench it wants there.
    bench = getattr(request.module, "serve_bench", lambda folder: BENCH)(tmp_path_factory.mktemp("bench"))
    served = Gateway(tmp_path_factory.mktemp("log"), *options, bench=bench)
    yield served
    if served.process.poll() is None:
        served.stop()


@pytest.fixture(scope="module")
def rm():
    import pyvisa
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def instr(rm, index, timeout_ms=2000):
    resource = rm.open_resource(f"TCPIP::127.0.0.1::inst{index}::INSTR")
    resource.timeout = timeout_ms
    return resource
