"""Sample unpacking and the block-level readings, through read_cwa_file on
one-block recordings whose sample bytes each test states."""

from __future__ import annotations

import ctypes
import ctypes.util

import numpy as np
import pytest

import velnora
from cwa_writer import (
    FORMAT_AXIS6,
    FORMAT_AXIS9,
    FORMAT_PACKED,
    FORMAT_UNPACKED3,
    axis6_block,
    axis9_block,
    packed_block,
    steady_recording,
    steady_samples,
    unpacked3_block,
)


GYRO = ("gyro_x", "gyro_y", "gyro_z")
MAG = ("mag_x", "mag_y", "mag_z")
# Full-scale gyro range per range code; code 7 is 8000 >> 7 = 62, not 62.5.
GYRO_RANGE = {0: 2000, 1: 4000, 2: 2000, 3: 1000, 4: 500, 5: 250, 6: 125, 7: 62}

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.powf.restype = ctypes.c_float
_libm.powf.argtypes = (ctypes.c_float, ctypes.c_float)


def scale_codes(accel: int = 0, gyro: int = 0, reading: int = 0) -> int:
    """The light field: accel scale code in bits 13-15, gyro range code in 10-12."""
    return accel << 13 | gyro << 10 | reading


def read(cwa_path, *sectors, name: str = "rec.cwa", **kwargs) -> dict:
    return velnora.read_cwa_file(str(cwa_path(sectors=sectors, name=name)), **kwargs)


# --- accelerometer ------------------------------------------------------------


@pytest.mark.parametrize(
    "field, exponent, accel_code, expected",
    [
        (0x1FF, 3, 0, 15.96875),  # 511 * 8 / 256
        (0x200, 3, 0, -16.0),  # -512 * 8 / 256
        (0x3FF, 0, 0, -0.00390625),  # -1 / 256
        (0x3FF, 2, 0, -0.015625),  # -1 * 4 / 256: the sign survives the scaling shift
        (256, 0, 0, 1.0),
        (256, 0, 1, 0.5),
        (0x1FF, 3, 7, 0.124755859375),  # 511 * 8 / 32768
    ],
)
def test_packed_axis_values(cwa_path, field, exponent, accel_code, expected) -> None:
    # The field on each axis in turn, so a misread bit range shows on the wrong axis.
    samples = [(field, 0, 0, exponent), (0, field, 0, exponent), (0, 0, field, exponent)]
    data = read(cwa_path, packed_block(samples, light=scale_codes(accel=accel_code)))
    assert data["acc_x"].tolist() == [expected, 0.0, 0.0]
    assert data["acc_y"].tolist() == [0.0, expected, 0.0]
    assert data["acc_z"].tolist() == [0.0, 0.0, expected]


def _acc_sample(sample_format: int, x: int, y: int, z: int) -> tuple[int, ...]:
    """An unpacked sample with the given accelerometer counts, zeros elsewhere."""
    if sample_format == FORMAT_UNPACKED3:
        return (x, y, z)
    if sample_format == FORMAT_AXIS6:
        return (0, 0, 0, x, y, z)
    return (0, 0, 0, x, y, z, 0, 0, 0)


_UNPACKED_BLOCKS = {FORMAT_UNPACKED3: unpacked3_block, FORMAT_AXIS6: axis6_block, FORMAT_AXIS9: axis9_block}


@pytest.mark.parametrize("sample_format", list(_UNPACKED_BLOCKS), ids=["3-axis", "6-axis", "9-axis"])
@pytest.mark.parametrize(
    "raw, accel_code, expected",
    [(256, 0, 1.0), (256, 1, 0.5), (-32768, 7, -1.0), (32767, 0, 127.99609375), (1, 7, 2.0**-15)],
)
def test_unpacked_accelerometer_scale(cwa_path, sample_format, raw, accel_code, expected) -> None:
    samples = [_acc_sample(sample_format, *axes) for axes in ((raw, 0, 0), (0, raw, 0), (0, 0, raw))]
    block = _UNPACKED_BLOCKS[sample_format](samples, light=scale_codes(accel=accel_code))
    data = read(cwa_path, block)
    assert data["acc_x"].tolist() == [expected, 0.0, 0.0]
    assert data["acc_y"].tolist() == [0.0, expected, 0.0]
    assert data["acc_z"].tolist() == [0.0, 0.0, expected]


