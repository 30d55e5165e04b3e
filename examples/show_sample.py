"""Shows what velnora reads from a CWA recording (default: examples/sample.cwa):
the header, the sampling consistency report and the first rows of the samples;
of a recording with damaged data blocks, what the good blocks hold and which
were left out; of a file that cannot be read, one line saying why.

    python examples/show_sample.py [RECORDING.cwa] [ROWS]
"""

from __future__ import annotations

import datetime as dt
import pathlib
import sys
from collections.abc import Mapping

import numpy as np
import numpy.typing as npt

import velnora
import velnora_tools
from velnora_tools.damaged import damage_in_words

HERE = pathlib.Path(__file__).resolve().parent


def show_dict(title: str, values: Mapping[str, object]) -> None:
    print(title)
    width = max(len(key) for key in values)
    for key, value in values.items():
        print(f"  {key:<{width}}  {value!r}")
    print()


def show_rows(columns: Mapping[str, npt.NDArray[np.int64] | npt.NDArray[np.float32]], rows: int) -> None:
    total = len(columns["timestamp"])
    print(f"samples: {total} rows, columns {', '.join(columns)}")
    names = ["acc_x", "acc_y", "acc_z", "temperature", "light", "battery"]
    names = [name for name in names if name in columns]
    print(f"  {'timestamp (us)':>16}  {'UTC':<26}" + "".join(f"{name:>13}" for name in names))
    for i in range(min(rows, total)):
        us = int(columns["timestamp"][i])
        when = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(microseconds=us)
        text = when.isoformat(timespec="microseconds").replace("+00:00", "Z")
        print(f"  {us:>16}  {text:<26}" + "".join(f"{float(columns[name][i]):>13.5f}" for name in names))


def main() -> int:
    path = sys.argv[1] if len(sys.argv) > 1 else str(HERE / "sample.cwa")
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    try:
        header = velnora.read_header(path)
        print(f"recording: {path}\n")
        show_dict("header:", header)
        try:
            damaged: list[velnora_tools.DamagedBlock] = []
            report, columns = velnora.sampling_consistency_report(path), velnora.read_cwa_file(path)
        except RuntimeError:
            # A damaged data block: what the good blocks hold, and which were left out.
            report, damaged = velnora_tools.report_skipping_damaged(path)
            columns, _ = velnora_tools.read_skipping_damaged(path)
    except (RuntimeError, OSError) as error:
        print(f"show_sample: {path}: {error}", file=sys.stderr)
        return 1
    show_dict("sampling consistency report:", report)
    show_rows(columns, rows)
    if damaged:
        left_out = damage_in_words(len(damaged), sum(block.sample_count for block in damaged), [block.block for block in damaged])
        print(f"\nleft out {left_out} (velnora info {path} lists them)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
