"""Times velnora_tools.write_parquet on a week-long 100 Hz recording against
the default read_cwa_file of the same recording, each call in a fresh process,
the two alternating, and gives the size of the Parquet file. The recording is
generated first if it is missing.

    PYTHONPATH=build/<name>:python python3 benchmarks/bench_parquet.py [--days 7] [--axes 3] [--repeat 5]
        [--same-process]

The ratio is write_parquet's wall time over the read's in the same round
(median of the rounds): the call reads the recording, its header and its
sampling report and then encodes, so the read is the floor it stands on. The
Parquet file goes to a scratch directory beside the recording, where each
call replaces it."""

from __future__ import annotations

import pathlib
import tempfile

from batch_runner import (
    MB,
    Contender,
    literal,
    measure,
    print_load,
    print_setup,
    print_table,
    probe,
    ratio_target,
)
from recordings import benchmark_parser, recording_for

RATIO_LIMIT = 4.0
READ = "read_cwa_file"
WRITE = "write_parquet"


def read_code(source: pathlib.Path) -> str:
    return f"import velnora; velnora.read_cwa_file({literal(source)})"


def write_code(source: pathlib.Path, out: pathlib.Path) -> str:
    return f"import velnora_tools; velnora_tools.write_parquet({literal(source)}, {literal(out)})"


def file_code(out: pathlib.Path) -> str:
    """The written file's rows and row groups as JSON; read in a child, so
    that pyarrow stays out of this process."""
    return (
        "import json, pyarrow.parquet as pq\n"
        f"meta = pq.ParquetFile({literal(out)}).metadata\n"
        "print(json.dumps({'rows': meta.num_rows, 'row_groups': meta.num_row_groups}))"
    )


def main() -> None:
    args = benchmark_parser(__doc__, repeat=5).parse_args()
    source = recording_for(args)
    print_setup(f"write_parquet against read_cwa_file, {args.axes}-axis", args.repeat, args.same_process)
    with tempfile.TemporaryDirectory(dir=source.parent) as scratch:
        out = pathlib.Path(scratch) / "out.parquet"
        contenders = [Contender(READ, read_code(source)), Contender(WRITE, write_code(source, out))]
        runs = measure(contenders, args.repeat, args.same_process)
        written = probe(file_code(out))
        size = out.stat().st_size
    print(f"recording: {source} ({source.stat().st_size / MB:.1f} MB)")
    rows, groups = written["rows"], written["row_groups"]
    print(f"Parquet file: {size / MB:.1f} MB ({size:,} bytes), {rows:,} rows in {groups} row groups")
    print_table(contenders, runs, {WRITE: READ})
    print("targets:")
    ratio_target(WRITE, runs[WRITE], READ, runs[READ], RATIO_LIMIT)
    print_load("at end")


if __name__ == "__main__":
    main()
