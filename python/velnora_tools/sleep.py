"""Each night's sleep from the wrist, without a diary: the sleep period time
window (van Hees et al. 2018, Sci Rep 8:12975) and the sustained inactivity
within it (van Hees et al. 2015, PLoS ONE 10:e0142533), on the z angle of
the axes' rolling medians (docs/sleep.md, the columns in
docs/data-dictionary.md)."""

from __future__ import annotations

import dataclasses
import math
import os
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from velnora_tools._outcome_columns import NIGHT_COLUMNS, NIGHT_MEANS
from velnora_tools.activity import WORN_DAY_HOURS, EpochOptions, epochs

if TYPE_CHECKING:
    import pandas as pd

_US_PER_S = 1_000_000
_HOUR_US = 3600 * _US_PER_S
_DAY_US = 24 * _HOUR_US


@dataclasses.dataclass(frozen=True)
class SleepOptions:
    """The parameters of the sleep methods, the papers' defaults: sustained
    inactivity where the z angle changes by at most `still_angle_deg`
    between epochs for at least `still_minutes`; the sleep period time
    window from the `window_minutes` rolling median of those changes, under
    `percentile` × `multiplier` of the night's, in runs of at least
    `run_minutes` joined over gaps under `gap_minutes`. A threshold of 0 (a
    night of stillness) takes `fallback_deg`; `clamp` keeps the threshold
    within [0.13°, 0.50°]. A night is valid with `valid_hours` worn hours
    from noon to noon and a window."""

    still_angle_deg: float = 5.0
    still_minutes: float = 5.0
    window_minutes: float = 5.0
    percentile: float = 10.0
    multiplier: float = 15.0
    run_minutes: float = 30.0
    gap_minutes: float = 60.0
    fallback_deg: float = 0.13
    clamp: bool = False
    valid_hours: float = float(WORN_DAY_HOURS)


CLAMP_DEG = (0.13, 0.50)


def nights(
    path: str | os.PathLike[str], *, options: SleepOptions = SleepOptions(), epoch_options: EpochOptions = EpochOptions()
) -> pd.DataFrame:
    """One row per night, noon to noon on the recording's wall clock (named
    by the evening's date; the first and last partial), the columns of
    `NIGHT_COLUMNS` (docs/data-dictionary.md), from the epochs of
    `velnora_tools.epochs` with `epoch_options` and the sleep methods' z angle.
    `frame.attrs["parameters"]` holds every parameter. Errors: those of
    `epochs`."""
    frame = epochs(path, **dataclasses.replace(epoch_options, anglez_median=True).arguments())
    return night_table(frame, options, epoch_options.epoch_seconds)


