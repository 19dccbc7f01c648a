"""python -m ostrel list: the instruments present, printed as the ostrel tool's list prints them."""
from __future__ import annotations

import argparse
import json
import os
import re
import sys
from concurrent import futures
from typing import List, Optional

from . import _capi, sim
from .errors import OstrelError
from .library import InstrumentInfo, Library, load

#: Exit statuses, as the tool's.
OK, FAILED, USAGE = 0, 1, 2


def _fail(status: int, message: str) -> int:
    sys.stdout.flush()
    print(f"ostrel: {message}", file=sys.stderr)
    return status


def _address(library: Library, key: str) -> Optional[int]:
    """The instrument's reply to ADDR?, read as the library reads it; None when it gives none."""
    try:
        with library.open(key) as instrument:
            reply = instrument.query("ADDR?", timeout=1.0).strip()
    except OstrelError:
        return None
    digits = re.match(r"\s*[+-]?\d+", reply)
    return int(digits.group()) if digits else 0


def _addresses(library: Library, rows: List[InstrumentInfo]) -> List[Optional[int]]:
    """Every instrument's ADDR? at once: those that do not answer cost one time-out together."""
    if not rows:
        return []
    with futures.ThreadPoolExecutor(len(rows)) as askers:
        return list(askers.map(lambda row: _address(library, row.key), rows))


def _left_out(rows: List[InstrumentInfo]) -> int:
    """Instruments the scan numbered but left out of the table (a key another already has, or no *IDN?
    reply): the numbers missing below the highest."""
    return max((row.device_id for row in rows), default=-1) + 1 - len(rows)


def _warn_left_out(count: int) -> None:
    if count > 0:
        _fail(OK, f"{count} {'instrument was' if count == 1 else 'instruments were'} found but left out: each "
                  "answered with the key of an instrument listed, or did not answer *IDN? (give each instrument a "
                  "serial number of its own: the library keeps one per key)")


def _table(rows: List[InstrumentInfo], ids: List[Optional[int]]) -> str:
    lines = [f"{'ID':>4}  {'KEY':<24} {'MODEL':>7} {'SERIAL':>9}  IDENTITY"]
    for row, device_id in zip(rows, ids):
        shown = "-" if device_id is None else str(device_id)
        lines.append(f"{shown:>4}  {row.key:<24} {row.model:>7} {row.serial:>9}  {row.identity}")
    if None in ids:
        lines.append("   -  answered *IDN? but not ADDR?: name it by its key")
    return "\n".join(lines)


def _json(rows: List[InstrumentInfo], ids: List[Optional[int]]) -> str:
    return json.dumps([{"key": row.key, "id": device_id, "model": row.model, "serial": row.serial,
                        "identity": row.identity} for row, device_id in zip(rows, ids)],
                      sort_keys=True, separators=(",", ":"))


def _no_instruments(options: argparse.Namespace) -> int:
    message = "no instruments found"
    if options.pid:
        message += f" with product ID {options.pid:04X}"
    return _fail(FAILED, message + "\n  ostrel doctor tells why")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m ostrel", description="List the USB instruments present.")
    parser.add_argument("command", choices=["list"], help="discover the instruments and print a table")
    parser.add_argument("--pid", type=lambda text: int(text, 16), default=0,
                        help="only instruments of this USB product ID (hex)")
    parser.add_argument("--json", action="store_true", help="machine-readable output")
    parser.add_argument("--bench", metavar="FILE", help="plug the instruments of this bench file first (sim)")
    parser.add_argument("--library", metavar="PATH", help="the library to load (default: OSTREL_LIBRARY, "
                                                          "else the installed one)")
    parser.add_argument("--log", action="store_true", help="data lines in the library's log")
    parser.add_argument("--trace", action="store_true", help="trace lines in the library's log")
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    options = _parser().parse_args(argv)
    try:
        # Explicitly the bench's library for --bench, as the tool loads it.
        library = load(options.library or (None if os.environ.get("OSTREL_LIBRARY") or not options.bench
                                           else _capi.installed_names(bench=True)[0]))
        if options.log:
            library.set_logging(True)
        if options.trace:
            library.set_trace(True)
        if options.bench:
            try:
                sim.Bench(library).load(options.bench)
            except OstrelError as error:
                return _fail(USAGE, f"bench file '{options.bench}': {error.reason}")
        # Numbered first, so that one that does not answer ADDR? is listed too.
        rows = library.discover(options.pid, use_address=False)
        ids = _addresses(library, rows)
        library.shutdown()
    except (OstrelError, ValueError) as error:
        return _fail(FAILED, str(error))
    if not rows:
        return _no_instruments(options)
    _warn_left_out(_left_out(rows))
    print(_json(rows, ids) if options.json else _table(rows, ids))
    return OK


if __name__ == "__main__":
    sys.exit(main())
