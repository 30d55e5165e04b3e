"""Many recordings at once: the `velnora report` row of each, or each converted
to Parquet or CSV with a manifest of what was written and what failed.

Each recording is one task, run on the workers of a Dask cluster when a
`distributed.Client` is given (the extra `dask`), else on local
worker processes. A recording that fails is a row with its error, never a lost
batch."""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import signal
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, cast

from velnora_tools._distribution import require
from velnora_tools._exports import Export, Written, export_csv, export_days, export_epochs, export_parquet
from velnora_tools._process_pool import Job, Outcome, Progress, Stopped, processors, run, stop_signals
from velnora_tools._recording import failure_text
from velnora_tools._report import EPOCH_COLUMNS, OUTCOME_COLUMNS, REPORT_COLUMNS, ReportColumn, failed_report_row, report_row
from velnora_tools.activity import EpochOptions
from velnora_tools.outcomes import OutcomeOptions
from velnora_tools.frames import Channels, carried_only, plain_records
from velnora_tools.read_options import check_read_options
from velnora_tools.replacing import remove_stale_temporaries, replacing

if TYPE_CHECKING:
    from typing import Unpack

    import pandas as pd
    from distributed import Client

    from velnora_tools.read_options import ReadArguments

# One recording's path, or many.
Recordings = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]
# The leading underscore keeps the manifest out of `pandas.read_parquet(out_dir)`
# and other readers of the directory as one dataset.
MANIFEST = "_manifest.parquet"
MANIFEST_COLUMNS = ("path", "output", "size", "mtime_ns", "options", "status", "error", "seconds")
# Saved this often while a batch runs, so that an interrupted one keeps what it finished.
SAVE_EVERY_S = 30.0
WRITTEN, SKIPPED, FAILED = "written", "skipped", "failed"
SUFFIXES = {"parquet": ".parquet", "csv": ".csv", "epochs": ".epochs.parquet", "days": ".days.parquet"}


def _export_epochs(path: str, out: str, export: Export) -> Written:
    return export_epochs(path, out, dataclasses.replace(export.epoch_options, cut=export.read_args.get("cut")))


def _export_days(path: str, out: str, export: Export) -> Written:
    return export_days(path, out, dataclasses.replace(export.epoch_options, cut=export.read_args.get("cut")), export.outcome_options)


EXPORTS: dict[str, Callable[[str, str, Export], Written]] = {
    "parquet": export_parquet,
    "csv": export_csv,
    "epochs": _export_epochs,
    "days": _export_days,
}
MANIFEST_DTYPES = {"size": "Int64", "mtime_ns": "Int64", "seconds": "Float64"}


def summarise(
    paths: Recordings,
    client: Client | None = None,
    *,
    workers: int | None = None,
    skip_damaged: bool = False,
    epochs: bool = False,
    outcomes: bool = False,
) -> pd.DataFrame:
    """The `velnora report` row of each recording, in the order given: path,
    device_id, session_id, start and end from the header and from the data,
    sampling rates, blocks, samples, gaps, overlaps, damaged_blocks,
    damaged_samples and error.
    A recording that cannot be read has its message in `error` and what could
    be read before the failure elsewhere. With `skip_damaged`, damaged data
    blocks are left out of the report and the scan and counted instead of
    failing the recording. With `epochs`, each recording's 5 s epochs with
    calibration and non-wear (`velnora_tools.epochs`) give samples,
    start_from_data, end_from_data and samplingrate_hz_from_data of the
    samples they hold, and add the columns out_of_place_blocks and
    out_of_place_samples (data blocks left out as their time is out of
    place, and their samples), samples_out_of_order (samples left out as
    timed before an earlier one), calibrated, calibration_reason (why a calibration failed),
    calibration_error_before_mg, calibration_error_after_mg,
    worn_hours, days_16h_worn (days of the recorded wall clock with at least
    16 worn hours), enmo_worn_mg (mean ENMO over worn epochs), and the days
    as strip_first_day (YYYY-MM-DD) and strip: a letter per 15 minutes from
    that day's midnight, whole days, "w" worn, "n" non-wear, "." no data, "x"
    a damaged stretch. `paths` is a path (one recording) or an iterable
    of them. With `outcomes`, the recording's outcomes of
    `velnora_tools.outcomes` on those epochs follow (by its defaults; the
    epoch columns come too): valid_days, the means over valid days,
    enmo_24h_mg, is, iv and the hourly profile (docs/data-dictionary.md).
    Raises ValueError when `paths` is empty.

    With `client` each recording is one task on the cluster's workers, which
    must see the files under the same absolute paths; without one, `workers`
    local processes (default: one per available CPU) do the work. A task scans
    its recording a bounded number of blocks at a time. A local worker that
    dies and SIGTERM or SIGHUP are handled as in `convert`."""
    require("pandas", "velnora_tools.summarise")
    names = _paths(paths, client, "summarise")
    rows: list[dict[str, Any]] = [{} for _ in names]

    def done(index: int, row: Any, error: BaseException | None) -> None:
        rows[index] = row if error is None else failed_report_row(names[index], error)

    with _ended_by_stop_signals():
        _run(report_row, [(name, skip_damaged, epochs or outcomes, outcomes) for name in names], client, workers, done)
    return summary_frame(rows, epochs or outcomes, outcomes)


