"""A study's quality at a glance: one self-contained HTML page of every
recording's summary, its days as strips and its problems with their reasons."""

from __future__ import annotations

import datetime
import html
import os
import re
import time
from collections import Counter
from collections.abc import Callable, Iterable, Mapping, Sequence
from importlib import resources
from typing import TYPE_CHECKING, Any

from velnora_tools._day_strip import CELL_US, CELLS_PER_DAY, CELLS_PER_HOUR, DAMAGED, NO_DATA, NONWEAR, WORN
from velnora_tools._distribution import VERSION, require
from velnora_tools._quality_rules import DEFAULT_WORN_DAYS, counted, problems, rule_texts
from velnora_tools._report import EPOCH_COLUMNS, REPORT_COLUMNS, ReportColumn
from velnora_tools.activity import WORN_DAY_HOURS
from velnora_tools.batch import summarise
from velnora_tools.frames import plain_records
from velnora_tools.replacing import OutputError, check_output, remove_stale_temporaries, replacing

if TYPE_CHECKING:
    import pandas as pd
    from distributed import Client

STRIP_COLUMNS = ("strip_first_day", "strip")
# The main outcomes the page shows of each recording.
OUTCOMES_SHOWN = (
    ReportColumn("valid_days", "valid days", "Int64"),
    ReportColumn("enmo_24h_mg", "ENMO 24 h (mg)", "Float64"),
    ReportColumn("minutes_mvpa_bouts_10", "MVPA in 10 min bouts (min/day)", "Float64"),
    ReportColumn("m10_mg", "M10 (mg)", "Float64"),
    ReportColumn("l5_mg", "L5 (mg)", "Float64"),
    ReportColumn("ig_gradient", "intensity gradient", "Float64"),
    ReportColumn("sleep_hours", "sleep (h/night)", "Float64"),
)
# What a study checks first, right after the path and the problems.
KEY_NAMES = ("worn_hours", "days_16h_worn", "enmo_worn_mg")
KEY_COLUMNS = (*(column for column in EPOCH_COLUMNS if column.name in KEY_NAMES), *OUTCOMES_SHOWN)
# After those, the strip, then the rest.
TABLE_COLUMNS = KEY_COLUMNS + tuple(
    column for column in REPORT_COLUMNS[1:] + EPOCH_COLUMNS if column.name not in STRIP_COLUMNS + KEY_NAMES
)
TITLES = {column.name: column.title for column in REPORT_COLUMNS + EPOCH_COLUMNS + OUTCOMES_SHOWN}
NEEDED = (*(column.name for column in REPORT_COLUMNS + EPOCH_COLUMNS + OUTCOMES_SHOWN), "sleep_windows")
# Columns a summary made by an earlier version lacks: shown empty, never refused.
ADDED_LATER = (
    "damaged_samples",
    "calibration_reason",
    "out_of_place_blocks",
    "out_of_place_samples",
    "samples_out_of_order",
    *(column.name for column in OUTCOMES_SHOWN),
    "sleep_windows",
)
# Letter, class and label of each kind of cell, in the legend's order.
CELL_KINDS = ((WORN, "worn"), (NONWEAR, "non-wear"), (NO_DATA, "no data"), (DAMAGED, "damaged"))
CELL_CLASS = {WORN: "w", NONWEAR: "n", NO_DATA: "o", DAMAGED: "x"}
# A letter of no kind (in a summary made elsewhere) is left undrawn.
RUNS = re.compile(f"([{re.escape(''.join(letter for letter, _ in CELL_KINDS))}])\\1*")
PLANNED_DAYS_SHOWN = 31
# Strip geometry in SVG units: a cell is one unit wide, a day's row this tall with a gap below.
ROW, GAP = 4, 1


