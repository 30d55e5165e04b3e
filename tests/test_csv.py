"""CSV export: the header for each set of include flags, the number text, the
streaming and windowed paths and what a failure leaves in the output file.
Every expected text is written out or derived from read_cwa_file's arrays."""

from __future__ import annotations

import os
import pathlib
import random
import subprocess
import sys
from typing import Callable

import pytest

import velnora
import velnora_tools
from csv_text import expected_rows
from cwa_writer import (
    FORMAT_AXIS6,
    FORMAT_AXIS9,
    FORMAT_PACKED,
    FORMAT_UNPACKED3,
    DataBlock,
    axis6_block,
    datetime_from_unix,
    encode_samples,
    filler_sector,
    packed_block,
    steady_recording,
    unpacked3_block,
)

MakeRecording = Callable[..., pathlib.Path]

T0 = 1700000000
BASE = "time,acc_x,acc_y,acc_z,gyro_x,gyro_y,gyro_z"
DEFAULT_HEADER = BASE + ",mag_x,mag_y,mag_z"
FLAG_NAMES = ("include_magnetometer", "include_temperature", "include_light", "include_battery")
ALL_FLAGS = dict.fromkeys(FLAG_NAMES, True)
NO_FLAGS = dict.fromkeys(FLAG_NAMES, False)
ENOSPC = "No space left on device (os error 28)"
ENOENT = "IO error: No such file or directory (os error 2)"
UNSUPPORTED = "Unsupported sample format: 4 axes, packing 0"


def export(source: pathlib.Path, out: pathlib.Path, **options: object) -> str:
    """Writes the CSV and returns its text, which must be plain ASCII records."""
    assert velnora.write_cwa_csv(str(source), str(out), **options) is None
    return read_text(out)


def read_text(out: pathlib.Path) -> str:
    raw = out.read_bytes()
    assert b'"' not in raw and b"\r" not in raw
    return raw.decode("ascii")


def error_of(source: pathlib.Path | str, out: pathlib.Path | str, **options: object) -> str:
    with pytest.raises(RuntimeError) as caught:
        velnora.write_cwa_csv(str(source), str(out), **options)
    return str(caught.value)


def rows_of(text: str) -> list[str]:
    """The data records; the text must end in a line feed."""
    assert text.endswith("\n")
    return text.split("\n")[1:-1]


def example_block(**fields: object) -> DataBlock:
    """Two 100 Hz packed samples at T0, the rows of the file format's example."""
    return packed_block([(4, -252, 12, 0), (5, -253, 11, 0)], timestamp=datetime_from_unix(T0), **fields)


# --- header and number text ------------------------------------------------------


@pytest.mark.parametrize(
    "flags, header",
    [
        ({}, DEFAULT_HEADER),
        (NO_FLAGS, BASE),
        (ALL_FLAGS, DEFAULT_HEADER + ",temperature,light,battery"),
        (dict(include_magnetometer=False, include_light=True), BASE + ",light"),
        (dict(include_temperature=True, include_battery=True), DEFAULT_HEADER + ",temperature,battery"),
    ],
)
def test_header_follows_the_flags(
    cwa_path: MakeRecording, tmp_path: pathlib.Path, flags: dict[str, bool], header: str
) -> None:
    text = export(cwa_path(sectors=[example_block()]), tmp_path / "out.csv", **flags)
    assert text.split("\n")[0] == header
    assert all(row.count(",") == header.count(",") for row in rows_of(text))


def test_example_file_with_default_flags(cwa_path: MakeRecording, tmp_path: pathlib.Path) -> None:
    text = export(cwa_path(sectors=[example_block()]), tmp_path / "out.csv")
    zeros = ",0.000000" * 6
    assert text == (
        DEFAULT_HEADER + "\n"
        "1700000000.0000,0.015625,-0.984375,0.046875" + zeros + "\n"
        "1700000000.0100,0.019531,-0.988281,0.042969" + zeros + "\n"
    )


