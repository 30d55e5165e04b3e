"""How read_cwa_file turns a cut into blocks to read: the file check and its
order, blocks cuts at the file's edges with the end of the block before the
range, and seconds cuts found through the continuity-corrected block spans."""

from __future__ import annotations

import pathlib
from typing import Any, Callable

import pytest

import velnora
from cwa_writer import (
    DEFAULT_BLOCK_UNIX_TIME,
    DataBlock,
    MetadataBlock,
    block_with_bounds,
    datetime_from_unix,
    filler_sector,
    packed_samples,
    steady_samples,
)
from sample_times import block_bounds, flat, recording_times_us

MakeRecording = Callable[..., pathlib.Path]

T = DEFAULT_BLOCK_UNIX_TIME
BEYOND = "Start block is beyond file size"
NO_DATA_IN_RANGE = "No valid sample data found in the specified range"
NOTHING_IN_CUT = "No samples remain after applying seconds cut"
NOTHING_IN_WINDOW = "No samples remain after applying time range"
BAD_TIMESTAMP = "Invalid block timestamp"
EVERY_KIND = [None, velnora.blocks(0, 1), velnora.seconds(0, 1)]
KIND_IDS = ["no-cut", "blocks", "seconds"]


def read_error(path: pathlib.Path, cut: dict[str, Any] | None) -> str:
    with pytest.raises(RuntimeError) as caught:
        velnora.read_cwa_file(str(path), cut=cut)
    assert type(caught.value) is RuntimeError
    return str(caught.value)


def metadata_bytes(size: int, magic: bytes = b"MD") -> bytes:
    return (magic + bytes(range(256)) * 8)[:size]


# --- file check -------------------------------------------------------------


@pytest.mark.parametrize("cut", EVERY_KIND, ids=KIND_IDS)
@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "IO error: failed to fill whole buffer"),
        (b"M", "IO error: failed to fill whole buffer"),
        (b"XY", "Not a valid CWA file"),
        (metadata_bytes(1023, b"XY"), "Not a valid CWA file"),
        (metadata_bytes(1537, b"XY"), "Not a valid CWA file"),
        (metadata_bytes(2048, b"md"), "Not a valid CWA file"),
        (metadata_bytes(2), "File too small to be a valid CWA file"),
        (metadata_bytes(1023), "File too small to be a valid CWA file"),
        (metadata_bytes(1025), "Incomplete CWA data block"),
        (metadata_bytes(1537), "Incomplete CWA data block"),
        (metadata_bytes(1024), BEYOND),
    ],
    ids=["empty", "1-byte", "XY", "XY-1023", "XY-1537", "lower-case", "MD-2", "MD-1023", "MD-1025", "MD-1537",
         "MD-1024"],
)
def test_file_check(cwa_path: MakeRecording, cut: dict[str, Any] | None, content: bytes, message: str) -> None:
    assert read_error(cwa_path(metadata=content), cut) == message


@pytest.mark.parametrize("cut", EVERY_KIND, ids=KIND_IDS)
def test_whole_blocks_followed_by_a_partial_sector(cwa_path: MakeRecording, cut: dict[str, Any] | None) -> None:
    path = cwa_path(sectors=[block_with_bounds(T), block_with_bounds(T + 2)], trailing=bytes(100))
    assert read_error(path, cut) == "Incomplete CWA data block"


# --- blocks cuts ------------------------------------------------------------

# Block b is stamped one second after block b - 1 and lasts 1.0 s (100 samples
# at 100 Hz); its offset moves it a few hundredths of a second, so that every
# block after the first starts off the previous end and gets corrected.
OFFSETS = [0, -3, 2, -1, 5, 0, -7, 4, -2, 3]


def jittered_block(b: int) -> DataBlock:
    return block_with_bounds(
        T + b,
        sample_count=100,
        timestamp_offset=OFFSETS[b],
        sample_data=packed_samples(steady_samples(b * 100, 100)),  # type: ignore[arg-type]
    )


def jittered(zero_at: tuple[int, ...] = ()) -> list[DataBlock | bytes]:
    return [filler_sector() if b in zero_at else jittered_block(b) for b in range(len(OFFSETS))]


def read_times(path: pathlib.Path, cut: dict[str, Any] | None = None) -> list[int]:
    return velnora.read_cwa_file(str(path), cut=cut)["timestamp"].tolist()


N = len(OFFSETS)


