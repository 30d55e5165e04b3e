"""read_cwa_file end to end: sample timestamps with the continuity correction
between blocks, reads that fail as a whole, and the dictionary it returns."""

from __future__ import annotations

import os
import pathlib
import random
from typing import Any, Callable

import numpy as np
import pytest

import velnora
from block_timing import to_us
from cwa_writer import (
    DEFAULT_BLOCK_UNIX_TIME,
    FORMAT_AXIS6,
    FORMAT_AXIS9,
    FORMAT_UNPACKED3,
    DataBlock,
    axis6_block,
    axis9_block,
    block_with_bounds,
    datetime_from_unix,
    filler_sector,
    steady_recording,
    steady_samples,
    unpacked3_block,
)
from sample_times import block_bounds, flat, recording_times_us

MakeRecording = Callable[..., pathlib.Path]

E = DEFAULT_BLOCK_UNIX_TIME
RATE_100 = 0x4A
RATE_200 = 0x4B
RATE_3200 = 0x4F


def read_times(path: pathlib.Path, **options: Any) -> list[int]:
    return velnora.read_cwa_file(str(path), **options)["timestamp"].tolist()


def read_error(path: pathlib.Path | str, **options: Any) -> str:
    with pytest.raises(RuntimeError) as caught:
        velnora.read_cwa_file(str(path), **options)
    assert type(caught.value) is RuntimeError
    return str(caught.value)


# --- timestamps -------------------------------------------------------------


def test_continuity_worked_example(cwa_path: MakeRecording) -> None:
    # The example's two blocks, 5 ms later: B's natural start lies 0.005 s
    # after A's end, so B starts at A's end and spreads its 120 samples over
    # the 1.205 s up to its own end. Only a faster block can end on an odd
    # multiple of 5 ms, so A has 120 samples at 200 Hz.
    a = block_with_bounds(E, rate_code=RATE_200, timestamp_offset=-121)
    b = block_with_bounds(E + 1, rate_code=RATE_100, timestamp_offset=-21)
    assert block_bounds(a) == (E + 0.605, E + 1.205)
    assert block_bounds(b) == (E + 1.21, E + 2.41)
    times = read_times(cwa_path(sectors=[a, b]))
    base = E * 1000000
    assert times[120:123] == [base + 1205000, base + 1215041, base + 1225083]
    assert times[-1] == base + 2399958
    assert times == flat(recording_times_us([a, b]))


def gap_pair(
    stamp: int, offset: int, rate_code: int = RATE_100, between: tuple[DataBlock | bytes, ...] = ()
) -> list[DataBlock | bytes]:
    """A 1.0 s block from E (100 samples at 100 Hz), the sectors `between`,
    and a 120-sample block stamped `stamp` with `offset`."""
    first = block_with_bounds(E, sample_count=100)
    return [first, *between, block_with_bounds(stamp, rate_code=rate_code, timestamp_offset=offset)]


NOT_DATA = (filler_sector(), filler_sector(0xFF), DataBlock(sample_count=0), DataBlock(packet_header=b"XA"))


@pytest.mark.parametrize(
    "sectors, closed",
    [
        (gap_pair(E + 1, -99), True),  # 0.99 s
        (gap_pair(E + 1, -3199, RATE_3200), True),  # 0.9996875 s
        (gap_pair(E + 2, 0), False),  # exactly 1.0 s
        (gap_pair(E + 2, -10), False),  # 1.1 s
        (gap_pair(E + 1, 30), True),  # overlap of 0.3 s: squeezed into 0.9 s
        (gap_pair(E + 1, 100), True),  # overlaps all of the first: squeezed into 0.2 s
        (gap_pair(E + 1, -50, between=NOT_DATA[:1]), True),
        (gap_pair(E + 1, -50, between=NOT_DATA), True),
        (gap_pair(E + 2, -10, between=NOT_DATA[:1]), False),
    ],
    ids=["gap-0.99", "gap-just-under-1", "gap-1.0", "gap-1.1", "overlap-0.3", "overlap-all", "zero-sector",
         "non-data-sectors", "zero-sector-gap-1.1"],
)
def test_second_block_starts_at_the_first_end_across_gaps_under_a_second(
    cwa_path: MakeRecording, sectors: list[DataBlock | bytes], closed: bool
) -> None:
    first, second = sectors[0], sectors[-1]
    assert isinstance(first, DataBlock) and isinstance(second, DataBlock)
    first_end = block_bounds(first)[1]
    second_start, second_end = block_bounds(second)
    assert (second_start - first_end < 1.0) is closed
    times = read_times(cwa_path(sectors=sectors))
    assert times[100] == to_us(first_end if closed else second_start)
    assert times[-1] < to_us(second_end)
    assert times == flat(recording_times_us(sectors))


