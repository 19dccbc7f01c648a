"""The Python suites' fixtures (python/tests/conftest.py) for the suites here: the library under test, its
log in a scratch folder, a fresh bench of examples/bench.json for each test."""
from __future__ import annotations

import importlib.util
import pathlib

_shared = pathlib.Path(__file__).resolve().parents[2] / "python" / "tests" / "conftest.py"
_spec = importlib.util.spec_from_file_location("ostrel_python_fixtures", _shared)
fixtures = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(fixtures)

library, bench = fixtures.library, fixtures.bench
