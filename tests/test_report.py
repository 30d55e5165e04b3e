"""sampling_consistency_report: header values, block timing with the
continuity correction, the buffered scan and its failures."""

from __future__ import annotations

import os
import pathlib
from typing import Any, Callable

import pytest
import velnora

from block_timing import last_sample_us, natural_bounds, rfc3339_us, to_us
from cwa_writer import (
    DataBlock,
    MetadataBlock,
    block_with_bounds,
    datetime_from_unix,
    filler_sector,
    pack_datetime,
    steady_recording,
)

MakeRecording = Callable[..., pathlib.Path]

S0 = 1600000000  # 2020-09-13T12:26:40Z
SECTORS_PER_BUFFER = 2048
EOF_ERROR = "IO error: failed to fill whole buffer"

KEY_TYPES: list[tuple[str, type]] = [
    ("start_from_header", str),
    ("end_from_header", str),
    ("duration_s_from_header", float),
    ("start_from_data", str),
    ("end_from_data", str),
    ("duration_s_from_data", float),
    ("samplingrate_hz_from_header", float),
    ("samplingrate_hz_from_data", float),
]


def report_of(
    cwa_path: MakeRecording,
    sectors: list[DataBlock | bytes] | tuple[()] = (),
    metadata: MetadataBlock | bytes | None = None,
    trailing: bytes = b"",
) -> dict[str, Any]:
    path = cwa_path(metadata=metadata, sectors=sectors, trailing=trailing)
    return velnora.sampling_consistency_report(str(path))


def report_error(
    cwa_path: MakeRecording, sectors: list[DataBlock | bytes], trailing: bytes = b""
) -> str:
    with pytest.raises(RuntimeError) as caught:
        report_of(cwa_path, sectors, trailing=trailing)
    return str(caught.value)


def data_values(first_us: int, last_us: int, samples: int) -> dict[str, Any]:
    """The four data entries for the given first and last sample times."""
    duration = (last_us - first_us) / 1000000.0
    return {
        "start_from_data": rfc3339_us(first_us),
        "end_from_data": rfc3339_us(last_us),
        "duration_s_from_data": duration,
        "samplingrate_hz_from_data": (samples - 1) / duration if samples >= 2 and duration > 0 else None,
    }


def data_part(report: dict[str, Any]) -> dict[str, Any]:
    return {key: report[key] for key in data_values(0, 0, 1)}


# --- keys, types, header values ---------------------------------------------


def test_keys_in_order_with_types(cwa_path: MakeRecording) -> None:
    metadata = MetadataBlock(
        logging_start_time=datetime_from_unix(S0), logging_end_time=datetime_from_unix(S0 + 3600)
    )
    report = report_of(cwa_path, steady_recording(S0, 3), metadata)
    assert [key for key, _ in KEY_TYPES] == list(report)
    # Every entry is present here; test_file_without_data_blocks has the Nones.
    for key, kind in KEY_TYPES:
        assert type(report[key]) is kind, key


def test_file_without_data_blocks(cwa_path: MakeRecording) -> None:
    metadata = MetadataBlock(
        logging_start_time=pack_datetime(2023, 5, 1, 12, 34, 56),
        logging_end_time=pack_datetime(2023, 5, 2, 12, 34, 56),
        rate_code=0xCF,
    )
    path = cwa_path(metadata=metadata)
    assert path.stat().st_size == 1024
    assert velnora.sampling_consistency_report(str(path)) == {
        "start_from_header": "2023-05-01T12:34:56+00:00",
        "end_from_header": "2023-05-02T12:34:56+00:00",
        "duration_s_from_header": 86400.0,
        "start_from_data": None,
        "end_from_data": None,
        "duration_s_from_data": None,
        "samplingrate_hz_from_header": 3200.0,
        "samplingrate_hz_from_data": None,
    }


MAY_1 = pack_datetime(2023, 5, 1, 12)
MAY_1_TEXT = "2023-05-01T12:00:00+00:00"


@pytest.mark.parametrize(
    "start, end, texts, duration",
    [
        (MAY_1, pack_datetime(2023, 5, 1, 10, 59, 59), (MAY_1_TEXT, "2023-05-01T10:59:59+00:00"), -3601.0),
        (MAY_1, 0, (MAY_1_TEXT, None), None),
        (pack_datetime(2023, 13, 1), MAY_1, (None, MAY_1_TEXT), None),
    ],
    ids=["end-first", "end-unset", "start-invalid"],
)
def test_header_values(
    cwa_path: MakeRecording, start: int, end: int, texts: tuple[str | None, ...], duration: float | None
) -> None:
    report = report_of(cwa_path, metadata=MetadataBlock(logging_start_time=start, logging_end_time=end))
    assert (report["start_from_header"], report["end_from_header"]) == texts
    assert report["duration_s_from_header"] == duration


