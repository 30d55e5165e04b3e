"""Times read_cwa_file on a week-long 100 Hz recording against a floor, and
measures its peak memory. The recording is generated first if it is missing.

    PYTHONPATH=build/<name> python3 benchmarks/bench_read.py [--days 7] [--repeat 3]

Floor: reading the file's bytes into memory plus allocating and writing NumPy
arrays as large as the full result (one int64 and twelve float32 columns).
Timed in this process, from the page cache, in --repeat interleaved rounds:
the floor, the default read, the read with every include flag off, a one-hour
seconds cut and a one-hour (3000-block) blocks cut from the middle. Peak memory
is the growth of the peak resident set over the resident set after import, in
a fresh interpreter per configuration. Prints every figure, the ratios of the
best and of the median times, and whether each target is met by the best."""

from __future__ import annotations

import argparse
import json
import pathlib
import resource
import statistics
import subprocess
import sys
from typing import Any, Callable

import numpy as np

import velnora

from bench_report import show, timed
from generate_recording import benchmark_parser, default_path, recording_for

HOUR_BLOCKS = 3000  # 3000 blocks of 120 samples at 100 Hz
MIB = 1 << 20

NO_OPTIONAL = {
    "include_magnetometer": False,
    "include_temperature": False,
    "include_light": False,
    "include_battery": False,
}


def configurations(path: pathlib.Path) -> dict[str, dict[str, Any]]:
    """read_cwa_file keyword arguments by configuration name."""
    blocks = (path.stat().st_size - 1024) // 512
    middle_s = blocks * 1.2 / 2
    middle_block = blocks // 2
    return {
        "default": {},
        "flags off": NO_OPTIONAL,
        "seconds cut, 1 h": {"cut": velnora.seconds(middle_s, middle_s + 3600.0)},
        "blocks cut, 1 h": {"cut": velnora.blocks(middle_block, middle_block + HOUR_BLOCKS)},
    }


def result_bytes(data: dict[str, np.ndarray]) -> int:
    return sum(array.nbytes for array in data.values())


def floor(path: pathlib.Path, samples: int) -> Callable[[], None]:
    """The file's bytes into memory, then 13 fresh columns written once."""

    def run() -> None:
        raw = path.read_bytes()
        columns = [np.empty(samples, np.int64)] + [np.empty(samples, np.float32) for _ in range(12)]
        for column in columns:
            column.fill(1)
        del raw, columns

    return run


def reader(path: pathlib.Path, options: dict[str, Any]) -> Callable[[], None]:
    text = str(path)

    def run() -> None:
        velnora.read_cwa_file(text, **options)

    return run


def peak_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def measure_peak(path: pathlib.Path, name: str) -> None:
    """Child side: one read, then the peak growth and the result size as JSON."""
    options = configurations(path)[name]
    baseline = peak_kib()
    data = velnora.read_cwa_file(str(path), **options)
    print(json.dumps({"peak_kib": peak_kib() - baseline, "result_bytes": result_bytes(data)}))


def peak_in_child(path: pathlib.Path, name: str) -> dict[str, int]:
    script = pathlib.Path(__file__).resolve()
    out = subprocess.run(
        [sys.executable, str(script), "--path", str(path), "--peak-of", name],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout)


def verdict(ok: bool) -> str:
    return "ok" if ok else "MISSED"


def main() -> None:
    parser = benchmark_parser(__doc__, repeat=3)
    parser.add_argument("--peak-of", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak_of is not None:
        measure_peak(args.path or default_path(args.days), args.peak_of)
        return
    path = recording_for(args)

    configs = configurations(path)
    # A child inherits the peak resident set of the process it was forked
    # from, so the children run while this process is still small.
    peaks = {name: peak_in_child(path, name) for name in configs}
    full = velnora.read_cwa_file(str(path))
    samples, full_bytes = len(full["timestamp"]), result_bytes(full)
    del full
    runs = {"floor": floor(path, samples)} | {name: reader(path, options) for name, options in configs.items()}
    times: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(args.repeat):
        for name, run in runs.items():
            times[name].append(timed(run))

    size = path.stat().st_size
    print(f"file: {path} ({size / 1e6:.1f} MB, {(size - 1024) // 512} sectors, {samples} samples)")
    print(f"result: {full_bytes / MIB:.0f} MiB in 13 columns")
    for name in runs:
        show(name, times[name])
    best = {name: min(values) for name, values in times.items()}
    median = {name: statistics.median(values) for name, values in times.items()}
    checks = [("default", "floor", 2.0), ("seconds cut, 1 h", "default", 0.3), ("blocks cut, 1 h", "default", 0.05)]
    for name, base, target in checks:
        ratio = best[name] / best[base]
        print(
            f"{name + ' / ' + base:<28} best {ratio:6.3f}  median {median[name] / median[base]:6.3f}"
            f"  (target <= {target})  {verdict(ratio <= target)}"
        )
    for name, peak in peaks.items():
        limit = peak["result_bytes"] * 1.25 + 100 * MIB
        grown = peak["peak_kib"] * 1024
        print(
            f"peak {name:<23} {grown / MIB:7.0f} MiB over import, result {peak['result_bytes'] / MIB:6.0f} MiB, "
            f"limit {limit / MIB:6.0f} MiB  {verdict(grown <= limit)}"
        )



if __name__ == "__main__":
    main()
