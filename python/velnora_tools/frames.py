"""A reading of `velnora.read_cwa_file` as a pandas DataFrame or an Arrow table,
sharing the reading's memory."""

from __future__ import annotations

import datetime
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from velnora_tools._distribution import require

if TYPE_CHECKING:
    import pandas as pd
    import pyarrow as pa

Columns = Mapping[str, "npt.NDArray[np.int64] | npt.NDArray[np.float32]"]
# "present": without the columns of a sensor the recording does not carry;
# "all": every column read.
Channels = Literal["present", "all"]
# The columns of each sensor beside the accelerometer, left out together.
SENSOR_COLUMNS = (("gyro_x", "gyro_y", "gyro_z"), ("mag_x", "mag_y", "mag_z"))
# Zero tests look at this many values at a time, so that a column holding
# samples answers at its first stretch.
_ZERO_TEST_ROWS = 1 << 20

# Going back this far inside a repeated local hour is the clock being set back
# at the end of daylight time: daylight shifts are 30 minutes or more, while the
# recorded times of one pass only ever go back by the reader's corrections.
_CLOCK_SET_BACK_US = 60_000_000


def wall_clock(columns: Columns) -> npt.NDArray[np.datetime64]:
    """The `timestamp` column as datetime64[us], a view of the same memory."""
    return columns["timestamp"].view("datetime64[us]")


def chosen_channels(columns: Columns, channels: Channels) -> Columns:
    """`columns`, with `channels` "present" without the three columns of the
    gyroscope or of the magnetometer where they hold only zeros. A reading
    gives such columns exactly where no data block read carries the sensor
    (values that are all exactly zero lose nothing when left out)."""
    if not carried_only(channels):
        return columns
    absent = [sensor for sensor in SENSOR_COLUMNS if all(name in columns and only_zeros(columns[name]) for name in sensor)]
    left_out = {name for sensor in absent for name in sensor}
    return {name: column for name, column in columns.items() if name not in left_out}


def carried_only(channels: Channels) -> bool:
    """Whether `channels` leaves out the sensors a recording lacks; a
    ValueError for anything but "present" and "all"."""
    if channels not in ("present", "all"):
        raise ValueError(f'channels must be "present" or "all", not {channels!r}')
    return channels == "present"


def only_zeros(column: npt.NDArray[np.generic]) -> bool:
    """Whether every value is zero, looked at a stretch at a time."""
    return not any(column[start : start + _ZERO_TEST_ROWS].any() for start in range(0, len(column), _ZERO_TEST_ROWS))


def to_pandas(columns: Columns, tz: str | datetime.tzinfo | None = None, channels: Channels = "present") -> pd.DataFrame:
    """A DataFrame of a `velnora.read_cwa_file` result: one column per channel,
    indexed by a DatetimeIndex (datetime64[us]) named "timestamp". With
    `channels` "present" (the default) the gyroscope and magnetometer columns
    of a device without that sensor are left out: a sensor whose three columns
    hold only zeros, which is what a reading gives where no data block carries
    it. "all" keeps every column of the reading.

    The index and the value columns share the arrays' memory; nothing is copied
    unless `tz` is given, which builds a new index.

    The recording's clock is a wall clock: `timestamp` holds the local date and
    time the device showed, counted as if it were UTC. `tz` (a zone name such as
    "Europe/London" or a tzinfo) says which zone that clock showed, and the index
    becomes the true instants in that zone. Where daylight time makes a local
    time stand for two instants or none:

    - a repeated local time (the hour the clock is set back) is its first
      instant (daylight time) until, within the same stretch of repeated times,
      the recorded clock has gone back a minute or more from the latest time it
      showed; from there to the end of the stretch it is the second instant
      (standard time). A clock set back mid-recording so reads as it was meant,
      in sample order, while blocks that merely overlap a little never count;
    - a skipped local time (the hour the clock is set forward) is read with the
      offset in force before the change, as a clock not yet set forward shows
      it: 01:30 on a night when 01:00 becomes 02:00 in a UTC+0/UTC+1 zone is
      01:30 UTC.

    A device whose clock was never changed for daylight time should be given a
    fixed-offset zone (such as datetime.timezone.utc or "Etc/GMT-1") instead.
    """
    require("pandas", "velnora_tools.to_pandas")
    import pandas as pd

    index = pd.DatetimeIndex(wall_clock(columns), copy=False, name="timestamp")
    if tz is not None:
        index = _localize(index, tz)
    values = {name: column for name, column in chosen_channels(columns, channels).items() if name != "timestamp"}
    # copy=False keeps each array its own block instead of one consolidated copy.
    return pd.DataFrame(values, index=index, copy=False)


