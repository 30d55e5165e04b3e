"""Draws docs/figures/timing.png: where velnora puts the samples of five data
blocks, as the device stamped them and as the reader returns them, and the
same signal resampled onto a regular grid.

The blocks, at 12.5 Hz with 10 samples each (0.8 s): B starts 0.36 s after A
ends, C starts 0.32 s before B ends, D starts 1.56 s after C ends, E follows
D exactly. The reader closes the first two (under a second) and keeps the
third.

    python examples/figure_timing.py [OUT_DIR]     # default docs/figures
"""

from __future__ import annotations

import math
import pathlib
import sys
from dataclasses import dataclass

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

import velnora  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

from figure_output import make_figure  # noqa: E402
from cwa_writer import DataBlock, MetadataBlock, block_with_bounds, datetime_from_unix, packed_samples, write_cwa  # noqa: E402

START_S = 1682931600  # 2023-05-01T09:00:00Z
RATE_CODE = 0x47  # 12.5 Hz, +-8 g
RATE_HZ = 12.5
SAMPLES = 10
RESAMPLE_HZ = 25.0
COUNTS_PER_G = 256


@dataclass(frozen=True)
class Block:
    name: str
    start_s: float  # natural start, seconds after START_S: a whole number of sample periods

    @property
    def end_s(self) -> float:
        return self.start_s + SAMPLES / RATE_HZ

    def natural_times(self) -> npt.NDArray[np.float64]:
        return self.start_s + np.arange(SAMPLES) / RATE_HZ


BLOCKS = [Block("A", 0.0), Block("B", 1.16), Block("C", 1.64), Block("D", 4.0), Block("E", 4.8)]


def signal(t: float) -> float:
    """acc_x in g that the device sampled at `t` seconds."""
    return 0.6 * math.sin(2 * math.pi * 0.35 * t) + 0.15 * math.sin(2 * math.pi * 1.3 * t)


def data_block(block: Block) -> DataBlock:
    """The block stamped at the whole second before its first sample, with the
    periods from there to the first sample as a negative offset."""
    whole = math.floor(block.start_s)
    periods = round((block.start_s - whole) * RATE_HZ)
    samples = [(round(signal(t) * COUNTS_PER_G), 0, COUNTS_PER_G, 0) for t in block.natural_times()]
    return block_with_bounds(
        START_S + whole, SAMPLES, RATE_CODE, -periods, sample_data=packed_samples(samples)
    )


def write_recording(path: pathlib.Path) -> None:
    metadata = MetadataBlock(
        device_id=7,
        rate_code=RATE_CODE,
        logging_start_time=datetime_from_unix(START_S),
        logging_end_time=datetime_from_unix(START_S + 10),
    )
    write_cwa(path, metadata, [data_block(block) for block in BLOCKS])


def seconds(timestamps: npt.NDArray[np.int64]) -> npt.NDArray[np.float64]:
    """Microseconds since the epoch as seconds after START_S."""
    return (timestamps - START_S * 1_000_000) / 1e6


def draw(path: pathlib.Path, out: pathlib.Path) -> None:
    options = dict(include_magnetometer=False, include_temperature=False, include_light=False, include_battery=False)
    read = velnora.read_cwa_file(str(path), **options)  # type: ignore[arg-type]
    grid = velnora.read_cwa_file(str(path), resample_hz=RESAMPLE_HZ, **options)  # type: ignore[arg-type]
    read_t = seconds(read["timestamp"])  # type: ignore[arg-type]
    starts = read_t[::SAMPLES]

    fig, (spans, values) = plt.subplots(
        2, 1, figsize=(10, 5.6), sharex=True, gridspec_kw={"height_ratios": [1, 2.2]}, layout="constrained"
    )
    for row, block in enumerate(BLOCKS):
        y = len(BLOCKS) - row
        spans.plot([block.start_s, block.end_s], [y + 0.17] * 2, color="0.6", lw=5, solid_capstyle="butt")
        spans.plot([starts[row], block.end_s], [y - 0.17] * 2, color="tab:blue", lw=5, solid_capstyle="butt")
        spans.text(-0.12, y, block.name, ha="right", va="center", fontweight="bold")
    spans.plot([], [], color="0.6", lw=5, label="natural bounds (block time stamp and offset)")
    spans.plot([], [], color="tab:blue", lw=5, label="as read (after the continuity correction)")
    notes = [
        (BLOCKS[1].end_s + 0.08, "left", "0.36 s after A ended: starts at A's end, stretched"),
        (BLOCKS[2].end_s + 0.08, "left", "0.32 s before B ended: starts at B's end, squeezed"),
        (BLOCKS[3].start_s - 0.08, "right", "1.56 s after C ended: a gap of a second or more is kept"),
        (BLOCKS[4].start_s - 0.08, "right", "right after D: unchanged"),
    ]
    for row, (x, align, text) in enumerate(notes, start=1):
        spans.text(x, len(BLOCKS) - row, text, ha=align, va="center", fontsize=8.5)
    spans.set_yticks([])
    spans.set_ylim(0.5, len(BLOCKS) + 0.5)
    spans.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), ncols=2, fontsize=8.5, frameon=False)
    fig.suptitle("Five data blocks at 12.5 Hz, 10 samples each")

    natural = np.concatenate([block.natural_times() for block in BLOCKS])
    acc_x = read["acc_x"]
    values.plot(natural, acc_x, "o", mfc="none", mec="0.55", ms=6, label="sample at its natural time")
    values.plot(read_t, acc_x, "o", color="tab:blue", ms=4.5, label="sample as read (timestamp)")
    values.plot(
        seconds(grid["timestamp"]),  # type: ignore[arg-type]
        grid["acc_x"],
        ".-",
        color="tab:orange",
        lw=1,
        ms=4,
        label=f"resampled at {RESAMPLE_HZ:g} Hz (cubic)",
    )
    for start in starts[1:]:
        values.axvline(start, color="0.75", lw=0.8, ls="--", zorder=0)
    values.plot([], [], color="0.75", lw=0.8, ls="--", label="block start as read")
    values.axvspan(BLOCKS[2].end_s, BLOCKS[3].start_s, color="tab:red", alpha=0.08, lw=0)
    values.text(
        (BLOCKS[2].end_s + BLOCKS[3].start_s) / 2,
        -0.72,
        "kept gap: no samples,\nthe grid interpolates across",
        ha="center",
        fontsize=8.5,
    )
    values.set_xlabel("seconds after 2023-05-01T09:00:00 UTC")
    values.set_ylabel("acc_x (g)")
    values.set_ylim(-0.9, 0.95)
    values.legend(loc="lower left", fontsize=8.5, frameon=False)
    fig.savefig(out, dpi=130)
    plt.close(fig)


def main() -> None:
    make_figure("timing", write_recording, draw)


if __name__ == "__main__":
    main()
