"""Tools for researchers built on the `velnora` reader: recordings as pandas
DataFrames, Arrow tables and Parquet files, recordings with damaged data
blocks read past the damage, and many recordings at once on a Dask cluster
or local processes.

pandas, pyarrow and Dask are optional; each function imports what it needs
when it is called (`pip install velnora[pandas]`, `velnora[parquet]`,
`velnora[dask]` or `velnora[all]`).
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from velnora_tools.activity import Calibration, calibrate, epochs
from velnora_tools.batch import convert, summarise
from velnora_tools.damaged import DamagedBlock, read_skipping_damaged, report_skipping_damaged, write_csv_skipping_damaged
from velnora_tools.frames import to_arrow, to_pandas
from velnora_tools.parquet import ReadArguments, write_parquet

try:
    __version__ = version("velnora")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "unknown"

__all__ = [
    "Calibration",
    "calibrate",
    "epochs",
    "DamagedBlock",
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
]
