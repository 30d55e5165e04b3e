"""Data-block screening, observed through sampling_consistency_report: which
sectors are data blocks, which are skipped, and which end the call with which
message, in the order the checks are made."""

from __future__ import annotations

import pathlib
from typing import Any, Callable

import pytest
import velnora

from block_timing import last_sample_us, natural_bounds, rfc3339_us, to_us
from cwa_writer import (
    DEFAULT_BLOCK_UNIX_TIME,
    DataBlock,
    filler_sector,
    pack_datetime,
    steady_recording,
    unix_from_datetime,
)

MakeRecording = Callable[..., pathlib.Path]

OLD = "Old CWA format packets are not supported"
CAPACITY = "Sample count exceeds packet capacity"
TIMESTAMP = "Invalid block timestamp"


def report_of(cwa_path: MakeRecording, sectors: list[DataBlock | bytes]) -> dict[str, Any]:
    return velnora.sampling_consistency_report(str(cwa_path(sectors=sectors)))


def report_error(cwa_path: MakeRecording, sectors: list[DataBlock | bytes]) -> str:
    with pytest.raises(RuntimeError) as caught:
        report_of(cwa_path, sectors)
    return str(caught.value)


def unsupported(axes: int, packing: int) -> str:
    return f"Unsupported sample format: {axes} axes, packing {packing}"


MALFORMED: list[tuple[str, dict[str, int], str]] = [
    # The rate check comes before the format, capacity and timestamp checks.
    ("rate-first", dict(rate_code=0, sample_format=0x60, timestamp=0), OLD),
    ("rate-before-capacity", dict(rate_code=0, sample_count=500), OLD),
    ("0x60", dict(sample_format=0x60), unsupported(6, 0)),
    ("0x90", dict(sample_format=0x90), unsupported(9, 0)),
    ("0x31", dict(sample_format=0x31), unsupported(3, 1)),
    ("0x41", dict(sample_format=0x41), unsupported(4, 1)),
    ("0xFF", dict(sample_format=0xFF), unsupported(15, 15)),
    ("0x00", dict(sample_format=0x00), unsupported(0, 0)),
    # The format decides before the capacity, the capacity before the timestamp.
    ("format-first", dict(sample_format=0x31, sample_count=500, timestamp=0), unsupported(3, 1)),
    ("capacity-before-time", dict(sample_format=0x30, sample_count=121, timestamp=0), CAPACITY),
    ("packed-121", dict(sample_format=0x30, sample_count=121), CAPACITY),
    ("unpacked3-81", dict(sample_format=0x32, sample_count=81), CAPACITY),
    ("axis6-41", dict(sample_format=0x62, sample_count=41), CAPACITY),
    ("axis9-27", dict(sample_format=0x92, sample_count=27), CAPACITY),
    ("count-65535", dict(sample_format=0x92, sample_count=0xFFFF), CAPACITY),
    ("time-zero", dict(timestamp=0), TIMESTAMP),
    ("time-all-ones", dict(timestamp=0xFFFFFFFF), TIMESTAMP),
    ("april-31", dict(timestamp=pack_datetime(2023, 4, 31)), TIMESTAMP),
    ("feb-29-2023", dict(timestamp=pack_datetime(2023, 2, 29)), TIMESTAMP),
    ("month-0", dict(timestamp=pack_datetime(2023, 0, 1)), TIMESTAMP),
    ("month-13", dict(timestamp=pack_datetime(2023, 13, 1)), TIMESTAMP),
    ("day-0", dict(timestamp=pack_datetime(2023, 5, 0)), TIMESTAMP),
    ("hour-24", dict(timestamp=pack_datetime(2023, 5, 1, 24)), TIMESTAMP),
    ("minute-60", dict(timestamp=pack_datetime(2023, 5, 1, 0, 60)), TIMESTAMP),
    ("second-60", dict(timestamp=pack_datetime(2023, 5, 1, 0, 0, 60)), TIMESTAMP),
]


