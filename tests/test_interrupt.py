"""Ctrl-C during a long call. Each call runs in a child interpreter on a
recording that would keep it busy for seconds, is sent SIGINT half a second
in and must raise KeyboardInterrupt within a second, with its descriptors
closed and nothing written after it."""

from __future__ import annotations

import json
import os
import pathlib
import select
import signal
import subprocess
import sys
import time
from typing import Iterator

import pytest

import velnora
from children import default_signals
from cwa_writer import steady_recording, write_cwa

T0 = 1700000000
# Sectors of zeros are no data blocks, but every one of them is screened: a
# sparse tail keeps the scans busy for seconds without touching the disk.
HOLE_BYTES = 32 << 30

CHILD = r"""
import atexit, json, os, select, subprocess, sys, threading
import numpy
import velnora
import velnora_tools
import velnora_tools._native

source, output, case = sys.argv[1:]


# A reader of the FIFO that takes one byte and reads no more: a thread of
# this process, or another process. Started before the descriptors are
# counted, as the thread's stays open.
def start_stalled_reader(kind):
    if kind == "process":
        script = "import sys, time; f = open(sys.argv[1], 'rb'); f.read(1); time.sleep(30)"
        atexit.register(subprocess.Popen([sys.executable, "-c", script, output]).kill)
        return
    fifo = os.open(output, os.O_RDONLY | os.O_NONBLOCK)

    def read_one_byte():
        select.select([fifo], [], [])
        os.read(fifo, 1)
        threading.Event().wait()

    threading.Thread(target=read_one_byte, daemon=True).start()


if case.startswith("csv to a stalled"):
    start_stalled_reader(case.rsplit(" ", 1)[1])
calls = {
    "read": lambda: velnora.read_cwa_file(source),
    "read resampled": lambda: velnora.read_cwa_file(source, resample_hz=10000.0),
    "read resampled split": lambda: velnora.read_cwa_file(source, resample_hz=100.0),
    "seconds cut": lambda: velnora.read_cwa_file(source, cut=velnora.seconds(0, 60)),
    "report": lambda: velnora.sampling_consistency_report(source),
    "csv": lambda: velnora.write_cwa_csv(source, output),
    "csv resampled": lambda: velnora.write_cwa_csv(source, output, resample_hz=100.0),
    "calibrate": lambda: velnora_tools.calibrate(source),
    # The core's epoch pass itself, which needs no pandas.
    "epochs": lambda: velnora_tools._native.epochs(source, 5_000_000, (0, 0, 0, 1, 1, 1, 0, 0, 0, 0.0)),
    "csv to a stalled thread": lambda: velnora.write_cwa_csv(source, output),
    "csv to a stalled process": lambda: velnora.write_cwa_csv(source, output),
}
descriptors = lambda: len(os.listdir("/proc/self/fd"))
before = descriptors()
print("calling", flush=True)
try:
    calls[case]()
except KeyboardInterrupt:
    size = os.path.getsize(output) if os.path.exists(output) else None
    print(json.dumps({"before": before, "after": descriptors(), "size": size}), flush=True)
else:
    print("finished", flush=True)
"""


@pytest.fixture(scope="module")
def recordings(tmp_path_factory: pytest.TempPathFactory) -> Iterator[dict[str, pathlib.Path]]:
    folder = tmp_path_factory.mktemp("interrupt")
    data = write_cwa(folder / "data.cwa", sectors=steady_recording(T0, 200))
    long = folder / "long.cwa"
    long.write_bytes(data.read_bytes())
    os.truncate(long, long.stat().st_size + HOLE_BYTES)
    # Two hours between two blocks: 72 million points at 10 kHz.
    gap = write_cwa(folder / "gap.cwa", sectors=steady_recording(T0, 2) + steady_recording(T0 + 7200, 2))
    # Data, a hole, data, a hole: the range is split at the second data part,
    # and each thread then screens a hole of its own.
    split = write_cwa(folder / "split.cwa", sectors=steady_recording(T0, 200))
    later = b"".join(block.to_bytes() for block in steady_recording(T0 + 240, 200))
    with open(split, "r+b") as out:
        out.seek(split.stat().st_size + HOLE_BYTES // 2)
        out.write(later)
        out.truncate(out.tell() + HOLE_BYTES // 2)
    fifo = folder / "fifo"
    os.mkfifo(fifo)
    yield {"data": data, "long": long, "gap": gap, "split": split, "fifo": fifo}
    long.unlink()
    split.unlink()


def line_within(stream, seconds: float) -> bytes:
    ready, _, _ = select.select([stream], [], [], seconds)
    return stream.readline() if ready else b""


@pytest.mark.parametrize(
    "case, source, output, kept",
    [
        ("read", "long", None, None),
        ("read resampled", "gap", None, None),
        ("read resampled split", "split", None, None),
        ("seconds cut", "long", None, None),
        ("report", "long", None, None),
        ("calibrate", "long", None, None),
        ("epochs", "long", None, None),
        # Every row of the data blocks is out before the scan reaches the hole.
        ("csv", "long", "out.csv", "rows"),
        # Reading ends before the output is created.
        ("csv resampled", "long", "out.csv", None),
        # Waiting for a FIFO's reader.
        ("csv", "data", "fifo", "nothing"),
        # Waiting for a reader that stopped reading, in this process or another.
        ("csv to a stalled thread", "data", "fifo", "nothing"),
        ("csv to a stalled process", "data", "fifo", "nothing"),
    ],
)
def test_sigint_stops_the_call_within_a_second(
    recordings: dict[str, pathlib.Path],
    tmp_path: pathlib.Path,
    case: str,
    source: str,
    output: str | None,
    kept: str | None,
) -> None:
    target = recordings.get(output) or tmp_path / (output or "unused.csv")
    command = [sys.executable, "-c", CHILD, str(recordings[source]), str(target), case]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, bufsize=0, preexec_fn=default_signals)
    try:
        assert child.stdout.readline() == b"calling\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        signalled = time.monotonic()
        answer = line_within(child.stdout, 1.0)
        assert time.monotonic() - signalled < 1.0, "no KeyboardInterrupt within a second"
        assert child.wait(timeout=10) == 0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    state = json.loads(answer)
    assert state["after"] == state["before"]
    if kept is None:
        assert state["size"] is None and not target.exists()
    elif kept == "nothing":
        assert state["size"] == 0
    else:
        expected = tmp_path / "expected.csv"
        velnora.write_cwa_csv(str(recordings["data"]), str(expected))
        assert target.read_bytes() == expected.read_bytes()
        assert state["size"] == expected.stat().st_size
