"""Seed corpus for cwa_fuzzer: small recordings made with the test suite's
writer, each behind the option bytes the target reads first.

Usage: python3 fuzz/make_corpus.py OUTPUT_DIR
"""

from __future__ import annotations

import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import cwa_writer as cw  # noqa: E402

START = 1_600_000_000
ALL_INCLUDES = 0x0F

# Option byte 0: include flags (bits 0-3), cut kind (bits 4-5: 1 blocks,
# 2 seconds), resampling (bit 6). Byte 1: index of a listed rate (3 is 25 Hz,
# 15 takes the raw rate). Byte 2: bound present (bits 0-1), bound raw
# (bits 2-3). Bytes 3-4: small bounds (blocks, or signed half seconds).
# Then three raw little-endian 8-byte values: rate, start, end.
CUT_BLOCKS = 1 << 4
CUT_SECONDS = 2 << 4
RESAMPLE = 1 << 6
RATE_25_HZ = 3
RAW_RATE = 15


def options(
    flags: int = ALL_INCLUDES,
    rate: int = RATE_25_HZ,
    bounds: int = 0,
    start: int = 0,
    end: int = 0,
    raw: tuple[bytes, bytes, bytes] = (bytes(8), bytes(8), bytes(8)),
) -> bytes:
    return bytes([flags, rate, bounds, start & 0xFF, end & 0xFF]) + b"".join(raw)


OPTION_SETS = {
    "whole": options(),
    "blocks": options(ALL_INCLUDES | CUT_BLOCKS, bounds=0b11, start=1, end=3),
    "seconds": options(0x01 | CUT_SECONDS, bounds=0b11, start=1, end=5),
    "resampled": options(0x01 | RESAMPLE),
    "resampled_seconds": options(ALL_INCLUDES | RESAMPLE | CUT_SECONDS, bounds=0b01, start=1),
    "raw_rate_and_bounds": options(
        0x03 | RESAMPLE | CUT_SECONDS,
        rate=RAW_RATE,
        bounds=0b1111,
        raw=(struct.pack("<d", 7.3), struct.pack("<d", 0.25), struct.pack("<d", 2.75)),
    ),
}

SAMPLES_PER_BLOCK = {
    cw.FORMAT_PACKED: 120,
    cw.FORMAT_UNPACKED3: 80,
    cw.FORMAT_AXIS6: 40,
    cw.FORMAT_AXIS9: 26,
}


def sectors_bytes(sectors: list[cw.DataBlock | bytes]) -> bytes:
    return b"".join(s.to_bytes() if isinstance(s, cw.DataBlock) else s for s in sectors)


def recording(sectors: list[cw.DataBlock | bytes], trailing: bytes = b"", **metadata: object) -> bytes:
    return cw.MetadataBlock(**metadata).to_bytes() + sectors_bytes(sectors) + trailing  # type: ignore[arg-type]


def steady(sample_format: int, blocks: int = 4, rate_code: int = 0x4A, start: int = START) -> list[cw.DataBlock]:
    return cw.steady_recording(
        start, blocks, rate_code, SAMPLES_PER_BLOCK[sample_format], sample_format
    )


def with_gaps() -> bytes:
    # Two blocks of 1.2 s each, a pause of 4.6 s (kept), two more ending at
    # +9.4 s, then a gap of 0.6 s that continuity closes.
    first = steady(cw.FORMAT_PACKED, 2)
    later = steady(cw.FORMAT_PACKED, 2, start=START + 7)
    last = cw.block_with_bounds(START + 9, 60, timestamp_offset=-100, sample_data=bytes(range(240)))
    return recording([*first, *later, last])


def out_of_order() -> bytes:
    blocks = steady(cw.FORMAT_UNPACKED3, 4)
    return recording([blocks[0], blocks[2], blocks[1], blocks[3]])


def with_fillers() -> bytes:
    blocks = steady(cw.FORMAT_AXIS9, 3)
    return recording([cw.filler_sector(0x00), blocks[0], cw.filler_sector(0xFF), blocks[1], blocks[2]])


def truncated_tail() -> bytes:
    blocks = steady(cw.FORMAT_AXIS6, 3)
    return recording(blocks, trailing=blocks[0].to_bytes()[:200])


def malformed_middle() -> bytes:
    blocks = steady(cw.FORMAT_PACKED, 3)
    bad = cw.DataBlock(sample_format=0x41, sample_count=10)
    return recording([blocks[0], bad, blocks[1], blocks[2]])


def decades_apart() -> bytes:
    # Two blocks 40 years apart: a resampled read must cross the whole gap.
    return recording(
        [cw.block_with_bounds(START, 120), cw.block_with_bounds(START + 40 * 365 * 86400, 120)]
    )


RECORDINGS = {
    "packed": lambda: recording(steady(cw.FORMAT_PACKED), annotation=b"_c=1,_s=test"),
    "unpacked3": lambda: recording(steady(cw.FORMAT_UNPACKED3, 3)),
    "axis6": lambda: recording(steady(cw.FORMAT_AXIS6, 3), sensor_config=0x9B),
    "axis9": lambda: recording(steady(cw.FORMAT_AXIS9, 3), rate_code=0x4C),
    "slow_rate": lambda: recording(steady(cw.FORMAT_PACKED, 3, rate_code=0x47)),
    "gaps": with_gaps,
    "out_of_order": out_of_order,
    "fillers": with_fillers,
    "truncated_tail": truncated_tail,
    "malformed_middle": malformed_middle,
    "decades_apart": decades_apart,
    "metadata_only": lambda: recording([]),
    # Near the input size limit, so mutations start from many blocks too.
    "long": lambda: recording(steady(cw.FORMAT_PACKED, 120)),
}


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for name, make in RECORDINGS.items():
        data = make()
        for option_name, prefix in OPTION_SETS.items():
            (out / f"{name}-{option_name}").write_bytes(prefix + data)


if __name__ == "__main__":
    main()
