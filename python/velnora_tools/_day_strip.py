"""A recording's days at a glance: one letter per 15 minutes from the first
day's midnight on the recording's wall clock, worn, non-wear, no data or
damaged, derived from its epochs and the damaged blocks read past."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from velnora_tools import _native
from velnora_tools.activity import NONWEAR_BLOCK_US
from velnora_tools.damaged import DamagedBlock

if TYPE_CHECKING:
    import pandas as pd

CELL_US = NONWEAR_BLOCK_US
CELLS_PER_HOUR = 3_600_000_000 // CELL_US
CELLS_PER_DAY = 24 * CELLS_PER_HOUR
WORN, NONWEAR, NO_DATA, DAMAGED = "w", "n", ".", "x"


def day_strip(path: str, frame: pd.DataFrame, damaged: Sequence[DamagedBlock]) -> dict[str, Any]:
    """`strip_first_day` (the first day, YYYY-MM-DD) and `strip`: a letter per
    15 minutes, whole days from its midnight. A cell holding samples is worn
    or, when judged so, non-wear (the non-wear blocks are these cells); one
    without samples has no data; one a damaged stretch touches is damaged."""
    if frame.empty:
        return {"strip_first_day": None, "strip": None}
    starts = frame.index.to_numpy().astype("datetime64[us]").astype(np.int64)
    first_cell = starts[0] // CELL_US // CELLS_PER_DAY * CELLS_PER_DAY
    cell = starts // CELL_US - first_cell
    cells = -(-(int(cell[-1]) + 1) // CELLS_PER_DAY) * CELLS_PER_DAY
    sampled = frame["samples"].to_numpy() > 0
    has_data = np.bincount(cell, weights=sampled, minlength=cells) > 0
    nonwear = np.bincount(cell, weights=sampled & frame["nonwear"].to_numpy(), minlength=cells) > 0
    letters = np.full(cells, ord(NO_DATA), np.uint8)
    letters[has_data] = ord(WORN)
    letters[has_data & nonwear] = ord(NONWEAR)
    for begin_us, end_us in _damaged_stretches(path, [block.block for block in damaged]):
        low = max(begin_us // CELL_US - first_cell, 0)
        letters[low : min(end_us // CELL_US - first_cell, cells - 1) + 1] = ord(DAMAGED)
    day = np.datetime64(int(first_cell * CELL_US), "us").astype("datetime64[D]")
    return {"strip_first_day": str(day), "strip": letters.tobytes().decode("ascii")}


def _damaged_stretches(path: str, blocks: Sequence[int]) -> list[tuple[int, int]]:
    """For each run of consecutive damaged positions, the time from the good
    block before it to the good block after it (µs); a run at either end of
    the recording stands at its one good neighbour. Two one-block reads a run."""
    if not blocks:
        return []
    count = _native.block_positions(path)
    stretches = []
    for run in np.split(np.asarray(blocks, np.int64), np.flatnonzero(np.diff(blocks) != 1) + 1):
        first, last = int(run[0]), int(run[-1])
        before = _native.read_timestamps(path, first - 1, first, True) if first > 0 else None
        after = _native.read_timestamps(path, last + 1, last + 2, True) if last + 1 < count else None
        # A neighbour of filler sectors has no timestamps.
        ends = [int(stamps[-1]) for stamps in (before,) if stamps is not None and len(stamps)]
        ends += [int(stamps[0]) for stamps in (after,) if stamps is not None and len(stamps)]
        if ends:
            stretches.append((min(ends), max(ends)))
    return stretches
