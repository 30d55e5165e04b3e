"""What the command and `convert` write for one recording: its CSV or Parquet
file, under its final name only when complete. Top-level functions, so that
worker processes can run them."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING

import velnora

from velnora_tools.damaged import read_skipping_damaged, report_skipping_damaged, write_csv_skipping_damaged
from velnora_tools.parquet import write_columns, write_parquet
from velnora_tools.replacing import replacing

if TYPE_CHECKING:
    from velnora_tools.read_options import ReadArguments


@dataclass(frozen=True)
class Export:
    """How a recording is read for an export: the reading's options and
    whether damaged data blocks are left out."""

    read_args: ReadArguments
    skip_damaged: bool = False


def export_csv(path: str, out: str, export: Export) -> str:
    """Writes the recording's CSV file with `velnora.write_cwa_csv`, or past
    damaged blocks with `write_csv_skipping_damaged`."""
    _refuse_input(path, out)
    with replacing(out) as temporary:
        if export.skip_damaged:
            write_csv_skipping_damaged(path, temporary, **export.read_args)
        else:
            velnora.write_cwa_csv(path, temporary, **export.read_args)
    return out


def export_parquet(path: str, out: str, export: Export) -> str:
    """Writes the recording's Parquet file with `write_parquet`, or past
    damaged blocks."""
    _refuse_input(path, out)
    if not export.skip_damaged:
        write_parquet(path, out, **export.read_args)
        return out
    columns, _ = read_skipping_damaged(path, **export.read_args)
    report, _ = report_skipping_damaged(path)
    write_columns(out, columns, velnora.read_header(path), report)
    return out


def _refuse_input(path: str, out: str) -> None:
    # The output is renamed over its final name, which would replace the input.
    if os.path.exists(out) and os.path.samefile(path, out):
        raise RuntimeError(f"refusing to overwrite the input recording with {out}")
