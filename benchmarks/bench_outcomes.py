"""Times velnora_tools.days, outcomes and nights on a week-long
100 Hz recording against velnora_tools.epochs of the same file, and epochs
with the sleep methods' angle (the axes' 5 s rolling medians), which nights
runs; on two threads (the default) and on one (VELNORA_THREADS=1). Each call
in a fresh process, the contenders alternating; the recording is generated
first if it is missing. Targets, wall and user CPU: days and outcomes within
1.2 x epochs, nights within 1.3 x (outcomes holds the nights' means, and so
runs what nights runs).

    PYTHONPATH=build/<name> python3 benchmarks/bench_outcomes.py [--days 7] [--repeat 3]

Ratios are medians of alternating pairs."""

from __future__ import annotations

import itertools
import statistics

from batch_runner import Contender, literal, measure, pair_ratio, print_load, print_setup, print_table, print_target
from recordings import benchmark_parser, recording_for

TARGETS = {"days": 1.2, "outcomes": 1.2, "nights": 1.3}  # x epochs
ONE_THREAD = {"VELNORA_THREADS": "1"}


def main() -> None:
    args = benchmark_parser(__doc__, repeat=3).parse_args()
    path = literal(recording_for(args))
    calls = {
        "epochs": f"import velnora_tools as t; f = t.epochs({path})",
        "days": f"import velnora_tools as t; d = t.days({path})",
        "outcomes": f"import velnora_tools as t; o = t.outcomes({path})",
        "median angle": f"import velnora_tools as t; f = t.epochs({path}, anglez_median=True)",
        "nights": f"import velnora_tools as t; f = t.nights({path})",
    }
    contenders = [Contender(name, code) for name, code in calls.items()]
    contenders += [Contender(f"{name}, 1 thread", code, ONE_THREAD) for name, code in calls.items()]
    print_setup(f"outcomes and nights of {path}", args.repeat, args.same_process)
    runs = measure(contenders, args.repeat, args.same_process)
    bases = {name: "epochs" for name in calls if name != "epochs"}
    bases |= {f"{name}, 1 thread": "epochs, 1 thread" for name in calls if name != "epochs"}
    bases["epochs"] = "epochs, 1 thread"
    print_table(contenders, runs, bases)
    print_load("at end")
    print("targets:")
    for (name, most), threads in itertools.product(TARGETS.items(), ("", ", 1 thread")):
        call, epochs = runs[f"{name}{threads}"], runs[f"epochs{threads}"]
        wall = pair_ratio(call, epochs)
        user = statistics.median(one.user / epoch.user for one, epoch in zip(call, epochs))
        print_target(f"{name}{threads} wall {wall:.2f} x epochs (median of pairs) <= {most}", wall <= most)
        print_target(f"{name}{threads} user CPU {user:.2f} x epochs (median of pairs) <= {most}", user <= most)


if __name__ == "__main__":
    main()
