"""The README's Python examples, run as they stand from a folder holding examples/, so that they cannot rot."""
from __future__ import annotations

import os
import re
import subprocess
import sys
from typing import List

from conftest import IDENTITIES, SOURCE
from test_pyvisa import NAMES


def test_the_readme_examples_print_every_instrument(tmp_path):
    package, visa = re.findall(r"```python\n(.*?)```", (SOURCE / "README.md").read_text(), re.S)
    (tmp_path / "examples").symlink_to(SOURCE / "examples")

    library = os.path.abspath(os.environ["OSTREL_LIBRARY"])

    def run(code: str, **env: str) -> List[str]:
        done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                              env={**os.environ, "OSTREL_LIBRARY": library, "PYTHONPATH": str(SOURCE / "python"), **env})
        assert done.returncode == 0, done.stderr
        return done.stdout.splitlines()

    assert run(package) == [f"{key} -> {identity}" for key, identity in IDENTITIES.items()]
    assert run(visa, OSTREL_BENCH="examples/bench.json") == [
        f"{name} -> {identity}" for name, identity in zip(NAMES, IDENTITIES.values())] + ["[1.234]"]