def test_ties_round_to_even(cwa_path: MakeRecording, tmp_path: pathlib.Path) -> None:
    # 800 Hz: sample 8 lies at 10000 us, sample 25 at 31250 us, whose seconds
    # 1700000000.03125 are exact, a tie at the fifth digit. Accelerometer
    # counts of 2 and 6 are 0.0078125 and 0.0234375, ties at the seventh.
    samples = [(2, -2, 6, 0)] * 120
    block = packed_block(samples, timestamp=datetime_from_unix(T0), rate_code=0x0D)
    source = cwa_path(sectors=[block])
    timestamps = velnora.read_cwa_file(str(source))["timestamp"]
    assert timestamps[[8, 25]].tolist() == [T0 * 10**6 + 10000, T0 * 10**6 + 31250]
    rows = rows_of(export(source, tmp_path / "out.csv", **NO_FLAGS))
    values = ",0.007812,-0.007812,0.023438,0.000000,0.000000,0.000000"
    assert rows[8] == "1700000000.0100" + values
    assert rows[25] == "1700000000.0312" + values


def test_block_readings(cwa_path: MakeRecording, tmp_path: pathlib.Path) -> None:
    # Temperature 256 is 25 degrees, battery 170 is 3.99609375 V, light 0 is 1 lux.
    source = cwa_path(sectors=[example_block(temperature=256, battery=170, light=0)])
    rows = rows_of(export(source, tmp_path / "out.csv", **ALL_FLAGS))
    assert [row.split(",")[-3:] for row in rows] == [["25.000000", "1.000000", "3.996094"]] * 2


@pytest.mark.parametrize(
    "block",
    [
        pytest.param(packed_block([(1, 2, 3, 0)] * 3), id="packed"),
        pytest.param(unpacked3_block([(1, 2, 3)] * 3), id="unpacked3"),
        pytest.param(axis6_block([(100, -100, 7, 1, 2, 3)] * 3), id="axis6"),
    ],
)
def test_magnetometer_columns_are_zero_without_a_magnetometer(
    cwa_path: MakeRecording, tmp_path: pathlib.Path, block: DataBlock
) -> None:
    rows = rows_of(export(cwa_path(sectors=[block]), tmp_path / "out.csv"))
    assert len(rows) == 3
    assert all(row.endswith(",0.000000,0.000000,0.000000") for row in rows)


def random_block(rng: random.Random, sample_format: int, index: int) -> DataBlock:
    """A full block of random counts and readings, stamped at a random
    fraction of a second so that the time text varies in every digit."""
    per_block = {FORMAT_PACKED: 120, FORMAT_UNPACKED3: 80, FORMAT_AXIS6: 40, FORMAT_AXIS9: 26}[sample_format]
    if sample_format == FORMAT_PACKED:
        samples = [
            (rng.randint(-512, 511), rng.randint(-512, 511), rng.randint(-512, 511), rng.randint(0, 3))
            for _ in range(per_block)
        ]
    else:
        axes = {FORMAT_UNPACKED3: 3, FORMAT_AXIS6: 6, FORMAT_AXIS9: 9}[sample_format]
        samples = [tuple(rng.randint(-32768, 32767) for _ in range(axes)) for _ in range(per_block)]
    return DataBlock(
        timestamp=datetime_from_unix(T0 + 3 * index),
        timestamp_offset=rng.randint(-per_block, per_block),
        rate_code=rng.choice([0x4A, 0x4B, 0x4C, 0x0F]),
        sample_format=sample_format,
        sample_data=encode_samples(sample_format, samples),
        light=rng.randint(0, 0xFFFF),
        temperature=rng.randint(0, 1023),
        battery=rng.randint(0, 255),
    )


@pytest.mark.parametrize("sample_format", [FORMAT_PACKED, FORMAT_UNPACKED3, FORMAT_AXIS6, FORMAT_AXIS9])
def test_text_matches_the_arrays_formatted_by_python(
    cwa_path: MakeRecording, tmp_path: pathlib.Path, sample_format: int
) -> None:
    rng = random.Random(sample_format)
    source = cwa_path(sectors=[random_block(rng, sample_format, i) for i in range(40)])
    text = export(source, tmp_path / "out.csv", **ALL_FLAGS)
    assert rows_of(text) == expected_rows(velnora.read_cwa_file(str(source)))