def summary_columns(epochs: bool, outcomes: bool) -> tuple[ReportColumn, ...]:
    """The columns of a summary, with the epochs' and the outcomes'."""
    return REPORT_COLUMNS + EPOCH_COLUMNS * epochs + OUTCOME_COLUMNS * outcomes


def summary_frame(rows: Sequence[dict[str, Any]], epochs: bool, outcomes: bool) -> pd.DataFrame:
    """Summary rows as the DataFrame `summarise` returns."""
    columns = summary_columns(epochs, outcomes)
    filled = [{column.name: row.get(column.name) for column in columns} for row in rows]
    return _frame(filled, [column.name for column in columns], {column.name: column.dtype for column in columns})


def read_summary(*paths: str | os.PathLike[str]) -> pd.DataFrame:
    """Summaries saved as CSV (`velnora outcomes`, `velnora report --csv`) or
    Parquet, one after the other, their columns given the dtypes `summarise`
    gives them."""
    require("pandas", "velnora_tools.read_summary")
    import pandas as pd

    frames = [
        pd.read_parquet(text) if text.endswith(".parquet") else pd.read_csv(text, dtype=str, keep_default_na=False, na_values=[""])
        for text in (os.fspath(path) for path in paths)
    ]
    frame = pd.concat(frames, ignore_index=True)
    dtypes = {column.name: column.dtype for column in summary_columns(True, True)}
    for name in frame.columns.intersection(list(dtypes)):
        # From CSV every cell is text (or missing): read it as its column's kind.
        cells = [None if _missing(cell) else cell for cell in frame[name].astype(object)]
        if dtypes[name] == "boolean":
            cells = [cell if cell is None or isinstance(cell, bool) else str(cell).lower() == "true" for cell in cells]
        elif dtypes[name] in ("Int64", "Float64"):
            cells = [cell if cell is None else float(cell) for cell in cells]
        frame[name] = pd.Series(cells, index=frame.index, dtype=cast(Any, dtypes[name]))
    return frame


def _missing(value: Any) -> bool:
    import pandas as pd

    return value is None or bool(pd.isna(value))


