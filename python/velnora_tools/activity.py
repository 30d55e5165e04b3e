"""From a recording to epochs: gravity calibration (van Hees et al. 2014),
non-wear (the criteria of van Hees et al. 2013 on whole windows, re-scored
after van Hees et al. 2011) and per-epoch ENMO, MAD and anglez, each
computed in a streaming pass over the recording by the core
(docs/epochs.md)."""

from __future__ import annotations

import dataclasses
import datetime
import json
import math
import os
from typing import TYPE_CHECKING, Any

import numpy as np

from velnora_tools import _native
from velnora_tools._distribution import require
from velnora_tools._source import json_source, parquet_source, recording_source
from velnora_tools.damaged import OUT_OF_PLACE, DamagedBlock, naming_damage
from velnora_tools.replacing import check_output, replacing

if TYPE_CHECKING:
    import pandas as pd

    import velnora

_US_PER_S = 1_000_000
# The blocks non-wear is judged on, as the core judges them.
NONWEAR_BLOCK_US = _native.NONWEAR_BLOCK_SECONDS * _US_PER_S
# The worn hours that make a day count as a valid one.
WORN_DAY_HOURS = 16


@dataclasses.dataclass(frozen=True)
class Calibration:
    """A gravity calibration: the calibrated value of axis a (g) is
    `offset[a] + scale[a] * raw[a] + temperature_slope[a] * (T - reference_temperature)`,
    with raw[a] the reading in g and T the block's temperature in °C.

    `offset` is in g, `scale` in g per g, `temperature_slope` in g per °C,
    `reference_temperature` in °C (the still windows' mean temperature; 0.0
    when there is none). `error_before_mg` and `error_after_mg` are the mean
    distance, in mg, of the still windows' mean readings from the unit sphere
    before and after the fit (the same when nothing was fitted, NaN without
    still windows); `still_windows` counts those windows, `clipped_windows`
    the still windows left out as an axis's mean lay at or beyond 2 g or the
    device's range (a clipped or stuck axis). When `calibrated` is False the
    correction is the identity (offset 0, scale 1, slope 0) and `reason` says
    why. `temperature_fitted` says whether the temperature term was kept (its
    slopes are 0 otherwise), and `temperature_reason` why not."""

    offset: tuple[float, float, float] = (0.0, 0.0, 0.0)
    scale: tuple[float, float, float] = (1.0, 1.0, 1.0)
    temperature_slope: tuple[float, float, float] = (0.0, 0.0, 0.0)
    reference_temperature: float = 0.0
    error_before_mg: float = float("nan")
    error_after_mg: float = float("nan")
    still_windows: int = 0
    clipped_windows: int = 0
    calibrated: bool = False
    reason: str | None = None
    temperature_fitted: bool = False
    temperature_reason: str | None = None

    def as_dict(self) -> dict[str, Any]:
        """The fields as a plain dict (tuples of floats, numbers, a str or None)."""
        return dataclasses.asdict(self)

    def _numbers(self) -> tuple[float, ...]:
        return (*self.offset, *self.scale, *self.temperature_slope, self.reference_temperature)


