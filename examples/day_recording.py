"""The synthetic day of docs/day.md: a wrist-worn 25 Hz device, +-8 g,
packed 3-axis blocks of 120 samples, planned to log for 24 hours from 06:00
UTC. It sleeps, walks, sits at a desk; it records nothing for 46 minutes
after 13:10 (taken off), lies on a table from 21:00 until its wearer goes to
bed at 22:40, and its battery runs out at 03:12, before the planned end.
Deterministic: the same bytes every time.

    python examples/day_recording.py day.cwa
"""

from __future__ import annotations

import pathlib
import sys

import numpy as np
import numpy.typing as npt

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from cwa_writer import DataBlock, MetadataBlock, block_with_bounds, datetime_from_unix, write_cwa  # noqa: E402

START_S = 1682920800  # 2023-05-01T06:00:00Z, the planned start
PLANNED_S = 24 * 3600
RATE_CODE = 0x48  # 25 Hz, +-8 g
RATE_HZ = 25
PER_BLOCK = 120  # 4.8 s, so every block starts a whole number of periods after a whole second
COUNTS_PER_G = 256
TEMPERATURE = 273  # 30.0 degrees C at the wrist
SEED = 2023

# Blocks counted from the start: none from 13:10 to 13:56, the last ends at 03:12.
GAP_BLOCKS = range(5375, 5950)
LAST_BLOCK = 15900

# (hour after 06:00, activity) for each stretch of the day.
SCHEDULE = [
    (0.0, "asleep"), (0.83, "about"), (1.67, "walking"), (2.17, "desk"), (6.33, "walking"),
    (6.83, "desk"), (11.5, "walking"), (12.08, "about"), (15.0, "table"), (16.67, "asleep"),
]
# Gravity in the device's frame for each sleeping posture, changed every 25 minutes.
POSTURES = np.array([(0.0, -0.97, -0.24), (0.1, 0.2, -0.97), (-0.45, 0.87, 0.2), (0.95, 0.0, -0.3)])
POSTURE_S = 1500
ON_TABLE = np.array([0.0, 0.0, 1.0])


def acceleration(t: npt.NDArray[np.float64], rng: np.random.Generator) -> npt.NDArray[np.float64]:
    """(n, 3) acceleration in g at `t` seconds after the planned start."""
    starts = np.array([hour * 3600 for hour, _ in SCHEDULE])
    kinds = np.array([kind for _, kind in SCHEDULE])[np.searchsorted(starts, t, side="right") - 1]
    pitch = 0.6 + 0.25 * np.sin(2 * np.pi * t / 47.0)
    roll = -0.4 + 0.3 * np.sin(2 * np.pi * t / 71.0 + 1.0)
    g = np.stack([np.sin(pitch), -np.cos(pitch) * np.sin(roll), -np.cos(pitch) * np.cos(roll)], axis=1)
    step = 2 * np.pi * 1.8 * t
    walking = np.stack(
        [0.45 * np.sin(step / 2), 0.25 * np.sin(step + 0.5), 0.2 * np.cos(step) - 1.2 * np.maximum(np.sin(step), 0) ** 8],
        axis=1,
    )
    # Moving about: bouts of a few steps in every other half minute.
    bouts = (np.sin(2 * np.pi * t / 30.0) > 0.2)[:, None]
    acc = np.where(((kinds == "walking")[:, None]) | ((kinds == "about")[:, None] & bouts), g + walking, g)
    asleep = kinds == "asleep"
    acc[asleep] = POSTURES[(t[asleep] // POSTURE_S).astype(int) % len(POSTURES)]
    acc[kinds == "table"] = ON_TABLE
    noise = np.where(asleep | (kinds == "table"), 0.004, np.where(kinds == "desk", 0.012, 0.04))
    return acc + rng.normal(0.0, 1.0, acc.shape) * noise[:, None]


def packed_words(acc: npt.NDArray[np.float64]) -> npt.NDArray[np.uint32]:
    """Packed 3-axis words at 256 counts per g: per sample the smallest
    exponent whose scaled values fit the signed 10-bit fields."""
    peak = np.abs(acc).max(axis=1) * COUNTS_PER_G
    exponent = np.clip(np.ceil(np.log2(np.maximum(peak, 1.0) / 511.0)), 0, 3).astype(np.int64)
    raw = np.clip(np.round(acc * COUNTS_PER_G / (1 << exponent)[:, None]), -512, 511).astype(np.int64) & 0x3FF
    words: npt.NDArray[np.int64] = raw[:, 0] | raw[:, 1] << 10 | raw[:, 2] << 20 | exponent << 30
    return words.astype(np.uint32)  # little-endian, as on every machine velnora builds for


def data_blocks() -> list[DataBlock]:
    rng = np.random.default_rng(SEED)
    blocks = []
    for b in (b for b in range(LAST_BLOCK) if b not in GAP_BLOCKS):
        first_s = b * PER_BLOCK / RATE_HZ
        whole = int(first_s)
        t = first_s + np.arange(PER_BLOCK) / RATE_HZ
        samples = packed_words(acceleration(t, rng)).tobytes()
        periods = round((first_s - whole) * RATE_HZ)
        blocks.append(block_with_bounds(START_S + whole, PER_BLOCK, RATE_CODE, -periods, sample_data=samples, temperature=TEMPERATURE))
    return blocks


def write_recording(path: pathlib.Path) -> None:
    metadata = MetadataBlock(
        device_id=52071,
        session_id=7,
        rate_code=RATE_CODE,
        logging_start_time=datetime_from_unix(START_S),
        logging_end_time=datetime_from_unix(START_S + PLANNED_S),
        annotation=b"One day, left wrist",
    )
    write_cwa(path, metadata, data_blocks())


if __name__ == "__main__":
    write_recording(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "day.cwa"))
