"""Writes a realistic long recording for the benchmarks: a packed 3-axis
device at 100 Hz whose sample clock runs slightly off nominal, so that the
whole-second stamps and `timestampOffset` of consecutive blocks wander and a
block's natural start now and then differs from the previous end by a few ms.

    python3 benchmarks/generate_recording.py [--days 7] [--seed 1] [--output PATH]

The metadata block and a check of the block layout come from the test suite's
writer (tests/cwa_writer.py); the 512-byte data blocks themselves are
assembled with NumPy, a day at a time, so a week takes seconds."""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import cwa_writer as w  # noqa: E402

DATA_DIR = ROOT / "benchmarks" / "data"
START_UNIX = 1600000000  # 2020-09-13T12:26:40Z
RATE_CODE = 0x4A  # 100 Hz, +-8 g
NOMINAL_HZ = 100.0
SAMPLES = 120
BLOCKS_PER_DAY = 86400 * 100 // SAMPLES  # 72000
SESSION_ID = 4711

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
            "<i2", "<u2", ("<u4", SAMPLES), "<u2",
        ],
        "offsets": [0, 2, 4, 6, 10, 14, 18, 20, 22, 23, 24, 25, 26, 28, 30, 510],
        "itemsize": w.SECTOR_SIZE,
    }
)


def default_path(days: int) -> pathlib.Path:
    return DATA_DIR / f"recording_{days}d.cwa"


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

    def __init__(self, seed: int) -> None:
        self.rng = np.random.default_rng(seed)
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
        periods = SAMPLES / rates
        starts = self.sample_time + np.concatenate(([0.0], np.cumsum(periods)[:-1]))
        self.sample_time = float(starts[-1] + periods[-1])
        return starts, rates

    def samples(self, blocks: int) -> np.ndarray:
        """Packed words: gravity on z plus noise and bursts of movement."""
        n = blocks * SAMPLES
        movement = self.rng.normal(0.0, 1.0, (blocks, 3)).repeat(SAMPLES, axis=0)
        bursts = (self.rng.random(blocks) < 0.05).repeat(SAMPLES)[:, None]
        axes = self.rng.normal(0.0, 3.0, (n, 3)) + movement * 40.0 * bursts
        axes[:, 2] += 256.0  # 1 g at 256 counts per g
        counts = np.clip(np.rint(axes), -512, 511).astype(np.int64) & 0x3FF
        words = counts[:, 0] | counts[:, 1] << 10 | counts[:, 2] << 20
        return words.astype(np.uint32).reshape(blocks, SAMPLES)

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
        hours = (self.sequence + np.arange(count)) * SAMPLES / NOMINAL_HZ / 3600.0
        daylight = np.clip(np.sin((hours % 24 - 6) / 12 * np.pi), 0, 1)
        out["light"] = (1 << 13) | (daylight * 600 + self.rng.integers(0, 8, count)).astype(np.uint16)
        out["temperature"] = (300 + 20 * np.sin(hours / 24 * 2 * np.pi)).astype(np.uint16)
        out["battery"] = np.clip(230 - hours / 4, 150, 255).astype(np.uint8)
        out["rate_code"] = RATE_CODE
        out["sample_format"] = w.FORMAT_PACKED
        out["timestamp_offset"] = offsets
        out["sample_count"] = SAMPLES
        out["samples"] = self.samples(count)
        # The 256 little-endian words of a block sum to zero.
        words = out.view(np.uint8).reshape(count, 512)[:, :510].view("<u2")
        out["checksum"] = (-words.sum(axis=1, dtype=np.uint64)).astype(np.uint16)
        self.sequence += count
        return out


def check_layout(first: np.ndarray) -> None:
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
        sample_data=record["samples"].astype("<u4").tobytes(),
        checksum=int(record["checksum"]),
    ).to_bytes()
    if rebuilt != first.tobytes()[: w.SECTOR_SIZE]:
        raise AssertionError("generated block layout differs from tests/cwa_writer.py")


def generate(path: pathlib.Path, days: int, seed: int = 1) -> pathlib.Path:
    device = Device(seed)
    metadata = w.MetadataBlock(
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
        for day in range(days):
            blocks = device.blocks(BLOCKS_PER_DAY)
            if day == 0:
                check_layout(blocks)
            out.write(blocks.tobytes())
    partial.replace(path)
    return path


def benchmark_parser(doc: str, repeat: int) -> argparse.ArgumentParser:
    """The options every benchmark takes: which recording, and how many rounds."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=repeat)
    parser.add_argument("--path", type=pathlib.Path, default=None)
    return parser


def recording_for(args: argparse.Namespace) -> pathlib.Path:
    """The recording a benchmark's arguments name, generated when missing."""
    path = args.path or default_path(args.days)
    if not path.exists():
        print(f"generating {path}")
        generate(path, args.days)
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=7)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", type=pathlib.Path, default=None)
    args = parser.parse_args()
    path = args.output or default_path(args.days)
    began = time.perf_counter()
    generate(path, args.days, args.seed)
    size = path.stat().st_size
    print(f"{path}: {args.days} days, {(size - 1024) // 512} blocks, {size / 1e6:.1f} MB "
          f"in {time.perf_counter() - began:.1f} s")


if __name__ == "__main__":
    main()