# --- the paths ---------------------------------------------------------------------


@pytest.fixture
def eight_blocks(cwa_path: MakeRecording) -> pathlib.Path:
    """Two seconds of 9-axis samples at 100 Hz, 25 per block."""
    blocks = steady_recording(T0, 8, samples_per_block=25, sample_format=FORMAT_AXIS9)
    return cwa_path(sectors=blocks, name="eight.cwa")


@pytest.mark.parametrize(
    "cut, first, end",
    [
        pytest.param(None, 0, 200, id="whole"),
        pytest.param(velnora.blocks(1, 3), 25, 75, id="blocks"),
        pytest.param(velnora.blocks(3, None), 75, 200, id="blocks-to-end"),
        pytest.param(velnora.seconds(0.25, 1.05), 25, 105, id="seconds"),
        pytest.param(velnora.seconds(None, 0.5), 0, 50, id="seconds-open-start"),
    ],
)
def test_cuts_select_rows(
    eight_blocks: pathlib.Path, tmp_path: pathlib.Path, cut: dict | None, first: int, end: int
) -> None:
    mag_only = {**NO_FLAGS, "include_magnetometer": True}
    whole = expected_rows(velnora.read_cwa_file(str(eight_blocks), **mag_only))
    text = export(eight_blocks, tmp_path / "out.csv", cut=cut)
    assert rows_of(text) == whole[first:end]


def test_no_data_blocks_give_a_header_only_file(cwa_path: MakeRecording, tmp_path: pathlib.Path) -> None:
    source = cwa_path(sectors=[filler_sector()] * 3)
    assert export(source, tmp_path / "whole.csv") == DEFAULT_HEADER + "\n"
    assert export(source, tmp_path / "range.csv", cut=velnora.blocks(1, 2), **NO_FLAGS) == BASE + "\n"


def test_streaming_keeps_the_rows_before_a_malformed_block(
    cwa_path: MakeRecording, tmp_path: pathlib.Path
) -> None:
    good = steady_recording(T0, 3)
    bad = DataBlock(sample_format=0x40, sample_count=1)
    source = cwa_path(sectors=[good[0], good[1], bad, good[2]])
    reference = cwa_path(sectors=good[:2], name="good.cwa")
    out = tmp_path / "out.csv"
    assert error_of(source, out) == UNSUPPORTED
    assert read_text(out) == export(reference, tmp_path / "good.csv")


def test_windowed_failure_leaves_an_existing_file_untouched(
    cwa_path: MakeRecording, tmp_path: pathlib.Path
) -> None:
    good = steady_recording(T0, 3)
    source = cwa_path(sectors=[*good, DataBlock(sample_format=0x40, sample_count=1)])
    out = tmp_path / "out.csv"
    out.write_text("keep me\n")
    assert error_of(source, out, cut=velnora.seconds(2.5, None)) == UNSUPPORTED
    assert out.read_text() == "keep me\n"


def test_an_existing_file_is_truncated(cwa_path: MakeRecording, tmp_path: pathlib.Path) -> None:
    out = tmp_path / "out.csv"
    out.write_text("x" * 10000)
    text = export(cwa_path(sectors=[example_block()]), out, **NO_FLAGS)
    assert text == (
        BASE + "\n"
        "1700000000.0000,0.015625,-0.984375,0.046875,0.000000,0.000000,0.000000\n"
        "1700000000.0100,0.019531,-0.988281,0.042969,0.000000,0.000000,0.000000\n"
    )


# --- output file errors ---------------------------------------------------------------


def test_small_export_to_a_full_disk_fails_at_the_final_flush(cwa_path: MakeRecording) -> None:
    assert error_of(cwa_path(sectors=[example_block()]), "/dev/full") == "IO error: " + ENOSPC