@dataclasses.dataclass(frozen=True)
class Nonwear:
    """How `epochs` judges non-wear, on 60-minute windows of the readings as
    they are (docs/epochs.md). A window is still when at least `axes` of the
    three axes have an SD under `sd_mg` and a range (max - min) under
    `range_mg` in it; a window with under half the samples the header's rate
    promises is not judged.

    `rule` "window" (the default, as studies run non-wear since 2023): the
    windows start every 15 minutes and a still one marks all its 60 minutes
    as non-wear, so a stretch off the wrist is flagged from its start to its
    end, to within 15 minutes. "2013" (van Hees et al. 2013, PLoS ONE
    8:e61691): each 15-minute block is judged on the window centred on it,
    which leaves the first and last half hour of a still stretch worn.

    `rescore` (van Hees et al. 2011, PLoS ONE 6:e22922), in three passes: a
    worn stretch between two non-wear stretches becomes non-wear when it is
    shorter than 6 h and under 30 % of the non-wear of the two, or shorter
    than 3 h and under 80 % of it."""

    rule: str = "window"
    sd_mg: float = 13.0
    range_mg: float = 50.0
    axes: int = 2
    rescore: bool = True

    def __post_init__(self) -> None:
        if self.rule not in NONWEAR_RULES:
            raise ValueError(f"Nonwear rule must be one of {', '.join(map(repr, NONWEAR_RULES))}, not {self.rule!r}")
        if self.axes not in (1, 2, 3):
            raise ValueError(f"Nonwear axes must be 1, 2 or 3, not {self.axes!r}")
        for name in ("sd_mg", "range_mg"):
            value = getattr(self, name)
            if not (math.isfinite(value) and value > 0):
                raise ValueError(f"Nonwear {name} must be a positive number of mg, not {value!r}")

    def as_dict(self) -> dict[str, Any]:
        """The fields as a plain dict, as the outputs' metadata records them."""
        return dataclasses.asdict(self)

    def _numbers(self) -> tuple[float, ...]:
        return (float(self.rule == "2013"), self.sd_mg / 1000.0, self.range_mg / 1000.0, float(self.axes), float(self.rescore))


NONWEAR_RULES = ("window", "2013")


@naming_damage()
def calibrate(
    path: str | os.PathLike[str],
    *,
    cut: velnora.SecondsCut | velnora.BlocksCut | None = None,
    skip_damaged: bool = False,
) -> Calibration:
    """Estimates the recording's gravity calibration after van Hees et al.
    2014 (J Appl Physiol 117:738-744), in one pass over the samples `cut`
    selects.

    The samples are cut into 10 s windows aligned to multiples of 10 s; a
    window counts when it holds at least 80 % of the samples the header's
    rate promises, and it is still when each axis has an SD under 13 mg.
    Windows with an axis's mean at or beyond 2 g or the device's range (a
    clipped or stuck axis) are left out. Unless some still window's mean is
    below -0.3 g and some above +0.3 g on every axis, nothing is fitted.
    Otherwise the still windows' means are fitted to the unit sphere by
    iteratively reweighted least squares (weights the inverse of the distance
    from the sphere, at most 100), offset and scale per axis; the fit stops
    when the mean distance changes by less than 1e-6 g, or after 1000
    iterations. A term in temperature is fitted too when the still windows'
    temperatures have an SD of at least 0.5 °C, and kept only when it lowers
    the error of windows it was not fitted on: each posture (the nearest of
    26 directions) left out of the fit in turn, the mean distance of its
    windows from the sphere must be lower with the term than without. The result is calibrated when the mean
    distance after the fit is under 10 mg and under the one before;
    otherwise it is the identity, with the reason. Settled here where the
    paper leaves it open: the windows lie on the clock's multiples of 10 s, a
    window is complete at 80 % of its samples, SDs divide by n - 1, and a
    sample's temperature is its block's reading (docs/epochs.md).

    Inputs: readings in g, block temperatures in °C. `skip_damaged` reads
    past malformed data blocks as `read_skipping_damaged` does; errors are
    those of `velnora.read_cwa_file`."""
    values, _ = _native.calibrate(os.fspath(path), cut, skip_damaged)
    return Calibration(**values)


