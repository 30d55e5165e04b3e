"""Each night's sleep on writer-made nights whose postures are set: still
postures held 20 to 45 minutes from 23:00 to 07:00, a night interrupted
awake, a night off the wrist; the sleep methods' z angle against a
reference of its definition; each rule at its edge."""

from __future__ import annotations

import math
import os
import pathlib

import numpy as np
import numpy.typing as npt
import pytest

import velnora
from study_recordings import write_acceleration

if os.environ.get("VELNORA_TEST_EXTRAS") != "1":
    pytest.importorskip("pandas")
import pandas as pd  # noqa: E402

from velnora_tools import EpochOptions, epochs, nights  # noqa: E402
from velnora_tools._outcome_columns import NIGHT_COLUMNS  # noqa: E402
from velnora_tools.sleep import SleepOptions, longest_joined_run, sleep_period_window, sustained_inactivity  # noqa: E402

NOON = 1_682_942_400  # 2023-05-01T12:00:00Z
RATE_HZ = 6.25
HOUR = 3600


def moving(seconds: float, rng: np.random.Generator) -> npt.NDArray[np.float64]:
    """A wrist awake: its tilt swinging by 60° every 40 s, with noise."""
    t = np.arange(round(seconds * RATE_HZ)) / RATE_HZ
    pitch = np.radians(60) * np.sin(2 * np.pi * t / 40) + rng.normal(0, 0.2, len(t))
    return np.stack([np.cos(pitch), np.zeros(len(t)), np.sin(pitch)], axis=1) + rng.normal(0, 0.05, (len(t), 3))


def still_postures(seconds: float, rng: np.random.Generator) -> npt.NDArray[np.float64]:
    """Asleep: a posture held 20 to 45 minutes, then another."""
    parts, left = [], seconds
    while left > 0:
        held = min(left, rng.uniform(20, 45) * 60)
        direction = rng.normal(size=3)
        parts.append(np.tile(direction / np.linalg.norm(direction), (round(held * RATE_HZ), 1)))
        left -= held
    still = np.concatenate(parts)
    return still + rng.normal(0, 0.003, still.shape)


def on_a_table(seconds: float, rng: np.random.Generator) -> npt.NDArray[np.float64]:
    return np.tile([0.0, 0.0, 1.0], (round(seconds * RATE_HZ), 1)) + rng.normal(0, 0.002, (round(seconds * RATE_HZ), 3))