def varied_recording() -> list[DataBlock | bytes]:
    """Blocks of several rates, formats and sizes, stamped off each other's
    ends by overlaps, small gaps and one pause, with non-data sectors between."""
    return [
        block_with_bounds(E, timestamp_offset=37),
        block_with_bounds(E + 1, timestamp_offset=-18),
        unpacked3_block(steady_samples(0, 80, FORMAT_UNPACKED3), timestamp=datetime_from_unix(E + 2), timestamp_offset=-40),
        axis6_block(steady_samples(0, 40, FORMAT_AXIS6), timestamp=datetime_from_unix(E + 3), timestamp_offset=-27,
                    rate_code=RATE_200),
        filler_sector(),
        axis9_block(steady_samples(0, 26, FORMAT_AXIS9), timestamp=datetime_from_unix(E + 3), timestamp_offset=-97,
                    rate_code=RATE_200),
        block_with_bounds(E + 3, sample_count=7, rate_code=RATE_3200, timestamp_offset=-1111),
        block_with_bounds(E + 5, timestamp_offset=3),  # after a pause of more than a second
        filler_sector(0xFF),
        block_with_bounds(E + 6, rate_code=0xFA, timestamp_offset=-31),
        block_with_bounds(E + 7, timestamp_offset=-40),
        block_with_bounds(E + 8, timestamp_offset=-52),
    ]


def test_every_read_gives_a_block_the_same_timestamps(cwa_path: MakeRecording) -> None:
    sectors = varied_recording()
    path = cwa_path(sectors=sectors)
    model = recording_times_us(sectors)
    full = velnora.read_cwa_file(str(path))
    assert full["timestamp"].tolist() == flat(model)
    part = velnora.read_cwa_file(str(path), cut=velnora.blocks(5, 10))
    assert part["timestamp"].tolist() == flat(model[5:10])
    rows = slice(len(flat(model[:5])), len(flat(model[:10])))
    for key in full:
        assert part[key].tolist() == full[key][rows].tolist(), key


# --- reads that fail ----------------------------------------------------------


def unsupported(axes: int, packing: int) -> str:
    return f"Unsupported sample format: {axes} axes, packing {packing}"


def random_sectors(seed: int, count: int, header: bytes = b"") -> list[bytes]:
    rng = random.Random(seed)
    return [header + rng.randbytes(512 - len(header)) for _ in range(count)]


@pytest.mark.parametrize(
    "sectors, message",
    [
        ([*steady_recording(E, 3), DataBlock(sample_count=1, rate_code=0)],
         "Old CWA format packets are not supported"),
        ([*steady_recording(E, 2), DataBlock(sample_format=0x41, sample_count=1), *steady_recording(E + 5, 2)],
         unsupported(4, 1)),
        ([filler_sector()] * 3, "No valid sample data found in the specified range"),
        (random_sectors(1, 40), "No valid sample data found in the specified range"),
    ],
    ids=["old-format-at-end", "format-in-middle", "zero-sectors", "random-bytes"],
)
def test_malformed_data_fails_the_whole_read(
    cwa_path: MakeRecording, sectors: list[DataBlock | bytes], message: str
) -> None:
    assert read_error(cwa_path(sectors=sectors)) == message


def test_random_data_blocks_fail_with_the_first_screening_message(cwa_path: MakeRecording) -> None:
    sectors = random_sectors(7, 10, b"AX")
    first = sectors[0]
    count = int.from_bytes(first[28:30], "little")
    assert count and first[24] and first[25] not in (0x30, 0x32, 0x62, 0x92)
    assert read_error(cwa_path(sectors=sectors)) == unsupported(first[25] >> 4, first[25] & 0x0F)


