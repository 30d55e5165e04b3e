"""The quality report of a recording: its row in `velnora report` and
`summarise`, the table's columns with their titles and dtypes, and the scan
of the samples for gaps and overlaps behind it and `velnora info`."""

from __future__ import annotations

import dataclasses
import datetime
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import velnora

from velnora_tools import _native
from velnora_tools._day_strip import day_strip
from velnora_tools._recording import failure_text, recording_header
from velnora_tools._outcome_columns import RECORDING_COLUMNS
from velnora_tools.activity import EpochOptions, epoch_summary, epochs
from velnora_tools.damaged import DamagedBlock, naming_damage, report_skipping_damaged
from velnora_tools.frames import plain_records
from velnora_tools.outcomes import OutcomeOptions, day_outcomes
from velnora_tools.sleep import SleepOptions, night_table, sleep_windows

# Blocks per reading call when scanning a whole recording: about 2 Mi samples,
# so a week-long recording is scanned in bounded memory.
SCAN_BLOCKS = 16384
# Steps between consecutive samples longer than this many nominal periods are
# gaps, shorter than this many are overlaps.
GAP_PERIODS = 1.5
OVERLAP_PERIODS = 0.5
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


class ReportColumn(NamedTuple):
    """A column of the report: its key, its title in the command's table and
    its pandas dtype, nullable so that a batch's dtypes do not depend on which
    of its recordings failed."""

    name: str
    title: str
    dtype: str = "string"


# The keys of velnora.sampling_consistency_report the row carries.
SAMPLING_COLUMNS = (
    ReportColumn("start_from_header", "start (header)"),
    ReportColumn("end_from_header", "end (header)"),
    ReportColumn("start_from_data", "start (data)"),
    ReportColumn("end_from_data", "end (data)"),
    ReportColumn("samplingrate_hz_from_header", "Hz (header)", "Float64"),
    ReportColumn("samplingrate_hz_from_data", "Hz (data)", "Float64"),
)
REPORT_COLUMNS = (
    ReportColumn("path", "path"),
    ReportColumn("device_id", "device", "Int64"),
    ReportColumn("session_id", "session", "Int64"),
    *SAMPLING_COLUMNS,
    ReportColumn("blocks", "blocks", "Int64"),
    ReportColumn("samples", "samples", "Int64"),
    ReportColumn("gaps", "gaps", "Int64"),
    ReportColumn("overlaps", "overlaps", "Int64"),
    ReportColumn("damaged_blocks", "damaged", "Int64"),
    ReportColumn("damaged_samples", "damaged samples", "Int64"),
    ReportColumn("error", "error"),
)
REPORT_NAMES = tuple(column.name for column in REPORT_COLUMNS)
# What `summarise(..., epochs=True)` adds, from `epoch_summary`, which also
# gives samples, start_from_data, end_from_data and samplingrate_hz_from_data
# of what the epochs hold.
EPOCH_COLUMNS = (
    ReportColumn("out_of_place_blocks", "blocks out of place", "Int64"),
    ReportColumn("out_of_place_samples", "their samples", "Int64"),
    ReportColumn("samples_out_of_order", "samples out of order", "Int64"),
    ReportColumn("calibrated", "calibrated", "boolean"),
    ReportColumn("calibration_reason", "why not calibrated"),
    ReportColumn("calibration_error_before_mg", "cal. error before (mg)", "Float64"),
    ReportColumn("calibration_error_after_mg", "cal. error after (mg)", "Float64"),
    ReportColumn("worn_hours", "worn (h)", "Float64"),
    ReportColumn("days_16h_worn", "days worn 16 h", "Int64"),
    ReportColumn("enmo_worn_mg", "ENMO worn (mg)", "Float64"),
    ReportColumn("strip_first_day", "first day"),
    ReportColumn("strip", "days"),
)


# What `summarise(..., outcomes=True)` adds, from `velnora_tools.outcomes`.
OUTCOME_COLUMNS = (
    *(ReportColumn(column.name, column.name, column.dtype) for column in RECORDING_COLUMNS),
    ReportColumn("sleep_windows", "sleep windows"),
)


@dataclass
class Steps:
    """Steps between consecutive samples outside the usual spacing: where
    (the earlier sample's timestamp, in microseconds) and how long (seconds)."""

    count: int = 0
    seconds: float = 0.0
    first: list[tuple[int, float]] = field(default_factory=list)

    def add(self, at: npt.NDArray[np.int64], lengths: npt.NDArray[np.float64], keep: int) -> None:
        self.count += len(at)
        self.seconds += float(lengths.sum())
        room = max(keep - len(self.first), 0)
        self.first += list(zip(at[:room].tolist(), lengths[:room].tolist()))


@dataclass
class Scan:
    samples: int = 0
    gaps: Steps = field(default_factory=Steps)
    overlaps: Steps = field(default_factory=Steps)


def report_and_damage(path: str) -> tuple[dict[str, Any], list[DamagedBlock]]:
    """The sampling report and the damaged blocks: the plain report when it
    succeeds, else the one that skips damaged blocks (which raises too when the
    recording itself cannot be read)."""
    try:
        return dict(velnora.sampling_consistency_report(path)), []
    except RuntimeError:
        report, damaged = report_skipping_damaged(path)
        return dict(report), damaged