@pytest.fixture(scope="module")
def three_nights(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """From noon on 1 May: asleep 23:00-07:00; asleep 23:00-07:00 but awake
    02:00-02:50; off the wrist 22:00-08:00 on the third night."""
    rng = np.random.default_rng(12)
    parts = [
        moving(11 * HOUR, rng), still_postures(8 * HOUR, rng), moving(16 * HOUR, rng),
        still_postures(3 * HOUR, rng), moving(50 * 60, rng), still_postures(4 * HOUR + 10 * 60, rng),
        moving(15 * HOUR, rng), on_a_table(10 * HOUR, rng), moving(4 * HOUR, rng),
    ]  # fmt: skip
    return write_acceleration(tmp_path_factory.mktemp("nights") / "nights.cwa", np.concatenate(parts), start_s=NOON)


def clock(text: str | None) -> float:
    """Hours from the first noon."""
    assert text is not None
    return (pd.Timestamp(text) - pd.Timestamp(NOON, unit="s")) / pd.Timedelta(hours=1)


def test_each_nights_window_and_sleep(three_nights: pathlib.Path) -> None:
    table = nights(three_nights, epoch_options=EpochOptions(calibration=False))

    assert list(table.columns) == [column.name for column in NIGHT_COLUMNS]
    assert table["night"].tolist() == ["2023-05-01", "2023-05-02", "2023-05-03"]
    first, interrupted, off = (table.iloc[i] for i in range(3))
    for night, evening in ((first, 11), (interrupted, 35)):
        assert abs(clock(night["spt_start"]) - evening) < 0.5 and abs(clock(night["spt_end"]) - (evening + 8)) < 0.5
        assert night["valid"] and night["nonwear_hours"] == 0
    # A turn to the next posture is an epoch or two of wake: seconds each.
    assert first["sleep_hours"] >= 6.5 and first["waso_minutes"] < 10 and first["awakenings"] >= 1
    # The 50 minutes awake are joined into the window, as wake within it.
    assert 6.5 <= interrupted["sleep_hours"] <= 7.3 and 50 <= interrupted["waso_minutes"] < 60
    assert interrupted["waso_minutes"] == pytest.approx((interrupted["spt_hours"] - interrupted["sleep_hours"]) * 60)
    # Off the wrist: non-wear is never sleep; the night is not valid.
    assert off["nonwear_hours"] >= 9.5 and not off["valid"]
    assert off["spt_start"] is None or not (34 + 24 - 2 < clock(off["spt_start"]) < 34 + 24 + 8)


def test_the_sleep_angle_is_the_mean_angle_of_the_rolling_medians(three_nights: pathlib.Path) -> None:
    frame = epochs(three_nights, calibration=False, anglez_median=True, cut=velnora.blocks(0, 3000))
    data = velnora.read_cwa_file(str(three_nights), cut=velnora.blocks(0, 3000))
    # At 6.25 Hz, 5 s is 15 samples either side: a centred window of 31, fewer at the ends.
    medians = [pd.Series(data[f"acc_{axis}"].astype(np.float64)).rolling(31, center=True, min_periods=1).median() for axis in "xyz"]
    angle = np.degrees(np.arctan2(medians[2], np.hypot(medians[0], medians[1])))
    expected = pd.Series(angle.to_numpy()).groupby(data["timestamp"] // 5_000_000).mean().to_numpy()
    np.testing.assert_allclose(frame["anglez_median"].to_numpy(), expected, rtol=0, atol=1e-9)


def test_sustained_inactivity_lasts_five_minutes() -> None:
    worn = np.ones(200, bool)
    angle = np.zeros(200)
    angle[[40, 100, 159]] = 30.0  # turns: runs of 40, 59 epochs and more
    inactive = sustained_inactivity(angle, worn, 5.0, 60)
    assert not inactive[:101].any() and inactive[101:159].sum() == 0 and inactive[160:].all() == (200 - 160 >= 60)
    angle[[40, 100, 159]] = 5.0  # a change of exactly 5° keeps a run going
    assert sustained_inactivity(angle, worn, 5.0, 60).all()


@pytest.mark.parametrize(("gap", "joined"), [(719, True), (720, False)])
def test_runs_join_over_gaps_under_an_hour(gap: int, joined: bool) -> None:
    # 5 s epochs: runs of 30 minutes are 360 epochs, gaps of an hour 720.
    below = np.concatenate([np.ones(400, bool), np.zeros(gap, bool), np.ones(500, bool), np.zeros(10, bool), np.ones(359, bool)])
    window = longest_joined_run(below, 360, 720)
    assert window == ((0, 400 + gap + 500) if joined else (400 + gap, 400 + gap + 500))


@pytest.mark.parametrize(("clamp", "threshold"), [(False, 0.13), (True, 0.13)])
def test_a_threshold_of_zero_falls_back(clamp: bool, threshold: float) -> None:
    angle = np.zeros(17280)
    window, found = sleep_period_window(angle, np.ones(17280, bool), SleepOptions(clamp=clamp), 5.0)
    assert found == threshold and window == (0, 17280)


def test_the_threshold_is_clamped_when_asked() -> None:
    rng = np.random.default_rng(3)
    angle = np.cumsum(rng.normal(0, 2.0, 17280))  # a wrist never still: a high threshold
    _, free = sleep_period_window(angle, np.ones(17280, bool), SleepOptions(), 5.0)
    _, clamped = sleep_period_window(angle, np.ones(17280, bool), SleepOptions(clamp=True), 5.0)
    assert free > 0.5 and clamped == 0.5 and not math.isnan(free)
