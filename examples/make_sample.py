"""Generates examples/sample.cwa, the bundled example recording.

Ten minutes of a wrist-worn AX3 device at 100 Hz, +-8 g, packed 3-axis samples:
sitting, a walk, the device lying on a table, another walk, sitting again. The
motion is synthetic but deterministic (fixed seed), so rerunning this script
reproduces the file byte for byte:

    python examples/make_sample.py            # writes examples/sample.cwa
    python examples/make_sample.py OUT.cwa
"""

from __future__ import annotations

import math
import pathlib
import random
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from cwa_writer import (  # noqa: E402
    FORMAT_PACKED,
    MetadataBlock,
    datetime_from_unix,
    packed_samples,
    steady_recording,
    write_cwa,
)

START_S = 1682931600  # 2023-05-01T09:00:00Z
MINUTES = 10
RATE_HZ = 100
RATE_CODE = 0x4A  # 100 Hz, +-8 g
SAMPLES_PER_BLOCK = 120
BLOCKS = MINUTES * 60 * RATE_HZ // SAMPLES_PER_BLOCK
DEVICE_ID = 43117
SESSION_ID = 20230501
SEED = 2023

# (start second, activity) for each stretch of the recording.
ACTIVITIES = [(0, "sitting"), (120, "walking"), (300, "table"), (420, "walking"), (540, "sitting")]


def activity_at(t: float) -> str:
    current = ACTIVITIES[0][1]
    for start, name in ACTIVITIES:
        if t >= start:
            current = name
    return current


def acceleration(t: float, rng: random.Random) -> tuple[float, float, float]:
    """Acceleration in g at `t` seconds into the recording."""
    kind = activity_at(t)
    if kind == "table":
        # Face up on a table: gravity on +z, only sensor noise.
        g = (0.0, 0.0, 1.0)
        return tuple(v + rng.gauss(0.0, 0.004) for v in g)  # type: ignore[return-value]
    # The forearm's orientation drifts slowly; gravity follows it.
    pitch = 0.6 + 0.25 * math.sin(2 * math.pi * t / 47.0)
    roll = -0.4 + 0.3 * math.sin(2 * math.pi * t / 71.0 + 1.0)
    g = (
        math.sin(pitch),
        -math.cos(pitch) * math.sin(roll),
        -math.cos(pitch) * math.cos(roll),
    )
    if kind == "sitting":
        fidget = 0.03 * math.sin(2 * math.pi * 0.7 * t)
        return (g[0] + fidget + rng.gauss(0.0, 0.01), g[1] + rng.gauss(0.0, 0.01), g[2] + rng.gauss(0.0, 0.01))
    # Walking: about 1.8 steps a second, an arm swing at half that, heel strikes.
    step = 2 * math.pi * 1.8 * t
    swing = 0.45 * math.sin(step / 2)
    strike = 1.2 * max(0.0, math.sin(step)) ** 8
    return (
        g[0] + swing + rng.gauss(0.0, 0.04),
        g[1] + 0.25 * math.sin(step + 0.5) + rng.gauss(0.0, 0.04),
        g[2] - strike + 0.2 * math.cos(step) + rng.gauss(0.0, 0.04),
    )


def packed(acc: tuple[float, float, float]) -> tuple[int, int, int, int]:
    """(x, y, z, exponent) of a packed word at 256 counts per g: the smallest
    exponent whose scaled values fit the signed 10-bit fields."""
    for exponent in range(4):
        scale = 256.0 / (1 << exponent)
        raw = [round(v * scale) for v in acc]
        if all(-512 <= r <= 511 for r in raw):
            return (raw[0], raw[1], raw[2], exponent)
    return (*(max(-512, min(511, round(v * 32.0))) for v in acc), 3)  # type: ignore[return-value]


def checksum(sector: bytes) -> int:
    """The value that makes the sector's 16-bit little-endian words sum to zero."""
    words: tuple[int, ...] = struct.unpack("<255H", sector[:510])
    return -sum(words) & 0xFFFF


def main(out: pathlib.Path) -> None:
    rng = random.Random(SEED)
    blocks = steady_recording(START_S, BLOCKS, rate_hz_code=RATE_CODE, samples_per_block=SAMPLES_PER_BLOCK)
    for b, block in enumerate(blocks):
        first = b * SAMPLES_PER_BLOCK
        samples = [packed(acceleration((first + i) / RATE_HZ, rng)) for i in range(SAMPLES_PER_BLOCK)]
        t = first / RATE_HZ
        celsius = 29.0 + 3.0 * (1 - math.exp(-t / 180.0)) - (1.5 if activity_at(t) == "table" else 0.0)
        lux = 4000.0 if activity_at(t) == "walking" else 320.0
        volts = 4.12 - 0.04 * t / 600.0
        block.session_id = SESSION_ID
        block.sample_format = FORMAT_PACKED
        block.sample_data = packed_samples(samples)
        block.temperature = round((celsius + 50.0) * 256.0 / 75.0)
        block.light = round(341.0 * math.log10(lux)) & 0x3FF  # accel scale code 0: 256 counts per g
        block.battery = round(volts * 1024.0 / 6.0 - 512.0)
        block.checksum = 0
        block.checksum = checksum(block.to_bytes())

    metadata = MetadataBlock(
        hardware_type=0x17,  # AX3
        device_id=DEVICE_ID,
        session_id=SESSION_ID,
        upper_device_id=0xFFFF,
        logging_start_time=datetime_from_unix(START_S),
        logging_end_time=datetime_from_unix(START_S + MINUTES * 60),
        rate_code=RATE_CODE,
        last_change_time=datetime_from_unix(START_S - 86400 + 7 * 3600 + 42 * 60 + 7),
        firmware_revision=48,
        annotation=b"Example recording: left wrist, seated, walking, on a table, walking, seated",
    )
    write_cwa(out, metadata, blocks)
    print(f"wrote {out} ({out.stat().st_size} bytes, {BLOCKS} blocks of {SAMPLES_PER_BLOCK} samples)")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "sample.cwa")
