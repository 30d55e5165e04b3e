"""Every column of the day, night and recording outcomes, declared once: its
name (with its unit in it), unit, one-line definition, source paper and what
the project settles that the paper leaves open. The data dictionary page
(docs/data-dictionary.md), the docstrings and the tests' column lists are
made from these."""

from __future__ import annotations

from typing import NamedTuple


class OutcomeColumn(NamedTuple):
    name: str
    unit: str
    definition: str
    source: str = ""
    settled: str = ""
    dtype: str = "Float64"


ROWLANDS_2018 = "Rowlands AV et al. Med Sci Sports Exerc 50:1323–1332, 2018"
ROWLANDS_2019 = "Rowlands AV et al. J Sci Med Sport 22:1132–1138, 2019"
VAN_HEES_2013 = "van Hees VT et al. PLoS ONE 8:e61691, 2013"
HILDEBRAND_2014 = "Hildebrand M et al. Med Sci Sports Exerc 46:1816–1824, 2014"
WITTING_1990 = "Witting W et al. Biol Psychiatry 27:563–572, 1990"
VAN_SOMEREN_1999 = "van Someren EJW et al. Chronobiol Int 16:505–518, 1999"
WORN = "worn epochs: epochs holding samples that non-wear did not flag"
FILLED = (
    "the day's 24 h of ENMO on the epoch grid, every epoch not worn (non-wear, no samples, outside the "
    "recording) filled with the mean of the valid days' worn epochs at the same time of day"
)

DAY_COLUMNS = (
    OutcomeColumn("date", "", "the calendar day, midnight to midnight on the recording's wall clock", dtype="string"),
    OutcomeColumn("partial", "", "the recording begins after the day's midnight or ends before its end", dtype="boolean"),
    OutcomeColumn("valid", "", "wear_hours at least valid_hours (16 by default)", dtype="boolean"),
    OutcomeColumn("wear_hours", "h", "time in worn epochs", settled=WORN),
    OutcomeColumn("nonwear_hours", "h", "time within the recording not worn: flagged non-wear, or without samples"),
    OutcomeColumn("samples", "", "samples in the day's epochs", dtype="Int64"),
    OutcomeColumn("enmo_mg", "mg", "mean ENMO over the day's worn epochs", VAN_HEES_2013),
    OutcomeColumn("mad_mg", "mg", "mean MAD over the day's worn epochs", "Vähä-Ypyä H et al. Clin Physiol Funct Imaging 35:64–70, 2015"),
    *(
        OutcomeColumn(
            f"minutes_{name}",
            "min",
            f"worn epochs whose ENMO (or MAD, cutpoint_metric) lies in {bounds}",
            HILDEBRAND_2014,
            "cut-points 40, 100 and 400 mg by default (cutpoints), as wrist studies commonly set them after this paper",
        )
        for name, bounds in (
            ("sedentary", "[0, c1)"),
            ("light", "[c1, c2)"),
            ("moderate", "[c2, c3)"),
            ("vigorous", "[c3, ∞)"),
        )
    ),
    *(
        OutcomeColumn(
            f"minutes_mvpa_bouts_{length}",
            "min",
            f"time in bouts of at least {length} min in which at least 80 % of the epochs are worn and at or above c2, "
            "each bout beginning and ending on such an epoch",
            "",
            "the epochs of every such stretch count once; bouts end at midnight; non-wear epochs are below c2",
        )
        for length in (1, 5, 10)
    ),
    OutcomeColumn("m10_mg", "mg", "highest mean ENMO over any 10 h window of the day", VAN_SOMEREN_1999, FILLED),
    OutcomeColumn("m10_start", "", "the start of that window (HH:MM:SS; the earliest on ties)", dtype="string"),
    OutcomeColumn("l5_mg", "mg", "lowest mean ENMO over any 5 h window of the day", VAN_SOMEREN_1999, FILLED),
    OutcomeColumn("l5_start", "", "the start of that window (HH:MM:SS; the earliest on ties)", dtype="string"),
    *(
        OutcomeColumn(f"m{minutes}_mg", "mg", f"the ENMO above which the day's most active {minutes} minutes lie", ROWLANDS_2019, FILLED)
        for minutes in (60, 30, 15)
    ),
    OutcomeColumn(
        "ig_gradient",
        "",
        "intensity gradient: slope of ln(minutes) on ln(bin midpoint, mg) over 25 mg bins of the worn epochs' ENMO",
        ROWLANDS_2018,
        "bins [0, 25), [25, 50), … up to 4000 mg, then one bin from 4000 mg (midpoint 4012.5); bins holding time only; "
        "NaN with fewer than two",
    ),
    OutcomeColumn("ig_intercept", "", "the intercept of that line", ROWLANDS_2018),
    OutcomeColumn("ig_r2", "", "the share of the variance of ln(minutes) that line explains", ROWLANDS_2018),
)

# Of the day columns, those whose means over valid days the recording's outcomes carry.
DAY_MEANS = tuple(
    column
    for column in DAY_COLUMNS
    if column.dtype == "Float64" and column.name not in ("samples",)
)

VAN_HEES_2015 = "van Hees VT et al. PLoS ONE 10:e0142533, 2015"
VAN_HEES_2018 = "van Hees VT et al. Sci Rep 8:12975, 2018"
INACTIVE = "sustained inactivity: epochs in runs of at least 5 min in which the z angle changes by at most 5° from one epoch to the next"

