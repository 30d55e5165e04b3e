"""A small study of writer-made recordings, as the quality page's tests and
its screenshot in the docs use it: each planned in its header for `days` days
from a midnight at 6.25 Hz, worn and moving by day, asleep in changing
postures by night (so that it calibrates), each but the first with one
problem the page marks. Deterministic: the same bytes every time.

    python tests/study_recordings.py FOLDER [DAYS]
"""

from __future__ import annotations

import pathlib
import sys
from dataclasses import dataclass
from fractions import Fraction

import numpy as np
import numpy.typing as npt

from cwa_writer import FORMAT_UNPACKED3, DataBlock, MetadataBlock, block_stamp, datetime_from_unix, sample_rate, write_cwa

START_S = 1_682_899_200  # 2023-05-01T00:00:00Z
DAY_S = 86_400
RATE_CODE = 0x46  # 6.25 Hz
PER_BLOCK = 80  # unpacked 3-axis
COUNTS_PER_G = 2048  # accelerometer range code 3 in the light field
LIGHT = 3 << 13
# A device's own error, which the calibration should find.
OFFSET_G = np.array([0.02, -0.03, 0.015])
# Six postures of a sleeping wrist, one every 25 minutes: each change moves two axes.
POSTURES = np.array([(0.1, 0.1, 0.99), (0.99, 0.1, 0.1), (0.1, -0.1, -0.99), (0.1, 0.99, 0.1), (-0.99, 0.1, 0.1), (0.1, -0.99, -0.1)])


@dataclass(frozen=True)
class Participant:
    """A recording of the study: when the data stop (a fraction of the
    planned days), when the device lay still on a table (fractions), whether
    its wearer never lies still, the fraction of the planned time at which a
    run of blocks is damaged."""

    name: str
    ends: float = 1.0
    off: tuple[tuple[float, float], ...] = ()
    restless: bool = False
    damaged_at: float | None = None


STUDY = (
    Participant("p01-good", off=((0.55, 0.62),)),
    Participant("p02-damaged", off=((0.55, 0.6),), damaged_at=0.4),
    Participant("p03-ends-early", ends=0.37),
    Participant("p04-restless", restless=True),
    Participant("p05-left-off", off=((0.3, 1.0),)),
)
NOT_A_RECORDING = "p06-not-a-recording"


def acceleration(t: npt.NDArray[np.float64], who: Participant, planned_s: float, rng: np.random.Generator) -> npt.NDArray[np.float64]:
    """(n, 3) acceleration in g at `t` seconds from the start."""
    hour = t % DAY_S / 3600
    pitch = 0.6 + 0.5 * np.sin(2 * np.pi * t / 4000.0)
    roll = -0.4 + 0.8 * np.sin(2 * np.pi * t / 7100.0 + 1.0)
    awake = np.stack([np.sin(pitch), -np.cos(pitch) * np.sin(roll), -np.cos(pitch) * np.cos(roll)], axis=1)
    awake += rng.normal(0.0, 0.12, awake.shape)
    posture = POSTURES[(t // 1500).astype(np.int64) % len(POSTURES)]
    asleep = posture / np.linalg.norm(posture, axis=1)[:, None] + rng.normal(0.0, 0.003, posture.shape)
    sleeping = ((hour < 7) | (hour >= 23)) & (not who.restless)
    acc = np.where(sleeping[:, None], asleep, awake)
    for begin, end in who.off:
        on_table = (t >= begin * planned_s) & (t < end * planned_s)
        acc[on_table] = np.array([0.0, 0.0, 1.0]) + rng.normal(0.0, 0.002, (int(on_table.sum()), 3))
    return acc


def write_participant(path: pathlib.Path, who: Participant, days: int) -> pathlib.Path:
    rate = sample_rate(RATE_CODE)
    planned_s = days * DAY_S
    blocks = int(planned_s * who.ends * rate) // PER_BLOCK
    t = np.arange(blocks * PER_BLOCK) / float(rate)
    rng = np.random.default_rng(sum(map(ord, who.name)))
    acc = acceleration(t, who, planned_s, rng) - OFFSET_G
    damaged = range(int(blocks * who.damaged_at / who.ends), int(blocks * who.damaged_at / who.ends) + 40) if who.damaged_at else range(0)
    return write_acceleration(path, acc, planned_s=planned_s, damaged=damaged, device_id=1000 + STUDY.index(who))


def write_acceleration(
    path: pathlib.Path, acc: npt.NDArray[np.float64], start_s: int = START_S, planned_s: int | None = None, damaged: range = range(0), device_id: int = 1000
) -> pathlib.Path:
    """A recording of the (n, 3) accelerations `acc` in g, sampled at 6.25 Hz
    from `start_s`, in whole blocks of 80 (a remainder is dropped), planned
    for `planned_s` (the samples' span by default); the blocks `damaged`
    written with an unsupported sample format."""
    rate = sample_rate(RATE_CODE)
    counts = np.round(acc * COUNTS_PER_G).astype("<i2")
    sectors = []
    for b in range(len(acc) // PER_BLOCK):
        first = b * PER_BLOCK
        whole, offset = block_stamp(start_s + Fraction(first) / rate, rate)
        sectors.append(
            DataBlock(
                sequence_id=b,
                timestamp=datetime_from_unix(whole),
                timestamp_offset=offset,
                rate_code=RATE_CODE,
                sample_format=0x41 if b in damaged else FORMAT_UNPACKED3,
                sample_count=PER_BLOCK,
                light=LIGHT,
                temperature=358,  # about 55 °C off the raw scale's zero: 20 °C
                sample_data=counts[first : first + PER_BLOCK].tobytes(),
            )
        )
    planned = planned_s if planned_s is not None else int(len(acc) / rate)
    header = MetadataBlock(
        device_id=device_id,
        session_id=1,
        rate_code=RATE_CODE,
        logging_start_time=datetime_from_unix(start_s),
        logging_end_time=datetime_from_unix(start_s + planned),
    )
    return write_cwa(path, header, sectors)


def write_study(folder: pathlib.Path, days: int = 7) -> list[pathlib.Path]:
    """The study's recordings in `folder`, and a file that is no recording."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = [write_participant(folder / f"{who.name}.cwa", who, days) for who in STUDY]
    broken = folder / f"{NOT_A_RECORDING}.cwa"
    broken.write_bytes(b"not a recording\n" * 100)
    return [*paths, broken]


if __name__ == "__main__":
    print(*write_study(pathlib.Path(sys.argv[1]), *map(int, sys.argv[2:3])), sep="\n")
