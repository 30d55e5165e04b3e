"""What this distribution is: its version, and the extras that install the
optional modules, imported on first use."""

from __future__ import annotations

import importlib
from importlib.metadata import PackageNotFoundError, requires, version

try:
    VERSION = version("velnora")
except PackageNotFoundError:  # run from a source tree that was never installed
    VERSION = "unknown"

# The extra of the distribution that installs each optional module, and its
# requirement where the distribution's metadata cannot be read.
_EXTRA_OF = {"distributed": "dask", "pandas": "pandas", "pyarrow": "parquet", "pyarrow.parquet": "parquet"}
_FALLBACK = {"dask": "dask[distributed]", "pandas": "pandas", "parquet": "pyarrow"}


def require(module: str, feature: str) -> None:
    """Imports `module` once, or raises ImportError with the pip command that
    installs it, as velnora's extra declares it; the caller then imports it by
    name, fully typed."""
    try:
        importlib.import_module(module)
    except ImportError as missing:
        extra = _EXTRA_OF[module]
        raise ImportError(
            f"{feature} needs {module.split('.')[0]}: pip install {_requirements(extra)} (velnora's extra {extra})"
        ) from missing


def _requirements(extra: str) -> str:
    """The requirements velnora's metadata declares for an extra, quoted for a
    shell; velnora itself is not on a public index, so its extras are named by
    what they install."""
    marker = f'extra == "{extra}"'
    try:
        declared = requires("velnora") or []
    except PackageNotFoundError:
        declared = []
    found = [line.split(";")[0].strip() for line in declared if marker in line and "velnora" not in line.split(";")[0]]
    return " ".join(f"'{requirement}'" for requirement in found or [_FALLBACK[extra]])
