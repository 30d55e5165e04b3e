"""What a physical-activity paper reports, from a recording's epochs: per
calendar day (`days`) valid days, time worn and in intensity classes, bouts,
M10/L5, MX and the intensity gradient; per recording (`outcomes`) their
means over valid days, the 24-hour mean with non-wear imputed, the
rest-activity rhythm (IS, IV), the hourly profile and the nights' means
(docs/outcomes.md, the columns in docs/data-dictionary.md)."""

from __future__ import annotations

import dataclasses
import json
import math
import os
from typing import TYPE_CHECKING, Any

import numpy as np

from velnora_tools import _measures
from velnora_tools._outcome_columns import DAY_COLUMNS, DAY_MEANS, RECORDING_COLUMNS
from velnora_tools._distribution import require
from velnora_tools.activity import WORN_DAY_HOURS, EpochOptions, epochs
from velnora_tools.damaged import DamagedBlock
from velnora_tools.replacing import check_output, replacing
from velnora_tools.sleep import SleepOptions, night_means, night_table

if TYPE_CHECKING:
    import pandas as pd

_US_PER_S = 1_000_000
_DAY_S = 86_400
BOUT_MINUTES = (1, 5, 10)
CUTPOINT_METRICS = ("enmo", "mad")


@dataclasses.dataclass(frozen=True)
class OutcomeOptions:
    """The parameters that change the outcomes' numbers: the cut-points
    (mg) c1 < c2 < c3 of light, moderate and vigorous, the metric they apply
    to ("enmo" or "mad"), the worn hours that make a day valid, and the share
    of a bout's epochs that must be at or above c2."""

    cutpoints: tuple[float, float, float] = (40.0, 100.0, 400.0)
    cutpoint_metric: str = "enmo"
    valid_hours: float = float(WORN_DAY_HOURS)
    bout_share: float = 0.8

    def __post_init__(self) -> None:
        c1, c2, c3 = self.cutpoints
        if not (0 < c1 < c2 < c3 < math.inf):
            raise ValueError(f"cutpoints must be three increasing positive numbers of mg, not {self.cutpoints!r}")
        if self.cutpoint_metric not in CUTPOINT_METRICS:
            raise ValueError(f"cutpoint_metric must be 'enmo' or 'mad', not {self.cutpoint_metric!r}")
        if not (0 <= self.valid_hours <= 24):
            raise ValueError(f"valid_hours must lie between 0 and 24, not {self.valid_hours!r}")
        if not (0 < self.bout_share <= 1):
            raise ValueError(f"bout_share must lie in (0, 1], not {self.bout_share!r}")


def days(
    path: str | os.PathLike[str],
    *,
    cutpoints: tuple[float, float, float] = (40.0, 100.0, 400.0),
    cutpoint_metric: str = "enmo",
    valid_hours: float = float(WORN_DAY_HOURS),
    epoch_options: EpochOptions = EpochOptions(),
) -> pd.DataFrame:
    """One row per calendar day of the recording's wall clock, midnight to
    midnight, the partial first and last days included and marked
    (`partial`): the columns of `DAY_COLUMNS` (docs/data-dictionary.md), from
    the epochs `velnora_tools.epochs` makes with `epoch_options` (5 s,
    calibrated, non-wear judged, by default). `cutpoints` (mg) apply to the
    metric `cutpoint_metric`; a day is valid with at least `valid_hours` worn
    hours. `frame.attrs["parameters"]` holds every parameter that changes a
    number. Errors: those of `epochs`, and ValueError for parameters out of
    range or an epoch length that does not divide a day."""
    options = _options(cutpoints, cutpoint_metric, valid_hours)
    return day_outcomes(epochs(path, **epoch_options.arguments()), options, epoch_options).table


def outcomes(
    path: str | os.PathLike[str],
    *,
    cutpoints: tuple[float, float, float] = (40.0, 100.0, 400.0),
    cutpoint_metric: str = "enmo",
    valid_hours: float = float(WORN_DAY_HOURS),
    epoch_options: EpochOptions = EpochOptions(),
) -> dict[str, Any]:
    """The recording's outcomes, the columns of `RECORDING_COLUMNS`
    (docs/data-dictionary.md): valid days, the means over valid days of the
    day measures of `days`, the 24-hour mean with non-wear imputed, IS, IV
    and the hourly profile, valid nights and the means over them of the
    night measures of `velnora_tools.nights` (by `SleepOptions()`), and under
    "parameters" every parameter that changes a number. Arguments and
    errors as `days`'."""
    options = _options(cutpoints, cutpoint_metric, valid_hours)
    frame = epochs(path, **_with_sleep_angle(epoch_options).arguments())
    found = day_outcomes(frame, options, epoch_options)
    return {**found.recording(night_table(frame, SleepOptions(), epoch_options.epoch_seconds)), "parameters": found.table.attrs["parameters"]}


def _with_sleep_angle(epoch_options: EpochOptions) -> EpochOptions:
    """The epoch options with the sleep methods' z angle, which the nights need."""
    return dataclasses.replace(epoch_options, anglez_median=True)


