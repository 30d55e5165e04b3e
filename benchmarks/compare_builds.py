"""Times the same calls of velnora's public API under two builds, each call in
a fresh process with one build's directory as its PYTHONPATH, the two builds
taking turns round by round, and marks a call that the later build made
slower.

    python3 benchmarks/compare_builds.py --before build/before --after build/dev [--repeat 5] [--only NAME ...]
        [--margin 0.10] [--days 7] [--axes 3] [--path PATH]

--before and --after are directories that hold an importable velnora
extension. Only the six public functions are called, so an older build
compares too. The reads, resampling, cuts, report and header use the 7-day
3-axis recording (or the one --days/--axes/--path name); read-6axis the 7-day
6-axis one, read-9axis the 1-day 9-axis one, and csv-1d exports the 1-day
3-axis one to /dev/null. A missing recording is generated first.

Each call runs once untimed under each build (which also fills the page
cache); a call that fails under either build is "n/a" and is not timed. For
the others, per build: best and median wall, median user and system CPU,
peak RSS; then after / before as the median of the rounds' pair ratios and as
the ratio of the bests. A call is "slower" when both ratios exceed
1 + --margin."""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
from collections.abc import Callable

from batch_runner import MB, Contender, Run, best, literal, measure, median, pair_ratio, peak, print_load, probe
from bench_read import FLAGS_OFF, cut_arguments, read_code
from recordings import benchmark_parser, ensure_recording, recording_for, samples_per_block

CUT_HOURS = 3
BUILDS = ("before", "after")


def cut_code(args: argparse.Namespace, index: int) -> str:
    """A read of CUT_HOURS from the middle of the recording: by seconds (0)
    or by blocks (1)."""
    path = recording_for(args)
    blocks = (path.stat().st_size - 1024) // 512
    cuts = list(cut_arguments(blocks, samples_per_block(args.axes), CUT_HOURS).values())
    return read_code(path, cuts[index])


def call_code(function: str, path: pathlib.Path, arguments: str = "") -> str:
    return f"import velnora; velnora.{function}({literal(path)}{arguments})"


# Each call's code, made only when the call is selected, so that only its
# recordings are generated.
CALLS: dict[str, Callable[[argparse.Namespace], str]] = {
    "read": lambda args: read_code(recording_for(args)),
    "read-flags-off": lambda args: read_code(recording_for(args), FLAGS_OFF),
    "read-6axis": lambda args: read_code(ensure_recording(7, 6)),
    "read-9axis": lambda args: read_code(ensure_recording(1, 9)),
    "resample-30": lambda args: read_code(recording_for(args), "resample_hz=30.0"),
    "resample-100": lambda args: read_code(recording_for(args), "resample_hz=100.0"),
    "cut-seconds": lambda args: cut_code(args, 0),
    "cut-blocks": lambda args: cut_code(args, 1),
    "csv-1d": lambda args: call_code("write_cwa_csv", ensure_recording(1, 3), ', "/dev/null"'),
    "report": lambda args: call_code("sampling_consistency_report", recording_for(args)),
    "header": lambda args: call_code("read_header", recording_for(args)),
}


def build_env(parser: argparse.ArgumentParser, option: str, directory: pathlib.Path) -> dict[str, str]:
    """The PYTHONPATH of one build, once velnora is seen to load from it."""
    env = {"PYTHONPATH": str(directory.resolve())}
    try:
        found = probe("import json, velnora; print(json.dumps({'file': velnora.__file__}))", env)["file"]
    except subprocess.CalledProcessError as error:
        parser.error(f"{option} {directory}: velnora does not import: {error.stderr.strip().splitlines()[-1]}")
    if pathlib.Path(found).parent != directory.resolve():
        parser.error(f"{option} {directory}: velnora loads from {found} instead")
    print(f"{option[2:]}: {env['PYTHONPATH']} ({pathlib.Path(found).name})")
    return env


def failure(contender: Contender) -> str | None:
    """None when the call succeeds, else the last line of its error."""
    done = subprocess.run(contender.argv(), env={**os.environ, **contender.env}, capture_output=True, text=True)
    if done.returncode == 0:
        return None
    return (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1]


def row(name: str, build: str, runs: list[Run]) -> str:
    peak_bytes = peak(runs) or 0
    return (
        f"{name:<15} {build:<6} {best(runs):7.3f} {median(runs):8.3f} {median(runs, 'user'):7.3f} "
        f"{median(runs, 'system'):7.3f} {peak_bytes / MB:8,.0f}"
    )


def main() -> None:
    parser = benchmark_parser(__doc__, repeat=5)
    parser.add_argument("--before", type=pathlib.Path, required=True, help="directory of the earlier build")
    parser.add_argument("--after", type=pathlib.Path, required=True, help="directory of the later build")
    parser.add_argument("--only", nargs="+", choices=list(CALLS), metavar="NAME", help=f"of: {' '.join(CALLS)}")
    parser.add_argument("--margin", type=float, default=0.10, help="slower: both ratios above 1 + MARGIN")
    args = parser.parse_args()
    if args.same_process:
        parser.error("--same-process: two builds cannot share one interpreter")

    print(f"== velnora before / after: {args.repeat} alternating rounds, a fresh process per call")
    envs = {build: build_env(parser, f"--{build}", getattr(args, build)) for build in BUILDS}
    codes = {name: CALLS[name](args) for name in args.only or CALLS}
    print_load("at start")
    contenders = {
        name: [Contender(f"{name} {build}", code, envs[build]) for build in BUILDS] for name, code in codes.items()
    }
    failures: dict[str, str] = {}
    for name, pair in contenders.items():
        for build, contender in zip(BUILDS, pair):
            reason = failure(contender)
            if reason is not None and name not in failures:
                failures[name] = f"fails under {build}: {reason}"
    timed = [contender for name, pair in contenders.items() if name not in failures for contender in pair]
    runs = measure(timed, args.repeat, same_process=False)

    limit = 1.0 + args.margin
    slower = []
    heads = f"{'best s':>7} {'median s':>8} {'user s':>7} {'sys s':>7} {'peak MB':>8}"
    print(f"{'call':<15} {'build':<6} {heads}  after/before (pairs, bests)")
    for name, (before, after) in contenders.items():
        if name in failures:
            print(f"{name:<15} n/a    {failures[name]}")
            continue
        old, new = runs[before.name], runs[after.name]
        pairs, bests = pair_ratio(new, old), best(new) / best(old)
        mark = ""
        if pairs > limit and bests > limit:
            slower.append(name)
            mark = "  slower"
        print(row(name, "before", old))
        print(row("", "after", new) + f"  {pairs:5.2f} ({bests:.2f}){mark}")
    print(f"slower (both ratios > {limit:.2f}): {' '.join(slower) or 'none'}; n/a: {' '.join(failures) or 'none'}")
    print("calls (python3 -c CODE with the build's directory as PYTHONPATH):")
    for name, code in codes.items():
        print(f"  {name}: {code}")
    print_load("at end")


if __name__ == "__main__":
    main()
