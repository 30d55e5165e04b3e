"""velnora_tools._native.read_for_export: the samples, the header and the
sampling report of one call equal those of the separate calls."""

from __future__ import annotations

import dataclasses
import pathlib
import re
from typing import Any

import pytest

import velnora
from cwa_writer import DataBlock, MetadataBlock, filler_sector, steady_recording, write_cwa
from velnora_tools import _native


def recording(path: pathlib.Path, damaged_at: int | None = None) -> pathlib.Path:
    """Four blocks, a filler sector, three blocks 30 s later; with
    `damaged_at`, the sector there has a sample count beyond its capacity."""
    sectors: list[DataBlock | bytes] = [
        *steady_recording(1_600_000_000, 4, samples_per_block=100),
        filler_sector(),
        *steady_recording(1_600_000_030, 3, samples_per_block=100),
    ]
    for i, block in enumerate(sectors):
        if isinstance(block, DataBlock):
            block.timestamp_offset += (0, 2, -3, 1)[i % 4]
    if damaged_at is not None:
        sectors[damaged_at] = dataclasses.replace(sectors[damaged_at], sample_count=121)
    return write_cwa(path, MetadataBlock(device_id=7, rate_code=0x4A, session_id=12), sectors)


@pytest.mark.parametrize("damaged_at", [None, 2], ids=["sound", "damaged"])
@pytest.mark.parametrize(
    "options",
    [
        {},
        {"cut": velnora.blocks(1, 7), "include_light": False},
        {"cut": velnora.seconds(0.5, 31.5), "resample_hz": 37.0, "include_magnetometer": False},
    ],
    ids=["whole", "blocks", "seconds-resampled"],
)
def test_equals_the_separate_calls(tmp_path: pathlib.Path, damaged_at: int | None, options: dict[str, Any]) -> None:
    path = str(recording(tmp_path / "rec.cwa", damaged_at))
    skip = damaged_at is not None
    columns, header, report, damaged = _native.read_for_export(path, **options, skip_damaged=skip)
    if skip:
        expected, expected_damage = _native.read_skipping_damaged(path, **options)
        expected_report = _native.report_skipping_damaged(path)[0]
        assert damaged == expected_damage != []
    else:
        expected = velnora.read_cwa_file(path, **options)
        expected_report = velnora.sampling_consistency_report(path)
        assert damaged == []
    assert header == velnora.read_header(path)
    assert report == expected_report
    assert list(columns) == list(expected)
    for name, column in expected.items():
        assert columns[name].dtype == column.dtype and columns[name].tobytes() == column.tobytes(), name


def test_damage_without_skipping_fails_as_the_report(tmp_path: pathlib.Path) -> None:
    path = str(recording(tmp_path / "rec.cwa", damaged_at=2))
    with pytest.raises(RuntimeError) as expected:
        velnora.sampling_consistency_report(path)
    with pytest.raises(RuntimeError, match=f"^{re.escape(str(expected.value))}$"):
        _native.read_for_export(path)