def scan(path: str, nominal_hz: float, skip_damaged: bool, keep: int = 20) -> Scan:
    """Counts the samples of a whole recording and finds its gaps and
    overlaps, reading a bounded number of blocks at a time."""
    period_us = 1e6 / nominal_hz
    found = Scan()
    last: int | None = None
    for timestamps in _timestamp_chunks(path, skip_damaged):
        found.samples += len(timestamps)
        if last is not None:
            timestamps = np.concatenate(([last], timestamps))
        last = int(timestamps[-1])
        steps = np.diff(timestamps)
        for kind, where in (
            (found.gaps, steps > GAP_PERIODS * period_us),
            (found.overlaps, steps < OVERLAP_PERIODS * period_us),
        ):
            at = np.flatnonzero(where)
            kind.add(timestamps[at], steps[at] / 1e6, keep)
    return found


def _timestamp_chunks(path: str, skip_damaged: bool) -> Iterator[npt.NDArray[np.int64]]:
    for start in range(0, _native.block_positions(path), SCAN_BLOCKS):
        timestamps = _native.read_timestamps(path, start, start + SCAN_BLOCKS, skip_damaged)
        if timestamps is not None:  # else a stretch of filler sectors
            yield timestamps


@dataclass(frozen=True)
class StudyRows:
    """A recording's summary row and, with outcomes, its day and night rows
    (plain values), with what its epochs left out."""

    row: dict[str, Any]
    days: list[dict[str, Any]] = field(default_factory=list)
    nights: list[dict[str, Any]] = field(default_factory=list)
    left_out: list[DamagedBlock] = field(default_factory=list)
    samples_out_of_order: int = 0


def report_row(
    path: str,
    skip_damaged: bool = False,
    with_epochs: bool = False,
    with_outcomes: bool = False,
    describe: Callable[[BaseException], str] = failure_text,
) -> dict[str, Any]:
    """One row of `velnora report`: what could be read of the recording, and
    the message of what could not. Without `skip_damaged` a damaged data block
    fails the report; with it, the report and the scan cover the good blocks
    and `damaged_blocks` and `damaged_samples` count the others and the
    samples they may have held (`DamagedBlock.sample_count`). `with_epochs` adds EPOCH_COLUMNS,
    from 5 s epochs with calibration and non-wear, and the day strip;
    `with_outcomes` OUTCOME_COLUMNS from the same epochs, by the defaults
    of `velnora_tools.outcomes`. `describe` gives a failure's message."""
    epoch_options = EpochOptions(skip_damaged=skip_damaged) if with_epochs or with_outcomes else None
    return study_rows(path, skip_damaged, epoch_options, OutcomeOptions() if with_outcomes else None, describe).row


def study_rows(
    path: str,
    skip_damaged: bool = False,
    epoch_options: EpochOptions | None = None,
    outcome_options: OutcomeOptions | None = None,
    describe: Callable[[BaseException], str] = failure_text,
) -> StudyRows:
    """The summary of a recording, on a worker: its `report_row`, with
    `epoch_options` the epoch summary and day strip of its epochs, and with
    `outcome_options` too its outcomes, sleep windows, days and nights."""
    names = REPORT_NAMES + tuple(column.name for column in EPOCH_COLUMNS) * (epoch_options is not None)
    names += tuple(column.name for column in OUTCOME_COLUMNS) * (outcome_options is not None)
    row: dict[str, Any] = {**dict.fromkeys(names), "path": path}
    found = StudyRows(row)
    try:
        header = recording_header(path)
        row.update(device_id=header["device_id"], session_id=header["session_id"])
        row["blocks"] = _native.block_positions(path)
        report, damaged = _report_past_damage(path) if skip_damaged else _plain_report(path)
        row.update({column.name: report[column.name] for column in SAMPLING_COLUMNS})
        row.update(damaged_blocks=len(damaged), damaged_samples=sum(block.sample_count for block in damaged))
        scanned = scan(path, header["sample_rate_hz"], skip_damaged, keep=0)
        row.update(samples=scanned.samples, gaps=scanned.gaps.count, overlaps=scanned.overlaps.count)
        if epoch_options is not None:
            found = _with_epochs(path, row, epoch_options, outcome_options)
    except (RuntimeError, OSError, MemoryError) as error:
        row["error"] = describe(error)
    return found


def _with_epochs(path: str, row: dict[str, Any], epoch_options: EpochOptions, outcome_options: OutcomeOptions | None) -> StudyRows:
    with_outcomes = outcome_options is not None
    options = dataclasses.replace(epoch_options, anglez_median=epoch_options.anglez_median or with_outcomes)
    frame = epochs(path, **options.arguments())
    row.update(epoch_summary(frame, options.epoch_seconds), **day_strip(path, frame, frame.attrs["damaged_blocks"]))
    left_out, out_of_order = frame.attrs["damaged_blocks"], frame.attrs["samples_out_of_order"]
    if outcome_options is None:
        return StudyRows(row, left_out=left_out, samples_out_of_order=out_of_order)
    nights = night_table(frame, SleepOptions(), options.epoch_seconds)
    days = day_outcomes(frame, outcome_options, options)
    row.update(days.recording(nights), sleep_windows=sleep_windows(nights))
    return StudyRows(row, plain_records(days.table), plain_records(nights), left_out, out_of_order)


def _plain_report(path: str) -> tuple[dict[str, Any], list[DamagedBlock]]:
    with naming_damage():
        return dict(_native.sampling_consistency_report(path)), []


def _report_past_damage(path: str) -> tuple[dict[str, Any], list[DamagedBlock]]:
    report, damaged = report_skipping_damaged(path)
    return dict(report), damaged


def failed_report_row(path: str, error: BaseException) -> dict[str, Any]:
    """The row of a recording that could not be read: its message, None elsewhere."""
    return {**dict.fromkeys(REPORT_NAMES), "path": path, "error": failure_text(error)}


def iso_time(microseconds: int) -> str:
    return (EPOCH + datetime.timedelta(microseconds=microseconds)).isoformat()