# --- gyroscope ----------------------------------------------------------------


@pytest.mark.parametrize("code", [0, 2])
def test_gyro_worked_example_differs_between_layouts(cwa_path, code) -> None:
    light = scale_codes(gyro=code)
    six = read(cwa_path, axis6_block([(1000, 0, 0, 0, 0, 0)], light=light), name="six.cwa")
    nine = read(cwa_path, axis9_block([(1000, 0, 0, 0, 0, 0, 0, 0, 0)], light=light), name="nine.cwa")
    # 1000 / 16.384000778198242 in float32, against the exact 1000 * 2000 / 32768.
    assert six["gyro_x"].tolist() == [61.035152435302734]
    assert nine["gyro_x"].tolist() == [61.03515625]


@pytest.mark.parametrize("code", sorted(GYRO_RANGE))
def test_gyro_scale_for_every_range_code(cwa_path, code) -> None:
    raws = [(1000, -32768, 32767), (-1, 1, 12345)]
    light = scale_codes(gyro=code)
    six = read(cwa_path, axis6_block([(*r, 0, 0, 0) for r in raws], light=light), name="six.cwa")
    nine = read(cwa_path, axis9_block([(*r, 0, 0, 0, 0, 0, 0) for r in raws], light=light), name="nine.cwa")
    full_scale = np.float32(GYRO_RANGE[code])
    raw = np.array(raws, dtype=np.float32)
    six_expected = raw / (np.float32(32768.0) / full_scale)
    nine_expected = raw * (full_scale * np.float32(2.0**-15))
    for axis, key in enumerate(GYRO):
        assert six[key].tolist() == six_expected[:, axis].tolist()
        assert nine[key].tolist() == nine_expected[:, axis].tolist()


def test_gyro_code_7_is_range_62(cwa_path) -> None:
    data = read(cwa_path, axis9_block([(1000, 0, 0, 0, 0, 0, 0, 0, 0)], light=scale_codes(gyro=7)))
    assert data["gyro_x"].tolist() == [1000 * 62 / 32768]  # 62.5 would give 1.9073486328125


# --- magnetometer and absent channels -----------------------------------------


def test_axis9_magnetometer_present_only_when_requested(cwa_path) -> None:
    path = cwa_path(
        sectors=[axis9_block([(0, 0, 0, 0, 0, 0, 16384, -32768, 1), (0, 0, 0, 0, 0, 0, -1, 32767, 0)])]
    )
    data = velnora.read_cwa_file(str(path))
    assert data["mag_x"].tolist() == [0.5, -1 / 32768]
    assert data["mag_y"].tolist() == [-1.0, 32767 / 32768]
    assert data["mag_z"].tolist() == [1 / 32768, 0.0]
    without = velnora.read_cwa_file(str(path), include_magnetometer=False)
    assert not set(MAG) & without.keys()


@pytest.mark.parametrize(
    "block",
    [
        packed_block([(5, -7, 300, 1)] * 2),
        unpacked3_block([(5, -7, 300)] * 2),
        axis6_block([(100, -200, 300, 5, -7, 300)] * 2),
    ],
    ids=["packed", "3-axis", "6-axis"],
)
def test_channels_a_layout_lacks_are_positive_zero(cwa_path, block) -> None:
    data = read(cwa_path, block)
    absent = MAG if block.sample_format == FORMAT_AXIS6 else GYRO + MAG
    for key in absent:
        assert data[key].tolist() == [0.0, 0.0]
        assert not np.signbit(data[key]).any()


