"""Work bounded by memory: under an address-space limit a call that cannot
have its memory raises MemoryError at once and the process lives on."""

import calendar
import pathlib
import subprocess
import sys

import pytest

from cwa_writer import block_with_bounds, steady_recording, write_cwa

START_2020 = calendar.timegm((2020, 1, 1, 0, 0, 0))
START_2060 = calendar.timegm((2060, 1, 1, 0, 0, 0))
# At 1 Hz from the first sample: every whole second up to the second block's
# last sample, 1.19 s after its start.
GAP_POINTS = START_2060 - START_2020 + 2
GIB = 2**30

# Bytes of address space the interpreter has mapped ("VmSize") or ever had ("VmPeak").
MAPPED = """
def mapped(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field))
"""

# Runs with the limit `extra` bytes above what the interpreter maps once
# velnora is loaded; `src` is the recording, `out` a path in the test's
# directory. Prints the outcome of the call and whether it came quickly.
LIMITED = MAPPED + """
import resource, time, velnora
resource.setrlimit(resource.RLIMIT_AS, (mapped("VmSize") + {extra}, resource.RLIM_INFINITY))
src, out = {src!r}, {out!r}
began = time.monotonic()
try:
    {call}
    print("ok")
except MemoryError as error:
    print("MemoryError:", error)
print(time.monotonic() - began < 2.0)
"""


def numpy_import_bytes() -> int:
    """What importing NumPy adds to the address space of this machine's interpreter."""
    script = MAPPED + """
import velnora
before = mapped("VmPeak")
import numpy
print(mapped("VmPeak") - before)
"""
    return int(subprocess.run([sys.executable, "-c", script], capture_output=True, check=True, text=True).stdout)


def gap_recording(path: pathlib.Path) -> pathlib.Path:
    return write_cwa(path, None, [block_with_bounds(START_2020), block_with_bounds(START_2060)])


def long_gap_recording(path: pathlib.Path) -> pathlib.Path:
    """Long enough for a resampled read to be split between two threads,
    with the gap in the later half."""
    return write_cwa(path, None, [*steady_recording(START_2020, 4200), block_with_bounds(START_2060)])


def one_block(path: pathlib.Path) -> pathlib.Path:
    return write_cwa(path, None, steady_recording(START_2020, 1))


def gap_message(points: int, point_bytes: int) -> str:
    # The bound named after it is the limit or, where that is higher (as under
    # a sanitizer's reservations), the machine's memory.
    return f"MemoryError: Resampling needs {points} points ({points * point_bytes / GIB:.1f} GiB), more than "


# Grids of nearly the 2 GiB the limit leaves: they would fit were nothing
# else mapped, and their columns, grown by doubling, would not fit at all.
NEAR_LIMIT = 2**31 - 2**23
READ_NEAR, CSV_NEAR = NEAR_LIMIT // (8 + 12 * 4), NEAR_LIMIT // (8 + 9 * 4)

CASES = {
    # A gap of decades is refused when its block arrives, before a point is made:
    # a timestamp and twelve channels per point for the arrays, ...
    "read": (
        gap_recording,
        "velnora.read_cwa_file(src, resample_hz=1.0)",
        gap_message(GAP_POINTS, 8 + 12 * 4),
    ),
    # ... a timestamp and the accelerometer, gyroscope and magnetometer for the CSV.
    "csv": (
        gap_recording,
        "velnora.write_cwa_csv(src, out, resample_hz=1.0)",
        gap_message(GAP_POINTS, 8 + 9 * 4),
    ),
    # The window's end bounds the count: the points before it, exactly.
    "window": (
        gap_recording,
        "velnora.read_cwa_file(src, cut=velnora.seconds(0, 10**9), resample_hz=1.0)",
        gap_message(10**9, 8 + 12 * 4),
    ),
    # The room left beside what the process maps bounds the grid: refused
    # before a point is made, on one thread or two, for arrays or CSV.
    "near the limit": (
        gap_recording,
        f"velnora.read_cwa_file(src, cut=velnora.seconds(0, {READ_NEAR}), resample_hz=1.0)",
        gap_message(READ_NEAR, 8 + 12 * 4),
    ),
    "split near the limit": (
        long_gap_recording,
        f"velnora.read_cwa_file(src, cut=velnora.seconds(0, {READ_NEAR}), resample_hz=1.0)",
        gap_message(READ_NEAR, 8 + 12 * 4),
    ),
    "csv near the limit": (
        gap_recording,
        f"velnora.write_cwa_csv(src, out, cut=velnora.seconds(0, {CSV_NEAR}), resample_hz=1.0)",
        gap_message(CSV_NEAR, 8 + 9 * 4),
    ),
    # Room for NumPy but not for the columns (2 MiB each) as well: NumPy comes
    # first, so the columns, not NumPy's start-up, are refused, as out of
    # memory rather than an I/O fault. The other way round the import ran out
    # and took the process down.
    "columns": (
        one_block,
        "velnora.read_cwa_file(src)",
        "MemoryError: Cannot allocate memory (os error 12)",
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_memory_limit(tmp_path: pathlib.Path, case: str) -> None:
    make, call, outcome = CASES[case]
    out = tmp_path / "out.csv"
    extra = numpy_import_bytes() + 8 * 2**20 if case == "columns" else 2 * GIB
    script = LIMITED.format(extra=extra, src=str(make(tmp_path / "rec.cwa")), out=str(out), call=call)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    result, quick = run.stdout.splitlines()
    assert result.startswith(outcome), result
    assert quick == "True"
    # A resampled export touches its output only once reading is done.
    assert not out.exists()
