"""read_cwa_file(resample_hz=...): the regular grid, cubic and linear
interpolation, the window applied by the grid, and the reading that stops at
the window's end.

Most expectations come from grid_model, which resamples the samples of the
direct read in Python, in the described order of float64 operations; the
worked examples pin the model and the extension alike."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
from fractions import Fraction
from typing import Any, Callable

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import grid_model
import velnora
from velnora_tools import _native
from block_timing import natural_bounds, to_us
from cwa_writer import (
    FORMAT_AXIS9,
    FORMAT_UNPACKED3,
    DataBlock,
    axis9_block,
    block_with_bounds,
    datetime_from_unix,
    filler_sector,
    steady_recording,
    steady_samples,
    unpacked3_block,
    write_cwa,
)
from sample_times import block_bounds, is_data_block

MakeRecording = Callable[..., pathlib.Path]

T = 1600000000  # every recording starts on this whole second
RATE_100 = 0x4A
RATE_3200 = 0x4F
NO_POINTS = "No samples remain after applying time range/resampling"
NO_DATA = "No valid sample data found in the specified range"
KEYS = ["timestamp", "acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z",
        "temperature", "light", "battery"]


def x_block(unix_s: int, raw_x: list[int], **fields: Any) -> DataBlock:
    """Unpacked 3-axis block whose acc_x counts are `raw_x` (256 a g) and the
    other axes 0, stamped at whole second `unix_s`."""
    fields.setdefault("timestamp", datetime_from_unix(unix_s))
    return unpacked3_block([(x, 0, 0) for x in raw_x], **fields)


def resampled(path: pathlib.Path, rate: float, **options: Any) -> dict[str, np.ndarray]:
    return velnora.read_cwa_file(str(path), resample_hz=rate, **options)


def resample_error(path: pathlib.Path, rate: float, **options: Any) -> str:
    with pytest.raises(RuntimeError) as caught:
        resampled(path, rate, **options)
    assert type(caught.value) is RuntimeError
    return str(caught.value)


def model_points(
    path: pathlib.Path, rate: float, start: float | None = None, end: float | None = None
) -> list[grid_model.GridPoint]:
    """The model's grid over every sample of the file."""
    direct = velnora.read_cwa_file(str(path))
    columns = {key: direct[key].tolist() for key in KEYS[1:]}
    return grid_model.resample(direct["timestamp"].tolist(), columns, rate, start, end)


def assert_model(data: dict[str, np.ndarray], points: list[grid_model.GridPoint]) -> None:
    """Equal to the model bit for bit, the sign of every zero included."""
    assert data["timestamp"].tolist() == [p.timestamp for p in points]
    for key in list(data)[1:]:
        expected = np.array([p.values[key] for p in points], dtype=np.float32)
        assert data[key].view(np.uint32).tolist() == expected.view(np.uint32).tolist(), key


# --- worked examples --------------------------------------------------------


def test_four_samples_give_linear_ends_and_a_cubic_middle(cwa_path: MakeRecording) -> None:
    # A date-time starts in 2000, so the example's samples at 1000 s cannot be
    # written; its timing scaled by 200 (samples 2 s apart, a 1 Hz grid) keeps
    # every difference exact. tests/core runs it at the literal times.
    blocks = [x_block(T + 2 * k, [256 * y]) for k, y in enumerate([0, 1, 8, 27])]
    data = resampled(cwa_path(sectors=blocks), 1.0)
    assert data["timestamp"].tolist() == [(T + k) * 1000000 for k in range(7)]
    # 3.375 at the middle, where the line through 1 and 8 gives 4.5.
    assert data["acc_x"].tolist() == [0.0, 0.5, 1.0, 3.375, 8.0, 17.5, 27.0]


def test_grid_times_are_truncated_from_k_directly(cwa_path: MakeRecording) -> None:
    path = cwa_path(sectors=steady_recording(T, 10))
    data = resampled(path, 30.0)
    base = T * 1000000
    assert data["timestamp"][:4].tolist() == [base, base + 33333, base + 66666, base + 100000]
    assert_model(data, model_points(path, 30.0))


def test_window_bounds_the_grid(cwa_path: MakeRecording) -> None:
    # 1.50390625 s is exact in binary and lies between the samples at 1.50
    # and 1.51; the grid starts there and stops before 2.5 s.
    path = cwa_path(sectors=steady_recording(T, 5))
    data = resampled(path, 20.0, cut=velnora.seconds(1.50390625, 2.5))
    assert data["timestamp"][[0, -1]].tolist() == [1600000001503906, 1600000002453906]
    assert_model(data, model_points(path, 20.0, start=T + 1.50390625, end=T + 2.5))


