"""velnora_tools.calibrate and epochs: a known calibration recovered, non-wear
on a known still stretch, ENMO, MAD and anglez of a sinusoid from their
closed forms, and the same epochs however the recording is split."""

from __future__ import annotations

import importlib.util
import math
import pathlib
import pickle
import sys
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt
import pytest

import velnora
from cwa_writer import FORMAT_UNPACKED3, DataBlock, MetadataBlock, datetime_from_unix, write_cwa

if importlib.util.find_spec("velnora_tools") is None:  # a build tree, not an install
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))

pd = pytest.importorskip("pandas")

from velnora_tools import Calibration, DamagedBlock, DamagedRecording, Nonwear, calibrate, epochs  # noqa: E402

START = 1_600_000_200  # a multiple of 15 minutes, 10 s and 5 s
PER_BLOCK = 80  # unpacked 3-axis
COUNTS_PER_G = 2048  # accelerometer range code 3 in the light field
RATE_CODES = {25: 0x48, 100: 0x4A}


def temperature_field(celsius: float) -> int:
    return round((celsius + 50.0) * 256 / 75)


def celsius(field: int) -> float:
    return field * 75 / 256 - 50.0


def write_motion(
    path: pathlib.Path,
    acc: npt.NDArray[np.float64],
    rate_hz: int = 25,
    temperature: npt.NDArray[np.int64] | None = None,
    damaged: Sequence[int] = (),
    pause: tuple[int, int] = (0, 0),
) -> pathlib.Path:
    """A recording of the (n, 3) accelerations `acc` in g from START, n a
    multiple of 80, block b at the block temperature field `temperature[b]`;
    the blocks `damaged` are written with an unsupported sample format; with
    `pause` = (block, seconds) the device stops for that long before that block."""
    counts = np.clip(np.round(acc * COUNTS_PER_G), -32768, 32767).astype("<i2")
    blocks: list[DataBlock] = []
    for b in range(len(acc) // PER_BLOCK):
        first = b * PER_BLOCK  # every block starts a whole number of periods after a whole second
        whole, periods = divmod(first, rate_hz)
        whole += pause[1] if b >= pause[0] else 0
        blocks.append(
            DataBlock(
                sequence_id=b,
                timestamp=datetime_from_unix(START + whole),
                timestamp_offset=-periods,
                rate_code=RATE_CODES[rate_hz],
                sample_format=0x41 if b in damaged else FORMAT_UNPACKED3,
                sample_count=PER_BLOCK,
                light=3 << 13,
                temperature=temperature_field(20.0) if temperature is None else int(temperature[b]),
                sample_data=counts[first : first + PER_BLOCK].tobytes(),
            )
        )
    return write_cwa(path, MetadataBlock(rate_code=RATE_CODES[rate_hz]), blocks)


def sphere_postures(count: int, one_side: bool = False) -> npt.NDArray[np.float64]:
    """`count` unit vectors spread over the sphere (a Fibonacci lattice), or
    over the half with z > 0.35."""
    k = np.arange(count) + 0.5
    z = 0.35 + 0.65 * k / count if one_side else 1 - 2 * k / count
    azimuth = math.pi * (3 - math.sqrt(5)) * k
    ring = np.sqrt(1 - z**2)
    return np.stack([ring * np.cos(azimuth), ring * np.sin(azimuth), z], axis=1)


def held_still(postures: npt.NDArray[np.float64], seconds: int, rate_hz: int, noise_g: float) -> npt.NDArray[np.float64]:
    """Each posture held for `seconds`, with Gaussian noise."""
    rng = np.random.default_rng(7)
    acc = np.repeat(postures, seconds * rate_hz, axis=0)
    return acc + rng.normal(0.0, noise_g, acc.shape)


OFFSET = np.array([0.021, -0.034, 0.012])
SCALE = np.array([1.018, 0.983, 1.007])
SLOPE = np.array([0.0012, -0.0021, 0.0009])  # g per °C


REFERENCE = 25.0  # °C, of the true slopes


def device_recording(
    path: pathlib.Path, postures: npt.NDArray[np.float64], held_s: Sequence[int], celsius_held: Sequence[float], slope: npt.NDArray[np.float64]
) -> pathlib.Path:
    """What a device with OFFSET, SCALE and `slope` (g/°C) records at 25 Hz
    holding each posture for its seconds at its temperature, so that
    OFFSET + SCALE × raw + slope × (T − REFERENCE) is the posture; a block
    takes its first sample's temperature."""
    rng = np.random.default_rng(7)
    true = np.repeat(postures, [25 * s for s in held_s], axis=0)
    true = (true + rng.normal(0.0, 0.004, true.shape))[: len(true) // PER_BLOCK * PER_BLOCK]
    per_sample = np.repeat(celsius_held, [25 * s for s in held_s])
    fields = np.array([temperature_field(per_sample[b * PER_BLOCK]) for b in range(len(true) // PER_BLOCK)])
    block_celsius = np.repeat([celsius(f) for f in fields], PER_BLOCK)
    raw = (true - OFFSET - slope * (block_celsius[:, None] - REFERENCE)) / SCALE
    return write_motion(path, raw, temperature=fields)


def error_on_the_sphere_mg(result: Calibration, slope: npt.NDArray[np.float64], temperature: float) -> float:
    """The largest distance, over unit vectors spread on the sphere, of what
    the calibration makes of a device's reading at `temperature` from the truth."""
    truth = sphere_postures(200)
    raw = (truth - OFFSET - slope * (temperature - REFERENCE)) / SCALE
    calibrated = np.array(result.offset) + np.array(result.scale) * raw + np.array(result.temperature_slope) * (temperature - result.reference_temperature)
    return float(1000 * np.linalg.norm(calibrated - truth, axis=1).max())


@pytest.mark.parametrize("warming", [False, True], ids=["constant temperature", "temperature term"])
def test_a_known_offset_gain_and_temperature_slope_are_recovered(tmp_path: pathlib.Path, warming: bool) -> None:
    postures = sphere_postures(24)
    # Six 10 s windows per posture; warming, each posture at its own
    # temperature between 15 and 35 °C, uncorrelated with its direction.
    held = np.random.default_rng(3).permutation(np.linspace(15, 35, len(postures))) if warming else np.full(len(postures), 20.0)
    slope = SLOPE if warming else np.zeros(3)
    path = device_recording(tmp_path / "rec.cwa", postures, [60] * len(postures), held, slope)

    result = calibrate(path)

    assert result.calibrated and result.reason is None and result.temperature_fitted == warming
    # Six per posture, as the windows lie on multiples of 10 s; a step in temperature may cost one.
    assert result.still_windows >= 24 * 6 - 1 and result.clipped_windows == 0
    assert result.error_after_mg < 1.0 < result.error_before_mg
    # The fit refers its offset to the still windows' mean temperature.
    expected_offset = OFFSET + slope * (result.reference_temperature - REFERENCE)
    np.testing.assert_allclose(result.offset, expected_offset, atol=0.001)
    np.testing.assert_allclose(result.scale, SCALE, rtol=0.001)
    np.testing.assert_allclose(result.temperature_slope, slope, atol=0.0001)
    assert pickle.loads(pickle.dumps(result)) == result

    # Applied by epochs: the still postures then lie on the unit sphere, and
    # ENMO falls to that of the noise alone, 4 mg / √(2π).
    frame = epochs(path, nonwear=False)
    assert frame.attrs["calibration"] == result.as_dict()
    assert frame["enmo"].mean() < 0.0018 < 0.005 < epochs(path, calibration=False, nonwear=False)["enmo"].mean()


NIGHTS = sphere_postures(30)


@pytest.mark.parametrize(
    ("held", "slope", "fitted"),
    [
        # No temperature dependence; the only cool windows lie on a table, in one posture.
        ([*np.random.default_rng(4).uniform(30.6, 31.4, len(NIGHTS)), 22.0], np.zeros(3), False),
        # An offset that drifts by 1 mg/°C over night postures spread over 3 °C.
        ([*np.random.default_rng(5).uniform(29.0, 32.0, len(NIGHTS)), 30.5], np.full(3, 0.001), True),
    ],
    ids=["cool on a table only", "drifting offset"],
)
def test_a_temperature_term_only_where_the_postures_determine_it(
    tmp_path: pathlib.Path, held: list[float], slope: npt.NDArray[np.float64], fitted: bool
) -> None:
    postures = np.vstack([NIGHTS, [(0.0, 0.0, 1.0)]])
    path = device_recording(tmp_path / "rec.cwa", postures, [60] * len(NIGHTS) + [1200], held, slope)

    result = calibrate(path)

    assert result.calibrated and result.temperature_fitted == fitted
    assert fitted or "with each posture left out of the fit in turn" in str(result.temperature_reason)
    for temperature in (min(held), max(held)):
        assert error_on_the_sphere_mg(result, slope, temperature) <= 0.5


def test_a_stuck_axis_is_left_out_of_the_fit(tmp_path: pathlib.Path) -> None:
    postures = np.vstack([sphere_postures(24), [(0.0, 0.3, 2.5)]])  # z stuck at 2.5 g in the last
    path = device_recording(tmp_path / "rec.cwa", postures, [60] * 25, [20.0] * 25, np.zeros(3))

    result = calibrate(path)

    assert result.calibrated and result.clipped_windows == 5  # the last window, cut short, is no window
    assert error_on_the_sphere_mg(result, np.zeros(3), 20.0) <= 0.5


def test_postures_on_one_side_are_not_calibrated(tmp_path: pathlib.Path) -> None:
    path = write_motion(tmp_path / "rec.cwa", held_still(sphere_postures(12, one_side=True), 40, 25, 0.004) * 1.05)

    result = calibrate(path)

    assert not result.calibrated
    assert result.reason is not None and "axis z" in result.reason and "below -0.3 g" in result.reason
    assert (result.offset, result.scale, result.temperature_slope) == ((0.0,) * 3, (1.0,) * 3, (0.0,) * 3)
    assert result.still_windows == 12 * 4
    assert result.error_before_mg == pytest.approx(50.0, abs=1.0)


def test_restless_recording_has_no_still_window(tmp_path: pathlib.Path) -> None:
    acc = np.random.default_rng(1).normal(0.0, 0.3, (25 * 120, 3)) + (0, 0, 1)
    result = calibrate(write_motion(tmp_path / "rec.cwa", acc))
    assert (result.calibrated, result.still_windows, result.reason) == (False, 0, "no still 10 s window")
    assert math.isnan(result.error_before_mg) and math.isnan(result.error_after_mg)


def moving_or_still(minutes: int, still: range, rate_hz: int = 25) -> npt.NDArray[np.float64]:
    """Lying still (noise 2 mg) in the minutes of `still`, moving (noise 150 mg) in the rest."""
    rng = np.random.default_rng(11)
    minute = np.arange(minutes * 60 * rate_hz) // (60 * rate_hz)
    noise = np.where(np.isin(minute, still), 0.002, 0.15)
    return np.array([0.0, 0.0, 1.0]) + rng.normal(0.0, 1.0, (len(minute), 3)) * noise[:, None]


CENTRED = Nonwear(rule="2013", rescore=False)


@pytest.mark.parametrize(
    ("minutes", "still", "nonwear_blocks", "rule"),
    [
        # Whole windows: every 60-minute window from a 15-minute bound that lies
        # in the still stretch marks its four blocks: the stretch, blocks 4 to 11.
        (240, range(60, 180), list(range(4, 12)), Nonwear()),
        # Centred: a block is judged on the hour from 22.5 min before it to 22.5 min after it.
        (240, range(60, 180), [6, 7, 8, 9], CENTRED),
        (240, range(0), [], Nonwear()),
        # The windows holding 30 minutes or more of a 45-minute recording: judged.
        (45, range(45), [0, 1, 2], Nonwear()),
        (45, range(45), [0, 1, 2], CENTRED),
        # 25 minutes: under half of every window, so nothing can be judged.
        (25, range(25), [], Nonwear()),
        (25, range(25), [], CENTRED),
    ],
)
def test_nonwear_on_exactly_the_blocks_whose_windows_lie_in_the_still_stretch(
    tmp_path: pathlib.Path, minutes: int, still: range, nonwear_blocks: list[int], rule: Nonwear
) -> None:
    frame = epochs(write_motion(tmp_path / "rec.cwa", moving_or_still(minutes, still)), epoch_seconds=60, calibration=False, nonwear=rule)

    block = (frame.index - pd.Timestamp(START, unit="s")) // pd.Timedelta(minutes=15)
    assert sorted(set(block[frame["nonwear"]])) == nonwear_blocks
    periods = frame.attrs["nonwear_periods"]
    expected = (
        [[str(pd.Timestamp(START + 900 * nonwear_blocks[0], unit="s")), str(pd.Timestamp(START + 900 * (nonwear_blocks[-1] + 1), unit="s"))]]
        if nonwear_blocks
        else []
    )
    assert periods == expected and frame.attrs["nonwear"] == rule.as_dict()


def test_stretches_off_the_wrist_are_flagged_end_to_end_and_short_wear_between_rescored(tmp_path: pathlib.Path) -> None:
    """36 hours: off the wrist for 4 h and for 10 h, neither on 15-minute
    bounds; an hour worn between 10 h and 6 h off, which re-scoring turns to
    non-wear; 8 h worn between 4 h and 10 h off, which it keeps."""
    off = [(127, 367), (847, 1447), (1507, 1867)]  # minutes
    path = write_motion(tmp_path / "day.cwa", moving_or_still(36 * 60, np.concatenate([np.arange(a, b) for a, b in off])))
    minute = np.arange(36 * 60)
    truly_off = np.isin(minute, np.concatenate([np.arange(a, b) for a, b in off]))

    for rescore in (False, True):
        frame = epochs(path, epoch_seconds=60, calibration=False, nonwear=Nonwear(rescore=rescore))
        flagged = frame["nonwear"].to_numpy()
        assert (flagged & ~truly_off).sum() - 60 * rescore < 15
        for a, b in off if not rescore else [(127, 367), (847, 1867)]:
            run = np.flatnonzero(flagged[a - 30 : b + 30]) + a - 30
            assert abs(run[0] - a) < 15 and abs(run[-1] + 1 - b) < 15
        # The hour worn between 10 h and 6 h off.
        assert flagged[1447:1507].all() == rescore and not flagged[367:847].any()


@pytest.mark.parametrize("elevation_deg", [90.0, 30.0, -50.0])
def test_sinusoid_gives_enmo_mad_and_anglez_in_closed_form(tmp_path: pathlib.Path, elevation_deg: float) -> None:
    # |a| = 1 + A sin(2π t) along a fixed direction: ENMO = A / π, MAD = 2A / π, anglez = the elevation.
    amplitude, rate_hz = 0.5, 100
    t = np.arange(120 * rate_hz) / rate_hz
    elevation = math.radians(elevation_deg)
    direction = np.array([math.cos(elevation) * 0.6, math.cos(elevation) * 0.8, math.sin(elevation)])
    acc = (1 + amplitude * np.sin(2 * math.pi * t + 0.3))[:, None] * direction
    frame = epochs(write_motion(tmp_path / "rec.cwa", acc, rate_hz=rate_hz), calibration=False, nonwear=False)

    assert len(frame) == 24 and (frame["samples"] == 500).all()
    np.testing.assert_allclose(frame["enmo"], amplitude / math.pi, rtol=1e-3)
    np.testing.assert_allclose(frame["mad"], 2 * amplitude / math.pi, rtol=1e-3)
    np.testing.assert_allclose(frame["anglez"], elevation_deg, atol=0.05)


@pytest.mark.parametrize("frequency_hz", [2.0, 25.0, 35.0])
def test_the_lowpass_scales_a_sinusoid_by_the_squared_butterworth_response(tmp_path: pathlib.Path, frequency_hz: float) -> None:
    # |a| = 1 + A sin(2π f t) along z; forwards and backwards, the 4th-order
    # Butterworth (bilinear, prewarped) scales it by 1 / (1 + (tan(πf/fs) / tan(πfc/fs))^8).
    amplitude, rate_hz, cutoff_hz = 0.2, 100, 20.0
    t = np.arange(60 * rate_hz) / rate_hz
    acc = np.zeros((len(t), 3))
    acc[:, 2] = 1 + amplitude * np.sin(2 * math.pi * frequency_hz * t)
    path = write_motion(tmp_path / "rec.cwa", acc, rate_hz=rate_hz)
    gain = 1 / (1 + (math.tan(math.pi * frequency_hz / rate_hz) / math.tan(math.pi * cutoff_hz / rate_hz)) ** 8)

    frame = epochs(path, calibration=False, nonwear=False, lowpass_hz=cutoff_hz)

    # ENMO, the mean of its positive part over an epoch's samples; inner
    # epochs, as the ends hold the first and last reading; counts round to 0.5 mg.
    expected = np.maximum(amplitude * gain * np.sin(2 * math.pi * frequency_hz * t[:500]), 0).mean()
    np.testing.assert_allclose(frame["enmo"][1:-1], expected, rtol=0.02, atol=0.0003)
    assert frame.attrs["lowpass_hz"] == cutoff_hz
    with pytest.raises(RuntimeError, match=r"^lowpass_hz must be under half of the sampling rate \(100 Hz\)$"):
        epochs(path, lowpass_hz=50.0)
    with pytest.raises(ValueError, match="lowpass_hz must be a positive number of Hz"):
        epochs(path, lowpass_hz=-1.0)


GIVEN = Calibration(offset=(0.01, -0.02, 0.005), scale=(1.01, 0.99, 1.0), temperature_slope=(0.001, 0.0, -0.002), reference_temperature=21.0)


def with_gap(tmp_path: pathlib.Path) -> pathlib.Path:
    """40 minutes of motion at 25 Hz, nothing for 97 s, then 20 minutes more."""
    acc = np.array([0.1, -0.2, 0.95]) + np.random.default_rng(5).normal(0.0, 0.2, (60 * 60 * 25, 3))
    fields = np.arange(len(acc) // PER_BLOCK) % 40 + 230
    return write_motion(tmp_path / "rec.cwa", acc, temperature=fields, pause=(40 * 60 * 25 // PER_BLOCK, 97))


def test_epochs_are_the_same_bits_whole_in_pieces_and_cut(tmp_path: pathlib.Path) -> None:
    path = with_gap(tmp_path)
    whole = epochs(path, calibration=GIVEN, nonwear=False)

    gap = whole[whole["samples"] == 0]
    assert len(gap) == 19 and gap[["enmo", "mad", "anglez"]].isna().all().all()
    assert whole["samples"].sum() == 60 * 60 * 25
    pieces = [epochs(path, calibration=GIVEN, nonwear=False, cut=velnora.seconds(a, b)) for a, b in ((0, 1200), (1200, 4000))]
    pd.testing.assert_frame_equal(pd.concat(pieces), whole, check_exact=True)
    middle = epochs(path, calibration=GIVEN, nonwear=False, cut=velnora.seconds(600, 1800))
    pd.testing.assert_frame_equal(middle, whole.loc[middle.index[0] : middle.index[-1]], check_exact=True)
    assert len(middle) == 240


def test_damaged_block_is_passed_over(tmp_path: pathlib.Path) -> None:
    acc = np.array([0.0, 0.6, 0.8]) + np.random.default_rng(2).normal(0.0, 0.1, (25 * 600, 3))
    good = epochs(write_motion(tmp_path / "good.cwa", acc), calibration=GIVEN)
    path = write_motion(tmp_path / "damaged.cwa", acc, damaged=(100,))  # samples 8000-8079: 320 s to 323.2 s
    for failing in (lambda: epochs(path, calibration=GIVEN), lambda: epochs(path), lambda: calibrate(path)):
        with pytest.raises(DamagedRecording, match=r"^data block 100 is damaged \(Unsupported sample format") as failed:
            failing()
        assert failed.value.block == 100 and "skip_damaged=True" in failed.value.__notes__[0]

    frame = epochs(path, calibration=GIVEN, skip_damaged=True)

    assert frame.attrs["damaged_blocks"] == [DamagedBlock(100, "Unsupported sample format: 4 axes, packing 1", False, 80)]
    hit = (frame.index >= pd.Timestamp(START + 320, unit="s")) & (frame.index < pd.Timestamp(START + 323.2, unit="s"))
    assert hit.sum() == 1
    assert frame["samples"][hit].item() == good["samples"][hit].item() - 80
    pd.testing.assert_frame_equal(frame[~hit], good[~hit], check_exact=True)



def test_epoch_length_must_be_whole_microseconds(tmp_path: pathlib.Path) -> None:
    path = write_motion(tmp_path / "rec.cwa", np.zeros((PER_BLOCK, 3)))
    for bad in (0.0, -5.0, 1e-7, math.nan, math.inf):
        with pytest.raises(ValueError, match="epoch_seconds"):
            epochs(path, epoch_seconds=bad)


def test_samples_timed_before_earlier_ones_are_left_out(tmp_path: pathlib.Path) -> None:
    # After damage a block keeps its own start: here 10 s back, into time already covered.
    acc = np.tile([0.0, 0.0, 1.0], (10 * PER_BLOCK, 1))
    path = write_motion(tmp_path / "rec.cwa", acc, damaged=(5,), pause=(6, -10))

    frame = epochs(path, calibration=False, nonwear=False, skip_damaged=True)

    # Blocks 0-4 end with a sample at 15.96 s; block 6 starts at 9.2 s: its samples before 15.96 s go.
    assert frame.attrs["samples_out_of_order"] == 169
    assert frame["samples"].sum() == 9 * PER_BLOCK - 169


@pytest.mark.parametrize(
    ("damaged", "pause", "cut"),
    [
        # A damaged block in each half, and a pause of 7 s just after the middle.
        ((1000, 3500), (2260, 7), None),
        ((1000, 3500), (2260, 7), velnora.seconds(1000, 12000)),
        # After damage past the seam the clock goes back 2000 s, before the seam time.
        ((1000, 2699), (2700, -2000), None),
    ],
    ids=["whole", "cut", "clock set back"],
)
def test_two_threads_give_the_bits_of_one(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, damaged: tuple[int, int], pause: tuple[int, int], cut: object
) -> None:
    """A long range is shared by two threads where it may; with
    VELNORA_THREADS=1 one thread does it all. The results are the same,
    windows over samples either side of the seam too."""
    acc = moving_or_still(240, range(60, 180))  # 4500 blocks, past the split threshold
    path = write_motion(tmp_path / "rec.cwa", acc, damaged=damaged, pause=pause)

    def both() -> tuple[Calibration, pd.DataFrame, pd.DataFrame]:
        windowed = epochs(path, cut=cut, skip_damaged=True, anglez_median=True, lowpass_hz=2.0, nonwear=False)
        return calibrate(path, cut=cut, skip_damaged=True), epochs(path, cut=cut, skip_damaged=True), windowed

    shared = both()
    monkeypatch.setenv("VELNORA_THREADS", "1")
    alone = both()
    assert shared[0] == alone[0] and shared[0].still_windows > 0
    for made in (1, 2):
        pd.testing.assert_frame_equal(shared[made], alone[made], check_exact=True)
        assert shared[made].attrs == alone[made].attrs
    assert len(alone[1].attrs["damaged_blocks"]) == 2
    assert (alone[1].attrs["samples_out_of_order"] > 0) == (pause[1] < 0)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ((0, (0.0,) * 10), "epoch_us must be positive and at most 2**62"),
        ((1 << 63, (0.0,) * 10), "epoch_us must be positive and at most 2**62"),
        ((5_000_000, (0.0,) * 9), "argument 'calibration': expected a sequence of 10 floats"),
        ((5_000_000, (0.0,) * 10, None, (0, 0.013, 0.05, 2)), "argument 'nonwear': expected None or a sequence of 5 numbers"),
    ],
)
def test_the_private_epochs_call_names_a_wrong_argument(tmp_path: pathlib.Path, arguments: tuple[object, ...], message: str) -> None:
    from velnora_tools import _native

    with pytest.raises(ValueError) as raised:
        _native.epochs(str(write_motion(tmp_path / "rec.cwa", np.zeros((PER_BLOCK, 3)))), *arguments)
    assert str(raised.value) == message
