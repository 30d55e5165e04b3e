"""Independent model of block timing for the tests: the natural bounds of a
data block in the mixed float32/float64 arithmetic that defines them, and the
report's last-sample time and RFC 3339 text, computed here from the described
steps rather than from the extension."""

from __future__ import annotations

import datetime as _dt
import math

import numpy as np

_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)


def natural_bounds(unix_s: int, offset: int, count: int, rate_code: int) -> tuple[float, float]:
    """(start, end) in seconds of a block stamped `unix_s` with `timestampOffset`
    `offset`: offset and duration in float32, the sums in float64, in order."""
    rate = np.float32(3200.0) * np.float32(2.0 ** -(15 - (rate_code & 0x0F)))
    q = -np.float32(offset) / rate
    whole = np.floor(q)
    fraction = q - whole
    assert q.dtype == whole.dtype == fraction.dtype == np.float32
    start = (float(whole) + float(unix_s)) + float(fraction)
    duration = np.float32(count) / rate
    return start, start + float(duration)


def to_us(seconds: float) -> int:
    """Seconds to whole microseconds, truncated toward zero."""
    return math.trunc(seconds * 1000000.0)


def last_sample_us(start: float, end: float, count: int) -> int:
    """Time of a block's last sample as the report computes it: the span is
    divided first, then scaled by count - 1, then offset by start."""
    return to_us((count - 1) * ((end - start) / count) + start)


def rfc3339_us(us: int) -> str:
    """RFC 3339 text of a microsecond timestamp: no fraction when it is zero,
    three digits for whole milliseconds, six otherwise, offset "+00:00"."""
    seconds, micros = divmod(us, 1000000)
    text = (_EPOCH + _dt.timedelta(seconds=seconds)).strftime("%Y-%m-%dT%H:%M:%S")
    if micros % 1000 == 0 and micros:
        text += f".{micros // 1000:03d}"
    elif micros:
        text += f".{micros:06d}"
    return text + "+00:00"
