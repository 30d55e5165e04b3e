"""The rules that mark a recording's cell in the study's quality page as a
problem, each with the sentence that states it for that recording."""

from __future__ import annotations

import datetime
from collections.abc import Mapping
from typing import Any

from velnora_tools.activity import WORN_DAY_HOURS
from velnora_tools.damaged import damage_in_words, out_of_place_in_words

LATE_HOURS = 1.0
RATE_TOLERANCE = 0.01
CALIBRATION_LIMIT_MG = 10.0
DEFAULT_WORN_DAYS = 4


def rule_texts(min_worn_days: int) -> list[str]:
    """The rules as the page and the docs list them."""
    return [
        f"data ending more than {LATE_HOURS:g} hour before the planned end (the header's end), "
        f"or starting more than {LATE_HOURS:g} hour after the planned start",
        f"a data rate more than {RATE_TOLERANCE * 100:g} % from the header's",
        "damaged data blocks (read past, counted)",
        "data blocks whose time is out of place, or samples timed before an earlier one (left out, counted)",
        f"calibration failed, or its error after calibration above {CALIBRATION_LIMIT_MG:g} mg",
        f"fewer than {min_worn_days} days with at least {WORN_DAY_HOURS} worn hours",
        "a read that failed: its message",
    ]


def problems(row: Mapping[str, Any], min_worn_days: int) -> dict[str, str]:
    """The problem cells of a summary row (plain values, None where missing):
    the column each marks and the sentence for it."""
    found: dict[str, str] = {}
    if row["error"] is not None:
        found["error"] = f"the read failed: {row['error']}"
    late_end = _hours_between(row["end_from_data"], row["end_from_header"])
    if late_end is not None and late_end > LATE_HOURS:
        found["end_from_data"] = f"data ends {_hours(late_end)} before the planned end"
    late_start = _hours_between(row["start_from_header"], row["start_from_data"])
    if late_start is not None and late_start > LATE_HOURS:
        found["start_from_data"] = f"data starts {_hours(late_start)} after the planned start"
    data_hz, header_hz = row["samplingrate_hz_from_data"], row["samplingrate_hz_from_header"]
    if data_hz is not None and header_hz and abs(data_hz - header_hz) > RATE_TOLERANCE * header_hz:
        found["samplingrate_hz_from_data"] = (
            f"data rate {data_hz:.4g} Hz, {abs(data_hz - header_hz) / header_hz * 100:.1f} % from the header's {header_hz:g} Hz"
        )
    if row["damaged_blocks"]:
        found["damaged_blocks"] = f"{damage_in_words(row['damaged_blocks'], row.get('damaged_samples'))} left out"
    misplaced, out_of_order = row.get("out_of_place_blocks"), row.get("samples_out_of_order")
    if misplaced:
        found["out_of_place_blocks"] = f"{out_of_place_in_words(misplaced, row.get('out_of_place_samples') or 0)} left out"
    if out_of_order:
        found["samples_out_of_order"] = f"{out_of_order} sample{'s' * (out_of_order != 1)} timed before an earlier one left out"
    if row.get("calibrated") is False:
        reason = row.get("calibration_reason")
        found["calibrated"] = "calibration failed" + ("" if reason is None else f": {reason}")
    error_after = row.get("calibration_error_after_mg")
    if error_after is not None and error_after > CALIBRATION_LIMIT_MG:
        found["calibration_error_after_mg"] = f"error after calibration {error_after:.1f} mg, above {CALIBRATION_LIMIT_MG:g} mg"
    days = row.get("days_16h_worn")
    if days is not None and days < min_worn_days:
        found["days_16h_worn"] = f"{days} day{'s' * (days != 1)} with at least {WORN_DAY_HOURS} worn hours, fewer than {min_worn_days}"
    return found


def counted(min_worn_days: int) -> list[tuple[str, tuple[str, ...]]]:
    """The counts at the top of the page: each title with the columns whose
    problems it counts."""
    return [
        ("failed to read", ("error",)),
        ("with damaged blocks", ("damaged_blocks",)),
        ("with samples left out for their time", ("out_of_place_blocks", "samples_out_of_order")),
        ("ending early", ("end_from_data",)),
        ("not calibrated", ("calibrated", "calibration_error_after_mg")),
        (f"fewer than {min_worn_days} days with at least {WORN_DAY_HOURS} worn hours", ("days_16h_worn",)),
    ]


def _hours_between(earlier: str | None, later: str | None) -> float | None:
    if earlier is None or later is None:
        return None
    step = datetime.datetime.fromisoformat(later) - datetime.datetime.fromisoformat(earlier)
    return step / datetime.timedelta(hours=1)


def _hours(hours: float) -> str:
    return f"{hours:.0f} h" if hours >= 10 else f"{hours:.1f} h"