def test_large_export_to_a_full_disk_fails_while_writing_rows(cwa_path: MakeRecording) -> None:
    # 2000 blocks with every column are some 35 MB of text: the buffer grows
    # to 16 MiB and is handed over while rows are still being written.
    source = cwa_path(sectors=steady_recording(T0, 2000))
    assert error_of(source, "/dev/full", **ALL_FLAGS) == ENOSPC


# A file-size limit stops a write at the limit, halfway through a record, as
# a full disk does; the child lives on, as Python ignores SIGXFSZ.
FILE_SIZE_LIMITED = """
import resource, sys, velnora, velnora_tools
source, out, call, limit = sys.argv[1:]
resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), resource.RLIM_INFINITY))
try:
    eval(call)
except RuntimeError as error:
    print(error)
"""
FILE_SIZE_LIMIT = 100_003


@pytest.mark.parametrize(
    "call",
    [
        "velnora.write_cwa_csv(source, out)",
        "velnora.write_cwa_csv(source, out, cut=velnora.seconds(0, 30))",
        "velnora.write_cwa_csv(source, out, resample_hz=90.0)",
        "velnora_tools.write_csv_skipping_damaged(source, out)",
    ],
    ids=["streamed", "windowed", "resampled", "past-damage"],
)
def test_a_full_file_ends_at_its_last_complete_record(
    cwa_path: MakeRecording, tmp_path: pathlib.Path, call: str
) -> None:
    source = str(cwa_path(sectors=steady_recording(T0, 40)))
    whole, limited = tmp_path / "whole.csv", tmp_path / "limited.csv"
    eval(call, {"velnora": velnora, "velnora_tools": velnora_tools, "source": source, "out": str(whole)})
    command = [sys.executable, "-c", FILE_SIZE_LIMITED, source, str(limited), call, str(FILE_SIZE_LIMIT)]
    run = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (0, "IO error: File too large (os error 27)\n", "")
    kept = limited.read_bytes()
    assert kept.endswith(b"\n") and FILE_SIZE_LIMIT - 100 < len(kept) < FILE_SIZE_LIMIT
    assert whole.read_bytes().startswith(kept)


def test_large_export_is_complete(cwa_path: MakeRecording, tmp_path: pathlib.Path) -> None:
    source = cwa_path(sectors=steady_recording(T0, 1500))
    text = export(source, tmp_path / "out.csv", **ALL_FLAGS)
    assert len(text) > 16777216
    assert rows_of(text) == expected_rows(velnora.read_cwa_file(str(source)))


def test_missing_output_directory(cwa_path: MakeRecording, tmp_path: pathlib.Path) -> None:
    out = tmp_path / "missing" / "out.csv"
    source = cwa_path(sectors=[example_block()])
    assert error_of(source, out) == ENOENT
    assert error_of(source, out, cut=velnora.seconds(0, 1)) == ENOENT


def test_input_is_checked_before_the_output_is_created(tmp_path: pathlib.Path) -> None:
    # A directory as output would fail with EISDIR; the missing input wins.
    assert error_of(tmp_path / "missing.cwa", tmp_path) == ENOENT
    out = tmp_path / "out.csv"
    error_of(tmp_path / "missing.cwa", out)
    assert not out.exists()


def same_file_paths(recording: pathlib.Path, naming: str) -> tuple[pathlib.Path, pathlib.Path]:
    """(input, output) naming the one recording in the way `naming` says."""
    other = recording.with_name("other.cwa")
    if naming == "output is a symlink":
        other.symlink_to(recording)
        return recording, other
    if naming == "input is a symlink":
        other.symlink_to(recording)
        return other, recording
    if naming == "hard link":
        os.link(recording, other)
        return recording, other
    if naming == "dotted path":
        return recording, recording.parent / ".." / recording.parent.name / recording.name
    return recording, recording


