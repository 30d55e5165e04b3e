"""A recording as one Parquet file."""

from __future__ import annotations

import concurrent.futures
import json
import os
from typing import TYPE_CHECKING, Any

from velnora_tools import _native
from velnora_tools._distribution import require
from velnora_tools._parquet_footer import MAGIC, FooterError, footer_of, joined_footer
from velnora_tools._source import SOURCE_KEY, recording_source
from velnora_tools.damaged import DamagedBlock, naming_damage
from velnora_tools.frames import Channels, Columns, carried_only, only_zeros, to_arrow
from velnora_tools.replacing import check_output, replacing

if TYPE_CHECKING:
    from typing import Unpack

    from velnora_tools.read_options import ReadArguments

# 1 Mi rows: about 55 MB of columns before compression when every channel is
# present. A group's dictionaries hold only the levels its own rows reach, so
# a burst of movement widens the indices of one group, not of twice as many
# rows; the file is smaller than with 2 Mi rows and as fast to write.
ROW_GROUP_ROWS = 1 << 20
# Readings of the whole block: constant over a block's samples, so zstd alone
# stores them in a few bytes a block, without the cost of a dictionary.
BLOCK_READINGS = ("temperature", "light", "battery")
HEADER_KEY = "velnora.header"
REPORT_KEY = "velnora.report"


@naming_damage()
def write_parquet(
    path: str | os.PathLike[str],
    out: str | os.PathLike[str],
    *,
    channels: Channels = "present",
    **read_args: Unpack[ReadArguments],
) -> None:
    """Writes the samples of the recording at `path` to the Parquet file `out`.

    `read_args` are those of `velnora.read_cwa_file` (cut, include_*, resample_hz,
    resample_method). With `channels` "present" (the default) the file leaves
    out the gyroscope and magnetometer columns where no data block of the
    recording carries that sensor; "all" keeps them. The file holds the same columns, `timestamp` as
    timestamp[us] without a time zone (the recorded wall clock), compressed with
    zstd (a channel of zeros with LZ4) in row groups of `ROW_GROUP_ROWS` rows.
    Its key-value metadata holds `velnora.read_header` under "velnora.header",
    `velnora.sampling_consistency_report` under "velnora.report" and what the
    file was made from (the recording's absolute path, size and time of last
    change, these options, velnora's version) under "velnora.source", all as
    JSON.

    The samples are read whole, then written a row group at a time from views of
    the arrays, so memory stays near that of the reading itself. The file is
    written under a temporary name beside `out` and renamed when complete: a
    failed or interrupted call leaves `out` as it was. An `out` that is the
    recording itself (also through a link), or that exists and is no regular
    file (a FIFO, a device), is refused before the recording is read.
    """
    write_recording(path, out, read_args, skip_damaged=False, channels=channels)


def write_recording(
    path: str | os.PathLike[str],
    out: str | os.PathLike[str],
    read_args: ReadArguments,
    skip_damaged: bool,
    channels: Channels,
) -> list[DamagedBlock]:
    """`write_parquet`, past damaged data blocks when `skip_damaged` (the
    report then that of `report_skipping_damaged`); returns the damaged blocks
    left out. The header, the report and the samples come from one call,
    which opens the recording once for each; the report's pass also finds the
    sensors the data blocks carry."""
    require("pyarrow.parquet", "velnora_tools.write_parquet")
    leave_out = carried_only(channels)
    check_output(path, out)
    source = recording_file_source(path, read_args, skip_damaged, channels)
    columns, header, report, damaged = _native.read_for_export(
        os.fspath(path), **read_args, skip_damaged=skip_damaged, carried_only=leave_out
    )
    write_columns(out, columns, {HEADER_KEY: header, REPORT_KEY: report, SOURCE_KEY: source})
    return [DamagedBlock(*entry) for entry in damaged]


def recording_file_source(
    path: str | os.PathLike[str], read_args: ReadArguments, skip_damaged: bool, channels: Channels
) -> dict[str, Any]:
    """What the recording's Parquet file made with these options records as
    its source."""
    flags = {name: bool(value) if name.startswith("include_") else value for name, value in read_args.items()}
    return recording_source(path, {"read_args": flags, "skip_damaged": skip_damaged, "channels": channels})