# --- many samples, every layout ------------------------------------------------


@pytest.mark.parametrize(
    "sample_format, per_block",
    [(FORMAT_PACKED, 120), (FORMAT_UNPACKED3, 80), (FORMAT_AXIS6, 40), (FORMAT_AXIS9, 26)],
    ids=["packed", "3-axis", "6-axis", "9-axis"],
)
def test_full_blocks_decode_every_sample_in_order(cwa_path, sample_format, per_block) -> None:
    blocks = steady_recording(1600000000, 3, samples_per_block=per_block, sample_format=sample_format)
    data = read(cwa_path, *blocks)
    raw = np.array(steady_samples(0, 3 * per_block, sample_format), dtype=np.float32)
    if sample_format == FORMAT_PACKED:
        # The steady packed samples use exponent 0, so the counts are the fields.
        acc = raw[:, 0:3] / np.float32(256)
    elif sample_format == FORMAT_UNPACKED3:
        acc = raw / np.float32(256)
    else:
        acc = raw[:, 3:6] / np.float32(256)
    for axis, key in enumerate(("acc_x", "acc_y", "acc_z")):
        assert data[key].tolist() == acc[:, axis].tolist()
    if sample_format == FORMAT_AXIS6:
        gyro = raw[:, 0:3] / np.float32(16.384)
    elif sample_format == FORMAT_AXIS9:
        gyro = raw[:, 0:3] * np.float32(0.06103515625)
    else:
        gyro = np.zeros((len(raw), 3), dtype=np.float32)
    mag = raw[:, 6:9] / np.float32(32768) if sample_format == FORMAT_AXIS9 else np.zeros_like(gyro)
    for axis in range(3):
        assert data[GYRO[axis]].tolist() == gyro[:, axis].tolist()
        assert data[MAG[axis]].tolist() == mag[:, axis].tolist()


# --- block-level readings -------------------------------------------------------


@pytest.mark.parametrize(
    "field, expected",
    [(256, 25.0), (0, -50.0), (0x3FF, 249.70703125), (0xFC00 | 256, 25.0)],  # top 6 bits ignored
)
def test_temperature(cwa_path, field, expected) -> None:
    data = read(cwa_path, packed_block([(0, 0, 0, 0)] * 2, temperature=field))
    assert data["temperature"].tolist() == [expected, expected]


@pytest.mark.parametrize("field, expected", [(170, 3.99609375), (0, 3.0), (255, 4.494140625)])
def test_battery(cwa_path, field, expected) -> None:
    data = read(cwa_path, packed_block([(0, 0, 0, 0)] * 2, battery=field))
    assert data["battery"].tolist() == [expected, expected]


@pytest.mark.parametrize("reading", [0, 1, 100, 341, 500, 682, 1000, 1023])
@pytest.mark.parametrize("codes", [0, scale_codes(accel=7, gyro=7)], ids=["no-codes", "codes-set"])
def test_light_is_single_precision_powf(cwa_path, reading, codes) -> None:
    data = read(cwa_path, packed_block([(0, 0, 0, 0)] * 2, light=codes | reading))
    exponent = np.float32(reading) / np.float32(341.0)
    expected = _libm.powf(10.0, float(exponent))
    assert data["light"].tolist() == [expected, expected]


def test_readings_repeat_within_a_block_and_change_between_blocks(cwa_path) -> None:
    first, second = steady_recording(1600000000, 2, samples_per_block=3)
    first.temperature, first.battery, first.light = 256, 170, 0
    second.temperature, second.battery, second.light = 0, 0, 341
    data = read(cwa_path, first, second)
    assert data["temperature"].tolist() == [25.0] * 3 + [-50.0] * 3
    assert data["battery"].tolist() == [3.99609375] * 3 + [3.0] * 3
    assert data["light"].tolist() == [1.0] * 3 + [10.0] * 3
