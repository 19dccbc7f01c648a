"""What the Python suites share: the library under test (OSTREL_LIBRARY names this build's libostrel-sim),
its log in a scratch folder, a fresh bench of examples/bench.json for each test, and instruments to plug."""
from __future__ import annotations

import pathlib
from typing import Dict, Iterator

import pytest

import ostrel
import ostrel.sim

SOURCE = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE_BENCH = SOURCE / "examples" / "bench.json"
#: The instruments of examples/bench.json: key -> identity, in key order.
IDENTITIES = {
    "2936-R SN12345": "VORN 2936-R 1.0.3 01/02/24 SN12345",
    "2940-T SN20871": "VORN 2940-T 2.1.0 11/09/23 SN20871",
    "2955-L SN30502": "VORN 2955-L 0.9.8 03/15/24 SN30502",
}
#: The echoing instrument of examples/bench.json: what it gets that matches no reply comes back.
ECHO = "2955-L SN30502"


def instrument(key: str, replies: Dict[str, bytes], **fields: object) -> Dict[str, object]:
    """The JSON of an instrument with this key (model and serial), answering *IDN? and `replies`."""
    model, serial = key.split(" ")
    texts = {command: reply.decode("latin-1") for command, reply in replies.items()}
    return {"vid": 0x1A2B, "pid": 0x7000, "serial": serial,
            "replies": {"*IDN?": f"VORN {model} 1.0 01/01/24 {serial}\r\n", **texts}, **fields}


@pytest.fixture(scope="session")
def library(tmp_path_factory: pytest.TempPathFactory) -> ostrel.Library:
    loaded = ostrel.load()
    ostrel.sim.set_documents_folder(tmp_path_factory.mktemp("documents"), loaded)
    return loaded


@pytest.fixture
def bench(library: ostrel.Library) -> Iterator[ostrel.sim.Bench]:
    with ostrel.sim.bench(EXAMPLE_BENCH, library) as plugged:
        yield plugged
    assert plugged.open_handles() == 0, "handles left open on the bench"