def to_arrow(columns: Columns, channels: Channels = "present") -> pa.Table:
    """A pyarrow Table of a `velnora.read_cwa_file` result, in the same column
    order, with `timestamp` as timestamp[us] (no time zone: the recorded wall
    clock). Every column shares the arrays' memory. `channels` leaves out the
    columns of a sensor the device lacks, as in `to_pandas`."""
    require("pyarrow", "velnora_tools.to_arrow")
    import pyarrow as pa

    chosen = chosen_channels(columns, channels)
    arrays = [pa.array(wall_clock(chosen) if name == "timestamp" else column) for name, column in chosen.items()]
    return pa.Table.from_arrays(arrays, names=list(chosen))


def _localize(wall: pd.DatetimeIndex, tz: str | datetime.tzinfo) -> pd.DatetimeIndex:
    """The instants of wall-clock times in `tz`, resolving the daylight-time
    edges as `to_pandas` describes."""
    import pandas as pd

    local = wall.tz_localize(tz, ambiguous="NaT", nonexistent="NaT")
    unresolved = np.flatnonzero(local.isna())
    if unresolved.size == 0:
        return local
    edge = wall[unresolved]
    as_daylight = edge.tz_localize(tz, ambiguous=np.ones(edge.size, bool), nonexistent="NaT")
    skipped = np.asarray(as_daylight.isna())
    as_standard = edge.tz_localize(tz, ambiguous=np.zeros(edge.size, bool), nonexistent="NaT")
    second_pass = _second_pass(wall.asi8, unresolved)
    utc = np.where(second_pass, as_standard.asi8, as_daylight.asi8)
    if skipped.any():
        utc[skipped] = _before_change(edge[skipped], tz).asi8
    instants = local.asi8.copy()
    instants[unresolved] = utc
    return pd.DatetimeIndex(instants.view("datetime64[us]"), name=wall.name).tz_localize("UTC").tz_convert(tz)


def _second_pass(wall_us: npt.NDArray[np.int64], repeated: npt.NDArray[np.intp]) -> npt.NDArray[np.bool_]:
    """For the positions of repeated local times, in sample order: whether the
    clock has gone back by `_CLOCK_SET_BACK_US` or more from the latest time it
    showed earlier in the same run of consecutive positions, or just before it."""
    second = np.zeros(repeated.size, bool)
    for run in np.split(np.arange(repeated.size), np.flatnonzero(np.diff(repeated) != 1) + 1):
        first, last = int(repeated[run[0]]), int(repeated[run[-1]])
        times = wall_us[max(first - 1, 0) : last + 1]
        went_back = times <= np.maximum.accumulate(times) - _CLOCK_SET_BACK_US
        second[run] = np.logical_or.accumulate(went_back)[times.size - run.size :]
    return second


def _before_change(skipped: pd.DatetimeIndex, tz: str | datetime.tzinfo) -> pd.DatetimeIndex:
    """UTC instants of skipped local times, read with the offset in force just
    before the clock was set forward."""
    last_before = skipped.tz_localize(tz, nonexistent="shift_backward")
    offset = last_before.tz_localize(None) - last_before.tz_convert(None)
    return (skipped - offset).tz_localize("UTC")


def plain_records(frame: pd.DataFrame) -> list[dict[str, Any]]:
    """Rows as dicts of plain Python values, None where missing (NaN, NA, NaT)."""
    import pandas as pd

    return [
        {str(name): None if value is None or bool(pd.isna(value)) else value.item() if isinstance(value, np.generic) else value for name, value in row.items()}
        for row in frame.astype(object).to_dict("records")
    ]
