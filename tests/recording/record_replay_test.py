#!/usr/bin/env python3
"""Recording a session and replaying it on the bench: the replay's transcript is the recording's, byte for byte.

usage: record_replay_test.py <recording_session> <libostrel-sim.so> <libostrel.so> <umockdev-wrapper> <ostrel>
                             <source dir> <sanitized: 0 or 1>
Python cannot load a sanitized library without the sanitizer's runtime, so the cases in Python are left out there.
"""
import concurrent.futures
import ctypes
import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import time
import unittest

session, sim, usb, wrapper, tool, source, sanitized = sys.argv[1:8]
python_loads_library = unittest.skipIf(sanitized == "1", "Python cannot load a sanitized library")
here = pathlib.Path(source) / "tests/recording"
scratch = tempfile.TemporaryDirectory()
folder = pathlib.Path(scratch.name)
base_env = {k: v for k, v in os.environ.items() if not k.startswith("OSTREL_")}
base_env["OSTREL_LOG_DIR"] = str(folder / "log")


def run(command, **variables):
    env = dict(base_env, **variables)
    return subprocess.run(command, env=env, capture_output=True, timeout=60)


def transcript(command, **variables):
    result = run(command, **variables)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout


class RecordReplay(unittest.TestCase):
    def replays(self, name, recorded):
        """The recording replays the session exactly, at its recorded pace and at once."""
        for timing in ("recorded", "fast"):
            replayed = transcript([session, sim], OSTREL_BENCH=str(folder / name), OSTREL_BENCH_TIMING=timing)
            self.assertEqual(replayed, recorded, timing)
        return json.loads((folder / name).read_text())

    def test_bench_session(self):
        recorded = transcript([session, sim], OSTREL_BENCH=str(here / "session_bench.json"),
                              OSTREL_RECORD=str(folder / "bench.json"))
        self.assertIn(b"read 2936-R SN12345 = -1", recorded)  # the command without a reply
        bench = self.replays("bench.json", recorded)
        meter, thermo = bench["instruments"]
        # A reply that changed is a list in turn; the ADDR? the meter answered is kept, the thermometer has none.
        self.assertEqual([turn if isinstance(turn, str) else turn["reply"] for turn in meter["replies"]["MEAS?"]],
                         ["1.00\r\n", "1.02\r\n", "1.02\r\n"])
        self.assertGreaterEqual(meter["replies"]["MEAS?"][1]["delay_ms"], 30)
        self.assertEqual(meter["replies"]["ADDR?"], "5\r\n")
        self.assertEqual(meter["replies"]["SET 1"], "")
        self.assertNotIn("ADDR?", thermo["replies"])
        self.assertEqual(thermo["replies"]["\x00\x7f"]["reply"], "\x00\r\n\xff\x01")
        self.assertEqual((thermo["vid"], thermo["pid"], thermo["serial"]), ("0x1a2b", "0x2940", "sn20871"))

    def test_usb_session(self):
        recorded = transcript([wrapper, session, "--emulate", usb], OSTREL_RECORD=str(folder / "usb.json"))
        self.assertIn(b"open_devices(0) = 0, 2 instruments", recorded)
        self.replays("usb.json", recorded)

    def test_tool_records_and_checks(self):
        result = run([tool, "record", "-o", str(folder / "tool.json"), "--", session, sim],
                     OSTREL_BENCH=str(here / "session_bench.json"))
        self.assertEqual(result.returncode, 0, result.stderr)
        summary = result.stderr.decode()
        self.assertIn("2 instruments, 5 commands, 7 replies, 39 bytes", summary)
        self.assertIn("VORN 2940-T 2.1.0 11/09/23 SN20871 (vid 0x1a2b, pid 0x2940, no ADDR?): 2 commands, 2 replies, "
                      "11 bytes: 2 bytes 00 7F, TEMP?", summary)
        check = run([tool, "bench", "check", str(folder / "tool.json")])
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertIn(b"a bench file the bench accepts", check.stdout)
        self.assertIn(b"2 instruments, 5 commands, 7 replies", check.stdout)
        (folder / "bad.json").write_text('{"instruments": [{"vid": 1, "pid": 1, "replies": {"A?": []}}]}')
        check = run([tool, "bench", "check", str(folder / "bad.json")])
        self.assertEqual(check.returncode, 2)
        self.assertIn(b'instrument 0: the reply to "A?": a list of replies must hold at least one', check.stderr)
        # The program's own exit status comes back; a program that never used the library recorded nothing.
        result = run([tool, "record", "-o", str(folder / "none.json"), "--", sys.executable, "-c", "exit(3)"])
        self.assertEqual((result.returncode, b"nothing recorded" in result.stderr), (3, True))

    @python_loads_library
    def test_a_python_program_replays_as_it_ran(self):
        """A Python program querying every instrument of the example bench prints the same on its recording."""
        script = [sys.executable, str(here / "query_every_instrument.py")]
        variables = dict(OSTREL_LIBRARY=sim, PYTHONPATH=str(pathlib.Path(source) / "python"))
        recorded = transcript(script, OSTREL_BENCH=str(pathlib.Path(source) / "examples/bench.json"),
                              OSTREL_RECORD=str(folder / "python.json"), **variables)
        self.assertEqual(recorded.count(b"*IDN? -> VORN"), 3)
        self.assertEqual(transcript(script, OSTREL_BENCH=str(folder / "python.json"), **variables), recorded)

    @python_loads_library
    def test_a_crash_leaves_no_half_recording(self):
        """A program killed while it writes its recording leaves the last whole one, never a part."""
        target = folder / "crash.json"
        child = f"""
import ctypes, os
lib = ctypes.CDLL({sim!r})
lib.ostrel_sim_plug(b'{{"vid": 1, "pid": 1, "echo": true, "replies": {{"*IDN?": "VORN 1-A 1 2 SN1\\\\r\\\\n"}}}}')
count = ctypes.c_int()
while True:
    lib.vorn_usb_open_devices(0, 0, ctypes.byref(count))
    block = os.urandom(20000)
    lib.vorn_usb_write_binary_by_key(b"1-A SN1", block, len(block))
    lib.vorn_usb_uninit_system()
"""
        whole = 0
        for attempt in range(12):
            process = subprocess.Popen([sys.executable, "-c", child], env=dict(base_env, OSTREL_RECORD=str(target)))
            deadline = time.monotonic() + 20
            while not target.exists() and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(random.uniform(0.05, 0.4))
            process.send_signal(signal.SIGKILL)
            process.wait()
            self.assertIn("instruments", json.loads(target.read_text()))
            whole += 1
            target.unlink()
        self.assertEqual(whole, 12)

    def test_a_recording_that_cannot_be_written_is_one_log_line(self):
        log = folder / "unwritable-log"
        result = run([session, sim], OSTREL_BENCH=str(here / "session_bench.json"),
                      OSTREL_RECORD=str(folder / "no/such/folder/r.json"), OSTREL_LOG_DIR=str(log))
        self.assertEqual(result.returncode, 0)
        lines = [line for file in log.iterdir() for line in file.read_text().splitlines() if "Recording" in line]
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].endswith(f"Recording: The recording cannot be written to "
                                          f"'{folder / 'no/such/folder/r.json'}'."), lines[0])
        self.assertEqual(list((folder / "no").glob("**/*")) if (folder / "no").exists() else [], [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
