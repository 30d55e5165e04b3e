"""Times velnora_tools.write_parquet on a week-long 100 Hz recording against the
default read_cwa_file, and measures the peak memory of each. The recording is
generated first if it is missing.

    PYTHONPATH=build/<name>:python python3 benchmarks/bench_parquet.py [--days 7] [--repeat 2]

Each run is a fresh interpreter reading from the page cache; peak memory is the
growth of the peak resident set over the resident set after the imports. The
Parquet file goes to a temporary directory beside the recording."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile

from generate_recording import benchmark_parser, recording_for

MIB = 1 << 20

RUN = """
import json, resource, sys, time
import velnora, velnora_tools, pyarrow.parquet
mode, path, out = sys.argv[1:]
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
if mode == "read":
    rows = len(velnora.read_cwa_file(path)["timestamp"])
else:
    velnora_tools.write_parquet(path, out)
    rows = pyarrow.parquet.ParquetFile(out).metadata.num_rows
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": seconds, "peak_kib": peak - base, "rows": rows}))
"""


def run(mode: str, path: str, out: str) -> dict[str, float]:
    done = subprocess.run([sys.executable, "-c", RUN, mode, path, out], capture_output=True, text=True, check=True)
    return dict(json.loads(done.stdout))


def main() -> None:
    args = benchmark_parser(__doc__, repeat=2).parse_args()
    path = recording_for(args)
    size_mb = path.stat().st_size / 1e6
    with tempfile.TemporaryDirectory(dir=path.parent) as directory:
        out = f"{directory}/out.parquet"
        results: dict[str, list[dict[str, float]]] = {"read": [], "parquet": []}
        for _ in range(args.repeat):
            for mode in results:
                results[mode].append(run(mode, str(path), out))
        parquet_mb = os.path.getsize(out) / 1e6
    print(f"recording {path} ({size_mb:.0f} MB), Parquet file {parquet_mb:.0f} MB")
    for mode, runs in results.items():
        best = min(r["seconds"] for r in runs)
        peak = max(r["peak_kib"] for r in runs) * 1024 / MIB
        print(f"{mode:>8}: best {best:6.2f} s  {size_mb / best:7.1f} MB/s of input  "
              f"peak RSS +{peak:6.0f} MiB  rows {runs[0]['rows']:.0f}")


if __name__ == "__main__":
    main()