NIGHT_COLUMNS = (
    OutcomeColumn("night", "", "the night from noon to noon on the recording's wall clock, named by the evening's date", dtype="string"),
    OutcomeColumn("partial", "", "the recording begins after the noon or ends before the next", dtype="boolean"),
    OutcomeColumn(
        "spt_threshold_deg",
        "°",
        "the threshold on the 5-min rolling median of the z angle's change: its 10th percentile over the worn epochs "
        "from noon to noon × 15",
        VAN_HEES_2018,
        "0 (a night of stillness) takes 0.13°; with clamp, kept within [0.13°, 0.50°]",
    ),
    OutcomeColumn(
        "spt_start",
        "",
        "the sleep period time window's start: the longest block of runs under the threshold lasting 30 min or more, "
        "joined over gaps under 60 min (wall clock, YYYY-MM-DDTHH:MM:SS)",
        VAN_HEES_2018,
        "the z angle from the axes' medians over a centred 5 s; the rolling median over the 61 epochs within 2.5 min; "
        "non-wear is never under the threshold",
        dtype="string",
    ),
    OutcomeColumn("spt_end", "", "its end (exclusive)", VAN_HEES_2018, dtype="string"),
    OutcomeColumn("spt_hours", "h", "the window's length", VAN_HEES_2018),
    OutcomeColumn("sleep_hours", "h", "time in sustained inactivity within the window", VAN_HEES_2015, INACTIVE),
    OutcomeColumn("waso_minutes", "min", "the window's time not asleep (spt_hours − sleep_hours, in minutes)"),
    OutcomeColumn("awakenings", "", "runs of wake within the window with sleep before and after them", dtype="Int64"),
    OutcomeColumn("sleep_efficiency", "", "sleep_hours / spt_hours"),
    OutcomeColumn("nonwear_hours", "h", "time from noon to noon within the recording not worn"),
    OutcomeColumn("valid", "", "a window found, and at least valid_hours (16) worn from noon to noon", dtype="boolean"),
)

# Of the night columns, those whose means over valid nights the recording's outcomes carry.
NIGHT_MEANS = tuple(column for column in NIGHT_COLUMNS if column.name in ("spt_hours", "sleep_hours", "waso_minutes", "awakenings", "sleep_efficiency"))

RECORDING_COLUMNS = (
    OutcomeColumn("valid_days", "", "days with wear_hours at least valid_hours", dtype="Int64"),
    OutcomeColumn("valid_weekend_days", "", "valid days that are a Saturday or a Sunday", dtype="Int64"),
    *(
        OutcomeColumn(column.name, column.unit, f"mean over valid days of the day's {column.name}", column.source)
        for column in DAY_MEANS
    ),
    OutcomeColumn(
        "enmo_24h_mg",
        "mg",
        "mean over the times of day of the mean ENMO of the valid days' worn epochs at that time: non-wear imputed "
        "from the same time of day on other days",
        "",
        "times of day on the epoch grid; a time no valid day wore is left out",
    ),
    OutcomeColumn(
        "is",
        "",
        "interdaily stability of the hourly mean ENMO",
        WITTING_1990,
        "hours of the valid days in date order, of the filled series (non-wear imputed as for M10); NaN under two valid days",
    ),
    OutcomeColumn(
        "iv",
        "",
        "intradaily variability of the hourly mean ENMO",
        VAN_SOMEREN_1999,
        "the same hours, a gap between valid days joined as if none were between",
    ),
    *(
        OutcomeColumn(f"enmo_mg_hour_{hour:02d}", "mg", f"the 24-hour profile: mean ENMO from {hour:02d}:00 to {hour + 1:02d}:00, as enmo_24h_mg")
        for hour in range(24)
    ),
    OutcomeColumn("valid_nights", "", "nights with a sleep period time window and at least 16 worn hours from noon to noon", dtype="Int64"),
    *(
        OutcomeColumn(column.name, column.unit, f"mean over valid nights of the night's {column.name}", column.source)
        for column in NIGHT_MEANS
    ),
)


def dictionary_markdown() -> str:
    """The data dictionary page: each table's columns with unit, definition,
    source and what the project settles."""
    parts = [
        "# Data dictionary\n\n",
        "Every column of `velnora_tools.days`, `velnora_tools.nights`, `velnora_tools.outcomes` (and `velnora outcomes`), made from the "
        "one declaration the code uses. The parameters that change a number travel with the result: "
        "`frame.attrs[\"parameters\"]`, the Parquet files' metadata (`velnora.parameters`) and the JSON file "
        "beside a CSV table. See [Outcomes](outcomes.md) and [Sleep](sleep.md) for the methods.\n\n",
    ]
    tables = (("Per day (`days`)", DAY_COLUMNS), ("Per night (`nights`)", NIGHT_COLUMNS), ("Per recording (`outcomes`)", RECORDING_COLUMNS))
    for title, columns in tables:
        parts.append(f"## {title}\n\n| column | unit | definition | source | settled here |\n|---|---|---|---|---|\n")
        parts += [f"| `{c.name}` | {c.unit} | {c.definition} | {c.source} | {c.settled} |\n" for c in columns]
        parts.append("\n")
    return "".join(parts)
