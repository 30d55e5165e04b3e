"""The exact cut of decoded samples to a seconds window, through
read_cwa_file with seconds cuts.

A seconds cut reads whole blocks plus one on each side; these tests check that
exactly the samples with start <= t < end come back, t being the timestamp in
seconds. Bounds are chosen as t_k - origin of a sample k of the uncut read:
both are near 1.6e9 s, so the difference is exact and origin + (t_k - origin)
gives back t_k exactly."""

from __future__ import annotations

import pytest

import velnora
from cwa_writer import steady_recording


ORIGIN = 1600000000  # the first block sits on this whole second, offset 0
BLOCKS = 5
PER_BLOCK = 120


@pytest.fixture
def recording(cwa_path):
    """Five steady 100 Hz blocks whose readings differ per block, and their
    uncut read."""
    blocks = steady_recording(ORIGIN, BLOCKS)
    for b, block in enumerate(blocks):
        block.temperature = 256 + b
        block.light = 100 * b
    path = str(cwa_path(sectors=blocks))
    full = velnora.read_cwa_file(path)
    assert full["timestamp"][0] == ORIGIN * 1_000_000
    return path, full


def seconds_of(full, k: int) -> float:
    """Sample k's time as a seconds-cut value."""
    return int(full["timestamp"][k]) / 1_000_000 - ORIGIN


def assert_rows(data, full, rows: slice) -> None:
    assert list(data) == list(full)
    for key in full:
        assert data[key].tolist() == full[key][rows].tolist(), key


@pytest.mark.parametrize(
    "k, m",
    [(0, 1), (130, 250), (119, 121), (239, 599), (360, 361)],
    ids=["first", "across-blocks", "block-edge", "to-last", "one-sample"],
)
def test_window_keeps_start_and_drops_end(recording, k, m) -> None:
    path, full = recording
    data = velnora.read_cwa_file(path, cut=velnora.seconds(seconds_of(full, k), seconds_of(full, m)))
    assert_rows(data, full, slice(k, m))


@pytest.mark.parametrize("k", [1, 300])
def test_only_start_keeps_everything_from_it(recording, k) -> None:
    path, full = recording
    data = velnora.read_cwa_file(path, cut=velnora.seconds(seconds_of(full, k)))
    assert_rows(data, full, slice(k, None))


@pytest.mark.parametrize("m", [1, 300])
def test_only_end_keeps_everything_before_it(recording, m) -> None:
    path, full = recording
    data = velnora.read_cwa_file(path, cut=velnora.seconds(end=seconds_of(full, m)))
    assert_rows(data, full, slice(None, m))


def test_both_bounds_absent_keeps_every_sample(recording) -> None:
    path, full = recording
    assert_rows(velnora.read_cwa_file(path, cut=velnora.seconds()), full, slice(None))


def test_optional_columns_stay_as_requested(recording) -> None:
    path, full = recording
    k, m = 100, 260
    data = velnora.read_cwa_file(
        path,
        cut=velnora.seconds(seconds_of(full, k), seconds_of(full, m)),
        include_magnetometer=False,
        include_light=False,
        include_battery=False,
    )
    assert list(data) == ["timestamp", "acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z", "temperature"]
    for key in data:
        assert data[key].tolist() == full[key][k:m].tolist(), key


def test_window_between_two_samples_leaves_nothing(recording) -> None:
    path, full = recording
    k = 250
    start = (seconds_of(full, k) + seconds_of(full, k + 1)) / 2
    with pytest.raises(RuntimeError) as exc:
        velnora.read_cwa_file(path, cut=velnora.seconds(start, seconds_of(full, k + 1)))
    assert str(exc.value) == "No samples remain after applying time range"


def test_bounds_that_collapse_to_one_absolute_time_are_rejected(recording) -> None:
    path, _ = recording
    # Distinct as seconds from the origin, equal once the origin is added.
    start, end = 0.5, 0.5 + 1e-9
    assert ORIGIN + start == ORIGIN + end
    with pytest.raises(RuntimeError) as exc:
        velnora.read_cwa_file(path, cut=velnora.seconds(start, end))
    assert str(exc.value) == "range_end_time must be greater than range_start_time"
