#!/usr/bin/env python3
"""Simulated hosts on one LAN segment of this machine: gateways and a client, each with a network,
mount and host-name namespace of its own, joined through a bridge in a fourth ("switch") namespace.

Each host keeps its namespaces in one long-lived holder process that the others enter with nsenter,
so every daemon of a host shares that host's private /run: its D-Bus system bus, its avahi-daemon,
and on a gateway its rpcbind, which libtirpc reaches through /run/rpcbind.sock. Nothing is named in
/run/netns and no interface ever exists in the machine's own namespace, so suites run side by side
cannot clash, and a namespace goes away with the last process in it. The holder waits for the end
of its standard input, a pipe from the process that built the floor; then it stops every process
left in its network namespace. So a floor whose builder was killed (a time-out) still goes away:
the daemons drop root, which clears a parent-death signal, and could not be trusted to follow.

Run by hand (as root):  segment.py TOOL [COMMAND ...]
starts gw1 and gw2 serving the example bench and runs COMMAND (default: a shell) on the client,
then tears everything down.
"""
import os
import re
import select
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BENCH = os.path.join(ROOT, "examples", "bench.json")
SUBNET = "10.250.0"
BUS = "unix:path=/run/dbus/system_bus_socket"
RAW_PORT = 15025
HTTP_PORT = 80

# The holder's part once its namespaces are set up: wait for the end of standard input, then stop
# whatever still runs in this network namespace (SIGTERM, SIGKILL after 5 s).
_HOLD = r"""
import os, signal, sys, time
print("ready", flush=True)
sys.stdin.read()
me = os.readlink("/proc/self/ns/net")
def left():
    found = []
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and int(entry) != os.getpid() and os.readlink(f"/proc/{entry}/ns/net") == me:
                found.append(int(entry))
        except OSError:
            pass
    return found
for sig, grace in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
    for pid in left():
        try:
            os.kill(pid, sig)
        except OSError:
            pass
    deadline = time.monotonic() + grace
    while left() and time.monotonic() < deadline:
        time.sleep(0.05)
"""


def _wait_for_line(path, pattern, seconds, process=None):
    """The first line of a log file matching `pattern`, waiting at most `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        with open(path, errors="replace") as log:
            text = log.read()
        found = re.search(pattern, text, re.MULTILINE)
        if found:
            return found.group(0)
        if process is not None and process.poll() is not None:
            raise RuntimeError(f"{path}: ended with status {process.returncode} before {pattern!r}:\n{text}")
        if time.monotonic() > deadline:
            raise RuntimeError(f"{path}: no {pattern!r} within {seconds} s:\n{text}")
        time.sleep(0.05)


def avahi_config(host):
    """Only the segment's interface, IPv4 only, no wide-area lookups: the host is alone with its peers."""
    return (f"[server]\nhost-name={host}\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=eth0\n"
            "ratelimit-interval-usec=1000000\nratelimit-burst=1000\n"
            "[wide-area]\nenable-wide-area=no\n"
            "[publish]\npublish-aaaa-on-ipv4=no\npublish-hinfo=no\npublish-workstation=no\n")


class Host:
    """One simulated machine: its namespaces (held by a `sleep`), its daemons and their logs."""

    def __init__(self, name, logs, private_run=True):
        self.name = name
        self.logs = logs
        self.address = None
        self.daemons = []  # (name, Popen), in start order
        setup = ["ip link set lo up", f"hostname {name}"]
        if private_run:
            setup += ["mount -t tmpfs tmpfs /run", "mount -t sysfs sysfs /sys", "mkdir -p /run/dbus"]
        # A session of its own: a time-out that kills the test's process group leaves it to clean up.
        self.holder = subprocess.Popen(
            ["unshare", "--net", "--mount", "--uts", "--propagation", "private", "sh", "-c",
             " && ".join(setup) + ' && exec "$0" -c "$1"', sys.executable, _HOLD],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True)
        ready, _, _ = select.select([self.holder.stdout], [], [], 10)
        if not ready or self.holder.stdout.readline() != b"ready\n":
            self.holder.kill()
            raise RuntimeError(f"{name}: namespaces not set up (unshare needs root)")

    def command(self, args):
        return ["nsenter", "-t", str(self.holder.pid), "-n", "-m", "-u", "--", *args]

    def env(self, **extra):
        return dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=BUS, **extra)

    def run(self, args, timeout=30, check=True, **options):
        """A command on this host, to its end (bounded); its output as text."""
        return subprocess.run(self.command(args), env=self.env(), timeout=timeout, check=check,
                              capture_output=True, text=True, **options)

    def start(self, name, args, stdin=subprocess.DEVNULL, env=None):
        """A daemon on this host, logging to <logs>/<host>-<name>.log."""
        log = open(self.log_path(name), "w")
        process = subprocess.Popen(self.command(args), stdin=stdin, stdout=log, stderr=subprocess.STDOUT,
                                   env=env or self.env())
        log.close()
        self.daemons.append((name, process))
        return process

    def log_path(self, name):
        return os.path.join(self.logs, f"{self.name}-{name}.log")

    def start_bus_and_avahi(self):
        config = os.path.join(self.logs, f"{self.name}-avahi.conf")
        with open(config, "w") as out:
            out.write(avahi_config(self.name))
        bus = self.start("dbus", ["dbus-daemon", "--system", "--nofork", "--nopidfile", f"--address={BUS}"])
        deadline = time.monotonic() + 10
        while self.run(["test", "-S", "/run/dbus/system_bus_socket"], check=False).returncode != 0:
            if bus.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"{self.name}: no system bus:\n" + open(self.log_path("dbus")).read())
            time.sleep(0.05)
        avahi = self.start("avahi", ["avahi-daemon", "-f", config, "--no-chroot", "--no-rlimits"])
        _wait_for_line(self.log_path("avahi"), r"Server startup complete.*", 20, avahi)

    def stop(self):
        """SIGTERM to the daemons, newest first (avahi-daemon says goodbye on it), then the holder
        stops what is left. Bounded: a daemon that ignores SIGTERM is killed."""
        for name, process in reversed(self.daemons):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=10)
        self.holder.stdin.close()
        try:
            self.holder.wait(timeout=20)
        finally:
            self.holder.stdout.close()