def write_columns(out: str | os.PathLike[str], columns: Columns, metadata: dict[str, object]) -> None:
    """`write_parquet`'s file from arrays already read, with `metadata`'s
    values stored as JSON under their keys."""
    require("pyarrow.parquet", "velnora_tools.write_parquet")
    starts = range(0, len(columns["timestamp"]), ROW_GROUP_ROWS)
    encoding = _encoding(columns, metadata)
    with replacing(out) as temporary:
        if len(starts) >= 2 and _native.second_thread_allowed():
            try:
                _write_halves(temporary, columns, starts, encoding)
                return
            except FooterError:
                pass  # a footer the join cannot move: the file is written again on one thread
        _write_groups(temporary, columns, starts, encoding)


def _write_halves(path: str, columns: Columns, starts: range, encoding: dict[str, Any]) -> None:
    """pyarrow encodes a file on one thread; the later row groups are encoded
    on a second one into memory and joined on after the earlier."""
    middle = len(starts) // 2
    with concurrent.futures.ThreadPoolExecutor(1) as helper:
        later = helper.submit(_encoded_groups, columns, starts[middle:], encoding)
        _write_groups(path, columns, starts[:middle], encoding)
        _append_file(path, later.result())


def _encoding(columns: Columns, metadata: dict[str, object]) -> dict[str, Any]:
    """The ParquetWriter arguments of a recording's file.

    Almost all the time goes to pyarrow's encoder, which writes one column
    at a time, so each column gets the cheapest encoding that keeps the file
    small. Timestamps step evenly, which delta encoding stores in a few bits
    a row. Samples take few distinct levels: a dictionary and zstd store them
    in a seventh of their size, where their bytes split into streams take a
    third more at the same cost. A channel the device lacks reads as zeros,
    which LZ4 shrinks 200-fold in little more than half zstd's time. Only the
    timestamps get statistics, which let a reader skip row groups outside a
    time range; on every column they would add a sixth to the time and serve
    no query."""
    samples = [name for name in columns if name != "timestamp" and name not in BLOCK_READINGS]
    zeros = [name for name in samples if only_zeros(columns[name])]
    dictionary = [name for name in samples if name not in zeros]
    return {
        "schema": to_arrow({name: column[:0] for name, column in columns.items()}, "all").schema.with_metadata({key: json.dumps(value) for key, value in metadata.items()}),
        "compression": {name: "lz4" if name in zeros else "zstd" for name in columns},
        "use_dictionary": dictionary,
        "column_encoding": {
            "timestamp": "DELTA_BINARY_PACKED",
            **{name: "PLAIN" for name in columns if name != "timestamp" and name not in dictionary},
        },
        "write_statistics": ["timestamp"],
        # A page index's page offsets could not be moved by the join.
        "write_page_index": False,
    }


def _write_groups(sink: Any, columns: Columns, starts: range, encoding: dict[str, Any]) -> None:
    """A Parquet file of the row groups beginning at `starts`, into `sink`."""
    import pyarrow.parquet as pq

    with pq.ParquetWriter(sink, **encoding) as writer:
        for start in starts:
            group = {name: column[start : start + ROW_GROUP_ROWS] for name, column in columns.items()}
            writer.write_table(to_arrow(group, "all"), row_group_size=ROW_GROUP_ROWS)


def _encoded_groups(columns: Columns, starts: range, encoding: dict[str, Any]) -> Any:
    """The Parquet file of the row groups beginning at `starts`, in memory."""
    import pyarrow as pa

    sink = pa.BufferOutputStream()
    _write_groups(sink, columns, starts, encoding)
    return sink.getvalue()


def _append_file(path: str, later: Any) -> None:
    """Joins the complete Parquet file `later` (bytes-like) on after the
    row groups of the one at `path`: its chunks replace the footer there,
    followed by one footer for both. Raises FooterError, the file at `path`
    untouched, where the footers cannot be joined."""
    later_view = memoryview(later)
    later_start, later_footer = footer_of(later_view)
    with open(path, "r+b") as file:
        size = file.seek(0, os.SEEK_END)
        file.seek(size - 8)
        length = int.from_bytes(file.read(4), "little")
        start = size - 8 - length
        file.seek(start)
        footer = joined_footer(file.read(length), later_footer, start - len(MAGIC))
        file.seek(start)
        file.truncate()
        file.write(later_view[len(MAGIC) : later_start])
        file.write(footer)