def _options(cutpoints: tuple[float, float, float], cutpoint_metric: str, valid_hours: float) -> OutcomeOptions:
    c1, c2, c3 = (float(value) for value in cutpoints)
    return OutcomeOptions((c1, c2, c3), cutpoint_metric, float(valid_hours))


def parameters(options: OutcomeOptions, epoch_options: EpochOptions) -> dict[str, Any]:
    """Every parameter that changes an outcome, as plain JSON values."""
    return {
        **dataclasses.asdict(options),
        "cutpoints": list(options.cutpoints),
        "epochs": epoch_options.recorded(),
        "sleep": dataclasses.asdict(SleepOptions()),
    }


class _Grid:
    """A recording's epochs on whole days from its first day's midnight: per
    epoch its values (NaN where there are none), whether worn and within the
    recording; per day whether it is valid; per time of day the mean over
    valid days' worn epochs (the profile that fills the rest)."""

    def __init__(self, frame: pd.DataFrame, epoch_s: float, valid_hours: float) -> None:
        epoch_us = round(epoch_s * _US_PER_S)
        if (_DAY_S * _US_PER_S) % epoch_us:
            raise ValueError(f"epoch_seconds must divide a day into whole epochs, not {epoch_s!r}")
        self.per_day = _DAY_S * _US_PER_S // epoch_us
        self.epoch_hours = epoch_s / 3600.0
        starts = frame.index.to_numpy().astype("datetime64[us]").astype(np.int64)
        first_day = starts[0] // (_DAY_S * _US_PER_S) * (_DAY_S * _US_PER_S)
        self.first_day = np.datetime64(int(first_day), "us").astype("datetime64[D]")
        at = (starts - first_day) // epoch_us
        self.day_count = int(at[-1]) // self.per_day + 1
        size = self.day_count * self.per_day
        self.samples = np.zeros(size, np.int64)
        self.samples[at] = frame["samples"].to_numpy()
        self.worn = np.zeros(size, bool)
        self.worn[at] = (frame["samples"].to_numpy() > 0) & ~frame["nonwear"].to_numpy()
        self.within = np.zeros(size, bool)
        self.within[at[0] : at[-1] + 1] = True
        self.values = {name: np.full(size, math.nan) for name in ("enmo", "mad")}
        for name, column in self.values.items():
            column[at] = frame[name].to_numpy() * 1000.0
        worn_days = self.worn.reshape(self.day_count, self.per_day)
        self.valid = worn_days.sum(axis=1) * self.epoch_hours >= valid_hours
        self.profile = self._profile(worn_days)

    def _profile(self, worn_days: Any) -> Any:
        """Per time of day, the mean ENMO of the valid days' worn epochs
        (of every day's where none is valid); NaN where none was worn."""
        days = self.valid if self.valid.any() else np.ones(self.day_count, bool)
        enmo = self.values["enmo"].reshape(self.day_count, self.per_day)[days]
        worn = worn_days[days]
        counts = worn.sum(axis=0)
        sums = np.where(worn, enmo, 0.0).sum(axis=0)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(counts > 0, sums / np.maximum(counts, 1), math.nan)

    def day(self, d: int) -> slice:
        return slice(d * self.per_day, (d + 1) * self.per_day)

    def filled(self, d: int) -> Any:
        """Day d's ENMO (mg), every epoch not worn filled from the profile,
        and where the profile has none from the mean of its times."""
        fill = np.where(np.isnan(self.profile), np.nanmean(self.profile) if np.isfinite(self.profile).any() else math.nan, self.profile)
        span = self.day(d)
        return np.where(self.worn[span], self.values["enmo"][span], fill)


@dataclasses.dataclass
class DayOutcomes:
    """A recording's day table, and what its outcomes need beside it: the
    profile of its valid days' worn epochs by time of day, and each day's
    filled hourly means."""

    table: pd.DataFrame
    profile: Any
    hourly: Any

    def recording(self, nights: pd.DataFrame | None = None) -> dict[str, Any]:
        """The recording's outcomes, the columns of RECORDING_COLUMNS, those of
        the nights from their table (None without one)."""
        valid = self.table["valid"].to_numpy(dtype=bool)
        weekend = np.array([np.datetime64(date, "D").astype(object).weekday() >= 5 for date in self.table["date"]], bool)
        result: dict[str, Any] = {"valid_days": int(valid.sum()), "valid_weekend_days": int((valid & weekend).sum())}
        for column in DAY_MEANS:
            values = self.table[column.name].to_numpy(dtype=float, na_value=math.nan)[valid]
            result[column.name] = _finite_or_none(float(np.nanmean(values))) if np.isfinite(values).any() else None
        finite = np.isfinite(self.profile)
        result["enmo_24h_mg"] = float(np.mean(self.profile[finite])) if finite.any() else None
        hourly = self.hourly[valid]
        result["is"] = _finite_or_none(_measures.interdaily_stability(hourly))
        result["iv"] = _finite_or_none(_measures.intradaily_variability(hourly))
        by_hour = _hourly(self.profile, len(self.profile)) if len(self.profile) else np.full(24, math.nan)
        for hour in range(24):
            result[f"enmo_mg_hour_{hour:02d}"] = _finite_or_none(float(by_hour[hour]))
        if nights is not None:
            result.update(night_means(nights))
        return {column.name: result.get(column.name) for column in RECORDING_COLUMNS}