def quality_page(
    paths_or_summary: Iterable[str | os.PathLike[str]] | str | os.PathLike[str] | pd.DataFrame,
    out: str | os.PathLike[str],
    client: Client | None = None,
    *,
    workers: int | None = None,
    min_worn_days: int = DEFAULT_WORN_DAYS,
) -> pd.DataFrame:
    """Writes `out`, one self-contained HTML page (inline CSS, script and SVG;
    nothing fetched) of a study's recordings, and returns the summary it shows.

    Given paths, the summary is `summarise(paths, client, workers=workers,
    skip_damaged=True, outcomes=True)`, so damaged blocks are read past and
    counted; given a DataFrame, it must hold that summary's columns. The page
    shows counts (recordings, failed to read, with damaged blocks, ending
    early, not calibrated, fewer than `min_worn_days` days with at least 16
    worn hours), a histogram of worn days, and a table, sortable by any column
    and filtered by a box, of each recording's summary, its problems and its
    days as a strip (a row per day from midnight, a cell per 15 minutes:
    worn, non-wear, no data or damaged). A problem cell is highlighted, with
    the rule and the number in its tooltip; the rules are listed on the page.
    `out` appears only when complete, or goes straight into a FIFO or a
    device; one of the recordings is refused as `out`."""
    require("pandas", "velnora_tools.quality_page")
    import pandas as pd

    if isinstance(paths_or_summary, pd.DataFrame):
        summary = paths_or_summary
        missing = [name for name in NEEDED if name not in summary.columns and name not in ADDED_LATER]
        if missing:
            raise ValueError(f"the summary lacks the columns {', '.join(missing)}: make it with summarise(..., epochs=True)")
        return write_page(out, lambda: summary, [], min_worn_days)
    paths = [paths_or_summary] if isinstance(paths_or_summary, (str, os.PathLike)) else list(paths_or_summary)
    return write_page(out, lambda: summarise(paths, client, workers=workers, skip_damaged=True, outcomes=True), paths, min_worn_days)


def write_page(
    out: str | os.PathLike[str], summary_of: Callable[[], pd.DataFrame], inputs: Sequence[str | os.PathLike[str]], min_worn_days: int
) -> pd.DataFrame:
    """Writes the page of the summary `summary_of()` makes to `out`, which
    none of `inputs` may be, and returns that summary. The output is entered
    first, so that one that cannot be made fails before the reading; what
    `summary_of` raises leaves nothing under its name."""
    for path in inputs:
        check_output(path, out, stream=True)
    remove_stale_temporaries(os.path.dirname(os.path.abspath(out)), time.time_ns())
    with replacing(out, stream=True) as temporary:
        summary = summary_of()
        text = page_html(plain_records(summary.reindex(columns=list(NEEDED))), min_worn_days)
        try:
            with open(temporary, "w", encoding="utf-8") as page:
                page.write(text)
        except OSError as error:  # a full disk, a file-size limit
            raise OutputError(os.fspath(out), error.strerror or str(error)) from error
    return summary


def page_html(rows: Sequence[Mapping[str, Any]], min_worn_days: int) -> str:
    """The page of summary rows (plain values, None where missing)."""
    found = [problems(row, min_worn_days) for row in rows]
    days = Counter(row["days_16h_worn"] for row in rows if row["days_16h_worn"] is not None)
    parts = [
        f"<!DOCTYPE html>\n<html lang='en'>\n<head>\n<meta charset='utf-8'>\n"
        f"<title>Recording quality: {len(rows)} recordings</title>\n<style>\n{_asset('study_page.css')}</style>\n</head>\n<body>\n"
        f"<h1>Recording quality</h1>\n<p class='made'>{len(rows)} recordings, summarised by velnora {VERSION}.</p>\n",
        _counts(len(rows), found, min_worn_days),
        "<div class='overview'>\n<section>",
        _histogram(days, min_worn_days),
        "</section>\n<section>\n<h2>Problems marked</h2>\n<ul class='rules'>",
        *(f"<li>{html.escape(rule)}</li>" for rule in rule_texts(min_worn_days)),
        "</ul>\n<p>A marked cell's tooltip states its rule for that recording.</p>\n</section>\n</div>\n",
        _legend(),
        "<p><input id='filter' type='search' placeholder='filter: words in a row' aria-label='filter rows'> "
        f"<span id='shown'>{len(rows)} of {len(rows)} shown</span></p>\n",
        _table(rows, found),
        f"<script>\n{_asset('study_page.js')}</script>\n</body>\n</html>\n",
    ]
    return "".join(parts)


def _asset(name: str) -> str:
    return resources.files("velnora_tools").joinpath(name).read_text(encoding="utf-8")


def _counts(total: int, found: Sequence[Mapping[str, str]], min_worn_days: int) -> str:
    boxes = [f"<div class='count'><b>{total}</b> recordings</div>"]
    for title, columns in counted(min_worn_days):
        number = sum(1 for cells in found if any(column in cells for column in columns))
        boxes.append(f"<div class='count{' bad' * bool(number)}'><b>{number}</b> {html.escape(title)}</div>")
    return "<div class='counts'>" + "".join(boxes) + "</div>\n"