class Floor:
    """A switch, gateways serving the example bench, and a client; `with Floor(tool) as floor:`.
    Gateways are 10.250.0.1, .2, ...; the client is 10.250.0.100."""

    def __init__(self, tool, logs, gateways=("gw1", "gw2")):
        self.tool = os.path.abspath(tool)
        self.logs = logs
        self.gateway_names = gateways
        self.hosts = []
        self.serve = {}  # gateway name -> the `ostrel serve` process

    def __enter__(self):
        try:
            self._build()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *failure):
        self.close()

    def _build(self):
        os.makedirs(self.logs, exist_ok=True)
        self.switch = self._add(Host("switch", self.logs, private_run=False))
        self.switch.run(["ip", "link", "add", "br0", "type", "bridge", "mcast_snooping", "0"])
        self.switch.run(["ip", "link", "set", "br0", "up"])
        self.gateways = [self._plug(Host(name, self.logs), f"{SUBNET}.{n + 1}")
                         for n, name in enumerate(self.gateway_names)]
        self.client = self._plug(Host("client", self.logs), f"{SUBNET}.100")
        for host in self.gateways + [self.client]:
            host.start_bus_and_avahi()
        for host in self.gateways:
            self._start_gateway(host)

    def _add(self, host):
        self.hosts.append(host)
        return host

    def _plug(self, host, address):
        """A veth pair: `eth0` on the host, a port named after it on the switch's bridge."""
        self._add(host)
        self.switch.run(["ip", "link", "add", host.name, "type", "veth", "peer", "name", "eth0",
                         "netns", str(host.holder.pid)])
        self.switch.run(["ip", "link", "set", host.name, "master", "br0", "up"])
        host.run(["ip", "addr", "add", f"{address}/24", "dev", "eth0"])
        host.run(["ip", "link", "set", "eth0", "multicast", "on", "up"])
        host.address = address
        return host

    def _start_gateway(self, host):
        host.start("rpcbind", ["rpcbind", "-f"])
        deadline = time.monotonic() + 10
        while host.run(["test", "-S", "/run/rpcbind.sock"], check=False).returncode != 0:
            if time.monotonic() > deadline:
                raise RuntimeError(f"{host.name}: rpcbind did not start")
            time.sleep(0.05)
        env = host.env(OSTREL_LOG_DIR=os.path.join(self.logs, host.name))
        os.makedirs(env["OSTREL_LOG_DIR"], exist_ok=True)
        env.pop("OSTREL_BENCH", None)
        serve = host.start("serve", [self.tool, "--bench", BENCH, "serve", "--listen", "0.0.0.0",
                                     "--raw-port", str(RAW_PORT), "--http-port", str(HTTP_PORT)],
                           stdin=subprocess.PIPE, env=env)
        _wait_for_line(host.log_path("serve"), r".*inst2::INSTR.*", 30, serve)
        self.serve[host.name] = serve

    def bench(self, gateway, command):
        """A bench command ("unplug 0", "plug 0") on a gateway's standard input."""
        stdin = self.serve[gateway].stdin
        stdin.write(command.encode() + b"\n")
        stdin.flush()

    def host(self, name):
        return next(host for host in self.hosts if host.name == name)

    def close(self):
        for host in reversed(self.hosts):
            try:
                host.stop()
            except Exception as error:  # the other hosts still go
                print(f"floor: stopping {host.name}: {error}", file=sys.stderr)
        self.hosts.clear()


def main(argv):
    if len(argv) < 2:
        print(__doc__.split("Run by hand")[1].strip(), file=sys.stderr)
        return 2
    logs = f"/tmp/ostrel-floor-{os.getpid()}"
    with Floor(argv[1], logs) as floor:
        print(f"floor: gateways " + ", ".join(f"{host.name} {host.address}" for host in floor.gateways) +
              f"; client {floor.client.address}; logs in {logs}", file=sys.stderr)
        command = argv[2:] or [os.environ.get("SHELL", "sh")]
        return subprocess.run(floor.client.command(command), env=floor.client.env()).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
