"""The `velnora` command: what is in a recording, a quality table over many,
and exports to CSV and Parquet.

Results go to stdout, messages to stderr. Exit status: 0 when every file
succeeded, 1 when any failed, 2 for a usage error, 130 after Ctrl-C."""

from __future__ import annotations

import argparse
import csv
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any, cast

import velnora

from velnora_tools._distribution import VERSION
from velnora_tools._exports import Export, export_csv, export_parquet
from velnora_tools._process_pool import Job, Outcome, Progress, input_sizes, run
from velnora_tools._report import (
    GAP_PERIODS,
    OVERLAP_PERIODS,
    REPORT_COLUMNS,
    REPORT_NAMES,
    failed_report_row,
    iso_time,
    report_and_damage,
    report_row,
    scan,
)
from velnora_tools.read_options import INCLUDE_FLAGS, ReadArguments

INTERRUPTED = 130
# The command's names of the optional channels.
OPTIONAL = {"mag" if name == "magnetometer" else name: flag for name, flag in INCLUDE_FLAGS.items()}

MAIN_EPILOG = """examples:
  velnora info rec.cwa
  velnora report data/*.cwa --csv > quality.csv
  velnora csv rec.cwa --seconds 0 3600 -o first_hour.csv
  velnora parquet data/*.cwa -o parquet/ -j 4

Each subcommand has its own --help."""

INFO_EPILOG = f"""The header and the sampling consistency report are those of velnora.read_header
and velnora.sampling_consistency_report. The samples are read as
velnora.read_cwa_file gives them (continuity correction between blocks
included); a step from one sample to the next is a gap when it is longer than
{GAP_PERIODS} nominal sample periods (1 / the header's rate), and an
overlap when it is shorter than {OVERLAP_PERIODS} periods. The reader closes
steps under one second between blocks, so gaps listed here last a second or
more, and an overlap shows as a block whose samples were squeezed together.
When a data block is damaged, the report and the samples come from the good
blocks and the damaged ones are listed.

example:
  velnora info rec.cwa"""

REPORT_EPILOG = """One row per recording, in the order given: path, device_id, session_id,
start and end from the header and from the data, sampling rate from the header
and from the data (velnora.sampling_consistency_report), blocks (data-block
positions, as velnora.blocks counts them), samples, gaps and overlaps (as in
`velnora info`), and error: the message of a file that could not be read,
whose other cells are then empty. Any such file makes the exit status 1.

examples:
  velnora report data/*.cwa
  velnora report data/*.cwa --json -j 4 > quality.json"""

EXPORT_OPTIONS = """--seconds and --blocks are the cuts of velnora.seconds and velnora.blocks:
half-open, [A, B); "-" leaves a side open. --include lists the optional
columns (mag, temperature, light, battery, or none); by default those that
{default} writes. --skip-damaged leaves out damaged data blocks instead of
failing, as velnora_tools.read_skipping_damaged does. The output appears under
its final name only when complete."""

CSV_EPILOG = EXPORT_OPTIONS.format(default="velnora.write_cwa_csv (mag)") + """

examples:
  velnora csv rec.cwa                      # writes rec.csv beside it
  velnora csv rec.cwa --resample 50 --include mag,temperature -o rec50.csv"""

PARQUET_EPILOG = EXPORT_OPTIONS.format(default="velnora.read_cwa_file (all)") + """
Each FILE becomes DIR/<name>.parquet, written by velnora_tools.write_parquet.

examples:
  velnora parquet data/*.cwa -o parquet/ -j 4
  velnora parquet rec.cwa -o . --blocks 0 1000 --include none"""


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.command(args.parser, args)
    except KeyboardInterrupt:
        print("velnora: interrupted", file=sys.stderr)
        return INTERRUPTED
    return status


