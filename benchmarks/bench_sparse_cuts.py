"""Times cuts near the end of a large sparse recording, where the data blocks
before the cut lie gigabytes back across zero sectors.

    PYTHONPATH=build/<name> python3 benchmarks/bench_sparse_cuts.py [--gib 5] [--repeat 3]

The recording (written once, sparse, under /tmp unless --output is given):
the metadata block, a few steady data blocks at the start, zero sectors, and
a few more data blocks continuing the same clock at the very end of the file,
beyond 4 GiB. Timed: a blocks cut at the end whose previous data block is
adjacent, a blocks cut starting at the first late block (its previous data
block lies at the start of the file), a seconds cut inside the late blocks,
and the whole-file read. The same blocks written to a small file and read
whole give the floor: what reading the returned data costs without the gap."""

from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import velnora  # noqa: E402
from cwa_writer import METADATA_SIZE, SECTOR_SIZE, MetadataBlock, steady_recording, write_cwa  # noqa: E402

EARLY_BLOCKS = 4
LATE_BLOCKS = 10
START_S = 1_600_000_000


def write_sparse(path: pathlib.Path, gib: int) -> int:
    """Writes the recording if it is not there; returns its block count."""
    blocks = (gib * (1 << 30) - METADATA_SIZE) // SECTOR_SIZE
    size = METADATA_SIZE + blocks * SECTOR_SIZE
    if not path.exists() or path.stat().st_size != size:
        recording = steady_recording(START_S, EARLY_BLOCKS + LATE_BLOCKS)
        with path.open("wb") as out:
            out.write(MetadataBlock().to_bytes())
            out.write(b"".join(b.to_bytes() for b in recording[:EARLY_BLOCKS]))
            out.seek(size - LATE_BLOCKS * SECTOR_SIZE)
            out.write(b"".join(b.to_bytes() for b in recording[EARLY_BLOCKS:]))
    return blocks


def best_of(repeat: int, call) -> float:
    best = float("inf")
    for _ in range(repeat):
        began = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - began)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gib", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("/tmp/velnora_sparse.cwa"))
    args = parser.parse_args()

    blocks = write_sparse(args.output, args.gib)
    sparse = str(args.output)
    first_late = blocks - LATE_BLOCKS
    late_start_s = EARLY_BLOCKS * 1.2
    with tempfile.TemporaryDirectory() as tmp:
        dense = write_cwa(pathlib.Path(tmp) / "dense.cwa", sectors=steady_recording(START_S, EARLY_BLOCKS + LATE_BLOCKS))
        cases = {
            f"blocks({blocks - 2}, {blocks - 1})": lambda: velnora.read_cwa_file(
                sparse, cut=velnora.blocks(blocks - 2, blocks - 1)
            ),
            f"blocks({first_late}, {first_late + 2})": lambda: velnora.read_cwa_file(
                sparse, cut=velnora.blocks(first_late, first_late + 2)
            ),
            f"seconds({late_start_s + 3}, {late_start_s + 6})": lambda: velnora.read_cwa_file(
                sparse, cut=velnora.seconds(late_start_s + 3, late_start_s + 6)
            ),
            "whole file": lambda: velnora.read_cwa_file(sparse),
            "floor: the same blocks, dense": lambda: velnora.read_cwa_file(str(dense)),
        }
        for name, call in cases.items():
            print(f"{name:40s} {best_of(args.repeat, call) * 1000:10.2f} ms")


if __name__ == "__main__":
    main()