@pytest.mark.parametrize(
    "fields, message", [pytest.param(fields, message, id=name) for name, fields, message in MALFORMED]
)
def test_malformed_block(cwa_path: MakeRecording, fields: dict[str, int], message: str) -> None:
    values: dict[str, int] = {"sample_count": 1}
    values.update(fields)
    assert report_error(cwa_path, [DataBlock(**values)]) == message  # type: ignore[arg-type]


def one_block_values(unix_s: int, offset: int, count: int, rate_code: int) -> tuple[str, str]:
    """start_from_data and end_from_data of a file holding this block alone."""
    start, end = natural_bounds(unix_s, offset, count, rate_code)
    return rfc3339_us(to_us(start)), rfc3339_us(last_sample_us(start, end, count))


@pytest.mark.parametrize(
    "fields",
    [
        pytest.param(dict(sample_format=0x30, sample_count=120), id="packed-120"),
        pytest.param(dict(sample_format=0x32, sample_count=80), id="unpacked3-80"),
        pytest.param(dict(sample_format=0x62, sample_count=40), id="axis6-40"),
        pytest.param(dict(sample_format=0x92, sample_count=26), id="axis9-26"),
        pytest.param(dict(sample_format=0x30, sample_count=1), id="one-sample"),
        pytest.param(dict(timestamp=pack_datetime(2024, 2, 29, 23, 59, 59)), id="leap-day"),
        pytest.param(dict(timestamp=pack_datetime(2063, 12, 31, 23, 59, 59)), id="last-year"),
        # Only the low nibble of the rate code counts, for the screening too.
        pytest.param(dict(rate_code=0xF0), id="rate-nibble-0"),
        pytest.param(dict(rate_code=0x0F), id="rate-3200"),
        # Length, checksum, ids, fractional time and sensor fields are not screened.
        pytest.param(
            dict(packet_length=0, checksum=0xFFFF, session_id=0xFFFFFFFF, light=0xFFFF, events=0xFF),
            id="unchecked-fields",
        ),
    ],
)
def test_accepted_block(cwa_path: MakeRecording, fields: dict[str, int]) -> None:
    values: dict[str, int] = {"sample_count": 120, "timestamp_offset": 37}
    values.update(fields)
    block = DataBlock(**values)  # type: ignore[arg-type]
    unix_s = unix_from_datetime(block.timestamp)
    expected = one_block_values(unix_s, 37, values["sample_count"], block.rate_code)
    report = report_of(cwa_path, [block])
    assert (report["start_from_data"], report["end_from_data"]) == expected


@pytest.mark.parametrize(
    "sector",
    [
        pytest.param(filler_sector(0x00), id="zeros"),
        pytest.param(filler_sector(0xFF), id="ones"),
        pytest.param(filler_sector(0x41), id="letter-A"),
        pytest.param(b"XA" + DataBlock(sample_count=120).to_bytes()[2:], id="reversed-marker"),
        pytest.param(b"ax" + DataBlock(sample_count=120).to_bytes()[2:], id="lowercase-marker"),
        # A zero count ends the screening before any field could be malformed.
        pytest.param(
            DataBlock(sample_count=0, rate_code=0, sample_format=0xFF, timestamp=0xFFFFFFFF),
            id="count-0-garbage",
        ),
        pytest.param(DataBlock(sample_count=0, sample_data=bytes(range(240)) * 2), id="count-0-data"),
    ],
)
def test_non_data_sector_is_skipped(cwa_path: MakeRecording, sector: DataBlock | bytes) -> None:
    assert report_of(cwa_path, [sector])["start_from_data"] is None
    block = DataBlock(sample_count=120, timestamp_offset=37)
    alone = report_of(cwa_path, [block])
    assert report_of(cwa_path, [sector, block, sector]) == alone
    assert alone["start_from_data"] == "2020-09-13T12:26:39.630+00:00"


def test_malformed_block_far_into_file(cwa_path: MakeRecording) -> None:
    good = steady_recording(DEFAULT_BLOCK_UNIX_TIME, 3000)
    bad = DataBlock(sample_count=1, rate_code=0)
    assert report_error(cwa_path, [*good, bad, *good[:3]]) == OLD
    bad = DataBlock(sample_count=1, timestamp=0)
    assert report_error(cwa_path, [*good[:2500], bad, *good[2500:]]) == TIMESTAMP
