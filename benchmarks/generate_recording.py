"""Writes a realistic long recording for the benchmarks: a 100 Hz device
whose sample clock runs slightly off nominal, so that the whole-second stamps
and `timestampOffset` of consecutive blocks wander and a block's natural start
now and then differs from the previous end by a few ms. `--axes 3` writes
packed 10-bit 3-axis blocks (120 samples), `--axes 6` int16 gyroscope and
accelerometer blocks (40 samples), `--axes 9` int16 gyroscope, accelerometer
and magnetometer blocks (26 samples). `--standard` writes the set the
benchmarks use: 3-axis for 1 and 7 days, 6-axis for 7 days, 9-axis for 1 day.

    python3 benchmarks/generate_recording.py [--days 7] [--axes 3] [--seed 1] [--output PATH]
    python3 benchmarks/generate_recording.py --standard

The metadata block and a check of the block layout come from the test suite's
writer (tests/cwa_writer.py); the 512-byte data blocks themselves are
assembled with NumPy, about 26 million sample values at a time, so a week
takes seconds."""

from __future__ import annotations

import argparse
import pathlib
import time
from dataclasses import dataclass

import numpy as np

from recordings import NOMINAL_HZ, SAMPLE_FORMATS, default_path, samples_per_block, w

START_UNIX = 1600000000  # 2020-09-13T12:26:40Z
RATE_CODE = 0x4A  # 100 Hz, +-8 g
SAMPLES_PER_DAY = 86400 * 100
# A packed 3-axis day per chunk; the other layouts take as many values.
VALUES_PER_CHUNK = SAMPLES_PER_DAY * 3
SESSION_ID = 4711
AX6_HARDWARE = 0x64
ACCEL_COUNTS_PER_G = 4096  # int16 layouts: accel scale code 4, 256 * 2**4
GYRO_COUNTS_PER_DPS = 16.384  # gyro range code 2: 2000 deg/s full scale


