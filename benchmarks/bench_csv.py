"""Times write_cwa_csv on a day-long 100 Hz recording, each call in a fresh
process, in MB of CSV per second, and checks the export's target. The
recording is generated first if it is missing.

    PYTHONPATH=build/<name> python3 benchmarks/bench_csv.py [--days 1] [--axes 3] [--repeat 5]
        [--to-file] [--pandas] [--same-process]

One untimed export to a scratch file gives the size of the text and its
SHA-256, which must not change when the export is made faster. The timed
exports write to /dev/null, or with --to-file to a file in the scratch
directory, which each call truncates and rewrites. With --pandas (pandas is
not a dependency; a call takes some 40 times as long), a contender does what
a user would without velnora: read_cwa_file, then DataFrame.to_csv with a
float_format (different text, same columns). Last, one
export of the 7-day recording shows that the peak RSS does not grow with the
recording."""

from __future__ import annotations

import pathlib
import tempfile

from batch_runner import (
    MB,
    Contender,
    best,
    literal,
    measure,
    median,
    print_load,
    print_setup,
    print_table,
    print_target,
    probe,
    run_fresh,
)
from recordings import benchmark_parser, ensure_recording, recording_for

MB_PER_S = 500.0
LONG_DAYS = 7
# The export builds no arrays, so it never imports NumPy.
IMPORT_ONLY = Contender("import only", "import velnora")


def export_code(source: pathlib.Path, output: str) -> str:
    return f"import velnora; velnora.write_cwa_csv({literal(source)}, {literal(output)})"


def pandas_code(source: pathlib.Path, output: str) -> str:
    flags = "include_temperature=False, include_light=False, include_battery=False"
    return (
        f"import velnora, pandas as pd; data = velnora.read_cwa_file({literal(source)}, {flags})"
        '; columns = {"time": data.pop("timestamp") / 1e6, **data}'
        f'; pd.DataFrame(columns).to_csv({literal(output)}, index=False, float_format="%.6f")'
    )


def size_and_digest_code(source: pathlib.Path, output: pathlib.Path) -> str:
    """An export to a file, then its size and SHA-256 as JSON; hashed in the
    child, so that this process stays small."""
    return (
        export_code(source, str(output)) + "\nimport hashlib, json, os\nsha = hashlib.sha256()\n"
        f"with open({literal(output)}, 'rb') as text:\n"
        "    while chunk := text.read(1 << 20): sha.update(chunk)\n"
        f"print(json.dumps({{'size': os.path.getsize({literal(output)}), 'sha256': sha.hexdigest()}}))"
    )


def peak_with_length(source: pathlib.Path, axes: int) -> None:
    for source in (source, ensure_recording(LONG_DAYS, axes)):
        peak = run_fresh(export_code(source, "/dev/null")).peak_bytes
        print(f"  peak RSS of one export of {source.name} ({source.stat().st_size / MB:,.0f} MB): {peak / MB:,.0f} MB")


def main() -> None:
    parser = benchmark_parser(__doc__, repeat=5, days=1)
    parser.add_argument("--to-file", action="store_true", help="time exports to a file instead of /dev/null")
    parser.add_argument("--pandas", action="store_true", help="add read_cwa_file + DataFrame.to_csv (slow)")
    args = parser.parse_args()
    source = recording_for(args)
    print_setup(f"write_cwa_csv, {args.axes}-axis", args.repeat, args.same_process)
    with tempfile.TemporaryDirectory(dir=source.parent) as scratch:
        csv = pathlib.Path(scratch) / "export.csv"
        text = probe(size_and_digest_code(source, csv))
        size = text["size"]
        print(f"file: {source} ({source.stat().st_size / MB:.1f} MB); CSV {size:,} bytes, sha256 {text['sha256']}")
        ours, theirs = (str(csv), f"{scratch}/pandas.csv") if args.to_file else ("/dev/null", "/dev/null")
        contenders = [IMPORT_ONLY, Contender("write_cwa_csv", export_code(source, ours))]
        if args.pandas:
            contenders.append(Contender("pandas to_csv", pandas_code(source, theirs)))
        runs = measure(contenders, args.repeat, args.same_process)
    print_table(contenders, runs, {"pandas to_csv": "write_cwa_csv"})

    export = runs["write_cwa_csv"]
    rate, best_rate = size / median(export) / MB, size / best(export) / MB
    start = median(runs[IMPORT_ONLY.name])
    print("targets:")
    print_target(
        f"write_cwa_csv {rate:.0f} MB/s of CSV (median; best {best_rate:.0f}) >= {MB_PER_S:.0f}", rate >= MB_PER_S
    )
    print(f"  net of interpreter start and imports: {size / (median(export) - start) / MB:.0f} MB/s (median)")
    if not args.same_process:
        peak_with_length(source, args.axes)
    print_load("at end")


if __name__ == "__main__":
    main()
