"""The gateway's web server read by clients not written here: curl, xmllint,
promtool and a headless Chromium, after real traffic from pyvisa-py."""
import html
import json
import os
import re
import subprocess

import pytest
from pyvisa.errors import VisaIOError

from conftest import BENCH, IDENTITIES, instr

HTTP_PORT = 8080
SERVE_OPTIONS = ["--http-port", str(HTTP_PORT), "--allow", "127.0.0.1/32"]
URL = f"http://127.0.0.1:{HTTP_PORT}"
# A serial number with markup in it: every document escapes it, or xmllint, promtool or the browser says so.
SERIAL = 'SN<3&"\\0>'
STABLE = ["2936-R_SN12345", "2940-T_SN20871", "2955-L_" + SERIAL]


def serve_bench(folder):
    with open(BENCH) as file:
        bench = json.load(file)
    instrument = bench["instruments"][2]
    instrument["serial"] = SERIAL
    instrument["replies"]["*IDN?"] = instrument["replies"]["*IDN?"].replace("SN30502", SERIAL)
    path = folder / "bench.json"
    path.write_text(json.dumps(bench))
    return str(path)


def run(command, stdin=None, timeout=30):
    return subprocess.run(command, input=stdin, capture_output=True, text=True, timeout=timeout)


def curl(path, *options):
    fetched = run(["curl", "-sS", "--max-time", "10", *options, URL + path])
    assert fetched.returncode == 0, fetched.stderr
    return fetched.stdout


def sample(metrics, name, instrument):
    found = re.search(rf'^{name}{{instrument="{instrument}",name="[^"]*"}} (\S+)$', metrics, re.M)
    assert found, f"no {name} for {instrument}:\n{metrics}"
    return float(found.group(1))


def test_documents_show_queries_locks_and_time_outs(gateway, rm, tmp_path):
    gateway.wait_for(rf"status page on http://127\.0\.0\.1:{HTTP_PORT}/")
    with pytest.raises(VisaIOError):
        instr(rm, 0, timeout_ms=300).query("NOPE?")
    assert instr(rm, 0).query("*IDN?") == IDENTITIES[0] + "\r\n"
    holder = instr(rm, 1)
    holder.lock_excl()

    # Every instrument by each address it is served on; the first opens the instrument it names.
    identification = curl("/lxi/identification")
    assert run(["xmllint", "--noout", "-"], identification).returncode == 0
    listed = html.unescape(run(["xmllint", "--xpath", "//*[local-name()='InstrumentAddressString']/text()", "-"],
                               identification).stdout).split()
    assert listed == [address for index, name in enumerate(STABLE) for address in
                      (f"TCPIP::127.0.0.1::{name}::INSTR", f"TCPIP::127.0.0.1::{15025 + index}::SOCKET")]
    assert rm.open_resource(listed[0]).query("*IDN?") == IDENTITIES[0] + "\r\n"

    metrics = curl("/metrics")
    checked = run(["promtool", "check", "metrics"], metrics)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert sample(metrics, "ostrel_serve_queries_total", "inst0") == 2
    assert sample(metrics, "ostrel_serve_query_latency_seconds_count", "inst0") == 2
    assert sample(metrics, "ostrel_serve_timeouts_total", "inst0") >= 1
    assert sample(metrics, "ostrel_serve_locks_held", "inst1") == 1
    assert sample(metrics, "ostrel_serve_links_open", "inst1") == 1

    # The page as a browser shows it, an unplugged instrument among the others.
    gateway.bench("unplug 2")
    gateway.wait_for("removed inst2")
    browser = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--window-size=1200,800"]
    page = run([*browser, "--dump-dom", URL + "/"], timeout=60)
    text = html.unescape(re.sub(r"<[^>]+>", " ", page.stdout))
    assert all(name in text for name in STABLE), page.stdout + page.stderr
    assert re.search(r"held by 127\.0\.0\.1\s+since \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC", text)
    assert "unplugged" in text
    shot = tmp_path / "status.png"
    run([*browser, f"--screenshot={shot}", URL + "/"], timeout=60)
    assert shot.read_bytes().startswith(b"\x89PNG")
    gateway.bench("plug 2")
    holder.close()


def test_read_only(gateway):
    # What the instruments did; links come and go as earlier tests' resources are collected.
    def done():
        return [line for line in curl("/metrics").splitlines() if "_links_open" not in line]

    before = done()
    gateway.forget()
    answered = run(["curl", "-sS", "-i", "--max-time", "10", "-X", "POST", "--data", "*RST", URL + "/"])
    assert answered.stdout.startswith("HTTP/1.1 405")
    assert re.search(r"^Allow: GET, HEAD$", answered.stdout, re.M)
    assert curl("/nothing/here", "-o", "/dev/null", "-w", "%{http_code}") == "404"
    assert curl("/metrics", "-I").startswith("HTTP/1.1 200")
    assert done() == before
    gateway.drain()
    assert not [line for line in gateway.seen if re.search(r"\b(link|lock|connect) ", line)], gateway.seen


def test_allow_and_ports(gateway):
    refused = run(["curl", "-sS", "--max-time", "10", "--interface", "127.0.0.2", URL + "/"])
    assert refused.returncode != 0 and refused.stdout == ""
    gateway.wait_for(rf"refused 127\.0\.0\.2:\d+ http: not in --allow")
    assert re.search(r"^ostrel_serve_refused_connections_total [1-9]", curl("/metrics"), re.M)

    # A port named on the command line that cannot be had ends serve.
    second = run([os.environ["OSTREL_TOOL"], "--bench", BENCH, "serve", "--http-port", str(HTTP_PORT)], timeout=60)
    assert second.returncode == 1
    assert f"--http-port: cannot listen on 127.0.0.1 port {HTTP_PORT}" in second.stderr