# --- block timing -----------------------------------------------------------


def test_worked_example(cwa_path: MakeRecording) -> None:
    start, end = natural_bounds(S0, 37, 120, 0x4A)
    assert (start, end) == (1599999999.63, 1600000000.8300002)
    last = last_sample_us(start, end, 120)
    report = report_of(cwa_path, [block_with_bounds(S0, timestamp_offset=37)])
    assert report["start_from_data"] == "2020-09-13T12:26:39.630+00:00"
    assert data_part(report) == data_values(1599999999630000, last, 120)
    assert report["samplingrate_hz_from_data"] == pytest.approx(100.0, rel=1e-6)


# At 2**31 s (2038-01-19T03:14:08Z) a whole second back crosses a power of
# two, so adding the fraction before the whole seconds would round differently.
@pytest.mark.parametrize("unix_s", [S0, 2**31])
@pytest.mark.parametrize("rate_code", [0x4A, 0xFA, 0x0F, 0x4C, 0x46, 0x41, 0x40])
@pytest.mark.parametrize("offset", [-32768, -12345, -101, -1, 0, 1, 7, 37, 99, 100, 4321, 32767])
@pytest.mark.parametrize("count", [1, 120])
def test_natural_bounds_bit_exact(
    cwa_path: MakeRecording, unix_s: int, rate_code: int, offset: int, count: int
) -> None:
    start, end = natural_bounds(unix_s, offset, count, rate_code)
    report = report_of(cwa_path, [block_with_bounds(unix_s, count, rate_code, offset)])
    assert data_part(report) == data_values(to_us(start), last_sample_us(start, end, count), count)


def test_single_sample(cwa_path: MakeRecording) -> None:
    report = report_of(cwa_path, [block_with_bounds(S0, sample_count=1)])
    assert data_part(report) == {
        "start_from_data": "2020-09-13T12:26:40+00:00",
        "end_from_data": "2020-09-13T12:26:40+00:00",
        "duration_s_from_data": 0.0,
        "samplingrate_hz_from_data": None,
    }


def test_sample_counts_add_up_across_formats(cwa_path: MakeRecording) -> None:
    blocks = [
        DataBlock(timestamp=datetime_from_unix(S0 + 2 * i), sample_format=fmt, sample_count=n)
        for i, (fmt, n) in enumerate([(0x30, 120), (0x32, 80), (0x62, 40), (0x92, 26)])
    ]
    # The last block starts 1.6 s after the 40-sample block before it ends,
    # so it keeps its natural start.
    start, end = natural_bounds(S0 + 6, 0, 26, 0x4A)
    report = report_of(cwa_path, blocks)
    assert data_part(report) == data_values(S0 * 1000000, last_sample_us(start, end, 26), 266)


# --- continuity correction --------------------------------------------------

# Block A holds 100 samples at 100 Hz from S0, so its natural end is S0 + 1.0
# exactly. Block B is stamped S0 + 2; its offset sets the gap to A's end.


@pytest.mark.parametrize(
    "rate_code, offset, corrected",
    [
        pytest.param(0x4A, 0, False, id="gap-1.0"),
        pytest.param(0x4A, -50, False, id="gap-1.5"),
        pytest.param(0x4A, -3000, False, id="gap-31"),
        pytest.param(0x4A, 1, True, id="gap-0.99"),
        pytest.param(0x4F, 3, True, id="gap-0.99906"),
        pytest.param(0x4A, 100, True, id="gap-0"),
        pytest.param(0x4A, 150, True, id="overlap-0.5"),
        pytest.param(0x4A, 1000, True, id="overlap-9"),
    ],
)
def test_continuity_correction(
    cwa_path: MakeRecording, rate_code: int, offset: int, corrected: bool
) -> None:
    a = block_with_bounds(S0, sample_count=100)
    b = block_with_bounds(S0 + 2, 120, rate_code, offset)
    natural_start, end = natural_bounds(S0 + 2, offset, 120, rate_code)
    start = S0 + 1.0 if corrected else natural_start
    report = report_of(cwa_path, [a, b])
    assert data_part(report) == data_values(S0 * 1000000, last_sample_us(start, end, 120), 220)


def test_non_data_sectors_keep_the_previous_end(cwa_path: MakeRecording) -> None:
    a = block_with_bounds(S0, sample_count=100)
    b = block_with_bounds(S0 + 2, timestamp_offset=1)
    start, end = S0 + 1.0, natural_bounds(S0 + 2, 1, 120, 0x4A)[1]
    fillers = [filler_sector(0x00), filler_sector(0xFF), DataBlock(sample_count=0, rate_code=0)]
    report = report_of(cwa_path, [a, *fillers, b, *fillers])
    assert data_part(report) == data_values(S0 * 1000000, last_sample_us(start, end, 120), 220)


