"""Channels a block layout lacks are +0.0 (never -0.0) bit for bit, on every
path, in a recording whose layout changes from packed 3-axis to 9-axis and
back. The columns leave such zeros unwritten past what they once wrote, so
the mix of written, skipped and compacted stretches is what is checked."""

from __future__ import annotations

import numpy as np
import pytest

import grid_model
import velnora
from cwa_writer import FORMAT_AXIS9, FORMAT_PACKED, steady_recording, steady_samples

ORIGIN = 1600000000
# (first whole second, sample format, samples per block, blocks): stretches
# end to end, each long enough for full runs of resampled rows of its own.
SEGMENTS = [(ORIGIN, FORMAT_PACKED, 120, 5), (ORIGIN + 6, FORMAT_AXIS9, 20, 15), (ORIGIN + 9, FORMAT_PACKED, 120, 5)]
CHANNELS = ("acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z")


def mixed_recording(cwa_path):
    blocks = []
    for start, sample_format, per_block, count in SEGMENTS:
        blocks += steady_recording(start, count, samples_per_block=per_block, sample_format=sample_format)
    for sequence, block in enumerate(blocks):
        block.sequence_id = sequence
    return str(cwa_path(sectors=blocks))


def model_values():
    """The float32 channels from the writer's counts: acc at 1/256 g, gyro at
    2000 °/s full scale, magnetometer at 1/32768; +0.0 where a layout has no
    such channel."""
    rows = []
    for _, sample_format, per_block, count in SEGMENTS:
        n = per_block * count
        raw = np.array(steady_samples(0, n, sample_format), dtype=np.float32)
        values = np.zeros((n, 9), dtype=np.float32)
        if sample_format == FORMAT_PACKED:
            values[:, 0:3] = raw[:, 0:3] / np.float32(256)
        else:
            values[:, 0:3] = raw[:, 3:6] / np.float32(256)
            values[:, 3:6] = raw[:, 0:3] * np.float32(0.06103515625)
            values[:, 6:9] = raw[:, 6:9] / np.float32(32768)
        rows.append(values)
    return np.concatenate(rows)


def assert_bits(data, stamps, values) -> None:
    assert data["timestamp"].tolist() == stamps
    for c, key in enumerate(CHANNELS):
        assert data[key].view(np.uint32).tolist() == values[:, c].view(np.uint32).tolist(), key


@pytest.mark.parametrize(
    "k, m",
    [(None, None), (100, 1300), (700, 1500), (1000, 1500), (5, 600)],
    ids=["whole", "3-9-3", "9-3", "last-3-axis", "first-3-axis"],
)
def test_direct_read_and_seconds_cut(cwa_path, k, m) -> None:
    path = mixed_recording(cwa_path)
    # The timestamps are the reader's own: what is checked here is the values.
    stamps = velnora.read_cwa_file(path)["timestamp"].tolist()
    cut = None
    if k is not None:
        # Samples k .. m-1; sample times are exact in seconds from the first.
        end = None if m == len(stamps) else stamps[m] / 1e6 - ORIGIN
        cut = velnora.seconds(stamps[k] / 1e6 - ORIGIN, end)
    data = velnora.read_cwa_file(path, cut=cut)
    rows = slice(k, m)
    assert_bits(data, stamps[rows], model_values()[rows])


@pytest.mark.parametrize("rate", [100.0, 30.0])
def test_resampled_read(cwa_path, rate) -> None:
    path = mixed_recording(cwa_path)
    values = model_values()
    stamps = velnora.read_cwa_file(path)["timestamp"].tolist()
    points = grid_model.resample(stamps, {key: values[:, c] for c, key in enumerate(CHANNELS)}, rate)
    expected = np.array([[p.values[key] for key in CHANNELS] for p in points], dtype=np.float32)
    assert_bits(velnora.read_cwa_file(path, resample_hz=rate), [p.timestamp for p in points], expected)
