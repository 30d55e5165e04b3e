"""Times velnora_tools.epochs (with calibration and non-wear) and
velnora_tools.calibrate on a week-long 100 Hz recording against the plain
velnora.read_cwa_file of the same file, each call in a fresh process, and
checks their targets: epochs within 2 x the read's wall and 400 MB peak RSS,
calibrate within 1 x the read's wall. The recording is generated first if it
is missing.

    PYTHONPATH=build/<name> python3 benchmarks/bench_epochs.py [--days 7] [--repeat 5] [--same-process]

Contenders, in turn: the read, calibrate, epochs with calibration and
non-wear (two passes over the file), and epochs with neither (one pass).
Ratios are medians of alternating pairs."""

from __future__ import annotations

from batch_runner import (
    MB,
    Contender,
    literal,
    measure,
    peak,
    print_load,
    print_setup,
    print_table,
    print_target,
    ratio_target,
)
from recordings import benchmark_parser, recording_for

EPOCHS_OVER_READ = 2.0
CALIBRATE_OVER_READ = 1.0
EPOCHS_PEAK = 400 * MB


def main() -> None:
    args = benchmark_parser(__doc__, repeat=5).parse_args()
    path = literal(recording_for(args))
    contenders = [
        Contender("read_cwa_file", f"import velnora; data = velnora.read_cwa_file({path})"),
        Contender("calibrate", f"import velnora_tools as t; c = t.calibrate({path})"),
        Contender("epochs", f"import velnora_tools as t; f = t.epochs({path})"),
        Contender("epochs, one pass", f"import velnora_tools as t; f = t.epochs({path}, calibration=False, nonwear=False)"),
    ]
    print_setup(f"epochs of {path}", args.repeat, args.same_process)
    runs = measure(contenders, args.repeat, args.same_process)
    bases = {name: "read_cwa_file" for name in ("calibrate", "epochs", "epochs, one pass")}
    print_table(contenders, runs, bases)
    print_load("at end")
    print("targets:")
    ratio_target("epochs", runs["epochs"], "read_cwa_file", runs["read_cwa_file"], EPOCHS_OVER_READ)
    ratio_target("calibrate", runs["calibrate"], "read_cwa_file", runs["read_cwa_file"], CALIBRATE_OVER_READ)
    peak_bytes = peak(runs["epochs"])
    print_target(
        f"epochs peak RSS {'not measured' if peak_bytes is None else f'{peak_bytes / MB:,.0f} MB'} <= {EPOCHS_PEAK / MB:.0f} MB",
        None if peak_bytes is None else peak_bytes <= EPOCHS_PEAK,
    )


if __name__ == "__main__":
    main()