@naming_damage()
def epochs(
    path: str | os.PathLike[str],
    *,
    epoch_seconds: float = 5.0,
    calibration: bool | Calibration = True,
    nonwear: bool | Nonwear = True,
    cut: velnora.SecondsCut | velnora.BlocksCut | None = None,
    skip_damaged: bool = False,
    lowpass_hz: float | None = None,
    anglez_median: bool = False,
) -> pd.DataFrame:
    """Per-epoch metrics of a recording on calibrated values, with non-wear.

    `calibration`: True estimates it from the same samples (`calibrate`, a
    pass of its own); False uses the readings as they are; a `Calibration`
    (for instance one from a longer recording of the same device) is applied
    as it is. `nonwear` judges 15-minute blocks on the readings as they are:
    True by `Nonwear()`'s rule (whole 60-minute windows with two axes or three
    under 13 mg SD and 50 mg range, re-scored after van Hees et al. 2011), a
    `Nonwear` by its own, False not at all. `lowpass_hz` (None: no filter, as
    van Hees et al. 2013 compute ENMO) low-passes the readings, before they
    are calibrated and every metric is taken, with the zero-phase filter a
    4th-order Butterworth run forwards and backwards makes (20 Hz as studies following Doherty et al.
    2017, PLoS ONE 12:e0169649, filter); it must lie between a hundredth and
    half of the header's rate (RuntimeError otherwise). `anglez_median` adds the column `anglez_median`: per epoch the
    mean z angle (degrees) of the axes' rolling medians over 5 s (a centred
    window of the samples within 2.5 s of rate either side, fewer at a
    pause or the ends, where an even count takes the mean of its two middle
    values), the medians of the readings calibrated as the sample's own: the
    angle of the sleep methods (van Hees et al. 2015, 2018).

    The metrics follow ENMO of van Hees et al. 2013 (above), MAD of Vähä-Ypyä
    et al. 2015 (Clin Physiol Funct Imaging 35:64-70) and the z-angle of van
    Hees et al. 2015 (PLoS ONE 10:e0142533), with these differences: the
    z-angle is the mean of each sample's angle, without the sleep method's
    rolling medians of the axes; MAD takes the epoch length asked for; and
    non-wear is judged on uncalibrated readings, whose spreads a calibration
    barely changes, so every `calibration` gives the same verdicts.

    Returns a DataFrame indexed by the epochs' starts ("start",
    datetime64[us] on the recording's wall clock), aligned to multiples of
    `epoch_seconds` (seconds, a whole number of microseconds), one row per
    epoch from the first sample's to the last one's. Columns, on calibrated
    values: `enmo`, the mean of max(|a| - 1, 0) (g); `mad`, the mean absolute
    deviation of the vector magnitude |a| from its epoch mean (g); `anglez`,
    the mean of atan(z / sqrt(x² + y²)) (degrees); `nonwear` (bool, the
    verdict on the 15-minute block holding the epoch's start; False
    throughout when `nonwear` is False); `samples`, the samples in the epoch.
    An epoch without samples has NaN metrics. Sums run in float64 and in
    sample order, so the rows of a cut aligned to epochs are the same bits as
    those of the whole recording.

    A data block whose time is out of place (its clock puts it away from the
    data blocks around it, which leave room for it elsewhere: one flipped bit
    of a time stamp moves a block by years) is left out, so that one block's
    clock can neither stretch the epochs over years nor set the samples
    after it back (docs/epochs.md).

    `frame.attrs`, all plain JSON values (so that `to_parquet` and
    `to_pickle` keep them): "calibration" (the applied `Calibration.as_dict()`,
    None for False), "nonwear" (the applied `Nonwear.as_dict()`, None for
    False), "lowpass_hz", "nonwear_periods" (a list of [start, end] ISO 8601 texts
    on the recording's wall clock, end exclusive, of consecutive non-wear
    blocks, as "2023-05-01 22:15:00"; None when not judged), "damaged_blocks" (a list of `DamagedBlock`,
    the blocks left out: damaged, read past with `skip_damaged`, or with their
    time out of place), "samples_out_of_order" (samples timed before an
    earlier one, as after a device clock set back, which are left out),
    "first_sample" and "last_sample" (the times of the first and last sample
    the epochs hold, as `velnora.sampling_consistency_report` gives times).
    Errors: those of `velnora.read_cwa_file` (a recording without a data
    block fails as it does), MemoryError when the epochs' span needs more
    memory than the machine has, and ValueError for an `epoch_seconds` that
    is not a positive whole number of microseconds."""
    require("pandas", "velnora_tools.epochs")
    epoch_us = _native.epoch_length_us(epoch_seconds)
    applied = _applied_calibration(path, calibration, cut, skip_damaged)
    numbers = (applied or Calibration())._numbers()
    rule = _nonwear_rule(nonwear)
    if lowpass_hz is not None and not (math.isfinite(lowpass_hz) and lowpass_hz > 0):
        raise ValueError(f"lowpass_hz must be a positive number of Hz, not {lowpass_hz!r}")
    summary, damaged = _native.epochs(
        os.fspath(path), epoch_us, numbers, cut, None if rule is None else rule._numbers(), skip_damaged, lowpass_hz, anglez_median
    )

    try:
        frame = _epoch_frame(summary, epoch_us)
    except MemoryError:
        rows = len(summary["samples"]) // 8
        raise MemoryError(f"the recording's {rows} epochs, {summary['first_sample']} to {summary['last_sample']}, need more memory than this machine has free") from None
    flags = np.frombuffer(summary.get("nonwear", b""), np.uint8).astype(bool)
    frame.attrs["calibration"] = None if applied is None else applied.as_dict()
    frame.attrs["nonwear"] = None if rule is None else rule.as_dict()
    frame.attrs["lowpass_hz"] = lowpass_hz
    frame.attrs["nonwear_periods"] = _periods(flags, summary.get("nonwear_first_start_us", 0)) if rule else None
    frame.attrs["damaged_blocks"] = [DamagedBlock(*entry) for entry in damaged]
    frame.attrs["samples_out_of_order"] = summary["samples_out_of_order"]
    frame.attrs["first_sample"] = summary["first_sample"]
    frame.attrs["last_sample"] = summary["last_sample"]
    return frame