def bytes_read() -> int:
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs /proc/self/io")
def test_reading_stops_once_the_grid_reaches_the_window_end(cwa_path: MakeRecording) -> None:
    # The window lies in the first block; the plan reaches over 8192 empty
    # sectors (4 MiB) to the block after it, which only a read that goes on
    # would come to.
    sectors = [*steady_recording(T, 1), *[filler_sector()] * 8192, *steady_recording(T + 1000, 1)]
    path = cwa_path(sectors=sectors)
    blocks_size = path.stat().st_size - 1024

    def read_cost(cut: dict[str, Any]) -> int:
        before = bytes_read()
        resampled(path, 10.0, cut=cut)
        return bytes_read() - before

    # The seconds cut scans every block once to plan; the read then stops
    # within its first 1 MiB buffer, or reads every block again when the
    # window has no end.
    assert read_cost(velnora.seconds(0.1, 0.5)) < blocks_size + (2 << 20)
    assert read_cost(velnora.seconds(0.1)) >= 2 * blocks_size


# --- samples too few, too close, too far apart --------------------------------


@pytest.mark.parametrize(
    "sectors, cut, rate, message",
    [
        ([x_block(T, [256])], None, 100.0, NO_POINTS),
        ([x_block(T, [256]), filler_sector()], velnora.blocks(0, 2), 100.0, NO_POINTS),
        (steady_recording(T, 1), velnora.seconds(1.195), 100.0, NO_POINTS),  # the last sample is at 1.19 s
        # 1000 / 5e-324 ms is infinite: point 0 lies at 0 × inf, NaN.
        (steady_recording(T, 3), None, 5e-324, NO_POINTS),
        (steady_recording(T, 3), velnora.blocks(end=0), 100.0, NO_DATA),
        ([filler_sector(), filler_sector(0xFF)], None, 100.0, NO_DATA),
        ([*steady_recording(T, 1), filler_sector()], velnora.blocks(1), 100.0, NO_DATA),
        ([*steady_recording(T, 3), DataBlock(sample_count=1, rate_code=0)], None, 100.0,
         "Old CWA format packets are not supported"),
    ],
    ids=["single-sample", "single-sample-and-filler", "window-after-last-sample", "step-overflows", "empty-range",
         "no-data-block", "only-filler-planned", "malformed-last-block"],
)
def test_failures(cwa_path: MakeRecording, sectors: list[DataBlock | bytes], cut: dict[str, Any] | None,
                  rate: float, message: str) -> None:
    assert resample_error(cwa_path(sectors=sectors), rate, cut=cut) == message


def test_equal_times_take_the_earlier_value(cwa_path: MakeRecording) -> None:
    # B is stamped like A, so its start moves to A's end, which is also its own
    # end: all its samples get that one time, and so does C's first, which
    # starts at B's end. Read from B on, the first segment has no length.
    a = x_block(T, list(range(80)))
    b = x_block(T, [1000 + i for i in range(80)])
    c = x_block(T, list(range(80)), timestamp_offset=-80)  # natural start 0.8 s, at A's end
    path = cwa_path(sectors=[a, b, c])
    direct = velnora.read_cwa_file(str(path), cut=velnora.blocks(1))
    assert len(set(direct["timestamp"][:81].tolist())) == 1
    data = resampled(path, 100.0, cut=velnora.blocks(1))
    assert data["timestamp"][0] == direct["timestamp"][0]
    assert data["acc_x"][0] == 1000 / 256
    columns = {key: direct[key].tolist() for key in KEYS[1:]}
    assert_model(data, grid_model.resample(direct["timestamp"].tolist(), columns, 100.0))
    # Read whole, the points between A's last sample and B's first have the
    # sample after the segment at the segment's own end: a zero denominator,
    # so linear too.
    assert_model(resampled(path, 300.0), model_points(path, 300.0))


