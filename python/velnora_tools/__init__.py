"""Tools for researchers built on the `velnora` reader: recordings as pandas
DataFrames, Arrow tables and Parquet files, recordings with damaged data
blocks read past the damage, many recordings at once on a Dask cluster or
local processes, a study's outcomes per day and per recording (valid days,
time in intensity classes, bouts, M10/L5, MX, the intensity gradient, IS/IV,
each night's sleep window)
and its quality on one HTML page.

pandas, pyarrow and Dask are optional; each function imports what it needs
when it is called and names the pip command that installs it (the extras
`pandas`, `parquet`, `dask` and `all` of the distribution).
"""

from __future__ import annotations

from velnora_tools._distribution import VERSION as __version__
from velnora_tools.activity import Calibration, EpochOptions, Nonwear, calibrate, epochs
from velnora_tools.batch import convert, summarise
from velnora_tools.damaged import DamagedBlock, DamagedRecording, read_skipping_damaged, report_skipping_damaged, write_csv_skipping_damaged
from velnora_tools.frames import to_arrow, to_pandas
from velnora_tools.outcomes import OutcomeOptions, days, outcomes
from velnora_tools.sleep import SleepOptions, nights
from velnora_tools.parquet import write_parquet
from velnora_tools.read_options import ReadArguments
from velnora_tools.study_page import quality_page

__all__ = [
    "Calibration",
    "EpochOptions",
    "Nonwear",
    "OutcomeOptions",
    "SleepOptions",
    "calibrate",
    "epochs",
    "days",
    "outcomes",
    "nights",
    "DamagedBlock",
    "DamagedRecording",
    "ReadArguments",
    "__version__",
    "convert",
    "read_skipping_damaged",
    "report_skipping_damaged",
    "write_csv_skipping_damaged",
    "summarise",
    "to_arrow",
    "to_pandas",
    "write_parquet",
    "quality_page",
]