def convert(
    paths: Recordings,
    out_dir: str | os.PathLike[str],
    client: Client | None = None,
    format: str = "parquet",
    *,
    workers: int | None = None,
    epoch_options: EpochOptions | None = None,
    outcome_options: OutcomeOptions | None = None,
    channels: Channels = "present",
    skip_damaged: bool = False,
    **read_args: Unpack[ReadArguments],
) -> pd.DataFrame:
    """Converts each recording to `out_dir/<name>.parquet` (`write_parquet`),
    `out_dir/<name>.csv` (`velnora.write_cwa_csv`'s text) or, with format "epochs",
    `out_dir/<name>.epochs.parquet` (`velnora_tools.write_epochs` with
    `epoch_options`, by default 5 s epochs with calibration and non-wear; of
    `read_args` only `cut` is taken, any other is a ValueError, and the
    options' own `cut` and `skip_damaged` must be left unset), or, with format "days",
    `out_dir/<name>.days.parquet` (the day table of `velnora_tools.days`, with
    `outcome_options` on those epochs, its parameters under
    "velnora.parameters" in the file's metadata; `read_args` as for epochs),
    with `read_args` those of `velnora.read_cwa_file`, and returns the
    manifest `out_dir/_manifest.parquet`. With `channels` "present" (the
    default) a Parquet or CSV output leaves out the gyroscope and
    magnetometer columns where no data block of the recording carries that
    sensor; "all" keeps them. With `skip_damaged`, damaged data blocks are
    left out (as `read_skipping_damaged` does, for every format) instead of
    failing their recording; the manifest records it.

    The manifest has a row per recording: its absolute path, the output, the
    size and mtime_ns the recording had when its task began, the reading
    options (JSON), the status ("written", "skipped" or "failed"), the error
    message of a failure and the seconds the conversion took. A recording
    whose earlier row matches its size, mtime and options, and whose output is
    still there, is skipped; failed ones are tried again. Rows of recordings
    converted by earlier calls stay, before this call's rows in the order
    given. The manifest is saved as the batch runs: an interrupted batch keeps
    what it finished. `out_dir` is made by the first output written: a batch
    that writes nothing leaves no folder and no manifest behind. Run one call
    at a time per `out_dir`: at the start, hidden temporaries that a killed
    earlier call left there (`.<output>.<hex>.part`, older than this call
    and held by no process) are removed. Raises ValueError when `paths` is
    empty.

    A recording whose local worker process dies (killed, or out of memory) is
    tried once more in a new one, then becomes a failed row with the reason;
    the others go on. SIGTERM and SIGHUP, unless the caller handles or
    ignores them, stop the batch as Ctrl-C does (workers stopped, their
    unfinished outputs removed, the manifest saved), and the process then
    ends by the signal.

    `client` and `workers` are those of `summarise`; with a client, `out_dir`
    too must be an absolute path the workers see. A task holds one
    recording's samples, as a `velnora.read_cwa_file` call with `read_args` does."""
    began = time.time_ns()
    require("pandas", "velnora_tools.convert")
    require("pyarrow.parquet", "velnora_tools.convert")
    if format not in SUFFIXES:
        raise ValueError(f"format must be one of {', '.join(SUFFIXES)}, not {format!r}")
    export, options = _export(read_args, format, epoch_options, outcome_options, channels, skip_damaged)
    names = [os.path.abspath(name) for name in _paths(paths, client, "convert")]
    directory = os.path.abspath(_paths(out_dir, client, "convert")[0])
    outputs = [os.path.join(directory, _stem(name) + SUFFIXES[format]) for name in names]
    manifest_path = os.path.join(directory, MANIFEST)
    clashes = sorted(out for out, count in Counter(outputs).items() if count > 1)
    if clashes:
        raise ValueError(f"several recordings would be written to {', '.join(clashes)}")
    if manifest_path in outputs:
        raise ValueError(f"a recording would be written over the manifest {manifest_path}")
    manifest = _Manifest(manifest_path, names)
    calls = [(name, out, format, export, options, manifest.converted(name)) for name, out in zip(names, outputs)]

    def done(index: int, row: Any, error: BaseException | None) -> None:
        manifest.record(row if error is None else _row(names[index], options, error=failure_text(error)))

    remove_stale_temporaries(directory, began)
    with _ended_by_stop_signals():
        try:
            _run(convert_one, calls, client, workers, done)
        finally:
            manifest.save()
    return manifest.frame()


