"""FIFOs and pipes: as input they fail at once, as output they receive the CSV
once a reader comes. (A wait for a reader that never comes is interrupted in
test_interrupt.py.)"""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import threading
import time
from typing import Callable, Iterator

import pytest

import velnora
from cwa_writer import steady_recording, write_cwa

NOT_SEEKABLE = "IO error: input is not seekable (a FIFO, pipe or terminal cannot be a recording)"

CALLS: dict[str, Callable[[str], object]] = {
    "read_header": velnora.read_header,
    "sampling_consistency_report": velnora.sampling_consistency_report,
    "read_cwa_file": velnora.read_cwa_file,
    "seconds cut": lambda path: velnora.read_cwa_file(path, cut=velnora.seconds(0, 1)),
    "write_cwa_csv": lambda path: velnora.write_cwa_csv(path, os.devnull),
}


@pytest.fixture(params=["fifo", "pipe"])
def unseekable_input(request: pytest.FixtureRequest, tmp_path: pathlib.Path) -> Iterator[str]:
    """A FIFO without a writer, or a pipe whose writer stays silent: a
    blocking open or read of either would wait for the helper process, which
    gives up after two seconds (velnora holds the GIL: a thread could not)."""
    if request.param == "pipe":
        read_end, write_end = os.pipe()
        helper = subprocess.Popen(["/bin/sleep", "2"], stdout=write_end)
        os.close(write_end)
        path = f"/proc/self/fd/{read_end}"
    else:
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        helper = subprocess.Popen(["/bin/sh", "-c", '/bin/sleep 2; : > "$0"', str(fifo)])
        path = str(fifo)
    yield path
    helper.kill()
    helper.wait()
    if request.param == "pipe":
        os.close(read_end)


@pytest.mark.parametrize("call", CALLS)
def test_unseekable_input_fails_at_once(unseekable_input: str, call: str) -> None:
    descriptors = len(os.listdir("/proc/self/fd"))
    began = time.monotonic()
    with pytest.raises(RuntimeError) as caught:
        CALLS[call](unseekable_input)
    assert time.monotonic() - began < 0.5
    assert str(caught.value) == NOT_SEEKABLE
    assert len(os.listdir("/proc/self/fd")) == descriptors


def copy_in_a_thread(fifo: pathlib.Path, received: pathlib.Path) -> threading.Thread:
    def copy() -> None:
        with fifo.open("rb") as source, received.open("wb") as sink:
            shutil.copyfileobj(source, sink)

    thread = threading.Thread(target=copy)
    thread.start()
    return thread


@pytest.mark.parametrize("reader", ["process", "thread"])
@pytest.mark.parametrize("options", [{}, {"resample_hz": 50.0}])
def test_csv_into_a_fifo_reaches_its_reader(tmp_path: pathlib.Path, options: dict[str, float], reader: str) -> None:
    # More rows than a pipe holds: the writer must wait for the reader, not
    # fail, and let it run when it is a thread of this process.
    source = str(write_cwa(tmp_path / "rec.cwa", sectors=steady_recording(1700000000, 20)))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = tmp_path / "received.csv"
    if reader == "thread":
        thread = copy_in_a_thread(fifo, received)
    else:
        with received.open("wb") as sink:
            cat = subprocess.Popen(["/bin/cat", str(fifo)], stdout=sink)
    velnora.write_cwa_csv(source, str(fifo), **options)
    if reader == "thread":
        thread.join(timeout=10)
    else:
        assert cat.wait(timeout=10) == 0
    velnora.write_cwa_csv(source, str(tmp_path / "out.csv"), **options)
    assert received.read_bytes() == (tmp_path / "out.csv").read_bytes()
    assert received.stat().st_size > 65536
