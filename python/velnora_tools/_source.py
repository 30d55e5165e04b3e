"""What an output was made from: the recording (its absolute path, size and
time of last change), the options that shaped the output and the version of
velnora that wrote it. Outputs carry it, so that a command run again keeps
an output that is complete and current instead of making it again."""

from __future__ import annotations

import json
import os
import stat
from collections.abc import Mapping
from typing import Any

from velnora_tools._distribution import VERSION

SOURCE_KEY = "velnora.source"


def recording_source(path: str | os.PathLike[str], options: Mapping[str, Any]) -> dict[str, Any]:
    """The source of an output of the recording at `path` made with `options`,
    as JSON values."""
    status = os.stat(path)
    return {
        "path": os.path.abspath(path),
        "size": status.st_size,
        "mtime_ns": status.st_mtime_ns,
        "options": json.loads(json.dumps(options, sort_keys=True)),
        "velnora": VERSION,
    }


def parquet_source(out: str | os.PathLike[str]) -> Any:
    """The source a Parquet output records; None when `out` is no regular
    file, no Parquet file or one without it."""
    if not _regular_file(out):
        return None
    import pyarrow.parquet as pq

    try:
        metadata = pq.read_metadata(os.fspath(out)).metadata or {}
        return json.loads(metadata[SOURCE_KEY.encode()])
    except (OSError, ValueError, KeyError):  # pyarrow's errors of a file it cannot read are ValueErrors
        return None


def json_source(out: str | os.PathLike[str], sidecar: str) -> Any:
    """The source the JSON file beside the text output `out` records; None
    without either."""
    if not _regular_file(out):
        return None
    try:
        with open(sidecar, encoding="utf-8") as file:
            return json.load(file)["source"]
    except (OSError, ValueError, KeyError, TypeError):
        return None


def _regular_file(path: str | os.PathLike[str]) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False
