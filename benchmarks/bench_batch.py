"""Times velnora_tools.summarise over 200 one-hour recordings: serially (the
local pool with one process), on a two-worker LocalCluster, and
`velnora report -j 2` for comparison; then the peak resident set of one task
on the week-long recording, summarised and converted to Parquet, on the local
pool and on a one-worker cluster.

    PYTHONPATH=build/<name>:python python3 benchmarks/bench_batch.py [--days 7] [--repeat 3]

Each run is a fresh process reading from the page cache, the contenders taking
turns round by round. The cluster's figure includes starting it; the time of
the summarise call alone is printed beside it. A task's peak is that of the
worker process that ran it, imports included."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time

from bench_cli import HOURS, cut_hours
from recordings import benchmark_parser, recording_for

MIB = 1 << 20
CLUSTER = (
    "from distributed import Client, LocalCluster\n"
    "cluster = LocalCluster(n_workers={workers}, threads_per_worker=1, processes=True, dashboard_address=None)\n"
    "client = Client(cluster)\n"
)
SERIAL = "import time, velnora_tools\nstart = time.perf_counter()\nvelnora_tools.summarise({paths}, workers=1)\n"
ON_CLUSTER = CLUSTER + "import time, velnora_tools\nstart = time.perf_counter()\nvelnora_tools.summarise({paths}, client)\n"
CALL_SECONDS = "print(time.perf_counter() - start)\n"
# A task's peak: the pool's worker is this process's waited-for child; a
# cluster's worker reports its own.
POOL_PEAK = "import resource\nprint(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)\n"
WORKER_PEAK = (
    "import resource\n"
    "peaks = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)\n"
    "print(max(peaks.values()))\n"
)


def fresh(argv: list[str]) -> tuple[float, str]:
    """Wall seconds and stdout of one child process."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    output = process.stdout.read()
    _, status, _ = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"failed: {' '.join(argv[:4])} ...")
    return time.perf_counter() - start, output


def python(code: str) -> list[str]:
    return [sys.executable, "-c", code]


def summaries(hours: list[str], repeat: int) -> None:
    paths = json.dumps(hours)
    contenders = {
        "summarise, local pool of 1 process": python(SERIAL.format(paths=paths) + CALL_SECONDS),
        "summarise, LocalCluster of 2 workers": python(ON_CLUSTER.format(workers=2, paths=paths) + CALL_SECONDS),
        "velnora report -j 2": [sys.executable, "-m", "velnora_tools.cli", "report", "-q", "-j", "2", *hours],
    }
    walls: dict[str, list[float]] = {name: [] for name in contenders}
    calls: dict[str, list[float]] = {name: [] for name in contenders}
    for _ in range(repeat):
        for name, argv in contenders.items():
            wall, output = fresh(argv)
            walls[name].append(wall)
            if not name.startswith("velnora report"):
                calls[name].append(float(output.split()[-1]))
    for name in contenders:
        wall = min(walls[name])
        call = f"  (the call alone {min(calls[name]):5.2f} s)" if calls[name] else ""
        print(f"{name:38s} {wall:6.2f} s  {HOURS / wall:6.1f} files/s{call}")


def task_peaks(path: str, directory: str) -> None:
    work = {
        "summarise": f"result = velnora_tools.summarise([{json.dumps(path)}]{{where}})\n",
        "convert to Parquet": f"result = velnora_tools.convert([{json.dumps(path)}], {json.dumps(directory)}{{where}})\n",
    }
    succeeded = "assert result['error'].isna().all(), result['error'].tolist()\n"
    for name, call in work.items():
        pool = "import velnora_tools\n" + call.format(where=", workers=1") + succeeded + POOL_PEAK
        cluster = CLUSTER.format(workers=1) + "import velnora_tools\n" + call.format(where=", client") + succeeded + WORKER_PEAK
        for engine, code in (("local pool", pool), ("cluster worker", cluster)):
            for leftover in os.listdir(directory):
                os.remove(os.path.join(directory, leftover))
            wall, output = fresh(python(code))
            print(f"one task, {name:18s} on a {engine:14s}: peak RSS {int(output.split()[-1]) / MIB:6.0f} MiB  ({wall:.1f} s)")


def main() -> None:
    args = benchmark_parser(__doc__, repeat=3).parse_args()
    path = os.path.abspath(recording_for(args))
    print(f"load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
    with tempfile.TemporaryDirectory(dir=os.path.dirname(path)) as directory:
        summaries(cut_hours(path, directory), args.repeat)
    with tempfile.TemporaryDirectory(dir=os.path.dirname(path)) as directory:
        task_peaks(os.path.abspath(path), directory)
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
