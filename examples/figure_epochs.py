"""Draws docs/figures/epochs.png: the synthetic day of day_recording.py as
velnora_tools.epochs gives it, ENMO per 5 s epoch with the non-wear blocks
shaded and the epochs without samples marked.

    python examples/figure_epochs.py [OUT_DIR]     # default docs/figures
"""

from __future__ import annotations

import datetime as dt
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import velnora_tools  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from day_recording import START_S, write_recording  # noqa: E402
from figure_day import day_axis  # noqa: E402
from figure_output import make_figure  # noqa: E402

PLANNED_START = dt.datetime.fromtimestamp(START_S, dt.timezone.utc).replace(tzinfo=None)


def hours(times: np.ndarray) -> np.ndarray:
    """Wall-clock times as hours after the planned start."""
    return (times - np.datetime64(PLANNED_START, "us")) / np.timedelta64(3600, "s")


def runs(flags: np.ndarray, starts_h: np.ndarray, epoch_h: float) -> list[tuple[float, float]]:
    """(start, end) in hours of each run of true flags."""
    edges = np.diff(np.concatenate(([0], flags.astype(np.int8), [0])))
    return [(float(starts_h[a]), float(starts_h[b - 1] + epoch_h)) for a, b in zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1))]


def draw(path: pathlib.Path, out: pathlib.Path) -> None:
    frame = velnora_tools.epochs(path, epoch_seconds=5.0)
    starts_h = hours(frame.index.to_numpy())
    epoch_h = 5.0 / 3600
    calibration = frame.attrs["calibration"]

    fig, axes = plt.subplots(figsize=(11, 3.8), layout="constrained")
    axes.plot(starts_h, frame["enmo"].to_numpy() * 1000.0, color="tab:blue", lw=0.6, label="ENMO per 5 s epoch")
    for start, end in runs(frame["nonwear"].to_numpy(), starts_h, epoch_h):
        axes.axvspan(start, end, color="tab:orange", alpha=0.3, lw=0)
    for start, end in runs(frame["samples"].to_numpy() == 0, starts_h, epoch_h):
        axes.axvspan(start, end, color="tab:red", alpha=0.15, lw=0)
    axes.fill_between([], [], color="tab:orange", alpha=0.3, label="non-wear (15-minute blocks)")
    axes.fill_between([], [], color="tab:red", alpha=0.15, label="no samples")
    axes.legend(loc="upper left", fontsize=8.5, frameon=False)
    axes.set_ylabel("ENMO (mg)")
    axes.set_ylim(0, 500)
    text = (
        f"calibrated: {calibration['calibrated']}, error {calibration['error_before_mg']:.2f} mg before, "
        f"{calibration['error_after_mg']:.2f} mg after, {calibration['still_windows']} still windows"
    )
    day_axis(axes, text)
    fig.suptitle("One day of a wrist-worn device at 25 Hz (synthetic), calibrated, in 5 s epochs")
    fig.savefig(out, dpi=130)
    plt.close(fig)


def main() -> None:
    make_figure("epochs", write_recording, draw)


if __name__ == "__main__":
    main()
