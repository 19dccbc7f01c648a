"""The ostrel package on libostrel-sim: listing, transfers, time-outs, failures, event mode, the command line."""
from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import threading
import time

import pytest

import ostrel
import ostrel.sim
from conftest import ECHO, EXAMPLE_BENCH, IDENTITIES, SOURCE, instrument
from ostrel.library import _identities


def test_discovery_lists_every_instrument_and_each_answers_by_key_and_by_id(bench):
    rows = ostrel.discover()
    assert [(row.key, row.device_id, row.model, row.serial, row.identity) for row in rows] == [
        ("2936-R SN12345", 0, 2936, 12345, IDENTITIES["2936-R SN12345"]),
        ("2940-T SN20871", 1, 2940, 20871, IDENTITIES["2940-T SN20871"]),
        ("2955-L SN30502", 2, 2955, 30502, IDENTITIES["2955-L SN30502"])]
    assert ostrel.instruments() == rows
    for row in rows:
        with ostrel.open(row.key) as by_key, ostrel.open(row.device_id) as by_id:
            assert by_key.query("*IDN?") == row.identity
            assert (by_id.key, by_id.device_id) == (row.key, row.device_id)
    with ostrel.open("2936-R SN12345") as meter:
        assert meter.query("MEAS:VOLT?") == "1.234"  # cut at its line end, as the library's ASCII reads


def test_identities_are_split_past_semicolons_and_the_librarys_bound():
    truncated = "VORN 11-A x;y SN;1 " + "w" * 42  # with "0," at the library's bound of 63, so without ';'
    assert _identities(f"0,{truncated}1,VORN 12-B d;2;2,VORN 13;", [0, 1, 2]) == [
        truncated, "VORN 12-B d;2", "VORN 13"]


def test_binary_blocks_come_back_unchanged_whole_or_in_exact_pieces(bench):
    bench.plug(instrument("77-B SN9", {"BIG?": b"x" * 100_000 + b"\r\n"}))
    with ostrel.open(ECHO) as echo, ostrel.open("77-B SN9") as big:
        echo.write_binary(b"\x00\x01\xff\r\n")
        assert echo.read_binary() == b"\x00\x01\xff\r\n"
        echo.write_binary(b"abc")
        echo.write_binary(b"defg")
        assert (echo.read_binary(5), echo.read_binary()) == (b"abcde", b"fg")  # across replies, rest kept
        # Longer than one library read: nothing is cut off or lost.
        big.write("BIG?")
        assert big.read() == "x" * 100_000
        big.write("BIG?")
        assert (len(big.read_binary(99_999)), big.read_binary()) == (99_999, b"x\r\n")
        with pytest.raises(ValueError, match="NUL"):
            echo.write("A\0B")


def test_time_outs_are_kept_and_a_late_reply_waits_for_the_next_read(bench):
    bench.plug(instrument("78-S SN8", {"LATE?": b"late\r\n"}, reply_delay_ms=600))
    with ostrel.open("2936-R SN12345") as meter, ostrel.open("78-S SN8") as slow, ostrel.open(ECHO) as echo:
        started = time.monotonic()
        with pytest.raises(ostrel.Timeout) as timed_out:
            meter.query("NO:SUCH:COMMAND?", timeout=1.5)  # longer than one library read
        assert 1.5 <= time.monotonic() - started < 5
        assert isinstance(timed_out.value, TimeoutError)
        assert (timed_out.value.call, timed_out.value.instrument) == ("vorn_usb_read_by_key", "2936-R SN12345")
        with pytest.raises(ostrel.Timeout):
            slow.query("LATE?", timeout=0.2)
        assert slow.read(timeout=5) == "late"
        echo.write_binary(b"xy")
        with pytest.raises(ostrel.Timeout):
            echo.read_binary(3, timeout=0.3)
        assert echo.read_binary() == b"xy"  # the short read consumed nothing


