"""Times read_cwa_file resampled to 30 Hz and to 100 Hz on a week-long 100 Hz
recording against the plain read of the same file, and measures the peak
memory of each resample. The recording is generated first if it is missing.

    PYTHONPATH=build/<name> python3 benchmarks/bench_resample.py [--days 7] [--repeat 3]

All reads run in this process, from the page cache. Each configuration gets
one untimed call, then --repeat timed calls back to back, so that every timed
call maps its gigabytes of columns just after the previous call of the same
size released them: on a virtual machine, memory that has lain free for a
while costs far more to fault in again, and a slower call would otherwise be
charged for the order of the runs. The CPU time of each best call is printed
beside it, split into user and system. Peak memory is the growth of the peak
resident set over the resident set after import, in a fresh interpreter per
rate, set against the size of the result."""

from __future__ import annotations

import json
import pathlib
import resource
import statistics
import subprocess
import sys
import time
from typing import Any

import velnora

from bench_read import MIB, verdict
from generate_recording import benchmark_parser, recording_for

RATES = [30.0, 100.0]
TARGET = 2.0  # times the plain read
QUEUE_AND_STAGE_MIB = 100  # the constant allowed on top of the result


def timed_call(path: str, options: dict[str, Any]) -> tuple[float, float, float]:
    """Wall, user and system seconds of one call; the result is freed after."""
    before = resource.getrusage(resource.RUSAGE_SELF)
    began = time.perf_counter()
    data = velnora.read_cwa_file(path, **options)
    wall = time.perf_counter() - began
    after = resource.getrusage(resource.RUSAGE_SELF)
    del data
    return wall, after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime


def measure(path: str, options: dict[str, Any], repeat: int) -> list[tuple[float, float, float]]:
    velnora.read_cwa_file(path, **options)
    return [timed_call(path, options) for _ in range(repeat)]


# Run in a fresh interpreter: one resample, then the growth of the peak
# resident set over the one after import, and the size of the result.
PEAK_CHILD = """
import json, resource, sys
import velnora
path, rate = sys.argv[1], float(sys.argv[2])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
data = velnora.read_cwa_file(path, resample_hz=rate)
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(json.dumps({"peak_kib": grown, "result_bytes": sum(a.nbytes for a in data.values()),
                  "rows": len(data["timestamp"])}))
"""


def peak_in_child(path: pathlib.Path, rate: float) -> dict[str, int]:
    out = subprocess.run(
        [sys.executable, "-c", PEAK_CHILD, str(path), str(rate)], check=True, capture_output=True, text=True
    )
    return json.loads(out.stdout)


def show(name: str, runs: list[tuple[float, float, float]]) -> None:
    wall, user, system = min(runs)
    median = statistics.median(run[0] for run in runs)
    print(f"{name:<22} best {wall:6.2f} s (user {user:5.2f}, sys {system:5.2f})  median {median:6.2f} s")


def main() -> None:
    args = benchmark_parser(__doc__, repeat=3).parse_args()
    path = recording_for(args)

    # A child inherits the peak resident set of the process it was forked
    # from, so the children run while this process is still small.
    peaks = {rate: peak_in_child(path, rate) for rate in RATES}
    text = str(path)
    runs = {"read_cwa_file": measure(text, {}, args.repeat)}
    for rate in RATES:
        runs[f"resample_hz={rate:g}"] = measure(text, {"resample_hz": rate}, args.repeat)

    size = path.stat().st_size
    with open("/proc/loadavg") as load:
        print(f"file: {path} ({size / 1e6:.1f} MB, {(size - 1024) // 512} sectors); load {load.read().split()[0]}")
    for name, values in runs.items():
        show(name, values)
    best = {name: min(values)[0] for name, values in runs.items()}
    median = {name: statistics.median(run[0] for run in values) for name, values in runs.items()}
    for name in list(runs)[1:]:
        ratio = best[name] / best["read_cwa_file"]
        print(
            f"{name + ' / read_cwa_file':<36} best {ratio:5.2f}  median "
            f"{median[name] / median['read_cwa_file']:5.2f}  (target <= {TARGET})  {verdict(ratio <= TARGET)}"
        )
    for rate, peak in peaks.items():
        limit = peak["result_bytes"] + QUEUE_AND_STAGE_MIB * MIB
        grown = peak["peak_kib"] * 1024
        print(
            f"peak resample_hz={rate:<5g} {grown / MIB:6.0f} MiB over import, result {peak['result_bytes'] / MIB:5.0f}"
            f" MiB ({peak['rows']} rows), limit {limit / MIB:5.0f} MiB  {verdict(grown <= limit)}"
        )


if __name__ == "__main__":
    main()
