"""Reads CWA accelerometer recordings: header, samples, cuts, resampling, CSV export and a sampling consistency report."""

from typing import Literal, SupportsIndex, TypeAlias, TypedDict, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = [
    "read_header",
    "sampling_consistency_report",
    "seconds",
    "blocks",
    "read_cwa_file",
    "write_cwa_csv",
]

@type_check_only
class Header(TypedDict):
    """The metadata block, as `read_header` returns it. Times are RFC 3339 texts,
    or None where the block holds an unset marker."""

    packet_header: str
    packet_length: int
    hardware_type: str
    device_id: int
    session_id: int
    upper_device_id: int
    logging_start_time: str | None
    logging_end_time: str | None
    last_change_time: str | None
    flash_led: int
    sensor_config: int
    sample_rate_hz: float
    accel_range: int
    firmware_revision: int
    annotation: str
    gyro_range: int | None
    magnetometer_enabled: bool

@type_check_only
class SamplingReport(TypedDict):
    """What `sampling_consistency_report` returns."""

    start_from_header: str | None
    end_from_header: str | None
    duration_s_from_header: float | None
    start_from_data: str | None
    end_from_data: str | None
    duration_s_from_data: float | None
    samplingrate_hz_from_header: float
    samplingrate_hz_from_data: float | None

@type_check_only
class SecondsCut(TypedDict):
    """A cut by seconds from the start of the first data block, [start, end)."""

    type: Literal["seconds"]
    start: float | None
    end: float | None

@type_check_only
class BlocksCut(TypedDict):
    """A cut by data-block positions, [start, end)."""

    type: Literal["blocks"]
    start: int | None
    end: int | None

_Cut: TypeAlias = SecondsCut | BlocksCut
_Flag: TypeAlias = bool | np.bool_
# `timestamp` is int64 microseconds since 1970-01-01T00:00:00 of the recorded
# clock; every other column is float32.
_Samples: TypeAlias = dict[str, npt.NDArray[np.int64] | npt.NDArray[np.float32]]

def read_header(file_path: str) -> Header: ...
def sampling_consistency_report(file_path: str) -> SamplingReport:
    """Return a sampling consistency report for a CWA file.

    The returned dictionary contains:

    - `start_from_header`: RFC 3339 timestamp from the metadata block `logging_start_time`
      field, or `None` when the header uses an unset marker.
    - `end_from_header`: RFC 3339 timestamp from the metadata block `logging_end_time`
      field, or `None` when the header uses an unset marker.
    - `duration_s_from_header`: `end_from_header - start_from_header` in seconds, or
      `None` when either header timestamp is unavailable.
    - `start_from_data`: RFC 3339 timestamp of the first sample produced by the data
      packets, using the same packet timestamp, `timestampOffset`, and continuity
      correction as `read_cwa_file`.
    - `end_from_data`: RFC 3339 timestamp of the last sample produced by the data
      packets, using the same timestamp calculation as `read_cwa_file`.
    - `duration_s_from_data`: `end_from_data - start_from_data` in seconds. This is
      the inclusive first-sample-to-last-sample span, not the half-open packet end.
    - `samplingrate_hz_from_header`: nominal sampling rate decoded from the metadata
      block sampling-rate code as `3200 / (1 << (15 - (rate_code & 0x0f)))`.
    - `samplingrate_hz_from_data`: effective sampling rate calculated as
      `(sample_count - 1) / duration_s_from_data`, or `None` when fewer than two
      samples or no positive data duration are available.
    """

def seconds(start: float | None = None, end: float | None = None) -> SecondsCut: ...
def blocks(start: SupportsIndex | None = None, end: SupportsIndex | None = None) -> BlocksCut: ...
def read_cwa_file(
    file_path: str,
    # read options (made by tools/read-options)
    cut: _Cut | None = None,
    include_magnetometer: _Flag = True,
    include_temperature: _Flag = True,
    include_light: _Flag = True,
    include_battery: _Flag = True,
    resample_hz: float | None = None,
    resample_method: str = "cubic",
    # end of made options
) -> _Samples:
    """Python interface for reading CWA data.

    Optional resampling parameters:
    - `resample_hz`: when set, data is resampled onto a regular grid.
    - `resample_method`: currently supports `"cubic"`.
    """

def write_cwa_csv(
    file_path: str,
    output_path: str,
    # export options (made by tools/read-options)
    cut: _Cut | None = None,
    include_magnetometer: _Flag = True,
    include_temperature: _Flag = False,
    include_light: _Flag = False,
    include_battery: _Flag = False,
    resample_hz: float | None = None,
    resample_method: str = "cubic",
    # end of made options
) -> None:
    """Write CWA samples directly to CSV.

    Supports the same optional resampling and time-range controls as `read_cwa_file`.
    """