def convert_one(
    path: str, out: str, format: str, export: Export, options: str, earlier: Mapping[str, Any] | None
) -> dict[str, Any]:
    """The manifest row of one recording's conversion, or of the earlier one
    when that is still current. Runs on a worker."""
    began = time.perf_counter()
    row = _row(path, options)
    try:
        status = os.stat(path)
        row.update(size=status.st_size, mtime_ns=status.st_mtime_ns)
        if earlier is not None and _current(earlier, row, out):
            return {**earlier, "status": SKIPPED}
        row.update(output=EXPORTS[format](path, out, export).output, status=WRITTEN)
    except Exception as error:  # whatever stops one recording is that recording's row
        row["error"] = failure_text(error)
    row["seconds"] = time.perf_counter() - began
    return row


def _row(path: str, options: str, error: str | None = None) -> dict[str, Any]:
    return {**dict.fromkeys(MANIFEST_COLUMNS), "path": path, "options": options, "status": FAILED, "error": error, "seconds": 0.0}


def _current(earlier: Mapping[str, Any], row: Mapping[str, Any], out: str) -> bool:
    same = all(earlier[key] == row[key] for key in ("size", "mtime_ns", "options"))
    return same and earlier["output"] == out and os.path.exists(out)


class _Manifest:
    """The manifest of an output directory: the rows it held before this call
    and those of the recordings this call has finished."""

    def __init__(self, path: str, names: Sequence[str]) -> None:
        import pandas as pd

        self._path = path
        self._names = names
        self._earlier = {row["path"]: row for row in plain_records(pd.read_parquet(path))} if os.path.exists(path) else {}
        self._finished: dict[str, dict[str, Any]] = {}
        self._saved = time.monotonic()

    def converted(self, name: str) -> dict[str, Any] | None:
        row = self._earlier.get(name)
        return row if row is not None and row["status"] in (WRITTEN, SKIPPED) else None

    def record(self, row: dict[str, Any]) -> None:
        self._finished[row["path"]] = row
        if time.monotonic() - self._saved >= SAVE_EVERY_S:
            self.save()

    def save(self) -> None:
        """Saves the manifest once an output has made its directory: a batch
        that wrote nothing leaves no folder behind."""
        if not os.path.isdir(os.path.dirname(self._path)):
            return
        with replacing(self._path) as temporary:
            self.frame().to_parquet(temporary, index=False)
        self._saved = time.monotonic()

    def frame(self) -> pd.DataFrame:
        ours = set(self._names)
        rows = [row for name, row in self._earlier.items() if name not in ours]
        latest = (self._finished.get(name) or self._earlier.get(name) for name in self._names)
        return _frame(rows + [row for row in latest if row is not None], MANIFEST_COLUMNS, MANIFEST_DTYPES)


@contextlib.contextmanager
def _ended_by_stop_signals() -> Iterator[None]:
    """SIGTERM and SIGHUP, where the caller leaves them to their default
    action, stop the batch as Ctrl-C does; once the block has cleaned up, the
    process ends by the signal as it would have without the batch."""
    try:
        with stop_signals():
            yield
    except Stopped as stop:
        signal.raise_signal(stop.signum)
        raise


def _run(
    work: Callable[..., Any],
    calls: Sequence[tuple[Any, ...]],
    client: Client | None,
    workers: int | None,
    done: Callable[[int, Any, BaseException | None], None],
) -> None:
    """Calls `work(*call)` for every call, one task each, and `done(index,
    value, error)` as each ends."""
    if client is not None and workers is not None:
        raise ValueError("workers sizes the local pool; a client's cluster has its own")
    if not calls:
        return
    if client is None:
        _run_locally(work, calls, workers or processors(), done)
    else:
        _run_on_cluster(client, work, calls, done)


def _run_locally(
    work: Callable[..., Any],
    calls: Sequence[tuple[Any, ...]],
    workers: int,
    done: Callable[[int, Any, BaseException | None], None],
) -> None:
    batch = [Job(call[0], work, call[1:]) for call in calls]
    position = {id(job): index for index, job in enumerate(batch)}

    def finished(outcome: Outcome) -> None:
        done(position[id(outcome.job)], outcome.value, outcome.error)

    run(batch, workers, Progress("", [], enabled=False), finished)