def squeezed_recording() -> list[DataBlock | bytes]:
    """80 samples 10 ms apart; 75 samples squeezed into the 3.75 ms after
    them, 50 µs apart; 80 samples about 10 ms apart. acc_x is quadratic in
    the sample index, so a cubic and a line through it differ."""
    a = x_block(T, [i * i // 4 for i in range(80)])
    # Natural span [0.7803125, 0.80375): its start moves back to A's end, 0.8 s.
    b = x_block(T, [1600 + i * i for i in range(75)], rate_code=RATE_3200, timestamp_offset=-2497)
    c = x_block(T, [i * i // 4 for i in range(80)], timestamp_offset=-80)
    return [a, b, c]


def test_spacing_decides_between_cubic_and_linear(cwa_path: MakeRecording) -> None:
    path = cwa_path(sectors=squeezed_recording())
    direct = velnora.read_cwa_file(str(path))
    stamps = direct["timestamp"].tolist()
    assert set(np.diff(stamps)[80:154].tolist()) <= {49, 50, 51}
    points = grid_model.resample(stamps, {"acc_x": direct["acc_x"].tolist()}, 10000.0)

    def place(i: int) -> str:
        if i == 0 or i + 2 >= len(stamps):
            return "outer"
        return "50us" if 81 <= i <= 153 else "10ms"

    assert {(place(p.segment), p.method) for p in points} == {
        ("outer", "linear"), ("50us", "linear"), ("10ms", "cubic")
    }
    # On a parabola the cubic and the line part between samples, so the
    # values show which rule ran.
    assert resampled(path, 10000.0)["acc_x"].tolist() == [p.values["acc_x"] for p in points]


def test_gap_of_seconds_is_filled(cwa_path: MakeRecording) -> None:
    path = cwa_path(sectors=[*steady_recording(T, 2), *steady_recording(T + 8, 2)])
    data = resampled(path, 10.0)
    stamps = data["timestamp"].tolist()
    # 2.4 s of samples, a 5.6 s gap, 2.4 s of samples: one point every 0.1 s throughout.
    assert stamps == [T * 1000000 + 100000 * k for k in range(104)]
    assert_model(data, model_points(path, 10.0))


# --- columns -----------------------------------------------------------------


def varied_recording() -> list[DataBlock | bytes]:
    """3- and 9-axis blocks with their own readings, overlapping and with gaps."""
    nine = axis9_block(steady_samples(0, 26, FORMAT_AXIS9), timestamp=datetime_from_unix(T + 2),
                       timestamp_offset=-20, rate_code=0x4B, temperature=300, light=0x2000 | 500, battery=200)
    return [
        block_with_bounds(T, sample_data=b"\x01\x02\x03\x04" * 120, temperature=280, light=100, battery=180),
        x_block(T + 1, [(i * 37) % 500 for i in range(80)], timestamp_offset=-30, temperature=290, battery=190),
        nine,
        filler_sector(),
        unpacked3_block(steady_samples(5, 80, FORMAT_UNPACKED3), timestamp=datetime_from_unix(T + 4),
                        light=0x4000 | 900, temperature=310),
    ]


FLAG_COLUMNS = {
    "include_magnetometer": ["mag_x", "mag_y", "mag_z"],
    "include_temperature": ["temperature"],
    "include_light": ["light"],
    "include_battery": ["battery"],
}


@pytest.mark.parametrize(
    "off", [[], *[[flag] for flag in FLAG_COLUMNS], list(FLAG_COLUMNS)], ids=["none", *FLAG_COLUMNS, "all"]
)
def test_columns_follow_the_include_flags(cwa_path: MakeRecording, off: list[str]) -> None:
    path = cwa_path(sectors=varied_recording())
    data = resampled(path, 37.0, **{flag: False for flag in off})
    dropped = {column for flag in off for column in FLAG_COLUMNS[flag]}
    assert list(data) == [key for key in KEYS if key not in dropped]
    for key, array in data.items():
        assert array.dtype == (np.int64 if key == "timestamp" else np.float32), key
        assert array.flags.c_contiguous and array.flags.writeable
    assert_model(data, model_points(path, 37.0))


def test_magnetometer_of_three_axis_data_is_zero(cwa_path: MakeRecording) -> None:
    data = resampled(cwa_path(sectors=steady_recording(T, 3)), 50.0)
    for key in ("gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z"):
        assert not data[key].any(), key
    assert data["acc_x"].any()


# --- the grid's origin and rate ------------------------------------------------


RATE_400 = 0x4C


def first_sample_needing_the_nudge() -> tuple[int, int]:
    """The offset of a 400 Hz block stamped T whose first sample s, in
    seconds, has s × 1000 / 1000 < s; and that sample's microseconds. Only
    offsets of tens of seconds leave float32 steps fine enough to reach such
    microseconds."""
    for offset in range(-1, -32769, -1):
        start, _ = natural_bounds(T, offset, 80, RATE_400)
        s = to_us(start) / 1000000.0
        if (s * 1000.0) / 1000.0 < s:
            return offset, to_us(start)
    raise AssertionError("no start time needs the nudge")


def test_grid_starting_below_the_first_sample_is_raised_to_it(cwa_path: MakeRecording) -> None:
    offset, first_us = first_sample_needing_the_nudge()
    path = cwa_path(sectors=[x_block(T, list(range(80)), rate_code=RATE_400, timestamp_offset=offset)])
    data = resampled(path, 1000.0)
    assert data["timestamp"][0] == first_us
    assert_model(data, model_points(path, 1000.0))


# --- properties ---------------------------------------------------------------


@st.composite
def recordings(draw: st.DrawFn) -> list[DataBlock | bytes]:
    """Unpacked 3-axis blocks of random length and rate, each stamped near
    the previous one's end: overlaps, small gaps (closed) and pauses (kept)."""
    blocks: list[DataBlock | bytes] = []
    second = T
    for _ in range(draw(st.integers(1, 5))):
        count = draw(st.integers(1, 80))
        rate_code = draw(st.sampled_from([0x48, RATE_100, 0x4C, RATE_3200]))
        offset = draw(st.integers(-400, 100))
        raw = draw(st.lists(st.integers(-32768, 32767), min_size=count, max_size=count))
        blocks.append(x_block(second, raw, rate_code=rate_code, timestamp_offset=offset,
                              temperature=draw(st.integers(0, 1023)), light=draw(st.integers(0, 0xFFFF))))
        second += draw(st.integers(0, 2))
        if draw(st.booleans()):
            blocks.append(filler_sector())
    return blocks


@given(sectors=recordings(), rate=st.floats(0.5, 1000.0), window=st.tuples(st.floats(0.0, 6.0), st.floats(0.1, 6.0)))
def test_random_recordings_match_the_model(
    tmp_path_factory: pytest.TempPathFactory,
    sectors: list[DataBlock | bytes],
    rate: float,
    window: tuple[float, float],
) -> None:
    path = write_cwa(tmp_path_factory.mktemp("rec") / "random.cwa", sectors=sectors)
    direct = velnora.read_cwa_file(str(path))
    stamps = direct["timestamp"].tolist()
    columns = {key: direct[key].tolist() for key in KEYS[1:]}
    points = grid_model.resample(stamps, columns, rate)
    if points:
        assert_model(resampled(path, rate), points)
    else:
        assert resample_error(path, rate) == NO_POINTS
    # A seconds cut reads only the blocks around the window, so near its
    # edges a cubic may lack a neighbour the whole file has: only the grid
    # times are the model's. Not even they when a block ends no later than
    # the one before: its samples move to that block's end, past its own span,
    # and the plan, which goes by spans, may leave them or their successors out.
    ends = [block_bounds(sector)[1] for sector in sectors if is_data_block(sector)]
    if any(later <= earlier for earlier, later in zip(ends, ends[1:])):
        return
    start, length = window
    end = start + length
    # Seconds count from the first sample as the reader stamps it.
    origin = stamps[0] / 1000000.0
    try:
        data = resampled(path, rate, cut=velnora.seconds(start, end))
    except RuntimeError as error:
        assert str(error) in (NO_POINTS, "No samples remain after applying seconds cut")
        return
    windowed = grid_model.resample(stamps, columns, rate, origin + start, origin + end)
    assert data["timestamp"].tolist() == [p.timestamp for p in windowed]


@given(rate=st.floats(0.5, 1000.0), intercept=st.integers(-2000, 2000), slope=st.integers(-20, 20))
def test_a_line_stays_on_the_line(
    tmp_path_factory: pytest.TempPathFactory, rate: float, intercept: int, slope: int
) -> None:
    # Samples 10 ms apart from T; acc_x rises by `slope` counts a sample.
    blocks = steady_recording(T, 4, samples_per_block=80, sample_format=FORMAT_UNPACKED3)
    for b, block in enumerate(blocks):
        counts = [(intercept + slope * (80 * b + i), 0, 0) for i in range(80)]
        block.sample_data = np.array(counts, dtype="<i2").tobytes()
    data = resampled(write_cwa(tmp_path_factory.mktemp("line") / "line.cwa", sectors=blocks), rate)
    t = (data["timestamp"] - T * 1000000) / 1e6
    line = (intercept + slope * 100.0 * t) / 256.0
    # The value's float32 rounding, and up to 2 µs between the line's time and
    # the interpolated one: samples and grid points both sit on truncated
    # microseconds.
    tolerance = np.abs(line) * 2.0**-23 + abs(slope) * 100.0 / 256.0 * 2.1e-6
    assert np.all(np.abs(data["acc_x"] - line) <= tolerance)


ON_ONE_THREAD = r"""
import json, sys, numpy, velnora
path, rate, window, saved = sys.argv[1:]
window = json.loads(window)
try:
    data = velnora.read_cwa_file(path, resample_hz=float(rate), cut=window and velnora.seconds(*window))
except RuntimeError as error:
    print(error, end="")
else:
    numpy.savez(saved, **data)
"""

HALF = 2200  # blocks: two halves make a range long enough to split
SPAN = HALF * 120 // 100  # seconds in a half of steady 100 Hz blocks
BAD_BLOCK = DataBlock(sample_format=0x41, sample_count=1)


def long_recording(kind: str) -> list[DataBlock]:
    first = steady_recording(T, HALF)
    if kind == "steady":
        return first + steady_recording(T + SPAN, HALF)
    if kind == "gap at the middle":
        return first + steady_recording(T + SPAN + 7200, HALF)
    if kind == "jump back at the middle":
        return first + steady_recording(T + SPAN - 500, HALF)
    if kind == "9-axis later half":
        return first + steady_recording(T + SPAN, 9 * HALF // 2, sample_format=FORMAT_AXIS9, samples_per_block=26)
    if kind == "fillers before the middle":
        # The range is split at its middle, which falls 30 positions before
        # the later part, too far past the earlier one to look back to it.
        # Half a second late, the later part is moved back to meet the
        # earlier one on the calling thread.
        fillers = 130
        later = steady_recording(Fraction(T + SPAN) + Fraction(1, 2), HALF + fillers - 61)
        return first + [filler_sector()] * fillers + later
    if kind == "bad block early":
        return first[:500] + [BAD_BLOCK] + first[500:] + steady_recording(T + SPAN, HALF)
    if kind == "bad block late":
        later = steady_recording(T + SPAN, HALF)
        return first + later[:1500] + [BAD_BLOCK] + later[1500:]
    raise ValueError(kind)


@pytest.mark.parametrize(
    "kind, rate, window, halves_meet",
    [
        ("steady", 30.0, None, True),
        ("steady", 100.0, (0.123, 5200.0), True),
        ("steady", 7.3, (200.0, 1e6), True),
        ("gap at the middle", 30.0, None, True),
        ("jump back at the middle", 30.0, None, False),
        ("fillers before the middle", 250.0, None, False),
        ("9-axis later half", 100.0, None, True),
        ("bad block early", 30.0, None, None),
        ("bad block late", 30.0, None, None),
    ],
)
def test_long_runs_give_the_rows_of_one_thread(
    cwa_path: MakeRecording,
    tmp_path: pathlib.Path,
    kind: str,
    rate: float,
    window: tuple[float, float] | None,
    halves_meet: bool | None,
) -> None:
    """A long run splits its range between two threads where it may; with
    VELNORA_THREADS=1 it stays on one. The rows, or the error, are the same
    either way; the later half's rows are taken where the halves meet."""
    path = cwa_path(sectors=long_recording(kind))
    saved = tmp_path / "one_thread.npz"
    env = dict(os.environ, VELNORA_THREADS="1")
    child = [sys.executable, "-c", ON_ONE_THREAD, str(path), str(rate), json.dumps(window), str(saved)]
    message = subprocess.run(child, env=env, check=True, capture_output=True, text=True).stdout
    cut = velnora.seconds(*window) if window else None
    if message:
        assert resample_error(path, rate, cut=cut) == message
        return
    alone = np.load(saved)
    adopted_before = _native._adopted_split_runs()
    past_damage, damaged = _native.read_skipping_damaged(str(path), cut=cut, resample_hz=rate)
    adopted = _native._adopted_split_runs() - adopted_before
    for shared in (resampled(path, rate, cut=cut), past_damage):
        assert len(shared["timestamp"]) > 20_000
        assert sorted(alone.files) == sorted(shared)
        for key in shared:
            assert alone[key].tobytes() == shared[key].tobytes(), key
    assert damaged == []
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("one processor: the range is never split")
    assert adopted == (1 if halves_meet else 0)
