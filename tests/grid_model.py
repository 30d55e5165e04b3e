"""Independent model of the resampled grid: the whole input at once instead
of a stream, every step in float64 in the described order and each value
rounded to float32 at the end. It takes the samples as the direct read
returns them, so it shares only their decoding with the extension."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Mapping, Sequence

import numpy as np

NEGLIGIBLE = 1e-12


@dataclass
class GridPoint:
    time: float  # seconds
    timestamp: int
    segment: int  # index of the sample at the segment's left end
    method: str  # "linear" or "cubic"
    values: dict[str, float]


def grid_origin_ms(first: float, start: float | None) -> float:
    """Milliseconds of grid point 0: the window start when it is later than
    the first sample, else the first sample raised until point 0 reaches it."""
    if start is not None and start > first:
        return start * 1000.0
    origin = first * 1000.0
    while origin / 1000.0 < first:
        origin = math.nextafter(origin, math.inf)
    return origin


def grid_time(k: int, rate: float, origin_ms: float) -> float:
    return (float(k) * (1000.0 / rate) + origin_ms) / 1000.0


def linear(t: float, tb: float, tc: float, yb: float, yc: float) -> float:
    if abs(tc - tb) < NEGLIGIBLE:
        return yb
    return ((t - tb) / (tc - tb)) * (yc - yb) + yb


def cubic_denominators(ta: float, tb: float, tc: float, td: float) -> tuple[float, float, float, float]:
    return (
        ((ta - tb) * (ta - tc)) * (ta - td),
        ((tb - tc) * (tb - ta)) * (tb - td),
        ((tc - tb) * (tc - ta)) * (tc - td),
        ((td - tb) * (td - ta)) * (td - tc),
    )


def cubic(t: float, times: Sequence[float], ys: Sequence[float]) -> float:
    ta, tb, tc, td = times
    da, db, dc, dd = cubic_denominators(ta, tb, tc, td)
    na = ((t - tb) * (t - tc)) * (t - td)
    nb = ((t - ta) * (t - tc)) * (t - td)
    nc = ((t - ta) * (t - tb)) * (t - td)
    nd = ((t - ta) * (t - tb)) * (t - tc)
    terms = [(na / da) * ys[0], (nb / db) * ys[1], (nc / dc) * ys[2], (nd / dd) * ys[3]]
    return ((terms[0] + terms[1]) + terms[2]) + terms[3]


def is_cubic(i: int, times: Sequence[float]) -> bool:
    if i == 0 or i + 2 >= len(times):
        return False
    return all(abs(d) >= NEGLIGIBLE for d in cubic_denominators(*times[i - 1 : i + 3]))


def to_float32(value: float) -> float:
    return float(np.float32(value))


def seconds(timestamps: Sequence[int]) -> list[float]:
    return [int(us) / 1000000.0 for us in timestamps]


def resample(
    timestamps: Sequence[int],
    columns: Mapping[str, Sequence[float]],
    rate: float,
    start: float | None = None,
    end: float | None = None,
) -> list[GridPoint]:
    """The grid points of a whole recording: timestamps in microseconds,
    float32 columns by name."""
    times = seconds(timestamps)
    n = len(times)
    origin = grid_origin_ms(times[0], start)
    points: list[GridPoint] = []
    cursor = 0
    k = 0
    while True:
        t = grid_time(k, rate, origin)
        if end is not None and t >= end:
            return points
        j = cursor + 1
        while j < n and t > times[j]:
            j += 1
        i = j - 1 if j < n else max(n, cursor + 1) - 1
        cursor = i
        if n < 2 or i + 1 >= n or not times[i] <= t <= times[i + 1]:
            return points
        method = "cubic" if is_cubic(i, times) else "linear"
        values = {}
        for name, column in columns.items():
            if method == "cubic":
                value = cubic(t, times[i - 1 : i + 3], [float(y) for y in column[i - 1 : i + 3]])
            else:
                value = linear(t, times[i], times[i + 1], float(column[i]), float(column[i + 1]))
            values[name] = to_float32(value)
        points.append(GridPoint(t, math.trunc(t * 1000000.0), i, method, values))
        k += 1
