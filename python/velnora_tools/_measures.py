"""The definitions behind the day and recording outcomes, on plain arrays of
epochs: time in intensity classes, bouts, the most and least active windows,
MX, the intensity gradient and the rest-activity rhythm. Each is settled as
docs/outcomes.md states it; sums run in float64 in a fixed order."""

from __future__ import annotations

import math
import numpy as np
import numpy.typing as npt

Floats = npt.NDArray[np.float64]
Flags = npt.NDArray[np.bool_]

# Intensity gradient: 25 mg bins up to 4000 mg, then one open bin, its midpoint as if 25 mg wide.
IG_BIN_MG = 25.0
IG_LAST_EDGE_MG = 4000.0


def class_epochs(values_mg: Floats, worn: Flags, cutpoints: tuple[float, float, float]) -> list[int]:
    """Worn epochs whose value lies in [0, c1), [c1, c2), [c2, c3) and [c3, ∞)."""
    edges = [-math.inf, *cutpoints, math.inf]
    kept = values_mg[worn]
    return [int(((kept >= low) & (kept < high)).sum()) for low, high in zip(edges[:-1], edges[1:])]


def bout_epochs(active: Flags, min_epochs: int, share: tuple[int, int] = (4, 5)) -> int:
    """Epochs lying in a bout: a stretch of at least `min_epochs` that begins
    and ends on an active epoch and in which at least share[0]/share[1] of
    the epochs are active (80 % by default, compared in whole numbers). The
    epochs of every such stretch count once, however many hold them.

    For each active start i the longest such stretch from it reaches the
    last active epoch before the last k with P[k] >= P[i], where P[k] =
    share[1] × (active epochs before k) − share[0] × k; every stretch from i
    lies inside it."""
    n = len(active)
    if n == 0 or min_epochs < 1:
        return 0
    counts = np.concatenate(([0], np.cumsum(active, dtype=np.int64)))
    p = share[1] * counts - share[0] * np.arange(n + 1, dtype=np.int64)
    suffix_max = np.maximum.accumulate(p[::-1])[::-1]
    starts = np.flatnonzero(active)
    # The last k with suffix_max[k] >= p[i]: suffix_max never rises.
    last_k = np.searchsorted(-suffix_max, -p[starts], side="right") - 1
    last_active = np.maximum.accumulate(np.where(active, np.arange(n), -1))
    ends = last_active[last_k - 1]
    long_enough = ends - starts + 1 >= min_epochs
    cover = np.zeros(n + 1, np.int64)
    np.add.at(cover, starts[long_enough], 1)
    np.add.at(cover, ends[long_enough] + 1, -1)
    return int((np.cumsum(cover[:-1]) > 0).sum())


def extreme_window(values: Floats, window: int, highest: bool) -> tuple[float, int]:
    """The highest (or lowest) mean over `window` consecutive values and the
    index where that window starts, the earliest on ties; (NaN, -1) when
    there are fewer values than the window."""
    if window < 1 or len(values) < window:
        return math.nan, -1
    sums = np.concatenate(([0.0], np.cumsum(values)))
    means = (sums[window:] - sums[:-window]) / window
    start = int(np.argmax(means) if highest else np.argmin(means))
    return float(means[start]), start


def mx(values: Floats, top: int) -> float:
    """The value above which the `top` highest values lie: the top-th
    highest; NaN for fewer values."""
    if top < 1 or len(values) < top:
        return math.nan
    return float(np.partition(values, len(values) - top)[len(values) - top])


def intensity_gradient(values_mg: Floats, epoch_minutes: float) -> tuple[float, float, float]:
    """(gradient, intercept, r²) of the least-squares line of ln(minutes) on
    ln(bin midpoint), over the 25 mg bins holding time; NaN without two such bins."""
    bins = np.minimum(np.floor(np.maximum(values_mg, 0.0) / IG_BIN_MG), IG_LAST_EDGE_MG / IG_BIN_MG).astype(np.int64)
    minutes = np.bincount(bins) * epoch_minutes
    held = np.flatnonzero(minutes > 0)
    if len(held) < 2:
        return math.nan, math.nan, math.nan
    x = np.log((held + 0.5) * IG_BIN_MG)
    y = np.log(minutes[held])
    gradient, intercept = np.polyfit(x, y, 1)
    residual = y - (gradient * x + intercept)
    total = ((y - y.mean()) ** 2).sum()
    r2 = 1.0 - (residual**2).sum() / total if total > 0 else math.nan
    return float(gradient), float(intercept), float(r2)


def interdaily_stability(hourly: Floats) -> float:
    """IS of hourly values, one row per day (Witting et al. 1990): the
    variance of the mean 24-hour profile over the variance of all hours;
    NaN under two days or without variance."""
    if len(hourly) < 2:
        return math.nan
    values = hourly.reshape(-1)
    spread = ((values - values.mean()) ** 2).sum()
    if not spread > 0:
        return math.nan
    profile = hourly.mean(axis=0)
    return float(len(values) * ((profile - values.mean()) ** 2).sum() / (hourly.shape[1] * spread))


def intradaily_variability(hourly: Floats) -> float:
    """IV of hourly values in time order (van Someren et al. 1999): the mean
    squared step between successive hours over the variance; NaN under two
    hours or without variance."""
    values = hourly.reshape(-1)
    if len(values) < 2:
        return math.nan
    spread = ((values - values.mean()) ** 2).sum()
    if not spread > 0:
        return math.nan
    return float(len(values) * (np.diff(values) ** 2).sum() / ((len(values) - 1) * spread))


def share_parts(share: float) -> tuple[int, int]:
    """A bout's share as a fraction of whole numbers (0.8 as 4/5), so that
    the comparison is exact."""
    from fractions import Fraction

    fraction = Fraction(share).limit_denominator(1000)
    return fraction.numerator, fraction.denominator
