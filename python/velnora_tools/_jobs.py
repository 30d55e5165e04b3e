"""What the `velnora` command does with one recording: its report row, its
samples scanned for gaps, its CSV or Parquet export. Top-level functions, so
that worker processes can run them."""

from __future__ import annotations

import datetime
import os
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

import velnora

from velnora_tools.parquet import write_columns
from velnora_tools.replacing import replacing

# Blocks per reading call when scanning a whole recording: about 2 Mi samples,
# so a week-long recording is scanned in bounded memory.
SCAN_BLOCKS = 16384
# Steps between consecutive samples longer than this many nominal periods are
# gaps, shorter than this many are overlaps.
GAP_PERIODS = 1.5
OVERLAP_PERIODS = 0.5
HEADER_BYTES = 1024
SECTOR_BYTES = 512
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
NO_SAMPLES = "No valid sample data found in the specified range"


@dataclass(frozen=True)
class Export:
    """The reading options of an export, as keyword arguments of velnora."""

    cut: velnora.SecondsCut | velnora.BlocksCut | None = None
    include: Mapping[str, bool] = field(default_factory=dict)
    resample_hz: float | None = None
    skip_damaged: bool = False
    resample_method: str = "cubic"

    def read_args(self) -> dict[str, Any]:
        return {"cut": self.cut, **self.include, "resample_hz": self.resample_hz, "resample_method": self.resample_method}


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


def block_positions(path: str) -> int:
    """The data-block positions of a recording, as `velnora.blocks` counts them."""
    return max(os.path.getsize(path) - HEADER_BYTES, 0) // SECTOR_BYTES


def report_and_damage(path: str) -> tuple[dict[str, Any], list[Any]]:
    """The sampling report and the damaged blocks: the plain report when it
    succeeds, else the one that skips damaged blocks (which raises too when the
    recording itself cannot be read)."""
    try:
        return dict(velnora.sampling_consistency_report(path)), []
    except RuntimeError:
        from velnora_tools import report_skipping_damaged

        report, damaged = report_skipping_damaged(path)
        return dict(report), list(damaged)


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
    options: dict[str, Any] = dict.fromkeys(
        ("include_magnetometer", "include_temperature", "include_light", "include_battery"), False
    )
    for start in range(0, block_positions(path), SCAN_BLOCKS):
        cut = velnora.blocks(start, start + SCAN_BLOCKS)
        try:
            columns = _read(path, skip_damaged, cut=cut, **options)
        except RuntimeError as error:
            if str(error) == NO_SAMPLES:  # a stretch of filler sectors
                continue
            raise
        yield columns["timestamp"]


def _read(path: str, skip_damaged: bool, **read_args: Any) -> dict[str, Any]:
    if not skip_damaged:
        return dict(velnora.read_cwa_file(path, **read_args))
    from velnora_tools import read_skipping_damaged

    columns, _ = read_skipping_damaged(path, **read_args)
    return dict(columns)


def report_row(path: str) -> dict[str, Any]:
    """One row of `velnora report`; a recording that cannot be read gets its
    error message and None elsewhere."""
    row: dict[str, Any] = {"path": path}
    try:
        header = velnora.read_header(path)
        report: dict[str, Any] = dict(velnora.sampling_consistency_report(path))
        found = scan(path, header["sample_rate_hz"], skip_damaged=False, keep=0)
    except (RuntimeError, OSError) as error:
        return failed_report_row(path, error)
    return {
        **row,
        "device_id": header["device_id"],
        "session_id": header["session_id"],
        **{key: report[key] for key in REPORT_KEYS},
        "blocks": block_positions(path),
        "samples": found.samples,
        "gaps": found.gaps.count,
        "overlaps": found.overlaps.count,
        "error": None,
    }


def failed_report_row(path: str, error: BaseException) -> dict[str, Any]:
    """The row of a recording that could not be read: its message, None elsewhere."""
    return {**dict.fromkeys(REPORT_COLUMNS), "path": path, "error": str(error)}


REPORT_KEYS = (
    "start_from_header",
    "end_from_header",
    "start_from_data",
    "end_from_data",
    "samplingrate_hz_from_header",
    "samplingrate_hz_from_data",
)
REPORT_COLUMNS = ("path", "device_id", "session_id", *REPORT_KEYS, "blocks", "samples", "gaps", "overlaps", "error")


def export_csv(path: str, out: str, export: Export) -> str:
    """Writes the recording's CSV file with `velnora.write_cwa_csv`, or past
    damaged blocks with `write_csv_skipping_damaged`. `out` appears only when
    complete."""
    _refuse_input(path, out)
    with replacing(out) as temporary:
        if export.skip_damaged:
            from velnora_tools import write_csv_skipping_damaged

            write_csv_skipping_damaged(path, temporary, **export.read_args())
        else:
            velnora.write_cwa_csv(path, temporary, **export.read_args())
    return out


def export_parquet(path: str, out: str, export: Export) -> str:
    _refuse_input(path, out)
    if not export.skip_damaged:
        from velnora_tools.parquet import write_parquet

        write_parquet(path, out, **export.read_args())
        return out
    from velnora_tools import read_skipping_damaged, report_skipping_damaged

    columns, _ = read_skipping_damaged(path, **export.read_args())
    report, _ = report_skipping_damaged(path)
    write_columns(out, columns, velnora.read_header(path), report)
    return out


def _refuse_input(path: str, out: str) -> None:
    # The output is renamed over its final name, which would replace the input.
    if os.path.exists(out) and os.path.samefile(path, out):
        raise RuntimeError(f"refusing to overwrite the input recording with {out}")


def iso_time(microseconds: int) -> str:
    return (EPOCH + datetime.timedelta(microseconds=microseconds)).isoformat()