def _run_on_cluster(
    client: Client,
    work: Callable[..., Any],
    calls: Sequence[tuple[Any, ...]],
    done: Callable[[int, Any, BaseException | None], None],
) -> None:
    require("distributed", "a Dask client")
    from asyncio import CancelledError

    from distributed import as_completed

    futures = client.map(work, *zip(*calls), pure=False)
    position = {future.key: index for index, future in enumerate(futures)}
    try:
        for future in as_completed(futures):  # type: ignore[no-untyped-call]  # distributed leaves it untyped
            try:
                value, error = future.result(), None
            # A task that raised, whose workers died under it, or that was cancelled.
            except (Exception, CancelledError) as raised:
                value, error = None, raised
            done(position[future.key], value, error)
    finally:
        client.cancel(futures)  # type: ignore[no-untyped-call]


def _paths(paths: Recordings, client: Client | None, function: str) -> list[str]:
    """The recordings as path texts: a lone path or path-like is one recording."""
    names = [os.fspath(paths)] if isinstance(paths, (str, os.PathLike)) else [os.fspath(path) for path in paths]
    if not names:
        raise ValueError(f"{function}() was given no recordings")
    relative = [name for name in names if not os.path.isabs(name)]
    if client is not None and relative:
        raise ValueError(f"a cluster's workers need absolute paths, not {relative[0]}")
    return names


def _stem(path: str) -> str:
    return os.path.splitext(os.path.basename(path))[0]


def _export(
    read_args: ReadArguments,
    format: str,
    epoch_options: EpochOptions | None,
    outcome_options: OutcomeOptions | None,
    channels: Channels,
    skip_damaged: bool,
) -> tuple[Export, str]:
    """The export of `read_args` (and of the epoch and outcome options for
    epochs and days) and its JSON text, which tells a rerun with other
    options from one that may skip."""
    check_read_options("convert", dict(read_args))
    carried_only(channels)  # refuses anything but "present" and "all" before any work
    if format in ("epochs", "days") and (unused := sorted(set(read_args) - {"cut"})):
        raise ValueError(f"format {format!r} takes the read option cut alone, not {', '.join(unused)}")
    include = {name: bool(flag) for name, flag in read_args.items() if name.startswith("include_")}
    options = cast("ReadArguments", {**read_args, **include})
    if format not in ("epochs", "days"):
        if epoch_options is not None or outcome_options is not None:
            raise ValueError(f"epoch_options and outcome_options apply to formats 'epochs' and 'days', not {format!r}")
        recorded: dict[str, Any] = {**options, "channels": channels} | ({"skip_damaged": True} if skip_damaged else {})
        return Export(options, skip_damaged, channels=channels), json.dumps(recorded, sort_keys=True)
    if format == "epochs" and outcome_options is not None:
        raise ValueError("outcome_options apply to format 'days', not 'epochs'")
    if epoch_options is not None and (epoch_options.cut is not None or epoch_options.skip_damaged):
        raise ValueError("epoch_options must leave cut and skip_damaged unset: give convert the cut and skip_damaged")
    chosen = dataclasses.replace(epoch_options or EpochOptions(), skip_damaged=skip_damaged)
    outcomes = outcome_options or OutcomeOptions()
    recorded = {**options, "epochs": chosen.recorded()} | ({"skip_damaged": True} if skip_damaged else {})
    if format == "days":
        recorded["outcomes"] = dataclasses.asdict(outcomes)
    return Export(options, skip_damaged, epoch_options=chosen, outcome_options=outcomes), json.dumps(recorded, sort_keys=True)


def _frame(rows: Sequence[Mapping[str, Any]], columns: Sequence[str], dtypes: Mapping[str, str]) -> pd.DataFrame:
    """Rows as a DataFrame of nullable columns, so that a batch's dtypes do not
    depend on which of its recordings failed."""
    import pandas as pd

    return pd.DataFrame(
        {name: pd.Series([row[name] for row in rows], dtype=dtypes.get(name, "string")) for name in columns},
        columns=list(columns),
    )
