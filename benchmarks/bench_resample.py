"""Times read_cwa_file resampled to 30 Hz and to 100 Hz on a week-long 100 Hz
recording against the default read of the same file, each call in a fresh
process, and checks the resampler's targets. The recording is generated first
if it is missing.

    PYTHONPATH=build/<name> python3 benchmarks/bench_resample.py [--days 7] [--axes 3] [--repeat 5] [--same-process]

Each rate's result is read once untimed first for the bytes of its non-zero
columns, against which its peak RSS is set."""

from __future__ import annotations

from batch_runner import MB, Contender, measure, print_load, print_setup, print_table, probe, ratio_target, rss_target
from bench_read import RESULT_SHAPE, read_code
from recordings import benchmark_parser, recording_for

# Rate in Hz and the most its wall may be, times the default read's.
RATE_TARGETS = {30.0: 0.8, 100.0: 1.5}


def main() -> None:
    args = benchmark_parser(__doc__, repeat=5).parse_args()
    path = recording_for(args)
    print_setup(f"read_cwa_file resampled, {args.axes}-axis", args.repeat, args.same_process)
    print(f"file: {path} ({path.stat().st_size / MB:.1f} MB)")

    resampled = {f"resample_hz={rate:g}": read_code(path, f"resample_hz={rate!r}") for rate in RATE_TARGETS}
    shapes = {name: probe(code + RESULT_SHAPE) for name, code in resampled.items()}
    for name, shape in shapes.items():
        print(f"{name}: {shape['rows']} rows, non-zero column bytes {shape['nonzero_bytes']:,}")

    contenders = [Contender("default read", read_code(path))]
    contenders += [Contender(name, code) for name, code in resampled.items()]
    runs = measure(contenders, args.repeat, args.same_process)
    print_table(contenders, runs, {name: "default read" for name in resampled})

    print("targets:")
    for (name, shape), limit in zip(shapes.items(), RATE_TARGETS.values()):
        ratio_target(name, runs[name], "default read", runs["default read"], limit)
        rss_target(name, runs[name], shape["nonzero_bytes"])
    print_load("at end")


if __name__ == "__main__":
    main()
