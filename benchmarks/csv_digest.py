"""SHA-256 of the CSV text write_cwa_csv makes from a fixed set of recordings,
so that a change to the number texts can be shown to leave every byte as it
was: run it before and after and compare the lines.

    PYTHONPATH=build/<name> python3 benchmarks/csv_digest.py [--days 1 2] [--dir build/digest]

The recordings: the generator's (one per --days entry, seed = days) with the
default flags, all flags, and resampled at 30 and 100 Hz; and one recording of
random counts and readings for each of the four sample formats, stamped at
random fractions of a second, with every flag. Recordings are written to --dir
once and reused; the CSV is streamed through a named pipe, never stored."""

from __future__ import annotations

import argparse
import os
import pathlib
import random
import subprocess
import sys

import velnora

from generate_recording import generate
from recordings import ROOT, w

ALL_FLAGS = {"include_magnetometer": True, "include_temperature": True, "include_light": True,
             "include_battery": True}
PER_BLOCK = {w.FORMAT_PACKED: 120, w.FORMAT_UNPACKED3: 80, w.FORMAT_AXIS6: 40, w.FORMAT_AXIS9: 26}
AXES = {w.FORMAT_UNPACKED3: 3, w.FORMAT_AXIS6: 6, w.FORMAT_AXIS9: 9}


def random_block(rng: random.Random, sample_format: int, index: int) -> w.DataBlock:
    count = PER_BLOCK[sample_format]
    if sample_format == w.FORMAT_PACKED:
        samples = [tuple(rng.randint(-512, 511) for _ in range(3)) + (rng.randint(0, 3),) for _ in range(count)]
    else:
        samples = [tuple(rng.randint(-32768, 32767) for _ in range(AXES[sample_format])) for _ in range(count)]
    return w.DataBlock(
        sequence_id=index,
        timestamp=w.datetime_from_unix(1700000000 + 2 * index),
        fractional_time=rng.randint(0, 0xFFFF),
        timestamp_offset=rng.randint(-count, count),
        rate_code=rng.choice([0x4A, 0x4B, 0x4C, 0x0F]),
        sample_format=sample_format,
        sample_data=w.encode_samples(sample_format, samples),
        light=rng.randint(0, 0xFFFF),
        temperature=rng.randint(0, 1023),
        battery=rng.randint(0, 255),
    )


def random_recording(path: pathlib.Path, sample_format: int, blocks: int = 3000) -> None:
    rng = random.Random(sample_format)
    w.write_cwa(path, sectors=[random_block(rng, sample_format, i) for i in range(blocks)])


# Hashes a named pipe in a process of its own: write_cwa_csv holds the
# interpreter's lock while it writes.
HASH_SCRIPT = """
import hashlib, sys
digest, size = hashlib.sha256(), 0
with open(sys.argv[1], "rb") as text:
    while chunk := text.read(1 << 20):
        digest.update(chunk)
        size += len(chunk)
print(digest.hexdigest(), size)
"""


def csv_digest(source: pathlib.Path, pipe: pathlib.Path, **options: object) -> str:
    """write_cwa_csv into a named pipe that another process hashes."""
    hasher = subprocess.Popen([sys.executable, "-c", HASH_SCRIPT, str(pipe)], stdout=subprocess.PIPE, text=True)
    try:
        velnora.write_cwa_csv(str(source), str(pipe), **options)
    finally:
        digest, size = hasher.communicate()[0].split()
    return f"{digest} {int(size):>12}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--days", type=int, nargs="*", default=[1])
    parser.add_argument("--dir", type=pathlib.Path, default=ROOT / "build" / "digest")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    cases: list[tuple[str, pathlib.Path, dict]] = []
    for days in args.days:
        path = args.dir / f"generated_{days}d.cwa"
        if not path.exists():
            generate(path, days, days)
        cases += [
            (f"{path.name} default", path, {}),
            (f"{path.name} all flags", path, ALL_FLAGS),
            (f"{path.name} 30 Hz", path, {**ALL_FLAGS, "resample_hz": 30}),
            (f"{path.name} 100 Hz", path, {**ALL_FLAGS, "resample_hz": 100}),
        ]
    for sample_format in PER_BLOCK:
        path = args.dir / f"random_0x{sample_format:02X}.cwa"
        if not path.exists():
            random_recording(path, sample_format)
        cases += [(f"{path.name} all flags", path, ALL_FLAGS),
                  (f"{path.name} 50 Hz", path, {**ALL_FLAGS, "resample_hz": 50})]
    pipe = args.dir / "csv.pipe"
    if pipe.exists():
        pipe.unlink()
    os.mkfifo(pipe)
    try:
        for name, path, options in cases:
            print(f"{csv_digest(path, pipe, **options)}  {name}", flush=True)
    finally:
        pipe.unlink()


if __name__ == "__main__":
    main()