def _nonwear_rule(nonwear: bool | Nonwear) -> Nonwear | None:
    if isinstance(nonwear, Nonwear):
        return nonwear
    if nonwear is True:
        return Nonwear()
    if nonwear is False:
        return None
    raise TypeError(f"nonwear must be True, False or a Nonwear, not {type(nonwear).__name__}")


def _epoch_frame(summary: dict[str, Any], epoch_us: int) -> pd.DataFrame:
    import pandas as pd

    samples = np.frombuffer(summary["samples"], np.uint64).astype(np.int64)
    starts = summary["first_start_us"] + epoch_us * np.arange(len(samples), dtype=np.int64)
    flags = np.frombuffer(summary.get("nonwear", b""), np.uint8).astype(bool)
    if len(flags):
        block = starts // NONWEAR_BLOCK_US - summary["nonwear_first_start_us"] // NONWEAR_BLOCK_US
        epoch_nonwear = flags[np.clip(block, 0, len(flags) - 1)]
    else:
        epoch_nonwear = np.zeros(len(samples), bool)
    columns = {name: np.frombuffer(summary[name], np.float64).copy() for name in ("enmo", "mad", "anglez")}
    if "anglez_median" in summary:
        columns["anglez_median"] = np.frombuffer(summary["anglez_median"], np.float64).copy()
    return pd.DataFrame(
        {**columns, "nonwear": epoch_nonwear, "samples": samples},
        index=pd.DatetimeIndex(starts.view("datetime64[us]"), name="start"),
    )


def _applied_calibration(
    path: str | os.PathLike[str],
    calibration: bool | Calibration,
    cut: velnora.SecondsCut | velnora.BlocksCut | None,
    skip_damaged: bool,
) -> Calibration | None:
    if isinstance(calibration, Calibration):
        return calibration
    if calibration is True:
        return calibrate(path, cut=cut, skip_damaged=skip_damaged)
    if calibration is False:
        return None
    raise TypeError(f"calibration must be True, False or a Calibration, not {type(calibration).__name__}")


