"""Times write_cwa_csv on a day-long 100 Hz recording against what a user would
write without it: read_cwa_file, then pandas' DataFrame.to_csv with a
float_format, both to files in one temporary directory, in this process.
Then runs write_cwa_csv in fresh processes on the 1-day and the 7-day
recording (output to /dev/null) and compares their peak resident memory,
which must not grow with the recording. Missing recordings are generated.

    PYTHONPATH=build/<name> python3 benchmarks/bench_csv.py [--repeat 3] [--skip-pandas]

pandas is not a dependency of the project; install it (pip install pandas)
for the comparison, or the script says it is missing and skips it."""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

import velnora

from generate_recording import default_path, generate

MB = 1e6
PEAK_RSS_SCRIPT = textwrap.dedent(
    """
    import os, sys
    import velnora

    def status(key):
        with open("/proc/self/status") as lines:
            return next(int(line.split()[1]) for line in lines if line.startswith(key + ":"))

    before = status("VmRSS")
    velnora.write_cwa_csv(sys.argv[1], os.devnull)
    print(before, status("VmHWM"))
    """
)


def recording(days: int) -> pathlib.Path:
    path = default_path(days)
    if not path.exists():
        print(f"generating {path}")
        generate(path, days)
    return path


def timed(run) -> float:
    began = time.perf_counter()
    run()
    return time.perf_counter() - began


def velnora_export(source: pathlib.Path, out: pathlib.Path, repeat: int) -> list[float]:
    return [timed(lambda: velnora.write_cwa_csv(str(source), str(out))) for _ in range(repeat)]


def pandas_export(source: pathlib.Path, out: pathlib.Path) -> float | None:
    try:
        import pandas as pd
    except ImportError:
        print("pandas is not installed (pip install pandas): comparison skipped")
        return None

    def run() -> None:
        data = velnora.read_cwa_file(
            str(source), include_temperature=False, include_light=False, include_battery=False
        )
        columns = {"time": data.pop("timestamp") / 1000000.0, **data}
        pd.DataFrame(columns).to_csv(out, index=False, float_format="%.6f")

    return timed(run)


def peak_rss_kib(source: pathlib.Path) -> tuple[int, int]:
    """Resident memory (KiB) of a fresh process once velnora is imported, and
    its peak after the export."""
    done = subprocess.run(
        [sys.executable, "-c", PEAK_RSS_SCRIPT, str(source)],
        capture_output=True,
        text=True,
        check=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    before, after = done.stdout.split()
    return int(before), int(after)


def compare_speed(source: pathlib.Path, repeat: int, skip_pandas: bool) -> None:
    with tempfile.TemporaryDirectory(dir=source.parent) as scratch:
        ours_path = pathlib.Path(scratch) / "velnora.csv"
        times = velnora_export(source, ours_path, repeat)
        size = ours_path.stat().st_size
        best = min(times)
        print(f"input: {source} ({source.stat().st_size / MB:.1f} MB)")
        print(
            f"write_cwa_csv: best {best:.2f} s, median {statistics.median(times):.2f} s of {repeat}, "
            f"{size / MB:.0f} MB written, {size / MB / best:.0f} MB/s"
        )
        ours_path.unlink()
        if skip_pandas:
            return
        theirs_path = pathlib.Path(scratch) / "pandas.csv"
        theirs = pandas_export(source, theirs_path)
        if theirs is None:
            return
        their_size = theirs_path.stat().st_size
        print(
            f"read_cwa_file + DataFrame.to_csv: {theirs:.2f} s, {their_size / MB:.0f} MB written, "
            f"{their_size / MB / theirs:.0f} MB/s"
        )
        print(f"ratio (pandas / write_cwa_csv best): {theirs / best:.1f}x")


def compare_memory() -> None:
    for days in (1, 7):
        source = recording(days)
        before, after = peak_rss_kib(source)
        print(
            f"peak RSS, {days}-day recording ({source.stat().st_size / MB:.0f} MB): "
            f"{before / 1024:.1f} MiB after import, peak {after / 1024:.1f} MiB by the end of write_cwa_csv"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3, help="write_cwa_csv runs (pandas runs once)")
    parser.add_argument("--skip-pandas", action="store_true")
    args = parser.parse_args()
    print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")
    compare_speed(recording(1), args.repeat, args.skip_pandas)
    compare_memory()


if __name__ == "__main__":
    main()
