"""The `velnora` command: what is in a recording, a quality table over many,
exports to CSV and Parquet, and epochs of calibrated recordings.

Results go to stdout, messages to stderr. Exit status: 0 when every file
succeeded, 1 when any failed, 2 for a usage error, 130 after Ctrl-C, 143
after SIGTERM and 129 after SIGHUP (128 + the signal's number, as a tool
ended by it), 141 when the reader of stdout went away (as a tool ended by
SIGPIPE)."""

from __future__ import annotations

import argparse
import contextlib
import csv
import json
import math
import os
import select
import signal
import sys
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, cast

import velnora

from velnora_tools import _native
from velnora_tools._distribution import VERSION
from velnora_tools._exports import Export, Written, export_csv, export_epochs, export_parquet
from velnora_tools._process_pool import Job, Outcome, Progress, Stopped, input_sizes, processors, run, stop_signals
from velnora_tools._quality_rules import DEFAULT_WORN_DAYS
from velnora_tools._report import (
    StudyRows,
    study_rows,
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
from velnora_tools._recording import NotARecording, failure_text, recording_header
from velnora_tools._outcome_columns import DAY_COLUMNS, NIGHT_COLUMNS
from velnora_tools.activity import NONWEAR_RULES, WORN_DAY_HOURS, EpochOptions, Nonwear, json_beside
from velnora_tools.batch import read_summary, summary_columns, summary_frame
from velnora_tools.outcomes import CUTPOINT_METRICS, OutcomeOptions, parameters
from velnora_tools.damaged import DamagedRecording, damage_in_words, left_out_in_words
from velnora_tools.frames import Channels
from velnora_tools.read_options import INCLUDE_FLAGS, ReadArguments
from velnora_tools.replacing import OutputError, remove_stale_temporaries, replacing
from velnora_tools.study_page import write_page

if TYPE_CHECKING:
    import pandas as pd

INTERRUPTED = 130
# Where `-o -` sends one recording's text; its workers write there as the command would.
STDOUT = "/dev/stdout"
# A summary table, which `velnora page` takes instead of recordings.
SUMMARY_SUFFIXES = (".csv", ".parquet")
BROKEN_PIPE = 128 + signal.SIGPIPE
# The command's names of the optional channels.
OPTIONAL = {"mag" if name == "magnetometer" else name: flag for name, flag in INCLUDE_FLAGS.items()}

MAIN_EPILOG = """examples:
  velnora info rec.cwa
  velnora report data/*.cwa --csv > quality.csv
  velnora csv rec.cwa --seconds 0 3600 -o first_hour.csv
  velnora parquet data/*.cwa -o parquet/ -j 4
  velnora epochs data/*.cwa -o epochs/ -j 2
  velnora outcomes data/*.cwa -o outcomes.csv --days days.csv
  velnora page data/*.cwa -o study.html -j 2

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

examples:
  velnora info rec.cwa
  velnora info data/*.cwa"""

REPORT_EPILOG = """One row per recording, in the order given: path, device_id, session_id,
start and end from the header and from the data, sampling rate from the header
and from the data (velnora.sampling_consistency_report), blocks (data-block
positions, as velnora.blocks counts them), samples, gaps and overlaps (as in
`velnora info`), damaged (data blocks left out with --skip-damaged) and
error: the message of a file that could not be read, whose other cells hold
what could be read before. Any such file makes the exit status 1. Without
--skip-damaged a damaged data block fails its recording; with it, the report
covers the good blocks and each recording with damage is named on stderr
unless -q.

examples:
  velnora report data/*.cwa
  velnora report data/*.cwa --json -j 4 > quality.json"""

EXPORT_OPTIONS = """--seconds and --blocks are the cuts of velnora.seconds and velnora.blocks:
half-open, [A, B); "-" leaves a side open. --include lists the optional
columns (mag, temperature, light, battery, or none); by default those that
{default} writes. The gyroscope and magnetometer columns of a recording no
data block of which carries that sensor are left out, unless --include all,
which keeps every column. --skip-damaged leaves out damaged data blocks instead of
failing, as velnora_tools.read_skipping_damaged does, and names them on
stderr unless -q. Without -o each FILE becomes <name>{suffix} beside it; with
one FILE, -o names the output file, unless it is a directory or ends with
"/"; with several, -o is the directory of the outputs, made when missing.
Outputs are listed in the order given, each appearing under its final name
only when complete."""

CSV_EPILOG = EXPORT_OPTIONS.format(default="velnora.write_cwa_csv (mag)", suffix=".csv") + """

examples:
  velnora csv rec.cwa                      # writes rec.csv beside it
  velnora csv rec.cwa --resample 50 --include mag,temperature -o rec50.csv
  velnora csv data/*.cwa -o csv/ -j 2"""

PARQUET_EPILOG = EXPORT_OPTIONS.format(default="velnora.read_cwa_file (all)", suffix=".parquet") + """
Each file is written by velnora_tools.write_parquet. A file an earlier run
made of the same recording (unchanged since) with the same options is kept,
and named on stderr unless -q; --force writes it again.

examples:
  velnora parquet data/*.cwa -o parquet/ -j 4
  velnora parquet rec.cwa -o first.parquet --blocks 0 1000 --include none"""


EPOCHS_EPILOG = """Each FILE becomes <name>.epochs.parquet (or .epochs.csv with --csv), as -o
places it for csv and parquet: velnora_tools.epochs with epochs of --epoch
seconds (default 5) on values calibrated to gravity (van Hees et al. 2014)
unless --no-calibration, and non-wear judged per 15 minutes unless
--no-nonwear: on whole 60-minute windows, or with --nonwear-rule 2013 on the
window centred on each block (van Hees et al. 2013), re-scored after van Hees
et al. 2011 unless --no-rescore; --lowpass HZ filters the axes first (a
zero-phase 4th-order Butterworth, as forwards and backwards). The Parquet file's metadata holds the
calibration ("velnora.calibration"), the non-wear periods ("velnora.nonwear")
and rule ("velnora.nonwear_rule") and the blocks left out ("velnora.damaged"),
as JSON; with --csv they go into a JSON file beside each CSV file
(<name>.epochs.json). --seconds, --blocks and
--skip-damaged as for csv. An output an earlier run made of the same
recording (unchanged since) with the same options is kept; --force writes
it again.

examples:
  velnora epochs data/*.cwa -o epochs/ -j 2
  velnora epochs rec.cwa --epoch 60 --csv -o rec_minutes.csv"""

OUTCOMES_EPILOG = """One row per recording (path, the outcomes, error) as velnora_tools.outcomes
gives them, in CSV to -o (standard output by default, or "-"), and with
--days FILE one row per recording and calendar day (path and the columns of
velnora_tools.days), and with --nights FILE one per recording and night,
noon to noon (velnora_tools.nights: the sleep period time window and the
sleep in it): valid days (--valid-hours worn hours, 16), minutes
sedentary, light, moderate and vigorous by --cutpoints (mg, 40 100 400) on
--metric (enmo), minutes in MVPA bouts of 1, 5 and 10 minutes, M10 and L5,
M60/M30/M15, the intensity gradient, per day and as means over valid days,
the 24-hour mean ENMO with non-wear imputed, IS, IV, the hourly profile and
the nights' means (docs/data-dictionary.md). The epochs are those of velnora epochs, with its
options. Beside a CSV file, a JSON file (its name with .json) holds every
parameter. A recording that fails is a row with its error, and makes the
exit status 1.

examples:
  velnora outcomes data/*.cwa -o outcomes.csv --days days.csv --nights nights.csv -j 2
  velnora outcomes rec.cwa --cutpoints 45 100 430 --valid-hours 10"""

PAGE_EPILOG = """One self-contained HTML file (nothing fetched: inline CSS, script and SVG)
showing every FILE's quality, as velnora_tools.quality_page makes it: counts of
the recordings that failed to read, have damaged blocks, end early, are not
calibrated or have fewer than N days with at least 16 worn hours (--days, 4
by default), a histogram of those days, and a table of each recording's
report and epochs summary (velnora_tools.summarise with epochs, damaged blocks
read past), sortable by any column and filtered by a box, with its days as a
strip: worn, non-wear, no data, damaged per 15 minutes. Each problem cell
says its rule in its tooltip; the rules are listed on the page. The page
appears only when complete; the exit status is 1 when any FILE failed to read,
each named on stderr.

examples:
  velnora page data/*.cwa -o study.html -j 2
  velnora page data/*.cwa -o study.html --days 5"""


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        # The subcommand's usage line, not the top level's.
        args.parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    try:
        with stop_signals():
            status: int = args.command(args.parser, args)
            sys.stdout.flush()
    except Stopped as stop:
        print(f"velnora: stopped by {signal.Signals(stop.signum).name}", file=sys.stderr)
        return 128 + stop.signum
    except KeyboardInterrupt:
        print("velnora: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # Nothing more can reach the reader; the interpreter's own last flush
        # must not fail on the closed pipe either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return BROKEN_PIPE
    return status


def _parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="velnora", description=__doc__.split("\n\n")[0], epilog=MAIN_EPILOG, formatter_class=raw
    )
    parser.add_argument("--version", action="version", version=f"velnora {VERSION}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    info = commands.add_parser("info", help="what a recording holds", epilog=INFO_EPILOG, formatter_class=raw)
    info.add_argument("files", metavar="FILE", nargs="+")
    info.set_defaults(parser=info, command=_info)

    report = commands.add_parser("report", help="a quality table of recordings", epilog=REPORT_EPILOG, formatter_class=raw)
    report.add_argument("files", metavar="FILE", nargs="+")
    form = report.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_const", dest="form", const="json", help="a JSON list of objects")
    form.add_argument("--csv", action="store_const", dest="form", const="csv", help="CSV with a header row")
    report.add_argument("--skip-damaged", action="store_true", help="leave damaged data blocks out, counted")
    _add_batch_options(report)
    report.set_defaults(parser=report, command=_report, form="table")

    for name, suffix, work, what, epilog in (
        ("csv", ".csv", export_csv, "recordings as CSV files", CSV_EPILOG),
        ("parquet", ".parquet", export_parquet, "recordings as Parquet files", PARQUET_EPILOG),
    ):
        export = commands.add_parser(name, help=what, epilog=epilog, formatter_class=raw)
        export.add_argument("files", metavar="FILE", nargs="+")
        export.add_argument("-o", "--output", metavar="OUT", help=f"the {suffix} file, or the directory of the outputs")
        _add_export_options(export)
        if work is export_parquet:
            _add_force_option(export)
        else:
            export.set_defaults(force=True)  # CSV carries no record of its source: always written
        _add_batch_options(export)
        export.set_defaults(parser=export, command=_exports, suffix=suffix, work=work)

    epoch = commands.add_parser("epochs", help="epochs of calibrated recordings, with non-wear", epilog=EPOCHS_EPILOG, formatter_class=raw)
    epoch.add_argument("files", metavar="FILE", nargs="+")
    epoch.add_argument("-o", "--output", metavar="OUT", help="the output file, or the directory of the outputs")
    _add_epoch_options(epoch)
    epoch.add_argument("--csv", action="store_true", help="CSV instead of Parquet")
    cut = epoch.add_mutually_exclusive_group()
    cut.add_argument("--seconds", nargs=2, metavar=("A", "B"), type=_bound(float), help="seconds from the first block")
    cut.add_argument("--blocks", nargs=2, metavar=("I", "J"), type=_bound(int), help="data-block positions")
    _add_force_option(epoch)
    _add_batch_options(epoch)
    epoch.set_defaults(parser=epoch, command=_epochs)

    outcome = commands.add_parser("outcomes", help="valid days, time in intensity, bouts, M10/L5, MX, IS/IV", epilog=OUTCOMES_EPILOG, formatter_class=raw)
    outcome.add_argument("files", metavar="FILE", nargs="+")
    outcome.add_argument("-o", "--output", metavar="OUT", default="-", help="the CSV table of recordings (default -: stdout)")
    outcome.add_argument("--days", metavar="DAYS", help="the CSV table of every recording's days")
    outcome.add_argument("--nights", metavar="NIGHTS", help="the CSV table of every recording's nights")
    outcome.add_argument("--cutpoints", nargs=3, type=_positive_number("mg"), default=(40.0, 100.0, 400.0), metavar=("C1", "C2", "C3"), help="light, moderate and vigorous from (mg; 40 100 400)")
    outcome.add_argument("--metric", choices=CUTPOINT_METRICS, default="enmo", help="the metric the cut-points apply to (enmo)")
    outcome.add_argument("--valid-hours", type=float, default=float(WORN_DAY_HOURS), metavar="H", help="worn hours of a valid day (16)")
    _add_epoch_options(outcome)
    _add_batch_options(outcome)
    outcome.set_defaults(parser=outcome, command=_outcomes)

    page = commands.add_parser("page", help="a study's quality on one HTML page", epilog=PAGE_EPILOG, formatter_class=raw)
    page.add_argument("files", metavar="FILE", nargs="+")
    page.add_argument("-o", "--output", metavar="OUT", required=True, help="the HTML file")
    page.add_argument("--days", type=_positive, default=DEFAULT_WORN_DAYS, metavar="N", help="worn days a recording needs (default 4)")
    _add_batch_options(page, default_jobs=None)
    page.set_defaults(parser=page, command=_page)
    return parser


def _add_epoch_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--epoch", type=_positive_number("seconds"), default=5.0, metavar="S", help="epoch length in seconds (default 5)")
    parser.add_argument("--no-calibration", dest="calibration", action="store_false", help="the readings as they are")
    parser.add_argument("--no-nonwear", dest="nonwear", action="store_false", help="no non-wear judged")
    parser.add_argument("--nonwear-rule", choices=NONWEAR_RULES, default="window", help="whole 60-minute windows (default) or the 2013 centred ones")
    parser.add_argument("--no-rescore", dest="rescore", action="store_false", help="non-wear not re-scored")
    parser.add_argument("--lowpass", type=_positive_number("Hz"), metavar="HZ", help="low-pass the axes first (zero-phase Butterworth)")
    parser.add_argument("--skip-damaged", action="store_true", help="leave damaged data blocks out")


def _epoch_options(args: argparse.Namespace, cut: velnora.SecondsCut | velnora.BlocksCut | None = None) -> EpochOptions:
    nonwear = args.nonwear and Nonwear(rule=args.nonwear_rule, rescore=args.rescore)
    return EpochOptions(args.epoch, args.calibration, nonwear, cut, args.skip_damaged, args.lowpass)


def _add_force_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--force", action="store_true", help="write outputs again that an earlier run made of the same recording and options")


def _add_batch_options(parser: argparse.ArgumentParser, default_jobs: int | None = 1) -> None:
    """-j (`default_jobs` workers, None: one per processor the command may use) and -q."""
    jobs = default_jobs or processors()
    parser.add_argument("-j", "--jobs", type=_positive, default=jobs, metavar="N", help=f"worker processes (default {'one per CPU' if default_jobs is None else jobs})")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def _add_export_options(parser: argparse.ArgumentParser) -> None:
    cut = parser.add_mutually_exclusive_group()
    cut.add_argument("--seconds", nargs=2, metavar=("A", "B"), type=_bound(float), help="seconds from the first block")
    cut.add_argument("--blocks", nargs=2, metavar=("I", "J"), type=_bound(int), help="data-block positions")
    parser.add_argument("--resample", type=_positive_number("Hz"), metavar="HZ", help="resample onto a regular grid (cubic)")
    parser.add_argument("--include", type=_include, metavar="LIST", help="optional columns, comma-separated")
    parser.add_argument("--skip-damaged", action="store_true", help="leave damaged data blocks out")


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def _positive_number(unit: str) -> Callable[[str], float]:
    def convert(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not (math.isfinite(value) and value > 0):
            raise argparse.ArgumentTypeError(f"must be a positive number of {unit}")
        return value

    return convert


def _bound(kind: Callable[[str], Any]) -> Callable[[str], Any]:
    def convert(text: str) -> Any:
        return None if text == "-" else kind(text)

    convert.__name__ = kind.__name__
    return convert


def _include(text: str) -> tuple[ReadArguments, Channels]:
    """The include flags a list asks for, and whether the columns of sensors
    no data block carries are kept: only with "all", which takes every
    column."""
    names = {name.strip() for name in text.split(",") if name.strip()} - {"none"}
    unknown = names - OPTIONAL.keys() - {"all"}
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown column {', '.join(sorted(unknown))} (choose from {', '.join(OPTIONAL)}, none, all)")
    every = "all" in names
    return cast(ReadArguments, {flag: every or name in names for name, flag in OPTIONAL.items()}), "all" if every else "present"


def _export(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Export:
    read_args = ReadArguments(resample_hz=args.resample)
    channels: Channels = "present"
    if args.include:
        flags, channels = args.include
        read_args.update(flags)
    if (cut := _cut(parser, args)) is not None:
        read_args["cut"] = cut
    try:
        _native.check_read_options(**read_args)
    except ValueError as error:
        parser.error(f"--resample: {error}")
    return Export(read_args, args.skip_damaged, channels=channels)


def _epochs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    options = _epoch_options(args, _cut(parser, args))
    args.suffix = ".epochs.csv" if args.csv else ".epochs.parquet"
    return _run_exports(parser, args, export_epochs, (options, args.csv, not args.force))


def _cut(parser: argparse.ArgumentParser, args: argparse.Namespace) -> velnora.SecondsCut | velnora.BlocksCut | None:
    try:
        if args.seconds:
            return velnora.seconds(*args.seconds)
        if args.blocks:
            return velnora.blocks(*args.blocks)
    except (ValueError, OverflowError) as error:
        parser.error(f"{'--seconds' if args.seconds else '--blocks'}: {error}")
    return None


def _targets(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[tuple[str, str]]:
    """Each input with its output, as the export's help says; "-" is
    standard output, for one recording's text."""
    out: str | None = args.output
    if out == "-":
        if args.suffix.endswith(".parquet"):
            parser.error("-o -: Parquet cannot go to standard output; name a file")
        if len(args.files) > 1:
            parser.error("-o -: standard output takes one recording")
        return [(args.files[0], STDOUT)]
    if out is None:
        targets = [(path, os.path.splitext(path)[0] + args.suffix) for path in args.files]
    elif len(args.files) > 1 or out.endswith(os.sep) or os.path.isdir(out):
        targets = [(path, os.path.join(out, _stem(path) + args.suffix)) for path in args.files]
    else:
        targets = [(args.files[0], out)]
    outs = [out for _, out in targets]
    clashes = sorted({out for out in outs if outs.count(out) > 1})
    if clashes:
        parser.error(f"several files would be written to {', '.join(clashes)}")
    return targets


def _stem(path: str) -> str:
    return os.path.splitext(os.path.basename(path))[0]


def _progress(label: str, paths: Sequence[str], args: argparse.Namespace) -> Progress:
    return Progress(label, input_sizes(paths), enabled=not args.quiet and sys.stderr.isatty())


def _exports(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    keep = () if args.force else (True,)
    return _run_exports(parser, args, args.work, (_export(parser, args), *keep))


def _run_exports(parser: argparse.ArgumentParser, args: argparse.Namespace, work: Callable[..., Written], options: tuple[Any, ...]) -> int:
    """Runs `work(path, out, *options)` for each input and its output, after
    removing what earlier runs killed mid-write left in the outputs' folders."""
    targets = _targets(parser, args)
    began = time.time_ns()
    for directory in {os.path.dirname(os.path.abspath(out)) for _, out in targets}:
        remove_stale_temporaries(directory, began)
    progress = _progress(parser.prog, args.files, args)
    in_order = _InOrder(len(targets))
    batch = [Job(path, work, (out, *options)) for path, out in targets]
    position = {id(job): index for index, job in enumerate(batch)}

    def done(outcome: Outcome) -> None:
        if outcome.error is not None and outcome.job.args[0] == STDOUT and _reader_gone():
            raise BrokenPipeError  # the reader of the text went away: as a tool ended by SIGPIPE
        if outcome.error is not None:
            progress.message(_failure(outcome.job.path, outcome.error) + _next_step(outcome.job.path, outcome.error, args))
            in_order.skip(position[id(outcome.job)])
            return
        written: Written = outcome.value
        if written.kept and not args.quiet:
            progress.message(f"velnora: {outcome.job.path}: kept {written.output}, made of it earlier with the same options (--force writes it again)")
        if (said := left_out_in_words(written.damaged, written.samples_out_of_order)) and not args.quiet:
            progress.message(f"velnora: {outcome.job.path}: {said}")
        progress.clear()
        # Text on standard output is the output itself: no name follows it.
        in_order.put(position[id(outcome.job)], None if written.output == STDOUT else written.output)

    outcomes = run(batch, args.jobs, progress, done)
    return 1 if any(outcome.error for outcome in outcomes) else 0


class _InOrder:
    """Prints the outputs in the order the inputs were given, each as soon as
    those before it have ended."""

    def __init__(self, count: int) -> None:
        self._lines: list[str | None] = [None] * count
        self._ended = [False] * count
        self._next = 0

    def put(self, index: int, line: str | None) -> None:
        self._lines[index] = line
        self.skip(index)

    def skip(self, index: int) -> None:
        self._ended[index] = True
        while self._next < len(self._ended) and self._ended[self._next]:
            if (line := self._lines[self._next]) is not None:
                print(line, flush=True)
            self._next += 1


def _reader_gone() -> bool:
    """Whether standard output is a pipe whose reader has gone, as after `| head`."""
    poller = select.poll()
    poller.register(sys.stdout.fileno(), select.POLLOUT)
    return any(events & select.POLLERR for _, events in poller.poll(0))


def _next_step(path: str, error: BaseException, args: argparse.Namespace) -> str:
    """What an export's failure line adds: where outputs beside the
    recordings cannot be made, that -o puts them elsewhere; where a seconds
    cut was read, how long the recording's data last."""
    if isinstance(error, OutputError):
        return " (-o writes the outputs elsewhere)" if args.output is None else ""
    if getattr(args, "seconds", None) and isinstance(error, RuntimeError) and not isinstance(error, NotARecording):
        with contextlib.suppress(RuntimeError, OSError):
            duration = velnora.sampling_consistency_report(path)["duration_s_from_data"]
            if duration is not None:
                return f" (its data last {duration:g} s from the first block's start)"
    return ""


def _failure(path: str, error: BaseException) -> str:
    # An output that cannot be made names itself, not the input.
    return f"velnora: {error}" if isinstance(error, OutputError) else f"velnora: {path}: {_failure_text(error)}"


def _failure_text(error: BaseException) -> str:
    """A failure's message, with the command's way past a damaged data block."""
    text = failure_text(error)
    return f"{text}: --skip-damaged reads past it" if isinstance(error, DamagedRecording) else text


def _outcomes(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:
        options = OutcomeOptions(tuple(args.cutpoints), args.metric, args.valid_hours)
    except ValueError as error:
        parser.error(str(error))
    epoch_options = _epoch_options(args)
    found = _study(args, "velnora outcomes", epoch_options, options)
    recorded = {"parameters": parameters(options, epoch_options)}
    names = [column.name for column in summary_columns(True, True)]
    tables = (
        (args.output, names, [rows.row for rows in found]),
        (args.days, ["path", *(column.name for column in DAY_COLUMNS)], [{"path": rows.row["path"], **day} for rows in found for day in rows.days]),
        (args.nights, ["path", *(column.name for column in NIGHT_COLUMNS)], [{"path": rows.row["path"], **night} for rows in found for night in rows.nights]),
    )
    try:
        for out, columns, rows in tables:
            if out:
                _write_table(out, columns, rows, recorded)
    except OutputError as error:
        print(f"velnora: {error}", file=sys.stderr)
        return 1
    return 1 if any(rows.row["error"] is not None for rows in found) else 0


def _study(args: argparse.Namespace, label: str, epoch_options: EpochOptions, options: OutcomeOptions) -> list[StudyRows]:
    """Each recording's summary, days and nights, on the workers, with a
    progress bar; its failure and what its epochs left out said on stderr."""
    progress = _progress(label, args.files, args)
    found = [StudyRows(failed_report_row(path, RuntimeError("not summarised"))) for path in args.files]
    jobs = [Job(path, study_rows, (epoch_options.skip_damaged, epoch_options, options)) for path in args.files]
    position = {id(job): index for index, job in enumerate(jobs)}

    def done(outcome: Outcome) -> None:
        index = position[id(outcome.job)]
        if outcome.error is not None:
            found[index] = StudyRows(failed_report_row(outcome.job.path, outcome.error))
        else:
            found[index] = outcome.value
        rows: StudyRows = found[index]
        if rows.row["error"] is not None:
            progress.message(f"velnora: {outcome.job.path}: {rows.row['error']}")
        elif (said := left_out_in_words(rows.left_out, rows.samples_out_of_order)) and not args.quiet:
            progress.message(f"velnora: {outcome.job.path}: {said}")

    run(jobs, args.jobs, progress, done)
    return found


def _write_table(out: str, names: Sequence[str], rows: Sequence[dict[str, Any]], recorded: dict[str, Any]) -> None:
    """A CSV table to `out` ("-": stdout), and, for a file, the parameters
    as JSON beside it (its name with ".json" for ".csv")."""
    if out == "-":
        _csv_rows(sys.stdout, names, rows)
        return
    with replacing(out, stream=True) as temporary:
        with open(temporary, "w", encoding="utf-8", newline="") as table:
            _csv_rows(table, names, rows)
        if temporary != out:
            with replacing(json_beside(out)) as sidecar, open(sidecar, "w", encoding="utf-8") as file:
                json.dump(recorded, file, indent=1)


def _csv_rows(stream: Any, names: Sequence[str], rows: Sequence[dict[str, Any]]) -> None:
    writer = csv.DictWriter(stream, fieldnames=list(names), lineterminator="\n", extrasaction="ignore")
    writer.writeheader()
    writer.writerows(rows)


def _report(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    progress = _progress("velnora report", args.files, args)

    def done(outcome: Outcome) -> None:
        row = _report_row(outcome)
        if row["error"] is not None:
            progress.message(f"velnora: {row['path']}: {row['error']}")
        elif row["damaged_blocks"] and not args.quiet:
            progress.message(f"velnora: {row['path']}: left out {damage_in_words(row['damaged_blocks'], row['damaged_samples'])}")

    jobs = [Job(path, report_row, (args.skip_damaged, False, False, _failure_text)) for path in args.files]
    rows = [_report_row(outcome) for outcome in run(jobs, args.jobs, progress, done)]
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


class _NothingRead(RuntimeError):
    """No recording of a page could be read: no page is written."""


def _page(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    def summary_of() -> pd.DataFrame:
        if all(path.endswith(SUMMARY_SUFFIXES) for path in args.files):
            summary = read_summary(*args.files)
            for path, message in summary.loc[summary["error"].notna(), ["path", "error"]].itertuples(index=False):
                print(f"velnora: {path}: {message}", file=sys.stderr)
        else:
            found = _study(args, "velnora page", EpochOptions(skip_damaged=True), OutcomeOptions())
            summary = summary_frame([rows.row for rows in found], True, True)
        if summary["error"].notna().all():
            raise _NothingRead("no recording could be read: no page written")
        return summary

    try:
        summary = write_page(args.output, summary_of, args.files, args.days)
    except (OutputError, RuntimeError, OSError) as error:  # an output that cannot be made, a summary that cannot be read
        print(f"velnora: {error}", file=sys.stderr)
        return 1
    print(args.output)
    return 1 if summary["error"].notna().any() else 0


def _info(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    failed = [path for index, path in enumerate(args.files) if not _show_info(path, first=index == 0)]
    return 1 if failed else 0


def _show_info(path: str, first: bool) -> bool:
    """Prints what the recording holds, after a blank line unless it is the
    first; false when it could not be read."""
    try:
        header = recording_header(path)
        sampling, damaged = report_and_damage(path)
        found = scan(path, header["sample_rate_hz"], skip_damaged=bool(damaged))
    except (RuntimeError, OSError, MemoryError) as error:
        print(f"velnora: {path}: {failure_text(error)}", file=sys.stderr)
        return False
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
    lines += [f"  block {item.block}: {item.message} ({item.sample_count} sample{'s' * (item.sample_count != 1)})" for item in damaged]
    print(("" if first else "\n") + "\n".join(lines), flush=True)
    return True


if __name__ == "__main__":
    sys.exit(main())
