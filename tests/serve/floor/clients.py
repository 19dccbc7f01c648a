"""What clients not written here see on the floor: avahi-browse's parsable lines, python-zeroconf's
browser and pyvisa-py, the last two as scripts run on the client host (their sockets must live in
its network namespace, which this process is not in)."""
import json
import re
import sys

# avahi-browse -p: fields split by ';', names with \DDD (decimal) escapes, TXT as quoted strings.
_ESCAPE = re.compile(r"\\(\d{3})")
_TXT = re.compile(r'"((?:[^"\\]|\\.)*)"')


def unescape(text):
    return _ESCAPE.sub(lambda found: chr(int(found.group(1))), text)


def parse_browse_line(line):
    """One line of `avahi-browse -p[r]`: (event, kind, instance name, resolved or None)."""
    fields = line.split(";")
    if len(fields) < 6 or fields[0] not in "+-=":
        return None
    event, kind, name = fields[0], fields[4], unescape(fields[3])
    resolved = None
    if event == "=":
        txt = dict(entry.split("=", 1) for entry in _TXT.findall(";".join(fields[9:])) if "=" in entry)
        resolved = {"host": fields[6], "address": fields[7], "port": int(fields[8]), "txt": txt}
    return event, kind, name, resolved


def resolved_services(output):
    """{(instance name, address): resolved} of avahi-browse -rp output."""
    services = {}
    for line in output.splitlines():
        parsed = parse_browse_line(line)
        if parsed and parsed[0] == "=":
            services[(parsed[2], parsed[3]["address"])] = parsed[3]
    return services


def run_script(host, script, *args, timeout=60):
    """A Python script on `host`, with this interpreter; its standard output as JSON."""
    result = host.run([sys.executable, "-c", script, *map(json.dumps, args)], timeout=timeout)
    return json.loads(result.stdout)


ZEROCONF = r"""
import json, sys, time
from zeroconf import IPVersion, ServiceBrowser, ServiceListener, Zeroconf
kind, want = json.loads(sys.argv[1]), json.loads(sys.argv[2])
names = set()
class Listener(ServiceListener):
    def add_service(self, zc, kind, name): names.add(name)
    def update_service(self, zc, kind, name): pass
    def remove_service(self, zc, kind, name): names.discard(name)
zc = Zeroconf(ip_version=IPVersion.V4Only)
ServiceBrowser(zc, kind, Listener())
deadline = time.monotonic() + 15
while len(names) < want and time.monotonic() < deadline:
    time.sleep(0.1)
found = []
for name in sorted(names):
    info = zc.get_service_info(kind, name, timeout=3000)
    if info:
        found.append({"name": name[:-len(kind) - 1], "address": info.parsed_addresses()[0], "port": info.port,
                      "txt": {k.decode(): (v or b"").decode() for k, v in info.properties.items()}})
zc.close()
print(json.dumps(found))
"""

PYVISA = r"""
import json, sys
import pyvisa
rm = pyvisa.ResourceManager("@py")
replies = {}
for resource in json.loads(sys.argv[1]):
    inst = rm.open_resource(resource, timeout=5000)
    if resource.endswith("SOCKET"):
        inst.read_termination, inst.write_termination = "\r\n", "\n"
    replies[resource] = inst.query("*IDN?").strip()
    inst.close()
rm.close()
print(json.dumps(replies))
"""