@pytest.mark.parametrize(
    "start, end, first, last",
    [
        (N - 1, None, N - 1, N),
        (0, N + 100, 0, N),
        (2, 5, 2, 5),
        (5, 2**64 - 1, 5, N),
        (None, 3, 0, 3),
        (7, None, 7, N),
    ],
    ids=["last-block", "end-beyond-file", "middle", "u64-max-end", "only-end", "only-start"],
)
def test_blocks_cut_reads_its_positions(
    cwa_path: MakeRecording, start: int | None, end: int | None, first: int, last: int
) -> None:
    sectors = jittered()
    path = cwa_path(sectors=sectors)
    model = recording_times_us(sectors)
    full = velnora.read_cwa_file(str(path))
    data = velnora.read_cwa_file(str(path), cut=velnora.blocks(start, end))
    assert data["timestamp"].tolist() == flat(model[first:last])
    rows = slice(len(flat(model[:first])), len(flat(model[:last])))
    assert data["acc_x"].tolist() == full["acc_x"][rows].tolist()


@pytest.mark.parametrize("zero_at, prev", [((), 1), ((1,), 0)], ids=["data-before", "zero-sector-before"])
def test_range_starts_from_the_end_of_the_data_block_before_it(
    cwa_path: MakeRecording, zero_at: tuple[int, ...], prev: int
) -> None:
    sectors = jittered(zero_at)
    times = read_times(cwa_path(sectors=sectors), velnora.blocks(2, 5))
    # The block before the range sets block 2's start; 2 starts within a
    # second of it and off its end, so only that end gives this first time.
    prev_end = block_bounds(sectors[prev])[1]  # type: ignore[arg-type]
    natural_start = block_bounds(sectors[2])[0]  # type: ignore[arg-type]
    assert natural_start != prev_end and natural_start - prev_end < 1.0
    assert times[0] == int(prev_end * 1000000.0)
    assert times == flat(recording_times_us(sectors)[2:5])


# Zero or filler sectors across more than one of the backward search's
# largest reads (1 MiB). Reads grow from 8 sectors to 2048, so after 4087 and
# 4088 of them block 1 is the first and the last sector of a read.
@pytest.mark.parametrize("far", [4087, 4088, 4100])
@pytest.mark.parametrize("gap", ["hole", "filler"])
@pytest.mark.parametrize("far_back", ["data", "malformed"])
def test_data_block_before_the_range_lies_far_back(
    tmp_path: pathlib.Path, far: int, gap: str, far_back: str
) -> None:
    malformed = DataBlock(sample_format=0x40, sample_count=1)
    early = [jittered_block(0), jittered_block(1) if far_back == "data" else malformed]
    late = [jittered_block(2), jittered_block(3)]
    path = tmp_path / "far.cwa"
    with path.open("wb") as out:
        out.write(MetadataBlock().to_bytes() + b"".join(b.to_bytes() for b in early))
        if gap == "hole":
            out.seek(far * 512, 1)
        else:
            out.write(filler_sector(0xFF) * far)
        out.write(b"".join(b.to_bytes() for b in late))
    cut = velnora.blocks(len(early) + far)
    if far_back == "malformed":
        assert read_error(path, cut) == "Unsupported sample format: 4 axes, packing 0"
        return
    times = read_times(path, cut)
    assert times[0] == int(block_bounds(early[1])[1] * 1000000.0)
    assert times == flat(recording_times_us([*early, *late])[2:])


@pytest.mark.parametrize(
    "cut, message",
    [
        (velnora.blocks(N), BEYOND),
        (velnora.blocks(N, N + 1), BEYOND),
        (velnora.blocks(start=2**64 - 1), BEYOND),
        (velnora.blocks(end=0), NO_DATA_IN_RANGE),
        (velnora.blocks(3, 4), NO_DATA_IN_RANGE),
        (velnora.blocks(3, 5), NO_DATA_IN_RANGE),
    ],
    ids=["at-end", "at-end-with-end", "u64-max", "empty-range", "zero-sector", "zero-sectors"],
)
def test_blocks_cut_without_samples(cwa_path: MakeRecording, cut: dict[str, Any], message: str) -> None:
    assert read_error(cwa_path(sectors=jittered(zero_at=(3, 4))), cut) == message


# --- seconds cuts -----------------------------------------------------------

# Three 8-second blocks (100 samples at 12.5 Hz): [O, O+8), then one stamped
# O+8 whose offset of -5 samples puts its natural start 0.4 s later, a gap the
# continuity correction closes, and one exactly 1.0 s after the second's end,
# a gap that stays. So the spans are [O, O+8), [O+8, O+16.4), [O+17.4, O+25.4).
O = T
RATE_12_5 = 0x47


def span_block(stamp: int, offset: int) -> DataBlock:
    return block_with_bounds(stamp, sample_count=100, rate_code=RATE_12_5, timestamp_offset=offset)


THREE = [span_block(O, 0), span_block(O + 8, -5), span_block(O + 17, -5)]
SPAN1_END = block_bounds(THREE[1])[1]
SPAN2_START = block_bounds(THREE[2])[0]


@pytest.fixture
def three(cwa_path: MakeRecording) -> tuple[pathlib.Path, list[int]]:
    path = cwa_path(sectors=THREE)
    full = read_times(path)
    assert full == flat(recording_times_us(THREE))
    return path, full