def night_table(frame: pd.DataFrame, options: SleepOptions, epoch_s: float) -> pd.DataFrame:
    """The night rows of an epochs frame that holds `anglez_median`."""
    import pandas as pd

    rows = []
    if len(frame):
        starts = frame.index.to_numpy().astype("datetime64[us]").astype(np.int64)
        first_noon = (starts[0] - _DAY_US // 2) // _DAY_US * _DAY_US + _DAY_US // 2
        angle = frame["anglez_median"].to_numpy()
        worn = (frame["samples"].to_numpy() > 0) & ~frame["nonwear"].to_numpy()
        for noon in range(int(first_noon), int(starts[-1]) + 1, _DAY_US):
            inside = (starts >= noon) & (starts < noon + _DAY_US)
            rows.append(_night_row(noon, starts[inside], angle[inside], worn[inside], options, epoch_s))
    table = pd.DataFrame(
        {column.name: pd.Series([row[column.name] for row in rows], dtype=column.dtype) for column in NIGHT_COLUMNS},
        columns=[column.name for column in NIGHT_COLUMNS],
    )
    table.attrs["parameters"] = dataclasses.asdict(options)
    return table


def sustained_inactivity(
    angle: npt.NDArray[np.float64], worn: npt.NDArray[np.bool_], still_deg: float, min_epochs: int
) -> npt.NDArray[np.bool_]:
    """Epochs in runs of at least `min_epochs` worn epochs in which the angle
    changes by at most `still_deg` from each epoch to the next."""
    change = np.abs(np.diff(angle, prepend=np.nan))
    with np.errstate(invalid="ignore"):
        linked = (change <= still_deg) & worn & np.concatenate(([False], worn[:-1]))
    # Each epoch not linked to the one before begins a run.
    run = np.cumsum(~linked)
    return worn & (np.bincount(run)[run] >= min_epochs)


def sleep_period_window(
    angle: npt.NDArray[np.float64], worn: npt.NDArray[np.bool_], options: SleepOptions, epoch_s: float
) -> tuple[tuple[int, int] | None, float]:
    """The night's sleep period time window as [begin, end) epochs, or
    None, and the threshold (degrees) it was found under."""
    import pandas as pd

    per_minute = 60.0 / epoch_s
    change = np.abs(np.diff(angle, prepend=np.nan))
    reach = int(options.window_minutes * per_minute) // 2
    x = pd.Series(np.where(worn, change, np.nan)).rolling(2 * reach + 1, center=True, min_periods=1).median().to_numpy()
    judged = x[worn & np.isfinite(x)]
    if not len(judged):
        return None, math.nan
    threshold = float(np.percentile(judged, options.percentile)) * options.multiplier
    if threshold == 0.0:
        threshold = options.fallback_deg
    if options.clamp:
        threshold = min(max(threshold, CLAMP_DEG[0]), CLAMP_DEG[1])
    with np.errstate(invalid="ignore"):
        below = worn & (x < threshold)
    return longest_joined_run(below, options.run_minutes * per_minute, options.gap_minutes * per_minute), threshold


def longest_joined_run(below: npt.NDArray[np.bool_], min_run: float, max_gap: float) -> tuple[int, int] | None:
    """[begin, end) of the longest block of runs of `below` lasting at least
    `min_run` epochs, runs joined over gaps under `max_gap` epochs; the
    earliest of equal blocks; None without such a run."""
    runs = [(begin, end) for begin, end in _runs(below) if end - begin >= min_run]
    if not runs:
        return None
    joined = [list(runs[0])]
    for begin, end in runs[1:]:
        if begin - joined[-1][1] < max_gap:
            joined[-1][1] = end
        else:
            joined.append([begin, end])
    begin, end = max(joined, key=lambda block: block[1] - block[0])
    return begin, end


def _night_row(
    noon_us: int, starts: npt.NDArray[np.int64], angle: npt.NDArray[np.float64], worn: npt.NDArray[np.bool_], options: SleepOptions, epoch_s: float
) -> dict[str, Any]:
    epoch_hours = epoch_s / 3600.0
    window, threshold = sleep_period_window(angle, worn, options, epoch_s)
    inactive = sustained_inactivity(angle, worn, options.still_angle_deg, math.ceil(options.still_minutes * 60.0 / epoch_s))
    row: dict[str, Any] = {
        "night": str(np.datetime64(noon_us, "us").astype("datetime64[D]")),
        "partial": len(starts) == 0 or starts[0] > noon_us or starts[-1] + epoch_s * _US_PER_S < noon_us + _DAY_US,
        "spt_threshold_deg": None if math.isnan(threshold) else threshold,
        "spt_start": None,
        "spt_end": None,
        "spt_hours": None,
        "sleep_hours": None,
        "waso_minutes": None,
        "awakenings": None,
        "sleep_efficiency": None,
        "nonwear_hours": float((~worn).sum() * epoch_hours),
    }
    if window is not None:
        begin, end = window
        asleep = inactive[begin:end]
        spt_hours = (end - begin) * epoch_hours
        sleep_hours = float(asleep.sum() * epoch_hours)
        # Wake runs with sleep on both sides.
        wake_runs = [run for run in _runs(~asleep) if run[0] > 0 and run[1] < len(asleep)]
        row.update(
            spt_start=_wall_clock(int(starts[begin])),
            spt_end=_wall_clock(int(starts[end - 1]) + round(epoch_s * _US_PER_S)),
            spt_hours=spt_hours,
            sleep_hours=sleep_hours,
            waso_minutes=(spt_hours - sleep_hours) * 60.0,
            awakenings=len(wake_runs),
            sleep_efficiency=sleep_hours / spt_hours,
        )
    row["valid"] = window is not None and float(worn.sum() * epoch_hours) >= options.valid_hours
    return row


def night_means(table: pd.DataFrame) -> dict[str, Any]:
    """The recording's valid nights and the means of the night measures over them."""
    valid = table["valid"].to_numpy(dtype=bool)
    result: dict[str, Any] = {"valid_nights": int(valid.sum())}
    for column in NIGHT_MEANS:
        values = table[column.name].to_numpy(dtype=float, na_value=math.nan)[valid]
        result[column.name] = float(np.nanmean(values)) if np.isfinite(values).any() else None
    return result


def sleep_windows(table: pd.DataFrame) -> str | None:
    """Each night's sleep period time window as "start/end", the nights
    separated by ";" (for the summary and the page); None without any."""
    found = [f"{start}/{end}" for start, end in zip(table["spt_start"], table["spt_end"]) if isinstance(start, str)]
    return ";".join(found) or None


def _wall_clock(us: int) -> str:
    return str(np.datetime64(us, "us").astype("datetime64[s]"))


def _runs(flags: npt.NDArray[np.bool_]) -> list[tuple[int, int]]:
    """[begin, end) of each run of True."""
    edges = np.diff(np.concatenate(([0], flags.astype(np.int8), [0])))
    return list(zip(np.flatnonzero(edges == 1).tolist(), np.flatnonzero(edges == -1).tolist()))
