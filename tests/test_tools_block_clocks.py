"""One wrong block clock costs one block: a data block whose time stamp puts
it away from its neighbours is left out of the study paths (calibrate,
epochs, summaries, the page and the command), named and counted; a real gap
keeps its empty epochs; a span beyond the machine is refused at once; a
recording without data blocks fails as the read does."""

from __future__ import annotations

import dataclasses
import os
import pathlib
import resource
import subprocess
import sys

import pytest

import velnora
from children import ENV, velnora_command
from cwa_writer import DataBlock, MetadataBlock, datetime_from_unix, filler_sector, steady_recording, unix_from_datetime, write_cwa

if os.environ.get("VELNORA_TEST_EXTRAS") != "1":
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
import pandas as pd  # noqa: E402

from velnora_tools import DamagedBlock, calibrate, epochs, quality_page, summarise  # noqa: E402

START = 1_682_899_200  # 2023-05-01T00:00:00Z
BLOCKS = 145  # 100 Hz, 120 samples a block: 174 s
YEAR = 365 * 86_400
MOVES = {"30 s ahead": 30, "30 s back": -30, "45 days ahead": 45 * 86_400, "8 years back": -8 * YEAR}
PLACES = {"first": 0, "middle": 50, "last": BLOCKS - 1}


def recording(path: pathlib.Path, moves: dict[int, int] = {}, fillers: tuple[int, ...] = ()) -> pathlib.Path:
    """Three minutes of a steady device, block b's clock moved by moves[b]
    seconds; a filler sector in place of each block of `fillers`."""
    blocks: list[DataBlock | bytes] = []
    for b, block in enumerate(steady_recording(START, BLOCKS)):
        moved = dataclasses.replace(block, timestamp=datetime_from_unix(unix_from_datetime(block.timestamp) + moves.get(b, 0)))
        blocks.append(filler_sector() if b in fillers else moved)
    return write_cwa(path, None, blocks)


def out_of_place(block: int, moved_s: int) -> DamagedBlock:
    """The entry of block `block` of `recording`, its clock moved by `moved_s`."""

    def text(us: int) -> str:
        return pd.Timestamp(us, unit="us", tz="UTC").isoformat(timespec="milliseconds" if us % 1_000_000 else "seconds")

    room_us = START * 1_000_000 + 1_200_000 * block
    clock, room = text(room_us + moved_s * 1_000_000), text(room_us)
    return DamagedBlock(block, f"its clock puts it at {clock}, the data blocks around it leave room for it at {room}", False, 120, "time out of place")


@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("move", MOVES)
def test_one_block_out_of_place_costs_that_block(tmp_path: pathlib.Path, move: str, place: str) -> None:
    block = PLACES[place]
    path = recording(tmp_path / "moved.cwa", {block: MOVES[move]})

    frame = epochs(path, calibration=False)

    # Exactly the epochs of the recording without that block.
    expected = epochs(recording(tmp_path / "without.cwa", fillers=(block,)), calibration=False)
    pd.testing.assert_frame_equal(frame, expected, check_exact=True)
    assert len(frame) == 35 and frame["samples"].sum() == (BLOCKS - 1) * 120
    assert frame.attrs["damaged_blocks"] == [out_of_place(block, MOVES[move])]
    assert frame.attrs["samples_out_of_order"] == 0
    assert calibrate(path).still_windows == calibrate(tmp_path / "without.cwa").still_windows


def test_a_flipped_year_bit_is_left_out_and_told(tmp_path: pathlib.Path) -> None:
    path = recording(tmp_path / "rec.cwa")
    flipped = bytearray(path.read_bytes())
    flipped[1024 + 512 * 50 + 17] ^= 1 << 5  # the time stamp's year: 8 years on
    path.write_bytes(flipped)

    done = velnora_command("epochs", path, "-o", tmp_path / "out.parquet")
    assert done.returncode == 0, done.stderr
    assert done.stderr == f"velnora: {path}: left out 1 block (50) whose time is out of place, and its 120 samples\n"
    assert len(pd.read_parquet(tmp_path / "out.parquet")) == 35

    row = summarise([path], workers=1, epochs=True).iloc[0]
    assert (row["samples"], row["out_of_place_blocks"], row["out_of_place_samples"], row["samples_out_of_order"]) == (17280, 1, 120, 0)
    assert (row["start_from_data"], row["end_from_data"]) == ("2023-05-01T00:00:00+00:00", "2023-05-01T00:02:53.990+00:00")
    assert row["samplingrate_hz_from_data"] == pytest.approx(100.0, rel=1e-2)


