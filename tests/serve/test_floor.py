"""Two gateways and a client on a simulated LAN segment (floor/segment.py): the client finds every
instrument of both through mDNS/DNS-SD with clients not written here, opens each by the name its
announcement gives, follows unplug and plug, and reads each gateway's page, identification and metrics.

Needs root (network namespaces). FLOOR_OUT names a folder for the logs, the measured times
(floor-figures.txt) and the status page's screenshot.
"""
import datetime
import os
import queue
import re
import subprocess
import threading
import time
import xml.etree.ElementTree as ElementTree

import pytest

from conftest import IDENTITIES, RAW_PORT
from floor.clients import PYVISA, ZEROCONF, parse_browse_line, resolved_services, run_script
from floor.segment import Floor

VXI11 = "_vxi-11._tcp"
RAW = "_scpi-raw._tcp"


def expected(gateway):
    """{instance name: TXT} that `gateway` announces for the example bench."""
    services = {}
    for identity in IDENTITIES:
        maker, model, firmware, *_, serial = identity.split()
        services[f"{maker} {model} {serial} on {gateway}"] = {
            "txtvers": "1", "Manufacturer": maker, "Model": model, "SerialNumber": serial,
            "FirmwareVersion": firmware, "Device": f"{model}_{serial}"}
    return services


def raw_port(name):
    """The raw socket of the instrument an instance name names: the bench's order, kept across replugs."""
    return RAW_PORT + next(n for n, identity in enumerate(IDENTITIES) if identity.split()[-1] in name.split())




@pytest.fixture(scope="module")
def out(tmp_path_factory):
    folder = os.environ.get("FLOOR_OUT") or str(tmp_path_factory.mktemp("floor"))
    os.makedirs(folder, exist_ok=True)
    open(os.path.join(folder, "floor-figures.txt"), "w").close()
    return folder


@pytest.fixture(scope="module")
def floor(out):
    assert os.geteuid() == 0, "the floor's simulated hosts are network namespaces: run this suite as root"
    with Floor(os.environ["OSTREL_TOOL"], os.path.join(out, "logs")) as built:
        yield built


def note(out, line):
    """A measured figure, on the test's output and in floor-figures.txt."""
    print(line)
    with open(os.path.join(out, "floor-figures.txt"), "a") as figures:
        figures.write(line + "\n")


def browse(floor, kind, count):
    """avahi-browse -rpt from the client, repeated until `count` services resolve (the gateways
    announce once their instruments have answered *IDN?)."""
    deadline = time.monotonic() + 20
    while True:
        services = resolved_services(floor.client.run(["avahi-browse", "-rpt", kind], timeout=20).stdout)
        if len(services) >= count:
            return services
        if time.monotonic() > deadline:
            raise AssertionError(f"{count} {kind} services not resolved within 20 s; found {sorted(services)}")
        time.sleep(0.2)


def test_every_client_finds_both_gateways_instruments_by_their_identities(floor):
    gateways = {host.name: host.address for host in floor.gateways}
    announced = browse(floor, VXI11, 6)
    assert sorted(announced) == sorted((name, address) for gateway, address in gateways.items()
                                       for name in expected(gateway))
    for (name, address), service in announced.items():
        gateway = name.rsplit(" on ", 1)[1]
        assert (service["host"], service["port"]) == (f"{gateway}.local", 111)
        assert {key: service["txt"].get(key) for key in expected(gateway)[name]} == expected(gateway)[name]

    raw = browse(floor, RAW, 6)
    assert sorted(raw) == sorted(announced)
    assert {key: service["port"] for key, service in raw.items()} == {key: raw_port(key[0]) for key in raw}

    found = run_script(floor.client, ZEROCONF, f"{VXI11}.local.", 6)
    assert {(service["name"], service["address"]): (service["port"], service["txt"]) for service in found} == \
        {key: (111, service["txt"]) for key, service in announced.items()}

    listing = floor.client.run(["lxi", "discover", "-m", "-t", "1"], timeout=30).stdout
    seen = set(re.findall(r'Found "([^"]+)" on address (\S+)\n\s+(\S+) service on port (\d+)', listing))
    for name, address in announced:
        assert {(name, address, "vxi-11", "111"), (name, address, "scpi-raw", str(raw_port(name)))} <= seen, listing


def test_pyvisa_opens_each_announced_name_and_reads_the_promised_identity(floor):
    promised = {}
    for (name, address), service in browse(floor, VXI11, 6).items():
        promised[f"TCPIP::{address}::{service['txt']['Device']}::INSTR"] = service["txt"]
    for (name, address), service in browse(floor, RAW, 6).items():
        promised[f"TCPIP::{address}::{service['port']}::SOCKET"] = service["txt"]
    replies = run_script(floor.client, PYVISA, sorted(promised))
    for resource, txt in promised.items():
        words = replies[resource].split()
        assert (words[0], words[1], words[2], words[-1]) == \
            (txt["Manufacturer"], txt["Model"], txt["FirmwareVersion"], txt["SerialNumber"]), resource


