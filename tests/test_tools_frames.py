"""velnora_tools: DataFrames, Arrow tables and Parquet files of a reading."""

from __future__ import annotations

import datetime as dt
import importlib.util
import json
import os
import pathlib
import re
import shutil
import sys
from typing import Callable

import numpy as np
import pytest

import velnora
from csv_text import without_fields
from cwa_writer import (
    FORMAT_AXIS6,
    FORMAT_AXIS9,
    FORMAT_PACKED,
    MetadataBlock,
    block_with_bounds,
    packed_samples,
    steady_recording,
    steady_samples,
    write_cwa,
)
from children import velnora_command

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The sessions that install the test extra set this, so that a missing library fails there.
if os.environ.get("VELNORA_TEST_EXTRAS") != "1":
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
if importlib.util.find_spec("velnora_tools") is None:  # a build tree, not an install
    sys.path.insert(0, str(ROOT / "python"))

import pyarrow.parquet as pq  # noqa: E402

import velnora_tools  # noqa: E402
from velnora_tools import _parquet_footer as footer  # noqa: E402
from velnora_tools import parquet as parquet_module  # noqa: E402

HOUR_US = 3_600_000_000


def recording(tmp_path: pathlib.Path, blocks: int = 20) -> pathlib.Path:
    metadata = MetadataBlock(device_id=7, session_id=99, annotation=b"wrist")
    return write_cwa(tmp_path / "rec.cwa", metadata, steady_recording(1_600_000_000, blocks))


def wall_seconds(day: dt.date, hh: int, mm: int, ss: int) -> int:
    return int(dt.datetime(day.year, day.month, day.day, hh, mm, ss, tzinfo=dt.timezone.utc).timestamp())


def test_to_pandas_shares_every_array(tmp_path: pathlib.Path) -> None:
    data = velnora.read_cwa_file(str(recording(tmp_path)))
    frame = velnora_tools.to_pandas(data, channels="all")
    assert list(frame.columns) == [name for name in data if name != "timestamp"]
    assert frame.index.name == "timestamp" and frame.index.dtype == np.dtype("datetime64[us]")
    assert np.shares_memory(frame.index.asi8, data["timestamp"])
    for name in frame.columns:
        assert np.shares_memory(frame[name].to_numpy(), data[name]), name


# The London changes of 2023; wall times are what the device clock showed.
AUTUMN = dt.date(2023, 10, 29)  # 02:00 BST becomes 01:00 GMT
SPRING = dt.date(2023, 3, 26)  # 01:00 GMT becomes 02:00 BST


@pytest.mark.parametrize(
    "day, blocks, offsets",
    [
        # A clock set back: a 30 s overlap (01:19:31) stays daylight time; the
        # block stamped 01:10 follows on from the previous one and its samples run
        # back to 01:10, so its first sample is still daylight time, its last not;
        # the second pass stays standard time up to its last minute.
        (
            AUTUMN,
            [(0, 30, 0), (1, 20, 0), (1, 19, 31), (1, 59, 58), (1, 10, 0), (1, 40, 0), (1, 59, 30), (2, 30, 0)],
            {0: 1, 120: 1, 240: 1, 360: 1, 480: 1, 599: 0, 600: 0, 720: 0, 840: 0},
        ),
        # A clock not set forward: the skipped 01:30 keeps the offset before the change.
        (SPRING, [(0, 30, 0), (1, 30, 0), (3, 0, 0)], {0: 0, 120: 0, 239: 0, 240: 1}),
    ],
    ids=["autumn", "spring"],
)
def test_to_pandas_localises_across_daylight_changes(
    tmp_path: pathlib.Path, day: dt.date, blocks: list[tuple[int, int, int]], offsets: dict[int, int]
) -> None:
    samples = packed_samples(steady_samples(0, 120))
    sectors = [block_with_bounds(wall_seconds(day, *hms), sample_data=samples) for hms in blocks]
    data = velnora.read_cwa_file(str(write_cwa(tmp_path / "dst.cwa", MetadataBlock(), sectors)))
    index = velnora_tools.to_pandas(data, tz="Europe/London").index
    assert str(index.tz) == "Europe/London" and index.unit == "us"
    rows = list(offsets)
    expected = data["timestamp"][rows] - np.array([offsets[row] for row in rows]) * HOUR_US
    assert index.asi8[rows].tolist() == expected.tolist()


