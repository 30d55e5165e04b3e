"""Times read_cwa_file resampled to 30 Hz and to 100 Hz on a week-long 100 Hz
recording against the default read of the same file, each call in a fresh
process, and checks the resampler's targets. The recording is generated first
if it is missing.

    PYTHONPATH=build/<name> python3 benchmarks/bench_resample.py [--days 7] [--axes 3] [--repeat 5] [--same-process]

Each rate's result is read once untimed first for the bytes of its non-zero
columns, against which its peak RSS is set. For reference, two baselines that
do not swing with the default read's page faults are timed too: the read with
every optional channel off, and the import alone."""

from __future__ import annotations

from batch_runner import (
    MB,
    Contender,
    best,
    measure,
    pair_ratio,
    print_load,
    print_setup,
    print_table,
    probe,
    ratio_target,
    rss_target,
)
from bench_read import RESULT_SHAPE, read_code
from recordings import benchmark_parser, recording_for

FLAGS_OFF = "read, flags off"
IMPORT = "import alone"

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

    flags_off = "include_magnetometer=False, include_temperature=False, include_light=False, include_battery=False"
    contenders = [Contender("default read", read_code(path)), Contender(FLAGS_OFF, read_code(path, flags_off))]
    contenders += [Contender(name, code) for name, code in resampled.items()]
    contenders.append(Contender(IMPORT, "import numpy, velnora"))
    runs = measure(contenders, args.repeat, args.same_process)
    print_table(contenders, runs, {name: "default read" for name in resampled})
    print(f"for reference, against the {FLAGS_OFF} and net of the {IMPORT} (bests):")
    floor = best(runs[IMPORT])
    for name in resampled:
        own, base = runs[name], runs[FLAGS_OFF]
        print(
            f"  {name}: {pair_ratio(own, base):.2f} ({best(own) / best(base):.2f}) x {FLAGS_OFF};"
            f" net of the import {(best(own) - floor) / (best(runs['default read']) - floor):.2f} x default read"
        )

    print("targets:")
    for (name, shape), limit in zip(shapes.items(), RATE_TARGETS.values()):
        ratio_target(name, runs[name], "default read", runs["default read"], limit)
        rss_target(name, runs[name], shape["nonzero_bytes"])
    print_load("at end")


if __name__ == "__main__":
    main()
