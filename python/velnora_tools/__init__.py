"""Tools for researchers built on the `velnora` reader: recordings as pandas
DataFrames, Arrow tables and Parquet files, and recordings with damaged data
blocks read past the damage.

pandas and pyarrow are optional; each function imports what it needs when it
is called (`pip install velnora[pandas]`, `velnora[parquet]` or `velnora[all]`).
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from velnora_tools.damaged import DamagedBlock, read_skipping_damaged, report_skipping_damaged
from velnora_tools.frames import to_arrow, to_pandas
from velnora_tools.parquet import ReadArguments, write_parquet

try:
    __version__ = version("velnora")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "unknown"

__all__ = [
    "DamagedBlock",
    "ReadArguments",
    "__version__",
    "read_skipping_damaged",
    "report_skipping_damaged",
    "to_arrow",
    "to_pandas",
    "write_parquet",
]