def test_correction_is_against_the_natural_end(cwa_path: MakeRecording) -> None:
    # B overlaps A and is moved to A's end (S0 + 1.0); C is then compared with
    # B's natural end S0 + 1.5, not with where the moved B would end (S0 + 2.0).
    a = block_with_bounds(S0, sample_count=100)
    b = block_with_bounds(S0 + 1, sample_count=100, timestamp_offset=50)
    c = block_with_bounds(S0 + 2, sample_count=100, timestamp_offset=30)
    assert natural_bounds(S0 + 1, 50, 100, 0x4A) == (S0 + 0.5, S0 + 1.5)
    end = natural_bounds(S0 + 2, 30, 100, 0x4A)[1]
    report = report_of(cwa_path, [a, b, c])
    assert data_part(report) == data_values(S0 * 1000000, last_sample_us(S0 + 1.5, end, 100), 300)


def test_out_of_order_blocks_report_file_order(cwa_path: MakeRecording) -> None:
    # The earlier block comes last; being before A's end it is corrected onto
    # A's end, so its span runs backwards and the duration is negative.
    a = block_with_bounds(S0 + 100)
    b = block_with_bounds(S0)
    a_end = natural_bounds(S0 + 100, 0, 120, 0x4A)[1]
    b_end = natural_bounds(S0, 0, 120, 0x4A)[1]
    last = last_sample_us(a_end, b_end, 120)
    report = report_of(cwa_path, [a, b])
    assert data_part(report) == data_values((S0 + 100) * 1000000, last, 240)
    assert report["duration_s_from_data"] < 0
    assert report["samplingrate_hz_from_data"] is None


# --- the buffered scan --------------------------------------------------------


# With 3 data blocks the file holds leading + 3 sectors: B and C straddle a
# refill, or the file ends exactly at the end of the first or second buffer.
@pytest.mark.parametrize(
    "leading",
    [SECTORS_PER_BUFFER - 3, SECTORS_PER_BUFFER - 2, SECTORS_PER_BUFFER - 1, 2 * SECTORS_PER_BUFFER - 3],
)
def test_blocks_around_buffer_boundaries(cwa_path: MakeRecording, leading: int) -> None:
    a = block_with_bounds(S0)
    b = block_with_bounds(S0 + 10)
    c = block_with_bounds(S0 + 20, sample_count=50)
    sectors = [a, *[filler_sector(0)] * leading, b, c]
    end = natural_bounds(S0 + 20, 0, 50, 0x4A)[1]
    report = report_of(cwa_path, sectors)
    assert data_part(report) == data_values(S0 * 1000000, last_sample_us(S0 + 20, end, 50), 290)


@pytest.mark.parametrize(
    "sectors", [0, 1, SECTORS_PER_BUFFER - 1, SECTORS_PER_BUFFER, SECTORS_PER_BUFFER + 3]
)
@pytest.mark.parametrize("stray", [b"\x00", b"\x00" * 100, block_with_bounds(S0).to_bytes()[:511]])
def test_stray_trailing_bytes(cwa_path: MakeRecording, sectors: int, stray: bytes) -> None:
    blocks = steady_recording(S0, sectors) if sectors < 10 else [filler_sector(0)] * sectors
    assert report_error(cwa_path, blocks, trailing=stray) == EOF_ERROR


# --- failures and file handles ----------------------------------------------


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize(
    "content, message",
    [
        pytest.param(b"", EOF_ERROR, id="empty"),
        pytest.param(MetadataBlock().to_bytes()[:1023], EOF_ERROR, id="1023-bytes"),
        pytest.param(
            MetadataBlock(packet_header=b"AX").to_bytes(), "First block is not a metadata block", id="AX"
        ),
        pytest.param(
            MetadataBlock(packet_header=b"\xff\xff").to_bytes(),
            "Invalid packet header format",
            id="not-utf8",
        ),
        pytest.param(MetadataBlock().to_bytes() + b"\x00" * 100, EOF_ERROR, id="stray-bytes"),
        pytest.param(
            MetadataBlock().to_bytes() + DataBlock(sample_count=1, rate_code=0).to_bytes(),
            "Old CWA format packets are not supported",
            id="malformed-block",
        ),
    ],
)
def test_failures_close_the_file(tmp_path: pathlib.Path, content: bytes, message: str) -> None:
    path = tmp_path / "rec.cwa"
    path.write_bytes(content)
    before = open_descriptors()
    for _ in range(3):
        with pytest.raises(RuntimeError) as caught:
            velnora.sampling_consistency_report(str(path))
        assert str(caught.value) == message
    assert open_descriptors() == before


def test_success_closes_the_file(cwa_path: MakeRecording) -> None:
    path = str(cwa_path(sectors=steady_recording(S0, 5)))
    before = open_descriptors()
    for _ in range(3):
        velnora.sampling_consistency_report(path)
    assert open_descriptors() == before
