"""Reading a recording that holds damaged data blocks."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
import numpy.typing as npt

from velnora_tools import _native

if TYPE_CHECKING:
    from typing import Unpack

    import velnora

    from velnora_tools.read_options import ReadArguments


class DamagedBlock(NamedTuple):
    """A data block that was left out: its data-block position (as in
    `velnora.blocks`), the message `velnora.read_cwa_file` fails with there
    (for a block out of place, where its clock and its neighbours put it),
    whether it lay outside the range read, the samples it may have held, and
    why it was left out: "damaged" (malformed: `velnora.read_cwa_file` fails
    there) or "time out of place" (well formed, but its clock puts it away
    from the data blocks around it, which leave room for it elsewhere: left
    out by the study paths, `calibrate`, `epochs` and what is built on them).

    A block outside the range read is the block before a cut, looked at for
    the timing of the cut's first block, or a block anywhere in the recording
    that the scan placing a seconds cut went through. A plain read of the
    range meets these too, so an empty list means that `velnora.read_cwa_file`
    reads the same range without failing.

    `sample_count` is the count the block's header states, at most what its sample
    format fits (for a sample format not known, at most 120, what any format
    fits): the header itself may be what is damaged."""

    block: int
    message: str
    outside_range: bool = False
    sample_count: int = 0
    reason: str = "damaged"


def read_skipping_damaged(
    path: str | os.PathLike[str], **read_args: Unpack[ReadArguments]
) -> tuple[dict[str, npt.NDArray[np.int64] | npt.NDArray[np.float32]], list[DamagedBlock]]:
    """`velnora.read_cwa_file` that reads on past damaged data blocks: returns
    the samples of every good block and the damaged blocks passed over.
    `read_args` are `velnora.read_cwa_file`'s, with its defaults.

    A damaged block is a data block `velnora.read_cwa_file` refuses (an old
    format, an unsupported sample format, more samples than fit, an invalid
    time stamp); one pass over the file lists each with its message instead of
    failing. Everything else fails as `velnora.read_cwa_file` fails, with the
    same exception and text: a damaged metadata block, a file of the wrong
    size, an unreadable file, and no good sample at all. With no damage the
    result is the same, bit for bit.

    Every good block gets the timestamps a whole-file read gives it, except
    the first good block after damage: it keeps the natural start its own
    header gives, as the first block of a recording does, instead of being
    joined to the block before it. Where that block ended is unknown (the
    damaged block may have held samples of any length), and joining the next
    block to the last good block before the damage would stretch its samples
    over the missing stretch whenever that is under a second. Its natural
    start is off from the joined one by no more than the device clock's drift
    over one block. With `resample_hz` the grid runs on across the missing
    stretch, interpolated as across any gap between blocks.

    `cut` selects as in `velnora.read_cwa_file`: a blocks cut reaches a good
    block right after damage, and a seconds cut counts from the first good
    block. The damaged list names the damaged blocks among the positions the
    read went through, in file order: the whole file without a cut, the cut's
    blocks, or the blocks around a seconds window; and those that lay outside
    the range (`DamagedBlock.outside_range`).
    """
    data, damaged = _native.read_skipping_damaged(os.fspath(path), **read_args)
    return data, [DamagedBlock(*entry) for entry in damaged]


def write_csv_skipping_damaged(
    path: str | os.PathLike[str], output_path: str | os.PathLike[str], **read_args: Unpack[ReadArguments]
) -> list[DamagedBlock]:
    """`velnora.write_cwa_csv` that writes on past damaged data blocks: the
    rows of every good block, timed and selected as `read_skipping_damaged`
    reads them, in `velnora.write_cwa_csv`'s text; `read_args` are its own,
    with its defaults. Returns the damaged blocks
    passed over; everything else fails as `velnora.write_cwa_csv` fails."""
    damaged = _native.write_csv(os.fspath(path), os.fspath(output_path), **read_args, skip_damaged=True)
    return [DamagedBlock(*entry) for entry in damaged]


def report_skipping_damaged(path: str | os.PathLike[str]) -> tuple[velnora.SamplingReport, list[DamagedBlock]]:
    """`velnora.sampling_consistency_report` over the good data blocks, with
    the damaged blocks of the whole file. The data blocks are timed as
    `read_skipping_damaged` times them; with no damage the report is exactly
    `velnora.sampling_consistency_report`'s. A damaged metadata block fails as
    there."""
    report, damaged = _native.report_skipping_damaged(os.fspath(path))
    return report, [DamagedBlock(*entry) for entry in damaged]


OUT_OF_PLACE = "time out of place"


def damage_in_words(blocks: int, samples: int | None = None, positions: Sequence[int] = ()) -> str:
    """Damaged blocks as the notices name them, "2 damaged data blocks (5, 9)
    and their 240 samples": the count, the first ten `positions` when given,
    and the samples the blocks may have held (`DamagedBlock.sample_count`)
    when known."""
    words = f"{blocks} damaged data block{'s' * (blocks != 1)}{_positions(positions)}"
    if samples is not None:
        words += f" and {_their(blocks)} {_samples(samples)}"
    return words


def out_of_place_in_words(blocks: int, samples: int, positions: Sequence[int] = ()) -> str:
    """Blocks out of place as the notices name them, "1 block (50) whose time
    is out of place, and its 120 samples"."""
    return f"{blocks} block{'s' * (blocks != 1)}{_positions(positions)} whose time is out of place, and {_their(blocks)} {_samples(samples)}"