def _parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="velnora", description=__doc__.split("\n\n")[0], epilog=MAIN_EPILOG, formatter_class=raw
    )
    parser.add_argument("--version", action="version", version=f"velnora {VERSION}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    info = commands.add_parser("info", help="what a recording holds", epilog=INFO_EPILOG, formatter_class=raw)
    info.add_argument("file", metavar="FILE")
    info.set_defaults(parser=info, command=_info)

    report = commands.add_parser("report", help="a quality table of recordings", epilog=REPORT_EPILOG, formatter_class=raw)
    report.add_argument("files", metavar="FILE", nargs="+")
    form = report.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_const", dest="form", const="json", help="a JSON list of objects")
    form.add_argument("--csv", action="store_const", dest="form", const="csv", help="CSV with a header row")
    _add_batch_options(report)
    report.set_defaults(parser=report, command=_report, form="table")

    to_csv = commands.add_parser("csv", help="a recording as a CSV file", epilog=CSV_EPILOG, formatter_class=raw)
    to_csv.add_argument("file", metavar="FILE")
    to_csv.add_argument("-o", "--output", metavar="OUT", help="the CSV file (default: FILE with the suffix .csv)")
    to_csv.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    _add_export_options(to_csv)
    to_csv.set_defaults(parser=to_csv, command=_csv, jobs=1)

    to_parquet = commands.add_parser(
        "parquet", help="recordings as Parquet files", epilog=PARQUET_EPILOG, formatter_class=raw
    )
    to_parquet.add_argument("files", metavar="FILE", nargs="+")
    to_parquet.add_argument("-o", "--output", metavar="DIR", required=True, help="directory of the Parquet files")
    _add_export_options(to_parquet)
    _add_batch_options(to_parquet)
    to_parquet.set_defaults(parser=to_parquet, command=_parquet)
    return parser


def _add_batch_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-j", "--jobs", type=_positive, default=1, metavar="N", help="worker processes (default 1)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def _add_export_options(parser: argparse.ArgumentParser) -> None:
    cut = parser.add_mutually_exclusive_group()
    cut.add_argument("--seconds", nargs=2, metavar=("A", "B"), type=_bound(float), help="seconds from the first block")
    cut.add_argument("--blocks", nargs=2, metavar=("I", "J"), type=_bound(int), help="data-block positions")
    parser.add_argument("--resample", type=float, metavar="HZ", help="resample onto a regular grid (cubic)")
    parser.add_argument("--include", type=_include, metavar="LIST", help="optional columns, comma-separated")
    parser.add_argument("--skip-damaged", action="store_true", help="leave damaged data blocks out")


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def _bound(kind: Callable[[str], Any]) -> Callable[[str], Any]:
    def convert(text: str) -> Any:
        return None if text == "-" else kind(text)

    convert.__name__ = kind.__name__
    return convert


def _include(text: str) -> ReadArguments:
    names = {name.strip() for name in text.split(",") if name.strip()} - {"none"}
    unknown = names - OPTIONAL.keys()
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown column {', '.join(sorted(unknown))} (choose from {', '.join(OPTIONAL)}, none)")
    return cast(ReadArguments, {flag: name in names for name, flag in OPTIONAL.items()})


def _export(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Export:
    read_args = ReadArguments(resample_hz=args.resample)
    if args.include:
        read_args.update(args.include)
    try:
        if args.seconds:
            read_args["cut"] = velnora.seconds(*args.seconds)
        elif args.blocks:
            read_args["cut"] = velnora.blocks(*args.blocks)
    except (ValueError, OverflowError) as error:
        parser.error(f"{'--seconds' if args.seconds else '--blocks'}: {error}")
    return Export(read_args, args.skip_damaged)


def _progress(label: str, paths: Sequence[str], args: argparse.Namespace) -> Progress:
    return Progress(label, input_sizes(paths), enabled=not args.quiet and sys.stderr.isatty())


def _exports(label: str, targets: list[tuple[str, str]], work: Callable[..., str], export: Export, args: argparse.Namespace) -> int:
    progress = _progress(label, [path for path, _ in targets], args)

    def done(outcome: Outcome) -> None:
        if outcome.error is not None:
            progress.message(f"velnora: {outcome.job.path}: {outcome.error}")
            return
        progress.clear()
        print(outcome.value, flush=True)

    batch = [Job(path, work, (out, export)) for path, out in targets]
    outcomes = run(batch, args.jobs, progress, done)
    return 1 if any(outcome.error for outcome in outcomes) else 0


def _csv(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    export = _export(parser, args)
    out = args.output or os.path.splitext(args.file)[0] + ".csv"
    return _exports("velnora csv", [(args.file, out)], export_csv, export, args)


def _parquet(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    export = _export(parser, args)
    targets = [(path, os.path.join(args.output, os.path.splitext(os.path.basename(path))[0] + ".parquet")) for path in args.files]
    outs = [out for _, out in targets]
    clashes = sorted({out for out in outs if outs.count(out) > 1})
    if clashes:
        parser.error(f"several files would be written to {', '.join(clashes)}")
    os.makedirs(args.output, exist_ok=True)
    return _exports("velnora parquet", targets, export_parquet, export, args)


def _report(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    progress = _progress("velnora report", args.files, args)

    def done(outcome: Outcome) -> None:
        row = _report_row(outcome)
        if row["error"] is not None:
            progress.message(f"velnora: {row['path']}: {row['error']}")

    outcomes = run([Job(path, report_row) for path in args.files], args.jobs, progress, done)
    rows = [_report_row(outcome) for outcome in outcomes]
    if args.form == "json":
        json.dump(rows, sys.stdout, indent=1)
        print()
    elif args.form == "csv":
        writer = csv.DictWriter(sys.stdout, fieldnames=REPORT_NAMES, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    else:
        _print_table(rows)
    return 1 if any(row["error"] is not None for row in rows) else 0


def _report_row(outcome: Outcome) -> dict[str, Any]:
    """The row of a recording; one whose worker failed has only its error."""
    if outcome.error is None:
        return dict(outcome.value)
    return failed_report_row(outcome.job.path, outcome.error)


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:.4f}"
    return str(value)


def _print_table(rows: list[dict[str, Any]]) -> None:
    columns = REPORT_COLUMNS
    table = [[column.title for column in columns]] + [[_cell(row[column.name]) for column in columns] for row in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(columns))]
    for line in table:
        print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())


def _info(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    path = args.file
    try:
        header = velnora.read_header(path)
        sampling, damaged = report_and_damage(path)
        found = scan(path, header["sample_rate_hz"], skip_damaged=bool(damaged))
    except (RuntimeError, OSError) as error:
        print(f"velnora: {path}: {error}", file=sys.stderr)
        return 1
    lines = [path, "header:"]
    lines += [f"  {key}: {'-' if value is None else value}" for key, value in header.items()]
    lines += ["sampling report:"] + [f"  {key}: {'-' if value is None else value}" for key, value in sampling.items()]
    lines.append(f"samples: {found.samples}")
    duration = sampling["duration_s_from_data"]
    lines.append(f"duration: {'-' if duration is None else f'{duration} s'}")
    for name, steps in (("gaps", found.gaps), ("overlaps", found.overlaps)):
        lines.append(f"{name}: {steps.count}" + (f" ({steps.seconds:.6f} s in all)" if steps.count else ""))
        lines += [f"  after {iso_time(at)}: {length:.6f} s" for at, length in steps.first]
        if steps.count > len(steps.first):
            lines.append(f"  ... {steps.count - len(steps.first)} more")
    lines.append(f"damaged blocks: {len(damaged)}")
    lines += [f"  block {item.block}: {item.message}" for item in damaged]
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
