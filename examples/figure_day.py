"""Draws docs/figures/day.png: one day of a wrist-worn device, per minute,
with what the sampling consistency report and the samples' steps show. The
recording is the synthetic day of day_recording.py.

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
sys.path.insert(0, str(HERE))

from day_recording import PLANNED_S, RATE_HZ, START_S, write_recording  # noqa: E402
from figure_output import make_figure  # noqa: E402


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


def day_axis(axes: Axes, note: str) -> None:
    """The planned day as the x axis, in hours after its start labelled with
    the time of day, and `note` boxed in the top right corner."""
    axes.text(0.995, 0.97, note, transform=axes.transAxes, ha="right", va="top", fontsize=8.5,
              family="monospace", bbox={"facecolor": "white", "edgecolor": "0.8"})
    ticks = range(0, PLANNED_S // 3600 + 1, 3)
    axes.set_xticks(list(ticks), [clock(hour)[:5] for hour in ticks])
    axes.set_xlim(-0.5, PLANNED_S / 3600 + 0.5)
    axes.set_xlabel("2023-05-01 to 2023-05-02, UTC")


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
    day_axis(movement, "\n".join(lines))
    fig.suptitle("One day of a wrist-worn device at 25 Hz (synthetic), per minute")
    fig.savefig(out, dpi=130)
    plt.close(fig)


def main() -> None:
    make_figure("day", write_recording, draw)


if __name__ == "__main__":
    main()
