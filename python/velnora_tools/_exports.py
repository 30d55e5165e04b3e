"""What the command and `convert` write for one recording: its CSV or Parquet
file, under its final name only when complete. Top-level functions, so that
worker processes can run them."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import velnora

from velnora_tools._recording import recording_header
from velnora_tools.activity import EpochOptions, write_epochs
from velnora_tools.damaged import DamagedBlock, naming_damage, write_csv_skipping_damaged
from velnora_tools.parquet import write_recording
from velnora_tools.replacing import check_output, replacing

if TYPE_CHECKING:
    from velnora_tools.read_options import ReadArguments


@dataclass(frozen=True)
class Export:
    """How a recording is read for an export: the reading's options, whether
    damaged data blocks are left out and, for epochs, their options."""

    read_args: ReadArguments
    skip_damaged: bool = False
    epoch_options: EpochOptions = EpochOptions()


@dataclass(frozen=True)
class Written:
    """An export that succeeded: its output and the damaged blocks left out."""

    output: str
    damaged: list[DamagedBlock] = field(default_factory=list)


def export_csv(path: str, out: str, export: Export) -> Written:
    """Writes the recording's CSV file with `velnora.write_cwa_csv`, or past
    damaged blocks with `write_csv_skipping_damaged`; into a FIFO or a device
    directly, as those functions do."""
    _check_input(path)
    check_output(path, out, stream=True)
    with replacing(out, stream=True) as temporary:
        if export.skip_damaged:
            return Written(out, write_csv_skipping_damaged(path, temporary, **export.read_args))
        with naming_damage(path):
            velnora.write_cwa_csv(path, temporary, **export.read_args)
    return Written(out)


def export_parquet(path: str, out: str, export: Export) -> Written:
    """Writes the recording's Parquet file with `write_parquet`, or past
    damaged blocks."""
    _check_input(path)
    with naming_damage(path):
        return Written(out, write_recording(path, out, export.read_args, export.skip_damaged))


def export_epochs(path: str, out: str, options: EpochOptions, csv: bool = False) -> Written:
    """Writes the recording's epochs (`write_epochs`)."""
    _check_input(path)
    with naming_damage(path):
        return Written(out, write_epochs(path, out, options, csv))


def _check_input(path: str) -> None:
    """Fails before any output is made when the input cannot be read as a
    recording."""
    recording_header(path)