def test_two_threads_judge_and_time_blocks_as_one(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """Blocks out of place around the middle, where two threads meet, and
    at a cut's bounds, which are judged and timed by the blocks beyond them:
    block 3000, just before a cut, would drag the cut's first block 9 years
    on were its clock trusted."""
    blocks = steady_recording(START, 4400)
    for b, shift in ((2199, 9 * YEAR), (2201, -30), (2203, 45 * 86_400), (3000, 9 * YEAR), (3600, 60)):
        blocks[b] = dataclasses.replace(blocks[b], timestamp=datetime_from_unix(unix_from_datetime(blocks[b].timestamp) + shift))
    path = write_cwa(tmp_path / "long.cwa", None, blocks)

    def whole_and_pieces() -> list[pd.DataFrame]:
        cuts = [None, velnora.blocks(0, 3001), velnora.blocks(3001, 4400)]
        return [epochs(path, calibration=False, epoch_seconds=1.2, cut=cut) for cut in cuts]

    shared = whole_and_pieces()
    monkeypatch.setenv("VELNORA_THREADS", "1")
    whole, *pieces = whole_and_pieces()
    pd.testing.assert_frame_equal(shared[0], whole, check_exact=True)
    assert shared[0].attrs == whole.attrs and whole["samples"].sum() == (4400 - 5) * 120
    assert [block.block for block in whole.attrs["damaged_blocks"]] == [2199, 2201, 2203, 3000, 3600]
    for piece in (*shared[1:], *pieces):
        pd.testing.assert_frame_equal(piece, whole.loc[piece.index[0] : piece.index[-1]], check_exact=True)


def test_a_real_gap_keeps_its_empty_epochs(tmp_path: pathlib.Path) -> None:
    path = write_cwa(tmp_path / "gap.cwa", None, steady_recording(START, 50) + steady_recording(START + 3 * 86_400, 50))

    frame = epochs(path, calibration=False, epoch_seconds=60)

    assert len(frame) == 3 * 24 * 60 + 1 and frame["samples"].sum() == 100 * 120
    assert frame.attrs["damaged_blocks"] == [] and (frame["samples"] == 0).sum() == 3 * 24 * 60 - 1


# The limit is 2 GiB above what the interpreter maps with velnora_tools
# loaded, which a sanitizer's reservations make large.
SPAN_BEYOND = """
import resource, time
import velnora_tools
with open("/proc/self/status") as status:
    mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (mapped + (2 << 30), resource.RLIM_INFINITY))
began = time.monotonic()
try:
    velnora_tools.epochs({path!r}, calibration=False)
except MemoryError as error:
    print(error)
print(time.monotonic() - began < 5)
"""


def test_a_span_beyond_the_machine_is_refused_at_once(tmp_path: pathlib.Path) -> None:
    # Two runs of blocks 40 years apart, each agreeing within itself: a real span.
    path = write_cwa(tmp_path / "decades.cwa", None, steady_recording(START, 3) + steady_recording(START + 40 * YEAR, 3))
    run = subprocess.run([sys.executable, "-c", SPAN_BEYOND.format(path=str(path))], capture_output=True, text=True, env=ENV, timeout=60)
    assert run.stdout == "The recording's time span needs a grid larger than this machine's memory\nTrue\n", run.stderr


def test_a_recording_without_data_blocks_fails_as_the_read_does(tmp_path: pathlib.Path) -> None:
    path = write_cwa(tmp_path / "empty.cwa", MetadataBlock(), [filler_sector()] * 4)
    message = "No valid sample data found in the specified range"
    with pytest.raises(RuntimeError, match=message):
        velnora.read_cwa_file(str(path))
    for call in (calibrate, epochs):
        with pytest.raises(RuntimeError, match=message):
            call(path)
    done = velnora_command("epochs", path, "-o", tmp_path / "out.parquet")
    assert (done.returncode, done.stderr) == (1, f"velnora: {path}: {message}\n")
    assert not (tmp_path / "out.parquet").exists()


def limited_file_size() -> None:
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))


@pytest.mark.parametrize("limit", ["a full disk", "a file-size limit"])
def test_the_page_that_cannot_be_written_is_one_line(tmp_path: pathlib.Path, limit: str) -> None:
    path = recording(tmp_path / "rec.cwa")
    out = "/dev/full" if limit == "a full disk" else tmp_path / "page.html"
    stale = tmp_path / ".page.html.0123456789ab.part"  # what a killed run left beside the page
    stale.write_text("partial")
    os.utime(stale, (0, 0))
    command = [sys.executable, "-m", "velnora_tools.cli", "page", str(path), "-o", str(out)]
    done = subprocess.run(command, capture_output=True, text=True, env=ENV, timeout=60, preexec_fn=None if out == "/dev/full" else limited_file_size)
    reason = "No space left on device" if limit == "a full disk" else "File too large"
    assert (done.returncode, done.stderr) == (1, f"velnora: {out}: cannot write: {reason}\n")
    assert sorted(entry.name for entry in tmp_path.iterdir()) == sorted(["rec.cwa"] + [stale.name] * (out == "/dev/full"))


def test_a_cut_short_recording_gets_one_message(tmp_path: pathlib.Path) -> None:
    path = recording(tmp_path / "short.cwa")
    with open(path, "ab") as tail:
        tail.write(bytes(100))
    message = "Incomplete CWA data block"
    with pytest.raises(RuntimeError, match=message):
        velnora.read_cwa_file(str(path))
    for command in ("info", "report", "epochs"):
        done = velnora_command(command, path)
        assert (done.returncode, done.stderr) == (1, f"velnora: {path}: {message}\n"), command
    summary = quality_page([path], tmp_path / "page.html", workers=1)
    assert summary["error"].tolist() == [message]