def test_three_spans_are_corrected_as_the_reader_times_them(three: tuple[pathlib.Path, list[int]]) -> None:
    _, full = three
    assert SPAN2_START - SPAN1_END == 1.0
    assert full[100] == (O + 8) * 1000000  # the 0.4 s gap is closed
    assert full[200] == int(SPAN2_START * 1000000.0)  # the 1.0 s gap is kept


@pytest.mark.parametrize(
    "start, end",
    [
        (10.0, 13.0),  # inside the second span
        (8.5, 17.0),  # from inside the second span into the gap after it
        (8.0, 8.3),  # in the closed gap, which the second span's corrected start fills
        (7.9, 8.2),  # across the closed gap
        (16.0, 18.0),  # across the kept gap
        (SPAN2_START - O, None),  # from the third span's start on
        (None, 0.5),
        (None, None),
    ],
)
def test_seconds_cut_keeps_the_samples_in_its_window(
    three: tuple[pathlib.Path, list[int]], start: float | None, end: float | None
) -> None:
    path, full = three
    expected = [
        t for t in full
        if (start is None or O + start <= t / 1000000.0) and (end is None or t / 1000000.0 < O + end)
    ]
    assert expected
    assert read_times(path, velnora.seconds(start, end)) == expected


@pytest.mark.parametrize(
    "start, end, message",
    [
        (40.0, None, NOTHING_IN_CUT),
        (26.0, 27.0, NOTHING_IN_CUT),
        (16.5, 17.2, NOTHING_IN_CUT),  # in the kept gap
        (SPAN1_END - O, 17.0, NOTHING_IN_CUT),  # a start on a span's end misses that span
        (10.03, 10.09, NOTHING_IN_WINDOW),  # meets a span, but between two of its samples
    ],
    ids=["beyond", "after-last", "in-gap", "on-span-end", "between-samples"],
)
def test_seconds_cut_that_meets_no_sample(
    three: tuple[pathlib.Path, list[int]], start: float, end: float | None, message: str
) -> None:
    path, _ = three
    assert read_error(path, velnora.seconds(start, end)) == message


def test_origin_is_the_first_data_block_not_the_header(cwa_path: MakeRecording) -> None:
    metadata = MetadataBlock(logging_start_time=datetime_from_unix(O - 3600))
    sectors = [filler_sector(), span_block(O, 0), span_block(O + 8, 0)]
    times = read_times(cwa_path(metadata=metadata, sectors=sectors), velnora.seconds(2, 3))
    # Samples are 0.08 s apart: those at O+2.00 ... O+2.96.
    assert times[0] == (O + 2) * 1000000 and len(times) == 13
    assert times == [t for t in flat(recording_times_us(sectors)) if O + 2 <= t / 1000000.0 < O + 3]


@pytest.mark.parametrize("offset", [-36, 9, 61])
def test_seconds_from_zero_keep_the_first_sample(cwa_path: MakeRecording, offset: int) -> None:
    # Timestamps are truncated to whole microseconds; at these offsets that
    # puts the first sample just before the block's natural start in seconds.
    first = block_with_bounds(T, timestamp_offset=offset)
    start = block_bounds(first)[0]
    assert int(start * 1000000.0) / 1000000.0 < start
    path = cwa_path(sectors=[first, block_with_bounds(T + 1, timestamp_offset=offset)])
    full = read_times(path)
    assert read_times(path, velnora.seconds(0)) == full
    assert read_times(path, velnora.seconds(0, 0.005)) == full[:1]


# --- a malformed block -------------------------------------------------------


@pytest.mark.parametrize(
    "cut",
    [
        None,
        velnora.seconds(),
        velnora.seconds(0, 1),
        velnora.seconds(9),
        velnora.blocks(4, 6),  # holds it
        velnora.blocks(7),  # it is the nearest data block before the range
    ],
)
def test_malformed_block_fails_the_reads_that_meet_it(cwa_path: MakeRecording, cut: dict[str, Any] | None) -> None:
    assert read_error(cwa_path(sectors=with_malformed_block()), cut) == BAD_TIMESTAMP


@pytest.mark.parametrize("first, last", [(0, 5), (8, N)])
def test_blocks_cut_clear_of_a_malformed_block_reads(cwa_path: MakeRecording, first: int, last: int) -> None:
    sectors = with_malformed_block()
    prev_end = block_bounds(sectors[first - 1])[1] if first else None  # type: ignore[arg-type]
    times = read_times(cwa_path(sectors=sectors), velnora.blocks(first, last))
    assert times == flat(recording_times_us(sectors[first:last], prev_end))


def with_malformed_block() -> list[DataBlock | bytes]:
    """The jittered recording with an invalid timestamp at 5 and a zero sector at 6."""
    sectors = jittered(zero_at=(6,))
    sectors[5] = DataBlock(timestamp=0, sample_count=100)
    return sectors
