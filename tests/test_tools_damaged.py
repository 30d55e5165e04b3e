"""velnora_tools.read_skipping_damaged and report_skipping_damaged: every good
block of a recording with damaged data blocks, and the damage listed."""

from __future__ import annotations

import dataclasses
import importlib.util
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
from typing import Any

import numpy as np
import pytest

import velnora
from block_timing import last_sample_us, rfc3339_us, to_us
from csv_text import expected_rows
from cwa_writer import (
    FORMAT_AXIS6,
    FORMAT_AXIS9,
    FORMAT_PACKED,
    FORMAT_UNPACKED3,
    DataBlock,
    MetadataBlock,
    filler_sector,
    pack_datetime,
    steady_recording,
    write_cwa,
)
from sample_times import block_bounds, block_times_us, is_data_block

if importlib.util.find_spec("velnora_tools") is None:  # a build tree, not an install
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))

from velnora_tools import _native  # noqa: E402
from velnora_tools import (  # noqa: E402
    DamagedBlock,
    read_skipping_damaged,
    report_skipping_damaged,
    write_csv_skipping_damaged,
)

START = 1_600_000_000
OLD = "Old CWA format packets are not supported"
CAPACITY = "Sample count exceeds packet capacity"
TIMESTAMP = "Invalid block timestamp"
FORMAT_41 = "Unsupported sample format: 4 axes, packing 1"
SAMPLES_PER_BLOCK = {FORMAT_PACKED: 100, FORMAT_UNPACKED3: 80, FORMAT_AXIS6: 40, FORMAT_AXIS9: 26}
# Starts moved by a few sample periods, so that the continuity correction moves most blocks.
WOBBLE = (0, 2, -3, 1)


def sectors_of(sample_format: int = FORMAT_PACKED) -> list[DataBlock | bytes]:
    """14 sectors: six wobbling blocks, a filler sector after the third, then,
    100 s later, seven more."""
    n = SAMPLES_PER_BLOCK[sample_format]
    blocks = steady_recording(START, 6, samples_per_block=n, sample_format=sample_format)
    blocks += steady_recording(START + 100, 7, samples_per_block=n, sample_format=sample_format)
    for i, block in enumerate(blocks):
        block.timestamp_offset += WOBBLE[i % 4]
    return [*blocks[:3], filler_sector(), *blocks[3:]]


def record(path: pathlib.Path, sectors: list[DataBlock | bytes]) -> pathlib.Path:
    return write_cwa(path, MetadataBlock(device_id=3, rate_code=0x4A), sectors)


def assert_same_columns(data: dict[str, np.ndarray], expected: dict[str, np.ndarray]) -> None:
    assert list(data) == list(expected)
    for name, column in expected.items():
        assert data[name].dtype == column.dtype and data[name].tobytes() == column.tobytes(), name


def damage(sectors: list[DataBlock | bytes], faults: dict[int, dict[str, int]]) -> list[DataBlock | bytes]:
    """The sectors with those at the faults' positions given the faults' fields."""
    return [
        dataclasses.replace(s, **faults[i]) if i in faults else s  # type: ignore[type-var]
        for i, s in enumerate(sectors)
    ]


def timed_blocks(sectors: list[DataBlock | bytes], damaged: set[int]) -> list[tuple[float, float, int]]:
    """(start, end, count) of each good block as the read past damage times it:
    corrected against the good block before, unless damage lies in between."""
    timed: list[tuple[float, float, int]] = []
    previous_end: float | None = None
    for position, sector in enumerate(sectors):
        if position in damaged:
            previous_end = None
        elif is_data_block(sector):
            assert isinstance(sector, DataBlock)
            start, end = block_bounds(sector)
            if previous_end is not None and start - previous_end < 1.0:
                start = previous_end
            timed.append((start, end, sector.resolved_sample_count()))
            previous_end = end
    return timed


@pytest.mark.parametrize(
    "sample_format",
    [FORMAT_PACKED, FORMAT_UNPACKED3, FORMAT_AXIS6, FORMAT_AXIS9],
    ids=["packed", "unpacked3", "axis6", "axis9"],
)
@pytest.mark.parametrize(
    "options",
    [
        {},
        {"cut": velnora.blocks(4, 11), "include_magnetometer": False},
        {"cut": velnora.seconds(2.5, 103.7), "include_light": False},
        {"resample_hz": 37.0},
        {"cut": velnora.seconds(1.25, 104), "resample_hz": 50.0, "include_battery": False},
    ],
    ids=["whole", "blocks", "seconds", "resampled", "seconds-resampled"],
)
def test_undamaged_recording_reads_as_velnora(
    tmp_path: pathlib.Path, sample_format: int, options: dict[str, Any]
) -> None:
    path = record(tmp_path / "rec.cwa", sectors_of(sample_format))
    data, damaged = read_skipping_damaged(path, **options)
    assert damaged == []
    assert_same_columns(data, velnora.read_cwa_file(str(path), **options))
    assert report_skipping_damaged(path) == (velnora.sampling_consistency_report(str(path)), [])
    assert write_csv_skipping_damaged(path, tmp_path / "past.csv", **options) == []
    velnora.write_cwa_csv(str(path), str(tmp_path / "plain.csv"), **options)
    assert (tmp_path / "past.csv").read_bytes() == (tmp_path / "plain.csv").read_bytes()