@pytest.mark.parametrize(
    "naming", ["same path", "dotted path", "output is a symlink", "input is a symlink", "hard link"]
)
@pytest.mark.parametrize(
    "options", [{}, {"cut": velnora.seconds(0.5, 2)}, {"resample_hz": 50.0}], ids=["streamed", "window", "rate"]
)
def test_the_input_is_never_the_output(cwa_path: MakeRecording, naming: str, options: dict) -> None:
    source, out = same_file_paths(cwa_path(sectors=steady_recording(T0, 3)), naming)
    before = source.read_bytes()
    assert error_of(source, out, **options) == (
        f"Output path '{out}' is the input recording '{source}'; refusing to overwrite it"
    )
    assert source.read_bytes() == before


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o000])
def test_file_mode_follows_the_umask(cwa_path: MakeRecording, tmp_path: pathlib.Path, umask: int) -> None:
    source = cwa_path(sectors=[example_block()])
    previous = os.umask(umask)
    try:
        export(source, tmp_path / "out.csv")
    finally:
        os.umask(previous)
    assert (tmp_path / "out.csv").stat().st_mode & 0o777 == 0o666 & ~umask


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def test_files_are_closed_on_every_path(cwa_path: MakeRecording, tmp_path: pathlib.Path) -> None:
    good = steady_recording(T0, 2)
    source = cwa_path(sectors=good)
    broken = cwa_path(sectors=[*good, DataBlock(sample_format=0x40, sample_count=1)], name="broken.cwa")
    before = open_descriptors()
    for _ in range(3):
        export(source, tmp_path / "out.csv")
        export(source, tmp_path / "out.csv", cut=velnora.seconds(0, 1))
        error_of(broken, tmp_path / "out.csv")
        error_of(broken, tmp_path / "out.csv", cut=velnora.seconds(0, 5))
        error_of(source, "/dev/full")
        error_of(source, tmp_path)
    assert open_descriptors() == before


# --- the resampled path -----------------------------------------------------------------


def test_resampled_rows_step_by_40_ms(eight_blocks: pathlib.Path, tmp_path: pathlib.Path) -> None:
    rows = rows_of(export(eight_blocks, tmp_path / "out.csv", resample_hz=25))
    assert len(rows) == 50
    steps = [divmod(400 * i, 10000) for i in range(50)]
    assert [row.split(",")[0] for row in rows] == [f"{T0 + whole}.{part:04d}" for whole, part in steps]


@pytest.mark.parametrize(
    "cut", [None, velnora.seconds(0.3, 1.7), velnora.blocks(2, 6)], ids=["whole", "seconds", "blocks"]
)
def test_resampled_text_matches_the_arrays(
    eight_blocks: pathlib.Path, tmp_path: pathlib.Path, cut: dict | None
) -> None:
    options = dict(cut=cut, resample_hz=33.0, **ALL_FLAGS)
    text = export(eight_blocks, tmp_path / "out.csv", **options)
    assert rows_of(text) == expected_rows(velnora.read_cwa_file(str(eight_blocks), **options))


def test_resampling_can_give_negative_zero(cwa_path: MakeRecording, tmp_path: pathlib.Path) -> None:
    # Stamped 63 periods past the second, the samples fall on whole
    # microseconds but one, which lies 1 us before the 100 Hz grid; the
    # point just after it takes a tiny negative share of the count before it.
    pattern = [(1, 0, 0, 0), (0, 0, 0, 0), (0, 0, 0, 0), (0, 0, 0, 0)] * 30
    source = cwa_path(sectors=[packed_block(pattern, timestamp=datetime_from_unix(T0), timestamp_offset=63)])
    value = float(velnora.read_cwa_file(str(source), resample_hz=100)["acc_x"][2])
    assert -5e-7 < value < 0
    rows = rows_of(export(source, tmp_path / "out.csv", resample_hz=100, **NO_FLAGS))
    assert rows[2].split(",")[1] == "-0.000000"


def test_resampling_without_data_leaves_the_output_untouched(
    cwa_path: MakeRecording, tmp_path: pathlib.Path
) -> None:
    source = cwa_path(sectors=[filler_sector()] * 3)
    out = tmp_path / "out.csv"
    assert error_of(source, out, resample_hz=25) == "No valid sample data found in the specified range"
    assert not out.exists()
    out.write_text("keep me\n")
    assert error_of(source, out, resample_hz=25) == "No valid sample data found in the specified range"
    assert out.read_text() == "keep me\n"
