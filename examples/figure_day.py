"""Draws docs/figures/day.png: one day of a wrist-worn device, per minute,
with what the sampling consistency report and the samples' steps show.

The recording is synthetic and deterministic: a 25 Hz device, +-8 g, packed
3-axis blocks of 120 samples, planned to log for 24 hours from 06:00 UTC. It
sleeps, walks, sits at a desk; it records nothing for 46 minutes after 13:10
(taken off) and its battery runs out at 03:12, before the planned end.

    python examples/figure_day.py [OUT_DIR]     # default docs/figures
"""

from __future__ import annotations

import datetime as dt
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402

import velnora  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

from figure_output import make_figure  # noqa: E402
from cwa_writer import DataBlock, MetadataBlock, block_with_bounds, datetime_from_unix, write_cwa  # noqa: E402

START_S = 1682920800  # 2023-05-01T06:00:00Z, the planned start
PLANNED_S = 24 * 3600
RATE_CODE = 0x48  # 25 Hz, +-8 g
RATE_HZ = 25
PER_BLOCK = 120  # 4.8 s, so every block starts a whole number of periods after a whole second
COUNTS_PER_G = 256
SEED = 2023

# Blocks counted from the start: none from 13:10 to 13:56, the last ends at 03:12.
GAP_BLOCKS = range(5375, 5950)
LAST_BLOCK = 15900

# (hour after 06:00, activity) for each stretch of the day.
SCHEDULE = [
    (0.0, "asleep"), (0.83, "about"), (1.67, "walking"), (2.17, "desk"), (6.33, "walking"),
    (6.83, "desk"), (11.5, "walking"), (12.08, "about"), (16.67, "asleep"),
]
# Gravity in the device's frame for each sleeping posture, changed every 70 minutes.
POSTURES = np.array([(0.0, -0.97, -0.24), (0.1, 0.2, -0.97), (-0.3, 0.93, 0.2), (0.95, 0.0, -0.3)])


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
    acc[asleep] = POSTURES[(t[asleep] // 4200).astype(int) % len(POSTURES)]
    noise = np.where(asleep, 0.004, np.where(kinds == "desk", 0.012, 0.04))
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
        blocks.append(block_with_bounds(START_S + whole, PER_BLOCK, RATE_CODE, -periods, sample_data=samples))
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


def per_minute(timestamps: npt.NDArray[np.int64], values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Mean of `values` in each minute from the planned start; NaN where no sample fell."""
    minute = (timestamps - START_S * 1_000_000) // 60_000_000
    bins = PLANNED_S // 60
    count = np.bincount(minute, minlength=bins)[:bins]
    total = np.bincount(minute, weights=values, minlength=bins)[:bins]
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(count > 0, total / count, np.nan)


def hours(text: str | None) -> float:
    """An RFC 3339 time of the report in hours after the planned start."""
    assert text is not None
    return (dt.datetime.fromisoformat(text).timestamp() - START_S) / 3600


def gaps(timestamps: npt.NDArray[np.int64]) -> list[tuple[float, float]]:
    """Steps longer than 1.5 sample periods, as `velnora info` counts them,
    in hours after the planned start."""
    at = np.flatnonzero(np.diff(timestamps) > 1.5 * 1_000_000 / RATE_HZ)
    as_hours = (timestamps - START_S * 1_000_000) / 3.6e9
    return [(float(as_hours[i]), float(as_hours[i + 1])) for i in at]


def clock(hour: float) -> str:
    """Hours after the planned start as a UTC time of day."""
    return (dt.datetime(2023, 5, 1, 6) + dt.timedelta(hours=hour)).strftime("%H:%M:%S")


def mark(axes: Axes, report: velnora.SamplingReport, holes: list[tuple[float, float]]) -> None:
    axes.axvline(hours(report["start_from_header"]), color="black", ls="--", lw=1)
    axes.axvline(hours(report["end_from_header"]), color="black", ls="--", lw=1)
    axes.axvline(hours(report["end_from_data"]), color="tab:red", lw=1.2)
    for start, end in holes:
        axes.axvspan(start, end, color="tab:red", alpha=0.15, lw=0)


def draw(path: pathlib.Path, out: pathlib.Path) -> None:
    report = velnora.sampling_consistency_report(str(path))
    data = velnora.read_cwa_file(
        str(path), include_magnetometer=False, include_temperature=False, include_light=False, include_battery=False
    )
    timestamps = np.asarray(data["timestamp"], dtype=np.int64)
    acc = np.stack([np.asarray(data[name], dtype=np.float64) for name in ("acc_x", "acc_y", "acc_z")], axis=1)
    magnitude = np.linalg.norm(acc, axis=1)
    mean_magnitude = per_minute(timestamps, magnitude)
    spread = np.sqrt(np.maximum(per_minute(timestamps, magnitude**2) - mean_magnitude**2, 0.0))
    minutes = (np.arange(PLANNED_S // 60) + 0.5) / 60
    holes = gaps(timestamps)

    fig, (orientation, movement) = plt.subplots(2, 1, figsize=(11, 6.4), sharex=True, layout="constrained")
    for column, name in enumerate(("acc_x", "acc_y", "acc_z")):
        orientation.plot(minutes, per_minute(timestamps, acc[:, column]), lw=0.9, label=name)
    orientation.set_ylabel("per-minute mean (g)")
    orientation.set_ylim(-1.35, 1.35)
    movement.plot(minutes, spread, color="tab:purple", lw=0.9)
    movement.set_ylabel("per-minute SD of |acc| (g)")
    movement.set_ylim(0, 0.62)
    for axes in (orientation, movement):
        mark(axes, report, holes)
    orientation.plot([], [], color="black", ls="--", lw=1, label="planned start / end (header)")
    orientation.plot([], [], color="tab:red", lw=1.2, label="last sample (data)")
    orientation.fill_between([], [], color="tab:red", alpha=0.15, label="gap (no samples)")
    orientation.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), ncols=6, fontsize=8.5, frameon=False)

    duration_h = (report["duration_s_from_data"] or 0.0) / 3600
    lines = [
        f"header: {report['start_from_header']} to {report['end_from_header']}, "
        f"{report['samplingrate_hz_from_header']:g} Hz",
        f"data: {report['start_from_data']} to {report['end_from_data']} ({duration_h:.2f} h), "
        f"{report['samplingrate_hz_from_data']:.3f} Hz",
    ]
    lines += [f"gap: {clock(start)} to {clock(end)} ({(end - start) * 60:.1f} min)" for start, end in holes]
    movement.text(0.995, 0.97, "\n".join(lines), transform=movement.transAxes, ha="right", va="top", fontsize=8.5,
                  family="monospace", bbox={"facecolor": "white", "edgecolor": "0.8"})
    ticks = range(0, PLANNED_S // 3600 + 1, 3)
    movement.set_xticks(list(ticks), [clock(hour)[:5] for hour in ticks])
    movement.set_xlim(-0.5, PLANNED_S / 3600 + 0.5)
    movement.set_xlabel("2023-05-01 to 2023-05-02, UTC")
    fig.suptitle("One day of a wrist-worn device at 25 Hz (synthetic), per minute")
    fig.savefig(out, dpi=130)
    plt.close(fig)


def main() -> None:
    make_figure("day", write_recording, draw)


if __name__ == "__main__":
    main()