def _periods(flags: np.ndarray[Any, np.dtype[np.bool_]], first_start_us: int) -> list[list[str]]:
    """[start, end] of each run of non-wear blocks, as pandas writes a Timestamp ("2023-05-01 22:15:00")."""
    import pandas as pd

    edges = np.diff(np.concatenate(([0], flags.astype(np.int8), [0])))
    bounds = first_start_us + NONWEAR_BLOCK_US * np.stack([np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)], axis=1)
    return [[str(pd.Timestamp(int(time), unit="us")) for time in pair] for pair in bounds]


@dataclasses.dataclass(frozen=True)
class EpochOptions:
    """The options of `epochs` after the path, as the command and `convert`
    pass them on."""

    epoch_seconds: float = 5.0
    calibration: bool = True
    nonwear: bool | Nonwear = True
    cut: velnora.SecondsCut | velnora.BlocksCut | None = None
    skip_damaged: bool = False
    lowpass_hz: float | None = None
    anglez_median: bool = False

    def arguments(self) -> dict[str, Any]:
        """The options as keyword arguments of `epochs`."""
        return {field.name: getattr(self, field.name) for field in dataclasses.fields(self)}

    def recorded(self) -> dict[str, Any]:
        """What changes the epochs' numbers, as a manifest records it: the
        epoch length, whether calibrated, the non-wear rule (None for none),
        the low-pass."""
        rule = _nonwear_rule(self.nonwear)
        nonwear = None if rule is None else rule.as_dict()
        return {"epoch_seconds": self.epoch_seconds, "calibration": self.calibration, "nonwear": nonwear, "lowpass_hz": self.lowpass_hz}

    def source(self, path: str | os.PathLike[str]) -> dict[str, Any]:
        """What the epochs of the recording at `path` with these options record
        as their source: all the options, as they shape the table."""
        return recording_source(path, {**self.recorded(), "cut": self.cut, "skip_damaged": self.skip_damaged, "anglez_median": self.anglez_median})


def write_epochs(path: str | os.PathLike[str], out: str | os.PathLike[str], options: EpochOptions, csv: bool = False) -> tuple[list[DamagedBlock], int]:
    """Writes `epochs(path, ...)` to the Parquet file `out`, its "start" index
    a column, with the calibration, the non-wear periods, the non-wear rule,
    the low-pass, the blocks left out and what the table was made from (as
    `write_parquet` records it) as JSON under "velnora.calibration",
    "velnora.nonwear", "velnora.nonwear_rule", "velnora.lowpass_hz",
    "velnora.damaged" and "velnora.source" in the file's key-value metadata.
    With `csv`, `out` is the same table as CSV text and those six go, under
    the same names
    without "velnora.", into a JSON file beside it, named as `out`
    with ".json" for its ".csv" ending (or added). Outputs appear only when
    complete; the CSV table goes straight into an `out` that is a FIFO or a
    device, without the JSON file, and Parquet refuses one. Returns the blocks
    left out (`DamagedBlock`) and the samples left out as timed before an
    earlier one."""
    check_output(path, out, stream=csv)
    source = options.source(path)
    frame = epochs(path, **options.arguments())
    summary = _epoch_metadata(frame) | {"source": source}
    if csv:
        with replacing(out, stream=True) as table:
            frame.to_csv(table)
            # A FIFO or a device is written directly and has no folder of its own to share.
            if table != os.fspath(out):
                with replacing(json_beside(out)) as sidecar, open(sidecar, "w", encoding="utf-8") as file:
                    json.dump(summary, file, indent=1)
    else:
        with replacing(out) as temporary:
            _write_epoch_parquet(frame, summary, temporary)
    damaged: list[DamagedBlock] = frame.attrs["damaged_blocks"]
    return damaged, frame.attrs["samples_out_of_order"]


def complete_epochs(path: str | os.PathLike[str], out: str | os.PathLike[str], options: EpochOptions, csv: bool = False) -> bool:
    """Whether `out` holds what `write_epochs(path, out, options, csv)` would
    write: finished, of this recording as it is now, with these options."""
    made = json_source(out, json_beside(out)) if csv else parquet_source(out)
    return made is not None and made == options.source(path)


