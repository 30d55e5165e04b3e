"""Times sampling_consistency_report on a week-long recording against the
floor of reading the same file's bytes in this process, both from the page
cache. The recording is generated first if it is missing.

    PYTHONPATH=build/<name> python3 benchmarks/bench_report.py [--days 7] [--repeat 7]

Prints the best and median time of each and the ratio of the best times."""

from __future__ import annotations

import pathlib
import statistics
import time
from typing import Callable

import velnora

from generate_recording import benchmark_parser, recording_for

CHUNK = 1 << 20


def read_floor(path: pathlib.Path) -> Callable[[], None]:
    """Reads the whole file in 1 MiB chunks into one reused buffer."""
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)

    def run() -> None:
        with open(path, "rb", buffering=0) as f:
            while f.readinto(view):
                pass

    return run


def report(path: pathlib.Path) -> Callable[[], None]:
    text = str(path)

    def run() -> None:
        velnora.sampling_consistency_report(text)

    return run


def timed(run: Callable[[], None]) -> float:
    began = time.perf_counter()
    run()
    return time.perf_counter() - began


def show(name: str, times: list[float]) -> None:
    best, median = min(times) * 1e3, statistics.median(times) * 1e3
    print(f"{name:<28} best {best:7.1f} ms  median {median:7.1f} ms")


def main() -> None:
    args = benchmark_parser(__doc__, repeat=7).parse_args()
    path = recording_for(args)
    size = path.stat().st_size
    floor, scan = read_floor(path), report(path)
    # Warm the page cache and both code paths before measuring.
    floor()
    scan()
    floor_times: list[float] = []
    scan_times: list[float] = []
    # Interleaved rounds, so that a burst of load elsewhere hits both alike.
    for _ in range(args.repeat):
        floor_times.append(timed(floor))
        scan_times.append(timed(scan))
    print(f"file: {path} ({size / 1e6:.1f} MB, {(size - 1024) // 512} sectors)")
    show("read floor, 1 MiB chunks", floor_times)
    show("sampling_consistency_report", scan_times)
    best = min(scan_times) / min(floor_times)
    medians = statistics.median(scan_times) / statistics.median(floor_times)
    print(f"ratio report / floor: {best:.2f} (medians {medians:.2f})")


if __name__ == "__main__":
    main()
