"""velnora_tools._native.block_positions and read_timestamps: a recording's
timing scanned in chunks of blocks, without the package knowing the format."""

from __future__ import annotations

import dataclasses
import pathlib
import re
from typing import Any

import numpy as np
import pytest

import velnora
from cwa_writer import DataBlock, MetadataBlock, filler_sector, steady_recording, write_cwa
from velnora_tools import _native


NO_CHANNELS = dict.fromkeys(("include_magnetometer", "include_temperature", "include_light", "include_battery"), False)


def recording(path: pathlib.Path, damaged_at: int | None = None) -> pathlib.Path:
    """Five blocks, three filler sectors, four blocks 100 s later; with
    `damaged_at`, the sector there has a sample count beyond its capacity."""
    sectors: list[DataBlock | bytes] = [
        *steady_recording(1_600_000_000, 5, samples_per_block=100),
        *[filler_sector()] * 3,
        *steady_recording(1_600_000_100, 4, samples_per_block=100),
    ]
    if damaged_at is not None:
        sectors[damaged_at] = dataclasses.replace(sectors[damaged_at], sample_count=121)
    return write_cwa(path, MetadataBlock(rate_code=0x4A), sectors)


def plain_read(path: pathlib.Path, start: int | None, end: int | None, skip_damaged: bool) -> Any:
    cut = velnora.blocks(start, end)
    if skip_damaged:
        return _native.read_skipping_damaged(str(path), cut=cut, **NO_CHANNELS)[0]
    return velnora.read_cwa_file(str(path), cut=cut, **NO_CHANNELS)


@pytest.mark.parametrize("size, positions", [(0, 0), (1023, 0), (1024, 0), (1024 + 511, 0), (1024 + 3 * 512 + 7, 3)])
def test_block_positions_count_whole_sectors(tmp_path: pathlib.Path, size: int, positions: int) -> None:
    path = tmp_path / "rec.cwa"
    path.write_bytes(bytes(size))
    assert _native.block_positions(str(path)) == positions


@pytest.mark.parametrize("damaged_at", [None, 2])
@pytest.mark.parametrize("start, end", [(0, 5), (3, 7), (None, 12), (6, None), (2, 10)])
def test_timestamps_are_those_of_the_read(
    tmp_path: pathlib.Path, damaged_at: int | None, start: int | None, end: int | None
) -> None:
    path = recording(tmp_path / "rec.cwa", damaged_at)
    skip = damaged_at is not None
    timestamps = _native.read_timestamps(str(path), start, end, skip)
    expected = plain_read(path, start, end, skip)["timestamp"]
    assert timestamps is not None and timestamps.dtype == np.int64
    assert timestamps.tobytes() == expected.tobytes()


@pytest.mark.parametrize("skip_damaged", [False, True])
def test_a_range_of_filler_has_no_timestamps(tmp_path: pathlib.Path, skip_damaged: bool) -> None:
    path = recording(tmp_path / "rec.cwa")
    assert _native.read_timestamps(str(path), 5, 8, skip_damaged) is None


@pytest.mark.parametrize(
    "arguments",
    [(0, 12, False), (13, None, False), (4, 4, False), (7, 3, True)],
    ids=["damaged", "beyond-the-file", "empty-range", "reversed"],
)
def test_other_failures_raise_as_the_read(tmp_path: pathlib.Path, arguments: tuple[Any, ...]) -> None:
    path = recording(tmp_path / "rec.cwa", damaged_at=2)
    start, end, skip = arguments
    with pytest.raises(Exception) as expected:
        plain_read(path, start, end, skip)
    with pytest.raises(type(expected.value), match=f"^{re.escape(str(expected.value))}$"):
        _native.read_timestamps(str(path), start, end, skip)


def test_a_missing_file_raises_as_read_header(tmp_path: pathlib.Path) -> None:
    missing = str(tmp_path / "missing.cwa")
    with pytest.raises(RuntimeError) as expected:
        velnora.read_header(missing)
    for call in (_native.block_positions, lambda path: _native.read_timestamps(path, 0, 1, False)):
        with pytest.raises(RuntimeError, match=f"^{re.escape(str(expected.value))}$"):
            call(missing)