def test_to_arrow_shares_every_array(tmp_path: pathlib.Path) -> None:
    data = velnora.read_cwa_file(str(recording(tmp_path)))
    table = velnora_tools.to_arrow(data, channels="all")
    assert table.column_names == list(data)
    assert str(table.schema.field("timestamp").type) == "timestamp[us]"
    for name, array in data.items():
        (chunk,) = table.column(name).chunks
        assert chunk.null_count == 0 and chunk.buffers()[1].address == array.ctypes.data, name


@pytest.mark.parametrize(
    "read_args",
    [
        {},
        {"cut": velnora.blocks(3, 17), "include_magnetometer": False, "include_battery": False},
        {"cut": velnora.seconds(2.5, 20), "resample_hz": 37.5},
    ],
    ids=["whole", "blocks-some-channels", "seconds-resampled"],
)
@pytest.mark.parametrize("second_thread", [False, True], ids=["one-thread", "halves-joined"])
def test_write_parquet_round_trip(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, read_args: velnora_tools.ReadArguments, second_thread: bool
) -> None:
    monkeypatch.setattr(parquet_module, "ROW_GROUP_ROWS", 500)
    monkeypatch.setattr(parquet_module._native, "second_thread_allowed", lambda: second_thread)
    path = recording(tmp_path)
    out = tmp_path / "out.parquet"
    velnora_tools.write_parquet(path, out, **read_args)
    expected = velnora.read_cwa_file(str(path), **read_args)
    written = pq.ParquetFile(out)
    table = written.read()
    assert table.equals(velnora_tools.to_arrow(expected))
    rows = len(expected["timestamp"])
    assert written.metadata.num_row_groups == -(-rows // 500)
    timestamps = written.metadata.row_group(0).column(0)
    assert timestamps.compression == "ZSTD" and "DELTA_BINARY_PACKED" in timestamps.encodings
    metadata = table.schema.metadata
    assert json.loads(metadata[b"velnora.header"]) == velnora.read_header(str(path))
    assert json.loads(metadata[b"velnora.report"]) == velnora.sampling_consistency_report(str(path))
    assert sorted(os.listdir(tmp_path)) == ["out.parquet", "rec.cwa"]


def test_joined_halves_are_the_one_thread_file(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """Each half's row groups encode as they would in one file, so every
    offset of the joined footer, and so every byte, is the one-thread file's;
    two readers of their own read the joined file back."""
    monkeypatch.setattr(parquet_module, "ROW_GROUP_ROWS", 500)
    path = recording(tmp_path)
    written = {}
    for second_thread in (False, True):
        monkeypatch.setattr(parquet_module._native, "second_thread_allowed", lambda: second_thread)
        velnora_tools.write_parquet(path, tmp_path / f"{second_thread}.parquet")
        written[second_thread] = (tmp_path / f"{second_thread}.parquet").read_bytes()
    assert pq.ParquetFile(tmp_path / "True.parquet").metadata.num_row_groups == 5
    assert written[True] == written[False]
    import duckdb
    import polars

    data = velnora.read_cwa_file(str(path))
    joined = str(tmp_path / "True.parquet")
    by_duckdb = duckdb.sql(f"SELECT * FROM read_parquet('{joined}')").fetchnumpy()
    by_polars = polars.read_parquet(joined)
    assert by_polars.columns == list(by_duckdb) == pq.read_schema(joined).names
    for name in by_polars.columns:
        expected = data[name].view(np.int64) if name == "timestamp" else data[name]
        for read in (np.asarray(by_duckdb[name]), by_polars[name].to_numpy()):
            assert np.array_equal(read.view(np.int64) if name == "timestamp" else read, expected), name


def test_a_footer_the_join_cannot_move_is_written_on_one_thread(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(parquet_module, "ROW_GROUP_ROWS", 500)
    monkeypatch.setattr(parquet_module._native, "second_thread_allowed", lambda: True)
    path = recording(tmp_path)
    velnora_tools.write_parquet(path, tmp_path / "joined.parquet")
    monkeypatch.setattr(footer, "_CHUNK_FIELDS", frozenset({3}))  # as if the chunks held a field unknown here
    velnora_tools.write_parquet(path, tmp_path / "one-thread.parquet")
    assert (tmp_path / "one-thread.parquet").read_bytes() == (tmp_path / "joined.parquet").read_bytes()
    assert sorted(os.listdir(tmp_path)) == ["joined.parquet", "one-thread.parquet", "rec.cwa"]


I32, I64, LIST, STRUCT = 5, 6, 9, 12


@pytest.mark.parametrize(
    "fields, encoded",
    [
        ([(1, I32, -1), (2, I64, 300)], b"\x15\x01\x16\xd8\x04\x00"),
        # A field id 16 past the last, or before it, takes its own zigzag i16.
        ([(3, I32, 0), (20, I64, -2**63), (4, I32, 1)], b"\x35\x00\x06\x28" + b"\xff" * 9 + b"\x01\x05\x08\x02\x00"),
        # 15 elements or more: the count follows as a varint.
        ([(1, LIST, (I32, [-1] * 15)), (2, LIST, (I32, [0] * 14))], b"\x19\xf5\x0f" + b"\x01" * 15 + b"\x19\xe5" + b"\x00" * 14 + b"\x00"),
        ([(1, STRUCT, [(1, I64, -64)]), (2, I32, 64)], b"\x1c\x16\x7f\x00\x15\x80\x01\x00"),
    ],
    ids=["small", "long-field-ids", "long-list", "nested"],
)
def test_footer_codec(fields: list[tuple[int, int, object]], encoded: bytes) -> None:
    assert footer._Encoder().struct(fields) == encoded
    assert footer._Decoder(encoded).struct() == fields


META = (3, STRUCT, [(1, I32, 2), (9, I64, 100), (11, I64, 4)])


def footer_with(*chunk: tuple[int, int, object]) -> bytes:
    group = [(1, LIST, (STRUCT, [list(chunk)])), (3, I64, 10), (5, I64, 4)]
    return footer._Encoder().struct([(3, I64, 10), (4, LIST, (STRUCT, [group]))])


def test_joined_footer_moves_only_set_offsets() -> None:
    first = footer_with((2, I64, 0), META)
    joined = footer.joined_footer(first, first, 1000)
    rows, (_, _, (_, (head, tail))) = footer._Decoder(joined[:-8]).struct()
    assert rows == (3, I64, 20)
    assert head == footer._Decoder(first).struct()[1][2][1][0]
    assert tail[2] == (5, I64, 1004)
    (chunk,) = tail[0][2][1]
    assert chunk == [(2, I64, 0), (3, STRUCT, [(1, I32, 2), (9, I64, 1100), (11, I64, 1004)])]


@pytest.mark.parametrize(
    "chunk, message",
    [
        ([(2, I64, 0), META, (4, I64, 7)], "a column chunk holds field 4, which this module cannot move"),
        ([(1, 8, b"other.parquet"), META], "a column chunk holds field 1, which this module cannot move"),
        ([(2, I64, 0)], "a Parquet footer's structure lacks field 3"),
    ],
    ids=["page-index", "file-path", "no-metadata"],
)
def test_joined_footer_refuses_what_it_cannot_move(chunk: list[tuple[int, int, object]], message: str) -> None:
    with pytest.raises(footer.FooterError) as caught:
        footer.joined_footer(footer_with((2, I64, 0), META), footer_with(*chunk), 1000)
    assert str(caught.value) == message


SENSORS = {"gyroscope": ("gyro_x", "gyro_y", "gyro_z"), "magnetometer": ("mag_x", "mag_y", "mag_z")}
# 3-axis blocks, then, 20 s later, one block of the format given, damaged when asked.
LAST_BLOCKS = {
    "3-axis": (FORMAT_PACKED, {}, ()),
    "6-axis": (FORMAT_AXIS6, {}, ("gyroscope",)),
    "9-axis": (FORMAT_AXIS9, {}, ("gyroscope", "magnetometer")),
    "9-axis-damaged": (FORMAT_AXIS9, {"timestamp": 0}, ()),
}


@pytest.mark.parametrize("last", LAST_BLOCKS, ids=LAST_BLOCKS)
def test_columns_of_a_sensor_no_block_carries_are_left_out(tmp_path: pathlib.Path, last: str) -> None:
    sample_format, damage, carried = LAST_BLOCKS[last]
    (block,) = steady_recording(1_600_000_020, 1, samples_per_block=26, sample_format=sample_format)
    for field, value in damage.items():
        setattr(block, field, value)
    path = write_cwa(tmp_path / "rec.cwa", MetadataBlock(), [*steady_recording(1_600_000_000, 10), block])
    absent = tuple(name for sensor, names in SENSORS.items() if sensor not in carried for name in names)
    data, _ = velnora_tools.read_skipping_damaged(path)
    present = [name for name in data if name not in absent]
    assert list(velnora_tools.to_arrow(data).column_names) == present
    assert ["timestamp", *velnora_tools.to_pandas(data).columns] == present
    assert list(velnora_tools.to_pandas(data, channels="all").columns) == list(data)[1:]
    with pytest.raises(ValueError, match='channels must be "present" or "all"'):
        velnora_tools.to_arrow(data, channels="some")  # type: ignore[arg-type]
    # A cut before the last block keeps the columns of every sensor the recording carries.
    cut = velnora.blocks(0, 10)
    for channels, expected in (("present", present), ("all", list(data))):
        parquet_module.write_recording(path, tmp_path / "cut.parquet", {"cut": cut}, skip_damaged=True, channels=channels)
        assert pq.read_schema(tmp_path / "cut.parquet").names == expected
    velnora_tools.write_csv_skipping_damaged(path, tmp_path / "all.csv")
    done = velnora_command("csv", path, "--skip-damaged", "-q", "-o", tmp_path / "present.csv")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "present.csv").read_bytes() == without_fields((tmp_path / "all.csv").read_bytes(), absent)


class Interrupted(KeyboardInterrupt):
    pass


def interrupt(*args: object, **kwargs: object) -> None:
    raise Interrupted


@pytest.mark.parametrize("failure", ["not a recording", "interrupted while writing"])
def test_write_parquet_failure_keeps_the_output(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, failure: str
) -> None:
    path = recording(tmp_path)
    out = tmp_path / "out.parquet"
    out.write_bytes(b"previous")
    if failure == "not a recording":
        path.write_bytes(b"plain text, not a recording")
        error: type[BaseException] = RuntimeError
    else:
        monkeypatch.setattr(pq.ParquetWriter, "write_table", interrupt)
        error = Interrupted
    with pytest.raises(error):
        velnora_tools.write_parquet(path, out)
    assert out.read_bytes() == b"previous"
    assert sorted(os.listdir(tmp_path)) == ["out.parquet", "rec.cwa"]


@pytest.mark.parametrize(
    "missing, call, extra",
    [
        ("pandas", lambda data, path: velnora_tools.to_pandas(data), "pandas"),
        ("pyarrow", lambda data, path: velnora_tools.to_arrow(data), "parquet"),
        ("pyarrow.parquet", lambda data, path: velnora_tools.write_parquet(path, path.with_suffix(".pq")), "parquet"),
    ],
)
def test_a_missing_library_names_its_extra(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, missing: str, call: Callable[..., object], extra: str
) -> None:
    path = recording(tmp_path, blocks=1)
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ImportError, match=re.escape(f"(velnora's extra {extra})")):
        call(velnora.read_cwa_file(str(path)), path)


def test_readme_examples_run(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    readme = (ROOT / "README.md").read_text()
    section = readme.split("## With pandas / Parquet\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.DOTALL)
    assert len(blocks) == 2
    (tmp_path / "examples").mkdir()
    shutil.copy(ROOT / "examples" / "sample.cwa", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    scope: dict[str, object] = {}
    for block in blocks:
        exec(compile(block, "README.md", "exec"), scope)
    assert scope["header"] == velnora.read_header("examples/sample.cwa")
    assert len(scope["frame"]) == 300 * 50
