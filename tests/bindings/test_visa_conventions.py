"""The "@ostrel" backend as a PyVISA user expects it to behave: instruments that are power-cycled come back,
failures are VISA's own status codes, OSTREL_BENCH means the simulated bench, and the package's version is the
project's."""
from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys
import threading
import time

import pytest
import pyvisa
from pyvisa.constants import AccessModes, StatusCode

import ostrel
from conftest import fixtures

METER = "USB0::VORN::2936-R::SN12345::INSTR"
SOURCE = fixtures.SOURCE


@pytest.fixture
def rm(bench):
    manager = pyvisa.ResourceManager("@ostrel")
    yield manager
    manager.close()


def status_of(call):
    with pytest.raises(pyvisa.VisaIOError) as failed:
        call()
    return failed.value.error_code


#: An instrument of the tests' own, which they plug, unplug and plug again.
CYCLED = fixtures.instrument("86-C SN6", {"MEAS:VOLT?": b"1.5\r\n"})
CYCLED_NAME, CYCLED_KEY, CYCLED_IDENTITY = "USB0::VORN::86-C::SN6::INSTR", "86-C SN6", "VORN 86-C 1.0 01/01/24 SN6"


def power_cycle(bench, slot):
    """Unplugs the instrument in `slot` and plugs it again at once (no scan between): its new slot."""
    bench.unplug(slot)
    return bench.plug(CYCLED)


def test_a_power_cycled_instrument_answers_old_and_new_sessions_and_one_that_stays_away_is_lost(rm, bench):
    slot = bench.plug(CYCLED)
    old = rm.open_resource(CYCLED_NAME, read_termination="\r\n")
    assert old.query("*IDN?") == CYCLED_IDENTITY
    slot = power_cycle(bench, slot)
    started = time.monotonic()
    assert CYCLED_NAME in rm.list_resources()
    fresh = rm.open_resource(CYCLED_NAME, read_termination="\r\n")
    assert fresh.query("*IDN?") == CYCLED_IDENTITY
    assert time.monotonic() - started < 5
    assert old.query("MEAS:VOLT?") == "1.5"  # the old session reconnects too
    other = rm.open_resource("USB0::VORN::2955-L::SN30502::INSTR", read_termination="\r\n")
    bench.unplug(slot)
    assert status_of(lambda: fresh.query("*IDN?")) == StatusCode.error_connection_lost
    assert status_of(lambda: old.write("*RST")) == StatusCode.error_connection_lost
    assert other.query("*IDN?").startswith("VORN 2955-L")  # the refresh cost the others nothing
    assert CYCLED_NAME not in rm.list_resources()


def test_a_power_cycle_under_the_programs_event_mode_keeps_its_callback(rm, bench):
    seen, arrived = [], threading.Event()

    def on_change(event):
        seen.append((event.attached, event.key))
        arrived.set()

    slot = bench.plug(CYCLED)
    with ostrel.watch(on_change):
        meter = rm.open_resource(CYCLED_NAME, read_termination="\r\n")
        present = len(seen)
        slot = power_cycle(bench, slot)
        # Unless the watcher happened to look between the two, only the query's failure tells of the cycle.
        assert meter.query("*IDN?") == CYCLED_IDENTITY
        deadline = time.monotonic() + 5
        while (True, CYCLED_KEY) not in seen[present:] and time.monotonic() < deadline:
            arrived.wait(0.1)
            arrived.clear()
        # Left, then back: once, unless the watcher and the refresh each saw a cycle of their own.
        cycle = seen[present:]
        assert cycle[:2] == [(False, CYCLED_KEY), (True, CYCLED_KEY)] and cycle[-1] == (True, CYCLED_KEY)
        assert all(a[0] != b[0] for a, b in zip(cycle, cycle[1:])), cycle
        bench.unplug(slot)
        assert status_of(lambda: meter.query("*IDN?")) == StatusCode.error_connection_lost
        assert seen[-1] == (False, CYCLED_KEY)


def test_what_the_backend_cannot_do_fails_with_visas_status_codes(rm):
    meter = rm.open_resource(METER)
    for refused in (meter.read_stb, meter.assert_trigger, meter.lock_excl, lambda: meter.flush(16)):
        assert status_of(refused) == StatusCode.error_nonsupported_operation
    for name, status in (("no such name", StatusCode.error_invalid_resource_name),
                         ("USB0::VORN::2936-R", StatusCode.error_invalid_resource_name),
                         ("9999-X SN0", StatusCode.error_resource_not_found),
                         ("USB0::VORN::2936-R::SN99999::INSTR", StatusCode.error_resource_not_found)):
        assert status_of(lambda: rm.open_resource(name)) == status, name
    assert status_of(lambda: rm.open_resource(METER, access_mode=AccessModes.shared_lock)) == \
        StatusCode.error_nonsupported_operation


def test_an_exclusive_lock_keeps_other_sessions_out_until_it_is_closed(rm):
    shared = rm.open_resource(METER, read_termination="\r\n")
    owner = rm.open_resource(METER, read_termination="\r\n", access_mode=AccessModes.exclusive_lock)
    assert status_of(lambda: rm.open_resource(METER)) == StatusCode.error_resource_locked
    assert status_of(lambda: shared.query("*IDN?")) == StatusCode.error_resource_locked
    assert owner.query("MEAS:VOLT?") == "1.234"
    owner.close()
    assert shared.query("MEAS:VOLT?") == "1.234"


def run_python(code, **env):
    environment = {key: value for key, value in os.environ.items() if key not in ("OSTREL_LIBRARY", "OSTREL_BENCH")}
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env={**environment, "PYTHONPATH": str(SOURCE / "python"), **env})


def test_ostrel_bench_selects_the_benchs_library_and_is_refused_by_any_other():
    sim = pathlib.Path(os.environ["OSTREL_LIBRARY"]).resolve()
    listing = "import pyvisa; print(pyvisa.ResourceManager('@ostrel').list_resources())"
    found = run_python(listing, OSTREL_BENCH=str(fixtures.EXAMPLE_BENCH), LD_LIBRARY_PATH=str(sim.parent))
    assert found.returncode == 0 and METER in found.stdout, found.stderr
    unfound = run_python(listing, OSTREL_BENCH=str(fixtures.EXAMPLE_BENCH), LD_LIBRARY_PATH="/nonexistent")
    assert "libostrel-sim.so.0" in unfound.stderr and "libostrel.so.0" not in unfound.stderr
    real = os.environ.get("OSTREL_REAL_LIBRARY")
    if not real:
        pytest.skip("this build has no libostrel.so to refuse OSTREL_BENCH with")
    refused = run_python("import ostrel; ostrel.load()", OSTREL_BENCH=str(fixtures.EXAMPLE_BENCH), OSTREL_LIBRARY=real)
    assert "OSTREL_BENCH names the bench file" in refused.stderr and "talks to real instruments" in refused.stderr


def test_the_package_and_the_backend_carry_the_projects_version():
    project = re.search(r"project\(Ostrel VERSION ([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text()).group(1)
    assert ostrel.__version__ == project
