"""Times velnora_tools.epochs (with calibration and non-wear) and
velnora_tools.calibrate on a week-long 100 Hz recording against the plain
velnora.read_cwa_file of the same file, each call in a fresh process, on one
thread (VELNORA_THREADS=1) and on two, and checks their targets: on one
thread, the user CPU of epochs within 1.5 x the read's and of calibrate
within 0.5 x, each net of its imports; the peak RSS of epochs within 150 MB.
The recording is generated first if it is missing.

    PYTHONPATH=build/<name> python3 benchmarks/bench_epochs.py [--days 7] [--axes 3] [--repeat 5] [--threads 1 2]

Contenders, in turn for each thread count: the imports alone of the read
(NumPy and velnora), of calibrate (velnora_tools) and of epochs (and pandas,
which holds them), the read, calibrate, epochs with calibration and
non-wear (two passes over the file), and epochs with neither (one pass). A
call's net user CPU is its own less its imports' in the same round; ratios
are medians over the rounds of those pairs. Peak RSS is the child's
ru_maxrss as wait4 returns it (what /usr/bin/time reports), from a parent
that stays far below it."""

from __future__ import annotations

import statistics

from batch_runner import (
    IMPORTS_ONLY,
    MB,
    Contender,
    Run,
    literal,
    measure,
    peak,
    print_load,
    print_setup,
    print_table,
    print_target,
)
from recordings import benchmark_parser, recording_for

EPOCHS_OVER_READ = 1.5
CALIBRATE_OVER_READ = 0.5
EPOCHS_PEAK = 150 * MB
# Each study call's imports: calibrate's result is plain Python, the epochs'
# a DataFrame.
STUDY_IMPORTS = {"calibrate": "import velnora_tools", "epochs": "import velnora_tools, pandas"}
IMPORTS_OF = {"calibrate": "calibrate", "epochs": "epochs", "epochs, one pass": "epochs"}


def net_user_ratio(runs: list[Run], imports: list[Run], base: list[Run], base_imports: list[Run]) -> float:
    """Median over the rounds of (user - its imports' user) over the base's, each in the same round."""
    return statistics.median(
        (run.user - own.user) / (other.user - other_own.user)
        for run, own, other, other_own in zip(runs, imports, base, base_imports)
    )


def contenders_for(path: str, threads: int) -> list[Contender]:
    env = {"VELNORA_THREADS": str(threads)}
    calls = [
        (IMPORTS_ONLY.name, IMPORTS_ONLY.code),
        *((f"imports of {name}", code) for name, code in STUDY_IMPORTS.items()),
        ("read_cwa_file", f"import velnora; data = velnora.read_cwa_file({path})"),
        ("calibrate", f"import velnora_tools as t; c = t.calibrate({path})"),
        ("epochs", f"import velnora_tools as t; f = t.epochs({path})"),
        ("epochs, one pass", f"import velnora_tools as t; f = t.epochs({path}, calibration=False, nonwear=False)"),
    ]
    return [Contender(f"{name}, {threads} thr", code, env) for name, code in calls]


def main() -> None:
    parser = benchmark_parser(__doc__, repeat=5)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="VELNORA_THREADS values")
    args = parser.parse_args()
    if args.same_process:
        parser.error("the thread counts are set in each child's environment: fresh processes only")
    path = literal(recording_for(args))
    contenders = [c for threads in args.threads for c in contenders_for(path, threads)]
    print_setup(f"epochs of {path}", args.repeat, same_process=False)
    runs = measure(contenders, args.repeat, same_process=False)
    bases = {}
    for threads in args.threads:
        read = f"read_cwa_file, {threads} thr"
        bases |= {f"{name}, {threads} thr": read for name in ("calibrate", "epochs", "epochs, one pass")}
    print_table(contenders, runs, bases)
    print("net user CPU, median of pairs, each call less its imports:")
    for threads in args.threads:
        read, read_imports = runs[f"read_cwa_file, {threads} thr"], runs[f"{IMPORTS_ONLY.name}, {threads} thr"]
        read_net = statistics.median(r.user - i.user for r, i in zip(read, read_imports))
        print(f"  {threads} thr: read_cwa_file {read_net:.3f} s", end="")
        for name, imported in IMPORTS_OF.items():
            own = runs[f"{name}, {threads} thr"]
            study_imports = runs[f"imports of {imported}, {threads} thr"]
            net = statistics.median(r.user - i.user for r, i in zip(own, study_imports))
            ratio = net_user_ratio(own, study_imports, read, read_imports)
            print(f"; {name} {net:.3f} s ({ratio:.2f} x read)", end="")
        print()
    print_load("at end")
    print("targets (one thread where there is one):")
    threads = 1 if 1 in args.threads else args.threads[0]
    read, read_imports = runs[f"read_cwa_file, {threads} thr"], runs[f"{IMPORTS_ONLY.name}, {threads} thr"]
    for name, limit in (("epochs", EPOCHS_OVER_READ), ("calibrate", CALIBRATE_OVER_READ)):
        study_imports = runs[f"imports of {IMPORTS_OF[name]}, {threads} thr"]
        ratio = net_user_ratio(runs[f"{name}, {threads} thr"], study_imports, read, read_imports)
        print_target(f"{name} net user CPU {ratio:.2f} x read_cwa_file's, {threads} thr <= {limit}", ratio <= limit)
    peak_bytes = max((p for t in args.threads if (p := peak(runs[f"epochs, {t} thr"])) is not None), default=None)
    print_target(
        f"epochs peak RSS {'not measured' if peak_bytes is None else f'{peak_bytes / MB:,.0f} MB'} <= {EPOCHS_PEAK / MB:.0f} MB",
        None if peak_bytes is None else peak_bytes <= EPOCHS_PEAK,
    )


if __name__ == "__main__":
    main()
