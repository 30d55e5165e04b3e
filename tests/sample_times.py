"""Independent model of the sample timestamps of a read: each block's samples
spread evenly from its start to its natural end, the start moved to the
previous data block's natural end when it lies less than one second after it,
every step in float64 in the described order and truncated to microseconds."""

from __future__ import annotations

from typing import Sequence

from block_timing import natural_bounds, to_us
from cwa_writer import DataBlock, unix_from_datetime


def block_bounds(block: DataBlock) -> tuple[float, float]:
    """Natural (start, end) of a data block written by the test writer."""
    count = block.resolved_sample_count()
    return natural_bounds(unix_from_datetime(block.timestamp), block.timestamp_offset, count, block.rate_code)


def block_times_us(start: float, end: float, count: int, prev_end: float | None) -> list[int]:
    """Timestamps of one block's `count` samples after the continuity correction."""
    if prev_end is not None and start - prev_end < 1.0:
        start = prev_end
    span = end - start
    return [to_us(float(i) * span / float(count) + start) for i in range(count)]


def is_data_block(sector: DataBlock | bytes) -> bool:
    return isinstance(sector, DataBlock) and sector.packet_header == b"AX" and sector.resolved_sample_count() > 0


def recording_times_us(sectors: Sequence[DataBlock | bytes], prev_end: float | None = None) -> list[list[int]]:
    """Per sector position, the timestamps a read of all of them gives; raw
    bytes and a block without "AX" or samples stand for a sector that is not a
    data block, and get []."""
    times: list[list[int]] = []
    for sector in sectors:
        if not is_data_block(sector):
            times.append([])
            continue
        assert isinstance(sector, DataBlock)
        start, end = block_bounds(sector)
        times.append(block_times_us(start, end, sector.resolved_sample_count(), prev_end))
        prev_end = end
    return times


def flat(times: Sequence[Sequence[int]]) -> list[int]:
    return [t for block in times for t in block]
