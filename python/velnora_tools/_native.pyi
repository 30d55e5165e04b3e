"""Reading past damaged data blocks, calibration and epochs, and the reads velnora_tools builds on; not a public interface."""

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import velnora

def read_skipping_damaged(
    file_path: str,
    # read options (made by tools/read-options)
    cut: velnora.SecondsCut | velnora.BlocksCut | None = None,
    include_magnetometer: bool = True,
    include_temperature: bool = True,
    include_light: bool = True,
    include_battery: bool = True,
    resample_hz: float | None = None,
    resample_method: str = "cubic",
    # end of made options
) -> tuple[dict[str, npt.NDArray[np.int64] | npt.NDArray[np.float32]], list[tuple[int, str, bool, int, str]]]: ...
def write_csv(
    file_path: str,
    output_path: str,
    # export options (made by tools/read-options)
    cut: velnora.SecondsCut | velnora.BlocksCut | None = None,
    include_magnetometer: bool = True,
    include_temperature: bool = False,
    include_light: bool = False,
    include_battery: bool = False,
    resample_hz: float | None = None,
    resample_method: str = "cubic",
    # end of made options
    skip_damaged: bool = False,
    carried_only: bool = False,
) -> list[tuple[int, str, bool, int, str]]: ...
def report_skipping_damaged(file_path: str) -> tuple[velnora.SamplingReport, list[tuple[int, str, bool, int, str]]]: ...
def block_positions(file_path: str) -> int: ...
def read_timestamps(
    file_path: str, start_block: int | None, end_block: int | None, skip_damaged: bool
) -> npt.NDArray[np.int64] | None: ...
def read_for_export(
    file_path: str,
    # read options (made by tools/read-options)
    cut: velnora.SecondsCut | velnora.BlocksCut | None = None,
    include_magnetometer: bool = True,
    include_temperature: bool = True,
    include_light: bool = True,
    include_battery: bool = True,
    resample_hz: float | None = None,
    resample_method: str = "cubic",
    # end of made options
    skip_damaged: bool = False,
    carried_only: bool = False,
) -> tuple[
    dict[str, npt.NDArray[np.int64] | npt.NDArray[np.float32]],
    velnora.Header,
    velnora.SamplingReport,
    list[tuple[int, str, bool, int, str]],
]: ...
def check_read_options(
    # read options (made by tools/read-options)
    cut: velnora.SecondsCut | velnora.BlocksCut | None = None,
    include_magnetometer: bool = True,
    include_temperature: bool = True,
    include_light: bool = True,
    include_battery: bool = True,
    resample_hz: float | None = None,
    resample_method: str = "cubic",
    # end of made options
) -> None: ...
def _adopted_split_runs() -> int: ...
def second_thread_allowed() -> bool: ...

NONWEAR_BLOCK_SECONDS: int

class NotARecording(RuntimeError): ...

class DamagedBlockError(RuntimeError):
    block: int
    message: str

def sampling_consistency_report(file_path: str) -> velnora.SamplingReport: ...

def read_header(file_path: str) -> velnora.Header: ...
def calibrate(
    file_path: str,
    cut: velnora.SecondsCut | velnora.BlocksCut | None = None,
    skip_damaged: bool = False,
) -> tuple[dict[str, Any], list[tuple[int, str, bool, int, str]]]: ...
def epochs(
    file_path: str,
    epoch_us: int,
    calibration: Sequence[float],
    cut: velnora.SecondsCut | velnora.BlocksCut | None = None,
    nonwear: Sequence[float] | None = None,
    skip_damaged: bool = False,
    lowpass_hz: float | None = None,
    anglez_median: bool = False,
) -> tuple[dict[str, Any], list[tuple[int, str, bool, int, str]]]: ...
