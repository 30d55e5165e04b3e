"""What the command and `convert` write for one recording: its CSV or Parquet
file, under its final name only when complete. Top-level functions, so that
worker processes can run them."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from velnora_tools import _native
from velnora_tools._recording import recording_header
from velnora_tools._source import parquet_source
from velnora_tools.activity import EpochOptions, complete_epochs, write_epochs
from velnora_tools.damaged import DamagedBlock, naming_damage
from velnora_tools.frames import Channels, carried_only
from velnora_tools.outcomes import OutcomeOptions, write_days
from velnora_tools.parquet import recording_file_source, write_recording
from velnora_tools.replacing import check_output, replacing

if TYPE_CHECKING:
    from velnora_tools.read_options import ReadArguments


@dataclass(frozen=True)
class Export:
    """How a recording is read for an export: the reading's options, whether
    damaged data blocks are left out, whether the columns of sensors no data
    block carries are and, for epochs, their options."""

    read_args: ReadArguments
    skip_damaged: bool = False
    epoch_options: EpochOptions = EpochOptions()
    channels: Channels = "present"
    outcome_options: OutcomeOptions = OutcomeOptions()


@dataclass(frozen=True)
class Written:
    """An export that succeeded: its output, the blocks left out (damaged, or
    with their time out of place), the samples left out as timed before an
    earlier one, and whether the output was kept as an earlier run left it,
    complete and current."""

    output: str
    damaged: list[DamagedBlock] = field(default_factory=list)
    samples_out_of_order: int = 0
    kept: bool = False


def export_csv(path: str, out: str, export: Export) -> Written:
    """Writes the recording's CSV file as `velnora.write_cwa_csv` does, past
    damaged blocks as `write_csv_skipping_damaged` does, and without the
    columns of sensors no data block carries unless `export.channels` is
    "all"; into a FIFO or a device directly, as those functions do."""
    _check_input(path)
    check_output(path, out, stream=True)
    leave_out = carried_only(export.channels)
    with replacing(out, stream=True) as temporary, naming_damage():
        damaged = _native.write_csv(path, temporary, **export.read_args, skip_damaged=export.skip_damaged, carried_only=leave_out)
    return Written(out, [DamagedBlock(*entry) for entry in damaged])


def export_parquet(path: str, out: str, export: Export, keep_complete: bool = False) -> Written:
    """Writes the recording's Parquet file with `write_parquet`, or past
    damaged blocks; with `keep_complete`, keeps an `out` that an earlier run
    made of the recording as it is now with the same options."""
    _check_input(path)
    if keep_complete and parquet_source(out) == recording_file_source(path, export.read_args, export.skip_damaged, export.channels):
        return Written(out, kept=True)
    with naming_damage():
        return Written(out, write_recording(path, out, export.read_args, export.skip_damaged, export.channels))


def export_epochs(path: str, out: str, options: EpochOptions, csv: bool = False, keep_complete: bool = False) -> Written:
    """Writes the recording's epochs (`write_epochs`); with `keep_complete`,
    keeps an `out` that an earlier run made as this one would."""
    _check_input(path)
    if keep_complete and complete_epochs(path, out, options, csv):
        return Written(out, kept=True)
    with naming_damage():
        return Written(out, *write_epochs(path, out, options, csv))


def export_days(path: str, out: str, options: EpochOptions, outcome_options: OutcomeOptions) -> Written:
    """Writes the recording's day outcomes (`write_days`)."""
    _check_input(path)
    with naming_damage():
        return Written(out, *write_days(path, out, outcome_options, options))


def _check_input(path: str) -> None:
    """Fails before any output is made when the input cannot be read as a
    recording."""
    recording_header(path)