def left_out_in_words(left_out: Sequence[DamagedBlock], out_of_order: int = 0) -> str:
    """What a read left out, as the command's notice and the summary say it:
    "left out 2 damaged data blocks (5, 9) and their 240 samples; left out 1
    block (50) whose time is out of place, and its 120 samples; left out 300
    samples timed before an earlier one; passed 1 damaged data block (3)
    outside the range read". Blocks outside the range read (looked at for
    timing or placing a cut) only tell that a plain read of the range fails
    there. Empty when nothing was left out."""
    damaged = [item for item in left_out if item.reason != OUT_OF_PLACE and not item.outside_range]
    misplaced = [item for item in left_out if item.reason == OUT_OF_PLACE]
    outside = [item.block for item in left_out if item.reason != OUT_OF_PLACE and item.outside_range]
    parts = []
    if damaged:
        parts.append(f"left out {damage_in_words(len(damaged), sum(item.sample_count for item in damaged), [item.block for item in damaged])}")
    if misplaced:
        parts.append(f"left out {out_of_place_in_words(len(misplaced), sum(item.sample_count for item in misplaced), [item.block for item in misplaced])}")
    if out_of_order:
        parts.append(f"left out {_samples(out_of_order)} timed before an earlier one")
    if outside:
        parts.append(f"passed {damage_in_words(len(outside), positions=outside)} outside the range read")
    return "; ".join(parts)


def _positions(positions: Sequence[int]) -> str:
    if not positions:
        return ""
    return " (" + ", ".join(map(str, positions[:10])) + (", ..." if len(positions) > 10 else "") + ")"


def _their(blocks: int) -> str:
    return "its" if blocks == 1 else "their"


def _samples(count: int) -> str:
    return f"{count} sample{'s' * (count != 1)}"


SKIP_DAMAGED_NOTE = "skip_damaged=True reads past it, leaving the damaged blocks out"


class DamagedRecording(RuntimeError):
    """A reading that failed at a damaged data block, which a reading that
    skips damage passes over: `block` is its data-block position, `message`
    the reading's own text of the failure. Its note, shown under the
    traceback, says the way past it in Python; the command says its own."""

    def __init__(self, block: int, message: str) -> None:
        super().__init__(f"data block {block} is damaged ({message})")
        self.block = block
        self.message = message
        self.add_note(SKIP_DAMAGED_NOTE)

    def __reduce__(self) -> tuple[type[DamagedRecording], tuple[int, str]]:
        # From a worker process to its parent, with the facts.
        return (DamagedRecording, (self.block, self.message))


@contextlib.contextmanager
def naming_damage() -> Iterator[None]:
    """Turns a reading's failure at a damaged data block (`_native`'s
    DamagedBlockError) into DamagedRecording, which names the block; any
    other failure goes on as it is. Also a decorator, for the functions that
    read."""
    try:
        yield
    except _native.DamagedBlockError as error:
        raise DamagedRecording(error.block, error.message) from error
