"""A recording as one Parquet file."""

from __future__ import annotations

import json
import os
from typing import TYPE_CHECKING

import velnora

from velnora_tools._distribution import require
from velnora_tools.frames import Columns, to_arrow
from velnora_tools.replacing import replacing

if TYPE_CHECKING:
    from typing import Unpack

    from velnora_tools.read_options import ReadArguments

# 2 Mi rows: about 110 MB of columns before compression when every channel is
# present; large enough for fast scans, small enough to write in little memory.
ROW_GROUP_ROWS = 1 << 21
HEADER_KEY = "velnora.header"
REPORT_KEY = "velnora.report"


def write_parquet(
    path: str | os.PathLike[str], out: str | os.PathLike[str], **read_args: Unpack[ReadArguments]
) -> None:
    """Writes the samples of the recording at `path` to the Parquet file `out`.

    `read_args` are those of `velnora.read_cwa_file` (cut, include_*, resample_hz,
    resample_method). The file holds the same columns, `timestamp` as
    timestamp[us] without a time zone (the recorded wall clock), compressed with
    zstd in row groups of `ROW_GROUP_ROWS` rows. Its key-value metadata holds
    `velnora.read_header` under "velnora.header" and
    `velnora.sampling_consistency_report` under "velnora.report", both as JSON.

    The samples are read whole, then written a row group at a time from views of
    the arrays, so memory stays near that of the reading itself. The file is
    written under a temporary name beside `out` and renamed when complete: a
    failed or interrupted call leaves `out` as it was.
    """
    recording = os.fspath(path)
    header = velnora.read_header(recording)
    report = velnora.sampling_consistency_report(recording)
    write_columns(out, velnora.read_cwa_file(recording, **read_args), header, report)


def write_columns(out: str | os.PathLike[str], columns: Columns, header: object, report: object) -> None:
    """`write_parquet`'s file from arrays already read, with the header and the
    report to store as JSON beside them."""
    require("pyarrow.parquet", "velnora_tools.write_parquet")
    import pyarrow.parquet as pq

    metadata = {HEADER_KEY: json.dumps(header), REPORT_KEY: json.dumps(report)}
    rows = len(columns["timestamp"])
    schema = to_arrow({name: column[:0] for name, column in columns.items()}).schema.with_metadata(metadata)
    # Timestamps step evenly, which delta encoding stores in a few bits a row;
    # the values have few distinct levels, which dictionaries suit.
    values = [name for name in columns if name != "timestamp"]
    with (
        replacing(out) as temporary,
        pq.ParquetWriter(
            temporary,
            schema,
            compression="zstd",
            use_dictionary=values,  # type: ignore[arg-type]  # a list of columns is documented and accepted
            column_encoding={"timestamp": "DELTA_BINARY_PACKED"},
        ) as writer,
    ):
        for start in range(0, rows, ROW_GROUP_ROWS):
            group = {name: column[start : start + ROW_GROUP_ROWS] for name, column in columns.items()}
            writer.write_table(to_arrow(group), row_group_size=ROW_GROUP_ROWS)
