"""Times the `velnora` command: `report` over 200 one-hour recordings with one
and with two worker processes, and `parquet` on a week-long recording against
the default read_cwa_file, with the peak resident set of each.

    PYTHONPATH=build/<name>:python python3 benchmarks/bench_cli.py [--days 7] [--repeat 3]

The one-hour recordings are the first 200 hours of the long recording, each
cut out with its metadata block, in a temporary directory beside it. Every run
is a fresh process reading from the page cache; the peak resident set is that
of the process and its workers, as wait4 reports it."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time

from recordings import benchmark_parser, recording_for

HOURS = 200
BLOCKS_PER_HOUR = 3600 * 100 // 120
HEADER, SECTOR = 1024, 512
MIB = 1 << 20
READ = "import sys, velnora; velnora.read_cwa_file(sys.argv[1])"


def timed(command: list[str]) -> tuple[float, float]:
    """Seconds and peak resident MiB of one run."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"failed: {' '.join(command)}")
    return seconds, usage.ru_maxrss / 1024


def best(command: list[str], repeat: int) -> tuple[float, float]:
    runs = [timed(command) for _ in range(repeat)]
    return min(seconds for seconds, _ in runs), max(peak for _, peak in runs)


def cut_hours(path: str, directory: str) -> list[str]:
    with open(path, "rb") as recording:
        header = recording.read(HEADER)
        hours = []
        for hour in range(HOURS):
            out = os.path.join(directory, f"hour{hour:03d}.cwa")
            with open(out, "wb") as part:
                part.write(header + recording.read(BLOCKS_PER_HOUR * SECTOR))
            hours.append(out)
    return hours


def main() -> None:
    args = benchmark_parser(__doc__, repeat=3).parse_args()
    path = str(recording_for(args))
    velnora = [sys.executable, "-m", "velnora_tools.cli"]
    print(f"load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
    with tempfile.TemporaryDirectory(dir=os.path.dirname(path)) as directory:
        hours = cut_hours(path, directory)
        for jobs in ("1", "2"):
            seconds, _ = best([*velnora, "report", "-q", "-j", jobs, *hours], args.repeat)
            print(f"report -j {jobs}: {HOURS} one-hour recordings in {seconds:.2f} s ({HOURS / seconds:.1f} files/s)")
        size_mb = os.path.getsize(path) / 1e6
        read_s, read_peak = best([sys.executable, "-c", READ, path], args.repeat)
        export_s, export_peak = best([*velnora, "parquet", "-q", path, "-o", directory], args.repeat)
    print(f"read_cwa_file:  {read_s:6.2f} s  {size_mb / read_s:6.1f} MB/s of input  peak RSS {read_peak:6.0f} MiB")
    print(f"velnora parquet: {export_s:6.2f} s  {size_mb / export_s:6.1f} MB/s of input  peak RSS {export_peak:6.0f} MiB")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