def _histogram(days: Mapping[int, int], min_worn_days: int) -> str:
    """Bars of how many recordings have each number of days with 16 worn
    hours, those under `min_worn_days` in the problem colour."""
    top = max([*days, min_worn_days])
    most = max(days.values(), default=1)
    width, height = 28, 100
    bars = []
    for day in range(top + 1):
        count = days.get(day, 0)
        tall = round(height * count / most)
        x, y = day * width, height - tall + 14
        bars.append(
            f"<rect class='{'few' if day < min_worn_days else 'enough'}' x='{x + 3}' y='{y}' width='{width - 6}' height='{tall}'>"
            f"<title>{count} with {day} days</title></rect>"
            f"<text x='{x + width / 2}' y='{y - 3}'>{count}</text><text x='{x + width / 2}' y='{height + 28}'>{day}</text>"
        )
    return (
        f"<h2>Days with at least {WORN_DAY_HOURS} worn hours</h2>\n"
        f"<svg class='histogram' width='{(top + 1) * width}' height='{height + 34}' role='img' "
        f"aria-label='recordings by days with at least {WORN_DAY_HOURS} worn hours'>" + "".join(bars) + "</svg>\n"
    )


def _legend() -> str:
    items = "".join(
        f"<li><svg width='14' height='14' aria-hidden='true'><rect class='{CELL_CLASS[letter]}' width='14' height='14'/></svg> {label}</li>"
        for letter, label in CELL_KINDS
    )
    sleep = "<li><svg width='14' height='14' aria-hidden='true'><rect class='sleep' y='10' width='14' height='4'/></svg> sleep window</li>"
    return f"<ul class='legend'><li>Days: a row per day from midnight, a cell per {CELL_US // 60_000_000} minutes.</li>{items}{sleep}</ul>\n"


def _table(rows: Sequence[Mapping[str, Any]], found: Sequence[Mapping[str, str]]) -> str:
    """The table: path and problems, the key columns, the strip, the rest;
    a column no row fills is left out."""
    shown = [column for column in TABLE_COLUMNS if any(row[column.name] is not None for row in rows)]
    key = [column for column in shown if column in KEY_COLUMNS]
    rest = [column for column in shown if column not in KEY_COLUMNS]

    def header(title: str, kind: str) -> str:
        return f"<th data-kind='{kind}'><button type='button'>{html.escape(title)}</button></th>"

    head = [header("path", "text"), header("problems", "number")]
    head += [header(column.title, _kind(column)) for column in key] + [header("days", "number")]
    head += [header(column.title, _kind(column)) for column in rest]
    body = [_row(row, cells, key, rest) for row, cells in zip(rows, found)]
    return "<table id='recordings'>\n<thead><tr>" + "".join(head) + "</tr></thead>\n<tbody>\n" + "".join(body) + "</tbody>\n</table>\n"


def _row(row: Mapping[str, Any], found: Mapping[str, str], key: Sequence[ReportColumn], rest: Sequence[ReportColumn]) -> str:
    # The problems in a short line, their sentences in its tooltip.
    short = ", ".join(TITLES.get(name, name) for name in found)
    cells = [
        f"<td class='path'>{html.escape(row['path'])}</td>",
        f"<td class='reasons' data-v='{len(found)}' title='{html.escape(chr(10).join(found.values()))}'>{html.escape(short)}</td>",
    ]
    cells += [_value_cell(row, column, found) for column in key]
    cells.append(_strip_cell(row["strip_first_day"], _to_planned_end(row), row["sleep_windows"], row["worn_hours"]))
    cells += [_value_cell(row, column, found) for column in rest]
    return f"<tr{' class=problem' * bool(found)}>" + "".join(cells) + "</tr>\n"


def _value_cell(row: Mapping[str, Any], column: ReportColumn, found: Mapping[str, str]) -> str:
    value = row[column.name]
    text = html.escape(_text(column, value))
    sort = "" if _kind(column) == "text" or value is None else f" data-v='{float(value)!r}'"
    problem = found.get(column.name)
    marked = f" class='problem' title='{html.escape(problem)}'" if problem else ""
    return f"<td{sort}{marked}>{text}</td>"


