"""Day and recording outcomes on a writer-made schedule of three days whose
minutes at each acceleration, hours off the wrist and bouts are known, the
window and rank measures against a float64 reference of their definitions,
and each definition at its edge."""

from __future__ import annotations

import itertools
import json
import math
import os
import pathlib

import numpy as np
import numpy.typing as npt
import pytest

from children import velnora_command
from study_recordings import write_acceleration

if os.environ.get("VELNORA_TEST_EXTRAS") != "1":
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
import pandas as pd  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

from velnora_tools import EpochOptions, convert, epochs, summarise  # noqa: E402
from velnora_tools import _measures  # noqa: E402
from velnora_tools._outcome_columns import DAY_COLUMNS, RECORDING_COLUMNS  # noqa: E402
from velnora_tools.outcomes import OutcomeOptions, day_outcomes, days, outcomes  # noqa: E402

FRIDAY = 1_683_244_800  # 2023-05-05T00:00:00Z
RATE_HZ = 6.25
OFF = None
# Each day as (minutes, ENMO in mg, or OFF on a table); levels far from the cut-points 40, 100 and 400 mg.
FRIDAY_PLAN = [(420, 10), (12, 200), (288, 70), (3, 600), (717, 30)]
SATURDAY_PLAN = [(480, 10), (600, OFF), (360, 70)]
SUNDAY_PLAN = [(420, 10), (12, 200), (288, 70), (3, 600), (117, 30), (6, 200), (594, 30)]
EXPECTED = {
    # date: (valid, wear h, minutes sedentary, light, moderate, vigorous, bouts of 1, 5 and 10 min)
    "2023-05-05": (True, 24.0, 1137, 288, 12, 3, 15, 12, 12),
    "2023-05-06": (False, 14.0, 480, 360, 0, 0, 0, 0, 0),
    "2023-05-07": (True, 24.0, 1131, 288, 18, 3, 21, 18, 12),
}
EPOCHS = EpochOptions(calibration=False)


def schedule_acceleration(plan: list[tuple[int, int | None]]) -> npt.NDArray[np.float64]:
    """A wrist turning once a minute, tilted 30°, its acceleration's
    magnitude 1 g + the stretch's ENMO; off the wrist, still at 1 g."""
    levels = np.concatenate([np.full(round(minutes * 60 * RATE_HZ), math.nan if level is OFF else level / 1000) for minutes, level in plan])
    t = np.arange(len(levels)) / RATE_HZ
    turning = np.stack([0.5 * np.cos(2 * np.pi * t / 60), 0.5 * np.sin(2 * np.pi * t / 60), np.full(len(t), math.sqrt(0.75))], axis=1)
    still = np.isnan(levels)
    acc = turning * (1 + np.where(still, 0.0, levels))[:, None]
    acc[still] = (0.0, 0.0, 1.0)
    return acc