def test_failures_name_the_call_and_the_instrument(bench, tmp_path):
    ostrel.discover()
    with pytest.raises(ostrel.NoSuchInstrument, match=r"open \[9999-X SN0\].*found: 0 '2936-R SN12345'"):
        ostrel.open("9999-X SN0")
    with pytest.raises(LookupError):
        ostrel.open(42)
    slot = bench.plug(instrument("79-U SN7", {}))
    with ostrel.open("79-U SN7") as gone:
        bench.unplug(slot)
        with pytest.raises(ostrel.OstrelError) as failed:
            gone.write("*RST")
        assert (failed.value.call, failed.value.instrument) == ("vorn_usb_write_by_key", "79-U SN7")
        with pytest.raises(ostrel.OstrelError) as failed:
            gone.read(timeout=30)
        assert not isinstance(failed.value, ostrel.Timeout)  # at once: waiting would not help
        ostrel.discover()  # the scan sees it gone
        with pytest.raises(ostrel.NoSuchInstrument):
            gone.write_binary(b"\x01")
    bench.inject_fault("WinUsb_WritePipe", 31, times=0)  # once only is tried again after a refresh
    with ostrel.open(ECHO) as echo, pytest.raises(ostrel.OstrelError, match="vorn_usb_write_binary_by_key"):
        echo.write_binary(b"\x01")
    with pytest.raises(ostrel.BenchError, match="ostrel_sim_plug: .*vid"):
        bench.plug({"pid": 1})
    with pytest.raises(ostrel.LibraryNotFound, match="no-such-library.so") as missing:
        ostrel.load(tmp_path / "no-such-library.so")
    assert isinstance(missing.value, OSError)
    with pytest.raises(ValueError, match="product ID"):
        ostrel.discover(product_id=-1)


def test_event_mode_reports_arrivals_and_removals_to_a_callback_and_an_iterator(bench):
    seen = []
    with ostrel.watch(lambda event: seen.append((event.attached, event.key))):
        assert sorted(seen) == [(True, key) for key in IDENTITIES]  # before watch() returns
        gc.collect()  # the library still holds the callback
        with pytest.raises(ostrel.OstrelError, match="already running"):
            ostrel.watch(print)
    with ostrel.events() as stream:
        assert sorted(stream.get(timeout=5).key for _ in IDENTITIES) == list(IDENTITIES)
        slot = bench.plug(instrument("80-P SN6", {}))
        assert stream.get(timeout=5) == ostrel.Event(3, True, "80-P SN6")
        bench.unplug(slot)
        assert stream.get(timeout=5) == ostrel.Event(3, False, "80-P SN6")  # its key while it leaves
        with pytest.raises(ostrel.Timeout):
            stream.get(timeout=0.2)
    bench.plug(instrument("81-Q SN5", {}))
    iterating = threading.Thread(target=lambda: seen.extend(stream), daemon=True)  # ends: event mode has
    iterating.start()
    iterating.join(5)
    assert not iterating.is_alive() and len(seen) == 3  # and nothing came after it ended


@pytest.mark.parametrize("options", [[], ["--json"], ["--pid", "1"], ["--twin"]])
def test_the_list_command_prints_what_the_tool_prints(options, tmp_path):
    tool = os.environ.get("OSTREL_TOOL")
    if not tool:
        pytest.skip("OSTREL_TOOL names the ostrel tool to compare with (ctest sets it)")
    bench_file = EXAMPLE_BENCH
    if options == ["--twin"]:  # a second 2936-R SN12345 between the others: a warning on stderr
        options, listed = [], json.loads(EXAMPLE_BENCH.read_text())["instruments"]
        twin = instrument("2936-R SN12345", {}, serial="SN12345B", pid=10550)
        bench_file = tmp_path / "twin.json"
        bench_file.write_text(json.dumps({"instruments": listed[:1] + [twin] + listed[1:]}))
    arguments = ["--bench", str(bench_file), "list", *options]
    ours = subprocess.run([sys.executable, "-m", "ostrel", *arguments], capture_output=True, text=True,
                          timeout=60, env={**os.environ, "PYTHONPATH": str(SOURCE / "python")})
    theirs = subprocess.run([tool, *arguments], capture_output=True, text=True, timeout=60)
    # The tool's own diagnosis of an empty list goes further than its first line.
    assert (ours.returncode, ours.stdout, ours.stderr.split("\n")[0]) == \
        (theirs.returncode, theirs.stdout, theirs.stderr.split("\n")[0])
    assert ("left out" in ours.stderr) == (bench_file != EXAMPLE_BENCH)
    assert "2955-L SN30502" in str(ours.stdout) or ours.returncode == 1