LAYOUTS = {
    "start": {0: dict(rate_code=0)},
    "middle": {5: dict(sample_format=0x41)},
    "before-filler": {2: dict(timestamp=0)},
    "two-in-a-row": {8: dict(sample_count=121), 9: dict(timestamp=pack_datetime(2023, 13, 1))},
    "end": {13: dict(timestamp=0)},
    "apart": {1: dict(rate_code=0), 10: dict(sample_count=121)},
}
MESSAGES = {"rate_code": OLD, "sample_format": FORMAT_41, "sample_count": CAPACITY, "timestamp": TIMESTAMP}
# The samples a damaged block is counted as holding: the 100 its header
# states, or the 120 packed samples a block fits when it states more.
HELD = {"rate_code": 100, "sample_format": 100, "sample_count": 120, "timestamp": 100}


@pytest.mark.parametrize("faults", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_every_good_block_is_read(tmp_path: pathlib.Path, faults: dict[int, dict[str, int]]) -> None:
    sound = sectors_of()
    sectors = damage(sound, faults)
    path = record(tmp_path / "damaged.cwa", sectors)
    kinds = {i: next(iter(faults[i])) for i in sorted(faults)}
    expected_damage = [DamagedBlock(i, MESSAGES[kind], False, HELD[kind]) for i, kind in kinds.items()]

    data, damaged = read_skipping_damaged(path)
    assert damaged == expected_damage and all(type(d) is DamagedBlock for d in damaged)
    timed = timed_blocks(sectors, set(faults))
    assert data["timestamp"].tolist() == [t for start, end, n in timed for t in block_times_us(start, end, n, None)]
    # The values are those of the good blocks in a read of the undamaged recording.
    whole = velnora.read_cwa_file(str(record(tmp_path / "sound.cwa", sound)))
    good = np.repeat([i not in faults for i, s in enumerate(sound) if is_data_block(s)], 100)
    for name in ("acc_x", "acc_z", "light", "battery"):
        assert data[name].tobytes() == whole[name][good].tobytes(), name

    flags = dict.fromkeys(("include_temperature", "include_light", "include_battery"), True)
    assert write_csv_skipping_damaged(path, tmp_path / "past.csv", **flags) == expected_damage
    assert (tmp_path / "past.csv").read_text().split("\n")[1:-1] == expected_rows(data)

    report, listed = report_skipping_damaged(path)
    assert listed == expected_damage
    assert report["start_from_data"] == rfc3339_us(to_us(timed[0][0]))
    assert report["end_from_data"] == rfc3339_us(last_sample_us(*timed[-1]))


@pytest.mark.parametrize(
    "cut, outside",
    [(velnora.blocks(6, 8), True), (velnora.blocks(4, 7), False), (velnora.seconds(3.5, 6), False)],
    ids=["from-the-block-after", "across", "seconds-across"],
)
def test_block_after_damage_keeps_its_natural_start(tmp_path: pathlib.Path, cut: Any, outside: bool) -> None:
    """Block 6 starts 0.99 s after block 4 ended: joined to it across the
    damaged block 5, its samples would be spread over 1.99 s instead of 1 s.
    Block 5 is listed, outside the range where the cut starts at block 6,
    since the plain read fails there looking for the block before."""
    sectors = damage(sectors_of(), LAYOUTS["middle"])
    start, end = block_bounds(sectors[6])  # type: ignore[arg-type]
    assert 0 < start - block_bounds(sectors[4])[1] < 1.0  # type: ignore[arg-type]
    natural = block_times_us(start, end, 100, None)
    path = record(tmp_path / "rec.cwa", sectors)
    data, damaged = read_skipping_damaged(path, cut=cut)
    assert damaged == [DamagedBlock(5, FORMAT_41, outside, 100)]
    assert write_csv_skipping_damaged(path, tmp_path / "out.csv", cut=cut) == damaged
    with pytest.raises(RuntimeError, match=f"^{FORMAT_41}$"):
        velnora.read_cwa_file(str(path), cut=cut)
    # The companion's own reads say which block failed them.
    with pytest.raises(_native.DamagedBlockError, match=f"^{FORMAT_41}$") as caught:
        _native.read_for_export(str(path), cut=cut)
    assert (caught.value.block, caught.value.message) == (5, FORMAT_41)
    times = data["timestamp"].tolist()
    first = times.index(natural[0])
    assert times[first : first + 100] == natural


@pytest.mark.parametrize("layout", ["start", "two-in-a-row", "end", "apart"])
@pytest.mark.parametrize(
    "options, covered",
    [
        ({}, range(14)),
        ({"resample_hz": 37.0}, range(14)),
        # Block 0 before the cut is looked at for the timing of block 1.
        ({"cut": velnora.blocks(1, 12)}, range(12)),
        # The scan that places the window goes through every block.
        ({"cut": velnora.seconds(1.25, 104), "resample_hz": 50.0}, range(14)),
    ],
    ids=["whole", "resampled", "blocks", "seconds-resampled"],
)
def test_damage_after_a_pause_reads_as_filler(
    tmp_path: pathlib.Path, layout: str, options: dict[str, Any], covered: range
) -> None:
    """Where the good block after the damage starts a second or more after the
    good block before it ended, it keeps its natural start whether the damage is
    passed over or is filler; so the read equals velnora's of the recording
    with filler in place of the damage, resampled and cut alike."""
    faults = LAYOUTS[layout]
    sectors = sectors_of()
    path = record(tmp_path / "damaged.cwa", damage(sectors, faults))
    filled = record(tmp_path / "filled.cwa", [filler_sector() if i in faults else s for i, s in enumerate(sectors)])
    data, damaged = read_skipping_damaged(path, **options)
    assert_same_columns(data, velnora.read_cwa_file(str(filled), **options))
    listed = [d.block for d in damaged]
    assert listed == [i for i in sorted(faults) if i in covered]
    report, in_file = report_skipping_damaged(path)
    assert report == velnora.sampling_consistency_report(str(filled)) and [d.block for d in in_file] == sorted(faults)


@pytest.mark.parametrize(
    "metadata",
    [MetadataBlock(packet_header=b"XY"), MetadataBlock(packet_header=b"\xff\xfe"), b"MD" + bytes(1000)],
    ids=["not-metadata", "not-text", "short"],
)
def test_damaged_metadata_fails_as_velnora(tmp_path: pathlib.Path, metadata: MetadataBlock | bytes) -> None:
    path = write_cwa(tmp_path / "rec.cwa", metadata, damage(sectors_of(), LAYOUTS["middle"]))
    for ours, theirs in (
        (read_skipping_damaged, velnora.read_cwa_file),
        (report_skipping_damaged, velnora.sampling_consistency_report),
    ):
        with pytest.raises(RuntimeError) as expected:
            theirs(str(path))
        with pytest.raises(RuntimeError) as caught:
            ours(path)  # type: ignore[operator]
        assert str(caught.value) == str(expected.value) != FORMAT_41


def test_every_block_damaged(tmp_path: pathlib.Path) -> None:
    sectors = [DataBlock(sample_count=1, rate_code=0), filler_sector(), DataBlock(sample_count=1, timestamp=0)]
    path = record(tmp_path / "rec.cwa", sectors)
    with pytest.raises(RuntimeError, match="^No valid sample data found in the specified range$"):
        read_skipping_damaged(path)
    report, damaged = report_skipping_damaged(path)
    assert damaged == [DamagedBlock(0, OLD, False, 1), DamagedBlock(2, TIMESTAMP, False, 1)] and report["start_from_data"] is None


def test_readme_example_runs(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    root = pathlib.Path(__file__).resolve().parent.parent
    section = (root / "README.md").read_text().split("## Damaged recordings\n", 1)[1].split("\n## ", 1)[0]
    (block,) = re.findall(r"```python\n(.*?)```", section, re.DOTALL)
    (tmp_path / "examples").mkdir()
    shutil.copy(root / "examples" / "sample.cwa", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    scope: dict[str, Any] = {}
    exec(compile(block, "README.md", "exec"), scope)
    expected = velnora.read_cwa_file("examples/sample.cwa", cut=velnora.blocks(10, 20))
    assert scope["damaged"] == [] and "light" not in scope["data"]
    assert_same_columns(scope["window"], expected)


ON_ONE_THREAD = r"""
import json, sys, numpy
from velnora_tools import read_skipping_damaged
data, damaged = read_skipping_damaged(sys.argv[1], resample_hz=250.0)
numpy.savez(sys.argv[2], **data)
print(json.dumps([[d.block, d.message] for d in damaged]))
"""


def test_long_damaged_runs_give_the_rows_of_one_thread(tmp_path: pathlib.Path) -> None:
    """A long resampled read past damage splits its range at the middle
    (position 2200, damaged here) where it may, each half listing what it
    passes over; with VELNORA_THREADS=1 it stays on one thread. The rows and
    the list are the same either way."""
    faults = {700: dict(sample_format=0x41), 2200: dict(timestamp=0), 3500: dict(rate_code=0)}
    path = record(tmp_path / "long.cwa", damage(steady_recording(START, 4400), faults))
    saved = tmp_path / "one_thread.npz"
    env = dict(os.environ, VELNORA_THREADS="1")
    child = subprocess.run(
        [sys.executable, "-c", ON_ONE_THREAD, str(path), str(saved)], env=env, check=True, capture_output=True
    )
    data, damaged = read_skipping_damaged(path, resample_hz=250.0)
    assert [[d.block, d.message] for d in damaged] == json.loads(child.stdout)
    assert [d.block for d in damaged] == sorted(faults)
    assert_same_columns(data, dict(np.load(saved)))