def _kind(column: ReportColumn) -> str:
    return "text" if column.dtype == "string" else "number"


def _text(column: ReportColumn, value: Any) -> str:
    if value is None:
        return ""
    if column.dtype == "boolean":
        return "yes" if value else "no"
    if column.dtype == "Float64":
        return f"{value:.6g}" if column.name.startswith("samplingrate") else f"{value:.1f}"
    return str(value)


def _to_planned_end(row: Mapping[str, Any]) -> str | None:
    """The strip with no data up to the planned end, so that an early end
    shows; a planned end beyond PLANNED_DAYS_SHOWN days adds no more."""
    strip: str | None = row["strip"]
    first_day, end = row["strip_first_day"], row["end_from_header"]
    if not strip or first_day is None or end is None:
        return strip
    planned = datetime.datetime.fromisoformat(end).replace(tzinfo=None) - datetime.datetime.fromisoformat(first_day)
    cells = -(-planned // datetime.timedelta(microseconds=CELL_US))
    days = min(-(-cells // CELLS_PER_DAY), PLANNED_DAYS_SHOWN)
    return strip.ljust(days * CELLS_PER_DAY, NO_DATA)


def _sleep_path(first_day: str, windows: str | None, days: int) -> str:
    """Each night's sleep period time window as bars along the bottom of the
    rows it covers, split at midnight."""
    if not windows:
        return ""
    origin = datetime.datetime.fromisoformat(first_day)
    bars = []
    for window in windows.split(";"):
        start, end = (datetime.datetime.fromisoformat(text) for text in window.split("/"))
        at, to = ((moment - origin) / datetime.timedelta(microseconds=CELL_US) for moment in (start, end))
        while at < to and at < days * CELLS_PER_DAY:
            day, x = divmod(at, CELLS_PER_DAY)
            width = min(to - at, CELLS_PER_DAY - x)
            bars.append(f"M{x:g} {day * (ROW + GAP) + ROW - 1:g}h{width:g}v1h-{width:g}z")
            at += width
    return f"<path class='sleep' d='{''.join(bars)}'/>" if bars else ""


def _strip_cell(first_day: str | None, strip: str | None, sleep_windows: str | None = None, worn_hours: float | None = None) -> str:
    """The days as one SVG: per kind of cell one path of its runs, and the
    nights' sleep windows. Its tooltip gives the worn hours of the epochs, as
    the worn column does, and the other kinds by their cells."""
    if not strip or first_day is None:
        return "<td data-v=''></td>"
    paths: dict[str, list[str]] = {letter: [] for letter, _ in CELL_KINDS}
    for start in range(0, len(strip), CELLS_PER_DAY):
        y = start // CELLS_PER_DAY * (ROW + GAP)
        for run in RUNS.finditer(strip, start, start + CELLS_PER_DAY):
            x, width = run.start() - start, run.end() - run.start()
            paths[run.group(1)].append(f"M{x} {y}h{width}v{ROW}h-{width}z")
    days = len(strip) // CELLS_PER_DAY
    height = days * (ROW + GAP) - GAP
    hours = Counter(strip)
    counted = {WORN: round(worn_hours, 1)} if worn_hours is not None else {}
    summary = ", ".join(f"{label} {counted.get(letter, hours[letter] / CELLS_PER_HOUR):g} h" for letter, label in CELL_KINDS if hours[letter])
    nights = len(sleep_windows.split(";")) if sleep_windows else 0
    summary += f", {nights} sleep window{'s' * (nights != 1)}" if nights else ""
    drawn = "".join(f"<path class='{CELL_CLASS[letter]}' d='{''.join(runs)}'/>" for letter, runs in paths.items() if runs)
    drawn += _sleep_path(first_day, sleep_windows, days)
    return (
        f"<td class='days' data-v='{hours[WORN] / CELLS_PER_HOUR:g}'><svg viewBox='0 0 {CELLS_PER_DAY} {height}' width='{2 * CELLS_PER_DAY}' "
        f"height='{2 * height}' preserveAspectRatio='none' role='img'><title>{days} day{'s' * (days != 1)} from {html.escape(first_day)}: {summary}</title>"
        f"{drawn}<path class='hours' d='{''.join(f'M{hour * CELLS_PER_HOUR} 0v{height}' for hour in (6, 12, 18))}'/></svg></td>"
    )