def json_beside(out: str | os.PathLike[str]) -> str:
    """The JSON file beside a CSV table: its name with ".json" for a
    ".csv" ending, or ".json" added."""
    text = os.fspath(out)
    return (text[: -len(".csv")] if text.endswith(".csv") else text) + ".json"


def _epoch_metadata(frame: pd.DataFrame) -> dict[str, Any]:
    """The calibration, the non-wear periods (ISO start and end pairs, None
    when not judged) and the damaged blocks of an epochs frame, as JSON values."""
    return {
        "calibration": frame.attrs["calibration"],
        "nonwear": frame.attrs["nonwear_periods"],
        "nonwear_rule": frame.attrs["nonwear"],
        "lowpass_hz": frame.attrs["lowpass_hz"],
        "damaged": [list(block) for block in frame.attrs["damaged_blocks"]],
    }


def _write_epoch_parquet(frame: pd.DataFrame, summary: dict[str, Any], out: str) -> None:
    require("pyarrow.parquet", "velnora_tools.write_epochs")
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pa.Table.from_pandas(frame.reset_index(), preserve_index=False)
    metadata = dict(table.schema.metadata or {})
    metadata.update({f"velnora.{key}".encode(): json.dumps(value).encode() for key, value in summary.items()})
    pq.write_table(table.replace_schema_metadata(metadata), out, compression="zstd")


def epoch_summary(frame: pd.DataFrame, epoch_seconds: float) -> dict[str, Any]:
    """What a study's first table wants of a recording's epochs: the
    samples they hold with the times of the first and last and the rate
    between them (as `velnora.sampling_consistency_report` computes it from
    all samples), what was left out (blocks whose time is out of place and
    their samples, samples timed before an earlier one), the calibration's
    outcome and errors (mg), the hours worn, the days with at least 16 worn
    hours and the mean ENMO over worn epochs (mg)."""
    import pandas as pd

    calibration = frame.attrs["calibration"] or {}
    worn = (frame["samples"] > 0) & ~frame["nonwear"]
    days = pd.DatetimeIndex(frame.index).normalize()
    hours = worn.groupby(days).sum() * epoch_seconds / 3600.0
    misplaced = [block for block in frame.attrs["damaged_blocks"] if block.reason == OUT_OF_PLACE]
    samples = int(frame["samples"].sum())
    return {
        "samples": samples,
        "start_from_data": frame.attrs["first_sample"],
        "end_from_data": frame.attrs["last_sample"],
        "samplingrate_hz_from_data": _rate(samples, frame.attrs["first_sample"], frame.attrs["last_sample"]),
        "out_of_place_blocks": len(misplaced),
        "out_of_place_samples": sum(block.sample_count for block in misplaced),
        "samples_out_of_order": frame.attrs["samples_out_of_order"],
        "calibrated": calibration.get("calibrated"),
        "calibration_reason": calibration.get("reason"),
        "calibration_error_before_mg": calibration.get("error_before_mg"),
        "calibration_error_after_mg": calibration.get("error_after_mg"),
        "worn_hours": float(worn.sum() * epoch_seconds / 3600.0),
        "days_16h_worn": int((hours >= WORN_DAY_HOURS).sum()),
        "enmo_worn_mg": float(frame["enmo"][worn].mean() * 1000.0) if worn.any() else None,
    }

def _rate(samples: int, first: str | None, last: str | None) -> float | None:
    """(samples - 1) / the seconds from the first sample to the last, in the
    sampling report's order of operations; None as there."""
    if first is None or last is None or samples < 2:
        return None
    step = datetime.datetime.fromisoformat(last) - datetime.datetime.fromisoformat(first)
    seconds = (step // datetime.timedelta(microseconds=1)) / 1e6
    return (samples - 1) / seconds if seconds > 0 else None
