"""What this distribution is: its version, and the extras that install the
optional modules, imported on first use."""

from __future__ import annotations

import importlib
from importlib.metadata import PackageNotFoundError, version

try:
    VERSION = version("velnora")
except PackageNotFoundError:  # run from a source tree that was never installed
    VERSION = "unknown"

# The extra of the distribution that installs each optional module.
_EXTRA_OF = {"distributed": "dask", "pandas": "pandas", "pyarrow": "parquet", "pyarrow.parquet": "parquet"}


def require(module: str, feature: str) -> None:
    """Imports `module` once, or raises ImportError naming the extra that
    installs it; the caller then imports it by name, fully typed."""
    try:
        importlib.import_module(module)
    except ImportError as missing:
        extra = _EXTRA_OF[module]
        raise ImportError(
            f"{feature} needs {module.split('.')[0]}: pip install velnora[{extra}] (or velnora[all])"
        ) from missing