@dataclass(frozen=True)
class Layout:
    """One sample format the generator writes."""

    axes: int
    # Bits 10-15 of the light field: gyro range code and accel scale code.
    light_scale_bits: int
    sensor_config: int

    @property
    def sample_format(self) -> int:
        return SAMPLE_FORMATS[self.axes]

    @property
    def samples_per_block(self) -> int:
        return samples_per_block(self.axes)

    @property
    def sample_bytes(self) -> int:
        return self.samples_per_block * w.bytes_per_sample(self.sample_format)

    def blocks(self, days: int) -> int:
        return -(-days * SAMPLES_PER_DAY // self.samples_per_block)

    def chunk_blocks(self) -> int:
        return VALUES_PER_CHUNK // (self.samples_per_block * self.axes)


LAYOUTS = {
    3: Layout(3, 1 << 13, 0),
    6: Layout(6, 4 << 13 | 2 << 10, 0x02),
    9: Layout(9, 4 << 13 | 2 << 10, 0x12),
}
STANDARD = [(3, 7), (3, 1), (6, 7), (9, 1)]  # (axes, days)

# One data block as a record whose field offsets are those of the writer.
BLOCK_DTYPE = np.dtype(
    {
        "names": [
            "packet_header", "packet_length", "fractional_time", "session_id", "sequence_id",
            "timestamp", "light", "temperature", "events", "battery", "rate_code",
            "sample_format", "timestamp_offset", "sample_count", "samples", "checksum",
        ],
        "formats": [
            "<u2", "<u2", "<u2", "<u4", "<u4", "<u4", "<u2", "<u2", "u1", "u1", "u1", "u1",
            "<i2", "<u2", ("u1", w.SAMPLE_AREA_SIZE), "<u2",
        ],
        "offsets": [0, 2, 4, 6, 10, 14, 18, 20, 22, 23, 24, 25, 26, 28, 30, 510],
        "itemsize": w.SECTOR_SIZE,
    }
)


def packed_datetimes(unix_s: np.ndarray) -> np.ndarray:
    """Packed CWA date-times of whole-second Unix times, vectorised."""
    t = unix_s.astype("datetime64[s]")
    day = t.astype("datetime64[D]")
    month = t.astype("datetime64[M]")
    year = t.astype("datetime64[Y]").astype(np.int64) + 1970
    month_no = month.astype(np.int64) % 12 + 1
    day_no = (day - month.astype("datetime64[D]")).astype(np.int64) + 1
    second_of_day = (t - day.astype("datetime64[s]")).astype(np.int64)
    hour, rest = np.divmod(second_of_day, 3600)
    minute, second = np.divmod(rest, 60)
    packed = (year - 2000) << 26 | month_no << 22 | day_no << 17 | hour << 12 | minute << 6 | second
    return packed.astype(np.uint32)


class Device:
    """The clocks of one device: the sample clock runs at 100 Hz times
    (1 + drift), the drift wandering slowly in a few tens of ppm as the
    temperature changes; the real-time clock stamps whole seconds."""

    def __init__(self, seed: int, layout: Layout) -> None:
        self.rng = np.random.default_rng(seed)
        self.layout = layout
        self.sample_time = 0.0  # real-time clock reading of the next sample, from START_UNIX
        self.drift_ppm = 25.0
        self.sequence = 0
        self.activity = np.zeros(3)

    def block_times(self, blocks: int) -> tuple[np.ndarray, np.ndarray]:
        """Real-time-clock reading of each block's first sample, and the
        actual sampling rate during the block."""
        wander = np.cumsum(self.rng.normal(0.0, 0.02, blocks)) + self.drift_ppm
        wander = np.clip(wander, -60.0, 60.0)
        self.drift_ppm = float(wander[-1])
        rates = NOMINAL_HZ * (1.0 + wander * 1e-6)
        periods = self.layout.samples_per_block / rates
        starts = self.sample_time + np.concatenate(([0.0], np.cumsum(periods)[:-1]))
        self.sample_time = float(starts[-1] + periods[-1])
        return starts, rates

    def packed_samples(self, blocks: int) -> np.ndarray:
        """Packed words: gravity on z plus noise and bursts of movement."""
        per_block = self.layout.samples_per_block
        n = blocks * per_block
        movement = self.rng.normal(0.0, 1.0, (blocks, 3)).repeat(per_block, axis=0)
        bursts = (self.rng.random(blocks) < 0.05).repeat(per_block)[:, None]
        axes = self.rng.normal(0.0, 3.0, (n, 3)) + movement * 40.0 * bursts
        axes[:, 2] += 256.0  # 1 g at 256 counts per g
        counts = np.clip(np.rint(axes), -512, 511).astype(np.int64) & 0x3FF
        words = counts[:, 0] | counts[:, 1] << 10 | counts[:, 2] << 20
        return words.astype("<u4").reshape(blocks, per_block)

    def int16_samples(self, blocks: int) -> np.ndarray:
        """Gyroscope, accelerometer and (9-axis) magnetometer counts in the
        block layout: noise, gravity on z, bursts of movement that turn the
        device, and a steady field with noise on the magnetometer."""
        per_block = self.layout.samples_per_block
        n = blocks * per_block
        bursts = (self.rng.random(blocks) < 0.05).repeat(per_block)[:, None]
        movement = self.rng.normal(0.0, 1.0, (blocks, 6)).repeat(per_block, axis=0) * bursts
        gyro = self.rng.normal(0.0, 0.5, (n, 3)) + movement[:, :3] * 90.0
        accel = self.rng.normal(0.0, 0.012, (n, 3)) + movement[:, 3:] * 0.15
        accel[:, 2] += 1.0
        channels = [gyro * GYRO_COUNTS_PER_DPS, accel * ACCEL_COUNTS_PER_G]
        if self.layout.axes == 9:
            channels.append(self.rng.normal((300.0, -150.0, 420.0), 6.0, (n, 3)))
        counts = np.clip(np.rint(np.hstack(channels)), -32768, 32767).astype("<i2")
        return counts.reshape(blocks, per_block * self.layout.axes)

    def sample_area(self, blocks: int) -> np.ndarray:
        """The sample bytes of each block, zero-padded to the 480-byte area."""
        samples = self.packed_samples(blocks) if self.layout.axes == 3 else self.int16_samples(blocks)
        area = np.zeros((blocks, w.SAMPLE_AREA_SIZE), np.uint8)
        area[:, : self.layout.sample_bytes] = samples.view(np.uint8)
        return area

    def blocks(self, count: int) -> np.ndarray:
        starts, rates = self.block_times(count)
        # The stamp is the first whole second the block's samples reach; the
        # offset counts the samples before it, at the device's actual rate.
        whole = np.ceil(starts)
        offsets = np.ceil((whole - starts) * rates - 1e-9).astype(np.int16)
        out = np.zeros(count, BLOCK_DTYPE)
        out["packet_header"] = 0x5841
        out["packet_length"] = 508
        out["session_id"] = SESSION_ID
        out["sequence_id"] = np.arange(self.sequence, self.sequence + count, dtype=np.uint32)
        out["timestamp"] = packed_datetimes(START_UNIX + whole.astype(np.int64))
        out["fractional_time"] = np.rint((starts - np.floor(starts)) * 65536).astype(np.uint16)
        hours = (self.sequence + np.arange(count)) * self.layout.samples_per_block / NOMINAL_HZ / 3600.0
        daylight = np.clip(np.sin((hours % 24 - 6) / 12 * np.pi), 0, 1)
        reading = (daylight * 600 + self.rng.integers(0, 8, count)).astype(np.uint16)
        out["light"] = self.layout.light_scale_bits | reading
        out["temperature"] = (300 + 20 * np.sin(hours / 24 * 2 * np.pi)).astype(np.uint16)
        out["battery"] = np.clip(230 - hours / 4, 150, 255).astype(np.uint8)
        out["rate_code"] = RATE_CODE
        out["sample_format"] = self.layout.sample_format
        out["timestamp_offset"] = offsets
        out["sample_count"] = self.layout.samples_per_block
        out["samples"] = self.sample_area(count)
        # The 256 little-endian words of a block sum to zero.
        words = out.view(np.uint8).reshape(count, 512)[:, :510].view("<u2")
        out["checksum"] = (-words.sum(axis=1, dtype=np.uint64)).astype(np.uint16)
        self.sequence += count
        return out


def check_layout(first: np.ndarray, layout: Layout) -> None:
    """The first generated block, rebuilt field by field with the writer."""
    record = first[0]
    rebuilt = w.DataBlock(
        packet_length=int(record["packet_length"]),
        fractional_time=int(record["fractional_time"]),
        session_id=int(record["session_id"]),
        sequence_id=int(record["sequence_id"]),
        timestamp=int(record["timestamp"]),
        light=int(record["light"]),
        temperature=int(record["temperature"]),
        battery=int(record["battery"]),
        rate_code=int(record["rate_code"]),
        sample_format=int(record["sample_format"]),
        timestamp_offset=int(record["timestamp_offset"]),
        sample_data=record["samples"].tobytes()[: layout.sample_bytes],
        checksum=int(record["checksum"]),
    ).to_bytes()
    if rebuilt != first.tobytes()[: w.SECTOR_SIZE]:
        raise AssertionError("generated block layout differs from tests/cwa_writer.py")


def generate(path: pathlib.Path, days: int, seed: int = 1, axes: int = 3) -> pathlib.Path:
    layout = LAYOUTS[axes]
    device = Device(seed, layout)
    metadata = w.MetadataBlock(
        hardware_type=AX6_HARDWARE if axes > 3 else 0x17,
        sensor_config=layout.sensor_config,
        device_id=12345,
        session_id=SESSION_ID,
        logging_start_time=w.datetime_from_unix(START_UNIX),
        logging_end_time=w.datetime_from_unix(START_UNIX + days * 86400),
        rate_code=RATE_CODE,
        annotation=b"benchmark recording",
    )
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        out.write(metadata.to_bytes())
        total, chunk = layout.blocks(days), layout.chunk_blocks()
        for first in range(0, total, chunk):
            blocks = device.blocks(min(chunk, total - first))
            if first == 0:
                check_layout(blocks, layout)
            out.write(blocks.tobytes())
    partial.replace(path)
    return path


def write(path: pathlib.Path, days: int, axes: int, seed: int) -> None:
    began = time.perf_counter()
    generate(path, days, seed, axes)
    size = path.stat().st_size
    print(
        f"{path}: {days} days, {axes} axes, {(size - 1024) // 512} blocks, {size / 1e6:.1f} MB "
        f"in {time.perf_counter() - began:.1f} s"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=7)
    parser.add_argument("--axes", type=int, choices=sorted(LAYOUTS), default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", type=pathlib.Path, default=None)
    parser.add_argument("--standard", action="store_true", help="write the benchmarks' recordings")
    args = parser.parse_args()
    if args.standard:
        for axes, days in STANDARD:
            write(default_path(days, axes), days, axes, args.seed)
        return
    write(args.output or default_path(args.days, args.axes), args.days, args.axes, args.seed)


if __name__ == "__main__":
    main()