@pytest.fixture(scope="module")
def schedule(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    acc = np.concatenate([schedule_acceleration(plan) for plan in (FRIDAY_PLAN, SATURDAY_PLAN, SUNDAY_PLAN)])
    return write_acceleration(tmp_path_factory.mktemp("schedule") / "week.cwa", acc, start_s=FRIDAY)


def test_days_follow_the_schedule(schedule: pathlib.Path) -> None:
    table = days(schedule, epoch_options=EPOCHS)

    assert list(table.columns) == [column.name for column in DAY_COLUMNS]
    got = {
        row.date: (row.valid, row.wear_hours, *(round(getattr(row, f"minutes_{name}"), 6) for name in ("sedentary", "light", "moderate", "vigorous")),
                   *(round(getattr(row, f"minutes_mvpa_bouts_{m}"), 6) for m in (1, 5, 10)))
        for row in table.itertuples()
    }
    assert got == EXPECTED
    assert table["nonwear_hours"].tolist() == [0.0, 10.0, 0.0] and not table["partial"].any()
    np.testing.assert_allclose(table["enmo_mg"][0], (420 * 10 + 12 * 200 + 288 * 70 + 3 * 600 + 717 * 30) / 1440, atol=0.3)
    assert table.attrs["parameters"]["cutpoints"] == [40.0, 100.0, 400.0] and table.attrs["parameters"]["valid_hours"] == 16.0


def reference_day_measures(frame: pd.DataFrame, valid_dates: list[str]) -> dict[str, list[float]]:
    """M10, L5, MX and the intensity gradient per day, by their definitions,
    in float64: non-wear filled from the valid days' worn epochs at the same time of day."""
    enmo = frame["enmo"].to_numpy() * 1000
    worn = (frame["samples"].to_numpy() > 0) & ~frame["nonwear"].to_numpy()
    dates = frame.index.strftime("%Y-%m-%d").to_numpy()
    per_day = 17280
    by_day = {date: (enmo[dates == date], worn[dates == date]) for date in dict.fromkeys(dates)}
    stacked = np.array([np.where(w, e, np.nan) for date, (e, w) in by_day.items() if date in valid_dates])
    profile = np.nanmean(stacked, axis=0)
    found: dict[str, list[float]] = {name: [] for name in ("m10_mg", "l5_mg", "m60_mg", "m30_mg", "m15_mg", "ig_gradient")}
    for e, w in by_day.values():
        assert len(e) == per_day
        filled = np.where(w, e, profile)
        windows = {hours: np.convolve(filled, np.ones(hours * 720), "valid") / (hours * 720) for hours in (10, 5)}
        found["m10_mg"].append(windows[10].max())
        found["l5_mg"].append(windows[5].min())
        ranked = np.sort(filled)[::-1]
        for minutes in (60, 30, 15):
            found[f"m{minutes}_mg"].append(ranked[minutes * 12 - 1])
        minutes_in_bins = np.bincount(np.minimum(e[w] // 25, 160).astype(int)) / 12
        held = np.flatnonzero(minutes_in_bins)
        found["ig_gradient"].append(np.polyfit(np.log((held + 0.5) * 25), np.log(minutes_in_bins[held]), 1)[0])
    return found


def test_window_and_rank_measures_are_their_definitions(schedule: pathlib.Path) -> None:
    frame = epochs(schedule, **EPOCHS.arguments())
    table = day_outcomes(frame, OutcomeOptions(), EPOCHS).table

    reference = reference_day_measures(frame, ["2023-05-05", "2023-05-07"])
    for name, values in reference.items():
        np.testing.assert_allclose(table[name].to_numpy(dtype=float), values, rtol=1e-9, err_msg=name)
    # The most active 10 hours of Friday begin with its moderate bout at 07:00.
    assert table["m10_start"][0] == "07:00:00"


def test_the_recording_outcomes(schedule: pathlib.Path) -> None:
    table = days(schedule, epoch_options=EPOCHS)
    result = outcomes(schedule, epoch_options=EPOCHS)

    assert [name for name in result if name != "parameters"] == [column.name for column in RECORDING_COLUMNS]
    assert (result["valid_days"], result["valid_weekend_days"]) == (2, 1)
    valid = table[table["valid"]]
    assert result["minutes_moderate"] == pytest.approx(valid["minutes_moderate"].mean()) == pytest.approx(15.0)
    assert result["m10_mg"] == pytest.approx(valid["m10_mg"].mean())
    # Saturday's 10 hours off are imputed from Friday and Sunday at the same time of day.
    profile = [result[f"enmo_mg_hour_{hour:02d}"] for hour in range(24)]
    assert profile[3] == pytest.approx(10.0, abs=0.3) and profile[9] == pytest.approx(70.0, abs=0.3)
    assert 0 < result["is"] <= 1 and result["iv"] > 0


@pytest.mark.parametrize(("valid_hours", "valid"), [(14.0, [True, True, True]), (14.01, [True, False, True])])
def test_a_day_exactly_at_the_valid_hours_is_valid(schedule: pathlib.Path, valid_hours: float, valid: list[bool]) -> None:
    frame = epochs(schedule, **EPOCHS.arguments())
    assert day_outcomes(frame, OutcomeOptions(valid_hours=valid_hours), EPOCHS).table["valid"].tolist() == valid


def brute_force_bout_epochs(active: list[bool], min_epochs: int) -> int:
    covered = set()
    for i, j in itertools.combinations_with_replacement(range(len(active)), 2):
        inside = active[i : j + 1]
        if active[i] and active[j] and j - i + 1 >= min_epochs and 5 * sum(inside) >= 4 * len(inside):
            covered.update(range(i, j + 1))
    return len(covered)


@pytest.mark.parametrize(
    ("pattern", "epochs_in_bouts"),
    [
        ("AAAAIAAAAI", 9),  # 8 of 10 active through its last active epoch: 8 of 9, a bout
        ("AAAIAAAIAA", 10),  # 8 of 10: exactly 80 %
        ("AAIAAIAAIAAIA", 0),  # 9 of 13 at most: under 80 % however it is cut
        ("IAAAAAAAI", 7),
    ],
)
def test_a_bout_at_80_percent_and_under(pattern: str, epochs_in_bouts: int) -> None:
    active = np.array([c == "A" for c in pattern])
    assert _measures.bout_epochs(active, 7) == epochs_in_bouts == brute_force_bout_epochs(active.tolist(), 7)


def test_bouts_match_their_definition_on_random_days() -> None:
    rng = np.random.default_rng(8)
    for _ in range(200):
        active = rng.random(rng.integers(1, 40)) < rng.uniform(0.3, 0.95)
        length = int(rng.integers(1, 12))
        assert _measures.bout_epochs(active, length) == brute_force_bout_epochs(active.tolist(), length)


def test_a_day_in_one_bin_has_no_gradient() -> None:
    assert all(math.isnan(value) for value in _measures.intensity_gradient(np.full(100, 10.0), 1 / 12))
    assert _measures.mx(np.arange(10.0), 3) == 7.0 and math.isnan(_measures.mx(np.arange(2.0), 3))


def test_the_command_summary_and_conversion_give_the_same_outcomes(schedule: pathlib.Path, tmp_path: pathlib.Path) -> None:
    notes = tmp_path / "notes.cwa"
    notes.write_text("not a recording\n" * 100)
    out, day_table = tmp_path / "outcomes.csv", tmp_path / "days.csv"

    done = velnora_command("outcomes", schedule, notes, "-o", out, "--days", day_table, "--no-calibration", "-j", "2")

    assert done.returncode == 1 and done.stderr == f"velnora: {notes}: not a CWA recording (First block is not a metadata block)\n"
    table = pd.read_csv(out)
    assert list(table.columns) == list(summarise([notes], outcomes=True).columns)
    assert table["path"].tolist() == [str(schedule), str(notes)] and table["error"].isna().tolist() == [True, False]
    expected = outcomes(schedule, epoch_options=EPOCHS)
    assert table.loc[0, "valid_days"] == 2 and table.loc[0, "m10_mg"] == pytest.approx(expected["m10_mg"], rel=1e-12)
    assert pd.read_csv(day_table)["date"].tolist() == list(EXPECTED)
    assert json.loads((tmp_path / "outcomes.json").read_text())["parameters"]["epochs"]["calibration"] is False

    page = tmp_path / "page.html"
    from_table = velnora_command("page", out, "-o", page)
    assert (from_table.returncode, from_table.stdout) == (1, f"{page}\n") and page.read_text().count("<tr") == 3
    nothing = velnora_command("page", notes, "-o", tmp_path / "none.html", "-q")
    assert nothing.returncode == 1 and nothing.stderr.endswith("no recording could be read: no page written\n")
    assert not (tmp_path / "none.html").exists()

    summary = summarise(schedule, workers=1, outcomes=True)
    assert summary.loc[0, "valid_days"] == 2 and "worn_hours" in summary.columns
    manifest = convert([schedule], tmp_path / "days", format="days", workers=1, epoch_options=EPOCHS)
    written = pq.read_table(manifest["output"][0])
    assert written.column("date").to_pylist() == list(EXPECTED)
    assert json.loads(written.schema.metadata[b"velnora.parameters"])["valid_hours"] == 16.0
