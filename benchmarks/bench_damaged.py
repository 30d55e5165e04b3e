"""Times velnora_tools.read_skipping_damaged on a week-long 100 Hz recording with
no, one and 100 damaged data blocks against a plain read_cwa_file of the sound
recording. The recording is generated first if it is missing; the damaged
copies are written beside it.

    PYTHONPATH=build/<name> python3 benchmarks/bench_damaged.py [--days 7] [--repeat 5]

Each run is a fresh interpreter reading from the page cache, in interleaved
rounds so that a burst of load elsewhere hits every configuration alike.
Prints the best and median wall time of each, the best processor time (user
and system, steadier on a loaded machine) and their ratios to the plain read."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys

from generate_recording import benchmark_parser, recording_for

METADATA_SIZE = 1024
SECTOR_SIZE = 512
RATE_CODE_AT = 24  # a rate code of 0 marks a block of the old format

RUN = """
import json, sys, time
import velnora, velnora_tools
mode, path = sys.argv[1:]
start, cpu = time.perf_counter(), time.process_time()
if mode == "plain":
    rows, damaged = len(velnora.read_cwa_file(path)["timestamp"]), 0
else:
    data, listed = velnora_tools.read_skipping_damaged(path)
    rows, damaged = len(data["timestamp"]), len(listed)
seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
print(json.dumps({"seconds": seconds, "cpu": cpu, "rows": rows, "damaged": damaged}))
"""


def damaged_copy(sound: pathlib.Path, count: int) -> pathlib.Path:
    """A copy of `sound` whose `count` data blocks, spread evenly, are damaged."""
    path = sound.with_name(f"{sound.stem}_{count}_damaged.cwa")
    if path.exists():
        return path
    blocks = (sound.stat().st_size - METADATA_SIZE) // SECTOR_SIZE
    partial = path.with_suffix(".partial")
    shutil.copyfile(sound, partial)
    with open(partial, "r+b") as out:
        for k in range(count):
            out.seek(METADATA_SIZE + SECTOR_SIZE * ((2 * k + 1) * blocks // (2 * count)) + RATE_CODE_AT)
            out.write(b"\0")
    partial.replace(path)
    return path


def run(mode: str, path: pathlib.Path) -> dict[str, float]:
    done = subprocess.run([sys.executable, "-c", RUN, mode, str(path)], capture_output=True, text=True,
                          check=True, env=os.environ)
    return json.loads(done.stdout)


def main() -> None:
    args = benchmark_parser(__doc__, repeat=5).parse_args()
    sound = recording_for(args)
    cases = {
        "read_cwa_file": ("plain", sound),
        "skipping, no damage": ("skipping", sound),
        "skipping, 1 damaged": ("skipping", damaged_copy(sound, 1)),
        "skipping, 100 damaged": ("skipping", damaged_copy(sound, 100)),
    }
    for mode, path in cases.values():  # warms the page cache
        run(mode, path)
    times: dict[str, list[float]] = {name: [] for name in cases}
    cpu: dict[str, list[float]] = {name: [] for name in cases}
    counts: dict[str, str] = {}
    for _ in range(args.repeat):
        for name, (mode, path) in cases.items():
            result = run(mode, path)
            times[name].append(result["seconds"])
            cpu[name].append(result["cpu"])
            counts[name] = f"{result['rows']} rows, {result['damaged']} damaged"
    print(f"file: {sound} ({sound.stat().st_size / 1e6:.1f} MB), load {os.getloadavg()[0]:.1f}")
    plain, plain_cpu = times["read_cwa_file"], min(cpu["read_cwa_file"])
    for name, values in times.items():
        best, median, best_cpu = min(values), statistics.median(values), min(cpu[name])
        print(f"{name:<22} wall best {best * 1e3:6.0f} ms median {median * 1e3:6.0f} ms, "
              f"ratio {best / min(plain):.2f} (medians {median / statistics.median(plain):.2f}); "
              f"cpu best {best_cpu * 1e3:6.0f} ms, ratio {best_cpu / plain_cpu:.2f}; {counts[name]}")


if __name__ == "__main__":
    main()
