"""Times sampling_consistency_report on a week-long recording against the
floor of reading the same file's bytes, each call in a fresh process, both
from the page cache. The recording is generated first if it is missing.

    PYTHONPATH=build/<name> python3 benchmarks/bench_report.py [--days 7] [--axes 3] [--repeat 7] [--same-process]

The floor imports velnora as the report does, then reads the whole file in
1 MiB chunks into one reused buffer."""

from __future__ import annotations

from batch_runner import MB, Contender, literal, measure, print_load, print_setup, print_table
from recordings import benchmark_parser, recording_for


def floor_code(path: object) -> str:
    return (
        f'import velnora\nwith open({literal(path)}, "rb", buffering=0) as f:\n'
        "    chunk = bytearray(1 << 20)\n    while f.readinto(chunk): pass"
    )


def main() -> None:
    args = benchmark_parser(__doc__, repeat=7).parse_args()
    path = recording_for(args)
    print_setup(f"sampling_consistency_report, {args.axes}-axis", args.repeat, args.same_process)
    print(f"file: {path} ({path.stat().st_size / MB:.1f} MB)")
    contenders = [
        Contender("read floor, 1 MiB", floor_code(path)),
        Contender("report", f"import velnora; velnora.sampling_consistency_report({literal(path)})"),
    ]
    runs = measure(contenders, args.repeat, args.same_process)
    print_table(contenders, runs, {"report": "read floor, 1 MiB"})
    print_load("at end")


if __name__ == "__main__":
    main()