def day_outcomes(frame: pd.DataFrame, options: OutcomeOptions, epoch_options: EpochOptions) -> DayOutcomes:
    """The day rows of an epochs frame and what the recording's outcomes need."""
    import pandas as pd

    epoch_s = epoch_options.epoch_seconds
    rows: list[dict[str, Any]] = []
    profile, hourly = np.zeros(0), np.zeros((0, 24))
    if len(frame):
        grid = _Grid(frame, epoch_s, options.valid_hours)
        rows = [_day_row(grid, d, options, epoch_s) for d in range(grid.day_count)]
        profile = grid.profile
        hourly = np.array([_hourly(grid.filled(d), grid.per_day) for d in range(grid.day_count)])
    table = pd.DataFrame(
        {column.name: pd.Series([row[column.name] for row in rows], dtype=column.dtype) for column in DAY_COLUMNS},
        columns=[column.name for column in DAY_COLUMNS],
    )
    table.attrs["parameters"] = parameters(options, epoch_options)
    return DayOutcomes(table, profile, hourly)


def _day_row(grid: _Grid, d: int, options: OutcomeOptions, epoch_s: float) -> dict[str, Any]:
    span = grid.day(d)
    worn, within = grid.worn[span], grid.within[span]
    enmo, mad = grid.values["enmo"][span], grid.values["mad"][span]
    metric = grid.values[options.cutpoint_metric][span]
    epoch_minutes = epoch_s / 60.0
    row: dict[str, Any] = {
        "date": str(grid.first_day + d),
        "partial": not within.all(),
        "valid": bool(grid.valid[d]),
        "wear_hours": float(worn.sum() * grid.epoch_hours),
        "nonwear_hours": float((within & ~worn).sum() * grid.epoch_hours),
        "samples": int(grid.samples[span].sum()),
        "enmo_mg": float(enmo[worn].mean()) if worn.any() else math.nan,
        "mad_mg": float(mad[worn].mean()) if worn.any() else math.nan,
    }
    classes = _measures.class_epochs(metric, worn, options.cutpoints)
    for name, count in zip(("sedentary", "light", "moderate", "vigorous"), classes):
        row[f"minutes_{name}"] = count * epoch_minutes
    active = worn & (metric >= options.cutpoints[1])
    share = _measures.share_parts(options.bout_share)
    for minutes in BOUT_MINUTES:
        row[f"minutes_mvpa_bouts_{minutes}"] = _measures.bout_epochs(active, math.ceil(minutes * 60 / epoch_s), share) * epoch_minutes
    filled = grid.filled(d)
    for name, hours, highest in (("m10", 10, True), ("l5", 5, False)):
        value, start = _measures.extreme_window(filled, round(hours * 3600 / epoch_s), highest)
        row[f"{name}_mg"] = value
        row[f"{name}_start"] = _clock(start * epoch_s) if start >= 0 else None
    for minutes in (60, 30, 15):
        row[f"m{minutes}_mg"] = _measures.mx(filled, round(minutes * 60 / epoch_s))
    gradient, intercept, r2 = _measures.intensity_gradient(enmo[worn], epoch_minutes)
    row.update(ig_gradient=gradient, ig_intercept=intercept, ig_r2=r2)
    return row


def _hourly(values: Any, per_day: int) -> Any:
    """Mean per hour of a day's values on its epoch grid, NaN ignored."""
    with np.errstate(invalid="ignore"):
        hours = np.asarray(values, float).reshape(24, per_day // 24)
        counts = np.isfinite(hours).sum(axis=1)
        return np.where(counts > 0, np.nansum(hours, axis=1) / np.maximum(counts, 1), math.nan)


def _clock(seconds: float) -> str:
    whole = int(seconds)
    return f"{whole // 3600:02d}:{whole // 60 % 60:02d}:{whole % 60:02d}"


def _finite_or_none(value: float) -> float | None:
    return value if math.isfinite(value) else None


def write_days(path: str, out: str, options: OutcomeOptions, epoch_options: EpochOptions) -> tuple[list[DamagedBlock], int]:
    """Writes the day table of `days` to the Parquet file `out`, every
    parameter as JSON under "velnora.parameters" in its metadata, under its
    final name only when complete; returns the blocks and the samples out of
    order its epochs left out."""
    require("pyarrow.parquet", "velnora_tools.convert")
    import pyarrow as pa
    import pyarrow.parquet as pq

    check_output(path, out)
    frame = epochs(path, **epoch_options.arguments())
    table = pa.Table.from_pandas(day_outcomes(frame, options, epoch_options).table, preserve_index=False)
    metadata = {**(table.schema.metadata or {}), b"velnora.parameters": json.dumps(parameters(options, epoch_options)).encode()}
    with replacing(out) as temporary:
        pq.write_table(table.replace_schema_metadata(metadata), temporary, compression="zstd")
    return frame.attrs["damaged_blocks"], frame.attrs["samples_out_of_order"]
