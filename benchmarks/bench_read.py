"""Times read_cwa_file on a week-long 100 Hz recording against a floor, each
call in a fresh process, and checks the read's targets. The recording is
generated first if it is missing.

    PYTHONPATH=build/<name> python3 benchmarks/bench_read.py [--days 7] [--axes 3] [--repeat 5] [--same-process]

Floor: np.fromfile of the recording, then allocating and filling only the
columns that carry non-zero data in the default read (for a 3-axis recording
the timestamp and acc x/y/z, temperature, light and battery), found by an
untimed read first. Contenders, in turn: the interpreter importing NumPy
and velnora and nothing else, the floor, the default read, the read with every
include flag off, a one-hour seconds cut and a one-hour blocks cut from the
middle. The default read's user CPU per sample is counted net of the import
contender's, so interpreter start and imports are not counted."""

from __future__ import annotations

from batch_runner import (
    IMPORTS_ONLY,
    MB,
    Contender,
    literal,
    measure,
    median,
    print_load,
    print_setup,
    print_table,
    print_target,
    probe,
    ratio_target,
    rss_target,
)
from recordings import NOMINAL_HZ, benchmark_parser, recording_for, samples_per_block

WALL_OVER_FLOOR = 2.5
USER_NS_PER_SAMPLE = 5.0  # every layout: a 6-axis block widens and scales as cheaply per sample
FLAGS_OFF = "include_magnetometer=False, include_temperature=False, include_light=False, include_battery=False"

# Appended to a read's code for the untimed run: the shape of its result.
RESULT_SHAPE = (
    "; import json; nonzero = {k: a for k, a in data.items() if a.any()}"
    "; print(json.dumps({'rows': len(data['timestamp']), 'nonzero': list(nonzero),"
    " 'nonzero_bytes': sum(a.nbytes for a in nonzero.values())}))"
)


def read_code(path: object, arguments: str = "") -> str:
    return f"import velnora; data = velnora.read_cwa_file({literal(path)}{', ' + arguments if arguments else ''})"


def floor_code(path: object, rows: int, float_columns: int) -> str:
    return (
        f"import numpy as np, velnora; raw = np.fromfile({literal(path)}, np.uint8)"
        f"; timestamp = np.full({rows}, 1, np.int64)"
        f"; columns = [np.full({rows}, 1, np.float32) for _ in range({float_columns})]"
    )


def cut_arguments(blocks: int, samples_per_block: int, hours: int = 1) -> dict[str, str]:
    """`hours` from the middle of the recording, by seconds and by blocks."""
    middle_s = blocks * samples_per_block / NOMINAL_HZ / 2
    middle_block, span_blocks = blocks // 2, round(hours * 3600 * NOMINAL_HZ / samples_per_block)
    return {
        f"seconds cut, {hours} h": f"cut=velnora.seconds({middle_s!r}, {middle_s + hours * 3600.0!r})",
        f"blocks cut, {hours} h": f"cut=velnora.blocks({middle_block}, {middle_block + span_blocks})",
    }


def main() -> None:
    args = benchmark_parser(__doc__, repeat=5).parse_args()
    path = recording_for(args)
    size = path.stat().st_size
    blocks = (size - 1024) // 512
    print_setup(f"read_cwa_file, {args.axes}-axis", args.repeat, args.same_process)

    shape = probe(read_code(path) + RESULT_SHAPE)
    rows, nonzero = shape["rows"], shape["nonzero"]
    print(f"file: {path} ({size / MB:.1f} MB, {blocks} blocks, {rows} samples)")
    print(f"non-zero column bytes: {shape['nonzero_bytes']:,} ({len(nonzero)} of 13 columns: {' '.join(nonzero)})")

    cuts = cut_arguments(blocks, samples_per_block(args.axes))
    contenders = [
        IMPORTS_ONLY,
        Contender("floor", floor_code(path, rows, len(nonzero) - 1)),
        Contender("default", read_code(path)),
        Contender("flags off", read_code(path, FLAGS_OFF)),
    ] + [Contender(name, read_code(path, arguments)) for name, arguments in cuts.items()]
    runs = measure(contenders, args.repeat, args.same_process)
    bases = {"default": "floor", "flags off": "floor"} | {name: "default" for name in cuts}
    print_table(contenders, runs, bases)

    print("targets:")
    rss_target("default", runs["default"], shape["nonzero_bytes"])
    ratio_target("default", runs["default"], "floor", runs["floor"], WALL_OVER_FLOOR)
    user = median(runs["default"], "user") - median(runs[IMPORTS_ONLY.name], "user")
    per_sample = user / rows * 1e9
    print_target(f"default user CPU {per_sample:.1f} ns/sample net of import <= {USER_NS_PER_SAMPLE}",
                 per_sample <= USER_NS_PER_SAMPLE)
    print_load("at end")


if __name__ == "__main__":
    main()