@pytest.mark.parametrize(
    "path, message",
    [
        ("/nonexistent/velnora/rec.cwa", "IO error: No such file or directory (os error 2)"),
        ("/", "IO error: Is a directory (os error 21)"),
    ],
)
@pytest.mark.parametrize("cut", [None, velnora.blocks(1, 2), velnora.seconds(1, 2)], ids=["none", "blocks", "seconds"])
def test_unreadable_path(path: str, message: str, cut: dict[str, Any] | None) -> None:
    assert read_error(path, cut=cut) == message


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def mapped_kib() -> int:
    """Address space of the process: columns are mappings of their own."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))


def test_failing_reads_leave_no_file_open_and_no_column_mapped(cwa_path: MakeRecording) -> None:
    good = steady_recording(E, 2000)
    bad = DataBlock(timestamp=0, sample_count=1)
    cases: list[tuple[pathlib.Path, dict[str, Any] | None]] = [
        (cwa_path(metadata=b"XY", name="xy.cwa"), None),
        (cwa_path(metadata=b"MD", name="short.cwa"), velnora.seconds(1)),
        (cwa_path(sectors=good, trailing=b"1", name="partial.cwa"), velnora.blocks(1)),
        (cwa_path(sectors=[*good, bad], name="bad-last.cwa"), None),
        (cwa_path(sectors=[*good, bad], name="bad-last.cwa"), velnora.blocks(5)),
        (cwa_path(sectors=[*good, bad], name="bad-last.cwa"), velnora.seconds(0, 1)),
        (cwa_path(sectors=[bad, *good], name="bad-first.cwa"), velnora.blocks(1)),
        (cwa_path(sectors=good, name="good.cwa"), velnora.blocks(2000)),
        (cwa_path(sectors=good, name="good.cwa"), velnora.seconds(3000)),
    ]
    # Warm-up: the first call of a process may map memory that it keeps.
    velnora.read_cwa_file(str(cwa_path(sectors=good[:3], name="warm.cwa")))
    files, mapped = open_descriptors(), mapped_kib()
    for _ in range(10):
        for path, cut in cases:
            with pytest.raises(RuntimeError):
                velnora.read_cwa_file(str(path), cut=cut)
    assert open_descriptors() == files
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return  # AddressSanitizer's quarantine and shadow memory grow the mappings on their own
    # A column kept by a failed read would hold at least a 2 MiB huge page of
    # address space, 13 of them a call; the interpreter's own arenas may grow
    # by a few MiB.
    assert mapped_kib() - mapped < 16 * 1024


# --- the dictionary -----------------------------------------------------------

KEYS = ["timestamp", "acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z",
        "temperature", "light", "battery"]


@pytest.mark.parametrize(
    "flags, keys",
    [
        ({}, KEYS),
        ({"include_magnetometer": False, "include_temperature": False, "include_light": False,
          "include_battery": False}, KEYS[:7]),
        ({"include_light": False}, [*KEYS[:11], "battery"]),
        ({"include_magnetometer": False, "include_battery": False}, [*KEYS[:7], "temperature", "light"]),
    ],
    ids=["default", "all-off", "no-light", "temperature-and-light"],
)
def test_keys_and_dtypes(cwa_path: MakeRecording, flags: dict[str, bool], keys: list[str]) -> None:
    data = velnora.read_cwa_file(str(cwa_path(sectors=steady_recording(E, 3))), **flags)
    assert list(data) == keys
    for key, array in data.items():
        assert array.dtype == (np.int64 if key == "timestamp" else np.float32), key
        assert array.shape == (360,)


def test_absent_options_read_like_their_defaults(cwa_path: MakeRecording) -> None:
    path = str(cwa_path(sectors=steady_recording(E, 3)))
    plain = velnora.read_cwa_file(path)
    for options in [
        {"cut": None},
        {"resample_hz": None},
        {"resample_method": "linear"},
        {"resample_hz": None, "resample_method": ""},
    ]:
        data = velnora.read_cwa_file(path, **options)
        assert list(data) == list(plain)
        for key in plain:
            assert data[key].tolist() == plain[key].tolist(), (options, key)
    positional = velnora.read_cwa_file(path, None, True, True, True, True, None, "no such method")
    assert positional["acc_x"].tolist() == plain["acc_x"].tolist()