class Browser:
    """A running `avahi-browse -rpa` on the client: its events as they come."""

    def __init__(self, floor):
        self.process = subprocess.Popen(floor.client.command(["avahi-browse", "-rpa"]), env=floor.client.env(),
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            parsed = parse_browse_line(line.rstrip("\n"))
            if parsed:
                self.events.put((time.monotonic(), parsed))

    def wait_for(self, wanted, seconds):
        """Events until every (event, kind, name) in `wanted` came: {wanted: time}, and the others seen."""
        deadline = time.monotonic() + seconds
        times, others = {}, []
        while set(times) != set(wanted):
            try:
                at, (event, kind, name, _) = self.events.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f"still missing {set(wanted) - set(times)} after {seconds} s") from None
            if (event, kind, name) in wanted:
                times.setdefault((event, kind, name), at)
            else:
                others.append((event, kind, name))
        return times, others

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def test_unplug_withdraws_an_instrument_and_plug_announces_it_again_under_its_name(floor, out):
    name = next(iter(expected("gw1")))
    unplugged = False
    browser = Browser(floor)
    try:
        browser.wait_for({("=", VXI11, n) for n in expected("gw1")} | {("=", VXI11, n) for n in expected("gw2")}, 20)
        time.sleep(1)  # the rest of the first round of answers
        while not browser.events.empty():
            browser.events.get()

        start, wall = time.monotonic(), datetime.datetime.now()
        floor.bench("gw1", "unplug 0")
        unplugged = True
        gone, others = browser.wait_for({("-", VXI11, name), ("-", RAW, name)}, 5)
        assert not [event for event in others if event[0] == "-"], others
        note(out, f"unplug to withdrawal seen by avahi-browse: {max(gone.values()) - start:.2f} s (the gateway "
                  f"withdrew it after {logged_after(floor, wall, 'mDNS: withdrew inst0'):.2f} s; a client keeps a "
                  "record said goodbye to for 1 s)")

        start, wall = time.monotonic(), datetime.datetime.now()
        floor.bench("gw1", "plug 0")
        unplugged = False
        back, _ = browser.wait_for({("=", VXI11, name), ("=", RAW, name)}, 15)
        note(out, f"plug to announcement resolved by avahi-browse: {max(back.values()) - start:.2f} s (the gateway "
                  f"saw it arrive after {logged_after(floor, wall, 'arrived inst0'):.2f} s, and had it announced, "
                  f"Avahi's probe of the name done, after {logged_after(floor, wall, 'mDNS: announced inst0'):.2f} s)")
    finally:
        browser.close()
        if unplugged:  # the other tests find the bench whole
            floor.bench("gw1", "plug 0")


def logged_after(floor, wall, what):
    """Seconds from `wall` to gw1's first log line since then that starts with `what` (stamped in whole
    milliseconds, and written by a thread of its own: waited for)."""
    deadline = time.monotonic() + 5
    while True:
        with open(floor.host("gw1").log_path("serve")) as log:
            stamps = [datetime.datetime.fromisoformat(stamp)
                      for stamp in re.findall(rf"^(\S+ \S+)  {what}", log.read(), re.MULTILINE)]
        later = [stamp for stamp in stamps if stamp >= wall - datetime.timedelta(milliseconds=1)]
        if later:
            return max(0.0, (later[0] - wall).total_seconds())
        assert time.monotonic() < deadline, f"gw1 logged no {what!r} within 5 s"
        time.sleep(0.05)


def fetch(floor, url):
    return floor.client.run(["curl", "-sSf", "--max-time", "10", url], timeout=20).stdout


def test_each_gateways_page_identification_and_metrics_name_its_instruments(floor, out, tmp_path):
    pages = browse(floor, "_http._tcp", 2)
    assert sorted(address for _, address in pages) == sorted(host.address for host in floor.gateways)
    assert {address: service["port"] for (_, address), service in browse(floor, "_lxi._tcp", 2).items()} == \
        {address: service["port"] for (_, address), service in pages.items()}
    for (_, address), service in sorted(pages.items(), key=lambda page: page[0][1]):
        gateway = service["host"].split(".")[0]
        instruments = expected(gateway).values()
        base = f"http://{address}:{service['port']}"

        identification = fetch(floor, base + "/lxi/identification")
        floor.client.run(["xmllint", "--noout", "-"], input=identification)
        strings = [element.text for element in ElementTree.fromstring(identification).iter()
                   if element.tag.endswith("InstrumentAddressString")]
        for txt in instruments:
            assert [s for s in strings if re.fullmatch(rf"TCPIP::[^:]+::{txt['Device']}::INSTR", s)], strings

        metrics = fetch(floor, base + "/metrics")
        check = floor.client.run(["promtool", "check", "metrics"], input=metrics, check=False)
        assert check.returncode == 0, check.stdout + check.stderr
        assert all(txt["SerialNumber"] in metrics for txt in instruments), metrics

        # What a person sees: the page's text after the browser rendered it, and a picture of it.
        screenshot = os.path.join(out, f"status-page-{gateway}.png")
        # In a PID namespace of its own: the browser's helpers go when it ends or its time-out kills it.
        chromium = ["unshare", "--pid", "--fork", "--kill-child", "chromium", "--headless", "--no-sandbox",
                    "--disable-gpu", "--window-size=1200,900", f"--user-data-dir={tmp_path}"]
        text = floor.client.run(chromium + ["--dump-dom", base + "/"], timeout=60).stdout
        for n, identity in enumerate(IDENTITIES):
            maker, model, *_, serial = identity.split()
            assert identity in text and f"{model}_{serial}" in text and f"inst{n}" in text, text
        floor.client.run(chromium + [f"--screenshot={screenshot}", base + "/"], timeout=60)
        assert os.path.getsize(screenshot) > 0
        note(out, f"status page of {gateway}: {screenshot} (Chromium, 1200x900): its three instruments "
                  "with identity, stable and instN names")
