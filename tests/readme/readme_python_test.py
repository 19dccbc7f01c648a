#!/usr/bin/env python3
"""Runs the README's Python example as it stands, so that it cannot rot.

usage: readme_python_test.py <source dir> <libostrel-sim.so>
The example names the library and the bench by their places after `make demo`;
this run points it at the library of the build under test and runs it in a
scratch folder, where the log lands.
"""
import pathlib
import re
import subprocess
import sys
import tempfile

source, library = pathlib.Path(sys.argv[1]), sys.argv[2]
readme = (source / "README.md").read_text()
blocks = re.findall(r"```python\n(.*?)```", readme, re.S)
if not blocks:
    sys.exit("README.md has no Python example")
code = blocks[0].replace('"build/linux-release/libostrel-sim.so"', repr(library))
code = code.replace('b"examples/bench.json"', repr(str(source / "examples/bench.json").encode()))
# Without a documents folder the log lands in the current directory: a scratch one.
with tempfile.TemporaryDirectory() as scratch:
    run = subprocess.run([sys.executable, "-c", code], cwd=scratch, capture_output=True, text=True, timeout=60)
lines = [line for line in run.stdout.splitlines() if " -> " in line]
print(run.stdout, end="")
print(run.stderr, end="", file=sys.stderr)
wanted = ["2936-R SN12345 -> VORN 2936-R 1.0.3 01/02/24 SN12345",
          "2940-T SN20871 -> VORN 2940-T 2.1.0 11/09/23 SN20871",
          "2955-L SN30502 -> VORN 2955-L 0.9.8 03/15/24 SN30502"]
if run.returncode != 0 or lines != wanted:
    sys.exit(f"the README's Python example printed {lines} (status {run.returncode}), wanted {wanted}")
print("README Python example: 1 passed, 0 failed")
